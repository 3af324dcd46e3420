#pragma once

// A GIS layer: a grid of numeric cells read from IDRISI text files, or a
// list of points.
//
// Raster layers come from an ".img" file (one value per line) with a ".doc"
// header of "key : value" lines beside it. Vector layers come from a ".vec"
// file whose first line holds two integers (the second is the number of
// points) followed by one "x y" line per point. A vector layer can also be
// laid onto the grid of a main layer, giving a grid whose cells hold 1.0
// where a point falls and 0.0 elsewhere.
//
// Cells of a grid are ordered row by row from the top (max. Y) down, each row
// from west (min. X) to east: index = row-from-top * columns + column.
//
// File names may be written the Windows way (backslashes, any letter case);
// they are converted and resolved against the disk before opening. Files may
// have CR LF line ends and be UTF-8 or Windows-1252.
//
// Errors: a header, image or vector file that cannot be opened, and a header
// whose sizes are negative, too large for an int, or more cells than the
// memory can hold (checked before anything is allocated), make the
// constructor throw CCustomException (message beginning "Error: "); callers
// catch it by const reference. Nothing is shown to the user in that case.
// A layer that is read, but not whole (value lines or points that hold no
// number, which are then 0 or skipped, or fewer value lines than cells), is
// named in one warning box of the core's notifier. Files in UTF-16 with a
// byte-order mark are read as well.
//
// Storage: a cell's value is kept as one double; a vector layer keeps its
// points' coordinates beside the values. GetCell makes the cell on demand.
//
// No locking: a layer is used from one thread at a time.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sh_gis/cell.h"

class CLayer {
public:
    // Empty layer: no dimensions, no cells, all bounds 0.
    CLayer();
    // A grid of the given dimension sizes, every cell a value cell of 0.0;
    // bounds, resolution and value range 0, type empty. Negative sizes or a
    // product beyond the int range throw CCustomException.
    explicit CLayer(const std::vector<int>& vecDimensions);
    // Reads a layer file. strType must be exactly "IDRISI"; a file ending
    // exactly ".img" is read as a raster, one ending ".vec" as a list of
    // points. Any other type or ending leaves an empty layer, silently.
    CLayer(const std::string& strType, const std::string& strFile);
    // Lays the points of the vector file strFile onto mainLayer's grid
    // (value range 0 to 1.0). strType is not examined. Points that fall
    // outside the grid (including those exactly on its max. X or max. Y
    // edge) are skipped and reported in one message box; so are all points
    // when the grid has no finite, non-empty extent.
    CLayer(const std::string& strType, const std::string& strFile, const CLayer& mainLayer);

    // Copies are deep: a copy's cells are its own.
    CLayer(const CLayer&) = default;
    CLayer& operator=(const CLayer&) = default;
    CLayer(CLayer&&) = default;
    CLayer& operator=(CLayer&&) = default;

    int GetNumCells() const { return static_cast<int>(m_vecValues.size()); }
    int GetCellCount() const { return GetNumCells(); }
    // 2 for a raster or grid layer, 1 for a vector layer, 0 when empty.
    int GetNumDimensions() const { return m_nNumDimensions; }
    // Raster or grid: [columns, rows]; vector: one entry, 0.
    const std::vector<int>& GetDimensions() const { return m_vecDimensions; }

    double GetMinX() const { return m_dMinX; }
    double GetMaxX() const { return m_dMaxX; }
    double GetMinY() const { return m_dMinY; }
    double GetMaxY() const { return m_dMaxY; }
    double GetResolution() const { return m_dResolution; }
    double GetMinValue() const { return m_dMinValue; }
    double GetMaxValue() const { return m_dMaxValue; }
    // "idrisi_raster", "idrisi_vectorial" or empty.
    const std::string& GetType() const { return m_strType; }
    bool IsRaster() const { return m_strType == "idrisi_raster"; }
    bool IsVector() const { return m_strType == "idrisi_vectorial"; }

    // Index of the cell holding the map point (x, y), for
    // min. X <= x < max. X and min. Y <= y < max. Y. Every other point, and
    // every point of a layer without a two-dimensional grid or whose grid
    // has no finite, non-empty extent, gives -1.
    int GetCellIndex(double dX, double dY) const;
    // The cell's value; -1.0 when nIndex < 0 or nIndex >= the cell count.
    double GetCellValue(int nIndex) const;
    // Sets the cell's value; false (nothing written) outside the cells.
    bool SetCellValue(int nIndex, double dValue);
    // The cell (a value cell, or a point of a vector layer with its value),
    // or none outside the cells.
    std::optional<CCell> GetCell(int nIndex) const;

    // Gives target this layer's resolution, bounds, type, dimensions and a
    // fresh value cell of 0.0 for each of this layer's cells. The target's
    // value range is left as it was.
    void CopyGrid(CLayer& target) const;

private:
    void LoadRaster(const std::string& strPath);
    void LoadVector(const std::string& strPath);
    void LoadVectorOnGrid(const std::string& strPath, const CLayer& mainLayer);
    // Reads "min. X", "max. X", "min. Y", "max. Y" and "resolution" and,
    // when bAll is set, "columns", "rows", "min. value" and "max. value".
    void ReadHeader(const std::vector<std::string>& vecLines, bool bAll);
    bool HasGridExtent() const;

    int m_nNumDimensions = 0;
    std::vector<int> m_vecDimensions;
    // One value per cell; for a vector layer, each point's coordinates too.
    std::vector<double> m_vecValues;
    std::vector<std::pair<double, double>> m_vecPoints;
    double m_dMinX = 0.0;
    double m_dMaxX = 0.0;
    double m_dMinY = 0.0;
    double m_dMaxY = 0.0;
    double m_dResolution = 0.0;
    double m_dMinValue = 0.0;
    double m_dMaxValue = 0.0;
    std::string m_strType;
};
