#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kvr::engine {

// One decoded picture. Format codes: 0 packed BGRA (pixels in `bytes`), 1 yuv420p, 2 nv12, 3 yuv420p10le,
// 4 p010le. Colour matrix codes: 0 BT.601, 1 BT.709, 2 BT.2020.
struct VideoFrame {
    int32_t width = 0;
    int32_t height = 0;
    int64_t pts = -1;
    int32_t format = 0;
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int32_t strides[3] = {0, 0, 0};
    std::shared_ptr<void> owner;
    int32_t colorMatrix = 1;
    bool fullRange = false;
    int32_t bytesStride = 0;
    std::vector<uint8_t> bytes;
    int32_t sarNum = 1;
    int32_t sarDen = 1;
    int32_t rotation = 0;

    VideoFrame() = default;
    // A frame that owns its pixels points plane 0 into `bytes`; a copy must point into its own copy.
    VideoFrame(const VideoFrame& other);
    VideoFrame& operator=(const VideoFrame& other);
    VideoFrame(VideoFrame&& other) noexcept;
    VideoFrame& operator=(VideoFrame&& other) noexcept;
    ~VideoFrame() = default;

private:
    void copyFrom(const VideoFrame& other, bool move);
};

} // namespace kvr::engine
