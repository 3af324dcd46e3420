// The Properties tab's side files (exports read back by the imports, the
// labels and engine strings they set), the experiment design dialog and its
// experiments file, and the network modes.

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <future>

#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlprocess.h"
#include "sh_widgets/propertygrid.h"
#include "support/filesizelimit.h"
#include "velko/dlgexperiment.h"
#include "velko/networkcommands.h"
#include "velko/propertieswnd.h"
#include "velko/sidefilecommands.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// Every line break of the text is CR LF, and it has some.
bool HasOnlyCrLf(const QByteArray& text) {
    return text.count('\n') > 0 && text.count('\n') == text.count("\r\n");
}

// The properties pane's leaf of the variable strName; null when not shown.
QTreeWidgetItem* ShownVariable(CMainFrame* pFrame, const QString& strName) {
    QTreeWidget* pTree = pFrame->Properties()->Grid()->Tree();
    for (int i = 0; i < pTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* pGroup = pTree->topLevelItem(i);
        for (int j = 0; j < pGroup->childCount(); ++j) {
            if (CPropertyGrid::Name(pGroup->child(j)) == strName) {
                return pGroup->child(j);
            }
        }
    }
    return nullptr;
}

// The value the properties pane shows for ping's variable "limit".
QString ShownLimit(CMainFrame* pFrame) {
    const QTreeWidgetItem* pLeaf = ShownVariable(pFrame, QStringLiteral("limit"));
    return pLeaf ? CPropertyGrid::Value(pLeaf) : QString();
}

// Initialize and Run, and wait for the run's end.
void RunToItsEnd(CMainFrame* pFrame) {
    CCommandTable& commands = pFrame->Commands();
    commands.Action(ID_SIM_INITIALIZE)->trigger();
    VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_RUN)->isEnabled(), 20000);
    commands.Action(ID_SIM_RUN)->trigger();
    // The pane shows the model's own values until it learns that the run
    // has ended.
    QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive() && !pFrame->Properties()->IsReadOnly(); },
                      20000));
}

}  // namespace

