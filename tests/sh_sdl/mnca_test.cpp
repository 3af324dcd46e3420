#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeanimto.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeremoveat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeresumeat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyestopat.h"
#include "sh_sdl/eye/sdloperationprocedurecallnumneighborsalive.h"
#include "sh_sdl/eye/sdloperationprocedurecallopenfile.h"
#include "sh_sdl/eye/sdloperationprocedurecallreport.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcellvalue.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcurrentcell.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetneighborid.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncamoorevicinity.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncasetcellvalue.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlprocess.h"
#include "support/fakemodellibrary.h"
#include "support/recordingnotifier.h"
#include "support/runwait.h"
#include "support/stringtracesink.h"

namespace {

std::string DataFile(const std::string& strName) {
    return std::string(VELKO_TEST_DATA_DIR) + "/mnca/" + strName;
}

std::vector<std::string> BoxTexts(const CRecordingNotifier& notifier) {
    std::vector<std::string> vecTexts;
    for (const auto& box : notifier.GetBoxes()) {
        vecTexts.push_back(box.strText);
    }
    return vecTexts;
}

// One actual parameter of a call: the formal it feeds, its type and the
// caller's expression.
struct CArg {
    const char* pszFormal;
    const char* pszType;
    std::string strValue;
};

// sys / life (automaton) / cells / cell, or sys / plain / cell without the
// automaton; an engine with an in-memory library, a string sink and a
// recording notifier.
class CMncaModel {
public:
    explicit CMncaModel(bool bAutomaton = true) {
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        m_pLibrary = pLibrary.get();
        m_engine.SetModelLibrary(std::move(pLibrary));
        m_engine.SetTraceSink(&m_sink);
        m_engine.SetNotifier(&m_notifier);
        auto pRoot = std::make_unique<CSDLBlock>();
        pRoot->m_strName = "sys";
        pRoot->m_pEngine = &m_engine;
        m_pRoot = pRoot.get();
        m_engine.SetRootAgent(std::move(pRoot));

        CSDLBlock* pHolder = nullptr;
        if (bAutomaton) {
            auto pMnca = std::make_unique<CSDLmnca>();
            pMnca->m_strName = "life";
            pMnca->m_nId = 1;
            pMnca->m_pEngine = &m_engine;
            m_pMnca = pMnca.get();
            m_pRoot->AddBlock(std::move(pMnca));
            m_pMnca->SetMnca(true);
            pHolder = AddBlock(m_pMnca, "cells", 2);
        } else {
            pHolder = AddBlock(m_pRoot, "plain", 1);
        }
        auto pProcess = std::make_unique<CSDLProcess>();
        pProcess->m_strName = "cell";
        pProcess->m_nId = 3;
        pProcess->m_pEngine = &m_engine;
        m_pProcess = pHolder->AddProcess(std::move(pProcess));
    }

    CSDLBlock* AddBlock(CSDLAgent* pParent, const std::string& strName, int nId) {
        auto pBlock = std::make_unique<CSDLBlock>();
        pBlock->m_strName = strName;
        pBlock->m_nId = nId;
        pBlock->m_pEngine = &m_engine;
        return pParent->AddBlock(std::move(pBlock));
    }

    // A grid of nWidth x nHeight cells without layers.
    void SetGrid(int nWidth, int nHeight) {
        m_pMnca->SetNumDimensions(2);
        m_pMnca->SetDimensions({nWidth, nHeight});
        m_pMnca->SetNumCells(nWidth * nHeight);
        m_pProcess->m_vecCellStates.assign(static_cast<size_t>(nWidth * nHeight), "DEAD");
        m_pProcess->m_vecNextCellStates = m_pProcess->m_vecCellStates;
    }

    std::string Ident(const std::string& strVariable) const {
        return CSDLEngine::FormatQualifiedName(strVariable, m_pProcess->GetFullName(false));
    }

    void Declare(const std::string& strName, const std::string& strType,
                 const std::string& strValue) {
        m_pProcess->m_mapVariables[strName] =
            std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
        if (strType == "int") {
            m_pLibrary->DeclareInt(Ident(strName), StringToInt(strValue));
        } else if (strType == "double") {
            m_pLibrary->DeclareDouble(Ident(strName), StringToDouble(strValue));
        } else {
            m_pLibrary->DeclareString(Ident(strName), strValue);
        }
    }
    int& Int(const std::string& strName) { return m_pLibrary->m_mapInts[Ident(strName)]; }
    double& Double(const std::string& strName) { return m_pLibrary->m_mapDoubles[Ident(strName)]; }

    // A built-in call owned by the process, with its actual parameters.
    template <class TCall>
    TCall* AddCall(const std::string& strName, int nId, std::initializer_list<CArg> args,
                   const std::string& strState = "S") {
        auto pCall = std::make_unique<TCall>();
        pCall->m_strName = strName;
        pCall->m_nId = nId;
        pCall->m_strStateName = strState;
        pCall->m_pOwner = m_pProcess;
        for (const CArg& arg : args) {
            pCall->m_mapParameters[arg.pszFormal] =
                std::make_unique<CSDLParameter>(arg.pszType, arg.pszFormal, arg.strValue, "no");
        }
        return static_cast<TCall*>(m_pProcess->AddOperation(std::move(pCall)));
    }

    // An operation of the process in a state list.
    template <class TOperation>
    TOperation* Add(std::unique_ptr<TOperation> pOperation, const char* pszTag,
                    const std::string& strName, int nId, const std::string& strState) {
        pOperation->m_strType = pszTag;
        pOperation->m_strName = strName;
        pOperation->m_nId = nId;
        pOperation->m_strStateName = strState;
        pOperation->m_pOwner = m_pProcess;
        return static_cast<TOperation*>(m_pProcess->AddOperation(std::move(pOperation)));
    }

    void ClearErrors() {
        m_pProcess->m_strError.clear();
        m_engine.m_bErrorPending = false;
        m_notifier.Clear();
    }

