// The output pane at its line limit: what one more line costs the window, and
// how many lines a second the window takes from a worker that reports one line
// at a time (an error per event). Runs offscreen unless a platform is given:
//   build/bench/velko_outputbench [lines]

#include <QApplication>
#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "sh_widgets/guinotifier.h"
#include "velko/outputwnd.h"

namespace {

// Waits until the window's thread is idle, the newest line laid out and
// drawn.
void Settle() {
    QApplication::processEvents();
    QApplication::processEvents();
}

// Fills the list to nLines lines.
void Fill(COutputList* pList, int nLines) {
    for (int i = 0; pList->count() < nLines; ++i) {
        pList->AddItem(QStringLiteral("error %1 in process p of block b at time %2").arg(i).arg(i));
    }
    Settle();
}

// CPU time of the calling thread.
double ThreadCpuMs() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int nLines = argc > 1 ? std::atoi(argv[1]) : 500;

    // One line at a time, laid out and drawn before the next comes: with a
    // tenth of the limit, and at the limit.
    double dSingleMs[2] = {};
    for (int nHeld : {OUTPUT_LINE_LIMIT / 10, OUTPUT_LINE_LIMIT}) {
        COutputWnd pane(nullptr);
        pane.resize(900, 300);
        pane.show();
        COutputList* pList = pane.Errors();
        pane.Tabs()->setCurrentWidget(pList);
        Fill(pList, nHeld);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < nLines; ++i) {
            pList->AddItem(QStringLiteral("single line %1").arg(i), 0x0000FF);
            Settle();
        }
        dSingleMs[nHeld == OUTPUT_LINE_LIMIT] =
            static_cast<double>(timer.nsecsElapsed()) / 1e6 / nLines;
    }

    COutputWnd pane(nullptr);
    pane.resize(900, 300);
    pane.show();
    COutputList* pList = pane.Errors();
    pane.Tabs()->setCurrentWidget(pList);
    CGuiNotifier notifier(
        &pane, [pList](NotifyPane, const QString& strLine) { pList->AddItem(strLine, 0x0000FF); });
    Fill(pList, OUTPUT_LINE_LIMIT);

    // A worker reports a line every 20 ms (an error per event of a slow run):
    // how busy the window's thread is meanwhile, and how late the last line
    // shows.
    const int nWorkerLines = 100;
    const QString strLast = QStringLiteral("worker line %1").arg(nWorkerLines - 1);
    std::atomic<qint64> nLastSent{0};
    const double dCpuBefore = ThreadCpuMs();
    QElapsedTimer timer;
    timer.start();
    std::thread worker([&] {
        for (int i = 0; i < nWorkerLines; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            nLastSent = timer.nsecsElapsed();
            GetNotifier().OutputLine(NP_ERRORS, "worker line " + std::to_string(i));
        }
    });
    while (pList->item(pList->count() - 1)->text() != strLast) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Settle();
    const double dLateMs = static_cast<double>(timer.nsecsElapsed() - nLastSent) / 1e6;
    const double dWallMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    const double dBusyMs = ThreadCpuMs() - dCpuBefore;
    worker.join();

    std::printf("output pane, line limit %d\n", OUTPUT_LINE_LIMIT);
    for (int i : {0, 1}) {
        std::printf(
            "one line at a time, laid out and drawn before the next, %5d lines held: "
            "%.3f ms per line, %.0f lines/s\n",
            i ? OUTPUT_LINE_LIMIT : OUTPUT_LINE_LIMIT / 10, dSingleMs[i], 1000.0 / dSingleMs[i]);
    }
    std::printf(
        "a worker reporting 50 lines/s: window thread busy %.0f%% (%.2f ms CPU per "
        "line), last line shown %.0f ms after it was sent\n",
        100.0 * dBusyMs / dWallMs, dBusyMs / nWorkerLines, dLateMs);
    return pList->count() == OUTPUT_LINE_LIMIT ? 0 : 1;
}
