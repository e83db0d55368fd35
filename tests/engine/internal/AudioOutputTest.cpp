// The render loop's logic on the scripted virtual endpoint: with manual pacing every device period is a step
// of the test, so counts and contents are exact.
#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "engine/internal/AudioOutputWasapi.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <optional>
#include <thread>
#include <vector>

using namespace kvr::engine::internal;
using namespace kvr::platform::audio;
using namespace std::chrono_literals;

namespace {

std::string logText()
{
    return kvr::test::readFile(kvr::engine::privateDirectory() / "kvr.log");
}

bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (logText().find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

MixFormat format(int32_t rate, int32_t channels, SampleType type = SampleType::Float32)
{
    MixFormat f;
    f.sampleType = type;
    f.sampleRate = rate;
    f.channels = channels;
    return f;
}

// An output on a virtual device with manual pacing, 10 ms periods and a capture of what was played.
struct Rig {
    explicit Rig(MixFormat mix = format(48000, 2))
        : device(std::make_shared<VirtualDevice>(options(mix)))
        , out([d = device] { return makeVirtualEnumerator(d); })
    {
        kvr::engine::init_logging();
    }

    static VirtualDeviceOptions options(const MixFormat& mix)
    {
        VirtualDeviceOptions o;
        o.format = mix;
        o.periodFrames = static_cast<uint32_t>(mix.sampleRate / 100);
        o.manualPacing = true;
        o.captureFrames = 48000;
        return o;
    }

    // Opens, lets the loop run and waits for its pre-roll.
    void begin()
    {
        ASSERT_TRUE(out.start()) << out.lastError();
        out.beginRendering(&played);
        ASSERT_TRUE(device->waitUntil([](auto& c) { return c.releases == 1 && c.running; }, 2s));
    }

    // `periods` device periods pass; returns once the loop has handed the endpoint the next buffer.
    void step(uint32_t periods = 1)
    {
        const uint64_t before = device->counters().releases;
        device->advance(periods);
        ASSERT_TRUE(device->waitUntil([&](auto& c) { return c.releases > before; }, 2s));
    }

    void write(const std::vector<float>& samples)
    {
        ASSERT_EQ(out.ring().write(samples.data(), samples.size()), samples.size());
    }

    std::shared_ptr<VirtualDevice> device;
    AudioOutputWasapi out;
    std::atomic<int64_t> played { 0 };
};

} // namespace

TEST(AudioOutput, OpensInTheMixFormatWithA200msRing)
{
    struct Case {
        MixFormat mix;
        size_t ringSamples;
        const char* line;
    };
    const Case cases[] = {
        { format(48000, 2), 19200, "AudioOutputWasapi: opened sr=48000 ch=2 buffer_frames=9600" },
        { format(44100, 1), 8820, "AudioOutputWasapi: opened sr=44100 ch=1 buffer_frames=8820" },
        { format(48000, 6), 57600, "AudioOutputWasapi: opened sr=48000 ch=6 buffer_frames=9600" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Rig rig(c.mix);
        ASSERT_TRUE(rig.out.start()) << rig.out.lastError();
        EXPECT_EQ(rig.out.sampleRate(), c.mix.sampleRate);
        EXPECT_EQ(rig.out.channels(), c.mix.channels);
        EXPECT_EQ(rig.out.ring().capacity(), c.ringSamples);
        EXPECT_NE(logText().find(c.line), std::string::npos);
    }
}

TEST(AudioOutput, AnIntegerMixFormatFailsTheOpen)
{
    Rig rig(format(48000, 2, SampleType::Int16));
    EXPECT_FALSE(rig.out.start());
    EXPECT_EQ(rig.out.lastError(), "WASAPI mix format is not float32 (Phase 1 limitation)");
    EXPECT_EQ(rig.out.ring().capacity(), 0u);
}

// The count follows what is heard: pre-roll silence never counts, the first real period starts the count once
// the silence queued before it has been played, and underrun silence after that counts.
TEST(AudioOutput, PlayedFramesFollowWhatIsHeard)
{
    Rig rig;
    rig.begin();
    EXPECT_EQ(rig.device->counters().lastReleaseFrames, 9600u);
    EXPECT_TRUE(rig.device->counters().lastReleaseSilent);

    rig.step(); // the ring is empty: a silent period, fed to nobody
    EXPECT_EQ(rig.device->counters().lastReleaseFrames, 480u);
    EXPECT_TRUE(rig.device->counters().lastReleaseSilent);
    EXPECT_EQ(rig.played.load(), 0);
    float tap[2 * 4096];
    EXPECT_EQ(rig.out.recentSamples(tap, 4096), 0u) << "the tap is fed only by real audio";

    std::vector<float> ramp(2 * 480);
    for (size_t i = 0; i < 480; ++i) {
        ramp[2 * i] = float(i + 1) / 1000.0f;
        ramp[2 * i + 1] = -float(i + 1) / 1000.0f;
    }
    rig.write(ramp);
    rig.step(); // the first real period, queued behind 200 ms of silence
    EXPECT_FALSE(rig.device->counters().lastReleaseSilent);
    EXPECT_EQ(rig.played.load(), 0);

    ASSERT_EQ(rig.out.recentSamples(tap, 10000), 4096u);
    for (size_t i = 0; i < 4096 - 480; ++i)
        ASSERT_EQ(tap[2 * i], 0.0f) << i;
    for (size_t i = 0; i < 480; ++i) {
        ASSERT_EQ(tap[2 * (4096 - 480 + i)], ramp[2 * i]) << i;
        ASSERT_EQ(tap[2 * (4096 - 480 + i) + 1], ramp[2 * i + 1]) << i;
    }

    rig.step(20); // everything queued has been heard; the loop refills with underrun silence
    EXPECT_EQ(rig.played.load(), 480);
    EXPECT_TRUE(rig.device->counters().lastReleaseSilent);
    rig.step(); // one underrun period heard
    EXPECT_EQ(rig.played.load(), 960);
    rig.step(3);
    EXPECT_EQ(rig.played.load(), 960 + 3 * 480);
}

TEST(AudioOutput, PauseStopsTheCountAndResumeDoesNotPreRollAgain)
{
    Rig rig;
    rig.begin();
    rig.write(std::vector<float>(2 * 4800, 0.1f));
    rig.step(30);
    rig.step();
    const int64_t beforePause = rig.played.load();
    ASSERT_GT(beforePause, 0);

    rig.out.pause();
    ASSERT_TRUE(rig.device->waitUntil([](auto& c) { return !c.running; }, 2s)) << "pause stops the client";
    const auto paused = rig.device->counters();
    rig.device->advance(10);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.device->counters().framesConsumed, paused.framesConsumed);
    EXPECT_EQ(rig.device->counters().releases, paused.releases);
    EXPECT_EQ(rig.played.load(), beforePause);

    rig.out.resume();
    ASSERT_TRUE(rig.device->waitUntil([](auto& c) { return c.running; }, 2s));
    rig.step();
    EXPECT_EQ(rig.device->counters().lastReleaseFrames, 480u) << "no second pre-roll";
    EXPECT_EQ(rig.device->counters().releases, paused.releases + 1);
    EXPECT_EQ(rig.played.load(), beforePause + 480);
    rig.step();
    EXPECT_EQ(rig.played.load(), beforePause + 960);
}

TEST(AudioOutput, VolumeIsClampedAndAppliedToTheDeviceAndTheTap)
{
    struct Case {
        float set;
        float gain;
    };
    const Case cases[] = { { 5.0f, 4.0f }, { -1.0f, 0.0f }, { 0.5f, 0.5f }, { 1.0f, 1.0f } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        Rig rig;
        rig.out.setVolume(c.set);
        rig.begin();
        rig.write(std::vector<float>(2 * 480, 0.125f));
        rig.step();
        const auto played = rig.device->captured();
        ASSERT_GE(played.size(), 2u * 480);
        for (size_t i = played.size() - 2 * 480; i < played.size(); ++i)
            ASSERT_EQ(played[i], 0.125f * c.gain) << i;
        float tap[2 * 480];
        ASSERT_EQ(rig.out.recentSamples(tap, 480), 480u);
        for (float s : tap)
            ASSERT_EQ(s, 0.125f * c.gain);
    }
}

TEST(AudioOutput, TheTapTakesTheFirstTwoChannels)
{
    struct Case {
        int32_t channels;
        std::vector<float> frame;
        float left, right;
    };
    const Case cases[] = {
        { 1, { 0.3f }, 0.3f, 0.3f },
        { 2, { 0.3f, -0.2f }, 0.3f, -0.2f },
        { 6, { 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f }, 0.1f, 0.2f },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        Rig rig(format(48000, c.channels));
        rig.begin();
        std::vector<float> period;
        for (int i = 0; i < 480; ++i)
            period.insert(period.end(), c.frame.begin(), c.frame.end());
        rig.write(period);
        rig.step();
        float tap[2 * 4];
        ASSERT_EQ(rig.out.recentSamples(tap, 4), 4u);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(tap[2 * i], c.left);
            EXPECT_EQ(tap[2 * i + 1], c.right);
        }
    }
}

