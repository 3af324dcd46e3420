#pragma once

// A 3D viewer on loopback for the tests of the viewer link, and a client of
// the statistics servers: it connects to a port, sends the viewer's start
// message (or another first message) and keeps every message it receives.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "support/progresswait.h"

namespace velkotest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";

// The start message as the viewer writes it: an empty user and password.
inline std::string ViewerStartMessage() {
    const std::string s6 = " " + std::string(6, '\t');
    const std::string s8 = " " + std::string(8, '\t');
    const std::string s9 = " " + std::string(9, '\t');
    return "\t" + kDeclaration + s6 + "<!--  Mensaje de EVENTO del usuario sobre el servidor -->" +
           s6 + "<StatisticMsg>" + s8 + "<Operacion ID ='Start'>" + s9 +
           "<MaquinaID ID='VIEWERPC'/>" + s9 + "<UsuarioID ID=''/>" + s9 + "<Password PASS=''/>" +
           s8 + "</Operacion>" + s6 + "</StatisticMsg>";
}

class CFakeViewer {
public:
    enum Mode {
        FOLLOW_RUN,         // start message, then read until the link ends
        HANG_UP_AFTER_ONE,  // start message, read one message, close
        DROP_BEFORE_START,  // connect and close at once
        SILENT,             // connect and never send anything
        STALLED,            // start message, then never read again
    };

    CFakeViewer(unsigned int nPort, Mode eMode, std::string strStartMessage = ViewerStartMessage())
        : m_eMode(eMode), m_strStartMessage(std::move(strStartMessage)) {
        m_thread = std::thread([this, nPort] { Run(nPort); });
    }
    ~CFakeViewer() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = true;
        }
        m_cv.notify_all();
        m_socket.Cancel();
        m_thread.join();
    }

    // True once the link has ended, waiting for as long as messages keep
    // coming; false once none came for tStall (scaled with the machine).
    bool WaitForEnd(std::chrono::milliseconds tStall = 5000ms) {
        return WaitWhileReceiving([this] { return m_bEnded; }, tStall);
    }
    // True once the link has ended within tBound as it is: for a peer that
    // the server must drop within a time of its own, which a longer wait
    // would not tell from one it drops later.
    bool WaitForEndWithin(std::chrono::milliseconds tBound) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, tBound, [this] { return m_bEnded; });
    }
    // True once at least nCount messages have arrived, waiting for as long as
    // messages keep coming; false once none came for tStall (scaled).
    bool WaitForMessages(size_t nCount, std::chrono::milliseconds tStall = 5000ms) {
        return WaitWhileReceiving([&] { return m_vecMessages.size() >= nCount; }, tStall);
    }
    // True once the client has connected, within tWait (scaled).
    bool WaitForLink(std::chrono::milliseconds tWait = 5000ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, ScaledWait(tWait), [this] { return m_bLinked; });
    }
    bool IsLinked() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bLinked;
    }
    std::vector<std::string> GetMessages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecMessages;
    }

private:
    // Waits for fnDone (called with the lock held) while messages arrive.
    template <class Done>
    bool WaitWhileReceiving(Done fnDone, std::chrono::milliseconds tStall) {
        const std::chrono::milliseconds tBound = ScaledWait(tStall);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!fnDone()) {
            const size_t nBefore = m_vecMessages.size();
            if (!m_cv.wait_for(lock, tBound,
                               [&] { return fnDone() || m_vecMessages.size() != nBefore; })) {
                return false;
            }
        }
        return true;
    }

    void Run(unsigned int nPort) {
        try {
            Follow(nPort);
        } catch (...) {
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEnded = true;
        m_cv.notify_all();
    }

    void Follow(unsigned int nPort) {
        const auto deadline = Clock::now() + ScaledWait(5s);
        while (m_socket.ConnectClient("127.0.0.1", nPort) != 1) {
            if (Clock::now() > deadline) {
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bLinked = true;
            m_cv.notify_all();
        }
        if (m_eMode == DROP_BEFORE_START) {
            m_socket.Close();
            return;
        }
        m_socket.AttachArchives();
        if (m_eMode != SILENT) {
            m_socket.enviaMsj(m_strStartMessage);
        }
        if (m_eMode == STALLED) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [this] { return m_bQuit; });
            return;
        }
        for (;;) {
            std::string strMessage;
            try {
                m_socket.recibeMsj(strMessage);
            } catch (const CCustomException&) {
                return;  // the link has ended
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecMessages.push_back(strMessage);
            m_cv.notify_all();
            if (m_eMode == HANG_UP_AFTER_ONE) {
                m_socket.Close();
                return;
            }
        }
    }

    Mode m_eMode;
    std::string m_strStartMessage;
    CBidirecSocket m_socket;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bLinked = false;
    bool m_bEnded = false;
    bool m_bQuit = false;
    std::vector<std::string> m_vecMessages;
    std::thread m_thread;
};

}  // namespace velkotest
