#pragma once

// The waits of progresswait.h on a thread that runs Qt's event loop: the
// events are processed between the polls.

#include <QTest>
#include <chrono>
#include <source_location>
#include <utility>

#include "support/progresswait.h"

// QTRY_VERIFY, QTRY_VERIFY2 and QTRY_COMPARE with their time-out (5 s when none is given)
// as long as it takes on this machine now.
#define VELKO_TRY_VERIFY_WITH_TIMEOUT(expr, ms) \
    QTRY_VERIFY_WITH_TIMEOUT(expr, velkotest::ScaledMs(ms))
#define VELKO_TRY_VERIFY(expr) VELKO_TRY_VERIFY_WITH_TIMEOUT(expr, 5000)
#define VELKO_TRY_VERIFY2_WITH_TIMEOUT(expr, message, ms) \
    QTRY_VERIFY2_WITH_TIMEOUT(expr, message, velkotest::ScaledMs(ms))
#define VELKO_TRY_VERIFY2(expr, message) VELKO_TRY_VERIFY2_WITH_TIMEOUT(expr, message, 5000)
#define VELKO_TRY_COMPARE_WITH_TIMEOUT(expr, expected, ms) \
    QTRY_COMPARE_WITH_TIMEOUT(expr, expected, velkotest::ScaledMs(ms))
#define VELKO_TRY_COMPARE(expr, expected) VELKO_TRY_COMPARE_WITH_TIMEOUT(expr, expected, 5000)

// QVERIFY(expr) once expr holds, waiting for as long as progress (an
// expression of anything that can be compared) keeps changing; it fails once
// the progress has stood still for ms milliseconds (scaled).
#define VELKO_TRY_VERIFY_ON_PROGRESS(expr, progress, ms)                                          \
    do {                                                                                          \
        velkotest::PumpWhileProgressing([&] { return static_cast<bool>(expr); },                  \
                                        [&] { return progress; }, std::chrono::milliseconds(ms)); \
        QVERIFY2(expr, "it stood still before: " #expr);                                          \
    } while (false)

namespace velkotest {

inline void ProcessEventsBetweenPolls() {
    QTest::qWait(2);
}

// QTest::qWaitFor with its time-out (5 s when none is given) as long as it
// takes on this machine now.
template <class Pred>
bool QWaitFor(Pred pred, int nQuietMs = 5000) {
    return QTest::qWaitFor(std::move(pred), ScaledMs(nQuietMs));
}

// WaitOnProgress, processing the events between the polls.
template <class Done, class Progress>
bool PumpWhileProgressing(Done fnDone, Progress fnProgress,
                          std::chrono::milliseconds tStall = std::chrono::milliseconds(5000),
                          const std::source_location& where = std::source_location::current()) {
    return WaitOnProgress(std::move(fnDone), std::move(fnProgress), tStall,
                          ProcessEventsBetweenPolls, where);
}

}  // namespace velkotest
