#include <gtest/gtest.h>

#include <string>

#include "test_helpers.h"

namespace {

using sdltest::CTestModel;
using sdltest::MakeEvent;

// ---- Names and ids ---------------------------------------------------------------------

TEST(AgentNameTest, FullNamesOfNestedBlocksAndInstances) {
    CTestModel model("sys", 0);
    CSDLBlock* b = model.AddBlock(nullptr, "b", 3, 1);
    CSDLProcess* p = model.AddProcess(b, "p", 7, 2);
    EXPECT_EQ(p->GetFullName(false), "b[1]_p");
    EXPECT_EQ(p->GetFullName(true), "b[1]_p[2]");
    EXPECT_EQ(b->GetFullName(false), "b");
    EXPECT_EQ(b->GetFullName(true), "b[1]");

    // The root's name never enters a full name; its own full name is its name.
    EXPECT_EQ(model.Root()->GetFullName(true), "sys");
    CSDLProcess* top = model.AddProcess(nullptr, "top", 1);
    EXPECT_EQ(top->GetFullName(true), "top");

    CSDLBlock* x = model.AddBlock(nullptr, "x", 4);
    CSDLBlock* y = model.AddBlock(x, "y", 5);
    CSDLProcess* z = model.AddProcess(y, "z", 6);
    EXPECT_EQ(z->GetFullName(true), "x_y_z");
}

TEST(AgentNameTest, GlobalIdsFollowTheNumericPath) {
    CTestModel model("sys", 0);
    CSDLBlock* b = model.AddBlock(nullptr, "b", 3);
    CSDLProcess* p = model.AddProcess(b, "p", 7);
    EXPECT_EQ(CSDLBlock::GetGlobalId(p), "0_3_7");
    EXPECT_EQ(CSDLBlock::GetGlobalId(b), "0_3");
    EXPECT_EQ(CSDLBlock::GetGlobalId(model.Root()), "0");
    // An instance repeats its template's numbers.
    CSDLProcess* p2 = model.AddProcess(b, "p", 7, 2);
    EXPECT_EQ(CSDLBlock::GetGlobalId(p2), "0_3_7");
}

TEST(AgentSearchTest, ByNameAndByFullName) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLBlock* inner = model.AddBlock(b, "inner", 2);
    CSDLProcess* p = model.AddProcess(inner, "p", 3);
    CSDLBlock* bi = model.AddBlock(nullptr, "b", 1, 1);

    bool bIsBlock = false;
    EXPECT_EQ(model.Root()->FindAgentByName("inner", &bIsBlock), inner);
    EXPECT_TRUE(bIsBlock);
    EXPECT_EQ(model.Root()->FindAgentByName("p", &bIsBlock), p);
    EXPECT_FALSE(bIsBlock);
    EXPECT_EQ(model.Root()->FindAgentByName("b[1]", &bIsBlock), bi);
    EXPECT_EQ(model.Root()->FindAgentByName("P", &bIsBlock), nullptr);

    EXPECT_EQ(model.Root()->FindAgentByFullName("b_inner_p", &bIsBlock), p);
    EXPECT_FALSE(bIsBlock);
    EXPECT_EQ(model.Root()->FindAgentByFullName("b_inner", &bIsBlock), inner);
    EXPECT_TRUE(bIsBlock);
    bIsBlock = true;
    EXPECT_EQ(model.Root()->FindAgentByFullName("inner_p", &bIsBlock), nullptr);
    EXPECT_FALSE(bIsBlock);
}

// ---- Automaton marks -----------------------------------------------------------------

TEST(AgentMncaTest, SetMncaFalseStillMarksAncestors) {
    CTestModel model;
    CSDLBlock* a = model.AddBlock(nullptr, "a", 1);
    CSDLBlock* m = model.AddBlock(a, "m", 2);
    m->SetMnca(false);
    EXPECT_FALSE(m->IsMnca());
    EXPECT_FALSE(m->ContainsMnca());
    EXPECT_TRUE(a->ContainsMnca());
    EXPECT_TRUE(model.Root()->ContainsMnca());
}

