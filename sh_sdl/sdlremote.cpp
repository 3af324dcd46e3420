#include "sh_sdl/sdlremote.h"

#include <algorithm>
#include <climits>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// How much of a message that is no signal its report quotes.
constexpr size_t kQuotedBytes = 60;

const char* const kReceiveFailure = "Error in the incomming socket. Are some VELKO's down?";

// The line that counts the reports of each kind not given one by one: the
// count, then the port.
const char* const kSummaries[RR_KIND_COUNT] = {
    "Warning: %d more messages on port %u were no remote signals and were dropped.",
    "Warning: %d more messages on port %u were too long for a remote signal and were dropped.",
    "Warning: %d more remote signals on port %u named a channel that no single agent of this "
    "instance receives, and were dropped.",
    "Warning: %d more remote signals on port %u named a cell their agent does not have, and were "
    "dropped.",
    "Warning: %d more remote signals on port %u came after their agent's clock and were handled "
    "at that clock.",
    "Error in the incomming socket on %d more links of port %u.",
    "Warning: %d more links on port %u sent only messages that are no remote signals, and were "
    "closed.",
    "Warning: %d more silent connections on port %u were closed to make room.",
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

// Whether a problem of eKind found with signal is to be reported line by
// line (a signal of no link always is).
bool Admit(const SRemoteSignal& signal, RemoteReportKind eKind) {
    return !signal.pReports || signal.pReports->Admit(eKind);
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

CRemoteReports::CRemoteReports(std::function<void(const std::string&)> fnReport, unsigned int nPort)
    : m_fnReport(std::move(fnReport)), m_nPort(nPort) {}

CRemoteReports::~CRemoteReports() {
    for (int nKind = 0; nKind < RR_KIND_COUNT; ++nKind) {
        const int nNotGiven = m_anCounts[nKind] - kRemoteReportsPerKind;
        if (nNotGiven > 0) {
            m_fnReport(Format(kSummaries[nKind], nNotGiven, m_nPort));
        }
    }
}

bool CRemoteReports::Admit(RemoteReportKind eKind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_anCounts[eKind] == INT_MAX) {
        return false;
    }
    return ++m_anCounts[eKind] <= kRemoteReportsPerKind;
}

// ---- Delivery gate ------------------------------------------------------------------------

void CSDLRemoteLinks::SDeliveryGate::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        --nUndelivered;
    }
    cv.notify_all();
}

CSDLRemoteLinks::CSDLRemoteLinks(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)) {}

CSDLRemoteLinks::~CSDLRemoteLinks() {
    CancelSends();
    Stop();
}

std::set<unsigned int> CSDLRemoteLinks::CollectPorts(CSDLAgent* pRoot,
                                                     const std::string& strOwnAddress) {
    std::set<unsigned int> setPorts;
    if (pRoot) {
        ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
            if (pAgent->m_strIP == strOwnAddress && pAgent->m_nPort > 0 &&
                pAgent->m_nPort <= 65535) {
                setPorts.insert(static_cast<unsigned int>(pAgent->m_nPort));
            }
        });
    }
    return setPorts;
}

// ---- Listeners ------------------------------------------------------------------------------

bool CSDLRemoteLinks::Start(const std::set<unsigned int>& setPorts, const std::string& strAddress,
                            std::string& strError) {
    Stop();
    std::vector<std::unique_ptr<SListener>> vecListeners;
    for (const unsigned int nPort : setPorts) {
        auto pListener = std::make_unique<SListener>();
        pListener->nPort = nPort;
        // The own address when it is one of this machine's (two instances on
        // one machine may then share a port number), else every address (an
        // Internet address seen from outside is often no local one).
        const bool bBound =
            (!strAddress.empty() && pListener->socket.CreateServer(nPort, strAddress)) ||
            pListener->socket.CreateServer(nPort);
        if (!bBound || !pListener->socket.Listen(16)) {
            strError = Format(
                "the port %u for remote signals cannot be bound; another program (or another "
                "simulator instance on this address) may be using it",
                nPort);
            return false;  // the sockets made so far close here
        }
        pListener->pReports = std::make_shared<CRemoteReports>(m_fnReport, nPort);
        vecListeners.push_back(std::move(pListener));
    }
    ClearInbox();
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bClosed = false;
    }
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    m_bStopping = false;
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
                pConnection->socket.Cancel();
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        m_pGate->bClosed = true;
    }
    m_pGate->cv.notify_all();
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
    vecGone.clear();  // closes the sockets (the ports are free again) and counts what was not
                      // reported line by line
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

size_t CSDLRemoteLinks::GetConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    size_t nCount = 0;
    for (const auto& pListener : m_vecListeners) {
        for (const auto& pConnection : pListener->listConnections) {
            nCount += pConnection->bDone || pConnection->bEvicted ? 0 : 1;
        }
    }
    return nCount;
}

bool CSDLRemoteLinks::IsStopping() const {
    std::lock_guard<std::mutex> lock(m_mutexLinks);
    return m_bStopping;
}