    CStringTraceSink m_sink;
    CRecordingNotifier m_notifier;
    CSDLEngine m_engine;
    CFakeModelLibrary* m_pLibrary = nullptr;
    CSDLBlock* m_pRoot = nullptr;
    CSDLmnca* m_pMnca = nullptr;
    CSDLProcess* m_pProcess = nullptr;
};

// ---- Layers of the block -------------------------------------------------------------

TEST(MncaLayerTest, MainRasterLayerGivesTheGrid) {
    CMncaModel model;
    CSDLmnca& mnca = *model.m_pMnca;
    EXPECT_EQ(mnca.GetNumCells(), 0);
    EXPECT_EQ(mnca.GetMainLayer(), nullptr);
    EXPECT_FALSE(mnca.UsesTwoBuffers());

    // Written the Windows way, as model files name their layers.
    mnca.AddLayer("layer_main", std::string(VELKO_TEST_DATA_DIR) + "\\mnca\\life.img ");
    ASSERT_NE(mnca.GetMainLayer(), nullptr);
    EXPECT_EQ(mnca.GetNumDimensions(), 2);
    EXPECT_EQ(mnca.GetNumCells(), 25);
    EXPECT_EQ(mnca.GetDimensionSize(1), 5);
    EXPECT_EQ(mnca.GetDimensionSize(2), 5);
    EXPECT_EQ(mnca.GetDimensionSize(3), 0);
    EXPECT_EQ(mnca.GetGridName(), "life.img");
    EXPECT_TRUE(model.m_notifier.GetBoxes().empty());

    // A second main layer is refused and the grid stays.
    mnca.AddLayer("layer_main", DataFile("trees.vec"));
    EXPECT_EQ(BoxTexts(model.m_notifier),
              std::vector<std::string>{"The layer layer_main already exists"});
    EXPECT_EQ(mnca.GetNumCells(), 25);
    EXPECT_EQ(mnca.GetGridName(), "life.img");

    // Without an extension ".img" is appended; another name does not take
    // the grid.
    mnca.AddLayer("copy", DataFile("life"));
    ASSERT_NE(mnca.GetLayer("copy"), nullptr);
    EXPECT_EQ(mnca.GetLayer("copy")->GetCellValue(7), 1.0);
    EXPECT_EQ(mnca.GetGridName(), "life.img");

    // A main layer named without its extension: the grid is the file read,
    // which the viewer looks the terrain up by.
    CMncaModel bare;
    bare.m_pMnca->AddLayer("layer_main", DataFile("life"));
    EXPECT_EQ(bare.m_pMnca->GetNumCells(), 25);
    EXPECT_EQ(bare.m_pMnca->GetGridName(), "life.img");
}

TEST(MncaLayerTest, VectorLayersLieOnTheMainGrid) {
    CMncaModel model;
    CSDLmnca& mnca = *model.m_pMnca;
    mnca.AddLayer("trees", DataFile("trees.vec"));
    EXPECT_EQ(BoxTexts(model.m_notifier),
              (std::vector<std::string>{"Must be a main layer to add a vectorial layer. Add first "
                                        "a layer called 'layer_main'.",
                                        "Couldn't load trees layer."}));
    EXPECT_EQ(mnca.GetLayer("trees"), nullptr);

    mnca.AddLayer("layer_main", DataFile("life.img"));
    mnca.AddLayer("trees", DataFile("trees.vec"));
    const CLayer* pTrees = mnca.GetLayer("trees");
    ASSERT_NE(pTrees, nullptr);
    ASSERT_EQ(pTrees->GetNumCells(), 25);
    // (15, 45) falls in row 0, column 1; (5, 5) in row 4, column 0.
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(pTrees->GetCellValue(i), (i == 1 || i == 20) ? 1.0 : 0.0) << i;
    }
    // Only a raster main layer sets the grid.
    EXPECT_EQ(mnca.GetNumCells(), 25);
}

TEST(MncaLayerTest, UnreadableLayerIsReportedAndLoadingGoesOn) {
    CMncaModel model;
    CSDLmnca& mnca = *model.m_pMnca;
    EXPECT_NO_THROW(mnca.AddLayer("layer_main", DataFile("missing.img")));
    const std::vector<std::string> vecBoxes = BoxTexts(model.m_notifier);
    ASSERT_EQ(vecBoxes.size(), 2u);
    EXPECT_EQ(vecBoxes[0].rfind("Error: ", 0), 0u) << vecBoxes[0];
    EXPECT_EQ(vecBoxes[1], "Couldn't load layer_main layer.");
    EXPECT_EQ(mnca.GetMainLayer(), nullptr);
    EXPECT_EQ(mnca.GetNumCells(), 0);
}

TEST(MncaLayerTest, DefaultLayersCopyTheMainGrid) {
    CMncaModel model;
    CSDLmnca& mnca = *model.m_pMnca;
    mnca.AddDefaultLayer("height", 0.0);
    EXPECT_EQ(BoxTexts(model.m_notifier),
              std::vector<std::string>{"A main layer is needed to add a default layer (height)."});
    EXPECT_EQ(mnca.GetLayer("height"), nullptr);
    model.ClearErrors();

    mnca.AddLayer("layer_main", DataFile("life.img"));
    mnca.AddDefaultLayer("height", 3.5);
    const CLayer* pHeight = mnca.GetLayer("height");
    ASSERT_NE(pHeight, nullptr);
    EXPECT_EQ(pHeight->GetDimensions(), (std::vector<int>{5, 5}));
    ASSERT_EQ(pHeight->GetNumCells(), 25);
    EXPECT_EQ(pHeight->GetCellValue(0), 3.5);
    EXPECT_EQ(pHeight->GetCellValue(24), 3.5);

    mnca.AddDefaultLayer("height", 1.0);
    mnca.AddDefaultLayer("layer_main", 1.0);
    EXPECT_EQ(BoxTexts(model.m_notifier),
              (std::vector<std::string>{"The layer height already exists",
                                        "The layer layer_main already exists"}));
    EXPECT_EQ(pHeight->GetCellValue(0), 3.5);
    EXPECT_EQ(mnca.GetMainLayer()->GetCellValue(0), 0.0);
}

