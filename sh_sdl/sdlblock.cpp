#include "sh_sdl/sdlblock.h"

#include <map>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

std::string CSDLBlock::Step() {
    std::string strText;
    // Skipping an agent without work leaves everything as its step would.
    if (!MaySkipIdleAgents() || HasOwnWork()) {
        m_pCurrentEvent = GetNextEvent();
        if (m_pCurrentEvent) {
            strText = RouteEvent();
            m_pCurrentEvent.reset();
        }
    }
    const bool bLocal = !m_pEngine || m_pEngine->GetIPMode() == 0;
    // Sub-blocks, then processes, each in map order; a child that a step
    // adds after the one stepped is stepped in this turn too.
    for (CSDLAgent* pChild = NextChildToStep(nullptr, MaySkipIdleAgents()); pChild;
         pChild = NextChildToStep(pChild, MaySkipIdleAgents())) {
        // In a distributed run the other processes run in another instance.
        if (bLocal || dynamic_cast<CSDLBlock*>(pChild) ||
            pChild->m_strIP == m_pEngine->GetIPAddress()) {
            strText += pChild->Step();
        }
    }
    return strText;
}

void CSDLBlock::Initialize() {
    m_strError.clear();
    InitCommon();
    m_bStop = false;
    ForgetStepOrder();
    RetakePendingSlot();
    // A start transition may create instances, which start at once: only
    // the children that were there before are initialised here.
    std::vector<CSDLAgent*> vecChildren;
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        vecChildren.push_back(pBlock.get());
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        vecChildren.push_back(pProcess.get());
    }
    for (CSDLAgent* pChild : vecChildren) {
        pChild->Initialize();
    }
}

std::string CSDLBlock::GetGlobalId(const CSDLAgent* pAgent) {
    std::string strPrefix;
    for (const CSDLAgent* pAncestor = pAgent->m_pParent; pAncestor;
         pAncestor = pAncestor->m_pParent) {
        strPrefix = Format("%d_", pAncestor->m_nId) + strPrefix;
    }
    return Format("%s%d", strPrefix.c_str(), pAgent->m_nId);
}

void CSDLBlock::SetMnca(bool bValue) {
    m_bIsMnca = bValue;
    for (CSDLAgent* pAncestor = m_pParent; pAncestor; pAncestor = pAncestor->m_pParent) {
        if (auto* pBlock = dynamic_cast<CSDLBlock*>(pAncestor)) {
            pBlock->m_bContainsMnca = true;
        }
    }
}

std::string CSDLBlock::DumpStates() const {
    std::string strText;
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        strText += pProcess->DumpStates();
    }
    return strText;
}

std::string CSDLBlock::RouteEvent() {
    CSDLChannelOut* pChannel = nullptr;
    if (!m_pCurrentEvent->m_strRoute.empty()) {
        const std::string strHop = NextTokenOrRest(m_pCurrentEvent->m_strRoute, " ");
        pChannel = GetOutputChannel(strHop);
    } else {
        pChannel = FindOutChannelForSignal(m_pCurrentEvent.get(), 0);
    }
    if (!pChannel) {
        return ReportError(Format("VELKO not found a channel to send the signal %s on block %s.",
                                  m_pCurrentEvent->m_strName.c_str(), m_strName.c_str()),
                           SDL_ERROR);
    }
    return pChannel->Send(m_pCurrentEvent.get());
}

// ---- Instances ------------------------------------------------------------------------

void CSDLBlock::BuildInstance(CSDLBlock* pOut) {
    BuildInstance(pOut, true);
}

