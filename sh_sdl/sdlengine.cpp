#include "sh_sdl/sdlengine.h"

#include <algorithm>
#include <set>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdlprocess.h"

CSDLEngine::CSDLEngine()
    : m_pServer(std::make_unique<CEstadisticsServidor>()),
      m_pRemote(std::make_unique<CSDLRemoteLinks>(
          [this](const std::string& strLine) { GetNotifier().OutputLine(NP_ERRORS, strLine); })) {}

CSDLEngine::~CSDLEngine() {
    // The simulation thread uses the model, the library and the server:
    // end it first. Its questions are answered Cancel from now on.
    m_bClosing = true;
    MarkRootFinished();
    CancelViewerWait();
    m_pServer->DropLink();
    m_pRemote->CancelSends();
    JoinSimulationThread();
    FreeModelDLL();
    // The indexes point into the tree: drop them before the tree goes.
    m_mapOperations.clear();
    m_mapProcesses.clear();
    m_mapBlocks.clear();
    m_pRootAgent.reset();
}

int CSDLEngine::SetRootAgent(std::unique_ptr<CSDLAgent> pRoot) {
    std::unique_ptr<CSDLAgent> pOld;
    {
        auto lock = LockTreeForChange();
        pOld = std::move(m_pRootAgent);
        m_pRootAgent = std::move(pRoot);
    }
    // The slots of the old tree's agents go with them.
    ClearPendingEvents();
    return 0;
}

// ---- Notifier -------------------------------------------------------------------

CNotifier& CSDLEngine::CEngineNotifier::Target() const {
    return m_rEngine.m_pNotifier ? *m_rEngine.m_pNotifier : ::GetNotifier();
}

bool CSDLEngine::CEngineNotifier::Refuses() const {
    return m_rEngine.m_bStopRequested || m_rEngine.m_bClosing;
}

NotifyAnswer CSDLEngine::CEngineNotifier::MessageBox(const std::string& strTitle,
                                                     const std::string& strText,
                                                     NotifyButtons eButtons, NotifyIcon eIcon) {
    if (IsQuestion(eButtons) && Refuses()) {
        return CancelAnswer(eButtons);
    }
    return Target().MessageBox(strTitle, strText, eButtons, eIcon);
}

std::string CSDLEngine::CEngineNotifier::ChooseFileToOpen(const std::string& strTitle,
                                                          const std::string& strFilter,
                                                          const std::string& strFolder) {
    if (Refuses()) {
        return {};
    }
    return Target().ChooseFileToOpen(strTitle, strFilter, strFolder);
}

void CSDLEngine::CEngineNotifier::OutputLine(NotifyPane ePane, const std::string& strLine) {
    Target().OutputLine(ePane, strLine);
}

void CSDLEngine::CEngineNotifier::CancelPendingQuestions() {
    Target().CancelPendingQuestions();
}

// ---- Instances ------------------------------------------------------------------

namespace {

void CollectInstances(CSDLAgent* pAgent, bool bInsideInstance, std::set<const CSDLAgent*>& setOut) {
    const bool bInstance = bInsideInstance || pAgent->m_nInstanceIndex > 0;
    if (bInstance) {
        setOut.insert(pAgent);
    }
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        CollectInstances(pBlock.get(), bInstance, setOut);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        CollectInstances(pProcess.get(), bInstance, setOut);
    }
}

// Removes, below pAgent but outside setGone, the channel ends that lead to or
// come from an agent of setGone.
void PruneChannelEnds(CSDLAgent* pAgent, const std::set<const CSDLAgent*>& setGone) {
    if (setGone.count(pAgent) > 0) {
        return;
    }
    auto gone = [&](const CSDLAgent* p) { return p && setGone.count(p) > 0; };
    EraseValuesIf(pAgent->m_mapInputChannels, [&](const std::unique_ptr<CSDLChannelIn>& pIn) {
        return gone(pIn->m_pSourceBlock) || gone(pIn->m_pSourceProcess) ||
               gone(pIn->m_pOwningAgent);
    });
    EraseValuesIf(pAgent->m_mapOutputChannels, [&](const std::unique_ptr<CSDLChannelOut>& pOut) {
        return gone(pOut->m_pTargetBlock) || gone(pOut->m_pTargetProcess) ||
               gone(pOut->m_pSourceBlock) || gone(pOut->m_pSourceProcess);
    });
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        PruneChannelEnds(pBlock.get(), setGone);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        PruneChannelEnds(pProcess.get(), setGone);
    }
}

