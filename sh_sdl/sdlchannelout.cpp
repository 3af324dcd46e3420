#include "sh_sdl/sdlchannelout.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLAgent* CSDLChannelOut::GetTarget() const {
    if (m_pTargetProcess) {
        return m_pTargetProcess;
    }
    return m_pTargetBlock;
}

std::string CSDLChannelOut::Send(CSDLEvent* pEvent) {
    pEvent->m_strCameThrough = m_strName;

    // The target process's end wins when both targets are set.
    CSDLChannelIn* pIn = nullptr;
    if (m_pTargetBlock) {
        pIn = m_pTargetBlock->GetInputChannel(m_strName);
    }
    if (m_pTargetProcess) {
        if (CSDLChannelIn* pProcIn = m_pTargetProcess->GetInputChannel(m_strName)) {
            pIn = pProcIn;
        }
    }
    CSDLAgent* pTarget = GetTarget();
    const int nMode = (pTarget && pTarget->m_pEngine) ? pTarget->m_pEngine->GetIPMode() : 0;

    CSDLAgent* pSender = m_pSourceProcess ? static_cast<CSDLAgent*>(m_pSourceProcess)
                                          : static_cast<CSDLAgent*>(m_pSourceBlock);
    if (!m_bLocalDelivery && nMode != 0) {
        const std::string strMessage = Format(
            "Channel %s leads to another simulator instance; remote delivery is not "
            "available. Signal %s dropped.",
            m_strName.c_str(), pEvent->m_strName.c_str());
        return pSender ? pSender->ReportError(strMessage, SDL_ERROR) : strMessage;
    }
    if (!pIn) {
        // A channel end without its partner: report and drop the signal.
        const std::string strMessage =
            Format("Channel %s has no input end at %s. Signal %s dropped.", m_strName.c_str(),
                   pTarget ? pTarget->GetFullName(true).c_str() : "(no target)",
                   pEvent->m_strName.c_str());
        return pSender ? pSender->ReportError(strMessage, SDL_ERROR) : strMessage;
    }
    pIn->AddEvent(std::make_unique<CSDLEvent>(*pEvent));
    return {};
}

void CSDLChannelOut::CopyTo(CSDLChannelOut* pOut) const {
    pOut->m_pTargetBlock = m_pTargetBlock;
    pOut->m_pTargetProcess = m_pTargetProcess;
    pOut->m_pSourceBlock = m_pSourceBlock;
    pOut->m_pSourceProcess = m_pSourceProcess;
    pOut->m_bConnected = m_bConnected;
    pOut->m_strHost = m_strHost;
    pOut->m_bLocalDelivery = m_bLocalDelivery;
    pOut->m_strName = m_strName;
    pOut->m_nPort = m_nPort;
    pOut->m_bDual = m_bDual;
    for (const auto& [strKey, strValue] : m_mapSignals) {
        pOut->m_mapSignals[strKey] = strValue;
    }
}
