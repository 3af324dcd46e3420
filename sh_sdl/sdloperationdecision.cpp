#include "sh_sdl/sdloperationdecision.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationDecision::Execute() {
    if (m_strFunctionName.empty()) {
        m_strFunctionName = GetLibraryKey();
    }
    if (m_entry.m_strKey != m_strFunctionName) {
        m_entry = CModelEntry(m_strFunctionName);
    }
    CSDLEngine* pEngine = GetEngine();
    CModelLibrary* pLibrary = pEngine ? pEngine->GetModelLibrary() : nullptr;
    int nNext = 0;
    const ModelCallResult eResult = pLibrary ? pLibrary->CallDecision(m_entry, nNext) : MC_MISSING;
    if (eResult != MC_OK) {
        if (m_pOwner) {
            m_pOwner->ReportError(
                Format(eResult == MC_FAULT ? "The condition of decision %s failed."
                                           : "No model library answers decision %s.",
                       m_strFunctionName.c_str()),
                SDL_ERROR);
        }
        return nullptr;
    }
    CSDLOperation* pFound = FindOperation(m_strStateName, nNext);
    if (!pFound) {
        return nullptr;
    }
    if (pFound == this) {
        pEngine->SetErrorPending();
        const std::string strText = GetCodeID() + " redirects to itself.";
        if (CSDLAgent* pRoot = pEngine->GetRootAgent()) {
            pRoot->ReportError(strText, SDL_ERROR);
        }
        return nullptr;
    }
    return pFound;
}

std::unique_ptr<CSDLOperation> CSDLOperationDecision::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationDecision>();
    pClone->m_strCondition = m_strCondition;
    pClone->m_nIfTrue = m_nIfTrue;
    pClone->m_nIfFalse = m_nIfFalse;
    pClone->m_strFunctionName = m_strFunctionName.empty() ? GetLibraryKey() : m_strFunctionName;
    return pClone;
}
