#include "qml/controls/Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace kvr::qml {

Clipboard::Clipboard(QObject* parent)
    : QObject(parent)
{
}

void Clipboard::setText(const QString& text) const
{
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
}

} // namespace kvr::qml
