#pragma once

// Signals between simulator instances that run one model together. Each
// instance steps only the processes whose IP text is its own address; a
// signal to an agent of another instance leaves through its channel's link
// (CSDLChannelOut::Send, CRemoteSendLink) and comes in through the listener
// of the receiving agent's port. The link protocol is in sdlremotelink.h.
//
// Threads, and what each touches.
//   The simulation thread (the engine's run): Start, Stop, EndRun,
//     TakeSignals, WaitForSignal, and every send. It makes a link's two
//     connections itself (a connect waits; Stop cuts it short), writes the
//     signals on the signal connection while its channel end holds the
//     link, and lets the link go when its sending ends. It never reads a
//     socket.
//   The I/O thread, one per instance (this object), from the first run or
//     link on: polls every socket of the instance, the ports' listeners,
//     the connections they took (signal links, count links, strangers') and
//     both connections of the links this instance sends on. It accepts,
//     reads and parses signals into the inbox, tells and takes counts, ends
//     links, and counts and reports what each end loses. It never touches
//     the model, never waits but in its poll, and alone closes a socket
//     (once no other thread can use it).
//   Any thread: CancelSends (a Stop), the holds of received signals that go
//     with their events (CDeliveryHold), the window's DescribeUnread,
//     GetLastProgress and CloseLingering, which never wait for the I/O
//     thread (CloseLingering with no wait only counts and marks).
// They meet under one lock, m_mutex, at one queue each way: the inbox of
// received signals (I/O thread to simulation thread, bounded by the
// undelivered bounds below) and the links handed over (simulation thread to
// I/O thread: a link made, one held by each channel end, and those let go
// until they end), together with each sending link's state and counts, the
// run's start and stop and the connect bracket. The simulation thread's
// signals go straight from it to their link's socket, whose buffer is their
// bound: no copy, and no wake-up of another thread, for a signal. The room
// the holds give back and the signals they count handled are atomics, so
// that handling a signal takes no lock.
//
// Lock order: m_mutex, then the reports' lock (CRemoteReports), then a
// socket's own locks, then m_mutexWaitsOn (taken within a socket's send, by
// its wait notice). No line is reported with m_mutex held, and m_mutex is
// never held while a connect or a send waits, nor in the poll.
//
// Each socket has one writer at a time: a sending link's signal connection
// is written by the simulation thread while a channel end holds the link and
// sends, by the I/O thread once the link is let go (or its receiver asked to
// end it and no send is under way); every other socket by the I/O thread.
//
// Every signal a sender sends is handled by its receiver's model or counted
// as lost (the protocol in sdlremotelink.h, the sender's table of ends
// there): by the sender, with the receiver's host and port, from the
// receiver's counts of what its model handled; by the receiver, for signals
// it took and did not handle when the sender did not answer its last count,
// and for the signal a sender that stopped working was sending. How a link
// this instance receives ends, and what the receiver counts beyond the
// signals it took and did not handle (RemoteReceiveEnd):
//   RE_ENDED    its sender's end, then the end of the stream: nothing more;
//   RE_STOPPED  the end of the stream between two messages, without the
//               sender's end: that sender stopped working, up to 1 more (the
//               signal it may have been about to send);
//   RE_BROKEN   the end of the stream inside a message, without the sender's
//               end: the signal it was sending, 1;
//   RE_RESET    reset by its sender: what it had not delivered, it counts;
//   RE_INVALID  a message that claims more than any link carries: closed;
//   RE_SLOW     a message not whole within kRemoteMessageTimeMs: closed;
//   RE_GARBAGE  kMaxMalformedInARow messages that are no signal: closed;
//   RE_CUT      asked to end (to make room, or at the end of its run) and
//               still not ended kRemoteDrainMs or kRemoteDrainAfterRunMs
//               later (a sender that goes on, or that hangs for good): closed
//               here, what it sends later its sender counts; at the end of
//               its run, inside a signal, that 1 signal (a sender that hangs
//               for good cannot count it);
//   RE_CLOSED   closed here in order: a stranger's at the end of its run, a
//               drain that found its sender silent, the end of the program.
// Each says so whichever side dies.
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
// handled, until its sender ends it (it is asked to, and ends it at once
// unless its send is under way), kRemoteDrainAfterRunMs pass, or the
// program ends.
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
// How long a stopping run's strangers' links are read on.
inline constexpr int kRemoteStopDrainMs = 200;
// How long a receiver waits for its sender's answer to the last count.
inline constexpr int kRemoteAnswerWaitMs = 10000;
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
    RR_INVALID,         // a link whose message claimed more than any link carries
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

