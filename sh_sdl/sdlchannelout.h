#pragma once

// The sending end of a channel: delivers a copy of an event into the target's
// input end of the same name.

#include <memory>
#include <string>

#include "sh_aux/bidirecsocket.h"
#include "sh_sdl/sdlchannel.h"

class CSDLAgent;
class CSDLBlock;
class CSDLEngine;
class CSDLEvent;
class CSDLProcess;
class CSDLRemoteLinks;

class CSDLChannelOut : public CSDLChannel {
public:
    CSDLChannelOut() = default;
    explicit CSDLChannelOut(std::string strName) : CSDLChannel(std::move(strName)) {}
    ~CSDLChannelOut();

    // Delivers a copy of the event (the caller keeps its own). Returns the
    // empty text on a local delivery, else the error text reported. In a
    // distributed run an end without local delivery sends the event to the
    // target's instance (m_strHost, m_nPort), waiting while that instance
    // takes nothing: the note of the send, or "ERROR SOCKET" when it could
    // not be sent (reported with every signal the link lost; the next send
    // connects again).
    std::string Send(CSDLEvent* pEvent);
    // Ends the connection of a remote end in order: the receiver reads all
    // that was sent. The next send connects again.
    void CloseConnection();
    // Copies targets, host and port, name, delivery flag and signals; the
    // copy has its own connection, not yet made.
    void CopyTo(CSDLChannelOut* pOut) const;
    // The agent at the far end: the target process when set, else the block.
    CSDLAgent* GetTarget() const;

    CSDLBlock* m_pTargetBlock = nullptr;
    CSDLProcess* m_pTargetProcess = nullptr;
    CSDLBlock* m_pSourceBlock = nullptr;
    CSDLProcess* m_pSourceProcess = nullptr;
    bool m_bDual = false;
    bool m_bConnected = false;
    std::string m_strHost;
    int m_nPort = 0;

private:
    std::string SendRemote(CSDLEvent* pEvent, CSDLEngine& engine);
    // Takes what the receiver told since the last send; drops the
    // connection when the link has ended (reported when that lost signals).
    void CheckLink(CSDLRemoteLinks& links);
    // Takes the counts the receiver sent and tells whether it ended the
    // link.
    SocketPeerState ReadReceiver();
    void DropConnection();

    // The connection of a remote end, made at its first send; with the
    // signals sent whole through it and the count of those the receiver
    // has told it took (-1 until it tells one).
    std::unique_ptr<CBidirecSocket> m_pSocket;
    long long m_nSentOnLink = 0;
    long long m_nTakenOnLink = 0;
    // A connection ended in order whose receiver may still be reading it:
    // kept open until it has read all, since a socket closed before would
    // answer the receiver's counts with a reset, and the receiver would
    // lose what it had not read.
    std::unique_ptr<CBidirecSocket> m_pLingering;
};
