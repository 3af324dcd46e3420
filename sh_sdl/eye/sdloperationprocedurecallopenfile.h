#pragma once

#include "sh_sdl/sdloperationprocedurecall.h"

// Lets the user choose a file and stores its full path in the calling
// process's variable "Path"; a cancelled choice changes nothing.
class CSDLOperationProcedureCallOpenFile : public CSDLOperationProcedureCall {
public:
    CSDLOperation* Execute() override;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
