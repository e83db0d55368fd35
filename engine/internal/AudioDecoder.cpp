#include "engine/internal/AudioDecoder.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/FilterChains.h"
#include "engine/FormatToBuffer.h"
#include "engine/Logging.h"
#include "engine/internal/AudioOutputWasapi.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <pthread.h>
#include <system_error>

namespace kvr::engine::internal {
namespace {

constexpr int silenceBlockFrames = 1024;
// Output sample frames one resampling step aims at: a longer frame is converted in slices of about this much
// output, so the work and the buffer of one step never grow with the packet size or the rate ratio. Frames of
// ordinary codecs (up to 8192 samples) pass whole.
constexpr int resampleChunkFrames = 16384;

// A layout without a channel order (some PCM and raw inputs) is taken as FFmpeg's default for its channel count,
// which the resampler and the graph source can work with.
AVChannelLayout usableLayout(const AVChannelLayout& layout)
{
    AVChannelLayout out {};
    if (layout.order == AV_CHANNEL_ORDER_NATIVE || layout.order == AV_CHANNEL_ORDER_AMBISONIC
        || layout.order == AV_CHANNEL_ORDER_CUSTOM)
        return layout; // shallow; only compared, or deep-copied by assignInput
    av_channel_layout_default(&out, layout.nb_channels);
    return out;
}

std::string describeLayout(const AVChannelLayout& layout)
{
    char name[128] = {};
    if (av_channel_layout_describe(&layout, name, sizeof name) < 0)
        return {};
    return name;
}

} // namespace

void AudioDecoder::assignInput(InputFormat& to, AVSampleFormat format, int sampleRate, const AVChannelLayout& layout)
{
    av_channel_layout_uninit(&to.layout);
    to.format = format;
    to.sampleRate = sampleRate;
    const AVChannelLayout usable = usableLayout(layout);
    if (av_channel_layout_copy(&to.layout, &usable) < 0)
        av_channel_layout_default(&to.layout, layout.nb_channels);
}

bool AudioDecoder::sameInput(const InputFormat& known, const AVFrame* f)
{
    if (known.format != f->format || known.sampleRate != f->sample_rate)
        return false;
    const AVChannelLayout layout = usableLayout(f->ch_layout);
    return av_channel_layout_compare(&known.layout, &layout) == 0;
}

std::string AudioDecoder::refusalOf(int sampleRate, int channels)
{
    if (sampleRate < minSampleRate || sampleRate > maxSampleRate)
        return fmt::format("sample rate {} Hz is outside {}-{} Hz", sampleRate, minSampleRate, maxSampleRate);
    if (channels < 1 || channels > maxChannels)
        return fmt::format("{} channels is outside 1-{}", channels, maxChannels);
    return {};
}

AudioDecoder::AudioDecoder() = default;

AudioDecoder::~AudioDecoder()
{
    join();
    freeGraph();
    {
        std::lock_guard<std::mutex> lock(effectsMutex);
        effects.reset();
    }
    swr_free(&resampler);
    avcodec_free_context(&codecContext);
    av_frame_free(&frame);
    av_frame_free(&filtered);
    av_frame_free(&trimmed);
    av_frame_free(&slice);
    av_channel_layout_uninit(&graphInput.layout);
    av_channel_layout_uninit(&resamplerInput.layout);
    av_channel_layout_uninit(&currentInput.layout);
}

bool AudioDecoder::open(const AVCodecParameters* params, AVRational streamTimeBase, AudioOutputWasapi* out)
{
    output = out;
    timeBase = streamTimeBase;
    outSampleRate = out ? out->sampleRate() : 0;
    outChannels = out ? out->channels() : 0;
    refusal.clear();
    if (!params || !out || outSampleRate <= 0 || outChannels <= 0)
        return false;
    // A damaged header can claim any rate; at 1 Hz every sample would become a second of output.
    auto refuse = [this](int rate, int channels) {
        refusal = refusalOf(rate, channels);
        if (!refusal.empty())
            logError("AudioDecoder: {}; the audio track is not played", refusal);
        return !refusal.empty();
    };
    if (refuse(params->sample_rate, params->ch_layout.nb_channels))
        return false;

    const AVCodec* codec = avcodec_find_decoder(params->codec_id);
    if (!codec) {
        logError("AudioDecoder: no decoder for codec_id={}", static_cast<int>(params->codec_id));
        return false;
    }
    avcodec_free_context(&codecContext);
    codecContext = avcodec_alloc_context3(codec);
    if (!codecContext || avcodec_parameters_to_context(codecContext, params) < 0
        || avcodec_open2(codecContext, codec, nullptr) < 0)
        return false;
    if (refuse(codecContext->sample_rate, codecContext->ch_layout.nb_channels))
        return false;

    assignInput(currentInput, codecContext->sample_fmt, codecContext->sample_rate, codecContext->ch_layout);
    if (!configureResampler(currentInput))
        return false;

    const char* formatName = av_get_sample_fmt_name(codecContext->sample_fmt);
    logInfo("AudioDecoder: codec={} in={}Hz/{}ch fmt={} -> out={}Hz/{}ch fmt=flt", codec->name,
        codecContext->sample_rate, codecContext->ch_layout.nb_channels, formatName ? formatName : "none", outSampleRate,
        outChannels);
    return true;
}

bool AudioDecoder::start(PacketQueue* packets, std::atomic<int64_t>* decodedCounter)
{
    if (thread.joinable()) {
        logError("AudioDecoder: start while the decoding thread runs");
        return false;
    }
    stopRequested.store(false);
    finished.store(false);
    try {
        thread = std::thread(&AudioDecoder::decodeLoop, this, packets, decodedCounter);
    } catch (const std::system_error& e) {
        logError("AudioDecoder: decoding thread could not start: {}", e.what());
        finished.store(true);
        if (output)
            output->ring().abort();
        return false;
    }
    return true;
}

void AudioDecoder::join()
{
    stopRequested.store(true);
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
}

void AudioDecoder::setEffects(std::shared_ptr<const AudioEffects> newEffects)
{
    {
        std::lock_guard<std::mutex> lock(effectsMutex);
        effects.swap(newEffects);
    }
    effectsGeneration.fetch_add(1, std::memory_order_acq_rel);
    // The previous record is released here, outside the lock.
}

std::string AudioDecoder::filterDescription()
{
    std::lock_guard<std::mutex> lock(effectsMutex);
    return activeDescription;
}

void AudioDecoder::decodeLoop(PacketQueue* packets, std::atomic<int64_t>* decodedCounter)
{
    pthread_setname_np(pthread_self(), "kvr-adec");
    try {
        frame = av_frame_alloc();
        filtered = av_frame_alloc();
        slice = av_frame_alloc();
        silence.assign(size_t(silenceBlockFrames) * size_t(std::max(outChannels, 0)), 0.0f);
        aligned = false;
        if (frame && filtered && slice && codecContext && output && packets) {
            applyEffects();
            AVPacket* packet = nullptr;
            while (!stopRequested.load()) {
                if (!packets->pop(packet))
                    break;
                int r = avcodec_send_packet(codecContext, packet);
                if (r == AVERROR(EAGAIN)) {
                    // The decoder wants its frames taken first; then it accepts the packet.
                    receiveFrames(decodedCounter);
                    r = avcodec_send_packet(codecContext, packet);
                }
                if (r >= 0)
                    receiveFrames(decodedCounter);
                else
                    logWarning("AudioDecoder: send_packet: {}", ffmpegErrorText(r));
                av_packet_free(&packet);
            }
            if (!stopRequested.load()) {
                avcodec_send_packet(codecContext, nullptr);
                receiveFrames(decodedCounter);
            }
            if (!stopRequested.load()) {
                if (graph)
                    drainGraph();
                else
                    flushResampler();
            }
        }
    } catch (const std::exception& e) {
        logError("AudioDecoder: decoding stopped: {}", e.what());
    } catch (...) {
        logError("AudioDecoder: decoding stopped");
    }
    finished.store(true);
    if (output)
        output->ring().abort();
    freeGraph();
    av_frame_free(&frame);
    av_frame_free(&filtered);
    av_frame_free(&trimmed);
    av_frame_free(&slice);
    std::vector<float>().swap(converted);
    std::vector<float>().swap(silence);
}

void AudioDecoder::receiveFrames(std::atomic<int64_t>* decodedCounter)
{
    for (;;) {
        const int r = avcodec_receive_frame(codecContext, frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return;
        if (r < 0) {
            logWarning("AudioDecoder: receive_frame: {}", ffmpegErrorText(r));
            return;
        }
        if (decodedCounter)
            decodedCounter->fetch_add(1);
        handleFrame(frame);
        av_frame_unref(frame);
    }
}

void AudioDecoder::handleFrame(AVFrame* decoded)
{
    if (decoded->nb_samples <= 0)
        return;
    if (const std::string why = refusalOf(decoded->sample_rate, decoded->ch_layout.nb_channels); !why.empty()) {
        if (!refusedFrameLogged)
            logWarning("AudioDecoder: frames dropped: {}", why);
        refusedFrameLogged = true;
        return;
    }
    // Programme changes and joined streams change the format mid-stream; graphs and resamplers are rebuilt for
    // the frame's own format below.
    if (!sameInput(currentInput, decoded))
        assignInput(
            currentInput, static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, decoded->ch_layout);

    applyEffects();

    const int64_t ts = decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp;
    const bool known = ts != AV_NOPTS_VALUE && timeBase.num >= 1 && timeBase.den >= 1;
    int64_t ptsUs = known ? av_rescale_q(ts, timeBase, AVRational { 1, 1000000 }) : -1;

    AVFrame* in = decoded;
    if (!aligned && known) {
        const int64_t startUs = std::max<int64_t>(seekTargetUs.load(), 0);
        if (ptsUs < startUs) {
            const int64_t before = av_rescale_rnd(startUs - ptsUs, decoded->sample_rate, 1000000, AV_ROUND_NEAR_INF);
            if (before >= decoded->nb_samples)
                return; // wholly before the start
            if (before > 0) {
                // The frame straddles the start: keep only the part from the start on, so the first sample
                // written is the start's on both paths.
                if (!trimmed)
                    trimmed = av_frame_alloc();
                if (!trimmed)
                    return;
                av_frame_unref(trimmed);
                trimmed->format = decoded->format;
                trimmed->sample_rate = decoded->sample_rate;
                trimmed->nb_samples = decoded->nb_samples - static_cast<int>(before);
                if (av_channel_layout_copy(&trimmed->ch_layout, &decoded->ch_layout) < 0
                    || av_frame_get_buffer(trimmed, 0) < 0)
                    return;
                av_samples_copy(trimmed->extended_data, decoded->extended_data, 0, static_cast<int>(before),
                    trimmed->nb_samples, decoded->ch_layout.nb_channels, static_cast<AVSampleFormat>(decoded->format));
                in = trimmed;
            }
            ptsUs = startUs;
        } else if (ptsUs > startUs) {
            // The stream starts after the start position: the clock counts from the start, so the gap is
            // silence, played at the output's pace (each output second stands for `speed` media seconds).
            double pace = speed.load();
            if (!graph || !std::isfinite(pace) || pace <= 0.0)
                pace = 1.0;
            writeSilence(std::llround(double(ptsUs - startUs) * outSampleRate / 1e6 / pace));
        }
    }
    aligned = true;

    if (graph && !sameInput(graphInput, in)) {
        drainGraph();
        if (!buildFilterGraph(graphDescription)) {
            graphShape.clear();
            graphDescription.clear();
            std::lock_guard<std::mutex> lock(effectsMutex);
            activeDescription.clear();
        }
    }

    // A long frame (a PCM packet at a low rate can hold seconds) goes in slices.
    const int chunk = static_cast<int>(
        std::clamp<int64_t>(int64_t(resampleChunkFrames) * in->sample_rate / std::max(outSampleRate, 1), 1, INT32_MAX));
    const int64_t graphPts = known ? av_rescale(ptsUs, in->sample_rate, 1000000) : AV_NOPTS_VALUE;
    if (in->nb_samples <= chunk) {
        process(in, graphPts);
        return;
    }
    for (int offset = 0; offset < in->nb_samples && !stopRequested.load(); offset += chunk) {
        AVFrame* part = sliceOf(in, offset, std::min(chunk, in->nb_samples - offset));
        if (!part)
            return;
        process(part, graphPts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : graphPts + offset);
    }
    av_frame_unref(slice);
}

void AudioDecoder::process(AVFrame* in, int64_t graphPts)
{
    if (!graph) {
        convertAndWrite(in);
        return;
    }
    in->pts = graphPts;
    const int r = av_buffersrc_add_frame_flags(graphSource, in, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (r < 0) {
        const int64_t ptsUs = graphPts == AV_NOPTS_VALUE ? -1 : av_rescale(graphPts, 1000000, in->sample_rate);
        logWarning("AudioDecoder: filter rejected frame at {}us: {}", ptsUs, ffmpegErrorText(r));
        return;
    }
    graphInputSamples += in->nb_samples;
    pullGraph();
}

AVFrame* AudioDecoder::sliceOf(const AVFrame* in, int offset, int count)
{
    // A reference to the same buffers with the plane pointers moved on: no samples are copied.
    av_frame_unref(slice);
    if (av_frame_ref(slice, in) < 0)
        return nullptr;
    const auto format = static_cast<AVSampleFormat>(in->format);
    const int channels = in->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const size_t bytes
        = size_t(offset) * size_t(av_get_bytes_per_sample(format)) * size_t(planar ? 1 : std::max(channels, 1));
    const int planes = planar ? channels : 1;
    for (int p = 0; p < planes; ++p)
        slice->extended_data[p] += bytes;
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
        slice->data[p] = slice->extended_data[p];
    slice->linesize[0] -= static_cast<int>(bytes);
    slice->nb_samples = count;
    return slice;
}

void AudioDecoder::applyEffects()
{
    const int64_t generation = effectsGeneration.load(std::memory_order_acquire);
    if (generation == appliedGeneration)
        return;
    appliedGeneration = generation;

    std::shared_ptr<const AudioEffects> wanted;
    {
        std::lock_guard<std::mutex> lock(effectsMutex);
        wanted = effects;
    }
    static const AudioEffects defaults {};
    const AudioEffects& fx = wanted ? *wanted : defaults;
    const double pace = speed.load();
    const double gainDb = normalizationGainDb.load();
    const double tempo = std::isfinite(pace) && pace > 0.0 ? pace : 1.0;

    const std::string full = buildAudioFilterChain(fx, pace, gainDb, outSampleRate, outChannels);
    if (full.empty()) {
        if (graph) {
            logInfo("AudioDecoder: effects off");
            drainGraph();
            freeGraph();
        }
        graphShape.clear();
        graphDescription.clear();
    } else if (!graph || full != graphDescription) {
        const std::string shape = buildAudioFilterShape(fx, pace, gainDb, outSampleRate, outChannels);
        // Equal shapes mean the same filters in the same order, so only the equaliser's gains moved: retune
        // the running graph. A command that fails (no such target) falls back to a rebuild.
        const bool retuned = graph && shape == graphShape && sendGainCommands(fx);
        if (!retuned) {
            if (graph)
                drainGraph();
            else
                flushResampler();
            graphSpeed = tempo;
            if (buildFilterGraph(full))
                graphShape = shape;
            else
                graphShape.clear();
        }
        graphDescription = graph ? full : std::string();
    }

    std::lock_guard<std::mutex> lock(effectsMutex);
    activeDescription = graph ? full : std::string();
}

bool AudioDecoder::sendGainCommands(const AudioEffects& wanted)
{
    std::string arg = fmt::format("{:.2f}dB", effectiveGain(wanted.preamp));
    if (avfilter_graph_send_command(graph, "volume@preamp", "volume", arg.c_str(), nullptr, 0, 0) < 0)
        return false;
    char target[32];
    for (size_t i = 0; i < wanted.bands.size(); ++i) {
        formatToBuffer(target, sizeof target, "equalizer@eq%zu", i);
        arg = fmt::format("{:.2f}", effectiveGain(wanted.bands[i]));
        if (avfilter_graph_send_command(graph, target, "g", arg.c_str(), nullptr, 0, 0) < 0)
            return false;
    }
    return true;
}

bool AudioDecoder::buildFilterGraph(const std::string& full)
{
    freeGraph();
    graph = avfilter_graph_alloc();
    if (!graph)
        return false;
    // Audio filters gain nothing from slice threads; a pool per graph would only cost threads at every rebuild.
    graph->nb_threads = 1;

    const char* formatName = av_get_sample_fmt_name(currentInput.format);
    char args[512];
    formatToBuffer(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
        currentInput.sampleRate, currentInput.sampleRate, formatName ? formatName : "none",
        describeLayout(currentInput.layout).c_str());
    if (avfilter_graph_create_filter(&graphSource, avfilter_get_by_name("abuffer"), "in", args, nullptr, graph) < 0
        || avfilter_graph_create_filter(&graphSink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr, graph)
            < 0) {
        freeGraph();
        return false;
    }

    AVChannelLayout outLayout {};
    av_channel_layout_default(&outLayout, outChannels);
    const std::string text = full
        + fmt::format(
            ",aformat=sample_fmts=flt:sample_rates={}:channel_layouts={}", outSampleRate, describeLayout(outLayout));

    int r = linkFilterGraph(graph, text, graphSource, graphSink);
    if (r < 0) {
        logError("AudioDecoder: filter graph '{}' failed: {}", text, ffmpegErrorText(r));
        freeGraph();
        return false;
    }
    assignInput(graphInput, currentInput.format, currentInput.sampleRate, currentInput.layout);
    graphInputSamples = 0;
    graphOutputFrames = 0;
    logInfo("AudioDecoder: filter graph '{}'", text);
    return true;
}

void AudioDecoder::drainGraph()
{
    // A graph holds audio (atempo about 1/24 s, the limiter its look-ahead); freeing it without this would drop
    // that audio and put the sound ahead of the clock.
    if (!graph || stopRequested.load())
        return;
    if (av_buffersrc_add_frame_flags(graphSource, nullptr, 0) < 0)
        return;
    // atempo's end-of-stream flush overshoots by a few milliseconds, which would add up over many rebuilds: hand
    // over exactly the length the graph's input stands for, padding a short graph with (at most 100 ms of)
    // silence.
    const int64_t expected = graphInput.sampleRate > 0
        ? std::llround(double(graphInputSamples) * outSampleRate / graphInput.sampleRate / graphSpeed)
        : -1;
    pullGraph(expected);
    if (expected > graphOutputFrames)
        writeSilence(std::min<int64_t>(expected - graphOutputFrames, outSampleRate / 10));
}

void AudioDecoder::freeGraph()
{
    avfilter_graph_free(&graph);
    graphSource = nullptr;
    graphSink = nullptr;
}

void AudioDecoder::pullGraph(int64_t limit)
{
    for (;;) {
        if (av_buffersink_get_frame(graphSink, filtered) < 0)
            return;
        if (filtered->format == AV_SAMPLE_FMT_FLT && filtered->ch_layout.nb_channels == outChannels) {
            int64_t frames = filtered->nb_samples;
            if (limit >= 0)
                frames = std::clamp<int64_t>(limit - graphOutputFrames, 0, frames);
            if (frames > 0)
                writeSamples(reinterpret_cast<const float*>(filtered->data[0]), size_t(frames));
            graphOutputFrames += frames;
        }
        av_frame_unref(filtered);
    }
}

bool AudioDecoder::configureResampler(const InputFormat& input)
{
    swr_free(&resampler);
    assignInput(resamplerInput, input.format, input.sampleRate, input.layout);
    resamplerHoldsSamples = false;
    AVChannelLayout outLayout {};
    av_channel_layout_default(&outLayout, outChannels);
    int r = swr_alloc_set_opts2(&resampler, &outLayout, AV_SAMPLE_FMT_FLT, outSampleRate, &resamplerInput.layout,
        input.format, input.sampleRate, 0, nullptr);
    if (r < 0 || !resampler) {
        logError("AudioDecoder: swr_alloc_set_opts2 failed");
        swr_free(&resampler);
        return false;
    }
    r = swr_init(resampler);
    if (r < 0) {
        logError("AudioDecoder: swr_init: {}", ffmpegErrorText(r));
        swr_free(&resampler);
        return false;
    }
    return true;
}

void AudioDecoder::flushResampler()
{
    // The resampler keeps a few samples of history; hand them out before it is reset or replaced.
    if (!resampler || !resamplerHoldsSamples)
        return;
    resamplerHoldsSamples = false;
    const int pending = swr_get_out_samples(resampler, 0);
    if (pending > 0 && !stopRequested.load()) {
        if (converted.size() < size_t(pending) * size_t(outChannels))
            converted.resize(size_t(pending) * size_t(outChannels));
        uint8_t* out[1] = { reinterpret_cast<uint8_t*>(converted.data()) };
        const int produced = swr_convert(resampler, out, pending, nullptr, 0);
        if (produced > 0)
            writeSamples(converted.data(), size_t(produced));
    }
    swr_init(resampler);
}

void AudioDecoder::convertAndWrite(const AVFrame* in)
{
    if (!sameInput(resamplerInput, in)) {
        flushResampler();
        configureResampler(currentInput);
    }
    if (!resampler)
        return;
    const int needed = swr_get_out_samples(resampler, in->nb_samples);
    if (needed <= 0)
        return;
    if (converted.size() < size_t(needed) * size_t(outChannels))
        converted.resize(size_t(needed) * size_t(outChannels));
    uint8_t* out[1] = { reinterpret_cast<uint8_t*>(converted.data()) };
    const int produced
        = swr_convert(resampler, out, needed, const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
    resamplerHoldsSamples = true;
    if (produced > 0)
        writeSamples(converted.data(), size_t(produced));
}

void AudioDecoder::writeSilence(int64_t frames)
{
    while (frames > 0 && !stopRequested.load()) {
        const int64_t block = std::min<int64_t>(frames, silenceBlockFrames);
        if (!writeSamples(silence.data(), size_t(block)))
            return;
        frames -= block;
    }
}

bool AudioDecoder::writeSamples(const float* data, size_t frames)
{
    const size_t count = frames * size_t(outChannels);
    return output->ring().write(data, count) == count;
}

} // namespace kvr::engine::internal
