#include "sh_sdl/sdlprocess.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperationprocedurecall.h"

CSDLProcess::CSDLProcess() {
    m_pInternalChannel->m_pSourceProcess = this;
}

CSDLProcess::~CSDLProcess() = default;

// ---- Run ----------------------------------------------------------------------------

void CSDLProcess::Initialize() {
    // What an earlier run reported is no error of this one.
    m_strError.clear();
    m_bStop = false;
    InitCommon();
    RetakePendingSlot();
    if (m_pEngine && m_pEngine->GetIPMode() != 0 && m_pEngine->GetIPAddress() != m_strIP) {
        return;  // runs in another simulator instance
    }
    for (CSDLOperation* pOperation = m_pStartOperation; pOperation;) {
        pOperation = pOperation->Execute();
    }
}

std::string CSDLProcess::Step() {
    m_pCurrentEvent = GetNextEvent();
    if (!m_pCurrentEvent) {
        return {};
    }
    const CSDLEvent& event = *m_pCurrentEvent;
    CSDLmnca* pMnca = m_pParent ? m_pParent->GetMncaBlock() : nullptr;
    std::string strStateKey;
    if (pMnca) {
        if (event.m_nCell < 0) {
            std::string strText = ReportError("Forgot [mn_ca.sentto{cells}]", SDL_ERROR);
            if (m_pEngine && m_pEngine->IsExecutionTraceOn()) {
                // Closed and escaped, so that the trace stays readable XML.
                strText = Format("<system> %s. </system>\n", EscapeXmlText(strText).c_str());
                m_pEngine->WriteTrace(nullptr, true, strText);
            }
            m_pCurrentEvent.reset();
            return strText;
        }
        if (event.m_nCell >= static_cast<int>(m_vecCellStates.size())) {
            std::string strText =
                ReportError(Format("Cell %d is outside the automaton's %d cells.", event.m_nCell,
                                   static_cast<int>(m_vecCellStates.size())),
                            SDL_ERROR);
            m_pCurrentEvent.reset();
            return strText;
        }
        if (m_dLastEventTime < event.m_dExecutionTime) {
            if (pMnca->UsesTwoBuffers()) {
                CommitCellStates();
            }
            m_dLastEventTime = event.m_dExecutionTime;
        }
        strStateKey = m_vecCellStates[static_cast<size_t>(event.m_nCell)];
    } else {
        strStateKey = m_strCurrentState;
    }

    CSDLOperation* pFirst = GetStateOperation(strStateKey);
    if (!pFirst) {
        std::string strText = ReportError(
            Format("Operation not found for state %s", m_strCurrentState.c_str()), SDL_ERROR);
        m_pCurrentEvent.reset();
        return strText;
    }
    if (pFirst->m_strType != "input") {
        std::string strText =
            ReportError(Format("Operation type is %s, expected input for state %s.",
                               pFirst->m_strType.c_str(), m_strCurrentState.c_str()),
                        SDL_ERROR);
        m_pCurrentEvent.reset();
        return strText;
    }
    CSDLOperation* pChosen = nullptr;
    CSDLOperation* pFallback = nullptr;
    for (CSDLOperation* pOperation = pFirst; pOperation; pOperation = pOperation->m_pNext) {
        if (pOperation->m_strName == event.m_strName && pOperation->m_strType == "input") {
            pChosen = pOperation;
            break;
        }
        if (pOperation->m_strName == "*") {
            pFallback = pOperation;
        }
    }
    if (!pChosen) {
        pChosen = pFallback;
    }
    if (!pChosen) {
        std::string strMessage;
        if (GetMncaBlock()) {
            const int nCell = event.m_nCell;
            const std::string strCellState =
                (nCell >= 0 && nCell < static_cast<int>(m_vecCellStates.size()))
                    ? m_vecCellStates[static_cast<size_t>(nCell)]
                    : std::string();
            strMessage =
                Format("Event %s has no INPUT on %s process on state %s (MNCA_CELL %d)",
                       event.m_strName.c_str(), m_strName.c_str(), strCellState.c_str(), nCell);
        } else {
            strMessage =
                Format("Event %s has no INPUT on %s process on state %s", event.m_strName.c_str(),
                       m_strName.c_str(), m_strCurrentState.c_str());
        }
        std::string strText = ReportError(strMessage, SDL_ERROR);
        m_pCurrentEvent.reset();
        return strText;
    }
    for (CSDLOperation* pOperation = pChosen; pOperation;) {
        pOperation = pOperation->Execute();
    }
    m_pCurrentEvent.reset();
    return {};
}

