#include "sh_sdl/sdlremotelink.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <random>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlremote.h"

namespace {

// What the sender takes of its receiver's counts per look: a receiver that
// floods its count link costs each look a fixed, small time. A genuine one
// tells a count a few times a second at most.
constexpr size_t kCountBytesPerLook = 4096;
// Looks that take what a count link still held when it ended.
constexpr int kLooksAtTheEnd = 4096;
// How often a sender forgets the ends of messages its receiver's system
// has taken.
constexpr size_t kForgetEvery = 4096;

bool ParseCount(std::string_view text, long long& rnValue) {
    const char* pEnd = text.data() + text.size();
    const auto [pStop, eError] = std::from_chars(text.data(), pEnd, rnValue);
    return !text.empty() && eError == std::errc() && pStop == pEnd && rnValue >= 0;
}

// The fields after strMark and a tab, split at tabs; the last takes the rest.
bool SplitAfterMark(const std::string& strMessage, const char* pszMark,
                    std::initializer_list<std::string*> fields) {
    const std::string strMark = std::string(pszMark) + "\t";
    if (strMessage.compare(0, strMark.size(), strMark) != 0) {
        return false;
    }
    size_t nPos = strMark.size();
    size_t nLeft = fields.size();
    for (std::string* pField : fields) {
        const size_t nTab = --nLeft > 0 ? strMessage.find('\t', nPos) : std::string::npos;
        *pField = strMessage.substr(nPos, nTab == std::string::npos ? nTab : nTab - nPos);
        if (nTab == std::string::npos) {
            break;
        }
        nPos = nTab + 1;
    }
    return true;
}

}  // namespace

std::string MakeRemoteOpening(const SRemoteOpening& opening) {
    return std::string(kRemoteLinkMark) + "\t" + opening.strToken + "\t" + opening.strInstance +
           "\t" + opening.strChannel + "\t" + opening.strSystem;
}

bool ParseRemoteOpening(const std::string& strMessage, SRemoteOpening& rOpening) {
    // The system name, last, may hold anything.
    return SplitAfterMark(
        strMessage, kRemoteLinkMark,
        {&rOpening.strToken, &rOpening.strInstance, &rOpening.strChannel, &rOpening.strSystem});
}

std::string MakeRemoteCountsOpening(const std::string& strToken) {
    return std::string(kRemoteCountsMark) + "\t" + strToken;
}

bool ParseRemoteCountsOpening(const std::string& strMessage, std::string& rstrToken) {
    return SplitAfterMark(strMessage, kRemoteCountsMark, {&rstrToken}) && !rstrToken.empty();
}