TEST(AgentMncaTest, NearestAutomatonAboveTheAgent) {
    CTestModel model;
    CSDLmnca* pMnca = model.AddMnca(nullptr, "grid", 1, 4);
    CSDLBlock* inner = model.AddBlock(pMnca, "inner", 2);
    CSDLProcess* p = model.AddProcess(inner, "p", 3);
    CSDLProcess* plain = model.AddProcess(nullptr, "plain", 4);
    EXPECT_TRUE(model.Root()->ContainsMnca());
    EXPECT_EQ(p->GetMncaBlock(), pMnca);
    EXPECT_EQ(inner->GetMncaBlock(), pMnca);
    EXPECT_EQ(pMnca->GetMncaBlock(), nullptr);  // the agent itself is not asked
    EXPECT_EQ(plain->GetMncaBlock(), nullptr);
}

// ---- Path search ---------------------------------------------------------------------

class PathTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_b1 = m_model.AddBlock(nullptr, "b1", 1);
        m_b2 = m_model.AddBlock(nullptr, "b2", 2);
        m_p = m_model.AddProcess(m_b1, "p", 3);
        m_q = m_model.AddProcess(m_b2, "q", 4);
        m_r = m_model.AddProcess(m_b1, "r", 5);
        m_event.m_strName = "Hello";
    }
    void ClearMarks() { m_model.Root()->SetVisited(false); }

    CTestModel m_model;
    CSDLBlock* m_b1 = nullptr;
    CSDLBlock* m_b2 = nullptr;
    CSDLProcess* m_p = nullptr;
    CSDLProcess* m_q = nullptr;
    CSDLProcess* m_r = nullptr;
    CSDLEvent m_event;
};

TEST_F(PathTest, FollowsBlocksToTheTarget) {
    auto [pFirst, pIn1] = CTestModel::Connect(m_p, m_b1, "pc", {"Hello"});
    CTestModel::Connect(m_b1, m_b2, "bb", {"Hello"});
    CTestModel::Connect(m_b2, m_q, "bq", {"Hello"});
    std::string strPath;
    EXPECT_EQ(m_p->FindPath(&m_event, m_q, strPath), pFirst);
    EXPECT_EQ(strPath, "pc bb bq");

    // The marks stay until cleared: a second search finds nothing.
    std::string strAgain;
    EXPECT_EQ(m_p->FindPath(&m_event, m_q, strAgain), nullptr);
    ClearMarks();
    EXPECT_EQ(m_p->FindPath(&m_event, m_q, strAgain), pFirst);
    EXPECT_EQ(strAgain, "pc bb bq");
}

TEST_F(PathTest, NeverPassesThroughAProcessOrAChannelWithoutTheSignal) {
    CTestModel::Connect(m_p, m_r, "pr", {"Hello"});
    CTestModel::Connect(m_r, m_q, "rq", {"Hello"});
    CTestModel::Connect(m_p, m_b1, "pc", {"Other"});
    CTestModel::Connect(m_b1, m_q, "bq", {"Hello"});
    std::string strPath;
    EXPECT_EQ(m_p->FindPath(&m_event, m_q, strPath), nullptr);
    EXPECT_TRUE(strPath.empty());
    // A process is still a valid last hop.
    ClearMarks();
    EXPECT_NE(m_p->FindPath(&m_event, m_r, strPath), nullptr);
    EXPECT_EQ(strPath, "pr");
}

TEST_F(PathTest, SetVisitedClearsTheAgentAndItsWholeSubtree) {
    m_model.Root()->SetVisited(true);
    EXPECT_TRUE(m_model.Root()->m_bVisited);
    EXPECT_TRUE(m_q->m_bVisited);
    m_model.Root()->SetVisited(false);
    for (const CSDLAgent* pAgent :
         {static_cast<const CSDLAgent*>(m_model.Root()), static_cast<const CSDLAgent*>(m_b1),
          static_cast<const CSDLAgent*>(m_b2), static_cast<const CSDLAgent*>(m_p),
          static_cast<const CSDLAgent*>(m_q), static_cast<const CSDLAgent*>(m_r)}) {
        EXPECT_FALSE(pAgent->m_bVisited) << pAgent->m_strName;
    }
}

// ---- Routing -----------------------------------------------------------------------------

