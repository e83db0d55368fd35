#include "ui/video/YuvMaterial.h"

#include "ui/video/YuvVideoNode.h"

#include <QSGMaterialShader>

#include <cstring>
#include <functional>

namespace kvr::ui {

namespace {

// Layout of the uniform block `buf` (std140), shared by both stages.
constexpr int kMatrixOffset = 0;
constexpr int kColorMatrixOffset = 64;
constexpr int kOpacityOffset = 128;
constexpr int kSampleScaleOffset = 132;
constexpr int kSemiPlanarOffset = 136;
constexpr int kBlockSize = 144;

class YuvShader : public QSGMaterialShader {
public:
    YuvShader()
    {
        setShaderFileName(VertexStage, QStringLiteral(":/kvr/shaders/yuv.vert.qsb"));
        setShaderFileName(FragmentStage, QStringLiteral(":/kvr/shaders/yuv.frag.qsb"));
    }

    bool updateUniformData(RenderState& state, QSGMaterial* newMaterial, QSGMaterial*) override
    {
        QByteArray* block = state.uniformData();
        if (block->size() < kBlockSize)
            return false;
        char* data = block->data();
        const auto* material = static_cast<const YuvMaterial*>(newMaterial);
        if (state.isMatrixDirty()) {
            const QMatrix4x4 matrix = state.combinedMatrix();
            std::memcpy(data + kMatrixOffset, matrix.constData(), 64);
        }
        std::memcpy(data + kColorMatrixOffset, material->conversionMatrix.data(), 64);
        const float opacity = state.opacity();
        std::memcpy(data + kOpacityOffset, &opacity, 4);
        std::memcpy(data + kSampleScaleOffset, &material->sampleScale, 4);
        const float semiPlanar = material->semiPlanar ? 1.0f : 0.0f;
        std::memcpy(data + kSemiPlanarOffset, &semiPlanar, 4);
        return true;
    }

    void updateSampledImage(
        RenderState& state, int binding, QSGTexture** texture, QSGMaterial* newMaterial, QSGMaterial*) override
    {
        if (binding < 1 || binding > 3)
            return;
        auto* material = static_cast<YuvMaterial*>(newMaterial);
        // Semi-planar frames have no third plane: V comes from the interleaved plane as well.
        const int plane = (binding == 3 && material->semiPlanar) ? 1 : binding - 1;
        PlaneTexture* planeTexture = &material->planes[plane];
        planeTexture->commitTextureOperations(state.rhi(), state.resourceUpdateBatch());
        *texture = planeTexture;
    }
};

} // namespace

YuvMaterial::YuvMaterial()
{
    setFlag(Blending, false);
    for (PlaneTexture& plane : planes) {
        plane.setFiltering(QSGTexture::Linear);
        plane.setHorizontalWrapMode(QSGTexture::ClampToEdge);
        plane.setVerticalWrapMode(QSGTexture::ClampToEdge);
    }
    conversionMatrix = YuvVideoNode::colourMatrix(1, false);
}

QSGMaterialType* YuvMaterial::type() const
{
    static QSGMaterialType type;
    return &type;
}

QSGMaterialShader* YuvMaterial::createShader(QSGRendererInterface::RenderMode) const
{
    return new YuvShader;
}

int YuvMaterial::compare(const QSGMaterial* other) const
{
    if (this == other)
        return 0;
    return std::less<const QSGMaterial*>()(this, other) ? -1 : 1;
}

} // namespace kvr::ui
