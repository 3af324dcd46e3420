#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_helpers.h"

namespace {

using sdltest::CTestModel;
using sdltest::MakeEvent;

// Signal names in queue order.
std::vector<std::string> Drain(CSDLChannelIn& channel) {
    std::vector<std::string> vecNames;
    while (auto pEvent = channel.RemoveHeadEvent()) {
        vecNames.push_back(pEvent->m_strName);
    }
    return vecNames;
}

double NextTime(const CSDLEngine& engine, bool* pFound) {
    return engine.GetNextEventTime(pFound);
}

// ---- Queue order ---------------------------------------------------------------------

TEST(ChannelQueueTest, NewestOfEqualTimesComesFirst) {
    CSDLChannelIn channel("c");
    channel.AddEvent(MakeEvent("A", 2.0));
    channel.AddEvent(MakeEvent("X", 1.0));
    channel.AddEvent(MakeEvent("B", 2.0));
    channel.AddEvent(MakeEvent("Y", 3.0));
    channel.AddEvent(MakeEvent("C", 2.0));
    // A time that is not a number goes after every number.
    channel.AddEvent(MakeEvent("N", std::nan("")));
    channel.AddEvent(MakeEvent("Z", 4.0));
    EXPECT_EQ(Drain(channel), (std::vector<std::string>{"X", "C", "B", "A", "Y", "Z", "N"}));
}

TEST(ChannelQueueTest, InsertsByExecutionTime) {
    CSDLChannelIn channel("c");
    channel.AddEvent(MakeEvent("mid", 5.0));
    channel.AddEvent(MakeEvent("late", 9.0));
    channel.AddEvent(MakeEvent("early", 1.0));  // earlier than all: new head
    channel.AddEvent(MakeEvent("last", 20.0));  // later than all: tail
    channel.AddEvent(MakeEvent("between", 7.0));
    ASSERT_NE(channel.GetHeadEvent(), nullptr);
    EXPECT_EQ(channel.GetHeadEvent()->m_strName, "early");
    EXPECT_EQ(channel.GetCount(), 5u);  // peeking leaves it queued
    EXPECT_EQ(Drain(channel),
              (std::vector<std::string>{"early", "mid", "between", "late", "last"}));
    EXPECT_EQ(channel.GetHeadEvent(), nullptr);
    EXPECT_EQ(channel.RemoveHeadEvent(), nullptr);
}

TEST(ChannelQueueTest, AddEventReportsTheOwnersPendingTime) {
    CTestModel model;
    CSDLProcess* pProcess = model.AddProcess(nullptr, "p", 1);
    CSDLChannelIn* pIn = CTestModel::AddInput(pProcess, "c");
    pIn->AddEvent(MakeEvent("A", 6.0));
    pIn->AddEvent(MakeEvent("B", 4.0));
    pIn->AddEvent(MakeEvent("C", 8.0));
    bool bFound = false;
    EXPECT_EQ(NextTime(model.Engine(), &bFound), 4.0);
    EXPECT_TRUE(bFound);
    // The entry is the process's own: removing its key empties the table.
    model.Engine().UpdateNextEventTime(pProcess->GetPendingKey(), 0.0, true);
    NextTime(model.Engine(), &bFound);
    EXPECT_FALSE(bFound);
}

TEST(ChannelQueueTest, ProcessesNamedAlikeKeepSeparatePendingTimes) {
    CTestModel model;
    CSDLProcess* p1 = model.AddProcess(model.AddBlock(nullptr, "b1", 1), "p", 3);
    CSDLProcess* p2 = model.AddProcess(model.AddBlock(nullptr, "b2", 2), "p", 3);
    EXPECT_EQ(p1->GetPendingKey(), "b1_p");
    EXPECT_EQ(p2->GetPendingKey(), "b2_p");
    CTestModel::AddInput(p1, "c")->AddEvent(MakeEvent("A", 3.0));
    CTestModel::AddInput(p2, "c")->AddEvent(MakeEvent("A", 5.0));

    bool bFound = false;
    EXPECT_EQ(NextTime(model.Engine(), &bFound), 3.0);
    model.Engine().UpdateNextEventTime(p1->GetPendingKey(), 0.0, true);
    EXPECT_EQ(NextTime(model.Engine(), &bFound), 5.0);
    EXPECT_TRUE(bFound);

    // Instances of one process are told apart by their index.
    CSDLProcess* i1 = model.AddProcess(nullptr, "q", 4, 1);
    CSDLProcess* i2 = model.AddProcess(nullptr, "q", 4, 2);
    EXPECT_EQ(i1->GetPendingKey(), "q[1]");
    EXPECT_EQ(i2->GetPendingKey(), "q[2]");
}

TEST(ChannelQueueTest, CopyToCopiesNameDeliveryAndSourcesOnly) {
    CTestModel model;
    CSDLBlock* pBlock = model.AddBlock(nullptr, "b", 1);
    CSDLProcess* pProcess = model.AddProcess(pBlock, "p", 2);
    CSDLChannelIn in("c");
    in.m_bLocalDelivery = false;
    in.m_pSourceBlock = pBlock;
    in.m_pSourceProcess = pProcess;
    in.m_pOwningAgent = pBlock;
    in.m_dClock = 4.0;
    in.AddSignal("Hello");
    in.AddEvent(MakeEvent("Hello", 1.0));

    CSDLChannelIn copy;
    in.CopyTo(&copy);
    EXPECT_EQ(copy.m_strName, "c");
    EXPECT_FALSE(copy.m_bLocalDelivery);
    EXPECT_EQ(copy.m_pSourceBlock, pBlock);
    EXPECT_EQ(copy.m_pSourceProcess, pProcess);
    EXPECT_EQ(copy.m_pOwningAgent, nullptr);
    EXPECT_EQ(copy.m_dClock, 0.0);
    EXPECT_TRUE(copy.m_mapSignals.empty());
    EXPECT_TRUE(copy.IsEmpty());

    CSDLChannelOut out("d");
    out.m_pTargetBlock = pBlock;
    out.m_pTargetProcess = pProcess;
    out.m_bConnected = true;
    out.m_strHost = "10.0.0.2";
    out.m_nPort = 9000;
    out.m_bLocalDelivery = false;
    out.AddSignal("Hello");
    out.AddSignal("Bye");
    CSDLChannelOut outCopy;
    out.CopyTo(&outCopy);
    EXPECT_EQ(outCopy.m_strName, "d");
    EXPECT_EQ(outCopy.m_pTargetBlock, pBlock);
    EXPECT_EQ(outCopy.m_pTargetProcess, pProcess);
    // The copy has no connection of its own yet: its first send connects.
    EXPECT_FALSE(outCopy.m_bConnected);
    EXPECT_EQ(outCopy.m_strHost, "10.0.0.2");
    EXPECT_EQ(outCopy.m_nPort, 9000);
    EXPECT_FALSE(outCopy.m_bLocalDelivery);
    EXPECT_TRUE(outCopy.CarriesSignal("Hello"));
    EXPECT_TRUE(outCopy.CarriesSignal("Bye"));
    EXPECT_FALSE(outCopy.CarriesSignal("bye"));
}

// ---- Sending ---------------------------------------------------------------------------

TEST(ChannelSendTest, LocalDeliveryQueuesACopy) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    CSDLProcess* q = model.AddProcess(nullptr, "q", 2);
    auto [pOut, pIn] = CTestModel::Connect(p, q, "c", {"Hello"});