TEST(MncaLayerTest, CellAccessorsCheckLayerAndCell) {
    CMncaModel model;
    CSDLmnca& mnca = *model.m_pMnca;
    mnca.AddLayer("layer_main", DataFile("life.img"));
    int nStatus = -7;
    EXPECT_EQ(mnca.GetCellValue("layer_main", 7, nStatus), 1.0);
    EXPECT_EQ(nStatus, MNCA_CELL_OK);
    EXPECT_EQ(mnca.GetCellValue("layer_main", 25, nStatus), -1.0);
    EXPECT_EQ(nStatus, MNCA_CELL_OUTSIDE);
    EXPECT_EQ(mnca.GetCellValue("layer_main", -1, nStatus), -1.0);
    EXPECT_EQ(nStatus, MNCA_CELL_OUTSIDE);
    EXPECT_TRUE(model.m_notifier.GetBoxes().empty());
    EXPECT_EQ(mnca.GetCellValue("nope", 0, nStatus), 0.0);
    EXPECT_EQ(nStatus, MNCA_CELL_NO_LAYER);
    EXPECT_EQ(BoxTexts(model.m_notifier),
              std::vector<std::string>{"The layer nope doesn't exists."});

    mnca.SetCellValue("layer_main", 3, 0.1f, nStatus);
    EXPECT_EQ(nStatus, MNCA_CELL_OK);
    EXPECT_EQ(mnca.GetMainLayer()->GetCellValue(3), static_cast<double>(0.1f));
    mnca.SetCellValue("layer_main", 25, 9.0f, nStatus);
    EXPECT_EQ(nStatus, MNCA_CELL_OUTSIDE);
    mnca.SetCellValue("nope", 0, 9.0f, nStatus);
    EXPECT_EQ(nStatus, MNCA_CELL_NO_LAYER);
}

// ---- Procedures -------------------------------------------------------------------------

TEST(MncaProcedureTest, NeighbourIdsAtCornersAndEdges) {
    CMncaModel model;
    model.SetGrid(10, 10);
    model.Declare("dir", "int", "0");
    model.Declare("nb", "int", "0");
    auto* pCall = model.AddCall<CSDLOperationProcedureCallmncaGetNeighborID>(
        "mncaGetNeighborID", 1, {{"PARAM_1", "int", "dir"}, {"PARAM_2", "int", "nb"}});
    auto neighbours = [&](int nCell) {
        model.m_pMnca->SetCurrentCell(nCell);
        std::vector<int> vecOut;
        for (int nDirection = 0; nDirection <= 9; ++nDirection) {
            model.Int("dir") = nDirection;
            model.Int("nb") = 12345;
            EXPECT_EQ(pCall->Execute(), pCall->m_pNext);
            vecOut.push_back(model.Int("nb"));
        }
        return vecOut;
    };
    // Directions 0 to 9; 1 to 8 run clockwise from north-west.
    EXPECT_EQ(neighbours(0), (std::vector<int>{-1, -1, -1, -1, 1, 11, 10, 9, -1, -1}));
    EXPECT_EQ(neighbours(99), (std::vector<int>{-1, 88, 89, 90, -1, -1, -1, -1, 98, -1}));
    // No wrap test at the west and east sides: north-east of the top-right
    // cell is the first cell of the grid.
    EXPECT_EQ(neighbours(10), (std::vector<int>{-1, -1, 0, 1, 11, 21, 20, 19, 9, -1}));
    EXPECT_EQ(neighbours(9), (std::vector<int>{-1, -1, -1, 0, 10, 20, 19, 18, 8, -1}));
    EXPECT_TRUE(model.m_pProcess->m_strError.empty());

    // A current cell outside the grid has no neighbours and is reported.
    model.m_pMnca->SetCurrentCell(100);
    model.Int("dir") = 8;
    EXPECT_EQ(pCall->Execute(), pCall->m_pNext);
    EXPECT_EQ(model.Int("nb"), -1);
    EXPECT_NE(model.m_pProcess->m_strError.find("Cell 100 is outside the automaton's 100 cells."),
              std::string::npos);
}

TEST(MncaProcedureTest, MooreVicinityReadsRowMajorNeighbours) {
    CMncaModel model;
    model.m_pMnca->AddLayer("layer_main", DataFile("life.img"));
    model.m_pMnca->AddDefaultLayer("h", 0.0);
    int nStatus = 0;
    for (int i = 0; i < 25; ++i) {
        model.m_pMnca->SetCellValue("h", i, static_cast<float>(i) + 0.5f, nStatus);
    }
    model.Declare("id", "int", "0");
    std::vector<CArg> vecArgs = {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "id"}};
    for (int k = 0; k < 8; ++k) {
        model.Declare(Format("v%d", k), "double", "99");
    }
    auto* pCall =
        model.AddCall<CSDLOperationProcedureCallmncaMooreVicinity>("mncaMooreVicinity", 1,
                                                                   {vecArgs[0],
                                                                    vecArgs[1],
                                                                    {"PARAM_3", "double", "v0"},
                                                                    {"PARAM_4", "double", "v1"},
                                                                    {"PARAM_5", "double", "v2"},
                                                                    {"PARAM_6", "double", "v3"},
                                                                    {"PARAM_7", "double", "v4"},
                                                                    {"PARAM_8", "double", "v5"},
                                                                    {"PARAM_9", "double", "v6"},
                                                                    {"PARAM_10", "double", "v7"}});
    auto values = [&](int nCell) {
        model.Int("id") = nCell;
        EXPECT_EQ(pCall->Execute(), pCall->m_pNext);
        std::vector<std::string> vecOut;
        for (int k = 0; k < 8; ++k) {
            vecOut.push_back(model.m_pProcess->GetVariable(Format("v%d", k))->m_strValue);
        }
        return vecOut;
    };
    // Cell 0: ids -6, -5, -4 and -1 lie outside; then 1, 4, 5, 6.
    EXPECT_EQ(values(0),
              (std::vector<std::string>{"-1.000000", "-1.000000", "-1.000000", "-1.000000",
                                        "1.500000", "4.500000", "5.500000", "6.500000"}));
    // Column 0: id - 1 is the last cell of the row above.
    EXPECT_EQ(values(5),
              (std::vector<std::string>{"-1.000000", "0.500000", "1.500000", "4.500000", "6.500000",
                                        "9.500000", "10.500000", "11.500000"}));
    EXPECT_EQ(model.Double("v7"), 11.5);
    EXPECT_TRUE(model.m_pProcess->m_strError.empty());

    // A centre outside the grid is taken as computed: the neighbours that
    // fall inside (19, 20, 21, 24) give their values, the others -1.
    EXPECT_EQ(values(25),
              (std::vector<std::string>{"19.500000", "20.500000", "21.500000", "24.500000",
                                        "-1.000000", "-1.000000", "-1.000000", "-1.000000"}));
    EXPECT_TRUE(model.m_pProcess->m_strError.empty());
}