void CSDLProcess::CommitCellStates() {
    CSDLmnca* pMnca = GetMncaBlock();
    if (!pMnca) {
        return;
    }
    const size_t nCells = std::min({static_cast<size_t>(std::max(pMnca->GetNumCells(), 0)),
                                    m_vecCellStates.size(), m_vecNextCellStates.size()});
    for (size_t i = 0; i < nCells; ++i) {
        m_vecCellStates[i] = m_vecNextCellStates[i];
    }
}

std::string CSDLProcess::DumpStates() const {
    std::string strText;
    for (const auto& [strState, pFirst] : m_mapStates) {
        strText += Format("%s\n", strState.c_str());
        for (const CSDLOperation* pOperation = pFirst; pOperation;
             pOperation = pOperation->m_pNext) {
            strText += Format("%s: %d, %s\n", pOperation->m_strType.c_str(), pOperation->m_nId,
                              pOperation->m_strName.c_str());
        }
    }
    return strText;
}

// ---- Operations ------------------------------------------------------------------

CSDLOperation* CSDLProcess::AddOperation(std::unique_ptr<CSDLOperation> pOperation) {
    m_vecOperations.push_back(std::move(pOperation));
    return m_vecOperations.back().get();
}

CSDLOperation* CSDLProcess::GetStateOperation(const std::string& strState) const {
    return FindIn(m_mapStates, strState);
}

CSDLProcedure* CSDLProcess::GetProcedure(const std::string& strName) const {
    return FindIn(m_mapProcedures, strName);
}

bool CSDLProcess::CallsProcedure(const std::string& strName) const {
    for (const auto& pOperation : m_vecOperations) {
        const auto* pCall = dynamic_cast<const CSDLOperationProcedureCall*>(pOperation.get());
        if (pCall && pCall->m_strName == strName) {
            return true;
        }
    }
    return false;
}

// ---- Variables ---------------------------------------------------------------------

CSDLParameter* CSDLProcess::GetVariable(const std::string& strName) const {
    return FindIn(m_mapVariables, strName);
}

std::string CSDLProcess::GetVariableIdentifier(const std::string& strName) const {
    return CSDLEngine::FormatQualifiedName(strName, GetTemplateFullName());
}

namespace {

// Reports a call of the variable accessor strPrefix ("Get" or "Set") of
// the entry that did not run; nothing when it ran.
void ReportLibraryCall(CSDLAgent& agent, ModelCallResult eResult, const char* pszPrefix,
                       const CModelEntry& entry) {
    if (eResult == MC_MISSING) {
        agent.ReportError(
            Format("The model library has no function %s%s.", pszPrefix, entry.m_strKey.c_str()),
            SDL_ERROR);
    } else if (eResult == MC_FAULT) {
        agent.ReportError(
            Format("The model library failed in %s%s.", pszPrefix, entry.m_strKey.c_str()),
            SDL_ERROR);
    }
}

// The entry of a variable's getter or setter, keyed by its identifier.
CModelEntry& AccessorEntry(const CSDLProcess& process, CModelEntry& entry,
                           const std::string& strName) {
    if (entry.m_strKey.empty()) {
        entry.m_strKey = process.GetVariableIdentifier(strName);
    }
    return entry;
}

}  // namespace

