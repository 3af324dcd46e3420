#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "optest_model.h"
#include "support/fakemodellibrary.h"
#include "support/runwait.h"

namespace {

using optest::CChain;
using sdltest::CTestModel;
using sdltest::MakeEvent;

std::vector<std::string> Keys(const COwningNameMap<CSDLProcess>& map) {
    std::vector<std::string> vecKeys;
    for (const auto& [strKey, pProcess] : map) {
        vecKeys.push_back(strKey);
    }
    return vecKeys;
}

template <class Map>
std::vector<std::string> ChannelNames(const Map& map) {
    std::vector<std::string> vecNames;
    for (const auto& [strKey, pChannel] : map) {
        vecNames.push_back(strKey);
    }
    return vecNames;
}

// Block B (root sys, ids 1, 2) holds the template process P (3) and the
// creator Q (4). Q's start transition makes three instances of P; a "go"
// makes Q send "ping" through the copy of channel c that leads to the second
// instance, which answers "pong" through its copy of r.
class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_b = m_model.AddBlock(nullptr, "B", 2);
        m_p = m_model.AddProcess(m_b, "P", 3);
        m_q = m_model.AddProcess(m_b, "Q", 4);
        m_model.Engine().m_mapProcesses["B_P"] = m_p;
        m_model.Engine().m_mapProcesses["B_Q"] = m_q;
        CTestModel::Connect(m_q, m_p, "c", {"ping"});
        CTestModel::Connect(m_p, m_q, "r", {"pong"});
        optest::DeclareRecord(m_p, "x", "int", "5");
        m_model.Library().DeclareInt("x_B_P", 5);

        CChain pStart(m_p, "start");
        pStart.Start(1);
        pStart.Task(2, "init");
        pStart.SetState(3, "ready");
        CChain ready(m_p, "ready");
        ready.Input(4, "ping");
        ready.Task(5, "answer");
        ready.Output(6, "pong");
        ready.SetState(7, "ready");
        CChain work(m_p, "work");
        work.Input(11, "work");
        work.Call(12, "proc");
        work.SetState(13, "ready");
        m_pProc = optest::AddProcedure(m_p, "proc", 9);
        m_pProc->m_bBuiltIn = true;
        CChain body(m_p, "", m_pProc);
        body.Task(1, "inproc");

        CChain qStart(m_q, "start");
        qStart.Start(1);
        qStart.Create(2, "P", 3);
        qStart.Task(3, "after");
        qStart.SetState(4, "run");
        CChain run(m_q, "run");
        run.Input(5, "go");
        run.Output(6, "ping")->m_strVia = "'c[2]'";
        run.SetState(7, "run");
        run.Input(8, "pong");
        run.Task(9, "got");
        run.SetState(10, "run");
    }

    std::vector<std::string> TaskCalls() const {
        std::vector<std::string> vecTasks;
        for (const std::string& strCall : m_model.Library().m_vecCalls) {
            if (strCall.rfind("Task ", 0) == 0) {
                vecTasks.push_back(strCall.substr(5));
            }
        }
        return vecTasks;
    }
    CSDLProcess* Instance(int nIndex) const {
        return m_b->GetProcess("B_P[" + std::to_string(nIndex) + "]");
    }
    // Every agent of the block and the root: no error was reported.
    void ExpectNoErrors() {
        EXPECT_EQ(m_model.Root()->GetErrorReport().find("ERROR"), std::string::npos)
            << m_model.Root()->GetErrorReport();
        EXPECT_FALSE(m_model.Engine().m_bErrorPending);
    }

    CTestModel m_model{"sys", 1};
    CSDLBlock* m_b = nullptr;
    CSDLProcess* m_p = nullptr;
    CSDLProcess* m_q = nullptr;
    CSDLProcedure* m_pProc = nullptr;
};

