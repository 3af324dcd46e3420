#include "sh_sdl/sdlremote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlchannelout.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// How much of a message that is no signal its report quotes.
constexpr size_t kQuotedBytes = 60;
// The longest pause of a listener that cannot take a link for now.
constexpr int kMaxAcceptBackOffMs = 1000;

const char* const kReceiveFailure = "Error in the incomming socket. Are some VELKO's down?";

// What the count of each kind not reported line by line stands for, after
// the count.
const char* const kNotGiven[RR_KIND_COUNT] = {
    "more messages that were no remote signals",
    "more messages too long for a remote signal",
    "more signals for a channel that no single agent of this instance receives",
    "more signals for a cell their agent does not have",
    "more signals that came after their agent's clock (handled at that clock)",
    "more links that failed",
    "more links closed for sending only messages that were no remote signals",
    "more silent links closed to make room",
    "more links cut for sending long after they were closed",
    "more links whose opening named no instance of this model",
    "more times a link of another instance waited at the ceiling",
    "more messages that did not arrive whole in time",
    "more links whose sender stopped working",
    "more signals sent there lost",
    "more signals sent there lost at most",
    "more signals from there not handled, their sender not told",
    "more signals from there not handled (their sender was told, and counts them too)",
};

long long Now() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

template <class Fn>
void ForEachAgent(CSDLAgent* pAgent, const Fn& fn) {
    fn(pAgent);
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        ForEachAgent(pBlock.get(), fn);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        ForEachAgent(pProcess.get(), fn);
    }
}

// Errors of accept that pass: a lack of descriptors or memory, and a
// connection that failed before it was taken.
bool IsPassingAcceptError(int nError) {
    switch (nError) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// How a signal link ended.
enum RemoteLinkEnd {
    LINK_OPEN,         // it goes on
    LINK_ENDED,        // its sender ended it in order
    LINK_STOPPED,      // it ended between two messages without its sender's end
    LINK_CUT,          // it ended inside a message without its sender's end
    LINK_RESET,        // it was reset
    LINK_CLOSED_HERE,  // this end ended it
};

}  // namespace

// What the reader of one link took: told its sender as counts, reported when
// its sender could not be told.
struct SRemoteLinkTally {
    std::string strAddress;
    unsigned int nPort = 0;
    // What the opening of a link of the protocol said.
    std::string strInstance;
    std::string strChannel;
    // Messages read (the openings and the end aside), and of them the
    // signals taken by their agent and those not handled (dropped, no
    // signal, or read once the run had ended).
    std::atomic<long long> nRead{0};
    std::atomic<long long> nHandled{0};
    std::atomic<long long> nUnhandled{0};
    // Its run has ended: what it reads from now on is not handled.
    std::atomic<bool> bRunOver{false};
    // How its link ended (RemoteLinkEnd).
    std::atomic<int> nEnd{LINK_OPEN};
    // Its signals waiting here (under the gate's mutex).
    size_t nHeld = 0;
};

namespace {

// An undelivered signal's room, given back when its agent takes it or when
// it goes unhandled.
class CDeliveryHold {
public:
    CDeliveryHold(std::shared_ptr<CSDLRemoteLinks::SDeliveryGate> pGate, int nPool, size_t nBytes,
                  std::shared_ptr<SRemoteLinkTally> pTally)
        : m_pGate(std::move(pGate)),
          m_nPool(nPool),
          m_nBytes(nBytes),
          m_pTally(std::move(pTally)) {}
    ~CDeliveryHold() { m_pGate->Release(m_nPool, m_nBytes, m_pTally.get(), m_bDropped); }
    CDeliveryHold(const CDeliveryHold&) = delete;
    CDeliveryHold& operator=(const CDeliveryHold&) = delete;
    // Its signal goes without being handled.
    void MarkDropped() { m_bDropped = true; }

private:
    std::shared_ptr<CSDLRemoteLinks::SDeliveryGate> m_pGate;
    int m_nPool;
    size_t m_nBytes;
    std::shared_ptr<SRemoteLinkTally> m_pTally;
    bool m_bDropped = false;
};

// A peer's text as the Errors tab shows it: control characters, bytes that
// are no UTF-8 and the characters that change a line's direction or end it
// are written "\xNN" or "\u{N}", so that a peer cannot write lines that look
// like this program's own.
std::string EscapePeerText(std::string_view text) {
    std::string strOut;
    strOut.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t nStart = i;
        const char32_t cp = DecodeUtf8(text, i);
        const std::string_view bytes = text.substr(nStart, i - nStart);
        if (cp == 0xFFFD && bytes != "\xEF\xBF\xBD") {
            for (const char ch : bytes) {
                strOut += Format("\\x%02X", static_cast<unsigned char>(ch));
            }
        } else if (cp < 0x20 || cp == 0x7F || cp == '\\') {
            strOut +=
                cp == '\\' ? std::string("\\\\") : Format("\\x%02X", static_cast<unsigned>(cp));
        } else if ((cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
                   (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
                   (cp >= 0x2066 && cp <= 0x2069)) {
            strOut += Format("\\u{%X}", static_cast<unsigned>(cp));
        } else {
            strOut += bytes;
        }
    }
    return strOut;
}

// A peer's text cut to nBytes, with "..." when it was longer, escaped.
std::string Shortened(std::string strText, size_t nBytes) {
    const bool bLonger = strText.size() > nBytes;
    if (bLonger) {
        TruncateUtf8(strText, nBytes);
    }
    return EscapePeerText(strText) + (bLonger ? "..." : "");
}

// Adds nCount to strAddress's count; past kMaxReportedAddresses addresses,
// to the others' ("").
void AddPerAddress(std::map<std::string, long long>& mapCounts, const std::string& strAddress,
                   long long nCount) {
    if (nCount <= 0) {
        return;
    }
    const bool bRoom = mapCounts.size() < kMaxReportedAddresses || mapCounts.count(strAddress);
    mapCounts[bRoom ? strAddress : std::string()] += nCount;
}

// The room a piece of nBytes of a message takes while it is read and held:
// a character (two bytes) takes five, and a signal kRemoteSignalCost more.
size_t PieceCost(size_t nBytes, bool bFirst) {
    return nBytes * 5 / 2 + (bFirst ? kRemoteSignalCost : 0);
}

// The same for a whole message of nLength characters.
size_t MessageCost(uint64_t nLength) {
    return PieceCost(static_cast<size_t>(std::min<uint64_t>(nLength, kMaxRemoteMessageLength)) * 2,
                     true);
}

// The lines that say what a link's signals not handled were.
std::string UnhandledLine(long long nCount, const std::string& strAddress, bool bTold) {
    return Format(
        "Warning: %lld signals from %s were not handled: the run ended before they were%s.", nCount,
        strAddress.empty() ? "other addresses" : strAddress.c_str(),
        bTold ? " (their sender was told, and counts them too)"
              : ", or no agent took them, and their sender was not told");
}

}  // namespace

// ---- Reports ------------------------------------------------------------------------------

CRemoteReports::CRemoteReports(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)) {}

bool CRemoteReports::Admit(const std::string& strAddress, RemoteReportKind eKind,
                           long long nCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapAddresses.find(strAddress);
    if (it == m_mapAddresses.end()) {
        // Addresses past the first few are counted together: a peer that
        // comes from ever new addresses adds no memory.
        const bool bRoom = m_mapAddresses.size() < kMaxReportedAddresses;
        it = m_mapAddresses.try_emplace(bRoom ? strAddress : std::string()).first;
    }
    SAddress& address = it->second;
    // The signals this instance lost or did not handle are its own: only
    // the per-address bound holds them back.
    const bool bOwn = eKind >= RR_LOST;
    if (address.anGiven[eKind] < kRemoteReportsPerKind &&
        (bOwn || m_nLinesGiven < kRemoteReportLinesPerRun)) {
        ++address.anGiven[eKind];
        m_nLinesGiven += bOwn ? 0 : 1;
        return true;
    }
    if (address.anNotGiven[eKind] < LLONG_MAX - nCount) {
        address.anNotGiven[eKind] += nCount;
    }
    return false;
}

