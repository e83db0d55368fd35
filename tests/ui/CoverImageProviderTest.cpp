#include "ui/CoverImageProvider.h"

#include "engine/MediaSession.h"
#include "engine/VideoFrame.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/ui/GTestQtPrinters.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QColor>
#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

using kvr::engine::VideoFrame;
using kvr::ui::CoverImageProvider;
using kvr::ui::MediaSessionBridge;

namespace {

// A packed BGRA frame as the session keeps a cover: every pixel has the given colour, each row padded by
// padBytes.
std::shared_ptr<VideoFrame> bgraFrame(int width, int height, QColor colour, int padBytes = 0)
{
    auto frame = std::make_shared<VideoFrame>();
    frame->width = width;
    frame->height = height;
    frame->bytesStride = width * 4 + padBytes;
    frame->bytes.assign(size_t(frame->bytesStride) * size_t(height), 0xEE);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = frame->bytes.data() + size_t(y) * size_t(frame->bytesStride);
        for (int x = 0; x < width; ++x) {
            row[x * 4 + 0] = uint8_t(colour.blue());
            row[x * 4 + 1] = uint8_t(colour.green());
            row[x * 4 + 2] = uint8_t(colour.red());
            row[x * 4 + 3] = uint8_t(colour.alpha());
        }
    }
    frame->planes[0] = frame->bytes.data();
    frame->strides[0] = frame->bytesStride;
    return frame;
}

// A 4×4 cover frame with one fault.
template <typename Change> std::shared_ptr<VideoFrame> spoiled(Change change)
{
    auto frame = bgraFrame(4, 4, Qt::green);
    change(*frame);
    return frame;
}

void expectTransparent(const QImage& image, QSize size, const char* what)
{
    EXPECT_EQ(image.size(), size) << what;
    EXPECT_EQ(image.format(), QImage::Format_ARGB32) << what;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_EQ(qAlpha(image.pixel(x, y)), 0) << what << " at " << x << "," << y;
}

// A bridge on a real session (nothing opened, so it has no cover) with its provider.
struct Player {
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    std::unique_ptr<MediaSessionBridge> bridge = std::make_unique<MediaSessionBridge>();
    CoverImageProvider provider { bridge.get() };

    Player() { bridge->setSession(&session); }
};

} // namespace

TEST(CoverImageProvider, ConvertsAndFitsTheCoverFrame)
{
    const QColor orange(255, 128, 0, 255);
    const QColor halfBlue(0, 0, 255, 128);
    const struct {
        const char* what;
        std::shared_ptr<VideoFrame> frame;
        QSize requested;
        QSize expected;
        QColor colour; // invalid: the transparent fallback
    } rows[] = {
        { "600x600 into 200x100", bgraFrame(600, 600, orange), { 200, 100 }, { 100, 100 }, orange },
        { "600x300 into 200x200", bgraFrame(600, 300, orange), { 200, 200 }, { 200, 100 }, orange },
        { "no requested size", bgraFrame(600, 600, halfBlue), {}, { 600, 600 }, halfBlue },
        { "empty requested size", bgraFrame(64, 48, orange), { 0, 100 }, { 64, 48 }, orange },
        { "padded rows", bgraFrame(30, 20, halfBlue, 8), {}, { 30, 20 }, halfBlue },
        { "upscaled", bgraFrame(10, 10, orange), { 40, 80 }, { 40, 40 }, orange },
        { "no frame", nullptr, {}, { 1, 1 }, {} },
        { "no frame, fitted", nullptr, { 200, 100 }, { 100, 100 }, {} },
        { "zero width", spoiled([](VideoFrame& f) { f.width = 0; }), {}, { 1, 1 }, {} },
        { "zero height", spoiled([](VideoFrame& f) { f.height = 0; }), {}, { 1, 1 }, {} },
        { "no pixels", spoiled([](VideoFrame& f) { f.bytes.clear(); }), {}, { 1, 1 }, {} },
        { "stride below a row", spoiled([](VideoFrame& f) { f.bytesStride = 12; }), {}, { 1, 1 }, {} },
        { "fewer bytes than rows", spoiled([](VideoFrame& f) { f.bytes.resize(60); }), {}, { 1, 1 }, {} },
    };
    for (const auto& row : rows) {
        const QImage image = CoverImageProvider::coverImage(row.frame.get(), row.requested);
        if (!row.colour.isValid()) {
            expectTransparent(image, row.expected, row.what);
            continue;
        }
        EXPECT_EQ(image.size(), row.expected) << row.what;
        const QColor centre = QColor::fromRgba(image.pixel(image.width() / 2, image.height() / 2));
        EXPECT_EQ(centre, row.colour) << row.what;
    }
}

