#include "sh_sdl/sdlremotelink.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <random>
#include <utility>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlremote.h"

namespace {

// Reads of a count link per turn of the I/O thread: a receiver that floods
// it costs each turn a fixed, small time. A genuine one tells a count a few
// times a second at most.
constexpr int kCountReadsPerTurn = 4;
// What is read and dropped of a signal link, on which a receiver writes
// nothing, per turn.
constexpr size_t kStrayBytesPerTurn = 4096;

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
    // Seeded once, with 256 bits of the system's randomness: a link costs
    // no reading of it.
    static std::mutex mutex;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::array<std::seed_seq::result_type, 8> anSeed{};
        for (auto& nWord : anSeed) {
            nWord = device();
        }
        std::seed_seq seed(anSeed.begin(), anSeed.end());
        return std::mt19937_64(seed);
    }();
    std::lock_guard<std::mutex> lock(mutex);
    const unsigned long long nHigh = generator();
    const unsigned long long nLow = generator();
    return Format("%016llx%016llx", nHigh, nLow);
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

// ---- One link this instance sends on --------------------------------------------------------

CRemoteLinkOut::CRemoteLinkOut(std::string strHost, int nPort, std::string strChannel)
    : m_strHost(std::move(strHost)),
      m_nPort(nPort),
      m_strChannel(std::move(strChannel)),
      m_strPeer(Format("%s:%d", m_strHost.c_str(), nPort)) {}

bool CRemoteLinkOut::Open(CSDLRemoteLinks& links, const SRemoteOpening& opening,
                          std::chrono::milliseconds tPatience, int* pnError) {
    // While a send waits, the readers of the other instances' links take
    // more: two instances that send to each other both go on.
    m_signals.SetSendWaitNotice(
        [&links, strPeer = m_strPeer](bool bWaits) { links.SetSendWaits(bWaits, strPeer); });
    const auto tGiveUp = std::chrono::steady_clock::now() + tPatience;
    // 0 once rSocket is connected and has said strOpening; else why not.
    const auto ConnectAndSay = [&](CBidirecSocket& rSocket, const std::string& strOpening) {
        for (;;) {
            if (!links.BeginSend(rSocket)) {
                return ECANCELED;
            }
            int nError = 0;
            bool bConnected = false;
            try {
                bConnected = rSocket.ConnectClient(m_strHost, static_cast<unsigned int>(m_nPort),
                                                   kRemoteConnectAttemptMs, &nError) == 1;
            } catch (const CCustomException&) {
                nError = EMFILE;  // no socket could be made
            }
            if (bConnected) {
                rSocket.AttachArchives();
                if (rSocket.SendMessage(strOpening) != SS_SENT) {
                    nError = EPIPE;
                }
            }
            links.EndSend();
            if (bConnected && nError == 0) {
                return 0;
            }
            if (rSocket.IsCancelled()) {
                nError = ECANCELED;
            }
            rSocket.Close();
            // A full queue of the receiver's port (strangers that connect
            // faster than it takes them) makes attempts time out: tried again.
            if (nError != ETIMEDOUT || std::chrono::steady_clock::now() >= tGiveUp) {
                return nError;
            }
        }
    };
    *pnError = ConnectAndSay(m_signals, MakeRemoteOpening(opening));
    if (*pnError == 0) {
        *pnError = ConnectAndSay(m_counts, MakeRemoteCountsOpening(opening.strToken));
    }
    if (*pnError != 0) {
        // Nothing but the opening went: the receiver has nothing to count.
        m_signals.Close();
        m_counts.Close();
        return false;
    }
    return true;
}

bool CRemoteLinkOut::BeginSend() {
    if (!TakesSignals()) {
        return false;
    }
    SetSending(true);
    return true;
}

void CRemoteLinkOut::SetSending(bool bSending) {
    m_bSending = bSending;
    m_nCountBound.store(m_nSent + (bSending ? 1 : 0), std::memory_order_release);
}

void CRemoteLinkOut::EndSend(SocketSendResult eResult, const char* pszSignal) {
    if (eResult != SS_FAILED) {
        // Cut by a Stop, the message still counts: its rest goes as the
        // link ends.
        ++m_nSent;
    }
    SetSending(false);
    if (eResult == SS_FAILED) {
        Break(pszSignal);
        return;
    }
    if (eResult == SS_STOPPED && m_eState == LO_OPEN) {
        m_eState = LO_ENDING;
    }
}

void CRemoteLinkOut::LetGo() {
    m_bHeld = false;
    if (m_eState == LO_OPEN) {
        m_eState = LO_ENDING;
    }
}

