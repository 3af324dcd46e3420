#include "sh_sdl/sdlremote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

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
    "more signals sent there lost",
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

}  // namespace

// What the reader of one link took: told its sender as counts, reported when
// its sender could not be told.
struct SRemoteLinkTally {
    std::string strAddress;
    unsigned int nPort = 0;
    // Signals taken and not handled (the run ended first, or no agent took
    // them).
    std::atomic<long long> nUnhandled{0};
    // Its sender was told the last count (under m_mutexLinks).
    bool bTold = false;
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

// strText cut to nBytes, with "..." when it was longer.
std::string Shortened(std::string strText, size_t nBytes) {
    if (strText.size() > nBytes) {
        TruncateUtf8(strText, nBytes);
        strText += "...";
    }
    return strText;
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

// The room a message of nLength characters takes while it is read and held.
size_t MessageCost(uint64_t nLength) {
    return static_cast<size_t>(std::min<uint64_t>(nLength, kMaxRemoteMessageLength)) * 5 +
           kRemoteSignalCost;
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
    // The signals this instance lost are its own: only the per-address
    // bound holds them back.
    const bool bOwn = eKind == RR_LOST;
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
        ReportLost(strFrom, address.anNotGiven[RR_LOST]);
    }
}

void CRemoteReports::SummariseLost() {
    std::map<std::string, long long> mapLost;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [strAddress, address] : m_mapAddresses) {
            if (address.anNotGiven[RR_LOST] > 0) {
                mapLost[strAddress.empty() ? "other addresses" : strAddress] =
                    address.anNotGiven[RR_LOST];
                address.anNotGiven[RR_LOST] = 0;
            }
        }
    }
    for (const auto& [strFrom, nLost] : mapLost) {
        ReportLost(strFrom, nLost);
    }
}

void CRemoteReports::ReportLost(const std::string& strFrom, long long nLost) const {
    if (nLost > 0) {
        m_fnReport(
            Format("Warning: %lld more signals sent to %s were lost (not reported one "
                   "by one).",
                   nLost, strFrom.c_str()));
    }
}

// ---- Delivery gate ------------------------------------------------------------------------

bool CSDLRemoteLinks::SDeliveryGate::HasRoom(int nPool, size_t nSize) const {
    const SPool& pool = aPools[nPool];
    if (nPool == POOL_INSTANCES && bSendWaits) {
        return pool.nBytes == 0 || pool.nBytes + nSize <= kMaxInstanceBytesWhileSending;
    }
    return pool.nSignals < kMaxUndeliveredSignals &&
           (pool.nBytes == 0 || pool.nBytes + nSize <= kMaxUndeliveredBytes);
}

void CSDLRemoteLinks::SDeliveryGate::Release(int nPool, size_t nSize, SRemoteLinkTally* pTally,
                                             bool bDropped) {
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        SPool& pool = aPools[nPool];
        --pool.nSignals;
        pool.nBytes -= std::min(pool.nBytes, nSize);
        if (pTally && (bDropped || bRunOver)) {
            ++pTally->nUnhandled;
        }
        if (pool.nWaiting > 0) {
            // Woken for each signal handled, readers would take turns at the
            // pace of single signals: a batch, or an empty pool, wakes them.
            ++pool.nFreedSignals;
            pool.nFreedBytes += nSize;
            bWake = pool.nFreedSignals >= kRemoteRoomBatch ||
                    pool.nFreedBytes >= kRemoteBytesBatch || pool.nSignals == 0;
            if (bWake) {
                pool.nFreedSignals = 0;
                pool.nFreedBytes = 0;
            }
        }
    }
    if (bWake) {
        cvRoom.notify_all();
    }
}

CSDLRemoteLinks::CSDLRemoteLinks(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)), m_reports(m_fnReport) {}

