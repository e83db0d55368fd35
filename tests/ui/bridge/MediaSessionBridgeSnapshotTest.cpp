#include "ui/bridge/MediaSessionBridge.h"
#include "ui/bridge/SnapshotJpeg.h"

#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

using kvr::ui::MediaSessionBridge;
using State = MediaSessionBridge::State;

namespace {

QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

QString scratchPath(const QString& name)
{
    return QString::fromStdString(kvr::test::scratchDirectory().string()) + QLatin1Char('/') + name;
}

// Where snapshots land: Pictures below this test process's own home.
QString snapshotFolder()
{
    return QDir::homePath() + QStringLiteral("/Pictures/Kestrune Media Player");
}

// A bridge on a real session (silent audio output) with a timer in the video sink's place, paused on the
// first picture of one entry.
struct Player {
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    std::unique_ptr<MediaSessionBridge> bridge;
    QTimer sink;
    QStringList osd;

    explicit Player(bool png = true)
    {
        // The format preference is read from the settings when the bridge is made.
        QSettings().setValue(QStringLiteral("prefs/snapshotPng"), png);
        bridge = std::make_unique<MediaSessionBridge>();
        bridge->setSession(&session);
        QObject::connect(bridge.get(), &MediaSessionBridge::osd, [this](const QString& t) { osd << t; });
        QObject::connect(&sink, &QTimer::timeout, [this] { bridge->takeFrame(bridge->videoClockUs(), false); });
        sink.start(15);
    }

    // Opens entry and waits until a picture was shown (or, for audio, until it plays), then pauses.
    bool showFirstPicture(const QString& entry, bool expectVideo = true)
    {
        bridge->restorePlaylist({ entry }, -1);
        if (!bridge->openEntry(0) || !QTest::qWaitFor([&] { return bridge->state() == State::Playing; }, 10000))
            return false;
        if (expectVideo && !QTest::qWaitFor([&] { return session.currentFrame() != nullptr; }, 5000))
            return false;
        return QTest::qWaitFor(
            [&] {
                bridge->pause();
                return bridge->state() == State::Paused;
            },
            5000);
    }

    // The position text the snapshot's name carries for the picture on screen.
    QString positionText() const
    {
        return MediaSessionBridge::formatTime(session.currentFrame()->pts).replace(':', '-');
    }
};

} // namespace

TEST(MediaSessionBridge, SnapshotWithoutSessionSavesNothingAndSaysNothing)
{
    MediaSessionBridge bridge;
    QSignalSpy osd(&bridge, &MediaSessionBridge::osd);
    EXPECT_EQ(bridge.saveSnapshot(), QString());
    EXPECT_EQ(osd.count(), 0);
}

TEST(MediaSessionBridge, SnapshotOfAudioOnlyHasNoFrameToCapture)
{
    Player p;
    ASSERT_TRUE(p.showFirstPicture(fixturePath("tone6.mkv"), false));
    EXPECT_EQ(p.bridge->saveSnapshot(), QString());
    EXPECT_EQ(p.osd, QStringList { "No video frame to capture" });
    EXPECT_FALSE(QFileInfo::exists(snapshotFolder()));
}

TEST(MediaSessionBridge, SnapshotIsSavedAsSeen)
{
    const struct {
        const char* fixture;
        QSize size;
    } rows[] = {
        { "clip.mp4", QSize(320, 240) },
        // Sample aspect 16:15 widens the stored picture.
        { "snapshot-sar.mkv", QSize(768, 576) },
        // Turned a quarter clockwise for display.
        { "snapshot-rotated.mp4", QSize(32, 64) },
        // A sample aspect of 1000:1 is no shape a picture has: the stored width stays. (FFmpeg itself drops
        // such a ratio unless the picture is at least 1000 high.)
        { "snapshot-sar-1000.mp4", QSize(16, 1000) },
    };
    for (const auto& row : rows) {
        Player p;
        ASSERT_TRUE(p.showFirstPicture(fixturePath(row.fixture))) << row.fixture;
        const QString path = p.bridge->saveSnapshot();
        ASSERT_FALSE(path.isEmpty()) << row.fixture << ": " << p.osd.join('|').toStdString();
        EXPECT_EQ(QFileInfo(path).fileName(),
            QStringLiteral("%1_%2.png").arg(QFileInfo(row.fixture).completeBaseName(), p.positionText()));
        const QImage saved(path, "PNG");
        EXPECT_EQ(saved.size(), row.size) << row.fixture;
        EXPECT_FALSE(saved.hasAlphaChannel()) << row.fixture;
        if (QByteArray(row.fixture) == "snapshot-rotated.mp4") {
            // The stored left half (blue) is on top once the picture is upright.
            const QColor top = saved.pixelColor(16, 8);
            const QColor bottom = saved.pixelColor(16, 56);
            EXPECT_GT(top.blue(), 200);
            EXPECT_LT(top.red(), 60);
            EXPECT_GT(bottom.red(), 200);
            EXPECT_LT(bottom.blue(), 60);
        }
        EXPECT_EQ(p.osd, QStringList { "Snapshot saved to " + QDir::toNativeSeparators(snapshotFolder()) });
        QFile::remove(path);
    }
}

