#pragma once

// The sending end of a channel: delivers a copy of an event into the target's
// input end of the same name.

#include <memory>
#include <string>

#include "sh_sdl/sdlchannel.h"
#include "sh_sdl/sdlremotelink.h"

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
    // Ends the link of a remote end in order: it is kept until the receiver
    // has read all that was sent (CSDLRemoteLinks::LetGo). The next send
    // connects again.
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

    // The sending end of a remote end, made at its first send.
    std::unique_ptr<CRemoteSendLink> m_pLink;
};
