#pragma once

#include <filesystem>

namespace kvr::engine {

// The per-user directory for logs, the trace file and the single-instance channel:
// $XDG_RUNTIME_DIR/kestrune, else ${TMPDIR:-/tmp}/kestrune-<uid>. Created with mode 0700; a candidate that is
// a symbolic link, not a directory or owned by another user is refused, and one of ours that is open to group
// or others is tightened. Empty when no candidate can be had.
std::filesystem::path privateDirectory();

// privateDirectory(), or the current directory when there is none.
std::filesystem::path privateDirectoryOrCurrent();

} // namespace kvr::engine