TEST_F(InstanceTest, CreateWithQuantityThreeRegistersAndStartsEachInstance) {
    m_model.Engine().m_bExecutionTrace = true;
    m_model.Engine().m_bRepresentationTrace = false;
    optest::BeginTestRun(m_model.Engine());

    EXPECT_EQ(Keys(m_b->m_mapProcesses),
              (std::vector<std::string>{"B_P[1]", "B_P[2]", "B_P[3]", "P", "Q"}));
    for (int i = 1; i <= 3; ++i) {
        CSDLProcess* pInstance = Instance(i);
        ASSERT_NE(pInstance, nullptr) << i;
        EXPECT_EQ(pInstance->m_nInstanceIndex, i);
        EXPECT_EQ(pInstance->m_strName, "P");
        EXPECT_EQ(pInstance->m_pParent, m_b);
        EXPECT_EQ(pInstance->m_pEngine, &m_model.Engine());
        EXPECT_EQ(pInstance->GetFullName(false), "B_P");
        EXPECT_EQ(pInstance->m_strCurrentState, "ready");
        EXPECT_TRUE(pInstance->m_bStarted);
        // Its operations are its own, known under its own code IDs, and ask
        // the library under the template's keys.
        CSDLOperation* pInput = pInstance->GetStateOperation("ready");
        ASSERT_NE(pInput, nullptr);
        EXPECT_NE(pInput, m_p->GetStateOperation("ready"));
        EXPECT_EQ(pInput->m_pOwner, pInstance);
        EXPECT_EQ(pInput->GetCodeID(), "1_2_" + std::to_string(i) + "_ready_4");
        EXPECT_EQ(pInput->m_pNext->GetLibraryKey(), "1_2_0_ready_5");
        EXPECT_EQ(m_model.Engine().m_mapOperations[pInput->GetCodeID()], pInput);
    }
    EXPECT_EQ(m_p->m_nInstanceCount, 3);
    EXPECT_EQ(m_model.Engine().m_nCreateCount, 1);
    EXPECT_EQ(m_model.Engine().m_nCreatedAgents, 3);
    // Three start transitions ran inside the create, before Q's next task,
    // each running the template's task.
    EXPECT_EQ(TaskCalls(),
              (std::vector<std::string>{"1_2_0_start_2", "1_2_0_start_2", "1_2_0_start_2",
                                        "1_2_0_start_2", "1_2_0_start_3"}));
    const std::string strTrace = m_model.Sink().m_strText;
    const std::string strCreate =
        "<create time=\"0.000000\" process=\"B_Q\" name=\"P\" id=\"2\"> New Agent creation. "
        "</create>\n";
    ASSERT_NE(strTrace.find(strCreate), std::string::npos) << strTrace;
    // The create record follows the instances' set states and precedes Q's.
    EXPECT_EQ(strTrace.substr(strTrace.find(strCreate)),
              strCreate +
                  "<setstate time=\"0.000000\" process=\"B_Q\" name=\"run\" id=\"4\" "
                  "state=\"run\"></setstate>\n");
    ExpectNoErrors();
}

TEST_F(InstanceTest, InstanceStartsFromTheDeclaredValuesAndSharesTheDeclarations) {
    m_p->GetVariable("x")->m_strValue = "9";
    CSDLProcess instance;
    m_p->CloneInto(&instance);
    EXPECT_EQ(instance.GetVariable("x")->m_strValue, "5");
    EXPECT_NE(instance.GetVariable("x"), m_p->GetVariable("x"));
    EXPECT_EQ(instance.m_mapDeclaredVariables["x"], m_p->m_mapDeclaredVariables["x"]);
    EXPECT_EQ(instance.m_strCurrentState, "");
    EXPECT_EQ(instance.m_nInstanceIndex, 1);
    // Both reach the one library variable of the process.
    EXPECT_EQ(instance.GetVariableIdentifier("x"), "x_B_P");
    EXPECT_EQ(instance.GetIntVariable("x"), 5);
    EXPECT_EQ(instance.m_strError, "");
}