TEST(AgentRouteTest, RouteTextChoosesTheChannelAndLosesItsFirstHop) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLBlock* x = model.AddBlock(nullptr, "x", 2);
    CSDLBlock* y = model.AddBlock(nullptr, "y", 3);
    CTestModel::Connect(b, y, "a0", {"Hello"});  // first in map order, not on the route
    auto [pOut1, pIn1] = CTestModel::Connect(b, x, "c1", {"Hello"});
    auto [pOut2, pIn2] = CTestModel::Connect(x, y, "c2", {"Hello"});

    auto pEvent = MakeEvent("Hello", 1.0);
    pEvent->m_strRoute = "c1 c2";
    b->m_pInternalChannel->AddEvent(std::move(pEvent));
    EXPECT_EQ(b->Step(), "");
    EXPECT_EQ(b->m_pCurrentEvent, nullptr);
    ASSERT_EQ(pIn1->GetCount(), 1u);
    EXPECT_EQ(pIn1->GetHeadEvent()->m_strRoute, "c2");
    EXPECT_EQ(pIn1->GetHeadEvent()->m_strCameThrough, "c1");
    EXPECT_TRUE(y->GetInputChannel("a0")->IsEmpty());

    EXPECT_EQ(x->Step(), "");
    ASSERT_EQ(pIn2->GetCount(), 1u);
    EXPECT_EQ(pIn2->GetHeadEvent()->m_strRoute, "");
    EXPECT_EQ(pIn2->GetHeadEvent()->m_strCameThrough, "c2");
}

TEST(AgentRouteTest, NeverSendsBackThroughTheChannelItCameThrough) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLBlock* x = model.AddBlock(nullptr, "x", 2);
    CSDLBlock* y = model.AddBlock(nullptr, "y", 3);
    auto [pC, pInC] = CTestModel::Connect(b, x, "c", {"Hello"});
    auto [pD, pInD] = CTestModel::Connect(b, y, "d", {"Hello"});

    CSDLEvent event;
    event.m_strName = "Hello";
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 0), pC);
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 1), pD);
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 2), nullptr);
    event.m_strCameThrough = "c";
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 0), pD);
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 1), nullptr);
    event.m_strName = "Other";
    EXPECT_EQ(b->FindOutChannelForSignal(&event, 0), nullptr);

    auto pEvent = MakeEvent("Hello", 1.0);
    pEvent->m_strCameThrough = "c";
    b->m_pInternalChannel->AddEvent(std::move(pEvent));
    EXPECT_EQ(b->Step(), "");
    EXPECT_TRUE(pInC->IsEmpty());
    EXPECT_EQ(pInD->GetCount(), 1u);
}

TEST(AgentRouteTest, NoChannelIsReportedAndTheEventDeleted) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLBlock* x = model.AddBlock(nullptr, "x", 2);
    auto [pC, pInC] = CTestModel::Connect(b, x, "c", {"Hello"});
    auto pEvent = MakeEvent("Hello", 1.0);
    pEvent->m_strCameThrough = "c";
    b->m_pInternalChannel->AddEvent(std::move(pEvent));
    EXPECT_EQ(b->Step(),
              "Error on process b for Hello event on time 1.000000. VELKO not found a channel to "
              "send the signal Hello on block b.");
    EXPECT_EQ(b->m_pCurrentEvent, nullptr);
    EXPECT_TRUE(b->m_pInternalChannel->IsEmpty());
    EXPECT_TRUE(pInC->IsEmpty());
    EXPECT_TRUE(b->m_bStop);
    EXPECT_TRUE(model.Engine().m_bErrorPending);

    // A route naming a channel the block does not have is no fallback to the
    // signal search.
    auto pRouted = MakeEvent("Hello", 2.0);
    pRouted->m_strRoute = "zz c";
    b->m_pInternalChannel->AddEvent(std::move(pRouted));
    EXPECT_EQ(b->Step(),
              "Error on process b for Hello event on time 2.000000. VELKO not found a channel to "
              "send the signal Hello on block b.");
    EXPECT_TRUE(pInC->IsEmpty());
}

TEST(AgentStepTest, DistributedRunStepsOnlyTheProcessesOfThisInstance) {
    CTestModel model;
    CSDLProcess* here = model.AddProcess(nullptr, "here", 1);
    CSDLProcess* there = model.AddProcess(nullptr, "there", 2);
    here->m_strIP = "10.0.0.1";
    there->m_strIP = "10.0.0.2";
    model.Engine().m_nIPMode = 1;
    model.Engine().m_strIPAddress = "10.0.0.1";
    here->m_pInternalChannel->AddEvent(MakeEvent("tick", 1.0));
    there->m_pInternalChannel->AddEvent(MakeEvent("tick", 1.0));
    model.Root()->Step();
    EXPECT_TRUE(here->m_pInternalChannel->IsEmpty());
    EXPECT_EQ(there->m_pInternalChannel->GetCount(), 1u);
}

