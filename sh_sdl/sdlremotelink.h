#pragma once

// The protocol of a link between two instances of a distributed run, and its
// sending side. Every message is one string of the socket channel. A link is
// two connections to the receiver's port, both made by the sender.
//
// The signal link carries messages from the sender only:
//   "VELKO link 3" TAB <token> TAB <IP text of the sending instance> TAB
//   <channel> TAB <system name>,
// then one message per signal ("channel,event text"); a sender that ends the
// link in order sends "VELKO end" and half-closes. The receiver never writes
// on it: a sender that is killed has nothing unread in it, so its system
// closes the link in order after delivering all it had written (unread data
// would make it reset the link and drop what it had not delivered). A link
// that ends without "VELKO end" tells the receiver that its sender stopped
// working; one that ends inside a message, that the signal it was sending is
// lost. A sender stopped during a send finishes that message later, so that
// its end comes after it. The receiver asks its sender to end the link by
// half-closing it (its run ended, or it makes room for another link).
//
// The count link opens with "VELKO counts 3" TAB <token>; then the receiver
// tells, for the signal link of that token:
//   "<h>"      while its run goes on: h signals handled by its model so far;
//   "<n> <k>"  once its run has ended, or the signal link has ended and all
//              its signals are settled: n messages read in all, k of them not
//              handled (repeated as they grow). The one before the receiver
//              half-closes the count link, once the signal link has ended, is
//              the last.
// The sender answers the last count with the same text once it has counted
// that loss, then closes: the receiver counts its unhandled signals itself
// when no such answer came.
//
// The sender counts as lost: with the last count, sent - n + k; without it,
// up to sent - h (the receiver may have handled some of what it had not yet
// told), whether the link broke or was given up (a receiver that hangs for
// good, or cannot be reached, is never heard from again). A receiver of
// another kind, which tells no counts, leaves its sender to count up to all
// it sent. A link is made with both connections or not at all.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "sh_aux/bidirecsocket.h"

class CSDLRemoteLinks;

// The marks the openings and the sender's end begin with.
inline constexpr const char* kRemoteLinkMark = "VELKO link 3";
inline constexpr const char* kRemoteCountsMark = "VELKO counts 3";
inline constexpr const char* kRemoteEndMark = "VELKO end";
// Longest opening a receiver reads as one; a longer first message is none.
inline constexpr size_t kMaxRemoteOpeningLength = 1024;
// Longest message a count link carries (a count, or its answer).
inline constexpr size_t kMaxRemoteCountLength = 64;
// Each connect attempt, and how long a sender keeps trying while its
// attempts time out (the port's queue is full) before the signal is lost. A
// refused connect is not tried again.
inline constexpr int kRemoteConnectAttemptMs = 1000;
inline constexpr int kRemoteConnectPatienceMs = 60000;
// Once a peer has not answered for that long, signals to it are lost at
// once; one attempt is made again after this long.
inline constexpr int kRemoteRetryConnectMs = 10000;

// What an opening says of its link.
struct SRemoteOpening {
    std::string strToken;     // pairs the signal link with its count link
    std::string strInstance;  // the sending instance's IP text
    std::string strChannel;
    std::string strSystem;
};
std::string MakeRemoteOpening(const SRemoteOpening& opening);
// False when strMessage is no opening; true, with the fields as they are,
// when it begins with the mark.
bool ParseRemoteOpening(const std::string& strMessage, SRemoteOpening& rOpening);
std::string MakeRemoteCountsOpening(const std::string& strToken);
bool ParseRemoteCountsOpening(const std::string& strMessage, std::string& rstrToken);
// A token no one can guess: 128 bits of a generator seeded once per process
// from the system's randomness.
std::string NewRemoteToken();
// A count; with nUnhandled at 0 or above, one of a run that has ended.
std::string MakeRemoteCount(long long nRead, long long nUnhandled = -1);
// False when strMessage is no count; rnUnhandled is -1 for a running count.
bool ParseRemoteCount(const std::string& strMessage, long long& rnRead, long long& rnUnhandled);

// What a link that ended lost: the signals and the line that says so (empty
// when none).
struct SRemoteLoss {
    long long nSignals = 0;
    std::string strLine;
    bool bUpTo = false;  // at most so many: the line says "up to"
};

