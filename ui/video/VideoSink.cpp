#include "ui/video/VideoSink.h"

#include "ui/video/PlaneTexture.h"
#include "ui/video/YuvVideoNode.h"

#include <QQuickWindow>
#include <QSGImageNode>
#include <QSGNode>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

namespace kvr::ui {

namespace {

constexpr int kStatePaused = 4;
// The most a picture is taken ahead of the clock for the time its render takes, in media time: well under one
// frame of 30 fps material, so a late render never shows a picture a whole frame early.
constexpr int64_t kMaxLeadUs = 12'000;

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
std::atomic<bool> forceBgraFallback { false };

bool isQuarterTurn(int rotation)
{
    return rotation == 90 || rotation == 270;
}

// A deep copy of a packed frame's pixels into `image`, reusing its buffer when the size stays. A frame whose
// bytes do not hold the rows it claims gives a null image.
void copyPacked(const engine::VideoFrame& frame, QImage& image)
{
    const int w = frame.width;
    const int h = frame.height;
    const qsizetype rowBytes = qsizetype(w) * 4;
    const qsizetype stride = frame.bytesStride;
    if (w < 1 || h < 1 || stride < rowBytes || qsizetype(frame.bytes.size()) < stride * (h - 1) + rowBytes) {
        image = QImage();
        return;
    }
    if (image.width() != w || image.height() != h || image.format() != QImage::Format_ARGB32)
        image = QImage(w, h, QImage::Format_ARGB32);
    if (image.isNull())
        return;
    const uint8_t* source = frame.bytes.data();
    for (int y = 0; y < h; ++y)
        std::memcpy(image.scanLine(y), source + stride * y, size_t(rowBytes));
}

// The bridge as a frame source; used only while the bridge is alive.
class BridgeFrameSource final : public VideoSink::FrameSource {
public:
    explicit BridgeFrameSource(MediaSessionBridge* bridge)
        : bridge_(bridge)
    {
    }
    int64_t sessionGeneration() override { return int64_t(bridge_->sessionGeneration()); }
    int64_t videoClockUs() override { return bridge_->videoClockUs(); }
    int state() override { return int(bridge_->state()); }
    bool hasVideo() override { return bridge_->hasVideo(); }
    std::shared_ptr<const engine::VideoFrame> takeFrame(int64_t clockUs, bool force) override
    {
        return bridge_->takeFrame(clockUs, force);
    }
    bool renderSubtitles(int width, int height, engine::internal::SubtitleOverlay& overlay) override
    {
        return bridge_->renderSubtitles(width, height, overlay);
    }
    bool frameDue(int64_t clockUs, bool force) override { return bridge_->frameDue(clockUs, force); }
    bool subtitleChangeDue() override { return bridge_->subtitleChangeDue(); }
    int64_t nextFramePtsUs() override { return bridge_->nextFramePtsUs(); }
    double speed() override { return bridge_->speed(); }

private:
    MediaSessionBridge* bridge_;
};

} // namespace

VideoSink::VideoSink(QQuickItem* parent)
    : QQuickItem(parent)
{
    setFlag(ItemHasContents);
    repaintTimer_.setInterval(16);
    repaintTimer_.setTimerType(Qt::PreciseTimer);
    connect(&repaintTimer_, &QTimer::timeout, this, &VideoSink::onRepaintTick);
    dueTimer_.setSingleShot(true);
    dueTimer_.setTimerType(Qt::PreciseTimer);
    connect(&dueTimer_, &QTimer::timeout, this, &VideoSink::onDueTimer);
}

VideoSink::~VideoSink() = default;

void VideoSink::setBridge(MediaSessionBridge* bridge)
{
    if (bridge_ == bridge)
        return;
    if (bridge_)
        disconnect(bridge_, nullptr, this, nullptr);
    bridge_ = bridge;
    bridgeSource_.reset();
    if (bridge_) {
        bridgeSource_ = std::make_unique<BridgeFrameSource>(bridge_);
        connect(bridge_, &MediaSessionBridge::stateChanged, this, [this] {
            updateTimer();
            update();
        });
        connect(bridge_, &MediaSessionBridge::subtitleSettingsChanged, this, &QQuickItem::update);
        connect(bridge_, &MediaSessionBridge::tracksChanged, this, &QQuickItem::update);
        generation_ = int64_t(bridge_->sessionGeneration());
    }
    updateTimer();
    emit bridgeChanged();
    update();
}

void VideoSink::setFrameSource(FrameSource* source)
{
    if (frameSource_ == source)
        return;
    frameSource_ = source;
    updateTimer();
    update();
}

VideoSink::FrameSource* VideoSink::source() const
{
    if (frameSource_)
        return frameSource_;
    return bridge_ ? bridgeSource_.get() : nullptr;
}

void VideoSink::setAspectOverride(double aspect)
{
    if (!std::isfinite(aspect) || aspect < 0.0 || std::abs(aspect - aspectOverride_) <= 1e-6)
        return;
    aspectOverride_ = aspect;
    emit layoutChanged();
    update();
}

void VideoSink::setFillMode(int mode)
{
    if (mode == fillMode_)
        return;
    fillMode_ = mode;
    emit layoutChanged();
    update();
}

void VideoSink::setSubtitleBottomInset(double inset)
{
    if (!std::isfinite(inset))
        return;
    inset = std::max(0.0, inset);
    if (std::abs(inset - subtitleBottomInset_.load()) <= 1e-6)
        return;
    subtitleBottomInset_ = inset;
    emit layoutChanged();
    update();
}

QRectF VideoSink::subtitleRect() const
{
    std::lock_guard lock(subtitleRectMutex_);
    return paintedSubtitleRect_;
}

void VideoSink::updateTimer()
{
    FrameSource* src = source();
    bool run = false;
    if (src && src->hasVideo()) {
        const int state = src->state();
        run = state >= 2 && state <= 5;
    }
    if (!run) {
        repaintTimer_.stop();
        dueTimer_.stop();
    } else if (!repaintTimer_.isActive())
        repaintTimer_.start();
}

bool VideoSink::repaintDue()
{
    FrameSource* src = source();
    if (!src)
        return false;
    // A new medium takes the previous picture away at once.
    if (src->sessionGeneration() != generation_.load())
        return true;
    if (uploadPending_.load())
        return true;
    // The same rule as the paint: paused with nothing shown, the next frame is shown although not yet due.
    const bool force = !hasPicture_.load() && src->state() == kStatePaused;
    return src->frameDue(src->videoClockUs(), force) || src->subtitleChangeDue();
}

void VideoSink::onRepaintTick()
{
    // Every repaint costs the whole window a render and a swap; an unchanged tick draws nothing.
    if (repaintDue()) {
        dueTimer_.stop();
        update();
        return;
    }
    scheduleDuePaint();
}

void VideoSink::scheduleDuePaint()
{
    FrameSource* src = source();
    if (!src || src->state() == kStatePaused)
        return;
    const int64_t pts = src->nextFramePtsUs();
    if (pts < 0)
        return;
    const double speed = src->speed();
    // Asked for early by the time the render takes, so the picture reaches the screen when it is due.
    const int64_t waitUs = static_cast<int64_t>(double(pts - src->videoClockUs()) / (speed > 0.0 ? speed : 1.0))
        - timing_->leadUs.load();
    // A picture due after the next tick is that tick's business.
    if (waitUs >= int64_t(repaintTimer_.interval()) * 1000)
        return;
    // Rounded up: a paint that comes a little early would find nothing due and draw the old picture again.
    dueTimer_.start(int(std::max<int64_t>(0, (waitUs + 999) / 1000)));
}

void VideoSink::onDueTimer()
{
    if (repaintDue())
        update();
}

void VideoSink::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        update();
}

