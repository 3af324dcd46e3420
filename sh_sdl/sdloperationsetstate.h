#pragma once

#include "sh_sdl/sdloperation.h"

// Ends a transition by moving the process (or one cell, or every cell of an
// automaton) to the target state.
class CSDLOperationSetState : public CSDLOperation {
public:
    CSDLOperationSetState() : CSDLOperation("SetState") {}
    explicit CSDLOperationSetState(std::string strState)
        : CSDLOperation("SetState"), m_strState(std::move(strState)) {}
    CSDLOperation* Execute() override;

    std::string m_strState;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
