#include "engine/convert/MediaExtraction.h"

#include "engine/AddressRedaction.h"
#include "engine/Logging.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

namespace kvr::engine {
namespace {

struct InputClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// The output context with its memory buffer: the buffer is freed with it unless its bytes were taken.
struct Output {
    AVFormatContext* context = nullptr;
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output()
    {
        if (!context)
            return;
        if (context->pb) {
            uint8_t* bytes = nullptr;
            avio_close_dyn_buf(context->pb, &bytes);
            av_free(bytes);
            context->pb = nullptr;
        }
        avformat_free_context(context);
    }
    // Closes the memory buffer and returns everything written into it.
    std::string take()
    {
        uint8_t* bytes = nullptr;
        const int size = avio_close_dyn_buf(context->pb, &bytes);
        context->pb = nullptr;
        std::string text;
        if (bytes && size > 0)
            text.assign(reinterpret_cast<const char*>(bytes), size_t(size));
        av_free(bytes);
        return text;
    }
};

// A decoded subtitle, freed however the loop leaves.
struct Subtitle {
    AVSubtitle value {};
    bool filled = false;
    Subtitle() = default;
    Subtitle(const Subtitle&) = delete;
    Subtitle& operator=(const Subtitle&) = delete;
    ~Subtitle() { clear(); }
    void clear()
    {
        if (filled)
            avsubtitle_free(&value);
        filled = false;
    }
};

constexpr AVRational milliseconds { 1, 1000 };
// What one encoded cue may take; WebVTT cues are short text.
constexpr int cueBufferSize = 65536;
// The length of a cue that states none.
constexpr int64_t defaultCueMs = 3000;
// Cue times beyond this (about 146 million years) are refused.
constexpr int64_t maxCueMs = int64_t(1) << 62;

bool fail(std::string& error, const char* message, const std::string& utf8Path)
{
    error = message;
    logWarning("Transcoder: WebVTT export of {}: {}", redactAddress(utf8Path), message);
    return false;
}

// What the export's steps share; the members are freed in reverse order, the input last.
struct Export {
    const std::string& utf8Path;
    std::string& error;
    std::unique_ptr<AVFormatContext, InputClose> input;
    int index = -1;
    const AVStream* stream = nullptr;
    std::unique_ptr<AVCodecContext, CodecContextFree> decoder;
    std::unique_ptr<AVCodecContext, CodecContextFree> encoder;
    Output output;

