// The main dialog offscreen, with a plain window standing for the 3D window:
// its keys, the replay controls, the windows it shows, the logs, the server
// options, and the loads from a file with the terrain's properties.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "clients/velkoeyedx/propertygridctrl.h"
#include "clients/velkoeyedx/sh_dx/serverclient.h"
#include "clients/velkoeyedx/velkoeyedxdlgopt1.h"
#include "clients/velkoeyedx/velkoeyedxlogs.h"
#include "clients/velkoeyedx/velkoeyedxprop.h"
#include "velkoeyedx/eyewindow.h"

namespace {

using velkotest::BoxText;
using velkotest::CLoopbackServer;
using velkotest::CReaderScene;
using velkotest::DrawOf;
using velkotest::DrawsAt;
using velkotest::EyeDialogTest;

TEST_F(EyeDialogTest, EnterAndEscapeNeverCloseTheDialogAndEnterInTheTimeBoxMovesTheReplay) {
    QSignalSpy finished(m_pDlg.get(), &QDialog::finished);
    CReplayClock& clock = m_view.scene.GetClock();
    Trigger(ID_DEMOS_DEMO1);
    ASSERT_TRUE(m_pDlg->TimeBox()->isEnabled());

    // Stopped: the replay moves to the typed time and stays stopped; the
    // focus moves on.
    m_pDlg->TimeBox()->setFocus();
    m_pDlg->TimeBox()->selectAll();
    QTest::keyClicks(m_pDlg->TimeBox(), "7.25");
    Press(Qt::Key_Return);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 7.25);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_FALSE(m_pDlg->TimeBox()->hasFocus());
    // Box 0 stopped at 5 and resumes at 9: at 7.25 it stands where it
    // stopped, which only a replay up to the new time shows.
    const auto box0 = DrawOf(m_view.scene.Frame().vecDraws, "box0");
    ASSERT_TRUE(box0);
    EXPECT_EQ(*box0, *DrawOf(DrawsAt(m_view.scene, 5.0), "box0"));

    // Enter on a button does not press it; Escape closes nothing.
    m_pDlg->PlayButton()->setFocus();
    Press(Qt::Key_Return);
    Press(Qt::Key_Enter);
    EXPECT_TRUE(clock.IsStopped());
    for (QWidget* pFocus :
         {static_cast<QWidget*>(m_pDlg->TimeBox()), static_cast<QWidget*>(m_pDlg->PlayButton()),
          static_cast<QWidget*>(m_pDlg->SpeedBox())}) {
        pFocus->setFocus();
        Press(Qt::Key_Escape);
        Press(Qt::Key_Return);
    }
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(clock.IsStopped());

    // Running: Enter takes the time shown and the clock runs on.
    m_pDlg->TimeBox()->setText("3");
    m_pDlg->PlayButton()->click();
    m_view.ticks.Advance(1.5);
    m_pDlg->RefreshTimerDisplay();
    EXPECT_EQ(m_pDlg->TimeBox()->text(), "4.50");
    m_view.ticks.Advance(2.0);
    m_pDlg->TimeBox()->setFocus();
    Press(Qt::Key_Enter);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 4.5);
    EXPECT_FALSE(clock.IsStopped());
    EXPECT_TRUE(m_pDlg->isVisible());
}

