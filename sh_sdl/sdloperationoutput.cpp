#include "sh_sdl/sdloperationoutput.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// The number a template text stands for: empty is 0, the name of a process
// variable its value, read by its declared type (a declared name is a
// variable whatever it looks like: "_2" has no letter), a numeric text its
// value, anything else a name of nothing, which the getter reports.
double EvaluateNumber(CSDLProcess& owner, const std::string& strText) {
    if (strText.empty()) {
        return 0.0;
    }
    const CSDLParameter* pVariable = owner.GetVariable(strText);
    if (!pVariable && IsNumericText(strText)) {
        return StringToDouble(strText);
    }
    if (pVariable && pVariable->HasType("int")) {
        return static_cast<double>(owner.GetIntVariable(strText));
    }
    return owner.GetDoubleVariable(strText);
}

std::string RemoveApostrophes(std::string str) {
    str.erase(std::remove(str.begin(), str.end(), '\''), str.end());
    return str;
}

}  // namespace

void CSDLOperationOutput::EvaluateTemplate() {
    CSDLProcess& owner = *m_pOwner;
    CSDLEvent& signal = *m_pSignal;
    signal.m_dDelay = EvaluateNumber(owner, signal.m_strDelay);
    signal.m_dExecutionTime = EvaluateNumber(owner, signal.m_strExecutionTime);
    signal.m_dCreationTime = EvaluateNumber(owner, signal.m_strCreationTime);
    signal.m_nPriority = static_cast<int>(EvaluateNumber(owner, signal.m_strPriority));

    CModelLibrary* pLibrary = owner.m_pEngine ? owner.m_pEngine->GetModelLibrary() : nullptr;
    for (auto& [strKey, pParam] : signal.m_mapUserParams) {
        const std::string& strSource = pParam->m_strSourceText;
        // A variable of the enclosing procedure, else of the process, whatever
        // its name looks like ("_2" has no letter). A number keeps its
        // value; a source that names nothing, its text.
        const CSDLParameter* pVariable = nullptr;
        std::string strIdent;
        if (m_pProcedure) {
            pVariable = FindIn(m_pProcedure->m_mapVariables, strSource);
            if (!pVariable) {
                pVariable = FindIn(m_pProcedure->m_mapFormals, strSource);
            }
            if (pVariable) {
                strIdent =
                    CSDLEngine::FormatQualifiedName(strSource, m_pProcedure->GetInstanceName());
            }
        }
        if (!pVariable) {
            pVariable = owner.GetVariable(strSource);
            if (pVariable) {
                strIdent = owner.GetVariableIdentifier(strSource);
            }
        }
        if (!pVariable) {
            if (!IsNumericText(strSource)) {
                pParam->m_strValue = strSource;
            }
            continue;
        }
        if (!pLibrary) {
            continue;
        }
        const std::string strType = Trim(pVariable->m_strType);
        ModelCallResult eResult = MC_OK;
        if (strType == "int") {
            int nValue = 0;
            eResult = pLibrary->GetInt(strIdent, nValue);
            pParam->m_strValue = Format("%i", nValue);
        } else if (strType == "double") {
            double dValue = 0.0;
            eResult = pLibrary->GetDouble(strIdent, dValue);
            // Six decimals, as the trace has always shown a double, unless
            // they would not give the value back: the receiver takes it to
            // the last digit either way.
            pParam->m_strValue = DoubleToFixedOrExactString(dValue);
        } else if (strType == "char*") {
            std::string strValue;
            eResult = pLibrary->GetString(strIdent, strValue);
            pParam->m_strValue = strValue;
        }
        if (eResult != MC_OK) {
            owner.ReportError(Format("The model library cannot give Get%s.", strIdent.c_str()),
                              SDL_ERROR);
        }
    }
}

