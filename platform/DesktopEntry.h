#pragma once

#include <QString>
#include <QStringList>

namespace kvr::platform {

// Name of the desktop file the program ships ("kestrune.desktop"); media controls and launchers find the
// application by it.
QString desktopFileName();

// What the player opens, as announced to the desktop: URI schemes and the MIME types of its media and
// playlist files. The desktop file lists the same MIME types.
QStringList supportedUriSchemes();
QStringList supportedMimeTypes();

} // namespace kvr::platform