TEST_F(EyeDialogTest, PlayStopAndRestartFollowTheClock) {
    CReplayClock& clock = m_view.scene.GetClock();
    // Before any load: the controls wait for a scene, and say Start.
    m_pDlg->RefreshTimerDisplay();
    EXPECT_FALSE(m_pDlg->PlayButton()->isEnabled());
    EXPECT_EQ(m_pDlg->PlayButton()->text(), "Start");

    Trigger(ID_DEMOS_DEMO1);
    m_pDlg->RefreshTimerDisplay();
    EXPECT_EQ(m_pDlg->PlayButton()->text(), "Start");
    EXPECT_TRUE(m_pDlg->RestartButton()->isEnabled());

    m_pDlg->PlayButton()->click();
    m_view.ticks.Advance(2.5);
    m_pDlg->RefreshTimerDisplay();
    EXPECT_EQ(m_pDlg->PlayButton()->text(), "Stop");
    EXPECT_EQ(m_pDlg->TimeBox()->text(), "2.50");
    EXPECT_TRUE(m_pDlg->TimeBox()->isReadOnly());
    EXPECT_FALSE(m_pDlg->RestartButton()->isEnabled());

    // The 3D window's pause key stops the clock: the box keeps its time.
    m_view.scene.ToggleClock();
    m_view.ticks.Advance(1.0);
    m_pDlg->RefreshTimerDisplay();
    EXPECT_EQ(m_pDlg->PlayButton()->text(), "Start");
    EXPECT_EQ(m_pDlg->TimeBox()->text(), "2.50");
    EXPECT_FALSE(m_pDlg->TimeBox()->isReadOnly());
    EXPECT_TRUE(m_pDlg->RestartButton()->isEnabled());

    // A speed chosen while stopped leaves the clock stopped at the box's
    // time; Play then runs it at that speed.
    m_pDlg->SpeedBox()->setCurrentIndex(1);
    emit m_pDlg->SpeedBox()->textActivated("2x");
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 2.5);
    m_pDlg->PlayButton()->click();
    m_view.ticks.Advance(1.0);
    m_pDlg->RefreshTimerDisplay();
    EXPECT_EQ(m_pDlg->TimeBox()->text(), "4.50");

    m_pDlg->PlayButton()->click();
    m_pDlg->RefreshTimerDisplay();
    m_pDlg->RestartButton()->click();
    EXPECT_EQ(m_pDlg->TimeBox()->text(), "0.00");
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
}

// Answers file choices as the recording notifier does, once the user has
// taken his time: meanwhile the clock goes on and the dialog refreshes.
struct CSlowChoiceNotifier : CRecordingNotifier {
    std::function<void()> fnMeanwhile;
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                 const std::string& strFolder) override {
        fnMeanwhile();
        return CRecordingNotifier::ChooseFileToOpen(strTitle, strFilter, strFolder);
    }
};

// Every load starts the replay anew, whether the last replay stopped or
// still runs while the file is chosen: the time box says 0 again, so Start
// plays the new scene from its start.
TEST_F(EyeDialogTest, EveryLoadStartsTheReplayFromZero) {
    CReplayClock& clock = m_view.scene.GetClock();
    CSlowChoiceNotifier notifier;
    notifier.fnMeanwhile = [&] {
        m_view.ticks.Advance(4.22);
        m_pDlg->RefreshTimerDisplay();
    };
    SetNotifier(&notifier);
    const std::string strTrace = m_files.Write(
        "run/short.trace", "<Trace><ModelInfo><Agents/></ModelInfo><Events/></Trace>\n");
    const std::string strMesh = m_files.Write("one.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const std::vector<std::pair<EyeCommand, std::string>> vecLoads = {
        {ID_LOADMODEL_FROMTRACE, strTrace}, {ID_DEMOS_DEMO1, ""},
        {ID_LOADMODEL_FROMTRACE, ""},  // cancelled: the scene is emptied all the same
        {ID_LOADMODEL_FROMFILE, strMesh},   {ID_LOADMODEL_FROMFILE, ""},
    };
    for (const bool bRunning : {false, true}) {
        for (const auto& [eCommand, strFile] : vecLoads) {
            SCOPED_TRACE(std::to_string(eCommand) + " " + strFile + (bRunning ? " running" : ""));
            // The last replay got to 4.5, a scene loaded or not.
            Trigger(ID_DEMOS_DEMO1);
            m_pDlg->PlayButton()->click();
            m_view.ticks.Advance(4.5);
            m_pDlg->RefreshTimerDisplay();
            if (!bRunning) {
                m_pDlg->PlayButton()->click();
                m_pDlg->RefreshTimerDisplay();
            }
            ASSERT_EQ(m_pDlg->TimeBox()->text().toStdString(), "4.50");

            notifier.SetFileChoice(strFile);
            Trigger(eCommand);
            ASSERT_TRUE(m_view.WaitForFeed());
            m_pDlg->RefreshTimerDisplay();
            EXPECT_EQ(m_pDlg->TimeBox()->text().toStdString(), "0.00");
            EXPECT_TRUE(clock.IsStopped());
            m_pDlg->PlayButton()->click();
            EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
            m_pDlg->PlayButton()->click();
        }
    }
}

