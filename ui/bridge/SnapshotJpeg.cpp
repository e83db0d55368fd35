#include "ui/bridge/SnapshotJpeg.h"

#include <QCoreApplication>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <spdlog/spdlog.h>

namespace kvr::ui {

namespace {

// Twice FFmpeg's lambda-per-quantiser factor: quantiser 2.
constexpr int jpegQuality = 2 * FF_QP2LAMBDA;

QString text(const char* source)
{
    return QCoreApplication::translate("kvr::ui::encodeSnapshotJpeg", source);
}

void logFailure(const char* what, int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    spdlog::warn("MediaSessionBridge: snapshot JPEG: {}: {}", what, buffer);
}

// Frees whatever was made, on every path out.
struct EncoderParts {
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    ~EncoderParts()
    {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
    }
};

} // namespace

bool encodeSnapshotJpeg(
    const uint8_t* pixels, int width, int height, int bytesPerLine, std::vector<uint8_t>& out, QString& error)
{
    if (!pixels || width <= 0 || height <= 0) {
        error = text("empty image");
        return false;
    }
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!encoder) {
        error = text("JPEG encoder not available");
        return false;
    }
    EncoderParts parts;
    parts.codec = avcodec_alloc_context3(encoder);
    if (!parts.codec) {
        error = text("out of memory");
        return false;
    }
    AVCodecContext* c = parts.codec;
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUVJ444P;
    c->color_range = AVCOL_RANGE_JPEG;
    c->time_base = AVRational { 1, 25 };
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = jpegQuality;
    if (const int rc = avcodec_open2(c, encoder, nullptr); rc < 0) {
        logFailure("open", rc);
        error = text("JPEG encoder open failed");
        return false;
    }

    parts.frame = av_frame_alloc();
    if (!parts.frame) {
        error = text("out of memory");
        return false;
    }
    AVFrame* f = parts.frame;
    f->format = AV_PIX_FMT_YUVJ444P;
    f->width = width;
    f->height = height;
    f->quality = jpegQuality;
    f->color_range = AVCOL_RANGE_JPEG;
    if (av_frame_get_buffer(f, 0) < 0) {
        error = text("out of memory");
        return false;
    }

    // swscale is given the plain 4:4:4 layout (the same planes) and told the range, so the picture keeps the
    // full range a JPEG means instead of being squeezed into video levels.
    parts.scaler = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_YUV444P,
        SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!parts.scaler) {
        error = text("colour conversion failed");
        return false;
    }
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(parts.scaler, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
    const uint8_t* srcPlanes[4] = { pixels, nullptr, nullptr, nullptr };
    const int srcStrides[4] = { bytesPerLine, 0, 0, 0 };
    if (sws_scale(parts.scaler, srcPlanes, srcStrides, 0, height, f->data, f->linesize) != height) {
        error = text("colour conversion failed");
        return false;
    }
    f->pts = 0;

    parts.packet = av_packet_alloc();
    int rc = parts.packet ? avcodec_send_frame(c, f) : AVERROR(ENOMEM);
    if (rc >= 0)
        rc = avcodec_send_frame(c, nullptr);
    if (rc >= 0)
        rc = avcodec_receive_packet(c, parts.packet);
    if (rc < 0 || parts.packet->size <= 0) {
        logFailure("encode", rc);
        error = text("JPEG encoding failed");
        return false;
    }
    out.insert(out.end(), parts.packet->data, parts.packet->data + parts.packet->size);
    return true;
}

} // namespace kvr::ui