    auto pEvent = MakeEvent("Hello", 2.5);
    pEvent->m_mapUserParams["n"] = std::make_unique<CSDLParameter>("int", "n", "4", "yes");
    EXPECT_EQ(pOut->Send(pEvent.get()), "");
    EXPECT_EQ(pEvent->m_strCameThrough, "c");  // the caller keeps its own event

    ASSERT_EQ(pIn->GetCount(), 1u);
    const CSDLEvent* pQueued = pIn->GetHeadEvent();
    EXPECT_NE(pQueued, pEvent.get());
    EXPECT_EQ(pQueued->m_strName, "Hello");
    EXPECT_EQ(pQueued->m_strCameThrough, "c");
    EXPECT_EQ(pQueued->m_dExecutionTime, 2.5);
    ASSERT_EQ(pQueued->m_mapUserParams.size(), 1u);
    EXPECT_EQ(pQueued->m_mapUserParams.at("n")->m_strValue, "4");
    EXPECT_EQ(pQueued->m_mapUserParams.at("n")->m_strByReference, "no");

    bool bFound = false;
    EXPECT_EQ(model.Engine().GetNextEventTime(&bFound), 2.5);
    EXPECT_TRUE(bFound);
    EXPECT_FALSE(model.Engine().m_bErrorPending);
}

