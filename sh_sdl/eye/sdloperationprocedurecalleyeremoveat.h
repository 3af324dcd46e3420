#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Removes an agent (PARAM_1) from the viewer.
class CSDLOperationProcedureCallEyeRemoveAt : public CSDLOperationProcedureCall {
public:
    CSDLOperationProcedureCallEyeRemoveAt() : CSDLOperationProcedureCall("procedurecallreport") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
