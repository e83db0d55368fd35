// How long the player takes from its process start to the first picture on screen, started ten times on a clip
// (the fixture clip.mp4 by default, or the file given), and the longest GUI-thread stall its watchdog reported in
// each start (up to a second after that picture). Figures only. Run it where the tests run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_startup
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The watchdog's reports in a trace: every stall in milliseconds.
std::vector<long long> stallsIn(const std::string& trace)
{
    static const std::regex stall("GUI thread stalled ([0-9]+)ms");
    std::vector<long long> stalls;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), stall); it != std::sregex_iterator(); ++it)
        stalls.push_back(std::stoll((*it)[1].str()));
    return stalls;
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path clip = argc > 1 ? fs::path(argv[1]) : fs::path(KVR_FIXTURE_DIR) / "clip.mp4";
    if (!fs::exists(clip)) {
        std::fprintf(stderr, "no clip at %s (the test run's fixtures make it)\n", clip.c_str());
        return 1;
    }
    const fs::path scratch = makeScratch("kvr-startup-bench");
    if (scratch.empty())
        return 1;

    std::vector<double> firstPictureMs;
    std::vector<double> longestStallMs;
    long long worstStall = 0;
    std::string worstTrace;
    for (int run = 0; run < kStarts; ++run) {
        PlayerHome home { scratch / ("start-" + std::to_string(run)) };
        const std::vector<std::string> env = home.environment();
        const auto started = std::chrono::system_clock::now();
        const pid_t pid = startProcess(KVR_PLAYER_EXE, { clip.string() }, env);
        if (pid <= 0) {
            std::fprintf(stderr, "cannot start the player\n");
            return 1;
        }
        const std::string needle = "VideoSink: first picture";
        const bool shown = waitUntil([&] { return readText(home.log()).find(needle) != std::string::npos; }, 60s);
        // A stall is reported when it ends; one going on at the first picture ends within this second.
        std::this_thread::sleep_for(1s);
        endProcess(pid);
        if (!shown) {
            std::fprintf(stderr, "start %d showed no picture:\n%s\n", run, readText(home.log()).c_str());
            continue;
        }
        const long long at = logLineMs(readText(home.log()), needle);
        firstPictureMs.push_back(double(at - localMsOfDay(started)));
        const std::string trace = readText(home.trace());
        const std::vector<long long> stalls = stallsIn(trace);
        const long long longest = stalls.empty() ? 0 : *std::max_element(stalls.begin(), stalls.end());
        longestStallMs.push_back(double(longest));
        if (longest >= worstStall) {
            worstStall = longest;
            worstTrace = trace;
        }
        std::printf("startup_run_%d: first picture %.0f ms, longest stall %lld ms, %zu stalls\n", run,
            firstPictureMs.back(), longest, stalls.size());
    }
    fs::remove_all(scratch);
    if (firstPictureMs.empty())
        return 1;
    std::printf("startup_first_picture_median: %.0f ms\n", median(firstPictureMs));
    std::printf("startup_longest_stall_median: %.0f ms\n", median(longestStallMs));
    std::printf("startup_longest_stall_max: %lld ms\n", worstStall);
    if (std::getenv("KVR_BENCH_VERBOSE"))
        std::printf("trace of the start with the longest stall:\n%s\n", worstTrace.c_str());
    return 0;
}
