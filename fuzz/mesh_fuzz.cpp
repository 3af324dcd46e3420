// Viewer meshes: the parts of the input are an OBJ file "mesh.obj" and a
// material file "mesh.mtl" beside it. A mesh that loads must be drawable
// as it stands: every index names a vertex, every triangle a material, and
// the material ranges cover the triangles in order.

#include <cstdint>
#include <string>

#include "clients/velkoeyedx/sh_dx/meshloader10.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const auto vecParts = velkofuzz::SplitParts(pData, nSize, 2);
    scratch.Write("mesh.obj", vecParts[0]);
    scratch.Write("mesh.mtl", vecParts[1]);

    CMeshLoader10 mesh;
    if (!mesh.Create(scratch.GetPath() + "mesh.obj", CResourceResolver(scratch.GetPath()))) {
        velkofuzz::Check(mesh.GetVertices().empty() && mesh.GetIndices().empty() &&
                             mesh.GetAttributeRanges().empty(),
                         "a refused mesh holds nothing");
        return 0;
    }
    const auto& vecIndices = mesh.GetIndices();
    const auto& vecSubsets = mesh.GetTriangleSubsets();
    velkofuzz::Check(!vecIndices.empty() && vecIndices.size() == 3 * vecSubsets.size(),
                     "three indices per triangle");
    for (const uint32_t nIndex : vecIndices) {
        velkofuzz::Check(nIndex < mesh.GetVertices().size(), "an index names a vertex");
    }
    uint32_t nNextFace = 0;
    for (const CAttributeRange& range : mesh.GetAttributeRanges()) {
        velkofuzz::Check(range.nAttribId < mesh.GetNumMaterials(), "a range names a material");
        velkofuzz::Check(range.nFaceStart == nNextFace && range.nFaceCount > 0,
                         "ranges follow each other");
        velkofuzz::Check(mesh.GetSubset(range.nAttribId) == &range, "one range per material");
        for (uint32_t nFace = range.nFaceStart; nFace < range.nFaceStart + range.nFaceCount;
             ++nFace) {
            velkofuzz::Check(vecSubsets[nFace] == range.nAttribId, "a face lies in its range");
            for (int nCorner = 0; nCorner < 3; ++nCorner) {
                const uint32_t nIndex = vecIndices[3 * nFace + nCorner];
                velkofuzz::Check(nIndex >= range.nVertexStart &&
                                     nIndex - range.nVertexStart < range.nVertexCount,
                                 "a face's vertices lie in its range");
            }
        }
        nNextFace += range.nFaceCount;
    }
    velkofuzz::Check(nNextFace == vecSubsets.size(), "the ranges cover every triangle");
    return 0;
}
