#pragma once

// Draws the terrain: the whole grid with the base texture, then each
// texture's group of cells raised a little over it, then the selected cell
// raised twice as far. The geometry is uploaded again whenever the terrain
// was rebuilt, the groups whenever its cells' textures or the selection
// changed. Used on the window's thread with its GL context current.

#include <string>

#include "clients/velkoeyedx/effect.h"
#include "clients/velkoeyedx/glgeometry.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "clients/velkoeyedx/texturecache.h"

class CTerrainRenderer {
public:
    CTerrainRenderer(CTerrain& terrain, CTextureCache& textures);

    // Builds the effect "terrain" (technique "TerrainTech"); false, with
    // *pError, when it cannot.
    bool Create(const CResourceResolver& resolver, std::string* pError);
    bool IsCreated() const { return m_effect.IsValid(); }
    void Release();

    // The direction towards the sun.
    void SetDirToSun(const CVector3& vDirToSun) { m_vDirToSun = vDirToSun; }

    // Draws the terrain, while it is loaded, placed by mWorld.
    void Render(const CMatrix& mWorld, const CMatrix& mViewProj);

    // The effect, for inspection.
    const CEffect& GetEffect() const { return m_effect; }

private:
    // Binds the file's texture to unit 0 (none when it was not decoded).
    void BindTexture(const std::string& strPath);

    CTerrain& m_terrain;
    CTextureCache& m_textures;
    CEffect m_effect;
    CVector3 m_vDirToSun{0.0f, 1.0f, 0.0f};

    CGLGeometry m_geometry;
    uint64_t m_nGeometryBuild = 0;
    uint32_t m_nIndices = 0;
    CTerrainOverlay m_overlay;
    CGLGeometry::CIndexList m_groupIndices;
    CGLGeometry::CIndexList m_selectionIndices;
};
