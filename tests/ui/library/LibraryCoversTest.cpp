#include "engine/convert/MediaExtraction.h"
#include "tests/support/TestSupport.h"
#include "ui/library/LibraryScanner.h"

#include <QCoreApplication>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>
#include <QProcess>
#include <QTemporaryDir>
#include <QTransform>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

using kvr::ui::library::contentFingerprint;
using kvr::ui::library::isMediaFile;
using kvr::ui::library::LibraryScanner;

namespace {

QString fixture(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool copyFixture(const char* name, const QString& target)
{
    return QFile::copy(fixture(name), target);
}

// A plain image of one colour, saved in the format its name says.
bool writeImage(const QString& path, QColor colour, QSize size = QSize(64, 48))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path);
}

// JPEG colours wander a little; a side of the colour cube is 255.
bool near(QRgb a, QColor b)
{
    return std::abs(qRed(a) - b.red()) < 24 && std::abs(qGreen(a) - b.green()) < 24
        && std::abs(qBlue(a) - b.blue()) < 24;
}

QString keyOfImage(const QString& path)
{
    const QFileInfo info(path);
    return LibraryScanner::folderImageKey(info.absoluteFilePath(), info.lastModified().toSecsSinceEpoch());
}

// The FNV-1a steps over a byte range, from the fingerprint's own starting value.
uint64_t fnv(const QByteArray& bytes, uint64_t hash = 0x14650fb0739d0383ULL)
{
    for (const char c : bytes)
        hash = (hash ^ uint8_t(c)) * 0x100000001b3ULL;
    return hash;
}

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

QString hex(uint64_t h)
{
    return QStringLiteral("%1").arg(qulonglong(h), 16, 16, QLatin1Char('0'));
}

class LibraryCovers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath("covers"));
        covers = dir.filePath("covers");
    }

    // A media folder below the temporary directory.
    QString folder(const QString& name)
    {
        QDir(dir.path()).mkpath(name);
        return dir.filePath(name);
    }

    // Asked name by name, then again with the folder listed once (as a pass does it): both must find the same.
    QString find(const QString& mediaPath, const QString& album, bool video)
    {
        const QString fingerprint = contentFingerprint(mediaPath);
        const QString byName = LibraryScanner::findCoverArt(covers, QFileInfo(mediaPath), album, fingerprint, video);
        LibraryScanner::FolderEntries listed;
        EXPECT_EQ(
            LibraryScanner::findCoverArt(covers, QFileInfo(mediaPath), album, fingerprint, video, {}, &listed), byName);
        return byName;
    }

    QImage stored(const QString& key) { return QImage(LibraryScanner::coverPath(covers, key)); }

    QStringList coverFiles() const
    {
        return QDir(covers).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    QTemporaryDir dir;
    QString covers;
};

} // namespace

