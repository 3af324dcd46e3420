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
// No signal a sender has written to a live link is lost. A sender opens its
// link with an empty message (which a receiver skips); the reader of such a
// link tells it, now and then, how many messages it has taken from the link,
// so that a sender whose link breaks knows how many signals went with it. A
// link is closed to make room only in order: the reader half-closes it and
// reads on until its sender, which connects again before its next send,
// ends it. A send waits while its receiver takes no more; while the
// simulation thread waits so, the readers of links from the model's
// instances are not held back by the bound on undelivered signals, so that
// two instances that send to each other both go on (what they take in is
// then bounded by what the other instances send, not by this instance).
//
// A port accepts connections from anyone who can reach it, so what a link
// may cost is bounded: a message's length, the signals received and not yet
// handled, the connections served at once, and the lines each address adds
// to the Errors tab.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_sdl/sdlevent.h"

class CSDLAgent;

// How long a remote send may wait for its connection. Once connected, a
// send waits as long as its receiver takes nothing (only Stop ends it).
inline constexpr int kRemoteConnectTimeoutMs = 5000;
// Connections a listener serves for strangers, beside one for each output
// end of the model that sends to its port. When one more comes, one silent
// link is closed in order to make room.
inline constexpr size_t kMaxRemoteConnections = 64;
// A link closed to make room is read on until its sender ends it, or until
// no whole message has come for this long. While kMaxRemoteConnections links
// of a port are being closed, the port takes no new one (it waits in the
// queue) until one has ended, or has been closed this long: that one, which
// goes on sending after its end, is cut.
inline constexpr int kRemoteDrainMs = 5000;
// Longest message a link takes, in characters: far more than a signal
// needs, and little enough for a stranger's message to be read and parsed
// at once. A longer one is read past, reported and dropped.
inline constexpr size_t kMaxRemoteMessageLength = 1024 * 1024;
// Signals received and not yet handled by their agent (in the inbox or
// queued in an input channel), and the bytes of their messages. At either
// bound readers take no more messages: a peer that sends faster than this
// instance handles its signals is held back by TCP rather than by this
// instance's memory. Readers held back go on once a batch of places is
// free, one reader for each place.
inline constexpr size_t kMaxUndeliveredSignals = 10000;
inline constexpr size_t kMaxUndeliveredBytes = 64u * 1024u * 1024u;
inline constexpr size_t kRemoteRoomBatch = kMaxUndeliveredSignals / 8;
// Problems of one kind reported line by line per address, and in all per
// run; the rest are counted into one line per address at the end of the
// run. The addresses told apart; the others are counted together.
inline constexpr int kRemoteReportsPerKind = 5;
inline constexpr int kRemoteReportLinesPerRun = 100;
inline constexpr size_t kMaxReportedAddresses = 64;
// A link that sends this many messages in a row that are no signal is
// closed.
inline constexpr int kMaxMalformedInARow = 100;

// The text a remote send returns when nothing could be sent.
inline constexpr const char* kRemoteSendError = "ERROR SOCKET";

// The kinds of problem the links of an address report.
enum RemoteReportKind {
    RR_MALFORMED,     // a message that is no signal
    RR_TOO_LONG,      // a message longer than kMaxRemoteMessageLength
    RR_NO_CHANNEL,    // a signal for a channel no single agent here receives
    RR_BAD_CELL,      // a signal for a cell its agent does not have
    RR_LATE,          // a signal earlier than its agent's clock
    RR_LINK_FAILED,   // a receive failed
    RR_LINK_GARBAGE,  // a link closed after kMaxMalformedInARow
    RR_EVICTED,       // a silent link closed to make room
    RR_CUT,           // a link that went on sending long after it was closed
    RR_LOST,          // signals sent to an address that were lost
    RR_KIND_COUNT
};