TEST(MncaProcedureTest, CellValuesTravelInSinglePrecision) {
    CMncaModel model;
    model.m_pMnca->AddLayer("layer_main", DataFile("life.img"));
    model.m_pMnca->AddDefaultLayer("h", 0.0);
    model.Declare("cell", "int", "3");
    model.Declare("value", "double", "0");
    model.Declare("result", "double", "0");
    auto* pSet = model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
        "mncaSetCellValue", 1,
        {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "cell"}, {"PARAM_3", "double", "value"}});
    auto* pGet = model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>(
        "mncaGetCellValue", 2,
        {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "cell"}, {"PARAM_3", "double", "result"}});
    auto roundTrip = [&](double dValue) {
        model.Double("value") = dValue;
        EXPECT_EQ(pSet->Execute(), pSet->m_pNext);
        EXPECT_EQ(pGet->Execute(), pGet->m_pNext);
        return model.m_pProcess->GetVariable("result")->m_strValue;
    };
    EXPECT_EQ(roundTrip(123456789.0), "123456792.000000");
    EXPECT_EQ(model.Double("result"), 123456792.0);
    EXPECT_EQ(model.m_pMnca->GetLayer("h")->GetCellValue(3), 123456792.0);
    EXPECT_EQ(roundTrip(0.1), "0.100000");
    EXPECT_EQ(roundTrip(-2.5), "-2.500000");
    // Beyond the float range a value travels exactly, not as "inf".
    EXPECT_EQ(roundTrip(1e39), DoubleToString(1e39));
    EXPECT_EQ(model.Double("result"), 1e39);
    EXPECT_EQ(roundTrip(-3e300), DoubleToString(-3e300));
    EXPECT_EQ(model.Double("result"), -3e300);
    EXPECT_TRUE(model.m_pProcess->m_strError.empty());

    // A value no variable can take is refused with a word: the variable
    // keeps its value, the cell its own.
    model.m_pMnca->AddDefaultLayer("endless", std::numeric_limits<double>::infinity());
    auto* pGetEndless = model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>(
        "mncaGetCellValue", 4,
        {{"PARAM_1", "char*", "'endless'"},
         {"PARAM_2", "int", "cell"},
         {"PARAM_3", "double", "result"}});
    EXPECT_EQ(pGetEndless->Execute(), nullptr);
    EXPECT_EQ(model.Double("result"), -3e300);
    EXPECT_NE(model.m_pProcess->m_strError.find(
                  "The cell 3 of layer endless holds inf, which no variable can take."),
              std::string::npos)
        << model.m_pProcess->m_strError;
    model.ClearErrors();
    model.Double("value") = std::numeric_limits<double>::infinity();
    EXPECT_EQ(pSet->Execute(), nullptr);
    EXPECT_EQ(model.m_pMnca->GetLayer("h")->GetCellValue(3), -3e300);
    EXPECT_NE(
        model.m_pProcess->m_strError.find("The value inf is no number a cell of layer h can hold."),
        std::string::npos)
        << model.m_pProcess->m_strError;
    EXPECT_TRUE(BoxTexts(model.m_notifier).empty());
    model.ClearErrors();

    // A literal cell and a literal value work the same way.
    auto* pLiteral = model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
        "mncaSetCellValue", 3,
        {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "4"}, {"PARAM_3", "double", "7.25"}});
    pLiteral->Execute();
    EXPECT_EQ(model.m_pMnca->GetLayer("h")->GetCellValue(4), 7.25);
}

TEST(MncaProcedureTest, CurrentCellGoesToEveryArgument) {
    CMncaModel model;
    model.SetGrid(5, 5);
    model.Declare("a", "int", "0");
    model.Declare("b", "double", "0");
    auto* pCall = model.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>(
        "mncaGetCurrentCell", 1, {{"PARAM_1", "int", "a"}, {"PARAM_2", "double", "b"}});
    model.m_pMnca->SetCurrentCell(17);
    EXPECT_EQ(pCall->Execute(), pCall->m_pNext);
    EXPECT_EQ(model.Int("a"), 17);
    EXPECT_EQ(model.Double("b"), 17.0);
}

TEST(MncaProcedureTest, CellFailuresAreReportedAndEndTheChain) {
    CMncaModel model;
    model.m_pMnca->AddLayer("layer_main", DataFile("life.img"));
    model.Declare("r", "double", "5");
    auto* pGet = model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>(
        "mncaGetCellValue", 1,
        {{"PARAM_1", "char*", "'layer_main'"},
         {"PARAM_2", "int", "25"},
         {"PARAM_3", "double", "r"}});
    auto* pSetOutside = model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
        "mncaSetCellValue", 2,
        {{"PARAM_1", "char*", "'layer_main'"},
         {"PARAM_2", "int", "-1"},
         {"PARAM_3", "double", "1"}});
    auto* pSetMissing = model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
        "mncaSetCellValue", 3,
        {{"PARAM_1", "char*", "'rain'"}, {"PARAM_2", "int", "0"}, {"PARAM_3", "double", "1"}});
    pGet->m_pNext = pSetOutside;

    EXPECT_EQ(pGet->Execute(), nullptr);
    EXPECT_NE(model.m_pProcess->m_strError.find("Out of range in layer_main"), std::string::npos);
    EXPECT_EQ(model.Double("r"), 5.0);
    EXPECT_TRUE(model.m_engine.m_bErrorPending);
    model.ClearErrors();

    EXPECT_EQ(pSetOutside->Execute(), nullptr);
    EXPECT_NE(model.m_pProcess->m_strError.find("Out of range in layer_main"), std::string::npos);
    model.ClearErrors();

    EXPECT_EQ(pSetMissing->Execute(), nullptr);
    EXPECT_NE(model.m_pProcess->m_strError.find("Layer not exists rain"), std::string::npos);
    EXPECT_EQ(BoxTexts(model.m_notifier),
              std::vector<std::string>{"The layer rain doesn't exists."});
}

