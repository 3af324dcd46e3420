// "Executes the experiment" with the real gcc: the main model with its own
// values, then each experiment with its own parametrization and library, an
// experiment that cannot be read skipped, and a series that stops when a run
// cannot start.

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
    void EachRunHasItsOwnValuesAndARunThatCannotStartEndsTheSeries() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, "pingpong.velko"));
        CSDLEngine* pEngine = pFrame->Engine();
        // The model serves 5 balls; "lim2" and "lim3" serve 2 and 3; "gone"
        // (first in the map) has no parametrization to read.
        WriteLimitParametrization(dir, "params/lim2.param", 2);
        WriteLimitParametrization(dir, "params/lim3.param", 3);
        const QString strRuns = QString::fromStdString(
            WriteFile(dir, "runs.exp",
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>\n"
                      "<experiment label=\"lim3\" path=\"params/lim3.param\"></experiment>\n"
                      "<experiment label=\"gone\" path=\"params/gone.param\"></experiment>\n"
                      "<experiment label=\"lim2\" path=\"params/lim2.param\"></experiment>\n"
                      "</experiments>"));
        QVERIFY(!commands.Action(ID_SIM_EXPERIMENT)->isEnabled());
        ImportExperiments(pFrame, strRuns);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        QVERIFY(QFile::exists(dir.filePath("params/lim2.so")));
        QVERIFY(QFile::exists(dir.filePath("params/lim3.so")));

        // Step by step is turned off by the series, which would otherwise
        // wait for a Step.
        commands.Action(ID_SIM_STEPBYSTEP)->trigger();
        commands.Action(ID_SIM_EXECTRACE)->trigger();
        int nFrom = pFrame->Output()->System()->count();
        const int nErrorsFrom = pFrame->Output()->Errors()->count();
        Initialize(pFrame);
        Execute(pFrame);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: lim2 experiment running...",
                              "Simulation: lim3 experiment running..."}));
        QCOMPARE(LinesSince(pFrame, nFrom, "Model closed.").size(), 3);
        QCOMPARE(pEngine->m_nRunCount.load(), 3);
        QVERIFY(!pEngine->m_bStepByStep);
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nErrorsFrom),
                 QStringList{"The experiment \"gone\" is skipped: its parametrization cannot be "
                             "read. The file " +
                             dir.filePath("params/gone.param") + " cannot be opened."});
        // Each trace: its run's parametrization in the header, and the balls
        // ping served with its limit.
        const QDir traces(dir.filePath("traces"));
        const QStringList listTraces = traces.entryList(QDir::Files, QDir::Name);
        QCOMPARE(listTraces.size(), 3);
        const std::pair<const char*, QString> expected[] = {
            {"pingpong [] (", QString()},
            {"pingpong [lim2] (", dir.filePath("params/lim2.param")},
            {"pingpong [lim3] (", dir.filePath("params/lim3.param")},
        };
        const int anServed[] = {5, 2, 3};
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(listTraces[i].startsWith(expected[i].first), qPrintable(listTraces[i]));
            QFile trace(traces.filePath(listTraces[i]));
            QVERIFY(trace.open(QIODevice::ReadOnly));
            const QByteArray text = trace.readAll();
            QVERIFY2(text.contains("<parametrization>" + expected[i].second.toUtf8() +
                                   "</parametrization>"),
                     qPrintable(listTraces[i]));
            QCOMPARE(int(text.count(R"(process="court_ping" name="ball" id="13")")), anServed[i]);
        }
        // The model's own parametrization is back for the next run.
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
        QCOMPARE(pEngine->m_strParametrizationFile, std::string());
        QCOMPARE(pEngine->m_strExperimentLabel, std::string());
        // The model view was closed: the file labels are reset and the
        // series needs a new import.
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("No file loaded"));
        QVERIFY(!commands.Action(ID_SIM_EXPERIMENT)->isEnabled());

        // "lim2"'s library is gone: the series stops at its run, with a
        // report, and "lim3" never runs.
        ImportExperiments(pFrame, strRuns);
        Initialize(pFrame);
        QVERIFY(QFile::remove(dir.filePath("params/lim2.so")));
        nFrom = pFrame->Output()->System()->count();
        Execute(pFrame);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: lim2 experiment running..."}));
        QVERIFY(Lines(pFrame->Output()->System())
                    .mid(nFrom)
                    .contains("The experiment series stopped: the \"lim2\" experiment could not "
                              "start."));
        QVERIFY(!pFrame->IsRunAlive());
        QCOMPARE(pEngine->m_nRunCount.load(), 4);
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
    }

    void StopEndsTheRunAndTheSeriesAndTheModelsOwnValuesComeBack() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, "pingpong.velko"));
        CSDLEngine* pEngine = pFrame->Engine();
        WriteLimitParametrization(dir, "one.param", 3);
        const QString strRuns = QString::fromStdString(
            WriteFile(dir, "runs.exp",
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>\n"
                      "<experiment label=\"one\" path=\"one.param\"></experiment>\n"
                      "<experiment label=\"two\" path=\"one.param\"></experiment>\n"
                      "</experiments>"));
        ImportExperiments(pFrame, strRuns);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        Initialize(pFrame);
        const int nFrom = pFrame->Output()->System()->count();
        // The main model's run took its end mode at Initialize and ends by
        // itself; "one"'s never does. Set before the series starts: the main
        // run may end, and "one" start, within the command itself.
        pEngine->m_nEndMode = EM_NEVER;
        commands.Action(ID_SIM_EXPERIMENT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!LinesSince(pFrame, nFrom, "Simulation: one").isEmpty() &&
                                     commands.Action(ID_SIM_STOP)->isEnabled(),
                                 kWatchdog);
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("one").toStdString());
        commands.Action(ID_SIM_STOP)->trigger();
        QVERIFY(!pFrame->Series().IsActive());
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive(); }, kWatchdog));
        // Once "one"'s run has ended, the next run is the model's own again.
        QVERIFY(PumpUntil([&] { return pEngine->m_strParametrizationFile.empty(); }));
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
        QTest::qWait(100);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: one experiment running..."}));
        QVERIFY(!pFrame->IsRunAlive());
    }
};

VELKO_TEST_SUITE("Series", CSeriesTest)
#include "series_test.moc"
