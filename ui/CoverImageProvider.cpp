#include "ui/CoverImageProvider.h"

#include "engine/VideoFrame.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kvr::ui {

namespace {

// How long a loader thread waits for the GUI thread to hand over the cover frame. It only runs out when the GUI
// thread is blocked, above all when it tears the QML engine down and waits for the loader thread itself.
constexpr std::chrono::milliseconds kHandOverWait { 1000 };

QImage transparentImage()
{
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

} // namespace

CoverImageProvider::CoverImageProvider(MediaSessionBridge* bridge)
    : QQuickImageProvider(QQuickImageProvider::Image)
    , bridge_(bridge)
{
}

CoverImageProvider::~CoverImageProvider() = default;

QImage CoverImageProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    if (id.startsWith(QLatin1String("cover/"), Qt::CaseSensitive))
        frame = takeCoverFrame();
    QImage image = coverImage(frame.get(), requestedSize);
    if (size)
        *size = image.size();
    return image;
}

QImage CoverImageProvider::coverImage(const kvr::engine::VideoFrame* frame, const QSize& requestedSize)
{
    QImage image;
    if (frame && frame->width > 0 && frame->height > 0 && !frame->bytes.empty()) {
        // A stride or buffer too small for the picture would make the copy read past the pixels.
        const int64_t rowBytes = int64_t { frame->width } * 4;
        const int64_t needed = int64_t { frame->bytesStride } * (frame->height - 1) + rowBytes;
        if (frame->bytesStride >= rowBytes && static_cast<int64_t>(frame->bytes.size()) >= needed) {
            // ARGB32 is B, G, R, A in memory on little-endian machines; copy() detaches from the frame's bytes.
            image = QImage(frame->bytes.data(), frame->width, frame->height, frame->bytesStride, QImage::Format_ARGB32)
                        .copy();
        }
    }
    if (image.isNull())
        image = transparentImage();
    if (requestedSize.isValid() && !requestedSize.isEmpty())
        image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

std::shared_ptr<kvr::engine::VideoFrame> CoverImageProvider::takeCoverFrame()
{
    if (QThread::currentThread() == thread())
        return bridge_ ? bridge_->coverFrame() : nullptr;

    // On a loader thread the bridge may be destroyed at any moment, so the frame is fetched on this object's
    // thread. The hand-over is shared: the queued call may run after this thread stopped waiting.
    struct HandOver {
        std::mutex mutex;
        std::condition_variable done;
        bool ready = false;
        std::shared_ptr<kvr::engine::VideoFrame> frame;
    };
    auto handOver = std::make_shared<HandOver>();
    QMetaObject::invokeMethod(
        this,
        [this, handOver] {
            auto frame = bridge_ ? bridge_->coverFrame() : nullptr;
            std::lock_guard lock(handOver->mutex);
            handOver->frame = std::move(frame);
            handOver->ready = true;
            handOver->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(handOver->mutex);
    handOver->done.wait_for(lock, kHandOverWait, [&] { return handOver->ready; });
    return handOver->frame;
}

} // namespace kvr::ui
