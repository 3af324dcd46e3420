// The simulator program: velko [model file] [--screenshot FILE]
// With --screenshot the window is drawn into FILE (PNG) once the model is
// shown, and the program ends.
//
// Ended by SIGTERM, SIGINT or SIGHUP, it ends as Exit ends it, and then dies
// of that signal, so that whoever sent it (a shell, a session) sees that.

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <clocale>
#include <csignal>

#include "velko/mainfrm.h"
#include "velko/velkoapp.h"

namespace {

int RunProgram(int argc, char** argv, int& nQuitSignal) {
    QApplication application(argc, argv);
    // Numbers in traces, files and generated code never take a decimal comma.
    std::setlocale(LC_NUMERIC, "C");
    CVELKOApp app;

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulation of SDL models"));
    parser.addHelpOption();
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Draw the window into <file> and quit."),
                                        QStringLiteral("file"));
    parser.addOption(screenshot);
    parser.addPositionalArgument(QStringLiteral("model"), QStringLiteral("The model to open."));
    parser.process(application);

    if (!app.InitInstance(parser.positionalArguments())) {
        return 1;
    }
    if (parser.isSet(screenshot)) {
        const QString strFile = parser.value(screenshot);
        // After the model has opened (the open is queued first).
        QTimer::singleShot(500, &application, [&app, &application, strFile] {
            const bool bSaved = app.MainFrame()->grab().save(strFile, "PNG");
            app.ExitInstance();
            application.exit(bSaved ? 0 : 1);
        });
    }
    const int nResult = application.exec();
    app.ExitInstance();
    nQuitSignal = app.QuitSignal();
    return nResult;
}

}  // namespace

int main(int argc, char** argv) {
    int nQuitSignal = 0;
    const int nResult = RunProgram(argc, argv, nQuitSignal);
    if (nQuitSignal != 0) {
        std::signal(nQuitSignal, SIG_DFL);
        std::raise(nQuitSignal);
    }
    return nResult;
}