TEST(ChannelSendTest, TargetProcessEndWinsOverTargetBlockEnd) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    CSDLBlock* b = model.AddBlock(nullptr, "b", 2);
    CSDLProcess* q = model.AddProcess(b, "q", 3);
    auto [pOut, pIn] = CTestModel::Connect(p, q, "c", {"Hello"});
    CSDLChannelIn* pBlockIn = CTestModel::AddInput(b, "c");
    pOut->m_pTargetBlock = b;

    auto pEvent = MakeEvent("Hello", 1.0);
    EXPECT_EQ(pOut->Send(pEvent.get()), "");
    EXPECT_EQ(pIn->GetCount(), 1u);
    EXPECT_TRUE(pBlockIn->IsEmpty());

    // With the block alone as target, the block's end receives it.
    pOut->m_pTargetProcess = nullptr;
    EXPECT_EQ(pOut->Send(pEvent.get()), "");
    EXPECT_EQ(pBlockIn->GetCount(), 1u);
}

TEST(ChannelSendTest, MissingInputEndIsReportedAndTheEventDropped) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    CSDLProcess* q = model.AddProcess(nullptr, "q", 2);
    auto [pOut, pIn] = CTestModel::Connect(p, q, "c", {"Hello"});
    // The partner end exists only under another name.
    q->m_mapInputChannels["other"] = std::move(q->m_mapInputChannels["c"]);
    q->m_mapInputChannels.erase("c");

    auto pEvent = MakeEvent("Hello", 1.0);
    const std::string strText = pOut->Send(pEvent.get());
    EXPECT_EQ(strText.rfind("Error on process p on time 0.000000. ", 0), 0u) << strText;
    EXPECT_NE(strText.find("Hello"), std::string::npos) << strText;
    EXPECT_EQ(p->m_strError, strText);
    EXPECT_TRUE(model.Engine().m_bErrorPending);
    EXPECT_TRUE(p->m_bStop);
    EXPECT_TRUE(pIn->IsEmpty());
    bool bFound = true;
    model.Engine().GetNextEventTime(&bFound);
    EXPECT_FALSE(bFound);
}

TEST(ChannelSendTest, DistributedModeDeliversLocallyOnlyWhenMarkedLocal) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    CSDLProcess* q = model.AddProcess(nullptr, "q", 2);
    auto [pOut, pIn] = CTestModel::Connect(p, q, "c", {"Hello"});
    model.Engine().m_nIPMode = 1;

    auto pEvent = MakeEvent("Hello", 1.0);
    EXPECT_EQ(pOut->Send(pEvent.get()), "");
    EXPECT_EQ(pIn->GetCount(), 1u);

    // A remote end in a distributed run is not delivered here.
    pOut->m_bLocalDelivery = false;
    EXPECT_FALSE(pOut->Send(pEvent.get()).empty());
    EXPECT_EQ(pIn->GetCount(), 1u);

    // The same end in a local run is delivered locally.
    model.Engine().m_nIPMode = 0;
    EXPECT_EQ(pOut->Send(pEvent.get()), "");
    EXPECT_EQ(pIn->GetCount(), 2u);
}

