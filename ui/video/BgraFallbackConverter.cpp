#include "ui/video/BgraFallbackConverter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>

namespace kvr::ui {

BgraFallbackConverter::~BgraFallbackConverter()
{
    sws_freeContext(scaler_);
}

bool BgraFallbackConverter::convert(const engine::VideoFrame& frame, QImage& image)
{
    AVPixelFormat source = AV_PIX_FMT_NONE;
    if (frame.format == 3)
        source = AV_PIX_FMT_YUV420P10LE;
    else if (frame.format == 4)
        source = AV_PIX_FMT_P010LE;
    const int w = frame.width;
    const int h = frame.height;
    const int cw = (w + 1) / 2;
    const int planes = frame.format == 3 ? 3 : 2;
    bool usable = source != AV_PIX_FMT_NONE && w > 0 && h > 0;
    for (int i = 0; usable && i < planes; ++i) {
        const int rowBytes = (i == 0 ? w : (frame.format == 3 ? cw : 2 * cw)) * 2;
        usable = frame.planes[i] && frame.strides[i] >= rowBytes;
    }
    if (!usable) {
        image = QImage();
        return false;
    }

    SwsContext* previous = scaler_;
    scaler_ = sws_getCachedContext(
        scaler_, w, h, source, w, h, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) {
        image = QImage();
        return false;
    }
    int colourspace = SWS_CS_ITU709;
    if (frame.colorMatrix == 0)
        colourspace = SWS_CS_ITU601;
    else if (frame.colorMatrix == 2)
        colourspace = SWS_CS_BT2020;
    const int fullRange = frame.fullRange ? 1 : 0;
    // Setting the details rebuilds the scaler's tables: only when they change.
    if (scaler_ != previous || colourspace != colourspace_ || fullRange != fullRange_) {
        const int* coefficients = sws_getCoefficients(colourspace);
        // The picture goes to the screen as full-range RGB whatever the frame's range.
        sws_setColorspaceDetails(scaler_, coefficients, fullRange, coefficients, 1, 0, 1 << 16, 1 << 16);
        colourspace_ = colourspace;
        fullRange_ = fullRange;
    }

    if (image.width() != w || image.height() != h || image.format() != QImage::Format_ARGB32)
        image = QImage(w, h, QImage::Format_ARGB32);
    if (image.isNull())
        return false;
    uint8_t* destination[4] = { image.bits(), nullptr, nullptr, nullptr };
    const int destinationStride[4] = { int(image.bytesPerLine()), 0, 0, 0 };
    const int sourceStride[4] = { frame.strides[0], frame.strides[1], frame.strides[2], 0 };
    const uint8_t* const sourcePlanes[4] = { frame.planes[0], frame.planes[1], frame.planes[2], nullptr };
    if (sws_scale(scaler_, sourcePlanes, sourceStride, 0, h, destination, destinationStride) != h) {
        image = QImage();
        return false;
    }
    return true;
}

} // namespace kvr::ui