TEST_F(LibraryCovers, MediaExtensions)
{
    const struct {
        const char* path;
        bool media;
    } cases[] = {
        { "/m/Song.FLAC", true },
        { "/v/movie.Mkv", true },
        { "/m/a.tta", true },
        { "/m/mp3", false },
        { "/m/archive.tar.gz", false },
        { "/m/noextension", false },
        { "/m/.mp3", true },
        { "/m/song.mp3.part", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(isMediaFile(c.path), c.media) << c.path;
}

TEST_F(LibraryCovers, Fingerprints)
{
    struct Case {
        const char* name;
        QByteArray bytes;
        QString expected;
    };
    const QByteArray big = patterned(131073);
    const Case cases[] = {
        { "empty", QByteArray(), "0-14650fb0739d0383" },
        { "abc", QByteArray("abc"), "3-e16801510db89efd" },
        // Up to 128 KiB only the head counts; one byte more and the last 64 KiB (overlapping the head) count too.
        { "131072", big.left(131072), "131072-" + hex(fnv(big.left(65536))) },
        { "131073", big, "131073-" + hex(fnv(big.right(65536), fnv(big.left(65536)))) },
    };
    for (const Case& c : cases) {
        const QString path = dir.filePath(c.name);
        ASSERT_TRUE(writeBytes(path, c.bytes));
        EXPECT_EQ(contentFingerprint(path), c.expected) << c.name;
    }

    // Two files of 100 KiB that differ only after byte 65,536 look the same; a byte in the head tells them apart.
    QByteArray a = patterned(100 * 1024);
    QByteArray b = a;
    b[70000] = char(~b[70000]);
    QByteArray c = a;
    c[100] = char(~c[100]);
    ASSERT_TRUE(
        writeBytes(dir.filePath("a"), a) && writeBytes(dir.filePath("b"), b) && writeBytes(dir.filePath("c"), c));
    EXPECT_EQ(contentFingerprint(dir.filePath("a")), contentFingerprint(dir.filePath("b")));
    EXPECT_NE(contentFingerprint(dir.filePath("a")), contentFingerprint(dir.filePath("c")));

    EXPECT_TRUE(contentFingerprint(dir.filePath("missing")).isNull());
    EXPECT_TRUE(contentFingerprint(dir.path()).isNull()) << "a folder";
}

TEST_F(LibraryCovers, FingerprintNeverOpensUrlsOrPipes)
{
    // "<dir>/a://b" names a real file on Linux, so only the "://" keeps it from being read.
    ASSERT_TRUE(QDir(dir.path()).mkpath("a:"));
    ASSERT_TRUE(writeBytes(dir.filePath("a:/b"), "abc"));
    ASSERT_EQ(contentFingerprint(dir.filePath("a:/b")), "3-e16801510db89efd");
    EXPECT_TRUE(contentFingerprint(dir.path() + "/a://b").isNull());

    // Opening a FIFO without a writer would block the scan for good.
    const QByteArray fifo = QFile::encodeName(dir.filePath("pipe.mp3"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    EXPECT_TRUE(contentFingerprint(dir.filePath("pipe.mp3")).isNull());
}

TEST_F(LibraryCovers, CoverPaths)
{
    EXPECT_TRUE(LibraryScanner::coverPath("/c", "").isEmpty());
    EXPECT_EQ(LibraryScanner::coverPath("/c", "e3-abc"), "/c/e3-abc.jpg");
    EXPECT_EQ(LibraryScanner::coverPath("/c", "e3-abc", -1), "/c/e3-abc.jpg");
    EXPECT_EQ(LibraryScanner::coverPath("/c", "e3-abc", 256), "/c/e3-abc_256.jpg");
}

TEST_F(LibraryCovers, EmbeddedPictureWinsOverFolderImage)
{
    const QString album = folder("album");
    const QString song = album + "/song.mp3";
    ASSERT_TRUE(copyFixture("cover.mp3", song));
    ASSERT_TRUE(writeImage(album + "/cover.jpg", Qt::red));

    const QString key = find(song, "Album", false);
    EXPECT_EQ(key, "e" + contentFingerprint(song));
    const QImage image = stored(key);
    EXPECT_EQ(image.size(), QSize(200, 200));
    EXPECT_FALSE(image.hasAlphaChannel());

    // An existing cover of the key is used as it is, never written again.
    ASSERT_TRUE(writeBytes(LibraryScanner::coverPath(covers, key), "kept"));
    EXPECT_EQ(find(song, "Album", false), key);
    EXPECT_EQ(kvr::test::readFile(LibraryScanner::coverPath(covers, key).toStdString()), "kept");
}

TEST_F(LibraryCovers, FolderImagesByName)
{
    const QString films = folder("films");
    const QString film = films + "/Film.mkv";
    const QString song = films + "/song.flac";
    ASSERT_TRUE(copyFixture("video-only.mkv", film));
    ASSERT_TRUE(copyFixture("tone44k.flac", song));
    ASSERT_TRUE(writeImage(films + "/Film.jpg", Qt::red));
    ASSERT_TRUE(writeImage(films + "/cover.jpg", Qt::blue));

    const QString filmKey = find(film, QString(), true);
    EXPECT_EQ(filmKey, keyOfImage(films + "/Film.jpg"));
    EXPECT_TRUE(near(stored(filmKey).pixel(10, 10), Qt::red));

    const QString songKey = find(song, QString(), false);
    EXPECT_EQ(songKey, keyOfImage(films + "/cover.jpg"));
    EXPECT_TRUE(near(stored(songKey).pixel(10, 10), Qt::blue));

    // Touching the image makes a new key, and a new stored cover.
    QFile touched(films + "/cover.jpg");
    ASSERT_TRUE(touched.open(QIODevice::ReadWrite));
    ASSERT_TRUE(touched.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    touched.close();
    const QString touchedKey = find(song, QString(), false);
    EXPECT_NE(touchedKey, songKey);
    EXPECT_EQ(touchedKey, keyOfImage(films + "/cover.jpg"));
    EXPECT_TRUE(QFileInfo::exists(LibraryScanner::coverPath(covers, touchedKey)));

    // The album's own name comes last, and only when nothing else is there.
    const QString albums = folder("albums");
    const QString track = albums + "/track.flac";
    ASSERT_TRUE(copyFixture("tone44k.flac", track));
    ASSERT_TRUE(writeImage(albums + "/Album Title.png", Qt::green));
    // Letter case is the file system's: on Linux "Cover.JPG" is not "cover.jpg".
    ASSERT_TRUE(writeImage(albums + "/Cover.JPG", Qt::blue));
    // A candidate that does not decode is passed over.
    ASSERT_TRUE(writeBytes(albums + "/folder.jpg", "not a picture"));
    EXPECT_TRUE(find(track, QString(), false).isEmpty());
    const QString albumKey = find(track, "Album Title", false);
    EXPECT_EQ(albumKey, keyOfImage(albums + "/Album Title.png"));
    EXPECT_TRUE(near(stored(albumKey).pixel(10, 10), Qt::green));
}

// A folder image whose header claims 30000 x 30000 pixels (3.6 GB decoded) is refused by Qt's allocation limit and
// passed over, not allocated.
TEST_F(LibraryCovers, HugeFolderImageIsSkipped)
{
    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::black);
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && one.save(&buffer, "PNG"));
    // IHDR follows the 8-byte signature: length, "IHDR", width, height, ..., CRC over type and data.
    ASSERT_EQ(png.mid(12, 4), "IHDR");
    const uint32_t side = qToBigEndian<uint32_t>(30000);
    png.replace(16, 4, reinterpret_cast<const char*>(&side), 4);
    png.replace(20, 4, reinterpret_cast<const char*>(&side), 4);
    uint32_t crc = 0xffffffffu;
    for (const char c : png.mid(12, 17)) {
        crc ^= uint8_t(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    const uint32_t crcBig = qToBigEndian<uint32_t>(~crc);
    png.replace(29, 4, reinterpret_cast<const char*>(&crcBig), 4);

    const QString album = folder("hostile");
    const QString track = album + "/track.flac";
    ASSERT_TRUE(copyFixture("tone44k.flac", track));
    ASSERT_TRUE(writeBytes(album + "/cover.png", png));
    ASSERT_EQ(QImageReader(album + "/cover.png").size(), QSize(30000, 30000)) << "the header reads as written";
    ASSERT_TRUE(writeImage(album + "/folder.jpg", Qt::green));
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { warnings.append(text); });
    const QString key = find(track, QString(), false);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.join('\n').contains("allocation limit")) << "refused before decoding, not after";
    EXPECT_EQ(key, keyOfImage(album + "/folder.jpg"));
    EXPECT_EQ(coverFiles(), QStringList({ key + ".jpg" }));
}

TEST_F(LibraryCovers, AlbumTitleNeverLeavesTheFolder)
{
    // Each title below names an image that exists: <dir>/x.jpg two folders above the track, and beside it
    // "..jpg", "...jpg" and sub/x.jpg.
    const QString deep = folder("one/two");
    const QString track = deep + "/track.flac";
    ASSERT_TRUE(copyFixture("tone44k.flac", track));
    ASSERT_TRUE(QDir(deep).mkpath("sub"));
    for (const QString& image : { dir.filePath("x.jpg"), deep + "/..jpg", deep + "/...jpg", deep + "/sub/x.jpg" })
        ASSERT_TRUE(writeImage(image, Qt::red)) << image.toStdString();
    for (const char* album : { "../../x", "..", ".", "sub/x" })
        EXPECT_TRUE(find(track, album, false).isEmpty()) << album;
    EXPECT_TRUE(coverFiles().isEmpty()) << coverFiles().join(", ").toStdString();
}

TEST_F(LibraryCovers, LargeFolderImageIsStoredAt4096)
{
    const QString album = folder("large");
    const QString track = album + "/track.flac";
    ASSERT_TRUE(copyFixture("tone44k.flac", track));
    ASSERT_TRUE(copyFixture("folder-6000x4000.png", album + "/folder.png"));

    const QString key = find(track, QString(), false);
    ASSERT_FALSE(key.isEmpty());
    const QImage image = stored(key);
    EXPECT_EQ(image.width(), 4096);
    EXPECT_NEAR(image.height(), 2731, 1);
    // Left half orange, right half blue: the picture is scaled, not cropped or turned.
    EXPECT_TRUE(near(image.pixel(100, 1300), QColor(0xC0, 0x60, 0x30)));
    EXPECT_TRUE(near(image.pixel(4000, 1300), QColor(0x30, 0x60, 0xC0)));
}

TEST_F(LibraryCovers, VideoFrameIsTurnedAsShown)
{
    const QString videos = folder("phone");
    const QString clip = videos + "/Phone.mp4";
    ASSERT_TRUE(copyFixture("rotated.mp4", clip));

    const std::shared_ptr<kvr::engine::VideoFrame> frame
        = kvr::engine::extractThumbnail(QFile::encodeName(clip).toStdString(), 0.1, 640);
    ASSERT_TRUE(frame);
    ASSERT_NE(frame->rotation, 0);
    const QImage delivered
        = QImage(frame->planes[0], frame->width, frame->height, frame->strides[0], QImage::Format_ARGB32)
              .convertToFormat(QImage::Format_RGB32)
              .transformed(QTransform().rotate(frame->rotation));

    const QString key = find(clip, QString(), true);
    EXPECT_EQ(key, "v" + contentFingerprint(clip));
    const QImage image = stored(key);
    ASSERT_EQ(image.size(), QSize(frame->height, frame->width));
    ASSERT_EQ(image.size(), delivered.size());
    // Pixel by pixel the stored cover is the frame turned as shown (JPEG error aside), and not turned the other way.
    auto meanDifference = [&image](const QImage& other) {
        qint64 sum = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb a = image.pixel(x, y), b = other.pixel(x, y);
                sum += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
            }
        return double(sum) / (3.0 * image.width() * image.height());
    };
    EXPECT_LT(meanDifference(delivered), 8.0);
    EXPECT_GT(meanDifference(delivered.transformed(QTransform().rotate(180))), 30.0);

    // A video without frame, picture or image beside it has no cover.
    const QString silent = videos + "/audio-only.mkv";
    ASSERT_TRUE(copyFixture("tone6.mkv", silent));
    EXPECT_TRUE(find(silent, QString(), true).isEmpty());
}

// The "f" key is the same in every process (qHash with a fixed seed), so stored keys stay valid after a restart.
TEST_F(LibraryCovers, FolderImageKeyIsTheSameInAnotherProcess)
{
    if (const char* asked = std::getenv("KVR_FOLDER_KEY_OF")) {
        // The second process: print the key of the path and time it was given.
        const QStringList parts = QString::fromUtf8(asked).split('\n');
        ASSERT_EQ(parts.size(), 2);
        std::printf("folder-key:%s\n", qPrintable(LibraryScanner::folderImageKey(parts[0], parts[1].toLongLong())));
        return;
    }
    const QString path = QStringLiteral("/media/Music/Ünïcode Album/cover.jpg");
    const qint64 mtime = 1700000000;
    const QString key = LibraryScanner::folderImageKey(path, mtime);
    EXPECT_EQ(key, "f" + QString::number(qHash(path + QString::number(mtime), 0), 16));

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KVR_FOLDER_KEY_OF", path + '\n' + QString::number(mtime));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
        { "--gtest_filter=LibraryCovers.FolderImageKeyIsTheSameInAnotherProcess" });
    ASSERT_TRUE(child.waitForFinished(60000));
    ASSERT_EQ(child.exitCode(), 0);
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    const qsizetype at = output.indexOf("folder-key:");
    ASSERT_GE(at, 0) << output.toStdString();
    EXPECT_EQ(output.mid(at + 11).section('\n', 0, 0), key);
}

TEST_F(LibraryCovers, JpegWriterLeavesWholeFileOrNothing)
{
    QImage image(32, 16, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QString good = LibraryScanner::coverPath(covers, "good");
    ASSERT_TRUE(LibraryScanner::writeJpeg(image, good, 90));
    EXPECT_EQ(QImage(good).size(), QSize(32, 16));
    EXPECT_EQ(QFile(good).size() > 0, true);

    // The target name is taken by a folder: the final rename fails, and nothing of the write is left behind.
    const QString taken = LibraryScanner::coverPath(covers, "taken");
    ASSERT_TRUE(QDir().mkpath(taken));
    EXPECT_FALSE(LibraryScanner::writeJpeg(image, taken, 90));
    EXPECT_EQ(coverFiles(), QStringList({ "good.jpg", "taken.jpg" }));
    EXPECT_TRUE(QFileInfo(taken).isDir());
    EXPECT_TRUE(QDir(taken).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    // A folder that cannot be written to: false, nothing made.
    EXPECT_FALSE(LibraryScanner::writeJpeg(image, dir.filePath("no/such/folder/x.jpg"), 90));
}
