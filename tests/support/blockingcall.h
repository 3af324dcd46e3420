#pragma once

// A blocking call of a server on its own thread, as the server's caller runs
// it, with the way to cancel it so that the thread can always be joined.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

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

    // True when the call ended by itself within tWait. Otherwise it is
    // cancelled so that the thread can be joined; a call that survives the
    // cancel ends the test program, since nothing else could end it.
    bool Finish(std::chrono::milliseconds tWait) {
        if (!m_thread.joinable()) {
            return m_bInTime;
        }
        m_bInTime = m_future.wait_for(tWait) == std::future_status::ready;
        if (!m_bInTime) {
            m_fnCancel();
            if (m_future.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
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

// Polls pred every 2 ms for at most tWait; true once it holds.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds tWait = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + tWait;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The first nonzero answer of fnPort within 5 s (a server's bound port once
// it listens); 0 when none came.
inline unsigned int WaitForPort(const std::function<unsigned int()>& fnPort) {
    unsigned int nPort = 0;
    WaitUntil([&] { return (nPort = fnPort()) != 0; });
    return nPort;
}

}  // namespace velkotest