namespace {

// Mean absolute difference of two same-sized pictures over R, G and B (0 = equal, 255 = opposite); -1 when the
// sizes differ.
double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return -1.0;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0.0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            sum += std::abs(qRed(p[col]) - qRed(q[col])) + std::abs(qGreen(p[col]) - qGreen(q[col]))
                + std::abs(qBlue(p[col]) - qBlue(q[col]));
    }
    return sum / (3.0 * x.width() * x.height());
}

// The picture FFmpeg decodes at `seconds` into the fixture, as a PNG in the scratch folder.
QImage decodedAt(const char* fixture, const char* seconds)
{
    const QString out = scratchPath(QStringLiteral("reference-%1.png").arg(QLatin1String(seconds)));
    const std::string command = std::string("ffmpeg -nostdin -v error -y -ss ") + seconds + " -i '"
        + kvr::test::fixture(fixture).string() + "' -frames:v 1 -pix_fmt rgb24 '" + out.toStdString() + "'";
    if (kvr::test::runCommand(command) != 0)
        return {};
    return QImage(out, "PNG");
}

} // namespace

TEST(MediaSessionBridge, SnapshotRightAfterASeekHoldsTheSeeksPicture)
{
    // The sink has not drawn the seek's first picture yet (the test holds the GUI thread): the shown one is
    // still the first open's, and the capture must not take it. Letterbox detection reads the same picture.
    const QImage before = decodedAt("clip.mp4", "0");
    const QImage after = decodedAt("clip.mp4", "2");
    ASSERT_FALSE(before.isNull());
    ASSERT_FALSE(after.isNull());
    ASSERT_GT(meanDifference(before, after), 10.0);

    Player p;
    ASSERT_TRUE(p.showFirstPicture(fixturePath("clip.mp4")));
    p.bridge->seekUs(2'000'000);
    const QString path = p.bridge->saveSnapshot();
    ASSERT_FALSE(path.isEmpty()) << p.osd.join('|').toStdString();
    EXPECT_EQ(QFileInfo(path).fileName(), QStringLiteral("clip_0-02.png"));
    const double difference = meanDifference(QImage(path, "PNG"), after);
    EXPECT_GE(difference, 0.0);
    EXPECT_LT(difference, 3.0);
}

TEST(MediaSessionBridge, SnapshotNeverOverwritesAndCleansTheName)
{
    const QString entry = scratchPath(QStringLiteral("what?*|now.mp4"));
    ASSERT_TRUE(QFile::copy(fixturePath("clip.mp4"), entry));
    Player p;
    ASSERT_TRUE(p.showFirstPicture(entry));
    const QString base = QStringLiteral("what___now_%1").arg(p.positionText());

    const QString names[] = { base + ".png", base + " (2).png", base + " (3).png" };
    for (const QString& name : names) {
        const QString path = p.bridge->saveSnapshot();
        EXPECT_EQ(path, QDir::toNativeSeparators(snapshotFolder() + '/' + name));
        EXPECT_TRUE(QFileInfo::exists(path)) << name.toStdString();
    }
    EXPECT_EQ(QDir(snapshotFolder()).entryList(QDir::Files).size(), 3);
}

