#include <gtest/gtest.h>

#include <memory>
#include <pugixml.hpp>
#include <string>

#include "sh_sdl/sdloperationcreate.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationtask.h"
#include "test_helpers.h"

namespace {

using sdltest::CTestModel;
using sdltest::MakeEvent;

// ---- Pending-event table -------------------------------------------------------------

TEST(PendingTableTest, EmptyTableAnswersZeroAndNotFound) {
    CSDLEngine engine;
    bool bFound = true;
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 0.0);
    EXPECT_FALSE(bFound);
}

TEST(PendingTableTest, KeepsTheEarliestTimePerKey) {
    CSDLEngine engine;
    bool bFound = false;
    engine.UpdateNextEventTime("a", 5.0, false);
    engine.UpdateNextEventTime("a", 3.0, false);
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 3.0);

    engine.UpdateNextEventTime("b", 3.0, false);
    engine.UpdateNextEventTime("b", 5.0, false);
    engine.UpdateNextEventTime("a", 0.0, true);
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 3.0);
    EXPECT_TRUE(bFound);

    // Reporting one time twice keeps a single record: one removal empties it.
    engine.UpdateNextEventTime("b", 3.0, false);
    engine.UpdateNextEventTime("b", 0.0, true);
    engine.GetNextEventTime(&bFound);
    EXPECT_FALSE(bFound);
}

TEST(PendingTableTest, RemovalTouchesOnlyItsKey) {
    CSDLEngine engine;
    bool bFound = false;
    engine.UpdateNextEventTime("a", 2.0, false);
    engine.UpdateNextEventTime("b", 4.0, false);
    engine.UpdateNextEventTime("absent", 0.0, true);  // nothing happens
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 2.0);
    engine.UpdateNextEventTime("a", 0.0, true);
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 4.0);
    EXPECT_TRUE(bFound);
    // A removed key starts afresh: a later time is taken again.
    engine.UpdateNextEventTime("a", 9.0, false);
    engine.UpdateNextEventTime("b", 0.0, true);
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 9.0);
    engine.ClearPendingEvents();
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 0.0);
    EXPECT_FALSE(bFound);
}

TEST(PendingTableTest, MinimumOverAllKeys) {
    CSDLEngine engine;
    engine.UpdateNextEventTime("x", 2.0, false);
    engine.UpdateNextEventTime("y", 1.0, false);
    engine.UpdateNextEventTime("z", 1.0, false);
    bool bFound = false;
    EXPECT_EQ(engine.GetNextEventTime(&bFound), 1.0);
    EXPECT_TRUE(bFound);
    engine.UpdateNextEventTime("w", -0.5, false);
    EXPECT_EQ(engine.GetNextEventTime(&bFound), -0.5);
}

TEST(PendingTableTest, ANewModelKeepsNoTimeOfTheOldOne) {
    CTestModel model;
    model.AddProcess(nullptr, "p", 1)->m_pInternalChannel->AddEvent(MakeEvent("A", 1.0));
    // Another model, with a process of the same key, takes the old one's place.
    auto pRoot = std::make_unique<CSDLBlock>();
    pRoot->m_strName = "sys";
    pRoot->m_pEngine = &model.Engine();
    auto pProcess = std::make_unique<CSDLProcess>();
    pProcess->m_strName = "p";
    pProcess->m_pEngine = &model.Engine();
    CSDLProcess* p = pRoot->AddProcess(std::move(pProcess));
    model.Engine().SetRootAgent(std::move(pRoot));
    bool bFound = true;
    model.Engine().GetNextEventTime(&bFound);
    EXPECT_FALSE(bFound);

    p->m_pInternalChannel->AddEvent(MakeEvent("B", 2.0));
    auto pEvent = p->GetNextEvent();
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(pEvent->m_strName, "B");
    model.Engine().GetNextEventTime(&bFound);
    EXPECT_FALSE(bFound);
}

TEST(QualifiedNameTest, VariableThenOwnerAsACIdentifier) {
    EXPECT_EQ(CSDLEngine::FormatQualifiedName("x", "B[1]_P"), "x_B_1__P");
    EXPECT_EQ(CSDLEngine::FormatQualifiedName("count", "P"), "count_P");
    EXPECT_EQ(CSDLEngine::FormatQualifiedName("a b", "c-d.e"), "a_b_c_d_e");
    EXPECT_EQ(CSDLEngine::FormatQualifiedName("v2", "Blk_9"), "v2_Blk_9");
}

