#include "sh_sdl/mnca/sdloperationprocedurecallmncagetneighborid.h"

#include <cstdint>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"

CSDLOperation* CSDLOperationProcedureCallmncaGetNeighborID::Execute() {
    CSDLmnca* pMnca = RequireMncaBlock(*this);
    int nResult = -1;
    if (pMnca) {
        const int nDirection = StringToInt(GetBuiltInArgumentText(*this, 1, "int"));
        const int nCell = pMnca->GetCurrentCell();
        const int nCount = pMnca->GetNumCells();
        if (CheckBuiltInCell(*this, nCell, nCount)) {
            const int64_t nWidth = pMnca->GetDimensionSize(1);
            // Directions 1 to 8, clockwise from north-west.
            const int64_t arrOffsets[8] = {-nWidth - 1, -nWidth, -nWidth + 1, 1,
                                           nWidth + 1,  nWidth,  nWidth - 1,  -1};
            if (nDirection >= 1 && nDirection <= 8) {
                const int64_t nNeighbour = nCell + arrOffsets[nDirection - 1];
                if (nNeighbour >= 0 && nNeighbour < nCount) {
                    nResult = static_cast<int>(nNeighbour);
                }
            }
        }
    }
    AssignBuiltInArgument(*this, 2, IntToString(nResult), "int");
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallmncaGetNeighborID::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallmncaGetNeighborID>();
    CopyParametersTo(pClone.get());
    return pClone;
}
