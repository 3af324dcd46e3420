#include "sh_sdl/sdloperationtask.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationTask::Execute() {
    if (m_entry.m_strKey.empty()) {
        m_entry = CModelEntry(GetLibraryKey());
    }
    const std::string& strKey = m_entry.m_strKey;
    CSDLEngine* pEngine = GetEngine();
    CModelLibrary* pLibrary = pEngine ? pEngine->GetModelLibrary() : nullptr;
    int nIgnored = 0;
    const ModelCallResult eResult = pLibrary ? pLibrary->CallTask(m_entry, nIgnored) : MC_MISSING;
    if (eResult == MC_FAULT) {
        // A fault in the task's code: tell the user and go on with the chain.
        ShowDebugMessage("Error", "0");
        return m_pNext;
    }
    if (eResult == MC_MISSING && m_pOwner) {
        m_pOwner->ReportError(Format("No model library runs task %s.", strKey.c_str()), SDL_ERROR);
    }
    EmitDebugMessages();
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationTask::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationTask>();
    pClone->m_strCode = m_strCode;
    pClone->m_mapDebugMessages = m_mapDebugMessages;
    pClone->m_strPrintVariable = m_strPrintVariable;
    pClone->m_strPrintMessage = m_strPrintMessage;
    return pClone;
}
