// The only file that speaks to QRhi directly: it is private API in this Qt version.
#include "ui/video/PlaneTexture.h"

#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QtGui/private/qrhi_p.h>

#include <cstdint>
#include <utility>

namespace kvr::ui {

namespace {

QRhiTexture::Format formatFor(int components, int bytesPerComponent)
{
    if (bytesPerComponent == 2)
        return components == 2 ? QRhiTexture::RG16 : QRhiTexture::R16;
    return components == 2 ? QRhiTexture::RG8 : QRhiTexture::R8;
}

} // namespace

PlaneTexture::~PlaneTexture()
{
    if (texture_)
        texture_->deleteLater();
}

qint64 PlaneTexture::comparisonKey() const
{
    return qint64(reinterpret_cast<std::intptr_t>(this));
}

QRhiTexture* PlaneTexture::rhiTexture() const
{
    return texture_;
}

QSize PlaneTexture::textureSize() const
{
    return size_;
}

bool PlaneTexture::hasAlphaChannel() const
{
    return false;
}

bool PlaneTexture::hasMipmaps() const
{
    return false;
}

void PlaneTexture::setPlane(std::shared_ptr<const engine::VideoFrame> frame, int plane, int width, int height,
    int components, int bytesPerComponent)
{
    frame_ = std::move(frame);
    plane_ = plane;
    const QSize size(width, height);
    if (texture_ && (size != size_ || components != components_ || bytesPerComponent != bytesPerComponent_)) {
        texture_->deleteLater();
        texture_ = nullptr;
    }
    size_ = size;
    components_ = components;
    bytesPerComponent_ = bytesPerComponent;
    pending_ = true;
}

void PlaneTexture::commitTextureOperations(QRhi* rhi, QRhiResourceUpdateBatch* resourceUpdates)
{
    if (!pending_ || !frame_ || size_.isEmpty() || !rhi || !resourceUpdates)
        return;
    pending_ = false;
    if (!texture_) {
        texture_ = rhi->newTexture(formatFor(components_, bytesPerComponent_), size_, 1, {});
        if (!texture_->create()) {
            delete texture_;
            texture_ = nullptr;
            return;
        }
    }
    const uint8_t* data = frame_->planes[plane_];
    const int stride = frame_->strides[plane_];
    // A stride shorter than a row would make the upload read past the plane.
    if (!data || stride < size_.width() * components_ * bytesPerComponent_)
        return;
    // The frame is held until the next setPlane, which comes after this frame's commands have run, so the
    // plane can be handed over without a copy.
    const qsizetype bytes = qsizetype(stride) * size_.height();
    QRhiTextureSubresourceUploadDescription description(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), bytes));
    description.setDataStride(quint32(stride));
    description.setSourceSize(size_);
    resourceUpdates->uploadTexture(texture_, QRhiTextureUploadDescription({ 0, 0, description }));
}

bool PlaneTexture::isSupported(QQuickWindow* window, int components, int bytesPerComponent)
{
    if (!window || !window->rendererInterface())
        return false;
    auto* rhi = static_cast<QRhi*>(window->rendererInterface()->getResource(window, QSGRendererInterface::RhiResource));
    return rhi && rhi->isTextureFormatSupported(formatFor(components, bytesPerComponent));
}

} // namespace kvr::ui
