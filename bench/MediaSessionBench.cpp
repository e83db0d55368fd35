// Measures what a user of the session waits for and sees on a local 1080p H.264 clip it generates itself: the time
// from a seek request to the first picture at the target, on the default endpoint (the PulseAudio server named by
// PULSE_SERVER, for example a null sink) and on the silent endpoint in the same run, against the seek floor
// (libavformat's seek to the keyframe before the target and libavcodec's decode up to the target picture, the
// same targets interleaved); how long a seek through the player bridge holds the GUI thread; and how far the
// shown pictures are from the heard clock.
#include "bench/BenchClips.h"
#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

using kvr::engine::MediaSession;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

double mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? NAN : sum / double(values.size());
}

// Shows pictures as the video sink does for `duration`; returns (picture time - heard video clock) per picture.
std::vector<double> playAndMeasure(MediaSession& session, std::chrono::milliseconds duration)
{
    std::vector<double> offsetsMs;
    const auto start = Clock::now();
    while (Clock::now() - start < duration) {
        if (auto frame = session.takeFrame(session.videoClockUs(), false))
            offsetsMs.push_back(double(frame->pts - session.videoClockUs()) / 1000.0);
        std::this_thread::sleep_for(2ms);
    }
    return offsetsMs;
}

struct SeekTimes {
    std::vector<double> toFirstFrameMs; // request -> first picture at the target
    std::vector<double> blockingMs; // how long the seek call itself held the caller
};