TEST_F(InstanceTest, InstanceProceduresKeepTheirBodyAndBuiltInFlag) {
    optest::BeginTestRun(m_model.Engine());
    CSDLProcess* pInstance = Instance(2);
    ASSERT_NE(pInstance, nullptr);
    CSDLProcedure* pCopy = pInstance->GetProcedure("proc");
    ASSERT_NE(pCopy, nullptr);
    EXPECT_NE(pCopy, m_pProc);
    EXPECT_TRUE(pCopy->m_bBuiltIn);
    EXPECT_TRUE(pCopy->m_bHasBody);
    EXPECT_EQ(pCopy->m_pOwner, pInstance);
    EXPECT_EQ(pCopy->GetInstanceName(), "B_P_9");
    ASSERT_NE(pCopy->m_pBody, nullptr);
    EXPECT_NE(pCopy->m_pBody, m_pProc->m_pBody);
    EXPECT_EQ(pCopy->m_pBody->m_pOwner, pInstance);
    EXPECT_EQ(pCopy->m_pBody->m_pProcedure, pCopy);
    EXPECT_EQ(pCopy->m_pBody->GetCodeID(), "1_2_2_9__1");

    // A call in the instance runs the instance's body, under the template's key.
    m_model.Library().m_vecCalls.clear();
    pInstance->m_strCurrentState = "work";
    pInstance->m_pInternalChannel->AddEvent(MakeEvent("work", 1.0));
    EXPECT_EQ(pInstance->Step(), "");
    EXPECT_EQ(TaskCalls(), std::vector<std::string>{"1_2_0_9__1"});
    EXPECT_EQ(pInstance->m_strCurrentState, "ready");
    ExpectNoErrors();
}

TEST_F(InstanceTest, InstanceReceivesThroughItsCopiedChannelAndAnswers) {
    optest::BeginTestRun(m_model.Engine());
    CSDLProcess* pSecond = Instance(2);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(ChannelNames(pSecond->m_mapInputChannels), std::vector<std::string>{"c[2]"});
    EXPECT_EQ(ChannelNames(pSecond->m_mapOutputChannels), std::vector<std::string>{"r[2]"});
    EXPECT_EQ(pSecond->GetInputChannel("c[2]")->m_pOwningAgent, pSecond);
    EXPECT_EQ(pSecond->GetOutputChannel("r[2]")->m_pSourceProcess, pSecond);
    EXPECT_EQ(pSecond->GetOutputChannel("r[2]")->m_pTargetProcess, m_q);
    EXPECT_EQ(ChannelNames(m_q->m_mapOutputChannels),
              (std::vector<std::string>{"c", "c[1]", "c[2]", "c[3]"}));
    EXPECT_EQ(m_q->GetOutputChannel("c[2]")->m_pTargetProcess, pSecond);
    EXPECT_EQ(ChannelNames(m_q->m_mapInputChannels),
              (std::vector<std::string>{"r", "r[1]", "r[2]", "r[3]"}));
    EXPECT_EQ(m_q->GetInputChannel("r[2]")->m_pSourceProcess, pSecond);

    m_model.Library().m_vecCalls.clear();
    m_q->m_pInternalChannel->AddEvent(MakeEvent("go", 1.0));
    optest::StepUntilQuiet(m_model.Engine(), 20);

    // The second instance answered with the template's task; Q got the answer.
    EXPECT_EQ(TaskCalls(), (std::vector<std::string>{"1_2_0_ready_5", "1_2_0_run_9"}));
    EXPECT_EQ(pSecond->m_dClock, 1.0);
    EXPECT_EQ(Instance(1)->m_dClock, 0.0);
    EXPECT_EQ(Instance(3)->m_dClock, 0.0);
    EXPECT_EQ(m_p->m_dClock, 0.0);
    EXPECT_EQ(m_q->GetInputChannel("r[2]")->m_dClock, 1.0);
    EXPECT_EQ(m_q->m_strCurrentState, "run");
    ExpectNoErrors();
}

