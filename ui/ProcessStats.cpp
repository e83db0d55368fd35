#include "ui/ProcessStats.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace kvr::ui {
namespace {

bool readClock(clockid_t clock, std::int64_t& ns)
{
    timespec ts {};
    if (::clock_gettime(clock, &ts) != 0)
        return false;
    ns = std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    return true;
}

// Current resident set size (not the peak) from /proc/self/statm: "size resident shared ..." in pages.
bool readResidentBytes(std::uint64_t& bytes)
{
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[128];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    unsigned long long size = 0, resident = 0;
    if (std::sscanf(text, "%llu %llu", &size, &resident) != 2)
        return false;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return false;
    bytes = std::uint64_t(resident) * std::uint64_t(pageSize);
    return true;
}

} // namespace

ProcessStats::Sample ProcessStats::sample()
{
    Sample result;
    std::uint64_t rss = 0;
    if (readResidentBytes(rss))
        result.rssBytes = rss;

    std::int64_t cpuNs = 0;
    std::int64_t nowNs = 0;
    if (!readClock(CLOCK_PROCESS_CPUTIME_ID, cpuNs) || !readClock(CLOCK_MONOTONIC, nowNs))
        return result;
    if (hasPrevious_ && nowNs != previousNowNs_)
        result.cpuPercent = double(cpuNs - previousCpuNs_) * 100.0 / double(nowNs - previousNowNs_);
    previousCpuNs_ = cpuNs;
    previousNowNs_ = nowNs;
    hasPrevious_ = true;
    return result;
}

} // namespace kvr::ui
