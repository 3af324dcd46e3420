#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Reads one cell of a layer: PARAM_1 layer, PARAM_2 cell, PARAM_3 receives the
// value (single precision).
class CSDLOperationProcedureCallmncaGetCellValue : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
