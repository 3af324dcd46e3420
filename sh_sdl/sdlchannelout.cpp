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
        return SendRemote(pEvent, *pTarget->m_pEngine);
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

std::string CSDLChannelOut::SendRemote(CSDLEvent* pEvent, CSDLEngine& engine) {
    CSDLRemoteLinks& links = engine.GetRemoteLinks();
    const std::string strText = pEvent->GetRemoteText();
    const std::string strMessage = m_strName + "," + strText;
    const char* pszSignal = pEvent->m_strName.c_str();
    const char* pszChannel = m_strName.c_str();
    const char* pszHost = m_strHost.c_str();
    const std::string strPeer = Format("%s:%d", pszHost, m_nPort);
    // The receiver would read past it: it is not sent, and the link stays.
    if (strMessage.size() > kMaxRemoteMessageLength &&
        Utf8ToUtf16(strMessage).size() > kMaxRemoteMessageLength) {
        links.ReportLoss(strPeer, 1,
                         Format("Warning: the signal %s is longer than a remote signal may be (%zu "
                                "characters) and cannot be sent through channel %s; it is lost.",
                                pszSignal, kMaxRemoteMessageLength, pszChannel));
        return kRemoteSendError;
    }
    // The receiver may have ended the link since the last send (its run
    // ended, or it made room for another sender): a new one is made.
    if (m_pLink) {
        const SocketPeerState eState = m_pLink->Check();
        if (eState == SP_CLOSED && !m_pLink->GetEndLoss(eState).nSignals) {
            // Ended in order, the receiver reads on to the end of what was
            // sent.
            CloseConnection();
        } else if (eState != SP_OPEN) {
            DropLink(links, m_pLink->GetEndLoss(eState));
        }
    }
    // The connect is bounded, and a Stop cuts it short: a peer that is down
    // never holds the simulation thread.
    if (!m_pLink) {
        auto pLink = std::make_unique<CRemoteSendLink>(m_strHost, m_nPort, m_strName);
        bool bStopped = false;
        const std::string strOpening = MakeRemoteOpening(
            SRemoteOpening{engine.GetIPAddress(), m_strName, engine.m_strSystemName});
        if (!pLink->Connect(links, strOpening, &bStopped)) {
            links.ReportLoss(
                strPeer, 1,
                Format("Warning: the signal %s could not be sent through channel %s "
                       "to %s:%d%s; it is lost.",
                       pszSignal, pszChannel, pszHost, m_nPort,
                       bStopped ? " before the run was stopped" : ": no link could be made"));
            return kRemoteSendError;
        }
        m_pLink = std::move(pLink);
        m_bConnected = true;
    }
    // The send waits while the receiver takes nothing; only a Stop, or a
    // link that breaks, ends it.
    const SocketSendResult eSent = m_pLink->Send(links, strMessage);
    if (eSent == SS_STOPPED) {
        // What went out whole is still the receiver's: the link ends in
        // order after it.
        CloseConnection();
        links.ReportLoss(strPeer, 1,
                         Format("Warning: the signal %s could not be sent through channel %s "
                                "to %s:%d before the run was stopped; it is lost.",
                                pszSignal, pszChannel, pszHost, m_nPort));
        return kRemoteSendError;
    }
    if (eSent == SS_FAILED) {
        m_pLink->ReadToEnd();
        DropLink(links, m_pLink->GetEndLoss(SP_RESET, pszSignal));
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

void CSDLChannelOut::DropLink(CSDLRemoteLinks& links, const SRemoteLoss& loss) {
    links.ReportLoss(loss, m_pLink->GetPeer());
    m_pLink.reset();
    m_bConnected = false;
}

void CSDLChannelOut::CloseConnection() {
    m_bConnected = false;
    if (!m_pLink) {
        return;
    }
    CSDLAgent* pTarget = GetTarget();
    CSDLEngine* pEngine = pTarget ? pTarget->m_pEngine : nullptr;
    m_pLink->HalfClose();
    if (pEngine) {
        pEngine->GetRemoteLinks().Linger(std::move(m_pLink));
    }
    m_pLink.reset();
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