void CSDLBlock::BuildInstance(CSDLBlock* pOut, bool bParentEnds) {
    CSDLAgent::CloneInto(pOut, bParentEnds);
    for (const auto& [strKey, pSub] : m_mapBlocks) {
        auto pNewSub = std::make_unique<CSDLBlock>();
        pNewSub->m_bIsMnca = pSub->m_bIsMnca;
        pNewSub->m_bContainsMnca = pSub->m_bContainsMnca;
        pSub->BuildInstance(pNewSub.get(), false);
        pNewSub->m_pParent = pOut;
        const std::string strNewKey = pNewSub->GetFullName(true);
        CSDLBlock* pRaw = pOut->AddBlockAs(strNewKey, std::move(pNewSub));
        if (m_pEngine) {
            m_pEngine->m_mapBlocks[GetGlobalId(pRaw)] = pRaw;
        }
    }
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        auto pNew = std::make_unique<CSDLProcess>();
        pNew->m_pParent = pOut;
        pProcess->CloneInto(pNew.get(), false);
        pNew->m_pParent = pOut;
        pNew->m_vecCellStates = pProcess->m_vecCellStates;
        pNew->m_vecNextCellStates = pProcess->m_vecNextCellStates;
        const std::string strNewKey = pNew->GetFullName(true);
        CSDLProcess* pRaw = pOut->AddProcessAs(strNewKey, std::move(pNew));
        if (m_pEngine) {
            m_pEngine->m_mapProcesses[pRaw->GetFullName(false)] = pRaw;
        }
    }
}

namespace {

// Pairs each agent of a template subtree with its counterpart in an
// instance subtree (children are matched by name, in map order).
void PairAgents(CSDLAgent* pTemplate, CSDLAgent* pInstance,
                std::map<const CSDLAgent*, CSDLAgent*>& mapPairs) {
    mapPairs[pTemplate] = pInstance;
    for (const auto& [strKey, pSub] : pTemplate->m_mapBlocks) {
        for (const auto& [strInstanceKey, pInstanceSub] : pInstance->m_mapBlocks) {
            if (pInstanceSub->m_strName == pSub->m_strName) {
                PairAgents(pSub.get(), pInstanceSub.get(), mapPairs);
                break;
            }
        }
    }
    for (const auto& [strKey, pProcess] : pTemplate->m_mapProcesses) {
        for (const auto& [strInstanceKey, pInstanceProcess] : pInstance->m_mapProcesses) {
            if (pInstanceProcess->m_strName == pProcess->m_strName) {
                mapPairs[pProcess.get()] = pInstanceProcess.get();
                break;
            }
        }
    }
}

template <class T>
void Retarget(T*& pAgent, const std::map<const CSDLAgent*, CSDLAgent*>& mapPairs) {
    if (!pAgent) {
        return;
    }
    auto it = mapPairs.find(pAgent);
    if (it != mapPairs.end()) {
        if (auto* pCounterpart = dynamic_cast<T*>(it->second)) {
            pAgent = pCounterpart;
        }
    }
}

void RetargetSubtree(CSDLAgent* pAgent, const std::map<const CSDLAgent*, CSDLAgent*>& mapPairs) {
    for (auto& [strKey, pChannel] : pAgent->m_mapInputChannels) {
        Retarget(pChannel->m_pSourceBlock, mapPairs);
        Retarget(pChannel->m_pSourceProcess, mapPairs);
    }
    for (auto& [strKey, pChannel] : pAgent->m_mapOutputChannels) {
        Retarget(pChannel->m_pTargetBlock, mapPairs);
        Retarget(pChannel->m_pTargetProcess, mapPairs);
        Retarget(pChannel->m_pSourceBlock, mapPairs);
        Retarget(pChannel->m_pSourceProcess, mapPairs);
    }
    for (auto& [strKey, pSub] : pAgent->m_mapBlocks) {
        RetargetSubtree(pSub.get(), mapPairs);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        RetargetSubtree(pProcess.get(), mapPairs);
    }
}

}  // namespace

void CSDLBlock::RetargetInstanceChannels(CSDLBlock* pInstance) {
    std::map<const CSDLAgent*, CSDLAgent*> mapPairs;
    PairAgents(this, pInstance, mapPairs);
    RetargetSubtree(pInstance, mapPairs);
}
