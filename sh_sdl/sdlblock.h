#pragma once

#include <string>

#include "sh_sdl/sdlagent.h"

// An SDL block, or the system itself at the root: holds sub-blocks and
// processes and forwards the events that arrive at it.
class CSDLBlock : public CSDLAgent {
public:
    // Routes the block's own next event, then steps every sub-block and every
    // process that runs in this simulator instance.
    std::string Step() override;
    void Initialize() override;

    // The numeric path of pAgent: ancestors' ids, root first, joined by "_".
    static std::string GetGlobalId(const CSDLAgent* pAgent);
    // Marks the block as an automaton block (or not) and every ancestor as
    // containing one.
    void SetMnca(bool bValue);
    bool IsMnca() const { return m_bIsMnca; }
    bool ContainsMnca() const { return m_bContainsMnca; }
    void SetContainsMnca(bool bValue) { m_bContainsMnca = bValue; }
    std::string DumpStates() const;
    // Forwards the current event along its route text or through the channel
    // that carries its signal.
    std::string RouteEvent();

    // Makes pOut a deep instance of this block: sub-blocks and processes
    // included, entered in the engine's maps.
    void BuildInstance(CSDLBlock* pOut);
    // Points the channel ends of an instance subtree that still refer to
    // agents of the template subtree at their instance counterparts.
    void RetargetInstanceChannels(CSDLBlock* pInstance);

private:
    void BuildInstance(CSDLBlock* pOut, bool bParentEnds);

    bool m_bIsMnca = false;
    bool m_bContainsMnca = false;
};