std::string NewRemoteToken() {
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> draw;
    std::mt19937_64 generator((static_cast<unsigned long long>(device()) << 32) ^ device());
    return Format("%016llx%016llx", draw(generator), draw(generator));
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

// ---- One link ---------------------------------------------------------------------------------

CRemoteConnection::CRemoteConnection(std::string strHost, int nPort, std::string strChannel)
    : m_strHost(std::move(strHost)), m_nPort(nPort), m_strChannel(std::move(strChannel)) {}

std::string CRemoteConnection::GetPeer() const {
    return Format("%s:%d", m_strHost.c_str(), m_nPort);
}

bool CRemoteConnection::Open(CSDLRemoteLinks& links, SRemoteOpening opening,
                             std::chrono::milliseconds tPatience, int* pnError) {
    *pnError = 0;
    // While a send waits, the readers of the other instances' links take
    // more: two instances that send to each other both go on.
    m_socket.SetSendWaitNotice(
        [&links, strPeer = GetPeer()](bool bWaits) { links.SetSendWaits(bWaits, strPeer); });
    const auto tGiveUp = std::chrono::steady_clock::now() + tPatience;
    const auto ConnectAndSay = [&](CBidirecSocket& rSocket, const std::string& strOpening,
                                   int& rnError) {
        bool bConnected = false;
        try {
            bConnected = rSocket.ConnectClient(m_strHost, static_cast<unsigned int>(m_nPort),
                                               kRemoteConnectAttemptMs, &rnError) == 1;
        } catch (const CCustomException&) {
            rnError = EMFILE;  // no socket could be made
        }
        if (!bConnected) {
            return false;
        }
        rSocket.AttachArchives();
        if (rSocket.SendMessage(strOpening) != SS_SENT) {
            rnError = rSocket.IsCancelled() ? ECANCELED : EPIPE;
            return false;
        }
        return true;
    };
    for (;;) {
        if (!links.BeginSend(m_socket)) {
            *pnError = ECANCELED;
            return false;
        }
        const bool bOpen = ConnectAndSay(m_socket, MakeRemoteOpening(opening), *pnError);
        links.EndSend();
        if (bOpen) {
            break;
        }
        if (m_socket.IsCancelled()) {
            *pnError = ECANCELED;
        }
        m_socket.Close();
        // A full queue of the receiver's port (strangers that connect faster
        // than it takes them) makes attempts time out: tried again.
        if (*pnError != ETIMEDOUT || std::chrono::steady_clock::now() >= tGiveUp) {
            return false;
        }
    }
    // Without its count link the link goes on, counted as a stranger's.
    if (links.BeginSend(m_counts)) {
        int nError = 0;
        m_bHasCounts = ConnectAndSay(m_counts, MakeRemoteCountsOpening(opening.strToken), nError);
        links.EndSend();
    }
    if (!m_bHasCounts) {
        m_counts.Close();
    }
    return true;
}

SocketSendResult CRemoteConnection::Send(CSDLRemoteLinks& links, const std::string& strMessage) {
    if (!links.BeginSend(m_socket)) {
        return SS_STOPPED;
    }
    const SocketSendResult eResult = m_socket.SendMessage(strMessage);
    links.EndSend();
    if (eResult == SS_FAILED) {
        return eResult;
    }
    // Cut by a Stop, the message still counts: End finishes it.
    ++m_nSent;
    m_dequeEnds.push_back(m_socket.GetBytesSent() + m_socket.GetUnsentBytes());
    if (m_dequeEnds.size() % kForgetEvery == 0) {
        Forget(CountAcknowledged());
    }
    return SS_SENT;
}

bool CRemoteConnection::Check() {
    ReadCounts(false);
    // The receiver writes nothing on the signal link: its end of the stream
    // asks this end to end the link.
    const SocketPeerState eState = m_socket.CheckPeer({}, kCountBytesPerLook);
    m_bBroken = m_bBroken || eState == SP_RESET || m_socket.IsLost();
    m_bAskedToEnd = m_bAskedToEnd || eState == SP_CLOSED || m_nUnhandled >= 0 || m_bCountsEnded;
    return !m_bBroken && !m_bAskedToEnd;
}

void CRemoteConnection::SetBroken(const char* pszSignal) {
    m_bBroken = true;
    m_strBrokenSignal = pszSignal;
}

void CRemoteConnection::End() {
    m_bEnding = true;
}

bool CRemoteConnection::Progress() {
    if (m_bEnding && !m_bBroken && !m_bEndSent) {
        // The message a Stop cut, then the end; each as far as the receiver
        // takes it now.
        if (!m_bEndQueued) {
            m_bEndQueued = m_socket.TrySendMessage(kRemoteEndMark);
        }
        if (m_bEndQueued && m_socket.FlushUnsent()) {
            m_socket.HalfClose(0);
            m_bEndSent = true;
        }
    }
    Check();
    if (m_bBroken) {
        // What the receiver told before the link broke is all it tells.
        ReadCounts(true);
        return !m_bHasCounts || m_bCountsEnded;
    }
    if (!m_bEndSent) {
        return false;
    }
    // Ended once the receiver has said its last: one of an older kind,
    // which tells no counts (a receiver of this kind tells one as soon as
    // it has the count link), by closing the link once it has read it.
    const bool bToldAny = m_nHandled >= 0 || m_nRead >= 0;
    if (m_bHasCounts && (bToldAny || m_bCountsEnded)) {
        return m_bCountsEnded;
    }
    return m_socket.CheckPeer({}, kCountBytesPerLook) != SP_OPEN;
}

void CRemoteConnection::Finish() {
    // The answer to the last count: this end counts that loss.
    if (m_bHasCounts && m_nUnhandled >= 0) {
        m_counts.TrySendMessage(MakeRemoteCount(m_nRead, m_nUnhandled));
    }
    m_counts.Close();
    m_socket.Close();
}

void CRemoteConnection::ReadCounts(bool bToTheEnd) {
    if (!m_bHasCounts || m_bCountsEnded) {
        return;
    }
    for (int i = 0; i < (bToTheEnd ? kLooksAtTheEnd : 1); ++i) {
        bool bMore = false;
        const SocketPeerState eState = m_counts.CheckPeer(
            [this](std::string& strTold) {
                long long nRead = 0;
                long long nUnhandled = -1;
                // A count above what was sent is none.
                if (!ParseRemoteCount(strTold, nRead, nUnhandled) || nRead > m_nSent) {
                    return;
                }
                if (nUnhandled < 0) {
                    m_nHandled = std::max(m_nHandled, nRead);
                } else if (nRead >= m_nRead) {
                    m_nRead = nRead;
                    m_nUnhandled = nUnhandled;
                }
            },
            kCountBytesPerLook, &bMore);
        if (eState != SP_OPEN) {
            m_bCountsEnded = true;
            break;
        }
        if (!bMore) {
            break;
        }
    }
    Forget(std::max(m_nHandled, m_nRead));
}

SRemoteLoss CRemoteConnection::MakeLoss(long long nSignals, bool bUpTo, const char* pszHow) const {
    SRemoteLoss loss;
    loss.nSignals = nSignals;
    loss.bUpTo = bUpTo;
    if (nSignals <= 0) {
        return loss;
    }
    const char* pszUpTo = bUpTo ? "up to " : "";
    const char* pszChannel = m_strChannel.c_str();
    const char* pszHost = m_strHost.c_str();
    if (!m_strBrokenSignal.empty()) {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s:%d broke while the signal %s was sent; %s%lld "
            "signals (that one and those the other instance %s) are lost.",
            pszChannel, pszHost, m_nPort, m_strBrokenSignal.c_str(), pszUpTo, nSignals, pszHow);
    } else if (m_nUnhandled >= 0) {
        loss.strLine = Format(
            "Warning: %lld signals sent through channel %s to %s:%d were not taken in or handled "
            "there before its run ended; they are lost.",
            nSignals, pszChannel, pszHost, m_nPort);
    } else {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s:%d broke before the other instance had said "
            "it handled all that was sent; %s%lld signals sent through it are lost.",
            pszChannel, pszHost, m_nPort, pszUpTo, nSignals);
    }
    return loss;
}

