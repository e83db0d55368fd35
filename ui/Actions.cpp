#include "ui/Actions.h"

#include <QDebug>

namespace kvr::ui {

Actions::Actions(QObject* parent) : QObject(parent) {}

void Actions::add(const QString& id, Handler handler)
{
    handlers.insert(id, std::move(handler));
}

bool Actions::trigger(const QString& id, const QVariant& arg)
{
    const auto it = handlers.constFind(id);
    if (it == handlers.constEnd()) {
        emit unknownAction(id);
        qWarning() << "Actions: unknown action id" << id;
        return false;
    }
    // A copy, so a handler that re-registers its own id cannot destroy itself while it runs.
    const Handler handler = it.value();
    if (handler)
        handler(arg);
    emit triggered(id, arg);
    return true;
}

bool Actions::trigger(const QString& id)
{
    return trigger(id, QVariant());
}

bool Actions::isRegistered(const QString& id) const
{
    return handlers.contains(id);
}

} // namespace kvr::ui
