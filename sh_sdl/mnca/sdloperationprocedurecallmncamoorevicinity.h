#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Reads the eight neighbours of a cell of a layer in row-major order into
// PARAM_3 to PARAM_10: PARAM_1 layer, PARAM_2 cell. Neighbour ids are taken
// as computed: outside the layer they give -1, and across the west and east
// edges they are the cells of the next or previous row.
class CSDLOperationProcedureCallmncaMooreVicinity : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
