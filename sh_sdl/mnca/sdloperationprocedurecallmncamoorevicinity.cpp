#include "sh_sdl/mnca/sdloperationprocedurecallmncamoorevicinity.h"

#include <climits>
#include <cmath>
#include <cstdint>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"

namespace {

constexpr int kNeighbours = 8;
constexpr int kFirstResult = 3;  // PARAM_3 to PARAM_10

}  // namespace

CSDLOperation* CSDLOperationProcedureCallmncaMooreVicinity::Execute() {
    CSDLmnca* pMnca = RequireMncaBlock(*this);
    if (!pMnca) {
        for (int k = 0; k < kNeighbours; ++k) {
            AssignBuiltInArgument(*this, kFirstResult + k, FormatCellValue(0.0), "double");
        }
        return m_pNext;
    }
    const std::string strLayer = GetBuiltInArgumentText(*this, 1, "char*");
    // The centre is taken as given, even outside the grid: only each
    // neighbour's id is checked, by the layer's cell lookup.
    const int nCell = StringToInt(GetBuiltInArgumentText(*this, 2, "int"));
    const int64_t nWidth = pMnca->GetDimensionSize(1);
    const int64_t arrOffsets[kNeighbours] = {-nWidth - 1, -nWidth,    -nWidth + 1, -1,
                                             1,           nWidth - 1, nWidth,      nWidth + 1};
    for (int k = 0; k < kNeighbours; ++k) {
        const int64_t nNeighbour = nCell + arrOffsets[k];
        // An id beyond the int range is no cell of any layer.
        const int nId =
            (nNeighbour < INT_MIN || nNeighbour > INT_MAX) ? -1 : static_cast<int>(nNeighbour);
        int nStatus = MNCA_CELL_OK;
        const double dValue = pMnca->GetCellValue(strLayer, nId, nStatus);
        if (!std::isfinite(dValue)) {
            ReportNonFiniteCell(*this, strLayer, nId, dValue);
            continue;
        }
        AssignBuiltInArgument(*this, kFirstResult + k, FormatCellValue(dValue), "double");
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallmncaMooreVicinity::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallmncaMooreVicinity>();
    CopyParametersTo(pClone.get());
    return pClone;
}
