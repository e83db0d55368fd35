#include "ui/video/YuvVideoNode.h"

namespace kvr::ui {

YuvVideoNode::YuvVideoNode()
    : geometry_(QSGGeometry::defaultAttributes_TexturedPoint2D(), 4, 0, QSGGeometry::UnsignedShortType)
{
    // Both live in this node; the scene graph must not delete them.
    setFlag(OwnsGeometry, false);
    setFlag(OwnsMaterial, false);
    setGeometry(&geometry_);
    setMaterial(&material_);
}

void YuvVideoNode::setFrame(const std::shared_ptr<const engine::VideoFrame>& frame)
{
    if (!frame || frame->format < 1 || frame->format > 4)
        return;
    const int w = frame->width;
    const int h = frame->height;
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    const int bytes = frame->format >= 3 ? 2 : 1;
    const bool semiPlanar = frame->format == 2 || frame->format == 4;

    material_.planes[0].setPlane(frame, 0, w, h, 1, bytes);
    if (semiPlanar) {
        material_.planes[1].setPlane(frame, 1, cw, ch, 2, bytes);
    } else {
        material_.planes[1].setPlane(frame, 1, cw, ch, 1, bytes);
        material_.planes[2].setPlane(frame, 2, cw, ch, 1, bytes);
    }
    material_.semiPlanar = semiPlanar;
    // yuv420p10le keeps its 10 bits in the low end of each word; p010le already fills the word.
    material_.sampleScale = frame->format == 3 ? float(65535.0 / 1023.0) : 1.0f;
    material_.conversionMatrix = colourMatrix(frame->colorMatrix, frame->fullRange);
    markDirty(DirtyMaterial);
}

void YuvVideoNode::setRect(const QRectF& rect)
{
    QSGGeometry::updateTexturedRectGeometry(&geometry_, rect, QRectF(0, 0, 1, 1));
    markDirty(DirtyGeometry);
}

std::array<float, 16> YuvVideoNode::colourMatrix(int colorMatrix, bool fullRange)
{
    double kr = 0.2126;
    double kb = 0.0722;
    if (colorMatrix == 0) {
        kr = 0.299;
        kb = 0.114;
    } else if (colorMatrix == 2) {
        kr = 0.2627;
        kb = 0.0593;
    }
    const double kg = 1.0 - kr - kb;
    const double ys = fullRange ? 1.0 : 255.0 / 219.0;
    const double cs = fullRange ? 1.0 : 255.0 / 224.0;
    const double off = fullRange ? 0.0 : 16.0 / 255.0;
    const double vr = (2.0 - 2.0 * kr) * cs;
    const double ub = (2.0 - 2.0 * kb) * cs;
    const double ug = -(2.0 - 2.0 * kb) * kb / kg * cs;
    const double vg = -(2.0 - 2.0 * kr) * kr / kg * cs;
    const double o = -ys * off;
    return {
        float(ys), float(ys), float(ys), 0.0f, // Y column
        0.0f, float(ug), float(ub), 0.0f, // U column
        float(vr), float(vg), 0.0f, 0.0f, // V column
        float(o - 0.5 * vr), float(o - 0.5 * (ug + vg)), float(o - 0.5 * ub), 1.0f, // constant column
    };
}

} // namespace kvr::ui
