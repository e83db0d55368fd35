#pragma once

#include "engine/VideoFrame.h"
#include "engine/internal/SubtitleOverlay.h"
#include "ui/video/BgraFallbackConverter.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QImage>
#include <QMatrix4x4>
#include <QPointer>
#include <QQuickItem>
#include <QRectF>
#include <QSize>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class QSGImageNode;
class QSGTransformNode;

namespace kvr::ui {

class YuvVideoNode;

// Shows the playing video: takes the due frame on the render thread, draws YUV frames with its own shader
// and BGRA frames as an image, lays the picture out by aspect, fill mode and rotation and puts the rendered
// subtitles over the visible picture.
class VideoSink : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(kvr::ui::MediaSessionBridge* bridge READ bridge WRITE setBridge NOTIFY bridgeChanged)
    Q_PROPERTY(double aspectOverride READ aspectOverride WRITE setAspectOverride NOTIFY layoutChanged)
    Q_PROPERTY(int fillMode READ fillMode WRITE setFillMode NOTIFY layoutChanged)
    // The height at the item's bottom that subtitles keep clear of: the transport bar floating over the
    // picture in full screen. The picture itself does not move.
    Q_PROPERTY(double subtitleBottomInset READ subtitleBottomInset WRITE setSubtitleBottomInset NOTIFY layoutChanged)

public:
    enum FillMode { Fit = 0, Crop = 1, Stretch = 2 };
    Q_ENUM(FillMode)

    // Where pictures come from: the player bridge in the program. takeFrame and renderSubtitles come from the
    // render thread while the GUI thread is blocked; the repaint tick asks the others on the GUI thread, so they
    // must be safe there while the render thread draws.
    class FrameSource {
    public:
        virtual ~FrameSource() = default;
        virtual int64_t sessionGeneration() = 0;
        virtual int64_t videoClockUs() = 0;
        virtual int state() = 0;
        virtual bool hasVideo() = 0;
        virtual std::shared_ptr<const engine::VideoFrame> takeFrame(int64_t clockUs, bool force) = 0;
        virtual bool renderSubtitles(int width, int height, engine::internal::SubtitleOverlay& overlay) = 0;
        // Whether takeFrame with the same arguments would hand out a picture; takes nothing.
        virtual bool frameDue(int64_t clockUs, bool force) = 0;
        // Whether renderSubtitles would change the overlay now; draws nothing.
        virtual bool subtitleChangeDue() = 0;
        // The pts of the next picture and the clock's rate, so the paint is asked for when it becomes due rather
        // than at the next tick; −1 leaves it to the tick.
        virtual int64_t nextFramePtsUs() { return -1; }
        virtual double speed() { return 1.0; }
    };

    // Where the picture lies in the item for one frame.
    struct Layout {
        QSizeF drawn; // size of the picture as seen, after rotation
        QRectF nodeRect; // rectangle given to the video node, before rotation
        QMatrix4x4 transform; // rotation about the item's centre
        QRectF visible; // the part of the picture inside the item
    };

    explicit VideoSink(QQuickItem* parent = nullptr);
    ~VideoSink() override;

    MediaSessionBridge* bridge() const { return bridge_; }
    void setBridge(MediaSessionBridge* bridge);
    // Feeds pictures from `source` instead of the bridge (not owned; null returns to the bridge). For tests
    // that must control every frame.
    void setFrameSource(FrameSource* source);

    double aspectOverride() const { return aspectOverride_; }
    void setAspectOverride(double aspect);
    int fillMode() const { return fillMode_; }
    void setFillMode(int mode);
    double subtitleBottomInset() const { return subtitleBottomInset_.load(); }
    void setSubtitleBottomInset(double inset);
    // Where the last painted subtitles lie in the item; empty before the first picture. GUI thread.
    Q_INVOKABLE QRectF subtitleRect() const;

    // Runs the repaint timer while there is video in the states Prepared to Ending.
    void updateTimer();
    bool repaintTimerActive() const { return repaintTimer_.isActive(); }
    // What the repaint tick decides: whether anything on screen would change by painting now (a new medium, a
    // due frame, a subtitle change, a picture still to upload). GUI thread.
    bool repaintDue();

