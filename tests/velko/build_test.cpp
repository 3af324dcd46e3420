// The Code tab's commands with the real gcc: the sample built whole and step
// by step while the window stays usable, Model name around a run, the model's
// own library and one per experiment, a syntax error that stops the build, no
// file of the user's written over, and the compiler path kept across opens
// and restarts.

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTreeWidget>

#include "sh_sdl/sdlengine.h"
#include "sh_widgets/propertygrid.h"
#include "velko/buildcommands.h"
#include "velko/dlgexperiment.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/ribbon.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

const char* const ALL_BUILT = "Model Compiled and Linked Successfully.";
const char* const ALL_FAILED = "Some errors occurred during the process.";

// The System lines written since the tab held nFrom.
QStringList SystemSince(CMainFrame* pFrame, int nFrom) {
    return Lines(pFrame->Output()->System()).mid(nFrom);
}

int SystemCount(CMainFrame* pFrame) {
    return pFrame->Output()->System()->count();
}

// Two experiments beside the model, each with its own limit for ping.
void WriteExperiments(CMainFrame* pFrame, const QTemporaryDir& dir) {
    WriteLimitParametrization(dir, "params/one.param", 3);
    WriteLimitParametrization(dir, "params/two.param", 8);
    const std::string strExperiments =
        WriteFile(dir, "runs.exp",
                  "<?xml version='1.0' encoding='utf-8'?>\n<experiments>"
                  "<experiment label='first' path='params/one.param'>a</experiment>"
                  "<experiment label='second' path='params/two.param'>b</experiment>"
                  "</experiments>");
    QVERIFY(pFrame->Document().m_loader.LoadExperiments(strExperiments));
}

// Opens the experiment design dialog (Edit), adds the experiment strLabel of
// the parametrization strPath (nothing when strLabel is empty) and closes
// it; returns how many experiments it listed as it opened.
int AddExperiment(CMainFrame* pFrame, const QString& strLabel, const QString& strPath) {
    int nListed = -1;
    OnNextModal([&](QWidget* pModal) {
        auto* pDesign = qobject_cast<CDlgExperiment*>(pModal);
        QVERIFY(pDesign);
        nListed = pDesign->List()->count();
        pDesign->PathText()->setText(strPath);
        pDesign->LabelEdit()->setText(strLabel);
        pDesign->Button("Add")->click();
        pDesign->reject();
    });
    pFrame->Commands().Action(ID_EXPERIMENT_EDIT)->trigger();
    return nListed;
}

QByteArray ReadAll(const QString& strPath) {
    QFile file(strPath);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// Answers the Path command's file dialog with strPath, or cancels it.
void ChooseCompiler(CMainFrame* pFrame, const QString& strPath) {
    AnswerFileDialog(strPath);
    pFrame->Commands().Action(ID_COMPILER_PATH)->trigger();
}

}  // namespace

