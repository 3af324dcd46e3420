// The whole viewer program under Xvfb: it follows a run of the engine live,
// replays the same run's trace to the same poses, and ends within a second
// while a live link or a trace's feed is running.

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/serverclient.h"
#include "clients/velkoeyedx/velkoeyedxdlgopt1.h"
#include "clients/velkoeyedx/velkoeyedxlogs.h"
#include "velkoeyedx/eyewindow.h"

// Last: its macros (Bool, Status, None) would break Qt's headers.
#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;
using velkotest::BoxText;
using velkotest::CYardModel;
using velkotest::DrawOf;
using velkotest::DrawsAt;
using velkotest::EyeProgramTest;
using velkotest::Origin;
using velkotest::ScaledWait;
using velkotest::WaitForFeedEnd;
using velkotest::WaitUntil;

// The yard's automaton has 4 x 4 cells.
std::vector<std::string> CellTextures(const CTerrain& terrain) {
    std::vector<std::string> vecCells;
    for (int nCell = 0; nCell < 16; ++nCell) {
        vecCells.push_back(terrain.GetCellTexture(nCell));
    }
    return vecCells;
}

TEST_F(EyeProgramTest, FollowsALiveRunAndItsTraceReplayedEndsInTheSamePoses) {
    CYardModel yard;
    ASSERT_TRUE(yard.IsBuilt());
    const unsigned int nPort = yard.StartRun(true);
    ASSERT_NE(nPort, 0u);
    CVELKOEyeDXDlg& dlg = StartProgram();
    CRenderContext& window = m_pProgram->GetRenderContext();
    const CVELKOEyeDXLogs& logs = *dlg.GetLogsDlg();

    FollowToEnd(yard, nPort);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(BoxText(dlg.SyslogBox()), "\nConnected to VELKO\nDisconnected to VEKLO");

    // The truck drives on as the clock goes.
    const auto truckEarly = DrawOf(DrawsAt(Scene(), 0.5), "depot_truck");
    const auto truckLate = DrawOf(DrawsAt(Scene(), 6.0), "depot_truck");
    ASSERT_TRUE(truckEarly && truckLate);
    EXPECT_NE(Origin(*truckEarly), Origin(*truckLate));

    // The run half-way through, as the time box takes it.
    dlg.TimeBox()->setText("2.5");
    dlg.TimeBox()->setFocus();
    QTest::keyClick(dlg.TimeBox(), Qt::Key_Return);
    window.AdvanceFrame();
    window.AdvanceFrame();
    const QImage picture = window.RenderToImage();
    ASSERT_EQ(picture.size(), window.size());
    velkotest::SaveScreenshot(velkotest::Desktop(dlg, {{window.frameGeometry(), picture}}),
                              "velkoeyedx-live");

    const CDrawList vecLive = DrawsAt(Scene(), 100.0);
    const std::vector<std::string> vecLiveCells = CellTextures(window.GetTerrain());
    const std::string strLiveParsed = BoxText(logs.ParsingBox());
    EXPECT_EQ(vecLiveCells[5], "tree.png");

    m_notifier.SetFileChoice(yard.TracePath());
    Trigger(ID_LOADMODEL_FROMTRACE);
    ASSERT_TRUE(WaitForFeedEnd(Scene()));
    EXPECT_EQ(DrawsAt(Scene(), 100.0), vecLive);
    EXPECT_EQ(CellTextures(window.GetTerrain()), vecLiveCells);
    EXPECT_EQ(BoxText(logs.ParsingBox()), strLiveParsed);
    EXPECT_NE(BoxText(dlg.SyslogBox()).find(" Loaded successfuly"), std::string::npos);
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

// The sample model followed live as its README says: its two players show
// as the bats the viewer ships, and Start plays the run from its start even
// after an earlier replay stopped later.
TEST_F(EyeProgramTest, TheSampleModelFollowedLiveShowsItsTwoBats) {
    CYardModel sample(std::string(VELKO_TEST_DATA_DIR) + "/../../examples/pingpong", "pingpong");
    ASSERT_TRUE(sample.IsBuilt());
    const unsigned int nPort = sample.StartRun(true);
    ASSERT_NE(nPort, 0u);
    CVELKOEyeDXDlg& dlg = StartProgram();
    CRenderContext& window = m_pProgram->GetRenderContext();
    const CVELKOEyeDXLogs& logs = *dlg.GetLogsDlg();
    // An earlier replay stopped at 7.
    Trigger(ID_DEMOS_DEMO1);
    dlg.TimeBox()->setText("7");

    FollowToEnd(sample, nPort);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(BoxText(logs.ParsingBox()).find("cannot be found"), std::string::npos)
        << BoxText(logs.ParsingBox());

    EXPECT_EQ(dlg.TimeBox()->text().toStdString(), "0.00");
    dlg.PlayButton()->click();
    EXPECT_LT(Scene().GetClock().GetTime(), 1.0);
    dlg.PlayButton()->click();
    const CDrawList vecDraws = DrawsAt(Scene(), 1.0);
    const auto ping = DrawOf(vecDraws, "court_ping");
    const auto pong = DrawOf(vecDraws, "court_pong");
    ASSERT_TRUE(ping && pong);
    EXPECT_EQ(ping->strMesh, "bat.obj");
    EXPECT_EQ(pong->strMesh, "bat.obj");
    EXPECT_LT(Origin(*ping).x, Origin(*pong).x);
    window.AdvanceFrame();
    window.AdvanceFrame();
    const QImage picture = window.RenderToImage();
    ASSERT_EQ(picture.size(), window.size());
    velkotest::SaveScreenshot(velkotest::Desktop(dlg, {{window.frameGeometry(), picture}}),
                              "velkoeyedx-pingpong");

    // The run is over, its last record at 9: played from 8.8 the replay
    // stops there, and the time box shows it.
    dlg.TimeBox()->setText("8.8");
    dlg.PlayButton()->click();
    ASSERT_FALSE(Scene().GetClock().IsStopped());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Scene().GetClock().IsStopped(); }, 10000))
        << "the clock runs on at " << Scene().GetClock().GetTime();
    EXPECT_EQ(Scene().GetClock().GetTime(), 9.0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.PlayButton()->text() == "Start"; }));
    EXPECT_EQ(dlg.TimeBox()->text().toStdString(), "9.00");
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

