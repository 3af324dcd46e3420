#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "optest_model.h"
#include "support/fakemodellibrary.h"
#include "support/recordingnotifier.h"

namespace fs = std::filesystem;

namespace {

using optest::AddUserParam;
using optest::CChain;
using sdltest::CTestModel;
using sdltest::MakeEvent;

std::string ReadFixture(const std::string& strName) {
    std::ifstream file(std::string(VELKO_TEST_DATA_DIR) + "/operations/" + strName,
                       std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> BoxTexts(const CRecordingNotifier& notifier) {
    std::vector<std::string> vecTexts;
    for (const auto& box : notifier.GetBoxes()) {
        vecTexts.push_back(box.strText);
    }
    return vecTexts;
}

// ---- A two-process model run end to end ------------------------------------------------
//
// Ping (block B) starts a timer (an output to itself delayed by its double
// variable d), counts in its int variable n and sends "ball" with n as the
// user parameter count; Pong takes count into its own variable, accumulates
// a double and answers to the agent named by its text variable. After the
// third answer Ping's decision ends the game.

struct CPingPong {
    CSDLProcess* pPing = nullptr;
    CSDLProcess* pPong = nullptr;
};

CPingPong BuildPingPong(CTestModel& model) {
    CSDLBlock* b = model.AddBlock(nullptr, "B", 2);
    CPingPong game;
    game.pPing = model.AddProcess(b, "Ping", 3);
    game.pPong = model.AddProcess(b, "Pong", 4);
    CTestModel::Connect(game.pPing, game.pPong, "toPong", {"ball"});
    CTestModel::Connect(game.pPong, game.pPing, "toPing", {"ball"});
    model.DeclareVariable(game.pPing, "n", "int", "0");
    model.DeclareVariable(game.pPing, "d", "double", "1.5");
    model.DeclareVariable(game.pPong, "count", "int", "0");
    model.DeclareVariable(game.pPong, "total", "double", "0");
    model.DeclareVariable(game.pPong, "tgt", "char*", "Ping");
    model.Engine().m_mapProcesses["B_Ping"] = game.pPing;
    model.Engine().m_mapProcesses["B_Pong"] = game.pPong;

    CChain start(game.pPing, "start");
    start.Start(1);
    CSDLOperationOutput* pTimer = start.Output(2, "tick");
    pTimer->m_strSelf = "yes";
    pTimer->m_pSignal->m_strDelay = "d";
    start.SetState(3, "wait");

    CChain wait(game.pPing, "wait");
    wait.Input(4, "tick");
    wait.Task(5, "inc");
    AddUserParam(wait.Output(6, "ball"), "count", "n");
    wait.SetState(7, "play");

    CChain play(game.pPing, "play");
    play.Input(8, "ball");
    play.Decision(9, 10, 12, "more");
    CSDLOperationOutput* pAgain = play.Output(10, "tick");
    pAgain->m_strSelf = "yes";
    pAgain->m_pSignal->m_strDelay = "d";
    play.SetState(11, "wait");
    play.SetState(12, "done");

    CChain done(game.pPing, "done");
    done.Input(13, "*");
    done.SetState(14, "done");

    CChain pongStart(game.pPong, "start");
    pongStart.Start(1);
    pongStart.SetState(2, "idle");

    CChain idle(game.pPong, "idle");
    idle.Input(3, "ball");
    idle.Task(4, "acc");
    CSDLOperationOutput* pReply = idle.Output(5, "ball");
    pReply->m_strTo = "tgt";
    pReply->m_pSignal->m_strDelay = "1";
    idle.SetState(6, "idle");
    return game;
}

// The same decision and tasks as the C library below.
void ProgramPingPong(CFakeModelLibrary& library) {
    library.SetTask("1_2_0_wait_5", [](CFakeModelLibrary& lib) {
        lib.m_mapInts["n_B_Ping"] = lib.m_mapInts["n_B_Ping"] + 1;
        return 0;
    });
    library.SetDecision("1_2_0_play_9", [](CFakeModelLibrary& lib) {
        return lib.m_mapInts["n_B_Ping"] < 3 ? 10 : 12;
    });
    library.SetTask("1_2_0_idle_4", [](CFakeModelLibrary& lib) {
        lib.m_mapDoubles["total_B_Pong"] =
            lib.m_mapDoubles["total_B_Pong"] + lib.m_mapInts["count_B_Pong"] * 0.5;
        return 0;
    });
}

// The model library of the game as the generator lays it out.
std::string PingPongSource() {
    const std::string strSlashes(79, '/');
    std::string strSource = optest::LibraryHead();
    strSource +=
        "int n_B_Ping;\ndouble d_B_Ping;\nint count_B_Pong;\ndouble total_B_Pong;\nchar* "
        "tgt_B_Pong;\n";
    strSource += "\n" + strSlashes + "\n// Class wrapper functions\n" + strSlashes + "\n\n";
    strSource += optest::LibraryAccessors("int", "n_B_Ping");
    strSource += optest::LibraryAccessors("double", "d_B_Ping");
    strSource += optest::LibraryAccessors("int", "count_B_Pong");
    strSource += optest::LibraryAccessors("double", "total_B_Pong");
    strSource += optest::LibraryAccessors("char*", "tgt_B_Pong");
    strSource += "\n" + strSlashes +
                 "\n// CreateSDLCode - create an instance of the class CSDLCode\n"
                 "SDLCODE_EXPORT char* IniModel()\n{\n"
                 "\tn_B_Ping = 0;\n\td_B_Ping = 1.5;\n\tcount_B_Pong = 0;\n\ttotal_B_Pong = 0;\n"
                 "\ttgt_B_Pong = \"Ping\";\n"
                 "\treturn \"pingpong\";\n}\n\n\n" +
                 strSlashes +
                 "\n// CreateSDLCode - create an instance of the class CSDLCode\n"
                 "SDLCODE_EXPORT char* GetModelName()\n{\n\treturn \"pingpong\";\n}\n\n";
    strSource +=
        "// Allows to evaluate the decisions of the SDL model\n"
        "SDLCODE_EXPORT int GetModelDecision(char* ID)\n{\n"
        "\tif (strcmp(ID,\"1_2_0_play_9\") == 0)\n\t{\n\t\tif(n_B_Ping < 3)\n\t\t\treturn "
        "10;\n\t\telse\n\t\t\treturn 12;\n\t};\n"
        "\treturn 0;\n}\n\n";
    strSource +=
        "// Allows to evaluate the tasks of the SDL model\n"
        "SDLCODE_EXPORT int GetModelTask(char* ID)\n{\n"
        "\tif (strcmp(ID,\"1_2_0_wait_5\") == 0)\n\t{\n\t\tn_B_Ping = n_B_Ping + 1;\n\t};\n"
        "\tif (strcmp(ID,\"1_2_0_idle_4\") == 0)\n\t{\n\t\ttotal_B_Pong = total_B_Pong + "
        "count_B_Pong * 0.5;\n\t};\n"
        "\treturn 0;\n}\n\n";
    return strSource;
}

// Runs the game with both traces on; checks what every run must give.
void RunPingPongAndCheck(CTestModel& model, const CPingPong& game) {
    model.Engine().m_bExecutionTrace = true;
    model.Engine().m_bRepresentationTrace = true;
    optest::BeginTestRun(model.Engine());
    const int nSteps = optest::StepUntilQuiet(model.Engine(), 50);

    EXPECT_EQ(model.Sink().m_strText, ReadFixture("pingpong.trace"));
    EXPECT_EQ(nSteps, 6);
    EXPECT_EQ(game.pPing->m_strCurrentState, "done");
    EXPECT_EQ(game.pPong->m_strCurrentState, "idle");
    EXPECT_EQ(game.pPing->GetIntVariable("n"), 3);
    EXPECT_EQ(game.pPong->GetDoubleVariable("total"), 3.0);
    EXPECT_EQ(game.pPong->GetIntVariable("count"), 3);
    EXPECT_EQ(game.pPing->m_dClock, 7.5);
    EXPECT_EQ(game.pPing->m_strError, "");
    EXPECT_EQ(game.pPong->m_strError, "");
    EXPECT_FALSE(model.Engine().m_bErrorPending);
    EXPECT_TRUE(model.Notifier().GetBoxes().empty());
    // The set states keep the value texts in step with the library.
    EXPECT_EQ(game.pPong->GetVariable("total")->m_strValue, "3.000000");
    EXPECT_EQ(game.pPing->GetVariable("n")->m_strValue, "3");
}

TEST(PingPongTest, InMemoryLibraryGivesTheGoldenTrace) {
    CTestModel model("sys", 1);
    const CPingPong game = BuildPingPong(model);
    ProgramPingPong(model.Library());
    RunPingPongAndCheck(model, game);
    EXPECT_TRUE(game.pPing->m_bStarted);
}

TEST(PingPongTest, CompiledLibraryGivesTheGoldenTrace) {
    if (!fs::exists(EC_DEFAULT_COMPILER)) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    optest::CTempFolder folder("pingpong");
    std::string strLog;
    const std::string strLibrary =
        optest::BuildCLibrary(folder.Path(), "pingpong", PingPongSource(), strLog);
    ASSERT_FALSE(strLibrary.empty()) << strLog;

    CTestModel model("sys", 1);
    const CPingPong game = BuildPingPong(model);
    auto pLibrary = std::make_unique<CDlModelLibrary>();
    ASSERT_TRUE(pLibrary->Load(strLibrary)) << pLibrary->GetLoadError();
    model.Engine().SetModelLibrary(std::move(pLibrary));
    RunPingPongAndCheck(model, game);
    std::string strName;
    EXPECT_EQ(model.Engine().GetModelLibrary()->GetModelName(strName), MC_OK);
    EXPECT_EQ(strName, "pingpong");
}

// ---- Input selection ---------------------------------------------------------------------

class InputSelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_p = m_model.AddProcess(nullptr, "P", 1);
        m_p->m_strCurrentState = "idle";
    }
    // Delivers one event to the process and runs its step.
    std::string Deliver(const std::string& strSignal) {
        m_p->m_strCurrentState = "idle";
        m_p->m_pInternalChannel->AddEvent(MakeEvent(strSignal, 1.0));
        return m_p->Step();
    }

    CTestModel m_model;
    CSDLProcess* m_p = nullptr;
};

TEST_F(InputSelectionTest, ExactNameBeatsAStarStandingBeforeIt) {
    CChain idle(m_p, "idle");
    idle.Input(1, "A");
    idle.SetState(2, "ranA");
    idle.Input(3, "*");
    idle.SetState(4, "ranStar");
    idle.Input(5, "B");
    idle.SetState(6, "ranB");
    EXPECT_EQ(Deliver("B"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "ranB");
    EXPECT_EQ(Deliver("A"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "ranA");
    EXPECT_EQ(Deliver("C"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "ranStar");
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(InputSelectionTest, TheLastStarWins) {
    CChain idle(m_p, "idle");
    idle.Input(1, "*");
    idle.SetState(2, "first");
    idle.Input(3, "A");
    idle.SetState(4, "ranA");
    idle.Input(5, "*");
    idle.SetState(6, "second");
    EXPECT_EQ(Deliver("X"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "second");
}

TEST_F(InputSelectionTest, NamesAreCaseSensitive) {
    CChain idle(m_p, "idle");
    idle.Input(1, "A");
    idle.SetState(2, "ranA");
    const std::string strError = Deliver("a");
    EXPECT_EQ(strError,
              "Error on process P for a event on time 1.000000. Event a has no INPUT on P "
              "process on state idle");
    EXPECT_EQ(m_p->m_strError, strError);
    EXPECT_EQ(m_p->m_strCurrentState, "idle");
    EXPECT_EQ(m_p->m_pCurrentEvent, nullptr);
    // The event was dropped, not kept for later.
    EXPECT_TRUE(m_p->m_pInternalChannel->IsEmpty());

    idle.Input(3, "*");
    idle.SetState(4, "ranStar");
    EXPECT_EQ(Deliver("a"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "ranStar");
}

TEST_F(InputSelectionTest, AnOutputNamedLikeTheEventIsNotAMatch) {
    CChain idle(m_p, "idle");
    idle.Input(1, "X");
    CSDLOperationOutput* pOutput = idle.Output(2, "B");
    pOutput->m_strSelf = "yes";
    idle.SetState(3, "ranX");
    idle.Input(4, "*");
    idle.SetState(5, "ranStar");
    EXPECT_EQ(Deliver("B"), "");
    EXPECT_EQ(m_p->m_strCurrentState, "ranStar");
    // The output was walked past, not run.
    EXPECT_TRUE(m_p->m_pInternalChannel->IsEmpty());
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(InputSelectionTest, StateWithoutOperationsOrNotStartingWithAnInput) {
    CChain idle(m_p, "idle");
    idle.Task(1, "work");
    idle.Input(2, "B");
    idle.SetState(3, "ranB");
    EXPECT_EQ(Deliver("B"),
              "Error on process P for B event on time 1.000000. Operation type is task, "
              "expected input for state idle.");
    EXPECT_EQ(m_p->m_strCurrentState, "idle");

    m_p->m_strCurrentState = "nowhere";
    m_p->m_pInternalChannel->AddEvent(MakeEvent("B", 2.0));
    EXPECT_EQ(m_p->Step(),
              "Error on process P for B event on time 2.000000. Operation not found for state "
              "nowhere");
    // No event: nothing to do and nothing reported.
    m_p->m_strError.clear();
    EXPECT_EQ(m_p->Step(), "");
    EXPECT_EQ(m_p->m_strError, "");
}

// ---- Output templates ------------------------------------------------------------------------

TEST(OutputTemplateTest, DelayAndPriorityNamingVariablesAreTheirValuesIntsWidened) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "P", 1);
    model.DeclareVariable(p, "k", "int", "3");
    model.DeclareVariable(p, "pk", "int", "4");
    model.DeclareVariable(p, "dd", "double", "0.25");
    p->m_dClock = 2.0;
    CChain chain(p, "s");
    CSDLOperationOutput* pFirst = chain.Output(1, "go");
    pFirst->m_strSelf = "yes";
    pFirst->m_pSignal->m_strDelay = "k";
    pFirst->m_pSignal->m_strPriority = "2.9";
    CSDLOperationOutput* pSecond = chain.Output(2, "go2");
    pSecond->m_strSelf = "yes";
    pSecond->m_pSignal->m_strDelay = "dd";
    pSecond->m_pSignal->m_strPriority = "pk";
    // Names without a letter are the variables they name.
    model.DeclareVariable(p, "_2", "double", "0.5");
    model.DeclareVariable(p, "__", "int", "6");
    CSDLOperationOutput* pThird = chain.Output(3, "go3");
    pThird->m_strSelf = "yes";
    pThird->m_pSignal->m_strDelay = "_2";
    pThird->m_pSignal->m_strPriority = "__";

    EXPECT_EQ(pFirst->Execute(), pSecond);
    EXPECT_EQ(pSecond->Execute(), pThird);
    EXPECT_EQ(pThird->Execute(), nullptr);
    EXPECT_EQ(p->m_strError, "");
    ASSERT_EQ(p->m_pInternalChannel->GetCount(), 3u);
    std::unique_ptr<CSDLEvent> pGo2 = p->m_pInternalChannel->RemoveHeadEvent();
    EXPECT_EQ(pGo2->m_strName, "go2");
    EXPECT_EQ(pGo2->m_dCreationTime, 2.0);
    EXPECT_EQ(pGo2->m_dExecutionTime, 2.25);
    EXPECT_EQ(pGo2->m_nPriority, 4);
    std::unique_ptr<CSDLEvent> pGo3 = p->m_pInternalChannel->RemoveHeadEvent();
    EXPECT_EQ(pGo3->m_dExecutionTime, 2.5);
    EXPECT_EQ(pGo3->m_nPriority, 6);
    std::unique_ptr<CSDLEvent> pGo = p->m_pInternalChannel->RemoveHeadEvent();
    EXPECT_EQ(pGo->m_dExecutionTime, 5.0);
    EXPECT_EQ(pGo->m_nPriority, 2);
    EXPECT_EQ(pGo->m_strCodeId, "0_0_s_1");
}

// ---- Cell lists ------------------------------------------------------------------------------

class CellListTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pMnca = m_model.AddMnca(nullptr, "M", 5, 6);
        m_pMnca->SetDimensions({3, 2});
        CSDLBlock* c = m_model.AddBlock(m_pMnca, "C", 6);
        m_p = m_model.AddProcess(c, "P", 7);
        m_p->m_vecCellStates.assign(6, "idle");
        m_p->m_vecNextCellStates.assign(6, "");
        CChain idle(m_p, "idle");
        idle.Input(1, "go");
        idle.Task(2, "mark");
        idle.SetState(3, "idle");
        m_model.Library().SetTask("1_5_6_0_idle_2", [this](CFakeModelLibrary&) {
            m_vecTaken.push_back(m_pMnca->GetCurrentCell());
            return 0;
        });
        CChain emit(m_p, "emit");
        m_pOutput = emit.Output(1, "go");
        m_pOutput->m_strSelf = "yes";
    }
    // Sends to the cells of strCells and steps the process until its queue
    // is empty; returns the cells in the order they were taken.
    std::vector<int> SendAndTake(const std::string& strCells) {
        m_vecTaken.clear();
        m_pOutput->m_pSignal->m_strCells = strCells;
        m_pOutput->Execute();
        while (!m_p->m_pInternalChannel->IsEmpty()) {
            m_p->Step();
        }
        return m_vecTaken;
    }

    CTestModel m_model{"sys", 1};
    CSDLmnca* m_pMnca = nullptr;
    CSDLProcess* m_p = nullptr;
    CSDLOperationOutput* m_pOutput = nullptr;
    std::vector<int> m_vecTaken;
};

TEST_F(CellListTest, AllCellsGivesOneCopyPerCellTakenInAscendingOrder) {
    EXPECT_EQ(SendAndTake("{ALL_CELLS}"), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(CellListTest, ListedCellsAreSortedAndDuplicatesKept) {
    EXPECT_EQ(SendAndTake("{5,2,2}"), (std::vector<int>{2, 2, 5}));
    EXPECT_EQ(SendAndTake(" { 4 , , 1.7 }"), (std::vector<int>{1, 4}));
    // Nothing without a list.
    EXPECT_EQ(SendAndTake(""), std::vector<int>{});
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_TRUE(m_model.Notifier().GetBoxes().empty());
}

TEST_F(CellListTest, CellsNamedByIntVariables) {
    m_model.DeclareVariable(m_p, "k", "int", "3");
    m_model.DeclareVariable(m_p, "_1", "int", "5");
    EXPECT_EQ(SendAndTake("{k,0}"), (std::vector<int>{0, 3}));
    EXPECT_EQ(SendAndTake("{_1,1}"), (std::vector<int>{1, 5}));
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(CellListTest, CellIdPastTheLastCellIsReportedAndSkipped) {
    CSDLEvent event;
    event.m_strName = "go";
    EXPECT_EQ(m_pOutput->SendToCells(&event, "{1,6}", m_pMnca, nullptr), 1);
    EXPECT_EQ(m_p->m_pInternalChannel->GetCount(), 1u);
    EXPECT_EQ(m_p->m_pInternalChannel->GetHeadEvent()->m_nCell, 1);
    EXPECT_EQ(m_p->m_strError,
              "Error on process M_C_P on time 0.000000. Cell 6 is outside the automaton's 6 "
              "cells; signal go not sent to it.");
    m_p->m_pInternalChannel->Clear();

    EXPECT_EQ(m_pOutput->SendToCells(&event, "{-1}", m_pMnca, nullptr), 0);
    EXPECT_TRUE(m_p->m_pInternalChannel->IsEmpty());
}

TEST_F(CellListTest, MalformedListShowsTheBoxAndGoesOn) {
    EXPECT_EQ(SendAndTake("3,1}"), (std::vector<int>{1, 3}));
    EXPECT_EQ(SendAndTake("{3,1"), std::vector<int>{});
    const std::string strBox =
        "El valor de la variable mnca_cell[] no \xC3\xA9s correcte, ha d'estar entre {}";
    EXPECT_EQ(BoxTexts(m_model.Notifier()), (std::vector<std::string>{strBox, strBox}));
}

TEST_F(CellListTest, CellIdsOfEventsAndSetStatesAreChecked) {
    // An event for a cell the process has no state for.
    auto pEvent = MakeEvent("go", 1.0);
    pEvent->m_nCell = 6;
    m_p->m_pInternalChannel->AddEvent(std::move(pEvent));
    EXPECT_EQ(m_p->Step(),
              "Error on process M_C_P for go event on time 1.000000. Cell 6 is outside the "
              "automaton's 6 cells.");
    EXPECT_TRUE(m_vecTaken.empty());

    // A set state for such a cell changes nothing.
    CChain chain(m_p, "odd");
    CSDLOperationSetState* pSetState = chain.SetState(1, "busy");
    m_p->m_pCurrentEvent = MakeEvent("go", 1.0);
    m_p->m_pCurrentEvent->m_nCell = 9;
    m_p->m_strError.clear();
    EXPECT_EQ(pSetState->Execute(), nullptr);
    EXPECT_EQ(m_p->m_strError,
              "Error on process M_C_P for go event on time 1.000000. Cell 9 is outside the "
              "automaton's 6 cells.");
    EXPECT_EQ(m_p->m_vecCellStates, std::vector<std::string>(6, "idle"));

    // A negative cell: the event has no cell at all.
    m_p->m_strError.clear();
    m_p->m_pInternalChannel->AddEvent(MakeEvent("go", 2.0));
    EXPECT_EQ(m_p->Step(),
              "Error on process M_C_P for go event on time 2.000000. Forgot "
              "[mn_ca.sentto{cells}]");
    EXPECT_TRUE(m_vecTaken.empty());
}

// ---- Tasks, debug messages and faults ----------------------------------------------------------

TEST(TaskTest, DebugMessagesThenThePrintPair) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "P", 1);
    model.DeclareVariable(p, "x", "int", "3");
    model.DeclareVariable(p, "y", "double", "2.5");
    model.DeclareVariable(p, "s", "char*", "hi");
    CChain chain(p, "s");
    CSDLOperationTask* pQuiet = chain.Task(1);
    CSDLOperationTask* pTask = chain.Task(2);
    pTask->m_mapDebugMessages["x"] = "x is";
    pTask->m_mapDebugMessages["s"] = "s is";
    pTask->m_mapDebugMessages["zz"] = "zz is";
    pTask->m_strPrintVariable = "y";
    pTask->m_strPrintMessage = "y is";

    EXPECT_EQ(pQuiet->Execute(), pTask);
    EXPECT_TRUE(model.Notifier().GetBoxes().empty());
    EXPECT_EQ(pTask->Execute(), nullptr);
    EXPECT_EQ(BoxTexts(model.Notifier()),
              (std::vector<std::string>{"<msg message=\"s is\" value=\"hi\"></msg>",
                                        "<msg message=\"x is\" value=\"3\"></msg>",
                                        "<msgerror variable=\"y\"></msgerror>",
                                        "<msg message=\"y is\" value=\"2.500000\"></msg>"}));
    EXPECT_EQ(model.Library().m_vecCalls,
              (std::vector<std::string>{"Task 0_0_s_1", "Task 0_0_s_2"}));
}

TEST(TaskTest, CloneOfATaskKeepsItsMessagesCloneOfASetStateHasNone) {
    CTestModel model("sys", 1);
    CSDLBlock* b = model.AddBlock(nullptr, "B", 2);
    CSDLProcess* p = model.AddProcess(b, "P", 3);
    CSDLProcess* pInstance = model.AddProcess(b, "P", 3, 2);
    CChain chain(p, "s");
    CSDLOperationTask* pTask = chain.Task(1, "t");
    pTask->m_mapDebugMessages["x"] = "x is";
    pTask->m_strPrintVariable = "y";
    pTask->m_strPrintMessage = "y is";
    CSDLOperationSetState* pSetState = chain.SetState(2, "next");
    pSetState->m_mapDebugMessages["x"] = "x is";
    pSetState->m_strPrintVariable = "y";

    CSDLOperation* pClone = pTask->Clone(pInstance, nullptr);
    ASSERT_NE(pClone, nullptr);
    EXPECT_EQ(pClone->m_strType, "task");
    EXPECT_EQ(pClone->m_pOwner, pInstance);
    EXPECT_EQ(pClone->m_mapDebugMessages.size(), 1u);
    EXPECT_EQ(pClone->m_strPrintVariable, "y");
    EXPECT_EQ(pClone->m_strPrintMessage, "y is");
    EXPECT_EQ(pClone->GetCodeID(), "1_2_2_s_1");
    EXPECT_EQ(pClone->GetLibraryKey(), "1_2_0_s_1");
    EXPECT_EQ(model.Engine().m_mapOperations["1_2_2_s_1"], pClone);

    CSDLOperation* pStateClone = pClone->m_pNext;
    ASSERT_NE(pStateClone, nullptr);
    EXPECT_EQ(pStateClone->m_strType, "setstate");
    EXPECT_EQ(static_cast<CSDLOperationSetState*>(pStateClone)->m_strState, "next");
    EXPECT_TRUE(pStateClone->m_mapDebugMessages.empty());
    EXPECT_EQ(pStateClone->m_strPrintVariable, "");
    EXPECT_EQ(pStateClone->m_pNext, nullptr);
    EXPECT_EQ(model.Engine().m_mapOperations["1_2_2_s_2"], pStateClone);
}

TEST(TaskTest, SetTimerAndStartPassThrough) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "P", 1);
    CChain start(p, "start");
    CSDLOperationStart* pStart = start.Start(1);
    CSDLOperationSetTimer* pTimer = start.SetTimer(2);
    CSDLOperationSetState* pSetState = start.SetState(3, "idle");
    EXPECT_EQ(pStart->Execute(), pTimer);
    EXPECT_TRUE(p->m_bStarted);
    EXPECT_EQ(pTimer->Execute(), pSetState);
    EXPECT_TRUE(p->m_pInternalChannel->IsEmpty());
    bool bFound = true;
    model.Engine().GetNextEventTime(&bFound);
    EXPECT_FALSE(bFound);
}

// The C text of a library whose first task divides by zero.
std::string FaultSource() {
    std::string strSource = optest::LibraryHead();
    strSource += "int n_P;\n\n";
    strSource += optest::LibraryAccessors("int", "n_P");
    strSource +=
        "SDLCODE_EXPORT char* IniModel()\n{\n\tn_P = 0;\n\treturn \"fault\";\n}\n\n"
        "SDLCODE_EXPORT char* GetModelName()\n{\n\treturn \"fault\";\n}\n\n"
        "SDLCODE_EXPORT int GetModelDecision(char* ID)\n{\n\treturn 0;\n}\n\n"
        "SDLCODE_EXPORT int GetModelTask(char* ID)\n{\n"
        "\tif (strcmp(ID,\"0_0_s_2\") == 0)\n\t{\n\t\tvolatile int zero = 0; n_P = 7 / "
        "zero;\n\t};\n"
        "\tif (strcmp(ID,\"0_0_s_3\") == 0)\n\t{\n\t\tn_P = n_P + 42;\n\t};\n"
        "\treturn 0;\n}\n\n";
    return strSource;
}

TEST(TaskFaultTest, DivisionByZeroShowsTheErrorBoxAndTheChainGoesOn) {
    if (!fs::exists(EC_DEFAULT_COMPILER)) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    optest::CTempFolder folder("fault");
    std::string strLog;
    const std::string strLibrary =
        optest::BuildCLibrary(folder.Path(), "fault", FaultSource(), strLog);
    ASSERT_FALSE(strLibrary.empty()) << strLog;

    CTestModel model("sys", 0);
    CRecordingNotifier notifier;
    model.Engine().SetNotifier(&notifier);
    CSDLProcess* p = model.AddProcess(nullptr, "P", 1);
    p->m_mapVariables["n"] = std::make_unique<CSDLParameter>("int", "n", "0", "no");
    auto pLibrary = std::make_unique<CDlModelLibrary>();
    ASSERT_TRUE(pLibrary->Load(strLibrary)) << pLibrary->GetLoadError();
    model.Engine().SetModelLibrary(std::move(pLibrary));
    p->m_strCurrentState = "s";
    CChain chain(p, "s");
    chain.Input(1, "go");
    CSDLOperationTask* pBoom = chain.Task(2, "boom");
    pBoom->m_strPrintVariable = "n";
    pBoom->m_strPrintMessage = "n is";
    pBoom->m_mapDebugMessages["n"] = "n again";
    chain.Task(3, "after");
    chain.SetState(4, "s");

    for (int nRound = 1; nRound <= 2; ++nRound) {
        p->m_pInternalChannel->AddEvent(MakeEvent("go", nRound));
        EXPECT_EQ(p->Step(), "");
        // The faulting task shows the one error box and none of its messages.
        EXPECT_EQ(BoxTexts(notifier),
                  std::vector<std::string>(static_cast<size_t>(nRound),
                                           "<msgerror variable=\"n\"></msgerror>"));
        // The next task ran, and the set state after it.
        EXPECT_EQ(p->GetIntVariable("n"), 42 * nRound);
        EXPECT_EQ(p->GetVariable("n")->m_strValue, IntToString(42 * nRound));
    }
    EXPECT_EQ(p->m_strError, "");
    model.Engine().SetNotifier(nullptr);
}

// ---- Code IDs, searches and decisions
// ------------------------------------------------------------

class DecisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSDLBlock* b = m_model.AddBlock(nullptr, "B", 2);
        m_p = m_model.AddProcess(b, "P", 9);
    }
    CTestModel m_model{"sys", 1};
    CSDLProcess* m_p = nullptr;
};

TEST_F(DecisionTest, CodeIdsOfStatesProceduresAndInstances) {
    CChain state(m_p, "Idle");
    state.Input(1, "go");
    CSDLOperationTask* pInState = state.Task(3);
    CSDLProcedure* pProcedure = optest::AddProcedure(m_p, "proc", 7);
    CChain body(m_p, "Idle", pProcedure);
    CSDLOperationTask* pInBody = body.Task(3);
    EXPECT_EQ(pInState->GetCodeID(), "1_2_0_Idle_3");
    EXPECT_EQ(pInBody->GetCodeID(), "1_2_0_7_Idle_3");

    m_p->m_nInstanceIndex = 2;
    EXPECT_EQ(pInState->GetCodeID(), "1_2_2_Idle_3");
    EXPECT_EQ(pInBody->GetCodeID(), "1_2_2_7_Idle_3");
    // The process's own id is not part of it; the ancestors' are.
    m_p->m_nId = 55;
    EXPECT_EQ(pInState->GetCodeID(), "1_2_2_Idle_3");
}

TEST_F(DecisionTest, CachesItsKeyAndFindsTheBranchAnywhereInTheList) {
    CChain state(m_p, "s");
    state.Input(1, "go");
    CSDLOperationSetState* pEarly = state.SetState(2, "early");
    CSDLOperationDecision* pDecision = state.Decision(5, 2, 6);
    CSDLOperationSetState* pLate = state.SetState(6, "late");
    int nAnswer = 6;
    m_model.Library().SetDecision("1_2_0_s_5", [&](CFakeModelLibrary&) { return nAnswer; });

    EXPECT_EQ(pDecision->m_strFunctionName, "");
    EXPECT_EQ(pDecision->Execute(), pLate);
    EXPECT_EQ(pDecision->m_strFunctionName, "1_2_0_s_5");
    nAnswer = 2;
    // The key stays what the first execution computed.
    m_p->m_nInstanceIndex = 4;
    EXPECT_EQ(pDecision->Execute(), pEarly);
    EXPECT_EQ(m_model.Library().m_vecCalls,
              (std::vector<std::string>{"Decision 1_2_0_s_5", "Decision 1_2_0_s_5"}));
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(DecisionTest, CloneAsksUnderTheTemplatesKeyAndBranchesInItsOwnList) {
    CChain state(m_p, "s");
    state.Input(1, "go");
    state.Decision(5, 6, 6);
    state.SetState(6, "late");
    m_model.Library().SetDecision("1_2_0_s_5", [](CFakeModelLibrary&) { return 6; });
    CSDLProcess* pInstance = m_model.AddProcess(m_p->m_pParent, "P", 9, 1);
    CSDLOperation* pCloneInput = m_p->GetStateOperation("s")->Clone(pInstance, nullptr);
    pInstance->m_mapStates["s"] = pCloneInput;
    auto* pCloneDecision = dynamic_cast<CSDLOperationDecision*>(pCloneInput->m_pNext);
    ASSERT_NE(pCloneDecision, nullptr);
    EXPECT_EQ(pCloneDecision->m_strFunctionName, "1_2_0_s_5");
    CSDLOperation* pTarget = pCloneDecision->Execute();
    EXPECT_EQ(pTarget, pCloneDecision->m_pNext);
    EXPECT_EQ(pTarget->m_pOwner, pInstance);
    EXPECT_EQ(m_model.Library().m_vecCalls, (std::vector<std::string>{"Decision 1_2_0_s_5"}));
}

TEST_F(DecisionTest, UnknownKeyAnswersZeroAndAnOperationZeroIsTaken) {
    CChain state(m_p, "s");
    CSDLOperationInput* pZero = state.Input(0, "go");
    CSDLOperationDecision* pDecision = state.Decision(5, 6, 6);
    EXPECT_EQ(pDecision->Execute(), pZero);
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(DecisionTest, MissingBranchIsReportedAndEndsTheTransition) {
    CChain state(m_p, "s");
    state.Input(1, "go");
    CSDLOperationDecision* pDecision = state.Decision(5, 99, 99);
    state.SetState(6, "late");
    m_model.Library().SetDecision("1_2_0_s_5", [](CFakeModelLibrary&) { return 99; });
    EXPECT_EQ(pDecision->Execute(), nullptr);
    EXPECT_EQ(m_p->m_strError,
              "Error on process B_P on time 0.000000. Looking for operation 99 fails.");
}

TEST_F(DecisionTest, RedirectToItselfIsReportedOnTheRootAndEndsTheTransition) {
    m_p->m_strCurrentState = "s";
    CChain state(m_p, "s");
    state.Input(1, "go");
    state.Decision(5, 5, 6);
    state.Task(6, "never");
    m_model.Library().SetDecision("1_2_0_s_5", [](CFakeModelLibrary&) { return 5; });
    m_p->m_pInternalChannel->AddEvent(MakeEvent("go", 1.0));
    EXPECT_EQ(m_p->Step(), "");
    EXPECT_EQ(m_model.Root()->m_strError,
              "Error on process sys on time 0.000000. 1_2_0_s_5 redirects to itself.");
    EXPECT_TRUE(m_model.Engine().m_bErrorPending);
    EXPECT_EQ(m_model.Library().m_vecCalls, (std::vector<std::string>{"Decision 1_2_0_s_5"}));
}

TEST_F(DecisionTest, BranchesInsideAProcedureBodyAreSearchedInTheBody) {
    CSDLProcedure* pProcedure = optest::AddProcedure(m_p, "proc", 7);
    CChain body(m_p, "", pProcedure);
    CSDLOperationDecision* pDecision = body.Decision(1, 3, 2);
    body.Task(2, "no");
    CSDLOperationTask* pYes = body.Task(3, "yes");
    // A state operation with the same number is not in the body's list.
    CChain state(m_p, "");
    state.Input(4, "go");
    m_model.Library().SetDecision("1_2_0_7__1", [](CFakeModelLibrary&) { return 3; });
    EXPECT_EQ(pDecision->Execute(), pYes);
    EXPECT_EQ(pDecision->FindOperation("", 4), nullptr);
    EXPECT_EQ(m_p->m_strError,
              "Error on process B_P on time 0.000000. Looking for operation 4 fails.");
}

}  // namespace
