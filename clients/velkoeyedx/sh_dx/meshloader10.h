#pragma once

// A Wavefront OBJ mesh with the MTL materials it names, read into the arrays
// the window uploads: vertices, a triangle list of 32-bit indices grouped by
// material, one range of triangles per material, and the materials with the
// files found for their diffuse textures. Texture images are not read here.
// Where the file gives no normal for a corner, its normal is computed from
// the faces (see ParseOBJ).
//
// A mesh is loaded and used by one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "clients/velkoeyedx/sh_dx/logsink.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/sh_dx/vertex.h"

struct CMaterial {
    std::string strName;
    CVector3 vAmbient{0.2f, 0.2f, 0.2f};
    CVector3 vDiffuse{0.8f, 0.8f, 0.8f};
    CVector3 vSpecular{1.0f, 1.0f, 1.0f};
    int nShininess = 0;
    float fAlpha = 1.0f;
    bool bSpecular = false;
    // The diffuse texture as the material file names it, and the file found
    // for it ("" when none is named or none was found).
    std::string strTexture;
    std::string strTexturePath;

    // Named but not found: drawn without a texture.
    bool IsTextureMissing() const { return !strTexture.empty() && strTexturePath.empty(); }
};

// The triangles of one material: faces nFaceStart to nFaceStart + nFaceCount
// - 1 of the index list (three indices each), whose vertices lie in
// nVertexStart to nVertexStart + nVertexCount - 1.
struct CAttributeRange {
    uint32_t nAttribId = 0;
    uint32_t nFaceStart = 0;
    uint32_t nFaceCount = 0;
    uint32_t nVertexStart = 0;
    uint32_t nVertexCount = 0;
};

class CMeshLoader10 {
public:
    // Loads the OBJ file that resolver finds for strName, with its material
    // file and the files of the materials' textures, both looked for beside
    // the OBJ file first. False, with nothing loaded, when the OBJ file is
    // missing, unreadable or malformed (see ParseOBJ), holds no triangle, or
    // names a material file that cannot be read; the caller then shows its
    // fallback mesh. Only the unreadable material file is reported.
    bool Create(const std::string& strName, const CResourceResolver& resolver);
    // The material file that made the last Create fail ("" when none did).
    const std::string& GetUnreadMaterialFile() const { return m_strUnreadMaterialFile; }
    // Forgets everything loaded.
    void Destroy();

    // The steps of Create, usable on their own (text held in memory).
    //
    // Reads OBJ text after Destroy: positions, texture coordinates, normals,
    // faces, "mtllib" and "usemtl"; other lines are ignored. Corners are
    // written p, p/t, p//n or p/t/n with numbers counted from 1 in the lists
    // read so far, negative numbers counting back from their ends; a polygon
    // becomes a fan of triangles. A line whose numbers cannot be read ends
    // the reading (what came before is kept). False, with nothing loaded,
    // when a corner refers outside its list.
    //
    // A corner written without a normal gets one computed from the faces:
    // the sum of the normals of the faces around its position, each weighted
    // by its area, taken over the faces of its smoothing group ("s N"); a
    // face under "s off" (or "s 0") keeps its own normal. Faces before any
    // "s" line are one smoothing group. Faces count their corners in
    // counter-clockwise order seen from the front.
    bool ParseOBJ(std::string_view strText);
    // Reads MTL text into the materials the OBJ text named; other materials
    // of the file are skipped. "d" is the opacity, "Tr" the transparency
    // (opacity 1 - Tr).
    void ParseMTL(std::string_view strText);
    // Reads the material file named strMaterialFilename, looked for in the
    // media folder; false when it cannot be found or read.
    bool LoadMaterialsFromMTL(const std::string& strMaterialFilename);
    // Sorts the triangles by material, keeping their order within one
    // material, and builds one range per material that has triangles.
    void BuildSubsets();

    const std::vector<CVertex>& GetVertices() const { return m_vecVertices; }
    const std::vector<uint32_t>& GetIndices() const { return m_vecIndices; }
    // Material number of each triangle.
    const std::vector<uint32_t>& GetTriangleSubsets() const { return m_vecSubsets; }
    size_t GetNumMaterials() const { return m_vecMaterials.size(); }
    const CMaterial& GetMaterial(size_t nIndex) const { return m_vecMaterials[nIndex]; }
    const std::vector<CAttributeRange>& GetAttributeRanges() const { return m_vecRanges; }
    // The range of material nMaterial, or nullptr when it has no triangle.
    const CAttributeRange* GetSubset(uint32_t nMaterial) const;
    // The file named by the last "mtllib" line ("" when none).
    const std::string& GetMaterialFileName() const { return m_strMaterialFile; }
    // Folder of the loaded OBJ file, with a trailing "/".
    const std::string& GetMediaFolder() const { return m_strMediaFolder; }
    void SetMediaFolder(const std::string& strFolder) { m_strMediaFolder = strFolder; }

private:
    // Index of the vertex, appended unless the same 32 bytes were already
    // added under the same position number (vecCache: per position number,
    // the vertices made from it).
    uint32_t AddVertex(std::vector<std::vector<uint32_t>>& vecCache, size_t nPosition,
                       const CVertex& vertex);
    // Number of the material of that name, appended when new.
    uint32_t FindOrAddMaterial(const std::string& strName);
    struct CCornerRef;
    // Gives the corners read without a normal their computed one (per
    // triangle, its smoothing group in vecGroups), sharing vertices again
    // where all 32 bytes agree.
    void ComputeMissingNormals(const std::vector<CVector3>& vecPositions,
                               const std::vector<CCornerRef>& vecCorners,
                               const std::vector<uint32_t>& vecGroups);

    std::vector<CVertex> m_vecVertices;
    std::vector<uint32_t> m_vecIndices;
    std::vector<uint32_t> m_vecSubsets;
    std::vector<CMaterial> m_vecMaterials;
    std::vector<CAttributeRange> m_vecRanges;
    std::string m_strMaterialFile;
    std::string m_strMediaFolder;
    std::string m_strUnreadMaterialFile;
};

// Loads a mesh for an agent: the file resolver finds for strName, else the
// box "res/meshes/box.obj". False, reported, when neither loads. A mesh
// refused for its unreadable material file is named, with that file, in
// pLog when given.
bool LoadMeshFile(CMeshLoader10& mesh, const std::string& strName,
                  const CResourceResolver& resolver, CLogSink* pLog = nullptr);