CSDLOperation* CSDLOperationOutput::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner) {
        return m_pNext;
    }
    EvaluateTemplate();
    auto pEvent = std::make_unique<CSDLEvent>(*m_pSignal);
    pEvent->m_strName = m_strName;
    pEvent->m_strCodeId = GetRunCodeID();
    pEvent->m_dCreationTime = pOwner->m_dClock;
    pEvent->m_dExecutionTime = pOwner->m_dClock + m_pSignal->m_dDelay;
    if (std::isnan(pEvent->m_dExecutionTime)) {
        // No order of events has a place for such a time: the signal goes
        // nowhere, and the transition and the run go on without it.
        pOwner->ReportError(
            Format("The signal %s is not sent: its delay %s gives a time that is not a number.",
                   m_strName.c_str(), m_pSignal->m_strDelay.c_str()),
            SDL_ERROR);
        return m_pNext;
    }
    if (pEvent->m_dExecutionTime < pOwner->m_dClock) {
        // The sender's clock is the earliest time any agent can still reach:
        // a signal before it would be taken in the past and turn the
        // receiver's clock back. It is not sent, as the case above.
        pOwner->ReportError(
            Format("The signal %s is not sent: its delay %s (%g) gives a time before its "
                   "sender's clock %f.",
                   m_strName.c_str(), m_pSignal->m_strDelay.c_str(), m_pSignal->m_dDelay,
                   pOwner->m_dClock),
            SDL_ERROR);
        return m_pNext;
    }
    // A signal taken at the time it is sent, sent while one taken at that
    // time is handled, continues that one's chain. A chain this long may be
    // a loop (time advances of 0 that lead back to each other) that holds
    // the run at this time for ever: the Errors tab says so once, and the
    // run goes on as the model has it until Stop, for a model that sends so
    // many and then ends runs as any other. Many signals at one time that do
    // not follow each other (a generation of an automaton's cells) are no
    // chain. The count stops one past the length, where it is said.
    if (const CSDLEvent* pCause = pOwner->m_pCurrentEvent.get();
        pCause && pCause->m_dExecutionTime == pEvent->m_dExecutionTime) {
        pEvent->m_nSameTimeChain = std::min(pCause->m_nSameTimeChain, kLongSameTimeChain) + 1;
        if (pEvent->m_nSameTimeChain == kLongSameTimeChain) {
            if (CSDLEngine* pEngine = pOwner->m_pEngine) {
                pEngine->NoteLongSameTimeChain(m_strName, pOwner->GetFullName(false),
                                               pEvent->m_dExecutionTime);
            }
        }
    }
    const std::string strCells = m_pSignal->m_strCells;

    if (m_strSelf == "yes") {
        if (CSDLmnca* pMnca = pOwner->GetMncaBlock()) {
            SendToCells(pEvent.get(), strCells, pMnca, nullptr);
        } else {
            pOwner->m_pInternalChannel->AddEvent(std::move(pEvent));
        }
    } else if (!m_strTo.empty()) {
        const std::string strTarget =
            RemoveApostrophes(IsQuoted(m_strTo) ? m_strTo : pOwner->GetStringVariable(m_strTo));
        pEvent->m_strTo = strTarget;
        CSDLEngine* pEngine = pOwner->m_pEngine;
        CSDLAgent* pRoot = pEngine ? pEngine->GetRootAgent() : pOwner->GetRoot();
        bool bIsBlock = false;
        CSDLAgent* pTarget = pRoot ? pRoot->FindAgentByName(strTarget, &bIsBlock) : nullptr;
        CSDLChannelOut* pChannel = FindPath(pEvent.get());
        if (!pChannel) {
            pOwner->ReportError(
                Format("Output channel not found for event %s, looking for channel %s",
                       pEvent->m_strName.c_str(), strTarget.c_str()),
                SDL_ERROR);
            return nullptr;
        }
        CSDLmnca* pTargetMnca = pTarget ? pTarget->GetMncaBlock() : nullptr;
        if (pTargetMnca) {
            SendToCells(pEvent.get(), strCells, pTargetMnca, pChannel);
        } else {
            pChannel->Send(pEvent.get());
        }
    } else if (!m_strVia.empty()) {
        const std::string strChannel =
            IsQuoted(m_strVia) ? RemoveApostrophes(m_strVia) : pOwner->GetStringVariable(m_strVia);
        CSDLChannelOut* pChannel = pOwner->GetOutputChannel(strChannel);
        if (!pChannel && pOwner->m_nInstanceIndex > 0) {
            // An instance holds its copy of the channel as "name[index]".
            pChannel = pOwner->GetOutputChannel(
                Format("%s[%d]", strChannel.c_str(), pOwner->m_nInstanceIndex));
        }
        if (pChannel) {
            pChannel->Send(pEvent.get());
        } else {
            pOwner->ReportError("No s'ha trobat el canal identificat per " + strChannel, SDL_ERROR);
        }
    } else {
        if (CSDLChannelOut* pChannel = pOwner->FindOutChannelForSignal(pEvent.get(), 0)) {
            pChannel->Send(pEvent.get());
        } else {
            pOwner->ReportError("No s'ha trobat cap canal de sortida per a l'esdeveniment",
                                SDL_ERROR);
        }
    }

    CSDLEngine* pEngine = pOwner->m_pParent ? pOwner->m_pParent->m_pEngine : pOwner->m_pEngine;
    if (pEngine && pEngine->IsExecutionTraceOn()) {
        pEngine->WriteTrace(this, pOwner->m_bTraceOutput, std::string());
    }
    return m_pNext;
}

