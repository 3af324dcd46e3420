#include "sh_sdl/sdlagent.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <limits>
#include <type_traits>
#include <utility>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// Children a run of the step order holds at most (one word of busy bits),
// and as many as a new order puts in each, leaving room for children that
// join later.
constexpr size_t kStepChunkSize = 64;
constexpr size_t kStepChunkFill = 32;

}  // namespace

CSDLAgent::CSDLAgent() : m_pInternalChannel(MakeInternalChannel()) {}

CSDLAgent::~CSDLAgent() = default;

std::unique_ptr<CSDLChannelIn> CSDLAgent::MakeInternalChannel() {
    auto pChannel = std::make_unique<CSDLChannelIn>();
    pChannel->m_pOwningAgent = this;
    // The internal channel's source is the agent itself (a process when the
    // agent is one).
    pChannel->m_pSourceProcess = dynamic_cast<CSDLProcess*>(this);
    return pChannel;
}

// ---- Names and searches ---------------------------------------------------------

std::string CSDLAgent::GetFullName(bool bWithIndex) const {
    std::string strText = (m_nInstanceIndex > 0 && bWithIndex)
                              ? Format("%s[%d]", m_strName.c_str(), m_nInstanceIndex)
                              : m_strName;
    for (const CSDLAgent* pAncestor = m_pParent; pAncestor && pAncestor->m_pParent;
         pAncestor = pAncestor->m_pParent) {
        const std::string strPart =
            pAncestor->m_nInstanceIndex > 0
                ? Format("%s[%d]", pAncestor->m_strName.c_str(), pAncestor->m_nInstanceIndex)
                : pAncestor->m_strName;
        strText = strText.empty() ? strPart : strPart + "_" + strText;
    }
    return strText;
}

std::string CSDLAgent::GetTemplateFullName() const {
    std::string strText = m_strName;
    for (const CSDLAgent* pAncestor = m_pParent; pAncestor && pAncestor->m_pParent;
         pAncestor = pAncestor->m_pParent) {
        strText = pAncestor->m_strName + "_" + strText;
    }
    return strText;
}

CSDLmnca* CSDLAgent::GetMncaBlock() const {
    for (CSDLAgent* pAncestor = m_pParent; pAncestor; pAncestor = pAncestor->m_pParent) {
        auto* pBlock = dynamic_cast<CSDLBlock*>(pAncestor);
        if (pBlock && pBlock->IsMnca()) {
            return dynamic_cast<CSDLmnca*>(pBlock);
        }
    }
    return nullptr;
}

CSDLAgent* CSDLAgent::GetRoot() {
    CSDLAgent* pAgent = this;
    while (pAgent->m_pParent) {
        pAgent = pAgent->m_pParent;
    }
    return pAgent;
}

CSDLAgent* CSDLAgent::FindAgentByName(const std::string& strName, bool* pIsBlock) {
    if (CSDLBlock* pBlock = FindIn(m_mapBlocks, strName)) {
        *pIsBlock = true;
        return pBlock;
    }
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        if (CSDLAgent* pHit = pBlock->FindAgentByName(strName, pIsBlock)) {
            return pHit;
        }
    }
    if (CSDLProcess* pProcess = FindIn(m_mapProcesses, strName)) {
        *pIsBlock = false;
        return pProcess;
    }
    return nullptr;
}

CSDLAgent* CSDLAgent::FindAgentByFullName(const std::string& strFullName, bool* pIsBlock) {
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        if (pBlock->GetFullName(false) == strFullName) {
            *pIsBlock = true;
            return pBlock.get();
        }
        if (CSDLAgent* pHit = pBlock->FindAgentByFullName(strFullName, pIsBlock)) {
            return pHit;
        }
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        if (pProcess->GetFullName(false) == strFullName) {
            *pIsBlock = false;
            return pProcess.get();
        }
    }
    *pIsBlock = false;
    return nullptr;
}

// ---- Run ----------------------------------------------------------------------------

void CSDLAgent::Reset() {
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        pBlock->Reset();
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        pProcess->Reset();
    }
    m_dClock = 0.0;
    m_pInternalChannel->Clear();
    m_pInternalChannel = MakeInternalChannel();
    m_pCurrentEvent.reset();
    for (auto& [strKey, pChannel] : m_mapInputChannels) {
        pChannel->Clear();
        pChannel->m_dClock = 0.0;
    }
    for (auto& [strKey, pChannel] : m_mapOutputChannels) {
        pChannel->CloseConnection();
    }
    // The instances of the run may go before the next step.
    ForgetStepOrder();
}

void CSDLAgent::InitCommon() {
    if (!m_pEngine || m_pEngine->GetIPMode() == 0) {
        return;
    }
    for (auto& [strKey, pChannel] : m_mapOutputChannels) {
        if (!pChannel->m_bLocalDelivery) {
            pChannel->m_strHost = GetChannelTargetHost(pChannel.get());
            pChannel->m_nPort = GetChannelTargetPort(pChannel.get());
        }
    }
}

std::string CSDLAgent::GetChannelTargetHost(const CSDLChannelOut* pChannel) {
    const CSDLAgent* pTarget = pChannel->GetTarget();
    return pTarget ? pTarget->m_strIP : std::string();
}

int CSDLAgent::GetChannelTargetPort(const CSDLChannelOut* pChannel) {
    const CSDLAgent* pTarget = pChannel->GetTarget();
    return pTarget ? pTarget->m_nPort : 0;
}

