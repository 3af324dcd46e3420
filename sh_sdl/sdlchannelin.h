#pragma once

// The receiving end of a channel: a queue of events in ascending execution
// time, owned by the channel.

#include <cmath>
#include <map>
#include <memory>

#include "sh_sdl/sdlchannel.h"
#include "sh_sdl/sdlevent.h"

class CSDLAgent;
class CSDLBlock;
class CSDLProcess;

class CSDLChannelIn : public CSDLChannel {
public:
    CSDLChannelIn() = default;
    explicit CSDLChannelIn(std::string strName) : CSDLChannel(std::move(strName)) {}

    // Takes the event and queues it before the first queued event whose time
    // is not earlier (the newest of equal times comes first), in logarithmic
    // time however long the queue; then reports the owning agent's pending
    // time to the engine. The owning agent is told of every event queued,
    // taken or dropped.
    void AddEvent(std::unique_ptr<CSDLEvent> pEvent);
    // The earliest event, left in the queue; null when the queue is empty.
    CSDLEvent* GetHeadEvent() const;
    // The earliest event, taken out of the queue; null when empty.
    std::unique_ptr<CSDLEvent> RemoveHeadEvent();
    bool IsEmpty() const { return m_queue.empty(); }
    size_t GetCount() const { return m_queue.size(); }
    // Deletes every queued event.
    void Clear();
    // Copies delivery flag, name and source fields (not owner, signals, queue).
    void CopyTo(CSDLChannelIn* pOut) const;

    CSDLBlock* m_pSourceBlock = nullptr;
    CSDLProcess* m_pSourceProcess = nullptr;
    CSDLAgent* m_pOwningAgent = nullptr;
    double m_dClock = 0.0;

private:
    // Orders times with a time that is not a number after every number, so
    // that such a time cannot break the queue's order.
    struct CTimeLess {
        bool operator()(double dLeft, double dRight) const {
            return dLeft < dRight || (!std::isnan(dLeft) && std::isnan(dRight));
        }
    };
    // By execution time; among equal times the newest first.
    std::multimap<double, std::unique_ptr<CSDLEvent>, CTimeLess> m_queue;
};
