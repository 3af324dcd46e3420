#pragma once

// The meshes the window draws, by the file names the animation model
// registers. Load reads the mesh and decodes its textures at once (on the
// thread of the frame's update, no GL context needed); the GPU copy is made
// when the mesh is first drawn. A mesh that cannot be loaded is the box
// "res/meshes/box.obj"; when even that fails, the name draws nothing. What
// keeps a mesh or a texture from showing is told in the parsing log, once
// per scene.
//
// Used on the window's thread only; Draw and the releases need the window's
// GL context current.

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "clients/velkoeyedx/effect.h"
#include "clients/velkoeyedx/glgeometry.h"
#include "clients/velkoeyedx/sh_dx/logsink.h"
#include "clients/velkoeyedx/sh_dx/meshloader10.h"
#include "clients/velkoeyedx/sh_dx/meshstore.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/texturecache.h"
#include "sh_aux/namemap.h"

// The mesh effect's techniques, one per kind of material.
enum MeshTechnique {
    MT_NO_SPECULAR,
    MT_SPECULAR,
    MT_TEXTURED_NO_SPECULAR,
    MT_TEXTURED_SPECULAR,
    MT_COUNT
};

using CMeshTechniques = std::array<CEffect, MT_COUNT>;

// The technique's name in the effect, and the defines that build it.
const char* GetTechniqueName(MeshTechnique eTechnique);
std::vector<std::string> GetTechniqueDefines(MeshTechnique eTechnique);

// Where a pick ray met a mesh: the face, the weights of its second and third
// corners, and the distance in units of the ray direction's length.
struct CMeshHit {
    uint32_t nFace = 0;
    float fU = 0.0f;
    float fV = 0.0f;
    float fDist = 0.0f;
};

class CGLMeshStore : public CMeshStore {
public:
    CGLMeshStore(CResourceResolver resolver, CTextureCache& textures);
    ~CGLMeshStore() override;

    // Where a material file that cannot be read and a texture that cannot
    // be found or decoded are told (none: nowhere).
    void SetParsingLog(std::shared_ptr<CLogSink> pLog) { m_pParsingLog = std::move(pLog); }

    void Load(const std::string& strFile) override;
    // The meshes are dropped; their GPU copies wait for ReleaseRetired.
    void Clear() override;

    // Draws each material's triangles with its technique (the effects are
    // bound and given the material here; the frame's light and camera
    // uniforms are set already).
    void Draw(const std::string& strFile, const CMatrix& mWorld, const CMatrix& mViewProj,
              CMeshTechniques& techniques);
    // The nearest triangle of the mesh placed by mWorld that the world-space
    // ray meets, if any.
    std::optional<CMeshHit> Pick(const std::string& strFile, const CMatrix& mWorld,
                                 const CVector3& origin, const CVector3& direction) const;

    // Frees the GPU copies of dropped meshes.
    void ReleaseRetired();
    // Frees every GPU copy (the window is going).
    void ReleaseAll();

private:
    struct CGLMesh {
        CMeshLoader10 mesh;
        // Per material: the technique, and the texture file ("" for none:
        // none named, or named but not found or not decodable).
        std::vector<MeshTechnique> vecTechniques;
        std::vector<std::string> vecTextures;
        CGLGeometry geometry;
    };

    // A line for the parsing log, unless it was told since the last Clear.
    void LogOnce(const std::string& strLine);

    CResourceResolver m_resolver;
    CTextureCache& m_textures;
    std::shared_ptr<CLogSink> m_pParsingLog;
    std::set<std::string> m_setLogged;
    COwningNameMap<CGLMesh> m_mapMeshes;
    std::vector<std::unique_ptr<CGLMesh>> m_vecRetired;
};