// Seeks to `target` while playing and waits for the first picture as the video sink takes it (with nothing to show
// it takes the next picture, due or not); then plays on a little, as a user would. False when no picture at the
// target came.
bool timeSeek(MediaSession& session, int64_t target, SeekTimes& times)
{
    const auto start = Clock::now();
    if (!session.seek(target)) {
        std::fprintf(stderr, "seek failed: %s\n", session.lastError().c_str());
        return false;
    }
    const double blocking = msSince(start);
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    while (!(frame = session.takeFrame(session.videoClockUs(), true)) && msSince(start) < 10'000)
        std::this_thread::sleep_for(1ms);
    if (!frame || frame->pts < target) {
        std::fprintf(stderr, "no picture at the target %lld\n", static_cast<long long>(target));
        return false;
    }
    times.toFirstFrameMs.push_back(msSince(start));
    times.blockingMs.push_back(blocking);
    playAndMeasure(session, 300ms);
    return true;
}

void printSeeks(const char* name, const SeekTimes& times)
{
    std::printf("seek_%s_mean: %.1f ms\n", name, mean(times.toFirstFrameMs));
    std::printf("seek_%s_p95: %.1f ms\n", name, percentile(times.toFirstFrameMs, 0.95));
    std::printf("seek_%s_max: %.1f ms\n", name, percentile(times.toFirstFrameMs, 1.0));
    std::printf("seek_%s_call_mean: %.1f ms\n", name, mean(times.blockingMs));
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

// The seek floor: the demuxer and decoder stay open as a player's would; a seek is libavformat's seek to the
// keyframe before the target, a decoder flush and the decode up to the first picture at the target.
class SeekFloor {
public:
    explicit SeekFloor(const std::string& path)
    {
        if (avformat_open_input(&format_, path.c_str(), nullptr, nullptr) < 0
            || avformat_find_stream_info(format_, nullptr) < 0)
            return;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0)
            return;
        const AVCodecParameters* par = format_->streams[stream_]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        codec_ = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(codec_, par);
        codec_->thread_count = 0; // as the player decodes
        ok_ = avcodec_open2(codec_, codec, nullptr) >= 0;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~SeekFloor()
    {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }
    bool ok() const { return ok_; }

    bool seek(int64_t targetUs)
    {
        const AVRational tb = format_->streams[stream_]->time_base;
        const int64_t target = av_rescale_q(targetUs, AVRational { 1, 1'000'000 }, tb);
        if (av_seek_frame(format_, stream_, target, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(codec_);
        while (av_read_frame(format_, packet_) >= 0) {
            const bool mine = packet_->stream_index == stream_;
            if (mine && avcodec_send_packet(codec_, packet_) < 0) {
                av_packet_unref(packet_);
                return false;
            }
            av_packet_unref(packet_);
            while (mine && avcodec_receive_frame(codec_, frame_) >= 0) {
                const int64_t pts = frame_->best_effort_timestamp;
                av_frame_unref(frame_);
                if (pts != AV_NOPTS_VALUE && pts >= target)
                    return true;
            }
        }
        return false;
    }

private:
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    bool ok_ = false;
};

struct BridgeSeekTimes {
    std::vector<double> callMs; // how long seekUs held the GUI thread
    std::vector<double> longestGapMs; // the longest the GUI thread's event loop went unserved during the seek
    std::vector<double> toFirstFrameMs;
};

// A seek through the player bridge, as the window asks it: the GUI thread calls seekUs and serves its events until
// the first picture at the target; a 1 ms timer shows how long the thread went unserved (as the watchdog would).
bool timeBridgeSeek(kvr::ui::MediaSessionBridge& bridge, int64_t target, BridgeSeekTimes& times)
{
    QElapsedTimer sinceTick;
    double longestGap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    tick.start(1);
    sinceTick.start();
    const uint64_t generation = bridge.sessionGeneration();
    const auto start = Clock::now();
    bridge.seekUs(target);
    const double call = msSince(start);
    longestGap = std::max(longestGap, double(sinceTick.nsecsElapsed()) / 1e6);
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    while (msSince(start) < 10'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        // The reopen's close and open each count once; before the open the old queue may still hand out.
        if (bridge.sessionGeneration() >= generation + 2 && (frame = bridge.takeFrame(bridge.videoClockUs(), true)))
            break;
    }
    const double toFirst = msSince(start);
    while (bridge.reopening() && msSince(start) < 10'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    if (!frame || frame->pts < target) {
        std::fprintf(stderr, "bridge seek to %lld: picture at %lld\n", static_cast<long long>(target),
            static_cast<long long>(frame ? frame->pts : -1));
        return false;
    }
    times.callMs.push_back(call);
    times.longestGapMs.push_back(longestGap);
    times.toFirstFrameMs.push_back(toFirst);
    return true;
}

// The same 20 targets for both endpoints, from a fixed seed, so runs compare.
std::vector<int64_t> seekTargets()
{
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int64_t> pick(500'000, 11'000'000);
    std::vector<int64_t> targets(20);
    for (int64_t& target : targets)
        target = pick(random);
    return targets;
}

// Opens the clip and plays it a little; left paused. False when it cannot be opened or sought.
bool warmUp(MediaSession& session, const std::filesystem::path& clip)
{
    if (!session.open(clip, 0)) {
        std::fprintf(stderr, "open failed: %s\n", session.lastError().c_str());
        return false;
    }
    session.play();
    // A fresh sound server sink works off its start-up latency first; one seek each warms the caches.
    playAndMeasure(session, 1500ms);
    SeekTimes warmUpTimes;
    if (!timeSeek(session, 6'000'000, warmUpTimes))
        return false;
    session.pause();
    return true;
}

// Target by target, one endpoint after the other, so a change in the machine's load meets both alike. The
// session not being measured is paused: its decoders wait on full queues and cost nothing. False when a seek
// gave no picture at its target.
bool timeEndpoints(MediaSession& pulse, MediaSession& silent, const std::vector<int64_t>& targets,
    SeekTimes& pulseTimes, SeekTimes& silentTimes)
{
    for (int64_t target : targets) {
        for (auto [session, times] : { std::pair { &pulse, &pulseTimes }, std::pair { &silent, &silentTimes } }) {
            session->play();
            const bool ok = timeSeek(*session, target, *times);
            session->pause();
            if (!ok)
                return false;
        }
    }
    return true;
}

// The seek floor against the engine's seek on the silent endpoint, target by target.
void timeAgainstFloor(MediaSession& silent, SeekFloor& floor, const std::vector<int64_t>& targets,
    SeekTimes& floorTimes, SeekTimes& engineTimes)
{
    if (!floor.ok())
        return;
    floor.seek(6'000'000);
    for (int64_t target : targets) {
        const auto start = Clock::now();
        if (floor.seek(target))
            floorTimes.toFirstFrameMs.push_back(msSince(start));
        silent.play();
        timeSeek(silent, target, engineTimes);
        silent.pause();
    }
}

// Through the bridge, as the window seeks: the GUI thread's hold per seek.
BridgeSeekTimes timeBridgeSeeks(const std::filesystem::path& clip, const std::vector<int64_t>& targets)
{
    BridgeSeekTimes bridgeTimes;
    MediaSession viaBridge(
        [] { return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {}); });
    kvr::ui::MediaSessionBridge bridge;
    bridge.setSession(&viaBridge);
    if (viaBridge.open(clip, 0)) {
        viaBridge.play();
        playAndMeasure(viaBridge, 500ms);
        for (int64_t target : targets) {
            if (!timeBridgeSeek(bridge, target, bridgeTimes))
                std::fprintf(stderr, "bridge seek to %lld gave no picture\n", static_cast<long long>(target));
            for (const auto start = Clock::now(); msSince(start) < 300;)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    bridge.stop();
    bridge.setSession(nullptr);
    return bridgeTimes;
}

struct Figures {
    SeekTimes pulse;
    SeekTimes silent;
    SeekTimes floor;
    SeekTimes engine; // the silent endpoint's seeks interleaved with the floor's
    BridgeSeekTimes bridge;
    std::vector<double> offsets; // picture time - heard clock, per picture shown
};

void printFigures(const Figures& f)
{
    std::vector<double> absolute;
    for (double o : f.offsets)
        absolute.push_back(std::abs(o));

    std::printf("seek_targets: %zu seeks\n", f.pulse.toFirstFrameMs.size());
    printSeeks("pulse", f.pulse);
    printSeeks("silent", f.silent);
    std::printf(
        "seek_mean_ratio_pulse_to_silent: %.2f x\n", mean(f.pulse.toFirstFrameMs) / mean(f.silent.toFirstFrameMs));
    std::printf("seek_p95_ratio_pulse_to_silent: %.2f x\n",
        percentile(f.pulse.toFirstFrameMs, 0.95) / percentile(f.silent.toFirstFrameMs, 0.95));
    std::printf("seek_floor_median: %.1f ms\n", median(f.floor.toFirstFrameMs));
    std::printf("seek_silent_interleaved_median: %.1f ms\n", median(f.engine.toFirstFrameMs));
    std::printf("seek_ratio_to_floor: %.2f x\n", median(f.engine.toFirstFrameMs) / median(f.floor.toFirstFrameMs));
    std::printf("seek_bridge_to_first_picture_median: %.1f ms\n", median(f.bridge.toFirstFrameMs));
    std::printf("seek_bridge_gui_call_median: %.2f ms\n", median(f.bridge.callMs));
    std::printf("seek_bridge_gui_call_max: %.2f ms\n", percentile(f.bridge.callMs, 1.0));
    std::printf("seek_bridge_gui_longest_gap_median: %.2f ms\n", median(f.bridge.longestGapMs));
    std::printf("seek_bridge_gui_longest_gap_max: %.2f ms\n", percentile(f.bridge.longestGapMs, 1.0));
    std::printf("av_offset_mean: %.1f ms\n", mean(f.offsets));
    std::printf("av_offset_abs_p95: %.1f ms\n", percentile(absolute, 0.95));
    std::printf("av_offset_abs_max: %.1f ms\n", percentile(absolute, 1.0));
    std::printf("av_offset_median: %.1f ms\n", median(f.offsets));
    std::printf("av_offset_abs_p99: %.1f ms\n", percentile(absolute, 0.99));
    std::printf("frames_shown_in_6s: %zu frames\n", f.offsets.size());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("MediaSessionBench"));
    spdlog::set_level(spdlog::level::err);
    const auto dir = std::filesystem::temp_directory_path() / ("kvr-session-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto clip = dir / "1080p.mp4";
    if (!kvr::bench::makeToneClip(clip, 25, 12))
        return 1;
    const std::vector<int64_t> targets = seekTargets();

    int status = 0;
    {
        MediaSession pulse;
        MediaSession silent(
            [] { return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {}); });
        for (MediaSession* session : { &pulse, &silent })
            if (!warmUp(*session, clip))
                return 1;

        Figures figures;
        if (!timeEndpoints(pulse, silent, targets, figures.pulse, figures.silent))
            status = 1;
        SeekFloor floor(clip.string());
        timeAgainstFloor(silent, floor, targets, figures.floor, figures.engine);
        silent.close();
        figures.bridge = timeBridgeSeeks(clip, targets);

        pulse.seek(0);
        pulse.play();
        figures.offsets = playAndMeasure(pulse, 6000ms);
        printFigures(figures);
        pulse.close();
    }
    std::filesystem::remove_all(dir);
    return status;
}
