#pragma once

#include <QHostAddress>
#include <QString>
#include <QUrl>
#include <QtGlobal>

namespace kvr::ui::cast {

// One receiver on the local network, copied freely. Controllers, the session and the registry all work on
// their own copies; the registry's table is the only place a record is updated.
struct CastDevice {
    // Unique key: the type's text form, a colon and a key that stays stable for the receiver.
    QString id;
    // 0 Chromecast, 1 AirPlay, 2 DLNA.
    int type = 0;
    QString name;
    QString model;
    QHostAddress address;
    // Service port for Chromecast and AirPlay, the description URL's port for DLNA.
    quint16 port = 0;
    // DLNA only.
    QUrl avTransportUrl;
    QUrl renderingControlUrl;
    QUrl descriptionUrl;
    // Added by the user: never aged out, stored by the session.
    bool manual = false;
    // Wall-clock milliseconds since the Unix epoch at which the receiver was last heard from.
    qint64 lastSeenMs = 0;
};

// The text form of a receiver type, as used inside ids and settings; empty for an unknown type.
inline QString castDeviceTypeText(int type)
{
    switch (type) {
    case 0:
        return QStringLiteral("chromecast");
    case 1:
        return QStringLiteral("airplay");
    case 2:
        return QStringLiteral("dlna");
    default:
        return {};
    }
}

} // namespace kvr::ui::cast
