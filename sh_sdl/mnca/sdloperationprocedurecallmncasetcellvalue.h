#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Writes one cell of a layer: PARAM_1 layer, PARAM_2 cell, PARAM_3 value
// (narrowed to single precision).
class CSDLOperationProcedureCallmncaSetCellValue : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
