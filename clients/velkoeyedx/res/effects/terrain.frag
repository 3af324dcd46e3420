#version 330 core
// A quarter of the light is ambient; the rest falls as the sun shines on the
// slope. Ground facing the sun shows its texture's own colours.

in vec3 vWorldNormal;
in vec2 vTexCoord;

// Towards the sun (w is 0).
uniform vec4 gDirToSunW;
uniform sampler2D gTexture;

out vec4 fragColor;

void main() {
    float sun = max(dot(normalize(vWorldNormal), normalize(gDirToSunW.xyz)), 0.0);
    fragColor = vec4(texture(gTexture, vTexCoord).rgb * (0.25 + 0.75 * sun), 1.0);
}