void CSDLProcess::SetVariable(const std::string& strName, const std::string& strValue) {
    CSDLParameter* pVariable = GetVariable(strName);
    CNotifier& notifier = m_pEngine ? m_pEngine->GetNotifier() : GetNotifier();
    if (!pVariable) {
        const std::string strText =
            ReportError("Variable " + strName + " is not declared.", SDL_ERROR);
        notifier.MessageBox("Error", strText, NB_OK, NI_ERROR);
        return;
    }
    const std::string strType(ValueTypeOf(pVariable->m_strType));
    if (strType.empty()) {
        pVariable->m_strValue = strValue;
        const std::string strText =
            ReportError("Type " + pVariable->m_strType + " is not implemented.", SDL_ERROR);
        notifier.MessageBox("Error", strText, NB_OK, NI_ERROR);
        return;
    }
    // The same rule as every value read from a file: a text that is no
    // value of the variable's type is refused, not read as what its first
    // characters make.
    int nValue = 0;
    double dValue = 0.0;
    if ((strType == "int" && !ParseIntValue(strValue, nValue)) ||
        (strType == "double" && !ParseDoubleValue(strValue, dValue))) {
        ReportError(
            RefusedValueLine(strValue, strType,
                             "the variable " + strName + " of process " + GetFullName(false)) +
                ": the variable keeps its value.",
            SDL_ERROR);
        return;
    }
    pVariable->m_strValue = strValue;
    CModelLibrary* pLibrary = m_pEngine ? m_pEngine->GetModelLibrary() : nullptr;
    if (!pLibrary) {
        return;
    }
    CModelEntry& entry = AccessorEntry(*this, pVariable->m_entrySet, strName);
    ModelCallResult eResult = MC_OK;
    if (strType == "int") {
        eResult = pLibrary->WriteInt(entry, nValue);
    } else if (strType == "double") {
        pVariable->m_dExact = dValue;
        pVariable->m_bHasExact = true;
        eResult = pLibrary->WriteDouble(entry, dValue);
    } else {
        eResult = pLibrary->WriteString(entry, strValue);
    }
    ReportLibraryCall(*this, eResult, "Set", entry);
}

void CSDLProcess::RestoreVariable(const std::string& strName) {
    CSDLParameter* pVariable = GetVariable(strName);
    // A number without a value has nothing to put back: the library keeps
    // what it holds. An empty text is a char*'s value like any other: left
    // in the library, this instance would take another's text for its own.
    if (!pVariable || (pVariable->m_strValue.empty() && !pVariable->HasType("char*"))) {
        return;
    }
    CModelLibrary* pLibrary = m_pEngine ? m_pEngine->GetModelLibrary() : nullptr;
    // The text keeps six decimals only: while it still shows the exact value
    // last read or written, write that value, not the rounded text.
    if (pLibrary && pVariable->HasType("double") && pVariable->m_bHasExact &&
        DoubleToString(pVariable->m_dExact) == pVariable->m_strValue) {
        CModelEntry& entry = AccessorEntry(*this, pVariable->m_entrySet, strName);
        ReportLibraryCall(*this, pLibrary->WriteDouble(entry, pVariable->m_dExact), "Set", entry);
        return;
    }
    SetVariable(strName, pVariable->m_strValue);
}

CSDLParameter* CSDLProcess::CheckVariable(const std::string& strName, const char* pszType) {
    CSDLParameter* pVariable = GetVariable(strName);
    const std::string_view strType = pszType;
    if (!pVariable) {
        ReportError(Format(strType == "char*" ? "Variable %s not defined. Using as literal"
                                              : "Variable %s not defined. Using 0",
                           strName.c_str()),
                    SDL_ERROR);
        return nullptr;
    }
    if (!pVariable->HasType(strType)) {
        const std::string strDeclared = Trim(pVariable->m_strType);
        const char* pszFormat =
            strType == "int" ? "Expected int and received %s for variable %s on process %s"
            : strType == "double"
                ? "Expected double and received %s for variable %s on process %s. Using 0."
                : "Expected char* and received %s for variable %s on process %s. Using as literal";
        ReportError(
            Format(pszFormat, strDeclared.c_str(), strName.c_str(), GetFullName(false).c_str()),
            SDL_ERROR);
        return nullptr;
    }
    return pVariable;
}