// Removes the agents of setGone that hang below pAgent and resets the
// instance counters of those that stay.
void RemoveChildren(CSDLAgent* pAgent, const std::set<const CSDLAgent*>& setGone) {
    auto gone = [&](const CSDLAgent* p) { return setGone.count(p) > 0; };
    EraseValuesIf(pAgent->m_mapBlocks,
                  [&](const std::unique_ptr<CSDLBlock>& pBlock) { return gone(pBlock.get()); });
    EraseValuesIf(pAgent->m_mapProcesses, [&](const std::unique_ptr<CSDLProcess>& pProcess) {
        return gone(pProcess.get());
    });
    pAgent->m_nInstanceCount = 0;
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        RemoveChildren(pBlock.get(), setGone);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        RemoveChildren(pProcess.get(), setGone);
    }
}

}  // namespace

void CSDLEngine::IndexModel(CSDLAgent* pAgent) {
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        m_mapBlocks[CSDLBlock::GetGlobalId(pBlock.get())] = pBlock.get();
        IndexModel(pBlock.get());
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        m_mapProcesses[pProcess->GetFullName(false)] = pProcess.get();
    }
}

void CSDLEngine::ForgetAgents(const std::set<const CSDLAgent*>& setGone) {
    auto gone = [&](const CSDLAgent* p) { return setGone.count(p) > 0; };
    EraseValuesIf(m_mapBlocks, gone);
    EraseValuesIf(m_mapProcesses, gone);
    EraseValuesIf(m_mapOperations, [&](const CSDLOperation* p) { return gone(p->m_pOwner); });
    for (auto& [strKey, slot] : m_mapPendingSlots) {
        if (gone(slot.pOwner)) {
            slot.pOwner = nullptr;
        }
    }
    if (m_pRootAgent) {
        PruneChannelEnds(m_pRootAgent.get(), setGone);
    }
}

void CSDLEngine::RemoveInstances() {
    if (!m_pRootAgent) {
        return;
    }
    std::vector<std::string> vecRemoved;
    {
        auto lock = LockTreeForChange();
        std::set<const CSDLAgent*> setGone;
        CollectInstances(m_pRootAgent.get(), false, setGone);
        for (const CSDLAgent* pAgent : setGone) {
            vecRemoved.push_back(pAgent->GetFullName(true));
        }
        ForgetAgents(setGone);
        RemoveChildren(m_pRootAgent.get(), setGone);
        // A block instance has its template's global id and took its place
        // in the index: enter the loaded model's agents again.
        IndexModel(m_pRootAgent.get());
        m_nCreateCount = 0;
        m_nCreatedAgents = 0;
    }
    if (!vecRemoved.empty()) {
        std::sort(vecRemoved.begin(), vecRemoved.end());
        NotifyAgentsChanged({}, vecRemoved);
    }
}

CSDLAgent* CSDLEngine::FindAgentByKey(const std::string& strKey) const {
    // Keys are unique names of the whole tree: walk it.
    std::vector<CSDLAgent*> vecTodo;
    if (m_pRootAgent) {
        vecTodo.push_back(m_pRootAgent.get());
    }
    while (!vecTodo.empty()) {
        CSDLAgent* pAgent = vecTodo.back();
        vecTodo.pop_back();
        if (pAgent->m_pParent && pAgent->GetFullName(true) == strKey) {
            return pAgent;
        }
        for (auto& [strName, pBlock] : pAgent->m_mapBlocks) {
            vecTodo.push_back(pBlock.get());
        }
        for (auto& [strName, pProcess] : pAgent->m_mapProcesses) {
            vecTodo.push_back(pProcess.get());
        }
    }
    return nullptr;
}

void CSDLEngine::NotifyAgentsChanged(const std::vector<std::string>& vecAdded,
                                     const std::vector<std::string>& vecRemoved) {
    TellListener(
        [&](CEngineListener& listener) { listener.OnAgentsChanged(vecAdded, vecRemoved); });
}

// ---- Pending-event table ----------------------------------------------------------

namespace {

// Every clear of every engine's table gets a number of its own, so a slot
// taken from one table is never mistaken for a slot of another.
std::atomic<long long> g_nPendingGenerations{0};

}  // namespace

