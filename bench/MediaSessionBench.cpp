// Measures what a user of the session waits for and sees on a local 1080p clip it generates itself: the time from
// a seek to the first picture at the target, and how far the shown pictures are from the heard clock (the audio
// plays on the default endpoint: the PulseAudio server named by PULSE_SERVER, for example a null sink).
#include "engine/MediaSession.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::err);
    const auto dir = std::filesystem::temp_directory_path() / ("kvr-session-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto clip = dir / "1080p.mp4";
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                             "testsrc2=size=1920x1080:rate=25:duration=12 -f lavfi -i "
                             "sine=frequency=440:sample_rate=48000:duration=12 -c:v libx264 -preset veryfast -g 50 "
                             "-pix_fmt yuv420p -c:a aac -b:a 128k '"
        + clip.string() + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate the 1080p clip with ffmpeg\n");
        return 1;
    }

    int status = 0;
    {
        MediaSession session;
        if (!session.open(clip, 0)) {
            std::fprintf(stderr, "open failed: %s\n", session.lastError().c_str());
            return 1;
        }
        session.play();
        // A fresh sound server sink works off its start-up latency first.
        playAndMeasure(session, 2500ms);

        std::vector<double> seekMs;
        for (int64_t target : { 2'300'000, 5'700'000, 8'100'000, 3'900'000, 10'200'000, 6'600'000 }) {
            const auto start = Clock::now();
            if (!session.seek(target)) {
                std::fprintf(stderr, "seek failed: %s\n", session.lastError().c_str());
                status = 1;
                break;
            }
            // With nothing to show after a seek, the sink takes the next picture whether due or not.
            std::shared_ptr<kvr::engine::VideoFrame> frame;
            while (!(frame = session.takeFrame(session.videoClockUs(), true)) && msSince(start) < 10'000)
                std::this_thread::sleep_for(1ms);
            if (!frame || frame->pts < target) {
                std::fprintf(stderr, "no picture at the target %lld\n", static_cast<long long>(target));
                status = 1;
                break;
            }
            seekMs.push_back(msSince(start));
            playAndMeasure(session, 300ms);
        }

        session.seek(0);
        const std::vector<double> offsets = playAndMeasure(session, 6000ms);
        std::vector<double> absolute;
        for (double o : offsets)
            absolute.push_back(std::abs(o));

        std::printf("seek_to_first_frame_mean: %.1f ms\n", mean(seekMs));
        std::printf("seek_to_first_frame_max: %.1f ms\n", percentile(seekMs, 1.0));
        std::printf("av_offset_mean: %.1f ms\n", mean(offsets));
        std::printf("av_offset_abs_p95: %.1f ms\n", percentile(absolute, 0.95));
        std::printf("av_offset_abs_max: %.1f ms\n", percentile(absolute, 1.0));
        std::printf("frames_shown_in_6s: %zu frames\n", offsets.size());
        session.close();
    }
    std::filesystem::remove_all(dir);
    return status;
}
