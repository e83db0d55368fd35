#include "engine/convert/MediaExtraction.h"

#include "engine/AddressRedaction.h"
#include "engine/Logging.h"
#include "engine/internal/CoverArt.h"
#include "engine/internal/Demuxer.h"
#include "engine/internal/FfmpegSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

namespace kvr::engine {
namespace {

struct InputClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using Input = std::unique_ptr<AVFormatContext, InputClose>;

// At most this many packets are read for one thumbnail: a stream whose frames never decode must not be read to
// its end.
constexpr int thumbnailPacketLimit = 2000;
// The display width a sample aspect ratio may give, whatever the file claims.
constexpr double maxDisplayWidth = 16384;
// swscale's vector code may write a little past the last row of its output.
constexpr size_t scalerPadding = 256;

// Opened as the given format when one is named (its first name, as in "matroska,webm"), else as probed.
Input openInput(const std::string& utf8Path, const std::string& formatHint = {})
{
    const AVInputFormat* hinted
        = formatHint.empty() ? nullptr : av_find_input_format(formatHint.substr(0, formatHint.find(',')).c_str());
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, utf8Path.c_str(), hinted, nullptr) < 0) {
        // The file may have changed since the hint was taken: guessed again.
        if (!hinted || avformat_open_input(&format, utf8Path.c_str(), nullptr, nullptr) < 0)
            return {};
    }
    return Input(format);
}

// Where the thumbnail's frame is looked for, in AV_TIME_BASE units; none to start at the beginning.
std::optional<int64_t> thumbnailSeekTarget(const AVFormatContext* format, double fraction)
{
    if (format->duration <= 0 || format->duration == AV_NOPTS_VALUE || !(fraction > 0))
        return std::nullopt;
    double target = double(format->duration) * std::min(fraction, 0.95);
    if (format->start_time != AV_NOPTS_VALUE)
        target += double(format->start_time);
    // Both figures come from the file: keep the sum a valid 64-bit time.
    if (!(target > double(INT64_MIN / 2) && target < double(INT64_MAX / 2)))
        return std::nullopt;
    return int64_t(target);
}

// Decodes the first frame of `streamIndex` from where the input stands; null when none comes.
std::unique_ptr<AVFrame, FrameFree> decodeFirstFrame(AVFormatContext* format, int streamIndex, AVCodecContext* decoder)
{
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!frame || !packet)
        return {};
    for (int read = 0; read < thumbnailPacketLimit; ++read) {
        if (av_read_frame(format, packet.get()) < 0)
            break;
        const bool ours = packet->stream_index == streamIndex;
        if (ours && avcodec_send_packet(decoder, packet.get()) >= 0 && avcodec_receive_frame(decoder, frame.get()) >= 0)
            return frame;
        av_packet_unref(packet.get());
    }
    // The decoder may still hold the frames it was waiting to reorder.
    avcodec_send_packet(decoder, nullptr);
    if (avcodec_receive_frame(decoder, frame.get()) >= 0)
        return frame;
    return {};
}

// A bicubic converter to packed BGRA that keeps the frame's own colour matrix and range.
SwsContext* bgraScaler(const AVFrame* frame, int width, int height)
{
    SwsContext* scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), width, height,
        AV_PIX_FMT_BGRA, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!scaler)
        return nullptr;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    const bool yuv = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
    int* inverse = nullptr;
    int* table = nullptr;
    int srcRange = 0;
    int dstRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (yuv
        && sws_getColorspaceDetails(scaler, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation)
            >= 0) {
        // swscale takes the J layouts as full range by itself, but reads any other YUV frame as limited: a
        // full-range frame would come out with crushed blacks and clipped whites.
        if (frame->color_range == AVCOL_RANGE_JPEG)
            srcRange = 1;
        sws_setColorspaceDetails(scaler, sws_getCoefficients(frame->colorspace), srcRange, table, dstRange, brightness,
            contrast, saturation);
    }
    return scaler;
}

