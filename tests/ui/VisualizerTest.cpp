#include "ui/Visualizer.h"

#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

using kvr::ui::Visualizer;

namespace {

constexpr size_t frames = Visualizer::frameCount;

// Output samples the test decides: a stereo sine at 48 kHz, or silence. `delivered` is what a read reports.
struct Samples {
    double hz = 0.0;
    float amplitude = 1.0f;
    size_t delivered = frames;
    int reads = 0;

    Visualizer::SampleSource source()
    {
        return [this](float* out, size_t count) {
            ++reads;
            for (size_t i = 0; i < count; ++i) {
                const float x = float(amplitude * std::sin(2.0 * M_PI * hz * double(i) / 48000.0));
                out[i * 2] = x;
                out[i * 2 + 1] = x;
            }
            return std::min(count, delivered);
        };
    }
};

size_t loudestBand(const std::vector<float>& levels)
{
    return size_t(std::max_element(levels.begin(), levels.end()) - levels.begin());
}

} // namespace

TEST(Visualizer, FftMatchesTheDirectTransform)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const size_t n : { size_t(2), size_t(8), size_t(64) }) {
        std::vector<std::complex<float>> data(n);
        for (auto& x : data)
            x = { value(random), value(random) };
        const std::vector<std::complex<float>> input = data;
        Visualizer::fft(data.data(), n);
        for (size_t k = 0; k < n; ++k) {
            std::complex<double> sum;
            for (size_t i = 0; i < n; ++i)
                sum += std::complex<double>(input[i]) * std::polar(1.0, -2.0 * M_PI * double(k * i) / double(n));
            EXPECT_NEAR(data[k].real(), sum.real(), 1e-4) << n << " bin " << k;
            EXPECT_NEAR(data[k].imag(), sum.imag(), 1e-4) << n << " bin " << k;
        }
    }
}

TEST(Visualizer, FullScaleSineAt1kHzPeaksInItsBand)
{
    // 1 kHz lies between bins 42 and 43 of a 2048-point transform at 48 kHz; bin 43, the nearer one, opens the
    // band that holds the peak for every band count.
    const struct {
        int bands;
        size_t band;
    } rows[] = { { 16, 9 }, { 32, 18 }, { 64, 36 } };
    for (const auto& row : rows) {
        Samples sine { 1000.0 };
        Visualizer v;
        v.setSampleSource(sine.source());
        v.setBands(row.bands);
        v.tick();
        ASSERT_EQ(v.levels().size(), size_t(row.bands));
        EXPECT_EQ(loudestBand(v.levels()), row.band) << row.bands << " bands";
        EXPECT_GT(v.levels()[row.band], 0.95f) << row.bands << " bands";
        EXPECT_LT(v.levels()[0], 0.3f) << row.bands << " bands";
        EXPECT_EQ(v.peaks()[row.band], v.levels()[row.band]);
        EXPECT_NEAR(v.rmsLeft(), 0.7071f, 0.01f);
        EXPECT_NEAR(v.rmsRight(), 0.7071f, 0.01f);
        EXPECT_NEAR(v.peakLeft(), 1.0f, 0.01f);
    }
}

TEST(Visualizer, SilenceLetsMetersLevelsAndPeaksFall)
{
    Samples sine { 1000.0 };
    Visualizer v;
    v.setSampleSource(sine.source());
    v.tick();
    const size_t band = loudestBand(v.levels());

    // A short read counts as silence, even though the buffer was written.
    sine.delivered = frames - 1;
    for (int i = 0; i < 5; ++i) {
        const float rms = v.rmsLeft();
        const float peak = v.peakRight();
        const float level = v.levels()[band];
        const float bandPeak = v.peaks()[band];
        v.tick();
        EXPECT_FLOAT_EQ(v.rmsLeft(), rms * 0.85f) << "tick " << i;
        EXPECT_NEAR(v.peakRight(), peak - 0.02f, 1e-6f) << "tick " << i;
        EXPECT_FLOAT_EQ(v.levels()[band], level * 0.82f) << "tick " << i;
        EXPECT_FLOAT_EQ(v.peaks()[band], std::max(bandPeak - 0.012f, level * 0.82f)) << "tick " << i;
    }
}

TEST(Visualizer, ReadsNothingWithoutBridgeOrWhenHidden)
{
    // No bridge and no source: nothing is read or computed.
    Visualizer alone;
    alone.tick();
    EXPECT_TRUE(alone.levels().empty());

    // Hidden: the samples are not read.
    Samples sine { 1000.0 };
    Visualizer hidden;
    hidden.setSampleSource(sine.source());
    hidden.setVisible(false);
    hidden.tick();
    EXPECT_EQ(sine.reads, 0);
    EXPECT_TRUE(hidden.levels().empty());

    // A bridge without a session has no samples: silence, measured.
    kvr::ui::MediaSessionBridge bridge;
    Visualizer silent;
    silent.setBridge(&bridge);
    silent.tick();
    ASSERT_EQ(silent.levels().size(), size_t(32));
    EXPECT_TRUE(std::all_of(silent.levels().begin(), silent.levels().end(), [](float x) { return x == 0.0f; }));
    EXPECT_EQ(silent.rmsLeft(), 0.0f);
}

