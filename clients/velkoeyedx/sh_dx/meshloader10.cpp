#include "clients/velkoeyedx/sh_dx/meshloader10.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <system_error>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"

namespace {

const char* const kBoxMesh = "res/meshes/box.obj";

// The words of one line, split at blanks.
std::vector<std::string_view> SplitWords(std::string_view strLine) {
    std::vector<std::string_view> vecWords;
    size_t nPos = 0;
    while (nPos < strLine.size()) {
        while (nPos < strLine.size() && IsTrimSpace(strLine[nPos])) {
            ++nPos;
        }
        const size_t nStart = nPos;
        while (nPos < strLine.size() && !IsTrimSpace(strLine[nPos])) {
            ++nPos;
        }
        if (nPos > nStart) {
            vecWords.push_back(strLine.substr(nStart, nPos - nStart));
        }
    }
    return vecWords;
}

// Calls fn with the words of every line of the text, as long as it answers
// true.
template <class Fn>
void ForEachLine(std::string_view strText, Fn fn) {
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string_view::npos) {
            nEnd = strText.size();
        }
        const std::vector<std::string_view> vecWords =
            SplitWords(strText.substr(nStart, nEnd - nStart));
        if (!vecWords.empty() && !fn(vecWords)) {
            return;
        }
        nStart = nEnd + 1;
    }
}

// A whole word read as a number, whatever the process locale.
std::optional<float> ReadFloat(std::string_view strWord) {
    const std::string strCopy(strWord);
    char* pEnd = nullptr;
    const double dValue = ParseDouble(strCopy.c_str(), &pEnd);
    if (pEnd != strCopy.c_str() + strCopy.size()) {
        return std::nullopt;
    }
    return static_cast<float>(dValue);
}

// The words after the command as floats, when there are at least nCount.
bool ReadFloats(const std::vector<std::string_view>& vecWords, size_t nCount, float* pOut) {
    if (vecWords.size() < nCount + 1) {
        return false;
    }
    for (size_t i = 0; i < nCount; ++i) {
        const std::optional<float> value = ReadFloat(vecWords[i + 1]);
        if (!value) {
            return false;
        }
        pOut[i] = *value;
    }
    return true;
}

// The leading integer of a word (as a stream reads it: "96.07" gives 96).
std::optional<int> ReadLeadingInt(std::string_view strWord) {
    int nValue = 0;
    const char* pBegin = strWord.data();
    if (!strWord.empty() && strWord.front() == '+') {
        ++pBegin;
    }
    const auto result = std::from_chars(pBegin, strWord.data() + strWord.size(), nValue);
    if (result.ec != std::errc() || result.ptr == pBegin) {
        return std::nullopt;
    }
    return nValue;
}

// One corner number: empty means "not given" (0); otherwise a whole integer.
std::optional<long long> ReadCornerNumber(std::string_view strPart) {
    if (strPart.empty()) {
        return 0;
    }
    long long nValue = 0;
    const auto result = std::from_chars(strPart.data(), strPart.data() + strPart.size(), nValue);
    if (result.ec == std::errc::result_out_of_range) {
        // Far outside any list: refused by the range check below.
        return strPart.front() == '-' ? -(1LL << 62) : (1LL << 62);
    }
    if (result.ec != std::errc() || result.ptr != strPart.data() + strPart.size()) {
        return std::nullopt;
    }
    return nValue;
}

// Turns a corner number into a 0-based index into a list of nSize entries:
// 1 to nSize count from the front, -1 to -nSize from the back. 0 is "none"
// where bOptional, else invalid. False for a number outside the list.
bool ToListIndex(long long nNumber, size_t nSize, bool bOptional, std::optional<size_t>& index) {
    const auto nCount = static_cast<long long>(nSize);
    if (nNumber == 0) {
        index.reset();
        return bOptional;
    }
    if (nNumber > 0 && nNumber <= nCount) {
        index = static_cast<size_t>(nNumber - 1);
        return true;
    }
    if (nNumber < 0 && -nNumber <= nCount) {
        index = static_cast<size_t>(nCount + nNumber);
        return true;
    }
    return false;
}

// Smoothing groups: "s off" and "s 0" give each face its own normal; faces
// before any "s" line are smoothed together, apart from the numbered groups.
constexpr uint32_t kNoSmoothing = 0;
constexpr uint32_t kDefaultSmoothingGroup = UINT32_MAX;

