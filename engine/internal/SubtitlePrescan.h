#pragma once

#include "engine/internal/SubtitleRenderer.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kvr::engine::internal {

// What the pre-scan worker is started with: the shared renderer (kept alive by this reference), the file, the
// subtitle stream, and the session state it reads. The session's fields outlive the worker (it is joined).
struct SubtitlePrescanJob {
    std::shared_ptr<SubtitleRenderer> renderer;
    std::string path;
    int32_t streamIndex = -1;
    std::mutex* subtitleMutex = nullptr;
    const std::atomic<int32_t>* currentSubtitleTrack = nullptr;
    const std::atomic<bool>* abort = nullptr;
    // The video's coded size (0 without video), the canvas for bitmap subtitles without one of their own.
    int32_t videoWidth = 0;
    int32_t videoHeight = 0;
    // The container start time the live demuxer removes, in microseconds; AV_NOPTS_VALUE takes the worker's own
    // input's (which, unprobed, often does not know it).
    int64_t startTimeUs = AV_NOPTS_VALUE;
};

// The pre-scan worker's body: reads the subtitle stream of the file from the start and decodes every packet into
// the renderer while that stream is still the one shown. Runs at below-normal priority; ends at the end of the
// file, on a read error or when `abort` is raised (also inside a blocking read). Returns the packets decoded.
// Never throws.
int64_t subtitlePrescan(const SubtitlePrescanJob& job);

} // namespace kvr::engine::internal
