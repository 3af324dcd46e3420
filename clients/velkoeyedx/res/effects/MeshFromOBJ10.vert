#version 330 core
// Meshes: one program per technique, each built from this file and
// MeshFromOBJ10.frag with its defines (TEXTURED, SPECULAR) put after the
// version line.
//
// Matrices come as the viewer's row-vector matrices, uploaded unchanged, so
// "M * v" here is "v * M" there. Depth leaves the projection in [0, 1] and
// is moved to OpenGL's [-1, 1].

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec2 inTexCoord;

uniform mat4 g_mWorldViewProjection;
uniform mat4 g_mWorld;

out vec3 vWorldPosition;
out vec3 vWorldNormal;
out vec2 vTexCoord;

void main() {
    vec4 clip = g_mWorldViewProjection * vec4(inPosition, 1.0);
    clip.z = 2.0 * clip.z - clip.w;
    gl_Position = clip;
    vWorldPosition = (g_mWorld * vec4(inPosition, 1.0)).xyz;
    vWorldNormal = (g_mWorld * vec4(inNormal, 0.0)).xyz;
    vTexCoord = inTexCoord;
}