uint32_t ReadSmoothingGroup(std::string_view strWord) {
    uint32_t nGroup = kNoSmoothing;
    const auto result = std::from_chars(strWord.data(), strWord.data() + strWord.size(), nGroup);
    if (result.ec != std::errc() || result.ptr != strWord.data() + strWord.size() ||
        nGroup == kDefaultSmoothingGroup) {
        return kNoSmoothing;  // "off", or no group number
    }
    return nGroup;
}

enum CornerResult { CR_OK, CR_MALFORMED, CR_OUT_OF_RANGE };

struct Corner {
    size_t nPosition = 0;
    std::optional<size_t> texCoord;
    std::optional<size_t> normal;
};

// One corner of a face, p, p/t, p//n or p/t/n, against lists of the given
// sizes.
CornerResult ReadCorner(std::string_view strWord, size_t nPositions, size_t nTexCoords,
                        size_t nNormals, Corner& corner) {
    std::string_view strParts[3];
    size_t nParts = 0;
    for (size_t nStart = 0;;) {
        if (nParts == 3) {
            return CR_MALFORMED;
        }
        const size_t nSlash = strWord.find('/', nStart);
        strParts[nParts++] = strWord.substr(nStart, nSlash - nStart);
        if (nSlash == std::string_view::npos) {
            break;
        }
        nStart = nSlash + 1;
    }
    long long numbers[3] = {0, 0, 0};
    for (size_t i = 0; i < nParts; ++i) {
        const std::optional<long long> number = ReadCornerNumber(strParts[i]);
        if (!number) {
            return CR_MALFORMED;
        }
        numbers[i] = *number;
    }
    std::optional<size_t> position;
    if (!ToListIndex(numbers[0], nPositions, false, position) ||
        !ToListIndex(numbers[1], nTexCoords, true, corner.texCoord) ||
        !ToListIndex(numbers[2], nNormals, true, corner.normal)) {
        return CR_OUT_OF_RANGE;
    }
    corner.nPosition = *position;
    return CR_OK;
}

// Reads the text into a string; false when the file cannot be read. Only a
// regular file is read: reading a folder makes the stream throw, and a
// device could be read for ever.
bool ReadFileText(const std::string& strPath, std::string& strText) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(strPath, ec)) {
        return false;
    }
    std::ifstream file(strPath, std::ios::binary);
    if (!file.is_open()) {
        return false;
    }
    const std::string strBytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (file.bad()) {
        return false;
    }
    strText = DecodeTextBytes(strBytes);
    return true;
}

}  // namespace

bool CMeshLoader10::Create(const std::string& strName, const CResourceResolver& resolver) {
    Destroy();
    const std::string strPath = resolver.Resolve(strName, RK_MESH);
    std::string strText;
    if (strPath.empty() || !ReadFileText(strPath, strText)) {
        return false;
    }
    try {
        if (!ParseOBJ(strText)) {
            return false;
        }
        m_strMediaFolder = GetFolder(strPath);
        if (m_vecIndices.empty()) {
            Destroy();
            return false;
        }
        if (!m_strMaterialFile.empty()) {
            const std::string strMaterialFilename = m_strMaterialFile;
            if (!LoadMaterialsFromMTL(strMaterialFilename)) {
                GetNotifier().MessageBox(
                    "VELKO EYE DX", "LoadMaterialsFromMTL( strMaterialFilename )", NB_OK, NI_ERROR);
                Destroy();
                m_strUnreadMaterialFile = strMaterialFilename;
                return false;
            }
        }
        for (CMaterial& material : m_vecMaterials) {
            if (!material.strTexture.empty()) {
                material.strTexturePath =
                    resolver.Resolve(material.strTexture, RK_TEXTURE, m_strMediaFolder);
            }
        }
        BuildSubsets();
    } catch (const std::bad_alloc&) {
        Destroy();
        return false;
    }
    return true;
}

void CMeshLoader10::Destroy() {
    m_vecVertices.clear();
    m_vecIndices.clear();
    m_vecSubsets.clear();
    m_vecMaterials.clear();
    m_vecRanges.clear();
    m_strMaterialFile.clear();
    m_strMediaFolder.clear();
    m_strUnreadMaterialFile.clear();
}

// One corner of a triangle as read: its vertex, its position number, and
// whether the file gave its normal.
struct CMeshLoader10::CCornerRef {
    uint32_t nVertex = 0;
    uint32_t nPosition = 0;
    bool bNormalGiven = false;
};