// ---- Trace records -------------------------------------------------------------------

// A process b_p (instance 2 of p in block b) at clock 2.5 in state "idle",
// and a process grid_q inside a 4-cell automaton whose current cell is 2.
class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSDLEngine& engine = m_model.Engine();
        engine.m_bExecutionTrace = true;
        engine.m_bRepresentationTrace = true;
        m_p = m_model.AddProcess(m_model.AddBlock(nullptr, "b", 1), "p", 2, 2);
        m_p->m_dClock = 2.5;
        m_p->m_strCurrentState = "idle";

        m_pGrid = m_model.AddMnca(nullptr, "grid", 3, 4);
        m_pGrid->SetCurrentCell(2);
        m_q = m_model.AddProcess(m_pGrid, "q", 4);
        m_q->m_dClock = 1.0;
        m_q->m_strCurrentState = "ignored";
        m_q->m_vecCellStates = {"s0", "s1", "s2", "s3"};
        m_q->m_vecNextCellStates = m_q->m_vecCellStates;
    }

    // An operation of class T owned by pOwner, with a type tag, name and id.
    template <class T>
    T* Make(CSDLProcess* pOwner, const std::string& strTag, const std::string& strName, int nId) {
        auto pOperation = std::make_unique<T>();
        pOperation->m_strType = strTag;
        pOperation->m_strName = strName;
        pOperation->m_nId = nId;
        pOperation->m_pOwner = pOwner;
        return static_cast<T*>(pOwner->AddOperation(std::move(pOperation)));
    }

    std::string& Text() { return m_model.Sink().m_strText; }

    CTestModel m_model;
    CSDLProcess* m_p = nullptr;
    CSDLProcess* m_q = nullptr;
    CSDLmnca* m_pGrid = nullptr;
};

TEST_F(TraceTest, CreateRecord) {
    auto* pCreate = Make<CSDLOperationCreate>(m_p, "create", "mk", 4);
    m_model.Engine().WriteTrace(pCreate, true, "ignored");
    EXPECT_EQ(Text(),
              "<create time=\"2.500000\" process=\"b_p\" name=\"mk\" id=\"4\"> New Agent "
              "creation. </create>\n");
}

TEST_F(TraceTest, InputRecords) {
    auto pEvent = MakeEvent("Hello", 2.5);
    pEvent->m_strTo = "p";
    pEvent->m_dCreationTime = 1.5;
    pEvent->m_dDelay = 1.0;
    const std::string strEventXml = pEvent->GetXml();
    m_p->m_pCurrentEvent = std::move(pEvent);
    auto* pInput = Make<CSDLOperationInput>(m_p, "input", "Hello", 5);
    m_model.Engine().WriteTrace(pInput, true, "");
    EXPECT_EQ(Text(),
              "<input time=\"2.500000\" process=\"b_p\" name=\"Hello\" id=\"5\" mnca=\"no\" "
              "curcell=\"0\">" +
                  strEventXml + "</input>\n");

    Text().clear();
    auto pCellEvent = MakeEvent("Tick", 1.0);
    pCellEvent->m_nCell = 2;
    const std::string strCellXml = pCellEvent->GetXml();
    m_q->m_pCurrentEvent = std::move(pCellEvent);
    auto* pCellInput = Make<CSDLOperationInput>(m_q, "input", "Tick", 6);
    m_model.Engine().WriteTrace(pCellInput, true, "");
    EXPECT_EQ(Text(),
              "<input time=\"1.000000\" process=\"grid_q\" name=\"Tick\" id=\"6\" mnca=\"yes\" "
              "curcell=\"2\">" +
                  strCellXml + "</input>\n");
}

