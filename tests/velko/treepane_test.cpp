// The model tree pane: a right click selects, "&Properties..." and "Trace
// options" act on the selected process.

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTreeWidgetItemIterator>
#include <thread>

#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "support/fakemodellibrary.h"
#include "velko/classview.h"
#include "velko/dlgtraceoptions.h"
#include "velko/propertieswnd.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

QAction* MenuAction(QMenu* pMenu, const QString& strText) {
    for (QAction* pAction : pMenu->actions()) {
        if (pAction->text() == strText) {
            return pAction;
        }
    }
    return nullptr;
}

void RightClick(QTreeWidget* pTree, QTreeWidgetItem* pItem) {
    const QPoint point = pTree->visualItemRect(pItem).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, point, pTree->viewport()->mapToGlobal(point));
    QApplication::sendEvent(pTree->viewport(), &event);
}

// The six flags of a process in the dialog's order.
std::vector<bool> Flags(const CSDLProcess* pProcess) {
    return {pProcess->m_bTraceInput, pProcess->m_bTraceOutput, pProcess->m_bTraceSetState,
            pProcess->m_bAnimInput,  pProcess->m_bAnimOutput,  pProcess->m_bAnimSetState};
}

}  // namespace

class CTreePaneTest : public QObject {
    Q_OBJECT
private slots:
    void TraceOptionsChangeExactlyTheBoxesTicked() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(CopySample(dir, "trace.velko")), int(LM_LOADED));
        CClassView* pPane = pFrame->ClassView();
        QTreeWidget* pTree = pPane->Tree();
        QTreeWidgetItem* pCourt = pTree->topLevelItem(0)->child(0);
        QTreeWidgetItem* pPing = pCourt->child(0);
        CSDLProcess* pProcess = pFrame->Engine()->m_mapProcesses["court_ping"];
        const std::vector<bool> before = Flags(pProcess);
        QCOMPARE(before, std::vector<bool>({true, true, true, false, false, true}));

        // A right click selects the item under it before the menu opens.
        RightClick(pTree, pPing);
        QCOMPARE(pTree->currentItem(), pPing);
        VELKO_TRY_VERIFY(pPane->ContextMenu()->isVisible());
        pPane->ContextMenu()->close();

        // Ticking "Operation Input" of the animation trace and OK.
        OnNextModal([](QWidget* pModal) {
            auto* pDialog = qobject_cast<CDlgTraceOptions*>(pModal);
            QVERIFY(pDialog);
            QCOMPARE(pDialog->Box(1)->isChecked(), true);
            QCOMPARE(pDialog->Box(3)->isChecked(), false);
            QTest::mouseClick(pDialog->Box(3), Qt::LeftButton);
            SaveScreenshot(pDialog, QStringLiteral("trace-options"));
            pDialog->accept();
        });
        MenuAction(pPane->ContextMenu(), QStringLiteral("Trace options"))->trigger();
        std::vector<bool> expected = before;
        expected[3] = true;
        QCOMPARE(Flags(pProcess), expected);

        // Cancel leaves every flag.
        OnNextModal([](QWidget* pModal) {
            auto* pDialog = qobject_cast<CDlgTraceOptions*>(pModal);
            QTest::mouseClick(pDialog->Box(0), Qt::LeftButton);
            pDialog->reject();
        });
        pFrame->OnTraceOptions();
        QCOMPARE(Flags(pProcess), expected);

        // On a block nothing opens; "&Properties..." selects the block.
        RightClick(pTree, pCourt);
        pPane->ContextMenu()->close();
        pFrame->OnTraceOptions();
        QVERIFY(!QApplication::activeModalWidget());
        MenuAction(pPane->ContextMenu(), QStringLiteral("&Properties..."))->trigger();
        QCOMPARE(pFrame->Properties()->SelectedBlock(), std::string("0_1"));

        // While a run is alive the flags are not the window's to change.
        pTree->setCurrentItem(pPing);
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->SetLibraryFactory([] { return std::make_unique<CFakeModelLibrary>(); });
        pEngine->m_bRepresentationTrace = false;
        pEngine->StartThread();
        TakeBoxes();
        pFrame->OnTraceOptions();
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(TakeBoxes(), QStringList{"Trace options can be changed only while the model is "
                                          "not being simulated."});
        QCOMPARE(Flags(pProcess), expected);
    }

    void TheSampleLabelsFitThePaneAsItOpensAndEachShowsWhole() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        CViewTree* pTree = pFrame->ClassView()->Tree();
        pTree->expandAll();
        QCoreApplication::processEvents();
        // Each label needs its indentation and the width its item asks for;
        // the deepest are operations, six indentations in.
        int nItems = 0;
        for (QTreeWidgetItemIterator it(pTree); *it; ++it, ++nItems) {
            const QModelIndex index = pTree->indexFromItem(*it);
            const int nNeeded =
                pTree->visualRect(index).left() + pTree->sizeHintForIndex(index).width();
            QVERIFY2(nNeeded <= pTree->viewport()->width(),
                     qPrintable(QStringLiteral("%1 needs %2 of %3 pixels")
                                    .arg((*it)->text(0))
                                    .arg(nNeeded)
                                    .arg(pTree->viewport()->width())));
            QCOMPARE((*it)->toolTip(0), (*it)->text(0));
        }
        QVERIFY(nItems > 40);
        SaveScreenshot(pFrame, QStringLiteral("treepane-sample"));
    }

    void AgentsMadeAndRemovedDuringARunFollowInTheTree() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QCOMPARE(pFrame->LoadModel(SampleModel()), int(LM_LOADED));
        CSDLEngine* pEngine = pFrame->Engine();
        CSDLAgent* pCourt = pEngine->m_mapProcesses["court_ping"]->m_pParent;
        QTreeWidgetItem* pCourtItem = pFrame->ClassView()->Tree()->topLevelItem(0)->child(0);
        const int nBefore = pCourtItem->childCount();

        // What a create does on the simulation thread: the instance enters
        // the tree under the tree lock, then the listener hears of it.
        auto pInstance = std::make_unique<CSDLProcess>();
        pInstance->m_strName = "ping";
        pInstance->m_nInstanceIndex = 1;
        pInstance->m_pEngine = pEngine;
        pInstance->m_pParent = pCourt;
        const std::string strKey = pInstance->GetFullName(true);
        QCOMPARE(strKey, std::string("court_ping[1]"));
        std::thread([&] {
            {
                auto lock = pEngine->LockTreeForChange();
                pCourt->m_mapProcesses["ping[1]"] = std::move(pInstance);
            }
            pEngine->NotifyAgentsChanged({strKey}, {});
        }).join();
        VELKO_TRY_COMPARE(pCourtItem->childCount(), nBefore + 1);
        QTreeWidgetItem* pItem = pCourtItem->child(nBefore);
        QCOMPARE(pItem->text(0), QStringLiteral("ping[1] [court_ping]:"));
        QCOMPARE(CViewTree::KeyOf(pItem), QStringLiteral("court_ping"));
        QCOMPARE(CViewTree::AgentOf(pItem), QStringLiteral("court_ping[1]"));
        QCOMPARE(pItem->child(1)->text(0), QStringLiteral("STATES"));

        std::thread([&] {
            {
                auto lock = pEngine->LockTreeForChange();
                pCourt->m_mapProcesses.erase("ping[1]");
            }
            pEngine->NotifyAgentsChanged({}, {strKey});
        }).join();
        VELKO_TRY_COMPARE(pCourtItem->childCount(), nBefore);
    }
};

VELKO_TEST_SUITE("TreePane", CTreePaneTest)
#include "treepane_test.moc"
