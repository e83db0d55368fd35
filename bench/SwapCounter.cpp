// Counts the window swaps of a process it is preloaded into (LD_PRELOAD), for the playback-cost benchmark:
// every glXSwapBuffers / eglSwapBuffers is passed on and counted, and at most every 100 ms the count and the
// steady clock in nanoseconds are written over the file named by KVR_SWAP_LOG ("<count> <ns>\n"). With
// KVR_SWAP_TIMES set, the steady-clock times of the first swaps are appended to that file, one a line, for the
// start-up benchmark, which needs the first swap that carried a picture.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

std::atomic<int64_t> swaps { 0 };
std::atomic<int64_t> writtenAtNs { 0 };

int64_t nowNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

constexpr int64_t kTimedSwaps = 64;

void appendSwapTime(int64_t count, int64_t now)
{
    const char* path = std::getenv("KVR_SWAP_TIMES");
    if (!path || count > kTimedSwaps)
        return;
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%lld\n", (long long)now);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (length > 0 && ::write(fd, line, size_t(length)) < 0) {
        // Nothing to report it with; the benchmark then misses this swap.
    }
    ::close(fd);
}

// Counts one swap (or none, for the last write) and writes the count when 100 ms have passed since the last write.
void record(bool counted)
{
    const int64_t count = counted ? swaps.fetch_add(1) + 1 : swaps.load();
    const int64_t now = nowNs();
    if (counted)
        appendSwapTime(count, now);
    int64_t last = writtenAtNs.load();
    if (counted && (now - last < 100'000'000 || !writtenAtNs.compare_exchange_strong(last, now)))
        return;
    const char* path = std::getenv("KVR_SWAP_LOG");
    if (!path)
        return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%lld %lld\n", (long long)count, (long long)now);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (length > 0 && ::write(fd, line, size_t(length)) < 0) {
        // Nothing to report it with; the benchmark then reads an older count.
    }
    ::close(fd);
}

template <typename Function> Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

void glXSwapBuffers(void* display, unsigned long drawable)
{
    static auto real = next<void (*)(void*, unsigned long)>("glXSwapBuffers");
    if (real)
        real(display, drawable);
    record(true);
}

unsigned int eglSwapBuffers(void* display, void* surface)
{
    static auto real = next<unsigned int (*)(void*, void*)>("eglSwapBuffers");
    const unsigned int result = real ? real(display, surface) : 0;
    record(true);
    return result;
}

__attribute__((destructor)) static void writeLastCount()
{
    record(false);
}
}