TEST(MncaProcedureTest, OutsideAnAutomatonReportsAndGoesOnWithZero) {
    CMncaModel model(false);
    model.Declare("x", "int", "7");
    model.Declare("d", "double", "7");
    std::vector<CSDLOperationProcedureCall*> vecCalls = {
        model.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>("mncaGetCurrentCell", 1,
                                                                    {{"PARAM_1", "int", "x"}}),
        model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>(
            "mncaGetCellValue", 2,
            {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "0"}, {"PARAM_3", "double", "d"}}),
        model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
            "mncaSetCellValue", 3,
            {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "0"}, {"PARAM_3", "double", "1"}}),
        model.AddCall<CSDLOperationProcedureCallmncaMooreVicinity>(
            "mncaMooreVicinity", 4,
            {{"PARAM_1", "char*", "'h'"}, {"PARAM_2", "int", "0"}, {"PARAM_3", "double", "d"}}),
        model.AddCall<CSDLOperationProcedureCallmncaGetNeighborID>(
            "mncaGetNeighborID", 5, {{"PARAM_1", "int", "1"}, {"PARAM_2", "int", "x"}}),
        model.AddCall<CSDLOperationProcedureCallNumNeighborsAlive>("_NumNeighborsAlive", 6,
                                                                   {{"PARAM_1", "int", "x"}}),
    };
    // What each call leaves in x and d (both 7 before): results are 0, a
    // neighbour id -1 (no neighbour).
    const std::vector<std::pair<int, double>> vecExpected = {{0, 7.0}, {7, 0.0},  {7, 7.0},
                                                             {7, 0.0}, {-1, 7.0}, {0, 7.0}};
    for (size_t i = 0; i < vecCalls.size(); ++i) {
        CSDLOperationProcedureCall* pCall = vecCalls[i];
        model.ClearErrors();
        model.Int("x") = 7;
        model.Double("d") = 7.0;
        pCall->m_pNext = pCall;  // any marker: the chain goes on
        EXPECT_EQ(pCall->Execute(), pCall) << pCall->m_strName;
        EXPECT_NE(model.m_pProcess->m_strError.find("The procedure " + pCall->m_strName +
                                                    " must be called inside a cellular automaton."),
                  std::string::npos)
            << model.m_pProcess->m_strError;
        EXPECT_TRUE(model.m_engine.m_bErrorPending);
        EXPECT_EQ(model.Int("x"), vecExpected[i].first) << pCall->m_strName;
        EXPECT_EQ(model.Double("d"), vecExpected[i].second) << pCall->m_strName;
    }
}

TEST(MncaProcedureTest, ClonesKeepTheirClassTagAndArguments) {
    CMncaModel model;
    std::vector<CSDLOperationProcedureCall*> vecCalls = {
        model.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>("a", 1, {}),
        model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>("b", 2, {}),
        model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>("c", 3, {}),
        model.AddCall<CSDLOperationProcedureCallmncaMooreVicinity>("d", 4, {}),
        model.AddCall<CSDLOperationProcedureCallmncaGetNeighborID>("e", 5, {}),
        model.AddCall<CSDLOperationProcedureCallNumNeighborsAlive>("f", 6, {}),
        model.AddCall<CSDLOperationProcedureCallOpenFile>("g", 7, {}),
        model.AddCall<CSDLOperationProcedureCallReport>("h", 8, {}),
        model.AddCall<CSDLOperationProcedureCallEyeAnimTo>("i", 9, {}),
        model.AddCall<CSDLOperationProcedureCallEyeRemoveAt>("j", 10, {}),
        model.AddCall<CSDLOperationProcedureCallEyeStopAt>("k", 11, {}),
        model.AddCall<CSDLOperationProcedureCallEyeResumeAt>("l", 12, {}),
    };
    for (size_t i = 0; i + 1 < vecCalls.size(); ++i) {
        vecCalls[i]->m_pNext = vecCalls[i + 1];
    }
    vecCalls[1]->m_mapParameters["PARAM_1"] =
        std::make_unique<CSDLParameter>("char*", "PARAM_1", "'h'", "no");
    const CSDLOperation* pClone = vecCalls[0]->Clone(model.m_pProcess, nullptr);
    for (const CSDLOperationProcedureCall* pSource : vecCalls) {
        ASSERT_NE(pClone, nullptr);
        EXPECT_NE(pClone, pSource);
        EXPECT_EQ(typeid(*pClone), typeid(*pSource)) << pSource->m_strName;
        EXPECT_EQ(pClone->m_strType, pSource->m_strType);
        EXPECT_EQ(pClone->m_nId, pSource->m_nId);
        pClone = pClone->m_pNext;
    }
    EXPECT_EQ(pClone, nullptr);
    // Tags: the automaton procedures, the count and the file choice are plain
    // calls; the report and the viewer procedures are reports.
    EXPECT_EQ(vecCalls[5]->m_strType, "ProcedureCall");
    EXPECT_EQ(vecCalls[6]->m_strType, "ProcedureCall");
    EXPECT_EQ(vecCalls[7]->m_strType, "procedurecallreport");
    EXPECT_EQ(vecCalls[11]->m_strType, "procedurecallreport");
    // The arguments are the clone's own.
    const auto* pCloneB = dynamic_cast<const CSDLOperationProcedureCall*>(
        vecCalls[0]->Clone(model.m_pProcess, nullptr)->m_pNext);
    ASSERT_NE(pCloneB, nullptr);
    const CSDLParameter* pParam = FindIn(pCloneB->m_mapParameters, "PARAM_1");
    ASSERT_NE(pParam, nullptr);
    EXPECT_NE(pParam, FindIn(vecCalls[1]->m_mapParameters, "PARAM_1"));
    EXPECT_EQ(pParam->m_strValue, "'h'");
    EXPECT_EQ(pParam->m_strType, "char*");
}

