#pragma once

#include <QObject>
#include <QString>

namespace kvr::qml {

// The system clipboard for QML, which can only copy a selection: an empty text has none to copy, and would
// leave whatever the clipboard held before. The module offers one instance as the singleton "Clipboard".
class Clipboard : public QObject {
    Q_OBJECT

public:
    explicit Clipboard(QObject* parent = nullptr);

    Q_INVOKABLE void setText(const QString& text) const;
};

} // namespace kvr::qml