    Export(const std::string& path, std::string& errorText)
        : utf8Path(path)
        , error(errorText)
    {
    }
    bool failWith(const char* message) { return fail(error, message, utf8Path); }
};

// The source opened and its subtitle stream chosen: the one asked for, else the best; text only.
bool openSource(Export& e, int streamIndex)
{
    {
        AVFormatContext* opened = nullptr;
        if (avformat_open_input(&opened, e.utf8Path.c_str(), nullptr, nullptr) < 0)
            return e.failWith("The subtitle source could not be opened");
        e.input.reset(opened);
    }
    if (avformat_find_stream_info(e.input.get(), nullptr) < 0)
        return e.failWith("The subtitle source could not be read");

    int index = streamIndex;
    if (index < 0 || unsigned(index) >= e.input->nb_streams
        || e.input->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE)
        index = av_find_best_stream(e.input.get(), AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
    if (index < 0)
        return e.failWith("No subtitle track");
    e.index = index;
    e.stream = e.input->streams[index];

    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(e.stream->codecpar->codec_id);
    if (descriptor && (descriptor->props & AV_CODEC_PROP_BITMAP_SUB))
        return e.failWith("Picture-based subtitles cannot be sent as text");
    return true;
}

// The stream's decoder and the WebVTT encoder, which takes the decoder's header.
bool openCodecs(Export& e)
{
    const AVCodec* decoderCodec = avcodec_find_decoder(e.stream->codecpar->codec_id);
    const AVCodec* encoderCodec = avcodec_find_encoder(AV_CODEC_ID_WEBVTT);
    if (!decoderCodec || !encoderCodec)
        return e.failWith("No WebVTT conversion for this subtitle format");

    e.decoder.reset(avcodec_alloc_context3(decoderCodec));
    if (!e.decoder || avcodec_parameters_to_context(e.decoder.get(), e.stream->codecpar) < 0)
        return e.failWith("The subtitle decoder failed");
    e.decoder->pkt_timebase = e.stream->time_base;
    if (avcodec_open2(e.decoder.get(), decoderCodec, nullptr) < 0)
        return e.failWith("The subtitle decoder failed");

    e.encoder.reset(avcodec_alloc_context3(encoderCodec));
    if (!e.encoder)
        return e.failWith("The WebVTT encoder failed");
    AVCodecContext* decoder = e.decoder.get();
    AVCodecContext* encoder = e.encoder.get();
    encoder->time_base = milliseconds;
    if (decoder->subtitle_header && decoder->subtitle_header_size > 0) {
        // The encoder reads the header as text: it gets a terminated copy.
        encoder->subtitle_header = static_cast<uint8_t*>(av_mallocz(size_t(decoder->subtitle_header_size) + 1));
        if (!encoder->subtitle_header)
            return e.failWith("The WebVTT encoder failed");
        std::memcpy(encoder->subtitle_header, decoder->subtitle_header, size_t(decoder->subtitle_header_size));
        encoder->subtitle_header_size = decoder->subtitle_header_size;
    }
    if (avcodec_open2(encoder, encoderCodec, nullptr) < 0)
        return e.failWith("The WebVTT encoder failed");
    return true;
}

// The WebVTT muxer writing into memory, its header written.
bool openOutput(Export& e)
{
    Output& output = e.output;
    if (avformat_alloc_output_context2(&output.context, nullptr, "webvtt", nullptr) < 0 || !output.context)
        return e.failWith("No WebVTT muxer");
    AVStream* cues = avformat_new_stream(output.context, nullptr);
    if (!cues || avcodec_parameters_from_context(cues->codecpar, e.encoder.get()) < 0)
        return e.failWith("WebVTT output failed");
    cues->time_base = milliseconds;
    if (avio_open_dyn_buf(&output.context->pb) < 0)
        return e.failWith("WebVTT output failed");
    if (avformat_write_header(output.context, nullptr) < 0)
        return e.failWith("WebVTT output failed");
    return true;
}

// One decoded subtitle as a cue, timed from its packet; true when the cue was written.
bool writeCue(Export& e, AVSubtitle& s, const AVPacket& packet, AVPacket* cue, std::vector<uint8_t>& buffer)
{
    const int64_t packetTime = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    const int64_t packetMs
        = packetTime != AV_NOPTS_VALUE ? av_rescale_q(packetTime, e.stream->time_base, milliseconds) : 0;
    // A time from the file so far out that adding the cue's own offset would overflow is no cue time.
    if (packetMs > maxCueMs || packetMs < -maxCueMs)
        return false;
    const int64_t startMs = packetMs + int64_t(s.start_display_time);
    int64_t durationMs = defaultCueMs;
    if (s.end_display_time > s.start_display_time) {
        durationMs = int64_t(s.end_display_time) - int64_t(s.start_display_time);
    } else if (packet.duration >= 1) {
        durationMs = av_rescale_q(packet.duration, e.stream->time_base, milliseconds);
        if (durationMs == 0)
            durationMs = defaultCueMs;
    }
    s.pts = av_rescale_q(startMs, milliseconds, AV_TIME_BASE_Q);
    s.start_display_time = 0;
    s.end_display_time = uint32_t(std::min<int64_t>(durationMs, UINT32_MAX));
    const int size = avcodec_encode_subtitle(e.encoder.get(), buffer.data(), cueBufferSize, &s);
    bool written = false;
    if (size >= 1 && av_new_packet(cue, size) >= 0) {
        std::memcpy(cue->data, buffer.data(), size_t(size));
        cue->pts = startMs;
        cue->dts = startMs;
        cue->duration = durationMs;
        cue->stream_index = 0;
        written = av_write_frame(e.output.context, cue) >= 0;
        av_packet_unref(cue);
    }
    return written;
}

// Every packet of the stream decoded and written as cues; false when nothing could be set up for it.
bool writeCues(Export& e, int& written)
{
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVPacket, PacketFree> cue(av_packet_alloc());
    std::vector<uint8_t> buffer(cueBufferSize);
    if (!packet || !cue)
        return e.failWith("WebVTT output failed");

    Subtitle subtitle;
    while (av_read_frame(e.input.get(), packet.get()) >= 0) {
        if (packet->stream_index != e.index) {
            av_packet_unref(packet.get());
            continue;
        }
        // Some demuxers mark an unknown duration as -1; the decoder would turn that into an end 49 days away.
        if (packet->duration < 0)
            packet->duration = 0;
        int got = 0;
        subtitle.clear();
        const int used = avcodec_decode_subtitle2(e.decoder.get(), &subtitle.value, &got, packet.get());
        // Freed whatever the outcome: freeing an untouched subtitle is harmless.
        subtitle.filled = true;
        if (used >= 0 && got && subtitle.value.num_rects >= 1
            && writeCue(e, subtitle.value, *packet, cue.get(), buffer))
            ++written;
        subtitle.clear();
        av_packet_unref(packet.get());
    }
    return true;
}

bool exportAsWebVtt(const std::string& utf8Path, int streamIndex, std::string& webvtt, std::string& error)
{
    Export e(utf8Path, error);
    if (!openSource(e, streamIndex) || !openCodecs(e) || !openOutput(e))
        return false;
    int written = 0;
    if (!writeCues(e, written))
        return false;
    av_write_trailer(e.output.context);
    webvtt = e.output.take();
    if (written == 0)
        return e.failWith("The subtitle track has no text cues");
    return true;
}

} // namespace

bool exportSubtitlesAsWebVtt(const std::string& utf8Path, int streamIndex, std::string& webvtt, std::string& error)
{
    init_logging();
    webvtt.clear();
    error.clear();
    // No exception may leave the caller's thread.
    try {
        return exportAsWebVtt(utf8Path, streamIndex, webvtt, error);
    } catch (const std::exception& e) {
        logWarning("Transcoder: WebVTT export of {}: {}", redactAddress(utf8Path), e.what());
        error = "WebVTT output failed";
        return false;
    }
}

} // namespace kvr::engine
