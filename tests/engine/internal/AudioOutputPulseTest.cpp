// The output on the test run's PulseAudio server: what the count says was heard is checked against what the
// null sink actually played, recorded from its monitor.
#include "engine/Logging.h"
#include "engine/internal/AudioOutputWasapi.h"
#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/PulseEndpoint.h"
#include "tests/engine/internal/MonitorRecorder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace kvr::engine::internal;
using namespace std::chrono_literals;

namespace {

constexpr int rate = 48000;
constexpr float amplitude = 0.5f;

// A 1 kHz cosine, half a frame late: its first frame is near full amplitude, so the moment it starts is
// unmistakable, and no frame is ever zero, so a frame at the edge of a silence is never taken for silence.
float tone(size_t frame)
{
    return amplitude * static_cast<float>(std::cos(2.0 * M_PI * 1000.0 * (double(frame % 48) + 0.5) / rate));
}

// The right channel numbers the frames, modulo markPeriod, in steps of a few of the sink's 16-bit levels: where
// the tone comes back after a silence, it tells exactly how many frames were lost or heard twice. Never zero
// either.
constexpr size_t markPeriod = 4096;
constexpr double markStep = 0.4 / markPeriod;

float mark(size_t frame)
{
    return static_cast<float>(0.05 + markStep * double(frame % markPeriod));
}

// The frame number a right-channel sample carries, or -1 when it carries none.
long markOf(float sample)
{
    const long m = std::lround((double(sample) - 0.05) / markStep);
    if (m < 0 || m >= long(markPeriod) || std::fabs(double(sample) - double(mark(size_t(m)))) > markStep / 2)
        return -1;
    return m;
}

// Writes `frames` frames of the tone (left) and its frame numbers (right) into the ring, 10 ms at a time, as a
// decoder would. A writer that falls behind once the output has begun (the machine is busy) lets the ring run
// empty: a gap in what is heard may then be the test's, and `dry` counts those moments. It finds the ring empty,
// or it was away so long that the ring, full when a write returns, may have run empty meanwhile; `pauses` (odd
// while the output is paused) keeps a pause, when nothing is taken from the ring, out of that.
std::thread writeTone(AudioOutputWasapi& out, size_t frames, std::atomic<int>& dry, std::atomic<int64_t>& played,
    const std::atomic<int>* pauses = nullptr)
{
    return std::thread([&out, frames, &dry, &played, pauses] {
        std::vector<float> chunk(2 * 480);
        const int64_t emptiesAfterNs = int64_t(out.ring().capacity() / 2 - 480) * 1000000000 / rate;
        int64_t lastNs = steadyNs();
        int lastPauses = 0;
        for (size_t at = 0; at < frames; at += 480) {
            const size_t n = std::min<size_t>(480, frames - at);
            for (size_t i = 0; i < n; ++i) {
                chunk[2 * i] = tone(at + i);
                chunk[2 * i + 1] = mark(at + i);
            }
            if (played.load() > 0 && out.ring().buffered() == 0)
                ++dry;
            if (out.ring().write(chunk.data(), 2 * n) < 2 * n)
                return;
            const int64_t now = steadyNs();
            const int nowPauses = pauses ? pauses->load() : 0;
            if (played.load() > 0 && now - lastNs > emptiesAfterNs && nowPauses == lastPauses && nowPauses % 2 == 0)
                ++dry;
            lastNs = now;
            lastPauses = nowPauses;
        }
    });
}

// A change of the count: when it was seen, its new value, and when the watcher last saw the old value. The
// change happened between the two moments; on a busy machine they can lie far apart, and the checks below widen
// their tolerance by that much.
struct Change {
    int64_t first; // seen, steady ns
    int64_t second; // value
    int64_t before; // last look at the old value, steady ns
    int64_t uncertaintyNs() const { return first - before; }
};

// Notes every change of the count with the moment it was seen. It runs at the render thread's priority: on a
// busy machine a watcher at normal priority sees changes late, and a timing check then measures the watcher.
class CountWatcher {
public:
    explicit CountWatcher(std::atomic<int64_t>& counter)
        : thread([this, &counter] {
            const int priority = kvr::platform::audio::boostThreadPriority();
            int64_t last = -1;
            int64_t lookedAt = steadyNs();
            for (bool done = false; !done;) {
                // One more look after the quit, so the last value is always seen.
                done = quit.load();
                const int64_t v = counter.load();
                const int64_t now = steadyNs();
                if (v != last) {
                    std::lock_guard<std::mutex> lock(mutex);
                    seen.push_back({ now, v, lookedAt });
                    last = v;
                }
                lookedAt = now;
                if (!done)
                    std::this_thread::sleep_for(200us);
            }
            kvr::platform::audio::restoreThreadPriority(priority);
        })
    {
    }
    ~CountWatcher() { finish(); }
    void finish()
    {
        quit.store(true);
        if (thread.joinable())
            thread.join();
    }
    std::vector<Change> changes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    std::atomic<bool> quit { false };
    std::mutex mutex;
    std::vector<Change> seen;
    std::thread thread;
};

struct Heard {
    size_t firstFrame = 0; // recorded frame where the tone starts
    std::vector<float> tone; // left channel with silent stretches (pre-roll, pause, the end) removed
    std::vector<float> marks; // right channel, alongside
    int gaps = 0; // silent stretches inside the tone
    size_t gapFrames = 0; // their length
    std::vector<size_t> gapEnds; // index in `tone` of the first frame after each of them
    size_t beforeGap = 0; // tone frames heard before the longest of them (a pause)
    size_t resumeFrame = 0; // recorded frame where the tone comes back after it
};

// Silence from the sink is exact zeros; the tone never is.
Heard listen(const std::vector<float>& stereo)
{
    Heard h;
    const size_t frames = stereo.size() / 2;
    size_t i = 0;
    while (i < frames && stereo[2 * i] == 0.0f)
        ++i;
    h.firstFrame = i;
    bool inTone = true;
    size_t longest = 0;
    while (i < frames) {
        size_t run = 0;
        while (i + run < frames && stereo[2 * (i + run)] == 0.0f)
            ++run;
        if (run >= 24) {
            if (i + run < frames && inTone) {
                if (run > longest) {
                    longest = run;
                    h.beforeGap = h.tone.size();
                    h.resumeFrame = i + run;
                }
                h.gapFrames += run;
                ++h.gaps;
                h.gapEnds.push_back(h.tone.size());
            }
            i += run;
            continue;
        }
        for (size_t k = 0; k < run; ++k) {
            h.tone.push_back(0.0f);
            h.marks.push_back(stereo[2 * (i + k) + 1]);
        }
        i += run;
        if (i < frames) {
            h.tone.push_back(stereo[2 * i]);
            h.marks.push_back(stereo[2 * i + 1]);
            ++i;
        }
    }
    return h;
}

// An underflow (pulseUnderflows) is the server finding the stream empty: the sound stops until the audio comes
// again, and the server then takes back what the sink had mixed ahead of the silence and mixes the audio in its
// place, which may drop some of it. That is no more than the sink mixes ahead, 2 ms with the recorder's small
// fragments; a fault of ours would lose whole periods (10 ms) or more.
constexpr size_t lostPerUnderflow = 240;

// Every tone frame, in order, none lost and none doubled; except that after as many silent stretches as the
// server reported `underflows`, up to lostPerUnderflow frames may be missing. `atPause`, when given, receives the
// tone frame heard first after the longest silent stretch.
void expectWholeTone(const Heard& h, size_t frames, uint64_t underflows = 0, size_t* atPause = nullptr)
{
    size_t k = 0; // the tone frame expected next
    uint64_t skips = 0;
    for (size_t j = 0; j < h.tone.size(); ++j) {
        const long heard = markOf(h.marks[j]);
        if (heard != long(k % markPeriod)) {
            const bool afterGap = std::binary_search(h.gapEnds.begin(), h.gapEnds.end(), j);
            const size_t skip = heard < 0 ? markPeriod : (size_t(heard) + markPeriod - k % markPeriod) % markPeriod;
            ASSERT_TRUE(afterGap && skip <= lostPerUnderflow && ++skips <= underflows)
                << "tone frame " << k << " heard as frame " << heard << " (modulo " << markPeriod << "), "
                << (afterGap ? "after" : "not after") << " a silence; underflows " << underflows;
            k += skip;
        }
        if (atPause && j == h.beforeGap)
            *atPause = k;
        ASSERT_NEAR(h.tone[j], tone(k), 2e-3) << "tone frame " << k;
        ++k;
    }
    EXPECT_EQ(k, frames) << "tone frames heard " << h.tone.size() << ", lost to underflows " << k - h.tone.size();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout, std::chrono::milliseconds step = 1ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// The monitor delivers what the sink played some time later, on a busy machine much later: the recording is
// stopped only once it holds the whole tone, less what underflows may have taken, up to its last frame (or the
// time is up). Returns the underflows since `underflowsBefore`, counted once the recording is stopped: the server
// reports one some time after it, and the count of frames heard may run a little ahead of the sink.
uint64_t recordTheWholeTone(MonitorRecorder& recorder, size_t frames, uint64_t underflowsBefore)
{
    const auto underflows = [&] { return kvr::platform::audio::pulseUnderflows() - underflowsBefore; };
    waitFor(
        [&] {
            const Heard h = listen(recorder.samples());
            return h.tone.size() + underflows() * lostPerUnderflow >= frames && !h.marks.empty()
                && markOf(h.marks.back()) == long((frames - 1) % markPeriod);
        },
        30s, 50ms);
    recorder.stop();
    return underflows();
}

struct PulseRig {
    PulseRig()
    {
        kvr::engine::init_logging();
        std::string error;
        recording = sink.ok() && recorder.start(sink.name + ".monitor", error);
        EXPECT_TRUE(recording) << "private null sink or monitor: " << error;
        // A fresh null sink first works off the long latency it starts with; only once its monitor delivers
        // does it run at the recorder's low latency.
        if (recording)
            recording = waitFor([&] { return !recorder.samples().empty(); }, 5s);
        EXPECT_TRUE(recording) << "the monitor delivers nothing";
    }
    PrivateSink sink;
    MonitorRecorder recorder;
    bool recording = false;
};

} // namespace

TEST(AudioOutput, PulseCountRisesWhenTheToneIsHeardAndRunsInRealTime)
{
    PulseRig rig;
    ASSERT_TRUE(rig.recording);
    AudioOutputWasapi out;
    ASSERT_TRUE(out.start()) << out.lastError();
    ASSERT_EQ(out.sampleRate(), rate);
    ASSERT_EQ(out.channels(), 2);

    const size_t toneFrames = 3 * rate + 240;
    std::atomic<int> dry { 0 };
    std::atomic<int64_t> played { 0 };
    std::thread writer = writeTone(out, toneFrames, dry, played);
    CountWatcher watcher(played);
    const uint64_t underflowsBefore = kvr::platform::audio::pulseUnderflows();
    out.beginRendering(&played);
    writer.join();
    ASSERT_TRUE(waitFor([&] { return out.ring().buffered() == 0; }, 20s));
    // The endpoint's 200 ms and the sink's latency.
    ASSERT_TRUE(waitFor([&] { return played.load() >= int64_t(toneFrames); }, 20s));
    const uint64_t underflows = recordTheWholeTone(rig.recorder, toneFrames, underflowsBefore);
    out.stop();
    watcher.finish();

    const auto changes = watcher.changes();
    ASSERT_GE(changes.size(), 3u);
    const Change first = changes[0].second == 0 ? changes[1] : changes[0];
    ASSERT_GT(first.second, 0);
    // The count says `first.second` frames had been heard when it was seen; it rose above 0 that long before.
    const int64_t risesNs = first.first - first.second * 1000000000 / rate;

    const auto recorded = rig.recorder.samples();
    const Heard heard = listen(recorded);
    ASSERT_LT(heard.firstFrame, recorded.size() / 2) << "the tone never reached the sink";
    expectWholeTone(heard, toneFrames, underflows);
    if (kvr::test::sanitizedForThreads)
        return;
    int64_t heardUncertaintyNs = 0;
    const int64_t heardNs = rig.recorder.heardAtNs(heard.firstFrame, &heardUncertaintyNs);
    EXPECT_NEAR(double(risesNs - heardNs) / 1e6, 0.0, 10.0 + double(first.uncertaintyNs() + heardUncertaintyNs) / 1e6)
        << "ms between the count rising and the tone heard";

    // From one second in, the count runs at the sample rate: the frames counted over the span are the span's
    // frames less the silence the sink played in it.
    const auto from
        = std::find_if(changes.begin(), changes.end(), [&](auto& c) { return c.first >= risesNs + 1000000000; });
    ASSERT_NE(from, changes.end());
    const auto to
        = std::find_if(changes.begin(), changes.end(), [&](auto& c) { return c.second >= int64_t(toneFrames); });
    ASSERT_NE(to, changes.end());
    const int64_t spanNs = to->first - from->first;
    ASSERT_GT(spanNs, 1500000000) << "too little time to measure the rate";
    const double counted = double(to->second - from->second);
    const double expected = double(spanNs) * rate / 1e9;
    const double slack
        = expected * 0.02 + double(heard.gapFrames) + double(from->uncertaintyNs() + to->uncertaintyNs()) * rate / 1e9;
    EXPECT_NEAR(counted, expected, slack) << "frames counted in " << spanNs / 1000000 << " ms";

    // Every gap is the test's own writer falling behind, or the server's stream running dry.
    EXPECT_LE(uint64_t(heard.gaps), uint64_t(dry.load()) + underflows);
}

TEST(AudioOutput, PulsePauseKeepsEverySample)
{
    PulseRig rig;
    ASSERT_TRUE(rig.recording);
    AudioOutputWasapi out;
    ASSERT_TRUE(out.start()) << out.lastError();

    const size_t toneFrames = 2 * rate;
    std::atomic<int> dry { 0 };
    std::atomic<int64_t> played { 0 };
    std::atomic<int> pauses { 0 };
    std::thread writer = writeTone(out, toneFrames, dry, played, &pauses);
    const uint64_t underflowsBefore = kvr::platform::audio::pulseUnderflows();
    out.beginRendering(&played);
    ASSERT_TRUE(waitFor([&] { return played.load() > rate * 7 / 10; }, 20s));

    ++pauses;
    out.pause();
    // Once paused, the count settles on what was heard. It is taken as settled after half a second without a
    // change: on a busy machine the render thread may take a good part of that to get to the pause at all.
    int64_t pausedAt = played.load();
    const auto settleBy = std::chrono::steady_clock::now() + 10s;
    for (int still = 0; still < 25 && std::chrono::steady_clock::now() < settleBy;) {
        std::this_thread::sleep_for(20ms);
        const int64_t now = played.load();
        still = now == pausedAt ? still + 1 : 0;
        pausedAt = now;
    }
    std::this_thread::sleep_for(900ms);
    EXPECT_EQ(played.load(), pausedAt) << "paused time does not count";
    CountWatcher watcher(played);
    out.resume();
    ++pauses;

    writer.join();
    ASSERT_TRUE(waitFor([&] { return out.ring().buffered() == 0; }, 20s));
    ASSERT_TRUE(waitFor([&] { return played.load() >= int64_t(toneFrames); }, 20s));
    const uint64_t underflows = recordTheWholeTone(rig.recorder, toneFrames, underflowsBefore);
    out.stop();
    watcher.finish();

    const Heard heard = listen(rig.recorder.samples());
    size_t resumedAt = 0;
    expectWholeTone(heard, toneFrames, underflows, &resumedAt);
    if (kvr::test::sanitizedForThreads)
        return;
    EXPECT_GE(heard.gaps, 1) << "one silent stretch: the pause";
    EXPECT_LE(uint64_t(heard.gaps), 1 + uint64_t(dry.load()) + underflows)
        << "and any the test's own writer or the server's stream running dry caused";
    // The count stopped at exactly what was heard, the tone comes back where it stopped, and the count moves on
    // when the tone is heard again, without a step.
    EXPECT_EQ(pausedAt, int64_t(resumedAt));
    const auto changes = watcher.changes();
    const auto rise = std::find_if(changes.begin(), changes.end(), [&](auto& c) { return c.second > pausedAt; });
    ASSERT_NE(rise, changes.end());
    const int64_t risesNs = rise->first - (rise->second - pausedAt) * 1000000000 / rate;
    int64_t heardUncertaintyNs = 0;
    const int64_t heardNs = rig.recorder.heardAtNs(heard.resumeFrame, &heardUncertaintyNs);
    EXPECT_NEAR(double(risesNs - heardNs) / 1e6, 0.0, 10.0 + double(rise->uncertaintyNs() + heardUncertaintyNs) / 1e6)
        << "ms between the count moving on and the tone heard again";
}
