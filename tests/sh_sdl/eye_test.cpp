#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sh_sdl/eye/sdloperationprocedurecalleyeanimto.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeremoveat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeresumeat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyestopat.h"
#include "sh_sdl/eye/sdloperationprocedurecallnumneighborsalive.h"
#include "sh_sdl/eye/sdloperationprocedurecallopenfile.h"
#include "sh_sdl/eye/sdloperationprocedurecallreport.h"
#include "test_helpers.h"

namespace {

using sdltest::CTestModel;

struct CEyeArg {
    const char* pszFormal;
    const char* pszType;
    std::string strValue;
};

// A process "cell" in sys / life (automaton, 10 x 10) / cells, or in
// sys / plain without an automaton.
class CEyeModel {
public:
    explicit CEyeModel(bool bAutomaton) {
        if (bAutomaton) {
            m_pMnca = m_model.AddMnca(nullptr, "life", 1, 100);
            m_pMnca->SetNumDimensions(2);
            m_pMnca->SetDimensions({10, 10});
            m_pProcess = m_model.AddProcess(m_model.AddBlock(m_pMnca, "cells", 2), "cell", 3);
            m_pProcess->m_vecCellStates.assign(100, "DEAD");
            m_pProcess->m_vecNextCellStates = m_pProcess->m_vecCellStates;
        } else {
            m_pProcess = m_model.AddProcess(m_model.AddBlock(nullptr, "plain", 1), "cell", 3);
        }
    }

    template <class TCall>
    TCall* AddCall(const std::string& strName, std::initializer_list<CEyeArg> args) {
        auto pCall = std::make_unique<TCall>();
        pCall->m_strName = strName;
        pCall->m_nId = ++m_nLastId;
        pCall->m_strStateName = "S";
        pCall->m_pOwner = m_pProcess;
        for (const CEyeArg& arg : args) {
            pCall->m_mapParameters[arg.pszFormal] =
                std::make_unique<CSDLParameter>(arg.pszType, arg.pszFormal, arg.strValue, "no");
        }
        return static_cast<TCall*>(m_pProcess->AddOperation(std::move(pCall)));
    }

    void Declare(const std::string& strName, const std::string& strType,
                 const std::string& strValue) {
        m_model.DeclareVariable(m_pProcess, strName, strType, strValue);
    }

    // Runs the call, which must go on with its chain; returns what was written.
    std::string Run(CSDLOperation* pCall) {
        m_model.Sink().m_strText.clear();
        pCall->m_pNext = &m_marker;
        EXPECT_EQ(pCall->Execute(), &m_marker) << pCall->m_strName;
        return m_model.Sink().m_strText;
    }

    std::string Error() const { return m_pProcess->m_strError; }

    CTestModel m_model;
    CSDLmnca* m_pMnca = nullptr;
    CSDLProcess* m_pProcess = nullptr;

private:
    // Stands for the operation after the call.
    class CMarker : public CSDLOperation {
    public:
        CSDLOperation* Execute() override { return nullptr; }

