#include "sh_sdl/sdlchannelout.h"

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "sh_sdl/sdlremote.h"

CSDLChannelOut::~CSDLChannelOut() = default;

CSDLAgent* CSDLChannelOut::GetTarget() const {
    if (m_pTargetProcess) {
        return m_pTargetProcess;
    }
    return m_pTargetBlock;
}

std::string CSDLChannelOut::Send(CSDLEvent* pEvent) {
    pEvent->m_strCameThrough = m_strName;
    CSDLAgent* pTarget = GetTarget();
    const int nMode = (pTarget && pTarget->m_pEngine) ? pTarget->m_pEngine->GetIPMode() : 0;
    if (!m_bLocalDelivery && nMode != 0) {
        return SendRemote(pEvent, *pTarget->m_pEngine);
    }

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
    CSDLAgent* pSender = m_pSourceProcess ? static_cast<CSDLAgent*>(m_pSourceProcess)
                                          : static_cast<CSDLAgent*>(m_pSourceBlock);
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

std::string CSDLChannelOut::SendRemote(CSDLEvent* pEvent, CSDLEngine& engine) {
    CSDLRemoteLinks& links = engine.GetRemoteLinks();
    if (!m_pLink) {
        m_pLink = std::make_unique<CRemoteSendLink>(m_strHost, m_nPort, m_strName);
    }
    // Once the run is stopping, what the transition still sends is lost at
    // once, with nothing made for it: a Stop ends the run however much is
    // left to send.
    if (links.AreSendsCancelled()) {
        m_pLink->LoseAfterStop(pEvent->m_strName.c_str());
        m_bConnected = false;
        return kRemoteSendError;
    }
    const std::string strText = pEvent->GetRemoteText();
    const std::string strMessage = m_strName + "," + strText;
    const char* pszSignal = pEvent->m_strName.c_str();
    // The receiver would read past it: it is not sent, and the link stays.
    if (strMessage.size() > kMaxRemoteMessageLength &&
        Utf8ToUtf16(strMessage).size() > kMaxRemoteMessageLength) {
        links.ReportLoss(m_pLink->GetPeer(), 1, [&] {
            return Format(
                "Warning: the signal %s is longer than a remote signal may be (%zu "
                "characters) and cannot be sent through channel %s; it is lost.",
                pszSignal, kMaxRemoteMessageLength, m_strName.c_str());
        });
        return kRemoteSendError;
    }
    const SRemoteOpening opening{std::string(), engine.GetIPAddress(), m_strName,
                                 engine.m_strSystemName};
    m_bConnected = m_pLink->Send(links, opening, strMessage, pszSignal);
    if (!m_bConnected) {
        return kRemoteSendError;
    }
    std::string strNote;
    for (CSDLAgent* pTarget :
         {static_cast<CSDLAgent*>(m_pTargetBlock), static_cast<CSDLAgent*>(m_pTargetProcess)}) {
        if (!pTarget) {
            continue;
        }
        strNote = Format("SEND (remote),%s,%s,%f,%s|", pTarget->m_strName.c_str(),
                         pTarget->GetFullName(false).c_str(), pTarget->m_dClock, strText.c_str());
        engine.WriteTrace(nullptr, true,
                          Format("<system>%s</system>\n", EscapeXmlText(strNote).c_str()));
    }
    return strNote;
}

void CSDLChannelOut::CloseConnection() {
    m_bConnected = false;
    CSDLAgent* pTarget = GetTarget();
    CSDLEngine* pEngine = pTarget ? pTarget->m_pEngine : nullptr;
    if (m_pLink && pEngine) {
        m_pLink->Close(pEngine->GetRemoteLinks());
    }
}

void CSDLChannelOut::CopyTo(CSDLChannelOut* pOut) const {
    pOut->m_pTargetBlock = m_pTargetBlock;
    pOut->m_pTargetProcess = m_pTargetProcess;
    pOut->m_pSourceBlock = m_pSourceBlock;
    pOut->m_pSourceProcess = m_pSourceProcess;
    pOut->m_strHost = m_strHost;
    pOut->m_bLocalDelivery = m_bLocalDelivery;
    pOut->m_strName = m_strName;
    pOut->m_nPort = m_nPort;
    pOut->m_bDual = m_bDual;
    for (const auto& [strKey, strValue] : m_mapSignals) {
        pOut->m_mapSignals[strKey] = strValue;
    }
}