TEST_F(InstanceTest, SecondRunStartsWithoutTheFirstRunsInstances) {
    optest::BeginTestRun(m_model.Engine());
    m_q->m_pInternalChannel->AddEvent(MakeEvent("go", 1.0));
    optest::StepUntilQuiet(m_model.Engine(), 20);
    optest::EndTestRun(m_model.Engine());

    EXPECT_EQ(Keys(m_b->m_mapProcesses), (std::vector<std::string>{"P", "Q"}));
    EXPECT_EQ(ChannelNames(m_q->m_mapOutputChannels), std::vector<std::string>{"c"});
    EXPECT_EQ(ChannelNames(m_q->m_mapInputChannels), std::vector<std::string>{"r"});
    EXPECT_EQ(ChannelNames(m_p->m_mapInputChannels), std::vector<std::string>{"c"});
    EXPECT_EQ(m_p->m_nInstanceCount, 0);
    EXPECT_EQ(m_model.Engine().m_nCreateCount, 0);
    EXPECT_EQ(m_model.Engine().m_nCreatedAgents, 0);
    for (const auto& [strKey, pOperation] : m_model.Engine().m_mapOperations) {
        EXPECT_TRUE(pOperation->m_pOwner == m_p || pOperation->m_pOwner == m_q) << strKey;
    }

    m_model.Library().m_vecCalls.clear();
    optest::BeginTestRun(m_model.Engine());
    EXPECT_EQ(Keys(m_b->m_mapProcesses),
              (std::vector<std::string>{"B_P[1]", "B_P[2]", "B_P[3]", "P", "Q"}));
    EXPECT_EQ(Instance(3)->m_nInstanceIndex, 3);
    EXPECT_EQ(ChannelNames(m_q->m_mapOutputChannels),
              (std::vector<std::string>{"c", "c[1]", "c[2]", "c[3]"}));
    m_q->m_pInternalChannel->AddEvent(MakeEvent("go", 1.0));
    optest::StepUntilQuiet(m_model.Engine(), 20);
    EXPECT_EQ(TaskCalls(), (std::vector<std::string>{
                               "1_2_0_start_2", "1_2_0_start_2", "1_2_0_start_2", "1_2_0_start_2",
                               "1_2_0_start_3", "1_2_0_ready_5", "1_2_0_run_9"}));
    EXPECT_EQ(Instance(2)->m_dClock, 1.0);
    ExpectNoErrors();
}

TEST_F(InstanceTest, TheEngineRunRemovesItsInstancesAtTheEnd) {
    CSDLEngine& engine = m_model.Engine();
    engine.m_bExecutionTrace = false;
    engine.m_bRepresentationTrace = false;
    engine.m_nEndMode = EM_BY_LOOPS;
    engine.m_nLoopLimit = 3;
    int nLibraries = 0;
    int nStarts = 0;
    engine.SetLibraryFactory([&nLibraries, &nStarts] {
        ++nLibraries;
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        pLibrary->DeclareInt("x_B_P", 5);
        pLibrary->SetTask("1_2_0_start_2", [&nStarts](CFakeModelLibrary&) {
            ++nStarts;
            return 0;
        });
        return pLibrary;
    });
    for (int nRun = 1; nRun <= 2; ++nRun) {
        engine.StartThread();
        engine.Run();
        ASSERT_TRUE(velkotest::WaitForRunEnd(engine)) << nRun;
        EXPECT_EQ(engine.GetLastThreadResult(), 0);
        EXPECT_EQ(nLibraries, nRun);
        // Every run started the template and made its three instances afresh.
        EXPECT_EQ(nStarts, 4 * nRun);
        EXPECT_EQ(Keys(m_b->m_mapProcesses), (std::vector<std::string>{"P", "Q"}));
        EXPECT_EQ(ChannelNames(m_q->m_mapOutputChannels), std::vector<std::string>{"c"});
        EXPECT_EQ(m_p->m_nInstanceCount, 0);
    }
}

