#include "platform/DesktopEntry.h"

namespace kvr::platform {

QString desktopFileName()
{
    return QStringLiteral("kestrune");
}

QStringList supportedUriSchemes()
{
    return { QStringLiteral("file"), QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("rtsp"),
        QStringLiteral("rtsps"), QStringLiteral("rtmp"), QStringLiteral("rtmps"), QStringLiteral("mms"),
        QStringLiteral("mmsh"), QStringLiteral("udp"), QStringLiteral("rtp"), QStringLiteral("srt"),
        QStringLiteral("ftp"), QStringLiteral("sftp") };
}

QStringList supportedMimeTypes()
{
    // The shared MIME database's names for the media extensions the player accepts, then its playlists.
    return { QStringLiteral("video/mp4"), QStringLiteral("video/x-matroska"), QStringLiteral("video/webm"),
        QStringLiteral("video/quicktime"), QStringLiteral("video/x-msvideo"), QStringLiteral("video/x-ms-wmv"),
        QStringLiteral("video/x-flv"), QStringLiteral("video/mpeg"), QStringLiteral("video/mp2t"),
        QStringLiteral("video/ogg"), QStringLiteral("video/x-theora+ogg"), QStringLiteral("video/3gpp"),
        QStringLiteral("video/3gpp2"), QStringLiteral("application/vnd.ms-asf"),
        QStringLiteral("application/vnd.rn-realmedia"), QStringLiteral("application/mxf"), QStringLiteral("audio/mpeg"),
        QStringLiteral("audio/flac"), QStringLiteral("audio/x-wav"), QStringLiteral("audio/mp4"),
        QStringLiteral("audio/aac"), QStringLiteral("audio/ogg"), QStringLiteral("audio/x-vorbis+ogg"),
        QStringLiteral("audio/x-flac+ogg"), QStringLiteral("audio/x-opus+ogg"), QStringLiteral("audio/x-ms-wma"),
        QStringLiteral("audio/x-aiff"), QStringLiteral("audio/x-ape"), QStringLiteral("audio/x-wavpack"),
        QStringLiteral("audio/x-matroska"), QStringLiteral("audio/ac3"), QStringLiteral("audio/vnd.dts"),
        QStringLiteral("audio/AMR"), QStringLiteral("audio/midi"), QStringLiteral("audio/x-musepack"),
        QStringLiteral("audio/x-tta"), QStringLiteral("audio/x-mpegurl"),
        QStringLiteral("application/vnd.apple.mpegurl"), QStringLiteral("audio/x-scpls") };
}

} // namespace kvr::platform
