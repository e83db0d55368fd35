// What playing a 1080p30 H.264 file costs: the real player in its window for 20 s (CPU seconds per media second,
// window swaps per second, counted by a preloaded glXSwapBuffers counter), beside the engine alone on the same
// file in this process (a 16 ms consumer takes the due pictures as the video sink does, nothing is drawn).
// Swaps should come out near the frame rate, not the display rate. Run it where the tests run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_playback_cost
// (an X display with GLX; audio goes to PULSE_SERVER when set).
#include "bench/BenchProcess.h"
#include "engine/MediaSession.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace kvr::bench;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 30;
constexpr int kMediaSeconds = 26;
constexpr auto kMeasured = 20s;

struct SwapCount {
    long long count = -1;
    long long ns = 0;
};

SwapCount readSwaps(const fs::path& file)
{
    SwapCount result;
    std::sscanf(readText(file).c_str(), "%lld %lld", &result.count, &result.ns);
    return result;
}

struct Figures {
    double cpuPerMediaSecond = 0;
    double swapsPerSecond = 0;
};

bool playInPlayer(const fs::path& scratch, const fs::path& clip, Figures& out)
{
    PlayerHome home { scratch / "player" };
    std::vector<std::string> env = home.environment();
    const fs::path swaps = scratch / "swaps.txt";
    env.push_back("LD_PRELOAD=" KVR_SWAP_COUNTER);
    env.push_back("KVR_SWAP_LOG=" + swaps.string());
    const pid_t pid = startProcess(KVR_PLAYER_EXE, { clip.string() }, env);
    if (pid <= 0)
        return false;
    const bool playing = waitUntil([&] { return readText(home.log()).find("-> Playing") != std::string::npos; }, 60s);
    // On a busy machine the window's first swap may come seconds after playback started: readings begin after it.
    waitUntil([&] { return readSwaps(swaps).count >= 0; }, 60s);
    // The first second holds the window's own start; the figures are for steady playback.
    std::this_thread::sleep_for(1s);
    const SwapCount firstSwaps = readSwaps(swaps);
    const double firstCpu = processCpuSeconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(kMeasured);
    const SwapCount lastSwaps = readSwaps(swaps);
    const double lastCpu = processCpuSeconds(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    endProcess(pid);
    if (!playing || firstSwaps.count < 0 || lastSwaps.ns <= firstSwaps.ns) {
        std::fprintf(stderr, "the player did not play or swap:\n%s\n", readText(home.log()).c_str());
        return false;
    }
    out.cpuPerMediaSecond = (lastCpu - firstCpu) / seconds;
    out.swapsPerSecond = double(lastSwaps.count - firstSwaps.count) * 1e9 / double(lastSwaps.ns - firstSwaps.ns);
    return true;
}

bool playInEngine(const fs::path& clip, Figures& out)
{
    kvr::engine::MediaSession session;
    if (!session.open(clip, 0))
        return false;
    session.play();
    std::this_thread::sleep_for(1s);
    const double firstCpu = ownCpuSeconds();
    const auto start = Clock::now();
    while (Clock::now() - start < kMeasured) {
        session.takeFrame(session.videoClockUs(), false);
        std::this_thread::sleep_for(16ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ownCpuSeconds() - firstCpu;
    session.close();
    out.cpuPerMediaSecond = cpu / seconds;
    return true;
}

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::err);
    const fs::path scratch = makeScratch("kvr-playback-bench");
    if (scratch.empty()) {
        std::fprintf(stderr, "cannot make a scratch directory\n");
        return 1;
    }
    const fs::path clip = scratch / "clip-1080p30.mp4";
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate="
        + std::to_string(kRate) + ":duration=" + std::to_string(kMediaSeconds)
        + " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + std::to_string(kMediaSeconds)
        + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 -c:a aac -b:a 128k -shortest '" + clip.string() + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate the clip\n");
        fs::remove_all(scratch);
        return 1;
    }

    Figures player, engine;
    const bool playerOk = playInPlayer(scratch, clip, player);
    const bool engineOk = playInEngine(clip, engine);
    fs::remove_all(scratch);
    if (!playerOk || !engineOk) {
        std::fprintf(stderr, "playback failed\n");
        return 1;
    }
    std::printf("playback_video_rate: %d fps\n", kRate);
    std::printf("playback_player_cpu: %.3f s/media s\n", player.cpuPerMediaSecond);
    std::printf("playback_player_swaps: %.1f swaps/s\n", player.swapsPerSecond);
    std::printf("playback_swaps_vs_video_rate: %.2f ratio\n", player.swapsPerSecond / kRate);
    std::printf("playback_engine_cpu: %.3f s/media s\n", engine.cpuPerMediaSecond);
    std::printf("playback_player_vs_engine_cpu: %.2f ratio\n", player.cpuPerMediaSecond / engine.cpuPerMediaSecond);
    return 0;
}