// ---- Choosing the earliest channel ---------------------------------------------------

class EarliestChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_p = m_model.AddProcess(nullptr, "p", 1);
        m_pA = CTestModel::AddInput(m_p, "a");
        m_pB = CTestModel::AddInput(m_p, "b");
    }

    CTestModel m_model;
    CSDLProcess* m_p = nullptr;
    CSDLChannelIn* m_pA = nullptr;
    CSDLChannelIn* m_pB = nullptr;
};

TEST_F(EarliestChannelTest, EqualHeadsGoToTheFirstInMapOrder) {
    m_pB->AddEvent(MakeEvent("fromB", 5.0));
    m_pA->AddEvent(MakeEvent("fromA", 5.0));
    double dMin = 0.0;
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), m_pA);
    auto pEvent = m_p->GetNextEvent();
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(pEvent->m_strName, "fromA");
}

TEST_F(EarliestChannelTest, StrictlyEarlierHeadWins) {
    m_pA->AddEvent(MakeEvent("fromA", 5.0));
    m_pB->AddEvent(MakeEvent("fromB", 4.0));
    double dMin = 0.0;
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), m_pB);
}

TEST_F(EarliestChannelTest, InternalChannelOnlyWhenStrictlyEarlier) {
    m_pA->AddEvent(MakeEvent("fromA", 5.0));
    m_p->m_pInternalChannel->AddEvent(MakeEvent("self", 5.0));
    double dMin = 0.0;
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), m_pA);
    m_p->m_pInternalChannel->AddEvent(MakeEvent("self", 4.0));
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), m_p->m_pInternalChannel.get());
}

TEST_F(EarliestChannelTest, MinimumClockCountsEmptyChannels) {
    m_pA->m_dClock = 3.0;
    m_pB->m_dClock = 1.0;  // empty, yet its clock counts
    m_pA->AddEvent(MakeEvent("fromA", 5.0));
    double dMin = 99.0;
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), m_pA);
    EXPECT_EQ(dMin, 1.0);

    // Every queue empty: no channel, the clock still reported.
    m_pA->Clear();
    dMin = 99.0;
    EXPECT_EQ(m_p->GetEarliestChannel(&dMin), nullptr);
    EXPECT_EQ(dMin, 1.0);
}

TEST(EarliestChannelNoInputsTest, MinimumClockLeftAsItWas) {
    CTestModel model;
    CSDLProcess* p = model.AddProcess(nullptr, "p", 1);
    p->m_pInternalChannel->AddEvent(MakeEvent("self", 2.0));
    double dMin = 42.0;
    EXPECT_EQ(p->GetEarliestChannel(&dMin), p->m_pInternalChannel.get());
    EXPECT_EQ(dMin, 42.0);
}

// ---- Taking the next event ----------------------------------------------------------

class NextEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_p = m_model.AddProcess(nullptr, "p", 1);
        m_q = m_model.AddProcess(nullptr, "q", 2);
        m_pIn = CTestModel::AddInput(m_p, "c");
    }
    double Next(bool* pFound) { return m_model.Engine().GetNextEventTime(pFound); }

    CTestModel m_model;
    CSDLProcess* m_p = nullptr;
    CSDLProcess* m_q = nullptr;
    CSDLChannelIn* m_pIn = nullptr;
};

