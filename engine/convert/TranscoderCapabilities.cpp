// Which codecs and containers this machine can produce, found once per process.
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "engine/internal/EncoderSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
}

#include <pthread.h>

#include <cstring>
#include <thread>

namespace kvr::engine {

namespace {

// Set on the probe's own thread. A findEncoder there must not reach capabilities(): the caller that started
// the probe holds the record's initialisation and joins this thread, so it would wait for ever.
thread_local bool onProbeThread = false;

// Codecs whose every candidate must pass a test encode: FFmpeg knows encoders (VA-API) that fail without a
// GPU, and taking the first known one would lose the codec on such machines.
bool isTestedCodec(const std::string& codec)
{
    return codec == "h264" || codec == "hevc";
}

// The first candidate of a tested codec that passes; each that fails is logged and skipped.
const AVCodec* chooseTestedEncoder(const std::string& codec, std::vector<std::string>* hardware)
{
    for (const std::string& name : Transcoder::encoderNameFor(codec)) {
        const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str());
        if (!encoder)
            continue;
        if (Transcoder::testEncode(encoder)) {
            if (hardware && internal::isVaapiEncoder(encoder))
                hardware->push_back(encoder->name);
            return encoder;
        }
        logWarning("Transcoder: {} failed its test encode; not offered", name);
    }
    return nullptr;
}

const AVCodec* firstKnownEncoder(const std::string& codec)
{
    for (const std::string& name : Transcoder::encoderNameFor(codec))
        if (const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str()))
            return encoder;
    return nullptr;
}

} // namespace

const TranscodeCapabilities& Transcoder::capabilities()
{
    try {
        static const TranscodeCapabilities caps = [] {
            TranscodeCapabilities probed;
            probeCapabilitiesOnThread(probed);
            return probed;
        }();
        return caps;
    } catch (const std::exception& e) {
        // The record stays uninitialised, so the next call probes again; this one offers nothing.
        logError("Transcoder: capability probe failed: {}", e.what());
        static const TranscodeCapabilities none;
        return none;
    }
}

void Transcoder::probeCapabilitiesOnThread(TranscodeCapabilities& caps)
{
    caps = TranscodeCapabilities {};
    std::thread thread([&caps] {
        pthread_setname_np(pthread_self(), "kvr-caps");
        onProbeThread = true;
        try {
            probeCapabilities(caps);
        } catch (const std::exception& e) {
            logError("Transcoder: capability probe failed: {}", e.what());
        }
    });
    thread.join();
}

void Transcoder::probeCapabilities(TranscodeCapabilities& caps)
{
    init_logging();
    for (const char* codec : { "h264", "hevc", "vp9", "av1", "mpeg4", "mpeg2" }) {
        if (isTestedCodec(codec)) {
            const AVCodec* encoder = chooseTestedEncoder(codec, &caps.hardwareEncoders);
            if (!encoder)
                continue;
            caps.chosenEncoders[codec] = encoder->name;
        } else if (!firstKnownEncoder(codec)) {
            continue;
        }
        caps.videoCodecs.push_back(codec);
    }
    for (const char* codec : { "aac", "opus", "mp3", "flac", "alac", "ac3", "pcm" })
        if (firstKnownEncoder(codec))
            caps.audioCodecs.push_back(codec);
    for (const char* container :
        { "mp4", "mkv", "webm", "mov", "avi", "ts", "mp3", "m4a", "ogg", "opus", "flac", "wav" }) {
        const char* muxer = muxerNameFor(container);
        if (muxer && av_guess_format(muxer, nullptr, nullptr))
            caps.containers.push_back(container);
    }
}

const AVCodec* Transcoder::findEncoder(const std::string& codec)
{
    if (!isTestedCodec(codec))
        return firstKnownEncoder(codec);
    if (onProbeThread)
        return chooseTestedEncoder(codec, nullptr);
    const TranscodeCapabilities& caps = capabilities();
    const auto chosen = caps.chosenEncoders.find(codec);
    return chosen == caps.chosenEncoders.end() ? nullptr : avcodec_find_encoder_by_name(chosen->second.c_str());
}

namespace {

// A VA-API encoder's test: a device (libva's choice: the display, else the first render node), a pool of NV12
// surfaces as the encoder's frames, and grey software frames uploaded into them.
struct HardwareTest {
    AVBufferRef* device = nullptr;
    AVBufferRef* frames = nullptr;
    AVFrame* software = nullptr;
    ~HardwareTest()
    {
        av_frame_free(&software);
        av_buffer_unref(&frames);
        av_buffer_unref(&device);
    }