double CSDLEngine::GetNextEventTime(bool* pFound) const {
    const bool bFound = m_bShownFound.load(std::memory_order_relaxed);
    if (pFound) {
        *pFound = bFound;
    }
    return bFound ? m_dShownNextTime.load(std::memory_order_relaxed) : 0.0;
}

void CSDLEngine::PublishNextTime() {
    const bool bFound = !m_vecPendingHeap.empty();
    m_dShownNextTime.store(bFound ? m_vecPendingHeap.front()->dTime : 0.0,
                           std::memory_order_relaxed);
    m_bShownFound.store(bFound, std::memory_order_relaxed);
}

void CSDLEngine::UpdateNextEventTime(const std::string& strKey, double dTime, bool bRemove) {
    auto it = m_mapPendingSlots.find(strKey);
    if (it == m_mapPendingSlots.end()) {
        if (bRemove) {
            return;
        }
        it = m_mapPendingSlots.emplace(strKey, SPendingSlot()).first;
    }
    UpdatePendingSlot(it->second, dTime, bRemove);
}

SPendingSlot& CSDLEngine::TakePendingSlot(const std::string& strKey, CSDLAgent* pAgent) {
    if (m_nPendingGeneration == 0) {
        m_nPendingGeneration = ++g_nPendingGenerations;
    }
    SPendingSlot& slot = m_mapPendingSlots.try_emplace(strKey).first->second;
    if (!slot.pOwner) {
        slot.pOwner = pAgent;
    } else if (slot.pOwner != pAgent) {
        m_bPendingShared = true;
    }
    return slot;
}

void CSDLEngine::UpdatePendingSlot(SPendingSlot& slot, double dTime, bool bRemove) {
    if (slot.bPending) {
        if (!bRemove && slot.dTime < dTime) {
            return;  // an earlier time is kept
        }
        if (bRemove) {
            RemoveFromHeap(slot);
        } else {
            // Only ever earlier (or equal): the slot moves towards the top.
            slot.dTime = dTime;
            SiftUp(slot.nHeapIndex);
        }
    } else if (bRemove) {
        return;
    } else {
        slot.dTime = dTime;
        AddToHeap(slot);
    }
    PublishNextTime();
}

void CSDLEngine::ReplacePendingSlot(SPendingSlot& slot, bool bPending, double dTime) {
    if (slot.bPending && bPending) {
        slot.dTime = dTime;
        SiftUp(slot.nHeapIndex);
        SiftDown(slot.nHeapIndex);
    } else if (slot.bPending) {
        RemoveFromHeap(slot);
    } else if (bPending) {
        slot.dTime = dTime;
        AddToHeap(slot);
    } else {
        return;
    }
    PublishNextTime();
}

void CSDLEngine::ClearPendingEvents() {
    m_vecPendingHeap.clear();
    m_mapPendingSlots.clear();
    m_nPendingGeneration = ++g_nPendingGenerations;
    m_bPendingShared = false;
    m_bPendingUnowned = false;
    PublishNextTime();
}

void CSDLEngine::AddToHeap(SPendingSlot& slot) {
    slot.bPending = true;
    slot.nHeapIndex = m_vecPendingHeap.size();
    m_vecPendingHeap.push_back(&slot);
    SiftUp(slot.nHeapIndex);
    PendingPresenceChanged(slot);
}

void CSDLEngine::RemoveFromHeap(SPendingSlot& slot) {
    const size_t nIndex = slot.nHeapIndex;
    SPendingSlot* pLast = m_vecPendingHeap.back();
    m_vecPendingHeap.pop_back();
    if (pLast != &slot) {
        m_vecPendingHeap[nIndex] = pLast;
        pLast->nHeapIndex = nIndex;
        SiftUp(nIndex);
        SiftDown(pLast->nHeapIndex);
    }
    slot.bPending = false;
    PendingPresenceChanged(slot);
}

void CSDLEngine::SiftUp(size_t nIndex) {
    SPendingSlot* pSlot = m_vecPendingHeap[nIndex];
    while (nIndex > 0) {
        const size_t nParent = (nIndex - 1) / 2;
        SPendingSlot* pParent = m_vecPendingHeap[nParent];
        if (!(pSlot->dTime < pParent->dTime)) {
            break;
        }
        m_vecPendingHeap[nIndex] = pParent;
        pParent->nHeapIndex = nIndex;
        nIndex = nParent;
    }
    m_vecPendingHeap[nIndex] = pSlot;
    pSlot->nHeapIndex = nIndex;
}