void CRemoteReports::Summarise() {
    std::map<std::string, SAddress> mapAddresses;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mapAddresses.swap(m_mapAddresses);
        m_nLinesGiven = 0;
    }
    for (const auto& [strAddress, address] : mapAddresses) {
        const std::string strFrom = strAddress.empty() ? "other addresses" : strAddress;
        std::string strCounts;
        for (int nKind = 0; nKind < RR_LOST; ++nKind) {
            if (address.anNotGiven[nKind] > 0) {
                strCounts += Format("%s%lld %s", strCounts.empty() ? "" : ", ",
                                    address.anNotGiven[nKind], kNotGiven[nKind]);
            }
        }
        if (!strCounts.empty()) {
            m_fnReport(Format("Warning: from %s, %s were not reported one by one.", strFrom.c_str(),
                              strCounts.c_str()));
        }
        for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
            ReportSignals(strFrom, static_cast<RemoteReportKind>(nKind), address.anNotGiven[nKind]);
        }
    }
}

void CRemoteReports::SummariseLost() {
    std::map<std::string, SAddress> mapSignals;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [strAddress, address] : m_mapAddresses) {
            for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
                auto& nCount = address.anNotGiven[nKind];
                mapSignals[strAddress.empty() ? "other addresses" : strAddress].anNotGiven[nKind] =
                    nCount;
                nCount = 0;
            }
        }
    }
    for (const auto& [strFrom, address] : mapSignals) {
        for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
            ReportSignals(strFrom, static_cast<RemoteReportKind>(nKind), address.anNotGiven[nKind]);
        }
    }
}

void CRemoteReports::ReportSignals(const std::string& strFrom, RemoteReportKind eKind,
                                   long long nCount) const {
    if (nCount <= 0) {
        return;
    }
    const char* pszFrom = strFrom.c_str();
    if (eKind == RR_LOST || eKind == RR_LOST_UP_TO) {
        m_fnReport(
            Format("Warning: %s%lld more signals sent to %s were lost (not reported one "
                   "by one).",
                   eKind == RR_LOST_UP_TO ? "up to " : "", nCount, pszFrom));
    } else if (eKind == RR_UNHANDLED) {
        m_fnReport(
            Format("Warning: %lld more signals from %s were not handled, and their sender "
                   "was not told (not reported one by one).",
                   nCount, pszFrom));
    } else {
        m_fnReport(
            Format("Warning: %lld more signals from %s were not handled (their sender was "
                   "told, and counts them too; not reported one by one).",
                   nCount, pszFrom));
    }
}

// ---- Delivery gate ------------------------------------------------------------------------

bool CSDLRemoteLinks::SDeliveryGate::HasRoom(int nPool, size_t nSize, size_t nHeld) const {
    const SPool& pool = aPools[nPool];
    const bool bWithinBounds = pool.nSignals < kMaxUndeliveredSignals &&
                               (pool.nBytes == 0 || pool.nBytes + nSize <= kMaxUndeliveredBytes);
    if (nPool == POOL_INSTANCES) {
        // A link of an instance with nothing waiting here may take its next
        // signal whatever the others took: links that only claim to be an
        // instance cannot hold a genuine one back.
        if (nHeld == 0) {
            return true;
        }
        if (bSendWaits) {
            return bWithinBounds || pool.nBytes + nSize <= nCeiling;
        }
    }
    return bWithinBounds;
}

void CSDLRemoteLinks::SDeliveryGate::Release(int nPool, size_t nSize, SRemoteLinkTally* pTally,
                                             bool bDropped) {
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        SPool& pool = aPools[nPool];
        --pool.nSignals;
        pool.nBytes -= std::min(pool.nBytes, nSize);
        const bool bNoneHeld = pTally && --pTally->nHeld == 0;
        if (pool.nWaiting > 0) {
            // Woken for each signal handled, readers would take turns at the
            // pace of single signals: a batch, an empty pool, or a link that
            // has nothing left waiting here, wakes them.
            ++pool.nFreedSignals;
            pool.nFreedBytes += nSize;
            bWake = pool.nFreedSignals >= kRemoteRoomBatch ||
                    pool.nFreedBytes >= kRemoteBytesBatch || pool.nSignals == 0 ||
                    (nPool == POOL_INSTANCES && bNoneHeld);
            if (bWake) {
                pool.nFreedSignals = 0;
                pool.nFreedBytes = 0;
            }
        }
    }
    // Counted after the room: a count that says handled comes when the
    // room is free.
    if (pTally && (bDropped || pTally->bRunOver)) {
        ++pTally->nUnhandled;
    } else if (pTally) {
        ++pTally->nHandled;
    }
    if (bWake) {
        cvRoom.notify_all();
    }
}

CSDLRemoteLinks::CSDLRemoteLinks(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)), m_reports(m_fnReport) {}

// ---- Readers ---------------------------------------------------------------------------------

// The reader of one connection a port took: a signal link (of an instance,
// or a stranger's) or a count link, told apart by its first message.
class CSDLRemoteLinks::CReader {
public:
    CReader(CSDLRemoteLinks& links, unsigned int nPort) : nPort(nPort), m_links(links) {}
    CReader(const CReader&) = delete;
    CReader& operator=(const CReader&) = delete;

    // Once the connection is taken (hold m_mutexLinks).
    void Accepted() {
        strAddress = pSocket->GetPeerAddress();
        pTally = std::make_shared<SRemoteLinkTally>();
        pTally->strAddress = strAddress;
        pTally->nPort = nPort;
        pSocket->AttachArchives();
        pSocket->SetMessageTimeout(kRemoteMessageTimeMs);
        nLastHeard = Now();
    }
    // This end ends the link: what comes within nMilliseconds is read.
    void EndHere(int nMilliseconds) {
        bEndedHere = true;
        pSocket->EndReceivingWithin(nMilliseconds);
    }
    // The reader's thread.
    void Run();

    // Shared with the thread that tells the counts, once it is a count
    // link.
    std::shared_ptr<CBidirecSocket> pSocket = std::make_shared<CBidirecSocket>();
    std::thread thread;
    const unsigned int nPort;
    std::string strAddress;
    std::shared_ptr<SRemoteLinkTally> pTally;
    // Its opening was one of the protocol; it is a count link, given to
    // its signal link's telling.
    std::atomic<bool> bProtocol{false};
    std::atomic<bool> bCountLink{false};
    std::atomic<bool> bPaired{false};
    // Its opening named an instance of the model.
    std::atomic<bool> bFromInstance{false};
    std::atomic<bool> bDone{false};
    // Half-closed to make room: read until its sender ends it.
    std::atomic<bool> bDraining{false};
    long long nDrainingSince = 0;  // under m_mutexLinks
    // Ended at once (it went on sending long after it was closed).
    std::atomic<bool> bCut{false};
    // This end ended it.
    std::atomic<bool> bEndedHere{false};
    std::atomic<bool> bWaitingForRoom{false};
    std::atomic<bool> bSentSignal{false};
    // When its last message (or the connection) came, in steady-clock ticks.
    std::atomic<long long> nLastHeard{0};

private:
    // Reads the link until it ends: how it ended (RemoteLinkEnd).
    int ReadSignals();
    // What the first message says of the link; false when it is no
    // opening (a stranger's first message).
    bool TakeOpening(const std::string& strMessage);
    // Gives a count link to the signal link of strToken, once that one's
    // opening has been read.
    void PairCounts(const std::string& strToken);
    // The one place that takes room: nBytes more for the message being
    // read, waiting while the bounds say so. False, with nothing more taken,
    // when it is not to be kept (the run ended, or the link was cut).
    bool TakeRoom(size_t nBytes);
    // Gives back the room of a message that is not kept.
    void GiveBack();
    void ReportCeiling(const std::string& strWaitsOn, size_t nHeld);

