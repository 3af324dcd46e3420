#pragma once

// The tests' waits, made to hold on a busy machine. A wait for work whose
// progress can be seen (a count, a size, a state) gives up only once that
// progress has stood still for a while, however long the whole work takes. A
// wait for something whose progress cannot be seen lasts what it would on a
// quiet machine times how much slower this one runs now. A wait for what must
// not happen is a short fixed window: it has only to be long enough for the
// fault to show, and is never made longer.

#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <source_location>
#include <thread>

namespace velkotest {

// How many times slower than a quiet machine running an optimised build the
// build alone makes the tests: the sanitizers and the missing optimisation.
#if defined(__has_feature)
#define VELKO_TEST_HAS_FEATURE(name) __has_feature(name)
#else
#define VELKO_TEST_HAS_FEATURE(name) 0
#endif

constexpr double BuildSlowness() {
    double dFactor = 1.0;
#if !defined(__OPTIMIZE__)
    dFactor *= 2.0;
#endif
#if defined(__SANITIZE_ADDRESS__) || VELKO_TEST_HAS_FEATURE(address_sanitizer)
    dFactor *= 2.0;
#endif
#if defined(__SANITIZE_THREAD__) || VELKO_TEST_HAS_FEATURE(thread_sanitizer)
    dFactor *= 5.0;
#endif
    return dFactor;
}

// How many times slower than a quiet machine running an optimised build this
// one runs the tests now: the build's factor times the load beyond the cores
// (the last minute's average). VELKO_TEST_SLOWNESS, a number of at least 1,
// is taken instead when it is set.
inline double MachineSlowness() {
    if (const char* pszSet = std::getenv("VELKO_TEST_SLOWNESS")) {
        double dSet = 0.0;
        const char* pszEnd = pszSet + std::strlen(pszSet);
        if (std::from_chars(pszSet, pszEnd, dSet).ptr == pszEnd && dSet >= 1.0) {
            return dSet;
        }
    }
    double dLoad = 0.0;
    if (getloadavg(&dLoad, 1) != 1) {
        dLoad = 0.0;
    }
    const double dCores = std::max(1u, std::thread::hardware_concurrency());
    return BuildSlowness() * std::max(1.0, dLoad / dCores);
}

// tQuiet, what a wait takes at most on a quiet machine, as long as it takes
// on this one now; never more than tCeiling. A check whose fault would only
// make it take longer (a time-out of the system's own that a mend shortened)
// sets the ceiling well below what the fault costs, so that it still fails.
inline std::chrono::milliseconds ScaledWait(
    std::chrono::milliseconds tQuiet,
    std::chrono::milliseconds tCeiling = std::chrono::milliseconds::max()) {
    const double dScaled = static_cast<double>(tQuiet.count()) * MachineSlowness();
    if (dScaled >= static_cast<double>(tCeiling.count())) {
        return tCeiling;
    }
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(dScaled));
}

// The same in milliseconds, for the waits that take an int.
inline int ScaledMs(int nQuiet, int nCeiling = 1 << 30) {
    return static_cast<int>(
        ScaledWait(std::chrono::milliseconds(nQuiet), std::chrono::milliseconds(nCeiling)).count());
}

inline void PauseBetweenPolls() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// The times of one wait, and what it says of them on standard error: once it
// has stood still for as long as it would wait on a quiet machine (where it
// stands, should the test be ended before it gives up), when it gives up, and
// at its end when it took at least VELKO_TEST_WAIT_LOG milliseconds.
class CWaitWatch {
public:
    using Clock = std::chrono::steady_clock;

    CWaitWatch(std::chrono::milliseconds tQuiet, const std::source_location& where)
        : m_tQuiet(tQuiet), m_tBound(ScaledWait(tQuiet)), m_where(where) {}

    // The work moved on: the time standing still starts again.
    void Moved() { m_tMoved = Clock::now(); }
    // True once the wait has stood still for its bound.
    bool StoodStill() {
        const auto tStill = Since(m_tMoved);
        m_tLongestStill = std::max(m_tLongestStill, tStill);
        if (!m_bWarned && tStill >= m_tQuiet && m_tBound > m_tQuiet) {
            m_bWarned = true;
            Say("still waits");
        }
        return tStill >= m_tBound;
    }
    void End(bool bDone) {
        long long nLogFrom = -1;
        if (const char* pszLog = std::getenv("VELKO_TEST_WAIT_LOG")) {
            const char* pszEnd = pszLog + std::strlen(pszLog);
            if (std::from_chars(pszLog, pszEnd, nLogFrom).ptr != pszEnd) {
                nLogFrom = -1;
            }
        }
        if (!bDone) {
            Say("gave up");
        } else if (nLogFrom >= 0 && Since(m_tStart).count() >= nLogFrom) {
            Say("ended");
        }
    }

private:
    static std::chrono::milliseconds Since(Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t);
    }
    // The slowness in tenths, written without the locale's decimal mark.
    void Say(const char* pszWhat) const {
        const long long nTenths = std::llround(MachineSlowness() * 10.0);
        std::fprintf(stderr,
                     "wait at %s:%u %s after %lld ms, standing still for %lld ms at most (bound "
                     "%lld ms, slowness %lld.%lld)\n",
                     m_where.file_name(), static_cast<unsigned>(m_where.line()), pszWhat,
                     static_cast<long long>(Since(m_tStart).count()),
                     static_cast<long long>(m_tLongestStill.count()),
                     static_cast<long long>(m_tBound.count()), nTenths / 10, nTenths % 10);
    }

    const std::chrono::milliseconds m_tQuiet;
    const std::chrono::milliseconds m_tBound;
    const std::source_location m_where;
    const Clock::time_point m_tStart = Clock::now();
    Clock::time_point m_tMoved = m_tStart;
    std::chrono::milliseconds m_tLongestStill{0};
    bool m_bWarned = false;
};

// Waits until fnDone() holds, for as long as fnProgress() keeps changing: true
// once it holds, false once the progress has stood still for tStall (scaled
// with the machine). fnProgress answers anything that can be compared (a
// count, a size, a tuple of them) and is called at every poll, so it must be
// cheap. fnPause runs between polls: a sleep, or a turn of an event loop.
template <class Done, class Progress, class Pause = void (*)()>
bool WaitOnProgress(Done fnDone, Progress fnProgress,
                    std::chrono::milliseconds tStall = std::chrono::milliseconds(5000),
                    Pause fnPause = PauseBetweenPolls,
                    const std::source_location& where = std::source_location::current()) {
    CWaitWatch watch(tStall, where);
    auto last = fnProgress();
    bool bDone = fnDone();
    while (!bDone) {
        auto now = fnProgress();
        if (!(now == last)) {
            last = std::move(now);
            watch.Moved();
        } else if (watch.StoodStill()) {
            bDone = fnDone();
            break;
        }
        fnPause();
        bDone = fnDone();
    }
    watch.End(bDone);
    return bDone;
}

}  // namespace velkotest
