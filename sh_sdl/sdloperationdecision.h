#pragma once

#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdloperation.h"

// Asks the model library which operation follows, by the decision's key.
class CSDLOperationDecision : public CSDLOperation {
public:
    CSDLOperationDecision() : CSDLOperation("Decision") {}
    CSDLOperation* Execute() override;

    std::string m_strCondition;
    int m_nIfTrue = 0;
    int m_nIfFalse = 0;
    // Key of the library branch; filled with the code ID at first use.
    std::string m_strFunctionName;

protected:
    // The library's function for m_strFunctionName.
    CModelEntry m_entry;

    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
