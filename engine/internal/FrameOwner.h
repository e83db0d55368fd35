#pragma once

extern "C" {
#include <libavutil/frame.h>
}

namespace kvr::engine::internal {

// Keeps a decoded FFmpeg frame alive for as long as a VideoFrame points into it.
struct FrameOwner {
    AVFrame* frame = nullptr;

    explicit FrameOwner(AVFrame* f) : frame(f) {}
    FrameOwner(const FrameOwner&) = delete;
    FrameOwner& operator=(const FrameOwner&) = delete;
    ~FrameOwner() { av_frame_free(&frame); }
};

} // namespace kvr::engine::internal
