#include "clients/velkoeyedx/sh_dx/animations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sh_dx/scenefolder.h"

namespace {

using testing::ElementsAre;
using velkotest::CRecordingLog;
using velkotest::CRecordingMeshStore;
using velkotest::DrawOf;
using velkotest::Move;
using velkotest::Origin;

class AnimationsTest : public velkotest::ViewerTest {
protected:
    // "box.obj" is loaded before the test begins.
    void SetUp() override {
        ViewerTest::SetUp();
        m_animations.LoadMesh("box.obj");
        m_animations.Update(-1.0);
        m_animations.SetLogSink(m_pLog);
    }

    // Where the agent's only draw at dNow puts it; NaN when it is not drawn
    // once.
    CVector3 At(double dNow, const std::string& strAgent) {
        auto draw = DrawOf(m_animations.Update(dNow).vecDraws, strAgent);
        const float fNaN = std::numeric_limits<float>::quiet_NaN();
        return draw ? Origin(*draw) : CVector3(fNaN, fNaN, fNaN);
    }

    CAnimations m_animations;
    std::shared_ptr<CRecordingLog> m_pLog = std::make_shared<CRecordingLog>();
};

TEST_F(AnimationsTest, EqualTimesKeepTheirOrderAndTheWalkEndsAtTheLookAhead) {
    for (const char* pszAgent : {"a", "b", "c", "early", "gone", "staying"}) {
        m_animations.AddAgent(pszAgent, "box.obj");
    }
    m_animations.QueueEvent(Move("a", 3.0, 0));
    m_animations.QueueEvent(Move("b", 3.0, 0));
    m_animations.QueueEvent(Move("c", 3.0, 0));
    m_animations.QueueEvent(Move("early", 1.0, 0));
    m_animations.Update(3.0);
    EXPECT_THAT(m_pLog->Lines(),
                ElementsAre("first.rep.agent:early at:3.000000", "first.rep.agent:a at:3.000000",
                            "first.rep.agent:b at:3.000000", "first.rep.agent:c at:3.000000"));

    // Look-ahead 1.0 at 5.0: an event at 6.0 is examined (its unknown agent is
    // reported), one at 6.0001 is not; a removal waits until it is due.
    ASSERT_DOUBLE_EQ(m_animations.GetLookAhead(), 1.0);
    m_animations.QueueEvent(CAnimEvent::MakeRemove("gone", 5.0));
    m_animations.QueueEvent(CAnimEvent::MakeRemove("staying", 5.5));
    m_animations.QueueEvent(Move("nobody", 6.0, 0));
    m_animations.QueueEvent(Move("nobody either", 6.0001, 0));
    m_animations.QueueEvent(Move("gone", 4.0, 0));
    m_animations.QueueEvent(Move("staying", 4.0, 0));
    m_animations.Update(4.0);
    m_animations.Update(5.0);
    EXPECT_THAT(m_pLog->Lines(), testing::IsSupersetOf(
                                     {"remove.agent:gone at:5.000000", "Agent nobody not found."}));
    for (const std::string& strLine : m_pLog->Lines()) {
        EXPECT_EQ(strLine.find("staying at:5"), std::string::npos) << strLine;
        EXPECT_EQ(strLine.find("nobody either"), std::string::npos) << strLine;
    }
    EXPECT_EQ(m_animations.CountVisibleAgents(), 5);
}

TEST_F(AnimationsTest, PosesGlideWithinOneMeshAndJumpBetweenMeshes) {
    CRecordingMeshStore meshes;
    m_animations.AddAgent("a", "a.obj");
    m_animations.QueueEvent(Move("a", 2.0, 0));
    m_animations.QueueEvent(Move("a", 4.0, 10));
    // An empty mesh keeps the agent's mesh and still glides.
    m_animations.QueueEvent(Move("a", 6.0, 20, 0, ""));
    m_animations.AddAgent("b", "b.obj");
    m_animations.QueueEvent(Move("b", 2.0, 0, 0, "b.obj"));
    m_animations.QueueEvent(Move("b", 4.0, 10, 0, "other.obj"));
    m_animations.Rewind();

    // Invisible before its first pose; the first frame that needs a mesh
    // registers it and the next one loads and draws it.
    EXPECT_TRUE(m_animations.Update(1.9, &meshes).vecDraws.empty());
    EXPECT_TRUE(m_animations.Update(2.0, &meshes).vecDraws.empty());
    const CAnimationFrame frame = m_animations.Update(2.0, &meshes);
    EXPECT_THAT(meshes.TakeCalls(), ElementsAre("load a.obj", "load b.obj"));
    ASSERT_EQ(frame.vecDraws.size(), 2u);
    EXPECT_EQ(frame.vecDraws[0].strMesh, "a.obj");

    m_animations.Update(2.5, &meshes);
    const CAnimationFrame halfway = m_animations.Update(3.0, &meshes);
    ASSERT_TRUE(DrawOf(halfway.vecDraws, "a"));
    EXPECT_FLOAT_EQ(Origin(*DrawOf(halfway.vecDraws, "a")).x, 5.0f);
    ASSERT_TRUE(DrawOf(halfway.vecDraws, "b"));
    EXPECT_FLOAT_EQ(Origin(*DrawOf(halfway.vecDraws, "b")).x, 0.0f);
    EXPECT_FLOAT_EQ(At(5.0, "a").x, 15.0f);
    EXPECT_FLOAT_EQ(At(7.0, "a").x, 20.0f);
    const auto bLater = DrawOf(m_animations.Update(7.0).vecDraws, "b");
    ASSERT_TRUE(bLater);
    EXPECT_EQ(bLater->strMesh, "other.obj");
}

TEST_F(AnimationsTest, WorldMatrixRotatesThenTranslatesThenScales) {
    const float fQuarter = static_cast<float>(std::acos(0.0));
    const CMatrix w = CAnimations::WorldMatrix({1, 2, 3}, {0, 0, fQuarter}, 2.0);
    // (1, 0, 0) turns a quarter about z to (0, 1, 0), moves to (1, 3, 3) and
    // is scaled with its position to (2, 6, 6).
    const CVector3 v = TransformCoord({1, 0, 0}, w);
    EXPECT_NEAR(v.x, 2.0f, 1e-5f);
    EXPECT_NEAR(v.y, 6.0f, 1e-5f);
    EXPECT_NEAR(v.z, 6.0f, 1e-5f);
}

TEST_F(AnimationsTest, RewindReplaysTheSameFramesAndEmptiesReportsAndLog) {
    m_animations.AddAgent("a", "box.obj");
    m_animations.AddAgent("grid", "terrain.img");
    m_animations.QueueEvent(Move("a", 0.0, 0));
    m_animations.QueueEvent(Move("a", 3.0, 30));
    m_animations.QueueEvent(CAnimEvent::MakeRemove("a", 6.0));
    m_animations.QueueEvent(Move("a", 7.0, 70));
    m_animations.QueueEvent(CAnimEvent::MakeCellState("grid", 2.0, 17, "ice.jpg"));
    m_animations.QueueEvent(CAnimEvent::MakeReport("a", 1.0, "n", "int", "1", 4));
    m_animations.QueueEvent(CAnimEvent::MakeReport("a", 2.0, "n", "int", "2", 4));
    m_animations.QueueEvent(CAnimEvent::MakeReport("a", 2.0, "n", "int", "7", 5));
    m_animations.QueueEvent(Move("ghost", 4.0, 0));
    m_animations.Rewind();

    auto Play = [this] {
        std::vector<CAnimationFrame> vecFrames;
        for (double t = 0.0; t <= 8.0; t += 0.5) {
            vecFrames.push_back(m_animations.Update(t));
        }
        return vecFrames;
    };
    const std::vector<CAnimationFrame> vecFirst = Play();
    EXPECT_THAT(vecFirst[4].vecCellTextures, ElementsAre(CCellTexture{17, "ice.jpg"}));
    EXPECT_FLOAT_EQ(Origin(*DrawOf(vecFirst[3].vecDraws, "a")).x, 15.0f);
    // Removed at 6.0: its pose at 7.0 does not show it again.
    EXPECT_TRUE(vecFirst[14].vecDraws.empty());
    EXPECT_THAT(m_animations.GetReports("a"), ElementsAre(CAgent::report{4, "n", "int", "2"},
                                                          CAgent::report{5, "n", "int", "7"}));
    EXPECT_THAT(m_pLog->Lines(), testing::Contains("Agent ghost not found."));

    m_animations.Rewind();
    EXPECT_TRUE(m_pLog->Lines().empty());
    EXPECT_EQ(m_pLog->Clears(), 2);
    EXPECT_EQ(m_animations.CountVisibleAgents(), 0);
    EXPECT_TRUE(m_animations.GetReports("a").empty());

    const std::vector<CAnimationFrame> vecSecond = Play();
    ASSERT_EQ(vecSecond.size(), vecFirst.size());
    for (size_t i = 0; i < vecFirst.size(); ++i) {
        EXPECT_EQ(vecSecond[i].vecDraws, vecFirst[i].vecDraws) << "frame " << i;
        EXPECT_EQ(vecSecond[i].vecCellTextures, vecFirst[i].vecCellTextures) << "frame " << i;
    }
    // Applied reports left the model; the unknown agent is reported again.
    EXPECT_TRUE(m_animations.GetReports("a").empty());
    EXPECT_THAT(m_pLog->Lines(), testing::Contains("Agent ghost not found."));
}

TEST_F(AnimationsTest, StopCutsAMoveAndResumeFinishesIt) {
    // Named as a model's AnimTo names agents by number.
    for (const char* pszAgent : {"a", "3.000000"}) {
        m_animations.AddAgent(pszAgent, "box.obj");
        m_animations.QueueEvent(Move(pszAgent, 0.0, 0));
        m_animations.QueueEvent(Move(pszAgent, 10.0, 10));
        m_animations.StopAt(pszAgent, 4.0);
        m_animations.ResumeAt(pszAgent, 7.0);
    }
    m_animations.StopAt("4.000000", 4.0);
    m_animations.ResumeAt("4.000000", 7.0);
    EXPECT_THAT(m_pLog->Lines(),
                ElementsAre("Agent 4.000000 not found.", "Agent 4.000000 not found."));
    m_animations.Rewind();

    // To x = 4 by 4.0, held there until 7.0, then the remaining 6.0 to x = 10.
    const std::vector<std::pair<double, float>> vecExpected = {
        {2.0, 2.0f}, {4.0, 4.0f}, {5.5, 4.0f}, {10.0, 7.0f}, {13.0, 10.0f}, {20.0, 10.0f}};
    for (const auto& [dTime, fX] : vecExpected) {
        const CDrawList vecDraws = m_animations.Update(dTime).vecDraws;
        for (const char* pszAgent : {"a", "3.000000"}) {
            ASSERT_TRUE(DrawOf(vecDraws, pszAgent)) << pszAgent << " at " << dTime;
            EXPECT_FLOAT_EQ(Origin(*DrawOf(vecDraws, pszAgent)).x, fX)
                << pszAgent << " at " << dTime;
        }
    }
}

TEST_F(AnimationsTest, MoveAtASpeedArrivesAfterDistanceOverSpeed) {
    m_animations.AddAgent("a", "box.obj");
    m_animations.QueueEvent(Move("a", 1.0, 0));
    m_animations.AnimToAtSpeed("a", 2.0, {3, 4, 0}, {}, "", 1.0);
    // No speed, or no position to leave from: nothing is queued.
    m_animations.AnimToAtSpeed("a", 0.0, {100, 0, 0}, {}, "", 1.0);
    m_animations.AddAgent("new", "box.obj");
    m_animations.AnimToAtSpeed("new", 1.0, {100, 0, 0}, {}, "", 1.0);
    EXPECT_THAT(m_pLog->Lines(),
                ElementsAre("Move of agent a ignored: its speed 0.000000 is not positive.",
                            "Move of agent new ignored: it has no position to leave from."));
    m_animations.Rewind();

    m_animations.Update(1.0);
    EXPECT_EQ(At(2.25, "a"), CVector3(1.5f, 2.0f, 0.0f));
    EXPECT_EQ(At(3.5, "a"), CVector3(3.0f, 4.0f, 0.0f));

    // With nothing pending (as in a live run) the move leaves from the current
    // pose, and glides from the start although it is longer than the
    // look-ahead the last rewind found.
    m_animations.AnimToAtSpeed("a", 1.0, {3, 14, 0}, {}, "", 1.0);
    EXPECT_EQ(At(8.5, "a"), CVector3(3.0f, 9.0f, 0.0f));
    EXPECT_EQ(At(13.5, "a"), CVector3(3.0f, 14.0f, 0.0f));
}

TEST_F(AnimationsTest, OnlyMeshAndTextureFilesAreRegistered) {
    m_animations.LoadMesh("box.OBJ");
    m_animations.LoadMesh("ice.jpg");
    m_animations.LoadMesh("");
    EXPECT_THAT(BoxTexts(), ElementsAre("The mesh must be obj, jpg, png or dds type (box.OBJ)"));
}

// A history of 10^5 applied events and 10^4 pending later ones: each
// re-queued event would walk past every later one in a plain list.
TEST_F(AnimationsTest, RewindOfALongHistoryIsNotQuadratic) {
    constexpr int kEvents = 100000;
    constexpr int kLater = 10000;
    m_animations.SetLogSink(nullptr);
    for (int i = 0; i < 100; ++i) {
        m_animations.AddAgent("agent" + std::to_string(i), "box.obj");
    }
    for (int i = 0; i < kEvents + kLater; ++i) {
        m_animations.QueueEvent(Move("agent" + std::to_string(i % 100), i / 100, 0));
    }
    m_animations.Update(kEvents / 100 - 0.5);
    const auto start = std::chrono::steady_clock::now();
    m_animations.Rewind();
    // Five seconds as long as they take on this machine now, as do the steps;
    // a quadratic rewind would take billions of them.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              velkotest::ScaledWait(std::chrono::seconds(5)));
    EXPECT_EQ(m_animations.CountVisibleAgents(), 0);
    EXPECT_EQ(m_animations.Update(kEvents).vecDraws.size(), 100u);
}

// The readers' feeder queues, the render thread runs frames and the dialog
// rewinds, all at once; afterwards a replay shows every event exactly once.
TEST(AnimationsThreadedTest, FeederFramesAndRewindsShareTheModel) {
    constexpr int kAgents = 8;
    constexpr int kMoves = 150;
    CAnimations animations;
    // Loaded by the first frame, whichever thread runs it.
    animations.LoadMesh("box.obj");
    auto pLog = std::make_shared<CRecordingLog>();
    animations.SetLogSink(pLog);
    auto Name = [](int a) { return "agent" + std::to_string(a); };
    std::atomic<bool> bFed{false};

    std::thread feeder([&] {
        for (int m = 0; m < kMoves; ++m) {
            for (int a = 0; a < kAgents; ++a) {
                animations.AddAgent(Name(a), "box.obj");
                animations.QueueEvent(Move(Name(a), m, static_cast<float>(a)));
                // Leaves from where the move above ends, pending or applied.
                animations.AnimToAtSpeed(Name(a), 4.0, {static_cast<float>(a), 1.0f, 0.0f}, {}, "",
                                         1.0);
            }
        }
        bFed = true;
    });
    std::thread frames([&] {
        for (double t = 0.0; !bFed || t < kMoves + 1; t += 0.05) {
            animations.Update(t);
        }
    });
    while (!bFed) {
        animations.Rewind();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    feeder.join();
    frames.join();

    animations.Rewind();
    const CDrawList vecDraws = animations.Update(kMoves + 10.0).vecDraws;
    ASSERT_EQ(vecDraws.size(), static_cast<size_t>(kAgents));
    for (int a = 0; a < kAgents; ++a) {
        EXPECT_EQ(Origin(vecDraws[a]), (CVector3{static_cast<float>(a), 1.0f, 0.0f}));
    }
    // One line per event: the first pose of each agent and every later one.
    EXPECT_EQ(pLog->Lines().size(), static_cast<size_t>(kAgents * 2 * kMoves));
}

}  // namespace
