#pragma once

#include "engine/VideoFrame.h"
#include "ui/video/YuvMaterial.h"

#include <QRectF>
#include <QSGGeometry>
#include <QSGGeometryNode>

#include <array>
#include <memory>

namespace kvr::ui {

// Draws a planar or semi-planar YUV frame (formats 1–4) into a rectangle. Render thread only.
class YuvVideoNode : public QSGGeometryNode {
public:
    YuvVideoNode();

    // Ignores empty and packed frames.
    void setFrame(const std::shared_ptr<const engine::VideoFrame>& frame);
    void setRect(const QRectF& rect);

    const YuvMaterial& yuvMaterial() const { return material_; }

    // Column-major 4×4 matrix taking (y, u, v, 1), each 0…1, to RGB. `colorMatrix`: 0 BT.601, 2 BT.2020,
    // anything else BT.709.
    static std::array<float, 16> colourMatrix(int colorMatrix, bool fullRange);

private:
    QSGGeometry geometry_;
    YuvMaterial material_;
};

} // namespace kvr::ui
