#pragma once

// The replay clock: the time at which the animation stands. It runs at an
// integer speed factor over a monotonic tick counter; it can be stopped,
// started again where it stopped, and set to any time.
//
// Replay time = speed x (current ticks - base ticks) / frequency, where the
// current ticks are the ticks at which the clock was stopped while it is
// stopped. Changing the speed does not move the base, so the time jumps to
// the new speed x the span since the base; setting the time moves the base.
//
// A replay whose whole content is known has an end: a running clock that
// reaches it stops there, and one started at or past it stops at once
// where it was started; every reading sees the stop from the moment it
// fell due.
//
// Thread contract: the dialog thread, the render thread and the refresh of
// the time box use one clock; one mutex guards every operation.

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

class CReplayClock {
public:
    // A monotonic counter and its ticks per second.
    struct TickSource {
        std::function<std::int64_t()> fnNow;
        std::int64_t nFrequency = 1;
    };

    // The times of one frame, all multiplied by the speed factor: the replay
    // time, the counter's absolute time, and the time since the previous
    // frame (never negative).
    struct FrameTimes {
        double dTime = 0.0;
        double dAbsoluteTime = 0.0;
        float fElapsed = 0.0f;
    };

    // The steady clock of the standard library, in nanoseconds.
    static TickSource SteadyTicks();

    // A running clock at speed 1 whose base lies at tick 0.
    explicit CReplayClock(TickSource source = SteadyTicks());

    double GetTime();
    // Afterwards GetTime reads dTime (to the tick); a time that is not a
    // number counts as 0.
    void SetTime(double dTime);
    // A factor below 1 is ignored: the clock would stand still or run back.
    void SetSpeed(int nSpeed);
    int GetSpeed() const;

    // Stops the clock, then sets it to 0: a stopped clock that reads 0.
    void StopAtZero();
    // Runs on from where the clock stopped; the stopped span is skipped.
    void Start();
    void Stop();
    // Time 0 is now; the clock runs.
    void Reset();
    bool IsStopped();

    // The end of the replay; infinity (the start) or a time that is not a
    // number: none.
    void SetEnd(double dEnd);
    double GetEnd() const;

    // The times of a new frame; the next frame's elapsed time counts from
    // here.
    FrameTimes NextFrame();

private:
    // These need m_mutex held.
    std::int64_t CurrentTicks() const;
    double TimeAt(std::int64_t nTicks) const;
    // The ticks from the base to dTime, truncated, kept well inside 64 bits.
    std::int64_t OffsetTicks(double dTime) const;
    void SetTimeLocked(double dTime);
    void StopLocked();
    // Stops a running clock that has reached the end.
    void StopAtEndLocked();

    mutable std::mutex m_mutex;
    const TickSource m_source;
    bool m_bStopped = false;
    std::int64_t m_nStopTicks = 0;
    std::int64_t m_nLastFrameTicks = 0;
    std::int64_t m_nBaseTicks = 0;
    int m_nSpeed = 1;
    double m_dEnd = std::numeric_limits<double>::infinity();
    // The time the clock last started running from.
    double m_dRunFrom = 0.0;
};