class CBuildTest : public QObject {
    Q_OBJECT
private slots:
    void TheSampleIsBuiltWholeAndStepByStepAndNamesItselfOnlyWhileRunning() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, "pingpong.velko");
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        CCommandTable& commands = pFrame->Commands();

        // Before any run the model has no library to name.
        commands.Action(ID_MODEL_NAME)->trigger();
        QCOMPARE(TakeBoxes(), QStringList{"Error"});

        // While the worker builds, the window refuses what would pull the
        // engine from under it.
        int nFrom = SystemCount(pFrame);
        QSignalSpy spy(&pFrame->Build(), &CBuildCommands::BuildFinished);
        commands.Action(ID_CODE_ALL)->trigger();
        QVERIFY(pFrame->IsBuilding());
        QVERIFY(!commands.Action(ID_CODE_ALL)->isEnabled());
        QVERIFY(!commands.Action(ID_CODE_LINK)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(pFrame->Properties()->IsReadOnly());
        QCOMPARE(pFrame->OpenChosenFile(strModel), int(LM_REFUSED));
        pFrame->close();
        QVERIFY(pFrame->isVisible());
        QVERIFY(spy.wait(ScaledMs(120000)));
        const QStringList listBoxes = TakeBoxes();
        QVERIFY(
            listBoxes.contains("The model library is being built. Wait for the build to end "
                               "before opening or closing a model."));
        QVERIFY(listBoxes.contains(
            "The model library is being built. Wait for the build to end before quitting."));

        QStringList listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 3);
        QVERIFY2(listLines[0].startsWith("\"/usr/bin/gcc\" -c -fPIC -DBUILD_DLL"),
                 qPrintable(listLines[0]));
        QVERIFY2(listLines[1].startsWith("\"/usr/bin/gcc\" -shared"), qPrintable(listLines[1]));
        QCOMPARE(listLines[2], QString::fromLatin1(ALL_BUILT));
        const QString strLibrary = dir.filePath("pingpong.so");
        QVERIFY(QFile::exists(strLibrary));
        QVERIFY(commands.Action(ID_CODE_ALL)->isEnabled());
        QVERIFY(!pFrame->Properties()->IsReadOnly());

        // Step by step: creating the code reports nothing; the compile log
        // comes line by line, with no empty line after its last; the link
        // log as one item, then the caption.
        nFrom = SystemCount(pFrame);
        QFile::remove(dir.filePath("pingpong.c"));
        QVERIFY(RunBuild(pFrame, ID_CODE_CREATE));
        QCOMPARE(SystemSince(pFrame, nFrom), QStringList());
        QVERIFY(QFile::exists(dir.filePath("pingpong.c")));
        QVERIFY(RunBuild(pFrame, ID_CODE_COMPILE));
        listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 2);
        QCOMPARE(listLines[0], QStringLiteral("Code compiled successfully."));
        QVERIFY(listLines[1].startsWith("\"/usr/bin/gcc\" -c"));
        nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_LINK));
        listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 2);
        QCOMPARE(listLines[0], QStringLiteral("DLL Linked successfully."));
        QVERIFY(listLines[1].startsWith("\"/usr/bin/gcc\" -shared"));
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Compilation and link finished. Ready to execute the model."));
        QVERIFY(QFile::exists(strLibrary));
        pFrame->Ribbon()->findChild<QTabBar*>()->setCurrentIndex(2);  // "&Code"
        pFrame->Output()->System()->scrollToBottom();
        SaveScreenshot(pFrame, QStringLiteral("build-sample"));

        // The library names the model while a run has it loaded, and no
        // longer once the run has ended and freed it.
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->m_bRepresentationTrace = false;
        QCOMPARE(pEngine->StartThread(), 0);
        QVERIFY(PumpUntil([&] { return pEngine->GetRunState() == RS_INITIALIZED; }));
        commands.Action(ID_MODEL_NAME)->trigger();
        const QString strName = Lines(pFrame->Output()->System()).last();
        QCOMPARE(strName, QStringLiteral("pingpong"));
        QCOMPARE(TakeBoxes(), QStringList{strName});
        pEngine->Stop();
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive(); }));
        commands.Action(ID_MODEL_NAME)->trigger();
        QCOMPARE(TakeBoxes(), QStringList{"Initialize first the model."});
    }

    void EachExperimentIsBuiltAndAFailureStopsTheRest() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(CopySample(dir, "pingpong.velko")), int(LM_LOADED));
        WriteExperiments(pFrame, dir);
        pFrame->Properties()->SelectProcess("court_ping");

        int nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        QStringList listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 3);
        // One log of each kind, with the steps of the model's own library and
        // of both experiments', each with its own values.
        for (const auto& [pszBase, pszLimit] :
             {std::pair{"pingpong", "5"}, std::pair{"params/one", "3"}, {"params/two", "8"}}) {
            QVERIFY(listLines[0].contains(dir.filePath(pszBase) + ".c"));
            QVERIFY(listLines[1].contains(dir.filePath(pszBase) + ".so"));
            QVERIFY(QFile::exists(dir.filePath(pszBase) + ".so"));
            QVERIFY2(ReadAll(dir.filePath(pszBase) + ".c")
                         .contains(QByteArray("\tlimit_court_ping = ") + pszLimit + ";\n"),
                     pszBase);
        }
        QCOMPARE(listLines[2], QString::fromLatin1(ALL_BUILT));
        // The caption no longer asks for the library.
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Compilation and link finished. Ready to execute the model."));
        // The model's own parametrization is back, for the run Initialize
        // starts: its library, its file label and its values in the pane.
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("No file loaded"));
        QCOMPARE(pFrame->Engine()->m_strCodeBasePath, dir.filePath("pingpong").toStdString());
        const QTreeWidgetItem* pDcl = pFrame->Properties()->Grid()->Tree()->topLevelItem(1);
        QCOMPARE(CPropertyGrid::Name(pDcl->child(0)), QStringLiteral("limit"));
        QCOMPARE(CPropertyGrid::Value(pDcl->child(0)), QStringLiteral("5"));

        // A syntax error in a task: the model's own library fails to compile
        // and no experiment's is generated.
        QTemporaryDir broken;
        const std::string strBroken =
            CopySampleChanged(broken, "pingpong.velko", "serves = 0;", "serves = ;");
        QCOMPARE(pFrame->OpenModel(strBroken), int(LM_LOADED));
        WriteExperiments(pFrame, broken);
        nFrom = SystemCount(pFrame);
        const int nErrorsFrom = pFrame->Output()->Errors()->count();
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        listLines = SystemSince(pFrame, nFrom);
        // The link never ran: it has no log, and no empty line stands for it.
        QCOMPARE(listLines.size(), 2);
        QVERIFY2(listLines[0].contains("error"), qPrintable(listLines[0]));
        QCOMPARE(listLines[1], QString::fromLatin1(ALL_FAILED));
        // Still to be made, the library is still asked for.
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Ready to configure the model. Then, you need to create the DLL."));
        QVERIFY(QFile::exists(broken.filePath("pingpong.c")));
        QVERIFY(!QFile::exists(broken.filePath("pingpong.so")));
        QVERIFY(!QFile::exists(broken.filePath("params/one.c")));
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("No file loaded"));
        QVERIFY(Lines(pFrame->Output()->Errors())
                    .mid(nErrorsFrom)
                    .join("\n")
                    .contains("The compilation of"));
    }

    void AnExperimentBelongsToTheModelItWasMadeFor() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir first;
        QCOMPARE(pFrame->LoadModel(CopySample(first, "pingpong.velko")), int(LM_LOADED));
        const QString strParam =
            QString::fromStdString(WriteLimitParametrization(first, "onlyping.param", 3));
        QCOMPARE(AddExperiment(pFrame, "onlyping.param", strParam), 0);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        QCOMPARE(Lines(pFrame->Output()->System()).last(), QString::fromLatin1(ALL_BUILT));
        std::map<QString, QByteArray> mapFirstFiles;
        for (const char* pszFile : {"onlyping.c", "onlyping.o", "onlyping.so"}) {
            mapFirstFiles[first.filePath(pszFile)] = ReadAll(first.filePath(pszFile));
            QVERIFY(!mapFirstFiles[first.filePath(pszFile)].isEmpty());
        }

        // Closed, and another model opened: its design lists nothing, and
        // its full build makes its own library only.
        pFrame->Commands().Action(ID_FILE_CLOSE)->trigger();
        QTemporaryDir second;
        QCOMPARE(pFrame->LoadModel(
                     CopySampleChanged(second, "other.velko", "serves = 0;", "serves = 1;")),
                 int(LM_LOADED));
        QCOMPARE(AddExperiment(pFrame, {}, {}), 0);
        const int nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        const QStringList listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.value(2), QString::fromLatin1(ALL_BUILT));
        QVERIFY(!listLines.join("\n").contains("onlyping"));
        QVERIFY(QFile::exists(second.filePath("other.so")));
        QCOMPARE(pFrame->Engine()->m_strCodeBasePath, second.filePath("other").toStdString());
        for (const auto& [strPath, bytes] : mapFirstFiles) {
            QVERIFY2(ReadAll(strPath) == bytes, qPrintable(strPath));
        }

        // An imported experiments file goes too when a model is opened over
        // this one without Close.
        AnswerFileDialog(QString::fromStdString(WriteFile(
            second, "runs.exp",
            "<?xml version='1.0' encoding='utf-8'?>\n<experiments>"
            "<experiment label='one' path='onlyping.param'>a</experiment></experiments>")));
        pFrame->Commands().Action(ID_EXPERIMENT_IMPORT)->trigger();
        QCOMPARE(pFrame->ExperimentationLabel()->text(), QStringLiteral("runs.exp"));
        QCOMPARE(pFrame->Document().m_loader.m_mapExperiments.size(), size_t(1));
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        QVERIFY(pFrame->Document().m_loader.m_mapExperiments.empty());
        QVERIFY(pFrame->Document().m_strExperimentFile.empty());
        QCOMPARE(pFrame->ExperimentationLabel()->text(), QStringLiteral("No file loaded"));
    }

    void TheBuildWritesOverNoFileItDidNotGenerate() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, "pingpong.velko");
        // The user's own files, named like the parametrization imported.
        const QByteArray notes = "/* Notes on the court. */\nint Twice(int n) { return 2 * n; }\n";
        const QString strNotes = QString::fromStdString(WriteFile(dir, "notes.c", notes));
        const QString strHeader =
            QString::fromStdString(WriteFile(dir, "notes.h", "int Twice(int n);\n"));
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        AnswerFileDialog(QString::fromStdString(WriteLimitParametrization(dir, "notes.param", 3)));
        pFrame->Commands().Action(ID_PARAMETRIZATION_IMPORT)->trigger();
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("notes.param"));

        const int nFrom = SystemCount(pFrame);
        const int nErrorsFrom = pFrame->Output()->Errors()->count();
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        // Said once, by the refusal: no failure box and no empty logs beside.
        QCOMPARE(SystemSince(pFrame, nFrom), QStringList{ALL_FAILED});
        QCOMPARE(TakeBoxes(), QStringList());
        const QStringList listErrors = Lines(pFrame->Output()->Errors()).mid(nErrorsFrom);
        QCOMPARE(listErrors.size(), 1);
        QVERIFY2(listErrors[0].contains("does not write over \"" + strNotes + "\""),
                 qPrintable(listErrors[0]));
        QCOMPARE(ReadAll(strNotes), notes);
        QVERIFY(!QFile::exists(dir.filePath("notes.so")));
        // Nor does the C++ form.
        pFrame->Commands().Action(ID_CREATE_CPP)->trigger();
        QCOMPARE(ReadAll(strHeader), QByteArray("int Twice(int n);\n"));
        QVERIFY(!QFile::exists(dir.filePath("notes.cpp")));

        // A file an earlier build generated, before generated files said so
        // in their first line, is the build's to write over.
        WriteFile(dir, "pingpong.c",
                  "#include <stdio.h>\n#include <string.h>\n#ifdef BUILD_DLL\n/* DLL export */\n"
                  "#define SDLCODE_EXPORT __attribute__((visibility(\"default\")))\n#else\n"
                  "/* EXE import */\n#define SDLCODE_EXPORT\n#endif\n\nint serves_court_ping;\n");
        OpenAndBuild(pFrame, strModel);
        QVERIFY(ReadAll(dir.filePath("pingpong.c")).startsWith(SDL_GENERATED_LINE));
    }

    void ACallOfAFunctionThatExistsNowhereFailsTheLink() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        // Its procedure nextCount has no body anywhere: gcc only warns of its
        // implicit declaration, and only the link can tell.
        const std::string strDevs =
            WriteFile(dir, "pair.devs", ReadAll(SourcePath("tests/data/devs/pair.devs")));
        QCOMPARE(pFrame->OpenChosenFile(strDevs), int(LM_LOADED));
        const int nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        const QStringList listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 3);
        QVERIFY2(listLines[0].contains("nextCount"), qPrintable(listLines[0]));
        QVERIFY2(listLines[1].contains("undefined reference to `nextCount'"),
                 qPrintable(listLines[1]));
        QCOMPARE(listLines[2], QString::fromLatin1(ALL_FAILED));
        QVERIFY(!listLines.join("\n").contains("successfully", Qt::CaseInsensitive));
        QVERIFY(!QFile::exists(dir.filePath("pair.devs.so")));
        QVERIFY(QFile::exists(dir.filePath("pair.devs.o")));
    }

    void TheCompilerPathIsKeptAndAMissingCompilerIsReported() {
        CStartedApp started;
        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, "pingpong.velko");
        const QString strCompiler = QString::fromStdString(
            WriteFile(dir, "tools/gcc", "#!/bin/sh\necho 'a compiler of our own'\nexit 1\n"));
        QFile::setPermissions(strCompiler, QFile::permissions(strCompiler) | QFile::ExeOwner);

        CMainFrame* pFrame = started.Frame();
        int nFrom = SystemCount(pFrame);
        ChooseCompiler(pFrame, strCompiler);
        QCOMPARE(SystemSince(pFrame, nFrom), QStringList({"Current gcc.exe path: /usr/bin/gcc",
                                                          "New gcc.exe path: " + strCompiler}));

        // Every engine opened afterwards gets it, also after a restart.
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        QCOMPARE(pFrame->Engine()->m_Compiler.GetCompiler(), strCompiler.toStdString());
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        QCOMPARE(pFrame->Engine()->m_Compiler.GetCompiler(), strCompiler.toStdString());
        started.Restart();
        pFrame = started.Frame();
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        QCOMPARE(pFrame->Engine()->m_Compiler.GetCompiler(), strCompiler.toStdString());
        nFrom = SystemCount(pFrame);
        ChooseCompiler(pFrame, {});
        QCOMPARE(SystemSince(pFrame, nFrom), QStringList{"Current gcc.exe path: " + strCompiler});

        // A compiler that fails gives its output; one that is gone is named.
        nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_COMPILE));
        QStringList listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.value(0), QStringLiteral("Some errors ocurred during the compilation."));
        QVERIFY(listLines.contains("a compiler of our own"));
        QFile::remove(strCompiler);
        nFrom = SystemCount(pFrame);
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        listLines = SystemSince(pFrame, nFrom);
        QCOMPARE(listLines.size(), 3);
        QVERIFY2(listLines[0].startsWith("The compiler " + strCompiler + " cannot be run: "),
                 qPrintable(listLines[0]));
        QVERIFY(listLines[1].contains(strCompiler));
        QVERIFY(listLines[1].contains("No such file or directory"));
        QCOMPARE(listLines[2], QString::fromLatin1(ALL_FAILED));
        QVERIFY(!listLines.join("\n").contains("successfully", Qt::CaseInsensitive));
    }
};

VELKO_TEST_SUITE("Build", CBuildTest)
#include "build_test.moc"
