#pragma once

#include <cstdint>
#include <string>

namespace kvr::engine {

// Which streams the caller wants. audioTrack -1 = automatic; subtitleTrack -2 = automatic, -1 = none.
struct StreamSelection {
    int32_t audioTrack = -1;
    int32_t subtitleTrack = -2;
    std::string preferredAudioLanguage;
    std::string preferredSubtitleLanguage;
};

} // namespace kvr::engine
