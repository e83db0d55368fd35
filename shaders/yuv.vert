#version 440

layout(location = 0) in vec4 qt_VertexPosition;
layout(location = 1) in vec2 qt_VertexTexCoord;

layout(location = 0) out vec2 vTex;

layout(std140, binding = 0) uniform buf {
    mat4 qt_Matrix;
    mat4 colorMatrix;
    float qt_Opacity;
    float sampleScale;
    float semiPlanar;
    float pad0;
};

out gl_PerVertex { vec4 gl_Position; };

void main()
{
    vTex = qt_VertexTexCoord;
    gl_Position = qt_Matrix * qt_VertexPosition;
}
