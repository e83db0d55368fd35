#pragma once

#include "engine/VideoFrame.h"

#include <QImage>

struct SwsContext;

namespace kvr::ui {

// Turns a 16-bit YUV frame (formats 3 and 4) into a BGRA picture for graphics APIs that cannot sample
// 16-bit textures. Runs on the render thread while the GUI thread waits, so the scaler is made once per
// frame geometry and uses the fastest flags; the output buffer is reused while its size stays the same.
class BgraFallbackConverter {
public:
    BgraFallbackConverter() = default;
    ~BgraFallbackConverter();
    BgraFallbackConverter(const BgraFallbackConverter&) = delete;
    BgraFallbackConverter& operator=(const BgraFallbackConverter&) = delete;

    // Writes the picture into `image` (ARGB32, allocated only when its size differs). Returns false, leaving
    // `image` null, for a frame it cannot convert.
    bool convert(const engine::VideoFrame& frame, QImage& image);

private:
    SwsContext* scaler_ = nullptr;
    int colourspace_ = -1;
    int fullRange_ = -1;
};

} // namespace kvr::ui
