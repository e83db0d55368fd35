// The audio decoder on real files: the real demuxer feeds it and it writes into a real output's ring, which the
// test reads directly (the output's render thread never begins, so the test is the ring's only reader).
#include "engine/AudioEffects.h"
#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "engine/internal/AudioDecoder.h"
#include "engine/internal/AudioOutputWasapi.h"
#include "engine/internal/Demuxer.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using namespace kvr::platform::audio;
using namespace std::chrono_literals;

namespace {

constexpr int outRate = 48000;
constexpr int outChannels = 2;

std::string logText()
{
    return kvr::test::readFile(privateDirectory() / "kvr.log");
}

size_t countOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::shared_ptr<const AudioEffects> equaliser(std::initializer_list<std::pair<int, double>> bands, double preamp = 0)
{
    auto fx = std::make_shared<AudioEffects>();
    fx->eqEnabled = true;
    fx->preamp = preamp;
    for (const auto& [band, gain] : bands)
        fx->bands[size_t(band)] = gain;
    return fx;
}

// One opening: output on a virtual device (never rendering), demuxer, decoder, all started.
struct Playback {
    std::shared_ptr<VirtualDevice> device;
    AudioOutputWasapi output;
    Demuxer demuxer;
    AudioDecoder decoder;

    explicit Playback(const std::string& fixture, int64_t startUs = 0, double speed = 1.0,
        std::shared_ptr<const AudioEffects> effects = nullptr)
        : device(std::make_shared<VirtualDevice>(options()))
        , output([d = device] { return makeVirtualEnumerator(d); })
    {
        init_logging();
        EXPECT_TRUE(output.start()) << output.lastError();
        EXPECT_TRUE(demuxer.open(kvr::test::fixture(fixture), startUs, StreamSelection {})) << demuxer.lastError;
        decoder.speed = speed;
        decoder.setEffects(std::move(effects));
        opened = decoder.open(demuxer.audio.codecParameters, demuxer.audio.timeBase, &output);
        EXPECT_TRUE(opened);
        decoder.seekTargetUs = startUs;
        decoder.start(&demuxer.audioQueue, &decodedFrames);
        demuxer.start(nullptr);
    }

    ~Playback()
    {
        demuxer.join();
        output.stop();
        decoder.join();
    }

    static VirtualDeviceOptions options()
    {
        VirtualDeviceOptions o;
        o.format.sampleRate = outRate;
        o.format.channels = outChannels;
        o.manualPacing = true;
        return o;
    }

    // Reads the ring until the decoder has finished and the ring is empty; returns the left channel.
    // `onProgress` sees the number of frames read so far after every read.
    std::vector<float> readAll(const std::function<void(size_t)>& onProgress = {})
    {
        std::vector<float> left;
        std::vector<float> block(960 * outChannels);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            const bool done = decoder.finished.load();
            const size_t got = output.ring().read(block.data(), block.size());
            for (size_t i = 0; i + 1 < got; i += outChannels)
                left.push_back(block[i]);
            if (got > 0 && onProgress)
                onProgress(left.size());
            if (got == 0) {
                if (done)
                    return left;
                std::this_thread::sleep_for(1ms);
            }
        }
        ADD_FAILURE() << "decoding did not finish";
        return left;
    }

    bool opened = false;
    std::atomic<int64_t> decodedFrames { 0 };
};

// First frame whose sample reaches `threshold`, or -1.
int64_t onset(const std::vector<float>& samples, float threshold = 0.02f, size_t from = 0)
{
    for (size_t i = from; i < samples.size(); ++i)
        if (std::fabs(samples[i]) >= threshold)
            return int64_t(i);
    return -1;
}

double rms(const std::vector<float>& samples, double fromSeconds, double toSeconds)
{
    const size_t a = size_t(fromSeconds * outRate);
    const size_t b = std::min(samples.size(), size_t(toSeconds * outRate));
    double sum = 0;
    for (size_t i = a; i < b; ++i)
        sum += double(samples[i]) * samples[i];
    return b > a ? std::sqrt(sum / double(b - a)) : 0.0;
}

double db(double ratio)
{
    return 20.0 * std::log10(ratio);
}

} // namespace

