// How fast and at what CPU cost the engine turns a 1080p H.264 file of 900 frames into displayable pictures
// (demuxer and decoder threads, frame queue, a consumer that takes every picture as soon as it is queued),
// beside a plain libavformat/libavcodec loop in this same process decoding the same file with the same decoder
// settings (automatic thread count, frame and slice threads) and dropping every picture. Both sides are timed
// the same way: wall time and this process's CPU time around the decode alone. The sides alternate run by run
// (A B A B, which goes first alternating too); the ratio of the medians is printed, and the median of the pairs'
// ratios beside it.
#include "engine/internal/Demuxer.h"
#include "engine/internal/VideoDecoder.h"
#include "engine/internal/VideoFrameQueue.h"

#include <spdlog/spdlog.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int seconds = 30;
constexpr int rate = 30;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Run {
    int64_t frames = 0;
    double wall = 0;
    double cpu = 0;
};

// The engine's own path; frames 0 on failure.
Run decodeOnce(const fs::path& clip)
{
    Run run;
    Demuxer demuxer;
    StreamSelection selection;
    if (!demuxer.open(clip, 0, selection) || demuxer.video.index < 0)
        return run;
    VideoDecoder decoder;
    if (!decoder.open(demuxer.video.codecParameters, demuxer.video.timeBase, false))
        return run;
    VideoFrameQueue queue(5);
    std::atomic<int64_t> decoded { 0 };
    const double cpu = cpuSeconds();
    const auto start = Clock::now();
    demuxer.start(nullptr);
    decoder.start(&demuxer.videoQueue, &queue, &decoded);
    while (!decoder.finished.load() || queue.size() > 0) {
        // Polled as a paint path would be, without spinning: a busy consumer would bill its own CPU to the engine.
        if (!queue.takeDue(INT64_MAX, false))
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    run.wall = secondsSince(start);
    run.cpu = cpuSeconds() - cpu;
    demuxer.join();
    queue.abort();
    decoder.join();
    run.frames = decoded.load();
    return run;
}

// libavformat and libavcodec alone, as the engine's decoder sets them up for software decoding.
Run plainOnce(const fs::path& clip)
{
    Run run;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, clip.c_str(), nullptr, nullptr) < 0)
        return run;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const int stream = avformat_find_stream_info(format, nullptr) >= 0
        ? av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)
        : -1;
    if (stream >= 0) {
        const AVCodecParameters* params = format->streams[stream]->codecpar;
        const AVCodec* decoderCodec = avcodec_find_decoder(params->codec_id);
        codec = decoderCodec ? avcodec_alloc_context3(decoderCodec) : nullptr;
        if (codec && avcodec_parameters_to_context(codec, params) >= 0) {
            codec->thread_count = 0;
            codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
            if (avcodec_open2(codec, decoderCodec, nullptr) < 0)
                avcodec_free_context(&codec);
        } else {
            avcodec_free_context(&codec);
        }
    }
    if (codec && packet && frame) {
        const double cpu = cpuSeconds();
        const auto start = Clock::now();
        auto drain = [&] {
            while (avcodec_receive_frame(codec, frame) >= 0) {
                ++run.frames;
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream)
                avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            drain();
        }
        avcodec_send_packet(codec, nullptr);
        drain();
        run.wall = secondsSince(start);
        run.cpu = cpuSeconds() - cpu;
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

constexpr int pairs = 5;

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::err);

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvr-vdec-bench-XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::fprintf(stderr, "cannot make a scratch directory\n");
        return 1;
    }
    const fs::path clip = fs::path(dir) / "clip-1080p.mp4";
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate="
        + std::to_string(rate) + ":duration=" + std::to_string(seconds)
        + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 '" + clip.string() + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate the clip\n");
        fs::remove_all(dir);
        return 1;
    }

    std::vector<double> oursWall, oursCpu, plainWall, plainCpu, wallRatio, cpuRatio;
    int64_t oursFrames = 0;
    int64_t plainFrames = 0;
    for (int i = 0; i < pairs; ++i) {
        Run ours;
        Run plain;
        if (i % 2 == 0) {
            ours = decodeOnce(clip);
            plain = plainOnce(clip);
        } else {
            plain = plainOnce(clip);
            ours = decodeOnce(clip);
        }
        if (ours.frames <= 0 || plain.frames <= 0) {
            std::fprintf(stderr, "decoding failed\n");
            fs::remove_all(dir);
            return 1;
        }
        oursFrames = ours.frames;
        plainFrames = plain.frames;
        oursWall.push_back(ours.wall);
        oursCpu.push_back(ours.cpu);
        plainWall.push_back(plain.wall);
        plainCpu.push_back(plain.cpu);
        wallRatio.push_back(ours.wall / plain.wall);
        cpuRatio.push_back(ours.cpu / plain.cpu);
    }
    fs::remove_all(dir);

    std::printf("video_decode_pairs: %d pairs\n", pairs);
    std::printf("video_decode_frames: %lld frames\n", static_cast<long long>(oursFrames));
    std::printf("plain_decode_frames: %lld frames\n", static_cast<long long>(plainFrames));
    std::printf("video_decode_1080p_h264_wall_median: %.3f s\n", median(oursWall));
    std::printf("video_decode_1080p_h264_cpu_median: %.3f s\n", median(oursCpu));
    std::printf("video_decode_1080p_h264_median: %.1f fps\n", double(oursFrames) / median(oursWall));
    std::printf("plain_decode_1080p_h264_wall_median: %.3f s\n", median(plainWall));
    std::printf("plain_decode_1080p_h264_cpu_median: %.3f s\n", median(plainCpu));
    std::printf("plain_decode_1080p_h264_median: %.1f fps\n", double(plainFrames) / median(plainWall));
    std::printf("video_decode_vs_plain_wall: %.2f ratio\n", median(oursWall) / median(plainWall));
    std::printf("video_decode_vs_plain_cpu: %.2f ratio\n", median(oursCpu) / median(plainCpu));
    std::printf("video_decode_vs_plain_wall_pair_median: %.2f ratio\n", median(wallRatio));
    std::printf("video_decode_vs_plain_cpu_pair_median: %.2f ratio\n", median(cpuRatio));
    return 0;
}
