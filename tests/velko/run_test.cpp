// Running a model from the window with the real gcc: Initialize, Run, Step,
// Pause, Stop, the end-of-simulation dialog, the monitor with its caption
// messages and dialogs, the wait for the viewer, a start that fails, and the
// viewer's launch.

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <chrono>
#include <thread>

#include "sh_aux/xmlparser.h"
#include "sh_sdl/sdlengine.h"
#include "support/fakeviewer.h"
#include "velko/dlgreplicationconfig.h"
#include "velko/dlgrunning.h"
#include "velko/dlgwaitconn.h"
#include "velko/outputwnd.h"
#include "velko/ribbon.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

constexpr int kWatchdog = 20000;  // ms: a step or a run start that takes longer hangs

QStringList LinesStartingWith(const CMultiLineListBox* pList, const QString& strStart) {
    QStringList listFound;
    for (const QString& strLine : Lines(pList)) {
        if (strLine.startsWith(strStart)) {
            listFound << strLine;
        }
    }
    return listFound;
}

// Chooses in the end-of-simulation dialog once it is shown: fn works on it,
// then OK.
void OnReplicationDialog(std::function<void(CDlgReplicationConfig*)> fn) {
    OnNextModal([fn](QWidget* pModal) {
        auto* pDialog = qobject_cast<CDlgReplicationConfig*>(pModal);
        QVERIFY(pDialog);
        fn(pDialog);
        pDialog->accept();
    });
}

// Initialize, then Run once the run is initialised.
void InitializeAndRun(CCommandTable& commands) {
    commands.Action(ID_SIM_INITIALIZE)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_RUN)->isEnabled(), kWatchdog);
    commands.Action(ID_SIM_RUN)->trigger();
}

// The trace's records as the Model tab numbers them.
QStringList FormattedTraceRecords(const std::string& strTracePath) {
    QFile file(QString::fromStdString(strTracePath));
    file.open(QIODevice::ReadOnly);
    QStringList listLines;
    int nNumber = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const std::string strRecord = line.trimmed().toStdString();
        if (strRecord.empty() || strRecord[0] != '<') {
            continue;
        }
        try {
            if (auto formatted = FormatTraceRecord(strRecord, nNumber)) {
                listLines << QString::fromStdString(formatted->strText);
                ++nNumber;
            }
        } catch (const CXMLParseException&) {
            // The file's own head and tail lines are no record.
        }
    }
    return listLines;
}

}  // namespace

