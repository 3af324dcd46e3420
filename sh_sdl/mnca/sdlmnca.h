#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"
#include "sh_gis/layer.h"
#include "sh_sdl/sdlblock.h"

// Results of the cell accessors of an automaton block.
enum MncaCellStatus {
    MNCA_CELL_OK = 0,        // done
    MNCA_CELL_OUTSIDE = 1,   // the cell id is not a cell of the layer; nothing written
    MNCA_CELL_NO_LAYER = 2,  // no layer of that name
};

// A cellular-automaton block: its processes stand for every cell of a 2-D
// grid at once, and each event names the cell it is for. Cell ids are
// row * W + column, rows counted from the top, W the number of columns (the
// same order as the cells of a raster layer). The block owns named GIS
// layers whose cell values the model reads and writes; the grid comes from
// the dimension declarations or from the raster layer "layer_main".
class CSDLmnca : public CSDLBlock {
public:
    CSDLmnca() { SetMnca(true); }

    // Every layer takes again the values it was loaded with and every cell
    // of the block's processes is in no state again, so that each run starts
    // from the same grid; then the block's own start.
    void Initialize() override;

    void SetNumDimensions(int n) { m_nNumDimensions = n; }
    int GetNumDimensions() const { return m_nNumDimensions; }
    void SetNumCells(int n) { m_nNumCells = n; }
    int GetNumCells() const { return m_nNumCells; }
    // Copies the dimension sizes, columns first.
    void SetDimensions(const std::vector<int>& vecSizes) { m_vecDimensions = vecSizes; }
    // Size of dimension n, 1-based (1 = columns); 0 when there is none.
    int GetDimensionSize(int n) const {
        return (n >= 1 && n <= static_cast<int>(m_vecDimensions.size())) ? m_vecDimensions[n - 1]
                                                                         : 0;
    }
    int GetCurrentCell() const { return m_nCurrentCell; }
    void SetCurrentCell(int n) { m_nCurrentCell = n; }
    // When set, cell states set during an instant become visible at the next
    // one. Nothing in a loaded model sets it.
    bool UsesTwoBuffers() const { return m_bTwoBuffers; }
    void SetTwoBuffers(bool b) { m_bTwoBuffers = b; }
    // True when nCell is a valid cell id of this grid.
    bool IsValidCell(int nCell) const { return nCell >= 0 && nCell < m_nNumCells; }

    // ---- Layers -------------------------------------------------------------------
    // Adds a grid layer shaped like "layer_main" with every cell dValue.
    // Refused, with a message box, when the name is taken or there is no
    // main layer.
    void AddDefaultLayer(const std::string& strName, double dValue);
    // Reads a layer file: ".vec" (laid onto the main layer's grid), ".img",
    // or any other name with ".img" appended. A raster named exactly
    // "layer_main" gives the block its grid. Problems are shown in message
    // boxes and leave the block unchanged.
    void AddLayer(const std::string& strName, const std::string& strFile);
    // The value of a layer cell; nStatus as MncaCellStatus (the value is
    // -1.0 for an outside cell and 0.0 for a missing layer).
    double GetCellValue(const std::string& strLayer, int nCell, int& nStatus);
    // Writes a layer cell (the procedures give single precision where a
    // float holds the value); nStatus as MncaCellStatus.
    void SetCellValue(const std::string& strLayer, int nCell, double dValue, int& nStatus);
    // The layer named "layer_main", or null.
    CLayer* GetMainLayer() const { return GetLayer("layer_main"); }
    // The layer of that name, or null.
    CLayer* GetLayer(const std::string& strName) const { return FindIn(m_mapLayers, strName); }
    // File name (without folders) of the "layer_main" raster as read, with
    // its ".img"; empty otherwise.
    const std::string& GetGridName() const { return m_strGridName; }

private:
    // A modal error box through the engine's notifier.
    void ShowBox(const std::string& strText) const;
    // Shows "The layer ... doesn't exists." and returns null when missing.
    CLayer* FindLayerOrShow(const std::string& strLayer) const;

    int m_nNumCells = 0;
    int m_nNumDimensions = 0;
    int m_nCurrentCell = 0;
    std::vector<int> m_vecDimensions;
    COwningNameMap<CLayer> m_mapLayers;
    // The cell values of each layer as it was added.
    CNameMap<std::vector<double>> m_mapLoadedValues;
    // Keeps the values of the layer just added as its loaded ones.
    void KeepLoadedValues(const std::string& strName, const CLayer& layer);
    std::string m_strGridName;
    bool m_bTwoBuffers = false;
};