bool CMeshLoader10::ParseOBJ(std::string_view strText) {
    Destroy();
    m_vecMaterials.emplace_back().strName = "default";
    uint32_t nCurrentMaterial = 0;
    bool bInRange = true;
    std::vector<CVector3> vecPositions;
    std::vector<CVector3> vecNormals;
    std::vector<std::pair<float, float>> vecTexCoords;
    // Per position number, the vertices made from it.
    std::vector<std::vector<uint32_t>> vecVertexCache;
    // For the normals the file does not give: every triangle's corners and
    // smoothing group.
    std::vector<CCornerRef> vecCornerRefs;
    std::vector<uint32_t> vecGroups;
    bool bNormalsMissing = false;
    uint32_t nGroup = kDefaultSmoothingGroup;

    ForEachLine(strText, [&](const std::vector<std::string_view>& vecWords) {
        const std::string_view strCommand = vecWords[0];
        float values[3];
        if (strCommand == "v" || strCommand == "vn") {
            if (!ReadFloats(vecWords, 3, values)) {
                return false;
            }
            (strCommand == "v" ? vecPositions : vecNormals)
                .emplace_back(values[0], values[1], values[2]);
        } else if (strCommand == "vt") {
            if (!ReadFloats(vecWords, 2, values)) {
                return false;
            }
            vecTexCoords.emplace_back(values[0], values[1]);
        } else if (strCommand == "f") {
            std::vector<Corner> vecCorners(vecWords.size() - 1);
            if (vecCorners.size() < 3) {
                return false;
            }
            for (size_t i = 0; i < vecCorners.size(); ++i) {
                const CornerResult eResult =
                    ReadCorner(vecWords[i + 1], vecPositions.size(), vecTexCoords.size(),
                               vecNormals.size(), vecCorners[i]);
                if (eResult != CR_OK) {
                    bInRange = eResult != CR_OUT_OF_RANGE;
                    return false;
                }
            }
            std::vector<CCornerRef> vecPolygon;
            for (const Corner& corner : vecCorners) {
                CVertex vertex;
                vertex.vPosition = vecPositions[corner.nPosition];
                if (corner.texCoord) {
                    vertex.fU = vecTexCoords[*corner.texCoord].first;
                    vertex.fV = vecTexCoords[*corner.texCoord].second;
                }
                if (corner.normal) {
                    vertex.vNormal = vecNormals[*corner.normal];
                }
                bNormalsMissing = bNormalsMissing || !corner.normal;
                vecPolygon.push_back({AddVertex(vecVertexCache, corner.nPosition, vertex),
                                      static_cast<uint32_t>(corner.nPosition),
                                      corner.normal.has_value()});
            }
            // A polygon is cut into a fan around its first corner.
            for (size_t i = 2; i < vecPolygon.size(); ++i) {
                for (const CCornerRef& ref : {vecPolygon[0], vecPolygon[i - 1], vecPolygon[i]}) {
                    m_vecIndices.push_back(ref.nVertex);
                    vecCornerRefs.push_back(ref);
                }
                m_vecSubsets.push_back(nCurrentMaterial);
                vecGroups.push_back(nGroup);
            }
        } else if (strCommand == "s") {
            nGroup = vecWords.size() > 1 ? ReadSmoothingGroup(vecWords[1]) : kNoSmoothing;
        } else if (strCommand == "mtllib" && vecWords.size() > 1) {
            m_strMaterialFile = vecWords[1];
        } else if (strCommand == "usemtl" && vecWords.size() > 1) {
            nCurrentMaterial = FindOrAddMaterial(std::string(vecWords[1]));
        }
        return true;
    });

    if (!bInRange) {
        Destroy();
        return false;
    }
    if (bNormalsMissing) {
        ComputeMissingNormals(vecPositions, vecCornerRefs, vecGroups);
    }
    return true;
}

