#include "sh_sdl/sdloperationcreate.h"

#include <vector>

#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// A new agent lives from the moment it is made: its clock, and the clocks of
// its channels, start at the creator's time (the template's clock is that of
// an agent that may never have run). The keys of the subtree go to vecKeys.
void StartClocksAt(CSDLAgent* pAgent, double dTime, std::vector<std::string>& vecKeys) {
    pAgent->m_dClock = dTime;
    pAgent->m_pInternalChannel->m_dClock = dTime;
    for (auto& [strName, pChannel] : pAgent->m_mapInputChannels) {
        pChannel->m_dClock = dTime;
    }
    vecKeys.push_back(pAgent->GetFullName(true));
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        StartClocksAt(pBlock.get(), dTime, vecKeys);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        StartClocksAt(pProcess.get(), dTime, vecKeys);
    }
}

}  // namespace

CSDLOperation* CSDLOperationCreate::Execute() {
    CSDLEngine* pEngine = GetEngine();
    if (!pEngine || !pEngine->GetRootAgent()) {
        return m_pNext;
    }
    ++pEngine->m_nCreateCount;
    const double dNow = m_pOwner ? m_pOwner->m_dClock : 0.0;
    bool bIsBlock = false;
    CSDLAgent* pTemplate = pEngine->GetRootAgent()->FindAgentByName(m_strTarget, &bIsBlock);
    if (!pTemplate) {
        return m_pNext;
    }
    // Each new agent enters the tree under the tree lock, then starts (its
    // start transition may ask the user) with the lock released.
    const int nCount = bIsBlock ? 1 : m_nQuantity;
    for (int i = 0; i < nCount; ++i) {
        CSDLAgent* pNewAgent = nullptr;
        std::vector<std::string> vecKeys;
        {
            auto lock = pEngine->LockTreeForChange();
            if (bIsBlock) {
                pNewAgent = AddBlockInstance(static_cast<CSDLBlock*>(pTemplate));
            } else {
                pNewAgent = AddProcessInstance(static_cast<CSDLProcess*>(pTemplate));
            }
            if (pNewAgent) {
                StartClocksAt(pNewAgent, dNow, vecKeys);
            }
        }
        if (pNewAgent) {
            pEngine->NotifyAgentsChanged(vecKeys, {});
            pNewAgent->Initialize();
        }
    }
    pEngine->WriteTrace(this, true, std::string());
    return m_pNext;
}

CSDLProcess* CSDLOperationCreate::AddProcessInstance(CSDLProcess* pTemplate) {
    CSDLEngine* pEngine = GetEngine();
    auto pNew = std::make_unique<CSDLProcess>();
    pTemplate->CloneInto(pNew.get());
    pNew->m_vecCellStates.assign(pTemplate->m_vecCellStates.size(), std::string());
    pNew->m_vecNextCellStates.assign(pTemplate->m_vecNextCellStates.size(), std::string());
    pTemplate->LinkInstanceToSiblings(pNew.get());
    ++pEngine->m_nCreatedAgents;
    CSDLAgent* pParent = pTemplate->m_pParent;
    if (!pParent) {
        return nullptr;
    }
    const std::string strKey = pNew->GetFullName(true);
    return pParent->AddProcessAs(strKey, std::move(pNew));
}

CSDLBlock* CSDLOperationCreate::AddBlockInstance(CSDLBlock* pTemplate) {
    CSDLEngine* pEngine = GetEngine();
    auto pNew = std::make_unique<CSDLBlock>();
    pTemplate->BuildInstance(pNew.get());
    pTemplate->RetargetInstanceChannels(pNew.get());
    pTemplate->LinkInstanceToSiblings(pNew.get());
    CSDLAgent* pParent = pTemplate->m_pParent ? pTemplate->m_pParent : pEngine->GetRootAgent();
    const std::string strKey = pNew->GetFullName(true);
    CSDLBlock* pRaw = pParent->AddBlockAs(strKey, std::move(pNew));
    pEngine->m_mapBlocks[CSDLBlock::GetGlobalId(pRaw)] = pRaw;
    return pRaw;
}

std::unique_ptr<CSDLOperation> CSDLOperationCreate::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationCreate>();
    pClone->m_strTarget = m_strTarget;
    pClone->m_nQuantity = m_nQuantity;
    return pClone;
}
