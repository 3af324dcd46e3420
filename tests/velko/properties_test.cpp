// The properties pane: its pages, the default representations, Update and
// Reset with their questions, edits through the grid's editors, and a
// selection that never outlives its model or a run's ownership of it.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlprocess.h"
#include "sh_widgets/propertygrid.h"
#include "support/fakemodellibrary.h"
#include "velko/propertieswnd.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

const char* const UPDATE_QUESTION = "Do you want to update the values?";
const char* const RESET_QUESTION = "Do you want to RESET the values?";
const char* const WALKER = "yard_walker";

// A process with three states, of which the representation file gives only
// "b" a look; a variable with blanks around its value and one whose value
// is blank; and a parametrization with one initial external event.
std::string WriteWalkerModel(const QTemporaryDir& dir) {
    WriteFile(dir, "walk.eye",
              "<?xml version='1.0' encoding='utf-8'?>\n<ModelInfo><ModelName>walk</ModelName>"
              "<Agents><Agent name='yard_walker'><state name='b'>"
              "<mesh scale='2.000000'>man.obj</mesh><pos x='1' y='2' z='3' />"
              "<rot x='0' y='90' z='0' /></state></Agent></Agents></ModelInfo>");
    WriteFile(dir, "walk.param",
              "<?xml version='1.0' encoding='utf-8'?>\n<Parametrization><DCLS/><ExternalEvents>"
              "<ExternalEvent agent='yard_walker' type='push' xTime='2.5'>"
              "<param name='force' type='int' value='3' /></ExternalEvent>"
              "</ExternalEvents></Parametrization>");
    return WriteFile(
        dir, "walk.velko",
        "<system name='walk'><block name='yard' id='1' IP='127.0.0.1' portRead='8700'>"
        "<process name='walker' id='1' IP='127.0.0.1' portRead='8701' implementation=''>"
        "<DCLS><DCL name='steps' type='int' value=' 7 '/><DCL name='note' type='char*' "
        "value='  '/><DCL name='speed' type='double' value='1.5'/></DCLS>"
        "<start><start name='start' id='1'/><setstate name='a' id='2'/></start>"
        "<state name='a'><input name='go' id='10'/><setstate name='b' id='11'/></state>"
        "<state name='b'><input name='go' id='20'/><setstate name='c' id='21'/></state>"
        "<state name='c'><input name='go' id='30'/><setstate name='a' id='31'/></state>"
        "</process></block></system>");
}

// The grid as "name=value" lines, indented by level, depth first.
QStringList GridOf(const CPropertyGrid* pGrid) {
    QStringList listLines;
    std::function<void(const QTreeWidgetItem*, int)> walk = [&](const QTreeWidgetItem* pItem,
                                                                int nLevel) {
        QString strLine = QString(nLevel, QLatin1Char(' ')) + CPropertyGrid::Name(pItem);
        if (CPropertyGrid::Type(pItem) != PT_GROUP) {
            strLine += QLatin1Char('=') + CPropertyGrid::Value(pItem);
        }
        listLines << strLine;
        for (int i = 0; i < pItem->childCount(); ++i) {
            walk(pItem->child(i), nLevel + 1);
        }
    };
    for (int i = 0; i < pGrid->Tree()->topLevelItemCount(); ++i) {
        walk(pGrid->Tree()->topLevelItem(i), 0);
    }
    return listLines;
}

// The item at a path of names from the top level.
QTreeWidgetItem* ItemAt(const CPropertyGrid* pGrid, const QStringList& listPath) {
    QTreeWidgetItem* pFound = nullptr;
    for (const QString& strName : listPath) {
        const int nCount = pFound ? pFound->childCount() : pGrid->Tree()->topLevelItemCount();
        QTreeWidgetItem* pNext = nullptr;
        for (int i = 0; i < nCount && !pNext; ++i) {
            QTreeWidgetItem* pItem = pFound ? pFound->child(i) : pGrid->Tree()->topLevelItem(i);
            if (CPropertyGrid::Name(pItem) == strName) {
                pNext = pItem;
            }
        }
        if (!pNext) {
            return nullptr;
        }
        pFound = pNext;
    }
    return pFound;
}