TEST_F(EyeDialogTest, WindowDirectXAndLogsFollowTheirWindows) {
    QAction* pDirectX = m_pDlg->GetAction(ID_WINDOW_DIRECTX);
    // At the top right of the screen: the simulator's place, the top left,
    // stays free.
    const QRect screen = m_pDlg->screen()->availableGeometry();
    EXPECT_EQ(m_pDlg->frameGeometry().top(), screen.top() + 50);
    EXPECT_EQ(m_pDlg->frameGeometry().right(), screen.right() - 50);

    Trigger(ID_WINDOW_DIRECTX);
    ASSERT_TRUE(m_window.isVisible());
    EXPECT_TRUE(pDirectX->isChecked());
    EXPECT_TRUE(m_pDlg->PlayButton()->isEnabled());
    const QRect dialog = m_pDlg->frameGeometry();
    const QRect window = m_window.frameGeometry();
    EXPECT_EQ(window.left(), dialog.left());
    EXPECT_EQ(window.top(), dialog.top() + dialog.height() + 5);
    EXPECT_EQ(window.width(), dialog.width());
    EXPECT_EQ(window.height(), static_cast<int>(dialog.width() * 0.6));

    // Hidden again: the controls stay as they were.
    Trigger(ID_WINDOW_DIRECTX);
    EXPECT_FALSE(m_window.isVisible());
    EXPECT_FALSE(pDirectX->isChecked());
    EXPECT_TRUE(m_pDlg->PlayButton()->isEnabled());

    // The window hidden by itself (its close button) takes the mark with it,
    // and the next command shows it.
    Trigger(ID_WINDOW_DIRECTX);
    m_window.hide();
    EXPECT_FALSE(pDirectX->isChecked());
    Trigger(ID_WINDOW_DIRECTX);
    EXPECT_TRUE(m_window.isVisible());
    EXPECT_TRUE(pDirectX->isChecked());

    QAction* pLogs = m_pDlg->GetAction(ID_WINDOW_LOGS);
    Trigger(ID_WINDOW_LOGS);
    ASSERT_TRUE(m_pDlg->GetLogsDlg()->isVisible());
    EXPECT_TRUE(pLogs->isChecked());
    m_pDlg->GetLogsDlg()->close();
    EXPECT_FALSE(pLogs->isChecked());
    Trigger(ID_WINDOW_LOGS);
    EXPECT_TRUE(m_pDlg->GetLogsDlg()->isVisible());
    Trigger(ID_WINDOW_LOGS);
    EXPECT_FALSE(m_pDlg->GetLogsDlg()->isVisible());
    EXPECT_FALSE(pLogs->isChecked());
}

