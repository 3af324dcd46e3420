#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcurrentcell.h"

#include <utility>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"

CSDLOperation* CSDLOperationProcedureCallmncaGetCurrentCell::Execute() {
    const CSDLmnca* pMnca = RequireMncaBlock(*this);
    const std::string strText = IntToString(pMnca ? pMnca->GetCurrentCell() : 0);
    AssignToEveryArgument(*this, strText);
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallmncaGetCurrentCell::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallmncaGetCurrentCell>();
    CopyParametersTo(pClone.get());
    return pClone;
}