TEST(AudioDecoder, OutputLengthFollowsTheOutputRateAndTheSpeed)
{
    // tone44k.flac: 4 s of 440 Hz at 44.1 kHz, decoded for a 48 kHz output.
    struct Case {
        const char* name;
        double speed;
        std::shared_ptr<const AudioEffects> effects;
        double seconds;
    };
    const Case cases[] = {
        { "resampler", 1.0, nullptr, 4.0 },
        { "graph", 1.0, equaliser({ { 2, 3.0 } }), 4.0 },
        { "speed 2", 2.0, nullptr, 2.0 },
        { "speed 1.5 with equaliser", 1.5, equaliser({ { 2, 3.0 } }), 4.0 / 1.5 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Playback playback("tone44k.flac", 0, c.speed, c.effects);
        const auto out = playback.readAll();
        // Within one FLAC frame (4608 samples at 44.1 kHz); in practice within a few samples.
        EXPECT_NEAR(double(out.size()), c.seconds * outRate, 4608.0 * outRate / 44100 / c.speed);
        EXPECT_NEAR(double(out.size()), c.seconds * outRate, 0.002 * outRate) << "more than 2 ms off";
        EXPECT_GT(rms(out, 0.1, c.seconds - 0.1), 0.06) << "the tone (amplitude 1/8, -3 dB per side) throughout";
    }
}

TEST(AudioDecoder, LongLowRateFramesConvertWithoutGaps)
{
    // tone100-at-1khz.wav: 3 s of 100 Hz at a 1 kHz sample rate, in packets of 1024 samples, each of which
    // stands for 49,152 output frames and is converted in slices.
    struct Case {
        const char* name;
        std::shared_ptr<const AudioEffects> effects;
    };
    const Case cases[] = { { "resampler", nullptr }, { "graph", equaliser({ { 2, 3.0 } }) } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Playback playback("tone100-at-1khz.wav", 0, 1.0, c.effects);
        const auto out = playback.readAll();
        EXPECT_NEAR(double(out.size()), 3.0 * outRate, 0.002 * outRate);
        EXPECT_GT(rms(out, 0.1, 2.9), 0.06);
        // A slice converted from the wrong place shows as a jump: the tone itself moves at most
        // 2 pi x 100 / 48,000 x 1/8 (about 0.0016) from one output sample to the next.
        float jump = 0;
        for (size_t i = size_t(0.1 * outRate); i + 1 < std::min(out.size(), size_t(2.9 * outRate)); ++i)
            jump = std::max(jump, std::fabs(out[i + 1] - out[i]));
        EXPECT_LT(jump, 0.005f);
    }
}

TEST(AudioDecoder, RefusesImplausibleRatesAndChannelCounts)
{
    struct Case {
        int rate;
        int channels;
        bool played;
    };
    const Case cases[]
        = { { 1, 2, false }, { 999, 2, false }, { 1000, 2, true }, { 48000, 1, true }, { 768000, 2, true },
              { 768001, 2, false }, { 48000, 0, false }, { 48000, 64, true }, { 48000, 65, false }, { 0, 2, false } };
    for (const Case& c : cases)
        EXPECT_EQ(AudioDecoder::refusalOf(c.rate, c.channels).empty(), c.played) << c.rate << " Hz " << c.channels;

    // A WAV whose header claims 1 Hz: refused at open, before anything is decoded.
    init_logging();
    const size_t from = logText().size();
    auto device = std::make_shared<VirtualDevice>(Playback::options());
    AudioOutputWasapi output([d = device] { return makeVirtualEnumerator(d); });
    ASSERT_TRUE(output.start()) << output.lastError();
    Demuxer demuxer;
    ASSERT_TRUE(demuxer.open(kvr::test::fixture("tone3-1hz.wav"), 0, StreamSelection {}));
    AudioDecoder decoder;
    EXPECT_FALSE(decoder.open(demuxer.audio.codecParameters, demuxer.audio.timeBase, &output));
    EXPECT_EQ(decoder.refusal, "sample rate 1 Hz is outside 1000-768000 Hz");
    EXPECT_EQ(countOf(logText().substr(from),
                  "AudioDecoder: sample rate 1 Hz is outside 1000-768000 Hz; the audio track is not played"),
        1u);
    output.stop();
}

TEST(AudioDecoder, FirstSampleWrittenBelongsToTheStartPosition)
{
    // click.flac: a 1 kHz burst at 1.250 s; its frames are 4096 samples (93 ms) long, so 1.2 s lies inside one.
    // audio-after-video.mkv: audio starts 1 s after the video, which the medium's clock starts with.
    struct Case {
        const char* name;
        const char* fixture;
        int64_t startUs;
        double speed;
        std::shared_ptr<const AudioEffects> effects;
        double expectedSeconds; // of output, where the sound begins
        double toleranceSeconds;
    };
    const Case cases[] = {
        { "click, resampler", "click.flac", 1'200'000, 1.0, nullptr, 0.050, 0.002 },
        { "click, equaliser", "click.flac", 1'200'000, 1.0, equaliser({ { 3, 2.0 } }), 0.050, 0.002 },
        { "click from the start, equaliser", "click.flac", 0, 1.0, equaliser({ { 3, 2.0 } }), 1.250, 0.002 },
        { "late audio", "audio-after-video.mkv", 0, 1.0, nullptr, 1.0, 0.002 },
        { "late audio, equaliser", "audio-after-video.mkv", 0, 1.0, equaliser({ { 3, 2.0 } }), 1.0, 0.002 },
        { "late audio at speed 2", "audio-after-video.mkv", 0, 2.0, nullptr, 0.5, 0.005 },
        { "late audio after a start before it", "audio-after-video.mkv", 400'000, 1.0, nullptr, 0.6, 0.002 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Playback playback(c.fixture, c.startUs, c.speed, c.effects);
        const auto out = playback.readAll();
        const int64_t at = onset(out);
        ASSERT_GE(at, 0);
        EXPECT_NEAR(double(at) / outRate, c.expectedSeconds, c.toleranceSeconds);
    }
}

TEST(AudioDecoder, EqualiserMovesRetuneTheRunningGraph)
{
    // 440 Hz lies in band 4 (500 Hz, one octave wide). The equaliser is already part of the chain (band 0 at
    // 3 dB), so cutting band 4 must be a command, not a rebuild, and must take effect.
    const size_t builtBefore = countOf(logText(), "AudioDecoder: filter graph '");
    Playback playback("tone44k.flac", 0, 1.0, equaliser({ { 0, 3.0 } }));
    bool moved = false;
    const auto out = playback.readAll([&](size_t frames) {
        if (!moved && frames >= size_t(1.0 * outRate)) {
            playback.decoder.setEffects(equaliser({ { 0, 3.0 }, { 4, -12.0 } }));
            moved = true;
        }
    });
    const double before = rms(out, 0.5, 1.0);
    const double after = rms(out, 2.0, 3.5);
    EXPECT_LT(db(after / before), -6.0) << "the cut is heard";
    EXPECT_EQ(countOf(logText(), "AudioDecoder: filter graph '") - builtBefore, 1u) << "built once, never rebuilt";
    EXPECT_NE(playback.decoder.filterDescription().find("equalizer@eq4=f=500:t=o:w=1:g=-12"), std::string::npos);
}

TEST(AudioDecoder, EqualiserChangesAtASpeedOtherThanOneAreHeard)
{
    // At speed 1.5 the graph exists for the tempo alone; a flat enabled equaliser is not part of it, so the
    // equaliser coming and going changes the filter list and must rebuild the graph.
    const double speed = 1.5;
    auto flat = equaliser({});
    auto cut = equaliser({ { 4, -15.0 } });
    struct Step {
        const char* name;
        std::shared_ptr<const AudioEffects> effects;
        bool quiet;
    };
    const Step steps[] = {
        { "equaliser off", nullptr, false },
        { "switched on with a cut", cut, true },
        { "flat, still on", flat, false },
        { "a band of the flat equaliser moved", cut, true },
        { "switched off", nullptr, false },
    };
    const double stepSeconds = 0.5; // of output; the file gives 2.67 s at this speed
    Playback playback("tone44k.flac", 0, speed, nullptr);
    size_t next = 1;
    const auto out = playback.readAll([&](size_t frames) {
        if (next < std::size(steps) && frames >= size_t(double(next) * stepSeconds * outRate)) {
            playback.decoder.setEffects(steps[next].effects);
            ++next;
        }
    });
    // The 200 ms ring and the graph still hold audio made before each change.
    const double reference = rms(out, 0.2, 0.5);
    for (size_t i = 1; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].name);
        const double from = double(i) * stepSeconds + 0.35;
        const double level = db(rms(out, from, from + 0.13) / reference);
        if (steps[i].quiet)
            EXPECT_LT(level, -6.0);
        else
            EXPECT_NEAR(level, 0.0, 1.0);
    }
}

