#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Stops the viewer's agents last - count + 1 to last (PARAM_1 count, PARAM_2
// last), one EYE_StopAt record each.
class CSDLOperationProcedureCallEyeStopAt : public CSDLOperationProcedureCall {
public:
    CSDLOperationProcedureCallEyeStopAt() : CSDLOperationProcedureCall("procedurecallreport") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