// ---- A Game of Life run -------------------------------------------------------------------

// Each generation takes two instants: at "count" every cell stores its live
// neighbours in the layer "count" (no state changes), at "apply" every cell
// reads its count and applies the rule. Cell 0 schedules the next
// generation for every cell while generations remain.
class CGameOfLife {
public:
    explicit CGameOfLife(int nGenerations) {
        CSDLmnca& mnca = *m_model.m_pMnca;
        mnca.AddLayer("layer_main", DataFile("life.img"));
        mnca.AddDefaultLayer("count", 0.0);
        m_model.m_pProcess->m_vecCellStates.assign(25, "DEAD");
        m_model.m_pProcess->m_vecNextCellStates.assign(25, "DEAD");
        m_model.Declare("n", "int", "0");
        m_model.Declare("cur", "int", "0");
        m_model.Declare("c", "double", "0");
        m_model.Declare("gen", "int", "1");
        for (const char* pszState : {"ALIVE", "DEAD"}) {
            BuildState(pszState, nGenerations);
        }
    }

    // Initial states from the main layer (1 = alive), or the given cells.
    void SetAlive(const std::vector<int>& vecCells) {
        auto& vecStates = m_model.m_pProcess->m_vecCellStates;
        vecStates.assign(25, "DEAD");
        for (int nCell : vecCells) {
            vecStates[static_cast<size_t>(nCell)] = "ALIVE";
        }
    }
    void SetAliveFromMainLayer() {
        std::vector<int> vecCells;
        for (int i = 0; i < 25; ++i) {
            if (m_model.m_pMnca->GetMainLayer()->GetCellValue(i) == 1.0) {
                vecCells.push_back(i);
            }
        }
        SetAlive(vecCells);
    }

    // Queues the first generation and steps the root until nothing is left.
    void Run() {
        CSDLChannelIn& channel = *m_model.m_pProcess->m_pInternalChannel;
        for (const auto& [pszSignal, dTime] : {std::pair{"count", 1.0}, std::pair{"apply", 2.0}}) {
            for (int nCell = 24; nCell >= 0; --nCell) {
                auto pEvent = std::make_unique<CSDLEvent>();
                pEvent->m_strName = pszSignal;
                pEvent->m_dExecutionTime = dTime;
                pEvent->m_nCell = nCell;
                channel.AddEvent(std::move(pEvent));
            }
        }
        for (int nStep = 0; nStep < 10000 && !channel.IsEmpty(); ++nStep) {
            m_model.m_pRoot->Step();
        }
        EXPECT_TRUE(channel.IsEmpty());
    }

    std::vector<int> AliveCells() const {
        std::vector<int> vecCells;
        const auto& vecStates = m_model.m_pProcess->m_vecCellStates;
        for (size_t i = 0; i < vecStates.size(); ++i) {
            if (vecStates[i] == "ALIVE") {
                vecCells.push_back(static_cast<int>(i));
            }
        }
        return vecCells;
    }

    CMncaModel m_model;

private:
    void BuildState(const std::string& strState, int nGenerations) {
        CMncaModel& m = m_model;
        auto input = [&](const char* pszSignal, int nId) {
            return m.Add(std::make_unique<CSDLOperationInput>(), "input", pszSignal, nId, strState);
        };
        auto setState = [&](const std::string& strTarget, int nId) {
            return m.Add(std::make_unique<CSDLOperationSetState>(strTarget), "setstate", strTarget,
                         nId, strState);
        };
        auto output = [&](const char* pszSignal, const char* pszDelay, int nId) {
            auto pOutput = std::make_unique<CSDLOperationOutput>();
            pOutput->m_strSelf = "yes";
            pOutput->m_pSignal->m_strDelay = pszDelay;
            pOutput->m_pSignal->m_strCells = "{ALL_CELLS}";
            return m.Add(std::move(pOutput), "output", pszSignal, nId, strState);
        };
        std::vector<CSDLOperation*> vecChain = {
            input("count", 1),
            m.AddCall<CSDLOperationProcedureCallNumNeighborsAlive>(
                "_NumNeighborsAlive", 2, {{"PARAM_1", "int", "n"}}, strState),
            m.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>(
                "mncaGetCurrentCell", 3, {{"PARAM_1", "int", "cur"}}, strState),
            m.AddCall<CSDLOperationProcedureCallmncaSetCellValue>("mncaSetCellValue", 4,
                                                                  {{"PARAM_1", "char*", "'count'"},
                                                                   {"PARAM_2", "int", "cur"},
                                                                   {"PARAM_3", "double", "n"}},
                                                                  strState),
            setState(strState, 5),
            input("apply", 6),
            m.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>(
                "mncaGetCurrentCell", 7, {{"PARAM_1", "int", "cur"}}, strState),
            m.Add(std::make_unique<CSDLOperationDecision>(), "decision", "driver", 8, strState),
            m.Add(std::make_unique<CSDLOperationTask>(), "task", "next", 9, strState),
            output("count", "1", 10),
            output("apply", "2", 11),
            m.AddCall<CSDLOperationProcedureCallmncaGetCellValue>("mncaGetCellValue", 12,
                                                                  {{"PARAM_1", "char*", "'count'"},
                                                                   {"PARAM_2", "int", "cur"},
                                                                   {"PARAM_3", "double", "c"}},
                                                                  strState),
            m.Add(std::make_unique<CSDLOperationDecision>(), "decision", "rule", 13, strState),
            setState("ALIVE", 14),
            setState("DEAD", 15),
        };
        for (size_t i = 0; i + 1 < vecChain.size(); ++i) {
            vecChain[i]->m_pNext = vecChain[i + 1];
        }
        m.m_pProcess->m_mapStates[strState] = vecChain.front();

        CFakeModelLibrary& library = *m.m_pLibrary;
        const std::string strCur = m.Ident("cur");
        const std::string strGen = m.Ident("gen");
        const std::string strCount = m.Ident("c");
        library.SetDecision(vecChain[7]->GetCodeID(), [=](CFakeModelLibrary& lib) {
            return lib.m_mapInts[strCur] == 0 && lib.m_mapInts[strGen] < nGenerations ? 9 : 12;
        });
        library.SetTask(vecChain[8]->GetCodeID(), [=](CFakeModelLibrary& lib) {
            ++lib.m_mapInts[strGen];
            return 0;
        });
        const bool bAlive = strState == "ALIVE";
        library.SetDecision(vecChain[12]->GetCodeID(), [=](CFakeModelLibrary& lib) {
            const double dCount = lib.m_mapDoubles[strCount];
            const bool bLives = dCount == 3.0 || (bAlive && dCount == 2.0);
            return bLives ? 14 : 15;
        });
    }
};

