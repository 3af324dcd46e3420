#pragma once

#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdloperation.h"

// Runs the task's code in the model library.
class CSDLOperationTask : public CSDLOperation {
public:
    CSDLOperationTask() : CSDLOperation("Task") {}
    CSDLOperation* Execute() override;

    std::string m_strCode;

protected:
    // The library's function for the task, its key the library key at the
    // first execution (what it is made of does not change once an operation
    // runs).
    CModelEntry m_entry;

    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