CSDLRemoteLinks::~CSDLRemoteLinks() {
    CancelSends();
    EndRun();
    // Once the owner has given the wait up, it is not taken up again here.
    CloseLingering(std::chrono::milliseconds(m_bWaitGivenUp ? 0 : kRemoteCloseWaitMs),
                   "when the program ended");
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
        pListener->nServed = nEnds + kMaxRemoteConnections;
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
        m_pGate->bRunOver = false;
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
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        // From now on a signal given back was not handled.
        m_pGate->bRunOver = true;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        if (m_bStopping) {
            return;
        }
        m_bStopping = true;
        for (auto& pListener : m_vecListeners) {
            pListener->socket.Cancel();
            // What has come is read on for a moment, not kept: its sender
            // learns how much was read, and counts the rest.
            for (auto& pConnection : pListener->listConnections) {
                pConnection->socket.EndReceivingWithin(kRemoteStopDrainMs);
            }
        }
    }
    m_cvStopping.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bClosed = true;
    }
    m_pGate->cvRoom.notify_all();
    // Once its listener has ended no connection is added: the lists can be
    // walked without the lock.
    for (auto& pListener : m_vecListeners) {
        if (pListener->thread.joinable()) {
            pListener->thread.join();
        }
        // Connects are refused from now on.
        pListener->socket.Close();
    }
    for (auto& pListener : m_vecListeners) {
        for (auto& pConnection : pListener->listConnections) {
            if (pConnection->thread.joinable()) {
                pConnection->thread.join();
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
        vecTallies.swap(m_vecRetiredTallies);
        mapUntold.swap(m_mapRetiredUnhandled);
    }
    // The last counts, to the links still open; a sender that reads its
    // link takes them at once, one that does not is not waited for long.
    std::vector<SConnection*> vecOpen;
    for (auto& pListener : vecGone) {
        for (auto& pConnection : pListener->listConnections) {
            if (pConnection->socket.IsOpen() && pConnection->pTally) {
                vecOpen.push_back(pConnection.get());
            }
        }
    }
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    std::vector<char> vecStarted(vecOpen.size(), 0);
    for (bool bWaiting = true; bWaiting;) {
        bWaiting = false;
        for (size_t i = 0; i < vecOpen.size(); ++i) {
            SConnection& rConnection = *vecOpen[i];
            SRemoteLinkTally& tally = *rConnection.pTally;
            if (tally.bTold || !rConnection.bTellCounts) {
                continue;
            }
            if (!vecStarted[i]) {
                vecStarted[i] = rConnection.socket.TrySendMessage(
                    MakeRemoteCount(rConnection.nRead, tally.nUnhandled.load()));
            }
            tally.bTold = vecStarted[i] && rConnection.socket.FlushUnsent();
            bWaiting = bWaiting || !tally.bTold;
        }
        if (bWaiting) {
            if (std::chrono::steady_clock::now() >= tGiveUp) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    for (auto& pListener : vecGone) {
        for (auto& pConnection : pListener->listConnections) {
            if (pConnection->pTally) {
                vecTallies.push_back(std::move(pConnection->pTally));
            }
        }
    }
    vecGone.clear();  // closes the links and the ports
    // What was not handled, per address: the sender counts what it was
    // told too.
    std::map<std::string, long long> mapTold;
    for (const auto& pTally : vecTallies) {
        auto& mapCounts = pTally->bTold ? mapTold : mapUntold;
        AddPerAddress(mapCounts, pTally->strAddress, pTally->nUnhandled.load());
    }
    const std::pair<const std::map<std::string, long long>*, const char*> aUnhandled[] = {
        {&mapTold, "(their sender was told, and counts them too)"},
        {&mapUntold, ", or no agent took them, and their sender was not told"}};
    for (const auto& [pmapCounts, pszTold] : aUnhandled) {
        for (const auto& [strAddress, nCount] : *pmapCounts) {
            if (nCount > 0) {
                Report(
                    Format("Warning: %lld signals from %s were not handled: the run ended "
                           "before they were%s%s.",
                           nCount, strAddress.empty() ? "other addresses" : strAddress.c_str(),
                           pmapCounts == &mapTold ? " " : "", pszTold));
            }
        }
    }
    m_reports.Summarise();
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
        for (const auto& pConnection : pListener->listConnections) {
            nCount += pConnection->bDone || (pConnection->bDraining && !bWithClosing) ? 0 : 1;
        }
    }
    return nCount;
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

void CSDLRemoteLinks::MakeRoom(SListener& rListener, SConnection& rNew) {
    std::vector<SConnection*> vecServed;
    for (auto& pConnection : rListener.listConnections) {
        if (!pConnection->bDone && !pConnection->bDraining) {
            vecServed.push_back(pConnection.get());
        }
    }
    if (vecServed.size() > rListener.nServed) {
        // The one silent longest, among strangers' links if any, then among
        // those that never sent a signal; never one whose reader waits for
        // room, for its sender waits on it. When every other one is busy,
        // the newcomer.
        const auto Rank = [](const SConnection& rConnection) {
            return (rConnection.bFromInstance ? 2 : 0) + (rConnection.bSentSignal ? 1 : 0);
        };
        SConnection* pSilent = nullptr;
        for (SConnection* pConnection : vecServed) {
            if (pConnection == &rNew || pConnection->bWaitingForRoom) {
                continue;
            }
            if (!pSilent || Rank(*pConnection) < Rank(*pSilent) ||
                (Rank(*pConnection) == Rank(*pSilent) &&
                 pConnection->nLastHeard < pSilent->nLastHeard)) {
                pSilent = pConnection;
            }
        }
        if (!pSilent) {
            pSilent = &rNew;
        }
        // In order: its sender reads the end of the link after all it was
        // told, connects again before its next send, and what it wrote
        // meanwhile is still read here.
        pSilent->bDraining = true;
        pSilent->nDrainingSince = Now();
        pSilent->socket.HalfClose(kRemoteDrainMs);
        if (m_reports.Admit(pSilent->strAddress, RR_EVICTED)) {
            Report(
                Format("Warning: port %u already serves %zu links; a silent one from %s is "
                       "closed to make room for another.",
                       rListener.nPort, rListener.nServed, pSilent->strAddress.c_str()));
        }
    }
}

bool CSDLRemoteLinks::WaitForRoomToClose(SListener& rListener, std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (m_bStopping) {
            return false;
        }
        size_t nClosing = 0;
        SConnection* pOldest = nullptr;
        for (auto& pConnection : rListener.listConnections) {
            if (pConnection->bDraining && !pConnection->bDone && !pConnection->bCut) {
                ++nClosing;
                if (!pOldest || pConnection->nDrainingSince < pOldest->nDrainingSince) {
                    pOldest = pConnection.get();
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
            pOldest->socket.Cancel();
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
            auto pConnection = std::make_unique<SConnection>();
            int nError = 0;
            const bool bAccepted = rListener.socket.Accept(pConnection->socket, &nError);
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
            std::list<std::unique_ptr<SConnection>> listEnded;
            {
                std::lock_guard<std::mutex> lock(m_mutexLinks);
                if (m_bStopping) {
                    return;
                }
                nBackOffMs = 0;
                auto& listConnections = rListener.listConnections;
                for (auto it = listConnections.begin(); it != listConnections.end();) {
                    auto itNext = std::next(it);
                    if ((*it)->bDone) {
                        (*it)->thread.join();  // it has nothing left to do but return
                        RetireTally(std::move((*it)->pTally));
                        listEnded.splice(listEnded.end(), listConnections, it);
                    }
                    it = itNext;
                }
                pConnection->strAddress = pConnection->socket.GetPeerAddress();
                pConnection->pTally = std::make_shared<SRemoteLinkTally>();
                pConnection->pTally->strAddress = pConnection->strAddress;
                pConnection->pTally->nPort = rListener.nPort;
                pConnection->socket.AttachArchives();
                pConnection->nLastHeard = Now();
                SConnection& rConnection = *pConnection;
                listConnections.push_back(std::move(pConnection));
                MakeRoom(rListener, rConnection);
                rConnection.thread = std::thread(
                    [this, &rListener, &rConnection] { ReadLoop(rListener, rConnection); });
            }
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

void CSDLRemoteLinks::ReadLoop(SListener& rListener, SConnection& rConnection) {
    const unsigned int nPort = rListener.nPort;
    const std::string& strAddress = rConnection.strAddress;
    SRemoteLinkTally& tally = *rConnection.pTally;
    // Only a sender that asked for counts with its opening is told them:
    // one that never reads them would answer them with a reset when it
    // closes the link, and what it had sent last and was not read yet would
    // be lost.
    // Counts are told sparingly, so that they never fill the link of a
    // sender that reads them only when it sends: after a batch of messages,
    // and whenever the reader is to wait for room (its sender may then
    // wait too).
    long long nTold = 0;
    const auto TellNow = [&] {
        if (rConnection.bTellCounts && rConnection.nRead != nTold &&
            rConnection.socket.TrySendMessage(MakeRemoteCount(rConnection.nRead))) {
            nTold = rConnection.nRead;
        }
    };
    const auto Tell = [&] {
        if (rConnection.nRead - nTold >= kRemoteCountEvery) {
            TellNow();
        }
    };
    // The room taken for the message being read, in its pool.
    int nPool = -1;
    size_t nReserved = 0;
    const auto GiveBack = [&] {
        if (nPool >= 0) {
            m_pGate->Release(nPool, nReserved, nullptr, false);
            nPool = -1;
        }
    };
    bool bFirst = true;
    // Room is taken before a message is read, so that what readers hold
    // stays within the bounds; an opening costs its link only.
    const SocketAdmission Admit = [&](uint64_t nLength) {
        if (bFirst && nLength <= kMaxRemoteOpeningLength) {
            return true;
        }
        nReserved = MessageCost(nLength);
        nPool = Reserve(rConnection, nReserved, TellNow);
        return nPool >= 0;
    };
    try {
        int nMalformedInARow = 0;
        for (;;) {
            // Before a receive that may wait, the sender learns what was read.
            if (!rConnection.socket.HasBufferedInput()) {
                Tell();
            }
            std::string strMessage;
            size_t nLength = 0;
            const SocketReceiveResult eResult = rConnection.socket.ReceiveMessage(
                strMessage, kMaxRemoteMessageLength, &nLength, Admit);
            const bool bOpening = bFirst;
            bFirst = false;
            if (eResult == SR_CLOSED) {
                break;  // the sender ended the link, or went quiet after a half-close
            }
            if (eResult == SR_FAILED || eResult == SR_CUT) {
                // The link ends (the peer went, or sent what no message is);
                // the run and the other links go on. An instance whose send
                // was cut by its Stop ends its link inside that signal, and
                // counts it.
                GiveBack();
                const bool bCounted = eResult == SR_CUT && rConnection.bFromInstance;
                if (!bCounted && !rConnection.bCut && !rConnection.bDraining && !IsStopping() &&
                    m_reports.Admit(strAddress, RR_LINK_FAILED)) {
                    Report(Format("%s (port %u, from %s)", kReceiveFailure, nPort,
                                  strAddress.c_str()));
                }
                break;
            }
            rConnection.nLastHeard = Now();
            if (bOpening && eResult == SR_MESSAGE) {
                SRemoteOpening opening;
                if (strMessage.empty() || ParseRemoteOpening(strMessage, opening)) {
                    GiveBack();
                    rConnection.bTellCounts = true;
                    rConnection.bFromInstance =
                        !strMessage.empty() && IsInstanceOpening(nPort, strAddress, opening);
                    continue;
                }
            }
            if (eResult == SR_MESSAGE && strMessage.empty()) {
                continue;  // the opening of an older sender, or nothing
            }
            ++rConnection.nRead;
            if (eResult == SR_SKIPPED) {
                // Come as the run stopped: read, not handled.
                ++tally.nUnhandled;
                if (rConnection.bCut) {
                    break;
                }
                continue;
            }
            SRemoteSignal signal;
            if (eResult == SR_MESSAGE && ParseMessage(nPort, strAddress, strMessage, signal)) {
                nMalformedInARow = 0;
                rConnection.bSentSignal = true;
                if (nPool < 0) {
                    nReserved = MessageCost(nLength);
                    nPool = Reserve(rConnection, nReserved, TellNow);
                }
                if (nPool < 0) {
                    ++tally.nUnhandled;
                } else {
                    Push(rConnection, std::move(signal), nPool, nReserved);
                    nPool = -1;
                }
                if (rConnection.bCut) {
                    break;
                }
                continue;
            }
            GiveBack();
            if (eResult == SR_TOO_LONG && m_reports.Admit(strAddress, RR_TOO_LONG)) {
                Report(
                    Format("Warning: a message of %zu characters from %s on port %u is longer "
                           "than a remote signal may be (%zu) and is dropped.",
                           nLength, strAddress.c_str(), nPort, kMaxRemoteMessageLength));
            }
            if (++nMalformedInARow >= kMaxMalformedInARow) {
                if (m_reports.Admit(strAddress, RR_LINK_GARBAGE)) {
                    Report(
                        Format("Warning: a link from %s on port %u sent %d messages in a row "
                               "that are no remote signals; it is closed.",
                               strAddress.c_str(), nPort, kMaxMalformedInARow));
                }
                break;
            }
        }
    } catch (...) {
        // No memory for a message: the link ends as a failed one.
    }
    GiveBack();
    // Closed here, not when the listener next prunes its list: the peer
    // learns it now, and the descriptor is free. A link open when the run
    // stops is closed by EndRun, once its sender has been told the last
    // count.
    if (!IsStopping() || rConnection.bDraining) {
        rConnection.socket.Close();
    }
    rConnection.bDone = true;
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

int CSDLRemoteLinks::Reserve(SConnection& rConnection, size_t nBytes,
                             const std::function<void()>& fnBeforeWait) {
    SDeliveryGate& gate = *m_pGate;
    const int nPool = rConnection.bFromInstance ? POOL_INSTANCES : POOL_STRANGERS;
    SPool& pool = gate.aPools[nPool];
    const auto Blocked = [&] { return gate.bClosed || rConnection.bCut.load(); };
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (!gate.HasRoom(nPool, nBytes) && !Blocked()) {
        const bool bAtCeiling = nPool == POOL_INSTANCES && gate.bSendWaits;
        lock.unlock();
        fnBeforeWait();
        if (bAtCeiling && m_reports.Admit(rConnection.strAddress, RR_CEILING)) {
            Report(Format(
                "Warning: the signals of the other instances waiting here to be handled "
                "have reached %zu MiB; the link from %s waits until some are handled.",
                kMaxInstanceBytesWhileSending / (1024 * 1024), rConnection.strAddress.c_str()));
        }
        lock.lock();
    }
    if (!gate.HasRoom(nPool, nBytes) && !Blocked()) {
        ++pool.nWaiting;
        rConnection.bWaitingForRoom = true;
        gate.cvRoom.wait(lock, [&] { return Blocked() || gate.HasRoom(nPool, nBytes); });
        --pool.nWaiting;
        rConnection.bWaitingForRoom = false;
    }
    if (Blocked()) {
        return -1;
    }
    ++pool.nSignals;
    pool.nBytes += nBytes;
    return nPool;
}

void CSDLRemoteLinks::Push(SConnection& rConnection, SRemoteSignal signal, int nPool,
                           size_t nBytes) {
    // The room is given back when the hold goes with the event (never
    // under the gate's lock: the event is in the inbox then).
    auto pHold = std::make_shared<CDeliveryHold>(m_pGate, nPool, nBytes, rConnection.pTally);
    SDeliveryGate& gate = *m_pGate;
    std::unique_lock<std::mutex> lock(gate.mutex);
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
                           event.m_strName.c_str(), signal.strChannel.c_str(), signal.nPort));
            }
            Drop(event);
            continue;
        }
        auto [pAgent, pChannel] = *pEnd;
        const CSDLmnca* pMnca =
            dynamic_cast<CSDLProcess*>(pAgent) ? pAgent->GetMncaBlock() : nullptr;
        if (event.m_nCell < -1 || (pMnca && event.m_nCell >= pMnca->GetNumCells())) {
            if (m_reports.Admit(signal.strAddress, RR_BAD_CELL)) {
                Report(Format(
                    "Warning: the remote signal %s for %s names cell %d, which it does not "
                    "have; it is dropped.",
                    event.m_strName.c_str(), pAgent->GetFullName(true).c_str(), event.m_nCell));
            }
            Drop(event);
            continue;
        }
        if (event.m_dExecutionTime < pAgent->m_dClock) {
            // Instances keep no common clock: the signal is late, and is
            // handled as soon as the receiver can.
            if (m_reports.Admit(signal.strAddress, RR_LATE)) {
                Report(
                    Format("Warning: the remote signal %s for %s at time %f came after that "
                           "agent's clock %f; it is handled at %f.",
                           event.m_strName.c_str(), pAgent->GetFullName(true).c_str(),
                           event.m_dExecutionTime, pAgent->m_dClock, pAgent->m_dClock));
            }
            event.m_dExecutionTime = pAgent->m_dClock;
        }
        pChannel->AddEvent(std::move(signal.pEvent));
        ++nQueued;
    }
    return nQueued;
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

void CSDLRemoteLinks::SetSendWaits(bool bWaits) {
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bSendWaits = bWaits;
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

void CSDLRemoteLinks::ReportLoss(const std::string& strPeer, long long nSignals,
                                 const std::string& strLine) {
    if (m_reports.Admit(strPeer, RR_LOST, nSignals)) {
        Report(strLine);
    }
}

// ---- Links whose sending has ended ------------------------------------------------------------

void CSDLRemoteLinks::Linger(std::unique_ptr<CRemoteSendLink> pLink) {
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
        std::map<const CRemoteSendLink*, long long> mapUnread;
        while (!m_bLingeringEnds) {
            bool bProgress = false;
            for (auto it = m_vecLingering.begin(); it != m_vecLingering.end();) {
                CRemoteSendLink& rLink = **it;
                const SocketPeerState eState = rLink.Check();
                if (eState == SP_OPEN) {
                    // Read by the receiver's system: progress.
                    const long long nUnread = rLink.GetUnread();
                    const auto found = mapUnread.try_emplace(&rLink, nUnread);
                    bProgress = bProgress || nUnread < found.first->second;
                    found.first->second = nUnread;
                    ++it;
                    continue;
                }
                ReportLoss(rLink.GetEndLoss(eState), rLink.GetPeer());
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
            m_cvLingering.wait_for(lock, std::chrono::milliseconds(50));
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
    std::vector<std::unique_ptr<CRemoteSendLink>> vecGiven;
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