SRemoteLoss CRemoteConnection::GetLoss() const {
    const long long nThis = m_strBrokenSignal.empty() ? 0 : 1;
    if (m_nUnhandled >= 0) {
        return MakeLoss(m_nSent - m_nRead + m_nUnhandled + nThis, false, "did not handle");
    }
    if ((!m_bHasCounts || (m_nHandled < 0 && !m_bCountsEnded)) && !m_bBroken) {
        // A receiver that tells no counts read the link to its end.
        return MakeLoss(nThis, false, "did not handle");
    }
    // Broken without the last count: what it had not said it handled may
    // have been lost with it.
    const long long nHandled = std::max(m_nHandled, 0LL);
    return MakeLoss(m_nSent - nHandled + nThis, nHandled < m_nSent, "had not said it handled");
}

long long CRemoteConnection::GetUnread() {
    if (m_bBroken) {
        return 0;  // nothing more will be read
    }
    const long long nTaken = std::max({m_nHandled, m_nRead, CountAcknowledged()});
    Forget(nTaken);
    return m_nSent - nTaken;
}

SRemoteLoss CRemoteConnection::Abandon(const char* pszWhen) {
    if (Progress() || m_bBroken) {
        const SRemoteLoss loss = GetLoss();
        Finish();
        return loss;
    }
    SRemoteLoss loss;
    loss.nSignals = GetUnread();
    if (loss.nSignals == 0 && m_bEndSent) {
        // The receiver has all of it, and counts what it does not handle.
        Finish();
        return loss;
    }
    // A reset: what the receiver's system has taken it reads after it too.
    m_socket.Abort();
    m_counts.Close();
    if (loss.nSignals > 0) {
        loss.strLine = Format(
            "Warning: %lld signals sent through channel %s to %s:%d had not reached it %s; "
            "they are lost.",
            loss.nSignals, m_strChannel.c_str(), m_strHost.c_str(), m_nPort, pszWhen);
    }
    return loss;
}

