#include "sh_sdl/sdlblock.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

std::string CSDLBlock::Step() {
    std::string strText;
    m_pCurrentEvent = GetNextEvent();
    if (m_pCurrentEvent) {
        strText = RouteEvent();
        m_pCurrentEvent.reset();
    }
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        strText += pBlock->Step();
    }
    const bool bLocal = !m_pEngine || m_pEngine->m_nIPMode == 0;
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        // In a distributed run the other processes run in another instance.
        if (bLocal || pProcess->m_strIP == m_pEngine->m_strIPAddress) {
            strText += pProcess->Step();
        }
    }
    return strText;
}

void CSDLBlock::Initialize() {
    m_strError.clear();
    InitCommon();
    m_bStop = false;
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        pBlock->Initialize();
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        pProcess->Initialize();
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
