#include "clients/velkoeyedx/sh_dx/terrain.h"

#include <cmath>
#include <new>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_gis/layer.h"

namespace {

const char* const kMessageTitle = "VELKO EYE DX";

// Beyond this a grid is refused: its buffers would not fit a graphics card,
// and a cell count read from a trace could ask for any size.
constexpr long long kMaxCells = 1LL << 24;

void ReportRefusal(const std::string& strText) {
    GetNotifier().OutputLine(NP_ERRORS, strText);
}

}  // namespace

struct CTerrain::CGrid {
    int nRows = 0;
    int nCols = 0;
    double dMinX = 0.0;
    double dMaxX = 0.0;
    double dMinY = 0.0;
    double dMaxY = 0.0;
    std::vector<float> vecHeights;  // one per vertex
    std::vector<CVertex> vecVertices;
    std::vector<uint32_t> vecIndices;
    std::shared_ptr<const CLayer> pLayer;
    std::string strPath;

    int NumCells() const { return nRows * nCols; }
    // The index of the first vertex whose position or normal is not finite;
    // -1 when all are.
    int FirstNonFiniteVertex() const {
        for (size_t k = 0; k < vecVertices.size(); ++k) {
            const CVertex& vertex = vecVertices[k];
            for (const float f : {vertex.vPosition.x, vertex.vPosition.y, vertex.vPosition.z,
                                  vertex.vNormal.x, vertex.vNormal.y, vertex.vNormal.z}) {
                if (!std::isfinite(f)) {
                    return static_cast<int>(k);
                }
            }
        }
        return -1;
    }
    int VertexCols() const { return nCols + 1; }
    float Height(int i, int j) const { return vecHeights[i * VertexCols() + j]; }

    // Vertices from the heights: positions, texture coordinates spanning the
    // grid once, and normals by central differences inside the border.
    void BuildVertices() {
        const float fSpacing = 1.0f;
        const int nVertexRows = nRows + 1;
        const int nVertexCols = VertexCols();
        const float fHalfWidth = nCols * fSpacing * 0.5f;
        const float fHalfDepth = nRows * fSpacing * 0.5f;
        const float fDu = 1.0f / nCols;
        const float fDv = 1.0f / nRows;
        vecVertices.assign(static_cast<size_t>(nVertexRows) * nVertexCols, CVertex());
        for (int i = 0; i < nVertexRows; ++i) {
            for (int j = 0; j < nVertexCols; ++j) {
                CVertex& vertex = vecVertices[i * nVertexCols + j];
                vertex.vPosition = {j * fSpacing - fHalfWidth, Height(i, j),
                                    fHalfDepth - i * fSpacing};
                vertex.vNormal = {0.0f, 1.0f, 0.0f};
                vertex.fU = j * fDu;
                vertex.fV = i * fDv;
            }
        }
        const float k = 1.0f / (2.0f * fSpacing);
        for (int i = 1; i < nVertexRows - 1; ++i) {
            for (int j = 1; j < nVertexCols - 1; ++j) {
                const CVector3 tangentZ(0.0f, (Height(i - 1, j) - Height(i + 1, j)) * k, 1.0f);
                const CVector3 tangentX(1.0f, (Height(i, j + 1) - Height(i, j - 1)) * k, 0.0f);
                vecVertices[i * nVertexCols + j].vNormal = Normalize(Cross(tangentZ, tangentX));
            }
        }
    }

    // Six indices per cell, in cell order.
    void BuildIndices() {
        vecIndices.clear();
        vecIndices.reserve(static_cast<size_t>(NumCells()) * 6);
        for (int nCell = 0; nCell < NumCells(); ++nCell) {
            const std::array<uint32_t, 6> arr = CellIndices(nCell);
            vecIndices.insert(vecIndices.end(), arr.begin(), arr.end());
        }
    }

