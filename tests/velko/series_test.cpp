// "Executes the experiment" with the real gcc: the main model, then each
// experiment with its own parametrization and library, and a series that
// stops when a run cannot start.

#include <QLabel>

#include "sh_sdl/sdlengine.h"
#include "velko/experimentseries.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

constexpr int kWatchdog = 60000;  // ms: a series that takes longer hangs

QStringList LinesSince(CMainFrame* pFrame, int nFrom, const QString& strStart) {
    QStringList listFound;
    for (const QString& strLine : Lines(pFrame->Output()->System()).mid(nFrom)) {
        if (strLine.startsWith(strStart)) {
            listFound << strLine;
        }
    }
    return listFound;
}

// Initialize, and wait until the run is initialised.
void Initialize(CMainFrame* pFrame) {
    CCommandTable& commands = pFrame->Commands();
    commands.Action(ID_SIM_INITIALIZE)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_EXPERIMENT)->isEnabled(), kWatchdog);
}

// The series; returns when it has ended and a new run can start.
void Execute(CMainFrame* pFrame) {
    CCommandTable& commands = pFrame->Commands();
    commands.Action(ID_SIM_EXPERIMENT)->trigger();
    QVERIFY(PumpUntil([&] { return !pFrame->Series().IsActive(); }, kWatchdog));
    QVERIFY(PumpUntil([&] { return commands.Action(ID_SIM_INITIALIZE)->isEnabled(); }));
}

void ImportExperiments(CMainFrame* pFrame, const QString& strPath) {
    AnswerFileDialog(strPath);
    pFrame->Commands().Action(ID_EXPERIMENT_IMPORT)->trigger();
    QCOMPARE(pFrame->ExperimentationLabel()->text(), QStringLiteral("runs.exp"));
}

}  // namespace

class CSeriesTest : public QObject {
    Q_OBJECT
private slots:
    void EveryExperimentRunsInTurnAndARunThatCannotStartEndsTheSeries() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, "pingpong.velko"));
        CSDLEngine* pEngine = pFrame->Engine();
        // "one" has its parametrization; "two"'s is missing, so its run goes
        // on with the one before it.
        WriteFile(dir, "params/one.param",
                  "<?xml version='1.0' encoding='utf-8'?>\n<Parametrization><DCLS>"
                  "<DCL agent='court_ping' name='limit' type='int' value='3'/>"
                  "</DCLS></Parametrization>");
        const QString strRuns = QString::fromStdString(
            WriteFile(dir, "runs.exp",
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>\n"
                      "<experiment label=\"two\" path=\"params/missing.param\"></experiment>\n"
                      "<experiment label=\"one\" path=\"params/one.param\"></experiment>\n"
                      "</experiments>"));
        QVERIFY(!commands.Action(ID_SIM_EXPERIMENT)->isEnabled());
        ImportExperiments(pFrame, strRuns);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        QVERIFY(QFile::exists(dir.filePath("params/one.so")));

        // Step by step is turned off by the series, which would otherwise
        // wait for a Step.
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        int nFrom = pFrame->Output()->System()->count();
        Initialize(pFrame);
        Execute(pFrame);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: one experiment running...",
                              "Simulation: two experiment running..."}));
        QCOMPARE(LinesSince(pFrame, nFrom, "Model closed.").size(), 3);
        QCOMPARE(pEngine->m_nRunCount.load(), 3);
        QVERIFY(!pEngine->m_bStepByStep);
        // "two" kept what "one" had set: both runs are traced under "one".
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("params/one").toStdString());
        QCOMPARE(pEngine->m_strExperimentLabel, std::string("one"));
        QCOMPARE(QDir(dir.filePath("traces")).entryList().filter("pingpong [one] (").size(), 2);
        // The model view was closed: the file labels are reset and the
        // series needs a new import.
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("No file loaded"));
        QVERIFY(!commands.Action(ID_SIM_EXPERIMENT)->isEnabled());

        // "one"'s library is gone: the series stops at its run, with a report,
        // and "two" never runs.
        ImportExperiments(pFrame, strRuns);
        Initialize(pFrame);
        QVERIFY(QFile::remove(dir.filePath("params/one.so")));
        nFrom = pFrame->Output()->System()->count();
        Execute(pFrame);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: one experiment running..."}));
        QVERIFY(Lines(pFrame->Output()->System())
                    .mid(nFrom)
                    .contains("The experiment series stopped: the \"one\" experiment could not "
                              "start."));
        QVERIFY(!pFrame->IsRunAlive());
        QCOMPARE(pEngine->m_nRunCount.load(), 4);
    }

    void StopEndsTheRunAndTheSeries() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, "pingpong.velko"));
        const QString strRuns = QString::fromStdString(
            WriteFile(dir, "runs.exp",
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>\n"
                      "<experiment label=\"one\" path=\"pingpong.param\"></experiment>\n"
                      "</experiments>"));
        ImportExperiments(pFrame, strRuns);
        // A run that never ends by itself.
        pFrame->Engine()->m_nEndMode = EM_NEVER;
        Initialize(pFrame);
        const int nFrom = pFrame->Output()->System()->count();
        commands.Action(ID_SIM_EXPERIMENT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_STOP)->isEnabled(), kWatchdog);
        commands.Action(ID_SIM_STOP)->trigger();
        QVERIFY(!pFrame->Series().IsActive());
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive(); }, kWatchdog));
        QTest::qWait(100);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running..."}));
        QVERIFY(!pFrame->IsRunAlive());
    }
};

VELKO_TEST_SUITE("Series", CSeriesTest)
#include "series_test.moc"
