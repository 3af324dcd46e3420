// "Executes the experiment" with the real gcc: the main model with its own
// values, then each experiment with its own parametrization and library, an
// experiment that cannot be read skipped, and a series that stops when a run
// cannot start.

#include <QLabel>
#include <QRegularExpression>

#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "velko/experimentseries.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// ms on a quiet machine (the waits scale it): a series that stands still for
// longer hangs.
constexpr int kWatchdog = 60000;

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
    VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_EXPERIMENT)->isEnabled(), kWatchdog);
}

// The series; returns when it has ended and a new run can start.
void Execute(CMainFrame* pFrame) {
    CCommandTable& commands = pFrame->Commands();
    commands.Action(ID_SIM_EXPERIMENT)->trigger();
    QVERIFY(PumpWhileProgressing([&] { return !pFrame->Series().IsActive(); },
                                 [&] { return WindowProgress(pFrame); },
                                 std::chrono::milliseconds(kWatchdog)));
    QVERIFY(PumpUntil([&] { return commands.Action(ID_SIM_INITIALIZE)->isEnabled(); }));
}

// The times at which ping served its balls in a trace.
QStringList ServeTimes(const QString& strTrace) {
    QFile file(strTrace);
    file.open(QIODevice::ReadOnly);
    QStringList listTimes;
    static const QRegularExpression serve(
        QStringLiteral("<output time=\"([^\"]*)\" process=\"court_ping\" name=\"ball\""));
    for (auto it = serve.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
        listTimes << it.next().captured(1);
    }
    return listTimes;
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

    void EachExperimentStartsFromTheModelsOwnValuesAndNoneBuildsOverItsLibrary() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        OpenAndBuild(pFrame, CopySample(dir, "pingpong.velko"));
        CSDLEngine* pEngine = pFrame->Engine();
        // The model serves 5 balls every 1.5. "a" serves 2 every 0.5; "b"
        // names the limit only. "c" is named like the model's own library;
        // "d" does not parse.
        WriteFile(dir, "a.param",
                  "<Parametrization><DCLS><DCL agent='court_ping' name='limit' type='int' "
                  "value='2'/><DCL agent='court_ping' name='period' type='double' value='0.5'/>"
                  "</DCLS></Parametrization>");
        WriteLimitParametrization(dir, "b.param", 3);
        const QString strSameName =
            QString::fromStdString(WriteLimitParametrization(dir, "pingpong.param", 1));
        const QString strBroken =
            QString::fromStdString(WriteFile(dir, "d.param", "<Parametrization><DCLS>"));
        const QString strRuns = QString::fromStdString(
            WriteFile(dir, "runs.exp",
                      "<?xml version='1.0' encoding='utf-8'?>\n<experiments>\n"
                      "<experiment label=\"a\" path=\"a.param\"></experiment>\n"
                      "<experiment label=\"b\" path=\"b.param\"></experiment>\n"
                      "<experiment label=\"c\" path=\"pingpong.param\"></experiment>\n"
                      "<experiment label=\"d\" path=\"d.param\"></experiment>\n"
                      "</experiments>"));
        ImportExperiments(pFrame, strRuns);
        const QString strRefused = "The experiment \"c\" is skipped: its parametrization " +
                                   strSameName + " would build the model library " +
                                   dir.filePath("pingpong") + ", which is the one of " +
                                   dir.filePath("pingpong.velko") +
                                   ". Give the parametrization another name.";
        int nErrorsFrom = pFrame->Output()->Errors()->count();
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nErrorsFrom).filter("\"c\""),
                 QStringList{strRefused});
        const QByteArray codeB = ReadBytes(dir.filePath("b.c"));
        QVERIFY2(codeB.contains("\tlimit_court_ping = 3;\n") &&
                     codeB.contains("\tperiod_court_ping = 1.5;\n"),
                 codeB.constData());
        QVERIFY(ReadBytes(dir.filePath("pingpong.c")).contains("\tlimit_court_ping = 5;\n"));

        pFrame->Commands().Action(ID_SIM_EXECTRACE)->trigger();
        Initialize(pFrame);
        nErrorsFrom = pFrame->Output()->Errors()->count();
        Execute(pFrame);
        const QDir traces(dir.filePath("traces"));
        const QStringList listTraces = traces.entryList(QDir::Files, QDir::Name);
        QCOMPARE(listTraces.size(), 3);
        QVERIFY(listTraces[1].startsWith("pingpong [a] ("));
        QVERIFY(listTraces[2].startsWith("pingpong [b] ("));
        QCOMPARE(ServeTimes(traces.filePath(listTraces[0])),
                 QStringList({"1.500000", "3.000000", "4.500000", "6.000000", "7.500000"}));
        QCOMPARE(ServeTimes(traces.filePath(listTraces[1])), QStringList({"0.500000", "1.000000"}));
        QCOMPARE(ServeTimes(traces.filePath(listTraces[2])),
                 QStringList({"1.500000", "3.000000", "4.500000"}));
        // "c" is refused again; "d"'s reading error is written once.
        const QStringList listErrors = Lines(pFrame->Output()->Errors()).mid(nErrorsFrom);
        QCOMPARE(listErrors.size(), 3);
        QCOMPARE(listErrors[0], strRefused);
        QVERIFY2(listErrors[1].startsWith("The file " + strBroken + " is not well-formed XML"),
                 qPrintable(listErrors[1]));
        QCOMPARE(listErrors[2], QStringLiteral("The experiment \"d\" is skipped: its "
                                               "parametrization cannot be read."));
        // The model's own values and library serve the next run.
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
        QCOMPARE(pEngine->m_mapProcesses["court_ping"]->GetVariable("period")->m_strSourceText,
                 std::string("1.5"));
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
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!LinesSince(pFrame, nFrom, "Simulation: one").isEmpty() &&
                                          commands.Action(ID_SIM_STOP)->isEnabled(),
                                      kWatchdog);
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("one").toStdString());
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("one"));
        commands.Action(ID_SIM_STOP)->trigger();
        QVERIFY(!pFrame->Series().IsActive());
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive(); }, kWatchdog));
        // Once "one"'s run has ended, the next run is the model's own again.
        QVERIFY(PumpUntil([&] { return pEngine->m_strParametrizationFile.empty(); }));
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
        // The label names what the engine holds.
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("No file loaded"));
        QTest::qWait(100);
        QCOMPARE(LinesSince(pFrame, nFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: one experiment running..."}));
        QVERIFY(!pFrame->IsRunAlive());

        // Quitting while "one" runs ends the series too: the program ends
        // once the run has, with no other experiment and, the model having
        // no other instance, no wait for one.
        ImportExperiments(pFrame, strRuns);
        pEngine->m_nEndMode = EM_BY_TIME;
        Initialize(pFrame);
        pEngine->m_nEndMode = EM_NEVER;
        const int nQuitFrom = pFrame->Output()->System()->count();
        commands.Action(ID_SIM_EXPERIMENT)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(!LinesSince(pFrame, nQuitFrom, "Simulation: one").isEmpty() &&
                                          commands.Action(ID_SIM_STOP)->isEnabled(),
                                      kWatchdog);
        commands.Action(ID_APP_EXIT)->trigger();
        QVERIFY(PumpUntil([&] { return !pFrame->isVisible(); }, kWatchdog));
        QVERIFY(!pFrame->Engine());
        QTest::qWait(100);
        QCOMPARE(LinesSince(pFrame, nQuitFrom, "Simulation: "),
                 QStringList({"Simulation: main model experiment running...",
                              "Simulation: one experiment running..."}));
        QCOMPARE(LinesSince(pFrame, nQuitFrom, "Waiting for other instances"), QStringList());
    }
};

VELKO_TEST_SUITE("Series", CSeriesTest)
#include "series_test.moc"
