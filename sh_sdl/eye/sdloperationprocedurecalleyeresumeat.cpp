#include "sh_sdl/eye/sdloperationprocedurecalleyeresumeat.h"

#include "sh_sdl/mnca/sdlbuiltincall.h"

CSDLOperation* CSDLOperationProcedureCallEyeResumeAt::Execute() {
    WriteAgentRangeRecords(*this, "\t\t<EYE_ResumeAt xTime='%f' agent='%.6f' />\n");
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallEyeResumeAt::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallEyeResumeAt>();
    CopyParametersTo(pClone.get());
    return pClone;
}