void CSDLEngine::SiftDown(size_t nIndex) {
    const size_t nSize = m_vecPendingHeap.size();
    SPendingSlot* pSlot = m_vecPendingHeap[nIndex];
    for (;;) {
        size_t nChild = 2 * nIndex + 1;
        if (nChild >= nSize) {
            break;
        }
        if (nChild + 1 < nSize &&
            m_vecPendingHeap[nChild + 1]->dTime < m_vecPendingHeap[nChild]->dTime) {
            ++nChild;
        }
        if (!(m_vecPendingHeap[nChild]->dTime < pSlot->dTime)) {
            break;
        }
        m_vecPendingHeap[nIndex] = m_vecPendingHeap[nChild];
        m_vecPendingHeap[nIndex]->nHeapIndex = nIndex;
        nIndex = nChild;
    }
    m_vecPendingHeap[nIndex] = pSlot;
    pSlot->nHeapIndex = nIndex;
}

void CSDLEngine::PendingPresenceChanged(SPendingSlot& slot) {
    if (slot.pOwner) {
        slot.pOwner->PendingTimeChanged(slot.bPending);
    } else if (slot.bPending) {
        m_bPendingUnowned = true;
    }
}

// ---- Names ----------------------------------------------------------------------------

std::string CSDLEngine::FormatQualifiedName(const std::string& strVariable,
                                            const std::string& strOwner) {
    std::string strName = strVariable + "_" + strOwner;
    for (char& ch : strName) {
        const bool bIdentifier = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                                 (ch >= '0' && ch <= '9') || ch == '_';
        if (!bIdentifier) {
            ch = '_';
        }
    }
    return strName;
}

// ---- Trace ------------------------------------------------------------------------------

std::string CSDLEngine::TakeMessages() {
    std::lock_guard<std::mutex> lock(m_mutexMessages);
    std::string strOut;
    strOut.swap(m_strMessages);
    return strOut;
}

void CSDLEngine::EmitRecord(const std::string& strRecord, bool bCollect) {
    {
        std::lock_guard<std::mutex> lock(m_mutexTrace);
        if (m_pTraceFile) {
            m_pTraceFile->Write(strRecord);
        }
    }
    SendToViewer(strRecord);
    if (m_pTraceSink) {
        m_pTraceSink->WriteRecord(strRecord);
    }
    if (bCollect && m_bStepByStep) {
        std::lock_guard<std::mutex> lock(m_mutexMessages);
        m_strMessages += strRecord;
    }
}

std::string CSDLEngine::FormatExecutionRecord(const CSDLOperation* pOperation) const {
    CSDLProcess* pProcess = pOperation->m_pOwner;
    if (!pProcess) {
        return {};
    }
    const std::string& strTag = pOperation->m_strType;
    const double dTime = pProcess->m_dClock;
    const std::string strProcess = EscapeXmlAttribute(pProcess->GetFullName(false));
    const std::string strName = EscapeXmlAttribute(pOperation->m_strName);
    const int nId = pOperation->m_nId;
    CSDLmnca* pMnca = pProcess->GetMncaBlock();

    if (strTag == "create") {
        return Format(
            "<create time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\"> New Agent creation. "
            "</create>\n",
            dTime, strProcess.c_str(), strName.c_str(), nId);
    }
    if (strTag == "input") {
        const std::string strEvent =
            pProcess->m_pCurrentEvent ? pProcess->m_pCurrentEvent->GetXml() : std::string();
        return Format(
            "<input time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\" mnca=\"%s\" "
            "curcell=\"%d\">%s</input>\n",
            dTime, strProcess.c_str(), strName.c_str(), nId, pMnca ? "yes" : "no",
            pMnca ? pMnca->GetCurrentCell() : 0, strEvent.c_str());
    }
    if (strTag == "output") {
        const auto* pOutput = dynamic_cast<const CSDLOperationOutput*>(pOperation);
        if (!pOutput) {
            return {};
        }
        return Format(
            "<output time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\" self=\"%s\" to=\"%s\" "
            "via=\"%s\">%s</output>\n",
            dTime, strProcess.c_str(), strName.c_str(), nId, EscapeXmlAttribute(pOutput->m_strSelf).c_str(),
            EscapeXmlAttribute(pOutput->m_strTo).c_str(), EscapeXmlAttribute(pOutput->m_strVia).c_str(),
            pOutput->m_pSignal->GetXml().c_str());
    }
    if (strTag == "setstate") {
        if (pMnca) {
            const int nCell = pMnca->GetCurrentCell();
            const std::string strState =
                (nCell >= 0 && nCell < static_cast<int>(pProcess->m_vecCellStates.size()))
                    ? pProcess->m_vecCellStates[static_cast<size_t>(nCell)]
                    : std::string();
            return Format(
                "<setstate time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\" state=\"%s\" "
                "cell=\"%d\"></setstate>\n",
                dTime, strProcess.c_str(), strName.c_str(), nId, EscapeXmlAttribute(strState).c_str(),
                nCell);
        }
        return Format(
            "<setstate time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\" "
            "state=\"%s\"></setstate>\n",
            dTime, strProcess.c_str(), strName.c_str(), nId,
            EscapeXmlAttribute(pProcess->m_strCurrentState).c_str());
    }
    if (strTag == "ProcedureCall") {
        // The call reads its actuals where the caller sees them (a literal as
        // it is, a formal of the enclosing procedure, a process variable).
        auto* pCall = const_cast<CSDLOperationProcedureCall*>(
            dynamic_cast<const CSDLOperationProcedureCall*>(pOperation));
        std::string strParams;
        if (pCall) {
            for (const auto& [strKey, pParam] : pCall->m_mapParameters) {
                strParams +=
                    Format("<param name=\"%s\" value=\"%s\"></param>", EscapeXmlAttribute(strKey).c_str(),
                           EscapeXmlAttribute(pCall->GetActualText(*pParam)).c_str());
            }
        }
        return Format(
            "<procedurecall time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\">%s</procedurecall>\n",
            dTime, strProcess.c_str(), strName.c_str(), nId, strParams.c_str());
    }
    return {};
}

