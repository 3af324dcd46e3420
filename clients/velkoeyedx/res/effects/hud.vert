#version 330 core
// The HUD: one image the size of the window laid over the scene. Its top row
// is the window's top.

layout(location = 0) in vec2 inCorner;

out vec2 vTexCoord;

void main() {
    gl_Position = vec4(inCorner * 2.0 - 1.0, 0.0, 1.0);
    vTexCoord = vec2(inCorner.x, 1.0 - inCorner.y);
}
