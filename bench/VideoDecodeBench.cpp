// How fast the video decoder turns a 1080p H.264 clip into displayable pictures (demuxer, decoder, frame
// queue, a consumer that takes every due picture at once), beside the ffmpeg command line decoding the same
// file to nowhere with automatic threads. Best of three runs each.
#include "engine/internal/Demuxer.h"
#include "engine/internal/VideoDecoder.h"
#include "engine/internal/VideoFrameQueue.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int seconds = 10;
constexpr int rate = 30;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Frames per second through the engine's own path; 0 on failure.
double decodeOnce(const fs::path& clip, int64_t& frames)
{
    Demuxer demuxer;
    StreamSelection selection;
    if (!demuxer.open(clip, 0, selection) || demuxer.video.index < 0)
        return 0;
    VideoDecoder decoder;
    if (!decoder.open(demuxer.video.codecParameters, demuxer.video.timeBase, false))
        return 0;
    VideoFrameQueue queue(5);
    std::atomic<int64_t> decoded { 0 };
    const auto start = Clock::now();
    demuxer.start(nullptr);
    decoder.start(&demuxer.videoQueue, &queue, &decoded);
    while (!decoder.finished.load() || queue.size() > 0) {
        if (!queue.takeDue(INT64_MAX, false))
            std::this_thread::yield();
    }
    const double elapsed = secondsSince(start);
    demuxer.join();
    queue.abort();
    decoder.join();
    frames = decoded.load();
    return elapsed > 0 ? double(frames) / elapsed : 0;
}

double ffmpegOnce(const fs::path& clip, int64_t frames)
{
    const std::string command
        = "ffmpeg -nostdin -hide_banner -loglevel error -threads 0 -i '" + clip.string() + "' -f null -";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        return 0;
    const double elapsed = secondsSince(start);
    return elapsed > 0 ? double(frames) / elapsed : 0;
}

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

    double ours = 0, theirs = 0;
    int64_t frames = 0;
    for (int i = 0; i < 3; ++i) {
        int64_t n = 0;
        const double fps = decodeOnce(clip, n);
        if (fps > ours) {
            ours = fps;
            frames = n;
        }
    }
    for (int i = 0; i < 3 && frames > 0; ++i)
        theirs = std::max(theirs, ffmpegOnce(clip, frames));
    fs::remove_all(dir);

    if (ours <= 0 || theirs <= 0) {
        std::fprintf(stderr, "decoding failed\n");
        return 1;
    }
    std::printf("video_decode_frames: %lld frames\n", static_cast<long long>(frames));
    std::printf("video_decode_1080p_h264: %.1f fps\n", ours);
    std::printf("ffmpeg_decode_1080p_h264: %.1f fps\n", theirs);
    std::printf("video_decode_vs_ffmpeg: %.2f ratio\n", ours / theirs);
    return 0;
}
