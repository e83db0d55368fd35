#pragma once

#include "engine/MediaInfo.h"

#include <string>

namespace kvr::engine {

// What a file holds, read the way playback opens it. A file that cannot be opened gives the empty record.
// Safe on any thread; blocks while FFmpeg probes.
MediaInfo probeMedia(const std::string& utf8Path);

} // namespace kvr::engine
