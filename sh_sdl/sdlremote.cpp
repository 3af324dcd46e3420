#include "sh_sdl/sdlremote.h"

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// Signals that may wait in the inbox; readers wait beyond that, so a peer
// that sends faster than the run takes its signals is held back by TCP
// rather than by this instance's memory.
constexpr size_t kMaxInboxSignals = 10000;
// How much of a message that is no signal its report quotes.
constexpr size_t kQuotedBytes = 60;

const char* const kReceiveFailure = "Error in the incomming socket. Are some VELKO's down?";

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

}  // namespace

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
        vecListeners.push_back(std::move(pListener));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexInbox);
        m_inbox.clear();
        m_bInboxClosed = false;
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
        std::lock_guard<std::mutex> lock(m_mutexInbox);
        m_bInboxClosed = true;
    }
    m_cvInbox.notify_all();
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
    std::vector<std::unique_ptr<SListener>> vecGone;
    {
        std::lock_guard<std::mutex> lock(m_mutexLinks);
        vecGone.swap(m_vecListeners);
    }
    vecGone.clear();  // closes the sockets: the ports are free again
    std::lock_guard<std::mutex> lock(m_mutexInbox);
    m_inbox.clear();
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

void CSDLRemoteLinks::ListenLoop(SListener& rListener) {
    try {
        for (;;) {
            auto pConnection = std::make_unique<SConnection>();
            const bool bAccepted = rListener.socket.Accept(pConnection->socket);
            std::string strProblem;
            {
                std::lock_guard<std::mutex> lock(m_mutexLinks);
                if (m_bStopping) {
                    return;
                }
                if (!bAccepted) {
                    strProblem = Format(
                        "The listener on port %u failed; remote signals to it are lost until the "
                        "next run.",
                        rListener.nPort);
                } else {
                    auto& listConnections = rListener.listConnections;
                    for (auto it = listConnections.begin(); it != listConnections.end();) {
                        if ((*it)->bDone) {
                            (*it)->thread.join();
                            it = listConnections.erase(it);
                        } else {
                            ++it;
                        }
                    }
                    if (listConnections.size() >= kMaxRemoteConnections) {
                        strProblem = Format(
                            "Warning: port %u already serves %zu connections; one more was "
                            "refused.",
                            rListener.nPort, kMaxRemoteConnections);
                    } else {
                        pConnection->socket.AttachArchives();
                        SConnection& rConnection = *pConnection;
                        const unsigned int nPort = rListener.nPort;
                        rConnection.thread = std::thread(
                            [this, nPort, &rConnection] { ReadLoop(nPort, rConnection); });
                        listConnections.push_back(std::move(pConnection));
                    }
                }
            }
            if (!strProblem.empty()) {
                Report(strProblem);
                if (!bAccepted) {
                    return;
                }
            }
        }
    } catch (...) {
        Report(
            Format("The listener on port %u failed; remote signals to it are lost until the "
                   "next run.",
                   rListener.nPort));
    }
}

void CSDLRemoteLinks::ReadLoop(unsigned int nPort, SConnection& rConnection) {
    try {
        for (;;) {
            std::string strMessage;
            rConnection.socket.recibeMsj(strMessage);
            SRemoteSignal signal;
            if (!strMessage.empty() && ParseMessage(nPort, strMessage, signal)) {
                Push(std::move(signal));
            }
        }
    } catch (...) {
        // The link ends (the peer went, or sent what no message is); the run
        // and the other links go on.
        bool bStopping = false;
        {
            std::lock_guard<std::mutex> lock(m_mutexLinks);
            bStopping = m_bStopping;
        }
        if (!bStopping) {
            Report(kReceiveFailure);
        }
    }
    rConnection.bDone = true;
}

bool CSDLRemoteLinks::ParseMessage(unsigned int nPort, const std::string& strMessage,
                                   SRemoteSignal& rSignal) {
    const size_t nComma = strMessage.find(',');
    auto pEvent = std::make_unique<CSDLEvent>();
    if (nComma == std::string::npos || Trim(strMessage.substr(0, nComma)).empty() ||
        !pEvent->ParseRemoteText(strMessage.substr(nComma + 1))) {
        std::string strQuoted = strMessage;
        if (strQuoted.size() > kQuotedBytes) {
            TruncateUtf8(strQuoted, kQuotedBytes);
            strQuoted += "...";
        }
        Report(Format("Warning: a message on port %u is no remote signal and is dropped: \"%s\"",
                      nPort, strQuoted.c_str()));
        return false;
    }
    rSignal.nPort = nPort;
    rSignal.strChannel = Trim(strMessage.substr(0, nComma));
    rSignal.pEvent = std::move(pEvent);
    return true;
}

// ---- Inbox ------------------------------------------------------------------------------------

void CSDLRemoteLinks::Push(SRemoteSignal signal) {
    std::unique_lock<std::mutex> lock(m_mutexInbox);
    m_cvInbox.wait(lock, [this] { return m_inbox.size() < kMaxInboxSignals || m_bInboxClosed; });
    if (m_bInboxClosed) {
        return;
    }
    m_inbox.push_back(std::move(signal));
    lock.unlock();
    m_cvInbox.notify_all();
}

bool CSDLRemoteLinks::WaitForSignal(std::chrono::milliseconds tWait) {
    std::unique_lock<std::mutex> lock(m_mutexInbox);
    return m_cvInbox.wait_for(lock, tWait, [this] { return !m_inbox.empty(); });
}

int CSDLRemoteLinks::DeliverSignals(CSDLAgent* pRoot, const std::string& strOwnAddress) {
    std::deque<SRemoteSignal> signals;
    {
        std::lock_guard<std::mutex> lock(m_mutexInbox);
        signals.swap(m_inbox);
    }
    if (signals.empty()) {
        return 0;
    }
    m_cvInbox.notify_all();  // readers held back by a full inbox go on
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
            Report(
                Format("Warning: the remote signal %s names channel %s, which no single agent "
                       "of this instance on port %u receives; it is dropped.",
                       event.m_strName.c_str(), signal.strChannel.c_str(), signal.nPort));
            continue;
        }
        auto [pAgent, pChannel] = vecEnds.front();
        const CSDLmnca* pMnca =
            dynamic_cast<CSDLProcess*>(pAgent) ? pAgent->GetMncaBlock() : nullptr;
        if (event.m_nCell < -1 || (pMnca && event.m_nCell >= pMnca->GetNumCells())) {
            Report(
                Format("Warning: the remote signal %s for %s names cell %d, which it does not "
                       "have; it is dropped.",
                       event.m_strName.c_str(), pAgent->GetFullName(true).c_str(), event.m_nCell));
            continue;
        }
        if (event.m_dExecutionTime < pAgent->m_dClock) {
            // Instances keep no common clock: the signal is late, and is
            // handled as soon as the receiver can.
            Report(
                Format("Warning: the remote signal %s for %s at time %f came after that "
                       "agent's clock %f; it is handled at %f.",
                       event.m_strName.c_str(), pAgent->GetFullName(true).c_str(),
                       event.m_dExecutionTime, pAgent->m_dClock, pAgent->m_dClock));
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
