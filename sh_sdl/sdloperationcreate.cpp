#include "sh_sdl/sdloperationcreate.h"

#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationCreate::Execute() {
    CSDLEngine* pEngine = GetEngine();
    if (!pEngine || !pEngine->GetRootAgent()) {
        return m_pNext;
    }
    ++pEngine->m_nCreateCount;
    bool bIsBlock = false;
    CSDLAgent* pTemplate = pEngine->GetRootAgent()->FindAgentByName(m_strTarget, &bIsBlock);
    if (!pTemplate) {
        return m_pNext;
    }
    if (!bIsBlock) {
        auto* pTemplateProcess = static_cast<CSDLProcess*>(pTemplate);
        for (int i = 0; i < m_nQuantity; ++i) {
            auto pNew = std::make_unique<CSDLProcess>();
            pTemplateProcess->CloneInto(pNew.get());
            pNew->m_vecCellStates.assign(pTemplateProcess->m_vecCellStates.size(), std::string());
            pNew->m_vecNextCellStates.assign(pTemplateProcess->m_vecNextCellStates.size(),
                                             std::string());
            pTemplate->LinkInstanceToSiblings(pNew.get());
            ++pEngine->m_nCreatedAgents;
            if (CSDLAgent* pParent = pTemplate->m_pParent) {
                CSDLProcess* pRaw = pNew.get();
                pParent->m_mapProcesses[pRaw->GetFullName(true)] = std::move(pNew);
                pRaw->Initialize();
            }
        }
    } else {
        auto* pTemplateBlock = static_cast<CSDLBlock*>(pTemplate);
        auto pNew = std::make_unique<CSDLBlock>();
        pTemplateBlock->BuildInstance(pNew.get());
        pTemplateBlock->RetargetInstanceChannels(pNew.get());
        pTemplate->LinkInstanceToSiblings(pNew.get());
        CSDLBlock* pRaw = pNew.get();
        CSDLAgent* pParent = pTemplate->m_pParent ? pTemplate->m_pParent : pEngine->GetRootAgent();
        pParent->m_mapBlocks[pRaw->GetFullName(true)] = std::move(pNew);
        pEngine->m_mapBlocks[CSDLBlock::GetGlobalId(pRaw)] = pRaw;
        pRaw->Initialize();
    }
    pEngine->WriteTrace(this, true, std::string());
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationCreate::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationCreate>();
    pClone->m_strTarget = m_strTarget;
    pClone->m_nQuantity = m_nQuantity;
    return pClone;
}
