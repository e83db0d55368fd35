#include "ui/library/LibraryImageProvider.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using kvr::ui::library::LibraryImageProvider;

namespace {

// A covers folder the test fills, and a provider on it.
class LibraryImageProviderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString path(const QString& name) const { return dir.path() + "/" + name; }

    // A full cover: the left half red, the right half blue, so orientation shows.
    void writeCover(const QString& key, int width, int height)
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::blue);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width / 2; ++x)
                image.setPixel(x, y, qRgb(255, 0, 0));
        ASSERT_TRUE(image.save(path(key + ".jpg"), "JPG", 95));
    }

    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    QTemporaryDir dir;
    LibraryImageProvider provider { dir.path() };
};

bool reddish(QRgb c)
{
    return qRed(c) > 200 && qBlue(c) < 60;
}

bool bluish(QRgb c)
{
    return qBlue(c) > 200 && qRed(c) < 60;
}

TEST_F(LibraryImageProviderTest, SizesChooseTheirBucket)
{
    writeCover("k", 600, 600);
    struct Case {
        QString id;
        QSize requested;
        int bucket; // 0: the full cover, no thumbnail
    };
    const Case cases[] = {
        { "k/64", {}, 64 },
        { "k/50", {}, 64 },
        { "k/1", {}, 64 },
        { "k/65", {}, 128 },
        { "k/1000", {}, 512 },
        { "k/0", QSize(64, 64), 64 },
        { "k", QSize(200, 100), 256 },
        { "k/many", QSize(100, 300), 512 },
        { "k", {}, 0 },
        { "k/", QSize(-1, -1), 0 },
    };
    for (const Case& c : cases) {
        for (const QString& name : files()) {
            if (name != "k.jpg")
                QFile::remove(path(name));
        }
        QSize size(-7, -7);
        const QImage image = provider.requestImage(c.id, &size, c.requested);
        ASSERT_FALSE(image.isNull()) << c.id.toStdString();
        EXPECT_EQ(size, image.size()) << c.id.toStdString();
        if (c.bucket == 0) {
            EXPECT_EQ(image.size(), QSize(600, 600)) << c.id.toStdString();
            EXPECT_EQ(files(), QStringList({ "k.jpg" })) << c.id.toStdString();
        } else {
            EXPECT_EQ(image.size(), QSize(600, 600).boundedTo(QSize(c.bucket, c.bucket))) << c.id.toStdString();
            EXPECT_EQ(files(), QStringList({ "k.jpg", QStringLiteral("k_%1.jpg").arg(c.bucket) }))
                << c.id.toStdString();
        }
    }
}

