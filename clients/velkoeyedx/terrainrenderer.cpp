#include "clients/velkoeyedx/terrainrenderer.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <vector>

namespace {

// Lifts an overlay after the projection, a little up the screen, so that it
// wins the depth test over the triangles it covers.
CMatrix RaiseOverlay(const CMatrix& mWorldViewProj) {
    return mWorldViewProj * CMatrix::Translation(0.0f, 0.005f, 0.0f);
}

}  // namespace

CTerrainRenderer::CTerrainRenderer(CTerrain& terrain, CTextureCache& textures)
    : m_terrain(terrain), m_textures(textures) {}

bool CTerrainRenderer::Create(const CResourceResolver& resolver, std::string* pError) {
    return m_effect.Build(resolver, "terrain", "TerrainTech", {}, pError);
}

void CTerrainRenderer::Release() {
    m_effect.Destroy();
    m_geometry.Destroy();
    m_groupIndices.Destroy();
    m_selectionIndices.Destroy();
    m_nGeometryBuild = 0;
}

void CTerrainRenderer::BindTexture(const std::string& strPath) {
    if (QOpenGLTexture* pTexture = strPath.empty() ? nullptr : m_textures.Get(strPath)) {
        pTexture->bind(0);
    } else {
        QOpenGLContext::currentContext()->functions()->glBindTexture(GL_TEXTURE_2D, 0);
    }
}

void CTerrainRenderer::Render(const CMatrix& mWorld, const CMatrix& mViewProj) {
    if (!m_terrain.IsLoaded() || !m_effect.IsValid()) {
        return;
    }
    if (CTerrainOverlay overlay; m_terrain.UpdateIndexBuffers(&overlay)) {
        m_overlay = std::move(overlay);
        m_groupIndices.Upload(m_overlay.vecGroupIndices);
        m_selectionIndices.Upload(
            std::vector<uint32_t>(m_overlay.arrSelection.begin(), m_overlay.arrSelection.end()));
    }
    if (m_terrain.GetBuildNumber() != m_nGeometryBuild) {
        std::vector<CVertex> vecVertices;
        std::vector<uint32_t> vecIndices;
        m_nGeometryBuild = m_terrain.GetGeometry(&vecVertices, &vecIndices);
        m_geometry.Upload(vecVertices, vecIndices);
        m_nIndices = static_cast<uint32_t>(vecIndices.size());
    }

    QOpenGLFunctions* gl = QOpenGLContext::currentContext()->functions();
    m_effect.Bind();
    m_effect.SetInt("gTexture", 0);
    m_effect.SetMatrix("gWorld", mWorld);
    m_effect.SetVector("gDirToSunW", m_vDirToSun.x, m_vDirToSun.y, m_vDirToSun.z, 0.0f);
    CMatrix mWorldViewProj = mWorld * mViewProj;
    m_effect.SetMatrix("gWVP", mWorldViewProj);
    BindTexture(m_terrain.GetTexture(CTerrain::GetDefaultTextureName()));
    m_geometry.Draw(0, m_nIndices);

    // The overlay's indices refer to the build it was made for; right after
    // a rebuild it waits for the next frame.
    if (m_overlay.nBuildNumber != m_nGeometryBuild) {
        return;
    }
    gl->glDepthFunc(GL_LEQUAL);
    mWorldViewProj = RaiseOverlay(mWorldViewProj);
    m_effect.SetMatrix("gWVP", mWorldViewProj);
    uint32_t nStart = 0;
    for (const CTerrainGroup& group : m_overlay.vecGroups) {
        if (group.nTriangles == 0) {
            continue;
        }
        BindTexture(group.strPath);
        m_geometry.Draw(m_groupIndices, nStart, 3 * group.nTriangles);
        nStart += 3 * group.nTriangles;
    }
    m_effect.SetMatrix("gWVP", RaiseOverlay(mWorldViewProj));
    BindTexture(m_terrain.GetTexture(CTerrain::GetSelectionTextureName()));
    m_geometry.Draw(m_selectionIndices, 0, 6);
    gl->glDepthFunc(GL_LESS);
}
