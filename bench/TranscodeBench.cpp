// Conversions by the player's own command line (`kestrune --convert`) beside the ffmpeg command line doing the
// same work (same encoder, preset, rate settings, key-frame interval and audio), on a 5 s 1280x720 H.264+AAC
// clip made here. Both sides are timed the same way: a whole process from fork to its exit, started at the same
// priority (nice 10, where a conversion runs anyway), interleaved ours / ffmpeg, median of five. Per row: both
// wall times and output sizes, and the two ratios ours / ffmpeg.
#include "engine/convert/Transcoder.h"

#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

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
    bool startUpBound = false; // so short that process start-up is most of the time
};

constexpr int benchNice = 10;
constexpr int runs = 5;

// Runs a program (no shell) at nice benchNice with standard output and error sent to /dev/null, the current
// environment plus `extra`; the wall seconds from the fork to its exit, or a negative value when it fails.
double timeProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& extra = {})
{
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Made before the fork: the child of a threaded process only calls what is safe there.
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(extra.begin(), extra.end(),
            [&](const std::string& x) { return x.substr(0, x.find('=')) == entry.substr(0, entry.find('=')); });
        if (!replaced)
            envp.push_back(*e);
    }
    for (const std::string& e : extra)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        ::setpriority(PRIO_PROCESS, 0, benchNice);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> list;
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        const size_t end = text.find(' ', at);
        list.push_back(text.substr(at, end - at));
        at = end;
    }
    return list;
}

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::warn);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as it is measured: a run takes minutes
    const fs::path dir = fs::temp_directory_path() / "kvr-transcode-bench";
    fs::create_directories(dir);
    const fs::path input = dir / "clip720.mp4";
    if (!fs::exists(input)
        && std::system(("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i"
                        " testsrc2=size=1280x720:rate=25:duration=5 -f lavfi -i sine=frequency=440:sample_rate=48000:"
                        "duration=5 -vf noise=alls=8:allf=t -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac"
                        " -b:a 192k -ac 2 '"
               + input.string() + "'")
                           .c_str())
            != 0) {
        std::fprintf(stderr, "cannot make the input clip\n");
        return 1;
    }

    // Key-frame interval: five seconds of 25 fps, as the conversion sets it.
    const Row rows[] = {
        { "remux_mkv", "mkv", "copy", "copy", 0, 0, "-map 0 -c copy", nullptr, "", true },
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
    std::printf("priority: nice %d, both sides\n", benchNice);
    std::printf("timing: whole process from fork to exit, both sides, interleaved, median of %d\n", runs);
    const std::vector<std::string>& hardware = Transcoder::capabilities().hardwareEncoders;
    for (const Row& row : rows) {
        if (row.hardwareEncoder && std::find(hardware.begin(), hardware.end(), row.hardwareEncoder) == hardware.end()) {
            std::printf(
                "%s: skipped (%s failed its test encode: no usable VA-API device)\n", row.name, row.hardwareEncoder);
            continue;
        }
        const fs::path ourOut = dir / (std::string("ours-") + row.name + "." + row.container);
        const fs::path theirOut = dir / (std::string("ffmpeg-") + row.name + "." + row.container);
        std::vector<std::string> ourArgs { KVR_PLAYER_EXE, "--convert", input.string(), "--to", ourOut.string(),
            "--vcodec", row.videoCodec, "--acodec", row.audioCodec };
        if (row.rateMode == 1) {
            ourArgs.push_back("--bitrate");
            ourArgs.push_back(std::to_string(row.videoKbps));
        }
        std::vector<std::string> theirArgs { "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y" };
        for (const std::string& w : words(row.ffmpegInputArgs))
            theirArgs.push_back(w);
        theirArgs.push_back("-i");
        theirArgs.push_back(input.string());
        for (const std::string& w : words(row.ffmpegArgs))
            theirArgs.push_back(w);
        theirArgs.push_back(theirOut.string());
        // The player's trace file goes to a folder of the bench's own.
        const std::vector<std::string> ourEnv { "XDG_RUNTIME_DIR=" + (dir / "runtime").string() };
        fs::create_directories(dir / "runtime");
        fs::permissions(dir / "runtime", fs::perms::owner_all, fs::perm_options::replace);

        std::vector<double> ours;
        std::vector<double> theirs;
        for (int attempt = 0; attempt < runs; ++attempt) {
            const double ourSeconds = timeProcess(ourArgs, ourEnv);
            const double theirSeconds = timeProcess(theirArgs);
            if (ourSeconds < 0 || theirSeconds < 0) {
                std::fprintf(stderr, "%s: %s failed\n", row.name, ourSeconds < 0 ? "kestrune --convert" : "ffmpeg");
                return 1;
            }
            ours.push_back(ourSeconds);
            theirs.push_back(theirSeconds);
        }
        const double ourWall = median(ours);
        const double theirWall = median(theirs);
        const uintmax_t ourBytes = fs::file_size(ourOut);
        const uintmax_t theirBytes = fs::file_size(theirOut);
        std::printf("%s_ours_wall: %.3f s\n", row.name, ourWall);
        std::printf("%s_ffmpeg_wall: %.3f s\n", row.name, theirWall);
        std::printf("%s_ours_size: %ju bytes\n", row.name, ourBytes);
        std::printf("%s_ffmpeg_size: %ju bytes\n", row.name, theirBytes);
        // A copy takes a fraction of a second: its ratio mostly weighs the two programs' start-up (ours probes the
        // encoders first), not the conversion.
        std::printf("%s_wall_ratio%s: %.3f x\n", row.name, row.startUpBound ? "_startup_bound" : "",
            ourWall / std::max(theirWall, 1e-9));
        std::printf("%s_size_ratio: %.3f x\n", row.name,
            static_cast<double>(ourBytes) / static_cast<double>(std::max<uintmax_t>(theirBytes, 1)));
    }
    return 0;
}
