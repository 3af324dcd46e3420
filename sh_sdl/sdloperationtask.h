#pragma once

#include "sh_sdl/sdloperation.h"

// Runs the task's code in the model library.
class CSDLOperationTask : public CSDLOperation {
public:
    CSDLOperationTask() : CSDLOperation("Task") {}
    CSDLOperation* Execute() override;

    std::string m_strCode;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