TEST_F(EyeDialogTest, LogsHoldTheirLinesAfterAnEmptyLine) {
    const std::string strTrace = m_files.Write(
        "run/yard.xml",
        "<?xml version='1.0' encoding='utf-8'?>\n<Trace>\n<ModelInfo><ModelName>yard</ModelName>"
        "<Agents><Agent name='truck'><state name='idle'><mesh scale='1'>truck.obj</mesh></state>"
        "</Agent></Agents></ModelInfo>\n<Events>\n"
        "<EYE_AnimTo agent='truck' xTime='1'><mesh scale='1'>truck.obj</mesh>"
        "<pos x='2' y='0' z='0'/></EYE_AnimTo>\n"
        "<EYE_Report xTime='2' agent='truck' varname='load' vartype='int' varvalue='5'/>\n"
        "<EYE_Report xTime='2' agent='truck' varname='level' vartype='double' varvalue='0.5' "
        "cell='12'/>\n"
        "<EYE_Report xTime='3' agent='truck' varname='share' vartype='int' varvalue='50%'/>\n"
        "<EYE_AnimTo agent='crate' xTime='1'><mesh>crate.obj</mesh></EYE_AnimTo>\n"
        "<EYE_RemoveAt agent='crate' xTime='2'/>\n</Events>\n</Trace>\n");
    const std::string strParsed =
        "\nModelName: yard"
        "\nThe mesh truck.obj cannot be found: a box stands for it."
        "\nAnimTo truck at 1 to [(truck.obj) p:(2,0, 0) r:(0.0,0.0,0.0) sc.:1]"
        "\nReport truck at:2 int load=5"
        "\nReport truck at:2 double level=0.5"
        "\nReport truck at:3 int share=50%"
        "\nAnimTo crate at 1 to [(crate.obj) p:(0.0,0.0, 0.0) r:(0.0,0.0,0.0) sc.:1]"
        "\nRemoveAt crate at:2";
    const std::string strLoaded =
        "\nLoading trace file ...\nTrace " + strTrace + " Loaded successfuly";
    CVELKOEyeDXLogs& logs = *m_pDlg->GetLogsDlg();
    m_notifier.SetFileChoice(strTrace);
    // Loaded twice: the second load empties the Parsing Log after the first
    // one's lines, which the feeder thread wrote.
    for (int nLoad = 0; nLoad < 2; ++nLoad) {
        Trigger(ID_LOADMODEL_FROMTRACE);
        ASSERT_TRUE(m_view.WaitForFeed());
    }
    EXPECT_EQ(BoxText(logs.ParsingBox()), strParsed);
    EXPECT_EQ(BoxText(m_pDlg->SyslogBox()), strLoaded + strLoaded);

    DrawsAt(m_view.scene, 5.0);
    logs.RefreshButton()->click();
    EXPECT_EQ(BoxText(logs.AgentsBox()), "\ntruck:truck.obj");
    EXPECT_EQ(BoxText(logs.ReportsBox()),
              "\ntruck int load=5;\ntruck[12] var double level=0.5;\ntruck int share=50%;");
    velkotest::SaveScreenshot(logs.grab().toImage(), "velkoeyedx-logs");
    const std::string strExec = BoxText(logs.ExecBox());
    EXPECT_EQ(strExec.substr(0, 1), "\n");
    EXPECT_NE(strExec.find("crate"), std::string::npos);

    // Back at the start nothing shows: the boxes are emptied.
    DrawsAt(m_view.scene, 0.0);
    logs.RefreshButton()->click();
    EXPECT_EQ(BoxText(logs.AgentsBox()), "");
    EXPECT_EQ(BoxText(logs.ReportsBox()), "");
}

