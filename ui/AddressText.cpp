#include "ui/AddressText.h"

#include "engine/AddressRedaction.h"
#include "ui/bridge/PlaylistFiles.h"

#include <QDir>

namespace kvr::ui {

QString displayAddress(const QString& entry)
{
    if (!isNetworkUrl(entry))
        return QDir::toNativeSeparators(entry);
    return QString::fromStdString(kvr::engine::redactAddress(entry.toStdString()));
}

} // namespace kvr::ui
