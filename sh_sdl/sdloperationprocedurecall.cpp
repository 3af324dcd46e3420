#include "sh_sdl/sdloperationprocedurecall.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

bool CSDLOperationProcedureCall::IsLiteral(const std::string& strText) {
    // A number with an exponent ("1e3") is no name either.
    return IsWrittenAsNumber(strText) || IsQuoted(strText);
}

bool CSDLOperationProcedureCall::IsLiteralActual(const std::string& strValue) const {
    CResolved source;
    return !Resolve(strValue, RS_ENCLOSING | RS_PROCESS, source) && IsLiteral(strValue);
}

CSDLProcedure* CSDLOperationProcedureCall::GetCalledProcedure() const {
    return m_pOwner ? m_pOwner->GetProcedure(m_strName) : nullptr;
}

bool CSDLOperationProcedureCall::Resolve(const std::string& strName, int nScope,
                                         CResolved& out) const {
    if (nScope & RS_CALLED) {
        if (CSDLProcedure* pCalled = GetCalledProcedure()) {
            if (CSDLParameter* pFormal = FindIn(pCalled->m_mapFormals, strName)) {
                out = {pFormal,
                       CSDLEngine::FormatQualifiedName(strName, pCalled->GetInstanceName()), false};
                return true;
            }
        }
    }
    if ((nScope & RS_ENCLOSING) && m_pProcedure) {
        if (CSDLParameter* pFormal = FindIn(m_pProcedure->m_mapFormals, strName)) {
            out = {pFormal,
                   CSDLEngine::FormatQualifiedName(strName, m_pProcedure->GetInstanceName()),
                   false};
            return true;
        }
    }
    if ((nScope & RS_PROCESS) && m_pOwner) {
        if (CSDLParameter* pVariable = m_pOwner->GetVariable(strName)) {
            out = {pVariable, m_pOwner->GetVariableIdentifier(strName), true};
            return true;
        }
    }
    return false;
}

void CSDLOperationProcedureCall::ShowBox(const std::string& strText) const {
    CSDLEngine* pEngine = GetEngine();
    CNotifier& notifier = pEngine ? pEngine->GetNotifier() : GetNotifier();
    notifier.MessageBox("VELKO", strText, NB_OK, NI_ERROR);
}

std::string CSDLOperationProcedureCall::ReadText(const CResolved& source) {
    CSDLEngine* pEngine = GetEngine();
    CModelLibrary* pLibrary = pEngine ? pEngine->GetModelLibrary() : nullptr;
    const std::string strType = Trim(source.pRecord->m_strType);
    if (!pLibrary) {
        return source.pRecord->m_strValue;
    }
    ModelCallResult eResult = MC_OK;
    std::string strText;
    if (strType == "int") {
        int nValue = 0;
        eResult = pLibrary->GetInt(source.strIdent, nValue);
        strText = IntToString(nValue);
    } else if (strType == "double") {
        double dValue = 0.0;
        eResult = pLibrary->GetDouble(source.strIdent, dValue);
        strText = DoubleToString(dValue);
    } else if (strType == "char*") {
        eResult = pLibrary->GetString(source.strIdent, strText);
        strText = StripQuotes(strText);
    }
    if (eResult != MC_OK && m_pOwner) {
        m_pOwner->ReportError(
            Format("The model library cannot give Get%s.", source.strIdent.c_str()), SDL_ERROR);
    }
    return strText;
}

void CSDLOperationProcedureCall::WriteValue(const CResolved& target, const std::string& strLiteral,
                                            const CResolved* pSource) {
    CSDLEngine* pEngine = GetEngine();
    CModelLibrary* pLibrary = pEngine ? pEngine->GetModelLibrary() : nullptr;
    const std::string strTargetType = Trim(target.pRecord->m_strType);
    const std::string strSourceType = pSource ? Trim(pSource->pRecord->m_strType) : std::string();
    if (strTargetType != "int" && strTargetType != "double" && strTargetType != "char*") {
        return;
    }
    const std::string strCastError =
        "Error en fer el casting de la variable" + target.pRecord->m_strName;
    if (!pLibrary) {
        return;
    }

    // Read the source by its own declared type.
    int nSource = 0;
    double dSource = 0.0;
    std::string strSource;
    ModelCallResult eRead = MC_OK;
    if (pSource) {
        if (strSourceType == "int") {
            eRead = pLibrary->GetInt(pSource->strIdent, nSource);
        } else if (strSourceType == "double") {
            eRead = pLibrary->GetDouble(pSource->strIdent, dSource);
        } else if (strSourceType == "char*") {
            eRead = pLibrary->GetString(pSource->strIdent, strSource);
        } else {
            ShowBox(strCastError);
            return;
        }
    }
    if (eRead != MC_OK) {
        m_pOwner->ReportError(
            Format("The model library cannot give Get%s.", pSource->strIdent.c_str()), SDL_ERROR);
        return;
    }

    ModelCallResult eWrite = MC_OK;
    std::string strNewText;
    if (strTargetType == "double") {
        double dValue = 0.0;
        if (!pSource) {
            dValue = StringToDouble(strLiteral);
        } else if (strSourceType == "double") {
            dValue = dSource;
        } else if (strSourceType == "int") {
            dValue = static_cast<double>(nSource);
        } else {
            ShowBox(strCastError);
            return;
        }
        eWrite = pLibrary->SetDouble(target.strIdent, dValue);
        strNewText = DoubleToString(dValue);
        target.pRecord->m_dExact = dValue;
        target.pRecord->m_bHasExact = true;
    } else if (strTargetType == "int") {
        int nValue = 0;
        if (!pSource) {
            nValue = StringToInt(strLiteral);
        } else if (strSourceType == "double") {
            nValue = static_cast<int>(dSource);
        } else if (strSourceType == "int") {
            nValue = nSource;
        } else {
            ShowBox(strCastError);
            return;
        }
        eWrite = pLibrary->SetInt(target.strIdent, nValue);
        strNewText = IntToString(nValue);
    } else {
        if (!pSource) {
            strNewText = StripQuotes(strLiteral);
        } else if (strSourceType == "char*") {
            strNewText = strSource;
        } else {
            ShowBox(strCastError);
            return;
        }
        eWrite = pLibrary->SetString(target.strIdent, strNewText);
    }
    if (eWrite != MC_OK) {
        m_pOwner->ReportError(
            Format("The model library cannot take Set%s.", target.strIdent.c_str()), SDL_ERROR);
        return;
    }
    // A process variable's text follows its library value, so that the next
    // input (which writes the texts back) keeps what the call wrote.
    if (target.bProcessVariable) {
        target.pRecord->m_strValue = strNewText;
    }
}