TEST_F(NextEventTest, DefersWhileAnotherAgentIsPendingEarlier) {
    m_pIn->AddEvent(MakeEvent("A", 5.0));
    m_model.Engine().UpdateNextEventTime(m_q->GetPendingKey(), 2.0, false);

    EXPECT_EQ(m_p->GetNextEvent(), nullptr);
    EXPECT_EQ(m_pIn->GetCount(), 1u);  // still queued
    EXPECT_EQ(m_p->m_dClock, 0.0);
    // The agent's own pending time is its head's.
    m_model.Engine().UpdateNextEventTime(m_q->GetPendingKey(), 0.0, true);
    bool bFound = false;
    EXPECT_EQ(Next(&bFound), 5.0);
    EXPECT_TRUE(bFound);
}

TEST_F(NextEventTest, TakesWhenTheChannelClockHasReachedTheHead) {
    m_pIn->AddEvent(MakeEvent("A", 5.0));
    m_pIn->m_dClock = 5.0;  // equal times never defer
    m_model.Engine().UpdateNextEventTime(m_q->GetPendingKey(), 2.0, false);
    auto pEvent = m_p->GetNextEvent();
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(pEvent->m_strName, "A");
}

TEST_F(NextEventTest, TakesWhenNothingEarlierIsPending) {
    m_pIn->AddEvent(MakeEvent("A", 5.0));
    m_model.Engine().UpdateNextEventTime(m_q->GetPendingKey(), 5.0, false);
    auto pEvent = m_p->GetNextEvent();
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(m_pIn->m_dClock, 5.0);
    EXPECT_EQ(m_p->m_dClock, 5.0);

    // An empty table knows no earlier time either.
    m_pIn->AddEvent(MakeEvent("B", 8.0));
    m_model.Engine().ClearPendingEvents();
    auto pNext = m_p->GetNextEvent();
    ASSERT_NE(pNext, nullptr);
    EXPECT_EQ(pNext->m_strName, "B");
}

TEST_F(NextEventTest, AgentWithoutInputsDefersItsInternalHead) {
    m_q->m_pInternalChannel->AddEvent(MakeEvent("self", 4.0));
    m_model.Engine().UpdateNextEventTime(m_p->GetPendingKey(), 1.0, false);
    EXPECT_EQ(m_q->GetNextEvent(), nullptr);
    EXPECT_EQ(m_q->m_pInternalChannel->GetCount(), 1u);

    m_model.Engine().UpdateNextEventTime(m_p->GetPendingKey(), 0.0, true);
    auto pEvent = m_q->GetNextEvent();
    ASSERT_NE(pEvent, nullptr);
    EXPECT_EQ(pEvent->m_strName, "self");
    EXPECT_EQ(m_q->m_dClock, 4.0);
}

TEST_F(NextEventTest, EmptyQueuesRemoveThePendingTime) {
    m_model.Engine().UpdateNextEventTime(m_p->GetPendingKey(), 3.0, false);
    EXPECT_EQ(m_p->GetNextEvent(), nullptr);
    bool bFound = true;
    EXPECT_EQ(Next(&bFound), 0.0);
    EXPECT_FALSE(bFound);
}

TEST_F(NextEventTest, AfterTakingTheEngineHoldsTheNextHeadTime) {
    m_pIn->AddEvent(MakeEvent("A", 5.0));
    m_pIn->AddEvent(MakeEvent("B", 7.0));
    m_p->m_pInternalChannel->AddEvent(MakeEvent("self", 6.0));

    auto pFirst = m_p->GetNextEvent();
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(pFirst->m_strName, "A");
    bool bFound = false;
    EXPECT_EQ(Next(&bFound), 6.0);
    EXPECT_TRUE(bFound);

    auto pSecond = m_p->GetNextEvent();
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pSecond->m_strName, "self");
    EXPECT_EQ(Next(&bFound), 7.0);

    auto pThird = m_p->GetNextEvent();
    ASSERT_NE(pThird, nullptr);
    EXPECT_EQ(pThird->m_strName, "B");
    EXPECT_EQ(m_pIn->m_dClock, 7.0);
    Next(&bFound);
    EXPECT_FALSE(bFound);
}

}  // namespace
