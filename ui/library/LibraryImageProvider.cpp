#include "ui/library/LibraryImageProvider.h"

#include "ui/library/LibraryScanner.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSaveFile>

#include <iterator>

namespace kvr::ui::library {

namespace {

constexpr int kBuckets[] = { 64, 128, 256, 512 };
constexpr int kThumbnailQuality = 88;

// A picture read with its EXIF orientation applied, decoded straight at `scaled` when that is valid.
QImage readImage(const QString& path, int bucket = 0)
{
    if (!QFile::exists(path))
        return QImage();
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (bucket > 0 && stored.isValid() && (stored.width() > bucket || stored.height() > bucket))
        reader.setScaledSize(stored.scaled(bucket, bucket, Qt::KeepAspectRatio));
    return reader.read();
}

// Written under a temporary name and renamed into place, so the thumbnail's name only ever carries a whole
// file: a second request writing the same bucket, or a kill mid-write, never leaves a truncated JPEG that
// later reads as a half-grey picture. A failed write is not reported; the next request tries again.
void writeThumbnail(const QImage& image, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    if (image.convertToFormat(QImage::Format_RGB32).save(&file, "JPG", kThumbnailQuality))
        file.commit();
    else
        file.cancelWriting();
}

} // namespace

LibraryImageProvider::LibraryImageProvider(const QString& coversDir)
    : QQuickImageProvider(QQmlImageProviderBase::Image)
    , coversDir(coversDir)
{
}

int LibraryImageProvider::bucketFor(int size)
{
    if (size < 1)
        return 0;
    for (int bucket : kBuckets) {
        if (bucket >= size)
            return bucket;
    }
    return kBuckets[std::size(kBuckets) - 1];
}

QImage LibraryImageProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const QString key = id.section(QLatin1Char('/'), 0, 0);
    int wanted = id.section(QLatin1Char('/'), 1, 1).toInt();
    if (wanted < 1)
        wanted = qMax(requestedSize.width(), requestedSize.height());
    // The key becomes a file name in the covers directory: nothing that could leave it or cut the name short.
    if (key.isEmpty() || key.contains(QLatin1String("..")) || key.contains(QLatin1Char('\\')) || key.contains(QChar(0)))
        return QImage();

    const int bucket = bucketFor(wanted);
    const QString full = LibraryScanner::coverPath(coversDir, key);
    QImage image;
    if (bucket == 0) {
        image = readImage(full);
    } else {
        const QString thumbnail = LibraryScanner::coverPath(coversDir, key, bucket);
        image = readImage(thumbnail);
        if (image.isNull()) {
            image = readImage(full, bucket);
            if (!image.isNull())
                writeThumbnail(image, thumbnail);
        }
    }
    if (size)
        *size = image.size();
    return image;
}

} // namespace kvr::ui::library
