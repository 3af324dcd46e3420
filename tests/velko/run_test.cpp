// Running a model from the window with the real gcc: Initialize, Run, Step,
// Pause, Stop, the end-of-simulation dialog, the monitor with its caption
// messages and dialogs, the wait for the viewer, a start that fails, the
// viewer's launch, closing a model whose signals other instances have not
// read, and the quits the system asks for by a signal.

#include <unistd.h>

#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryFile>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/ipaddress.h"
#include "sh_aux/xmlparser.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlremotelink.h"
#include "sh_widgets/propertygrid.h"
#include "support/fakemodellibrary.h"
#include "support/fakeviewer.h"
#include "support/lostsignals.h"
#include "support/runwait.h"
#include "velko/dlgclosewait.h"
#include "velko/dlgreplicationconfig.h"
#include "velko/dlgrunning.h"
#include "velko/dlgwaitconn.h"
#include "velko/networkcommands.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/ribbon.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// ms on a quiet machine (the waits scale it): a step or a run start that takes
// longer hangs.
constexpr int kWatchdog = 20000;

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
    VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_RUN)->isEnabled(), kWatchdog);
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

// A process that ticks once a time unit for ever: a run that only a Stop
// ends, with no decision or task (a fake library runs it).
const QByteArray kTickerModel =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"ticker\">\n"
    "  <block name=\"b\" id=\"1\" IP=\"127.0.0.1\" portRead=\"8700\">\n"
    "    <process name=\"P\" id=\"1\" IP=\"127.0.0.1\" portRead=\"8701\" implementation=\"\">\n"
    "      <start><start name=\"start\" id=\"1\"/>"
    "<output name=\"tick\" id=\"2\" self=\"yes\" to=\"\" via=\"\">"
    "<param name=\"delay\" value=\"1\"/></output><setstate name=\"Loop\" id=\"3\"/></start>\n"
    "      <state name=\"Loop\"><input name=\"tick\" id=\"10\"/>"
    "<output name=\"tick\" id=\"11\" self=\"yes\" to=\"\" via=\"\">"
    "<param name=\"delay\" value=\"1\"/></output><setstate name=\"Loop\" id=\"12\"/></state>\n"
    "    </process>\n  </block>\n</system>\n";

// The traces in dir's traces folder, by name.
QStringList TraceEnds(const QTemporaryDir& dir) {
    QStringList listEnds;
    const QDir traces(dir.filePath("traces"));
    for (const QString& strName : traces.entryList({"*.trace"}, QDir::Files, QDir::Name)) {
        listEnds << QString::fromUtf8(ReadBytes(traces.filePath(strName)).right(40));
    }
    return listEnds;
}

// A model whose process P, at strOwn, sends "sig" with a parameter of 2,000
// characters, 20,000 times, to Q at 127.0.0.2:nPort, which is no process of
// this instance.
QByteArray RemoteSenderModel(const std::string& strOwn, unsigned int nOwnPort, unsigned int nPort) {
    const QString strLoad(2000, QLatin1Char('x'));
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"far\">\n"
               "  <block name=\"net\" id=\"1\" IP=\"%1\" portRead=\"%2\">\n"
               "    <process name=\"Q\" id=\"1\" IP=\"127.0.0.2\" portRead=\"%3\" "
               "implementation=\"\">\n"
               "      <start><start name=\"start\" id=\"1001\"/>"
               "<setstate name=\"Idle\" id=\"1002\"/></start>\n"
               "      <state name=\"Idle\"><input name=\"sig\" id=\"1003\"/>"
               "<setstate name=\"Idle\" id=\"1004\"/></state>\n    </process>\n"
               "    <process name=\"P\" id=\"2\" IP=\"%1\" portRead=\"%2\" "
               "implementation=\"\">\n"
               "      <DCLS><DCL name=\"sent\" type=\"int\" value=\"0\"/></DCLS>\n"
               "      <start><start name=\"start\" id=\"2001\"/>"
               "<output name=\"tick\" id=\"2002\" self=\"yes\" to=\"\" via=\"\"/>"
               "<setstate name=\"Loop\" id=\"2003\"/></start>\n"
               "      <state name=\"Loop\"><input name=\"tick\" id=\"2010\"/>"
               "<decision name=\"more\" id=\"2011\" iftrue=\"2012\" iffalse=\"2100\">"
               "sent &lt; 20000</decision>"
               "<task name=\"count\" id=\"2012\">sent = sent + 1;</task>"
               "<output name=\"sig\" id=\"2013\" self=\"no\" to=\"\" via=\"'c1'\">"
               "<userparam name=\"load\" value=\"%4\"/></output>"
               "<output name=\"tick\" id=\"2014\" self=\"yes\" to=\"\" via=\"\"/>"
               "<setstate name=\"Loop\" id=\"2015\"/>"
               "<setstate name=\"Done\" id=\"2100\"/></state>\n    </process>\n"
               "    <channels><channel name=\"c1\" start=\"P\" end=\"Q\" dual=\"no\">"
               "<event name=\"sig\"/></channel></channels>\n  </block>\n</system>\n")
        .arg(QString::fromStdString(strOwn))
        .arg(nOwnPort)
        .arg(nPort)
        .arg(strLoad)
        .toUtf8();
}

