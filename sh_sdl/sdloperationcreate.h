#pragma once

#include "sh_sdl/sdloperation.h"

// Makes new instances of a process or a block while the model runs.
class CSDLOperationCreate : public CSDLOperation {
public:
    CSDLOperationCreate() : CSDLOperation("Create") {}
    CSDLOperation* Execute() override;

    std::string m_strTarget;
    int m_nQuantity = 1;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