    CSDLRemoteLinks& m_links;
    // The pool of the message being read, once it took room, and what it
    // took.
    int m_nPool = -1;
    size_t m_nTaken = 0;
    bool m_bCeilingSaid = false;
};

// A link of the protocol whose counts are told.
struct CSDLRemoteLinks::STelling {
    std::shared_ptr<SRemoteLinkTally> pTally;
    // Its count link, once it came.
    std::shared_ptr<CBidirecSocket> pCounts;
    std::string strTold;   // the last count handed over
    std::string strFinal;  // the last count, before the count link's end
    bool bCountsEnded = false;
    // The sender answered the last count: it counts that loss.
    bool bAnswered = false;
};

CSDLRemoteLinks::~CSDLRemoteLinks() {
    CancelSends();
    EndRun();
    // Once the owner has given the wait up, it is not taken up again here.
    CloseLingering(std::chrono::milliseconds(m_bWaitGivenUp ? 0 : kRemoteCloseWaitMs),
                   "when the program ended");
    // The links of other instances still read here end now: what has come
    // is read for a moment, and their senders are told the last count; those
    // that answer it within a moment count its signals not handled, the
    // others' are counted here.
    std::list<std::unique_ptr<CReader>> listKept;
    {
        std::unique_lock<std::mutex> lock(m_mutexLinks);
        for (auto& pReader : m_listKept) {
            pReader->EndHere(kRemoteStopDrainMs);
        }
        const auto tGiveUp =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemoteStopDrainMs + 800);
        m_cvTelling.wait_until(lock, tGiveUp, [this] { return m_mapTelling.empty(); });
        m_bEnding = true;
        m_cvTelling.notify_all();
        m_cvStopping.notify_all();
        m_cvTelling.wait_for(lock, std::chrono::seconds(5),
                             [this] { return m_mapTelling.empty(); });
        m_bTellingEnds = true;
        listKept.swap(m_listKept);
    }
    m_cvTelling.notify_all();
    if (m_threadTelling.joinable()) {
        m_threadTelling.join();
    }
    for (auto& pReader : listKept) {
        if (pReader->thread.joinable()) {
            pReader->thread.join();
        }
    }
    m_reports.Summarise();
}

SRemoteModel CSDLRemoteLinks::CollectModel(CSDLAgent* pRoot, const std::string& strOwnAddress,
                                           const std::string& strSystem) {
    SRemoteModel model;
    model.strSystem = strSystem;
    if (!pRoot) {
        return model;
    }
    ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
        if (!pAgent->m_strIP.empty()) {
            model.setInstances.insert(pAgent->m_strIP);
        }
        if (pAgent->m_strIP == strOwnAddress && pAgent->m_nPort > 0 && pAgent->m_nPort <= 65535) {
            const auto nPort = static_cast<unsigned int>(pAgent->m_nPort);
            model.mapPorts.try_emplace(nPort, 0);
            for (const auto& [strName, pChannel] : pAgent->m_mapInputChannels) {
                if (!pChannel->m_bLocalDelivery) {
                    model.mapChannels[nPort].insert(pChannel->m_strName);
                }
            }
        }
    });
    // Every instance holds the whole model: it knows each output end that
    // may connect to one of its ports, whichever instance sends through it.
    ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
        for (const auto& [strName, pChannel] : pAgent->m_mapOutputChannels) {
            const CSDLAgent* pTarget = pChannel->GetTarget();
            if (pChannel->m_bLocalDelivery || !pTarget || pTarget->m_strIP != strOwnAddress) {
                continue;
            }
            const auto it = model.mapPorts.find(static_cast<unsigned int>(pTarget->m_nPort));
            if (it != model.mapPorts.end()) {
                ++it->second;
            }
        }
    });
    return model;
}

// ---- Listeners ------------------------------------------------------------------------------

bool CSDLRemoteLinks::Start(const SRemoteModel& model, const std::string& strAddress,
                            std::string& strError) {
    EndRun();
    std::vector<std::unique_ptr<SListener>> vecListeners;
    for (const auto& [nPort, nEnds] : model.mapPorts) {
        auto pListener = std::make_unique<SListener>();
        pListener->nPort = nPort;
        // A link and its count link for each output end.
        pListener->nServed = 2 * nEnds + kMaxRemoteConnections;
        // The own address when it is one of this machine's (two instances on
        // one machine may then share a port number), else every address (an
        // Internet address seen from outside is often no local one).
        const bool bBound =
            (!strAddress.empty() && pListener->socket.CreateServer(nPort, strAddress)) ||
            pListener->socket.CreateServer(nPort);
        if (!bBound || !pListener->socket.Listen(128)) {
            strError = Format(
                "the port %u for remote signals cannot be bound; another program (or another "
                "simulator instance on this address) may be using it",
                nPort);
            return false;  // the sockets made so far close here
        }
        vecListeners.push_back(std::move(pListener));
    }
    ClearInbox();
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bClosed = false;
    }
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    m_bStopping = false;
    m_model = model;
    m_vecRetiredTallies.clear();
    m_nRetiredKept = 0;
    m_mapRetiredUnhandled.clear();
    m_vecListeners = std::move(vecListeners);
    for (auto& pListener : m_vecListeners) {
        SListener& rListener = *pListener;
        rListener.thread = std::thread([this, &rListener] { ListenLoop(rListener); });
    }
    return true;
}

void CSDLRemoteLinks::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        if (m_bStopping) {
            return;
        }
        m_bStopping = true;
        for (auto& pListener : m_vecListeners) {
            pListener->socket.Cancel();
            for (auto& pReader : pListener->listReaders) {
                // From now on a signal given back was not handled.
                pReader->pTally->bRunOver = true;
                if (pReader->bProtocol) {
                    // Asked to end: its sender does so before its next send,
                    // and what comes meanwhile is read and counted.
                    pReader->pSocket->HalfClose(0);
                } else if (!pReader->bCountLink) {
                    // What has come is read on for a moment, not kept.
                    pReader->EndHere(kRemoteStopDrainMs);
                }
            }
        }
    }
    m_cvStopping.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bClosed = true;
    }
    m_pGate->cvRoom.notify_all();
    // Once its listener has ended no reader is added: the lists can be
    // walked without the lock.
    for (auto& pListener : m_vecListeners) {
        if (pListener->thread.joinable()) {
            pListener->thread.join();
        }
        // Connects are refused from now on.
        pListener->socket.Close();
    }
    for (auto& pListener : m_vecListeners) {
        for (auto& pReader : pListener->listReaders) {
            if (!pReader->bProtocol && !pReader->bCountLink && pReader->thread.joinable()) {
                pReader->thread.join();
            }
        }
    }
    ClearInbox();
}

void CSDLRemoteLinks::EndRun() {
    Stop();
    std::vector<std::unique_ptr<SListener>> vecGone;
    std::vector<std::shared_ptr<SRemoteLinkTally>> vecTallies;
    std::map<std::string, long long> mapUntold;
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        vecGone.swap(m_vecListeners);
        // The links of other instances are read on until their senders end
        // them; the strangers' have ended.
        for (auto& pListener : vecGone) {
            PruneReaders(pListener->listReaders);
            m_listKept.splice(m_listKept.end(), pListener->listReaders);
        }
        PruneReaders(m_listKept);
        for (auto& pTally : m_vecRetiredTallies) {
            vecTallies.push_back(std::move(pTally));
        }
        m_vecRetiredTallies.clear();
        mapUntold.swap(m_mapRetiredUnhandled);
    }
    vecGone.clear();  // closes the ports
    // What strangers' links did not handle, per address: they are told no
    // counts.
    for (const auto& pTally : vecTallies) {
        AddPerAddress(mapUntold, pTally->strAddress, pTally->nUnhandled.load());
    }
    for (const auto& [strAddress, nCount] : mapUntold) {
        if (nCount > 0 && m_reports.Admit(strAddress, RR_UNHANDLED, nCount)) {
            Report(UnhandledLine(nCount, strAddress, false));
        }
    }
    m_reports.Summarise();
}