// ---- Channels ----------------------------------------------------------------------

CSDLChannelIn* CSDLAgent::GetInputChannel(const std::string& strName) const {
    return FindIn(m_mapInputChannels, strName);
}

CSDLChannelOut* CSDLAgent::GetOutputChannel(const std::string& strName) const {
    return FindIn(m_mapOutputChannels, strName);
}

CSDLChannelOut* CSDLAgent::FindOutChannelForSignal(const CSDLEvent* pEvent, int n) {
    int nCount = 0;
    for (auto& [strKey, pChannel] : m_mapOutputChannels) {
        if (pChannel->m_strName != pEvent->m_strCameThrough &&
            pChannel->CarriesSignal(pEvent->m_strName)) {
            if (nCount == n) {
                return pChannel.get();
            }
            ++nCount;
        }
    }
    return nullptr;
}

CSDLChannelOut* CSDLAgent::FindPath(const CSDLEvent* pEvent, CSDLAgent* pTarget,
                                    std::string& strPath) {
    m_bVisited = true;
    for (auto& [strKey, pChannel] : m_mapOutputChannels) {
        CSDLAgent* pFar = pChannel->GetTarget();
        if (!pFar || !pChannel->CarriesSignal(pEvent->m_strName) || pFar->m_bVisited) {
            continue;
        }
        if (pFar == pTarget) {
            strPath = pChannel->m_strName;
            return pChannel.get();
        }
        // Only blocks forward signals: a path never passes through a process.
        if (dynamic_cast<CSDLBlock*>(pFar)) {
            std::string strSub;
            if (pFar->FindPath(pEvent, pTarget, strSub)) {
                strPath = pChannel->m_strName + " " + strSub;
                return pChannel.get();
            }
        }
    }
    return nullptr;
}

void CSDLAgent::SetVisited(bool bValue) {
    m_bVisited = bValue;
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        pBlock->SetVisited(bValue);
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        pProcess->SetVisited(bValue);
    }
}

CSDLChannelIn* CSDLAgent::GetEarliestChannel(double* pMinClock) {
    CSDLChannelIn* pChosen = nullptr;
    bool bHaveClock = false;
    double dMinClock = 0.0;
    for (auto& [strKey, pChannel] : m_mapInputChannels) {
        if (!bHaveClock || pChannel->m_dClock < dMinClock) {
            dMinClock = pChannel->m_dClock;
            bHaveClock = true;
        }
        const CSDLEvent* pHead = pChannel->GetHeadEvent();
        if (pHead &&
            (!pChosen || pHead->m_dExecutionTime < pChosen->GetHeadEvent()->m_dExecutionTime)) {
            pChosen = pChannel.get();
        }
    }
    const CSDLEvent* pInternalHead = m_pInternalChannel->GetHeadEvent();
    if (pInternalHead &&
        (!pChosen || pInternalHead->m_dExecutionTime < pChosen->GetHeadEvent()->m_dExecutionTime)) {
        pChosen = m_pInternalChannel.get();
    }
    if (bHaveClock) {
        *pMinClock = dMinClock;
    }
    return pChosen;
}

SPendingSlot* CSDLAgent::GetPendingSlot() {
    if (!m_pEngine) {
        return nullptr;
    }
    if (!m_pPendingSlot || m_nPendingGeneration != m_pEngine->GetPendingGeneration()) {
        m_pPendingSlot = &m_pEngine->TakePendingSlot(GetPendingKey(), this);
        m_nPendingGeneration = m_pEngine->GetPendingGeneration();
        PendingTimeChanged(m_pPendingSlot->bPending && m_pPendingSlot->pOwner == this);
    }
    return m_pPendingSlot;
}

void CSDLAgent::UpdatePendingTime(double dTime, bool bRemove) {
    if (SPendingSlot* pSlot = GetPendingSlot()) {
        m_pEngine->UpdatePendingSlot(*pSlot, dTime, bRemove);
    }
}

void CSDLAgent::PendingTimeChanged(bool bPending) {
    m_bPendingHere = bPending;
    UpdateBusy();
}

void CSDLAgent::RetakePendingSlot() {
    m_pPendingSlot = nullptr;
    GetPendingSlot();
}

// ---- Agents with work -----------------------------------------------------------------

void CSDLAgent::QueuedEventsChanged(int nDelta) {
    m_nQueuedEvents += nDelta;
    UpdateBusy();
}

bool CSDLAgent::HasOwnWork() const {
    return m_nQueuedEvents > 0 || m_bPendingHere;
}

bool CSDLAgent::MaySkipIdleAgents() const {
    return !m_pEngine || m_pEngine->PendingTimesAreOwned();
}