    std::array<uint32_t, 6> CellIndices(int nCell) const {
        const int nRow = nCell / nCols;
        const int nCol = nCell % nCols;
        const auto nTopLeft = static_cast<uint32_t>(nRow * VertexCols() + nCol);
        const auto nBottomLeft = nTopLeft + static_cast<uint32_t>(VertexCols());
        return {nTopLeft, nTopLeft + 1, nBottomLeft, nBottomLeft, nTopLeft + 1, nBottomLeft + 1};
    }
};

CTerrain::CTerrain(CResourceResolver resolver) : m_resolver(std::move(resolver)) {}

CTerrain::~CTerrain() = default;

// ---- Textures -----------------------------------------------------------------

const std::vector<std::string>& CTerrain::GetTextureSet() {
    static const std::vector<std::string> vecSet = {"default.png", "snow.png",  "slapsnow.jpg",
                                                    "ice.jpg",     "stone.dds", "grass.dds",
                                                    "blue.jpg",    "sel.png"};
    return vecSet;
}

std::string CTerrain::GetDefaultTextureName() {
    return "snow.png";
}

std::string CTerrain::GetSelectionTextureName() {
    return "sel.png";
}

void CTerrain::LoadTextures(const TextureLoadFn& fnLoad) {
    CNameMap<std::string> mapLoaded;
    for (const std::string& strName : GetTextureSet()) {
        const std::string strPath = m_resolver.Resolve("res/textures/" + strName, RK_TEXTURE);
        if (strPath.empty() || (fnLoad && !fnLoad(strName, strPath))) {
            GetNotifier().MessageBox(kMessageTitle, "Couldn't load " + strName + " texture", NB_OK,
                                     NI_ERROR);
            continue;
        }
        mapLoaded[strName] = strPath;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_mapTextures = std::move(mapLoaded);
    m_bOverlayChanged = true;
}

std::string CTerrain::GetTexture(const std::string& strName) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_mapTextures.find(strName);
    return it == m_mapTextures.end() ? std::string() : it->second;
}

// ---- Grid -----------------------------------------------------------------------

bool CTerrain::InitFromCellCount(int nCells) {
    if (nCells <= 0 || nCells > kMaxCells) {
        ReportRefusal("A terrain of " + IntToString(nCells) + " cells cannot be built");
        return false;
    }
    int nSide = 0;
    while (static_cast<long long>(nSide + 1) * (nSide + 1) <= nCells) {
        ++nSide;
    }
    if (nSide * nSide != nCells) {
        ReportRefusal(
            Format("The terrain's %d cells make no square: it is built with %d x %d cells", nCells,
                   nSide, nSide));
    }
    try {
        CGrid grid;
        grid.nRows = grid.nCols = nSide;
        grid.dMaxX = grid.dMaxY = nSide;
        // Every value 0, every height (0 - 0) * 0.035.
        grid.vecHeights.assign(static_cast<size_t>(nSide + 1) * (nSide + 1), 0.0f);
        grid.BuildVertices();
        grid.BuildIndices();
        Commit(std::move(grid));
    } catch (const std::bad_alloc&) {
        ReportRefusal("A terrain of " + IntToString(nCells) + " cells does not fit in memory");
        return false;
    }
    return true;
}