std::string SetStateRecord(double dTime, int nCell, const char* pszState) {
    return Format(
        "\t\t<EYE_SetState xTime='%f' agent=\"life_cells_cell\" cell=\"%d\" "
        "state=\"%s\"></EYE_SetState>\n",
        dTime, nCell, pszState);
}

TEST(MncaGameOfLifeTest, GliderGivesTheGoldenCellRecords) {
    CGameOfLife life(4);
    life.SetAliveFromMainLayer();
    ASSERT_EQ(life.AliveCells(), (std::vector<int>{1, 7, 10, 11, 12}));
    life.Run();

    const std::string strExpected = SetStateRecord(2, 1, "DEAD") + SetStateRecord(2, 5, "ALIVE") +
                                    SetStateRecord(2, 10, "DEAD") + SetStateRecord(2, 16, "ALIVE") +
                                    SetStateRecord(4, 5, "DEAD") + SetStateRecord(4, 10, "ALIVE") +
                                    SetStateRecord(4, 11, "DEAD") + SetStateRecord(4, 17, "ALIVE") +
                                    SetStateRecord(6, 6, "ALIVE") + SetStateRecord(6, 7, "DEAD") +
                                    SetStateRecord(6, 10, "DEAD") + SetStateRecord(6, 13, "ALIVE") +
                                    SetStateRecord(8, 6, "DEAD") + SetStateRecord(8, 7, "ALIVE") +
                                    SetStateRecord(8, 12, "DEAD") + SetStateRecord(8, 18, "ALIVE");
    EXPECT_EQ(life.m_model.m_sink.m_strText, strExpected);
    EXPECT_EQ(life.AliveCells(), (std::vector<int>{7, 13, 16, 17, 18}));
    EXPECT_EQ(life.m_model.Int("gen"), 4);
    EXPECT_TRUE(life.m_model.m_pProcess->m_strError.empty()) << life.m_model.m_pProcess->m_strError;
    EXPECT_FALSE(life.m_model.m_engine.m_bErrorPending);
    // The last counts stay in the layer: before the last generation cell 12
    // had 6, 13, 16 and 17 around it.
    EXPECT_EQ(life.m_model.m_pMnca->GetLayer("count")->GetCellValue(12), 4.0);
}

TEST(MncaGameOfLifeTest, EastEdgeBlinkerWrapsIntoTheNextRow) {
    CGameOfLife life(3);
    life.SetAlive({9, 14, 19});
    life.Run();
    // Cell 15 (row 3, column 0) counts 9, 14 and 19 as neighbours: the
    // row-major neighbourhood has no test at the east and west sides.
    const std::string strExpected = SetStateRecord(2, 9, "DEAD") + SetStateRecord(2, 13, "ALIVE") +
                                    SetStateRecord(2, 15, "ALIVE") + SetStateRecord(2, 19, "DEAD") +
                                    SetStateRecord(4, 9, "ALIVE") + SetStateRecord(4, 13, "DEAD") +
                                    SetStateRecord(4, 15, "DEAD") + SetStateRecord(4, 19, "ALIVE") +
                                    SetStateRecord(6, 9, "DEAD") + SetStateRecord(6, 13, "ALIVE") +
                                    SetStateRecord(6, 15, "ALIVE") + SetStateRecord(6, 19, "DEAD");
    EXPECT_EQ(life.m_model.m_sink.m_strText, strExpected);
    EXPECT_EQ(life.AliveCells(), (std::vector<int>{13, 14, 15}));
    EXPECT_TRUE(life.m_model.m_pProcess->m_strError.empty()) << life.m_model.m_pProcess->m_strError;
}

// ---- Runs of the engine ------------------------------------------------------------------