// The reports of one run, counted per address: the first
// kRemoteReportsPerKind of each kind, up to kRemoteReportLinesPerRun in all,
// are given line by line, the others counted; Summarise gives one line per
// address with the counts of those not given. Safe from any thread.
class CRemoteReports {
public:
    explicit CRemoteReports(std::function<void(const std::string&)> fnReport);
    CRemoteReports(const CRemoteReports&) = delete;
    CRemoteReports& operator=(const CRemoteReports&) = delete;

    // Counts nCount problems of eKind with strAddress (signals, for
    // RR_LOST); true when they are to be reported in one line (then through
    // Report).
    bool Admit(const std::string& strAddress, RemoteReportKind eKind, long long nCount = 1);
    void Report(const std::string& strLine) const { m_fnReport(strLine); }
    // One line per address for what was not reported line by line; the
    // counts start again.
    void Summarise();

private:
    struct SAddress {
        int anGiven[RR_KIND_COUNT] = {};
        long long anNotGiven[RR_KIND_COUNT] = {};
    };

    std::function<void(const std::string&)> m_fnReport;
    std::mutex m_mutex;
    std::map<std::string, SAddress> m_mapAddresses;  // "" for the others
    int m_nLinesGiven = 0;
};

// One received signal waiting for the simulation thread.
struct SRemoteSignal {
    unsigned int nPort = 0;  // the listener it came through
    std::string strChannel;  // the input channel it names
    std::unique_ptr<CSDLEvent> pEvent;
    std::string strAddress;  // where it came from, for what delivery finds
    size_t nBytes = 0;       // the size of its message
};

class CSDLRemoteLinks {
public:
    // fnReport receives each problem as one line for the Errors tab, from
    // any of the threads above; it must not block.
    explicit CSDLRemoteLinks(std::function<void(const std::string&)> fnReport);
    ~CSDLRemoteLinks();
    CSDLRemoteLinks(const CSDLRemoteLinks&) = delete;
    CSDLRemoteLinks& operator=(const CSDLRemoteLinks&) = delete;

    // The ports of the agents of this instance (IP text strOwnAddress), each
    // with the number of output ends of the model that send to it.
    static std::map<unsigned int, size_t> CollectPorts(CSDLAgent* pRoot,
                                                       const std::string& strOwnAddress);
    // The IP texts of the model's agents: where its instances run.
    static std::set<std::string> CollectInstances(CSDLAgent* pRoot);
    // Binds one listener per port, on strAddress when it can (else on every
    // local address), and starts accepting; each serves the model's senders
    // to it and kMaxRemoteConnections more. Links from setInstances (IP
    // texts, resolved here) are another instance's. False when a port
    // cannot be bound: strError says which, and nothing stays bound.
    bool Start(const std::map<unsigned int, size_t>& mapPorts,
               const std::set<std::string>& setInstances, const std::string& strAddress,
               std::string& strError);
    // Ends every listener and connection, joins their threads, releases the
    // ports, empties the inbox and reports what was counted.
    void Stop();
    // The ports bound now.
    std::vector<unsigned int> GetListeningPorts() const;
    // The connections served now, over every port; those being closed (read
    // to their sender's end) only with bWithClosing.
    size_t GetConnectionCount(bool bWithClosing = false) const;

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
    // Whether the send in progress waits for its receiver (the socket's
    // wait notice).
    void SetSendWaits(bool bWaits);
    // From any thread: cuts a connect or send in progress short, leaving
    // what was sent whole to its receiver, and refuses the later ones until
    // AllowSends.
    void CancelSends();
    void AllowSends();
    // nSignals sent to strHost:nPort are lost: strLine says how, or, past
    // the lines given per address, the end of the run counts them.
    void ReportLoss(const std::string& strHost, int nPort, long long nSignals,
                    const std::string& strLine);

