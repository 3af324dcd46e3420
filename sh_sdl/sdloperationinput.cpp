#include "sh_sdl/sdloperationinput.h"

#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationInput::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner || !pOwner->m_pCurrentEvent) {
        return m_pNext;
    }
    const CSDLEvent& event = *pOwner->m_pCurrentEvent;
    pOwner->m_dClock = event.m_dExecutionTime;
    if (CSDLmnca* pMnca = pOwner->GetMncaBlock()) {
        pMnca->SetCurrentCell(event.m_nCell);
    }
    // The library may have been changed by other instances of this process:
    // write this process's values back before its transition runs.
    for (const auto& [strName, pVariable] : pOwner->m_mapVariables) {
        pOwner->RestoreVariable(strName);
    }
    for (const auto& [strKey, pParam] : event.m_mapUserParams) {
        pOwner->SetVariable(pParam->m_strName, pParam->m_strValue);
    }
    if (CSDLEngine* pEngine = GetEngine(); pEngine && pEngine->IsExecutionTraceOn()) {
        pEngine->WriteTrace(this, pOwner->m_bTraceInput, std::string());
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationInput::MakeClone() const {
    return std::make_unique<CSDLOperationInput>();
}