std::string CSDLAgent::CheckAgentsWithWork(bool& bBusy) const {
    bBusy = false;
    if (!MaySkipIdleAgents()) {
        return {};  // every agent is stepped: nothing is skipped
    }
    size_t nQueued = m_pInternalChannel->GetCount();
    for (const auto& [strKey, pChannel] : m_mapInputChannels) {
        nQueued += pChannel->GetCount();
    }
    const SPendingSlot* pSlot = m_pEngine ? m_pEngine->FindPendingSlot(GetPendingKey()) : nullptr;
    const bool bPending = pSlot && pSlot->bPending && pSlot->pOwner == this;
    const std::string strName = m_pParent ? GetFullName(true) : m_strName;
    if (static_cast<int>(nQueued) != m_nQueuedEvents || bPending != m_bPendingHere) {
        return Format("%s counts %d queued events%s; its channels hold %d%s", strName.c_str(),
                      m_nQueuedEvents, m_bPendingHere ? " and a pending time" : "",
                      static_cast<int>(nQueued),
                      bPending ? " and the table a time under its key" : "");
    }
    bool bChildBusy = false;
    // A made order holds every child at its place and marks each busy one;
    // an order that does not hold them all is made anew before it is used.
    const bool bOrderComplete = StepOrderIsComplete();
    size_t nChunk = 0;
    size_t nOffset = 0;
    int nMarkedBusy = 0;
    auto checkChild = [&](const CSDLAgent& child) -> std::string {
        bool bBusyBelow = false;
        std::string strText = child.CheckAgentsWithWork(bBusyBelow);
        if (!strText.empty()) {
            return strText;
        }
        bChildBusy = bChildBusy || bBusyBelow;
        if (!bOrderComplete) {
            return {};
        }
        while (nChunk < m_vecStepChunks.size() &&
               nOffset >= m_vecStepChunks[nChunk]->vecChildren.size()) {
            ++nChunk;
            nOffset = 0;
        }
        const SStepChunk* pChunk =
            nChunk < m_vecStepChunks.size() ? m_vecStepChunks[nChunk].get() : nullptr;
        if (!pChunk || pChunk->nIndex != nChunk || pChunk->vecChildren[nOffset] != &child ||
            !HoldsInStepOrder(&child) || child.m_pStepChunk != pChunk ||
            child.m_nStepIndex != nOffset) {
            return Format("%s does not hold %s at its place in its step order", strName.c_str(),
                          child.GetFullName(true).c_str());
        }
        const bool bMarked = ((m_vecBusyBits[nChunk] >> nOffset) & 1) != 0;
        if (bMarked != bBusyBelow) {
            return Format("%s does not mark %s as %s", strName.c_str(),
                          child.GetFullName(true).c_str(), bBusyBelow ? "busy" : "idle");
        }
        nMarkedBusy += bMarked ? 1 : 0;
        ++nOffset;
        return {};
    };
    for (const auto& [strKey, pBlock] : m_mapBlocks) {
        if (std::string strText = checkChild(*pBlock); !strText.empty()) {
            return strText;
        }
    }
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        if (std::string strText = checkChild(*pProcess); !strText.empty()) {
            return strText;
        }
    }
    if (bOrderComplete) {
        // No bit past a chunk's children (a step would visit a child that
        // is not there), and the busy count the agent goes by.
        for (const auto& pChunk : m_vecStepChunks) {
            const size_t nSize = pChunk->vecChildren.size();
            if (nSize < kStepChunkSize && (m_vecBusyBits[pChunk->nIndex] >> nSize) != 0) {
                return Format("%s marks busy children past the end of a run of its step order",
                              strName.c_str());
            }
        }
        if (nMarkedBusy != m_nBusyChildren) {
            return Format("%s counts %d busy children; its step order marks %d", strName.c_str(),
                          m_nBusyChildren, nMarkedBusy);
        }
    }
    bBusy = nQueued > 0 || bPending || bChildBusy;
    if (bBusy != m_bBusy) {
        return Format("%s is marked %s, but a full sweep finds %s", strName.c_str(),
                      m_bBusy ? "busy" : "idle", bBusy ? "work in it" : "nothing to do");
    }
    return {};
}

void CSDLAgent::UpdateBusy() {
    // A forgotten order no longer counts the busy children, while they keep
    // their marks and tell only of changes: count them anew from the maps
    // (which calls back here with the order made).
    if (!m_bStepOrderMade) {
        MakeStepOrder();
        return;
    }
    const bool bBusy = HasOwnWork() || m_nBusyChildren > 0;
    if (bBusy != m_bBusy) {
        m_bBusy = bBusy;
        if (m_pParent) {
            m_pParent->ChildBusyChanged(this, bBusy);
        }
    }
}

void CSDLAgent::ChildBusyChanged(CSDLAgent* pChild, bool bBusy) {
    EnsureStepOrder();
    if (!HoldsInStepOrder(pChild)) {
        return;  // not held in this agent's maps
    }
    uint64_t& nWord = m_vecBusyBits[pChild->m_pStepChunk->nIndex];
    const uint64_t nBit = uint64_t{1} << pChild->m_nStepIndex;
    if (((nWord & nBit) != 0) == bBusy) {
        return;  // the order was just made with it
    }
    nWord ^= nBit;
    m_nBusyChildren += bBusy ? 1 : -1;
    UpdateBusy();
}

bool CSDLAgent::StepOrderIsComplete() const {
    return m_bStepOrderMade && m_nStepOrderSize == m_mapBlocks.size() + m_mapProcesses.size();
}

void CSDLAgent::EnsureStepOrder() {
    if (!StepOrderIsComplete()) {
        MakeStepOrder();
    }
}

bool CSDLAgent::HoldsInStepOrder(const CSDLAgent* pChild) const {
    return m_bStepOrderMade && pChild->m_pParent == this && pChild->m_pStepChunk &&
           pChild->m_nStepGeneration == m_nStepOrderGeneration;
}

