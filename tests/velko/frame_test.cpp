// The main frame at start-up: panes, caption bar, command rules, and what
// survives a restart.

#include <QAbstractButton>
#include <QDockWidget>
#include <QStatusBar>
#include <QWhatsThis>

#include "velko/classview.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/ribbon.h"

#include "velkotest.h"

using namespace velkotest;

class CFrameTest : public QObject {
    Q_OBJECT
private slots:
    void StartsWithTheCaptionHiddenThePanesShownAndModelCommandsDisabled() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CCommandTable& commands = pFrame->Commands();
        QVERIFY(pFrame->CaptionBar()->isHidden());
        for (int nId :
             {ID_VIEW_OUTPUTWND, ID_VIEW_CLASSVIEW, ID_VIEW_PROPERTIESWND, ID_VIEW_STATUS_BAR}) {
            QVERIFY2(commands.Action(nId)->isChecked(), qPrintable(QString::number(nId)));
        }
        QVERIFY(pFrame->ClassView()->isVisible());
        QVERIFY(pFrame->Output()->isVisible());
        QVERIFY(pFrame->Properties()->isVisible());
        const int modelRule[] = {
            ID_CODE_CREATE,       ID_CODE_COMPILE,          ID_CODE_LINK,
            ID_CODE_ALL,          ID_REPRESENTATION_IMPORT, ID_PARAMETRIZATION_IMPORT,
            ID_EXPERIMENT_IMPORT, ID_REPRESENTATION_EXPORT, ID_PARAMETRIZATION_EXPORT,
            ID_EXPERIMENT_EDIT};
        for (int nId : modelRule) {
            QVERIFY2(!commands.Action(nId)->isEnabled(), qPrintable(QString::number(nId)));
        }
        for (int nId : {ID_FILE_OPEN, ID_FILE_CLOSE, ID_FILE_SAVE, ID_COMPILER_PATH, ID_MODEL_NAME,
                        ID_CREATE_CPP, ID_MODEL_PROPERTIES}) {
            QVERIFY2(commands.Action(nId)->isEnabled(), qPrintable(QString::number(nId)));
        }
        QVERIFY(!commands.Action(ID_MENU_ALL)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QCOMPARE(pFrame->Ribbon()->TabCount(), 4);
        QCOMPARE(pFrame->Ribbon()->Panels(2).size(), size_t(3));
        SaveScreenshot(pFrame, QStringLiteral("frame-start"));

        // With a model the ten commands follow their rule; once a run is
        // initialised they are off again.
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        for (int nId : modelRule) {
            QVERIFY(commands.Action(nId)->isEnabled());
        }
        QVERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
        SCommandState state = pFrame->GatherCommandState();
        state.bRunAlive = state.bInitialized = true;
        commands.Update(state);
        for (int nId : modelRule) {
            QVERIFY(!commands.Action(nId)->isEnabled());
        }
        QVERIFY(!commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(commands.Action(ID_SIM_RUN)->isEnabled());
        // A run that ended by itself keeps its initialised mark: the model
        // can be built and initialised again all the same.
        state.bRunAlive = false;
        commands.Update(state);
        QVERIFY(commands.Action(ID_SIM_INITIALIZE)->isEnabled());
        QVERIFY(commands.Action(ID_CODE_ALL)->isEnabled());
        QVERIFY(!commands.Action(ID_SIM_RUN)->isEnabled());
        QVERIFY(commands.Action(ID_FILE_CLOSE)->isEnabled());
    }

    // Every key the command table lists does something: Ctrl+N starts a new
    // document (the model is closed), Shift+F1 asks what a part of the
    // window is.
    void CtrlNAndShiftF1SendTheirCommands() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame, ScaledMs(5000)));
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        QTest::keyClick(pFrame, Qt::Key_N, Qt::ControlModifier);
        QVERIFY(!pFrame->Engine());
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("No Document - VELKO"));
        QCOMPARE(pFrame->ClassView()->Tree()->topLevelItemCount(), 0);

        QVERIFY(!QWhatsThis::inWhatsThisMode());
        QTest::keyClick(pFrame, Qt::Key_F1, Qt::ShiftModifier);
        QVERIFY(QWhatsThis::inWhatsThisMode());
        QWhatsThis::leaveWhatsThisMode();
        QVERIFY(pFrame->Output()->whatsThis().startsWith(QStringLiteral("Output: ")));
        QCOMPARE(pFrame->Commands().Action(ID_SIM_RUN)->whatsThis(), QStringLiteral("Run"));
    }

    void APaneClosedByItsOwnButtonUnchecksItsViewBox() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QDockWidget* pTree = pFrame->ClassView();
        auto* pClose =
            pTree->findChild<QAbstractButton*>(QStringLiteral("qt_dockwidget_closebutton"));
        QVERIFY(pClose);
        QTest::mouseClick(pClose, Qt::LeftButton);
        VELKO_TRY_VERIFY(pTree->isHidden());
        QVERIFY(!pFrame->Commands().Action(ID_VIEW_CLASSVIEW)->isChecked());
        // The View box brings it back.
        pFrame->Commands().Action(ID_VIEW_CLASSVIEW)->trigger();
        QVERIFY(!pTree->isHidden());
        QVERIFY(pFrame->Commands().Action(ID_VIEW_CLASSVIEW)->isChecked());
    }

    void TheChosenLookAndLayoutSurviveARestart() {
        CStartedApp started;
        QCOMPARE(started.Frame()->ApplicationLook(), int(ID_VIEW_APPLOOK_OFF_2007_AQUA));
        started.Frame()->Commands().Action(ID_VIEW_APPLOOK_OFF_2007_SILVER)->trigger();
        QCOMPARE(QSettings().value(SETTING_LOOK).toInt(), int(ID_VIEW_APPLOOK_OFF_2007_SILVER));
        started.Frame()->Commands().Action(ID_VIEW_PROPERTIESWND)->trigger();
        QVERIFY(started.Frame()->Properties()->isHidden());

        started.Restart();
        CMainFrame* pFrame = started.Frame();
        QCOMPARE(pFrame->ApplicationLook(), int(ID_VIEW_APPLOOK_OFF_2007_SILVER));
        QVERIFY(pFrame->Commands().Action(ID_VIEW_APPLOOK_OFF_2007_SILVER)->isChecked());
        QVERIFY(!pFrame->Commands().Action(ID_VIEW_APPLOOK_OFF_2007_AQUA)->isChecked());
        QVERIFY(pFrame->Properties()->isHidden());
        QVERIFY(!pFrame->Commands().Action(ID_VIEW_PROPERTIESWND)->isChecked());
        QVERIFY(!pFrame->ClassView()->isHidden());
        SaveScreenshot(pFrame, QStringLiteral("frame-silver"));
    }
};

VELKO_TEST_SUITE("Frame", CFrameTest)
#include "frame_test.moc"
