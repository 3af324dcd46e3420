#pragma once

// A blocking call of a server on its own thread, as the server's caller runs
// it, with the way to cancel it so that the thread can always be joined; and
// the waits of the tests (see progresswait.h).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "support/progresswait.h"

namespace velkotest {

class CBlockingCall {
public:
    CBlockingCall(std::function<void()> fnCall, std::function<void()> fnCancel)
        : m_fnCancel(std::move(fnCancel)), m_future(m_done.get_future()) {
        m_thread = std::thread([this, fnCall = std::move(fnCall)] {
            try {
                fnCall();
            } catch (...) {
                ADD_FAILURE() << "the blocking call threw";
            }
            m_done.set_value();
        });
    }
    ~CBlockingCall() { Finish(std::chrono::seconds(5)); }

    CBlockingCall(const CBlockingCall&) = delete;
    CBlockingCall& operator=(const CBlockingCall&) = delete;

    // True when the call ended by itself within tWait, as long as a wait of
    // tWait on a quiet machine takes on this one. Otherwise it is cancelled so
    // that the thread can be joined; a call that survives the cancel ends the
    // test program, since nothing else could end it.
    bool Finish(std::chrono::milliseconds tWait) { return FinishWithin(ScaledWait(tWait)); }
    // The same within tWindow as it is, for a call that must not end by
    // itself: the window is not made longer on a busy machine.
    bool FinishWithin(std::chrono::milliseconds tWindow) {
        if (!m_thread.joinable()) {
            return m_bInTime;
        }
        m_bInTime = m_future.wait_for(tWindow) == std::future_status::ready;
        if (!m_bInTime) {
            m_fnCancel();
            if (m_future.wait_for(ScaledWait(std::chrono::seconds(5))) !=
                std::future_status::ready) {
                std::fprintf(stderr, "a blocking call survived its cancel\n");
                std::_Exit(1);
            }
        }
        m_thread.join();
        return m_bInTime;
    }

private:
    std::function<void()> m_fnCancel;
    std::promise<void> m_done;
    std::future<void> m_future;
    std::thread m_thread;
    bool m_bInTime = false;
};

// Polls pred every 2 ms until it holds (true), for at most tWait as long as
// a wait of tWait on a quiet machine takes on this one. A wait for work whose
// progress can be seen waits on it instead: WaitOnProgress.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds tWait = std::chrono::milliseconds(5000),
                      const std::source_location& where = std::source_location::current()) {
    CWaitWatch watch(tWait, where);
    bool bHolds = pred();
    while (!bHolds && !watch.StoodStill()) {
        PauseBetweenPolls();
        bHolds = pred();
    }
    watch.End(bHolds);
    return bHolds;
}

// The first nonzero answer of fnPort within 5 s, scaled with the machine (a
// server's bound port once it listens); 0 when none came.
inline unsigned int WaitForPort(const std::function<unsigned int()>& fnPort) {
    unsigned int nPort = 0;
    WaitUntil([&] { return (nPort = fnPort()) != 0; });
    return nPort;
}

}  // namespace velkotest
