#pragma once

#include <vector>

#include "sh_sdl/sdlblock.h"

// A cellular-automaton block: its processes stand for every cell of a 2-D
// grid at once, and each event names the cell it is for. Cell ids are
// row * W + column, rows counted from the top.
class CSDLmnca : public CSDLBlock {
public:
    CSDLmnca() { SetMnca(true); }

    void SetNumDimensions(int n) { m_nNumDimensions = n; }
    int GetNumDimensions() const { return m_nNumDimensions; }
    void SetNumCells(int n) { m_nNumCells = n; }
    int GetNumCells() const { return m_nNumCells; }
    void SetDimensions(const std::vector<int>& vecSizes) { m_vecDimensions = vecSizes; }
    // Size of dimension n, 1-based (1 = columns); 0 when there is none.
    int GetDimensionSize(int n) const {
        return (n >= 1 && n <= static_cast<int>(m_vecDimensions.size())) ? m_vecDimensions[n - 1]
                                                                         : 0;
    }
    int GetCurrentCell() const { return m_nCurrentCell; }
    void SetCurrentCell(int n) { m_nCurrentCell = n; }
    bool UsesTwoBuffers() const { return m_bTwoBuffers; }
    void SetTwoBuffers(bool b) { m_bTwoBuffers = b; }
    // True when nCell is a valid cell id of this grid.
    bool IsValidCell(int nCell) const { return nCell >= 0 && nCell < m_nNumCells; }

private:
    int m_nNumCells = 0;
    int m_nNumDimensions = 0;
    int m_nCurrentCell = 0;
    std::vector<int> m_vecDimensions;
    bool m_bTwoBuffers = false;
};
