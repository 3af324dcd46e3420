#include "sh_sdl/eye/sdloperationprocedurecallnumneighborsalive.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationProcedureCallNumNeighborsAlive::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner) {
        return m_pNext;
    }
    int nAlive = 0;
    if (const CSDLmnca* pMnca = RequireMncaBlock(*this)) {
        const std::vector<std::string>& vecStates = pOwner->m_vecCellStates;
        const auto nStates = static_cast<int64_t>(vecStates.size());
        if (!pOwner->m_pCurrentEvent) {
            ReportBuiltInError(*this, "The procedure " + m_strName +
                                          " needs the event of a cell to count its neighbours.");
        } else if (const int nCell = pOwner->m_pCurrentEvent->m_nCell;
                   CheckBuiltInCell(*this, nCell, static_cast<int>(vecStates.size()))) {
            const int64_t nWidth = pMnca->GetDimensionSize(1);
            const int64_t arrOffsets[8] = {-nWidth - 1, -nWidth,    -nWidth + 1, -1,
                                           1,           nWidth - 1, nWidth,      nWidth + 1};
            for (const int64_t nOffset : arrOffsets) {
                const int64_t nNeighbour = nCell + nOffset;
                if (nNeighbour >= 0 && nNeighbour < nStates &&
                    vecStates[static_cast<size_t>(nNeighbour)] == "ALIVE") {
                    ++nAlive;
                }
            }
        }
    }
    const std::string strText = IntToString(nAlive);
    AssignToEveryArgument(*this, strText);
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallNumNeighborsAlive::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallNumNeighborsAlive>();
    CopyParametersTo(pClone.get());
    return pClone;
}