TEST_F(TraceTest, OutputRecord) {
    auto* pOutput = Make<CSDLOperationOutput>(m_p, "output", "Hello", 7);
    pOutput->m_strSelf = "no";
    pOutput->m_strTo = "q";
    pOutput->m_strVia = "c1";
    pOutput->m_pSignal->m_strName = "Hello";
    pOutput->m_pSignal->m_strTo = "q";
    pOutput->m_pSignal->m_dExecutionTime = 3.0;
    m_model.Engine().WriteTrace(pOutput, true, "");
    EXPECT_EQ(Text(),
              "<output time=\"2.500000\" process=\"b_p\" name=\"Hello\" id=\"7\" self=\"no\" "
              "to=\"q\" via=\"c1\"><params to=\"q\" creationtime=\"0.000000\" "
              "delay=\"0.000000\" executiontime=\"3.000000\" priority=\"0\" type=\"Hello\" "
              "cells=\"\"></params></output>\n");
}

// A quoted literal and a text with an apostrophe need no escape inside
// double quotes or as element text: the records hold them as they are.
TEST_F(TraceTest, QuotedLiteralsAndApostrophesAreWrittenAsTheyAre) {
    auto* pOutput = Make<CSDLOperationOutput>(m_p, "output", "Hello", 7);
    pOutput->m_strSelf = "no";
    pOutput->m_strTo = "'q'";
    pOutput->m_strVia = "'c1'";
    pOutput->m_pSignal->m_strName = "Hello";
    pOutput->m_pSignal->m_strTo = "'q'";
    pOutput->m_pSignal->m_mapUserParams["msg"] =
        std::make_unique<CSDLParameter>("char*", "msg", "s'ha > 3 & <4>", "no");
    m_model.Engine().WriteTrace(pOutput, true, "");
    m_model.Engine().m_bInitialized = true;
    m_p->ReportError("no s'ha pogut", SDL_ERROR);
    EXPECT_EQ(Text(),
              "<output time=\"2.500000\" process=\"b_p\" name=\"Hello\" id=\"7\" self=\"no\" "
              "to=\"'q'\" via=\"'c1'\"><params to=\"'q'\" creationtime=\"0.000000\" "
              "delay=\"0.000000\" executiontime=\"0.000000\" priority=\"0\" type=\"Hello\" "
              "cells=\"\"></params><userparams><userparam name=\"msg\" type=\"char*\" "
              "value=\"s'ha > 3 &amp; &lt;4>\"></userparam></userparams></output>\n"
              "<error>Error on process b_p on time 2.500000. no s'ha pogut</error>\n");
}

TEST_F(TraceTest, ProcedureCallReportRecordHasTwoLeadingTabs) {
    auto pReport = std::make_unique<CSDLOperationProcedureCall>("procedurecallreport");
    pReport->m_strName = "Report";
    pReport->m_nId = 8;
    pReport->m_pOwner = m_p;
    auto* pOperation = m_p->AddOperation(std::move(pReport));
    m_model.Engine().WriteTrace(pOperation, true, "<value>7</value>");
    EXPECT_EQ(Text(),
              "\t\t<report time=\"2.500000\" process=\"b_p\" name=\"Report\" id=\"8\" "
              "agent=\"b_p\"><value>7</value></report>\n");
}

TEST_F(TraceTest, SetStateRecords) {
    auto* pPlain = Make<CSDLOperationSetState>(m_p, "setstate", "busy", 9);
    pPlain->m_strState = "busy";
    m_model.Engine().WriteTrace(pPlain, true, "");
    // The plain form shows the process's current state.
    EXPECT_EQ(Text(),
              "<setstate time=\"2.500000\" process=\"b_p\" name=\"busy\" id=\"9\" "
              "state=\"idle\"></setstate>\n");

    Text().clear();
    auto* pCell = Make<CSDLOperationSetState>(m_q, "setstate", "busy", 10);
    pCell->m_strState = "busy";
    m_model.Engine().WriteTrace(pCell, true, "");
    EXPECT_EQ(Text(),
              "<setstate time=\"1.000000\" process=\"grid_q\" name=\"busy\" id=\"10\" "
              "state=\"s2\" cell=\"2\"></setstate>\n");
}

