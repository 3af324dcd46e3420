#pragma once

// When the program's X display goes away (its VNC session or X server
// ends), a write to it would end the program by SIGPIPE, Xlib would report
// the broken connection and end the program at once with an error, its
// feeder thread still running, and Qt's own check of the connection would
// call exit(). Instead the program closes as its Exit
// does: the close given to Install runs (it ends a live link in order and
// joins the feeder), for at most kCloseWait, and the program ends with
// status 0 and one line on the standard error saying why.
//
// Thread contract: Install and Remove run on the GUI thread, Install once
// the QApplication (and with it the X connection) exists, Remove before
// what the close uses is destroyed. The close runs on a thread of its own
// while the GUI thread waits; it must not use the window system, which is
// gone.

#include <chrono>
#include <functional>

class CDisplayLoss {
public:
    static constexpr std::chrono::milliseconds kCloseWait{2000};

    // Takes over Xlib's handler of a broken connection (on the X11
    // platform) and the program's exit, with fnClose as the close.
    static void Install(std::function<void()> fnClose);
    // The program is ending by itself: exit() is an ordinary end again.
    static void Remove();

    // What a lost display does: runs the close, at most kCloseWait, and
    // ends the program with status 0. A second call while the first runs
    // waits for that one to end the program.
    [[noreturn]] static void CloseAndEnd();
};