TEST(InstanceStartTest, EachInstanceRunsItsStartTransitionOnce) {
    // The instances' keys sort after the creator's, so the block's loop over
    // its processes reaches them after the create has started them.
    CTestModel model("sys", 1);
    CSDLBlock* z = model.AddBlock(nullptr, "Z", 2);
    CSDLProcess* a = model.AddProcess(z, "A", 3);
    CSDLProcess* p = model.AddProcess(z, "P", 4);
    CChain aStart(a, "start");
    aStart.Start(1);
    aStart.Create(2, "P", 3);
    CChain pStart(p, "start");
    pStart.Start(1);
    CSDLOperationOutput* pHello = pStart.Output(2, "hello");
    pHello->m_strSelf = "yes";
    pStart.Task(3, "count");
    int nStarts = 0;
    model.Library().SetTask("1_2_0_start_3", [&](CFakeModelLibrary&) {
        ++nStarts;
        return 0;
    });

    optest::BeginTestRun(model.Engine());
    EXPECT_EQ(Keys(z->m_mapProcesses),
              (std::vector<std::string>{"A", "P", "Z_P[1]", "Z_P[2]", "Z_P[3]"}));
    EXPECT_EQ(nStarts, 4);
    for (int i = 1; i <= 3; ++i) {
        CSDLProcess* pInstance = z->GetProcess("Z_P[" + std::to_string(i) + "]");
        ASSERT_NE(pInstance, nullptr);
        EXPECT_EQ(pInstance->m_pInternalChannel->GetCount(), 1u) << pInstance->GetFullName(true);
    }
}

// Gives pMaker a state "idle" in which each "spawn" creates nQuantity
// instances of pTemplate, and pTemplate a start transition that sends itself
// "hello" half a time unit later; returns pTemplate's state "up", which
// takes the hello, for the caller to go on with.
CChain SpawnsThatGreet(CSDLProcess* pMaker, CSDLProcess* pTemplate, int nQuantity) {
    CChain makerStart(pMaker, "start");
    makerStart.Start(1);
    makerStart.SetState(2, "idle");
    CChain idle(pMaker, "idle");
    idle.Input(3, "spawn");
    idle.Create(4, pTemplate->m_strName, nQuantity);
    idle.SetState(5, "idle");
    CChain start(pTemplate, "start");
    start.Start(1);
    CSDLOperationOutput* pHello = start.Output(2, "hello");
    pHello->m_strSelf = "yes";
    pHello->m_pSignal->m_strDelay = "0.5";
    start.SetState(3, "up");
    CChain up(pTemplate, "up");
    up.Input(4, "hello");
    return up;
}

// An instance lives from the time it is made: A creates P at 1.0, and what
// the instance's start transition sends leaves at 1.0 and arrives at 1.5,
// never before its creator's time. The listener hears of the instance.
TEST(InstanceStartTest, InstanceCreatedLaterStartsAtItsCreatorsTime) {
    CTestModel model("sys", 1);
    sdltest::CRecordingListener listener;
    model.Engine().SetListener(&listener);
    model.Engine().m_bExecutionTrace = true;
    CSDLBlock* z = model.AddBlock(nullptr, "Z", 2);
    CSDLProcess* a = model.AddProcess(z, "A", 3);
    CSDLProcess* p = model.AddProcess(z, "P", 4);
    SpawnsThatGreet(a, p, 1).SetState(5, "up");

    optest::BeginTestRun(model.Engine());
    a->m_pInternalChannel->AddEvent(MakeEvent("spawn", 1.0));
    optest::StepUntilQuiet(model.Engine(), 20);

    CSDLProcess* pInstance = z->GetProcess("Z_P[1]");
    ASSERT_NE(pInstance, nullptr);
    EXPECT_EQ(pInstance->m_dClock, 1.5);
    EXPECT_EQ(p->m_dClock, 0.5);  // the template started at 0
    const std::string strTrace = model.Sink().m_strText;
    // The instance's start transition runs at 1.0 (the template's at 0.0)
    // and its hello is taken at 1.5.
    EXPECT_EQ(
        sdltest::CountOf(strTrace, "<output time=\"1.000000\" process=\"Z_P\" name=\"hello\""), 1);
    EXPECT_EQ(sdltest::CountOf(strTrace,
                               "creationtime=\"1.000000\" delay=\"0.500000\" "
                               "executiontime=\"1.500000\""),
              1);
    EXPECT_EQ(sdltest::CountOf(strTrace, "<input time=\"1.500000\" process=\"Z_P\" name=\"hello\""),
              1);
    EXPECT_EQ(sdltest::CountOf(strTrace, "<input time=\"0.500000\" process=\"Z_P\" name=\"hello\""),
              1);
    EXPECT_EQ(listener.Added(), std::vector<std::string>{"Z_P[1]"});

    optest::EndTestRun(model.Engine());
    EXPECT_EQ(listener.Removed(), std::vector<std::string>{"Z_P[1]"});
    model.Engine().SetListener(nullptr);
}