// How a link this instance sends on ends, and what its sender then counts
// as lost (CRemoteLinkOut::CountLoss; "h" the receiver's last count of what
// it handled, the signal whose send failed counted once more):
//   SE_TOLD       the receiver's last count came (n read, k not handled):
//                 sent - n + k, exactly;
//   SE_BROKEN     the link failed (a send failed, a reset) before it:
//                 up to sent - h;
//   SE_ABANDONED  given up before it: the wait of a close or of the
//                 program's end found no progress (a receiver frozen or cut
//                 off for good), or was not waited: up to sent - h;
//   SE_UNTOLD     the receiver ended the link and never told a count (it is
//                 of another kind): up to sent.
enum RemoteSendEnd { SE_TOLD, SE_BROKEN, SE_ABANDONED, SE_UNTOLD };

// One link this instance sends on: its two connections and its whole
// state, from the connect to the end it counts. The simulation thread makes
// it (Open) and, while a channel end holds it, writes its signals; the
// I/O thread of the links then takes its counts and ends it. Everything but
// Open and ReadReplies is called by CSDLRemoteLinks with its lock held
// (sdlremote.h says who touches what).
class CRemoteLinkOut {
public:
    enum State {
        LO_OPEN,    // a channel end sends on it
        LO_ENDING,  // no more signals: what a Stop cut, the end mark and the
                    // half-close go out as the receiver takes them
        LO_ENDED,   // ended here: the receiver's last count is awaited
        LO_OVER,    // its end is counted (m_eEnd)
    };

    CRemoteLinkOut(std::string strHost, int nPort, std::string strChannel);
    CRemoteLinkOut(const CRemoteLinkOut&) = delete;
    CRemoteLinkOut& operator=(const CRemoteLinkOut&) = delete;

    // "host:port", as losses are counted.
    const std::string& GetPeer() const { return m_strPeer; }
    // Simulation thread, before the link is shared: connects both
    // connections and sends their openings, within the bracket of sends (a
    // Stop cuts it short). Attempts that time out are repeated for
    // tPatience. False when no link was made; *pnError says why (ECANCELED
    // for a Stop, ETIMEDOUT when the peer did not answer).
    bool Open(CSDLRemoteLinks& links, const SRemoteOpening& opening,
              std::chrono::milliseconds tPatience, int* pnError);

    // ---- With the links' lock held --------------------------------------------------
    State GetState() const { return m_eState; }
    // Whether a channel end may send on it now; if so, it is marked as sent
    // on until EndSend (the send itself goes without the lock). A link just
    // made is marked so from the start (MarkSending): its first message goes
    // whatever its receiver says meanwhile, and is read.
    bool BeginSend();
    bool TakesSignals() const { return m_eState == LO_OPEN && !m_bAskedToEnd && !m_bBroken; }
    void MarkSending() { SetSending(true); }
    bool IsSending() const { return m_bSending; }
    // A send marked that sent nothing.
    void AbortSend() { SetSending(false); }
    CBidirecSocket& SignalSocket() { return m_signals; }
    CBidirecSocket& CountSocket() { return m_counts; }
    bool IsSignalsEnded() const { return m_bSignalsEnded; }
    bool IsCountsEnded() const { return m_bCountsEnded; }
    // What the send found: SS_FAILED breaks the link, pszSignal lost with
    // it; a message a Stop cut (SS_STOPPED) counts as sent and ends the link.
    void EndSend(SocketSendResult eResult, const char* pszSignal);
    // The channel end lets go: the link ends in order.
    void LetGo();
    bool IsHeld() const { return m_bHeld; }
    // I/O thread: what to wait for; and what came, read by ReadReplies,
    // taken into its state: true when a count said more (which is progress)
    // or the count link ended.
    bool WantsWrite() const;
    bool TakeReplies();
    // I/O thread: ends what it can without waiting; true once it is over.
    bool Advance();
    // Given up now (its end not yet known): over, as SE_ABANDONED; its
    // signal connection is reset when it goes.
    void Abandon();
    // Once over: the loss of its end, as the line says ("when" pszWhen for
    // SE_ABANDONED); and the answer to the receiver's last count, then the
    // close (I/O thread).
    SRemoteLoss CountLoss(const char* pszWhen) const;
    void Finish();
    // Signals the receiver has neither said it handled nor read after its
    // run: what a close waits for.
    long long GetUnread() const;
    // Its loss has been reported (by the I/O thread, or by a close that
    // gave it up).
    bool IsCounted() const { return m_bCounted; }
    void MarkCounted() { m_bCounted = true; }
    // Whether its receiver's system took anything since the last look.
    bool TookMore();
    // The bytes its receiver's system has not yet taken (progress of a
    // receiver that reads without handling), -1 when unknown.
    long long GetUnacknowledged() const { return m_signals.GetUnacknowledgedBytes(); }