// How a link this instance receives ended (the table above).
enum RemoteReceiveEnd {
    RE_OPEN,
    RE_ENDED,
    RE_STOPPED,
    RE_BROKEN,
    RE_RESET,
    RE_INVALID,
    RE_SLOW,
    RE_GARBAGE,
    RE_CUT,
    RE_CLOSED,
};

// What a link took: told its sender as counts, reported when its sender
// could not be told. Its counts are changed by the I/O thread (read) and by
// the holds of its signals (handled, not handled, held), wherever they go.
struct SRemoteLinkTally {
    std::string strAddress;
    unsigned int nPort = 0;
    // What the opening of a link of the protocol said.
    std::string strInstance;
    std::string strChannel;
    // Messages read (the openings and the end aside), and of them the
    // signals taken by their agent and those not handled (dropped, no
    // signal, or read once the run had ended), and those still waiting.
    std::atomic<long long> nRead{0};
    std::atomic<long long> nHandled{0};
    std::atomic<long long> nUnhandled{0};
    std::atomic<long long> nHeld{0};
    // Its run has ended: what it reads, or gives back, from now on is not
    // handled.
    std::atomic<bool> bRunOver{false};
};

// A peer's text as the Errors tab shows it: control characters, bytes that
// are no UTF-8 and the characters that change a line's direction or end it
// are written "\xNN" or "\u{N}", so that a peer cannot write lines that
// look like this program's own.
std::string EscapePeerText(std::string_view text);

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
    // before); then ends at once every link still open, each counted by the
    // table above: a receiver's last count goes to its sender, but is not
    // waited for.
    ~CSDLRemoteLinks();
    CSDLRemoteLinks(const CSDLRemoteLinks&) = delete;
    CSDLRemoteLinks& operator=(const CSDLRemoteLinks&) = delete;

    // Binds one listener per port of model, on strAddress when it can (else
    // on every local address), which the I/O thread serves from now on:
    // each takes the model's senders to it and kMaxRemoteConnections more.
    // False when a port cannot be bound: strError says which, and nothing
    // stays bound.
    bool Start(const SRemoteModel& model, const std::string& strAddress, std::string& strError);
    // At the end of the run: closes the ports; from now on what is read is
    // not handled. Strangers' links are read on for a moment, then end; the
    // links of other instances are asked to end, and read until they do.
    // The inbox is emptied. Returns once the ports are closed and the
    // strangers' links have ended.
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
    // The links this instance sends on that take signals now: held by a
    // channel end, open, and not asked to end by their receiver (which the
    // I/O thread learns as it reads).
    size_t CountLinksTakingSignals() const;
    // How long a link of another instance is read after its run has ended
    // before it is cut (kRemoteDrainAfterRunMs unless set); for tools that
    // try a shorter one.
    void SetDrainAfterRun(std::chrono::milliseconds tDrain);
    // The memory the instances' links may take while this instance's
    // simulation thread waits on a send (kMaxInstanceBytesWhileSending
    // unless set); for tools that try a smaller one.
    void SetCeiling(size_t nBytes);

    // ---- Inbox (simulation thread) ------------------------------------------------
    // The signals received since the last call, in the order they came,
    // swapped into rSignals (empty); false when none came. Each counts as
    // undelivered until its agent takes it; one the caller drops
    // (MarkUnhandled first) counts as not handled.
    bool TakeSignals(std::deque<SRemoteSignal>& rSignals);
    // Waits at most tWait for a signal; true when one waits.
    bool WaitForSignal(std::chrono::milliseconds tWait);
    // A received event that goes without being handled.
    static void MarkUnhandled(CSDLEvent& event);
    // The reports, for what delivery finds.
    CRemoteReports& Reports() { return m_reports; }

    // ---- Sends (simulation thread, but CancelSends) ----------------------------------
    // Brackets a connect on rSocket. BeginSend is false, and nothing is to
    // be sent, once CancelSends has come.
    bool BeginSend(CBidirecSocket& rSocket);
    void EndSend();
    // Whether the sends are cancelled (a Stop came): then a signal is lost
    // at once, with nothing built.
    bool AreSendsCancelled() const { return m_bSendsCancelled.load(std::memory_order_relaxed); }
    // From any thread: cuts a connect or send in progress short, leaving
    // what was sent whole to its receiver, and refuses the later ones until
    // AllowSends.
    void CancelSends();
    void AllowSends();
    // Whether the send in progress, to strPeer ("host:port"), waits for its
    // receiver (the socket's wait notice).
    void SetSendWaits(bool bWaits, const std::string& strPeer);
    // A link made by the simulation thread, which the I/O thread serves
    // from now on; the caller holds it until LetGo.
    CRemoteLinkOut* Adopt(std::unique_ptr<CRemoteLinkOut> pLink);
    // What SendOn did.
    enum LinkSendResult {
        LS_SENT,     // the message went
        LS_CUT,      // it counts as sent, and goes once the receiver reads: a
                     // Stop cut it, and the link ends
        LS_ENDED,    // nothing sent: the link takes no more (its receiver
                     // asked to end it, or it broke)
        LS_STOPPED,  // nothing sent: a Stop came
        LS_FAILED,   // the link broke while sending: the loss is counted
                     // with the link's, pszSignal among it
    };
    // Sends one message on a link held, waiting while the receiver takes
    // nothing (only a Stop, or a link that breaks, ends the wait).
    LinkSendResult SendOn(CRemoteLinkOut& rLink, const std::string& strMessage,
                          const char* pszSignal);
    // The holder lets go of rLink: it ends in order and is kept until its
    // receiver has read it.
    void LetGo(CRemoteLinkOut& rLink);
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
    // The same, with the line made only when it is given.
    void ReportLoss(const std::string& strPeer, long long nSignals,
                    const std::function<std::string()>& fnLine);

    // ---- Links let go (any thread) ----------------------------------------------------
    // The peers that have not read all that was sent to them, with the
    // signals they have not: "" when none.
    std::string DescribeUnread() const;
    // Since when no such peer has read anything (or a link ended).
    std::chrono::steady_clock::time_point GetLastProgress() const;
    // Waits while the links let go end, until every one has, nothing
    // changed for tNoProgress, or fnGiveUp (asked every tenth of a second)
    // says so; then gives up what is left: its loss is reported, "when"
    // pszWhen says. With tNoProgress 0 it does not wait (the window's
    // thread). Returns the signals so given up.
    long long CloseLingering(std::chrono::milliseconds tNoProgress, const char* pszWhen,
                             const std::function<bool()>& fnGiveUp = {});

    void Report(const std::string& strLine) const { m_fnReport(strLine); }

    // What undelivered signals of one kind of link take. Shared with the
    // events that hold a part, which may outlive this object; atomics, so
    // that a hold gives its part back without a lock.
    struct SDeliveryGate;

