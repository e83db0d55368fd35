// The bridge's error texts: the engine's raw reason turned into one sentence for the user.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/Logging.h"
#include "ui/AddressText.h"
#include "ui/bridge/PlaylistFiles.h"

namespace kvr::ui {

void MediaSessionBridge::reportOpenFailed(const QString& entry, const QString& text)
{
    const QString line = QStringLiteral("MediaSessionBridge: open failed: %1: %2").arg(displayAddress(entry), text);
    kvr::engine::logError("{}", line.toStdString());
    emit openFailed(entry, line);
}

QString MediaSessionBridge::errorText(const QString& raw)
{
    if (raw.isEmpty())
        return {};
    const QString text = raw.toLower();
    if (text.contains(QLatin1String("no such file")))
        return tr("The file could not be found.");
    if (text.contains(QLatin1String("permission denied")))
        return tr("Access to the file was denied.");
    if (text.contains(QLatin1String("invalid data")))
        return tr("This is not a media file the player can read.");
    if (text.contains(QLatin1String("protocol not found")))
        return tr("This kind of address is not supported.");
    if (text.contains(QLatin1String("no audio or video")))
        return tr("The file contains no playable audio or video.");
    if (text.startsWith(QLatin1String("audiooutput")))
        return tr("No audio output device is available.");
    if (text.contains(QLatin1String("decoder open failed")))
        return tr("The file uses a codec the player cannot decode.");
    if (text.contains(QLatin1String("connection")) || text.contains(QLatin1String("timed out"))
        || text.contains(QLatin1String("server returned")))
        return tr("The stream could not be reached (%1).").arg(raw);
    return tr("The media could not be played (%1).").arg(raw);
}

} // namespace kvr::ui