TEST_F(LibraryImageProviderTest, ThumbnailsFitTheirBucketUpright)
{
    writeCover("wide", 1000, 500);
    writeCover("small", 100, 80);
    const QImage wide = provider.requestImage("wide/128", nullptr, {});
    EXPECT_EQ(wide.size(), QSize(128, 64));
    EXPECT_EQ(QImage(path("wide_128.jpg")).size(), QSize(128, 64));
    EXPECT_TRUE(reddish(wide.pixel(10, 32)));
    EXPECT_TRUE(bluish(wide.pixel(117, 32)));

    EXPECT_EQ(provider.requestImage("small/256", nullptr, {}).size(), QSize(100, 80));
    EXPECT_EQ(QImage(path("small_256.jpg")).size(), QSize(100, 80));

    // A cover whose EXIF orientation says "turn 90° clockwise": stored 200 × 100 with red on the left, shown
    // 100 × 200 with red on top.
    writeCover("turned", 200, 100);
    QFile file(path("turned.jpg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray jpeg = file.readAll();
    file.close();
    const QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" // big-endian TIFF, first directory at 8
                                                "0001" // one entry
                                                "011200030000000100060000" // Orientation, SHORT, 1 value: 6
                                                "00000000"); // no next directory
    const QByteArray exif = QByteArray("Exif\0\0", 6) + tiff;
    const int length = 2 + exif.size();
    jpeg.insert(2, QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + exif);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(jpeg);
    file.close();

    const QImage upright = provider.requestImage("turned/64", nullptr, {});
    ASSERT_EQ(upright.size(), QSize(32, 64));
    EXPECT_TRUE(reddish(upright.pixel(16, 8)));
    EXPECT_TRUE(bluish(upright.pixel(16, 56)));
    const QImage stored(path("turned_64.jpg"));
    ASSERT_EQ(stored.size(), QSize(32, 64)) << "the thumbnail is stored upright";
    EXPECT_TRUE(reddish(stored.pixel(16, 8)));
}

TEST_F(LibraryImageProviderTest, RefusesKeysThatLeaveTheFolder)
{
    writeCover("k", 100, 100);
    const QString keys[] = { "", "..", "../k", "..k", "k..", "a\\k", QStringLiteral("k") + QChar(0) + "x", "missing" };
    for (const QString& key : keys) {
        for (const QString& id : { key + "/64", key }) {
            QSize size(-7, -7);
            EXPECT_TRUE(provider.requestImage(id, &size, QSize(64, 64)).isNull()) << id.toStdString();
            if (key != "missing") {
                EXPECT_EQ(size, QSize(-7, -7)) << id.toStdString();
            }
        }
    }
    EXPECT_EQ(files(), QStringList({ "k.jpg" })) << "a missing cover makes no thumbnail either";
}

TEST_F(LibraryImageProviderTest, UnreadableThumbnailIsMadeAgain)
{
    writeCover("k", 300, 300);
    QFile junk(path("k_64.jpg"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    QByteArray bytes(4096, '\0');
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    junk.write(bytes);
    junk.close();

    EXPECT_EQ(provider.requestImage("k/64", nullptr, {}).size(), QSize(64, 64));
    QImageReader reader(path("k_64.jpg"));
    EXPECT_EQ(reader.format(), "jpeg");
    EXPECT_EQ(reader.read().size(), QSize(64, 64));
}

std::atomic<int> corruptWarnings { 0 };
QtMessageHandler previousHandler = nullptr;

void watchForCorruptJpeg(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains("Corrupt JPEG data") || message.contains("Premature end of JPEG file"))
        ++corruptWarnings;
    else if (previousHandler)
        previousHandler(type, context, message);
}

TEST_F(LibraryImageProviderTest, ConcurrentRequestsNeverShowAPartialThumbnail)
{
    // A noisy cover, so the largest thumbnail takes many writes.
    QImage noise(1024, 1024, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < noise.height(); ++y)
        random.fillRange(reinterpret_cast<quint32*>(noise.scanLine(y)), noise.width());
    ASSERT_TRUE(noise.save(path("k.jpg"), "JPG", 95));
    const QString thumbnail = path("k_512.jpg");

    corruptWarnings = 0;
    previousHandler = qInstallMessageHandler(watchForCorruptJpeg);
    std::atomic<bool> done { false };
    std::atomic<int> reads { 0 };
    std::thread reader([&] {
        while (!done) {
            QFile file(thumbnail);
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                file.close();
                QImage image;
                if (!image.loadFromData(bytes, "JPG") || image.size() != QSize(512, 512))
                    ++corruptWarnings;
                ++reads;
            }
        }
    });
    std::atomic<int> failures { 0 };
    for (int round = 0; round < 50; ++round) {
        QFile::remove(thumbnail);
        auto ask = [&] {
            if (provider.requestImage("k/512", nullptr, {}).size() != QSize(512, 512))
                ++failures;
        };
        std::thread first(ask);
        std::thread second(ask);
        first.join();
        second.join();
    }
    done = true;
    reader.join();
    qInstallMessageHandler(previousHandler);

    EXPECT_EQ(failures, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(corruptWarnings, 0);
    EXPECT_EQ(files(), QStringList({ "k.jpg", "k_512.jpg" })) << "no temporary file is left";
}

} // namespace