void CSDLAgent::PlaceInStepOrder(CSDLAgent* pChild, SStepChunk& chunk, size_t nOffset) {
    pChild->m_pStepChunk = &chunk;
    pChild->m_nStepIndex = nOffset;
    pChild->m_nStepGeneration = m_nStepOrderGeneration;
}

void CSDLAgent::MakeStepOrder() {
    ++m_nStepOrderGeneration;
    m_vecStepChunks.clear();
    m_vecBusyBits.clear();
    m_nStepOrderSize = 0;
    m_nBusyChildren = 0;
    auto append = [&](CSDLAgent* pChild) {
        if (m_vecStepChunks.empty() ||
            m_vecStepChunks.back()->vecChildren.size() == kStepChunkFill) {
            auto pChunk = std::make_unique<SStepChunk>();
            pChunk->nIndex = m_vecStepChunks.size();
            m_vecStepChunks.push_back(std::move(pChunk));
            m_vecBusyBits.push_back(0);
        }
        SStepChunk& chunk = *m_vecStepChunks.back();
        PlaceInStepOrder(pChild, chunk, chunk.vecChildren.size());
        if (pChild->m_bBusy) {
            m_vecBusyBits.back() |= uint64_t{1} << chunk.vecChildren.size();
            ++m_nBusyChildren;
        }
        chunk.vecChildren.push_back(pChild);
        ++m_nStepOrderSize;
    };
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        append(pBlock.get());
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        append(pProcess.get());
    }
    m_bStepOrderMade = true;
    UpdateBusy();
}

void CSDLAgent::SplitStepChunk(SStepChunk& chunk) {
    constexpr size_t nHalf = kStepChunkSize / 2;
    auto pUpper = std::make_unique<SStepChunk>();
    pUpper->vecChildren.assign(chunk.vecChildren.begin() + nHalf, chunk.vecChildren.end());
    chunk.vecChildren.resize(nHalf);
    const size_t nAt = chunk.nIndex + 1;
    const uint64_t nWord = m_vecBusyBits[chunk.nIndex];
    m_vecBusyBits[chunk.nIndex] = nWord & ((uint64_t{1} << nHalf) - 1);
    m_vecBusyBits.insert(m_vecBusyBits.begin() + static_cast<std::ptrdiff_t>(nAt), nWord >> nHalf);
    m_vecStepChunks.insert(m_vecStepChunks.begin() + static_cast<std::ptrdiff_t>(nAt),
                           std::move(pUpper));
    for (size_t i = nAt; i < m_vecStepChunks.size(); ++i) {
        m_vecStepChunks[i]->nIndex = i;
    }
    SStepChunk& upper = *m_vecStepChunks[nAt];
    for (size_t i = 0; i < upper.vecChildren.size(); ++i) {
        PlaceInStepOrder(upper.vecChildren[i], upper, i);
    }
}

void CSDLAgent::JoinStepOrder(CSDLAgent* pChild, const CSDLAgent* pAfter) {
    if (m_vecStepChunks.empty()) {
        m_vecStepChunks.push_back(std::make_unique<SStepChunk>());
        m_vecBusyBits.push_back(0);
    }
    SStepChunk* pChunk = pAfter ? pAfter->m_pStepChunk : m_vecStepChunks.front().get();
    size_t nOffset = pAfter ? pAfter->m_nStepIndex + 1 : 0;
    if (pChunk->vecChildren.size() == kStepChunkSize) {
        SplitStepChunk(*pChunk);
        if (nOffset > kStepChunkSize / 2) {
            pChunk = m_vecStepChunks[pChunk->nIndex + 1].get();
            nOffset -= kStepChunkSize / 2;
        }
    }
    // At most 63 children before: the bits above nOffset move up by one.
    std::vector<CSDLAgent*>& vecChildren = pChunk->vecChildren;
    vecChildren.insert(vecChildren.begin() + static_cast<std::ptrdiff_t>(nOffset), pChild);
    uint64_t& nWord = m_vecBusyBits[pChunk->nIndex];
    const uint64_t nBelow = (uint64_t{1} << nOffset) - 1;
    nWord = (nWord & nBelow) | ((nWord & ~nBelow) << 1);
    for (size_t i = nOffset; i < vecChildren.size(); ++i) {
        PlaceInStepOrder(vecChildren[i], *pChunk, i);
    }
    ++m_nStepOrderSize;
    if (pChild->m_bBusy) {
        nWord |= uint64_t{1} << nOffset;
        ++m_nBusyChildren;
        UpdateBusy();
    }
}

CSDLAgent* CSDLAgent::NextChildToStep(const CSDLAgent* pAfter, bool bBusyOnly) {
    EnsureStepOrder();
    size_t nChunk = 0;
    size_t nOffset = 0;
    if (pAfter) {
        if (!HoldsInStepOrder(pAfter)) {
            return nullptr;  // no longer a child: nothing follows it
        }
        nChunk = pAfter->m_pStepChunk->nIndex;
        nOffset = pAfter->m_nStepIndex + 1;
    }
    for (; nChunk < m_vecStepChunks.size(); ++nChunk, nOffset = 0) {
        const std::vector<CSDLAgent*>& vecChildren = m_vecStepChunks[nChunk]->vecChildren;
        if (!bBusyOnly) {
            if (nOffset < vecChildren.size()) {
                return vecChildren[nOffset];
            }
            continue;
        }
        const uint64_t nBits =
            nOffset >= kStepChunkSize ? 0 : m_vecBusyBits[nChunk] & (~uint64_t{0} << nOffset);
        if (nBits != 0) {
            return vecChildren[static_cast<size_t>(std::countr_zero(nBits))];
        }
    }
    return nullptr;
}

