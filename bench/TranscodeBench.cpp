// Conversions through Transcoder::transcode beside the ffmpeg command line doing the same work (same encoder,
// preset, rate settings, key-frame interval and audio), on a 5 s 1280x720 H.264+AAC clip made here. Per row:
// both wall times and output sizes, best of three, and the two ratios ours / ffmpeg.
#include "engine/Transcoder.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace kvr::engine;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Row {
    const char* name;
    const char* container;
    const char* videoCodec;
    const char* audioCodec;
    int rateMode;
    int videoKbps;
    std::string ffmpegArgs; // everything between the input and the output
    const char* hardwareEncoder = nullptr; // the row runs only where this encoder passed its test encode
    const char* ffmpegInputArgs = ""; // before the input
};

struct Measure {
    double seconds = 1e9;
    uintmax_t bytes = 0;
};

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::warn);
    const fs::path dir = fs::temp_directory_path() / "kvr-transcode-bench";
    fs::create_directories(dir);
    const fs::path input = dir / "clip720.mp4";
    if (!fs::exists(input)
        && !run("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=5"
                " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=5 -vf noise=alls=8:allf=t -c:v libx264"
                " -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 192k -ac 2 '"
            + input.string() + "'")) {
        std::fprintf(stderr, "cannot make the input clip\n");
        return 1;
    }

    // Key-frame interval: five seconds of 25 fps, as the conversion sets it.
    const Row rows[] = {
        { "remux_mkv", "mkv", "copy", "copy", 0, 0, "-map 0 -c copy" },
        { "h264_q2", "mp4", "h264", "aac", 0, 0,
            "-c:v libx264 -preset medium -crf 22 -g 125 -pix_fmt yuv420p -c:a aac -b:a 192k -movflags +faststart" },
        { "h264_4000k", "mp4", "h264", "aac", 1, 4000,
            "-c:v libx264 -preset medium -b:v 4000k -maxrate 8000k -bufsize 8000k -g 125 -pix_fmt yuv420p -c:a aac"
            " -b:a 192k -movflags +faststart" },
        { "vp9_q2", "webm", "vp9", "opus", 0, 0,
            "-c:v libvpx-vp9 -crf 31 -b:v 0 -deadline good -cpu-used 3 -row-mt 1 -g 125 -pix_fmt yuv420p -c:a libopus"
            " -b:a 128k" },
        { "h264_vaapi_q2", "mp4", "h264", "aac", 0, 0,
            "-vf format=nv12,hwupload -c:v h264_vaapi -rc_mode CQP -qp 24 -g 125 -c:a aac -b:a 192k"
            " -movflags +faststart",
            "h264_vaapi", "-vaapi_device /dev/dri/renderD128" },
    };
    const std::vector<std::string>& hardware = Transcoder::capabilities().hardwareEncoders;
    for (const Row& row : rows) {
        if (row.hardwareEncoder && std::find(hardware.begin(), hardware.end(), row.hardwareEncoder) == hardware.end()) {
            std::printf(
                "%s: skipped (%s failed its test encode: no usable VA-API device)\n", row.name, row.hardwareEncoder);
            continue;
        }
        Measure ours;
        Measure theirs;
        const fs::path ourOut = dir / (std::string("ours-") + row.name + "." + row.container);
        const fs::path theirOut = dir / (std::string("ffmpeg-") + row.name + "." + row.container);
        for (int attempt = 0; attempt < 3; ++attempt) {
            TranscodeOptions o;
            o.input = input.string();
            o.output = ourOut.string();
            o.container = row.container;
            o.videoCodec = row.videoCodec;
            o.audioCodec = row.audioCodec;
            o.rateMode = row.rateMode;
            o.videoKbps = row.videoKbps;
            const std::atomic<bool> never { false };
            TranscodeResult result;
            auto start = Clock::now();
            std::thread([&] { result = Transcoder::transcode(o, nullptr, &never); }).join();
            const double ourSeconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (!result.ok) {
                std::fprintf(stderr, "%s: %s\n", row.name, result.message.c_str());
                return 1;
            }
            ours.seconds = std::min(ours.seconds, ourSeconds);
            ours.bytes = fs::file_size(ourOut);

            start = Clock::now();
            if (!run(std::string("ffmpeg -nostdin -hide_banner -loglevel error -y ") + row.ffmpegInputArgs + " -i '"
                    + input.string() + "' " + row.ffmpegArgs + " '" + theirOut.string() + "'")) {
                std::fprintf(stderr, "%s: ffmpeg failed\n", row.name);
                return 1;
            }
            theirs.seconds = std::min(theirs.seconds, std::chrono::duration<double>(Clock::now() - start).count());
            theirs.bytes = fs::file_size(theirOut);
        }
        std::printf("%s_ours_wall: %.3f s\n", row.name, ours.seconds);
        std::printf("%s_ffmpeg_wall: %.3f s\n", row.name, theirs.seconds);
        std::printf("%s_ours_size: %ju bytes\n", row.name, ours.bytes);
        std::printf("%s_ffmpeg_size: %ju bytes\n", row.name, theirs.bytes);
        std::printf("%s_wall_ratio: %.3f x\n", row.name, ours.seconds / std::max(theirs.seconds, 1e-9));
        std::printf("%s_size_ratio: %.3f x\n", row.name,
            static_cast<double>(ours.bytes) / static_cast<double>(std::max<uintmax_t>(theirs.bytes, 1)));
    }
    return 0;
}
