#include "sh_sdl/sdloperation.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLEngine* CSDLOperation::GetEngine() const {
    return m_pOwner ? m_pOwner->m_pEngine : nullptr;
}

std::string CSDLOperation::GetLibraryKey() const {
    return m_strTemplateKey.empty() ? GetCodeID() : m_strTemplateKey;
}

void CSDLOperation::CopyTo(CSDLOperation* pClone, CSDLProcess* pOwner,
                           CSDLProcedure* pProcedure) const {
    pClone->m_nId = m_nId;
    pClone->m_strName = m_strName;
    pClone->m_strStateName = m_strStateName;
    pClone->m_strType = m_strType;
    pClone->m_pOwner = pOwner;
    pClone->m_pProcedure = pProcedure;
    pClone->m_pNext = nullptr;
}

CSDLOperation* CSDLOperation::Clone(CSDLProcess* pOwner, CSDLProcedure* pProcedure) const {
    CSDLOperation* pFirst = nullptr;
    CSDLOperation* pLast = nullptr;
    // Iterative, so that long transitions do not deepen the stack.
    for (const CSDLOperation* pSource = this; pSource; pSource = pSource->m_pNext) {
        std::unique_ptr<CSDLOperation> pNew = pSource->MakeClone();
        pSource->CopyTo(pNew.get(), pOwner, pProcedure);
        pNew->m_strTemplateKey = pSource->GetLibraryKey();
        CSDLOperation* pClone = pOwner->AddOperation(std::move(pNew));
        if (CSDLEngine* pEngine = pOwner->m_pEngine) {
            pEngine->m_mapOperations[pClone->GetCodeID()] = pClone;
        }
        if (pLast) {
            pLast->m_pNext = pClone;
        } else {
            pFirst = pClone;
        }
        pLast = pClone;
    }
    return pFirst;
}

std::string CSDLOperation::GetCodeID() const {
    std::string strId = Format("%s_%d", m_strStateName.c_str(), m_nId);
    const int nIndex = m_pOwner ? m_pOwner->m_nInstanceIndex : 0;
    if (m_pProcedure) {
        strId = Format("%d_%d_", nIndex, m_pProcedure->m_nId) + strId;
    } else {
        strId = Format("%d_", nIndex) + strId;
    }
    for (const CSDLAgent* pAgent = m_pOwner ? m_pOwner->m_pParent : nullptr; pAgent;
         pAgent = pAgent->m_pParent) {
        strId = Format("%d_", pAgent->m_nId) + strId;
    }
    return strId;
}

const std::string& CSDLOperation::GetRunCodeID() {
    if (m_strRunCodeId.empty()) {
        m_strRunCodeId = GetCodeID();
    }
    return m_strRunCodeId;
}

CSDLOperation* CSDLOperation::FindOperation(const std::string& strStateName, int nId) const {
    CSDLOperation* pOperation = nullptr;
    if (m_pProcedure) {
        pOperation = m_pProcedure->m_pBody;
    } else if (m_pOwner) {
        pOperation = m_pOwner->GetStateOperation(strStateName);
    }
    for (; pOperation; pOperation = pOperation->m_pNext) {
        if (pOperation->m_nId == nId) {
            return pOperation;
        }
    }
    if (m_pOwner) {
        m_pOwner->ReportError(Format("Looking for operation %d fails.", nId), SDL_ERROR);
    }
    return nullptr;
}

void CSDLOperation::EmitDebugMessages() const {
    for (const auto& [strVariable, strMessage] : m_mapDebugMessages) {
        ShowDebugMessage(strMessage, strVariable);
    }
    if (!m_strPrintVariable.empty()) {
        ShowDebugMessage(m_strPrintMessage, m_strPrintVariable);
    }
}

void CSDLOperation::ShowDebugMessage(const std::string& strMessage,
                                     const std::string& strVariable) const {
    std::string strText;
    CSDLParameter* pVariable = m_pOwner ? m_pOwner->GetVariable(strVariable) : nullptr;
    if (pVariable) {
        std::string strValue;
        if (pVariable->m_strType == "int") {
            strValue = Format("%d", m_pOwner->GetIntVariable(strVariable));
        } else if (pVariable->m_strType == "double") {
            strValue = Format("%f", m_pOwner->GetDoubleVariable(strVariable));
        } else if (pVariable->m_strType == "char*") {
            strValue = m_pOwner->GetStringVariable(strVariable);
        } else {
            strValue = strVariable;
        }
        strText =
            Format("<msg message=\"%s\" value=\"%s\"></msg>", strMessage.c_str(), strValue.c_str());
    } else {
        strText = Format("<msgerror variable=\"%s\"></msgerror>", m_strPrintVariable.c_str());
    }
    CSDLEngine* pEngine = GetEngine();
    CNotifier& notifier = pEngine ? pEngine->GetNotifier() : GetNotifier();
    notifier.MessageBox("VELKO", strText, NB_OK, NI_INFORMATION);
}

std::string CSDLOperation::ReadModelString(const std::string& strName) const {
    std::string strValue;
    CSDLEngine* pEngine = GetEngine();
    if (pEngine && pEngine->GetModelLibrary()) {
        pEngine->GetModelLibrary()->GetString(strName, strValue);
    }
    return strValue;
}

int CSDLOperation::ReadModelInt(const std::string& strName) const {
    int nValue = 0;
    CSDLEngine* pEngine = GetEngine();
    if (pEngine && pEngine->GetModelLibrary()) {
        pEngine->GetModelLibrary()->GetInt(strName, nValue);
    }
    return nValue;
}