TEST(AudioDecoder, RebuildsAtASpeedOtherThanOneKeepTheOutputLength)
{
    // Every rebuild hands over what the old graph still holds (atempo keeps about 1/24 s), so ten toggles must
    // not shorten the output.
    const double speed = 1.5;
    const size_t builtBefore = countOf(logText(), "AudioDecoder: filter graph '");
    size_t untouched = 0;
    {
        Playback playback("tone44k.flac", 0, speed, nullptr);
        untouched = playback.readAll().size();
    }
    Playback playback("tone44k.flac", 0, speed, nullptr);
    int toggles = 0;
    int64_t decodedAtToggle = 0;
    const auto out = playback.readAll([&](size_t frames) {
        // The ring holds audio decoded before a toggle; wait for two new frames so that no toggle is folded into
        // the next one before the decoder has seen it.
        const int64_t decoded = playback.decodedFrames.load();
        if (toggles < 10 && frames >= size_t((0.2 + 0.2 * toggles) * outRate) && decoded >= decodedAtToggle + 2) {
            playback.decoder.setEffects(toggles % 2 == 0 ? equaliser({ { 4, 3.0 } }) : nullptr);
            decodedAtToggle = decoded;
            ++toggles;
        }
    });
    EXPECT_EQ(toggles, 10);
    EXPECT_EQ(countOf(logText(), "AudioDecoder: filter graph '") - builtBefore, 12u)
        << "one graph per run and ten rebuilds";
    EXPECT_NEAR(double(out.size()), double(untouched), 0.010 * outRate);
}

