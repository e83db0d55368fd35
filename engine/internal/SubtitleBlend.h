#pragma once

#include "engine/internal/SubtitleOverlay.h"

#include <ass/ass.h>

#include <cstdint>

namespace kvr::engine::internal {

// Composites one libass image (an alpha mask in one colour, 0xRRGGBBTT with TT the transparency) onto a drawn
// overlay; the parts outside the overlay are left out.
void blendAssImage(SubtitleOverlay& out, const ASS_Image& image);

// Composites a block of premultiplied BGRA (rows width × 4 bytes apart) onto a drawn overlay with its top-left
// corner at (x, y); the parts outside the overlay are left out.
void blendPremultiplied(
    SubtitleOverlay& out, const uint8_t* pixels, int32_t width, int32_t height, int32_t x, int32_t y);

} // namespace kvr::engine::internal