TEST(AudioOutput, ReacquiresAnInvalidatedDeviceAndPlaysOn)
{
    struct Case {
        VirtualDevice::FailAt where;
        const char* line;
    };
    const Case cases[] = {
        { VirtualDevice::FailAt::Padding, "AudioOutputWasapi: device invalidated; reacquiring" },
        { VirtualDevice::FailAt::GetBuffer, "AudioOutputWasapi: device invalidated on GetBuffer; reacquiring" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Rig rig;
        rig.begin();
        rig.write(std::vector<float>(2 * 960, 0.1f));
        rig.step(25);
        rig.step();
        const int64_t before = rig.played.load();
        ASSERT_GT(before, 0);

        rig.device->invalidate(c.where);
        rig.device->advance(1);
        ASSERT_TRUE(rig.device->waitUntil([](auto& v) { return v.activations == 2 && v.running; }, 2s));
        EXPECT_TRUE(waitForLog(c.line, 1s));
        EXPECT_TRUE(waitForLog("AudioOutputWasapi: reacquired device after invalidation sr=48000 ch=2", 1s));

        rig.write(std::vector<float>(2 * 480, 0.2f));
        rig.step();
        EXPECT_FALSE(rig.device->counters().lastReleaseSilent) << "the new client gets the ring's audio";
        rig.step(20);
        EXPECT_GT(rig.played.load(), before) << "the count goes on after the reacquisition";
    }
}

// When no device comes back, or the one that does cannot play the ring's format, the output plays on into a
// silent endpoint: the ring keeps draining and the count keeps running, so the picture keeps its time.
TEST(AudioOutput, ContinuesSilentlyWhenTheDeviceDoesNotComeBack)
{
    struct Case {
        const char* name;
        MixFormat open;
        std::optional<MixFormat> changed; // none: no device at all
        const char* line;
    };
    const Case cases[] = {
        { "no device for 50 attempts", format(48000, 2), std::nullopt, nullptr },
        { "another rate", format(48000, 2), format(44100, 2),
            "AudioOutputWasapi: device format changed (was sr=48000 ch=2, now sr=44100 ch=2)" },
        { "fewer channels", format(48000, 6), format(48000, 2),
            "AudioOutputWasapi: device format changed (was sr=48000 ch=6, now sr=48000 ch=2)" },
        { "integer samples", format(48000, 2), format(48000, 2, SampleType::Int16),
            "AudioOutputWasapi: device format changed (was sr=48000 ch=2, now sr=48000 ch=2)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.open);
        rig.begin();
        rig.step();
        if (c.changed)
            rig.device->setMixFormat(*c.changed);
        else
            rig.device->failDefaultEndpoint(INT_MAX);
        const auto before = rig.device->counters();
        rig.device->invalidate();
        ASSERT_TRUE(waitForLog("AudioOutputWasapi: reacquire failed; continuing without sound", 10s));
        if (c.line) {
            EXPECT_TRUE(waitForLog(c.line, 1s));
        }
        const auto after = rig.device->counters();
        EXPECT_EQ(after.releases, before.releases) << "nothing more reaches the device";
        if (!c.changed) {
            EXPECT_EQ(after.defaultEndpointCalls, before.defaultEndpointCalls + 50);
        }

        // Half a second of audio drains at the pace of the clock; the count runs on.
        const std::vector<float> half(size_t(c.open.channels) * size_t(c.open.sampleRate) / 2, 0.1f);
        auto writer = std::async(std::launch::async, [&] { return rig.out.ring().write(half.data(), half.size()); });
        ASSERT_EQ(writer.wait_for(3s), std::future_status::ready);
        EXPECT_EQ(writer.get(), half.size());
        const int64_t counted = rig.played.load();
        std::this_thread::sleep_for(300ms);
        EXPECT_GT(rig.played.load(), counted);
    }
}

// No sound server: the output still opens, within the connect time-out, and plays into silence at the pace of
// the clock, so a medium with sound opens and its picture keeps time.
TEST(AudioOutput, OpensSilentlyWithoutASoundServer)
{
    ::setenv("PULSE_SERVER", "unix:/nonexistent/kvr/native", 1);
    kvr::engine::init_logging();
    AudioOutputWasapi out;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(out.start()) << out.lastError();
    EXPECT_LE(std::chrono::steady_clock::now() - started, connectTimeout);
    EXPECT_NE(logText().find("AudioEndpoint: no sound server ("), std::string::npos);
    EXPECT_EQ(out.sampleRate(), 48000);
    EXPECT_EQ(out.channels(), 2);

    std::atomic<int64_t> played { 0 };
    out.beginRendering(&played);
    const std::vector<float> tenth(2 * 4800, 0.1f);
    ASSERT_EQ(out.ring().write(tenth.data(), tenth.size()), tenth.size());
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (played.load() < 4800 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(played.load(), 4800);
}
