#include "engine/AudioEffects.h"
#include "engine/Logging.h"
#include "engine/MediaInfo.h"
#include "engine/internal/Loudness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using namespace std::chrono_literals;

namespace {

// Integrated loudness of the ffmpeg command-line tool's ebur128 summary; NaN when it cannot be read.
double ffmpegIntegratedLoudness(const std::filesystem::path& file)
{
    const auto report = kvr::test::scratchDirectory() / "ebur128.txt";
    const std::string command = "ffmpeg -nostdin -hide_banner -nostats -i '" + file.string()
        + "' -map 0:a:0 -af ebur128 -f null - 2> '" + report.string() + "'";
    if (kvr::test::runCommand(command) != 0)
        return NAN;
    const std::string text = kvr::test::readFile(report);
    const size_t summary = text.find("Summary:");
    const size_t at = summary == std::string::npos ? summary : text.find("I:", summary);
    if (at == std::string::npos)
        return NAN;
    return std::strtod(text.c_str() + at + 2, nullptr);
}

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> measured;

    LoudnessScanner::MeasuredCallback callback()
    {
        return [this](const std::string& url, const LoudnessResult&) {
            std::lock_guard<std::mutex> lock(mutex);
            measured.push_back(url);
            changed.notify_all();
        };
    }
    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return measured.size() >= count; });
    }
};

bool waitUntilIdle(const LoudnessScanner& scanner)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!scanner.pendingUrl().empty())
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        else
            std::this_thread::sleep_for(5ms);
    return true;
}

} // namespace

TEST(Loudness, IntegratedLoudnessAgreesWithFfmpegEbur128)
{
    init_logging();
    for (const char* name : { "noise.flac", "tone44k.flac", "quiet.flac" }) {
        SCOPED_TRACE(name);
        const auto file = kvr::test::fixture(name);
        const double reference = ffmpegIntegratedLoudness(file);
        ASSERT_TRUE(std::isfinite(reference));
        std::atomic<bool> abort { false };
        const LoudnessResult result = measureLoudness(file.string(), -1, &abort);
        ASSERT_TRUE(result.ok);
        EXPECT_NEAR(result.integratedLufs, reference, 0.2);
        EXPECT_LE(result.truePeakDb, 0.5);
        EXPECT_GT(result.truePeakDb, -60.0);
    }
}

TEST(Loudness, SilenceAndBadInputsMeasureAsNothing)
{
    std::atomic<bool> abort { false };
    for (const char* name : { "silence.flac", "video-only.mkv", "garbage.mp4", "no-such-file.flac" }) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(measureLoudness(kvr::test::fixture(name).string(), -1, &abort).ok);
    }
    // An aborted measurement gives nothing either.
    abort = true;
    EXPECT_FALSE(measureLoudness(kvr::test::fixture("noise.flac").string(), -1, &abort).ok);
}

TEST(Loudness, AFormatChangeInMidStreamIsMeasuredToTheEnd)
{
    // 2 s mono 44.1 kHz then 2 s stereo 48 kHz of tones at the same level: the whole stream counts, so the
    // result lies between what the two halves measure alone.
    std::atomic<bool> abort { false };
    const LoudnessResult whole = measureLoudness(kvr::test::fixture("format-switch.ts").string(), -1, &abort);
    const LoudnessResult first = measureLoudness(kvr::test::fixture("switch-mono44k.ts").string(), -1, &abort);
    const LoudnessResult second = measureLoudness(kvr::test::fixture("switch-stereo48k.ts").string(), -1, &abort);
    ASSERT_TRUE(whole.ok && first.ok && second.ok);
    EXPECT_GT(whole.integratedLufs, std::min(first.integratedLufs, second.integratedLufs) - 0.5);
    EXPECT_LT(whole.integratedLufs, std::max(first.integratedLufs, second.integratedLufs) + 0.5);
}