void CSDLOperationProcedureCall::AssignValue(const std::string& strTarget,
                                             const std::string& strText,
                                             const std::string& /*strType*/) {
    CResolved target;
    if (!Resolve(strTarget, RS_ALL, target)) {
        ShowBox("La variable " + strTarget + " no existeix...");
        return;
    }
    // A declared name is a variable whatever it looks like ("_2" has no
    // letter); only what names none and reads as a number is a literal.
    CResolved source;
    if (Resolve(strText, RS_ALL, source)) {
        WriteValue(target, std::string(), &source);
    } else if (IsLiteral(strText)) {
        WriteValue(target, strText, nullptr);
    } else {
        ShowBox("La variable " + strText + " no existeix...");
    }
}

void CSDLOperationProcedureCall::CopyBackValue(const std::string& strVariable,
                                               const std::string& strText,
                                               const std::string& /*strType*/) {
    // The caller's variable: a formal of the procedure this call stands in,
    // else a variable of the process.
    CResolved target;
    if (!Resolve(strVariable, RS_ENCLOSING | RS_PROCESS, target)) {
        ShowBox("La variable " + strVariable + " no existeix en el Process...");
        return;
    }
    CResolved source;
    if (Resolve(strText, RS_CALLED | RS_ENCLOSING, source)) {
        WriteValue(target, std::string(), &source);
    } else if (IsLiteral(strText)) {
        WriteValue(target, strText, nullptr);
    } else {
        ShowBox("La variable " + strText + " no existeix al procedure...");
    }
}

std::string CSDLOperationProcedureCall::GetParameterText(const std::string& strName,
                                                         const std::string& strType) {
    CResolved resolved;
    if (!Resolve(strName, RS_ALL, resolved)) {
        return strType == "char*" ? StripQuotes(strName) : strName;
    }
    return ReadText(resolved);
}

std::string CSDLOperationProcedureCall::GetActualText(const CSDLParameter& actual) {
    CResolved source;
    if (!Resolve(actual.m_strValue, RS_ENCLOSING | RS_PROCESS, source)) {
        return actual.m_strValue;  // a literal, or a name of nothing
    }
    return ReadText(source);
}

void CSDLOperationProcedureCall::CopyParametersTo(CSDLOperationProcedureCall* pTarget) const {
    for (const auto& [strKey, pParam] : m_mapParameters) {
        pTarget->m_mapParameters[strKey] = std::make_unique<CSDLParameter>(
            pParam->m_strType, pParam->m_strName, pParam->m_strValue, pParam->m_strByReference);
    }
}

CSDLOperation* CSDLOperationProcedureCall::Execute() {
    CSDLProcedure* pCalled = GetCalledProcedure();
    if (!pCalled) {
        return m_pNext;
    }
    // Bind in: a literal goes as it is; a name is read in the caller's
    // context (the enclosing procedure's formals, then the process).
    for (const auto& [strFormal, pActual] : m_mapParameters) {
        CResolved target;
        if (!Resolve(strFormal, RS_CALLED, target)) {
            ShowBox("La variable " + strFormal + " no existeix...");
            continue;
        }
        const std::string& strActual = pActual->m_strValue;
        CResolved source;
        if (Resolve(strActual, RS_ENCLOSING | RS_PROCESS, source)) {
            WriteValue(target, std::string(), &source);
        } else if (IsLiteral(strActual)) {
            WriteValue(target, strActual, nullptr);
        } else {
            ShowBox("La variable " + strActual + " no existeix...");
        }
    }

    for (CSDLOperation* pOperation = pCalled->m_pBody; pOperation;) {
        pOperation = pOperation->Execute();
    }

    // Copy back the by-reference formals whose actual is a variable.
    for (const auto& [strFormal, pFormal] : pCalled->m_mapFormals) {
        if (pFormal->m_strByReference != "yes") {
            continue;
        }
        const CSDLParameter* pActual = FindIn(m_mapParameters, strFormal);
        if (!pActual) {
            continue;
        }
        CResolved source;
        CResolved target;
        if (!Resolve(strFormal, RS_CALLED, source)) {
            continue;
        }
        if (!Resolve(pActual->m_strValue, RS_ENCLOSING | RS_PROCESS, target)) {
            if (!IsLiteral(pActual->m_strValue)) {
                ShowBox("La variable " + pActual->m_strValue + " no existeix en el Process...");
            }
            continue;
        }
        WriteValue(target, std::string(), &source);
    }

    if (CSDLEngine* pEngine = GetEngine(); pEngine && pEngine->IsExecutionTraceOn()) {
        pEngine->WriteTrace(this, true, std::string());
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCall::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCall>(m_strType);
    CopyParametersTo(pClone.get());
    return pClone;
}