double VideoSink::frameAspect(const engine::VideoFrame& frame, double aspectOverride)
{
    if (aspectOverride > 0.0)
        return aspectOverride;
    const int64_t w = frame.width;
    const int64_t h = frame.height;
    int64_t displayWidth = w;
    if (frame.sarNum >= 1 && frame.sarDen >= 1)
        displayWidth = w * frame.sarNum / frame.sarDen;
    double aspect = isQuarterTurn(frame.rotation) ? double(h) / double(std::max<int64_t>(displayWidth, 1))
                                                  : double(displayWidth) / double(std::max<int64_t>(h, 1));
    if (!(aspect > 0.0))
        aspect = 16.0 / 9.0;
    return aspect;
}

VideoSink::Layout VideoSink::layout(const QSizeF& item, double aspect, int fillMode, int rotation)
{
    const double iw = item.width();
    const double ih = item.height();
    Layout result;
    if (fillMode == Stretch) {
        result.drawn = QSizeF(iw, ih);
    } else {
        const double itemAspect = iw / std::max(ih, 1.0);
        const bool fullWidth = fillMode == Crop ? itemAspect > aspect : itemAspect <= aspect;
        result.drawn = fullWidth ? QSizeF(iw, iw / aspect) : QSizeF(ih * aspect, ih);
    }
    const double w = result.drawn.width();
    const double h = result.drawn.height();
    // A quarter turn swaps the sides, so the picture shows w × h once rotated.
    const QSizeF node = isQuarterTurn(rotation) ? QSizeF(h, w) : QSizeF(w, h);
    result.nodeRect = QRectF(iw / 2 - node.width() / 2, ih / 2 - node.height() / 2, node.width(), node.height());
    if (rotation != 0) {
        result.transform.translate(float(iw / 2), float(ih / 2));
        result.transform.rotate(float(rotation), 0.0f, 0.0f, 1.0f);
        result.transform.translate(float(-iw / 2), float(-ih / 2));
    }
    result.visible = QRectF(iw / 2 - w / 2, ih / 2 - h / 2, w, h).intersected(QRectF(0, 0, iw, ih));
    return result;
}