// Instances join their block's step order at their places, however many
// there are: 160 of b in block Y (processes only) and 160 of c in block Z
// (which has a sub-block first), 40 at each of four spawns. Their keys
// (Y_b[1], Y_b[10], Y_b[100], Y_b[101], ...) sort before their creator's and
// between one another, so each joins between earlier instances, as the first
// process, or after the last sub-block. Every step is first compared with a
// full sweep; each instance takes the hello its start transition sent half a
// time unit after it was made. Each c reports it through its copy of the
// channel c has with block Z, which passes the report on to the sub-block's
// process.
TEST(InstanceStartTest, ManyInstancesJoinTheStepOrderAtTheirPlaces) {
    CTestModel model("sys", 1);
    model.Engine().m_bExecutionTrace = true;
    CSDLBlock* y = model.AddBlock(nullptr, "Y", 2);
    CSDLBlock* z = model.AddBlock(nullptr, "Z", 3);
    CSDLBlock* s = model.AddBlock(z, "S", 4);
    CSDLProcess* quiet = model.AddProcess(s, "quiet", 5);
    CChain quietStart(quiet, "start");
    quietStart.Start(1);
    quietStart.SetState(2, "listening");
    CChain listening(quiet, "listening");
    listening.Input(3, "report");
    listening.SetState(4, "listening");
    CTestModel::Connect(z, s, "down", {"report"});
    CTestModel::Connect(s, quiet, "in", {"report"});
    std::vector<CSDLProcess*> vecMakers;
    for (const auto& [pBlock, pszTemplate] :
         {std::pair<CSDLBlock*, const char*>{y, "b"}, std::pair<CSDLBlock*, const char*>{z, "c"}}) {
        CSDLProcess* pMaker = model.AddProcess(pBlock, "a", 6);
        CSDLProcess* pTemplate = model.AddProcess(pBlock, pszTemplate, 7);
        CChain up = SpawnsThatGreet(pMaker, pTemplate, 40);
        if (pBlock == z) {
            up.Output(5, "report");
            CTestModel::Connect(pTemplate, z, "up", {"report"});
        }
        up.SetState(6, "up");
        vecMakers.push_back(pMaker);
    }

    optest::BeginTestRun(model.Engine());
    for (CSDLProcess* pMaker : vecMakers) {
        for (int nTime = 1; nTime <= 4; ++nTime) {
            pMaker->m_pInternalChannel->AddEvent(MakeEvent("spawn", nTime));
        }
    }
    // Z passes on one report a step: 40 steps for the reports of a spawn.
    EXPECT_LT(optest::StepUntilQuiet(model.Engine(), 1000), 1000);

    EXPECT_EQ(y->m_mapProcesses.size(), 2u + 160u);
    EXPECT_EQ(z->m_mapProcesses.size(), 2u + 160u);
    const std::string strTrace = model.Sink().m_strText;
    for (const char* pszProcess : {"Y_b", "Z_c"}) {
        SCOPED_TRACE(pszProcess);
        const std::string strHello =
            std::string("\" process=\"") + pszProcess + "\" name=\"hello\"";
        EXPECT_EQ(sdltest::CountOf(strTrace, "<input time=\"0.500000" + strHello), 1);
        for (const char* pszTime : {"1.500000", "2.500000", "3.500000", "4.500000"}) {
            EXPECT_EQ(
                sdltest::CountOf(strTrace, "<input time=\"" + std::string(pszTime) + strHello), 40)
                << pszTime;
        }
    }
    EXPECT_EQ(sdltest::CountOf(strTrace, "process=\"Z_S_quiet\" name=\"report\""), 1 + 160);
    EXPECT_EQ(model.Root()->GetErrorReport().find("ERROR"), std::string::npos)
        << model.Root()->GetErrorReport();
    optest::EndTestRun(model.Engine());
}