void CSDLRemoteLinks::PruneReaders(std::list<std::unique_ptr<CReader>>& rList) {
    for (auto it = rList.begin(); it != rList.end();) {
        if ((*it)->bDone) {
            if ((*it)->thread.joinable()) {
                (*it)->thread.join();  // it has nothing left to do but return
            }
            // What a stranger's link did not handle is counted by address;
            // the links of the protocol report their own.
            if (!(*it)->bProtocol && !(*it)->bCountLink) {
                RetireTally(std::move((*it)->pTally));
            }
            it = rList.erase(it);
        } else {
            ++it;
        }
    }
}

void CSDLRemoteLinks::RetireTally(std::shared_ptr<SRemoteLinkTally> pTally) {
    if (!pTally) {
        return;
    }
    // Its link has ended: what it did not handle is counted by address
    // once no signal of it waits any more, so that ever new links cost no
    // memory.
    m_vecRetiredTallies.push_back(std::move(pTally));
    if (m_vecRetiredTallies.size() < 2 * m_nRetiredKept + 64) {
        return;
    }
    auto itKept = m_vecRetiredTallies.begin();
    for (auto& pRetired : m_vecRetiredTallies) {
        if (pRetired.use_count() == 1) {
            AddPerAddress(m_mapRetiredUnhandled, pRetired->strAddress, pRetired->nUnhandled.load());
        } else {
            *itKept++ = std::move(pRetired);
        }
    }
    m_vecRetiredTallies.erase(itKept, m_vecRetiredTallies.end());
    m_nRetiredKept = m_vecRetiredTallies.size();
}
void CSDLRemoteLinks::ClearInbox() {
    std::deque<SRemoteSignal> gone;
    std::lock_guard<std::mutex> lock(m_pGate->mutex);
    gone.swap(m_inbox);
    // gone goes after the lock: its events give their counts back through
    // the gate.
}
std::vector<unsigned int> CSDLRemoteLinks::GetListeningPorts() const {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    std::vector<unsigned int> vecPorts;
    for (const auto& pListener : m_vecListeners) {
        if (pListener->socket.IsOpen()) {
            vecPorts.push_back(pListener->nPort);
        }
    }
    return vecPorts;
}

size_t CSDLRemoteLinks::GetConnectionCount(bool bWithClosing) const {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    size_t nCount = 0;
    for (const auto& pListener : m_vecListeners) {
        for (const auto& pReader : pListener->listReaders) {
            nCount += pReader->bDone || (pReader->bDraining && !bWithClosing) ? 0 : 1;
        }
    }
    return nCount;
}

void CSDLRemoteLinks::SetCeiling(size_t nBytes) {
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->nCeiling = nBytes;
    }
    m_pGate->cvRoom.notify_all();
}

bool CSDLRemoteLinks::IsStopping() const {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    return m_bStopping;
}

void CSDLRemoteLinks::WakeReaders() {
    // A reader that waits for room sees a mark under the gate's lock.
    { std::lock_guard<std::mutex> lock(m_pGate->mutex); }
    m_pGate->cvRoom.notify_all();
}

void CSDLRemoteLinks::MakeRoom(SListener& rListener, CReader& rNew) {
    // A link of an instance takes its count link's place too, whether that
    // one is open or not.
    std::vector<CReader*> vecServed;
    size_t nTaken = 0;
    for (auto& pReader : rListener.listReaders) {
        if (!pReader->bDone && !pReader->bDraining) {
            vecServed.push_back(pReader.get());
            nTaken += pReader->bProtocol && pReader->bFromInstance ? 2 : 1;
        }
    }
    if (nTaken <= rListener.nServed) {
        return;
    }
    // The one silent longest, among strangers' links if any, then among
    // those that never sent a signal; never one whose reader waits for
    // room, for its sender waits on it. When every other one is busy, the
    // newcomer.
    const auto Rank = [](const CReader& rReader) {
        return (rReader.bFromInstance ? 2 : 0) + (rReader.bSentSignal ? 1 : 0);
    };
    CReader* pSilent = nullptr;
    for (CReader* pReader : vecServed) {
        if (pReader == &rNew || pReader->bWaitingForRoom) {
            continue;
        }
        if (!pSilent || Rank(*pReader) < Rank(*pSilent) ||
            (Rank(*pReader) == Rank(*pSilent) && pReader->nLastHeard < pSilent->nLastHeard)) {
            pSilent = pReader;
        }
    }
    if (!pSilent) {
        pSilent = &rNew;
    }
    // In order: its sender reads the end of the link, connects again before
    // its next send, and what it wrote meanwhile is still read here.
    pSilent->bDraining = true;
    pSilent->nDrainingSince = Now();
    pSilent->pSocket->HalfClose(kRemoteDrainMs);
    if (m_reports.Admit(pSilent->strAddress, RR_EVICTED)) {
        Report(
            Format("Warning: port %u already serves %zu links; a silent one from %s is "
                   "closed to make room for another.",
                   rListener.nPort, rListener.nServed, pSilent->strAddress.c_str()));
    }
}

bool CSDLRemoteLinks::WaitForRoomToClose(SListener& rListener, std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (m_bStopping) {
            return false;
        }
        size_t nClosing = 0;
        CReader* pOldest = nullptr;
        for (auto& pReader : rListener.listReaders) {
            if (pReader->bDraining && !pReader->bDone && !pReader->bCut) {
                ++nClosing;
                if (!pOldest || pReader->nDrainingSince < pOldest->nDrainingSince) {
                    pOldest = pReader.get();
                }
            }
        }
        if (nClosing < kMaxRemoteConnections) {
            return true;
        }
        // Its reader has had the time to read whatever it was sent before
        // its end: it is read no longer.
        const std::chrono::steady_clock::duration age(Now() - pOldest->nDrainingSince);
        if (age >= std::chrono::milliseconds(kRemoteDrainMs)) {
            pOldest->bCut = true;
            pOldest->EndHere(0);
            WakeReaders();
            if (m_reports.Admit(pOldest->strAddress, RR_CUT)) {
                Report(
                    Format("Warning: a link from %s on port %u still sends %d s after it "
                           "was closed to make room; it is cut, and what it sends is lost.",
                           pOldest->strAddress.c_str(), rListener.nPort, kRemoteDrainMs / 1000));
            }
            return true;
        }
        // The senders that wait meanwhile wait in the queue, with what they
        // send kept by TCP.
        m_cvStopping.wait_for(lock, std::chrono::milliseconds(20));
    }
}

