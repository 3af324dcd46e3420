#include "sh_sdl/sdlremotelink.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlremote.h"

namespace {

// What the sender takes of its receiver's counts per look: a receiver that
// floods its link costs each look a fixed, small time. A receiver tells a
// count for each batch of messages it reads, so that a genuine one never
// tells as much between two looks.
constexpr size_t kCountBytesPerLook = 4096;
// Looks that take what a broken link still held.
constexpr int kLooksAtTheEnd = 4096;
// How often a sender forgets the ends of messages its receiver's system
// has taken.
constexpr size_t kForgetEvery = 4096;

bool ParseCount(std::string_view text, long long& rnValue) {
    const char* pEnd = text.data() + text.size();
    const auto [pStop, eError] = std::from_chars(text.data(), pEnd, rnValue);
    return !text.empty() && eError == std::errc() && pStop == pEnd && rnValue >= 0;
}

}  // namespace

std::string MakeRemoteOpening(const SRemoteOpening& opening) {
    return std::string(kRemoteLinkMark) + "\t" + opening.strInstance + "\t" + opening.strChannel +
           "\t" + opening.strSystem;
}

bool ParseRemoteOpening(const std::string& strMessage, SRemoteOpening& rOpening) {
    const std::string strMark = std::string(kRemoteLinkMark) + "\t";
    if (strMessage.compare(0, strMark.size(), strMark) != 0) {
        return false;
    }
    std::string* apFields[] = {&rOpening.strInstance, &rOpening.strChannel, &rOpening.strSystem};
    size_t nPos = strMark.size();
    for (size_t i = 0; i < 3; ++i) {
        // The system name, last, may hold anything.
        const size_t nTab = i < 2 ? strMessage.find('\t', nPos) : std::string::npos;
        *apFields[i] = strMessage.substr(nPos, nTab == std::string::npos ? nTab : nTab - nPos);
        if (nTab == std::string::npos) {
            break;
        }
        nPos = nTab + 1;
    }
    return true;
}

std::string MakeRemoteCount(long long nRead, long long nUnhandled) {
    return nUnhandled < 0 ? std::to_string(nRead)
                          : std::to_string(nRead) + " " + std::to_string(nUnhandled);
}

bool ParseRemoteCount(const std::string& strMessage, long long& rnRead, long long& rnUnhandled) {
    const size_t nBlank = strMessage.find(' ');
    rnUnhandled = -1;
    if (nBlank == std::string::npos) {
        return ParseCount(strMessage, rnRead);
    }
    const std::string_view text(strMessage);
    return ParseCount(text.substr(0, nBlank), rnRead) &&
           ParseCount(text.substr(nBlank + 1), rnUnhandled) && rnUnhandled <= rnRead;
}

// ---- Sending end ----------------------------------------------------------------------------

CRemoteSendLink::CRemoteSendLink(std::string strHost, int nPort, std::string strChannel)
    : m_strHost(std::move(strHost)), m_nPort(nPort), m_strChannel(std::move(strChannel)) {}

std::string CRemoteSendLink::GetPeer() const {
    return Format("%s:%d", m_strHost.c_str(), m_nPort);
}

bool CRemoteSendLink::Connect(CSDLRemoteLinks& links, const std::string& strOpening,
                              bool* pbStopped) {
    *pbStopped = false;
    // While a send waits, the readers of the other instances' links take
    // more: two instances that send to each other both go on.
    m_socket.SetSendWaitNotice([&links](bool bWaits) { links.SetSendWaits(bWaits); });
    const auto tGiveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemoteConnectPatienceMs);
    for (;;) {
        if (!links.BeginSend(m_socket)) {
            *pbStopped = true;
            return false;
        }
        int nError = 0;
        bool bConnected = false;
        SocketSendResult eOpened = SS_FAILED;
        try {
            bConnected = m_socket.ConnectClient(m_strHost, static_cast<unsigned int>(m_nPort),
                                                kRemoteConnectAttemptMs, &nError) == 1;
        } catch (const CCustomException&) {
            // no socket could be made: not connected
        }
        if (bConnected) {
            m_socket.AttachArchives();
            eOpened = m_socket.SendMessage(strOpening);
        }
        links.EndSend();
        if (eOpened == SS_SENT) {
            return true;
        }
        *pbStopped = m_socket.IsCancelled();
        m_socket.Close();
        // A full queue of the receiver's port (strangers that connect faster
        // than it takes them) makes attempts time out: tried again.
        if (*pbStopped || bConnected || nError != ETIMEDOUT ||
            std::chrono::steady_clock::now() >= tGiveUp) {
            return false;
        }
    }
}

SocketSendResult CRemoteSendLink::Send(CSDLRemoteLinks& links, const std::string& strMessage) {
    if (!links.BeginSend(m_socket)) {
        return SS_STOPPED;
    }
    const SocketSendResult eResult = m_socket.SendMessage(strMessage);
    links.EndSend();
    if (eResult == SS_SENT) {
        ++m_nSent;
        m_dequeEnds.push_back(m_socket.GetBytesSent());
        if (m_dequeEnds.size() % kForgetEvery == 0) {
            Forget(CountAcknowledged());
        }
    }
    return eResult;
}