void CRemoteLinkOut::Break(const char* pszSignal) {
    m_bBroken = true;
    if (pszSignal && m_strBrokenSignal.empty()) {
        m_strBrokenSignal = pszSignal;
    }
    if (m_eState < LO_ENDED) {
        m_eState = LO_ENDED;  // no end goes out on a broken link
    }
}

bool CRemoteLinkOut::WantsWrite() const {
    return m_eState == LO_ENDING && !m_bSending && !m_bBroken;
}

void CRemoteLinkOut::ReadReplies(bool bSignals, bool bCounts) {
    // The receiver writes nothing on the signal link: its end of the stream
    // asks this end to end the link; a reset breaks it.
    if (bSignals && !m_bSignalsEnded && m_replies.eSignalsEnd == IO_NONE) {
        char achStray[512];
        for (size_t nTaken = 0; nTaken < kStrayBytesPerTurn;) {
            size_t nGot = 0;
            const SocketIoResult eResult =
                m_signals.ReceiveAvailable(achStray, sizeof achStray, nGot);
            if (eResult != IO_DONE) {
                if (eResult != IO_NONE) {
                    m_replies.eSignalsEnd = eResult;
                }
                break;
            }
            nTaken += nGot;
        }
    }
    if (!bCounts || m_bCountsEnded || m_replies.bCountsEnded) {
        return;
    }
    for (int nRead = 0; nRead < kCountReadsPerTurn; ++nRead) {
        const SocketIoResult eResult = m_countsReader.ReadFrom(m_counts);
        std::string strCount;
        for (bool bMore = true; bMore;) {
            switch (m_countsReader.Next(strCount)) {
                case CSocketStreamReader::RS_MESSAGE:
                    TakeCount(strCount);
                    break;
                case CSocketStreamReader::RS_ROOM:
                    m_countsReader.Admit(true);  // a count is a few bytes
                    break;
                case CSocketStreamReader::RS_INVALID:
                    m_replies.bCountsEnded = true;
                    return;
                case CSocketStreamReader::RS_TOO_LONG:
                case CSocketStreamReader::RS_SKIPPED:
                    break;
                case CSocketStreamReader::RS_NEED_MORE:
                    bMore = false;
                    break;
            }
        }
        if (eResult == IO_CLOSED || eResult == IO_RESET) {
            m_replies.bCountsEnded = true;
            return;
        }
        if (eResult == IO_NONE && m_countsReader.CanRead()) {
            break;
        }
    }
}

bool CRemoteLinkOut::TakeReplies() {
    if (!m_bSignalsEnded && m_replies.eSignalsEnd != IO_NONE) {
        m_bSignalsEnded = true;
        if (m_replies.eSignalsEnd == IO_CLOSED) {
            m_bAskedToEnd = true;
        } else if (m_eState < LO_ENDED) {
            Break(nullptr);
        }
    }
    // Progress is a count that says more, not one said again: a receiver
    // that repeats itself holds a close's wait no longer than a silent one.
    const bool bChanged = m_replies.nHandled != m_nHandled || m_replies.nRead != m_nRead ||
                          m_replies.nUnhandled != m_nUnhandled ||
                          (m_replies.bCountsEnded && !m_bCountsEnded);
    m_nHandled = m_replies.nHandled;
    m_nRead = m_replies.nRead;
    m_nUnhandled = m_replies.nUnhandled;
    m_bCountsEnded = m_bCountsEnded || m_replies.bCountsEnded;
    return bChanged;
}

void CRemoteLinkOut::TakeCount(const std::string& strCount) {
    long long nRead = 0;
    long long nUnhandled = -1;
    // A count above what was sent is none.
    if (!ParseRemoteCount(strCount, nRead, nUnhandled) ||
        nRead > m_nCountBound.load(std::memory_order_acquire)) {
        return;
    }
    if (nUnhandled < 0) {
        m_replies.nHandled = std::max(m_replies.nHandled, nRead);
    } else if (nRead >= m_replies.nRead) {
        m_replies.nRead = nRead;
        m_replies.nUnhandled = nUnhandled;
    }
}