class CRunTest : public QObject {
    Q_OBJECT
private slots:
    void AStepByStepRunToItsEndTimeShowsEveryRecordAndLeavesTheModelReadyAgain() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, QStringLiteral("pingpong.velko")));
        CSDLEngine* pEngine = pFrame->Engine();
        commands.Action(ID_SIM_EXECTRACE)->trigger();
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        QVERIFY(pEngine->m_bExecutionTrace && pEngine->m_bStepByStep);
        QVERIFY(commands.Action(ID_SIM_EXECTRACE)->isChecked());

        // A decimal comma is no number: the end time stays and the user is
        // told; a point is read whatever the locale.
        OnReplicationDialog([](CDlgReplicationConfig* pDialog) {
            QCOMPARE(pDialog->EndTimeEdit()->text(), QStringLiteral("1000.000000"));
            QVERIFY(pDialog->EndTimeEdit()->isVisible() && !pDialog->LoopsEdit()->isVisible());
            pDialog->EndTimeEdit()->setText(QStringLiteral("4,5"));
        });
        commands.Action(ID_SIM_TIME)->trigger();
        QCOMPARE(pEngine->m_dEndTime.load(), 1000.0);
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("\"4,5\" is not a number: the end time stays 1000.000000."));
        OnReplicationDialog(
            [](CDlgReplicationConfig* pDialog) { pDialog->EndTimeEdit()->setText(" 4.5 "); });
        commands.Action(ID_SIM_TIME)->trigger();
        QCOMPARE(pEngine->m_dEndTime.load(), 4.5);

        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                  QStringLiteral("Model successfully initialized."), kWatchdog);
        QTRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        QVERIFY(Lines(pFrame->Output()->System()).contains("Simulation running..."));
        QVERIFY(pFrame->RunningDialog()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        int nSteps = 1;
        while (commands.Action(ID_SIM_STEP)->isEnabled() && nSteps < 200) {
            QCOMPARE(commands.Action(ID_SIM_STEP)->text(), QStringLiteral("Step"));
            commands.Action(ID_SIM_STEP)->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
            ++nSteps;
            QTest::qWait(0);  // the commands follow the run's change
        }
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsRunAlive(), kWatchdog);
        QCOMPARE(LinesStartingWith(pFrame->Output()->System(), "Minimum Event Time: ").size(),
                 nSteps);

        // Every record of the trace file arrived in the Model tab, in order,
        // numbered from 0: none lost or shown twice between the steps.
        const QStringList listTraces =
            QDir(dir.filePath("traces")).entryList({"*.trace"}, QDir::Files);
        QCOMPARE(listTraces.size(), 1);
        const QStringList listExpected =
            FormattedTraceRecords(dir.filePath("traces/" + listTraces[0]).toStdString());
        QVERIFY(listExpected.size() > 10);
        QVERIFY(listExpected.first().startsWith("0 "));
        QCOMPARE(Lines(pFrame->Output()->Model()).mid(1), listExpected);

        // The run ended by itself: the model can be built and run again.
        QTRY_VERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(commands.Action(ID_CODE_ALL)->isEnabled());
        QVERIFY(commands.Action(ID_SIM_STEPBYSTEP)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_STEP)->isEnabled());
        QVERIFY(!pFrame->RunningDialog()->PauseButton()->isEnabled());
        pFrame->Ribbon()->findChild<QTabBar*>()->setCurrentIndex(3);  // "Simulation"
        pFrame->resizeDocks({pFrame->Output()}, {320}, Qt::Vertical);
        pFrame->Output()->Tabs()->setCurrentIndex(1);
        pFrame->Output()->Model()->scrollToBottom();
        QTest::qWait(50);
        SaveScreenshot(pFrame, QStringLiteral("run-finished"));
    }

    void AStepThatEndsTheRunReturnsAndTheLabelsFollow() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, QStringLiteral("pingpong.velko")));
        CSDLEngine* pEngine = pFrame->Engine();
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        OnReplicationDialog([](CDlgReplicationConfig* pDialog) {
            pDialog->ModeButton(EM_NEVER)->click();
            QVERIFY(!pDialog->EndTimeEdit()->isVisible() && !pDialog->LoopsEdit()->isVisible());
            pDialog->ModeButton(EM_BY_LOOPS)->click();
            QVERIFY(!pDialog->EndTimeEdit()->isVisible() && pDialog->LoopsEdit()->isVisible());
            QCOMPARE(pDialog->LoopsEdit()->text(), QStringLiteral("1000"));
            pDialog->LoopsEdit()->setText(QStringLiteral("1"));
        });
        commands.Action(ID_SIM_TIME)->trigger();
        QCOMPARE(pEngine->m_nEndMode.load(), int(EM_BY_LOOPS));
        QCOMPARE(pEngine->m_nLoopLimit.load(), 1);

        // Run, Step, Step: the second Step makes the run's last step.
        InitializeAndRun(commands);
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        QToolButton* pPause = pFrame->RunningDialog()->PauseButton();
        QVERIFY(pFrame->RunningDialog()->isVisible());
        QTRY_VERIFY(pPause->isEnabled());
        QCOMPARE(pPause->text(), QStringLiteral("Step"));
        for (int nStep = 1; nStep <= 2; ++nStep) {
            // The dialog's button is the Step command; a second Step while
            // one is pending is ignored.
            QTest::mouseClick(pPause, Qt::LeftButton);
            commands.Action(ID_SIM_STEP)->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        }
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        QCOMPARE(LinesStartingWith(pFrame->Output()->System(), "Minimum Event Time: ").size(), 3);
        QVERIFY(!commands.Action(ID_SIM_STEP)->isEnabled());
        QVERIFY(!pPause->isEnabled());
        QVERIFY(!pFrame->RunningDialog()->StopButton()->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
    }

    void StopGivesTheTimeInSinglePrecisionAndStepPausesAndResumes() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        // ping's first serve, and the earliest event after the first step,
        // comes at 1234.5678.
        const std::string strModel = CopySampleChanged(
            dir, "pingpong.velko", "name=\"period\" type=\"double\" value=\"1.5\"",
            "name=\"period\" type=\"double\" value=\"1234.5678\"");
        OpenAndBuild(pFrame, strModel);
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->m_nEndMode = EM_NEVER;
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();

        InitializeAndRun(commands);
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("Minimum Event Time: 1234.567800"));
        QVERIFY(commands.Action(ID_SIM_STOP)->isEnabled());
        commands.Action(ID_SIM_STOP)->trigger();
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("Simulation stop done at time 1234.567749"));
        QVERIFY(pFrame->RunningDialog()->isHidden());
        QVERIFY(!commands.Action(ID_SIM_STOP)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // Stop right after Step, before the step is shown: the step's time
        // comes first, then the stop at the time the step reached.
        InitializeAndRun(commands);
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        commands.Action(ID_SIM_STEP)->trigger();
        commands.Action(ID_SIM_STOP)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        const QStringList listSystem = Lines(pFrame->Output()->System());
        const QString strMinimum = listSystem[listSystem.size() - 2];
        QVERIFY2(strMinimum.startsWith("Minimum Event Time: "), qPrintable(strMinimum));
        const double dReached = strMinimum.mid(20).toDouble();
        QCOMPARE(listSystem.last(), QStringLiteral("Simulation stop done at time %1")
                                        .arg(static_cast<float>(dReached), 0, 'f', 6));
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // Without step by step, Step pauses a going run and resumes it.
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        QVERIFY(!pEngine->m_bStepByStep);
        InitializeAndRun(commands);
        QToolButton* pPause = pFrame->RunningDialog()->PauseButton();
        QCOMPARE(pPause->text(), QStringLiteral("Pause"));
        commands.Action(ID_SIM_STEP)->trigger();
        QCOMPARE(pPause->text(), QStringLiteral("Resume"));
        QTRY_COMPARE(pEngine->GetRunState(), RS_PAUSED);
        QTest::mouseClick(pPause, Qt::LeftButton);
        QCOMPARE(pPause->text(), QStringLiteral("Pause"));
        QVERIFY(pEngine->m_bGo);
        // The time shows once the monitor's second has passed.
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->RunningDialog()->TimeEdit()->text().isEmpty(), 3000);
        SaveScreenshot(pFrame->RunningDialog(), QStringLiteral("run-running"));
        QTest::mouseClick(pFrame->RunningDialog()->StopButton(), Qt::LeftButton);
        QVERIFY(
            Lines(pFrame->Output()->System()).last().startsWith("Simulation stop done at time "));
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
    }

    // A Stop given while a step was still on its way belongs to that run:
    // when its model is replaced before the step is shown, the next model's
    // first step shows no stop.
    void AStopLeftPendingByAReplacedModelIsNotTheNextModels() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        // Each serve takes a while, so that a step is still being made when
        // Stop comes.
        const std::string strModel =
            CopySampleChanged(dir, "pingpong.velko", "serves = serves + 1;",
                              "serves = serves + 1; { volatile long n; for (n = 0; n &lt; "
                              "100000000; n++) {} }");
        QVERIFY(!strModel.empty());
        for (int nModel = 1; nModel <= 2; ++nModel) {
            OpenAndBuild(pFrame, strModel);
            pFrame->Engine()->m_nEndMode = EM_NEVER;
            if (!pFrame->Engine()->m_bStepByStep) {
                commands.Action(ID_SIM_STEPBYSTEP)->trigger();
            }
            const int nFrom = Lines(pFrame->Output()->System()).size();
            InitializeAndRun(commands);
            QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
            const QStringList listFirstStep = Lines(pFrame->Output()->System()).mid(nFrom);
            QVERIFY2(!listFirstStep.join("\n").contains("Simulation stop done"),
                     qPrintable(listFirstStep.join("\n")));
            // Step, and Stop while that step is on its way (a step of pong's,
            // shown at once, is followed by another).
            for (int nTry = 0; nTry < 100 && !pFrame->IsStepPending(); ++nTry) {
                commands.Action(ID_SIM_STEP)->trigger();
            }
            QVERIFY(pFrame->IsStepPending());
            commands.Action(ID_SIM_STOP)->trigger();
            // The run ends; the window has not yet heard of it when the next
            // model replaces this one.
            const auto start = std::chrono::steady_clock::now();
            while (pFrame->IsRunAlive() && std::chrono::steady_clock::now() - start <
                                               std::chrono::milliseconds(kWatchdog)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            QVERIFY(!pFrame->IsRunAlive());
        }
    }

    void TheRunWaitsForTheViewerUntilCancelledOrConnected() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, QStringLiteral("pingpong.velko")));
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->SetViewerPort(0);  // a free port, shown in the dialog
        commands.Action(ID_SIM_USECLIENTS)->trigger();
        CDlgWaitConn* pWait = pFrame->WaitConnDialog();

        // The dialog comes with Initialize, before the wait has begun.
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QVERIFY(pWait->isVisible());
        QCOMPARE(pFrame->CaptionBar()->Text(), QStringLiteral("Waiting for client's connection."));
        QTRY_VERIFY_WITH_TIMEOUT(pEngine->GetServer().GetBoundPort() != 0, kWatchdog);
        const unsigned nPort = pEngine->GetServer().GetBoundPort();
        QTRY_COMPARE_WITH_TIMEOUT(
            pWait->Text()->text(),
            QStringLiteral("Waiting for client connections in port#%1").arg(nPort), 3000);
        SaveScreenshot(pWait, QStringLiteral("run-client-connections"));
        QTest::mouseClick(pWait->CancelButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                  QStringLiteral("Model successfully initialized."), kWatchdog);
        QVERIFY(pWait->isHidden());
        QTRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // A viewer on loopback: the run starts once it is there and it gets
        // the model, the records and the end of the run.
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(pEngine->GetServer().GetBoundPort() != 0, kWatchdog);
        CFakeViewer viewer(pEngine->GetServer().GetBoundPort(), CFakeViewer::FOLLOW_RUN);
        QTRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                  QStringLiteral("Client Connection established and model "
                                                 "succesfully initialized."),
                                  kWatchdog);
        QVERIFY(pWait->isHidden());
        QVERIFY(viewer.WaitForMessages(1));
        const std::string strInfo = viewer.GetMessages().front();
        QVERIFY(strInfo.find("<ModelInfo>") != std::string::npos);
        QVERIFY(strInfo.find("<ModelName>pingpong</ModelName>") != std::string::npos);
        QTRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        QVERIFY(viewer.WaitForEnd(std::chrono::milliseconds(kWatchdog)));
        QVERIFY(viewer.GetMessages().size() > 2);
        QVERIFY(viewer.GetMessages().back().find("<EndReplication />") != std::string::npos);
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
    }

    void AStartThatFailsIsReportedAndTheWindowStaysUsable() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        // Without a model the commands say what to do.
        pFrame->OnInitialize();
        pFrame->OnRun();
        pFrame->OnStep();
        pFrame->OnStop();
        pFrame->OnSimulationTime();
        // A text already on screen is counted in its box, not shown twice.
        QStringList listBoxes = TakeBoxes();
        listBoxes.sort();
        QCOMPARE(listBoxes,
                 QStringList({"Load a model first.", "Load first a model.", "Open first a model"}));

        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, QStringLiteral("pingpong.velko"));
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        // A Step with no run to make it does not wait for one.
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        pFrame->OnStep();
        QVERIFY(!pFrame->IsStepPending());
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        commands.Action(ID_SIM_USECLIENTS)->trigger();

        // No library: the start fails before the wait for the viewer. The
        // engine says so, then the reason follows.
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(
            LinesStartingWith(pFrame->Output()->System(), "Initialization failed: ").size(), 1,
            kWatchdog);
        const QStringList listSystem = Lines(pFrame->Output()->System());
        const QString strReason =
            LinesStartingWith(pFrame->Output()->System(), "Initialization failed: ")[0];
        QVERIFY2(strReason.contains("pingpong.so"), qPrintable(strReason));
        QCOMPARE(listSystem.indexOf("The run could not start: the model library could not be "
                                    "loaded. Build the model first."),
                 listSystem.indexOf(strReason) - 1);
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("The model could not be initialized."));
        QVERIFY(pFrame->WaitConnDialog()->isHidden());
        QVERIFY(pFrame->RunningDialog()->isHidden());
        QTRY_VERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
        QVERIFY(commands.Action(ID_CODE_ALL)->isEnabled());

        // Built, the same model starts.
        commands.Action(ID_SIM_USECLIENTS)->trigger();
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                  QStringLiteral("Model successfully initialized."), kWatchdog);
        QTRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
    }

    void AStepsErrorIsShownAndTheErrorReportIsAtHandFromTheMenu() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        // ping's first serve goes through a channel that does not exist.
        OpenAndBuild(pFrame, CopySampleChanged(dir, "pingpong.velko", "via=\"'toPong'\"",
                                               "via=\"'toNowhere'\""));
        QAction* pReport = commands.Action(ID_SIM_ERRORREPORT);
        bool bInMenu = false;
        for (QAction* pItem : pFrame->ApplicationMenu()->actions()) {
            if (pItem->menu() && pItem->menu()->title() == QStringLiteral("Simulation")) {
                bInMenu = pItem->menu()->actions().contains(pReport);
            }
        }
        QVERIFY(bInMenu);
        QVERIFY(!pReport->isEnabled());
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        commands.Action(ID_SIM_EXECTRACE)->trigger();

        const int nErrors = pFrame->Output()->Errors()->count();
        InitializeAndRun(commands);
        QTRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        const QString strError = QStringLiteral(
            "Error on process court_ping for tick event on time 1.500000. No s'ha trobat el canal "
            "identificat per toNowhere");
        const QStringList listShown = Lines(pFrame->Output()->Errors()).mid(nErrors);
        QVERIFY2(listShown.join('\n').contains(strError), qPrintable(listShown.join('\n')));
        QVERIFY(!pFrame->Engine()->m_bErrorPending);
        // The error's record is a numbered line of the Model tab too.
        QCOMPARE(Lines(pFrame->Output()->Model()).filter(strError).size(), 1);

        commands.Action(ID_SIM_STOP)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        QVERIFY(pReport->isEnabled());
        const int nBefore = pFrame->Output()->Errors()->count();
        pReport->trigger();
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nBefore), listShown);
    }

    void LaunchTheEyeStartsTheProgramOfTheSettingsOrSaysWhyNot() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        const QString strMark = dir.filePath(QStringLiteral("started"));
        const std::string strViewer =
            WriteFile(dir, QStringLiteral("viewer.sh"),
                      QByteArray("#!/bin/sh\ntouch '") + strMark.toUtf8() + "'\n");
        QFile::setPermissions(QString::fromStdString(strViewer),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QSettings().setValue(SETTING_VIEWER_PATH, QString::fromStdString(strViewer));
        pFrame->Commands().Action(ID_SIM_LAUNCHEYE)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(strMark), kWatchdog);

        const QString strMissing = dir.filePath(QStringLiteral("no-viewer"));
        QSettings().setValue(SETTING_VIEWER_PATH, strMissing);
        pFrame->Commands().Action(ID_SIM_LAUNCHEYE)->trigger();
        const QString strLast = Lines(pFrame->Output()->System()).last();
        QVERIFY2(
            strLast.startsWith(
                QStringLiteral("The viewer could not be started from \"%1\": ").arg(strMissing)),
            qPrintable(strLast));
    }
};

VELKO_TEST_SUITE("Run", CRunTest)
#include "run_test.moc"