TEST(AgentStepTest, IdleAgentStillDropsThePendingTimeOfAKeyItShares) {
    // Block b's process p and the root's process "b_p" have one pending key.
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLProcess* p = model.AddProcess(b, "p", 2);
    CSDLProcess* namesake = model.AddProcess(nullptr, "b_p", 3);
    CSDLProcess* q = model.AddProcess(nullptr, "q", 4);
    ASSERT_EQ(p->GetPendingKey(), namesake->GetPendingKey());
    model.Root()->Initialize();
    CSDLChannelIn* pIn = CTestModel::AddInput(p, "c");
    pIn->AddEvent(MakeEvent("A", 5.0));
    q->m_pInternalChannel->AddEvent(MakeEvent("B", 2.0));

    // p defers to q's earlier time and keeps 5.0 under the key; its idle
    // namesake, stepped next, drops it; q takes its event.
    model.Root()->Step();
    EXPECT_EQ(pIn->GetCount(), 1u);
    EXPECT_EQ(q->m_dClock, 2.0);
    bool bFound = true;
    EXPECT_EQ(model.Engine().GetNextEventTime(&bFound), 0.0);
    EXPECT_FALSE(bFound);

    // Nothing pending is earlier any more: p takes its event.
    model.Root()->Step();
    EXPECT_TRUE(pIn->IsEmpty());
    EXPECT_EQ(p->m_dClock, 5.0);
}

TEST(AgentStepTest, AnEventQueuedBeforeTheStartIsWorkOfEveryAgentAboveIt) {
    // The run queues a parametrization's events, then initialises the tree:
    // the process in a block stays work of the block and of the root.
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLProcess* p = model.AddProcess(b, "p", 2);
    p->m_pInternalChannel->AddEvent(MakeEvent("poke", 2.5));
    model.Root()->Initialize();
    bool bBusy = false;
    EXPECT_EQ(model.Root()->CheckAgentsWithWork(bBusy), "");
    EXPECT_TRUE(bBusy);
    EXPECT_TRUE(model.Root()->IsBusy());
    model.Root()->Step();
    EXPECT_EQ(p->m_dClock, 2.5);

    // An event queued where the agent is not told is found by the check.
    CSDLChannelIn* pHidden = CTestModel::AddInput(p, "hidden");
    pHidden->m_pOwningAgent = nullptr;
    pHidden->AddEvent(MakeEvent("poke", 3.0));
    EXPECT_EQ(model.Root()->CheckAgentsWithWork(bBusy),
              "b_p counts 0 queued events; its channels hold 1");
}

// ---- Errors -------------------------------------------------------------------------------

TEST(AgentErrorTest, ExactTexts) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1, 1);
    CSDLProcess* p = model.AddProcess(b, "p", 2, 2);
    p->m_dClock = 2.5;
    EXPECT_EQ(p->ReportError("", SDL_ERROR), "Error on process b[1]_p on time 2.500000.");
    EXPECT_EQ(p->m_strError, "Error on process b[1]_p on time 2.500000.");
    EXPECT_TRUE(p->m_bStop);
    EXPECT_TRUE(model.Engine().m_bErrorPending);

    EXPECT_EQ(p->ReportError("boom", SDL_ERROR), "Error on process b[1]_p on time 2.500000. boom");

    p->m_pCurrentEvent = MakeEvent("Hello", 2.5);
    EXPECT_EQ(p->ReportError("boom", SDL_WARNING),
              "Error on process b[1]_p for Hello event on time 2.500000. boom");
    EXPECT_EQ(p->m_strError, "Error on process b[1]_p for Hello event on time 2.500000. boom");
}

