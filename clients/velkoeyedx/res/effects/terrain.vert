#version 330 core
// TerrainTech: the terrain grid with one texture per draw (the base, a group
// of cells, the selected cell). gWVP may carry the small lift after the
// projection with which groups and the selection are drawn over the base.
// Matrices and depth as in MeshFromOBJ10.vert.

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec2 inTexCoord;

uniform mat4 gWVP;
uniform mat4 gWorld;

out vec3 vWorldNormal;
out vec2 vTexCoord;

void main() {
    vec4 clip = gWVP * vec4(inPosition, 1.0);
    clip.z = 2.0 * clip.z - clip.w;
    gl_Position = clip;
    vWorldNormal = (gWorld * vec4(inNormal, 0.0)).xyz;
    vTexCoord = inTexCoord;
}
