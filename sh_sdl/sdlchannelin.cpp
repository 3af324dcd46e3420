#include "sh_sdl/sdlchannelin.h"

#include "sh_sdl/sdlagent.h"

void CSDLChannelIn::AddEvent(std::unique_ptr<CSDLEvent> pEvent) {
    if (!pEvent) {
        return;
    }
    const double dTime = pEvent->m_dExecutionTime;
    // Just before the first queued event of the same time or later.
    m_queue.emplace_hint(m_queue.lower_bound(dTime), dTime, std::move(pEvent));
    if (m_pOwningAgent) {
        m_pOwningAgent->QueuedEventsChanged(1);
        m_pOwningAgent->UpdatePendingTime(dTime, false);
    }
}

CSDLEvent* CSDLChannelIn::GetHeadEvent() const {
    return m_queue.empty() ? nullptr : m_queue.begin()->second.get();
}

std::unique_ptr<CSDLEvent> CSDLChannelIn::RemoveHeadEvent() {
    if (m_queue.empty()) {
        return nullptr;
    }
    std::unique_ptr<CSDLEvent> pEvent = std::move(m_queue.begin()->second);
    m_queue.erase(m_queue.begin());
    // Taken to be handled: a signal from another instance no longer waits.
    pEvent->m_pDeliveryHold.reset();
    if (m_pOwningAgent) {
        m_pOwningAgent->QueuedEventsChanged(-1);
    }
    return pEvent;
}

void CSDLChannelIn::Clear() {
    if (m_pOwningAgent && !m_queue.empty()) {
        m_pOwningAgent->QueuedEventsChanged(-static_cast<int>(m_queue.size()));
    }
    m_queue.clear();
}

void CSDLChannelIn::CopyTo(CSDLChannelIn* pOut) const {
    pOut->m_bLocalDelivery = m_bLocalDelivery;
    pOut->m_strName = m_strName;
    pOut->m_pSourceBlock = m_pSourceBlock;
    pOut->m_pSourceProcess = m_pSourceProcess;
}
