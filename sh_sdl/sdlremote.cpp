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

// An undelivered signal's count, given back when its event goes.
class CDeliveryHold {
public:
    explicit CDeliveryHold(std::function<void()> fnRelease) : m_fnRelease(std::move(fnRelease)) {}
    ~CDeliveryHold() { m_fnRelease(); }
    CDeliveryHold(const CDeliveryHold&) = delete;
    CDeliveryHold& operator=(const CDeliveryHold&) = delete;

private:
    std::function<void()> m_fnRelease;
};

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
        if (address.anNotGiven[RR_LOST] > 0) {
            m_fnReport(
                Format("Warning: %lld more signals sent to %s were lost (not reported one "
                       "by one).",
                       address.anNotGiven[RR_LOST], strFrom.c_str()));
        }
    }
}

// ---- Delivery gate ------------------------------------------------------------------------

bool CSDLRemoteLinks::SDeliveryGate::HasRoom(size_t nSize, bool bFromInstance) const {
    return (bSendWaits && bFromInstance) ||
           (nUndelivered < kMaxUndeliveredSignals &&
            (nBytes == 0 || nBytes + nSize <= kMaxUndeliveredBytes));
}

bool CSDLRemoteLinks::SDeliveryGate::MayGoOn(size_t nSize, bool bFromInstance) const {
    // A reader held back goes on once a batch of places is free: woken for
    // each signal handled, readers would take turns at the pace of single
    // signals.
    constexpr size_t kBytesBatch = kMaxUndeliveredBytes / 8;
    return (bSendWaits && bFromInstance) ||
           (nUndelivered + kRemoteRoomBatch <= kMaxUndeliveredSignals &&
            (nBytes == 0 || nBytes + nSize + kBytesBatch <= kMaxUndeliveredBytes));
}

void CSDLRemoteLinks::SDeliveryGate::Release(size_t nSize) {
    size_t nWake = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool bWasOn = MayGoOn(0, false);
        --nUndelivered;
        nBytes -= std::min(nBytes, nSize);
        if (nWaiting > 0 && !bWasOn && MayGoOn(0, false)) {
            // One reader for each place now free.
            nWake = std::min(nWaiting, kMaxUndeliveredSignals - nUndelivered);
        }
    }
    for (size_t i = 0; i < nWake; ++i) {
        cvRoom.notify_one();
    }
}

CSDLRemoteLinks::CSDLRemoteLinks(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)), m_reports(m_fnReport) {}

CSDLRemoteLinks::~CSDLRemoteLinks() {
    CancelSends();
    Stop();
}

std::map<unsigned int, size_t> CSDLRemoteLinks::CollectPorts(CSDLAgent* pRoot,
                                                             const std::string& strOwnAddress) {
    std::map<unsigned int, size_t> mapPorts;
    if (!pRoot) {
        return mapPorts;
    }
    ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
        if (pAgent->m_strIP == strOwnAddress && pAgent->m_nPort > 0 && pAgent->m_nPort <= 65535) {
            mapPorts.try_emplace(static_cast<unsigned int>(pAgent->m_nPort), 0);
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
            const auto it = mapPorts.find(static_cast<unsigned int>(pTarget->m_nPort));
            if (it != mapPorts.end()) {
                ++it->second;
            }
        }
    });
    return mapPorts;
}

std::set<std::string> CSDLRemoteLinks::CollectInstances(CSDLAgent* pRoot) {
    std::set<std::string> setInstances;
    if (pRoot) {
        ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
            if (!pAgent->m_strIP.empty()) {
                setInstances.insert(pAgent->m_strIP);
            }
        });
    }
    return setInstances;
}

// ---- Listeners ------------------------------------------------------------------------------

