#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Resumes the viewer's agents last - count + 1 to last (PARAM_1 count,
// PARAM_2 last), one EYE_ResumeAt record each.
class CSDLOperationProcedureCallEyeResumeAt : public CSDLOperationProcedureCall {
public:
    CSDLOperationProcedureCallEyeResumeAt() : CSDLOperationProcedureCall("procedurecallreport") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