TEST(Loudness, NetworkAddressesAreNeitherMeasuredNorScanned)
{
    struct Case {
        const char* address;
        bool network;
    };
    const Case cases[] = {
        { "http://127.0.0.1:9/live.mp3", true },
        { "rtsp://camera/stream", true },
        { "smb://server/share/a.flac", true },
        { "/music/odd://name.flac", false },
        { "/music/a.flac", false },
        { "relative/a.flac", false },
    };
    for (const Case& c : cases)
        EXPECT_EQ(isNetworkAddress(c.address), c.network) << c.address;

    std::atomic<bool> abort { false };
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(measureLoudness("http://127.0.0.1:9/live.mp3", 0, &abort).ok);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "not even opened";
    LoudnessScanner scanner;
    EXPECT_FALSE(scanner.start("http://127.0.0.1:9/live.mp3", 0));
    EXPECT_TRUE(scanner.pendingUrl().empty());
}

TEST(Loudness, NormalisationGainRule)
{
    const double nan = NAN;
    auto with = [](int32_t normalize, double target = -16.0) {
        AudioEffects fx;
        fx.normalize = normalize;
        fx.loudnessTarget = target;
        return fx;
    };
    struct Case {
        const char* name;
        AudioEffects effects;
        double measured, track, album, gain;
    };
    const Case cases[] = {
        { "R128 -40 LUFS is limited to +20", with(1), -40.0, nan, nan, 20.0 },
        { "R128 -5 LUFS", with(1), -5.0, nan, nan, -11.0 },
        { "R128 +20 LUFS is limited to -30", with(1), 20.0, nan, nan, -30.0 },
        { "R128 target -23", with(1, -23.0), -20.0, nan, nan, -3.0 },
        { "R128 unmeasured", with(1), nan, -6.0, -7.0, 0.0 },
        { "track", with(2), -20.0, -6.5, -7.0, -6.5 },
        { "album", with(3), -20.0, -6.5, -7.0, -7.0 },
        { "album falls back to track", with(3), nan, -6.5, nan, -6.5 },
        { "album with neither tag", with(3), nan, nan, nan, 0.0 },
        { "track unknown", with(2), nan, nan, -7.0, 0.0 },
        { "off", with(0), -40.0, -6.5, -7.0, 0.0 },
        { "unknown mode", with(9), -40.0, -6.5, -7.0, 0.0 },
        { "non-finite target", with(1, INFINITY), -20.0, nan, nan, 20.0 },
        { "NaN target", with(1, nan), -20.0, nan, nan, 0.0 },
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(normalizationGainDb(c.effects, c.measured, c.track, c.album), c.gain) << c.name;

    // A file measured at about -40 LUFS is raised by the limit.
    std::atomic<bool> abort { false };
    const LoudnessResult quiet = measureLoudness(kvr::test::fixture("quiet.flac").string(), -1, &abort);
    ASSERT_TRUE(quiet.ok);
    EXPECT_NEAR(quiet.integratedLufs, -40.0, 1.0);
    EXPECT_DOUBLE_EQ(normalizationGainDb(with(1), quiet.integratedLufs, nan, nan), 20.0);
}

TEST(ReplayGain, TagsParseTheSameInEveryLocale)
{
    MediaInfo info;
    auto parse = [&](const std::string& value) {
        info.tags = { { "TITLE", "x" }, { "REPLAYGAIN_TRACK_GAIN", value } };
        return parseGainDb(info, "REPLAYGAIN_TRACK_GAIN");
    };
    struct Case {
        const char* value;
        double gain; // NaN: absent
    };
    const Case cases[] = {
        { "-6.48 dB", -6.48 }, { "+3.21 dB", 3.21 }, { " -6.48 dB", -6.48 }, { "\t-0.5dB", -0.5 }, { "abc", 0.0 },
        { "dB -3", 0.0 }, { "", NAN }, { "inf", NAN }, { "-inf dB", NAN }, { "nan", NAN }, { "1e999", NAN },
        { "-6,48 dB", -6.0 }, // a comma ends the number, as in the C locale
    };
    for (const char* locale : { "C", "de_DE.UTF-8" }) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        for (const Case& c : cases) {
            const double gain = parse(c.value);
            if (std::isnan(c.gain))
                EXPECT_TRUE(std::isnan(gain)) << locale << " '" << c.value << "' gave " << gain;
            else
                EXPECT_DOUBLE_EQ(gain, c.gain) << locale << " '" << c.value << "'";
        }
        info.tags = { { "replaygain_album_gain", "-2.25 dB" }, { "REPLAYGAIN_ALBUM_GAIN", "-9 dB" } };
        EXPECT_DOUBLE_EQ(parseGainDb(info, "REPLAYGAIN_ALBUM_GAIN"), -2.25) << "the first, in any case";
        EXPECT_TRUE(std::isnan(parseGainDb(info, "REPLAYGAIN_TRACK_GAIN"))) << "no such tag";
    }
    std::setlocale(LC_ALL, "C");
}

