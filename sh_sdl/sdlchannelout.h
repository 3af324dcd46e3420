#pragma once

// The sending end of a channel: delivers a copy of an event into the target's
// input end of the same name.

#include <string>

#include "sh_sdl/sdlchannel.h"

class CSDLAgent;
class CSDLBlock;
class CSDLEvent;
class CSDLProcess;

class CSDLChannelOut : public CSDLChannel {
public:
    CSDLChannelOut() = default;
    explicit CSDLChannelOut(std::string strName) : CSDLChannel(std::move(strName)) {}

    // Delivers a copy of the event (the caller keeps its own). Returns the
    // empty text on a local delivery, else the error text reported.
    std::string Send(CSDLEvent* pEvent);
    // Copies targets, connection fields, name, delivery flag and signals.
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
};
