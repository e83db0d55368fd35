#pragma once

#include <cstdint>

namespace kvr::ui {

// Samples the process's CPU load and resident memory. The CPU load is the share of one processor used since
// the previous sample, so it reaches 100 × the number of busy cores.
class ProcessStats {
public:
    struct Sample {
        double cpuPercent = 0.0;
        std::uint64_t rssBytes = 0;
    };

    // The first sample has no previous one to compare with and reports CPU 0.
    Sample sample();

private:
    // Process CPU time (user plus kernel) and monotonic time of the previous sample, in nanoseconds. The
    // monotonic clock keeps the load sane when the wall clock is set back or forward.
    std::int64_t previousCpuNs_ = 0;
    std::int64_t previousNowNs_ = 0;
    bool hasPrevious_ = false;
};

} // namespace kvr::ui
