#pragma once

// The protocol of a link between two instances of a distributed run, and its
// sending end. Every message is one string of the socket channel.
//
// Sender to receiver: first the opening, which tells what the link is,
//   "VELKO link 2" TAB <IP text of the sending instance> TAB <channel>
//   TAB <system name>,
// then one message per signal ("channel,event text"); at its end the sender
// half-closes the link and keeps it until the receiver has read all of it
// and closed it in turn, so that no reset drops what it had not read yet.
// A sender of an older kind opens with an empty message instead.
//
// Receiver to sender: counts. "<n>", now and then, is the number of
// messages the receiver has read from the link (the opening aside); when the
// receiver's run ends while the link is open, it tells "<n> <k>": n read in
// all, k of them signals its model did not handle (the run ended first, or
// no agent took them), then closes the link. A sender counts as lost what
// the receiver did not read and what it did not handle; a receiver counts
// what it did not handle of a link whose sender it could not tell.

#include <deque>
#include <memory>
#include <string>

#include "sh_aux/bidirecsocket.h"

class CSDLRemoteLinks;

// The mark an opening begins with.
inline constexpr const char* kRemoteLinkMark = "VELKO link 2";
// Longest opening a receiver reads as one; a longer first message is none.
inline constexpr size_t kMaxRemoteOpeningLength = 1024;
// Each connect attempt, and how long a sender keeps trying while its
// attempts time out (the port's queue is full) before the signal is lost. A
// refused connect is not tried again.
inline constexpr int kRemoteConnectAttemptMs = 1000;
inline constexpr int kRemoteConnectPatienceMs = 60000;

// What an opening says of its link.
struct SRemoteOpening {
    std::string strInstance;  // the sending instance's IP text
    std::string strChannel;
    std::string strSystem;
};
std::string MakeRemoteOpening(const SRemoteOpening& opening);
// False when strMessage is no opening; true, with the fields as they are,
// when it begins with the mark.
bool ParseRemoteOpening(const std::string& strMessage, SRemoteOpening& rOpening);
// A count; with nUnhandled at 0 or above, the last one of the link.
std::string MakeRemoteCount(long long nRead, long long nUnhandled = -1);
// False when strMessage is no count; rnUnhandled is -1 for a running count.
bool ParseRemoteCount(const std::string& strMessage, long long& rnRead, long long& rnUnhandled);

// What a link that ended lost: the signals and the line that says so (empty
// when none).
struct SRemoteLoss {
    long long nSignals = 0;
    std::string strLine;
};

// The sending end of one link, on the simulation thread while a run sends
// through it, then on the thread that keeps it until its receiver has read
// it (CSDLRemoteLinks::Linger).
class CRemoteSendLink {
public:
    CRemoteSendLink(std::string strHost, int nPort, std::string strChannel);
    CRemoteSendLink(const CRemoteSendLink&) = delete;
    CRemoteSendLink& operator=(const CRemoteSendLink&) = delete;

    const std::string& GetHost() const { return m_strHost; }
    int GetPort() const { return m_nPort; }
    // "host:port", as losses are counted.
    std::string GetPeer() const;

    // Connects and sends the opening, within the bracket of links (a Stop
    // cuts it short). Attempts that time out are repeated for
    // kRemoteConnectPatienceMs. False when no link was made; *pbStopped tells
    // whether a Stop was the reason.
    bool Connect(CSDLRemoteLinks& links, const std::string& strOpening, bool* pbStopped);
    // Sends one signal's message within the bracket of links.
    SocketSendResult Send(CSDLRemoteLinks& links, const std::string& strMessage);

    // Takes what the receiver told, at most a bounded amount per call, and
    // tells whether the link has ended (the receiver closed or reset it).
    SocketPeerState Check();
    // Takes all the receiver told before the link broke, after a send
    // failed (bounded by what the system held).
    void ReadToEnd();
    // Ends sending in order; the link is then kept until the receiver ends
    // it.
    void HalfClose();
    bool IsHalfClosed() const { return m_bHalfClosed; }
    // The loss of a link that has ended as eEnd says (Check not SP_OPEN),
    // or whose send of signal pszSignal failed (that one counts too).
    SRemoteLoss GetEndLoss(SocketPeerState eEnd, const char* pszSignal = nullptr) const;
    // Signals the receiver's system has not taken yet: what a wait for it
    // waits for. Progress is any decrease.
    long long GetUnread();
    // Gives the link up now (a reset): what the receiver's system had not
    // taken is lost, as the line says; pszWhen ends "when ...".
    SRemoteLoss Abandon(const char* pszWhen);

private:
    // Forgets the end offsets of messages the receiver has taken.
    void Forget(long long nTaken);
    // Takes what the receiver told, at most a bounded amount.
    SocketPeerState ReadCounts(bool* pbMore);
    // Messages the receiver's system has acknowledged whole.
    long long CountAcknowledged();

    std::string m_strHost;
    int m_nPort = 0;
    std::string m_strChannel;
    CBidirecSocket m_socket;
    bool m_bHalfClosed = false;
    // Messages sent whole (the opening aside), the last count the receiver
    // told (-1: none) and, from its last count, the signals it did not
    // handle (-1: no last count).
    long long m_nSent = 0;
    long long m_nRead = -1;
    long long m_nUnhandled = -1;
    // The byte offset, from the link's start, at the end of each message
    // from m_nFirstEnd on, while the receiver may not have taken it.
    long long m_nFirstEnd = 0;
    std::deque<unsigned long long> m_dequeEnds;
};