// The log boxes keep their newest lines, whether they come faster than the
// dialog shows them (a trace fed by its thread: queued, then shown at once)
// or a few at a time (the Syslog, shown as it goes).
TEST_F(EyeDialogTest, LogBoxesKeepTheirNewestLines) {
    constexpr int kKept = CEditLogSink::kMaxLines;
    const auto lines = [](int nFrom, int nTo, const auto& line) {
        std::string strLines;
        for (int n = nFrom; n < nTo; ++n) {
            strLines += (n == nFrom ? "" : "\n") + line(n);
        }
        return strLines;
    };
    const auto summary = [](const std::string& strText) {
        return std::to_string(std::count(strText.begin(), strText.end(), '\n') + 1) +
               " lines from \"" + strText.substr(0, strText.find('\n')) + "\"";
    };

    // A line per record after the model's name, five times what a box keeps.
    constexpr int kRecords = 5 * kKept;
    std::string strTrace =
        "<?xml version='1.0' encoding='utf-8'?>\n<Trace>\n<ModelInfo><ModelName>yard</ModelName>"
        "<Agents><Agent name='truck'><state name='idle'><mesh scale='1'>truck.obj</mesh></state>"
        "</Agent></Agents></ModelInfo>\n<Events>\n";
    for (int nRecord = 0; nRecord < kRecords; ++nRecord) {
        const std::string strRecord = std::to_string(nRecord);
        strTrace += "<EYE_Report xTime='" + strRecord +
                    "' agent='truck' varname='load' vartype='int' varvalue='" + strRecord + "'/>\n";
    }
    strTrace += "</Events>\n</Trace>\n";
    m_notifier.SetFileChoice(m_files.Write("run/long.xml", strTrace));
    Trigger(ID_LOADMODEL_FROMTRACE);
    ASSERT_TRUE(m_view.WaitForFeed());
    const std::string strParsed = BoxText(m_pDlg->GetLogsDlg()->ParsingBox());
    EXPECT_TRUE(strParsed == lines(kRecords - kKept, kRecords,
                                   [](int n) {
                                       return "Report truck at:" + std::to_string(n) +
                                              " int load=" + std::to_string(n);
                                   }))
        << summary(strParsed);

    // The Syslog after the load's two lines: twice what it keeps, shown a
    // thousand at a time.
    for (int n = 0; n < 2 * kKept; ++n) {
        m_pDlg->AddLog("line " + std::to_string(n));
        if (n % 1000 == 999) {
            QCoreApplication::processEvents();
        }
    }
    const std::string strSyslog = BoxText(m_pDlg->SyslogBox());
    EXPECT_TRUE(strSyslog ==
                lines(kKept, 2 * kKept, [](int n) { return "line " + std::to_string(n); }))
        << summary(strSyslog);

    // The sink alone, over a box that would keep everything: what waits for
    // the box's thread is its newest lines, and a clear drops what came
    // before it. Once detached it writes nothing, not even a line it took
    // before.
    auto pBox = std::unique_ptr<QPlainTextEdit>(MakeLogBox(nullptr));
    auto pSink = std::make_shared<CEditLogSink>(pBox.get());
    pBox->setMaximumBlockCount(0);
    std::thread writer([&pSink] {
        pSink->AppendLine("cleared");
        pSink->ClearLines();
        for (int n = 0; n < 3 * kKept; ++n) {
            pSink->AppendLine("queued " + std::to_string(n));
        }
    });
    writer.join();
    const std::string strQueued = BoxText(pBox.get());
    EXPECT_TRUE(strQueued == "\n" + lines(2 * kKept, 3 * kKept,
                                          [](int n) { return "queued " + std::to_string(n); }))
        << summary(strQueued);
    pSink->AppendLine("posted, then dropped");
    pSink->Detach();
    pSink->AppendLine("after the box");
    EXPECT_EQ(BoxText(pBox.get()), strQueued);
    pSink->AppendLine("after the box");
    pBox.reset();
    QCoreApplication::processEvents();
}

