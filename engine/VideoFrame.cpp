#include "engine/VideoFrame.h"

#include <utility>

namespace kvr::engine {

VideoFrame::VideoFrame(const VideoFrame& other)
{
    copyFrom(other, false);
}

VideoFrame& VideoFrame::operator=(const VideoFrame& other)
{
    if (this != &other)
        copyFrom(other, false);
    return *this;
}

VideoFrame::VideoFrame(VideoFrame&& other) noexcept
{
    copyFrom(other, true);
}

VideoFrame& VideoFrame::operator=(VideoFrame&& other) noexcept
{
    if (this != &other)
        copyFrom(other, true);
    return *this;
}

void VideoFrame::copyFrom(const VideoFrame& other, bool move)
{
    width = other.width;
    height = other.height;
    pts = other.pts;
    format = other.format;
    colorMatrix = other.colorMatrix;
    fullRange = other.fullRange;
    bytesStride = other.bytesStride;
    sarNum = other.sarNum;
    sarDen = other.sarDen;
    rotation = other.rotation;

    // Remember which planes point into the source's own bytes before those bytes move.
    const uint8_t* srcBegin = other.bytes.data();
    const uint8_t* srcEnd = srcBegin + other.bytes.size();
    ptrdiff_t offsets[3] = {-1, -1, -1};
    const uint8_t* srcPlanes[3] = {other.planes[0], other.planes[1], other.planes[2]};
    for (int i = 0; i < 3; ++i) {
        strides[i] = other.strides[i];
        if (!other.bytes.empty() && other.planes[i] >= srcBegin && other.planes[i] < srcEnd)
            offsets[i] = other.planes[i] - srcBegin;
    }
    if (move) {
        auto& src = const_cast<VideoFrame&>(other);
        bytes = std::move(src.bytes);
        owner = std::move(src.owner);
        for (auto& p : src.planes)
            p = nullptr;
    } else {
        bytes = other.bytes;
        owner = other.owner;
    }
    for (int i = 0; i < 3; ++i)
        planes[i] = offsets[i] >= 0 ? bytes.data() + offsets[i] : srcPlanes[i];
}

} // namespace kvr::engine
