#version 330 core

in vec2 vTexCoord;

// Straight alpha.
uniform sampler2D gOverlay;

out vec4 fragColor;

void main() {
    fragColor = texture(gOverlay, vTexCoord);
}