TEST(AudioDecoder, FormatChangeInMidStreamDecodesToTheEnd)
{
    // format-switch.ts: 2 s of mono 44.1 kHz, then 2 s of stereo 48 kHz, in one MPEG-TS stream.
    struct Case {
        const char* name;
        double speed;
        std::shared_ptr<const AudioEffects> effects;
    };
    const Case cases[] = {
        { "resampler", 1.0, nullptr },
        { "graph", 1.0, equaliser({ { 6, 2.0 } }) },
        { "graph at speed 1.5", 1.5, nullptr },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Playback playback("format-switch.ts", 0, c.speed, c.effects);
        const size_t rejectedBefore = countOf(logText(), "filter rejected frame");
        const auto out = playback.readAll();
        const double seconds = double(out.size()) / outRate;
        EXPECT_NEAR(seconds, 4.0 / c.speed, 0.15);
        EXPECT_GT(rms(out, 0.2, 1.6 / c.speed), 0.05) << "the mono part";
        EXPECT_GT(rms(out, 2.4 / c.speed, 3.8 / c.speed), 0.05) << "the stereo part";
        EXPECT_EQ(countOf(logText(), "filter rejected frame"), rejectedBefore);
    }
}

TEST(AudioDecoder, EffectsChangedFromAnotherThreadWhileDecoding)
{
    // Run under ThreadSanitizer too (see the notes): the GUI side publishes settings while the decoding
    // thread applies them.
    Playback playback("tone44k.flac", 0, 1.25, nullptr);
    std::atomic<bool> stop { false };
    std::thread gui([&] {
        for (int i = 0; !stop.load(); ++i) {
            auto fx = std::make_shared<AudioEffects>();
            fx->eqEnabled = i % 3 != 0;
            fx->bands[size_t(i % 10)] = double(i % 7) - 3.0;
            fx->normalize = i % 5 == 0 ? AudioEffects::NormalizeReplayGainTrack : AudioEffects::NormalizeOff;
            playback.decoder.normalizationGainDb = double(i % 4);
            playback.decoder.setEffects(std::move(fx));
            (void)playback.decoder.filterDescription();
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto out = playback.readAll();
    stop = true;
    gui.join();
    EXPECT_NEAR(double(out.size()) / outRate, 4.0 / 1.25, 0.05);
    EXPECT_TRUE(playback.decoder.finished.load());
}

TEST(AudioDecoder, AStartedDecoderRefusesASecondStart)
{
    Playback playback("tone44k.flac");
    EXPECT_FALSE(playback.decoder.start(&playback.demuxer.audioQueue, nullptr));
    playback.readAll();
    EXPECT_GT(playback.decodedFrames.load(), 0);
}
