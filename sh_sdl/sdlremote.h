#pragma once

// Signals between simulator instances that run one model together. Each
// instance steps only the processes whose IP text is its own address; a
// signal to an agent of another instance leaves through its channel's link
// (CSDLChannelOut::Send, CRemoteSendLink) and comes in through the listener
// of the receiving agent's port. The link protocol is in sdlremotelink.h.
//
// Threads. One listener thread per port accepts every sender's connection,
// and one reader thread per connection turns each message into a channel
// name and an event and leaves it in the inbox; neither touches the model.
// The simulation thread takes the inbox before each step and queues the
// events in their input channels (DeliverSignals). Sends run on the
// simulation thread, bracketed by BeginSend and EndSend so that Stop, from
// any thread, can cut a connect or send short (CancelSends). A link whose
// sending has ended is kept by one more thread until its receiver has read
// it (Linger).
//
// Every signal a sender sends is handled by its receiver's model or counted
// as lost (the protocol in sdlremotelink.h): by the sender, with the
// receiver's host and port, from the receiver's counts of what its model
// handled; by the receiver, for signals it took and did not handle when the
// sender did not answer its last count, and for the signal a sender that
// stopped working was sending. Each says so whichever side dies.
//
// A link tells what it is when it opens: a link from another instance of
// the model (an opening that names one of its instances, a channel this
// port receives and the model's system) is that instance's, whatever
// address it comes from; any other link is a stranger's. Readers take room
// for each piece of a message as it arrives, and no more while the signals
// taken and not yet handled reach a bound (the sender then waits; what it
// sent is not lost): for strangers 10,000 signals or 64 MiB of the memory
// they take, and the same for the instances, which however, while this
// instance's simulation thread waits on a send, may take up to a ceiling of
// 960 MiB, so that two instances that send to each other both go on. A link
// of an instance with no signal waiting here may always take one more, so
// that links that claim to be an instance cannot hold a genuine one back. At
// the ceiling, both instances that wait on each other say so.
//
// After its run a link of an instance is read on, what comes counted as not
// handled, until its sender ends it (it is asked to) or the program ends.
//
// A port accepts connections from anyone who can reach it, so what a link
// may cost is bounded: a message's length and the time it takes once begun,
// the memory of the signals received and not yet handled, the connections
// served at once, and the lines each address adds to the Errors tab.

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
#include "sh_sdl/sdlremotelink.h"

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
// queued in an input channel), and the memory they take, for strangers and
// for the model's instances: at either bound readers take no more messages,
// and a peer that sends faster than this instance handles its signals is
// held back by TCP rather than by this instance's memory. While this
// instance's simulation thread waits on a send, readers of the instances'
// links take signals up to the ceiling instead. A message of n characters
// takes 5n bytes and kRemoteSignalCost more while it is read and held.
inline constexpr size_t kMaxUndeliveredSignals = 10000;
inline constexpr size_t kMaxUndeliveredBytes = 64u * 1024u * 1024u;
inline constexpr size_t kMaxInstanceBytesWhileSending = 960u * 1024u * 1024u;
inline constexpr size_t kRemoteSignalCost = 1024;
// Readers held back go on once a batch of places or of memory is free, or
// none is taken.
inline constexpr size_t kRemoteRoomBatch = kMaxUndeliveredSignals / 8;
inline constexpr size_t kRemoteBytesBatch = kMaxUndeliveredBytes / 8;
// How often the counts of the links are told.
inline constexpr int kRemoteCountEveryMs = 50;
// A message whose first byte has come must arrive whole within this time
// (waits for room aside), else its link is closed.
inline constexpr int kRemoteMessageTimeMs = 30000;
// A count link waits this long for the signal link its token names.
inline constexpr int kRemotePairingMs = 10000;
// A link of an instance that still sends this long after its run ended
// (it was asked to end) is cut.
inline constexpr int kRemoteDrainAfterRunMs = 30000;
// How long a stopping run's readers read on what has already come.
inline constexpr int kRemoteStopDrainMs = 200;
// How long, without progress, the end of the program (or the close of the
// model) waits for the instances that have not read what was sent to them.
inline constexpr int kRemoteCloseWaitMs = 30000;
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
    RR_MALFORMED,       // a message that is no signal
    RR_TOO_LONG,        // a message longer than kMaxRemoteMessageLength
    RR_NO_CHANNEL,      // a signal for a channel no single agent here receives
    RR_BAD_CELL,        // a signal for a cell its agent does not have
    RR_LATE,            // a signal earlier than its agent's clock
    RR_LINK_FAILED,     // a receive failed
    RR_LINK_GARBAGE,    // a link closed after kMaxMalformedInARow
    RR_EVICTED,         // a silent link closed to make room
    RR_CUT,             // a link that went on sending long after it was closed
    RR_NOT_INSTANCE,    // an opening that names no instance of this model
    RR_CEILING,         // a link of an instance waits at the ceiling
    RR_SLOW,            // a message that did not arrive whole in time
    RR_STOPPED,         // a link whose sender stopped working
    RR_LOST,            // signals sent to an address that were lost
    RR_LOST_UP_TO,      // the same, as up to so many
    RR_UNHANDLED,       // signals from an address not handled, sender not told
    RR_UNHANDLED_TOLD,  // the same, their sender told
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
    // RR_LOST and the kinds after it); true when they are to be reported in
    // one line (then through Report).
    bool Admit(const std::string& strAddress, RemoteReportKind eKind, long long nCount = 1);
    void Report(const std::string& strLine) const { m_fnReport(strLine); }
    // One line per address for what was not reported line by line; the
    // counts start again.
    void Summarise();
    // The same for the signals lost or not handled only: those counted after
    // a run's summary, by the links kept past its end, are said when those
    // end.
    void SummariseLost();