    // Display aspect of `frame` (width over height as seen, rotation included); `aspectOverride` > 0 wins.
    static double frameAspect(const engine::VideoFrame& frame, double aspectOverride);
    static Layout layout(const QSizeF& item, double aspect, int fillMode, int rotation);
    // Where subtitles go over the visible picture when the item's bottom `bottomInset` pixels must stay clear:
    // the visible rectangle, or one of the same shape scaled down from its top centre so its bottom edge lies
    // at the limit (same shape, so the rendered text keeps its proportions).
    static QRectF subtitleArea(const QRectF& visible, double itemHeight, double bottomInset);
    // Device-pixel size of the subtitle picture for the visible rectangle; at least 1×1.
    static QSize overlayDeviceSize(const QRectF& visible, qreal devicePixelRatio);

    // Draws 16-bit frames through the BGRA fall-back even where the graphics API could sample them. For
    // tests and the benchmark; set before the next paint.
    static void setForceBgraFallback(bool force);

signals:
    void bridgeChanged();
    void layoutChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;

private:
    FrameSource* source() const;
    // The 16 ms tick: a repaint only when it would change what is shown.
    void onRepaintTick();
    // Asks for the paint at the time the next picture becomes due, when that comes before the next tick.
    void scheduleDuePaint();
    void onDueTimer();
    void forgetNodes();
    // Prepares the picture of a newly taken frame; returns whether it is drawn as an image.
    bool preparePicture(const engine::VideoFrame& frame);
    // The paint's steps, on the render thread: take the due picture (dropping the tree when the medium changed),
    // time the swaps, make the nodes the picture needs, upload it and place it.
    QSGNode* takeDueFrame(FrameSource& src, QSGNode* oldNode);
    void watchSwapTiming();
    QSGNode* ensurePictureNodes(QSGNode* oldNode);
    void uploadPicture();
    Layout placePicture();
    void updateSubtitles(QSGNode* root, const QRectF& area);

    QPointer<MediaSessionBridge> bridge_;
    std::unique_ptr<FrameSource> bridgeSource_;
    FrameSource* frameSource_ = nullptr;
    QTimer repaintTimer_;
    QTimer dueTimer_;
    double aspectOverride_ = 0.0;
    int fillMode_ = Fit;
    // Written on the GUI thread, read by the paint on the render thread.
    std::atomic<double> subtitleBottomInset_ { 0.0 };
    // The subtitle rectangle of the last paint, for subtitleRect().
    mutable std::mutex subtitleRectMutex_;
    QRectF paintedSubtitleRect_;

    // How long a picture takes from the paint's sync to the swap that shows it, smoothed; written at the swap on
    // the render thread. Shared with the window's swap signal, which may outlive the item.
    struct RenderTiming {
        std::atomic<int64_t> leadUs { 0 };
        std::atomic<int64_t> syncNs { 0 }; // when the sync that took a new picture began; 0: none pending
    };
    std::shared_ptr<RenderTiming> timing_ = std::make_shared<RenderTiming>();
    QQuickWindow* timedWindow_ = nullptr;

    // Written by the paint and read by the repaint tick on the GUI thread.
    std::atomic<int64_t> generation_ { 0 };
    std::atomic<bool> hasPicture_ { false };
    std::atomic<bool> uploadPending_ { false };

    // Render thread only (the GUI thread is blocked while it runs).
    std::shared_ptr<const engine::VideoFrame> currentFrame_;
    bool currentPacked_ = false;
    QImage packedImage_;
    int64_t shownPts_ = -1;
    bool dirty_ = false;
    QSGTransformNode* transformNode_ = nullptr;
    QSGImageNode* imageNode_ = nullptr;
    YuvVideoNode* yuvNode_ = nullptr;
    QSGImageNode* overlayNode_ = nullptr;
    QSize overlaySize_;
    QRectF nodeRect_;
    engine::internal::SubtitleOverlay overlay_;
    BgraFallbackConverter converter_;
};

} // namespace kvr::ui
