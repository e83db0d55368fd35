#version 440

layout(location = 0) in vec2 vTex;

layout(location = 0) out vec4 fragColor;

layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    mat4 colorMatrix;
    float qt_Opacity;
    float sampleScale;
    float semiPlanar;
    float pad0;
};

layout(binding = 1) uniform sampler2D texY;
layout(binding = 2) uniform sampler2D texU;
layout(binding = 3) uniform sampler2D texV;

void main()
{
    float y = texture(texY, vTex).r * sampleScale;
    vec2 uv;
    // Semi-planar frames carry U and V interleaved in one two-component texture.
    if (semiPlanar > 0.5)
        uv = texture(texU, vTex).rg * sampleScale;
    else
        uv = vec2(texture(texU, vTex).r, texture(texV, vTex).r) * sampleScale;
    vec3 rgb = (colorMatrix * vec4(y, uv, 1.0)).rgb;
    fragColor = vec4(clamp(rgb, 0.0, 1.0), 1.0) * qt_Opacity;
}