TEST(Visualizer, ChangingBandsStartsTheLevelsAfresh)
{
    Samples sine { 1000.0 };
    Visualizer v;
    QSignalSpy changed(&v, &Visualizer::bandsChanged);
    v.setSampleSource(sine.source());
    v.tick();
    ASSERT_EQ(v.levels().size(), size_t(32));
    v.setBands(30); // still 32
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(v.levels().size(), size_t(32));
    v.setBands(33);
    EXPECT_EQ(v.bands(), 64);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(v.levels().empty());
    EXPECT_TRUE(v.peaks().empty());
    v.tick();
    EXPECT_EQ(v.levels().size(), size_t(64));
}

TEST(Visualizer, WaveformDrawsLeftAt30AndRightAt70PercentOfTheHeight)
{
    Samples silence;
    Visualizer v;
    v.setSampleSource(silence.source());
    v.setMode(2);
    v.setSize(QSizeF(200, 100));
    v.tick();
    QImage picture(200, 100, QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    v.paint(&painter);
    painter.end();

    EXPECT_EQ(picture.pixelColor(100, 30).rgb(), QColor(0xff, 0x5b, 0x22).rgb());
    EXPECT_EQ(picture.pixelColor(100, 70).rgb(), QColor(0xff, 0x7a, 0x45).rgb());
    EXPECT_EQ(qAlpha(picture.pixel(100, 50)), 0);
    EXPECT_EQ(qAlpha(picture.pixel(100, 20)), 0);
}

TEST(Visualizer, SpectrogramScrollsAndRestartsBlackOnResize)
{
    Samples sine { 1000.0 };
    Visualizer v;
    v.setSampleSource(sine.source());
    v.setMode(4);
    v.setSize(QSizeF(100, 64));
    const QRgb black = qRgb(0, 0, 0);
    auto isBlack = [&](int x, int y) { return v.spectrogram().pixel(x, y) == black; };

    v.tick();
    ASSERT_EQ(v.spectrogram().size(), QSize(100, 64));
    EXPECT_EQ(v.spectrogram().format(), QImage::Format_RGB32);
    EXPECT_FALSE(isBlack(99, 10));
    EXPECT_FALSE(isBlack(98, 10));
    EXPECT_TRUE(isBlack(97, 10));

    v.tick();
    EXPECT_FALSE(isBlack(96, 10));
    EXPECT_TRUE(isBlack(95, 10));

    // Low bands are at the bottom: the 1 kHz band (18 of 32) is red, the top band (16 kHz, silent) dark blue.
    const int sineRow = int((1.0 - 18.5 / 32.0) * 64);
    const QColor loud = v.spectrogram().pixelColor(99, sineRow);
    const QColor quiet = v.spectrogram().pixelColor(99, 0);
    EXPECT_GT(loud.red(), 200);
    EXPECT_LT(loud.blue(), 60);
    EXPECT_GT(quiet.blue(), quiet.red());
    EXPECT_LT(quiet.value(), 80);

    v.setSize(QSizeF(80, 40));
    v.tick();
    ASSERT_EQ(v.spectrogram().size(), QSize(80, 40));
    EXPECT_FALSE(isBlack(79, 10));
    EXPECT_TRUE(isBlack(77, 10));

    // Leaving the mode drops the history.
    v.setMode(1);
    EXPECT_TRUE(v.spectrogram().isNull());
}

TEST(Visualizer, RunningDrivesTheTimer)
{
    Samples sine { 1000.0 };
    Visualizer v;
    v.setSampleSource(sine.source());
    QSignalSpy changed(&v, &Visualizer::runningChanged);
    QTest::qWait(100);
    EXPECT_EQ(sine.reads, 0);

    v.setRunning(true);
    v.setRunning(true);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return sine.reads >= 3; }, 1000));

    v.setRunning(false);
    const int reads = sine.reads;
    QTest::qWait(100);
    EXPECT_EQ(sine.reads, reads);
    EXPECT_EQ(changed.count(), 2);
}

TEST(Visualizer, ShowsWhatThePlayerPlays)
{
    // 1 kHz at half scale on both channels: rms 0.354 in the 48 kHz output.
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    kvr::ui::MediaSessionBridge bridge;
    bridge.setSession(&session);
    Visualizer v;
    v.setBridge(&bridge);
    v.setRunning(true);
    bridge.restorePlaylist({ QString::fromStdString(kvr::test::fixture("tone1k-half.flac").string()) }, -1);
    ASSERT_TRUE(bridge.openEntry(0));

    // The output's newest 2048 frames are all tone once it has played a little while.
    ASSERT_TRUE(QTest::qWaitFor([&] { return v.rmsLeft() > 0.34f && v.rmsRight() > 0.34f; }, 5000))
        << v.rmsLeft() << " " << v.rmsRight();
    EXPECT_LT(v.rmsLeft(), 0.37f);
    EXPECT_NEAR(v.peakLeft(), 0.5f, 0.02f);
    ASSERT_EQ(v.levels().size(), size_t(32));
    EXPECT_EQ(loudestBand(v.levels()), size_t(18));

    // Stopped, the output is gone: the meters fall.
    bridge.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return v.rmsLeft() < 0.01f; }, 2000)) << v.rmsLeft();
}
