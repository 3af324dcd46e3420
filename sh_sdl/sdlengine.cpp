#include "sh_sdl/sdlengine.h"

#include <algorithm>
#include <set>
#include <utility>

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

namespace {

// What tells one fault from another: the text without the time an agent's
// error report names (" on time 12.000000."), which changes from one
// occurrence of the same fault to the next.
std::string FaultKey(const std::string& strTitle, const std::string& strText) {
    std::string strKey = strTitle + '\n' + strText;
    const size_t nTime = strKey.find(" on time ");
    if (nTime != std::string::npos) {
        const size_t nEnd = strKey.find(' ', nTime + 9);
        strKey.erase(nTime, (nEnd == std::string::npos ? strKey.size() : nEnd) - nTime);
    }
    return strKey;
}

}  // namespace

NotifyAnswer CSDLEngine::CEngineNotifier::MessageBox(const std::string& strTitle,
                                                     const std::string& strText,
                                                     NotifyButtons eButtons, NotifyIcon eIcon) {
    if (IsQuestion(eButtons)) {
        if (Refuses()) {
            return CancelAnswer(eButtons);
        }
    } else {
        std::lock_guard<std::mutex> lock(m_mutexReports);
        if (m_bCounting) {
            const auto [it, bNew] =
                m_mapReportIndex.try_emplace(FaultKey(strTitle, strText), m_vecReports.size());
            if (!bNew) {
                ++m_vecReports[it->second].nCount;
                return NA_OK;
            }
            m_vecReports.push_back({strText, 1});
        }
    }
    return Target().MessageBox(strTitle, strText, eButtons, eIcon);
}

void CSDLEngine::CEngineNotifier::BeginRun() {
    std::lock_guard<std::mutex> lock(m_mutexReports);
    m_bCounting = true;
    m_mapReportIndex.clear();
    m_vecReports.clear();
}

void CSDLEngine::CEngineNotifier::EndRun() {
    std::vector<SReportCount> vecReports;
    {
        std::lock_guard<std::mutex> lock(m_mutexReports);
        m_bCounting = false;
        m_mapReportIndex.clear();
        vecReports.swap(m_vecReports);
    }
    for (const SReportCount& report : vecReports) {
        if (report.nCount > 1) {
            Target().OutputLine(NP_ERRORS,
                                Format("The message \"%s\" came %lld times in this run; it was "
                                       "shown once.",
                                       report.strText.c_str(), report.nCount));
        }
    }
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

std::atomic<bool> g_bCheckAgentsWithWork{false};

}  // namespace

void CSDLEngine::SetCheckAgentsWithWork(bool bOn) {
    g_bCheckAgentsWithWork = bOn;
}

bool CSDLEngine::ChecksAgentsWithWork() {
    return g_bCheckAgentsWithWork;
}

double CSDLEngine::GetNextEventTime(bool* pFound) const {
    const bool bFound = !m_vecPendingHeap.empty();
    if (pFound) {
        *pFound = bFound;
    }
    return bFound ? m_vecPendingHeap.front()->dTime : 0.0;
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
}

