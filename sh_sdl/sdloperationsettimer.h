#pragma once

#include "sh_sdl/sdloperation.h"

// A pass-through step: timers are outputs to self with a delay.
class CSDLOperationSetTimer : public CSDLOperation {
public:
    CSDLOperationSetTimer() : CSDLOperation("SetTimer") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
