// The 3D viewer program: velkoeyedx
// It replays the simulator's traces and follows its runs live; everything is
// chosen from the main dialog's menu.

#include <QApplication>
#include <clocale>

#include "clients/velkoeyedx/displayloss.h"
#include "clients/velkoeyedx/velkoeyedxapp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Numbers in traces, files and on the wire never take a decimal comma.
    std::setlocale(LC_NUMERIC, "C");
    // The 3D window stays when the dialog goes; the dialog ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    CVELKOEyeDXApp app;
    // When the display goes away (its VNC session ends), even while the
    // windows are made, the viewer closes as its Exit does.
    CDisplayLoss::Install([&app] { app.CloseWithoutDisplay(); });
    app.InitInstance();
    const int nResult = application.exec();
    CDisplayLoss::Remove();
    return nResult;
}
