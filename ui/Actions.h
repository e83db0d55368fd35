#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>

namespace kvr::ui {

// Registry of named user commands ("playback.toggle", "playlist.add", …), so hotkeys, menus, media keys and
// a second instance all run the same handler.
class Actions : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const QVariant&)>;

    explicit Actions(QObject* parent = nullptr);

    // Inserts or replaces the handler for id.
    void add(const QString& id, Handler handler);

signals:
    void triggered(QString id, QVariant arg);
    void unknownAction(QString id);

public:
    Q_INVOKABLE bool trigger(const QString& id, const QVariant& arg);
    Q_INVOKABLE bool trigger(const QString& id);
    Q_INVOKABLE bool isRegistered(const QString& id) const;

private:
    QHash<QString, Handler> handlers;
};

} // namespace kvr::ui
