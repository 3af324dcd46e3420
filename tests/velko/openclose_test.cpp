// Opening and closing models: the tree, the messages and result codes, the
// recent-file list, and opens refused while a run is alive.

#include <QLabel>

#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "support/fakemodellibrary.h"
#include "velko/classview.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/velkoview.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// Every item of the tree as "label|key", depth first, indented by level.
QStringList TreeOf(QTreeWidget* pTree) {
    QStringList listItems;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* pItem, int nLevel) {
        listItems << QString(nLevel, QLatin1Char(' ')) + pItem->text(0) + QLatin1Char('|') +
                         CViewTree::KeyOf(pItem);
        for (int i = 0; i < pItem->childCount(); ++i) {
            walk(pItem->child(i), nLevel + 1);
        }
    };
    for (int i = 0; i < pTree->topLevelItemCount(); ++i) {
        walk(pTree->topLevelItem(i), 0);
    }
    return listItems;
}

}  // namespace

class COpenCloseTest : public QObject {
    Q_OBJECT
private slots:
    void OpeningTheSampleShowsItsTreeRepresentationAndDiagram() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        const std::string strModel = SampleModel();
        QCOMPARE(pFrame->OpenChosenFile(strModel), int(LM_LOADED));

        const QStringList listTree = TreeOf(pFrame->ClassView()->Tree());
        const QStringList listExpected = {
            "pingpong|",
            " court [0_1]:127.0.0.1|0_1",
            "  ping [court_ping]:127.0.0.1|court_ping",
            "   PROCEDURES|",
            "   STATES|",
            "    START|",
            "     start [0_1_0_start_1]:127.0.0.1|0_1_0_start_1",
            "     task [0_1_0_start_2]:127.0.0.1|0_1_0_start_2",
            "     output [0_1_0_start_3]:127.0.0.1|0_1_0_start_3",
            "     setstate [0_1_0_start_4]:127.0.0.1|0_1_0_start_4",
            "    done|",
            "     input [0_1_0_done_30]:127.0.0.1|0_1_0_done_30",
            "     setstate [0_1_0_done_31]:127.0.0.1|0_1_0_done_31",
            "    serving|",
            "     input [0_1_0_serving_10]:127.0.0.1|0_1_0_serving_10",
            "     decision [0_1_0_serving_11]:127.0.0.1|0_1_0_serving_11",
            "     task [0_1_0_serving_12]:127.0.0.1|0_1_0_serving_12",
            "     output [0_1_0_serving_13]:127.0.0.1|0_1_0_serving_13",
            "     output [0_1_0_serving_14]:127.0.0.1|0_1_0_serving_14",
            "     setstate [0_1_0_serving_15]:127.0.0.1|0_1_0_serving_15",
            "     output [0_1_0_serving_16]:127.0.0.1|0_1_0_serving_16",
            "     setstate [0_1_0_serving_17]:127.0.0.1|0_1_0_serving_17",
            "     input [0_1_0_serving_18]:127.0.0.1|0_1_0_serving_18",
            "     task [0_1_0_serving_19]:127.0.0.1|0_1_0_serving_19",
            "     setstate [0_1_0_serving_20]:127.0.0.1|0_1_0_serving_20",
        };
        QCOMPARE(listTree.mid(0, listExpected.size()), listExpected);
        QVERIFY(listTree.contains("  pong [court_pong]:127.0.0.1|court_pong"));

        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("pingpong.eye"));
        QVERIFY(pFrame->View()->IsShowingDrawing());
        QVERIFY(QString::fromStdString(pFrame->View()->Document()).endsWith("doc/pingpong.vsd"));
        QCOMPARE(pFrame->View()->Zoom(), 0.9);
        QCOMPARE(Lines(pFrame->Output()->System()).mid(1),
                 QStringList({QString::fromStdString(strModel), "Model loaded succefully."}));
        QCOMPARE(Lines(pFrame->Output()->Errors()).size(), 1);
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Ready to configure the model. Then, you need to create the DLL."));
        QVERIFY(!pFrame->CaptionBar()->isHidden());
        QCOMPARE(pFrame->windowTitle(), QString::fromStdString(strModel) + " - VELKO");
        QCOMPARE(started.App().RecentFiles(), QStringList{QString::fromStdString(strModel)});

        // A second open shows only the new model.
        QCOMPARE(pFrame->OpenChosenFile(strModel), int(LM_LOADED));
        QCOMPARE(TreeOf(pFrame->ClassView()->Tree()), listTree);

        // Selecting an element looks its key up in the engine: the process
        // shows its drawing, an operation its own (none here: the view keeps
        // the process's).
        pFrame->View()->SetDocument({});
        QTreeWidget* pTree = pFrame->ClassView()->Tree();
        QTreeWidgetItem* pPing = pTree->topLevelItem(0)->child(0)->child(0);
        pTree->setCurrentItem(pPing);
        QCOMPARE(pFrame->Properties()->SelectedProcess(), std::string("court_ping"));
        int nKind = -1;
        QCOMPARE(pFrame->GetSelectedAgent(nKind),
                 static_cast<CSDLAgent*>(pFrame->Engine()->m_mapProcesses["court_ping"]));
        QCOMPARE(nKind, int(SK_PROCESS));
        pTree->setCurrentItem(pPing->child(1));  // STATES
        QCOMPARE(pFrame->GetSelectedAgent(nKind), pFrame->Engine()->GetRootAgent());
        QCOMPARE(nKind, int(SK_OTHER));
        pTree->setCurrentItem(pPing->child(1)->child(1)->child(0));  // done: input
        QVERIFY(pFrame->GetSelectedOperation(nKind));
        QCOMPARE(nKind, int(SK_OPERATION));

        // Close clears everything and lets the engine go.
        pFrame->Commands().Action(ID_FILE_CLOSE)->trigger();
        QCOMPARE(pTree->topLevelItemCount(), 0);
        QVERIFY(!pFrame->View()->IsShowingDrawing());
        QVERIFY(pFrame->View()->Document().empty());
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("No file loaded"));
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("No Document - VELKO"));
        QCOMPARE(Lines(pFrame->Output()->System()).last(), QStringLiteral("Model closed."));
        QVERIFY(!pFrame->Engine());
        QVERIFY(!pFrame->Commands().Action(ID_CODE_CREATE)->isEnabled());
    }

    void ExtensionsAreMatchedWithoutCaseAndFailuresGiveTheirMessages() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        for (const char* pszName : {"a.VeLkO", "b.SDL", "c.xMl"}) {
            QCOMPARE(pFrame->OpenChosenFile(CopySample(dir, pszName)), int(LM_LOADED));
        }
        const std::string strDevs = WriteFile(dir, "pair.DeVs", [] {
            QFile file(SourcePath("tests/data/devs/pair.devs"));
            file.open(QIODevice::ReadOnly);
            return file.readAll();
        }());
        QCOMPARE(pFrame->OpenChosenFile(strDevs), int(LM_LOADED));
        QVERIFY(pFrame->Engine()->GetRootAgent());
        // A model loaded from a DEVS model that is not whole says so.
        QCOMPARE(Lines(pFrame->Output()->System()).mid(pFrame->Output()->System()->count() - 2),
                 QStringList({"Model loaded succefully.",
                              QStringLiteral("The DEVS model %1 was converted in part: 1 "
                                             "warning(s) in Errors name what the converted model "
                                             "leaves out.")
                                  .arg(QString::fromStdString(strDevs))}));
        QCOMPARE(Lines(pFrame->Output()->Errors()).last(),
                 QStringLiteral("Warning: The channel jobs of the coupled model pair carries only "
                                "its first signal, job, in the converted model; cancel is not "
                                "converted."));

        // An unknown extension changes nothing.
        CSDLEngine* pEngine = pFrame->Engine();
        const int nSystemLines = pFrame->Output()->System()->count();
        QCOMPARE(pFrame->OpenChosenFile(CopySample(dir, "d.txt")), int(LM_FAILED));
        QCOMPARE(pFrame->Engine(), pEngine);
        QCOMPARE(pFrame->Output()->System()->count(), nSystemLines);
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Some errors ocurred on loading the model."));

        // A file that is not there is named, and the model open before it
        // (the sample, with its representation file) is gone: no title,
        // label or command names it.
        QCOMPARE(pFrame->OpenChosenFile(SampleModel()), int(LM_LOADED));
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("pingpong.eye"));
        const int nSystemMissing = pFrame->Output()->System()->count();
        const int nErrorsMissing = pFrame->Output()->Errors()->count();
        const std::string strMissing = dir.filePath("missing.velko").toStdString();
        QCOMPARE(pFrame->OpenChosenFile(strMissing), int(LM_FAILED));
        const QString strCannot =
            QStringLiteral("The model file %1 cannot be opened: No such file or directory.")
                .arg(QString::fromStdString(strMissing));
        QCOMPARE(Lines(pFrame->Output()->System()).mid(nSystemMissing),
                 QStringList({QString::fromStdString(strMissing),
                              "Model loaded UNsuccefully. Empty line.", strCannot}));
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nErrorsMissing), QStringList{strCannot});
        QCOMPARE(pFrame->ClassView()->Tree()->topLevelItemCount(), 0);
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("No Document - VELKO"));
        QCOMPARE(pFrame->RepresentationLabel()->text(), QStringLiteral("No file loaded"));
        QVERIFY(!pFrame->Engine());
        for (int nId : {ID_CODE_ALL, ID_SIM_INITIALIZE, ID_EXPERIMENT_EDIT}) {
            QVERIFY(!pFrame->Commands().Action(nId)->isEnabled());
        }

        const int nErrorLines = pFrame->Output()->Errors()->count();
        const int nBefore = pFrame->Output()->System()->count();
        const std::string strBroken = WriteFile(dir, "broken.velko", "<system name='x'><block");
        QCOMPARE(pFrame->OpenChosenFile(strBroken), int(LM_FAILED));
        QCOMPARE(Lines(pFrame->Output()->System()).mid(nBefore),
                 QStringList({QString::fromStdString(strBroken),
                              "Model contains UNsalvable errors. See errors for more details."}));
        const QStringList listErrors = Lines(pFrame->Output()->Errors()).mid(nErrorLines);
        QCOMPARE(listErrors.size(), 1);
        QVERIFY(listErrors[0].contains("not well-formed XML"));

        const int nErrorsNow = pFrame->Output()->Errors()->count();
        const int nSystemNow = pFrame->Output()->System()->count();
        const std::string strNoIP =
            WriteFile(dir, "noip.velko",
                      "<system name='s'><block name='b' id='1' portRead='1'>"
                      "<process name='p' id='1' IP='x' portRead='1' "
                      "implementation=''><start><start name='s' id='1'/>"
                      "</start></process></block></system>");
        QCOMPARE(pFrame->OpenChosenFile(strNoIP), int(LM_ERROR_LOG));
        QCOMPARE(Lines(pFrame->Output()->System()).mid(nSystemNow),
                 QStringList({QString::fromStdString(strNoIP), "Atribute [IP] not found",
                              "Model loaded UNsuccefully."}));
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nErrorsNow),
                 QStringList{"Atribute [IP] not found"});
        QCOMPARE(pFrame->CaptionBar()->Text(),
                 QStringLiteral("Some errors ocurred on loading the model."));
        // A model whose load failed is no model to build or run: one with an
        // attribute missing, and one whose procedure call gives a double
        // "1,5", which would run as 0.
        auto expectNoModel = [pFrame] {
            QVERIFY(!pFrame->Engine());
            for (int nId : {ID_CODE_ALL, ID_SIM_INITIALIZE, ID_EXPERIMENT_EDIT}) {
                QVERIFY(!pFrame->Commands().Action(nId)->isEnabled());
            }
        };
        expectNoModel();
        QCOMPARE(pFrame->OpenChosenFile(SampleModel()), int(LM_LOADED));
        QVERIFY(pFrame->Commands().Action(ID_CODE_ALL)->isEnabled());
        const int nErrorsComma = pFrame->Output()->Errors()->count();
        const std::string strComma = WriteFile(
            dir, "comma.velko",
            "<system name='s'><block name='b' id='1' IP='' portRead='0'>"
            "<process name='p' id='1' IP='' portRead='0' implementation=''><procedures>"
            "<procedure name='f' id='2'><params><param name='x' type='double' defvalue='0' "
            "ref='no'/></params><body><task name='t' id='1'>x = x;</task></body></procedure>"
            "</procedures><start><start name='s' id='1'/><procedurecall name='f' id='2'>"
            "<param name='x' value='1,5'/></procedurecall></start></process></block></system>");
        QCOMPARE(pFrame->OpenChosenFile(strComma), int(LM_FAILED));
        QVERIFY(Lines(pFrame->Output()->Errors())
                    .mid(nErrorsComma)
                    .join('\n')
                    .contains("The value \"1,5\" of the parameter x of the procedure call f"));
        expectNoModel();
    }

    void ErrorTextsArriveFromTheirEnd() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        const int nStart = pFrame->Output()->Errors()->count();
        pFrame->WriteModelErrors("a\nb\nc");
        pFrame->WriteModelErrors("a\nb\nc\n");
        pFrame->WriteErrors("x\n\ny");
        QCOMPARE(Lines(pFrame->Output()->Errors()).mid(nStart),
                 QStringList({"c", "b", "a", "a", "b", "c", "x", "y"}));
    }

    void ARecentEntryThatFailsIsDropped() {
        CStartedApp started;
        QTemporaryDir dir;
        const std::string strGood = CopySample(dir, "good.velko");
        const std::string strGone = CopySample(dir, "gone.velko");
        started.App().AddToRecentFileList(strGood);
        started.App().AddToRecentFileList(strGone);
        QFile::remove(QString::fromStdString(strGone));
        QCOMPARE(started.App().RecentFiles().size(), 2);

        started.App().OnOpenRecentFile(0);
        QCOMPARE(started.App().RecentFiles(), QStringList{QString::fromStdString(strGood)});
        started.App().OnOpenRecentFile(0);
        QCOMPARE(started.App().RecentFiles(), QStringList{QString::fromStdString(strGood)});
        QVERIFY(started.Frame()->Engine()->GetRootAgent());

        for (int i = 0; i < MAX_RECENT_FILES + 3; ++i) {
            started.App().AddToRecentFileList("/nowhere/" + std::to_string(i) + ".velko");
        }
        QCOMPARE(started.App().RecentFiles().size(), MAX_RECENT_FILES);
        QCOMPARE(started.App().RecentFiles().first(), QStringLiteral("/nowhere/18.velko"));

        // A damaged setting lists only the full paths it holds, once each;
        // the next change writes the list clean.
        const QString strGoodPath = QString::fromStdString(strGood);
        QSettings().setValue(SETTING_RECENT, QStringLiteral("@Invalid("));
        QCOMPARE(started.App().RecentFiles(), QStringList());
        QSettings().setValue(SETTING_RECENT,
                             QStringList({"@Invalid(", "", "relative.velko", strGoodPath,
                                          strGoodPath, "/a\nb.velko"}));
        QCOMPARE(started.App().RecentFiles(), QStringList{strGoodPath});
        started.App().OnOpenRecentFile(0);
        QCOMPARE(started.App().RecentFiles(), QStringList{strGoodPath});
        QSettings().setValue(SETTING_RECENT, 42);
        started.App().AddToRecentFileList(strGood);
        QCOMPARE(QSettings().value(SETTING_RECENT).toStringList(), QStringList{strGoodPath});
    }

    void AnInitialisedRunIsStoppedBeforeRunAndTheModelCanBeClosed() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(CopySample(dir, "run.velko")), int(LM_LOADED));
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->SetLibraryFactory([] { return std::make_unique<CFakeModelLibrary>(); });
        pEngine->m_bRepresentationTrace = false;
        QVERIFY(!commands.Action(ID_SIM_STOP)->isEnabled());
        commands.Action(ID_SIM_INITIALIZE)->trigger();
        VELKO_TRY_VERIFY_WITH_TIMEOUT(commands.Action(ID_SIM_RUN)->isEnabled(), 20000);
        QVERIFY(commands.Action(ID_SIM_STOP)->isEnabled());
        commands.Action(ID_SIM_STOP)->trigger();
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive(); }));
        VELKO_TRY_VERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_STOP)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
        QCOMPARE(pEngine->m_nRunCount.load(), 1);

        // Nothing is refused any more.
        commands.Action(ID_FILE_CLOSE)->trigger();
        QVERIFY(!pFrame->Engine());
        QCOMPARE(TakeBoxes(), QStringList());
    }

    void OpenAndCloseAreRefusedWhileARunIsAlive() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(CopySample(dir, "run.velko")), int(LM_LOADED));
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->SetLibraryFactory([] { return std::make_unique<CFakeModelLibrary>(); });
        pEngine->m_bRepresentationTrace = false;
        pEngine->StartThread();
        QVERIFY(pFrame->IsRunAlive());
        TakeBoxes();

        QCOMPARE(pFrame->OpenChosenFile(SampleModel()), int(LM_REFUSED));
        pFrame->Commands().Action(ID_FILE_CLOSE)->trigger();
        QCOMPARE(pFrame->Engine(), pEngine);
        QVERIFY(pFrame->ClassView()->Tree()->topLevelItemCount() > 0);
        // Both refused: the second refusal is counted in the first one's box,
        // still on screen.
        const QStringList listBoxes = TakeBoxes();
        QCOMPARE(listBoxes.count(
                     "A simulation of the model is running. Stop it before opening or closing a "
                     "model."),
                 1);

        // Quitting during the run stops it and waits for its thread.
        started.App().ExitInstance();
        QVERIFY(!started.Frame());
    }
};

VELKO_TEST_SUITE("OpenClose", COpenCloseTest)
#include "openclose_test.moc"
