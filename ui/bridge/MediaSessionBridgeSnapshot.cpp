// The bridge's snapshot facet: saving the picture on screen.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/FrameUtils.h"
#include "engine/MediaSession.h"
#include "ui/bridge/PlaylistFiles.h"
#include "ui/bridge/SnapshotJpeg.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTransform>

#include <vector>

namespace kvr::ui {

namespace {

QString snapshotFolder()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath();
    return pictures + QStringLiteral("/Kestrune Media Player");
}

// Characters that a file name must not carry on any system the pictures may be copied to.
QString safeBaseName(QString name)
{
    for (QChar& c : name) {
        if (QStringView(u"\\/:*?\"<>|").contains(c))
            c = QLatin1Char('_');
    }
    return name;
}

} // namespace

QString MediaSessionBridge::saveSnapshot()
{
    if (!session_)
        return {};

    waitForReopens(std::chrono::seconds(2));
    const std::shared_ptr<kvr::engine::VideoFrame> shown = session_->openFrame();
    const std::shared_ptr<kvr::engine::VideoFrame> frame = shown ? kvr::engine::convertToBgra(*shown) : nullptr;
    if (!frame || frame->width <= 0 || frame->height <= 0 || frame->bytes.empty()) {
        emit osd(tr("No video frame to capture"));
        return {};
    }

    // A deep copy: the frame may be released as soon as this returns.
    QImage image
        = QImage(frame->bytes.data(), frame->width, frame->height, frame->bytesStride, QImage::Format_ARGB32).copy();
    // A sample aspect beyond 1/8..8 is damage or mischief, not a picture shape: taken at its word it would
    // ask for an image of any size.
    const qint64 sarNum = frame->sarNum;
    const qint64 sarDen = frame->sarDen;
    const bool plausible = sarNum > 0 && sarDen > 0 && sarNum * 8 >= sarDen && sarNum <= sarDen * 8;
    if (plausible && sarNum != sarDen) {
        const qint64 width = qint64(frame->width) * sarNum / sarDen;
        image = image.scaled(int(width), frame->height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (frame->rotation != 0)
        image = image.transformed(QTransform().rotate(frame->rotation), Qt::FastTransformation);

    const QString folder = snapshotFolder();
    // A failure to create it shows up when saving.
    QDir().mkpath(folder);

    const QString file = currentFile();
    const QString base
        = isNetworkUrl(file) ? QStringLiteral("stream") : safeBaseName(QFileInfo(file).completeBaseName());
    const QString position
        = formatTime(frame->pts >= 0 ? frame->pts : clockUs()).replace(QLatin1Char(':'), QLatin1Char('-'));
    const QString extension = snapshotPng_ ? QStringLiteral("png") : QStringLiteral("jpg");

    QString path = QStringLiteral("%1/%2_%3.%4").arg(folder, base, position, extension);
    for (int counter = 2; QFileInfo::exists(path); ++counter)
        path = QStringLiteral("%1/%2_%3 (%4).%5").arg(folder, base, position, QString::number(counter), extension);

    // The folder as it is: without a Pictures folder it lies in the home folder.
    const QString saved = tr("Snapshot saved to %1").arg(QDir::toNativeSeparators(folder));
    if (snapshotPng_) {
        if (!image.convertToFormat(QImage::Format_RGB32).save(path, "PNG")) {
            emit osd(tr("Could not save the snapshot"));
            return {};
        }
        emit osd(saved);
        return QDir::toNativeSeparators(path);
    }

    std::vector<uint8_t> jpeg;
    QString error;
    bool ok
        = encodeSnapshotJpeg(image.constBits(), image.width(), image.height(), int(image.bytesPerLine()), jpeg, error);
    if (ok) {
        // Written aside and renamed into place, so a failed write leaves no partial file.
        QSaveFile out(path);
        ok = out.open(QIODevice::WriteOnly)
            && out.write(reinterpret_cast<const char*>(jpeg.data()), qint64(jpeg.size())) == qint64(jpeg.size())
            && out.commit();
    }
    if (!ok) {
        emit osd(
            tr("Could not save the snapshot%1").arg(error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error)));
        return {};
    }
    emit osd(saved);
    return QDir::toNativeSeparators(path);
}

} // namespace kvr::ui
