#pragma once

#include "engine/VideoFrame.h"

#include <QSGTexture>
#include <QSize>

#include <memory>

class QQuickWindow;
class QRhiTexture;

namespace kvr::ui {

// One plane of a YUV frame as a texture of one or two 8- or 16-bit components. The plane is uploaded as it
// comes from the decoder; the texture is made again only when the plane's size or format changes.
// Render thread only.
class PlaneTexture : public QSGTexture {
public:
    PlaneTexture() = default;
    ~PlaneTexture() override;

    qint64 comparisonKey() const override;
    QRhiTexture* rhiTexture() const override;
    QSize textureSize() const override;
    bool hasAlphaChannel() const override;
    bool hasMipmaps() const override;
    void commitTextureOperations(QRhi* rhi, QRhiResourceUpdateBatch* resourceUpdates) override;

    // Keeps `frame` until its plane has been uploaded at the next commit.
    void setPlane(std::shared_ptr<const engine::VideoFrame> frame, int plane, int width, int height, int components,
        int bytesPerComponent);

    // Whether the window's graphics API can sample planes of this kind.
    static bool isSupported(QQuickWindow* window, int components, int bytesPerComponent);

private:
    QRhiTexture* texture_ = nullptr;
    QSize size_;
    int components_ = 1;
    int bytesPerComponent_ = 1;
    int plane_ = 0;
    bool pending_ = false;
    std::shared_ptr<const engine::VideoFrame> frame_;
};

} // namespace kvr::ui
