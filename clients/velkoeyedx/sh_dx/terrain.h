#pragma once

// The ground the agents stand on: a grid of square cells, either flat (built
// from a cell count) or shaped by the values of an IDRISI raster layer. Each
// cell can carry a texture of its own; cells sharing a texture are drawn as
// one group over the base texture, and one picked cell is drawn selected.
//
// Cell (r, c) has index r * columns + c, in the order of the raster's values;
// row 0 lies at +z and column 0 at -x. Vertex (i, j), 0 <= i <= rows and
// 0 <= j <= columns, has index i * (columns + 1) + j; cell (r, c) has the
// corners (r, c), (r, c + 1), (r + 1, c), (r + 1, c + 1). Cells are one world
// unit wide; the grid is centred on the origin.
//
// The window reads the geometry and the overlay on its render thread while
// loads, painting and the scene lock come from other threads: every public
// operation takes the terrain's own lock, and readers get copies.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/sh_dx/sceneterrain.h"
#include "clients/velkoeyedx/sh_dx/vertex.h"
#include "sh_aux/namemap.h"

class CLayer;

// One texture's cells in the group index list.
struct CTerrainGroup {
    std::string strTexture;
    std::string strPath;
    uint32_t nTriangles = 0;
};

// What is drawn over the base grid: the groups' triangles one group after
// the other, then the selected cell.
struct CTerrainOverlay {
    // The build whose vertices the indices refer to.
    uint64_t nBuildNumber = 0;
    // Six indices per cell, cells in index order within a group.
    std::vector<uint32_t> vecGroupIndices;
    // Every loaded texture in drawing order (sorted by name), also those
    // without cells; group k starts after the triangles of groups 0 to k-1.
    std::vector<CTerrainGroup> vecGroups;
    // The selected cell's two triangles; six equal indices (nothing drawn)
    // while no cell is selected.
    std::array<uint32_t, 6> arrSelection{};
};

class CTerrain : public CSceneTerrain {
public:
    // Asked to load one texture file (the window decodes and uploads it);
    // false when it cannot.
    using TextureLoadFn =
        std::function<bool(const std::string& strName, const std::string& strPath)>;

    // Textures and terrain files are found through resolver.
    explicit CTerrain(CResourceResolver resolver = CResourceResolver());
    ~CTerrain() override;
    CTerrain(const CTerrain&) = delete;
    CTerrain& operator=(const CTerrain&) = delete;

    // Where the terrain finds its files; readers that look for a terrain file
    // before loading it use the same.
    const CResourceResolver& GetResolver() const { return m_resolver; }

    // ---- Textures ------------------------------------------------------------

    // The texture set in its loading order.
    static const std::vector<std::string>& GetTextureSet();
    // The base texture of the whole grid, "snow.png".
    static std::string GetDefaultTextureName();
    // The texture of the selected cell, "sel.png".
    static std::string GetSelectionTextureName();

    // Loads the texture set, each from "res/textures/". A texture that is not
    // found or that fnLoad refuses is reported ("Couldn't load <name>
    // texture") and stays out of the set; cells naming it show the base.
    void LoadTextures(const TextureLoadFn& fnLoad = nullptr);
    // The file of a loaded texture, "" when it did not load.
    std::string GetTexture(const std::string& strName) const;

    // ---- Grid ------------------------------------------------------------------

    // A flat square grid of the truncated square root of nCells on each side
    // (a count that is no square is reported and its extra cells have no
    // place). False, reported, for fewer than one cell or too many.
    bool InitFromCellCount(int nCells);
    // A grid shaped by the IDRISI raster at strPath (resolved like a mesh):
    // heights (value - min. value) * 0.03 at each corner, the mean of the
    // cells around it. False, the terrain unchanged, when the file is missing
    // ("Couldn't find terrain file in '<path>' folder.") or is no raster with
    // rows and columns (reported).
    bool LoadTerrain(const std::string& strPath);

    // The grid may be drawn and picked: set by a build, cleared by the scene
    // lock while the scene is replaced.
    bool IsLoaded() const { return m_bLoaded.load(); }
    void MarkNotLoaded() override { m_bLoaded.store(false); }

    int GetRows() const;
    int GetCols() const;
    int GetNumCells() const;
    // Counts every build; the window re-uploads the geometry when the number
    // of its overlay differs from that of the geometry it holds.
    uint64_t GetBuildNumber() const;
    // Copies of the vertices and of the triangle list (six indices per cell,
    // in cell order: (r, c), (r, c+1), (r+1, c), then (r+1, c), (r, c+1),
    // (r+1, c+1)); returns the number of the build they belong to.
    uint64_t GetGeometry(std::vector<CVertex>* pVertices, std::vector<uint32_t>* pIndices) const;
    // The raster of the last terrain file, none for a flat grid.
    std::shared_ptr<const CLayer> GetLayer() const;
    // The file the grid was read from, "" for a flat grid.
    std::string GetFilePath() const;

    // ---- Cell textures -----------------------------------------------------------

    // Paints one cell (the empty name removes its texture). A cell outside
    // the grid is ignored: cell numbers come from traces and layers.
    void SetCellTexture(int nCell, const std::string& strName) override;
    // The texture name of a cell, "" for none or outside the grid.
    std::string GetCellTexture(int nCell) const;
    // Every cell back to the base texture.
    void ClearCellTextures() override;
    // Regroups the cells by texture and sets the selection; fills pOverlay
    // and answers true when anything changed since the last call (the first
    // call after construction always fills it).
    bool UpdateIndexBuffers(CTerrainOverlay* pOverlay);

    // ---- Picking ---------------------------------------------------------------

    // Selects the first cell, in index order, whose triangles the ray meets
    // (either side, at or ahead of origin), or none (-1); returns it.
    int Pick(const CVector3& origin, const CVector3& direction);
    int GetSelectedCell() const;
    // The "Selected Cell" items, in order: "cell num", "cell col", "cell
    // row", "UTM X", "UTM Y" and "height" (the raster's value, -1.0 for no
    // cell). A flat grid spans one map unit per cell from (0, 0). Empty
    // before the first build.
    std::vector<std::pair<std::string, double>> GetSelectedCellProperties() const;

private:
    struct CGrid;

    // Makes the grid current: resizes the cell textures (names of cells
    // that remain are kept), clears the selection and marks it loaded.
    void Commit(CGrid&& grid);

    const CResourceResolver m_resolver;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_bLoaded{false};
    std::unique_ptr<CGrid> m_pGrid;
    uint64_t m_nBuildNumber = 0;

    // Loaded texture name to its file.
    CNameMap<std::string> m_mapTextures;
    std::vector<std::string> m_vecCellTextures;
    int m_nSelectedCell = -1;
    bool m_bOverlayChanged = true;
};
