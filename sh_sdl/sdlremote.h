#pragma once

// Signals between simulator instances that run one model together. Each
// instance steps only the processes whose IP text is its own address; a
// signal to an agent of another instance leaves through its channel's socket
// (CSDLChannelOut::Send) and comes in through the listener of the receiving
// agent's port.
//
// Threads. One listener thread per port accepts every sender's connection,
// and one reader thread per connection turns each message into a channel
// name and an event and leaves it in the inbox; neither touches the model.
// The simulation thread takes the inbox before each step and queues the
// events in their input channels (DeliverSignals). Sends run on the
// simulation thread, bracketed by BeginSend and EndSend so that Stop, from
// any thread, can cut a connect or send short (CancelSends).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_sdl/sdlevent.h"

class CSDLAgent;

// How long a remote send may wait for its connection and for the peer to
// take one message.
inline constexpr int kRemoteConnectTimeoutMs = 5000;
inline constexpr int kRemoteSendTimeoutMs = 5000;
// Connections one listener serves at once; more are refused.
inline constexpr size_t kMaxRemoteConnections = 64;

// The text a remote send returns when nothing could be sent.
inline constexpr const char* kRemoteSendError = "ERROR SOCKET";

// One received signal waiting for the simulation thread.
struct SRemoteSignal {
    unsigned int nPort = 0;  // the listener it came through
    std::string strChannel;  // the input channel it names
    std::unique_ptr<CSDLEvent> pEvent;
};

class CSDLRemoteLinks {
public:
    // fnReport receives each problem as one line for the Errors tab, from
    // any of the threads above; it must not block.
    explicit CSDLRemoteLinks(std::function<void(const std::string&)> fnReport);
    ~CSDLRemoteLinks();
    CSDLRemoteLinks(const CSDLRemoteLinks&) = delete;
    CSDLRemoteLinks& operator=(const CSDLRemoteLinks&) = delete;

    // The ports of the agents of this instance (IP text strOwnAddress), one
    // listener each.
    static std::set<unsigned int> CollectPorts(CSDLAgent* pRoot, const std::string& strOwnAddress);
    // Binds one listener per port, on strAddress when it can (else on every
    // local address), and starts accepting. False when a port cannot be
    // bound: strError says which, and nothing stays bound.
    bool Start(const std::set<unsigned int>& setPorts, const std::string& strAddress,
               std::string& strError);
    // Ends every listener and connection, joins their threads, releases the
    // ports and empties the inbox.
    void Stop();
    // The ports bound now.
    std::vector<unsigned int> GetListeningPorts() const;

    // Splits one message ("channel,event text") into a signal; false, with
    // a report, when it is not one.
    bool ParseMessage(unsigned int nPort, const std::string& strMessage, SRemoteSignal& rSignal);

    // ---- Inbox (simulation thread) ------------------------------------------------
    // Queues every waiting signal in the input channel it names at an agent
    // of this instance (IP text strOwnAddress) served by its port. A signal
    // earlier than the agent's clock is queued at that clock; a signal that
    // names no such channel, or a cell the agent does not have, is reported
    // and dropped. Returns the number of signals queued.
    int DeliverSignals(CSDLAgent* pRoot, const std::string& strOwnAddress);
    // Waits at most tWait for a signal; true when one waits.
    bool WaitForSignal(std::chrono::milliseconds tWait);

    // ---- Sends (simulation thread) ------------------------------------------------
    // Brackets a connect or send on rSocket. BeginSend is false, and nothing
    // is to be sent, once CancelSends has come.
    bool BeginSend(CBidirecSocket& rSocket);
    void EndSend();
    // From any thread: cuts a connect or send in progress short and refuses
    // the later ones until AllowSends.
    void CancelSends();
    void AllowSends();

    void Report(const std::string& strLine) const { m_fnReport(strLine); }

private:
    struct SConnection {
        CBidirecSocket socket;
        std::thread thread;
        std::atomic<bool> bDone{false};
    };
    struct SListener {
        unsigned int nPort = 0;
        CBidirecSocket socket;
        std::thread thread;
        std::list<std::unique_ptr<SConnection>> listConnections;
    };

    void ListenLoop(SListener& listener);
    void ReadLoop(unsigned int nPort, SConnection& connection);
    void Push(SRemoteSignal signal);

    std::function<void(const std::string&)> m_fnReport;
    // Guards the listeners' connection lists and the stop mark.
    mutable std::mutex m_mutexLinks;
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    bool m_bStopping = false;

    std::mutex m_mutexInbox;
    std::condition_variable m_cvInbox;
    std::deque<SRemoteSignal> m_inbox;
    bool m_bInboxClosed = false;

    std::mutex m_mutexSend;
    CBidirecSocket* m_pSending = nullptr;
    bool m_bSendsCancelled = false;
};