int CSDLProcess::GetIntVariable(const std::string& strName) {
    CSDLParameter* pVariable = CheckVariable(strName, "int");
    if (!pVariable) {
        return 0;
    }
    CModelLibrary* pLibrary = m_pEngine ? m_pEngine->GetModelLibrary() : nullptr;
    int nValue = 0;
    if (pLibrary) {
        CModelEntry& entry = AccessorEntry(*this, pVariable->m_entryGet, strName);
        ReportLibraryCall(*this, pLibrary->ReadInt(entry, nValue), "Get", entry);
    }
    return nValue;
}

double CSDLProcess::GetDoubleVariable(const std::string& strName) {
    CSDLParameter* pVariable = CheckVariable(strName, "double");
    if (!pVariable) {
        return 0.0;
    }
    CModelLibrary* pLibrary = m_pEngine ? m_pEngine->GetModelLibrary() : nullptr;
    double dValue = 0.0;
    if (pLibrary) {
        CModelEntry& entry = AccessorEntry(*this, pVariable->m_entryGet, strName);
        const ModelCallResult eResult = pLibrary->ReadDouble(entry, dValue);
        ReportLibraryCall(*this, eResult, "Get", entry);
        if (eResult == MC_OK) {
            pVariable->m_dExact = dValue;
            pVariable->m_bHasExact = true;
        }
    }
    return dValue;
}

std::string CSDLProcess::GetStringVariable(const std::string& strName) {
    CSDLParameter* pVariable = CheckVariable(strName, "char*");
    if (!pVariable) {
        return strName;
    }
    CModelLibrary* pLibrary = m_pEngine ? m_pEngine->GetModelLibrary() : nullptr;
    std::string strValue;
    if (pLibrary) {
        CModelEntry& entry = AccessorEntry(*this, pVariable->m_entryGet, strName);
        ReportLibraryCall(*this, pLibrary->ReadString(entry, strValue), "Get", entry);
    }
    return strValue;
}

std::string CSDLProcess::GetVariableAsString(const std::string& strName,
                                             const std::string& strType) {
    if (strType == "int") {
        return IntToString(GetIntVariable(strName));
    }
    if (strType == "double") {
        return DoubleToString(GetDoubleVariable(strName));
    }
    if (strType == "char*") {
        return GetStringVariable(strName);
    }
    return {};
}

// ---- Instances --------------------------------------------------------------------

void CSDLProcess::CloneInto(CSDLProcess* pTarget, bool bParentEnds) {
    CSDLAgent::CloneInto(pTarget, bParentEnds);
    pTarget->m_pStartOperation =
        m_pStartOperation ? m_pStartOperation->Clone(pTarget, nullptr) : nullptr;
    pTarget->m_strCurrentState.clear();
    pTarget->m_bStarted = m_bStarted;
    for (const auto& [strState, pFirst] : m_mapStates) {
        pTarget->m_mapStates[strState] = pFirst ? pFirst->Clone(pTarget, nullptr) : nullptr;
    }
    CopyVariablesAsDeclared(m_mapVariables, m_mapDeclaredVariables, pTarget->m_mapVariables,
                            pTarget->m_mapDeclaredVariables);
    for (const auto& [strName, pProcedure] : m_mapProcedures) {
        auto pCopy = std::make_unique<CSDLProcedure>();
        pProcedure->CopyFrom(pCopy.get(), pTarget);
        // The instance runs its own copy of the body, owned by the instance.
        pCopy->m_bBuiltIn = pProcedure->m_bBuiltIn;
        pCopy->m_pBody =
            pProcedure->m_pBody ? pProcedure->m_pBody->Clone(pTarget, pCopy.get()) : nullptr;
        pTarget->m_mapProcedures[strName] = std::move(pCopy);
    }
}