private:
    class CLinkIn;
    struct SListener;
    using LinkInList = std::list<std::unique_ptr<CLinkIn>>;

    // ---- I/O thread ----------------------------------------------------------------
    void StartIoThread();  // hold m_mutex
    void RunIo();
    // One turn: waits for what is ready (but when bQuitting), serves it,
    // tells counts, keeps deadlines; when bQuitting, ends every link.
    void IoTurn(bool bQuitting);
    // Takes the listeners and the stop handed over (hold m_mutex).
    void TakeRequests(std::unique_lock<std::mutex>& lock);
    // The run has ended: its ports close, its links are asked to end.
    void StopLinksIn();
    // Whether rListener may take a link now: fewer than
    // kMaxRemoteConnections of its links are being closed (one closed
    // kRemoteDrainMs ago is cut to make it so).
    bool MayAccept(SListener& rListener);
    void Accept(SListener& rListener);
    // Makes room for one more connection on rListener: closes one silent
    // link in order, or rNew when every other is busy.
    void MakeRoom(SListener& rListener, CLinkIn& rNew);
    // Takes what rLink holds and, when bReadable, what it has received.
    void ServeIn(CLinkIn& rLink, bool bReadable);
    void HandleMessage(CLinkIn& rLink, CSocketStreamReader::Step eStep, std::string& strMessage);
    // What a first message says of its link; false when it is no opening
    // (a stranger's first message).
    bool TakeOpening(CLinkIn& rLink, const std::string& strMessage);
    // Gives a count link to the signal link of its token, once that one's
    // opening has been read.
    void PairCounts(CLinkIn& rCounts);
    // The one place that takes room: for the next piece of rLink's message.
    // False while the bounds hold it back (it waits for room); a piece that
    // is not to be kept is refused (read past).
    bool TakeRoom(CLinkIn& rLink);
    // Gives back the room of a message that is not kept.
    void GiveBack(CLinkIn& rLink);
    void EndIn(CLinkIn& rLink, RemoteReceiveEnd eEnd);
    // What a link of the protocol tells its sender; true once its end has
    // been reported.
    bool Tell(CLinkIn& rLink, bool bQuitting);
    std::string DescribeLink(const CLinkIn& rLink) const;
    // What a link of the protocol did not handle, and how it ended.
    void ReportLinkEnd(const CLinkIn& rLink, bool bTold, long long nUnhandled);
    // Whether an opening names an instance of the model and a channel that
    // port nPort receives; reported when it does not.
    bool IsInstanceOpening(unsigned int nPort, const std::string& strAddress,
                           const SRemoteOpening& opening);
    // Splits one message ("channel,event text") into a signal; false, with
    // a report, when it is not one.
    bool ParseMessage(unsigned int nPort, const std::string& strAddress,
                      const std::string& strMessage, SRemoteSignal& rSignal);
    void ReportCeiling(CLinkIn& rLink);
    // Keeps what an ended stranger's link's tally counts (hold m_mutex).
    void RetireTally(std::shared_ptr<SRemoteLinkTally> pTally);
    // Empties the inbox; its signals go once the lock is released (hold
    // m_mutex).
    std::deque<SRemoteSignal> TakeInbox();
    // Something changed for the links let go: a close's wait goes on.
    void NoteProgress();

    std::function<void(const std::string&)> m_fnReport;
    CRemoteReports m_reports;
    std::shared_ptr<SDeliveryGate> m_pGate;
    std::shared_ptr<CSocketWake> m_pWake;

    // ---- Under m_mutex ---------------------------------------------------------------
    mutable std::mutex m_mutex;
    std::condition_variable m_cvInbox;  // the simulation thread waits for a signal
    std::condition_variable m_cvIo;     // a request done; a link let go changed
    std::thread m_threadIo;
    bool m_bIoAlive = false;
    bool m_bQuit = false;
    bool m_bRunActive = false;
    SRemoteModel m_model;
    std::vector<std::unique_ptr<SListener>> m_vecNewListeners;
    std::vector<unsigned int> m_vecPorts;  // bound now
    long long m_nStopsAsked = 0;
    long long m_nStopsDone = 0;
    std::deque<SRemoteSignal> m_inbox;
    size_t m_nConnections = 0;
    size_t m_nConnectionsClosing = 0;
    // The links this instance sends on, held or let go and not yet over.
    std::list<std::unique_ptr<CRemoteLinkOut>> m_listOut;
    // The send or connect in progress, and the peers that did not answer
    // (when they were last tried).
    CBidirecSocket* m_pSending = nullptr;
    std::map<std::string, std::chrono::steady_clock::time_point> m_mapUnanswering;

    // The tallies of the run's ended strangers' links that signals may
    // still hold, and what the others did not handle, by address.
    std::vector<std::shared_ptr<SRemoteLinkTally>> m_vecRetiredTallies;
    size_t m_nRetiredKept = 0;
    std::map<std::string, long long> m_mapRetiredUnhandled;
    // A CloseLingering that did not wait came: the end does not wait either.
    bool m_bWaitGivenUp = false;

    // The peer the send in progress waits on ("" when none), for the
    // ceiling's report: set within the socket's send, under a lock of its
    // own that is taken last.
    std::mutex m_mutexWaitsOn;
    std::string m_strSendWaitsOn;

    std::atomic<bool> m_bSendsCancelled{false};
    std::atomic<int> m_nDrainAfterRunMs{kRemoteDrainAfterRunMs};
    std::atomic<std::chrono::steady_clock::rep> m_nLastProgress{0};

    // ---- The I/O thread's own ------------------------------------------------------
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    SRemoteModel m_modelIo;
    long long m_nStopsTaken = 0;
    LinkInList m_listIn;
    // The links of the protocol by token, from their opening until their
    // end is reported.
    std::map<std::string, CLinkIn*> m_mapTokens;
    CSocketPoller m_poller;
    std::chrono::steady_clock::time_point m_tNextTell{};
    // When this turn's poll returned: the time of what it serves.
    std::chrono::steady_clock::time_point m_tTurn{};
    std::vector<SRemoteSignal> m_vecBatch;  // parsed, to go to the inbox
};
