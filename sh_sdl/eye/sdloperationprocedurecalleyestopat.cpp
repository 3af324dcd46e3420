#include "sh_sdl/eye/sdloperationprocedurecalleyestopat.h"

#include "sh_sdl/mnca/sdlbuiltincall.h"

CSDLOperation* CSDLOperationProcedureCallEyeStopAt::Execute() {
    WriteAgentRangeRecords(*this, "\t\t<EYE_StopAt xTime='%f' agent='%4.6f' />\n");
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallEyeStopAt::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallEyeStopAt>();
    CopyParametersTo(pClone.get());
    return pClone;
}