void CRemoteConnection::Forget(long long nTaken) {
    while (m_nFirstEnd < nTaken && !m_dequeEnds.empty()) {
        m_dequeEnds.pop_front();
        ++m_nFirstEnd;
    }
}

long long CRemoteConnection::CountAcknowledged() {
    long long nUnacknowledged = m_socket.GetUnacknowledgedBytes();
    if (nUnacknowledged < 0) {
        return std::max({m_nHandled, m_nRead, 0LL});
    }
    // After a half-close the end of the stream takes one place too.
    if (m_bEndSent && nUnacknowledged > 0) {
        --nUnacknowledged;
    }
    const unsigned long long nAcknowledged =
        m_socket.GetBytesSent() - static_cast<unsigned long long>(nUnacknowledged);
    const auto itFirstUnacknowledged =
        std::upper_bound(m_dequeEnds.begin(), m_dequeEnds.end(), nAcknowledged);
    return m_nFirstEnd + (itFirstUnacknowledged - m_dequeEnds.begin());
}

// ---- A channel's sending end --------------------------------------------------------------

CRemoteSendLink::CRemoteSendLink(std::string strHost, int nPort, std::string strChannel)
    : m_strHost(std::move(strHost)), m_nPort(nPort), m_strChannel(std::move(strChannel)) {}

CRemoteSendLink::~CRemoteSendLink() = default;

std::string CRemoteSendLink::GetPeer() const {
    return Format("%s:%d", m_strHost.c_str(), m_nPort);
}

bool CRemoteSendLink::Send(CSDLRemoteLinks& links, const SRemoteOpening& opening,
                           const std::string& strMessage, const char* pszSignal) {
    const std::string strPeer = GetPeer();
    const auto Lost = [&](const char* pszWhy) {
        links.ReportLoss(strPeer, 1,
                         Format("Warning: the signal %s could not be sent through channel %s "
                                "to %s%s; it is lost.",
                                pszSignal, m_strChannel.c_str(), strPeer.c_str(), pszWhy));
        return false;
    };
    // The receiver may have asked to end the link since the last send (its
    // run ended, or it made room for another), or the link broke: a new one
    // is made.
    if (m_pConnection && !m_pConnection->Check()) {
        Retire(links);
    }
    if (!m_pConnection) {
        // A peer that did not answer loses what is sent to it at once, but
        // for an attempt now and then: a run is not held a minute a signal.
        std::chrono::milliseconds tPatience(kRemoteConnectPatienceMs);
        if (!links.MayConnect(strPeer, tPatience)) {
            return Lost(Format(": that instance does not answer (it is tried again every %d s)",
                               kRemoteRetryConnectMs / 1000)
                            .c_str());
        }
        auto pConnection = std::make_unique<CRemoteConnection>(m_strHost, m_nPort, m_strChannel);
        SRemoteOpening withToken = opening;
        withToken.strToken = NewRemoteToken();
        int nError = 0;
        const bool bOpen = pConnection->Open(links, withToken, tPatience, &nError);
        if (nError != ECANCELED) {
            links.NoteConnect(strPeer, nError != ETIMEDOUT);
        }
        if (!bOpen) {
            return Lost(nError == ECANCELED   ? " before the run was stopped"
                        : nError == ETIMEDOUT ? ": that instance does not answer"
                                              : ": no link could be made");
        }
        m_pConnection = std::move(pConnection);
    }
    // The send waits while the receiver takes nothing; only a Stop, or a
    // link that breaks, ends it.
    const SocketSendResult eSent = m_pConnection->Send(links, strMessage);
    if (eSent == SS_FAILED) {
        m_pConnection->SetBroken(pszSignal);
        Retire(links);
        return false;
    }
    if (eSent == SS_STOPPED || m_pConnection->IsCut()) {
        // The run is stopping: the link ends in order, after the message a
        // Stop cut; one not begun is lost.
        Retire(links);
        return eSent == SS_SENT || Lost(" before the run was stopped");
    }
    return true;
}

void CRemoteSendLink::Close(CSDLRemoteLinks& links) {
    if (m_pConnection) {
        Retire(links);
    }
}

void CRemoteSendLink::Retire(CSDLRemoteLinks& links) {
    m_pConnection->End();
    links.Linger(std::move(m_pConnection));
}
