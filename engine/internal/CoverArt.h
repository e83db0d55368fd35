#pragma once

#include "engine/VideoFrame.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
}

#include <cstdint>
#include <memory>

namespace kvr::engine::internal {

// Pictures with more pixels than this are refused before they are decoded: an attached picture comes from the
// file, and a crafted size would otherwise cost gigabytes.
inline constexpr int64_t maxCoverPixels = int64_t(8192) * 8192;
// The longer side of the BGRA result; larger pictures are scaled down, keeping their shape.
inline constexpr int32_t maxCoverSide = 4096;

// Decodes an attached picture into a packed BGRA frame (format 0, pts -1); empty on any failure.
std::shared_ptr<VideoFrame> decodeCoverArt(const AVCodecParameters* parameters, const AVPacket* packet);

} // namespace kvr::engine::internal