// Types strText into the value editor of pItem as a user would and presses
// Enter; false when no editor opens. The editor stays open when it refuses
// the text.
bool TypeIntoGrid(CPropertyGrid* pGrid, QTreeWidgetItem* pItem, const QString& strText) {
    QTreeWidget* pTree = pGrid->Tree();
    pTree->setCurrentItem(pItem, 1);
    pTree->editItem(pItem, 1);
    auto* pEditor = qobject_cast<QLineEdit*>(pTree->indexWidget(pTree->currentIndex()));
    if (!pEditor) {
        return false;
    }
    pEditor->selectAll();
    QTest::keyClicks(pEditor, strText);
    QTest::keyClick(pEditor, Qt::Key_Return);
    QCoreApplication::processEvents();
    return true;
}

QString Q(const std::string& str) {
    return QString::fromStdString(str);
}

CSDLProcess* Walker(CMainFrame* pFrame) {
    return pFrame->Engine()->m_mapProcesses[WALKER];
}

}  // namespace

class CPropertiesTest : public QObject {
    Q_OBJECT
private slots:
    void RepresentationPageGivesEveryStateALookAndUpdateWritesOnlyWhenConfirmed() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(WriteWalkerModel(dir)), int(LM_LOADED));
        CPropertiesWnd* pPane = pFrame->Properties();
        CPropertyGrid* pGrid = pPane->Grid();
        CBoxAnswerer answerer(QMessageBox::Cancel);

        // A block shows no representation.
        pPane->SelectBlock(pFrame->Engine()->m_mapBlocks.begin()->first);
        pPane->ModeBox()->setCurrentText(QStringLiteral("Representation"));
        QCOMPARE(GridOf(pGrid), QStringList{"NO REPRESENTATION"});

        // Three states, one with a look: showing the page adds exactly two.
        pPane->SelectProcess(WALKER);
        CSDLProcess* pWalker = Walker(pFrame);
        QCOMPARE(pWalker->m_mapRepresentations.size(), size_t(3));
        auto axes = [](const char* pszPosition, const char* pszRotation) {
            const QStringList listPosition = QString::fromLatin1(pszPosition).split(' ');
            const QStringList listRotation = QString::fromLatin1(pszRotation).split(' ');
            return QStringList{"  position",
                               "   x=" + listPosition[0],
                               "   y=" + listPosition[1],
                               "   z=" + listPosition[2],
                               "  rotation",
                               "   x=" + listRotation[0],
                               "   y=" + listRotation[1],
                               "   z=" + listRotation[2]};
        };
        const QStringList listPage =
            QStringList{"Agent", " Name=yard_walker", " a", "  mesh=default.obj", "  scale=1"} +
            axes("0 0 0", "0 0 0") + QStringList{" b", "  mesh=man.obj", "  scale=2"} +
            axes("1 2 3", "0 90 0") + QStringList{" c", "  mesh=default.obj", "  scale=1"} +
            axes("0 0 0", "0 0 0");
        QCOMPARE(GridOf(pGrid), listPage);
        for (const char* pszState : {"a", "c"}) {
            const C3DRepresentation& rep = *pWalker->m_mapRepresentations[pszState];
            QCOMPARE(rep.m_strMesh, std::string("default.obj"));
            QCOMPARE(rep.m_dScale, 1.0);
            QCOMPARE(rep.m_dPosX + rep.m_dPosY + rep.m_dPosZ, 0.0);
            QCOMPARE(rep.m_dRotX + rep.m_dRotY + rep.m_dRotZ, 0.0);
        }
        pPane->RefreshProperties();
        QCOMPARE(pWalker->m_mapRepresentations.size(), size_t(3));
        QTreeWidgetItem* pRotY = ItemAt(pGrid, {"Agent", "b", "rotation", "y"});
        pGrid->Tree()->setCurrentItem(pRotY);
        QVERIFY(pGrid->DescriptionArea()->text().contains("Y rotation of the agent (in degrees)."));
        QTest::ignoreMessage(QtWarningMsg, "edit: editing failed");  // read-only
        QVERIFY(!TypeIntoGrid(pGrid, ItemAt(pGrid, {"Agent", "Name"}), "x"));
        QCOMPARE(answerer.Take(), QStringList());  // filling pages asks nothing

        // An edited value is a changed property: Update asks; Cancel keeps
        // the model as it was, while the grid shows the edit in bold.
        QTreeWidgetItem* pPosX = ItemAt(pGrid, {"Agent", "a", "position", "x"});
        QVERIFY(TypeIntoGrid(pGrid, pPosX, "2.5"));
        QCOMPARE(answerer.Take(), QStringList{UPDATE_QUESTION});
        QCOMPARE(CPropertyGrid::Value(pPosX), QStringLiteral("2.5"));
        QVERIFY(CPropertyGrid::IsModified(pPosX));
        QVERIFY(pPosX->font(1).bold());
        QCOMPARE(pWalker->m_mapRepresentations["a"]->m_dPosX, 0.0);

        // A text that is no number is refused by the editor: no question,
        // no change, not 0.
        QTreeWidgetItem* pScale = ItemAt(pGrid, {"Agent", "b", "scale"});
        QVERIFY(TypeIntoGrid(pGrid, pScale, "2,5x"));
        QTest::keyClick(pGrid->Tree()->indexWidget(pGrid->Tree()->currentIndex()), Qt::Key_Escape);
        QCoreApplication::processEvents();
        QCOMPARE(CPropertyGrid::Value(pScale), QStringLiteral("2"));
        QCOMPARE(answerer.Take(), QStringList());

        // Update with OK writes the grid's numbers, mesh and rotation.
        CPropertyGrid::SetValue(ItemAt(pGrid, {"Agent", "c", "mesh"}), "cart.obj");
        CPropertyGrid::SetValue(ItemAt(pGrid, {"Agent", "c", "rotation", "z"}), "-45");
        answerer.SetButton(QMessageBox::Ok);
        pPane->Action(ID_PROPERTIES_UPDATE)->trigger();
        QCOMPARE(answerer.Take(), QStringList{UPDATE_QUESTION});
        QCOMPARE(pWalker->m_mapRepresentations["a"]->m_dPosX, 2.5);
        QCOMPARE(pWalker->m_mapRepresentations["c"]->m_strMesh, std::string("cart.obj"));
        QCOMPARE(pWalker->m_mapRepresentations["c"]->m_dRotZ, -45.0);
        QCOMPARE(pWalker->m_mapRepresentations["b"]->m_dScale, 2.0);

        // Sorting orders every level by name and back.
        pPane->Action(ID_SORTPROPERTIES)->trigger();
        QCOMPARE(ItemAt(pGrid, {"Agent"})->child(0)->text(0), QStringLiteral("Name"));
        QCOMPARE(ItemAt(pGrid, {"Agent", "a"})->child(0)->text(0), QStringLiteral("mesh"));
        QCOMPARE(ItemAt(pGrid, {"Agent", "a"})->child(1)->text(0), QStringLiteral("position"));
        SaveScreenshot(pFrame, QStringLiteral("properties-representation-sorted"));
        pPane->Action(ID_SORTPROPERTIES)->trigger();
        QCOMPARE(GridOf(pGrid).mid(0, 5), listPage.mid(0, 5));
    }

    void ModelPageResetAndUpdateOfTheVariables() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        QCOMPARE(pFrame->LoadModel(WriteWalkerModel(dir)), int(LM_LOADED));
        QVERIFY(pFrame->Document().m_loader.LoadParametrization(
            dir.filePath("walk.param").toStdString()));
        CPropertiesWnd* pPane = pFrame->Properties();
        CPropertyGrid* pGrid = pPane->Grid();
        CBoxAnswerer answerer(QMessageBox::Cancel);

        pPane->SelectProcess(WALKER);
        QCOMPARE(GridOf(pGrid),
                 QStringList({"Process", " Name=walker", " GlobalID=yard_walker", " IP=127.0.0.1",
                              "DCL", " speed=1.5", " steps=7", "External Events", " push=2.5",
                              "  parameters", "   force=3"}));
        // The blank value is left out; the trimmed one is stored back.
        CSDLProcess* pWalker = Walker(pFrame);
        QCOMPARE(pWalker->GetVariable("steps")->m_strValue, std::string("7"));
        SaveScreenshot(pFrame, QStringLiteral("properties-model"));

        // Update with Cancel changes nothing.
        QTreeWidgetItem* pSteps = ItemAt(pGrid, {"DCL", "steps"});
        QVERIFY(TypeIntoGrid(pGrid, pSteps, "9"));
        QCOMPARE(answerer.Take(), QStringList{UPDATE_QUESTION});
        QCOMPARE(pWalker->GetVariable("steps")->m_strValue, std::string("7"));

        // Reset before any Update shows the values read from the model, and
        // runs no Update.
        answerer.SetButton(QMessageBox::Ok);
        pPane->Action(ID_PROPERTIES_RESET)->trigger();
        QCOMPARE(answerer.Take(), QStringList{RESET_QUESTION});
        QCOMPARE(CPropertyGrid::Value(pSteps), QStringLiteral("7"));
        QCOMPARE(CPropertyGrid::Value(ItemAt(pGrid, {"DCL", "speed"})), QStringLiteral("1.5"));

        // Reset after Update shows what Update wrote.
        QVERIFY(TypeIntoGrid(pGrid, pSteps, "12"));
        QCOMPARE(answerer.Take(), QStringList{UPDATE_QUESTION});
        QCOMPARE(pWalker->GetVariable("steps")->m_strValue, std::string("12"));
        CPropertyGrid::SetValue(pSteps, "3");
        pPane->Action(ID_PROPERTIES_RESET)->trigger();
        QCOMPARE(answerer.Take(), QStringList{RESET_QUESTION});
        QCOMPARE(CPropertyGrid::Value(pSteps), QStringLiteral("12"));

        // An operation's page.
        const auto& [strKey, pOperation] = *pFrame->Engine()->m_mapOperations.begin();
        pPane->ShowOperation(strKey);
        QCOMPARE(GridOf(pGrid), QStringList({"Operation", " Name=" + Q(pOperation->m_strName),
                                             " GlobalID=" + Q(strKey), " IP=127.0.0.1"}));
        pPane->SelectProcess(WALKER);

        // A variable with no saved value keeps what the grid shows.
        pWalker->GetVariable("note")->m_strValue = "set elsewhere";
        pPane->RefreshProperties();
        QTreeWidgetItem* pNote = ItemAt(pGrid, {"DCL", "note"});
        QVERIFY(pNote);
        CPropertyGrid::SetValue(pNote, "typed");
        pPane->Action(ID_PROPERTIES_RESET)->trigger();
        QCOMPARE(answerer.Take(), QStringList{RESET_QUESTION});
        QCOMPARE(CPropertyGrid::Value(pNote), QStringLiteral("typed"));
    }

    void TheSelectionNeverOutlivesItsModelAndARunMakesThePagesReadOnly() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        const std::string strModel = WriteWalkerModel(dir);
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        CPropertiesWnd* pPane = pFrame->Properties();
        CBoxAnswerer answerer(QMessageBox::Ok);
        pPane->SelectProcess(WALKER);
        QVERIFY(pPane->Grid()->Tree()->topLevelItemCount() > 0);

        // Close and reopen: the old selection and page are gone, and Update
        // finds nothing to write (the old model is freed).
        pFrame->Commands().Action(ID_FILE_CLOSE)->trigger();
        QCOMPARE(pPane->SelectedProcess(), std::string());
        QCOMPARE(pPane->Grid()->Tree()->topLevelItemCount(), 0);
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        QCOMPARE(pPane->SelectedProcess(), std::string());
        pPane->OnUpdateValues();
        pPane->RefreshProperties();
        QCOMPARE(pPane->Grid()->Tree()->topLevelItemCount(), 0);
        QCOMPARE(answerer.Take(), QStringList{UPDATE_QUESTION});

        // While a run is alive nothing can be edited or written, and the
        // representation page adds no representation.
        pPane->SelectProcess(WALKER);
        CSDLEngine* pEngine = pFrame->Engine();
        pEngine->SetLibraryFactory([] { return std::make_unique<CFakeModelLibrary>(); });
        pEngine->m_bRepresentationTrace = false;
        QCOMPARE(pEngine->StartThread(), 0);
        QVERIFY(PumpUntil([&] { return pPane->IsReadOnly(); }));
        QVERIFY(!pPane->Action(ID_PROPERTIES_UPDATE)->isEnabled());
        QVERIFY(!pPane->Action(ID_PROPERTIES_RESET)->isEnabled());
        QVERIFY(!CPropertyGrid::IsEditable(ItemAt(pPane->Grid(), {"DCL", "steps"})));
        QCOMPARE(CPropertyGrid::Value(ItemAt(pPane->Grid(), {"DCL", "steps"})),
                 QStringLiteral("7"));
        pPane->SetMode(QStringLiteral("Representation"));
        QCOMPARE(Walker(pFrame)->m_mapRepresentations.size(), size_t(1));
        QCOMPARE(CPropertyGrid::Value(ItemAt(pPane->Grid(), {"Agent", "a", "mesh"})),
                 QStringLiteral("default.obj"));
        pPane->OnUpdateValues();
        QCOMPARE(answerer.Take(), QStringList());

        pEngine->Stop();
        QVERIFY(PumpUntil([&] { return !pFrame->IsRunAlive() && !pPane->IsReadOnly(); }));
        QCOMPARE(Walker(pFrame)->m_mapRepresentations.size(), size_t(3));
        QVERIFY(CPropertyGrid::IsEditable(ItemAt(pPane->Grid(), {"Agent", "a", "mesh"})));
    }
};

VELKO_TEST_SUITE("Properties", CPropertiesTest)
#include "properties_test.moc"
