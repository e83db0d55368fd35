#include "engine/convert/MediaExtraction.h"
#include "ui/library/LibraryScanner.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QImageWriter>
#include <QRegularExpression>
#include <QSet>
#include <QSaveFile>
#include <QTransform>

#include <array>
#include <cstdint>

namespace kvr::ui::library {

namespace {

constexpr int maxCoverSide = 4096;

// Lower-case; built once per process.
const QSet<QString>& mediaExtensions()
{
    static const QSet<QString> extensions { "mp4", "m4v", "mkv", "webm", "mov", "avi", "wmv", "flv", "mpg", "mpeg",
        "m2ts", "mts", "ts", "vob", "ogv", "3gp", "3g2", "asf", "divx", "f4v", "rm", "rmvb", "mxf", "y4m", "mp3",
        "flac", "wav", "m4a", "aac", "ogg", "oga", "opus", "wma", "alac", "aiff", "aif", "ape", "wv", "mka", "ac3",
        "eac3", "dts", "amr", "mid", "mpc", "tta" };
    return extensions;
}

// FFmpeg takes the path as the file system's bytes.
std::string nativePath(const QFileInfo& file)
{
    return QFile::encodeName(QDir::toNativeSeparators(file.absoluteFilePath())).toStdString();
}

bool usable(const std::shared_ptr<engine::VideoFrame>& frame)
{
    return frame && frame->width >= 1 && frame->height >= 1 && frame->planes[0] && frame->strides[0] > 0;
}

// The frame's packed BGRA as an opaque image that owns its pixels.
QImage toImage(const engine::VideoFrame& frame)
{
    const QImage view(frame.planes[0], frame.width, frame.height, frame.strides[0], QImage::Format_ARGB32);
    return view.convertToFormat(QImage::Format_RGB32);
}

QImage fitCoverSide(const QImage& image)
{
    if (image.width() <= maxCoverSide && image.height() <= maxCoverSide)
        return image;
    return image.scaled(maxCoverSide, maxCoverSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// An album title names a file beside the media; one that climbs out of the folder names none.
bool usableAsFileName(const QString& title)
{
    return !title.isEmpty() && !title.contains(QLatin1Char('/')) && !title.contains(QChar(u'\0'))
        && title != QLatin1String(".") && title != QLatin1String("..");
}

} // namespace

bool isMediaFile(const QString& path)
{
    return mediaExtensions().contains(QFileInfo(path).suffix().toLower());
}

QString contentFingerprint(const QString& path)
{
    if (path.contains(QLatin1String("://")))
        return QString();
    // Only regular files: opening a FIFO that lies among the media would block the scan for good.
    if (!QFileInfo(path).isFile())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 size = file.size();

    constexpr qint64 block = 65536;
    uint64_t hash = 0x14650fb0739d0383ULL;
    auto hashBytes = [&hash](const QByteArray& bytes) {
        for (const char c : bytes)
            hash = (hash ^ uint64_t(uint8_t(c))) * 0x100000001b3ULL;
    };
    hashBytes(file.read(block));
    if (size > 2 * block && file.seek(size - block))
        hashBytes(file.read(block));
    return QStringLiteral("%1-%2").arg(size).arg(qulonglong(hash), 16, 16, QLatin1Char('0'));
}

QString LibraryScanner::coverPath(const QString& coversDir, const QString& key, int size)
{
    if (key.isEmpty())
        return QString();
    if (size <= 0)
        return QStringLiteral("%1/%2.jpg").arg(coversDir, key);
    return QStringLiteral("%1/%2_%3.jpg").arg(coversDir, key).arg(size);
}

QString LibraryScanner::folderImageKey(const QString& absolutePath, qint64 modifiedSecs)
{
    return QLatin1Char('f') + QString::number(qHash(absolutePath + QString::number(modifiedSecs), 0), 16);
}

bool LibraryScanner::writeJpeg(const QImage& image, const QString& path, int quality)
{
    // The picture goes to a temporary file beside the target and takes the name only when complete.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning().noquote() << "LibraryScanner: cannot write cover" << path << file.errorString();
        return false;
    }
    QImageWriter writer(&file, "jpg");
    writer.setQuality(quality);
    if (!writer.write(image)) {
        qWarning().noquote() << "LibraryScanner: cannot encode cover" << path << writer.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qWarning().noquote() << "LibraryScanner: cannot store cover" << path << file.errorString();
        return false;
    }
    return true;
}

int LibraryScanner::removeUnfinishedCovers(const QString& coversDir, const QDateTime& before)
{
    // A key has no dot in it; QSaveFile names its temporary after the target plus "." and six letters.
    static const QRegularExpression unfinished(QStringLiteral("^[^./]+\\.jpg\\.[A-Za-z]{6}$"));
    int removed = 0;
    QDirIterator entries(coversDir, { QStringLiteral("*.jpg.??????") }, QDir::Files | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        entries.next();
        const QFileInfo entry = entries.fileInfo();
        if (!unfinished.match(entry.fileName()).hasMatch())
            continue;
        if (entry.fileTime(QFileDevice::FileModificationTime) >= before)
            continue;
        if (QFile::remove(entry.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

QString LibraryScanner::findCoverArt(const QString& coversDir, const QFileInfo& file, const QString& albumTitle,
    const QString& keyBase, bool isVideo, const std::string& formatHint, FolderEntries* folderEntries)
{
    const std::string path = nativePath(file);

    // 1. The picture inside the file wins over anything beside it.
    const std::shared_ptr<engine::VideoFrame> embedded = engine::extractCoverArt(path, formatHint);
    if (usable(embedded)) {
        const QString key = QLatin1Char('e') + keyBase;
        const QString target = coverPath(coversDir, key);
        if (!QFileInfo::exists(target))
            writeJpeg(fitCoverSide(toImage(*embedded)), target, 90);
        return key;
    }

    // 2. An image beside the file: a video's own name first, then the usual names, then the album's.
    QStringList names;
    if (isVideo && !file.completeBaseName().isEmpty())
        names << file.completeBaseName();
    names << QStringLiteral("cover") << QStringLiteral("folder") << QStringLiteral("front")
          << QStringLiteral("albumart") << QStringLiteral("AlbumArtSmall") << QStringLiteral("poster");
    if (usableAsFileName(albumTitle))
        names << albumTitle;
    static const std::array<QLatin1String, 4> extensions { QLatin1String("jpg"), QLatin1String("jpeg"),
        QLatin1String("png"), QLatin1String("webp") };
    const QDir folder = file.absoluteDir();
    // A folder of a thousand files would be asked for the same two dozen names a thousand times.
    const QSet<QString>* listed = nullptr;
    if (folderEntries) {
        auto it = folderEntries->find(folder.absolutePath());
        if (it == folderEntries->end()) {
            const QStringList entries
                = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            it = folderEntries->insert(folder.absolutePath(), QSet<QString>(entries.begin(), entries.end()));
        }
        listed = &it.value();
    }
    for (const QString& name : std::as_const(names)) {
        for (const QLatin1String& extension : extensions) {
            const QString fileName = name + QLatin1Char('.') + extension;
            if (listed && !listed->contains(fileName))
                continue;
            const QFileInfo candidate(folder.filePath(fileName));
            if (!candidate.exists())
                continue;
            const QString key
                = folderImageKey(candidate.absoluteFilePath(), candidate.lastModified().toSecsSinceEpoch());
            const QString target = coverPath(coversDir, key);
            if (QFileInfo::exists(target))
                return key;
            // Qt's allocation limit refuses a picture too large to decode, which is then skipped like any other.
            QImage image;
            if (!image.load(candidate.absoluteFilePath()))
                continue;
            writeJpeg(fitCoverSide(image).convertToFormat(QImage::Format_RGB32), target, 90);
            return key;
        }
    }

    // 3. A frame of the video, turned the way it is shown.
    if (isVideo) {
        const QString key = QLatin1Char('v') + keyBase;
        const QString target = coverPath(coversDir, key);
        if (QFileInfo::exists(target))
            return key;
        const std::shared_ptr<engine::VideoFrame> frame = engine::extractThumbnail(path, 0.1, 640);
        if (usable(frame)) {
            QImage image = toImage(*frame);
            if (frame->rotation != 0)
                image = image.transformed(QTransform().rotate(frame->rotation), Qt::FastTransformation);
            if (writeJpeg(image, target, 85))
                return key;
        }
    }
    return QString();
}

} // namespace kvr::ui::library
