#pragma once

#include "sh_sdl/sdloperation.h"

// Opens the transition chosen for the process's current event and takes the
// event's data into the process.
class CSDLOperationInput : public CSDLOperation {
public:
    CSDLOperationInput() : CSDLOperation("Input") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