private:
    struct SAddress {
        int anGiven[RR_KIND_COUNT] = {};
        long long anNotGiven[RR_KIND_COUNT] = {};
    };

    // The line for nCount signals of eKind (RR_LOST or after) not given.
    void ReportSignals(const std::string& strFrom, RemoteReportKind eKind, long long nCount) const;

    std::function<void(const std::string&)> m_fnReport;
    std::mutex m_mutex;
    std::map<std::string, SAddress> m_mapAddresses;  // "" for the others
    int m_nLinesGiven = 0;
};

// What a run's remote links need of the model: the ports of this
// instance's agents with the number of output ends of the model that send to
// each and the input channels each receives remote signals on, the IP texts
// of the model's agents (where its instances run) and its system's name.
struct SRemoteModel {
    std::map<unsigned int, size_t> mapPorts;
    std::map<unsigned int, std::set<std::string>> mapChannels;
    std::set<std::string> setInstances;
    std::string strSystem;
};

struct SRemoteLinkTally;

// One received signal waiting for the simulation thread.
struct SRemoteSignal {
    unsigned int nPort = 0;  // the listener it came through
    std::string strChannel;  // the input channel it names
    std::unique_ptr<CSDLEvent> pEvent;
    std::string strAddress;  // where it came from, for what delivery finds
};

class CSDLRemoteLinks {
public:
    // fnReport receives each problem as one line for the Errors tab, from
    // any of the threads above; it must not block.
    explicit CSDLRemoteLinks(std::function<void(const std::string&)> fnReport);
    // Waits, as CloseLingering does, for the instances that have not read
    // what was sent to them (unless a CloseLingering that did not wait came
    // before); then ends the links of other instances still read here.
    ~CSDLRemoteLinks();
    CSDLRemoteLinks(const CSDLRemoteLinks&) = delete;
    CSDLRemoteLinks& operator=(const CSDLRemoteLinks&) = delete;

    // What the links of the instance at strOwnAddress need of the model.
    static SRemoteModel CollectModel(CSDLAgent* pRoot, const std::string& strOwnAddress,
                                     const std::string& strSystem);
    // Binds one listener per port, on strAddress when it can (else on every
    // local address), and starts accepting; each serves the model's senders
    // to it and kMaxRemoteConnections more. False when a port cannot be
    // bound: strError says which, and nothing stays bound.
    bool Start(const SRemoteModel& model, const std::string& strAddress, std::string& strError);
    // At the end of the run: closes the ports; from now on what is read is
    // not handled. Strangers' links are read on for a moment, then end; the
    // links of other instances are asked to end, and read until they do.
    // The inbox is emptied.
    void Stop();
    // Once the run's signals are gone (handled, or dropped with the model's
    // queues): reports what the strangers' links did not handle, and what
    // was counted. Stop first, if it was not called.
    void EndRun();
    // The ports bound now.
    std::vector<unsigned int> GetListeningPorts() const;
    // The connections served now, over every port; those being closed (read
    // to their sender's end) only with bWithClosing.
    size_t GetConnectionCount(bool bWithClosing = false) const;
    // The memory the instances' links may take while this instance's
    // simulation thread waits on a send (kMaxInstanceBytesWhileSending
    // unless set); for tools that try a smaller one.
    void SetCeiling(size_t nBytes);