void CSDLAgent::ForgetStepOrder() {
    m_bStepOrderMade = false;
    m_vecStepChunks.clear();
    m_vecBusyBits.clear();
    m_nStepOrderSize = 0;
    m_nBusyChildren = 0;
}

std::unique_ptr<CSDLEvent> CSDLAgent::GetNextEvent() {
    double dMinClock = -std::numeric_limits<double>::infinity();
    CSDLChannelIn* pChannel = GetEarliestChannel(&dMinClock);
    const CSDLEvent* pHead = pChannel ? pChannel->GetHeadEvent() : nullptr;
    SPendingSlot* pSlot = GetPendingSlot();
    if (!pHead) {
        if (pSlot) {
            m_pEngine->UpdatePendingSlot(*pSlot, 0.0, true);
        }
        return nullptr;
    }
    const double dHeadTime = pHead->m_dExecutionTime;
    if (pSlot) {
        bool bFound = false;
        const double dEngineNext = m_pEngine->GetNextEventTime(&bFound);
        // Conservative test: wait while some input channel may still bring an
        // earlier event and another agent has one pending earlier. The
        // agent's time is then its head's.
        if (bFound && dMinClock < dHeadTime && dEngineNext < dHeadTime) {
            m_pEngine->ReplacePendingSlot(*pSlot, true, dHeadTime);
            return nullptr;
        }
    }
    std::unique_ptr<CSDLEvent> pEvent = pChannel->RemoveHeadEvent();
    if (m_pEngine) {
        m_pEngine->NoteEventTaken();
    }
    pChannel->m_dClock = dHeadTime;
    m_dClock = dHeadTime;
    if (pSlot) {
        // The agent's time becomes that of its next head, if any.
        double dIgnored = 0.0;
        CSDLChannelIn* pNext = GetEarliestChannel(&dIgnored);
        m_pEngine->ReplacePendingSlot(*pSlot, pNext != nullptr,
                                      pNext ? pNext->GetHeadEvent()->m_dExecutionTime : 0.0);
    }
    return pEvent;
}

// ---- Errors -------------------------------------------------------------------------

std::string CSDLAgent::ReportError(const std::string& strMessage, int nLevel) {
    if (m_pEngine) {
        m_pEngine->SetErrorPending();
    }
    m_bStop = true;
    const std::string strFullName = GetFullName(false);
    std::string strText =
        m_pCurrentEvent ? Format("Error on process %s for %s event on time %f.",
                                 strFullName.c_str(), m_pCurrentEvent->m_strName.c_str(), m_dClock)
                        : Format("Error on process %s on time %f.", strFullName.c_str(), m_dClock);
    if (!strMessage.empty()) {
        strText += " " + strMessage;
    }
    m_strError = strText;
    if (m_pEngine) {
        // Stepping, every error of a step is shown, each as its own line.
        m_pEngine->CollectStepError(Format("ERROR: %s: PID: %s (%s)", m_strName.c_str(),
                                           strFullName.c_str(), strText.c_str()));
    }
    if (m_pEngine && m_pEngine->IsExecutionTraceOn() && m_pEngine->m_bInitialized) {
        const char* pszElement = nLevel == SDL_INFO      ? "info"
                                 : nLevel == SDL_WARNING ? "warning"
                                                         : "error";
        m_pEngine->WriteTrace(
            nullptr, true,
            Format("<%s>%s</%s>\n", pszElement, EscapeXmlText(strText).c_str(), pszElement));
    }
    return strText;
}

std::string CSDLAgent::GetErrorReport() const {
    std::string strText;
    if (!m_strError.empty()) {
        strText = Format("ERROR: %s: PID: %s (%s\n)", m_strName.c_str(), GetFullName(false).c_str(),
                         m_strError.c_str());
    }
    for (const auto& [strKey, pBlock] : m_mapBlocks) {
        strText += '\n';
        strText += pBlock->GetErrorReport();
    }
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        strText += '\n';
        strText += pProcess->GetErrorReport();
    }
    return strText;
}

// ---- Children -------------------------------------------------------------------------

CSDLBlock* CSDLAgent::AddBlock(std::unique_ptr<CSDLBlock> pBlock) {
    const std::string strKey =
        pBlock->m_nInstanceIndex > 0
            ? Format("%s[%d]", pBlock->m_strName.c_str(), pBlock->m_nInstanceIndex)
            : pBlock->m_strName;
    return AddBlockAs(strKey, std::move(pBlock));
}

CSDLProcess* CSDLAgent::AddProcess(std::unique_ptr<CSDLProcess> pProcess) {
    const std::string strKey = pProcess->m_strName;
    return AddProcessAs(strKey, std::move(pProcess));
}

CSDLBlock* CSDLAgent::AddBlockAs(const std::string& strKey, std::unique_ptr<CSDLBlock> pBlock) {
    CSDLBlock* pRaw = pBlock.get();
    AdoptChild(m_mapBlocks, strKey, std::move(pBlock));
    return pRaw;
}