void CSDLRemoteLinks::EvictSilentLongest(std::list<std::unique_ptr<SConnection>>& listConnections) {
    // A reader that waits for room is busy, not silent: it goes only when
    // every other one waits too.
    SConnection* pSilent = nullptr;
    for (auto& pConnection : listConnections) {
        if (pConnection->bEvicted || pConnection->bDone) {
            continue;
        }
        if (!pSilent || (pSilent->bWaitingForRoom && !pConnection->bWaitingForRoom) ||
            (pSilent->bWaitingForRoom == pConnection->bWaitingForRoom &&
             pConnection->nLastHeard < pSilent->nLastHeard)) {
            pSilent = pConnection.get();
        }
    }
    if (!pSilent) {
        return;
    }
    pSilent->bEvicted = true;
    pSilent->socket.Cancel();
    // A reader waiting for room sees the mark under the gate's lock.
    { std::lock_guard<std::mutex> lock(m_pGate->mutex); }
    m_pGate->cv.notify_all();
}

void CSDLRemoteLinks::ListenLoop(SListener& rListener) {
    try {
        for (;;) {
            auto pConnection = std::make_unique<SConnection>();
            const bool bAccepted = rListener.socket.Accept(pConnection->socket);
            std::list<std::unique_ptr<SConnection>> listEnded;
            bool bEvicted = false;
            {
                std::lock_guard<std::mutex> lock(m_mutexLinks);
                if (m_bStopping) {
                    return;
                }
                if (!bAccepted) {
                    break;
                }
                auto& listConnections = rListener.listConnections;
                for (auto it = listConnections.begin(); it != listConnections.end();) {
                    auto itNext = std::next(it);
                    if ((*it)->bDone) {
                        (*it)->thread.join();  // it has nothing left to do but return
                        listEnded.splice(listEnded.end(), listConnections, it);
                    }
                    it = itNext;
                }
                const auto nServed = static_cast<size_t>(std::count_if(
                    listConnections.begin(), listConnections.end(),
                    [](const auto& pOpen) { return !pOpen->bEvicted && !pOpen->bDone; }));
                if (nServed >= kMaxRemoteConnections) {
                    EvictSilentLongest(listConnections);
                    bEvicted = true;
                }
                pConnection->socket.AttachArchives();
                pConnection->nLastHeard = Now();
                pConnection->pReports =
                    std::make_shared<CRemoteReports>(m_fnReport, rListener.nPort);
                SConnection& rConnection = *pConnection;
                listConnections.push_back(std::move(pConnection));
                rConnection.thread = std::thread(
                    [this, &rListener, &rConnection] { ReadLoop(rListener, rConnection); });
            }
            // The records of ended links, with the count of what they did not
            // report line by line, go unlocked.
            listEnded.clear();
            if (bEvicted && rListener.pReports->Admit(RR_EVICTED)) {
                Report(
                    Format("Warning: port %u already serves %zu connections; the one silent "
                           "longest was closed to make room for another.",
                           rListener.nPort, kMaxRemoteConnections));
            }
        }
    } catch (...) {
        // fails as below
    }
    Report(
        Format("The listener on port %u failed; remote signals to it are lost until the "
               "next run.",
               rListener.nPort));
}

