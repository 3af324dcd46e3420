#include "sh_sdl/sdloperationsetstate.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationSetState::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner) {
        return nullptr;
    }
    bool bChanged = false;
    CSDLmnca* pMnca = pOwner->GetMncaBlock();
    if (!pMnca) {
        bChanged = pOwner->m_strCurrentState != m_strState;
        pOwner->m_strCurrentState = m_strState;
    } else if (pOwner->m_pCurrentEvent) {
        const int nCell = pOwner->m_pCurrentEvent->m_nCell;
        const bool bTwoBuffers = pMnca->UsesTwoBuffers();
        std::vector<std::string>& vecTarget =
            bTwoBuffers ? pOwner->m_vecNextCellStates : pOwner->m_vecCellStates;
        if (nCell < 0 || nCell >= static_cast<int>(pOwner->m_vecCellStates.size()) ||
            nCell >= static_cast<int>(vecTarget.size())) {
            pOwner->ReportError(Format("Cell %d is outside the automaton's %d cells.", nCell,
                                       static_cast<int>(pOwner->m_vecCellStates.size())),
                                SDL_ERROR);
        } else {
            const auto nIndex = static_cast<size_t>(nCell);
            bChanged = pOwner->m_vecCellStates[nIndex] != m_strState;
            vecTarget[nIndex] = m_strState;
        }
    } else {
        for (std::string& strState : pOwner->m_vecCellStates) {
            strState = m_strState;
        }
        bChanged = true;
    }

    // Keep the value texts in step with the library.
    for (auto& [strName, pVariable] : pOwner->m_mapVariables) {
        if (pVariable->HasType("int")) {
            pVariable->m_strValue = IntToString(pOwner->GetIntVariable(strName));
        } else if (pVariable->HasType("double")) {
            pVariable->m_strValue = Format("%f", pOwner->GetDoubleVariable(strName));
        } else if (pVariable->HasType("char*")) {
            pVariable->m_strValue = pOwner->GetStringVariable(strName);
        }
    }

    if (CSDLEngine* pEngine = GetEngine()) {
        if (pEngine->IsExecutionTraceOn()) {
            pEngine->WriteTrace(this, pOwner->m_bTraceSetState, std::string());
        }
        if (pEngine->IsRepresentationTraceOn() && bChanged) {
            pEngine->WriteEyeTrace(this, pOwner->m_bAnimSetState, std::string());
        }
    }
    pOwner->m_pCurrentEvent.reset();
    EmitDebugMessages();
    return nullptr;
}

std::unique_ptr<CSDLOperation> CSDLOperationSetState::MakeClone() const {
    return std::make_unique<CSDLOperationSetState>(m_strState);
}