CSDLProcess* CSDLAgent::AddProcessAs(const std::string& strKey,
                                     std::unique_ptr<CSDLProcess> pProcess) {
    CSDLProcess* pRaw = pProcess.get();
    AdoptChild(m_mapProcesses, strKey, std::move(pProcess));
    return pRaw;
}

template <class T>
void CSDLAgent::AdoptChild(COwningNameMap<T>& map, const std::string& strKey,
                           std::unique_ptr<T> pChild) {
    pChild->m_pParent = this;
    const bool bJoin = StepOrderIsComplete();
    auto [it, bInserted] = map.try_emplace(strKey);
    if (!bInserted) {
        // The child replaced may be in the order: it is made anew.
        ForgetStepOrder();
    }
    it->second = std::move(pChild);
    if (!bInserted || !bJoin) {
        return;
    }
    // Right after the child before it in the step order: the one before it
    // in its map, else, for the first process, the last sub-block.
    const CSDLAgent* pAfter = nullptr;
    if (it != map.begin()) {
        pAfter = std::prev(it)->second.get();
    } else if (std::is_same_v<T, CSDLProcess> && !m_mapBlocks.empty()) {
        pAfter = std::prev(m_mapBlocks.end())->second.get();
    }
    JoinStepOrder(it->second.get(), pAfter);
}

CSDLBlock* CSDLAgent::GetBlock(const std::string& strKey) const {
    return FindIn(m_mapBlocks, strKey);
}

CSDLProcess* CSDLAgent::GetProcess(const std::string& strKey) const {
    return FindIn(m_mapProcesses, strKey);
}

// ---- Instances ------------------------------------------------------------------------

void CSDLAgent::CloneInto(CSDLAgent* pOut, bool bParentEnds) {
    ++m_nInstanceCount;
    pOut->m_pParent = m_pParent;
    pOut->m_bStop = m_bStop.load();
    pOut->m_pEngine = m_pEngine;
    pOut->m_nId = m_nId;
    pOut->m_nPort = m_nPort;
    pOut->m_strIP = m_strIP;
    pOut->m_dClock = m_dClock;
    pOut->m_strName = m_strName;
    pOut->m_pCurrentEvent.reset();
    pOut->m_nInstanceIndex = m_nInstanceCount;
    pOut->m_nInstanceCount = 0;
    pOut->m_nCreationNumber = m_pEngine ? m_pEngine->m_nCreateCount : 0;
    pOut->m_strPosX = m_strPosX;
    pOut->m_strPosY = m_strPosY;
    pOut->m_strPosZ = m_strPosZ;
    pOut->m_strMesh = m_strMesh;
    pOut->m_bAnimSetState = m_bAnimSetState;
    pOut->m_bAnimInput = m_bAnimInput;
    pOut->m_bAnimOutput = m_bAnimOutput;
    pOut->m_bTraceSetState = m_bTraceSetState;
    pOut->m_bTraceInput = m_bTraceInput;
    pOut->m_bTraceOutput = m_bTraceOutput;
    CopyChannelsTo(pOut, false);
    if (m_pParent && bParentEnds) {
        m_pParent->CopyChannelsTo(pOut, true);
    }
}

void CSDLAgent::CopyChannelsTo(CSDLAgent* pOut, bool bFromParent) {
    const int nIndex = pOut->m_nInstanceIndex;
    auto* pOutProcess = dynamic_cast<CSDLProcess*>(pOut);
    auto* pOutBlock = dynamic_cast<CSDLBlock*>(pOut);

    // The ends to copy: the template's own, or the parent's ends of the
    // channels between the parent and the template. Those are looked up
    // under the names of the template's own ends, so the ends the parent
    // holds for earlier instances are not walked.
    std::vector<std::pair<std::string, const CSDLChannelIn*>> vecIn;
    std::vector<std::pair<std::string, const CSDLChannelOut*>> vecOut;
    if (!bFromParent) {
        for (const auto& [strKey, pChannel] : m_mapInputChannels) {
            vecIn.emplace_back(strKey, pChannel.get());
        }
        for (const auto& [strKey, pChannel] : m_mapOutputChannels) {
            vecOut.emplace_back(strKey, pChannel.get());
        }
    } else if (const CSDLProcess* pTemplate = pOutProcess ? GetProcess(pOut->m_strName) : nullptr) {
        for (const auto& [strKey, pTemplateEnd] : pTemplate->m_mapOutputChannels) {
            const CSDLChannelIn* pChannel = GetInputChannel(strKey);
            if (pChannel && pChannel->m_pSourceProcess == pTemplate) {
                vecIn.emplace_back(strKey, pChannel);
            }
        }
        for (const auto& [strKey, pTemplateEnd] : pTemplate->m_mapInputChannels) {
            const CSDLChannelOut* pChannel = GetOutputChannel(strKey);
            if (pChannel && pChannel->m_pTargetProcess == pTemplate) {
                vecOut.emplace_back(strKey, pChannel);
            }
        }
    }

    CSDLAgent* pHolder = bFromParent ? this : pOut;
    for (const auto& [strKey, pChannel] : vecIn) {
        auto pNew = std::make_unique<CSDLChannelIn>();
        pChannel->CopyTo(pNew.get());
        pNew->m_strName = Format("%s[%d]", strKey.c_str(), nIndex);
        pNew->m_pOwningAgent = pHolder;
        if (bFromParent) {
            pNew->m_pSourceProcess = pOutProcess;
        }
        std::string strName = pNew->m_strName;
        pHolder->m_mapInputChannels[strName] = std::move(pNew);
    }
    for (const auto& [strKey, pChannel] : vecOut) {
        auto pNew = std::make_unique<CSDLChannelOut>();
        pChannel->CopyTo(pNew.get());
        pNew->m_strName = Format("%s[%d]", strKey.c_str(), nIndex);
        if (bFromParent) {
            pNew->m_pTargetProcess = pOutProcess;
        } else {
            pNew->m_pSourceProcess = pOutProcess;
            pNew->m_pSourceBlock = pOutProcess ? nullptr : pOutBlock;
        }
        std::string strName = pNew->m_strName;
        pHolder->m_mapOutputChannels[strName] = std::move(pNew);
    }

    if (!bFromParent) {
        auto pInternal = std::make_unique<CSDLChannelIn>();
        m_pInternalChannel->CopyTo(pInternal.get());
        pInternal->m_strName = Format("%s[%d]", m_pInternalChannel->m_strName.c_str(), nIndex);
        pInternal->m_pOwningAgent = pOut;
        pInternal->m_pSourceProcess = pOutProcess;
        pOut->m_pInternalChannel = std::move(pInternal);
        pOut->InitCommon();
    }
}

