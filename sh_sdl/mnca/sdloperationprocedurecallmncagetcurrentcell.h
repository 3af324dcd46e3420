#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Hands the automaton's current cell to every argument of the call.
class CSDLOperationProcedureCallmncaGetCurrentCell : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