CSDLChannelOut* CSDLOperationOutput::FindPath(CSDLEvent* pEvent) {
    CSDLProcess* pOwner = m_pOwner;
    CSDLAgent* pRoot = (pOwner->m_pEngine && pOwner->m_pEngine->GetRootAgent())
                           ? pOwner->m_pEngine->GetRootAgent()
                           : pOwner->GetRoot();
    bool bIsBlock = false;
    CSDLAgent* pTarget = pRoot->FindAgentByName(pEvent->m_strTo, &bIsBlock);
    CSDLChannelOut* pChannel = nullptr;
    std::string strRoute;
    if (pTarget) {
        pChannel = pOwner->FindPath(pEvent, pTarget, strRoute);
    }
    pRoot->SetVisited(false);
    if (!pChannel) {
        pOwner->ReportError(
            "Couldn't find a path to " + pEvent->m_strTo + ", check your channels net", SDL_ERROR);
        return nullptr;
    }
    // The first hop is this channel; the blocks on the way follow the rest.
    NextTokenOrRest(strRoute, " ");
    pEvent->m_strRoute = strRoute;
    return pChannel;
}

int CSDLOperationOutput::SendToCells(CSDLEvent* pEvent, const std::string& strCells,
                                     CSDLmnca* pMnca, CSDLChannelOut* pChannel) {
    if (strCells.empty()) {
        return 0;
    }
    CSDLProcess* pOwner = m_pOwner;
    CSDLEngine* pEngine = pOwner->m_pEngine;
    const size_t nOpen = strCells.find('{');
    const size_t nClose = strCells.find('}');
    std::string strList;
    if (nOpen == std::string::npos || nClose == std::string::npos) {
        CNotifier& notifier = pEngine ? pEngine->GetNotifier() : GetNotifier();
        notifier.MessageBox(
            "VELKO",
            "El valor de la variable mnca_cell[] no \xC3\xA9s correcte, ha d'estar entre {}", NB_OK,
            NI_ERROR);
        if (nClose != std::string::npos) {
            strList = strCells.substr(0, nClose);
        }
    } else if (nOpen < nClose) {
        strList = strCells.substr(nOpen + 1, nClose - nOpen - 1);
    }

    std::vector<std::string> vecTokens;
    for (size_t nStart = 0; nStart < strList.size();) {
        size_t nComma = strList.find(',', nStart);
        if (nComma == std::string::npos) {
            nComma = strList.size();
        }
        if (nComma > nStart) {
            vecTokens.push_back(strList.substr(nStart, nComma - nStart));
        }
        nStart = nComma + 1;
    }
    const int nNumCells = pMnca ? pMnca->GetNumCells() : 0;
    std::vector<int> vecIds;
    if (!vecTokens.empty() && vecTokens.front() == "ALL_CELLS") {
        for (int i = 0; i < nNumCells; ++i) {
            vecIds.push_back(i);
        }
    } else {
        for (const std::string& strRaw : vecTokens) {
            const std::string strToken = Trim(strRaw);
            if (strToken.empty()) {
                continue;
            }
            vecIds.push_back(IsNumericText(strToken) && !pOwner->GetVariable(strToken)
                                 ? static_cast<int>(StringToDouble(strToken))
                                 : pOwner->GetIntVariable(strToken));
        }
    }
    std::sort(vecIds.begin(), vecIds.end());

    int nDelivered = 0;
    for (auto it = vecIds.rbegin(); it != vecIds.rend(); ++it) {
        const int nCell = *it;
        if (nCell < 0 || nCell >= nNumCells) {
            pOwner->ReportError(Format("Cell %d is outside the automaton's %d cells; signal %s "
                                       "not sent to it.",
                                       nCell, nNumCells, m_strName.c_str()),
                                SDL_ERROR);
            continue;
        }
        pEvent->m_nCell = nCell;
        auto pCopy = std::make_unique<CSDLEvent>(*pEvent);
        pCopy->m_strName = m_strName;
        pCopy->m_strCodeId = GetRunCodeID();
        if (pChannel) {
            pChannel->Send(pCopy.get());
        } else {
            pOwner->m_pInternalChannel->AddEvent(std::move(pCopy));
        }
        ++nDelivered;
    }
    return nDelivered;
}

std::unique_ptr<CSDLOperation> CSDLOperationOutput::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationOutput>();
    pClone->m_strSelf = m_strSelf;
    pClone->m_strVia = m_strVia;
    pClone->m_strTo = m_strTo;
    pClone->m_pSignal = std::make_unique<CSDLEvent>(*m_pSignal);
    return pClone;
}