SocketPeerState CRemoteSendLink::ReadCounts(bool* pbMore) {
    const SocketPeerState eState = m_socket.CheckPeer(
        [this](std::string& strTold) {
            long long nRead = 0;
            long long nUnhandled = -1;
            // A count above what was sent is none.
            if (ParseRemoteCount(strTold, nRead, nUnhandled) && nRead <= m_nSent) {
                m_nRead = std::max(m_nRead, nRead);
                if (nUnhandled >= 0) {
                    m_nUnhandled = nUnhandled;
                }
            }
        },
        kCountBytesPerLook, pbMore);
    Forget(m_nRead);
    return eState;
}

SocketPeerState CRemoteSendLink::Check() {
    return ReadCounts(nullptr);
}

void CRemoteSendLink::ReadToEnd() {
    for (int i = 0; i < kLooksAtTheEnd; ++i) {
        bool bMore = false;
        if (ReadCounts(&bMore) != SP_OPEN || !bMore) {
            break;
        }
    }
}

void CRemoteSendLink::HalfClose() {
    m_bHalfClosed = true;
    m_socket.HalfClose(0);
}

SRemoteLoss CRemoteSendLink::GetEndLoss(SocketPeerState eEnd, const char* pszSignal) const {
    SRemoteLoss loss;
    const long long nThis = pszSignal ? 1 : 0;
    const long long nRead = std::max(m_nRead, 0LL);
    const bool bLast = m_nUnhandled >= 0;
    // Without the receiver's last count, a link closed in order was read to
    // its end; one that broke lost at most what was not told read.
    if (bLast) {
        loss.nSignals = m_nSent - nRead + m_nUnhandled + nThis;
    } else if (eEnd != SP_CLOSED || pszSignal) {
        loss.nSignals = m_nSent - nRead + nThis;
    }
    if (loss.nSignals == 0) {
        return loss;
    }
    const char* pszUpTo = !bLast && nRead < m_nSent ? "up to " : "";
    const char* pszChannel = m_strChannel.c_str();
    const char* pszHost = m_strHost.c_str();
    if (pszSignal) {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s:%d broke while the signal %s was sent; %s%lld "
            "signals (that one and those the other instance did not take in or handle) are lost.",
            pszChannel, pszHost, m_nPort, pszSignal, pszUpTo, loss.nSignals);
    } else if (bLast) {
        loss.strLine = Format(
            "Warning: %lld signals sent through channel %s to %s:%d were not taken in or handled "
            "there before its run ended; they are lost.",
            loss.nSignals, pszChannel, pszHost, m_nPort);
    } else {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s:%d was reset; %s%lld signals sent through it "
            "had not been taken in by the other instance and are lost.",
            pszChannel, pszHost, m_nPort, pszUpTo, loss.nSignals);
    }
    return loss;
}

long long CRemoteSendLink::GetUnread() {
    const long long nTaken = std::max(m_nRead, CountAcknowledged());
    Forget(nTaken);
    return m_nSent - nTaken;
}

SRemoteLoss CRemoteSendLink::Abandon(const char* pszWhen) {
    // A receiver that has ended the link, or told its last count, has said
    // what it lost.
    const SocketPeerState eState = ReadCounts(nullptr);
    if (eState != SP_OPEN || m_nUnhandled >= 0) {
        m_socket.Abort();
        return GetEndLoss(eState);
    }
    SRemoteLoss loss;
    // What the receiver's system has taken it reads after the reset too.
    loss.nSignals = GetUnread();
    m_socket.Abort();
    if (loss.nSignals > 0) {
        loss.strLine = Format(
            "Warning: %lld signals sent through channel %s to %s:%d had not reached it %s; "
            "they are lost.",
            loss.nSignals, m_strChannel.c_str(), m_strHost.c_str(), m_nPort, pszWhen);
    }
    return loss;
}

void CRemoteSendLink::Forget(long long nTaken) {
    while (m_nFirstEnd < nTaken && !m_dequeEnds.empty()) {
        m_dequeEnds.pop_front();
        ++m_nFirstEnd;
    }
}

long long CRemoteSendLink::CountAcknowledged() {
    long long nUnacknowledged = m_socket.GetUnacknowledgedBytes();
    if (nUnacknowledged < 0) {
        return std::max(m_nRead, 0LL);
    }
    // After a half-close the end of the stream takes one place too.
    if (m_bHalfClosed && nUnacknowledged > 0) {
        --nUnacknowledged;
    }
    const unsigned long long nAcknowledged =
        m_socket.GetBytesSent() - static_cast<unsigned long long>(nUnacknowledged);
    const auto itFirstUnacknowledged =
        std::upper_bound(m_dequeEnds.begin(), m_dequeEnds.end(), nAcknowledged);
    return m_nFirstEnd + (itFirstUnacknowledged - m_dequeEnds.begin());
}