void CSDLRemoteLinks::ListenLoop(SListener& rListener) {
    int nBackOffMs = 0;
    std::string strFailure = "it stopped";
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutexLinks);
                if (!WaitForRoomToClose(rListener, lock)) {
                    return;
                }
            }
            auto pReader = std::make_unique<CReader>(*this, rListener.nPort);
            int nError = 0;
            const bool bAccepted = rListener.socket.Accept(*pReader->pSocket, &nError);
            if (!bAccepted && !IsStopping()) {
                if (!IsPassingAcceptError(nError)) {
                    strFailure = std::generic_category().message(nError);
                    break;
                }
                // The connection waits in the queue meanwhile.
                if (nBackOffMs == 0) {
                    Report(
                        Format("Warning: the listener on port %u cannot take a link for now "
                               "(%s); it tries again.",
                               rListener.nPort, std::generic_category().message(nError).c_str()));
                }
                nBackOffMs = std::min(std::max(2 * nBackOffMs, 10), kMaxAcceptBackOffMs);
                std::unique_lock<std::mutex> lock(m_mutexLinks);
                m_cvStopping.wait_for(lock, std::chrono::milliseconds(nBackOffMs),
                                      [this] { return m_bStopping; });
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutexLinks);
            if (m_bStopping) {
                return;
            }
            nBackOffMs = 0;
            auto& listReaders = rListener.listReaders;
            PruneReaders(listReaders);
            pReader->Accepted();
            CReader& rReader = *pReader;
            listReaders.push_back(std::move(pReader));
            MakeRoom(rListener, rReader);
            rReader.thread = std::thread([&rReader] { rReader.Run(); });
        }
    } catch (...) {
        strFailure = "no memory or no thread for a link";
    }
    // No port stays open that nobody reads: senders learn at once that
    // their signals cannot go there.
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        if (m_bStopping) {
            return;
        }
        rListener.socket.Close();
    }
    Report(
        Format("The listener on port %u failed (%s); the port is closed, and signals sent to it "
               "are refused until the next run.",
               rListener.nPort, strFailure.c_str()));
}

void CSDLRemoteLinks::CReader::Run() {
    int nEnd = LINK_CLOSED_HERE;
    try {
        nEnd = ReadSignals();
    } catch (...) {
        // No memory for a message: the link ends as a failed one.
    }
    GiveBack();
    // Closed here, not when the listener next prunes its list: the peer
    // learns it now, and the descriptor is free. Nothing is ever written on
    // a signal link, so that its sender's system never resets it.
    if (!bPaired) {
        pSocket->Close();
    }
    if (!bCountLink) {
        pTally->nEnd = nEnd;
    }
    {
        std::lock_guard<std::mutex> lock(m_links.m_mutexLinks);
        bDone = true;
    }
    m_links.m_cvTelling.notify_all();
}

int CSDLRemoteLinks::CReader::ReadSignals() {
    CBidirecSocket& socket = *pSocket;
    SRemoteLinkTally& tally = *pTally;
    bool bFirst = true;
    bool bEndMark = false;
    // Room follows what arrives, piece by piece; an opening, and a message
    // as short as the sender's end (no signal is), cost their link only, and
    // what comes once the run has ended is not kept.
    const size_t nEndLength = std::strlen(kRemoteEndMark);
    const SocketAdmission Admit = [&](uint64_t nLength, size_t nPiece) {
        if ((bFirst && nLength <= kMaxRemoteOpeningLength) || nLength <= nEndLength) {
            return true;
        }
        return !tally.bRunOver && TakeRoom(PieceCost(nPiece, m_nTaken == 0));
    };
    const auto Ended = [&](SocketReceiveResult eResult) -> int {
        if (eResult == SR_CLOSED && bEndMark) {
            return LINK_ENDED;
        }
        if (bEndedHere || bCut || bDraining) {
            return LINK_CLOSED_HERE;
        }
        if (socket.MessageTimedOut()) {
            if (m_links.m_reports.Admit(strAddress, RR_SLOW)) {
                m_links.Report(
                    Format("Warning: a message from %s on port %u did not arrive whole "
                           "within %d s of its first byte; its link is closed.",
                           strAddress.c_str(), nPort, kRemoteMessageTimeMs / 1000));
            }
            return LINK_CLOSED_HERE;
        }
        const int nEnd = eResult == SR_CLOSED ? LINK_STOPPED
                         : eResult == SR_CUT  ? LINK_CUT
                                              : LINK_RESET;
        // A stranger's link that broke is reported as such; the links of the
        // protocol say how they ended when their counts are settled.
        if (!bProtocol && nEnd != LINK_STOPPED && !m_links.IsStopping() &&
            m_links.m_reports.Admit(strAddress, RR_LINK_FAILED)) {
            m_links.Report(
                Format("%s (port %u, from %s)", kReceiveFailure, nPort, strAddress.c_str()));
        }
        return nEnd;
    };
    int nMalformedInARow = 0;
    auto tRunOver = std::chrono::steady_clock::time_point::max();
    for (;;) {
        std::string strMessage;
        size_t nLength = 0;
        const SocketReceiveResult eResult =
            socket.ReceiveMessage(strMessage, kMaxRemoteMessageLength, &nLength, Admit);
        const bool bOpening = bFirst;
        bFirst = false;
        if (eResult == SR_CLOSED || eResult == SR_CUT || eResult == SR_FAILED) {
            GiveBack();
            return Ended(eResult);
        }
        nLastHeard = Now();
        if (bOpening && eResult == SR_MESSAGE && TakeOpening(strMessage)) {
            if (bCountLink) {
                return LINK_CLOSED_HERE;
            }
            continue;
        }
        if (eResult == SR_MESSAGE && strMessage.empty()) {
            continue;  // nothing
        }
        if (eResult == SR_MESSAGE && bProtocol && strMessage == kRemoteEndMark) {
            GiveBack();
            bEndMark = true;
            continue;
        }
        bEndMark = false;
        // What comes once the run has ended, or is refused, is read and not
        // handled; a message that is no signal is not counted read, so that
        // its sender counts it lost.
        SRemoteSignal signal;
        if (eResult == SR_SKIPPED || (eResult == SR_MESSAGE && tally.bRunOver)) {
            GiveBack();
            ++tally.nRead;
            ++tally.nUnhandled;
        } else if (eResult == SR_MESSAGE &&
                   m_links.ParseMessage(nPort, strAddress, strMessage, signal)) {
            ++tally.nRead;
            nMalformedInARow = 0;
            bSentSignal = true;
            // A first message, taken as an opening might have been, takes
            // its room now.
            if (m_nTaken == 0 && !TakeRoom(MessageCost(nLength))) {
                ++tally.nUnhandled;
            } else {
                m_links.Push(pTally, std::move(signal), m_nPool, m_nTaken);
                m_nPool = -1;
                m_nTaken = 0;
            }
        } else {
            GiveBack();
            if (eResult == SR_TOO_LONG && m_links.m_reports.Admit(strAddress, RR_TOO_LONG)) {
                m_links.Report(
                    Format("Warning: a message of %zu characters from %s on port %u is longer "
                           "than a remote signal may be (%zu) and is dropped.",
                           nLength, strAddress.c_str(), nPort, kMaxRemoteMessageLength));
            }
            if (++nMalformedInARow >= kMaxMalformedInARow) {
                if (m_links.m_reports.Admit(strAddress, RR_LINK_GARBAGE)) {
                    m_links.Report(
                        Format("Warning: a link from %s on port %u sent %d messages in a row "
                               "that are no remote signals; it is closed.",
                               strAddress.c_str(), nPort, kMaxMalformedInARow));
                }
                bEndedHere = true;
                return LINK_CLOSED_HERE;
            }
        }
        if (bCut) {
            return LINK_CLOSED_HERE;
        }
        // Asked to end when its run ended, a sender ends its link before its
        // next send: one that goes on sending long after is cut.
        if (tally.bRunOver) {
            const auto tNow = std::chrono::steady_clock::now();
            tRunOver = std::min(tRunOver, tNow);
            if (tNow - tRunOver > std::chrono::milliseconds(kRemoteDrainAfterRunMs)) {
                bEndedHere = true;
                return LINK_CLOSED_HERE;
            }
        }
    }
}

bool CSDLRemoteLinks::CReader::TakeOpening(const std::string& strMessage) {
    SRemoteOpening opening;
    std::string strToken;
    if (ParseRemoteOpening(strMessage, opening)) {
        bFromInstance = m_links.IsInstanceOpening(nPort, strAddress, opening);
        bProtocol = m_links.StartTelling(pTally, opening);
        return true;
    }
    if (ParseRemoteCountsOpening(strMessage, strToken)) {
        bCountLink = true;
        PairCounts(strToken);
        return true;
    }
    // An older sender's opening: its link is served as a stranger's.
    return strMessage.empty() || strMessage.rfind("VELKO link ", 0) == 0;
}