class CSideFilesTest : public QObject {
    Q_OBJECT
private slots:
    void ExportsReadBackThroughTheImportsWhichNameWhatTheyRead() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, "pingpong.velko");
        QFile::copy(SourcePath("examples/pingpong/pingpong.eye"), dir.filePath("pingpong.eye"));
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("pingpong.eye"));
        CSDLEngine* pEngine = pFrame->Engine();
        CSDLProcess* pPing = pEngine->m_mapProcesses["court_ping"];
        pFrame->Properties()->SelectProcess("court_ping");
        const QString strNoFile = QStringLiteral("No file loaded");
        QCOMPARE(pFrame->ParametrizationLabel()->text(), strNoFile);

        // Names typed without a suffix get the dialog's; each file is the
        // declaration and the model's XML with CR LF line ends.
        AnswerFileDialog("look");
        commands.Action(ID_REPRESENTATION_EXPORT)->trigger();
        const QString strLook = dir.filePath("look.eye");
        QByteArray text = ReadBytes(strLook);
        QVERIFY(text.startsWith("<?xml version='1.0' encoding='utf-8'?>\r\n\t<ModelInfo>"));
        QVERIFY(HasOnlyCrLf(text));
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("look.eye"));
        QCOMPARE(pEngine->m_strRepresentationFile, strLook.toStdString());
        QCOMPARE(pFrame->ParametrizationLabel()->text(), strNoFile);

        AnswerFileDialog("a");
        commands.Action(ID_PARAMETRIZATION_EXPORT)->trigger();
        const QString strParam = dir.filePath("a.param");
        text = ReadBytes(strParam);
        QVERIFY(text.startsWith("<?xml version='1.0' encoding='utf-8'?>\r\n"));
        QVERIFY(text.contains("limit"));
        QVERIFY(HasOnlyCrLf(text));
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("a.param"));
        QCOMPARE(pEngine->m_strParametrizationFile, strParam.toStdString());

        // A save that fails on the way (the disk full) says so, names nothing
        // and leaves the file it was to replace byte for byte, alone.
        const QByteArray saved = ReadBytes(strParam);
        const QStringList listFiles = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
        pFrame->ParametrizationLabel()->setText(strNoFile);
        pEngine->m_strParametrizationFile.clear();
        AnswerFileDialog(strParam);
        {
            CBoxAnswerer replace(QMessageBox::Yes);
            velkotest::CFileSizeLimit full(static_cast<rlim_t>(saved.size() / 2));
            commands.Action(ID_PARAMETRIZATION_EXPORT)->trigger();
            QCOMPARE(replace.Take().size(), 1);  // "Yes" to replace it
        }
        const QStringList listFailed = TakeBoxes();
        QCOMPARE(listFailed.size(), 1);
        QVERIFY2(
            listFailed[0].startsWith("The file was not saved. Error 27 writing file " + strParam),
            qPrintable(listFailed[0]));
        QCOMPARE(ReadBytes(strParam), saved);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), listFiles);
        QCOMPARE(pFrame->ParametrizationLabel()->text(), strNoFile);
        QCOMPARE(pEngine->m_strParametrizationFile, std::string());
        pEngine->m_strParametrizationFile = strParam.toStdString();

        // The model changes; a cancelled import reads nothing but still
        // shows the model as it is now.
        const std::string strModelBase = pEngine->m_strCodeBasePath;
        pPing->m_mapVariables["limit"]->m_strValue = "99";
        QVERIFY(!pPing->m_mapRepresentations.empty());
        const std::string strState = pPing->m_mapRepresentations.begin()->first;
        C3DRepresentation& look = *pPing->m_mapRepresentations[strState];
        const C3DRepresentation exported = look;
        look.m_strMesh = "other.obj";
        look.m_dPosX = 7.0;
        QCOMPARE(ShownLimit(pFrame), QStringLiteral("5"));
        AnswerFileDialog({});
        commands.Action(ID_PARAMETRIZATION_IMPORT)->trigger();
        QCOMPARE(ShownLimit(pFrame), QStringLiteral("99"));
        QCOMPARE(pEngine->m_strCodeBasePath, strModelBase);

        // The imports bring back what was exported and name it.
        pFrame->ParametrizationLabel()->setText(strNoFile);
        AnswerFileDialog(strParam);
        commands.Action(ID_PARAMETRIZATION_IMPORT)->trigger();
        QCOMPARE(pPing->m_mapVariables["limit"]->m_strValue, std::string("5"));
        QCOMPARE(ShownLimit(pFrame), QStringLiteral("5"));
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("a.param"));
        QCOMPARE(pEngine->m_strParametrizationFile, strParam.toStdString());
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("a").toStdString());
        QCOMPARE(pEngine->m_strExperimentLabel, std::string("a.param"));

        pFrame->RepresentationLabel()->setText(strNoFile);
        AnswerFileDialog("look.eye");
        commands.Action(ID_REPRESENTATION_IMPORT)->trigger();
        // The reader makes the looks anew.
        const C3DRepresentation& read = *pPing->m_mapRepresentations[strState];
        QCOMPARE(read.m_strMesh, exported.m_strMesh);
        QCOMPARE(read.m_dPosX, exported.m_dPosX);
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("look.eye"));

        // A file that cannot be read changes nothing.
        WriteFile(dir, "broken.param", "<Parametrization><DCLS>");
        AnswerFileDialog("broken.param");
        commands.Action(ID_PARAMETRIZATION_IMPORT)->trigger();
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("a.param"));
        QCOMPARE(pEngine->m_strCodeBasePath, dir.filePath("a").toStdString());

        // An export that cannot be created is reported and names nothing.
        AnswerFileDialog(dir.filePath("missing/b.param"));
        commands.Action(ID_PARAMETRIZATION_EXPORT)->trigger();
        const QStringList listBoxes = TakeBoxes();
        QCOMPARE(listBoxes.size(), 1);
        QVERIFY2(listBoxes[0].startsWith("The file was not saved."), qPrintable(listBoxes[0]));
        QCOMPARE(pFrame->ParametrizationLabel()->text(), QStringLiteral("a.param"));
        QCOMPARE(pEngine->m_strParametrizationFile, strParam.toStdString());
        TakeBoxes();

        // An empty text and control characters go out and come back as they
        // were, in a file that is XML (1.1, which can hold them).
        const std::string strControls =
            "a\x01\x1b"
            "b";
        pPing->m_mapVariables["note"] = std::make_unique<CSDLParameter>("char*", "note", "", "no");
        pPing->m_mapVariables["tag"] =
            std::make_unique<CSDLParameter>("char*", "tag", strControls, "no");
        AnswerFileDialog("texts");
        commands.Action(ID_PARAMETRIZATION_EXPORT)->trigger();
        text = ReadBytes(dir.filePath("texts.param"));
        QVERIFY2(text.startsWith("<?xml version='1.1' encoding='utf-8'?>\r\n<Parametrization>") &&
                     text.contains(R"(name="note" type="char*" value="")") &&
                     text.contains("a&#1;&#27;b") && !text.contains('\x01'),
                 text.constData());
        pPing->GetVariable("note")->SetModelValue("declared");
        pPing->GetVariable("tag")->SetModelValue("x");
        AnswerFileDialog("texts.param");
        commands.Action(ID_PARAMETRIZATION_IMPORT)->trigger();
        QCOMPARE(pPing->GetVariable("note")->m_strSourceText, std::string());
        QCOMPARE(pPing->GetVariable("tag")->m_strSourceText, strControls);

        // Without a model the commands only say so (their rule disables them).
        pFrame->OnFileClose();
        QVERIFY(!commands.Action(ID_PARAMETRIZATION_EXPORT)->isEnabled());
        pFrame->SideFiles().OnExportParametrization();
        QCOMPARE(TakeBoxes(), QStringList{"Load first a model (.velko)"});
    }

    void ARunsValuesNeverBecomeTheModelsOwnButTheUsersEditsDo() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        const std::string strModel =
            CopySampleChanged(dir, "pingpong.velko", R"(name="period" type="double" value="1.5")",
                              R"(name="period" type="double" value="0.1234567891")");
        OpenAndBuild(pFrame, strModel);
        CSDLEngine* pEngine = pFrame->Engine();
        CSDLProcess* pPing = pEngine->m_mapProcesses["court_ping"];
        pFrame->Properties()->SelectProcess("court_ping");
        commands.Action(ID_SIM_EXECTRACE)->trigger();
        RunToItsEnd(pFrame);
        // The pane may show what the run left: five serves.
        QCOMPARE(CPropertyGrid::Value(ShownVariable(pFrame, "serves")), QStringLiteral("5"));

        // The user's edit is kept; a text that is no value of its variable's
        // type is refused and said.
        const int nErrorsFrom = pFrame->Output()->Errors()->count();
        {
            CBoxAnswerer answerer(QMessageBox::Ok);
            CPropertyGrid::SetValue(ShownVariable(pFrame, "limit"), "4");
            CPropertyGrid::SetValue(ShownVariable(pFrame, "total"), "1,5");
            pFrame->Properties()->OnUpdateValues();
        }
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nErrorsFrom),
                 QStringList{"The value \"1,5\" of the variable total of court_ping is not a "
                             "double (a finite number in decimal digits, with an optional point "
                             "and exponent): the "
                             "variable keeps its value \"0.0\"."});
        QCOMPARE(CPropertyGrid::Value(ShownVariable(pFrame, "total")), QStringLiteral("0.0"));
        SaveScreenshot(pFrame, QStringLiteral("properties-edit-after-run"));

        // Export writes the model's values with the edit, to the last digit.
        AnswerFileDialog("after");
        commands.Action(ID_PARAMETRIZATION_EXPORT)->trigger();
        const QByteArray text = ReadBytes(dir.filePath("after.param"));
        for (const char* pszDcl :
             {R"(name="serves" type="int" value="0")", R"(name="limit" type="int" value="4")",
              R"(name="period" type="double" value="0.1234567891")",
              R"(name="total" type="double" value="0.0")"}) {
            QVERIFY2(text.contains(pszDcl), text.constData());
        }

        // A rebuild and its run start from them: four serves, the first at
        // the exact period.
        QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
        const QByteArray code = ReadBytes(dir.filePath("after.c"));
        QVERIFY2(code.contains("\tserves_court_ping = 0;\n") &&
                     code.contains("\tlimit_court_ping = 4;\n") &&
                     code.contains("\tperiod_court_ping = 0.1234567891;\n"),
                 code.constData());
        RunToItsEnd(pFrame);
        const QByteArray trace = ReadBytes(QString::fromStdString(pEngine->GetTracePath()));
        QCOMPARE(int(trace.count(R"(process="court_ping" name="ball" id="13")")), 4);
        QVERIFY(trace.contains(R"(<output time="0.123457" process="court_ping" name="ball")"));
        QCOMPARE(pPing->GetVariable("period")->m_dExact, 0.1234567891);
    }

    void TheExperimentDesignEditsTheReadersMapAndWritesAFileThatReadsBack() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(CopySample(dir, "pingpong.velko")), int(LM_LOADED));
        CSDLLoader& loader = pFrame->Document().m_loader;
        const QString strCase = QString::fromStdString(WriteFile(dir, "p&q/case1.param", "x"));

        CDlgExperiment dialog(pFrame, loader, dir.path().toStdString());
        dialog.show();
        AnswerFileDialog(strCase);
        dialog.Button("Params")->click();
        QCOMPARE(dialog.PathText()->text(), strCase);
        QCOMPARE(dialog.LabelEdit()->text(), QStringLiteral("case1.param"));
        dialog.LabelEdit()->setText("a");
        dialog.DescriptionEdit()->setPlainText("first");
        dialog.Button("Add")->click();
        // What the XML must escape, in every field.
        const QString strLabel = QStringLiteral("b \"x\" & 'y'");
        const QString strText = QStringLiteral("p < q & r\nnext \"line\"");
        dialog.LabelEdit()->setText(strLabel);
        dialog.DescriptionEdit()->setPlainText(strText);
        dialog.Button("Add")->click();
        // A label already present changes nothing.
        dialog.LabelEdit()->setText("a");
        dialog.DescriptionEdit()->setPlainText("second");
        dialog.Button("Add")->click();
        QCOMPARE(dialog.List()->count(), 2);
        QCOMPARE(loader.m_mapExperiments.size(), size_t(2));
        QCOMPARE(loader.m_mapExperiments["a"]->m_strText, std::string("first"));

        dialog.List()->setCurrentRow(1);
        QCOMPARE(dialog.LabelEdit()->text(), strLabel);
        QCOMPARE(dialog.DescriptionEdit()->toPlainText(), strText);
        dialog.List()->setCurrentRow(0);
        QCOMPARE(dialog.DescriptionEdit()->toPlainText(), QStringLiteral("first"));
        dialog.Button("Remove")->click();
        QCOMPARE(dialog.List()->count(), 1);
        QCOMPARE(loader.m_mapExperiments.size(), size_t(1));

        AnswerFileDialog("runs");
        dialog.Button("Save")->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const QString strFile = dir.filePath("runs.exp");
        const QByteArray text = ReadBytes(strFile);
        QVERIFY(text.startsWith("<?xml version='1.0' encoding='utf-8'?>\r\n<experiments>\r\n"));
        QVERIFY(text.endsWith("</experiment>\r\n</experiments>"));
        QCOMPARE(text.count("<experiment "), 1);
        QVERIFY(HasOnlyCrLf(text));
        QVERIFY(loader.LoadExperiments(strFile.toStdString()));
        QCOMPARE(loader.m_mapExperiments.size(), size_t(1));
        const CSDLExperiments& read = *loader.m_mapExperiments.begin()->second;
        QCOMPARE(QString::fromStdString(read.m_strLabel), strLabel);
        QCOMPARE(QString::fromStdString(read.m_strPath), strCase);
        QCOMPARE(QString::fromStdString(read.m_strText), strText);

        // From the Edit command, modally: Escape keeps the edits; Save with
        // its file choice cancelled closes the dialog all the same.
        CCommandTable& commands = pFrame->Commands();
        for (bool bEscape : {true, false}) {
            OnNextModal([&, bEscape](QWidget* pModal) {
                auto* pDesign = qobject_cast<CDlgExperiment*>(pModal);
                QVERIFY(pDesign);
                pDesign->LabelEdit()->setText(bEscape ? "c" : "d");
                pDesign->Button("Add")->click();
                if (bEscape) {
                    pDesign->List()->setCurrentRow(0);
                    SaveScreenshot(pDesign, "experiment-design");
                    QTest::keyClick(pDesign, Qt::Key_Escape);
                } else {
                    AnswerFileDialog({});
                    pDesign->Button("Save")->click();
                }
            });
            commands.Action(ID_EXPERIMENT_EDIT)->trigger();
        }
        QCOMPARE(loader.m_mapExperiments.size(), size_t(3));
        QVERIFY(FindIn(loader.m_mapExperiments, "c") && FindIn(loader.m_mapExperiments, "d"));
    }

    void TheNetworkModesSetTheAddressAndTheInternetOneAnswersLater() {
        // Intranet: the last address that is not a loopback one.
        QCOMPARE(CNetworkCommands::ChooseIntranetAddress("|127.0.0.1"), std::string("127.0.0.1"));
        QCOMPARE(CNetworkCommands::ChooseIntranetAddress("|10.0.0.2|127.0.0.1"),
                 std::string("10.0.0.2"));
        QCOMPARE(CNetworkCommands::ChooseIntranetAddress("|10.0.0.2|127.0.0.1|192.168.1.5"),
                 std::string("192.168.1.5"));
        QCOMPARE(CNetworkCommands::ChooseIntranetAddress(""), std::string());

        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        CSDLEngine* pEngine = pFrame->Engine();
        commands.Action(ID_NET_INTRANET)->trigger();
        QCOMPARE(pEngine->m_nIPMode.load(), 1);
        QVERIFY(commands.Action(ID_NET_INTRANET)->isChecked());
        QVERIFY(!commands.Action(ID_NET_LOCAL)->isChecked());
        QCOMPARE(Lines(pFrame->Output()->System()).last().toStdString(),
                 "IP Intranet: " + pEngine->m_strIPAddress);

        // The public address is looked up off the window's thread; until it
        // answers, no run can start without it.
        std::promise<void> release;
        pFrame->Network().SetInternetLookup([answered = release.get_future().share()] {
            answered.wait();
            return std::string("|192.0.2.1|198.51.100.7");
        });
        QSignalSpy spy(&pFrame->Network(), &CNetworkCommands::InternetAnswered);
        commands.Action(ID_NET_INTERNET)->trigger();
        QCOMPARE(pEngine->m_nIPMode.load(), 2);
        QVERIFY(commands.Action(ID_NET_INTERNET)->isChecked());
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(!commands.Action(ID_NET_LOCAL)->isEnabled());
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);
        release.set_value();
        QVERIFY(spy.wait(ScaledMs(5000)));
        QCOMPARE(pEngine->m_strIPAddress, std::string("198.51.100.7"));
        QCOMPARE(Lines(pFrame->Output()->System()).last(),
                 QStringLiteral("IP Internet: 198.51.100.7"));
        QVERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());

        commands.Action(ID_NET_LOCAL)->trigger();
        QCOMPARE(pEngine->m_nIPMode.load(), 0);
        QCOMPARE(pEngine->m_strIPAddress, std::string());
        QCOMPARE(Lines(pFrame->Output()->System()).last(), QStringLiteral("Local simulation: "));

        // An answer for an engine that has gone is dropped.
        std::promise<void> releaseLate;
        pFrame->Network().SetInternetLookup([late = releaseLate.get_future().share()] {
            late.wait();
            return std::string("|192.0.2.1");
        });
        commands.Action(ID_NET_INTERNET)->trigger();
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        releaseLate.set_value();
        QVERIFY(spy.wait(ScaledMs(5000)));
        QCOMPARE(pFrame->Engine()->m_nIPMode.load(), 0);
        QCOMPARE(pFrame->Engine()->m_strIPAddress, std::string());
        QVERIFY(!Lines(pFrame->Output()->System()).last().startsWith("IP Internet"));
    }
};

VELKO_TEST_SUITE("SideFiles", CSideFilesTest)
#include "sidefiles_test.moc"
