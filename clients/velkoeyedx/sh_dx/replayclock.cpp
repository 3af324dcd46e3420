#include "clients/velkoeyedx/sh_dx/replayclock.h"

#include <chrono>
#include <cmath>
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

double CReplayClock::GetTime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nSpeed * static_cast<double>(CurrentTicks() - m_nBaseTicks) /
           static_cast<double>(m_source.nFrequency);
}

void CReplayClock::SetTimeLocked(double dTime) {
    double dOffset = static_cast<double>(m_source.nFrequency) * (dTime / m_nSpeed);
    if (std::isnan(dOffset)) {
        dOffset = 0.0;
    }
    dOffset = std::fmax(-kMaxTickOffset, std::fmin(kMaxTickOffset, dOffset));
    m_nBaseTicks = CurrentTicks() - static_cast<std::int64_t>(dOffset);
}

void CReplayClock::SetTime(double dTime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SetTimeLocked(dTime);
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
}

bool CReplayClock::IsStopped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStopped;
}

CReplayClock::FrameTimes CReplayClock::NextFrame() {
    std::lock_guard<std::mutex> lock(m_mutex);
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