    protected:
        std::unique_ptr<CSDLOperation> MakeClone() const override { return nullptr; }
    };
    CMarker m_marker;
    int m_nLastId = 0;
};

// ---- Report -----------------------------------------------------------------------------

TEST(EyeReportTest, OneRecordPerArgumentInOrder) {
    CEyeModel model(false);
    model.Declare("speed", "double", "2.5");
    model.Declare("count", "int", "4");
    model.m_pProcess->m_dClock = 3.5;
    auto* pReport = model.AddCall<CSDLOperationProcedureCallReport>(
        "Report",
        {{"PARAM_1", "double", "speed"}, {"PARAM_2", "int", "count"}, {"PARAM_3", "double", "7"}});
    EXPECT_EQ(pReport->m_strType, "procedurecallreport");
    EXPECT_EQ(model.Run(pReport),
              "\t\t<EYE_Report xTime='3.500000' agent=\"plain_cell\" varname=\"speed\" "
              "vartype=\"double\" varvalue=\"2.500000\" />\n"
              "\t\t<EYE_Report xTime='3.500000' agent=\"plain_cell\" varname=\"count\" "
              "vartype=\"int\" varvalue=\"4\" />\n"
              "\t\t<EYE_Report xTime='3.500000' agent=\"plain_cell\" varname=\"7\" "
              "vartype=\"double\" varvalue=\"7\" />\n");
    EXPECT_TRUE(model.Error().empty());

    // A gap ends the list: PARAM_5 is not reached without PARAM_4.
    pReport->m_mapParameters["PARAM_5"] =
        std::make_unique<CSDLParameter>("double", "PARAM_5", "9", "no");
    pReport->m_mapParameters.erase("PARAM_2");
    pReport->m_mapParameters.erase("PARAM_3");
    EXPECT_EQ(model.Run(pReport),
              "\t\t<EYE_Report xTime='3.500000' agent=\"plain_cell\" varname=\"speed\" "
              "vartype=\"double\" varvalue=\"2.500000\" />\n");

    // With the execution trace on, each report is also an execution record.
    model.m_model.Engine().m_bExecutionTrace = true;
    model.m_model.Engine().m_bRepresentationTrace = false;
    EXPECT_EQ(model.Run(pReport),
              "\t\t<report time=\"3.500000\" process=\"plain_cell\" name=\"Report\" id=\"1\" "
              "agent=\"plain_cell\"><EYE_Report xTime='3.500000' agent=\"plain_cell\" "
              "varname=\"speed\" vartype=\"double\" varvalue=\"2.500000\" /></report>\n");
    model.m_model.Engine().m_bExecutionTrace = false;
    EXPECT_EQ(model.Run(pReport), "");
}

TEST(EyeReportTest, InsideAnAutomatonTheRecordNamesTheCell) {
    CEyeModel model(true);
    model.Declare("h", "double", "1.25");
    model.m_pMnca->SetCurrentCell(42);
    auto* pReport =
        model.AddCall<CSDLOperationProcedureCallReport>("Report", {{"PARAM_1", "double", "h"}});
    EXPECT_EQ(model.Run(pReport),
              "\t\t<EYE_Report xTime='0.000000' agent=\"life_cells_cell\" varname=\"h\" "
              "vartype=\"double\" varvalue=\"1.250000\" cell=\"42\" />\n");
}

TEST(EyeReportTest, TextValuesAreReportedAndEscaped) {
    CEyeModel model(false);
    model.Declare("label", "char*", "say \"hi\" <now>");
    auto* pReport =
        model.AddCall<CSDLOperationProcedureCallReport>("Report", {{"PARAM_1", "char*", "label"}});
    EXPECT_EQ(model.Run(pReport),
              "\t\t<EYE_Report xTime='0.000000' agent=\"plain_cell\" varname=\"label\" "
              "vartype=\"char*\" varvalue=\"say &quot;hi&quot; &lt;now>\" />\n");
    EXPECT_NE(model.Error().find("The variable label must be defined as a double"),
              std::string::npos)
        << model.Error();
    EXPECT_TRUE(model.m_model.Engine().m_bErrorPending);
}

// ---- Stop, resume, remove ------------------------------------------------------------------

TEST(EyeAgentRecordsTest, StopAndResumeCoverTheLastCountAgents) {
    CEyeModel model(false);
    model.Declare("n", "double", "3");
    model.m_pProcess->m_dClock = 1.5;
    auto* pStop = model.AddCall<CSDLOperationProcedureCallEyeStopAt>(
        "StopAt", {{"PARAM_1", "double", "n"}, {"PARAM_2", "double", "10"}});
    EXPECT_EQ(pStop->m_strType, "procedurecallreport");
    EXPECT_EQ(model.Run(pStop),
              "\t\t<EYE_StopAt xTime='1.500000' agent='8.000000' />\n"
              "\t\t<EYE_StopAt xTime='1.500000' agent='9.000000' />\n"
              "\t\t<EYE_StopAt xTime='1.500000' agent='10.000000' />\n");
    model.m_model.Library().m_mapDoubles[model.m_pProcess->GetVariableIdentifier("n")] = 0.0;
    EXPECT_EQ(model.Run(pStop), "");
    model.m_model.Library().m_mapDoubles[model.m_pProcess->GetVariableIdentifier("n")] = -4.0;
    EXPECT_EQ(model.Run(pStop), "");

    auto* pResume = model.AddCall<CSDLOperationProcedureCallEyeResumeAt>(
        "ResumeAt", {{"PARAM_1", "double", "2"}, {"PARAM_2", "double", "0"}});
    EXPECT_EQ(model.Run(pResume),
              "\t\t<EYE_ResumeAt xTime='1.500000' agent='-1.000000' />\n"
              "\t\t<EYE_ResumeAt xTime='1.500000' agent='0.000000' />\n");
    // Extreme bounds do not overflow: one record for the last agent.
    auto* pExtreme = model.AddCall<CSDLOperationProcedureCallEyeResumeAt>(
        "ResumeAt", {{"PARAM_1", "double", "1"}, {"PARAM_2", "double", "-2147483648"}});
    EXPECT_EQ(model.Run(pExtreme),
              "\t\t<EYE_ResumeAt xTime='1.500000' agent='-2147483648.000000' />\n");
}

TEST(EyeAgentRecordsTest, RemoveNamesTheAgentArgument) {
    CEyeModel model(false);
    model.Declare("who", "double", "5");
    model.m_pProcess->m_dClock = 1.0;
    auto* pRemove = model.AddCall<CSDLOperationProcedureCallEyeRemoveAt>(
        "RemoveAt", {{"PARAM_1", "double", "who"}});
    EXPECT_EQ(model.Run(pRemove), "\t\t<EYE_RemoveAt xTime='1.000000' agent='5.000000' />\n");
    // Nothing goes out while the representation trace is off.
    model.m_model.Engine().m_bRepresentationTrace = false;
    EXPECT_EQ(model.Run(pRemove), "");
}

// ---- AnimTo -------------------------------------------------------------------------------

TEST(EyeAnimToTest, ObjMeshMovesToAPointAfterTheDelay) {
    CEyeModel model(false);
    model.Declare("x", "double", "1.5");
    model.m_pProcess->m_dClock = 10.0;
    auto* pAnim = model.AddCall<CSDLOperationProcedureCallEyeAnimTo>(
        "AnimTo", {{"PARAM_1", "double", "4"},
                   {"PARAM_2", "char*", "'models/car.obj'"},
                   {"PARAM_3", "double", "2.5"},
                   {"PARAM_4", "double", "x"},
                   {"PARAM_5", "double", "-2"}});
    EXPECT_EQ(pAnim->m_strType, "procedurecallreport");
    EXPECT_EQ(model.Run(pAnim),
              "<EYE_AnimTo xTime='12.500000' agent='4'><mesh scale='1'>models/car.obj</mesh>"
              "<pos x='1.500000' y='-2' z='0' /></EYE_AnimTo>\n");
    EXPECT_TRUE(model.m_model.Notifier().GetBoxes().empty());
}

TEST(EyeAnimToTest, OtherMeshesMoveToACellOfTheAutomaton) {
    CEyeModel model(true);
    model.Declare("target", "int", "13");
    model.m_pMnca->SetCurrentCell(6);
    model.m_pProcess->m_dClock = 2.0;
    // ".OBJ" is not ".obj": a cell picture at the current cell.
    auto* pUpper = model.AddCall<CSDLOperationProcedureCallEyeAnimTo>(
        "AnimTo", {{"PARAM_1", "double", "4"},
                   {"PARAM_2", "char*", "'car.OBJ'"},
                   {"PARAM_3", "double", "0.5"}});
    EXPECT_EQ(model.Run(pUpper),
              "<EYE_AnimTo xTime='2.500000' agent='life_cells_cell'><mesh "
              "scale='1'>car.OBJ</mesh><pos cell='6' /></EYE_AnimTo>\n");
    auto* pPng = model.AddCall<CSDLOperationProcedureCallEyeAnimTo>(
        "AnimTo", {{"PARAM_1", "double", "4"},
                   {"PARAM_2", "char*", "'tree.png'"},
                   {"PARAM_3", "double", "0"},
                   {"PARAM_4", "double", "target"}});
    EXPECT_EQ(model.Run(pPng),
              "<EYE_AnimTo xTime='2.000000' agent='life_cells_cell'><mesh "
              "scale='1'>tree.png</mesh><pos cell='13' /></EYE_AnimTo>\n");
    EXPECT_TRUE(model.Error().empty());

    // A cell outside the grid is reported and not sent.
    model.m_model.Library().m_mapInts[model.m_pProcess->GetVariableIdentifier("target")] = 100;
    EXPECT_EQ(model.Run(pPng), "");
    EXPECT_NE(model.Error().find("Cell 100 is outside the automaton's 100 cells."),
              std::string::npos);
}

TEST(EyeAnimToTest, CellPictureOutsideAnAutomatonSendsNothing) {
    CEyeModel model(false);
    auto* pAnim = model.AddCall<CSDLOperationProcedureCallEyeAnimTo>(
        "AnimTo", {{"PARAM_1", "double", "4"},
                   {"PARAM_2", "char*", "'tree.png'"},
                   {"PARAM_3", "double", "0"}});
    EXPECT_EQ(model.Run(pAnim), "");
    const auto vecBoxes = model.m_model.Notifier().GetBoxes();
    ASSERT_EQ(vecBoxes.size(), 1u);
    EXPECT_EQ(vecBoxes[0].strText, "It must be a MNCA to use Animto and 'jpg' or 'png' Procedure");
}

// ---- Live neighbours --------------------------------------------------------------------------

TEST(EyeNeighboursTest, CountsAliveNeighboursOfTheEventCell) {
    CEyeModel model(true);
    model.Declare("n", "int", "-5");
    model.Declare("m", "double", "-5");
    auto* pCount = model.AddCall<CSDLOperationProcedureCallNumNeighborsAlive>(
        "_NumNeighborsAlive", {{"PARAM_1", "int", "n"}, {"PARAM_2", "double", "m"}});
    EXPECT_EQ(pCount->m_strType, "ProcedureCall");
    auto& vecStates = model.m_pProcess->m_vecCellStates;
    vecStates[0] = vecStates[1] = vecStates[2] = "ALIVE";
    vecStates[20] = "alive";  // not the same word
    vecStates[9] = "ALIVE";   // west of cell 10 across the edge
    auto count = [&](int nCell) {
        auto pEvent = std::make_unique<CSDLEvent>();
        pEvent->m_nCell = nCell;
        model.m_pProcess->m_pCurrentEvent = std::move(pEvent);
        model.Run(pCount);
        model.m_pProcess->m_pCurrentEvent.reset();
        return model.m_model.Library().m_mapInts[model.m_pProcess->GetVariableIdentifier("n")];
    };
    EXPECT_EQ(count(11), 3);
    EXPECT_EQ(model.m_model.Library().m_mapDoubles[model.m_pProcess->GetVariableIdentifier("m")],
              3.0);
    EXPECT_EQ(count(10), 3);  // 0, 1 and 9
    EXPECT_EQ(count(0), 2);   // 1, and 9 as id + W - 1
    EXPECT_EQ(count(99), 0);
    EXPECT_TRUE(model.Error().empty());

    // Only the cell-state array is read: cells beyond it do not count, and
    // an event cell beyond it is reported.
    vecStates.resize(12);
    EXPECT_EQ(count(2), 1);
    EXPECT_EQ(count(50), 0);
    EXPECT_NE(model.Error().find("Cell 50 is outside the automaton's 12 cells."),
              std::string::npos);
}

TEST(EyeNeighboursTest, WithoutACurrentEventTheCountIsZero) {
    CEyeModel model(true);
    model.Declare("n", "int", "-5");
    auto* pCount = model.AddCall<CSDLOperationProcedureCallNumNeighborsAlive>(
        "_NumNeighborsAlive", {{"PARAM_1", "int", "n"}});
    model.m_pProcess->m_vecCellStates.assign(100, "ALIVE");
    model.Run(pCount);
    EXPECT_EQ(model.m_model.Library().m_mapInts[model.m_pProcess->GetVariableIdentifier("n")], 0);
    EXPECT_NE(model.Error().find("The procedure _NumNeighborsAlive needs the event of a cell"),
              std::string::npos)
        << model.Error();
}

// ---- OpenFile -----------------------------------------------------------------------------------

TEST(EyeOpenFileTest, ChosenPathGoesIntoPath) {
    CEyeModel model(false);
    model.Declare("Path", "char*", "old");
    auto* pOpen = model.AddCall<CSDLOperationProcedureCallOpenFile>("OpenFile", {});
    EXPECT_EQ(pOpen->m_strType, "ProcedureCall");
    const std::string strIdent = model.m_pProcess->GetVariableIdentifier("Path");

    // Cancelled: nothing changes.
    model.m_model.Notifier().SetFileChoice("");
    model.Run(pOpen);
    EXPECT_EQ(model.m_model.Library().m_mapStrings[strIdent], "old");

    const std::string strChosen = "/home/o'brien/My Data/run 1.txt";
    model.m_model.Notifier().SetFileChoice(strChosen);
    model.Run(pOpen);
    EXPECT_EQ(model.m_model.Library().m_mapStrings[strIdent], strChosen);
    EXPECT_EQ(model.m_pProcess->GetVariable("Path")->m_strValue, strChosen);
    EXPECT_TRUE(model.m_model.Notifier().GetBoxes().empty());
}

}  // namespace