TEST_F(TraceTest, ProcedureCallRecordReadsVariablesAndKeepsLiterals) {
    m_model.DeclareVariable(m_p, "x", "int", "42");
    m_model.DeclareVariable(m_p, "d", "double", "2.5");
    m_model.DeclareVariable(m_p, "s", "char*", "text");
    auto* pCall = Make<CSDLOperationProcedureCall>(m_p, "ProcedureCall", "Move", 11);
    auto addParam = [&](const char* pszKey, const char* pszType, const char* pszValue) {
        pCall->m_mapParameters[pszKey] =
            std::make_unique<CSDLParameter>(pszType, pszKey, pszValue, "no");
    };
    addParam("a", "int", "x");
    addParam("b", "int", "5");
    addParam("c", "char*", "'hi'");
    addParam("e", "double", "d");
    addParam("f", "char*", "s");
    addParam("g", "double", "1.25");

    m_model.Engine().WriteTrace(pCall, true, "");
    EXPECT_EQ(Text(),
              "<procedurecall time=\"2.500000\" process=\"b_p\" name=\"Move\" id=\"11\">"
              "<param name=\"a\" value=\"42\"></param>"
              "<param name=\"b\" value=\"5\"></param>"
              "<param name=\"c\" value=\"'hi'\"></param>"
              "<param name=\"e\" value=\"2.500000\"></param>"
              "<param name=\"f\" value=\"text\"></param>"
              "<param name=\"g\" value=\"1.25\"></param>"
              "</procedurecall>\n");
    // Literals are not variables: nothing was reported.
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_FALSE(m_model.Engine().m_bErrorPending);

    // A call without parameters has an empty body.
    Text().clear();
    auto* pBare = Make<CSDLOperationProcedureCall>(m_p, "ProcedureCall", "Stop", 12);
    m_model.Engine().WriteTrace(pBare, true, "");
    EXPECT_EQ(Text(),
              "<procedurecall time=\"2.500000\" process=\"b_p\" name=\"Stop\" "
              "id=\"12\"></procedurecall>\n");
}

TEST_F(TraceTest, EyeSetStateRecords) {
    auto* pPlain = Make<CSDLOperationSetState>(m_p, "setstate", "busy", 9);
    pPlain->m_strState = "busy";
    m_model.Engine().WriteEyeTrace(pPlain, true, "");
    EXPECT_EQ(Text(),
              "\t\t<EYE_SetState xTime='2.500000' agent=\"b_p\" "
              "state=\"idle\"></EYE_SetState>\n");

    Text().clear();
    auto* pCell = Make<CSDLOperationSetState>(m_q, "setstate", "busy", 10);
    pCell->m_strState = "busy";
    m_model.Engine().WriteEyeTrace(pCell, true, "");
    // The cell form shows the operation's target state.
    EXPECT_EQ(Text(),
              "\t\t<EYE_SetState xTime='1.000000' agent=\"grid_q\" cell=\"2\" "
              "state=\"busy\"></EYE_SetState>\n");
}

TEST_F(TraceTest, ReadyLinesPassUnchanged) {
    const std::string strLine = "<system> VELKOEye connection established. </system>\n";
    const std::string strEye =
        "\t\t<EYE_AnimTo xTime='1.000000' agent=\"p\" x=\"1\" y=\"2\" z=\"3\"></EYE_AnimTo>\n";
    m_model.Engine().WriteTrace(nullptr, true, strLine);
    m_model.Engine().WriteEyeTrace(nullptr, true, strEye);
    EXPECT_EQ(Text(), strLine + strEye);
}

TEST_F(TraceTest, NothingWhenTracingIsOffOrNotEnabled) {
    auto* pSetState = Make<CSDLOperationSetState>(m_p, "setstate", "busy", 9);
    CSDLEngine& engine = m_model.Engine();
    engine.m_bStepByStep = true;
    engine.WriteTrace(pSetState, false, "");
    engine.WriteTrace(nullptr, false, "<x/>\n");
    engine.WriteEyeTrace(pSetState, false, "");
    engine.WriteEyeTrace(nullptr, false, "<x/>\n");
    engine.m_bExecutionTrace = false;
    engine.m_bRepresentationTrace = false;
    engine.WriteTrace(pSetState, true, "");
    engine.WriteTrace(nullptr, true, "<x/>\n");
    engine.WriteEyeTrace(pSetState, true, "");
    engine.WriteEyeTrace(nullptr, true, "<x/>\n");
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(engine.TakeMessages(), "");
}