TEST(CoverImageProvider, CopiesThePixelsOutOfTheFrame)
{
    auto frame = bgraFrame(8, 8, Qt::red);
    const QImage image = CoverImageProvider::coverImage(frame.get(), {});
    std::fill(frame->bytes.begin(), frame->bytes.end(), 0);
    frame.reset();
    EXPECT_EQ(QColor::fromRgba(image.pixel(3, 3)), QColor(Qt::red));
}

TEST(CoverImageProvider, ServesTheTransparentImageWithoutACover)
{
    Player player;
    MediaSessionBridge detached;
    CoverImageProvider withoutSession(&detached);
    CoverImageProvider withoutBridge(nullptr);
    const struct {
        const char* what;
        CoverImageProvider* provider;
        QString id;
        QSize requested;
        QSize expected;
    } rows[] = {
        { "nothing opened", &player.provider, "cover/1", {}, { 1, 1 } },
        { "nothing opened, fitted", &player.provider, "cover/1", { 200, 100 }, { 100, 100 } },
        { "no session", &withoutSession, "cover/3", {}, { 1, 1 } },
        { "no bridge", &withoutBridge, "cover/1", {}, { 1, 1 } },
    };
    for (const auto& row : rows) {
        QSize reported;
        expectTransparent(row.provider->requestImage(row.id, &reported, row.requested), row.expected, row.what);
        EXPECT_EQ(reported, row.expected) << row.what;
    }
    // The size argument is optional.
    expectTransparent(player.provider.requestImage("cover/1", nullptr, {}), { 1, 1 }, "without a size argument");

    player.bridge.reset();
    QSize reported;
    expectTransparent(player.provider.requestImage("cover/1", &reported, {}), { 1, 1 }, "bridge destroyed");
    EXPECT_EQ(reported, QSize(1, 1));
}

// The QML engine's loader thread asks while the GUI thread runs its event loop and destroys the bridge.
TEST(CoverImageProvider, AnswersALoaderThreadAcrossTheBridgesDestruction)
{
    Player player;
    std::atomic<int> answered { 0 };
    std::atomic<bool> allTransparent { true };
    std::atomic<bool> stop { false };
    std::atomic<bool> finished { false };
    std::thread loader([&] {
        while (!stop) {
            QSize reported;
            const QImage image = player.provider.requestImage("cover/7", &reported, {});
            if (image.size() != QSize(1, 1) || reported != QSize(1, 1) || qAlpha(image.pixel(0, 0)) != 0)
                allTransparent = false;
            ++answered;
        }
        finished = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered >= 20; }, 5000));
    player.bridge.reset();
    const int before = answered;
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered >= before + 20; }, 5000));
    stop = true;
    // The loader may be waiting for the event loop; keep it turning until the thread is done.
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, 5000));
    loader.join();
    EXPECT_TRUE(allTransparent);
}

// When the GUI thread does not answer (it may be waiting for the loader thread while it tears the engine down),
// the loader thread gives up and serves the fallback instead of hanging.
TEST(CoverImageProvider, LoaderThreadDoesNotHangOnABlockedGuiThread)
{
    Player player;
    QImage image;
    QElapsedTimer clock;
    clock.start();
    std::thread loader([&] { image = player.provider.requestImage("cover/1", nullptr, {}); });
    loader.join(); // the GUI thread blocks here, as QML's reader does at teardown
    EXPECT_LT(clock.elapsed(), 5000);
    expectTransparent(image, { 1, 1 }, "blocked GUI thread");
    // The queued hand-over runs later without harm.
    QTest::qWait(20);
}

// The session's decoded cover reaches QML through the bridge; a foreign id never does.
TEST(CoverImageProvider, ServesTheOpenMediasCover)
{
    Player player;
    ASSERT_TRUE(player.session.open(std::filesystem::path(KVR_FIXTURE_DIR) / "cover.mp3", 0))
        << player.session.lastError();

    QSize reported;
    const QImage cover = player.provider.requestImage("cover/7", &reported, {});
    EXPECT_EQ(cover.size(), QSize(200, 200));
    EXPECT_EQ(reported, QSize(200, 200));
    EXPECT_EQ(qAlpha(cover.pixel(100, 100)), 255);

    EXPECT_EQ(player.provider.requestImage("cover/7", &reported, { 100, 50 }).size(), QSize(50, 50));
    expectTransparent(player.provider.requestImage("album/7", &reported, {}), { 1, 1 }, "foreign id");
    player.session.close();
}
