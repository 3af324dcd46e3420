#pragma once

#include "sh_sdl/sdloperation.h"

// Opens the start transition.
class CSDLOperationStart : public CSDLOperation {
public:
    CSDLOperationStart() : CSDLOperation("Start") {}
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