TEST(Loudness, ScannerMeasuresEachAddressOnceAndCachesIt)
{
    init_logging();
    Recorder recorder;
    LoudnessScanner scanner(recorder.callback());
    const std::string noise = kvr::test::fixture("noise.flac").string();
    const std::string silence = kvr::test::fixture("silence.flac").string();

    EXPECT_TRUE(scanner.start(noise, 0));
    EXPECT_FALSE(scanner.start(noise, 0)) << "already being measured";
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.measured[0], noise);
    EXPECT_TRUE(waitUntilIdle(scanner));
    ASSERT_TRUE(scanner.cached(noise).has_value());
    EXPECT_TRUE(std::isfinite(scanner.cachedLoudness(noise)));
    EXPECT_FALSE(scanner.start(noise, 0)) << "cached";

    // Silence caches nothing and reports nothing; a later start tries again.
    EXPECT_TRUE(scanner.start(silence, 0));
    scanner.join();
    EXPECT_TRUE(std::isnan(scanner.cachedLoudness(silence)));
    EXPECT_TRUE(scanner.start(silence, 0));
    EXPECT_TRUE(waitUntilIdle(scanner));
    scanner.join();
    EXPECT_TRUE(std::isnan(scanner.cachedLoudness(silence)));
    EXPECT_EQ(recorder.measured.size(), 1u);
    EXPECT_FALSE(scanner.start("", 0));
    EXPECT_FALSE(scanner.start(noise + ".other", -1)) << "no audio stream";
}

TEST(Loudness, ANewAddressAbortsTheRunningMeasurement)
{
    // The first address is a pipe that delivers the start of a file and then stalls, so its measurement is
    // still running when the second address is asked for.
    init_logging();
    const auto fifo = kvr::test::scratchDirectory() / "stalling.flac";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string head = kvr::test::readFile(kvr::test::fixture("noise.flac")).substr(0, 60000);

    Recorder recorder;
    LoudnessScanner scanner(recorder.callback());
    ASSERT_TRUE(scanner.start(fifo.string(), 0));
    const int writer = ::open(fifo.c_str(), O_WRONLY); // waits for the worker to open the pipe
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, head.data(), head.size()), ssize_t(head.size()));

    const std::string other = kvr::test::fixture("tone44k.flac").string();
    std::thread second([&] { EXPECT_TRUE(scanner.start(other, 0)); });
    // The worker is blocked in its read; the abort is seen once the read returns.
    std::this_thread::sleep_for(100ms);
    ::close(writer);
    second.join();
    ASSERT_TRUE(recorder.waitFor(1));
    scanner.join();
    EXPECT_EQ(recorder.measured, std::vector<std::string> { other });
    EXPECT_TRUE(std::isnan(scanner.cachedLoudness(fifo.string()))) << "an aborted measurement caches nothing";
}

TEST(Loudness, StartAndJoinFromManyThreadsAtOnce)
{
    // The session starts scans from the GUI and open threads and joins from close: a running worker must never
    // be overwritten (std::terminate) or joined twice.
    LoudnessScanner scanner;
    const std::string files[] = { kvr::test::fixture("noise.flac").string(),
        kvr::test::fixture("tone44k.flac").string(), kvr::test::fixture("quiet.flac").string() };
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if ((i + t) % 4 == 0)
                    scanner.join();
                else
                    scanner.start(files[size_t(i + t) % 3], 0);
            }
        });
    for (auto& t : threads)
        t.join();
    scanner.join();
    EXPECT_TRUE(scanner.pendingUrl().empty());
}