bool CRemoteLinkOut::Advance() {
    if (m_eState == LO_OPEN) {
        // The receiver asked to end the link, or ended its count link: it
        // ends here as soon as no send is under way.
        if ((!m_bAskedToEnd && !m_bCountsEnded) || m_bSending) {
            return false;
        }
        m_eState = LO_ENDING;
    }
    if (m_eState == LO_ENDING) {
        if (m_bSending) {
            return false;
        }
        // The rest of the message a Stop cut, the end, then the half-close;
        // each as far as the receiver takes it now.
        bool bOut = m_signals.FlushUnsent();
        if (bOut && !m_bEndQueued) {
            m_bEndQueued = m_signals.TrySendMessage(kRemoteEndMark);
            bOut = m_bEndQueued && m_signals.FlushUnsent();
        }
        if (bOut) {
            m_signals.HalfClose(0);
            m_eState = LO_ENDED;
        } else if (m_signals.IsLost()) {
            Break(nullptr);
        } else {
            return false;  // the receiver does not read now
        }
    }
    if (m_eState == LO_ENDED) {
        // Ended here: over once the receiver has said its last and closed,
        // and the send under way (on a link that broke) has said how it went.
        if (!m_bCountsEnded || m_bSending) {
            return false;
        }
        m_eEnd = m_nUnhandled >= 0 ? SE_TOLD : m_nHandled < 0 && !m_bBroken ? SE_UNTOLD : SE_BROKEN;
        m_eState = LO_OVER;
    }
    return m_eState == LO_OVER;
}

void CRemoteLinkOut::Abandon() {
    if (m_eState == LO_OVER || Advance()) {
        return;
    }
    m_eEnd = SE_ABANDONED;
    m_eState = LO_OVER;
    m_bAbandoned = true;
}

SRemoteLoss CRemoteLinkOut::CountLoss(const char* pszWhen) const {
    SRemoteLoss loss;
    const long long nThis = m_strBrokenSignal.empty() ? 0 : 1;
    const long long nHandled = std::max(m_nHandled, 0LL);
    switch (m_eEnd) {
        case SE_TOLD:
            loss.nSignals = m_nSent - m_nRead + m_nUnhandled + nThis;
            break;
        case SE_BROKEN:
        case SE_ABANDONED:
            loss.nSignals = m_nSent - nHandled + nThis;
            loss.bUpTo = nHandled < m_nSent;
            break;
        case SE_UNTOLD:
            loss.nSignals = m_nSent + nThis;
            loss.bUpTo = m_nSent > 0;
            break;
    }
    if (loss.nSignals <= 0) {
        return loss;
    }
    const char* pszUpTo = loss.bUpTo ? "up to " : "";
    const char* pszChannel = m_strChannel.c_str();
    const char* pszPeer = m_strPeer.c_str();
    if (!m_strBrokenSignal.empty()) {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s broke while the signal %s was sent; %s%lld "
            "signals (that one and those the other instance %s) are lost.",
            pszChannel, pszPeer, m_strBrokenSignal.c_str(), pszUpTo, loss.nSignals,
            m_eEnd == SE_TOLD ? "did not handle" : "had not said it handled");
    } else if (m_eEnd == SE_TOLD) {
        loss.strLine = Format(
            "Warning: %lld signals sent through channel %s to %s were not taken in or handled "
            "there before its run ended; they are lost.",
            loss.nSignals, pszChannel, pszPeer);
    } else if (m_eEnd == SE_BROKEN) {
        loss.strLine = Format(
            "Warning: the link of channel %s to %s broke before the other instance had said "
            "it handled all that was sent; %s%lld signals sent through it are lost.",
            pszChannel, pszPeer, pszUpTo, loss.nSignals);
    } else if (m_eEnd == SE_ABANDONED) {
        loss.strLine = Format(
            "Warning: %s%lld signals sent through channel %s to %s had not been said handled "
            "there %s; they are lost.",
            pszUpTo, loss.nSignals, pszChannel, pszPeer, pszWhen);
    } else {
        loss.strLine = Format(
            "Warning: up to %lld signals sent through channel %s to %s are lost: the other "
            "instance there told nothing of what it handled.",
            loss.nSignals, pszChannel, pszPeer);
    }
    return loss;
}

void CRemoteLinkOut::Finish() {
    // The answer to the last count: this end counts that loss.
    if (m_eEnd == SE_TOLD) {
        m_counts.TrySendMessage(MakeRemoteCount(m_nRead, m_nUnhandled));
    }
    m_counts.Close();
    if (m_bAbandoned) {
        // A reset: what the receiver's system has taken it reads after it too.
        m_signals.Abort();
    } else {
        m_signals.Close();
    }
}

long long CRemoteLinkOut::GetUnread() const {
    if (m_eState == LO_OVER || m_bBroken) {
        return 0;  // nothing more will be read
    }
    return m_nSent - std::max({m_nHandled, m_nRead, 0LL});
}

bool CRemoteLinkOut::TookMore() {
    const long long nUnacknowledged = GetUnacknowledged();
    return nUnacknowledged != std::exchange(m_nLastUnacknowledged, nUnacknowledged);
}

// ---- A channel's sending end ----------------------------------------------------------------