// A second as long as it takes on this machine now: what the faults would
// wait for (the live run, which waits to be let go, or the rest of the feed)
// takes as much longer.
TEST_F(EyeProgramTest, ClosingDuringALiveRunOrATraceReplayEndsWithinASecond) {
    {
        CYardModel yard;
        ASSERT_TRUE(yard.IsBuilt());
        const unsigned int nPort = yard.StartRun(true);
        ASSERT_NE(nPort, 0u);
        CVELKOEyeDXDlg& dlg = StartProgram();
        dlg.GetServerClient().SetServer("127.0.0.1", static_cast<int>(nPort));
        Trigger(ID_LOADMODEL_FROMSERVER);
        // The model is read; the run waits to be let go, the link for its
        // next message.
        ASSERT_TRUE(velkotest::QWaitFor([&] {
            return BoxText(dlg.GetLogsDlg()->ParsingBox()).find("ModelName: yard") !=
                   std::string::npos;
        }));
        ASSERT_TRUE(Scene().IsFeeding());
        EXPECT_LT(EndProgram(), ScaledWait(1s));
    }

    // A trace long enough to be still feeding when the program ends, and no
    // longer: its document is freed at the end, which under the sanitizers
    // takes about 1 ms per 1000 records on an idle machine.
    std::string strTrace = "<Trace><ModelInfo><ModelName>many</ModelName></ModelInfo>\n<Events>\n";
    for (int i = 0; i < 40000; ++i) {
        strTrace += "<EYE_AnimTo agent='c" + std::to_string(i % 100) + "' xTime='" +
                    std::to_string(i / 100) + "'><pos x='" + std::to_string(i % 37) +
                    "' y='0' z='0'/></EYE_AnimTo>\n";
    }
    strTrace += "</Events></Trace>\n";
    StartProgram();
    m_notifier.SetFileChoice(m_files.Write("many/many.xml", strTrace));
    Trigger(ID_LOADMODEL_FROMTRACE);
    m_pProgram->GetMainDlg()->PlayButton()->click();
    ASSERT_TRUE(Scene().IsFeeding());
    ASSERT_FALSE(Scene().GetClock().IsStopped());
    EXPECT_LT(EndProgram(), ScaledWait(1s));
}