void CSDLAgent::LinkInstanceToSiblings(CSDLAgent* pInstance) {
    const int nIndex = pInstance->m_nInstanceIndex;
    auto* pInstanceProcess = dynamic_cast<CSDLProcess*>(pInstance);
    auto* pInstanceBlock = dynamic_cast<CSDLBlock*>(pInstance);
    auto isSibling = [&](CSDLAgent* pAgent) {
        return pAgent && pAgent != this && pAgent != m_pParent && pAgent != pInstance;
    };
    // Signals the template receives from a sibling: the sibling gets an
    // output end to the instance.
    for (const auto& [strKey, pChannel] : m_mapInputChannels) {
        CSDLAgent* pSource = pChannel->m_pSourceProcess
                                 ? static_cast<CSDLAgent*>(pChannel->m_pSourceProcess)
                                 : static_cast<CSDLAgent*>(pChannel->m_pSourceBlock);
        if (!isSibling(pSource)) {
            continue;
        }
        CSDLChannelOut* pSourceEnd = pSource->GetOutputChannel(strKey);
        if (!pSourceEnd) {
            continue;
        }
        auto pNew = std::make_unique<CSDLChannelOut>();
        pSourceEnd->CopyTo(pNew.get());
        pNew->m_strName = Format("%s[%d]", strKey.c_str(), nIndex);
        pNew->m_pTargetProcess = pInstanceProcess;
        pNew->m_pTargetBlock = pInstanceProcess ? nullptr : pInstanceBlock;
        std::string strName = pNew->m_strName;
        pSource->m_mapOutputChannels[strName] = std::move(pNew);
    }
    // Signals the template sends to a sibling: the sibling gets an input end
    // from the instance.
    for (const auto& [strKey, pChannel] : m_mapOutputChannels) {
        CSDLAgent* pTarget = pChannel->GetTarget();
        if (!isSibling(pTarget)) {
            continue;
        }
        CSDLChannelIn* pTargetEnd = pTarget->GetInputChannel(strKey);
        if (!pTargetEnd) {
            continue;
        }
        auto pNew = std::make_unique<CSDLChannelIn>();
        pTargetEnd->CopyTo(pNew.get());
        pNew->m_strName = Format("%s[%d]", strKey.c_str(), nIndex);
        pNew->m_pOwningAgent = pTarget;
        pNew->m_pSourceProcess = pInstanceProcess;
        pNew->m_pSourceBlock = pInstanceProcess ? nullptr : pInstanceBlock;
        std::string strName = pNew->m_strName;
        pTarget->m_mapInputChannels[strName] = std::move(pNew);
    }
}

// ---- Self-description ---------------------------------------------------------------

std::string CSDLAgent::GetModelInfoXml() const {
    const CSDLAgent* pRoot =
        (m_pEngine && m_pEngine->GetRootAgent()) ? m_pEngine->GetRootAgent() : this;
    while (pRoot->m_pParent) {
        pRoot = pRoot->m_pParent;
    }
    return "\t<ModelInfo>\n\t\t<ModelName>" + EscapeXmlText(pRoot->m_strName) +
           "</ModelName>\n\t\t<Agents>\n" + pRoot->GetAgentsXml() +
           "\t\t</Agents>\n\t</ModelInfo>\n";
}

