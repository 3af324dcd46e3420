#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// The id of the current cell's neighbour in a direction (PARAM_1, 1 to 8
// clockwise from north-west) into PARAM_2; -1 when there is none.
class CSDLOperationProcedureCallmncaGetNeighborID : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