    // ---- I/O thread, without the lock ----------------------------------------------
    // Reads what the receiver wrote on each connection (bSignals, bCounts:
    // the poll found it readable), a bounded amount a turn, for TakeReplies.
    // Only this thread reads these sockets, and a receiver that floods them
    // holds no lock that the simulation thread's sends or a Stop need.
    void ReadReplies(bool bSignals, bool bCounts);

private:
    void SetSending(bool bSending);
    void TakeCount(const std::string& strCount);
    void Break(const char* pszSignal);

    std::string m_strHost;
    int m_nPort = 0;
    std::string m_strChannel;
    std::string m_strPeer;
    CBidirecSocket m_signals;
    CBidirecSocket m_counts;
    CSocketStreamReader m_countsReader{kMaxRemoteCountLength};
    State m_eState = LO_OPEN;
    RemoteSendEnd m_eEnd = SE_TOLD;
    // A channel end holds it; the simulation thread writes on it now.
    bool m_bHeld = true;
    bool m_bSending = false;
    // The receiver asked to end it; it broke (the signal whose send failed).
    bool m_bAskedToEnd = false;
    bool m_bBroken = false;
    std::string m_strBrokenSignal;
    bool m_bEndQueued = false;
    bool m_bAbandoned = false;
    bool m_bCounted = false;
    long long m_nLastUnacknowledged = -1;
    // The receiver ended the signal link (read side); the count link has
    // ended (the receiver closed or reset it).
    bool m_bSignalsEnded = false;
    bool m_bCountsEnded = false;
    // Messages sent (the opening aside; a message a Stop cut included), the
    // last running count told (-1: none) and the last count of a run over
    // (-1: none).
    long long m_nSent = 0;
    long long m_nHandled = -1;
    long long m_nRead = -1;
    long long m_nUnhandled = -1;
    // The most a genuine count may say: m_nSent, and the message being sent
    // (its receiver may tell of it before the send returns). Written with
    // the lock held, read by ReadReplies without it.
    std::atomic<long long> m_nCountBound{0};
    // What ReadReplies read and TakeReplies takes (the I/O thread's alone):
    // how the signal link's stream ended (IO_NONE: it goes on), whether the
    // count link ended, and the counts as they now stand.
    struct SReplies {
        SocketIoResult eSignalsEnd = IO_NONE;
        bool bCountsEnded = false;
        long long nHandled = -1;
        long long nRead = -1;
        long long nUnhandled = -1;
    } m_replies;
};

// The sending end of a channel to another instance: its link's life, from
// the connect through each send to its end, and the signals it does not
// send. On the simulation thread.
class CRemoteSendLink {
public:
    CRemoteSendLink(std::string strHost, int nPort, std::string strChannel);
    ~CRemoteSendLink();
    CRemoteSendLink(const CRemoteSendLink&) = delete;
    CRemoteSendLink& operator=(const CRemoteSendLink&) = delete;

    const std::string& GetPeer() const { return m_strPeer; }
    // Sends one signal's message, connecting first when there is no link,
    // with opening (its token is made here); every signal it cannot send is
    // reported lost. True when the message went (or, cut by a Stop, goes
    // once the receiver reads).
    bool Send(CSDLRemoteLinks& links, const SRemoteOpening& opening, const std::string& strMessage,
              const char* pszSignal);
    // A signal accepted once the run is stopping: counted lost, without a
    // link or a message; said when the link closes.
    void LoseAfterStop(const char* pszSignal);
    // Ends the link in order; links keeps it until its receiver has read
    // it. The next send connects again. Says what was lost after a Stop.
    void Close(CSDLRemoteLinks& links);

private:
    // Reports one signal not sent: ": " pszWhy or " before ...".
    void Lost(CSDLRemoteLinks& links, const char* pszSignal, const std::string& strWhy) const;

    std::string m_strHost;
    int m_nPort = 0;
    std::string m_strChannel;
    std::string m_strPeer;
    // The link it sends on: owned by the links, held until let go.
    CSDLRemoteLinks* m_pLinks = nullptr;
    CRemoteLinkOut* m_pLink = nullptr;
    long long m_nLostAfterStop = 0;
    std::string m_strFirstLostAfterStop;
};