// A receiver of one link at 127.0.0.2 that reads nothing until it is told
// to, then counts the messages until the link ends (its sender's end aside).
// It tells no counts, as a receiver of an older kind.
class CRawReceiver {
public:
    // A receiver of the link protocol that reads nothing until Read, then
    // reads the link to its end and tells its sender the last count (all
    // read, none unhandled).
    CRawReceiver() {
        m_bListening = m_listener.CreateServer(0, "127.0.0.2") && m_listener.Listen();
        m_thread = std::thread([this] {
            CBidirecSocket& link = m_link;
            if (m_listener.Accept(link) && m_listener.Accept(m_counts)) {
                link.AttachArchives();
                m_counts.AttachArchives();
                m_bLinked = true;
                while (!m_bRead) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::string strMessage;
                bool bEnd = false;
                while (link.ReceiveMessage(strMessage, 1u << 20) == SR_MESSAGE) {
                    bEnd = strMessage == kRemoteEndMark;
                    m_nMessages += bEnd ? 0 : 1;
                }
                if (bEnd) {
                    m_counts.enviaMsj(MakeRemoteCount(Signals(), 0));
                    m_counts.HalfClose(0);
                    while (m_counts.ReceiveMessage(strMessage, 1u << 20) == SR_MESSAGE) {
                    }
                }
            }
            m_bEnded = true;
        });
    }
    // A test that fails early leaves the sender's link open: the link is
    // cut so that the reading ends.
    ~CRawReceiver() {
        m_bRead = true;
        m_listener.Cancel();
        m_link.Cancel();
        m_counts.Cancel();
        m_thread.join();
    }
    bool IsListening() const { return m_bListening; }
    unsigned int Port() const { return m_listener.GetBoundPort(); }
    bool IsLinked() const { return m_bLinked; }
    void Read() { m_bRead = true; }
    bool HasEnded() const { return m_bEnded; }
    // The signals received, the link's opening aside.
    long long Signals() const { return std::max(0LL, m_nMessages.load() - 1); }

private:
    CBidirecSocket m_listener;
    CBidirecSocket m_link;
    CBidirecSocket m_counts;
    bool m_bListening = false;
    std::atomic<bool> m_bLinked{false};
    std::atomic<bool> m_bRead{false};
    std::atomic<bool> m_bEnded{false};
    std::atomic<long long> m_nMessages{0};
    std::thread m_thread;
};