TEST(MediaSessionBridge, SnapshotOfAStreamAsJpeg)
{
    QFile clip(fixturePath("start-offset.ts"));
    ASSERT_TRUE(clip.open(QIODevice::ReadOnly));
    kvr::test::LoopbackHttpServer server;
    server.answer("/live.ts", 200, clip.readAll());
    Player p(false);
    ASSERT_TRUE(p.showFirstPicture(server.url("/live.ts").toString()));

    const QString path = p.bridge->saveSnapshot();
    EXPECT_EQ(QFileInfo(path).fileName(), QStringLiteral("stream_%1.jpg").arg(p.positionText()));
    EXPECT_EQ(p.osd, QStringList { "Snapshot saved to " + QDir::toNativeSeparators(snapshotFolder()) });
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.read(2) == QByteArray("\xff\xd8", 2));
    EXPECT_EQ(QImage(path, "JPG").size(), QSize(160, 120));
    // Nothing but the file itself is left in the folder (no temporary file of the atomic write).
    EXPECT_EQ(QDir(snapshotFolder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST(MediaSessionBridge, SnapshotWithoutAPicturesFolderGoesToTheHomeFolderAndSaysSo)
{
    // The desktop's way of having no Pictures folder: the user folder for pictures is the home folder.
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString userDirs = config + QStringLiteral("/user-dirs.dirs");
    QDir().mkpath(config);
    {
        QFile f(userDirs);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("XDG_PICTURES_DIR=\"$HOME/\"\n");
    }
    struct RemoveAfter {
        QString path;
        ~RemoveAfter() { QFile::remove(path); }
    } removeAfter { userDirs };

    Player p;
    ASSERT_TRUE(p.showFirstPicture(fixturePath("clip.mp4")));
    const QString path = p.bridge->saveSnapshot();
    const QString folder = QDir::homePath() + QStringLiteral("/Kestrune Media Player");
    EXPECT_EQ(QFileInfo(path).absolutePath(), folder);
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(p.osd, QStringList { "Snapshot saved to " + QDir::toNativeSeparators(folder) });
    QDir(folder).removeRecursively();
}

TEST(MediaSessionBridge, SnapshotJpegReportsWhyItCouldNotSave)
{
    Player p(false);
    ASSERT_TRUE(p.showFirstPicture(fixturePath("clip.mp4")));
    // A file where the folder belongs: nothing can be written there.
    QDir().mkpath(QFileInfo(snapshotFolder()).path());
    QFile blocker(snapshotFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    EXPECT_EQ(p.bridge->saveSnapshot(), QString());
    EXPECT_EQ(p.osd, QStringList { "Could not save the snapshot" });

    Player png;
    ASSERT_TRUE(png.showFirstPicture(fixturePath("clip.mp4")));
    EXPECT_EQ(png.bridge->saveSnapshot(), QString());
    EXPECT_EQ(png.osd, QStringList { "Could not save the snapshot" });
}

namespace {

// The sampling factors of every component in the JPEG's start-of-frame segment, or empty without one.
std::vector<int> samplingFactors(const std::vector<uint8_t>& jpeg)
{
    for (size_t i = 2; i + 9 < jpeg.size();) {
        if (jpeg[i] != 0xff)
            return {};
        const uint8_t marker = jpeg[i + 1];
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (marker == 0xc0 || marker == 0xc1) {
            std::vector<int> factors;
            const int components = jpeg[i + 9];
            for (int c = 0; c < components && i + 11 + size_t(c) * 3 < jpeg.size(); ++c)
                factors.push_back(jpeg[i + 11 + size_t(c) * 3]);
            return factors;
        }
        i += 2 + length;
    }
    return {};
}

} // namespace

TEST(MediaSessionBridge, SnapshotJpegEncoderKeepsColoursAndFullDetail)
{
    // Left half pure red, right half pure blue, packed B, G, R, A with padding at the end of each row.
    const int width = 48, height = 32, stride = width * 4 + 16;
    std::vector<uint8_t> pixels(size_t(stride) * height, 0x55);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &pixels[size_t(y) * stride + size_t(x) * 4];
            const bool red = x < width / 2;
            p[0] = red ? 0 : 255;
            p[1] = 0;
            p[2] = red ? 255 : 0;
            p[3] = 255;
        }
    }
    std::vector<uint8_t> jpeg { 1, 2 };
    QString error;
    ASSERT_TRUE(kvr::ui::encodeSnapshotJpeg(pixels.data(), width, height, stride, jpeg, error)) << error.toStdString();
    // Appended to what the buffer held.
    ASSERT_GT(jpeg.size(), size_t(4));
    EXPECT_EQ(jpeg[0], 1);
    const std::vector<uint8_t> file(jpeg.begin() + 2, jpeg.end());
    // The chroma is sampled as finely as the brightness.
    const std::vector<int> factors = samplingFactors(file);
    ASSERT_EQ(factors.size(), size_t(3));
    EXPECT_EQ(factors[1], factors[0]);
    EXPECT_EQ(factors[2], factors[0]);
    const QImage image = QImage::fromData(file.data(), int(file.size()), "JPG");
    ASSERT_EQ(image.size(), QSize(width, height));
    // Full range: pure colours stay pure instead of being squeezed to video levels.
    const QColor red = image.pixelColor(8, 16);
    const QColor blue = image.pixelColor(40, 16);
    EXPECT_GE(red.red(), 245);
    EXPECT_LE(red.green(), 10);
    EXPECT_LE(red.blue(), 10);
    EXPECT_GE(blue.blue(), 245);
    EXPECT_LE(blue.red(), 10);

    const struct {
        const uint8_t* pixels;
        int width;
        int height;
    } empty[] = { { nullptr, 4, 4 }, { pixels.data(), 0, 4 }, { pixels.data(), 4, -1 } };
    for (const auto& row : empty) {
        std::vector<uint8_t> out;
        QString why;
        EXPECT_FALSE(kvr::ui::encodeSnapshotJpeg(row.pixels, row.width, row.height, stride, out, why));
        EXPECT_EQ(why, "empty image");
        EXPECT_TRUE(out.empty());
    }
}
