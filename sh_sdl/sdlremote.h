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
//
// A port accepts connections from anyone who can reach it, so what a link
// may cost is bounded: a message's length, the signals received and not yet
// handled, the connections served at once, and the lines a link adds to the
// Errors tab.

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
// Connections one listener serves at once. When one more comes, the one
// silent longest is closed to make room.
inline constexpr size_t kMaxRemoteConnections = 64;
// Longest message a link takes, in characters: far more than a signal
// needs, and little enough for a stranger's message to be read and parsed
// at once. A longer one is read past, reported and dropped.
inline constexpr size_t kMaxRemoteMessageLength = 1024 * 1024;
// Signals received and not yet handled by their agent (in the inbox or
// queued in an input channel). While there are that many, readers take no
// more messages: a peer that sends faster than this instance handles its
// signals is held back by TCP rather than by this instance's memory.
inline constexpr size_t kMaxUndeliveredSignals = 10000;
// Problems of one kind reported line by line per link; the rest are counted
// into one line when the link has ended.
inline constexpr int kRemoteReportsPerKind = 5;
// A link that sends this many messages in a row that are no signal is
// closed.
inline constexpr int kMaxMalformedInARow = 100;

// The text a remote send returns when nothing could be sent.
inline constexpr const char* kRemoteSendError = "ERROR SOCKET";

// The kinds of problem a link reports.
enum RemoteReportKind {
    RR_MALFORMED,     // a message that is no signal
    RR_TOO_LONG,      // a message longer than kMaxRemoteMessageLength
    RR_NO_CHANNEL,    // a signal for a channel no single agent here receives
    RR_BAD_CELL,      // a signal for a cell its agent does not have
    RR_LATE,          // a signal earlier than its agent's clock
    RR_LINK_FAILED,   // a receive failed (per listener)
    RR_LINK_GARBAGE,  // a link closed after kMaxMalformedInARow (per listener)
    RR_EVICTED,       // a silent connection closed to make room (per listener)
    RR_KIND_COUNT
};

// The reports of one link (a connection, or a listener for what concerns
// its connections): the first kRemoteReportsPerKind of each kind are given
// line by line, the others counted; the record's end gives one line per
// kind with the count of those not given. Safe from any thread.
class CRemoteReports {
public:
    CRemoteReports(std::function<void(const std::string&)> fnReport, unsigned int nPort);
    ~CRemoteReports();
    CRemoteReports(const CRemoteReports&) = delete;
    CRemoteReports& operator=(const CRemoteReports&) = delete;

    // Counts one problem of eKind; true when it is to be reported line by
    // line (then through Report).
    bool Admit(RemoteReportKind eKind);
    void Report(const std::string& strLine) const { m_fnReport(strLine); }

private:
    std::function<void(const std::string&)> m_fnReport;
    unsigned int m_nPort;
    std::mutex m_mutex;
    int m_anCounts[RR_KIND_COUNT] = {};
};

// One received signal waiting for the simulation thread.
struct SRemoteSignal {
    unsigned int nPort = 0;  // the listener it came through
    std::string strChannel;  // the input channel it names
    std::unique_ptr<CSDLEvent> pEvent;
    // The reports of the link it came through, for what delivery finds.
    std::shared_ptr<CRemoteReports> pReports;
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
    // The connections served now, over every port.
    size_t GetConnectionCount() const;

    // ---- Inbox (simulation thread) ------------------------------------------------
    // Queues every waiting signal in the input channel it names at an agent
    // of this instance (IP text strOwnAddress) served by its port. A signal
    // earlier than the agent's clock is queued at that clock; a signal that
    // names no such channel, or a cell the agent does not have, is reported
    // and dropped. Returns the number of signals queued. A queued signal
    // counts as undelivered until its event is destroyed, once its agent
    // has handled it (or the channel is emptied).
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
        // Closed to make room for another connection.
        std::atomic<bool> bEvicted{false};
        // Its reader waits for room among the undelivered signals.
        std::atomic<bool> bWaitingForRoom{false};
        // When its last message (or the connection) came, in steady-clock
        // ticks.
        std::atomic<long long> nLastHeard{0};
        std::shared_ptr<CRemoteReports> pReports;
    };
    struct SListener {
        unsigned int nPort = 0;
        CBidirecSocket socket;
        std::thread thread;
        std::list<std::unique_ptr<SConnection>> listConnections;
        std::shared_ptr<CRemoteReports> pReports;
    };
    // Counts the undelivered signals. Its mutex also guards the inbox; it
    // is shared with the events that hold a count, which may outlive this
    // object.
    struct SDeliveryGate {
        std::mutex mutex;
        std::condition_variable cv;
        size_t nUndelivered = 0;
        bool bClosed = false;
        void Release();
    };

    void ListenLoop(SListener& rListener);
    void ReadLoop(SListener& rListener, SConnection& rConnection);
    // Splits one message ("channel,event text") into a signal; false, with
    // a report, when it is not one.
    bool ParseMessage(unsigned int nPort, const std::string& strMessage,
                      const std::shared_ptr<CRemoteReports>& pReports, SRemoteSignal& rSignal);
    // Waits for room among the undelivered signals and leaves the signal in
    // the inbox; false when the inbox closed or the connection was evicted
    // meanwhile.
    bool Push(SConnection& rConnection, SRemoteSignal signal);
    // Closes the connection of the list silent longest (hold m_mutexLinks).
    void EvictSilentLongest(std::list<std::unique_ptr<SConnection>>& listConnections);
    bool IsStopping() const;
    // Empties the inbox; its signals go once the lock is released.
    void ClearInbox();

    std::function<void(const std::string&)> m_fnReport;
    // Guards the listeners' connection lists and the stop mark.
    mutable std::mutex m_mutexLinks;
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    bool m_bStopping = false;

    std::shared_ptr<SDeliveryGate> m_pGate = std::make_shared<SDeliveryGate>();
    std::deque<SRemoteSignal> m_inbox;

    std::mutex m_mutexSend;
    CBidirecSocket* m_pSending = nullptr;
    bool m_bSendsCancelled = false;
};