void CSDLEngine::ClearPendingEvents() {
    m_vecPendingHeap.clear();
    m_mapPendingSlots.clear();
    m_nPendingGeneration = ++g_nPendingGenerations;
    m_bPendingShared = false;
    m_bPendingUnowned = false;
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

const SPendingSlot* CSDLEngine::FindPendingSlot(const std::string& strKey) const {
    auto it = m_mapPendingSlots.find(strKey);
    return it == m_mapPendingSlots.end() ? nullptr : &it->second;
}

std::string CSDLEngine::DescribeEarliestPending() const {
    if (m_vecPendingHeap.empty()) {
        return {};
    }
    const SPendingSlot* pSlot = m_vecPendingHeap.front();
    if (pSlot->pOwner) {
        return pSlot->pOwner->GetFullName(true);
    }
    for (const auto& [strKey, slot] : m_mapPendingSlots) {
        if (&slot == pSlot) {
            return strKey;
        }
    }
    return {};
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

std::vector<std::string> CSDLEngine::TakeStepErrors() {
    std::lock_guard<std::mutex> lock(m_mutexMessages);
    std::vector<std::string> vecLines;
    vecLines.swap(m_vecStepErrors);
    if (m_nStepErrorsOver > 0) {
        vecLines.push_back(Format("%lld more errors of this step are not shown.",
                                  std::exchange(m_nStepErrorsOver, 0)));
    }
    return vecLines;
}

void CSDLEngine::CollectStepError(std::string strLine) {
    if (!m_bStepByStep || !m_bThreadAlive) {
        return;
    }
    // One error, one line.
    std::replace(strLine.begin(), strLine.end(), '\n', ' ');
    std::lock_guard<std::mutex> lock(m_mutexMessages);
    if (m_vecStepErrors.size() < kMaxStepErrors) {
        m_vecStepErrors.push_back(std::move(strLine));
    } else {
        ++m_nStepErrorsOver;
    }
}

void CSDLEngine::EmitRecord(const std::string& strRecord, bool bCollect) {
    if (HasXmlReferencedCharacters(strRecord)) {
        // A text of the model holds a character XML holds only as a
        // reference (a control character, DEL, a C1 control, a line end of
        // XML 1.1): the record carries references, and the trace becomes
        // XML 1.1 where one is a control character only 1.1 holds.
        std::string strReferenced;
        strReferenced.reserve(strRecord.size() + 32);
        const bool bXml11 = AppendXmlCharacterReferences(strReferenced, strRecord);
        EmitText(strReferenced, bCollect, bXml11);
        return;
    }
    EmitText(strRecord, bCollect, false);
}

void CSDLEngine::EmitText(const std::string& strRecord, bool bCollect, bool bXml11) {
    {
        std::lock_guard<std::mutex> lock(m_mutexTrace);
        if (m_pTraceFile) {
            if (bXml11) {
                m_pTraceFile->DeclareXml11();
            }
            m_pTraceFile->Write(strRecord);
        }
    }
    SendToViewer(strRecord, bXml11);
    if (m_pTraceSink) {
        m_pTraceSink->WriteRecord(strRecord);
    }
    if (bCollect && m_bStepByStep) {
        std::lock_guard<std::mutex> lock(m_mutexMessages);
        m_strMessages += strRecord;
    }
}

namespace {

// "<element" and the attributes every execution record starts with.
void AppendRecordStart(std::string& strOut, const char* pszElement, const CSDLProcess& process,
                       const std::string& strProcess, const CSDLOperation& operation) {
    strOut += '<';
    strOut += pszElement;
    AppendXmlAttribute(strOut, "time", process.m_dClock);
    AppendXmlAttribute(strOut, "process", strProcess);
    AppendXmlAttribute(strOut, "name", operation.m_strName);
    AppendXmlAttribute(strOut, "id", operation.m_nId);
}

}  // namespace

void CSDLEngine::AppendExecutionRecord(const CSDLOperation& operation, const std::string& strText,
                                       std::string& strOut) const {
    CSDLProcess* pProcess = operation.m_pOwner;
    if (!pProcess) {
        return;
    }
    const std::string& strTag = operation.m_strType;
    const std::string strProcess = pProcess->GetFullName(false);
    CSDLmnca* pMnca = pProcess->GetMncaBlock();

    if (strTag == "create") {
        AppendRecordStart(strOut, "create", *pProcess, strProcess, operation);
        strOut += "> New Agent creation. </create>\n";
    } else if (strTag == "input") {
        AppendRecordStart(strOut, "input", *pProcess, strProcess, operation);
        AppendXmlAttribute(strOut, "mnca", pMnca ? "yes" : "no");
        AppendXmlAttribute(strOut, "curcell", pMnca ? pMnca->GetCurrentCell() : 0);
        strOut += '>';
        if (pProcess->m_pCurrentEvent) {
            pProcess->m_pCurrentEvent->AppendXml(strOut);
        }
        strOut += "</input>\n";
    } else if (strTag == "output") {
        const auto* pOutput = dynamic_cast<const CSDLOperationOutput*>(&operation);
        if (!pOutput) {
            return;
        }
        AppendRecordStart(strOut, "output", *pProcess, strProcess, operation);
        AppendXmlAttribute(strOut, "self", pOutput->m_strSelf);
        AppendXmlAttribute(strOut, "to", pOutput->m_strTo);
        AppendXmlAttribute(strOut, "via", pOutput->m_strVia);
        strOut += '>';
        pOutput->m_pSignal->AppendXml(strOut);
        strOut += "</output>\n";
    } else if (strTag == "procedurecallreport") {
        strOut += "\t\t";
        AppendRecordStart(strOut, "report", *pProcess, strProcess, operation);
        AppendXmlAttribute(strOut, "agent", strProcess);
        strOut += '>';
        strOut += strText.c_str();  // up to a NUL, as the other values
        strOut += "</report>\n";
    } else if (strTag == "setstate") {
        AppendRecordStart(strOut, "setstate", *pProcess, strProcess, operation);
        if (pMnca) {
            const int nCell = pMnca->GetCurrentCell();
            const bool bKnown =
                nCell >= 0 && nCell < static_cast<int>(pProcess->m_vecCellStates.size());
            AppendXmlAttribute(strOut, "state",
                               bKnown ? pProcess->m_vecCellStates[static_cast<size_t>(nCell)]
                                      : std::string_view());
            AppendXmlAttribute(strOut, "cell", nCell);
        } else {
            AppendXmlAttribute(strOut, "state", pProcess->m_strCurrentState);
        }
        strOut += "></setstate>\n";
    } else if (strTag == "ProcedureCall") {
        // The call reads its actuals where the caller sees them (a literal as
        // it is, a formal of the enclosing procedure, a process variable).
        auto* pCall = const_cast<CSDLOperationProcedureCall*>(
            dynamic_cast<const CSDLOperationProcedureCall*>(&operation));
        AppendRecordStart(strOut, "procedurecall", *pProcess, strProcess, operation);
        strOut += '>';
        if (pCall) {
            for (const auto& [strKey, pParam] : pCall->m_mapParameters) {
                strOut += "<param";
                AppendXmlAttribute(strOut, "name", strKey);
                AppendXmlAttribute(strOut, "value", pCall->GetActualText(*pParam));
                strOut += "></param>";
            }
        }
        strOut += "</procedurecall>\n";
    }
}

void CSDLEngine::WriteTrace(const CSDLOperation* pOperation, bool bEnable,
                            const std::string& strText) {
    if (!IsExecutionTraceOn() || !bEnable) {
        return;
    }
    if (!pOperation) {
        if (!strText.empty()) {
            EmitRecord(strText, true);
        }
        return;
    }
    m_strRecord.clear();
    AppendExecutionRecord(*pOperation, strText, m_strRecord);
    if (!m_strRecord.empty()) {
        EmitRecord(m_strRecord, true);
    }
}

void CSDLEngine::WriteEyeTrace(const CSDLOperation* pOperation, bool bEnable,
                               const std::string& strText) {
    if (!IsRepresentationTraceOn() || !bEnable) {
        return;
    }
    if (!pOperation) {
        if (!strText.empty()) {
            EmitRecord(strText, false);
        }
        return;
    }
    CSDLProcess* pProcess = pOperation->m_pOwner;
    if (pOperation->m_strType != "setstate" || !pProcess) {
        return;
    }
    m_strRecord.clear();
    m_strRecord += "\t\t<EYE_SetState xTime='";
    AppendFixed(m_strRecord, pProcess->m_dClock);
    m_strRecord += '\'';
    AppendXmlAttribute(m_strRecord, "agent", pProcess->GetFullName(false));
    if (CSDLmnca* pMnca = pProcess->GetMncaBlock()) {
        const auto* pSetState = dynamic_cast<const CSDLOperationSetState*>(pOperation);
        AppendXmlAttribute(m_strRecord, "cell", pMnca->GetCurrentCell());
        AppendXmlAttribute(m_strRecord, "state",
                           pSetState ? pSetState->m_strState : std::string_view());
    } else {
        AppendXmlAttribute(m_strRecord, "state", pProcess->m_strCurrentState);
    }
    m_strRecord += "></EYE_SetState>\n";
    EmitRecord(m_strRecord, false);
}
