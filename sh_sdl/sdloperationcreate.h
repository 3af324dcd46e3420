#pragma once

#include "sh_sdl/sdloperation.h"

class CSDLBlock;
class CSDLProcess;

// Makes new instances of a process or a block while the model runs.
class CSDLOperationCreate : public CSDLOperation {
public:
    CSDLOperationCreate() : CSDLOperation("Create") {}
    CSDLOperation* Execute() override;

    std::string m_strTarget;
    int m_nQuantity = 1;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;

private:
    // Make one instance of the template and enter it in the tree (the
    // caller holds the tree lock); null when it has no place in the tree.
    CSDLProcess* AddProcessInstance(CSDLProcess* pTemplate);
    CSDLBlock* AddBlockInstance(CSDLBlock* pTemplate);
};