void CSDLRemoteLinks::CReader::PairCounts(const std::string& strToken) {
    std::unique_lock<std::mutex> lock(m_links.m_mutexLinks);
    const auto tGiveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemotePairingMs);
    // Its signal link's opening may be read after it.
    for (;;) {
        const auto it = m_links.m_mapTelling.find(strToken);
        if (it != m_links.m_mapTelling.end() && !it->second->pCounts) {
            pSocket->SetNoDelay();
            it->second->pCounts = pSocket;
            bPaired = true;
            return;
        }
        if (m_links.m_bEnding || bEndedHere || bCut ||
            std::chrono::steady_clock::now() >= tGiveUp) {
            return;
        }
        m_links.m_cvStopping.wait_for(lock, std::chrono::milliseconds(20));
    }
}

bool CSDLRemoteLinks::CReader::TakeRoom(size_t nBytes) {
    SDeliveryGate& gate = *m_links.m_pGate;
    SRemoteLinkTally& tally = *pTally;
    const int nPool = bFromInstance ? POOL_INSTANCES : POOL_STRANGERS;
    SPool& pool = gate.aPools[nPool];
    const auto Blocked = [&] { return gate.bClosed || bCut.load() || tally.bRunOver.load(); };
    std::unique_lock<std::mutex> lock(gate.mutex);
    while (!Blocked() && !gate.HasRoom(nPool, nBytes, tally.nHeld)) {
        // Waiting while this instance's own send waits too, whenever it
        // comes to that: said once a link.
        if (nPool == POOL_INSTANCES && gate.bSendWaits && !m_bCeilingSaid) {
            const std::string strWaitsOn = m_links.m_strSendWaitsOn;
            const size_t nHeld = pool.nBytes;
            lock.unlock();
            ReportCeiling(strWaitsOn, nHeld);
            lock.lock();
            m_bCeilingSaid = true;
            continue;
        }
        ++pool.nWaiting;
        bWaitingForRoom = true;
        gate.cvRoom.wait(lock);
        --pool.nWaiting;
        bWaitingForRoom = false;
    }
    if (Blocked()) {
        return false;
    }
    if (m_nPool < 0) {
        ++pool.nSignals;
        m_nPool = nPool;
    }
    pool.nBytes += nBytes;
    m_nTaken += nBytes;
    return true;
}

void CSDLRemoteLinks::CReader::GiveBack() {
    if (m_nPool >= 0) {
        m_links.m_pGate->Release(m_nPool, m_nTaken, nullptr, false);
    }
    m_nPool = -1;
    m_nTaken = 0;
}

void CSDLRemoteLinks::CReader::ReportCeiling(const std::string& strWaitsOn, size_t nHeld) {
    if (m_links.m_reports.Admit(strAddress, RR_CEILING)) {
        m_links.Report(Format(
            "Warning: the signals of other instances waiting here to be handled have reached "
            "their bound (%zu MiB) while this instance's own send to %s waits; the link from %s "
            "(instance %s) "
            "waits until some are handled. If that instance waits on this one in turn (as two "
            "instances that send bursts to each other do), both wait until one is stopped.",
            nHeld / (1024 * 1024), strWaitsOn.c_str(), strAddress.c_str(),
            EscapePeerText(pTally->strInstance).c_str()));
    }
}

bool CSDLRemoteLinks::IsInstanceOpening(unsigned int nPort, const std::string& strAddress,
                                        const SRemoteOpening& opening) {
    const auto itChannels = m_model.mapChannels.find(nPort);
    if (opening.strSystem == m_model.strSystem && m_model.setInstances.count(opening.strInstance) &&
        itChannels != m_model.mapChannels.end() && itChannels->second.count(opening.strChannel)) {
        return true;
    }
    if (m_reports.Admit(strAddress, RR_NOT_INSTANCE)) {
        const std::string strSays = Shortened(
            Format("channel %s of the instance at %s of system %s", opening.strChannel.c_str(),
                   opening.strInstance.c_str(), opening.strSystem.c_str()),
            kQuotedBytes * 3);
        Report(
            Format("Warning: a link from %s on port %u says it is %s, which this model does not "
                   "have; it is served as another program's.",
                   strAddress.c_str(), nPort, strSays.c_str()));
    }
    return false;
}

bool CSDLRemoteLinks::ParseMessage(unsigned int nPort, const std::string& strAddress,
                                   const std::string& strMessage, SRemoteSignal& rSignal) {
    const size_t nComma = strMessage.find(',');
    auto pEvent = std::make_unique<CSDLEvent>();
    if (nComma == std::string::npos || Trim(strMessage.substr(0, nComma)).empty() ||
        !pEvent->ParseRemoteText(strMessage.substr(nComma + 1))) {
        if (m_reports.Admit(strAddress, RR_MALFORMED)) {
            const std::string strQuoted = Shortened(strMessage, kQuotedBytes);
            Report(
                Format("Warning: a message from %s on port %u is no remote signal and is "
                       "dropped: \"%s\"",
                       strAddress.c_str(), nPort, strQuoted.c_str()));
        }
        return false;
    }
    rSignal.nPort = nPort;
    rSignal.strChannel = Trim(strMessage.substr(0, nComma));
    rSignal.pEvent = std::move(pEvent);
    rSignal.strAddress = strAddress;
    return true;
}

// ---- Inbox ------------------------------------------------------------------------------------

void CSDLRemoteLinks::Push(const std::shared_ptr<SRemoteLinkTally>& pTally, SRemoteSignal signal,
                           int nPool, size_t nBytes) {
    // The room is given back when the hold goes with the event (never
    // under the gate's lock: the event is in the inbox then).
    auto pHold = std::make_shared<CDeliveryHold>(m_pGate, nPool, nBytes, pTally);
    SDeliveryGate& gate = *m_pGate;
    std::unique_lock<std::mutex> lock(gate.mutex);
    ++pTally->nHeld;
    if (gate.bClosed) {
        lock.unlock();
        pHold->MarkDropped();
        return;
    }
    signal.pEvent->m_pDeliveryHold = std::move(pHold);
    const bool bWasEmpty = m_inbox.empty();
    m_inbox.push_back(std::move(signal));
    lock.unlock();
    if (bWasEmpty) {
        gate.cvInbox.notify_one();
    }
}

bool CSDLRemoteLinks::WaitForSignal(std::chrono::milliseconds tWait) {
    std::unique_lock<std::mutex> lock(m_pGate->mutex);
    return m_pGate->cvInbox.wait_for(lock, tWait, [this] { return !m_inbox.empty(); });
}

