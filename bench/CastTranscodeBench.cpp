// How soon a cast can start: the time until the first 262,144 bytes of a live conversion of a 1080p clip to
// MP4 are in the growing file the media server streams (what the load waits for), beside the ffmpeg command
// line writing the same conversion (fragmented MP4, same encoder settings) to a pipe. Best of three each.
#include "engine/convert/Transcoder.h"
#include "ui/cast/CastSession.h"

#include <QCoreApplication>
#include <QDir>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

using kvr::ui::cast::CastSession;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kAttempts = 3;
constexpr double kGiveUpSeconds = 120;

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

double ours(CastSession& cast, const fs::path& input)
{
    CastSession::Plan plan;
    plan.mode = 2;
    plan.container = "mp4";
    plan.videoCodec = "h264";
    plan.audioCodec = "aac";
    plan.extension = "mp4";
    plan.mimeType = "video/mp4";
    const auto start = Clock::now();
    cast.startTranscode(QString::fromStdString(input.string()), plan, 0);
    const auto file = cast.growingFile();
    double seconds = -1;
    while (file && !file->hasFailed()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (file->writtenBytes() >= CastSession::kReadyBytes) {
            seconds = elapsed;
            break;
        }
        if (file->isFinished() || elapsed > kGiveUpSeconds)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    cast.stopTranscode();
    return seconds;
}

double theirs(const fs::path& input, int kbps)
{
    const std::string rate = std::to_string(kbps) + "k";
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + input.string()
        + "' -c:v libx264 -preset veryfast -tune zerolatency -b:v " + rate + " -maxrate " + rate + " -minrate " + rate
        + " -bufsize " + rate + " -g 50 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 192k -f mp4"
        + " -movflags frag_keyframe+empty_moov+default_base_moof pipe:1 2>/dev/null";
    const auto start = Clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    static char buffer[65536];
    size_t total = 0;
    double seconds = -1;
    while (true) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, pipe);
        if (n == 0)
            break;
        total += n;
        if (total >= size_t(CastSession::kReadyBytes)) {
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            break;
        }
    }
    // Closing our end stops ffmpeg at its next write (its broken-pipe complaint is silenced above).
    pclose(pipe);
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path dir = fs::temp_directory_path() / "kvr-cast-transcode-bench";
    fs::create_directories(dir / "config");
    // The session reads the cast settings: keep them away from the user's.
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("KESTRUNE_CAST_DISCOVERY", "off", 1);
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);

    const fs::path input = dir / "clip1080.mp4";
    if (!fs::exists(input)
        && !run(
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=20"
            " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 -vf noise=alls=8:allf=t -c:v libx264"
            " -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 192k -ac 2 '"
            + input.string() + "'")) {
        std::fprintf(stderr, "cannot make the input clip\n");
        return 1;
    }
    // The live conversion's own rate for 1080p at its quality step (1 keeps the ladder's rate).
    const int kbps = kvr::engine::Transcoder::defaultVideoBitrate("h264", 1080);

    // Never given an event loop: discovery never starts, and nothing but the conversion runs.
    CastSession cast(nullptr, nullptr, 1 << 30);
    double best = 1e9;
    double bestFfmpeg = 1e9;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const double a = ours(cast, input);
        const double b = theirs(input, kbps);
        if (a < 0 || b < 0) {
            std::fprintf(
                stderr, "a conversion never reached %lld bytes\n", static_cast<long long>(CastSession::kReadyBytes));
            return 1;
        }
        best = std::min(best, a);
        bestFfmpeg = std::min(bestFfmpeg, b);
    }
    std::printf("cast_first_256k_ours: %.3f s\n", best);
    std::printf("cast_first_256k_ffmpeg_pipe: %.3f s\n", bestFfmpeg);
    std::printf("cast_first_256k_ratio: %.3f x\n", best / std::max(bestFfmpeg, 1e-9));
    return 0;
}
