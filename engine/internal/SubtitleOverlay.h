#pragma once

#include <cstdint>
#include <vector>

namespace kvr::engine::internal {

// The transparent picture laid over the video. Drawn: `empty` false and exactly width × height × 4 bytes of
// premultiplied BGRA, rows width × 4 bytes apart. Cleared: `empty` true and no pixels.
struct SubtitleOverlay {
    int32_t width = 0;
    int32_t height = 0;
    bool empty = true;
    std::vector<uint8_t> pixels;
};

} // namespace kvr::engine::internal
