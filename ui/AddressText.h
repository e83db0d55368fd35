#pragma once

#include <QString>

namespace kvr::ui {

// How a playlist entry or an engine path is shown to the user: a network address without its
// "user:password@" part (as the log writes it), anything else as a path with native separators. What is
// opened, stored in playlists or remembered for reopening stays as the user wrote it.
QString displayAddress(const QString& entry);

} // namespace kvr::ui