TEST_F(EyeDialogTest, ServerOptionsAreSavedAndUsedByTheNextConnection) {
    CLoopbackServer server;
    const QString strPort = QString::number(server.Port());
    Trigger(ID_CONFIGURATION_SERVEROPTIONS);
    CVELKOEyeDXDlgOpt1& options = *m_pDlg->GetServerOptionsDlg();
    ASSERT_TRUE(options.isVisible());
    EXPECT_EQ(options.AddressBox()->text(), "127.0.0.1");
    EXPECT_EQ(options.PortBox()->text(), "8686");

    // Only a whole address can be saved.
    options.AddressBox()->clear();
    QTest::keyClicks(options.AddressBox(), "127.0.0.");
    EXPECT_FALSE(options.SaveButton()->isEnabled());
    QTest::keyClicks(options.AddressBox(), "1x");
    EXPECT_EQ(options.AddressBox()->text(), "127.0.0.1");
    options.PortBox()->setText(strPort);
    options.SaveButton()->click();
    EXPECT_FALSE(options.isVisible());

    Trigger(ID_LOADMODEL_FROMSERVER);
    ASSERT_TRUE(server.WaitForViewer());
    EXPECT_TRUE(m_window.isVisible());
    EXPECT_TRUE(velkotest::QWaitFor([&] {
        return BoxText(m_pDlg->SyslogBox()) == "\nConnected to VELKO";
    })) << BoxText(m_pDlg->SyslogBox());

    // The next start of the program connects there too.
    CReaderScene view(m_files.Resolver());
    QWindow window;
    CVELKOEyeDXDlg next(window, view.scene, view.terrain);
    EXPECT_EQ(next.GetServerClient().GetPort(), static_cast<int>(server.Port()));
    next.OnServerOptions();
    EXPECT_EQ(next.GetServerOptionsDlg()->PortBox()->text(), strPort);
    EXPECT_EQ(next.GetServerOptionsDlg()->AddressBox()->text(), "127.0.0.1");
}

