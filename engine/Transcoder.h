#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace kvr::engine {

// One conversion request. Text fields are UTF-8.
struct TranscodeOptions {
    std::string input;
    std::string output;
    std::string container = "mp4";
    std::string videoCodec = "h264";
    int quality = 2; // 0 fastest .. 3 best
    int rateMode = 0; // 0 constant quality, 1 target bit rate, 2 two passes
    int videoKbps = 0;
    int maxHeight = 0; // 0 keeps the source height
    std::string audioCodec = "aac";
    int subtitles = 0; // 0 none, 1 copy, 2 convert, 3 burn
};

struct TranscodeProgress {
    double fraction = 0; // over all passes, 0..1
    double speed = 0; // media seconds per wall-clock second
};

struct TranscodeResult {
    bool ok = false;
    std::string message; // empty on success, else "<stage>: <detail>"
};

using TranscodeProgressCallback = std::function<void(const TranscodeProgress&)>;

class Transcoder {
public:
    // Runs one conversion to its end and blocks until then. The callback (may be null or empty) is called on the
    // conversion's thread; cancel must not be null and must outlive the call.
    static TranscodeResult transcode(
        const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel);
};

} // namespace kvr::engine