int CSDLRemoteLinks::DeliverSignals(CSDLAgent* pRoot, const std::string& strOwnAddress) {
    std::deque<SRemoteSignal> signals;
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        signals.swap(m_inbox);
    }
    // The agents of this instance served by a port with a remote input end
    // of a name, looked up once per port and name.
    using Ends = std::vector<std::pair<CSDLAgent*, CSDLChannelIn*>>;
    std::map<std::pair<unsigned int, std::string>, Ends> mapEnds;
    const auto FindEnds = [&](unsigned int nPort, const std::string& strChannel) -> const Ends& {
        const auto found = mapEnds.try_emplace({nPort, strChannel});
        Ends& vecEnds = found.first->second;
        if (found.second && pRoot) {
            ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
                if (pAgent->m_strIP != strOwnAddress ||
                    pAgent->m_nPort != static_cast<int>(nPort)) {
                    return;
                }
                CSDLChannelIn* pChannel = pAgent->GetInputChannel(strChannel);
                if (pChannel && !pChannel->m_bLocalDelivery) {
                    vecEnds.emplace_back(pAgent, pChannel);
                }
            });
        }
        return vecEnds;
    };
    // A signal dropped here goes unhandled: its sender learns it.
    const auto Drop = [](CSDLEvent& event) {
        if (auto* pHold = static_cast<CDeliveryHold*>(event.m_pDeliveryHold.get())) {
            pHold->MarkDropped();
        }
    };
    int nQueued = 0;
    for (SRemoteSignal& signal : signals) {
        CSDLEvent& event = *signal.pEvent;
        // When several agents share the name, the one the signal is
        // addressed to.
        const Ends& vecEnds = FindEnds(signal.nPort, signal.strChannel);
        const std::pair<CSDLAgent*, CSDLChannelIn*>* pEnd = nullptr;
        int nMatches = 0;
        for (const auto& end : vecEnds) {
            if (vecEnds.size() == 1 || end.first->m_strName == event.m_strTo ||
                end.first->GetFullName(false) == event.m_strTo) {
                pEnd = &end;
                ++nMatches;
            }
        }
        if (nMatches != 1) {
            if (m_reports.Admit(signal.strAddress, RR_NO_CHANNEL)) {
                Report(
                    Format("Warning: the remote signal %s names channel %s, which no single agent "
                           "of this instance on port %u receives; it is dropped.",
                           EscapePeerText(event.m_strName).c_str(),
                           EscapePeerText(signal.strChannel).c_str(), signal.nPort));
            }
            Drop(event);
            continue;
        }
        auto [pAgent, pChannel] = *pEnd;
        const CSDLmnca* pMnca =
            dynamic_cast<CSDLProcess*>(pAgent) ? pAgent->GetMncaBlock() : nullptr;
        if (event.m_nCell < -1 || (pMnca && event.m_nCell >= pMnca->GetNumCells())) {
            if (m_reports.Admit(signal.strAddress, RR_BAD_CELL)) {
                Report(
                    Format("Warning: the remote signal %s for %s names cell %d, which it does not "
                           "have; it is dropped.",
                           EscapePeerText(event.m_strName).c_str(),
                           pAgent->GetFullName(true).c_str(), event.m_nCell));
            }
            Drop(event);
            continue;
        }
        if (event.m_dExecutionTime < pAgent->m_dClock) {
            // Instances keep no common clock: the signal is late, and is
            // handled as soon as the receiver can.
            if (m_reports.Admit(signal.strAddress, RR_LATE)) {
                Report(Format(
                    "Warning: the remote signal %s for %s at time %f came after that "
                    "agent's clock %f; it is handled at %f.",
                    EscapePeerText(event.m_strName).c_str(), pAgent->GetFullName(true).c_str(),
                    event.m_dExecutionTime, pAgent->m_dClock, pAgent->m_dClock));
            }
            event.m_dExecutionTime = pAgent->m_dClock;
        }
        pChannel->AddEvent(std::move(signal.pEvent));
        ++nQueued;
    }
    return nQueued;
}

// ---- Counts told to the senders ---------------------------------------------------------

bool CSDLRemoteLinks::StartTelling(const std::shared_ptr<SRemoteLinkTally>& pTally,
                                   const SRemoteOpening& opening) {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    if (opening.strToken.empty() || m_mapTelling.count(opening.strToken) || m_bEnding) {
        return false;  // a token taken is no link's
    }
    pTally->strInstance = opening.strInstance;
    pTally->strChannel = opening.strChannel;
    auto pTelling = std::make_unique<STelling>();
    pTelling->pTally = pTally;
    m_mapTelling.emplace(opening.strToken, std::move(pTelling));
    if (!m_threadTelling.joinable()) {
        m_threadTelling = std::thread([this] { TellCounts(); });
    }
    return true;
}

void CSDLRemoteLinks::TellCounts() {
    std::unique_lock<std::mutex> lock(m_mutexLinks);
    try {
        while (!m_bTellingEnds) {
            bool bEnded = false;
            for (auto it = m_mapTelling.begin(); it != m_mapTelling.end();) {
                const bool bReported = TellLink(*it->second, m_bEnding);
                it = bReported ? m_mapTelling.erase(it) : std::next(it);
                bEnded = bEnded || bReported;
            }
            // What was not reported line by line is said once the links
            // told have all ended, not only at the next run's end.
            if (bEnded && m_mapTelling.empty()) {
                m_reports.SummariseLost();
            }
            m_cvTelling.notify_all();
            m_cvTelling.wait_for(lock, std::chrono::milliseconds(kRemoteCountEveryMs));
        }
    } catch (...) {
        // No memory: the links not yet reported are counted at the end.
    }
}

bool CSDLRemoteLinks::TellLink(STelling& rTelling, bool bFinal) {
    SRemoteLinkTally& tally = *rTelling.pTally;
    // The end first: once it is known, the counts read are final.
    const int nEnd = tally.nEnd.load();
    const long long nRead = tally.nRead.load();
    const long long nHandled = tally.nHandled.load();
    const long long nUnhandled = tally.nUnhandled.load();
    const bool bSettled = nEnd != LINK_OPEN && nRead == nHandled + nUnhandled;
    CBidirecSocket* pCounts = rTelling.pCounts.get();
    if (pCounts && !rTelling.bCountsEnded) {
        const SocketPeerState eState = pCounts->CheckPeer(
            [&rTelling](std::string& strAnswer) {
                rTelling.bAnswered = rTelling.bAnswered ||
                                     (!rTelling.strFinal.empty() && strAnswer == rTelling.strFinal);
            },
            4096);
        rTelling.bCountsEnded = eState != SP_OPEN;
    }
    if (pCounts && !rTelling.bCountsEnded && rTelling.strFinal.empty()) {
        // Handled so far while the run goes on; read and not handled once
        // it has ended or the link's signals are settled.
        const std::string strCount = tally.bRunOver || bSettled ? MakeRemoteCount(nRead, nUnhandled)
                                                                : MakeRemoteCount(nHandled);
        if (strCount != rTelling.strTold && pCounts->TrySendMessage(strCount)) {
            rTelling.strTold = strCount;
        }
        if (pCounts->FlushUnsent() && bSettled && rTelling.strTold == strCount) {
            rTelling.strFinal = strCount;
            pCounts->HalfClose(0);
        }
    }
    if (!bSettled && !(bFinal && nEnd != LINK_OPEN)) {
        return false;
    }
    // The sender's answer is waited for as long as its count link lasts.
    if (pCounts && !rTelling.bCountsEnded && !rTelling.bAnswered && !bFinal) {
        return false;
    }
    ReportLinkEnd(tally, rTelling.bAnswered);
    if (pCounts) {
        pCounts->Close();
    }
    return true;
}

void CSDLRemoteLinks::ReportLinkEnd(const SRemoteLinkTally& tally, bool bTold) {
    const std::string& strAddress = tally.strAddress;
    const std::string strLink =
        Format("channel %s from the instance at %s (%s)", EscapePeerText(tally.strChannel).c_str(),
               EscapePeerText(tally.strInstance).c_str(), strAddress.c_str());
    switch (tally.nEnd.load()) {
        case LINK_CUT:
            // The sender stopped working while it sent: only this end can
            // count that signal.
            if (m_reports.Admit(strAddress, RR_UNHANDLED, 1)) {
                Report(
                    Format("Warning: the link of %s ended inside a signal, without its "
                           "sender's end: that instance stopped working, and the signal it "
                           "was sending is lost.",
                           strLink.c_str()));
            }
            break;
        case LINK_STOPPED:
            if (m_reports.Admit(strAddress, RR_UNHANDLED, 1)) {
                Report(
                    Format("Warning: the link of %s ended without its sender's end: that "
                           "instance stopped working; what it sent came whole, but for up to 1 "
                           "signal it may have been about to send, which is lost.",
                           strLink.c_str()));
            }
            break;
        case LINK_RESET:
            if (m_reports.Admit(strAddress, RR_STOPPED)) {
                Report(
                    Format("Warning: the link of %s was reset by its sender after %lld "
                           "signals; what it sent and had not delivered its sender counts, "
                           "if it still runs.",
                           strLink.c_str(), tally.nRead.load()));
            }
            break;
        default:
            break;
    }
    const long long nUnhandled = tally.nUnhandled.load();
    if (nUnhandled > 0 &&
        m_reports.Admit(strAddress, bTold ? RR_UNHANDLED_TOLD : RR_UNHANDLED, nUnhandled)) {
        Report(UnhandledLine(nUnhandled, strAddress, bTold));
    }
}

