#version 330 core
// The four techniques: NoSpecular (no defines), Specular (SPECULAR),
// TexturedNoSpecular (TEXTURED) and TexturedSpecular (both). The texture
// tints the material's ambient and diffuse colours; highlights are
// Blinn-Phong with the material's shininess.

in vec3 vWorldPosition;
in vec3 vWorldNormal;
in vec2 vTexCoord;

uniform vec4 g_vLightColor;
// Towards the light: a direction when w is 0, a point when w is 1.
uniform vec4 g_vLightPosition;
uniform vec3 g_vMaterialAmbient;
uniform vec3 g_vMaterialDiffuse;
uniform float g_fMaterialAlpha;
#ifdef SPECULAR
uniform vec3 g_vMaterialSpecular;
uniform int g_nMaterialShininess;
uniform vec3 g_vCameraPosition;
#endif
#ifdef TEXTURED
uniform sampler2D g_MeshTexture;
#endif

out vec4 fragColor;

void main() {
    vec3 normal = normalize(vWorldNormal);
    vec3 toLight = normalize(g_vLightPosition.xyz - g_vLightPosition.w * vWorldPosition);
    vec3 ambient = g_vMaterialAmbient;
    vec3 diffuse = g_vMaterialDiffuse;
#ifdef TEXTURED
    vec3 texel = texture(g_MeshTexture, vTexCoord).rgb;
    ambient *= texel;
    diffuse *= texel;
#endif
    vec3 colour = ambient + diffuse * g_vLightColor.rgb * max(dot(normal, toLight), 0.0);
#ifdef SPECULAR
    vec3 toEye = normalize(g_vCameraPosition - vWorldPosition);
    vec3 halfway = normalize(toLight + toEye);
    float shine = pow(max(dot(normal, halfway), 0.0), float(max(g_nMaterialShininess, 1)));
    colour += g_vMaterialSpecular * g_vLightColor.rgb * shine;
#endif
    fragColor = vec4(colour, g_fMaterialAlpha);
}
