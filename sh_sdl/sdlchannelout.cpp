#include "sh_sdl/sdlchannelout.h"

#include <algorithm>
#include <charconv>

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
    // The receiver would read past it: it is not sent, and the link stays.
    if (strMessage.size() > kMaxRemoteMessageLength &&
        Utf8ToUtf16(strMessage).size() > kMaxRemoteMessageLength) {
        links.ReportLoss(m_strHost, m_nPort, 1,
                         Format("Warning: the signal %s is longer than a remote signal may be (%zu "
                                "characters) and cannot be sent through channel %s; it is lost.",
                                pszSignal, kMaxRemoteMessageLength, pszChannel));
        return kRemoteSendError;
    }
    // The receiver may have ended the link since the last send (its run
    // ended, or it made room for another sender): a new one is made.
    if (m_bConnected) {
        CheckLink(links);
    }
    // The connect is bounded, and a Stop cuts it short: a peer that is down
    // never holds the simulation thread.
    if (!m_bConnected) {
        if (m_pLingering && m_pLingering->CheckPeer() != SP_OPEN) {
            m_pLingering.reset();
        }
        m_pSocket = std::make_unique<CBidirecSocket>();
        m_pSocket->SetSendWaitNotice([&links](bool bWaits) { links.SetSendWaits(bWaits); });
        bool bStopped = true;
        if (links.BeginSend(*m_pSocket)) {
            bStopped = false;
            try {
                if (m_pSocket->ConnectClient(m_strHost, static_cast<unsigned int>(m_nPort),
                                             kRemoteConnectTimeoutMs) == 1) {
                    m_pSocket->AttachArchives();
                    // Asks the receiver for the counts of what it took.
                    m_pSocket->enviaMsj(std::string());
                    m_bConnected = true;
                    m_nSentOnLink = 0;
                    m_nTakenOnLink = -1;
                }
            } catch (const CCustomException&) {
                // no socket could be made: not connected
            }
            links.EndSend();
            bStopped = m_pSocket->IsCancelled();
        }
        if (!m_bConnected) {
            DropConnection();
            links.ReportLoss(
                m_strHost, m_nPort, 1,
                Format("Warning: the signal %s could not be sent through channel %s "
                       "to %s:%d%s; it is lost.",
                       pszSignal, pszChannel, pszHost, m_nPort,
                       bStopped ? " before the run was stopped" : ": no link could be made"));
            return kRemoteSendError;
        }
    }
    // The send waits while the receiver takes nothing; only a Stop, or a
    // link that breaks, ends it.
    bool bSent = false;
    bool bStopped = true;
    if (links.BeginSend(*m_pSocket)) {
        try {
            m_pSocket->enviaMsj(strMessage);
            bSent = true;
        } catch (const CCustomException&) {
            // the link broke, or the run was stopped
        }
        links.EndSend();
        bStopped = m_pSocket->IsCancelled();
    }
    if (!bSent) {
        if (bStopped) {
            // Stopped: what went out whole is still the receiver's.
            CloseConnection();
            links.ReportLoss(m_strHost, m_nPort, 1,
                             Format("Warning: the signal %s could not be sent through channel %s "
                                    "to %s:%d before the run was stopped; it is lost.",
                                    pszSignal, pszChannel, pszHost, m_nPort));
        } else {
            ReadReceiver();
            const long long nLost = m_nSentOnLink - std::max(m_nTakenOnLink, 0LL) + 1;
            links.ReportLoss(m_strHost, m_nPort, nLost,
                             Format("Warning: the link of channel %s to %s:%d broke while the "
                                    "signal %s was sent; %s%lld signals (that one and those not "
                                    "yet taken in by the other instance) are lost.",
                                    pszChannel, pszHost, m_nPort, pszSignal,
                                    m_nTakenOnLink < 0 ? "up to " : "", nLost));
            DropConnection();
        }
        return kRemoteSendError;
    }
    ++m_nSentOnLink;
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

SocketPeerState CSDLChannelOut::ReadReceiver() {
    std::string strTold;
    const SocketPeerState ePeer = m_pSocket->CheckPeer(&strTold);
    // The receiver tells the number of messages it has taken from the link.
    long long nTaken = 0;
    const char* pEnd = strTold.data() + strTold.size();
    const auto [pStop, eError] = std::from_chars(strTold.data(), pEnd, nTaken);
    if (!strTold.empty() && eError == std::errc() && pStop == pEnd && nTaken >= 0 &&
        nTaken <= m_nSentOnLink) {
        m_nTakenOnLink = std::max(m_nTakenOnLink, nTaken);
    }
    return ePeer;
}

void CSDLChannelOut::CheckLink(CSDLRemoteLinks& links) {
    const SocketPeerState ePeer = ReadReceiver();
    if (ePeer == SP_OPEN) {
        return;
    }
    // Ended in order, the receiver reads on to the end of what was sent; a
    // reset lost what it had not taken in.
    const long long nLost = ePeer == SP_RESET ? m_nSentOnLink - std::max(m_nTakenOnLink, 0LL) : 0;
    if (nLost > 0) {
        links.ReportLoss(m_strHost, m_nPort, nLost,
                         Format("Warning: the link of channel %s to %s:%d was reset; %s%lld "
                                "signals sent through it had not been taken in by the other "
                                "instance and are lost.",
                                m_strName.c_str(), m_strHost.c_str(), m_nPort,
                                m_nTakenOnLink < 0 ? "up to " : "", nLost));
    }
    DropConnection();
}

void CSDLChannelOut::DropConnection() {
    m_bConnected = false;
    m_pSocket.reset();
}

void CSDLChannelOut::CloseConnection() {
    if (!m_bConnected || !m_pSocket) {
        DropConnection();
        return;
    }
    m_bConnected = false;
    if (ReadReceiver() != SP_OPEN) {
        m_pSocket.reset();
        return;
    }
    m_pSocket->HalfClose(0);
    m_pLingering = std::move(m_pSocket);
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