    bool prepare(const AVCodec* encoder, AVCodecContext* context, int width, int height)
    {
        const int made = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (made < 0) {
            logInfo("Transcoder: {} has no VA-API device: {}", encoder->name, errorString(made));
            return false;
        }
        frames = av_hwframe_ctx_alloc(device);
        if (!frames)
            return false;
        auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
        pool->format = AV_PIX_FMT_VAAPI;
        pool->sw_format = AV_PIX_FMT_NV12;
        pool->width = width;
        pool->height = height;
        pool->initial_pool_size = 4;
        const int initialised = av_hwframe_ctx_init(frames);
        if (initialised < 0) {
            logInfo("Transcoder: {} cannot make VA-API surfaces: {}", encoder->name, errorString(initialised));
            return false;
        }
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        context->hw_frames_ctx = av_buffer_ref(frames);
        software = av_frame_alloc();
        if (!context->hw_frames_ctx || !software)
            return false;
        software->format = AV_PIX_FMT_NV12;
        software->width = width;
        software->height = height;
        return av_frame_get_buffer(software, 0) >= 0;
    }

    // The grey picture uploaded into a new surface in `frame`.
    bool upload(AVFrame* frame)
    {
        if (av_frame_make_writable(software) < 0)
            return false;
        std::memset(software->data[0], 128, static_cast<size_t>(software->linesize[0]) * software->height);
        std::memset(software->data[1], 128, static_cast<size_t>(software->linesize[1]) * (software->height / 2));
        av_frame_unref(frame);
        return av_hwframe_get_buffer(frames, frame, 0) >= 0 && av_hwframe_transfer_data(frame, software, 0) >= 0;
    }
};

} // namespace

bool Transcoder::testEncode(const AVCodec* encoder)
{
    if (!encoder)
        return false;
    const bool hardware = internal::isVaapiEncoder(encoder);
    constexpr int width = 320;
    constexpr int height = 192;
    AVCodecContext* context = avcodec_alloc_context3(encoder);
    if (!context)
        return false;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    bool produced = false;
    bool failed = false;

    context->width = width;
    context->height = height;
    context->time_base = AVRational { 1, 25 };
    context->framerate = AVRational { 25, 1 };
    context->pix_fmt = AV_PIX_FMT_NV12;
    const internal::EncoderConfig config = internal::supportedConfig(encoder);
    if (!config.pixelFormats.empty())
        context->pix_fmt = config.pixelFormats.front();
    context->bit_rate = 500000;
    HardwareTest device;
    if (hardware && !device.prepare(encoder, context, width, height)) {
        avcodec_free_context(&context);
        return false;
    }

    // Takes every packet that is ready; an encoder without delay would otherwise refuse the next frame.
    const auto drain = [&] {
        for (;;) {
            const int r = avcodec_receive_packet(context, packet);
            if (r < 0)
                return r == AVERROR(EAGAIN) || r == AVERROR_EOF;
            produced = true;
            av_packet_unref(packet);
        }
    };

    AVDictionary* options = nullptr;
    internal::addEncoderOpenOptions(encoder, &options);
    const int opened = avcodec_open2(context, encoder, &options);
    av_dict_free(&options);
    if (opened < 0)
        failed = true;

    if (!failed) {
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (frame && packet && !hardware) {
            frame->format = context->pix_fmt;
            frame->width = width;
            frame->height = height;
        }
        failed = !frame || !packet || (!hardware && av_frame_get_buffer(frame, 0) < 0);
    }
    for (int64_t pts = 0; !failed && pts < 4; ++pts) {
        if (hardware) {
            failed = !device.upload(frame);
            if (!failed) {
                frame->pts = pts;
                failed = avcodec_send_frame(context, frame) < 0 || !drain();
            }
            continue;
        }
        if (av_frame_make_writable(frame) < 0) {
            failed = true;
            break;
        }
        for (int plane = 0; plane < 4 && frame->data[plane]; ++plane) {
            const int rows = plane == 0 ? height : height / 2;
            std::memset(frame->data[plane], 128, static_cast<size_t>(frame->linesize[plane]) * rows);
        }
        frame->pts = pts;
        failed = avcodec_send_frame(context, frame) < 0 || !drain();
    }
    if (!failed)
        failed = avcodec_send_frame(context, nullptr) < 0 || !drain();

    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return !failed && produced;
}

} // namespace kvr::engine