QRectF VideoSink::subtitleArea(const QRectF& visible, double itemHeight, double bottomInset)
{
    const double limit = itemHeight - std::max(0.0, bottomInset);
    if (visible.isEmpty() || visible.bottom() <= limit)
        return visible;
    const double height = std::max(1.0, limit - visible.top());
    const double width = visible.width() * height / visible.height();
    return QRectF(visible.center().x() - width / 2, visible.top(), width, height);
}

QSize VideoSink::overlayDeviceSize(const QRectF& visible, qreal devicePixelRatio)
{
    const long width = std::lround(visible.width() * devicePixelRatio);
    const long height = std::lround(visible.height() * devicePixelRatio);
    return QSize(int(std::max(width, 1L)), int(std::max(height, 1L)));
}

void VideoSink::setForceBgraFallback(bool force)
{
    forceBgraFallback.store(force);
}

void VideoSink::forgetNodes()
{
    transformNode_ = nullptr;
    imageNode_ = nullptr;
    yuvNode_ = nullptr;
    overlayNode_ = nullptr;
    overlaySize_ = QSize();
    nodeRect_ = QRectF();
}

bool VideoSink::preparePicture(const engine::VideoFrame& frame)
{
    if (frame.format == 0) {
        copyPacked(frame, packedImage_);
        return true;
    }
    if (frame.format == 3 || frame.format == 4) {
        const bool supported = PlaneTexture::isSupported(window(), 1, 2)
            && (frame.format == 3 || PlaneTexture::isSupported(window(), 2, 2));
        if (forceBgraFallback.load() || !supported) {
            converter_.convert(frame, packedImage_);
            return true;
        }
    }
    packedImage_ = QImage();
    return false;
}

QSGNode* VideoSink::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData*)
{
    FrameSource* src = source();
    if (src)
        oldNode = takeDueFrame(*src, oldNode);
    uploadPending_ = false;
    watchSwapTiming();

    if (!currentFrame_ || (currentPacked_ && packedImage_.isNull())) {
        // Qt neither deletes nor stops drawing a tree that is not handed back.
        delete oldNode;
        forgetNodes();
        std::lock_guard lock(subtitleRectMutex_);
        paintedSubtitleRect_ = QRectF();
        return nullptr;
    }

    oldNode = ensurePictureNodes(oldNode);
    if (dirty_ || shownPts_ != currentFrame_->pts)
        uploadPicture();
    const Layout placed = placePicture();
    if (src) {
        const QRectF area = subtitleArea(placed.visible, height(), subtitleBottomInset_.load());
        {
            std::lock_guard lock(subtitleRectMutex_);
            paintedSubtitleRect_ = area;
        }
        updateSubtitles(oldNode, area);
    }
    return oldNode;
}

QSGNode* VideoSink::takeDueFrame(FrameSource& src, QSGNode* oldNode)
{
    const int64_t generation = src.sessionGeneration();
    if (generation != generation_) {
        // A new medium: the previous picture goes at once, before its first frame arrives.
        generation_ = generation;
        hasPicture_ = false;
        currentFrame_.reset();
        currentPacked_ = false;
        packedImage_ = QImage();
        shownPts_ = -1;
        delete oldNode;
        oldNode = nullptr;
        forgetNodes();
    }
    // Paused with nothing shown (just after a seek): show the next frame although it is not due yet.
    const bool paused = src.state() == kStatePaused;
    const bool force = !currentFrame_ && paused;
    // Playing, the picture due when this render reaches the screen is the one to take.
    const double speed = src.speed();
    const int64_t leadUs = paused
        ? 0
        : std::min<int64_t>(kMaxLeadUs, int64_t(double(timing_->leadUs.load()) * (speed > 0.0 ? speed : 1.0)));
    const int64_t syncNs = steadyNs();
    std::shared_ptr<const engine::VideoFrame> frame = src.takeFrame(src.videoClockUs() + leadUs, force);
    if (frame)
        timing_->syncNs = syncNs;
    if (frame) {
        if (!currentFrame_)
            spdlog::info("VideoSink: first picture of the medium, pts {} us", frame->pts);
        currentFrame_ = std::move(frame);
        hasPicture_ = true;
        currentPacked_ = preparePicture(*currentFrame_);
        dirty_ = true;
    }
    return oldNode;
}