// The "sig" records of the one trace in dir's traces folder.
int CountSignalsTraced(const QTemporaryDir& dir) {
    const QStringList listTraces =
        QDir(dir.filePath("traces")).entryList({"*.trace"}, QDir::Files, QDir::Time);
    if (listTraces.isEmpty()) {
        return -1;
    }
    QFile file(dir.filePath("traces/" + listTraces.first()));
    file.open(QIODevice::ReadOnly);
    int nSignals = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        nSignals += line.contains("<output") && line.contains("\"sig\"") ? 1 : 0;
    }
    return nSignals;
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
        // Shown and taken again, a time is the same number; "%f" shows it
        // when that is exact.
        for (const double dTime : {1e-7, 3.0000004, 4.5}) {
            pEngine->m_dEndTime = dTime;
            OnReplicationDialog([](CDlgReplicationConfig*) {});
            commands.Action(ID_SIM_TIME)->trigger();
            QCOMPARE(pEngine->m_dEndTime.load(), dTime);
        }
        // A time before 0 and a number of loops below 0 are refused, each
        // with a word.
        const int nSystemFrom = pFrame->Output()->System()->count();
        OnReplicationDialog([](CDlgReplicationConfig* pDialog) {
            QCOMPARE(pDialog->EndTimeEdit()->text(), QStringLiteral("4.500000"));
            pDialog->EndTimeEdit()->setText(QStringLiteral("-5"));
            pDialog->LoopsEdit()->setText(QStringLiteral("-3"));
        });
        commands.Action(ID_SIM_TIME)->trigger();
        QCOMPARE(pEngine->m_dEndTime.load(), 4.5);
        QCOMPARE(pEngine->m_nLoopLimit.load(), 1000);
        QCOMPARE(Lines(pFrame->Output()->System()).mid(nSystemFrom),
                 QStringList({"\"-3\" is no number of loops (it is below 0): the number of "
                              "loops stays 1000.",
                              "\"-5\" is no end time (it is before 0): the end time stays "
                              "4.500000."}));
        // Nor does it change the end mode it would end by.
        const int nModeFrom = pFrame->Output()->System()->count();
        OnReplicationDialog([](CDlgReplicationConfig* pDialog) {
            pDialog->ModeButton(EM_BY_LOOPS)->click();
            pDialog->LoopsEdit()->setText(QStringLiteral("-3"));
        });
        commands.Action(ID_SIM_TIME)->trigger();
        QCOMPARE(pEngine->m_nEndMode.load(), int(EM_BY_TIME));
        QCOMPARE(pEngine->m_nLoopLimit.load(), 1000);
        QCOMPARE(Lines(pFrame->Output()->System()).mid(nModeFrom),
                 QStringList({"\"-3\" is no number of loops (it is below 0): the number of "
                              "loops stays 1000.",
                              "The end of a simulation stays \"By time\"."}));
        // "-0" is the time 0; a time "%f" would write in 309 digits is shown
        // as short as it reads back.
        struct SShown {
            const char* pszTyped;
            double dTime;
            const char* pszShown;
        };
        for (const SShown& shown : {SShown{"-0", 0.0, "0.000000"}, SShown{"1e308", 1e308, "1e+308"},
                                    SShown{"4.5", 4.5, "4.500000"}}) {
            OnReplicationDialog([&](CDlgReplicationConfig* pDialog) {
                pDialog->EndTimeEdit()->setText(QString::fromLatin1(shown.pszTyped));
            });
            commands.Action(ID_SIM_TIME)->trigger();
            QCOMPARE(pEngine->m_dEndTime.load(), shown.dTime);
            QVERIFY(!std::signbit(pEngine->m_dEndTime.load()));
            OnReplicationDialog([&](CDlgReplicationConfig* pDialog) {
                QCOMPARE(pDialog->EndTimeEdit()->text(), QString::fromLatin1(shown.pszShown));
            });
            commands.Action(ID_SIM_TIME)->trigger();
        }

        commands.Action(ID_SIM_INITIALIZE)->trigger();
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                       QStringLiteral("Model successfully initialized."),
                                       kWatchdog);
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        QVERIFY(Lines(pFrame->Output()->System()).contains("Simulation running..."));
        QVERIFY(pFrame->RunningDialog()->isVisible());
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        int nSteps = 1;
        while (commands.Action(ID_SIM_STEP)->isEnabled() && nSteps < 200) {
            QCOMPARE(commands.Action(ID_SIM_STEP)->text(), QStringLiteral("Step"));
            commands.Action(ID_SIM_STEP)->trigger();
            VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
            ++nSteps;
            QTest::qWait(0);  // the commands follow the run's change
        }
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsRunAlive(), kWatchdog);
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
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        QToolButton* pPause = pFrame->RunningDialog()->PauseButton();
        QVERIFY(pFrame->RunningDialog()->isVisible());
        VELKO_TRY_VERIFY(pPause->isEnabled());
        QCOMPARE(pPause->text(), QStringLiteral("Step"));
        for (int nStep = 1; nStep <= 2; ++nStep) {
            // The dialog's button is the Step command; a second Step while
            // one is pending is ignored.
            QTest::mouseClick(pPause, Qt::LeftButton);
            commands.Action(ID_SIM_STEP)->trigger();
            VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        }
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        const QStringList listMinimum =
            LinesStartingWith(pFrame->Output()->System(), "Minimum Event Time: ");
        QCOMPARE(listMinimum.size(), 3);
        // The run ended by its number of loops: the Output says so last,
        // after its last step's lines, with the time it had reached.
        VELKO_TRY_COMPARE(Lines(pFrame->Output()->System()).last(),
                          "Simulation finished after 2 steps, the next event at time " +
                              listMinimum.last().mid(20) + ".");
        // The run is over: "Running" goes, as after Stop.
        VELKO_TRY_VERIFY(pFrame->RunningDialog()->isHidden());
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("Minimum Event Time: 1234.567800"));
        QVERIFY(commands.Action(ID_SIM_STOP)->isEnabled());
        commands.Action(ID_SIM_STOP)->trigger();
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("Simulation stop done at time 1234.567749"));
        QVERIFY(pFrame->RunningDialog()->isHidden());
        QVERIFY(!commands.Action(ID_SIM_STOP)->isEnabled());
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // Stop right after Step, before the step is shown: the step's time
        // comes first, then the stop at the time the step reached.
        InitializeAndRun(commands);
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        commands.Action(ID_SIM_STEP)->trigger();
        commands.Action(ID_SIM_STOP)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        const QStringList listSystem = Lines(pFrame->Output()->System());
        const QString strMinimum = listSystem[listSystem.size() - 2];
        QVERIFY2(strMinimum.startsWith("Minimum Event Time: "), qPrintable(strMinimum));
        const double dReached = strMinimum.mid(20).toDouble();
        QCOMPARE(listSystem.last(), QStringLiteral("Simulation stop done at time %1")
                                        .arg(static_cast<float>(dReached), 0, 'f', 6));
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // Without step by step, Step pauses a going run and resumes it.
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        QVERIFY(!pEngine->m_bStepByStep);
        InitializeAndRun(commands);
        QToolButton* pPause = pFrame->RunningDialog()->PauseButton();
        QCOMPARE(pPause->text(), QStringLiteral("Pause"));
        commands.Action(ID_SIM_STEP)->trigger();
        QCOMPARE(pPause->text(), QStringLiteral("Resume"));
        VELKO_TRY_COMPARE(pEngine->GetRunState(), RS_PAUSED);
        QTest::mouseClick(pPause, Qt::LeftButton);
        QCOMPARE(pPause->text(), QStringLiteral("Pause"));
        QVERIFY(pEngine->m_bGo);
        // The time shows once the monitor's second has passed.
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->RunningDialog()->TimeEdit()->text().isEmpty(), 3000);
        // The properties pane shows the run's values: ping has served its
        // five balls.
        pFrame->Properties()->SelectProcess("court_ping");
        const auto Served = [&] {
            const CPropertyGrid* pGrid = pFrame->Properties()->Grid();
            for (int i = 0; i < pGrid->Tree()->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* pTop = pGrid->Tree()->topLevelItem(i);
                for (int j = 0; j < pTop->childCount() && CPropertyGrid::Name(pTop) == "DCL"; ++j) {
                    if (CPropertyGrid::Name(pTop->child(j)) == QStringLiteral("serves")) {
                        return CPropertyGrid::Value(pTop->child(j));
                    }
                }
            }
            return QString();
        };
        VELKO_TRY_VERIFY_ON_PROGRESS(Served() == QStringLiteral("5"), RunProgress(*pEngine),
                                     kWatchdog);
        QVERIFY(pFrame->Properties()->IsReadOnly());
        SaveScreenshot(pFrame->RunningDialog(), QStringLiteral("run-running"));
        QTest::mouseClick(pFrame->RunningDialog()->StopButton(), Qt::LeftButton);
        QVERIFY(
            Lines(pFrame->Output()->System()).last().startsWith("Simulation stop done at time "));
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        // The stop has said where the run ended; nothing says it finished.
        QTest::qWait(0);
        QVERIFY(
            Lines(pFrame->Output()->System()).last().startsWith("Simulation stop done at time "));
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
            VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
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
            CSDLEngine& engine = *pFrame->Engine();
            WaitOnProgress([&] { return !pFrame->IsRunAlive(); },
                           [&] { return RunProgress(engine); },
                           std::chrono::milliseconds(kWatchdog));
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(pEngine->GetServer().GetBoundPort() != 0, kWatchdog);
        const unsigned nPort = pEngine->GetServer().GetBoundPort();
        VELKO_TRY_COMPARE_WITH_TIMEOUT(
            pWait->Text()->text(),
            QStringLiteral("Waiting for client connections in port#%1").arg(nPort), 3000);
        SaveScreenshot(pWait, QStringLiteral("run-client-connections"));
        QTest::mouseClick(pWait->CancelButton(), Qt::LeftButton);
        VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                       QStringLiteral("Model successfully initialized."),
                                       kWatchdog);
        QVERIFY(pWait->isHidden());
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);

        // A viewer on loopback: the run starts once it is there and it gets
        // the model, the records and the end of the run.
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(pEngine->GetServer().GetBoundPort() != 0, kWatchdog);
        CFakeViewer viewer(pEngine->GetServer().GetBoundPort(), CFakeViewer::FOLLOW_RUN);
        VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                       QStringLiteral("Client Connection established and model "
                                                      "succesfully initialized."),
                                       kWatchdog);
        QVERIFY(pWait->isHidden());
        QVERIFY(viewer.WaitForMessages(1));
        const std::string strInfo = viewer.GetMessages().front();
        QVERIFY(strInfo.find("<ModelInfo>") != std::string::npos);
        QVERIFY(strInfo.find("<ModelName>pingpong</ModelName>") != std::string::npos);
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        commands.Action(ID_SIM_RUN)->trigger();
        QVERIFY(viewer.WaitForEnd(std::chrono::milliseconds(kWatchdog)));
        QVERIFY(viewer.GetMessages().size() > 2);
        QVERIFY(viewer.GetMessages().back().find("<EndReplication />") != std::string::npos);
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        // The run ended by itself, nothing left to happen: no longer
        // "Simulation running..." as the last word.
        VELKO_TRY_VERIFY2(
            Lines(pFrame->Output()->System()).last().startsWith("Simulation finished after "),
            qPrintable(Lines(pFrame->Output()->System())
                           .mid(Lines(pFrame->Output()->System()).size() - 5)
                           .join(" | ")));
        QVERIFY(Lines(pFrame->Output()->System()).last().endsWith(" steps."));
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
        VELKO_TRY_COMPARE_WITH_TIMEOUT(
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
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
        QVERIFY(commands.Action(ID_CODE_ALL)->isEnabled());

        // Built, the same model starts.
        commands.Action(ID_SIM_USECLIENTS)->trigger();
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->CaptionBar()->Text(),
                                       QStringLiteral("Model successfully initialized."),
                                       kWatchdog);
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
    }

    void AStepsErrorIsShownAndTheErrorReportIsAtHandFromTheMenu() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        // ping's first serve, and its timer after it, go through channels
        // that do not exist: two errors in one step.
        CopySampleChanged(dir, "pingpong.velko", "via=\"'toPong'\"", "via=\"'toNowhere'\"");
        OpenAndBuild(pFrame, CopySampleChanged(
                                 dir, "pingpong.velko",
                                 "<output name=\"tick\" id=\"14\" self=\"yes\" to=\"\" via=\"\">",
                                 "<output name=\"tick\" id=\"14\" self=\"no\" to=\"\" "
                                 "via=\"'toElsewhere'\">"));
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
        // Each error of the step, as one line.
        const QString strError = QStringLiteral(
            "Error on process court_ping for tick event on time 1.500000. No s'ha trobat el canal "
            "identificat per toNowhere");
        const QStringList listShown = Lines(pFrame->Output()->Errors()).mid(nErrors);
        QCOMPARE(listShown,
                 QStringList({"ERROR: ping: PID: court_ping (" + strError + ")",
                              "ERROR: ping: PID: court_ping (" +
                                  QString(strError).replace("toNowhere", "toElsewhere") + ")"}));
        QVERIFY(!pFrame->Engine()->m_bErrorPending);
        // The error's record is a numbered line of the Model tab too.
        QCOMPARE(Lines(pFrame->Output()->Model()).filter(strError).size(), 1);

        commands.Action(ID_SIM_STOP)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_INITIALIZE)->isEnabled(), kWatchdog);
        QVERIFY(pReport->isEnabled());
        const int nBefore = pFrame->Output()->Errors()->count();
        // The report has each agent's last error, on one line.
        pReport->trigger();
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nBefore), listShown.mid(1));
    }

    // SIGTERM, SIGINT and SIGHUP end the program as Exit does, whatever it
    // is doing: the run is stopped and its trace ended whole, a series ends,
    // the wait for the viewer is given up, a dialog's question is answered
    // Cancel, a build is broken off, and the settings are saved.
    void AQuitBySignalEndsTheProgramAsExitDoesInEveryState() {
        CStartedApp started;
        QTemporaryDir dir;
        const std::string strTicker = WriteFile(dir, QStringLiteral("ticker.velko"), kTickerModel);
        const std::string strRuns =
            WriteFile(dir, QStringLiteral("runs.exp"),
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>"
                      "<experiment label='one' path='one.param'>a</experiment></experiments>");
        WriteFile(dir, QStringLiteral("one.param"),
                  "<?xml version='1.0' encoding='utf-8'?>\n<Parametrization/>");
        const auto steps = [](CMainFrame* pFrame) {
            return pFrame->Engine()->GetRunStatus().nSteps;
        };
        const auto running = [&](CMainFrame* pFrame) {
            InitializeAndRun(pFrame->Commands());
            VELKO_TRY_VERIFY_WITH_TIMEOUT(steps(pFrame) > 0, kWatchdog);
        };
        struct SCase {
            const char* pszState;
            int nSignal;
            bool bTraced;  // a run was started
            std::function<void(CMainFrame*)> fnInto;
        };
        const SCase cases[] = {
            {"a run", SIGTERM, true, running},
            {"a paused run", SIGINT, true,
             [&](CMainFrame* pFrame) {
                 running(pFrame);
                 pFrame->Commands().Action(ID_SIM_STEP)->trigger();
                 VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->Engine()->GetRunState(), RS_PAUSED,
                                                kWatchdog);
             }},
            {"a run step by step", SIGHUP, true,
             [&](CMainFrame* pFrame) {
                 pFrame->Commands().Action(ID_SIM_STEPBYSTEP)->trigger();
                 InitializeAndRun(pFrame->Commands());
                 VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsStepPending(), kWatchdog);
                 pFrame->Commands().Action(ID_SIM_STEP)->trigger();
             }},
            {"the wait for the viewer", SIGTERM, true,
             [](CMainFrame* pFrame) {
                 pFrame->Engine()->SetViewerPort(0);
                 pFrame->Commands().Action(ID_SIM_USECLIENTS)->trigger();
                 pFrame->Commands().Action(ID_SIM_INITIALIZE)->trigger();
                 VELKO_TRY_COMPARE_WITH_TIMEOUT(pFrame->Engine()->GetRunState(),
                                                RS_WAITING_FOR_VIEWER, kWatchdog);
             }},
            {"a series", SIGTERM, true,
             [&](CMainFrame* pFrame) {
                 QVERIFY(pFrame->Document().m_loader.LoadExperiments(strRuns));
                 pFrame->Document().m_strExperimentFile = strRuns;
                 // The main model's run ends before its first tick (it takes
                 // its end at Initialize), the experiment's never.
                 pFrame->Engine()->m_nEndMode = EM_BY_TIME;
                 pFrame->Engine()->m_dEndTime = 0.5;
                 pFrame->Commands().Action(ID_SIM_INITIALIZE)->trigger();
                 VELKO_TRY_VERIFY_WITH_TIMEOUT(
                     pFrame->Commands().Action(ID_SIM_EXPERIMENT)->isEnabled(), kWatchdog);
                 pFrame->Engine()->m_nEndMode = EM_NEVER;
                 pFrame->Commands().Action(ID_SIM_EXPERIMENT)->trigger();
                 VELKO_TRY_VERIFY_WITH_TIMEOUT(Lines(pFrame->Output()->System())
                                                       .contains("Simulation: one experiment "
                                                                 "running...") &&
                                                   steps(pFrame) > 0,
                                               kWatchdog);
             }},
            {"the Simulation time dialog", SIGTERM, false,
             [](CMainFrame* pFrame) {
                 // Raised while the dialog asks: it is answered Cancel (its
                 // loop returns) and the program ends.
                 OnNextModal([](QWidget*) { std::raise(SIGTERM); });
                 pFrame->Commands().Action(ID_SIM_TIME)->trigger();
                 QVERIFY(!QApplication::activeModalWidget());
             }},
            {"a menu open", SIGINT, false,
             [](CMainFrame* pFrame) {
                 // Raised while the menu waits for a choice: it goes.
                 QTimer::singleShot(50, [] { std::raise(SIGINT); });
                 QVERIFY(!pFrame->ApplicationMenu()->exec(pFrame->mapToGlobal(QPoint(20, 20))));
             }},
        };
        for (const SCase& quit : cases) {
            CMainFrame* pFrame = started.Frame();
            QCOMPARE(pFrame->LoadModel(strTicker), int(LM_LOADED));
            CSDLEngine* pEngine = pFrame->Engine();
            pEngine->SetLibraryFactory([] { return std::make_unique<CFakeModelLibrary>(); });
            pEngine->m_bRepresentationTrace = false;
            pEngine->m_bExecutionTrace = true;
            pEngine->m_nEndMode = EM_NEVER;
            QSettings().remove(SETTING_GEOMETRY);
            quit.fnInto(pFrame);
            if (quit.bTraced) {
                std::raise(quit.nSignal);
            }
            VELKO_TRY_VERIFY2_WITH_TIMEOUT(!pFrame->isVisible(), quit.pszState, kWatchdog);
            QVERIFY2(!pFrame->Engine(), quit.pszState);
            QCOMPARE(started.App().QuitSignal(), quit.nSignal);
            QVERIFY2(QSettings().contains(SETTING_GEOMETRY), quit.pszState);
            const QStringList listEnds = TraceEnds(dir);
            QVERIFY2(listEnds.isEmpty() != quit.bTraced, quit.pszState);
            for (const QString& strEnd : listEnds) {
                QVERIFY2(strEnd.endsWith("</Events>\r\n</Trace>"),
                         qPrintable(QStringLiteral("%1: %2").arg(quit.pszState, strEnd)));
            }
            QDir(dir.filePath("traces")).removeRecursively();
            started.Restart();
        }

        // A build: broken off, it ends failed and the program after it.
        CMainFrame* pFrame = started.Frame();
        QCOMPARE(pFrame->LoadModel(CopySample(dir, QStringLiteral("pingpong.velko"))),
                 int(LM_LOADED));
        QSettings().remove(SETTING_GEOMETRY);
        pFrame->Commands().Action(ID_CODE_ALL)->trigger();
        QVERIFY(pFrame->IsBuilding());
        std::raise(SIGTERM);
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->isVisible(), kWatchdog);
        QVERIFY(!pFrame->IsBuilding());
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("Some errors occurred during the process."));
        QVERIFY(QSettings().contains(SETTING_GEOMETRY));
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(QFile::exists(strMark), kWatchdog);

        const QString strMissing = dir.filePath(QStringLiteral("no-viewer"));
        QSettings().setValue(SETTING_VIEWER_PATH, strMissing);
        pFrame->Commands().Action(ID_SIM_LAUNCHEYE)->trigger();
        const QString strLast = Lines(pFrame->Output()->System()).last();
        QVERIFY2(
            strLast.startsWith(
                QStringLiteral("The viewer could not be started from \"%1\": ").arg(strMissing)),
            qPrintable(strLast));
    }
    // A run that sends to another instance is stopped while its send waits
    // for a receiver that does not read. Closing the model, or the program,
    // then waits in a window that says for whom and for how many signals,
    // while the main window stays free; a second close joins the wait, and
    // so does a quit asked for meanwhile (Ctrl+Q, the main window's close
    // button, the session closing every window), which ends the program
    // after it. When the receiver reads, the wait ends by itself; given up
    // with "Stop waiting", what was not taken is counted lost, and a quit
    // tells that loss in the wait window, the program ending once it is
    // read. A quit by signal waits a moment at most and tells the loss on
    // standard error. Either way every signal traced as sent was received
    // or counted lost.
    void ClosingAModelWaitsForItsReceiversAndCountsWhatItGivesUp() {
        const std::string strOwn = CNetworkCommands::ChooseIntranetAddress(GetLocalIPList());
        if (strOwn.empty()) {
            QSKIP("This machine has no address of its own.");
        }
        CStartedApp started;
        QTemporaryDir dir;
        unsigned int nOwnPort = 0;
        {
            CBidirecSocket free;
            QVERIFY(free.CreateServer(0, strOwn));
            nOwnPort = free.GetBoundPort();
        }
        const std::string strOther = CopySample(dir, QStringLiteral("pingpong.velko"));
        // What comes during the wait.
        enum EJoin { J_CLOSE, J_OPEN, J_CTRL_Q, J_SESSION_END, J_WINDOW_CLOSE, J_SIGNAL };
        struct SCase {
            int nStart;  // the model closed, another one opened, or the program ended
            EJoin eJoin;
        };
        const SCase cases[] = {{ID_FILE_CLOSE, J_CLOSE},       {ID_FILE_OPEN, J_CLOSE},
                               {ID_APP_EXIT, J_CLOSE},         {ID_FILE_NEW, J_CTRL_Q},
                               {ID_FILE_CLOSE, J_SESSION_END}, {ID_FILE_OPEN, J_WINDOW_CLOSE},
                               {ID_FILE_CLOSE, J_SIGNAL},      {ID_FILE_CLOSE, J_OPEN}};
        for (const SCase& test : cases) {
            const int nCase = test.nStart;
            const bool bQuit =
                nCase == ID_APP_EXIT || (test.eJoin != J_CLOSE && test.eJoin != J_OPEN);
            // The other model opens after the wait.
            const bool bOpens = !bQuit && (nCase == ID_FILE_OPEN || test.eJoin == J_OPEN);
            const QString strCase = QStringLiteral("case %1/%2").arg(nCase).arg(test.eJoin);
            CMainFrame* pFrame = started.Frame();
            CCommandTable& commands = pFrame->Commands();
            CRawReceiver receiver;
            QVERIFY(receiver.IsListening());
            const std::string strModel =
                WriteFile(dir, QStringLiteral("far.velko"),
                          RemoteSenderModel(strOwn, nOwnPort, receiver.Port()));
            OpenAndBuild(pFrame, strModel);
            commands.Action(ID_NET_INTRANET)->trigger();
            if (!pFrame->Engine()->m_bExecutionTrace) {
                commands.Action(ID_SIM_EXECTRACE)->trigger();
            }
            const int nErrorsBefore = pFrame->Output()->Errors()->count();
            const int nSystemBefore = pFrame->Output()->System()->count();
            InitializeAndRun(commands);
            VELKO_TRY_VERIFY_WITH_TIMEOUT(receiver.IsLinked(), kWatchdog);
            // The send waits once the steps stop: none for half a second
            // (scaled, a busy machine's step takes longer).
            long long nSteps = -1;
            QElapsedTimer watchdog;
            watchdog.start();
            while (pFrame->Engine()->GetRunStatus().nSteps != nSteps) {
                QVERIFY(watchdog.elapsed() < ScaledMs(2 * kWatchdog));
                nSteps = pFrame->Engine()->GetRunStatus().nSteps;
                QTest::qWait(ScaledMs(500));
            }
            if (nCase == ID_APP_EXIT) {
                // Exit while the run goes on: the run is stopped first.
                commands.Action(ID_APP_EXIT)->trigger();
            } else {
                commands.Action(ID_SIM_STOP)->trigger();
                VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->IsRunAlive(), kWatchdog);
                if (nCase == ID_FILE_CLOSE) {
                    commands.Action(ID_FILE_CLOSE)->trigger();
                } else if (nCase == ID_FILE_NEW) {
                    QTest::keyClick(pFrame, Qt::Key_N, Qt::ControlModifier);
                } else {
                    // The other model opens once the wait is over.
                    QCOMPARE(started.App().OpenDocumentFile(strOther), int(LM_WAITING));
                }
            }
            CDlgCloseWait* pWait = pFrame->CloseWaitDialog();
            VELKO_TRY_VERIFY_WITH_TIMEOUT(pWait->isVisible(), kWatchdog);
            const QString strPeer = QStringLiteral("127.0.0.2:%1 (").arg(receiver.Port());
            QVERIFY2(pWait->Text()->text().contains(strPeer), qPrintable(pWait->Text()->text()));
            QCOMPARE(pWait->StopButton()->text(), QStringLiteral("Stop waiting"));
            // The main window is not held by the wait: its close button and
            // its keys reach it.
            QCOMPARE(QGuiApplication::modalWindow(), nullptr);
            if (nCase == ID_FILE_CLOSE || nCase == ID_FILE_NEW) {
                // The model that goes is not said to be ready any more.
                QCOMPARE(pFrame->windowTitle(), QStringLiteral("No Document - VELKO"));
                QCOMPARE(pFrame->CaptionBar()->Text(),
                         QStringLiteral("Load an VELKO model to start working."));
            }
            // More closes join the wait: the Close command and, while the
            // program ends, the session's end closing every window and a
            // close posted to the window.
            commands.Action(ID_FILE_CLOSE)->trigger();
            if (nCase == ID_APP_EXIT) {
                QApplication::closeAllWindows();
                QCoreApplication::postEvent(pFrame, new QCloseEvent);
            }
            QTemporaryFile stderrFile;
            QVERIFY(stderrFile.open());
            int nStderr = -1;
            switch (test.eJoin) {
                case J_CLOSE:
                    break;
                case J_OPEN:
                    QCOMPARE(started.App().OpenDocumentFile(strOther), int(LM_WAITING));
                    break;
                case J_CTRL_Q:
                    // In the wait window, which has the keyboard.
                    pWait->activateWindow();
                    QVERIFY(QTest::qWaitForWindowActive(pWait));
                    QTest::keyClick(pWait, Qt::Key_Q, Qt::ControlModifier);
                    break;
                case J_SESSION_END:
                    // What closing every window does to the wait window.
                    pWait->windowHandle()->close();
                    break;
                case J_WINDOW_CLOSE:
                    // What the window system sends for the title bar's close.
                    QCoreApplication::postEvent(pFrame->windowHandle(), new QCloseEvent);
                    break;
                case J_SIGNAL:
                    std::fflush(stderr);
                    nStderr = dup(STDERR_FILENO);
                    dup2(stderrFile.handle(), STDERR_FILENO);
                    std::raise(SIGTERM);
                    break;
            }
            if (test.eJoin != J_SIGNAL) {
                QTest::qWait(300);
                QVERIFY2(pWait->isVisible() && pFrame->isVisible() && pFrame->Engine(),
                         qPrintable(strCase));
                QCOMPARE(pFrame->Engine()->GetRootAgent()->m_strName, std::string("far"));
            }
            long long nLostTold = -1;
            if (nCase == ID_APP_EXIT) {
                SaveScreenshot(pWait, QStringLiteral("remote-close-wait"));
                QTest::mouseClick(pWait->StopButton(), Qt::LeftButton);
                // The loss is told before the program ends, which waits for
                // it to be read.
                VELKO_TRY_VERIFY_WITH_TIMEOUT(pWait->Text()->text().endsWith("they are lost."),
                                              kWatchdog);
                QTest::qWait(200);
                QVERIFY(pWait->isVisible() && pFrame->isVisible() && !pFrame->Engine());
                nLostTold = pWait->Text()->text().section(' ', 2, 2).toLongLong();
                SaveScreenshot(pWait, QStringLiteral("remote-quit-loss"));
                QCOMPARE(pWait->StopButton()->text(), QStringLiteral("OK"));
                QTest::mouseClick(pWait->StopButton(), Qt::LeftButton);
            } else if (test.eJoin == J_SIGNAL) {
                // Nobody reads and nobody stops the wait: it ends by itself.
                VELKO_TRY_VERIFY_WITH_TIMEOUT(!pFrame->isVisible(), kWatchdog);
                std::fflush(stderr);
                dup2(nStderr, STDERR_FILENO);
                close(nStderr);
                const QByteArray told = ReadBytes(stderrFile.fileName());
                const qsizetype nAt = told.indexOf("velko: Up to ");
                QVERIFY2(nAt >= 0 && told.contains(" signals sent to other instances had not "
                                                   "been handled there when the program ended; "
                                                   "they are lost.\n"),
                         told.constData());
                nLostTold = told.mid(nAt + 13).split(' ').first().toLongLong();
            } else {
                receiver.Read();
                VELKO_TRY_VERIFY_WITH_TIMEOUT(!pWait->isVisible(), kWatchdog);
            }
            if (bQuit) {
                // The quit that waited ends the program.
                VELKO_TRY_VERIFY2_WITH_TIMEOUT(!pFrame->isVisible(), qPrintable(strCase),
                                               kWatchdog);
                QVERIFY(!pWait->isVisible());
            } else {
                QVERIFY(pFrame->isVisible());
            }
            if (bOpens) {
                QCOMPARE(pFrame->Engine()->GetRootAgent()->m_strName, std::string("pingpong"));
                QCOMPARE(pFrame->CaptionBar()->Text(),
                         QStringLiteral("Ready to configure the model. Then, you need to "
                                        "create the DLL."));
            } else {
                QVERIFY(!pFrame->Engine());
            }
            receiver.Read();
            VELKO_TRY_VERIFY_ON_PROGRESS(receiver.HasEnded(), receiver.Signals(), kWatchdog);
            const QStringList listWaits =
                Lines(pFrame->Output()->System()).mid(nSystemBefore).filter("Waiting for other");
            QCOMPARE(listWaits.size(), 1);
            QVERIFY2(listWaits[0].startsWith("Waiting for other instances to read what was sent "
                                             "to them: " +
                                             strPeer),
                     qPrintable(listWaits[0]));

            long long nLost = 0;
            QStringList listGivenUp;
            for (const QString& strLine : Lines(pFrame->Output()->Errors()).mid(nErrorsBefore)) {
                nLost += SignalsLostInLine(strLine.toStdString());
                if (strLine.contains("when the wait for it was stopped")) {
                    listGivenUp << strLine;
                }
            }
            const int nTraced = CountSignalsTraced(dir);
            QVERIFY(nTraced > 0);
            // Given up, the signals the receiver never said it handled are
            // counted, as up to so many: it may read some of them later.
            QVERIFY2(
                bQuit ? receiver.Signals() + nLost >= nTraced && nLost <= nTraced
                      : receiver.Signals() + nLost == nTraced,
                qPrintable(
                    QStringLiteral("%1 received + %2 lost of %3: %4")
                        .arg(receiver.Signals())
                        .arg(nLost)
                        .arg(nTraced)
                        .arg(Lines(pFrame->Output()->Errors()).mid(nErrorsBefore).join(" | "))));
            QCOMPARE(listGivenUp.size(), nCase == ID_APP_EXIT ? 1 : 0);
            if (nLostTold >= 0) {
                // What the quit told is what it gave up.
                QVERIFY(nLostTold > 0);
                QCOMPARE(nLostTold, nLost);
            }
            QDir(dir.filePath("traces")).removeRecursively();
            if (bQuit) {
                started.Restart();
            }
        }
    }
};

VELKO_TEST_SUITE("Run", CRunTest)
#include "run_test.moc"