    // ---- Inbox (simulation thread) ------------------------------------------------
    // Queues every waiting signal in the input channel it names at an agent
    // of this instance (IP text strOwnAddress) served by its port. A signal
    // earlier than the agent's clock is queued at that clock; a signal that
    // names no such channel, or a cell the agent does not have, is reported
    // and dropped. Returns the number of signals queued. A queued signal
    // counts as undelivered until its agent takes it (or it is dropped).
    int DeliverSignals(CSDLAgent* pRoot, const std::string& strOwnAddress);
    // Waits at most tWait for a signal; true when one waits.
    bool WaitForSignal(std::chrono::milliseconds tWait);

    // ---- Sends (simulation thread) ------------------------------------------------
    // Brackets a connect or send on rSocket. BeginSend is false, and nothing
    // is to be sent, once CancelSends has come.
    bool BeginSend(CBidirecSocket& rSocket);
    void EndSend();
    // Whether the send in progress, to strPeer ("host:port"), waits for its
    // receiver (the socket's wait notice).
    void SetSendWaits(bool bWaits, const std::string& strPeer);
    // From any thread: cuts a connect or send in progress short, leaving
    // what was sent whole to its receiver, and refuses the later ones until
    // AllowSends.
    void CancelSends();
    void AllowSends();
    // Whether a link to strPeer may be tried now: not while it does not
    // answer, but for one attempt (rtPatience shortened to it) each
    // kRemoteRetryConnectMs.
    bool MayConnect(const std::string& strPeer, std::chrono::milliseconds& rtPatience);
    // What a connect to strPeer found: whether it answered.
    void NoteConnect(const std::string& strPeer, bool bAnswered);
    // nSignals sent to strPeer ("host:port") are lost: strLine says how, or,
    // past the lines given per peer, the end of the run counts them.
    // With bUpTo, as up to so many.
    void ReportLoss(const std::string& strPeer, long long nSignals, const std::string& strLine,
                    bool bUpTo = false);
    void ReportLoss(const SRemoteLoss& loss, const std::string& strPeer) {
        if (loss.nSignals > 0) {
            ReportLoss(strPeer, loss.nSignals, loss.strLine, loss.bUpTo);
        }
    }

    // ---- Links whose sending has ended (any thread) ------------------------------
    // Keeps a link that is ending until its receiver has read it and ended
    // it, taking its counts meanwhile; what it lost then is reported.
    void Linger(std::unique_ptr<CRemoteConnection> pLink);
    // The peers that have not read all that was sent to them, with the
    // signals they have not: "" when none.
    std::string DescribeUnread();
    // Since when no such peer has read anything (or a link ended).
    std::chrono::steady_clock::time_point GetLastProgress() const;
    // Waits while peers read, until every link kept has ended, nothing
    // was read for tNoProgress, or fnGiveUp (asked every tenth of a second)
    // says so; then gives up what is left: its loss is reported, "when"
    // pszWhen says. Not on a thread that must not wait.
    // Returns the signals so given up.
    long long CloseLingering(std::chrono::milliseconds tNoProgress, const char* pszWhen,
                             const std::function<bool()>& fnGiveUp = {});

