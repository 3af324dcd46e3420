#pragma once

// The protocol of a link between two instances of a distributed run, and its
// sending end. Every message is one string of the socket channel. A link is
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
// when the link broke, up to sent - h (the receiver may have handled some of
// what it had not yet told). A sender of an older kind (an empty opening, or
// another mark) is served as a stranger and told no counts; a sender whose
// count link cannot be made goes on without counts.

#include <chrono>
#include <deque>
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
// A token no one can guess.
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

// One link of a channel end (its two connections): used on the simulation
// thread while a run sends through it, then kept by the thread that keeps
// links until they have ended (CSDLRemoteLinks::Linger).
class CRemoteConnection {
public:
    CRemoteConnection(std::string strHost, int nPort, std::string strChannel);
    CRemoteConnection(const CRemoteConnection&) = delete;
    CRemoteConnection& operator=(const CRemoteConnection&) = delete;

    // "host:port", as losses are counted.
    std::string GetPeer() const;
    // Connects both connections and sends their openings, within the bracket
    // of links (a Stop cuts it short). Attempts that time out are repeated
    // for tPatience. False when no link was made; *pnError says why
    // (ECANCELED for a Stop, ETIMEDOUT when the peer did not answer).
    bool Open(CSDLRemoteLinks& links, SRemoteOpening opening, std::chrono::milliseconds tPatience,
              int* pnError);
    // Sends one signal's message within the bracket of links: SS_STOPPED,
    // with nothing sent, once a Stop has come. A message a Stop cuts counts
    // as sent (SS_SENT, IsCut): End finishes it.
    SocketSendResult Send(CSDLRemoteLinks& links, const std::string& strMessage);
    bool IsCut() { return m_socket.GetUnsentBytes() > 0; }
    // Takes what the receiver told, at most a bounded amount: true while the
    // link may go on; false once the receiver asked to end it (its run
    // ended, or it made room) or the link broke.
    bool Check();
    // A send failed: the link is broken, and signal pszSignal lost with it.
    void SetBroken(const char* pszSignal);
    // From now on the link ends in order: the message a Stop cut is
    // finished, then the end goes out (Progress does what cannot be done at
    // once).
    void End();
    // Goes on ending the link without waiting: true once it has ended and
    // its loss (GetLoss) is known.
    bool Progress();
    SRemoteLoss GetLoss() const;
    // Once the loss is reported: answers the receiver's last count (this
    // end counts that loss) and closes.
    void Finish();
    // Signals the receiver has not yet taken in: what a wait for it waits
    // for. Progress is any decrease.
    long long GetUnread();
    // Gives the link up now: what the receiver had not taken in is lost, as
    // the line says (pszWhen ends "when ..."); what it had, it counts itself
    // if it does not handle it.
    SRemoteLoss Abandon(const char* pszWhen);

private:
    // Takes the counts told, at most a bounded amount per call.
    void ReadCounts(bool bToTheEnd);
    // Forgets the end offsets of messages the receiver has taken.
    void Forget(long long nTaken);
    // Messages the receiver's system has acknowledged whole.
    long long CountAcknowledged();
    // The loss of a link given up, as the line says.
    SRemoteLoss MakeLoss(long long nSignals, bool bUpTo, const char* pszHow) const;

    std::string m_strHost;
    int m_nPort = 0;
    std::string m_strChannel;
    CBidirecSocket m_socket;
    CBidirecSocket m_counts;
    bool m_bHasCounts = false;
    // The count link has ended (the receiver closed or reset it).
    bool m_bCountsEnded = false;
    // The receiver asked to end the link; the signal link broke.
    bool m_bAskedToEnd = false;
    bool m_bBroken = false;
    std::string m_strBrokenSignal;
    // End was called; the end has gone out (after the message a Stop cut).
    bool m_bEnding = false;
    bool m_bEndQueued = false;
    bool m_bEndSent = false;
    // Messages sent (the opening aside; a message a Stop cut included), the
    // last running count told (-1: none) and the last count of a run over
    // (-1: none).
    long long m_nSent = 0;
    long long m_nHandled = -1;
    long long m_nRead = -1;
    long long m_nUnhandled = -1;
    // The byte offset, from the link's start, at the end of each message
    // from m_nFirstEnd on, while the receiver may not have taken it.
    long long m_nFirstEnd = 0;
    std::deque<unsigned long long> m_dequeEnds;
};

// The sending end of a channel to another instance: its link's life, from
// the connect through the checks before each send to its end, and what each
// step loses. On the simulation thread.
class CRemoteSendLink {
public:
    CRemoteSendLink(std::string strHost, int nPort, std::string strChannel);
    ~CRemoteSendLink();
    CRemoteSendLink(const CRemoteSendLink&) = delete;
    CRemoteSendLink& operator=(const CRemoteSendLink&) = delete;

    std::string GetPeer() const;
    // Sends one signal's message, connecting first when there is no link,
    // with opening (its token is made here); every signal it cannot send is
    // reported lost. True when the message went (or, cut by a Stop, goes
    // once the receiver reads).
    bool Send(CSDLRemoteLinks& links, const SRemoteOpening& opening, const std::string& strMessage,
              const char* pszSignal);
    // Ends the link in order; links keeps it until its receiver has read
    // it. The next send connects again.
    void Close(CSDLRemoteLinks& links);

private:
    // Hands the link over to links, which keeps it until it has ended.
    void Retire(CSDLRemoteLinks& links);

    std::string m_strHost;
    int m_nPort = 0;
    std::string m_strChannel;
    std::unique_ptr<CRemoteConnection> m_pConnection;
};