bool CTerrain::LoadTerrain(const std::string& strPath) {
    const std::string strFile = m_resolver.Resolve(strPath, RK_MESH);
    if (strFile.empty()) {
        GetNotifier().MessageBox(kMessageTitle,
                                 "Couldn't find terrain file in '" + strPath + "' folder.", NB_OK,
                                 NI_ERROR);
        return false;
    }
    try {
        auto pLayer = std::make_shared<const CLayer>("IDRISI", strFile);
        const std::vector<int>& vecDims = pLayer->GetDimensions();
        const bool bGrid = pLayer->IsRaster() && vecDims.size() == 2 && vecDims[0] > 0 &&
                           vecDims[1] > 0 && pLayer->GetNumCells() <= kMaxCells;
        if (!bGrid) {
            ReportRefusal("The terrain file '" + strPath +
                          "' holds no raster with rows and columns");
            return false;
        }
        CGrid grid;
        grid.nCols = vecDims[0];
        grid.nRows = vecDims[1];
        const float fHeightScale = 0.03f;
        const auto fHeightOffset = static_cast<float>(pLayer->GetMinValue());
        grid.dMinX = pLayer->GetMinX();
        grid.dMaxX = pLayer->GetMaxX();
        grid.dMinY = pLayer->GetMinY();
        grid.dMaxY = pLayer->GetMaxY();
        // Each corner takes the mean of the one, two or four cells around it.
        grid.vecHeights.resize(static_cast<size_t>(grid.nRows + 1) * grid.VertexCols());
        for (int i = 0; i <= grid.nRows; ++i) {
            for (int j = 0; j <= grid.nCols; ++j) {
                double dSum = 0.0;
                int nCount = 0;
                for (int r = std::max(i - 1, 0); r <= std::min(i, grid.nRows - 1); ++r) {
                    for (int c = std::max(j - 1, 0); c <= std::min(j, grid.nCols - 1); ++c) {
                        dSum += pLayer->GetCellValue(r * grid.nCols + c);
                        ++nCount;
                    }
                }
                const auto fMean = static_cast<float>(dSum / nCount);
                const float fHeight = (fMean - fHeightOffset) * fHeightScale;
                grid.vecHeights[i * grid.VertexCols() + j] = fHeight;
            }
        }
        grid.pLayer = std::move(pLayer);
        grid.strPath = strFile;
        grid.BuildVertices();
        const int nBad = grid.FirstNonFiniteVertex();
        if (nBad >= 0) {
            // Such a vertex would stretch the whole mesh to infinity.
            ReportRefusal(
                Format("The terrain file '%s' cannot be drawn: its corner at row %d, "
                       "column %d gets no finite height or slope (its cells or its "
                       "\"min. value\" lie beyond the heights the viewer can draw)",
                       strPath.c_str(), nBad / grid.VertexCols(), nBad % grid.VertexCols()));
            return false;
        }
        grid.BuildIndices();
        Commit(std::move(grid));
    } catch (const CCustomException& e) {
        ReportRefusal("The terrain file '" + strPath + "' cannot be read. " + e.GetMessageText());
        return false;
    } catch (const std::bad_alloc&) {
        ReportRefusal("The terrain of '" + strPath + "' does not fit in memory");
        return false;
    }
    return true;
}

void CTerrain::Commit(CGrid&& grid) {
    auto pGrid = std::make_unique<CGrid>(std::move(grid));
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_vecCellTextures.resize(pGrid->NumCells());
    m_pGrid = std::move(pGrid);
    m_nSelectedCell = -1;
    ++m_nBuildNumber;
    m_bOverlayChanged = true;
    m_bLoaded.store(true);
}

int CTerrain::GetRows() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pGrid ? m_pGrid->nRows : 0;
}

int CTerrain::GetCols() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pGrid ? m_pGrid->nCols : 0;
}

int CTerrain::GetNumCells() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pGrid ? m_pGrid->NumCells() : 0;
}

uint64_t CTerrain::GetBuildNumber() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_nBuildNumber;
}

uint64_t CTerrain::GetGeometry(std::vector<CVertex>* pVertices,
                               std::vector<uint32_t>* pIndices) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pGrid) {
        *pVertices = m_pGrid->vecVertices;
        *pIndices = m_pGrid->vecIndices;
    } else {
        pVertices->clear();
        pIndices->clear();
    }
    return m_nBuildNumber;
}

std::shared_ptr<const CLayer> CTerrain::GetLayer() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pGrid ? m_pGrid->pLayer : nullptr;
}

std::string CTerrain::GetFilePath() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pGrid ? m_pGrid->strPath : std::string();
}

// ---- Cell textures ---------------------------------------------------------------

void CTerrain::SetCellTexture(int nCell, const std::string& strName) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (nCell >= 0 && static_cast<size_t>(nCell) < m_vecCellTextures.size() &&
        m_vecCellTextures[nCell] != strName) {
        m_vecCellTextures[nCell] = strName;
        m_bOverlayChanged = true;
    }
}

