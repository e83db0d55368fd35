// How long the player takes from its process start to the first frame on screen that carries a picture of the clip
// (the fixture clip.mp4 by default, or the file given), beside the start-up floor (kvr_bench_startup_floor: a bare
// window with one video sink fed by a media session), started in turns, ten times each. Also: the GUI-thread
// stalls the player's watchdog reported that began before that frame, the resident size of both a second after
// it, the player's resident size resting with an audio file, and how long the player takes to exit after SIGTERM.
// Figures only. Run it where the tests run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_startup
// Each start has a fresh home; set KVR_BENCH_WARM_CACHE=1 to keep one cache folder (shader caches) for all, and
// KVR_BENCH_PLAYER to a program to time another build of the player.
#include "bench/BenchProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

using namespace kvr::bench;
using namespace std::chrono_literals;

namespace {

constexpr int kStarts = 10;
constexpr int kAudioRests = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double maxOf(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

long long steadyMs(Clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// Resident size of a running process in MiB, from /proc.
double rssMiB(pid_t pid)
{
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : double(std::stoll(status.substr(at + 6))) / 1024.0;
}

// Sends SIGTERM and waits for the exit, polling finely; milliseconds until the process was gone, −1 when it had
// to be killed after 10 s.
double exitAfterSigterm(pid_t pid)
{
    const auto start = Clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - start > 10s) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(1ms);
    }
    return double(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()) / 1000.0;
}

// A watchdog report: how long the GUI thread stood, and when (ms after the start) the bench first saw the line.
struct Stall {
    long long ms = 0;
    long long seenAt = 0;
};

struct Start {
    bool shown = false;
    double firstFrameMs = 0; // first swap carrying the picture, after the process start
    double pictureMs = 0; // the sink's first picture in the log
    double rssMiB = 0;
    double exitMs = 0;
    std::vector<Stall> stalls;
};

// Starts program on clip in a fresh home, waits for the first picture and the swap that showed it, watching the
// trace for the watchdog's reports as they come.
Start startOnce(const std::string& program, const fs::path& clip, const fs::path& home, const fs::path& cache)
{
    Start out;
    PlayerHome player { home };
    std::vector<std::string> env = player.environment();
    if (!cache.empty())
        env.push_back("XDG_CACHE_HOME=" + cache.string());
    const fs::path swapTimes = home / "swaps.txt";
    env.push_back("LD_PRELOAD=" KVR_SWAP_COUNTER);
    env.push_back("KVR_SWAP_TIMES=" + swapTimes.string());
    const auto wallStart = std::chrono::system_clock::now();
    const auto start = Clock::now();
    const pid_t pid = startProcess(program, { clip.string() }, env);
    if (pid <= 0)
        return out;
    static const std::regex stallLine("GUI thread stalled ([0-9]+)ms");
    size_t traceSeen = 0;
    auto watchTrace = [&] {
        const std::string trace = readText(player.trace());
        if (trace.size() <= traceSeen)
            return;
        const std::string fresh = trace.substr(traceSeen);
        traceSeen = trace.size();
        const long long now = steadyMs(Clock::now()) - steadyMs(start);
        for (auto it = std::sregex_iterator(fresh.begin(), fresh.end(), stallLine); it != std::sregex_iterator(); ++it)
            out.stalls.push_back({ std::stoll((*it)[1].str()), now });
    };
    const std::string needle = "VideoSink: first picture";
    long long pictureAt = -1;
    long long frameAt = -1;
    waitUntil(
        [&] {
            watchTrace();
            if (pictureAt < 0) {
                const long long at = logLineMs(readText(player.log()), needle);
                if (at >= 0)
                    pictureAt = at - localMsOfDay(wallStart);
            }
            if (pictureAt >= 0) {
                // The picture is taken while its frame is prepared; that frame's swap is the first one after it.
                std::istringstream swaps(readText(swapTimes));
                long long ns = 0;
                while (swaps >> ns) {
                    const long long at = ns / 1'000'000 - steadyMs(start);
                    if (at + 1 >= pictureAt) {
                        frameAt = at;
                        break;
                    }
                }
            }
            return frameAt >= 0;
        },
        60s);
    // A stall is reported when it ends; one going on at the first frame ends within this second.
    const auto rest = Clock::now() + 1s;
    while (Clock::now() < rest) {
        watchTrace();
        std::this_thread::sleep_for(5ms);
    }
    out.rssMiB = rssMiB(pid);
    out.exitMs = exitAfterSigterm(pid);
    if (frameAt < 0) {
        std::fprintf(stderr, "%s showed no picture:\n%s\n", program.c_str(), readText(player.log()).c_str());
        return out;
    }
    out.shown = true;
    out.firstFrameMs = double(frameAt);
    out.pictureMs = double(pictureAt);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path clip = argc > 1 ? fs::path(argv[1]) : fs::path(KVR_FIXTURE_DIR) / "clip.mp4";
    const fs::path audio = fs::path(KVR_FIXTURE_DIR) / "six-seconds.mp3";
    if (!fs::exists(clip) || !fs::exists(audio)) {
        std::fprintf(stderr, "no clip at %s or %s (the test run's fixtures make them)\n", clip.c_str(), audio.c_str());
        return 1;
    }
    const char* otherPlayer = std::getenv("KVR_BENCH_PLAYER");
    const std::string ourProgram = otherPlayer && *otherPlayer ? otherPlayer : KVR_PLAYER_EXE;
    const fs::path scratch = makeScratch("kvr-startup-bench");
    if (scratch.empty())
        return 1;
    const fs::path cache = std::getenv("KVR_BENCH_WARM_CACHE") ? scratch / "cache" : fs::path();
    if (!cache.empty()) {
        fs::create_directories(cache);
        // Both sides find their shaders already built, as on every start but a machine's first.
        startOnce(KVR_FLOOR_EXE, clip, scratch / "warm-floor", cache);
        startOnce(ourProgram, clip, scratch / "warm-player", cache);
    }

    std::vector<double> floorFrame, ourFrame, ourPicture, ratios, floorRss, ourRss, longestBefore, exits;
    for (int run = 0; run < kStarts; ++run) {
        const Start floor = startOnce(KVR_FLOOR_EXE, clip, scratch / ("floor-" + std::to_string(run)), cache);
        const Start ours = startOnce(ourProgram, clip, scratch / ("player-" + std::to_string(run)), cache);
        if (!floor.shown || !ours.shown)
            continue;
        // Stalls that began before the frame: the one the frame itself ends counts.
        double longest = 0;
        int before = 0;
        for (const Stall& stall : ours.stalls) {
            if (stall.seenAt - stall.ms < ours.firstFrameMs) {
                longest = std::max(longest, double(stall.ms));
                ++before;
            }
        }
        floorFrame.push_back(floor.firstFrameMs);
        ourFrame.push_back(ours.firstFrameMs);
        ourPicture.push_back(ours.pictureMs);
        ratios.push_back(ours.firstFrameMs / std::max(1.0, floor.firstFrameMs));
        floorRss.push_back(floor.rssMiB);
        ourRss.push_back(ours.rssMiB);
        longestBefore.push_back(longest);
        if (ours.exitMs >= 0)
            exits.push_back(ours.exitMs);
        std::printf("startup_run_%d: floor %.0f ms, ours %.0f ms (picture taken at %.0f ms), %d stalls before the "
                    "frame, longest %.0f ms\n",
            run, floor.firstFrameMs, ours.firstFrameMs, ours.pictureMs, before, longest);
    }

    // Resting with an audio file: a few seconds into playback, nothing opened but the main window.
    std::vector<double> audioRss;
    for (int run = 0; run < kAudioRests; ++run) {
        PlayerHome player { scratch / ("audio-" + std::to_string(run)) };
        std::vector<std::string> env = player.environment();
        if (!cache.empty())
            env.push_back("XDG_CACHE_HOME=" + cache.string());
        const pid_t pid = startProcess(ourProgram, { audio.string() }, env);
        if (pid <= 0)
            break;
        const bool playing = waitUntil(
            [&] { return readText(player.log()).find("state Prepared -> Playing") != std::string::npos; }, 60s);
        std::this_thread::sleep_for(3s);
        if (playing)
            audioRss.push_back(rssMiB(pid));
        const double exitMs = exitAfterSigterm(pid);
        if (exitMs >= 0)
            exits.push_back(exitMs);
    }
    fs::remove_all(scratch);
    if (ourFrame.empty())
        return 1;
    std::printf("startup_floor_first_frame_median: %.0f ms\n", median(floorFrame));
    std::printf("startup_first_frame_median: %.0f ms\n", median(ourFrame));
    std::printf("startup_first_picture_median: %.0f ms\n", median(ourPicture));
    std::printf("startup_vs_floor_median: %.2f ratio\n", median(ratios));
    std::printf("startup_stall_before_first_frame_median: %.0f ms\n", median(longestBefore));
    std::printf("startup_stall_before_first_frame_max: %.0f ms\n", maxOf(longestBefore));
    std::printf("startup_floor_rss_median: %.0f MiB\n", median(floorRss));
    std::printf("startup_rss_median: %.0f MiB\n", median(ourRss));
    std::printf("resting_audio_rss_median: %.0f MiB\n", median(audioRss));
    std::printf("exit_after_sigterm_median: %.0f ms\n", median(exits));
    std::printf("exit_after_sigterm_max: %.0f ms\n", maxOf(exits));
    return 0;
}
