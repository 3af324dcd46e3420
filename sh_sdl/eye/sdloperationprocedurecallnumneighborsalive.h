#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Counts the neighbours of the current event's cell whose state is "ALIVE"
// and hands the count to every argument of the call.
class CSDLOperationProcedureCallNumNeighborsAlive : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