std::string CTerrain::GetCellTexture(int nCell) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (nCell < 0 || static_cast<size_t>(nCell) >= m_vecCellTextures.size()) {
        return {};
    }
    return m_vecCellTextures[nCell];
}

void CTerrain::ClearCellTextures() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (std::string& strName : m_vecCellTextures) {
        strName.clear();
    }
    m_bOverlayChanged = true;
}

bool CTerrain::UpdateIndexBuffers(CTerrainOverlay* pOverlay) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOverlayChanged) {
        return false;
    }
    m_bOverlayChanged = false;
    pOverlay->nBuildNumber = m_nBuildNumber;
    pOverlay->vecGroups.clear();
    pOverlay->vecGroupIndices.clear();
    CNameMap<size_t> mapGroupOf;
    for (const auto& [strName, strPath] : m_mapTextures) {
        mapGroupOf[strName] = pOverlay->vecGroups.size();
        pOverlay->vecGroups.push_back({strName, strPath, 0});
    }
    std::vector<std::vector<int>> vecCellsOf(pOverlay->vecGroups.size());
    for (size_t nCell = 0; nCell < m_vecCellTextures.size(); ++nCell) {
        const std::string& strName = m_vecCellTextures[nCell];
        if (strName.empty()) {
            continue;
        }
        const auto it = mapGroupOf.find(strName);
        if (it != mapGroupOf.end()) {
            vecCellsOf[it->second].push_back(static_cast<int>(nCell));
        }
    }
    for (size_t nGroup = 0; nGroup < vecCellsOf.size(); ++nGroup) {
        for (int nCell : vecCellsOf[nGroup]) {
            const std::array<uint32_t, 6> arr = m_pGrid->CellIndices(nCell);
            pOverlay->vecGroupIndices.insert(pOverlay->vecGroupIndices.end(), arr.begin(),
                                             arr.end());
        }
        pOverlay->vecGroups[nGroup].nTriangles =
            static_cast<uint32_t>(2 * vecCellsOf[nGroup].size());
    }
    pOverlay->arrSelection =
        m_nSelectedCell >= 0 ? m_pGrid->CellIndices(m_nSelectedCell) : std::array<uint32_t, 6>{};
    return true;
}

// ---- Picking ------------------------------------------------------------------------

int CTerrain::Pick(const CVector3& origin, const CVector3& direction) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    int nHit = -1;
    if (m_pGrid) {
        const std::vector<CVertex>& vecVertices = m_pGrid->vecVertices;
        const std::vector<uint32_t>& vecIndices = m_pGrid->vecIndices;
        for (size_t nFirst = 0; nFirst < vecIndices.size() && nHit < 0; nFirst += 3) {
            if (IntersectTriangle(vecVertices[vecIndices[nFirst]].vPosition,
                                  vecVertices[vecIndices[nFirst + 1]].vPosition,
                                  vecVertices[vecIndices[nFirst + 2]].vPosition, origin,
                                  direction)) {
                nHit = static_cast<int>(nFirst / 6);
            }
        }
    }
    if (nHit != m_nSelectedCell) {
        m_nSelectedCell = nHit;
        m_bOverlayChanged = true;
    }
    return nHit;
}

int CTerrain::GetSelectedCell() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_nSelectedCell;
}

std::vector<std::pair<std::string, double>> CTerrain::GetSelectedCellProperties() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pGrid) {
        return {};
    }
    const CGrid& grid = *m_pGrid;
    const int n = m_nSelectedCell;
    const int nColumn = n % grid.nCols;
    const int nRow = n / grid.nCols;
    // A flat grid's values are all 0.
    double dHeight = -1.0;
    if (grid.pLayer) {
        dHeight = grid.pLayer->GetCellValue(n);
    } else if (n >= 0) {
        dHeight = 0.0;
    }
    return {{"cell num", n},
            {"cell col", nColumn},
            {"cell row", nRow},
            {"UTM X", grid.dMinX + (grid.dMaxX - grid.dMinX) / grid.nCols * nColumn},
            {"UTM Y", grid.dMaxY - (grid.dMaxY - grid.dMinY) / grid.nRows * nRow},
            {"height", dHeight}};
}
