#include "clients/velkoeyedx/glmeshstore.h"

#include <utility>

const char* GetTechniqueName(MeshTechnique eTechnique) {
    static const char* const s_names[MT_COUNT] = {"NoSpecular", "Specular", "TexturedNoSpecular",
                                                  "TexturedSpecular"};
    return s_names[eTechnique];
}

std::vector<std::string> GetTechniqueDefines(MeshTechnique eTechnique) {
    std::vector<std::string> vecDefines;
    if (eTechnique == MT_TEXTURED_NO_SPECULAR || eTechnique == MT_TEXTURED_SPECULAR) {
        vecDefines.emplace_back("TEXTURED");
    }
    if (eTechnique == MT_SPECULAR || eTechnique == MT_TEXTURED_SPECULAR) {
        vecDefines.emplace_back("SPECULAR");
    }
    return vecDefines;
}

CGLMeshStore::CGLMeshStore(CResourceResolver resolver, CTextureCache& textures)
    : m_resolver(std::move(resolver)), m_textures(textures) {}

CGLMeshStore::~CGLMeshStore() = default;

void CGLMeshStore::Load(const std::string& strFile) {
    auto pMesh = std::make_unique<CGLMesh>();
    // A failure is reported by the loader; the name then draws nothing.
    LoadMeshFile(pMesh->mesh, strFile, m_resolver, m_pParsingLog.get());
    for (size_t i = 0; i < pMesh->mesh.GetNumMaterials(); ++i) {
        const CMaterial& material = pMesh->mesh.GetMaterial(i);
        // A texture that is missing or cannot be decoded counts as none.
        bool bTextured = false;
        std::string strFormat;
        if (material.IsTextureMissing()) {
            LogOnce("The texture " + material.strTexture + " of the mesh " + strFile +
                    " cannot be found: its material is drawn without it.");
        } else if (!material.strTexturePath.empty()) {
            bTextured = m_textures.Decode(material.strTexturePath, &strFormat);
            if (!bTextured) {
                LogOnce("The texture " + material.strTexturePath + " (" + strFormat +
                        ") cannot be decoded: its material is drawn without it.");
            }
        }
        pMesh->vecTextures.push_back(bTextured ? material.strTexturePath : std::string());
        pMesh->vecTechniques.push_back(
            bTextured ? (material.bSpecular ? MT_TEXTURED_SPECULAR : MT_TEXTURED_NO_SPECULAR)
                      : (material.bSpecular ? MT_SPECULAR : MT_NO_SPECULAR));
    }
    if (auto it = m_mapMeshes.find(strFile); it != m_mapMeshes.end()) {
        m_vecRetired.push_back(std::move(it->second));
    }
    m_mapMeshes[strFile] = std::move(pMesh);
}

void CGLMeshStore::LogOnce(const std::string& strLine) {
    if (m_pParsingLog && m_setLogged.insert(strLine).second) {
        m_pParsingLog->AppendLine(strLine);
    }
}

void CGLMeshStore::Clear() {
    m_setLogged.clear();
    for (auto& [strFile, pMesh] : m_mapMeshes) {
        m_vecRetired.push_back(std::move(pMesh));
    }
    m_mapMeshes.clear();
}

void CGLMeshStore::Draw(const std::string& strFile, const CMatrix& mWorld, const CMatrix& mViewProj,
                        CMeshTechniques& techniques) {
    CGLMesh* pMesh = FindIn(m_mapMeshes, strFile);
    if (!pMesh || pMesh->mesh.GetIndices().empty()) {
        return;
    }
    if (!pMesh->geometry.IsUploaded()) {
        pMesh->geometry.Upload(pMesh->mesh.GetVertices(), pMesh->mesh.GetIndices());
    }
    const CMatrix mWorldViewProj = mWorld * mViewProj;
    for (uint32_t i = 0; i < pMesh->mesh.GetNumMaterials(); ++i) {
        const CAttributeRange* pRange = pMesh->mesh.GetSubset(i);
        CEffect& effect = techniques[pMesh->vecTechniques[i]];
        if (!pRange || !effect.IsValid()) {
            continue;
        }
        const CMaterial& material = pMesh->mesh.GetMaterial(i);
        effect.Bind();
        effect.SetMatrix("g_mWorldViewProjection", mWorldViewProj);
        effect.SetMatrix("g_mWorld", mWorld);
        effect.SetVector("g_vMaterialAmbient", material.vAmbient);
        effect.SetVector("g_vMaterialDiffuse", material.vDiffuse);
        effect.SetVector("g_vMaterialSpecular", material.vSpecular);
        effect.SetFloat("g_fMaterialAlpha", material.fAlpha);
        effect.SetInt("g_nMaterialShininess", material.nShininess);
        if (!pMesh->vecTextures[i].empty()) {
            if (QOpenGLTexture* pTexture = m_textures.Get(pMesh->vecTextures[i])) {
                pTexture->bind(0);
            }
            effect.SetInt("g_MeshTexture", 0);
        }
        pMesh->geometry.Draw(3 * pRange->nFaceStart, 3 * pRange->nFaceCount);
    }
}

std::optional<CMeshHit> CGLMeshStore::Pick(const std::string& strFile, const CMatrix& mWorld,
                                           const CVector3& origin,
                                           const CVector3& direction) const {
    const CGLMesh* pMesh = FindIn(m_mapMeshes, strFile);
    CMatrix mInverse;
    if (!pMesh || !mWorld.Inverse(&mInverse)) {
        return std::nullopt;
    }
    // The ray in the mesh's own space; distances stay in units of the
    // world-space direction.
    const CVector3 meshOrigin = TransformCoord(origin, mInverse);
    const CVector3 meshDirection = TransformNormal(direction, mInverse);
    const std::vector<CVertex>& vecVertices = pMesh->mesh.GetVertices();
    const std::vector<uint32_t>& vecIndices = pMesh->mesh.GetIndices();
    std::optional<CMeshHit> nearest;
    for (size_t nFirst = 0; nFirst + 2 < vecIndices.size(); nFirst += 3) {
        CMeshHit hit;
        if (IntersectTriangle(vecVertices[vecIndices[nFirst]].vPosition,
                              vecVertices[vecIndices[nFirst + 1]].vPosition,
                              vecVertices[vecIndices[nFirst + 2]].vPosition, meshOrigin,
                              meshDirection, &hit.fU, &hit.fV, &hit.fDist) &&
            (!nearest || hit.fDist < nearest->fDist)) {
            hit.nFace = static_cast<uint32_t>(nFirst / 3);
            nearest = hit;
        }
    }
    return nearest;
}

void CGLMeshStore::ReleaseRetired() {
    for (auto& pMesh : m_vecRetired) {
        pMesh->geometry.Destroy();
    }
    m_vecRetired.clear();
}

void CGLMeshStore::ReleaseAll() {
    ReleaseRetired();
    for (auto& [strFile, pMesh] : m_mapMeshes) {
        pMesh->geometry.Destroy();
    }
}