std::shared_ptr<VideoFrame> coverArtOf(const std::string& utf8Path, const std::string& formatHint)
{
    // The header is enough: an attached picture arrives with it, and probing would decode the other streams.
    Input format = openInput(utf8Path, formatHint);
    if (!format)
        return {};
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) || stream->attached_pic.size <= 0)
            continue;
        // Refuses oversized pictures before decoding them and bounds the result's size.
        if (auto picture = internal::decodeCoverArt(stream->codecpar, &stream->attached_pic))
            return picture;
    }
    return {};
}

std::shared_ptr<VideoFrame> thumbnailOf(const std::string& utf8Path, double fraction, int maxWidth)
{
    if (maxWidth < 1)
        return {};
    Input format = openInput(utf8Path);
    if (!format || avformat_find_stream_info(format.get(), nullptr) < 0)
        return {};
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0 || !codec)
        return {};
    const AVStream* stream = format->streams[index];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)
        return {};
    std::unique_ptr<AVCodecContext, CodecContextFree> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        return {};
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return {};

    if (const auto target = thumbnailSeekTarget(format.get(), fraction))
        av_seek_frame(format.get(), -1, *target, AVSEEK_FLAG_BACKWARD);

    auto frame = decodeFirstFrame(format.get(), index, decoder.get());
    if (!frame || frame->width < 1 || frame->height < 1)
        return {};

    // The display width comes from the file's aspect ratio: worked out in double and bounded, as an extreme ratio
    // would overflow an int.
    const AVRational sar = frame->sample_aspect_ratio;
    const double aspect = sar.num >= 1 && sar.den >= 1 ? double(sar.num) / sar.den : 1.0;
    const int displayWidth = int(std::clamp(std::floor(double(frame->width) * aspect + 0.5), 1.0, maxDisplayWidth));
    int width = displayWidth;
    int height = frame->height;
    if (displayWidth > maxWidth) {
        width = maxWidth;
        height = int(std::max<int64_t>(1, int64_t(frame->height) * maxWidth / displayWidth));
    }

    std::unique_ptr<SwsContext, ScalerFree> scaler(bgraScaler(frame.get(), width, height));
    if (!scaler)
        return {};
    auto out = std::make_shared<VideoFrame>();
    out->bytes.resize(size_t(width) * 4 * size_t(height) + scalerPadding);
    out->width = width;
    out->height = height;
    out->format = 0;
    out->bytesStride = width * 4;
    uint8_t* dst[4] = { out->bytes.data(), nullptr, nullptr, nullptr };
    const int dstStride[4] = { out->bytesStride, 0, 0, 0 };
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride) != height)
        return {};
    // Shrinking keeps the allocation, so plane 0 stays valid.
    out->bytes.resize(size_t(out->bytesStride) * size_t(height));
    out->planes[0] = out->bytes.data();
    out->strides[0] = out->bytesStride;

    size_t matrixSize = 0;
    const uint8_t* matrix = internal::streamDisplayMatrix(stream, matrixSize);
    out->rotation = internal::Demuxer::rotationFromDisplayMatrix(matrix, matrixSize);
    return out;
}

} // namespace

// Both run on the library scanner's thread, which no exception may leave.
std::shared_ptr<VideoFrame> extractCoverArt(const std::string& utf8Path, const std::string& formatHint)
{
    init_logging();
    try {
        return coverArtOf(utf8Path, formatHint);
    } catch (const std::exception& e) {
        logWarning("Transcoder: cover art of {}: {}", redactAddress(utf8Path), e.what());
        return {};
    }
}

std::shared_ptr<VideoFrame> extractThumbnail(const std::string& utf8Path, double fraction, int maxWidth)
{
    init_logging();
    try {
        return thumbnailOf(utf8Path, fraction, maxWidth);
    } catch (const std::exception& e) {
        logWarning("Transcoder: thumbnail of {}: {}", redactAddress(utf8Path), e.what());
        return {};
    }
}

} // namespace kvr::engine