TEST_F(EyeDialogTest, FromFileShowsAMeshOrATerrainWhoseLayersPaintIt) {
    // A 4 x 3 terrain over 400 x 300 map units, two layers beside it and a
    // file that is none.
    std::vector<double> vecHeights(12);
    for (int i = 0; i < 12; ++i) {
        vecHeights[i] = 10.0 * i;
    }
    const std::string strValley =
        m_files.WriteRaster("gis/valley", 4, 3, vecHeights, 0, 400, 0, 300);
    m_files.WriteRaster("gis/wet", 4, 3, {0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, -1}, 0, 400, 0, 300);
    m_files.Write("gis/wells.vec", "1 1\n350 50\n");
    m_files.Write("gis/notes.txt", "not a layer\n");

    m_notifier.SetFileChoice(strValley);
    Trigger(ID_LOADMODEL_FROMFILE);
    ASSERT_EQ(m_view.terrain.GetNumCells(), 12);
    CVELKOEyeDXProp& properties = *m_pDlg->GetPropertiesDlg();
    ASSERT_TRUE(properties.isVisible());
    EXPECT_TRUE(m_window.isVisible());
    EXPECT_FALSE(m_pDlg->PlayButton()->isEnabled());

    CPropertyGridCtrl& grid = properties.GetGrid();
    QTreeWidget& tree = *grid.Tree();
    ASSERT_EQ(tree.topLevelItemCount(), 2);
    QTreeWidgetItem* pCell = tree.topLevelItem(0);
    // "name=value" of each "Selected Cell" item, unmarked (not bold).
    const auto cellItems = [pCell] {
        QStringList listItems;
        for (int i = 0; i < pCell->childCount(); ++i) {
            QTreeWidgetItem* pItem = pCell->child(i);
            listItems << CPropertyGridCtrl::Name(pItem) + "=" + CPropertyGridCtrl::Value(pItem) +
                             (pItem->font(1).bold() ? " (bold)" : "");
        }
        return listItems;
    };
    EXPECT_EQ(cellItems(), QStringList({"cell num=0", "cell row=0", "cell col=0", "UTM X=0",
                                        "UTM Y=0", "height=0"}));
    QTreeWidgetItem* pLayers = tree.topLevelItem(1);
    EXPECT_EQ(CPropertyGridCtrl::Name(pLayers), "Layers");
    ASSERT_EQ(pLayers->childCount(), 2);
    EXPECT_EQ(CPropertyGridCtrl::Name(pLayers->child(0)), "wells");
    EXPECT_EQ(CPropertyGridCtrl::Name(pLayers->child(1)), "wet");
    EXPECT_EQ(tree.header()->sectionSize(0), 150);

    // "green" picked from the list for "wet" paints its positive cells; a
    // typed name that is no choice paints the empty name on the well's cell.
    const auto choose = [&](int nLayer, const QString& strText, bool bFromList) {
        QTreeWidgetItem* pTexture = CPropertyGridCtrl::FindChild(pLayers->child(nLayer), "texture");
        tree.setCurrentItem(pTexture, 1);
        tree.editItem(pTexture, 1);
        auto* pCombo = qobject_cast<QComboBox*>(tree.indexWidget(tree.currentIndex()));
        ASSERT_NE(pCombo, nullptr);
        EXPECT_EQ(pCombo->currentText(), "none");
        EXPECT_EQ(pCombo->count(), 5);
        if (bFromList) {
            pCombo->setCurrentText(strText);
            emit pCombo->textActivated(strText);
        } else {
            pCombo->lineEdit()->selectAll();
            QTest::keyClicks(pCombo->lineEdit(), strText);
            QTest::keyClick(pCombo->lineEdit(), Qt::Key_Return);
        }
        QApplication::processEvents();
    };
    const auto cells = [&] {
        std::vector<std::string> vecCells;
        for (int nCell = 0; nCell < 12; ++nCell) {
            vecCells.push_back(m_view.terrain.GetCellTexture(nCell));
        }
        return vecCells;
    };
    m_view.terrain.SetCellTexture(11, "ice.jpg");
    choose(1, "green", true);
    EXPECT_EQ(cells(), (std::vector<std::string>{"", "grass.dds", "", "", "", "", "grass.dds", "",
                                                 "", "", "", "ice.jpg"}));
    choose(0, "purple", false);
    EXPECT_EQ(m_view.terrain.GetCellTexture(11), "");
    EXPECT_TRUE(m_pDlg->isVisible());

    // A pick straight down on cell 6 (row 1, column 2) fills "Selected Cell".
    ASSERT_EQ(m_view.terrain.Pick({0.4f, 100.0f, 0.1f}, {0.0f, -1.0f, 0.0f}), 6);
    m_pDlg->OnCellSelected();
    EXPECT_EQ(cellItems(), QStringList({"cell num=6", "cell row=1", "cell col=2", "UTM X=200",
                                        "UTM Y=200", "height=60"}));
    velkotest::SaveScreenshot(properties.grab().toImage(), "velkoeyedx-properties");

    // A mesh shows at the origin at time 0.
    const std::string strMesh = m_files.Write("parcel.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    m_notifier.SetFileChoice(strMesh);
    Trigger(ID_LOADMODEL_FROMFILE);
    const auto tmp = DrawOf(DrawsAt(m_view.scene, 0.0), "tmp");
    ASSERT_TRUE(tmp);
    EXPECT_EQ(tmp->strMesh, strMesh);
    EXPECT_EQ(velkotest::Origin(*tmp), CVector3());

    // An ending in capitals is no mesh: the scene is left empty. A cancelled
    // choice too, and the scene animates again.
    m_notifier.SetFileChoice(m_files.Write("PARCEL.OBJ", "v 0 0 0\n"));
    Trigger(ID_LOADMODEL_FROMFILE);
    EXPECT_TRUE(DrawsAt(m_view.scene, 0.0).empty());
    m_notifier.SetFileChoice("");
    Trigger(ID_LOADMODEL_FROMFILE);
    EXPECT_TRUE(m_view.scene.Frame().bAnimated);
    EXPECT_FALSE(m_view.terrain.IsLoaded());
    EXPECT_EQ(BoxText(m_pDlg->SyslogBox()),
              "\nTerrain loaded successfuly\nObject loaded successfuly\nUnknown Object");
}

}  // namespace
