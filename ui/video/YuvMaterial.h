#pragma once

#include "ui/video/PlaneTexture.h"

#include <QSGMaterial>

#include <array>

namespace kvr::ui {

// Samples up to three planes and turns YUV into RGB on the GPU with one 4×4 matrix.
class YuvMaterial : public QSGMaterial {
public:
    YuvMaterial();

    QSGMaterialType* type() const override;
    QSGMaterialShader* createShader(QSGRendererInterface::RenderMode renderMode) const override;
    int compare(const QSGMaterial* other) const override;

    // Planes 0 Y, 1 U (or interleaved UV), 2 V.
    PlaneTexture planes[3];
    // Column-major YUV-to-RGB conversion applied to (y, u, v, 1).
    std::array<float, 16> conversionMatrix {};
    // Brings samples of 10-bit values in 16-bit words to the 0…1 range.
    float sampleScale = 1.0f;
    bool semiPlanar = false;
};

} // namespace kvr::ui