// Whether a window of the display, at any depth, is named strName.
bool HasWindowNamed(Display* pDisplay, Window window, const std::string& strName) {
    char* pszName = nullptr;
    const bool bNamed = XFetchName(pDisplay, window, &pszName) && pszName && strName == pszName;
    if (pszName) {
        XFree(pszName);
    }
    Window root = 0;
    Window parent = 0;
    Window* pChildren = nullptr;
    unsigned int nChildren = 0;
    bool bFound = bNamed;
    if (!bFound && XQueryTree(pDisplay, window, &root, &parent, &pChildren, &nChildren)) {
        for (unsigned int i = 0; i < nChildren && !bFound; ++i) {
            bFound = HasWindowNamed(pDisplay, pChildren[i], strName);
        }
    }
    if (pChildren) {
        XFree(pChildren);
    }
    return bFound;
}

// The program on an X display of its own that goes away, as when its VNC
// session ends: it closes as its Exit does, with status 0, saying why,
// instead of leaving through the X I/O error.
TEST_F(EyeProgramTest, TheProgramClosesWhenItsDisplayGoesAway) {
    QProcess server;
    server.start(QStringLiteral("Xvfb"),
                 {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    ASSERT_TRUE(server.waitForStarted()) << server.errorString().toStdString();
    QByteArray number;
    while (!number.contains('\n') && server.waitForReadyRead(30000)) {
        number += server.readAllStandardOutput();
    }
    const QString strDisplay = ":" + QString::fromLatin1(number.trimmed());
    ASSERT_GT(strDisplay.size(), 1) << "Xvfb named no display";

    QProcess viewer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", strDisplay);
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(m_files.Path("config")));
    environment.remove("QT_QPA_PLATFORM");
    viewer.setProcessEnvironment(environment);
    viewer.start(QStringLiteral(VELKOEYEDX_PROGRAM), {});
    ASSERT_TRUE(viewer.waitForStarted()) << viewer.errorString().toStdString();
    // Up once its main dialog shows on that display.
    Display* pDisplay = XOpenDisplay(strDisplay.toLatin1().constData());
    ASSERT_NE(pDisplay, nullptr);
    const bool bShown = WaitUntil([&] {
        return viewer.state() == QProcess::Running &&
               HasWindowNamed(pDisplay, DefaultRootWindow(pDisplay), "VELKOEyeDX");
    });
    XCloseDisplay(pDisplay);
    ASSERT_TRUE(bShown) << viewer.readAllStandardError().toStdString();

    server.terminate();
    ASSERT_TRUE(server.waitForFinished());
    ASSERT_TRUE(viewer.waitForFinished(30000));
    const std::string strErrors = viewer.readAllStandardError().toStdString();
    EXPECT_EQ(viewer.exitStatus(), QProcess::NormalExit) << strErrors;
    EXPECT_EQ(viewer.exitCode(), 0) << strErrors;
    EXPECT_NE(strErrors.find("the display has gone away; the viewer closes."), std::string::npos)
        << strErrors;
    EXPECT_EQ(strErrors.find("XIO"), std::string::npos) << strErrors;
}

}  // namespace
