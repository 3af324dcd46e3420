#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Moves an agent's mesh to a point (".obj" meshes) or a cell's picture to a
// cell of the automaton grid: PARAM_1 agent, PARAM_2 mesh, PARAM_3 delay,
// PARAM_4 x or cell, PARAM_5 y.
class CSDLOperationProcedureCallEyeAnimTo : public CSDLOperationProcedureCall {
public:
    CSDLOperationProcedureCallEyeAnimTo() : CSDLOperationProcedureCall("procedurecallreport") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
