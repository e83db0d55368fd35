#pragma once

#include <QImage>
#include <QPointer>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>

#include <memory>

namespace kvr::engine {
struct VideoFrame;
} // namespace kvr::engine

namespace kvr::ui {

class MediaSessionBridge;

// Serves the open media's attached picture to QML ("image://kvr/cover/<n>"). The number only makes QML fetch
// again when other media opens; the current cover is served whatever it says. Every failure gives a 1×1
// transparent image, never an error.
//
// The QML engine may call requestImage on its loader thread. The bridge lives on this provider's thread and is
// destroyed there, so the guarded pointer is followed only on that thread: from a loader thread the cover frame
// is fetched there (a shared reference taken under the session's lock) and only the copy and scaling run on the
// loader thread.
class CoverImageProvider : public QQuickImageProvider {
public:
    explicit CoverImageProvider(MediaSessionBridge* bridge);
    ~CoverImageProvider() override;

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // The picture of a packed BGRA frame as a deep copy, fitted into requestedSize when that is valid and not
    // empty; the 1×1 transparent image (fitted the same way) when the frame is missing or unusable.
    static QImage coverImage(const kvr::engine::VideoFrame* frame, const QSize& requestedSize);

private:
    std::shared_ptr<kvr::engine::VideoFrame> takeCoverFrame();

    QPointer<MediaSessionBridge> bridge_;
};

} // namespace kvr::ui
