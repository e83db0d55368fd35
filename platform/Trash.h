#pragma once

#include <QString>

namespace kvr::platform {

// Moves a file (or a folder, or a symbolic link itself) into the user's trash as the freedesktop.org trash
// layout has it, so file managers list it and can put it back: the home trash "$XDG_DATA_HOME/Trash" for a
// file on the same device, otherwise the trash at the top of the file's own mount ("$topdir/.Trash/$uid" or
// "$topdir/.Trash-$uid"). The file is renamed, never copied across file systems, and an existing entry of the
// trash is never overwritten: a taken name gets ".2", ".3" … appended. Returns false, with a sentence for the
// log in error when given, when the file stays where it was. Every step is bounded: a broken trash fails the
// call rather than holding it.
bool moveToTrash(const QString& path, QString* error = nullptr);

} // namespace kvr::platform