    void Report(const std::string& strLine) const { m_fnReport(strLine); }

private:
    struct SConnection {
        CBidirecSocket socket;
        std::thread thread;
        std::string strAddress;
        // It comes from the address of one of the model's instances.
        bool bFromInstance = false;
        std::atomic<bool> bDone{false};
        // Half-closed to make room: read until its sender ends it.
        std::atomic<bool> bDraining{false};
        long long nDrainingSince = 0;  // under m_mutexLinks
        // Ended at once (Stop, or it went on sending long after it was
        // closed): its reader stops.
        std::atomic<bool> bCut{false};
        // Its reader waits for room among the undelivered signals.
        std::atomic<bool> bWaitingForRoom{false};
        // It has sent a signal.
        std::atomic<bool> bSentSignal{false};
        // When its last message (or the connection) came, in steady-clock
        // ticks.
        std::atomic<long long> nLastHeard{0};
    };
    struct SListener {
        unsigned int nPort = 0;
        size_t nServed = 0;  // connections served at once
        CBidirecSocket socket;
        std::thread thread;
        std::list<std::unique_ptr<SConnection>> listConnections;
    };
    // Counts the undelivered signals. Its mutex also guards the inbox; it
    // is shared with the events that hold a count, which may outlive this
    // object.
    struct SDeliveryGate {
        std::mutex mutex;
        std::condition_variable cvRoom;   // readers waiting for room
        std::condition_variable cvInbox;  // the simulation thread waiting for a signal
        size_t nUndelivered = 0;
        size_t nBytes = 0;
        size_t nWaiting = 0;  // readers waiting for room
        bool bWoken = false;  // they were woken since the last began to wait
        bool bSendWaits = false;
        bool bClosed = false;
        // Whether a signal of nSize bytes may be taken now from a link, and
        // whether its reader held back may go on (hold the mutex).
        bool HasRoom(size_t nSize, bool bFromInstance) const;
        bool MayGoOn(size_t nSize, bool bFromInstance) const;
        void Release(size_t nSize);
    };

    void ListenLoop(SListener& rListener);
    // Returns once rListener has fewer than kMaxRemoteConnections links
    // being closed, cutting one closed kRemoteDrainMs ago or more if it must
    // (hold m_mutexLinks in lock); false when the links stop meanwhile.
    bool WaitForRoomToClose(SListener& rListener, std::unique_lock<std::mutex>& lock);
    // Makes room for one more connection on rListener (hold m_mutexLinks):
    // closes one silent link in order, or pNew when every other is busy.
    void MakeRoom(SListener& rListener, SConnection& rNew);
    void ReadLoop(SListener& rListener, SConnection& rConnection);
    // Splits one message ("channel,event text") into a signal; false, with
    // a report, when it is not one.
    bool ParseMessage(unsigned int nPort, const std::string& strAddress,
                      const std::string& strMessage, SRemoteSignal& rSignal);
    // Waits for room among the undelivered signals (calling fnBeforeWait
    // first, if it waits) and leaves the signal in the inbox; false when the
    // inbox closed or the connection was cut meanwhile.
    bool Push(SConnection& rConnection, SRemoteSignal signal,
              const std::function<void()>& fnBeforeWait);
    // Wakes every reader that waits for room, so that it looks again.
    void WakeReaders();
    bool IsStopping() const;
    // Empties the inbox; its signals go once the lock is released.
    void ClearInbox();

    std::function<void(const std::string&)> m_fnReport;
    CRemoteReports m_reports;
    // Guards the listeners' connection lists and the stop mark.
    mutable std::mutex m_mutexLinks;
    std::condition_variable m_cvStopping;
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    std::set<std::string> m_setInstances;  // dotted addresses
    bool m_bStopping = false;

    std::shared_ptr<SDeliveryGate> m_pGate = std::make_shared<SDeliveryGate>();
    std::deque<SRemoteSignal> m_inbox;

    std::mutex m_mutexSend;
    CBidirecSocket* m_pSending = nullptr;
    bool m_bSendsCancelled = false;
};