// Every cell of the glider grid, at time 1 + its id, adds 1 to its value in
// "layer_main", goes from no state to "S" and reads its neighbours from a layer whose name is
// misspelt; the cell process also declares a variable of a type the model
// library does not have. Runs go through the engine's run thread, each with
// a fresh model library made from one template.
class CCellRuns {
public:
    CCellRuns() {
        CSDLEngine& engine = m_model.m_engine;
        CSDLProcess* pProcess = m_model.m_pProcess;
        m_model.m_pMnca->AddLayer("layer_main", DataFile("life.img"));
        pProcess->m_vecCellStates.assign(25, std::string());
        pProcess->m_vecNextCellStates.assign(25, std::string());
        engine.m_mapProcesses[pProcess->GetFullName(false)] = pProcess;
        engine.m_bRepresentationTrace = false;
        engine.m_nEndMode = EM_BY_TIME;
        engine.m_dEndTime = 100.0;

        auto declare = [&](const std::string& strName, const std::string& strType) {
            pProcess->m_mapVariables[strName] =
                std::make_unique<CSDLParameter>(strType, strName, "0", "no");
        };
        declare("cur", "int");
        declare("v", "double");
        declare("f", "float");
        m_template.DeclareInt(m_model.Ident("cur"));
        m_template.DeclareDouble(m_model.Ident("v"));
        for (int k = 3; k <= 10; ++k) {
            const std::string strName = "n" + std::to_string(k);
            declare(strName, "double");
            m_template.DeclareDouble(m_model.Ident(strName));
            m_vecNames.push_back(strName);
        }
        for (size_t k = 0; k < m_vecNames.size(); ++k) {
            m_vecFormals.push_back("PARAM_" + std::to_string(k + 3));
        }

        auto* pMoore = m_model.AddCall<CSDLOperationProcedureCallmncaMooreVicinity>(
            "mncaMooreVicinity", 8,
            {{"PARAM_1", "char*", "'layr_main'"}, {"PARAM_2", "int", "cur"}});
        for (size_t k = 0; k < m_vecNames.size(); ++k) {
            pMoore->m_mapParameters[m_vecFormals[k]] =
                std::make_unique<CSDLParameter>("double", m_vecFormals[k], m_vecNames[k], "no");
        }
        std::vector<CSDLOperation*> vecChain = {
            m_model.Add(std::make_unique<CSDLOperationInput>(), "input", "tick", 3, "S"),
            m_model.AddCall<CSDLOperationProcedureCallmncaGetCurrentCell>(
                "mncaGetCurrentCell", 4, {{"PARAM_1", "int", "cur"}}),
            m_model.AddCall<CSDLOperationProcedureCallmncaGetCellValue>(
                "mncaGetCellValue", 5,
                {{"PARAM_1", "char*", "'layer_main'"},
                 {"PARAM_2", "int", "cur"},
                 {"PARAM_3", "double", "v"}}),
            m_model.Add(std::make_unique<CSDLOperationTask>(), "task", "add", 6, "S"),
            m_model.AddCall<CSDLOperationProcedureCallmncaSetCellValue>(
                "mncaSetCellValue", 7,
                {{"PARAM_1", "char*", "'layer_main'"},
                 {"PARAM_2", "int", "cur"},
                 {"PARAM_3", "double", "v"}}),
            pMoore,
            m_model.Add(std::make_unique<CSDLOperationSetState>("S"), "setstate", "S", 9, "S"),
        };
        for (size_t i = 0; i + 1 < vecChain.size(); ++i) {
            vecChain[i]->m_pNext = vecChain[i + 1];
        }
        // Cells in no state take the tick; once in "S" they take nothing.
        pProcess->m_mapStates[""] = vecChain.front();
        const std::string strV = m_model.Ident("v");
        m_template.SetTask(vecChain[3]->GetCodeID(), [this, strV](CFakeModelLibrary& lib) {
            ++m_nTicks;
            lib.m_mapDoubles[strV] += 1.0;
            return 0;
        });
        for (int nCell = 0; nCell < 25; ++nCell) {
            auto pEvent = std::make_unique<CSDLEvent>();
            pEvent->m_strName = "tick";
            pEvent->m_dExecutionTime = 1.0 + nCell;
            pEvent->m_nCell = nCell;
            pProcess->m_listInitialEvents.push_back(std::move(pEvent));
        }
        engine.SetLibraryFactory(
            [this] { return std::make_unique<CFakeModelLibrary>(m_template); });
    }

    // One run to its end, through the run thread.
    void Run() {
        CSDLEngine& engine = m_model.m_engine;
        ASSERT_EQ(engine.StartThread(), 0);
        engine.Run();
        ASSERT_TRUE(velkotest::WaitForRunEnd(engine));
    }

    std::vector<double> MainLayer() const {
        std::vector<double> vecValues;
        for (int i = 0; i < 25; ++i) {
            vecValues.push_back(m_model.m_pMnca->GetMainLayer()->GetCellValue(i));
        }
        return vecValues;
    }
    std::vector<std::string> ErrorLines() const {
        std::vector<std::string> vecLines;
        for (const auto& line : m_model.m_notifier.GetLines()) {
            if (line.ePane == NP_ERRORS) {
                vecLines.push_back(line.strLine);
            }
        }
        return vecLines;
    }

    CMncaModel m_model;
    // Ticks taken over all runs.
    std::atomic<int> m_nTicks{0};

private:
    CFakeModelLibrary m_template;
    std::vector<std::string> m_vecNames;
    std::vector<std::string> m_vecFormals;
};

// The same model with the same values gives the same run: each run starts
// from the layers as loaded (and from cells in no state).
TEST(MncaRunTest, EachRunStartsFromTheLayersAsLoaded) {
    CCellRuns runs;
    const std::vector<double> vecLoaded = runs.MainLayer();
    std::vector<double> vecAfter = vecLoaded;
    for (double& dValue : vecAfter) {
        dValue += 1.0;
    }
    for (int nRun = 0; nRun < 3; ++nRun) {
        runs.Run();
        EXPECT_EQ(runs.m_nTicks, 25 * (nRun + 1));
        EXPECT_EQ(runs.MainLayer(), vecAfter) << "run " << nRun;
        EXPECT_EQ(runs.m_model.m_pProcess->m_vecCellStates, std::vector<std::string>(25, "S"));
    }
}

// A fault met again and again in a run shows one box per run; its count is
// in one Errors line at the run's end.
TEST(MncaRunTest, ARepeatedReportShowsOneBoxPerRunAndItsCount) {
    CCellRuns runs;
    const std::string strFloat =
        "Error on process life_cells_cell for tick event on time 1.000000. Type float is not "
        "implemented.";
    for (int nRun = 1; nRun <= 2; ++nRun) {
        runs.Run();
        std::vector<std::string> vecExpected;
        for (int i = 0; i < nRun; ++i) {
            vecExpected.push_back(strFloat);
            vecExpected.push_back("The layer layr_main doesn't exists.");
        }
        EXPECT_EQ(BoxTexts(runs.m_model.m_notifier), vecExpected);
        const std::vector<std::string> vecLines = runs.ErrorLines();
        ASSERT_EQ(vecLines.size(), static_cast<size_t>(2 * nRun));
        EXPECT_EQ(vecLines[vecLines.size() - 2],
                  "The message \"" + strFloat + "\" came 25 times in this run; it was shown once.");
        EXPECT_EQ(vecLines.back(),
                  "The message \"The layer layr_main doesn't exists.\" came 200 times in this "
                  "run; it was shown once.");
    }
}

}  // namespace