// ---- Sends --------------------------------------------------------------------------------------

bool CSDLRemoteLinks::BeginSend(CBidirecSocket& rSocket) {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    if (m_bSendsCancelled) {
        return false;
    }
    m_pSending = &rSocket;
    return true;
}

void CSDLRemoteLinks::EndSend() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_pSending = nullptr;
}

void CSDLRemoteLinks::SetSendWaits(bool bWaits, const std::string& strPeer) {
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bSendWaits = bWaits;
        m_strSendWaitsOn = bWaits ? strPeer : std::string();
    }
    if (bWaits) {
        m_pGate->cvRoom.notify_all();
    }
}

void CSDLRemoteLinks::CancelSends() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_bSendsCancelled = true;
    if (m_pSending) {
        // Not shut down: what went out whole is still the receiver's.
        m_pSending->StopWaiting();
    }
}

void CSDLRemoteLinks::AllowSends() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_bSendsCancelled = false;
}

bool CSDLRemoteLinks::MayConnect(const std::string& strPeer,
                                 std::chrono::milliseconds& rtPatience) {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    const auto it = m_mapUnanswering.find(strPeer);
    if (it == m_mapUnanswering.end()) {
        return true;
    }
    const auto tNow = std::chrono::steady_clock::now();
    if (tNow - it->second < std::chrono::milliseconds(kRemoteRetryConnectMs)) {
        return false;
    }
    it->second = tNow;
    rtPatience = std::chrono::milliseconds(kRemoteConnectAttemptMs);
    return true;
}

void CSDLRemoteLinks::NoteConnect(const std::string& strPeer, bool bAnswered) {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    if (bAnswered) {
        m_mapUnanswering.erase(strPeer);
    } else if (m_mapUnanswering.size() < kMaxReportedAddresses) {
        m_mapUnanswering.try_emplace(strPeer, std::chrono::steady_clock::now());
    }
}

void CSDLRemoteLinks::ReportLoss(const std::string& strPeer, long long nSignals,
                                 const std::string& strLine, bool bUpTo) {
    if (m_reports.Admit(strPeer, bUpTo ? RR_LOST_UP_TO : RR_LOST, nSignals)) {
        Report(strLine);
    }
}

// ---- Links whose sending has ended ------------------------------------------------------------

void CSDLRemoteLinks::Linger(std::unique_ptr<CRemoteConnection> pLink) {
    std::lock_guard<std::mutex> lock(m_mutexLingering);
    if (m_vecLingering.empty()) {
        m_nLastProgress = std::chrono::steady_clock::now().time_since_epoch().count();
    }
    m_vecLingering.push_back(std::move(pLink));
    if (!m_bLingeringAlive) {
        // The last keeper has left the lock for good: only its return is left.
        if (m_threadLingering.joinable()) {
            m_threadLingering.join();
        }
        m_bLingeringEnds = false;
        m_bLingeringAlive = true;
        m_threadLingering = std::thread([this] { KeepLingering(); });
    }
}

void CSDLRemoteLinks::KeepLingering() {
    std::unique_lock<std::mutex> lock(m_mutexLingering);
    try {
        std::map<const CRemoteConnection*, long long> mapUnread;
        while (!m_bLingeringEnds) {
            bool bProgress = false;
            for (auto it = m_vecLingering.begin(); it != m_vecLingering.end();) {
                CRemoteConnection& rLink = **it;
                if (!rLink.Progress()) {
                    // Read by the receiver's system: progress.
                    const long long nUnread = rLink.GetUnread();
                    const auto found = mapUnread.try_emplace(&rLink, nUnread);
                    bProgress = bProgress || nUnread < found.first->second;
                    found.first->second = nUnread;
                    ++it;
                    continue;
                }
                ReportLoss(rLink.GetLoss(), rLink.GetPeer());
                rLink.Finish();
                mapUnread.erase(&rLink);
                it = m_vecLingering.erase(it);
                bProgress = true;
            }
            if (bProgress) {
                m_nLastProgress = std::chrono::steady_clock::now().time_since_epoch().count();
            }
            m_cvLingering.notify_all();
            if (m_vecLingering.empty()) {
                m_reports.SummariseLost();
                break;
            }
            m_cvLingering.wait_for(lock, std::chrono::milliseconds(kRemoteCountEveryMs));
        }
    } catch (...) {
        // No memory: the links kept are given up by CloseLingering.
    }
    m_bLingeringAlive = false;
}

std::string CSDLRemoteLinks::DescribeUnread() {
    std::map<std::string, long long> mapUnread;
    {
        std::lock_guard<std::mutex> lock(m_mutexLingering);
        for (auto& pLink : m_vecLingering) {
            const long long nUnread = pLink->GetUnread();
            if (nUnread > 0) {
                mapUnread[pLink->GetPeer()] += nUnread;
            }
        }
    }
    std::string strText;
    for (const auto& [strPeer, nUnread] : mapUnread) {
        strText +=
            Format("%s%s (%lld signals)", strText.empty() ? "" : ", ", strPeer.c_str(), nUnread);
    }
    return strText;
}

std::chrono::steady_clock::time_point CSDLRemoteLinks::GetLastProgress() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(m_nLastProgress.load()));
}

long long CSDLRemoteLinks::CloseLingering(std::chrono::milliseconds tNoProgress,
                                          const char* pszWhen,
                                          const std::function<bool()>& fnGiveUp) {
    std::thread threadKeeper;
    {
        const auto tStart = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(m_mutexLingering);
        for (;;) {
            // Links whose receiver has all that was sent (its system
            // acknowledged it) need no wait: it reads them after their end.
            bool bUnread = false;
            for (auto& pLink : m_vecLingering) {
                bUnread = bUnread || pLink->GetUnread() > 0;
            }
            const auto tSince = std::max(tStart, GetLastProgress());
            if (!bUnread || std::chrono::steady_clock::now() - tSince >= tNoProgress ||
                (fnGiveUp && fnGiveUp())) {
                break;
            }
            m_cvLingering.wait_for(lock, std::chrono::milliseconds(100));
        }
        m_bLingeringEnds = true;
        m_bWaitGivenUp = m_bWaitGivenUp || tNoProgress.count() == 0;
        // Joined without the lock, which the keeper needs to leave; a link
        // kept meanwhile starts a keeper of its own.
        threadKeeper = std::move(m_threadLingering);
    }
    m_cvLingering.notify_all();
    if (threadKeeper.joinable()) {
        threadKeeper.join();
    }
    std::vector<std::unique_ptr<CRemoteConnection>> vecGiven;
    {
        std::lock_guard<std::mutex> lock(m_mutexLingering);
        vecGiven.swap(m_vecLingering);
    }
    long long nLost = 0;
    for (auto& pLink : vecGiven) {
        const SRemoteLoss loss = pLink->Abandon(pszWhen);
        ReportLoss(loss, pLink->GetPeer());
        nLost += loss.nSignals;
    }
    m_reports.SummariseLost();
    return nLost;
}
