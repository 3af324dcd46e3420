#include "clients/velkoeyedx/displayloss.h"

#include <unistd.h>

#include <QGuiApplication>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

// Last: its macros (Bool, Status, None) would break Qt's headers.
#include <X11/Xlib.h>

namespace {

std::mutex g_mutex;
std::function<void()> g_fnClose;
std::atomic<bool> g_bEnding{false};

int OnBrokenConnection(Display*) {
    CDisplayLoss::CloseAndEnd();
}

// An exit() while the program runs is Qt's answer to a broken connection
// it found itself.
void OnExit() {
    bool bInstalled = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        bInstalled = static_cast<bool>(g_fnClose);
    }
    if (bInstalled) {
        CDisplayLoss::CloseAndEnd();
    }
}

}  // namespace

void CDisplayLoss::Install(std::function<void()> fnClose) {
    static const bool s_bRegistered = std::atexit(OnExit) == 0;
    (void)s_bRegistered;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_fnClose = std::move(fnClose);
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // A write to a display that has gone away fails, and Xlib reports it,
        // rather than the signal ending the program there and then.
        std::signal(SIGPIPE, SIG_IGN);
        XSetIOErrorHandler(OnBrokenConnection);
    }
}

void CDisplayLoss::Remove() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fnClose = nullptr;
}

void CDisplayLoss::CloseAndEnd() {
    if (g_bEnding.exchange(true)) {
        // The first end is under way (its close may have met the broken
        // connection again): it ends the program.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    std::function<void()> fnClose;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        fnClose = std::exchange(g_fnClose, nullptr);
    }
    std::fputs("VELKOEyeDX: the display has gone away; the viewer closes.\n", stderr);
    if (fnClose) {
        auto pDone = std::make_shared<std::promise<void>>();
        std::future<void> done = pDone->get_future();
        std::thread([fnClose = std::move(fnClose), pDone] {
            try {
                fnClose();
            } catch (...) {
                // Ending anyway.
            }
            pDone->set_value();
        }).detach();
        if (done.wait_for(kCloseWait) != std::future_status::ready) {
            std::fputs("VELKOEyeDX: the close did not end in time.\n", stderr);
        }
    }
    std::fflush(stderr);
    // Neither exit handlers nor destructors: they would use the display.
    _exit(0);
}