// Block W (5) with process K (6) is the template of a block instance made by
// Q in block X, whose name sorts after the instance's.
class BlockInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_w = m_model.AddBlock(nullptr, "W", 5);
        m_k = m_model.AddProcess(m_w, "K", 6);
        CSDLBlock* x = m_model.AddBlock(nullptr, "X", 7);
        CSDLProcess* q = m_model.AddProcess(x, "Q", 8);
        m_model.Engine().m_mapBlocks[CSDLBlock::GetGlobalId(m_w)] = m_w;
        m_model.Engine().m_mapBlocks[CSDLBlock::GetGlobalId(x)] = x;
        m_model.Engine().m_mapProcesses["W_K"] = m_k;
        m_model.Engine().m_mapProcesses["X_Q"] = q;
        m_model.DeclareVariable(m_k, "m", "int", "4");
        CChain kStart(m_k, "start");
        kStart.Start(1);
        kStart.Task(2, "bump");
        kStart.SetState(3, "on");
        m_model.Library().SetTask("1_5_0_start_2", [](CFakeModelLibrary& lib) {
            lib.m_mapInts["m_W_K"] = lib.m_mapInts["m_W_K"] + 1;
            return 0;
        });
        CChain qStart(q, "start");
        qStart.Start(1);
        qStart.Create(2, "W", 1);
    }
    // The process K of the block instance, or null.
    CSDLProcess* InstanceK() const {
        CSDLBlock* pInstance = m_model.Root()->GetBlock("W[1]");
        if (!pInstance || pInstance->m_mapProcesses.size() != 1) {
            return nullptr;
        }
        return pInstance->m_mapProcesses.begin()->second.get();
    }

    CTestModel m_model{"sys", 1};
    CSDLBlock* m_w = nullptr;
    CSDLProcess* m_k = nullptr;
};

TEST_F(BlockInstanceTest, ProcessOfABlockInstanceReachesItsTemplatesVariables) {
    optest::BeginTestRun(m_model.Engine());
    CSDLProcess* pK = InstanceK();
    ASSERT_NE(pK, nullptr);
    EXPECT_EQ(pK->GetFullName(false), "W[1]_K");
    EXPECT_EQ(pK->m_strCurrentState, "on");
    // The start task ran for the template and for the instance.
    EXPECT_EQ(m_model.Library().m_mapInts["m_W_K"], 6);
    // The library has one variable per declared variable of the model; the
    // instance's process must reach the one of its template.
    EXPECT_EQ(pK->GetIntVariable("m"), 6);
    EXPECT_EQ(pK->GetVariable("m")->m_strValue, "6");
    EXPECT_EQ(pK->m_strError, "");
}

TEST_F(BlockInstanceTest, RemovalLeavesTheEngineTablesOfTheLoadedModel) {
    optest::BeginTestRun(m_model.Engine());
    ASSERT_NE(InstanceK(), nullptr);
    EXPECT_NE(FindIn(m_model.Engine().m_mapProcesses, "W[1]_K"), nullptr);
    optest::EndTestRun(m_model.Engine());

    EXPECT_EQ(m_model.Root()->GetBlock("W[1]"), nullptr);
    EXPECT_EQ(m_model.Root()->m_mapBlocks.size(), 2u);
    EXPECT_EQ(m_w->m_nInstanceCount, 0);
    EXPECT_EQ(m_k->m_nInstanceCount, 0);
    EXPECT_EQ(m_model.Engine().m_mapProcesses.size(), 2u);
    // The template block is in the block table again under its global id.
    EXPECT_EQ(m_model.Engine().m_mapBlocks.size(), 2u);
    EXPECT_EQ(FindIn(m_model.Engine().m_mapBlocks, "1_5"), m_w);
}

}  // namespace
