#version 330 core
// The four techniques: NoSpecular (no defines), Specular (SPECULAR),
// TexturedNoSpecular (TEXTURED) and TexturedSpecular (both). The texture
// tints the material's ambient and diffuse colours; highlights are
// Blinn-Phong with the material's shininess.
//
// Many exporters write an ambient colour of 0, leaving the shade to the
// scene's lights; under the one light, straight down, the upright sides of
// such a mesh would be black. A fill light from the eye makes up for an
// ambient colour below kAmbientFloor, in full for an ambient of 0 and not
// at all from the floor up, so that materials that give an ambient colour
// of their own (the viewer's meshes do) keep their look. The fill wraps
// round to half its strength at the silhouette, where the eye sees a
// surface edge on.

in vec3 vWorldPosition;
in vec3 vWorldNormal;
in vec2 vTexCoord;

uniform vec4 g_vLightColor;
// Towards the light: a direction when w is 0, a point when w is 1.
uniform vec4 g_vLightPosition;
uniform vec3 g_vMaterialAmbient;
uniform vec3 g_vMaterialDiffuse;
uniform float g_fMaterialAlpha;
uniform vec3 g_vCameraPosition;
#ifdef SPECULAR
uniform vec3 g_vMaterialSpecular;
uniform int g_nMaterialShininess;
#endif
#ifdef TEXTURED
uniform sampler2D g_MeshTexture;
#endif

out vec4 fragColor;

const float kAmbientFloor = 0.35;

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
    vec3 toEye = normalize(g_vCameraPosition - vWorldPosition);
    float ambientLevel = max(max(g_vMaterialAmbient.r, g_vMaterialAmbient.g), g_vMaterialAmbient.b);
    float fillShare = clamp(1.0 - ambientLevel / kAmbientFloor, 0.0, 1.0);
    // Either side of a surface faces the eye where it is seen.
    float fill = fillShare * (0.5 + 0.5 * abs(dot(normal, toEye)));
    vec3 colour = ambient + diffuse * g_vLightColor.rgb * max(dot(normal, toLight), 0.0) +
                  diffuse * fill;
#ifdef SPECULAR
    vec3 halfway = normalize(toLight + toEye);
    float shine = pow(max(dot(normal, halfway), 0.0), float(max(g_nMaterialShininess, 1)));
    colour += g_vMaterialSpecular * g_vLightColor.rgb * shine;
#endif
    fragColor = vec4(colour, g_fMaterialAlpha);
}