void CMeshLoader10::ComputeMissingNormals(const std::vector<CVector3>& vecPositions,
                                          const std::vector<CCornerRef>& vecCorners,
                                          const std::vector<uint32_t>& vecGroups) {
    // A triangle's cross product is as long as twice its area: summed as
    // they are, large faces weigh more than slivers.
    std::vector<CVector3> vecFaceNormals(vecGroups.size());
    // Per position number, the sums of the smoothing groups that meet there
    // (seldom more than a few).
    std::vector<std::vector<std::pair<uint32_t, CVector3>>> vecSums(vecPositions.size());
    const auto sumOf = [&vecSums](uint32_t nPosition, uint32_t nGroup) -> CVector3& {
        auto& vecGroupSums = vecSums[nPosition];
        for (auto& [nSumGroup, vSum] : vecGroupSums) {
            if (nSumGroup == nGroup) {
                return vSum;
            }
        }
        return vecGroupSums.emplace_back(nGroup, CVector3()).second;
    };
    for (size_t nTriangle = 0; nTriangle < vecGroups.size(); ++nTriangle) {
        const CCornerRef* pCorners = &vecCorners[3 * nTriangle];
        const CVector3& a = vecPositions[pCorners[0].nPosition];
        const CVector3 normal =
            Cross(vecPositions[pCorners[1].nPosition] - a, vecPositions[pCorners[2].nPosition] - a);
        vecFaceNormals[nTriangle] = normal;
        if (vecGroups[nTriangle] != kNoSmoothing) {
            for (int i = 0; i < 3; ++i) {
                sumOf(pCorners[i].nPosition, vecGroups[nTriangle]) += normal;
            }
        }
    }
    // The vertices are made again: corners that shared a vertex without a
    // normal may need different ones now.
    const std::vector<CVertex> vecRead = std::move(m_vecVertices);
    m_vecVertices.clear();
    std::vector<std::vector<uint32_t>> vecVertexCache;
    for (size_t i = 0; i < vecCorners.size(); ++i) {
        const CCornerRef& corner = vecCorners[i];
        CVertex vertex = vecRead[corner.nVertex];
        if (!corner.bNormalGiven) {
            const size_t nTriangle = i / 3;
            const uint32_t nGroup = vecGroups[nTriangle];
            CVector3 normal =
                nGroup == kNoSmoothing ? CVector3() : Normalize(sumOf(corner.nPosition, nGroup));
            if (normal == CVector3()) {
                // Flat, or faces around the position that cancel out (the
                // two sides of one sheet).
                normal = Normalize(vecFaceNormals[nTriangle]);
            }
            vertex.vNormal = normal;
        }
        m_vecIndices[i] = AddVertex(vecVertexCache, corner.nPosition, vertex);
    }
}

void CMeshLoader10::ParseMTL(std::string_view strText) {
    CMaterial* pMaterial = nullptr;
    ForEachLine(strText, [&](const std::vector<std::string_view>& vecWords) {
        const std::string_view strCommand = vecWords[0];
        if (strCommand == "newmtl") {
            pMaterial = nullptr;
            if (vecWords.size() > 1) {
                for (CMaterial& material : m_vecMaterials) {
                    if (material.strName == vecWords[1]) {
                        pMaterial = &material;
                        break;
                    }
                }
            }
            return true;
        }
        if (!pMaterial) {
            return true;
        }
        float values[3];
        if (strCommand == "Ka" || strCommand == "Kd" || strCommand == "Ks") {
            if (!ReadFloats(vecWords, 3, values)) {
                return false;
            }
            CVector3& colour = strCommand == "Ka"   ? pMaterial->vAmbient
                               : strCommand == "Kd" ? pMaterial->vDiffuse
                                                    : pMaterial->vSpecular;
            colour = {values[0], values[1], values[2]};
        } else if (strCommand == "d" || strCommand == "Tr") {
            if (!ReadFloats(vecWords, 1, values)) {
                return false;
            }
            // "Tr" is the transparency, the opposite of the opacity "d".
            pMaterial->fAlpha = strCommand == "d" ? values[0] : 1.0f - values[0];
        } else if (strCommand == "Ns" || strCommand == "illum") {
            const std::optional<int> value =
                vecWords.size() > 1 ? ReadLeadingInt(vecWords[1]) : std::nullopt;
            if (!value) {
                return false;
            }
            if (strCommand == "Ns") {
                pMaterial->nShininess = *value;
            } else {
                pMaterial->bSpecular = *value == 2;
            }
        } else if (strCommand == "map_Kd" && vecWords.size() > 1) {
            pMaterial->strTexture = vecWords[1];
        }
        return true;
    });
}