void VideoSink::watchSwapTiming()
{
    if (!window() || window() == timedWindow_)
        return;
    timedWindow_ = window();
    // On the render thread, right after the swap; the timing outlives this item if the window does.
    connect(
        timedWindow_, &QQuickWindow::frameSwapped, timedWindow_,
        [timing = timing_] {
            const int64_t sync = timing->syncNs.exchange(0);
            if (sync == 0)
                return;
            const int64_t sample = std::clamp<int64_t>((steadyNs() - sync) / 1000, 0, 100'000);
            const int64_t lead = timing->leadUs.load();
            timing->leadUs = lead + (sample - lead) / 8;
        },
        Qt::DirectConnection);
}

QSGNode* VideoSink::ensurePictureNodes(QSGNode* oldNode)
{
    if (!oldNode) {
        oldNode = new QSGNode;
        forgetNodes();
        transformNode_ = new QSGTransformNode;
        oldNode->appendChildNode(transformNode_);
        dirty_ = true;
        shownPts_ = -1;
    }

    if (!currentPacked_ && !yuvNode_) {
        delete imageNode_;
        imageNode_ = nullptr;
        yuvNode_ = new YuvVideoNode;
        transformNode_->appendChildNode(yuvNode_);
        nodeRect_ = QRectF();
        dirty_ = true;
    } else if (currentPacked_ && !imageNode_) {
        delete yuvNode_;
        yuvNode_ = nullptr;
        imageNode_ = window()->createImageNode();
        imageNode_->setOwnsTexture(true);
        imageNode_->setFiltering(QSGTexture::Linear);
        transformNode_->appendChildNode(imageNode_);
        nodeRect_ = QRectF();
        dirty_ = true;
    }
    return oldNode;
}

void VideoSink::uploadPicture()
{
    bool uploaded = true;
    if (!currentPacked_) {
        yuvNode_->setFrame(currentFrame_);
    } else if (QSGTexture* texture = window()->createTextureFromImage(packedImage_, QQuickWindow::TextureIsOpaque)) {
        imageNode_->setTexture(texture);
        imageNode_->setSourceRect(QRectF(0, 0, packedImage_.width(), packedImage_.height()));
        imageNode_->markDirty(QSGNode::DirtyMaterial);
    } else {
        uploaded = false;
    }
    if (uploaded) {
        dirty_ = false;
        shownPts_ = currentFrame_->pts;
    } else {
        // Tried again at the next tick, even if no new frame comes.
        uploadPending_ = true;
    }
}

VideoSink::Layout VideoSink::placePicture()
{
    const Layout placed
        = layout(size(), frameAspect(*currentFrame_, aspectOverride_), fillMode_, currentFrame_->rotation);
    if (placed.nodeRect != nodeRect_) {
        nodeRect_ = placed.nodeRect;
        if (yuvNode_)
            yuvNode_->setRect(nodeRect_);
        else
            imageNode_->setRect(nodeRect_);
    }
    if (transformNode_->matrix() != placed.transform)
        transformNode_->setMatrix(placed.transform);
    return placed;
}

void VideoSink::updateSubtitles(QSGNode* root, const QRectF& area)
{
    const QSize device = overlayDeviceSize(area, window()->effectiveDevicePixelRatio());
    // A fresh overlay each time; its buffer is kept so a changing subtitle does not allocate every paint.
    overlay_.width = 0;
    overlay_.height = 0;
    overlay_.empty = true;
    overlay_.pixels.clear();
    const bool changed = source()->renderSubtitles(device.width(), device.height(), overlay_);
    if (changed || device != overlaySize_) {
        overlaySize_ = device;
        const int w = overlay_.width;
        const int h = overlay_.height;
        const bool drawable = !overlay_.empty && w > 0 && h > 0 && overlay_.pixels.size() >= size_t(w) * size_t(h) * 4;
        QSGTexture* texture = nullptr;
        if (drawable) {
            const QImage pixels(overlay_.pixels.data(), w, h, qsizetype(w) * 4, QImage::Format_ARGB32_Premultiplied);
            texture = window()->createTextureFromImage(pixels.copy(), QQuickWindow::TextureHasAlphaChannel);
        }
        if (!texture) {
            delete overlayNode_;
            overlayNode_ = nullptr;
        } else {
            if (!overlayNode_) {
                overlayNode_ = window()->createImageNode();
                overlayNode_->setOwnsTexture(true);
                overlayNode_->setFiltering(QSGTexture::Linear);
                // On the root, not under the transform: subtitles stay upright when the video is rotated.
                root->appendChildNode(overlayNode_);
            }
            overlayNode_->setTexture(texture);
            overlayNode_->setSourceRect(QRectF(0, 0, w, h));
            overlayNode_->markDirty(QSGNode::DirtyMaterial);
        }
    }
    if (overlayNode_)
        overlayNode_->setRect(area);
}

} // namespace kvr::ui
