#pragma once

#include "engine/AudioEffects.h"
#include "engine/MediaInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kvr::engine::internal {

// What one EBU R128 measurement returns.
struct LoudnessResult {
    bool ok = false;
    double integratedLufs = 0.0; // LUFS
    double truePeakDb = 0.0; // highest true peak over all channels, dBTP
};

// Decodes the whole audio stream of a local file through the ebur128 filter. streamIndex < 0 (or not an audio
// stream) picks the best audio stream. Blocking; gives up when *abort is raised, also inside a blocking read.
// Network addresses (containing "://", unless the text begins with "/") are not measured: they would be opened a
// second time and a live stream never ends. Silence (integrated loudness at or below -70 LUFS) is no result.
LoudnessResult measureLoudness(const std::string& url, int32_t streamIndex, const std::atomic<bool>* abort);

// True for an address the loudness scan skips.
bool isNetworkAddress(std::string_view url);

// The gain in dB of the first tag named `tagName` (ASCII case ignored), read like strtod from the value's start
// but in the C locale whatever the process locale: "-6.48 dB" gives -6.48, a value that does not begin with a
// number gives 0. NaN when there is no such tag, its value is empty, or the number is not finite.
double parseGainDb(const MediaInfo& info, std::string_view tagName);

// The normalisation gain for `effects`: EBU R128 (normalize 1) is loudnessTarget - measuredLufs limited to
// -30..+20 dB, and 0 while the medium is unmeasured (measuredLufs NaN); ReplayGain album (3) is the album gain or,
// when that is unknown, the track gain; ReplayGain track (2) the track gain. Anything else, or an unknown gain,
// gives 0.
double normalizationGainDb(const AudioEffects& effects, double measuredLufs, double trackGainDb, double albumGainDb);

// The loudness worker and its per-address cache, owned by the media session for its whole life. At most one
// measurement runs ("kvr-loud", nice 10); starting another for a new address aborts it. Results are kept for
// every address measured successfully, and `onMeasured` is called on the worker thread, with no lock of this
// object held, after a result has been stored; it decides whether the address is still the one playing.
//
// Lock order: the session's effects lock may be held while calling cachedLoudness, pendingUrl or contains
// (they take only this object's short lock). start, join and the destructor wait for the worker, whose
// onMeasured takes the session's locks: never call them with one of those held.
class LoudnessScanner {
public:
    using MeasuredCallback = std::function<void(const std::string& url, const LoudnessResult& result)>;

    explicit LoudnessScanner(MeasuredCallback onMeasured = {});
    ~LoudnessScanner();
    LoudnessScanner(const LoudnessScanner&) = delete;
    LoudnessScanner& operator=(const LoudnessScanner&) = delete;

    // Starts measuring url's audio stream unless the address is empty or a network address, the stream index is
    // negative, the address is measured already or being measured now. Stops a previous worker first. True when
    // a worker was started. Safe from any thread.
    bool start(const std::string& url, int32_t streamIndex);
    // Stops and joins a running worker (its address gets no entry). Safe from any thread.
    void join();

    // The measured integrated loudness of url; NaN when it has none.
    double cachedLoudness(const std::string& url) const;
    std::optional<LoudnessResult> cached(const std::string& url) const;
    // The address being measured now; empty when none.
    std::string pendingUrl() const;

private:
    void loudnessWorker(std::string url, int32_t streamIndex);

    MeasuredCallback onMeasured;
    // Guards loudnessCache and loudnessPendingUrl; held only briefly, never while waiting.
    mutable std::mutex mutex;
    std::map<std::string, LoudnessResult> loudnessCache;
    std::string loudnessPendingUrl;
    // Serialises start and join, so a joinable worker is never overwritten or joined twice.
    std::mutex threadMutex;
    std::thread loudnessThread;
    std::atomic<bool> loudnessAbort { false };
};

} // namespace kvr::engine::internal
