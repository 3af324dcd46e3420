#include "clients/velkoeyedx/sh_dx/replayclock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

namespace {

// Tick offsets are kept well inside 64 bits, so that a time typed into the
// time box, however large, never overflows the base.
constexpr double kMaxTickOffset = 4.0e18;

}  // namespace

CReplayClock::TickSource CReplayClock::SteadyTicks() {
    return {[] {
                return static_cast<std::int64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
            },
            1000000000};
}

CReplayClock::CReplayClock(TickSource source) : m_source(std::move(source)) {}

std::int64_t CReplayClock::CurrentTicks() const {
    return m_bStopped ? m_nStopTicks : m_source.fnNow();
}

double CReplayClock::TimeAt(std::int64_t nTicks) const {
    return m_nSpeed * static_cast<double>(nTicks - m_nBaseTicks) /
           static_cast<double>(m_source.nFrequency);
}

double CReplayClock::GetTime() {
    std::lock_guard<std::mutex> lock(m_mutex);
    StopAtEndLocked();
    return TimeAt(CurrentTicks());
}

void CReplayClock::StopAtEndLocked() {
    if (m_bStopped || !(m_dEnd < std::numeric_limits<double>::infinity())) {
        return;
    }
    const std::int64_t nNow = m_source.fnNow();
    if (TimeAt(nNow) < m_dEnd) {
        return;
    }
    // Stopped as of the tick the end fell due, so that the frame times that
    // follow count no time past it.
    const double dStop = std::fmax(m_dEnd, m_dRunFrom);
    m_nStopTicks = std::min(nNow, std::max(m_nBaseTicks + OffsetTicks(dStop), m_nLastFrameTicks));
    m_bStopped = true;
    SetTimeLocked(dStop);
}

void CReplayClock::SetEnd(double dEnd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dEnd = std::isnan(dEnd) ? std::numeric_limits<double>::infinity() : dEnd;
    StopAtEndLocked();
}

double CReplayClock::GetEnd() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dEnd;
}

std::int64_t CReplayClock::OffsetTicks(double dTime) const {
    double dOffset = static_cast<double>(m_source.nFrequency) * (dTime / m_nSpeed);
    if (std::isnan(dOffset)) {
        dOffset = 0.0;
    }
    return static_cast<std::int64_t>(
        std::fmax(-kMaxTickOffset, std::fmin(kMaxTickOffset, dOffset)));
}

void CReplayClock::SetTimeLocked(double dTime) {
    m_nBaseTicks = CurrentTicks() - OffsetTicks(dTime);
}

void CReplayClock::SetTime(double dTime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SetTimeLocked(dTime);
    m_dRunFrom = TimeAt(CurrentTicks());
    StopAtEndLocked();
}

void CReplayClock::SetSpeed(int nSpeed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nSpeed >= 1) {
        m_nSpeed = nSpeed;
    }
}

int CReplayClock::GetSpeed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nSpeed;
}

void CReplayClock::StopLocked() {
    if (!m_bStopped) {
        m_nStopTicks = m_source.fnNow();
        m_nLastFrameTicks = m_nStopTicks;
        m_bStopped = true;
    }
}

void CReplayClock::StopAtZero() {
    std::lock_guard<std::mutex> lock(m_mutex);
    StopLocked();
    SetTimeLocked(0.0);
}

void CReplayClock::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t nNow = m_source.fnNow();
    if (m_bStopped) {
        m_nBaseTicks += nNow - m_nStopTicks;
    }
    m_nLastFrameTicks = nNow;
    m_nStopTicks = 0;
    m_bStopped = false;
    m_dRunFrom = TimeAt(nNow);
    StopAtEndLocked();
}

void CReplayClock::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    StopLocked();
}

void CReplayClock::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t nNow = m_source.fnNow();
    m_nBaseTicks = nNow;
    m_nLastFrameTicks = nNow;
    m_nStopTicks = 0;
    m_bStopped = false;
    m_dRunFrom = 0.0;
    StopAtEndLocked();
}

bool CReplayClock::IsStopped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    StopAtEndLocked();
    return m_bStopped;
}

CReplayClock::FrameTimes CReplayClock::NextFrame() {
    std::lock_guard<std::mutex> lock(m_mutex);
    StopAtEndLocked();
    const std::int64_t nNow = CurrentTicks();
    const auto dFrequency = static_cast<double>(m_source.nFrequency);
    FrameTimes times;
    times.dTime = m_nSpeed * static_cast<double>(nNow - m_nBaseTicks) / dFrequency;
    times.dAbsoluteTime = m_nSpeed * static_cast<double>(nNow) / dFrequency;
    const double dElapsed = static_cast<double>(nNow - m_nLastFrameTicks) / dFrequency;
    times.fElapsed = static_cast<float>(m_nSpeed * std::fmax(dElapsed, 0.0));
    m_nLastFrameTicks = nNow;
    return times;
}