std::string CSDLAgent::GetAgentsXml() const {
    std::string strText;
    for (const auto& [strKey, pBlock] : m_mapBlocks) {
        strText += pBlock->GetAgentsXml();
    }
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        const std::string strName = EscapeXmlSingleQuoted(pProcess->GetFullName(false));
        const CSDLmnca* pMnca = pProcess->GetMncaBlock();
        if (pMnca && pMnca->GetMainLayer()) {
            strText += Format("\t\t\t<Agent name='%s' grid='%s'>\n", strName.c_str(),
                              EscapeXmlSingleQuoted(pMnca->GetGridName()).c_str());
        } else if (pMnca) {
            strText += Format("\t\t\t<Agent name='%s' cells='%d'>\n", strName.c_str(),
                              pMnca->GetNumCells());
        } else {
            strText += Format("\t\t\t<Agent name='%s'>\n", strName.c_str());
        }
        for (const auto& [strState, pFirst] : pProcess->m_mapStates) {
            const std::string strStateName = EscapeXmlSingleQuoted(strState);
            const C3DRepresentation* pRep = FindIn(pProcess->m_mapRepresentations, strState);
            if (pMnca) {
                strText +=
                    Format("\t\t\t\t<state name='%s'><mesh scale='1'>default.png</mesh></state>\n",
                           strStateName.c_str());
            } else if (pRep) {
                strText += Format(
                    " \t\t\t\t<state name='%s'>\n \t\t\t\t\t<mesh scale='%f'>%s</mesh>\n "
                    "\t\t\t\t\t<pos x='%f' y='%f' z='%f' />\n \t\t\t\t\t<rot x='%f' y='%f' "
                    "z='%f' />\n \t\t\t\t</state>\n",
                    strStateName.c_str(), pRep->m_dScale, EscapeXmlText(pRep->m_strMesh).c_str(),
                    pRep->m_dPosX, pRep->m_dPosY, pRep->m_dPosZ, pRep->m_dRotX, pRep->m_dRotY,
                    pRep->m_dRotZ);
            } else {
                strText += Format(
                    "\t\t\t\t<state name='%s'>\n \t\t\t\t\t<mesh scale='1'>default.obj</mesh>\n "
                    "\t\t\t\t\t<pos x='0' y='0' z='0' />\n \t\t\t\t\t<rot x='0' y='0' z='0' />\n "
                    "\t\t\t\t</state>\n",
                    strStateName.c_str());
            }
        }
        strText += "\t\t\t</Agent>\n";
    }
    return strText;
}

namespace {

// A parametrization whose texts hold a control character that XML 1.0
// cannot hold is written as XML 1.1, where it is a reference, and so is
// every character 1.1 holds only as one or reads as a line end. A text
// without such a control character keeps the form it has always had.
std::string WithControlCharacters(std::string strText) {
    const bool bControl = std::any_of(strText.begin(), strText.end(), [](char ch) {
        const auto uch = static_cast<unsigned char>(ch);
        return uch > 0 && uch < 0x20 && uch != '\t' && uch != '\n' && uch != '\r';
    });
    if (!bControl) {
        return strText;
    }
    std::string strOut = "<?xml version='1.1' encoding='utf-8'?>\n";
    strOut.reserve(strText.size() + 64);
    AppendXmlCharacterReferences(strOut, strText);
    return strOut;
}

}  // namespace

std::string CSDLAgent::GetParametrizationXml() const {
    std::string strText = "<Parametrization>\n\t<DCLS>\n";
    if (!m_pEngine) {
        return strText + "\t</DCLS>\n\t<ExternalEvents>\n\t</ExternalEvents>\n</Parametrization>";
    }
    for (const auto& [strKey, pProcess] : m_pEngine->m_mapProcesses) {
        for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
            // The model's own value, never a run's. A text keeps its blanks,
            // tabs and line ends; a number is written without the blanks
            // around it.
            // An empty text is a text: left out, an import would keep the
            // model's declared one instead.
            const std::string& strOwn = pVariable->m_strSourceText;
            const bool bText = pVariable->HasType("char*");
            const std::string strValue = bText ? strOwn : Trim(strOwn);
            if (strValue.empty() && !bText) {
                continue;
            }
            strText += Format("\t\t<DCL agent=\"%s\" name=\"%s\" type=\"%s\" value=\"%s\" />\n",
                              EscapeXmlAttribute(strKey).c_str(),
                              EscapeXmlAttribute(pVariable->m_strName).c_str(),
                              EscapeXmlAttribute(pVariable->m_strType).c_str(),
                              EscapeXmlAttribute(strValue).c_str());
        }
    }
    strText += "\t</DCLS>\n\t<ExternalEvents>\n";
    for (const auto& [strKey, pProcess] : m_pEngine->m_mapProcesses) {
        const std::string strAgent = EscapeXmlSingleQuoted(pProcess->GetFullName(false));
        for (const auto& pEvent : pProcess->m_listInitialEvents) {
            // Six decimals where they give the time back, else the time to
            // the last digit: two events a millionth apart keep their order.
            strText += Format("\t\t<ExternalEvent agent='%s' type='%s' xTime='%s'>\n",
                              strAgent.c_str(), EscapeXmlSingleQuoted(pEvent->m_strName).c_str(),
                              DoubleToFixedOrExactString(pEvent->m_dExecutionTime).c_str());
            for (const auto& [strParam, pParam] : pEvent->m_mapUserParams) {
                // A parameter without a type is written without one: a type
                // written empty names no type, and is refused.
                const std::string strType =
                    pParam->m_strType.empty()
                        ? std::string()
                        : " type='" + EscapeXmlSingleQuoted(pParam->m_strType) + "'";
                strText += Format("\t\t\t<param name='%s'%s value='%s' />\n",
                                  EscapeXmlSingleQuoted(pParam->m_strName).c_str(), strType.c_str(),
                                  EscapeXmlSingleQuoted(pParam->m_strValue).c_str());
            }
            strText += "\t\t</ExternalEvent>\n";
        }
    }
    strText += "\t</ExternalEvents>\n</Parametrization>";
    return WithControlCharacters(std::move(strText));
}