void CSDLEngine::WriteTrace(const CSDLOperation* pOperation, bool bEnable,
                            const std::string& strText) {
    if (!IsExecutionTraceOn() || !bEnable) {
        return;
    }
    std::string strRecord;
    if (!pOperation) {
        strRecord = strText;
    } else if (pOperation->m_strType == "procedurecallreport") {
        if (CSDLProcess* pProcess = pOperation->m_pOwner) {
            const std::string strProcess = EscapeXmlAttribute(pProcess->GetFullName(false));
            strRecord = Format(
                "\t\t<report time=\"%f\" process=\"%s\" name=\"%s\" id=\"%d\" "
                "agent=\"%s\">%s</report>\n",
                pProcess->m_dClock, strProcess.c_str(), EscapeXmlAttribute(pOperation->m_strName).c_str(),
                pOperation->m_nId, strProcess.c_str(), strText.c_str());
        }
    } else {
        strRecord = FormatExecutionRecord(pOperation);
    }
    if (!strRecord.empty()) {
        EmitRecord(strRecord, true);
    }
}

void CSDLEngine::WriteEyeTrace(const CSDLOperation* pOperation, bool bEnable,
                               const std::string& strText) {
    if (!IsRepresentationTraceOn() || !bEnable) {
        return;
    }
    std::string strRecord;
    if (!pOperation) {
        strRecord = strText;
    } else if (pOperation->m_strType == "setstate" && pOperation->m_pOwner) {
        CSDLProcess* pProcess = pOperation->m_pOwner;
        const std::string strAgent = EscapeXmlAttribute(pProcess->GetFullName(false));
        if (CSDLmnca* pMnca = pProcess->GetMncaBlock()) {
            const auto* pSetState = dynamic_cast<const CSDLOperationSetState*>(pOperation);
            strRecord = Format(
                "\t\t<EYE_SetState xTime='%f' agent=\"%s\" cell=\"%d\" "
                "state=\"%s\"></EYE_SetState>\n",
                pProcess->m_dClock, strAgent.c_str(), pMnca->GetCurrentCell(),
                EscapeXmlAttribute(pSetState ? pSetState->m_strState : std::string()).c_str());
        } else {
            strRecord =
                Format("\t\t<EYE_SetState xTime='%f' agent=\"%s\" state=\"%s\"></EYE_SetState>\n",
                       pProcess->m_dClock, strAgent.c_str(),
                       EscapeXmlAttribute(pProcess->m_strCurrentState).c_str());
        }
    }
    if (!strRecord.empty()) {
        EmitRecord(strRecord, false);
    }
}