TEST(AgentErrorTest, TracedOnlyWhileInitialisedWithTheExecutionTrace) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    model.Engine().m_bExecutionTrace = true;
    p->ReportError("not yet", SDL_ERROR);
    EXPECT_EQ(model.Sink().m_strText, "");

    model.Engine().m_bInitialized = true;
    p->ReportError("a<b", SDL_INFO);
    p->ReportError("w", SDL_WARNING);
    p->ReportError("e2", 2);
    p->ReportError("e3", SDL_ERROR);
    EXPECT_EQ(model.Sink().m_strText,
              "<info>Error on process p on time 0.000000. a&lt;b</info>\n"
              "<warning>Error on process p on time 0.000000. w</warning>\n"
              "<error>Error on process p on time 0.000000. e2</error>\n"
              "<error>Error on process p on time 0.000000. e3</error>\n");

    model.Engine().m_bExecutionTrace = false;
    p->ReportError("off", SDL_ERROR);
    EXPECT_EQ(model.Sink().m_strText.find("off"), std::string::npos);
}

TEST(AgentErrorTest, ErrorReportOfTheSubtree) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    model.AddProcess(nullptr, "p", 2);
    CSDLProcess* q = model.AddProcess(nullptr, "q", 3);
    b->ReportError("E1", SDL_ERROR);
    q->ReportError("E2", SDL_ERROR);
    EXPECT_EQ(model.Root()->GetErrorReport(),
              "\nERROR: b: PID: b (Error on process b on time 0.000000. E1\n)"
              "\n"
              "\nERROR: q: PID: q (Error on process q on time 0.000000. E2\n)");

    // Initialisation clears the error text and the stop mark.
    b->Initialize();
    EXPECT_TRUE(b->m_strError.empty());
    EXPECT_FALSE(b->m_bStop);
}

// ---- Reset ----------------------------------------------------------------------------------

TEST(AgentResetTest, ResetTwiceLeavesAnEmptyModel) {
    CTestModel model;
    CSDLBlock* b = model.AddBlock(nullptr, "b", 1);
    CSDLProcess* p = model.AddProcess(b, "p", 2);
    auto [pOut, pIn] = CTestModel::Connect(b, p, "c", {"Hello"});
    CSDLChannelIn* pBlockIn = CTestModel::AddInput(b, "in");
    for (CSDLAgent* pAgent : {static_cast<CSDLAgent*>(model.Root()), static_cast<CSDLAgent*>(b),
                              static_cast<CSDLAgent*>(p)}) {
        pAgent->m_dClock = 3.0;
        pAgent->m_pCurrentEvent = MakeEvent("current", 3.0);
        pAgent->m_pInternalChannel->AddEvent(MakeEvent("self", 4.0));
    }
    pIn->AddEvent(MakeEvent("Hello", 5.0));
    pIn->m_dClock = 2.0;
    pBlockIn->AddEvent(MakeEvent("Hello", 6.0));
    pBlockIn->m_dClock = 1.0;

    for (int nRound = 0; nRound < 2; ++nRound) {
        model.Root()->Reset();
        for (CSDLAgent* pAgent : {static_cast<CSDLAgent*>(model.Root()), static_cast<CSDLAgent*>(b),
                                  static_cast<CSDLAgent*>(p)}) {
            EXPECT_EQ(pAgent->m_dClock, 0.0) << pAgent->m_strName;
            EXPECT_EQ(pAgent->m_pCurrentEvent, nullptr) << pAgent->m_strName;
            ASSERT_NE(pAgent->m_pInternalChannel, nullptr);
            EXPECT_TRUE(pAgent->m_pInternalChannel->IsEmpty()) << pAgent->m_strName;
            EXPECT_EQ(pAgent->m_pInternalChannel->m_pOwningAgent, pAgent);
        }
        EXPECT_EQ(p->m_pInternalChannel->m_pSourceProcess, p);
        EXPECT_TRUE(pIn->IsEmpty());
        EXPECT_EQ(pIn->m_dClock, 0.0);
        EXPECT_TRUE(pBlockIn->IsEmpty());
        EXPECT_EQ(pBlockIn->m_dClock, 0.0);
    }

    // The fresh internal channel still reports to the engine.
    model.Engine().ClearPendingEvents();
    p->m_pInternalChannel->AddEvent(MakeEvent("self", 7.0));
    bool bFound = false;
    EXPECT_EQ(model.Engine().GetNextEventTime(&bFound), 7.0);
    EXPECT_TRUE(bFound);
}

}  // namespace