bool CSDLRemoteLinks::Start(const std::map<unsigned int, size_t>& mapPorts,
                            const std::set<std::string>& setInstances,
                            const std::string& strAddress, std::string& strError) {
    Stop();
    // A link is known by the address it comes from, as the listener sees it.
    std::set<std::string> setAddresses;
    for (const std::string& strInstance : setInstances) {
        for (const std::string& strResolved : ResolveIPv4(strInstance)) {
            setAddresses.insert(strResolved);
        }
    }
    std::vector<std::unique_ptr<SListener>> vecListeners;
    for (const auto& [nPort, nEnds] : mapPorts) {
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
    }
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    m_bStopping = false;
    m_setInstances = std::move(setAddresses);
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
        m_bStopping = true;
        for (auto& pListener : m_vecListeners) {
            pListener->socket.Cancel();
            for (auto& pConnection : pListener->listConnections) {
                pConnection->bCut = true;
                pConnection->socket.Cancel();
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
    }
    for (auto& pListener : m_vecListeners) {
        for (auto& pConnection : pListener->listConnections) {
            if (pConnection->thread.joinable()) {
                pConnection->thread.join();
            }
        }
    }
    ClearInbox();
    std::vector<std::unique_ptr<SListener>> vecGone;
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        vecGone.swap(m_vecListeners);
    }
    vecGone.clear();  // closes the sockets: the ports are free again
    m_reports.Summarise();
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
        // The one silent longest, among those that never sent a signal if
        // any; never one whose reader waits for room, for its sender waits
        // on it. When every other one is busy, the newcomer.
        SConnection* pSilent = nullptr;
        for (SConnection* pConnection : vecServed) {
            if (pConnection == &rNew || pConnection->bWaitingForRoom) {
                continue;
            }
            if (!pSilent || (pSilent->bSentSignal && !pConnection->bSentSignal) ||
                (pSilent->bSentSignal == pConnection->bSentSignal &&
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
                        listEnded.splice(listEnded.end(), listConnections, it);
                    }
                    it = itNext;
                }
                pConnection->strAddress = pConnection->socket.GetPeerAddress();
                pConnection->bFromInstance = m_setInstances.count(pConnection->strAddress) > 0;
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
    // The messages taken from the link (each one queued or dropped), and
    // the count last told the sender. Only a sender that asked for them
    // with an empty message is told counts: one that never reads them
    // would answer them with a reset when it closes the link, and what it
    // had sent last and was not read yet would be lost.
    bool bTellCounts = false;
    long long nTaken = 0;
    long long nTold = 0;
    const auto Tell = [&] {
        if (bTellCounts && nTaken != nTold &&
            rConnection.socket.TrySendMessage(std::to_string(nTaken))) {
            nTold = nTaken;
        }
    };
    try {
        int nMalformedInARow = 0;
        for (;;) {
            // Before a receive that may wait, the sender learns what was taken.
            if (!rConnection.socket.HasBufferedInput()) {
                Tell();
            }
            std::string strMessage;
            size_t nLength = 0;
            const SocketReceiveResult eResult =
                rConnection.socket.ReceiveMessage(strMessage, kMaxRemoteMessageLength, &nLength);
            if (eResult == SR_CLOSED) {
                break;  // the sender ended the link, or went quiet after a half-close
            }
            if (eResult == SR_FAILED) {
                // The link ends (the peer went, or sent what no message is);
                // the run and the other links go on.
                if (!rConnection.bCut && !rConnection.bDraining && !IsStopping() &&
                    m_reports.Admit(strAddress, RR_LINK_FAILED)) {
                    Report(Format("%s (port %u, from %s)", kReceiveFailure, nPort,
                                  strAddress.c_str()));
                }
                break;
            }
            rConnection.nLastHeard = Now();
            if (eResult == SR_MESSAGE && strMessage.empty()) {
                bTellCounts = true;
                continue;
            }
            SRemoteSignal signal;
            if (eResult == SR_MESSAGE && ParseMessage(nPort, strAddress, strMessage, signal)) {
                nMalformedInARow = 0;
                rConnection.bSentSignal = true;
                if (!Push(rConnection, std::move(signal), Tell)) {
                    break;
                }
                ++nTaken;
                continue;
            }
            ++nTaken;
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
    // Closed here, not when the listener next prunes its list: the peer
    // learns it now, and the descriptor is free.
    rConnection.socket.Close();
    rConnection.bDone = true;
}

bool CSDLRemoteLinks::ParseMessage(unsigned int nPort, const std::string& strAddress,
                                   const std::string& strMessage, SRemoteSignal& rSignal) {
    const size_t nComma = strMessage.find(',');
    auto pEvent = std::make_unique<CSDLEvent>();
    if (nComma == std::string::npos || Trim(strMessage.substr(0, nComma)).empty() ||
        !pEvent->ParseRemoteText(strMessage.substr(nComma + 1))) {
        if (m_reports.Admit(strAddress, RR_MALFORMED)) {
            std::string strQuoted = strMessage;
            if (strQuoted.size() > kQuotedBytes) {
                TruncateUtf8(strQuoted, kQuotedBytes);
                strQuoted += "...";
            }
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
    rSignal.nBytes = strMessage.size();
    return true;
}

// ---- Inbox ------------------------------------------------------------------------------------

bool CSDLRemoteLinks::Push(SConnection& rConnection, SRemoteSignal signal,
                           const std::function<void()>& fnBeforeWait) {
    SDeliveryGate& gate = *m_pGate;
    std::unique_lock<std::mutex> lock(gate.mutex);
    const bool bFromInstance = rConnection.bFromInstance;
    if (!gate.HasRoom(signal.nBytes, bFromInstance) && !gate.bClosed && !rConnection.bCut) {
        lock.unlock();
        fnBeforeWait();
        lock.lock();
    }
    if (!gate.HasRoom(signal.nBytes, bFromInstance) && !gate.bClosed && !rConnection.bCut) {
        ++gate.nWaiting;
        rConnection.bWaitingForRoom = true;
        gate.cvRoom.wait(lock, [&] {
            return gate.bClosed || rConnection.bCut || gate.MayGoOn(signal.nBytes, bFromInstance);
        });
        --gate.nWaiting;
        rConnection.bWaitingForRoom = false;
    }
    if (gate.bClosed || rConnection.bCut) {
        // A place this reader was woken for goes to another one.
        lock.unlock();
        gate.cvRoom.notify_one();
        return false;  // the signal goes now, unlocked
    }
    // The count is taken once its hold exists, and given back when the hold
    // goes with the event (never under this lock: the event is in the inbox).
    auto pHold = std::make_shared<CDeliveryHold>(
        [pGate = m_pGate, nBytes = signal.nBytes] { pGate->Release(nBytes); });
    ++gate.nUndelivered;
    gate.nBytes += signal.nBytes;
    signal.pEvent->m_pDeliveryHold = std::move(pHold);
    const bool bWasEmpty = m_inbox.empty();
    m_inbox.push_back(std::move(signal));
    lock.unlock();
    if (bWasEmpty) {
        gate.cvInbox.notify_one();
    }
    return true;
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

void CSDLRemoteLinks::ReportLoss(const std::string& strHost, int nPort, long long nSignals,
                                 const std::string& strLine) {
    if (m_reports.Admit(Format("%s:%d", strHost.c_str(), nPort), RR_LOST, nSignals)) {
        Report(strLine);
    }
}
