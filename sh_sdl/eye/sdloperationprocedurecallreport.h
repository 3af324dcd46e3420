#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Publishes the value of each argument (PARAM_1, PARAM_2, ... up to the first
// missing one) to the viewer, one EYE_Report record each.
class CSDLOperationProcedureCallReport : public CSDLOperationProcedureCall {
public:
    CSDLOperationProcedureCallReport() : CSDLOperationProcedureCall("procedurecallreport") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