bool CMeshLoader10::LoadMaterialsFromMTL(const std::string& strMaterialFilename) {
    const std::string strPath = ResolvePathNoCase(JoinPath(m_strMediaFolder, strMaterialFilename));
    std::string strText;
    if (!ReadFileText(strPath, strText)) {
        return false;
    }
    ParseMTL(strText);
    return true;
}

void CMeshLoader10::BuildSubsets() {
    const size_t nTriangles = m_vecSubsets.size();
    std::vector<uint32_t> vecOrder(nTriangles);
    for (size_t i = 0; i < nTriangles; ++i) {
        vecOrder[i] = static_cast<uint32_t>(i);
    }
    std::stable_sort(vecOrder.begin(), vecOrder.end(),
                     [this](uint32_t a, uint32_t b) { return m_vecSubsets[a] < m_vecSubsets[b]; });

    std::vector<uint32_t> vecIndices;
    std::vector<uint32_t> vecSubsets;
    vecIndices.reserve(m_vecIndices.size());
    vecSubsets.reserve(nTriangles);
    m_vecRanges.clear();
    for (uint32_t nOld : vecOrder) {
        const uint32_t nMaterial = m_vecSubsets[nOld];
        if (m_vecRanges.empty() || m_vecRanges.back().nAttribId != nMaterial) {
            CAttributeRange& range = m_vecRanges.emplace_back();
            range.nAttribId = nMaterial;
            range.nFaceStart = static_cast<uint32_t>(vecSubsets.size());
        }
        ++m_vecRanges.back().nFaceCount;
        vecSubsets.push_back(nMaterial);
        vecIndices.insert(vecIndices.end(), m_vecIndices.begin() + 3 * nOld,
                          m_vecIndices.begin() + 3 * nOld + 3);
    }
    for (CAttributeRange& range : m_vecRanges) {
        const auto first = vecIndices.begin() + 3 * range.nFaceStart;
        const auto [itMin, itMax] = std::minmax_element(first, first + 3 * range.nFaceCount);
        range.nVertexStart = *itMin;
        range.nVertexCount = *itMax - *itMin + 1;
    }
    m_vecIndices = std::move(vecIndices);
    m_vecSubsets = std::move(vecSubsets);
}

const CAttributeRange* CMeshLoader10::GetSubset(uint32_t nMaterial) const {
    for (const CAttributeRange& range : m_vecRanges) {
        if (range.nAttribId == nMaterial) {
            return &range;
        }
    }
    return nullptr;
}

uint32_t CMeshLoader10::AddVertex(std::vector<std::vector<uint32_t>>& vecCache, size_t nPosition,
                                  const CVertex& vertex) {
    if (vecCache.size() <= nPosition) {
        vecCache.resize(nPosition + 1);
    }
    std::vector<uint32_t>& vecChain = vecCache[nPosition];
    for (uint32_t nIndex : vecChain) {
        if (std::memcmp(&m_vecVertices[nIndex], &vertex, sizeof(CVertex)) == 0) {
            return nIndex;
        }
    }
    if (m_vecVertices.size() >= UINT32_MAX) {
        throw std::bad_alloc();
    }
    const auto nIndex = static_cast<uint32_t>(m_vecVertices.size());
    m_vecVertices.push_back(vertex);
    vecChain.push_back(nIndex);
    return nIndex;
}

uint32_t CMeshLoader10::FindOrAddMaterial(const std::string& strName) {
    for (size_t i = 0; i < m_vecMaterials.size(); ++i) {
        if (m_vecMaterials[i].strName == strName) {
            return static_cast<uint32_t>(i);
        }
    }
    m_vecMaterials.emplace_back().strName = strName;
    return static_cast<uint32_t>(m_vecMaterials.size() - 1);
}

bool LoadMeshFile(CMeshLoader10& mesh, const std::string& strName,
                  const CResourceResolver& resolver, CLogSink* pLog) {
    if (mesh.Create(strName, resolver)) {
        return true;
    }
    if (pLog && !mesh.GetUnreadMaterialFile().empty()) {
        pLog->AppendLine("The material file " + mesh.GetUnreadMaterialFile() + " of the mesh " +
                         strName + " cannot be read: a box stands for the mesh.");
    }
    if (mesh.Create(kBoxMesh, resolver)) {
        return true;
    }
    GetNotifier().MessageBox("VELKO EYE DX", "mesh.Create( \"res/meshes/box.obj\", resolver )",
                             NB_OK, NI_ERROR);
    return false;
}
