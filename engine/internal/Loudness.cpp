#include "engine/internal/Loudness.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/FormatToBuffer.h"
#include "engine/Logging.h"
#include "engine/internal/Demuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <locale.h>
#include <pthread.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace kvr::engine::internal {
namespace {

constexpr double silenceLufs = -70.0;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

locale_t cLocale()
{
    static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// strtod in the C locale: leading blanks and a '+' are accepted, the rest of the text after the number ignored.
double readNumber(const char* text)
{
    return ::strtod_l(text, nullptr, cLocale());
}

// FFmpeg prints its metadata with the process locale; read a decimal comma as a point.
double readMetadataNumber(const char* text)
{
    char buf[64];
    std::strncpy(buf, text, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    std::replace(buf, buf + std::strlen(buf), ',', '.');
    return readNumber(buf);
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string describeLayout(const AVChannelLayout& layout)
{
    char name[128] = {};
    if (av_channel_layout_describe(&layout, name, sizeof name) < 0)
        return {};
    return name;
}

AVChannelLayout usableLayout(const AVChannelLayout& layout)
{
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC)
        return layout;
    AVChannelLayout out {};
    av_channel_layout_default(&out, layout.nb_channels);
    return out;
}

// One measurement's FFmpeg objects, freed together.
struct Measurement {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFilterGraph* graph = nullptr;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    SwrContext* converter = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    AVFrame* converted = nullptr;
    AVFrame* measured = nullptr;
    // What the graph's source was configured with; frames in another format are converted to it, so a format
    // change mid-stream neither stops the measurement nor restarts its integration.
    AVSampleFormat graphFormat = AV_SAMPLE_FMT_NONE;
    int graphRate = 0;
    AVChannelLayout graphLayout {};
    // The input format `converter` was set up for.
    AVSampleFormat converterFormat = AV_SAMPLE_FMT_NONE;
    int converterRate = 0;
    AVChannelLayout converterLayout {};

    double integrated = nan;
    double peak = -std::numeric_limits<double>::infinity();

    ~Measurement()
    {
        av_frame_free(&measured);
        av_frame_free(&converted);
        av_frame_free(&decoded);
        av_packet_free(&packet);
        swr_free(&converter);
        avfilter_graph_free(&graph);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        av_channel_layout_uninit(&graphLayout);
        av_channel_layout_uninit(&converterLayout);
    }

    bool buildGraph(const AVFrame* first)
    {
        graphFormat = static_cast<AVSampleFormat>(first->format);
        graphRate = first->sample_rate;
        av_channel_layout_uninit(&graphLayout);
        const AVChannelLayout layout = usableLayout(first->ch_layout);
        if (av_channel_layout_copy(&graphLayout, &layout) < 0)
            return false;
        graph = avfilter_graph_alloc();
        if (!graph)
            return false;
        graph->nb_threads = 1;
        const char* formatName = av_get_sample_fmt_name(graphFormat);
        char args[512];
        formatToBuffer(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", graphRate,
            graphRate, formatName ? formatName : "none", describeLayout(graphLayout).c_str());
        if (avfilter_graph_create_filter(&source, avfilter_get_by_name("abuffer"), "in", args, nullptr, graph) < 0
            || avfilter_graph_create_filter(&sink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr, graph)
                < 0)
            return false;
        return linkFilterGraph(graph, "ebur128=metadata=1:peak=true", source, sink) >= 0;
    }

    bool matches(AVSampleFormat f, int rate, const AVChannelLayout& known, const AVFrame* frame) const
    {
        if (f != frame->format || rate != frame->sample_rate)
            return false;
        const AVChannelLayout layout = usableLayout(frame->ch_layout);
        return av_channel_layout_compare(&known, &layout) == 0;
    }

    // A converter from `frame`'s format to the graph's; false when none can be made.
    bool prepareConverter(const AVFrame* frame)
    {
        if (converter && matches(converterFormat, converterRate, converterLayout, frame))
            return true;
        flushConverter();
        swr_free(&converter);
        converterFormat = static_cast<AVSampleFormat>(frame->format);
        converterRate = frame->sample_rate;
        av_channel_layout_uninit(&converterLayout);
        const AVChannelLayout layout = usableLayout(frame->ch_layout);
        if (av_channel_layout_copy(&converterLayout, &layout) < 0)
            return false;
        if (swr_alloc_set_opts2(&converter, &graphLayout, graphFormat, graphRate, &converterLayout, converterFormat,
                converterRate, 0, nullptr)
                < 0
            || !converter) {
            swr_free(&converter);
            return false;
        }
        // A downmix normalised to 1 would measure correlated stereo (a mono programme sent as stereo) 3 dB low;
        // up to 2 keeps the plain -3 dB per channel mix, which leaves such a programme's loudness unchanged.
        av_opt_set_double(converter, "rematrix_maxval", 2.0, 0);
        if (swr_init(converter) < 0) {
            swr_free(&converter);
            return false;
        }
        return true;
    }

    void flushConverter()
    {
        if (!converter || !converted)
            return;
        convertAndPush(nullptr);
    }

    // Converts f (nullptr drains the converter) to the graph's input format and measures the result.
    void convertAndPush(const AVFrame* f)
    {
        av_frame_unref(converted);
        converted->format = graphFormat;
        converted->sample_rate = graphRate;
        if (av_channel_layout_copy(&converted->ch_layout, &graphLayout) < 0)
            return;
        if (swr_convert_frame(converter, converted, f) >= 0 && converted->nb_samples > 0)
            push(converted);
    }

    void push(AVFrame* f)
    {
        // A frame the source refuses is dropped.
        if (av_buffersrc_add_frame_flags(source, f, AV_BUFFERSRC_FLAG_KEEP_REF) >= 0)
            pull();
    }

    void measure(AVFrame* f)
    {
        if (f->nb_samples <= 0 || f->sample_rate <= 0 || f->ch_layout.nb_channels <= 0)
            return;
        if (!graph && !buildGraph(f)) {
            avfilter_graph_free(&graph);
            failed = true;
            return;
        }
        if (matches(graphFormat, graphRate, graphLayout, f)) {
            push(f);
            return;
        }
        if (!prepareConverter(f))
            return;
        convertAndPush(f);
    }

    void pull()
    {
        while (av_buffersink_get_frame(sink, measured) >= 0) {
            const AVDictionaryEntry* entry = av_dict_get(measured->metadata, "lavfi.r128.I", nullptr, 0);
            if (entry && entry->value)
                integrated = readMetadataNumber(entry->value);
            entry = nullptr;
            while (
                (entry = av_dict_get(measured->metadata, "lavfi.r128.true_peaks_ch", entry, AV_DICT_IGNORE_SUFFIX))) {
                const double value = entry->value ? readMetadataNumber(entry->value) : 0.0;
                if (value > 0.0)
                    peak = std::max(peak, 20.0 * std::log10(value));
            }
            av_frame_unref(measured);
        }
    }

    void receive(bool& aborted, const std::atomic<bool>* abort)
    {
        while (!failed && avcodec_receive_frame(codec, decoded) >= 0) {
            measure(decoded);
            av_frame_unref(decoded);
            if (abort && abort->load()) {
                aborted = true;
                return;
            }
        }
    }

    bool failed = false;
};

LoudnessResult runMeasurement(const std::string& url, int32_t streamIndex, const std::atomic<bool>* abort)
{
    LoudnessResult result;
    if (url.empty() || isNetworkAddress(url))
        return result;

    Measurement m;
    m.format = avformat_alloc_context();
    if (!m.format)
        return result;
    m.format->interrupt_callback.callback = &Demuxer::interruptCallback;
    m.format->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(abort);
    if (avformat_open_input(&m.format, url.c_str(), nullptr, nullptr) < 0)
        return result; // a failed open has freed the context
    avformat_find_stream_info(m.format, nullptr);

    int index = streamIndex;
    if (index < 0 || unsigned(index) >= m.format->nb_streams
        || m.format->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        index = av_find_best_stream(m.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0)
        return result;
    for (unsigned i = 0; i < m.format->nb_streams; ++i)
        if (int(i) != index)
            m.format->streams[i]->discard = AVDISCARD_ALL;

    const AVCodecParameters* params = m.format->streams[index]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(params->codec_id);
    if (!decoder)
        return result;
    m.codec = avcodec_alloc_context3(decoder);
    if (!m.codec || avcodec_parameters_to_context(m.codec, params) < 0 || avcodec_open2(m.codec, decoder, nullptr) < 0)
        return result;

    m.packet = av_packet_alloc();
    m.decoded = av_frame_alloc();
    m.converted = av_frame_alloc();
    m.measured = av_frame_alloc();
    if (!m.packet || !m.decoded || !m.converted || !m.measured)
        return result;

    // The graph is built for the first decoded frame's format (the codec's own may still be unknown here).
    bool aborted = false;
    while (!aborted && !m.failed) {
        if (abort && abort->load()) {
            aborted = true;
            break;
        }
        if (av_read_frame(m.format, m.packet) < 0)
            break;
        if (m.packet->stream_index == index && avcodec_send_packet(m.codec, m.packet) >= 0)
            m.receive(aborted, abort);
        av_packet_unref(m.packet);
    }
    if (abort && abort->load())
        aborted = true;
    if (aborted || m.failed || !m.graph)
        return result;

    avcodec_send_packet(m.codec, nullptr);
    m.receive(aborted, abort);
    if (aborted)
        return result;
    m.flushConverter();
    if (av_buffersrc_add_frame_flags(m.source, nullptr, 0) >= 0)
        m.pull();

    if (std::isfinite(m.integrated) && m.integrated > silenceLufs) {
        result.ok = true;
        result.integratedLufs = m.integrated;
        result.truePeakDb = std::isfinite(m.peak) ? m.peak : 0.0;
        try {
            defaultLogger()->info(
                "Loudness: I={:.1f} LUFS, true peak {:.1f} dBTP", result.integratedLufs, result.truePeakDb);
        } catch (...) {
        }
    }
    return result;
}

} // namespace

bool isNetworkAddress(std::string_view url)
{
    // A text that begins with "/" is a local path even when it contains "://".
    return url.find("://") != std::string_view::npos && !(url.size() > 0 && url.front() == '/');
}

LoudnessResult measureLoudness(const std::string& url, int32_t streamIndex, const std::atomic<bool>* abort)
{
    try {
        return runMeasurement(url, streamIndex, abort);
    } catch (...) {
        return {};
    }
}

double parseGainDb(const MediaInfo& info, std::string_view tagName)
{
    for (const MediaTag& tag : info.tags) {
        if (!equalsIgnoringAsciiCase(tag.key, tagName))
            continue;
        if (tag.value.empty())
            return nan;
        const double value = readNumber(tag.value.c_str());
        return std::isfinite(value) ? value : nan;
    }
    return nan;
}

double normalizationGainDb(const AudioEffects& effects, double measuredLufs, double trackGainDb, double albumGainDb)
{
    double gain = nan;
    switch (effects.normalize) {
    case AudioEffects::NormalizeEbuR128:
        if (std::isnan(measuredLufs))
            return 0.0;
        gain = std::clamp(effects.loudnessTarget - measuredLufs, -30.0, 20.0);
        break;
    case AudioEffects::NormalizeReplayGainAlbum:
        gain = std::isnan(albumGainDb) ? trackGainDb : albumGainDb;
        break;
    case AudioEffects::NormalizeReplayGainTrack:
        gain = trackGainDb;
        break;
    default:
        return 0.0;
    }
    return std::isfinite(gain) ? gain : 0.0;
}

LoudnessScanner::LoudnessScanner(MeasuredCallback callback)
    : onMeasured(std::move(callback))
{
}

LoudnessScanner::~LoudnessScanner()
{
    join();
}

bool LoudnessScanner::start(const std::string& url, int32_t streamIndex)
{
    if (url.empty() || streamIndex < 0 || isNetworkAddress(url))
        return false;
    std::lock_guard<std::mutex> threadLock(threadMutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (loudnessCache.count(url) || loudnessPendingUrl == url)
            return false;
    }
    // Still under threadMutex: nobody else can start or join meanwhile.
    loudnessAbort.store(true);
    if (loudnessThread.joinable() && loudnessThread.get_id() != std::this_thread::get_id())
        loudnessThread.join();
    loudnessAbort.store(false);
    {
        std::lock_guard<std::mutex> lock(mutex);
        loudnessPendingUrl = url;
    }
    try {
        loudnessThread = std::thread(&LoudnessScanner::loudnessWorker, this, url, streamIndex);
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(mutex);
        loudnessPendingUrl.clear();
        try {
            defaultLogger()->warn("Loudness: worker could not start: {}", e.what());
        } catch (...) {
        }
        return false;
    }
    return true;
}

void LoudnessScanner::join()
{
    std::lock_guard<std::mutex> threadLock(threadMutex);
    loudnessAbort.store(true);
    if (loudnessThread.joinable() && loudnessThread.get_id() != std::this_thread::get_id())
        loudnessThread.join();
    loudnessAbort.store(false);
    std::lock_guard<std::mutex> lock(mutex);
    loudnessPendingUrl.clear();
}

double LoudnessScanner::cachedLoudness(const std::string& url) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = loudnessCache.find(url);
    return it == loudnessCache.end() ? nan : it->second.integratedLufs;
}

std::optional<LoudnessResult> LoudnessScanner::cached(const std::string& url) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = loudnessCache.find(url);
    if (it == loudnessCache.end())
        return std::nullopt;
    return it->second;
}

std::string LoudnessScanner::pendingUrl() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return loudnessPendingUrl;
}

void LoudnessScanner::loudnessWorker(std::string url, int32_t streamIndex)
{
    pthread_setname_np(pthread_self(), "kvr-loud");
    lowerThreadPriority();
    try {
        const LoudnessResult result = measureLoudness(url, streamIndex, &loudnessAbort);
        const bool keep = result.ok && !loudnessAbort.load();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (loudnessPendingUrl == url)
                loudnessPendingUrl.clear();
            if (keep)
                loudnessCache[url] = result;
        }
        if (keep && onMeasured)
            onMeasured(url, result);
    } catch (const std::exception& e) {
        try {
            defaultLogger()->warn("Loudness: worker failed: {}", e.what());
        } catch (...) {
        }
    } catch (...) {
    }
}

} // namespace kvr::engine::internal
