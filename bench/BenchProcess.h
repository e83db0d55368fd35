#pragma once

// Helpers of the benchmarks that start the real player: a scratch home for it, starting and ending it, its CPU
// time, its log lines and their clock.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kvr::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh directory under $TMPDIR (or /tmp); empty on failure.
inline fs::path makeScratch(const char* name)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(dir.data()))
        return {};
    return dir;
}

// The player's own directories inside `home`, so every start finds no settings and writes its log there.
struct PlayerHome {
    fs::path root;
    fs::path runtime() const { return root / "runtime"; }
    fs::path log() const { return runtime() / "kestrune" / "kvr.log"; }
    fs::path trace() const { return runtime() / "kestrune" / "kvr_trace.txt"; }

    std::vector<std::string> environment() const
    {
        for (const char* dir : { "runtime", "config", "data", "cache" })
            fs::create_directories(root / dir);
        fs::permissions(runtime(), fs::perms::owner_all, fs::perm_options::replace);
        return { "XDG_RUNTIME_DIR=" + runtime().string(), "XDG_CONFIG_HOME=" + (root / "config").string(),
            "XDG_DATA_HOME=" + (root / "data").string(), "XDG_CACHE_HOME=" + (root / "cache").string() };
    }
};

// Starts `program` with `arguments`, the current environment and `extra` (NAME=value, winning over the
// current values); -1 on failure.
inline pid_t startProcess(
    const std::string& program, const std::vector<std::string>& arguments, const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args { program };
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    return pid;
}

// Ends the player as a logout does (it saves and quits), then for good after 10 s.
inline void endProcess(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    const auto start = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - start > std::chrono::seconds(10)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// User plus system CPU seconds of a running child, from /proc.
inline double processCpuSeconds(pid_t pid)
{
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// This process's CPU seconds.
inline double ownCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto start = Clock::now();
    while (!condition()) {
        if (Clock::now() - start > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Milliseconds since local midnight, the clock of the player's log lines ("[HH:MM:SS.mmm] ...").
inline long long localMsOfDay(std::chrono::system_clock::time_point at)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local {};
    localtime_r(&seconds, &local);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000 + ms;
}

// The log time of the first line of `log` that contains `needle`; -1 when there is none.
inline long long logLineMs(const std::string& log, const std::string& needle)
{
    const size_t at = log.find(needle);
    if (at == std::string::npos)
        return -1;
    const size_t begin = log.rfind('\n', at);
    const std::string line = log.substr(begin == std::string::npos ? 0 : begin + 1);
    int h = 0, m = 0, s = 0, ms = 0;
    if (std::sscanf(line.c_str(), "[%d:%d:%d.%d]", &h, &m, &s, &ms) != 4)
        return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

} // namespace kvr::bench