void CSDLRemoteLinks::ReadLoop(SListener& rListener, SConnection& rConnection) {
    const unsigned int nPort = rListener.nPort;
    try {
        int nMalformedInARow = 0;
        for (;;) {
            std::string strMessage;
            size_t nLength = 0;
            const SocketReceiveResult eResult =
                rConnection.socket.ReceiveMessage(strMessage, kMaxRemoteMessageLength, &nLength);
            if (eResult == SR_CLOSED) {
                break;  // the other instance ended its run, or the stranger went
            }
            if (eResult == SR_FAILED) {
                // The link ends (the peer went, or sent what no message is);
                // the run and the other links go on.
                if (!rConnection.bEvicted && !IsStopping() &&
                    rListener.pReports->Admit(RR_LINK_FAILED)) {
                    Report(kReceiveFailure);
                }
                break;
            }
            rConnection.nLastHeard = Now();
            if (eResult == SR_MESSAGE && strMessage.empty()) {
                continue;
            }
            SRemoteSignal signal;
            if (eResult == SR_MESSAGE &&
                ParseMessage(nPort, strMessage, rConnection.pReports, signal)) {
                nMalformedInARow = 0;
                if (!Push(rConnection, std::move(signal))) {
                    break;
                }
                continue;
            }
            if (eResult == SR_TOO_LONG && rConnection.pReports->Admit(RR_TOO_LONG)) {
                Report(
                    Format("Warning: a message of %zu characters on port %u is longer than a "
                           "remote signal may be (%zu) and is dropped.",
                           nLength, nPort, kMaxRemoteMessageLength));
            }
            if (++nMalformedInARow >= kMaxMalformedInARow) {
                if (rListener.pReports->Admit(RR_LINK_GARBAGE)) {
                    Report(
                        Format("Warning: a link on port %u sent %d messages in a row that are "
                               "no remote signals; it is closed.",
                               nPort, kMaxMalformedInARow));
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

bool CSDLRemoteLinks::ParseMessage(unsigned int nPort, const std::string& strMessage,
                                   const std::shared_ptr<CRemoteReports>& pReports,
                                   SRemoteSignal& rSignal) {
    const size_t nComma = strMessage.find(',');
    auto pEvent = std::make_unique<CSDLEvent>();
    if (nComma == std::string::npos || Trim(strMessage.substr(0, nComma)).empty() ||
        !pEvent->ParseRemoteText(strMessage.substr(nComma + 1))) {
        if (!pReports || pReports->Admit(RR_MALFORMED)) {
            std::string strQuoted = strMessage;
            if (strQuoted.size() > kQuotedBytes) {
                TruncateUtf8(strQuoted, kQuotedBytes);
                strQuoted += "...";
            }
            Report(
                Format("Warning: a message on port %u is no remote signal and is dropped: \"%s\"",
                       nPort, strQuoted.c_str()));
        }
        return false;
    }
    rSignal.nPort = nPort;
    rSignal.strChannel = Trim(strMessage.substr(0, nComma));
    rSignal.pEvent = std::move(pEvent);
    rSignal.pReports = pReports;
    return true;
}

// ---- Inbox ------------------------------------------------------------------------------------

bool CSDLRemoteLinks::Push(SConnection& rConnection, SRemoteSignal signal) {
    SDeliveryGate& gate = *m_pGate;
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (gate.nUndelivered >= kMaxUndeliveredSignals) {
        rConnection.bWaitingForRoom = true;
        gate.cv.wait(lock, [&] {
            return gate.nUndelivered < kMaxUndeliveredSignals || gate.bClosed ||
                   rConnection.bEvicted;
        });
        rConnection.bWaitingForRoom = false;
    }
    if (gate.bClosed || rConnection.bEvicted) {
        return false;  // the signal goes once the lock is released
    }
    // The count is taken once its hold exists, and given back when the hold
    // goes with the event (never under this lock: the event is in the inbox).
    auto pHold = std::make_shared<CDeliveryHold>([pGate = m_pGate] { pGate->Release(); });
    ++gate.nUndelivered;
    signal.pEvent->m_pDeliveryHold = std::move(pHold);
    m_inbox.push_back(std::move(signal));
    lock.unlock();
    gate.cv.notify_all();
    return true;
}

bool CSDLRemoteLinks::WaitForSignal(std::chrono::milliseconds tWait) {
    std::unique_lock<std::mutex> lock(m_pGate->mutex);
    return m_pGate->cv.wait_for(lock, tWait, [this] { return !m_inbox.empty(); });
}

int CSDLRemoteLinks::DeliverSignals(CSDLAgent* pRoot, const std::string& strOwnAddress) {
    std::deque<SRemoteSignal> signals;
    {
        std::lock_guard<std::mutex> lock(m_pGate->mutex);
        signals.swap(m_inbox);
    }
    int nQueued = 0;
    for (SRemoteSignal& signal : signals) {
        CSDLEvent& event = *signal.pEvent;
        // The agents of this instance served by that port with a remote
        // input end of that name; when several share the name, the one the
        // signal is addressed to.
        std::vector<std::pair<CSDLAgent*, CSDLChannelIn*>> vecEnds;
        if (pRoot) {
            ForEachAgent(pRoot, [&](CSDLAgent* pAgent) {
                if (pAgent->m_strIP != strOwnAddress ||
                    pAgent->m_nPort != static_cast<int>(signal.nPort)) {
                    return;
                }
                CSDLChannelIn* pChannel = pAgent->GetInputChannel(signal.strChannel);
                if (pChannel && !pChannel->m_bLocalDelivery) {
                    vecEnds.emplace_back(pAgent, pChannel);
                }
            });
        }
        if (vecEnds.size() > 1) {
            std::erase_if(vecEnds, [&](const auto& end) {
                return end.first->m_strName != event.m_strTo &&
                       end.first->GetFullName(false) != event.m_strTo;
            });
        }
        if (vecEnds.size() != 1) {
            if (Admit(signal, RR_NO_CHANNEL)) {
                Report(
                    Format("Warning: the remote signal %s names channel %s, which no single agent "
                           "of this instance on port %u receives; it is dropped.",
                           event.m_strName.c_str(), signal.strChannel.c_str(), signal.nPort));
            }
            continue;
        }
        auto [pAgent, pChannel] = vecEnds.front();
        const CSDLmnca* pMnca =
            dynamic_cast<CSDLProcess*>(pAgent) ? pAgent->GetMncaBlock() : nullptr;
        if (event.m_nCell < -1 || (pMnca && event.m_nCell >= pMnca->GetNumCells())) {
            if (Admit(signal, RR_BAD_CELL)) {
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
            if (Admit(signal, RR_LATE)) {
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

void CSDLRemoteLinks::CancelSends() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_bSendsCancelled = true;
    if (m_pSending) {
        m_pSending->Cancel();
    }
}

void CSDLRemoteLinks::AllowSends() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_bSendsCancelled = false;
}