CRemoteSendLink::CRemoteSendLink(std::string strHost, int nPort, std::string strChannel)
    : m_strHost(std::move(strHost)),
      m_nPort(nPort),
      m_strChannel(std::move(strChannel)),
      m_strPeer(Format("%s:%d", m_strHost.c_str(), nPort)) {}

CRemoteSendLink::~CRemoteSendLink() {
    // A channel that goes with its link held (an instance's copy): the
    // link ends in order all the same.
    if (m_pLink && m_pLinks) {
        m_pLinks->LetGo(*m_pLink);
    }
}

void CRemoteSendLink::Lost(CSDLRemoteLinks& links, const char* pszSignal,
                           const std::string& strWhy) const {
    links.ReportLoss(m_strPeer, 1, [&] {
        return Format(
            "Warning: the signal %s could not be sent through channel %s to %s%s; it is "
            "lost.",
            pszSignal, m_strChannel.c_str(), m_strPeer.c_str(), strWhy.c_str());
    });
}

void CRemoteSendLink::LoseAfterStop(const char* pszSignal) {
    if (m_nLostAfterStop++ == 0) {
        m_strFirstLostAfterStop = pszSignal;
    }
}

bool CRemoteSendLink::Send(CSDLRemoteLinks& links, const SRemoteOpening& opening,
                           const std::string& strMessage, const char* pszSignal) {
    m_pLinks = &links;
    if (links.AreSendsCancelled()) {
        LoseAfterStop(pszSignal);
        return false;
    }
    for (;;) {
        if (!m_pLink) {
            // A peer that did not answer loses what is sent to it at once,
            // but for an attempt now and then: a run is not held a minute a
            // signal.
            std::chrono::milliseconds tPatience(kRemoteConnectPatienceMs);
            if (!links.MayConnect(m_strPeer, tPatience)) {
                Lost(links, pszSignal,
                     Format(": that instance does not answer (it is tried again every %d s)",
                            kRemoteRetryConnectMs / 1000));
                return false;
            }
            auto pLink = std::make_unique<CRemoteLinkOut>(m_strHost, m_nPort, m_strChannel);
            SRemoteOpening withToken = opening;
            withToken.strToken = NewRemoteToken();
            int nError = 0;
            const bool bOpen = pLink->Open(links, withToken, tPatience, &nError);
            if (nError != ECANCELED) {
                links.NoteConnect(m_strPeer, nError != ETIMEDOUT);
            }
            if (!bOpen) {
                if (nError == ECANCELED) {
                    LoseAfterStop(pszSignal);
                } else {
                    Lost(links, pszSignal,
                         nError == ETIMEDOUT ? ": that instance does not answer"
                                             : ": no link could be made");
                }
                return false;
            }
            m_pLink = links.Adopt(std::move(pLink));
        }
        // The send waits while the receiver takes nothing; only a Stop, or
        // a link that breaks, ends it.
        const CSDLRemoteLinks::LinkSendResult eSent = links.SendOn(*m_pLink, strMessage, pszSignal);
        if (eSent == CSDLRemoteLinks::LS_SENT) {
            return true;
        }
        // The link takes no more: it ends in order (after the message a
        // Stop cut), and is kept until its receiver has read it.
        links.LetGo(*m_pLink);
        m_pLink = nullptr;
        switch (eSent) {
            case CSDLRemoteLinks::LS_CUT:
                return true;
            case CSDLRemoteLinks::LS_ENDED:
                continue;  // its receiver asked to end it: a new one
            case CSDLRemoteLinks::LS_STOPPED:
                LoseAfterStop(pszSignal);
                return false;
            default:
                return false;  // counted with the link's loss
        }
    }
}

void CRemoteSendLink::Close(CSDLRemoteLinks& links) {
    if (m_pLink) {
        links.LetGo(*m_pLink);
        m_pLink = nullptr;
    }
    if (m_nLostAfterStop == 0) {
        return;
    }
    const long long nLost = std::exchange(m_nLostAfterStop, 0);
    const std::string strFirst = std::move(m_strFirstLostAfterStop);
    links.ReportLoss(m_strPeer, nLost, [&] {
        return nLost == 1 ? Format(
                                "Warning: the signal %s could not be sent through channel %s to %s "
                                "before the run was stopped; it is lost.",
                                strFirst.c_str(), m_strChannel.c_str(), m_strPeer.c_str())
                          : Format(
                                "Warning: %lld signals (the first %s) could not be sent through "
                                "channel %s to %s before the run was stopped; they are lost.",
                                nLost, strFirst.c_str(), m_strChannel.c_str(), m_strPeer.c_str());
    });
}