TEST_F(TraceTest, TagsAreMatchedExactly) {
    // Tags of other kinds, and tags differing in case, give no record.
    auto* pTask = Make<CSDLOperationTask>(m_p, "task", "t", 1);
    auto* pUpper = Make<CSDLOperationSetState>(m_p, "SetState", "busy", 2);
    auto* pInput = Make<CSDLOperationInput>(m_p, "input", "Hello", 3);
    m_model.Engine().WriteTrace(pTask, true, "");
    m_model.Engine().WriteTrace(pUpper, true, "");
    m_model.Engine().WriteEyeTrace(pUpper, true, "");
    m_model.Engine().WriteEyeTrace(pInput, true, "");
    EXPECT_EQ(Text(), "");
}

TEST_F(TraceTest, StepModeCollectsExecutionRecordsOnly) {
    CSDLEngine& engine = m_model.Engine();
    auto* pSetState = Make<CSDLOperationSetState>(m_p, "setstate", "busy", 9);
    engine.WriteTrace(pSetState, true, "");
    EXPECT_EQ(engine.TakeMessages(), "");  // not in step mode

    engine.m_bStepByStep = true;
    engine.WriteTrace(pSetState, true, "");
    engine.WriteEyeTrace(pSetState, true, "");
    engine.WriteEyeTrace(nullptr, true, "\t\t<EYE_StopAt xTime='1.000000'></EYE_StopAt>\n");
    engine.WriteTrace(nullptr, true, "<error>x</error>\n");
    EXPECT_EQ(engine.TakeMessages(),
              "<setstate time=\"2.500000\" process=\"b_p\" name=\"busy\" id=\"9\" "
              "state=\"idle\"></setstate>\n<error>x</error>\n");
    EXPECT_EQ(engine.TakeMessages(), "");
    // The sink still got every record.
    EXPECT_NE(Text().find("EYE_SetState"), std::string::npos);
    EXPECT_NE(Text().find("EYE_StopAt"), std::string::npos);
}

TEST_F(TraceTest, QuotesInNamesStillGiveRecordsThatParse) {
    const std::string strState = "say \"hi\" & 'bye' <now>";
    m_p->m_strCurrentState = strState;
    auto* pSetState = Make<CSDLOperationSetState>(m_p, "setstate", "n\"m", 9);
    m_model.Engine().WriteTrace(pSetState, true, "");
    m_model.Engine().WriteEyeTrace(pSetState, true, "");

    const std::string strDoc = "<Trace>" + Text() + "</Trace>";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(strDoc.c_str())) << strDoc;
    const pugi::xml_node setstate = doc.child("Trace").child("setstate");
    EXPECT_STREQ(setstate.attribute("state").value(), strState.c_str());
    EXPECT_STREQ(setstate.attribute("name").value(), "n\"m");
    const pugi::xml_node eye = doc.child("Trace").child("EYE_SetState");
    EXPECT_STREQ(eye.attribute("state").value(), strState.c_str());
    EXPECT_STREQ(eye.attribute("xTime").value(), "2.500000");
}

// The set-state operation writes its execution record first, and its
// animation record only when the state changed.
TEST_F(TraceTest, SetStateExecutionWritesBothRecordsInOrder) {
    auto* pSetState = Make<CSDLOperationSetState>(m_p, "setstate", "busy", 9);
    pSetState->m_strState = "busy";
    EXPECT_EQ(pSetState->Execute(), nullptr);
    EXPECT_EQ(m_p->m_strCurrentState, "busy");
    EXPECT_EQ(Text(),
              "<setstate time=\"2.500000\" process=\"b_p\" name=\"busy\" id=\"9\" "
              "state=\"busy\"></setstate>\n"
              "\t\t<EYE_SetState xTime='2.500000' agent=\"b_p\" "
              "state=\"busy\"></EYE_SetState>\n");

    Text().clear();
    pSetState->Execute();
    EXPECT_EQ(Text(),
              "<setstate time=\"2.500000\" process=\"b_p\" name=\"busy\" id=\"9\" "
              "state=\"busy\"></setstate>\n");

    // With the process's trace option off nothing is written.
    Text().clear();
    m_p->m_bTraceSetState = false;
    m_p->m_bAnimSetState = false;
    m_model.Engine().m_bStepByStep = true;
    pSetState->m_strState = "idle";
    pSetState->Execute();
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(m_model.Engine().TakeMessages(), "");
}

}  // namespace