    void Report(const std::string& strLine) const { m_fnReport(strLine); }

private:
    class CReader;
    struct SListener {
        unsigned int nPort = 0;
        size_t nServed = 0;  // connections served at once
        CBidirecSocket socket;
        std::thread thread;
        std::list<std::unique_ptr<CReader>> listReaders;
    };
    // What undelivered signals of one kind of link take.
    struct SPool {
        size_t nSignals = 0;
        size_t nBytes = 0;
        // Given back since its waiting readers were last woken.
        size_t nFreedSignals = 0;
        size_t nFreedBytes = 0;
        size_t nWaiting = 0;  // readers waiting for room
    };
    enum { POOL_STRANGERS, POOL_INSTANCES, POOL_COUNT };
    // A link of the protocol whose counts are told, from its opening until
    // its end has been reported.
    struct STelling;

public:
    // Counts the undelivered signals. Its mutex also guards the inbox; it
    // is shared with the events that hold a count, which may outlive this
    // object.
    struct SDeliveryGate {
        std::mutex mutex;
        std::condition_variable cvRoom;   // readers waiting for room
        std::condition_variable cvInbox;  // the simulation thread waiting for a signal
        SPool aPools[POOL_COUNT];
        bool bSendWaits = false;
        bool bClosed = false;
        size_t nCeiling = kMaxInstanceBytesWhileSending;
        // Whether nSize more bytes may be taken in pool nPool by a link that
        // holds nHeld signals waiting (hold the mutex).
        bool HasRoom(int nPool, size_t nSize, size_t nHeld) const;
        // Gives back what one signal took; with pTally, the signal was
        // handled unless bDropped or its link's run is over (counted there).
        void Release(int nPool, size_t nSize, SRemoteLinkTally* pTally, bool bDropped);
    };

private:
    void ListenLoop(SListener& rListener);
    // Returns once rListener has fewer than kMaxRemoteConnections links
    // being closed, cutting one closed kRemoteDrainMs ago or more if it must
    // (hold m_mutexLinks in lock); false when the links stop meanwhile.
    bool WaitForRoomToClose(SListener& rListener, std::unique_lock<std::mutex>& lock);
    // Makes room for one more connection on rListener (hold m_mutexLinks):
    // closes one silent link in order, or pNew when every other is busy.
    void MakeRoom(SListener& rListener, CReader& rNew);
    // Whether an opening names an instance of the model and a channel that
    // port nPort receives; reported when it does not.
    bool IsInstanceOpening(unsigned int nPort, const std::string& strAddress,
                           const SRemoteOpening& opening);
    // Splits one message ("channel,event text") into a signal; false, with
    // a report, when it is not one.
    bool ParseMessage(unsigned int nPort, const std::string& strAddress,
                      const std::string& strMessage, SRemoteSignal& rSignal);
    // Leaves the signal, for which nBytes were taken in nPool, in the inbox;
    // once the inbox has closed it goes, not handled.
    void Push(const std::shared_ptr<SRemoteLinkTally>& pTally, SRemoteSignal signal, int nPool,
              size_t nBytes);
    // Wakes every reader that waits for room, so that it looks again.
    void WakeReaders();
    bool IsStopping() const;
    // Keeps what an ended stranger's link's tally counts (hold m_mutexLinks).
    void RetireTally(std::shared_ptr<SRemoteLinkTally> pTally);
    // Empties the inbox; its signals go once the lock is released.
    void ClearInbox();
    // A link of the protocol: its counts are told by one thread, from
    // now until its end is reported. False when its token is taken.
    bool StartTelling(const std::shared_ptr<SRemoteLinkTally>& pTally,
                      const SRemoteOpening& opening);
    void TellCounts();
    // Tells one link's counts; true once its end has been reported.
    bool TellLink(STelling& rTelling, bool bFinal);
    // What a link of the protocol did not handle, and how it ended.
    void ReportLinkEnd(const SRemoteLinkTally& tally, bool bTold);
    // Joins and drops the readers of rList that have ended (hold
    // m_mutexLinks).
    void PruneReaders(std::list<std::unique_ptr<CReader>>& rList);
    // The thread that keeps lingering links.
    void KeepLingering();

    std::function<void(const std::string&)> m_fnReport;
    CRemoteReports m_reports;
    // Guards the listeners' reader lists, the stop mark, the tallies and the
    // links told.
    mutable std::mutex m_mutexLinks;
    std::condition_variable m_cvStopping;
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    // The readers of earlier runs still at work: links of other instances
    // read until their senders end them.
    std::list<std::unique_ptr<CReader>> m_listKept;
    SRemoteModel m_model;
    bool m_bStopping = false;
    // The tallies of the run's ended strangers' links that signals may
    // still hold, and what the others did not handle, by address (under
    // m_mutexLinks).
    std::vector<std::shared_ptr<SRemoteLinkTally>> m_vecRetiredTallies;
    size_t m_nRetiredKept = 0;
    std::map<std::string, long long> m_mapRetiredUnhandled;
    // The links whose counts are told, by token, and the thread that tells
    // them (under m_mutexLinks).
    std::map<std::string, std::unique_ptr<STelling>> m_mapTelling;
    std::thread m_threadTelling;
    std::condition_variable m_cvTelling;
    bool m_bTellingEnds = false;
    // The end of the program: every link is to end now.
    bool m_bEnding = false;

    std::shared_ptr<SDeliveryGate> m_pGate = std::make_shared<SDeliveryGate>();
    std::deque<SRemoteSignal> m_inbox;

    std::mutex m_mutexSend;
    CBidirecSocket* m_pSending = nullptr;
    bool m_bSendsCancelled = false;
    // The peer the send in progress waits on ("" when none), for the
    // ceiling's report (under the gate's mutex).
    std::string m_strSendWaitsOn;
    // Peers that did not answer, and when they were last tried (under
    // m_mutexSend).
    std::map<std::string, std::chrono::steady_clock::time_point> m_mapUnanswering;

    // Links whose sending has ended, kept by m_threadLingering.
    mutable std::mutex m_mutexLingering;
    std::condition_variable m_cvLingering;
    std::vector<std::unique_ptr<CRemoteConnection>> m_vecLingering;
    std::thread m_threadLingering;
    bool m_bLingeringEnds = false;
    bool m_bLingeringAlive = false;
    // A CloseLingering that did not wait came: the end does not wait either.
    bool m_bWaitGivenUp = false;
    std::atomic<std::chrono::steady_clock::rep> m_nLastProgress{0};
};
