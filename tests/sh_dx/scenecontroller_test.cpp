#include "clients/velkoeyedx/sh_dx/scenecontroller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sh_dx/scenefolder.h"

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using velkotest::CFakeTicks;
using velkotest::CRecordingTerrain;
using velkotest::DrawOf;
using velkotest::Move;
using velkotest::Origin;

class SceneControllerTest : public velkotest::ViewerTest {
protected:
    void SetUp() override {
        ViewerTest::SetUp();
        m_scene.SetTerrain(&m_terrain);
    }

    // A scene with agent "a" moving from x = 0 at 0.0 to x = 10 at 10.0, and
    // cell 3 turning to ice at 1.0.
    void LoadScene() {
        m_scene.Lock();
        CAnimations& animations = m_scene.GetAnimations();
        animations.AddAgent("a", "box.obj");
        animations.AddAgent("grid", "terrain.img");
        animations.QueueEvent(Move("a", 0.0, 0));
        animations.QueueEvent(Move("a", 10.0, 10));
        animations.QueueEvent(CAnimEvent::MakeCellState("grid", 1.0, 3, "ice.jpg"));
        m_scene.Unlock();
        m_scene.Frame();  // loads the mesh
        m_terrain.TakeCalls();
    }

    float XNow() {
        auto draw = DrawOf(m_scene.Frame().vecDraws, "a");
        return draw ? Origin(*draw).x : -1.0f;
    }

    CFakeTicks m_ticks;
    CRecordingTerrain m_terrain;
    CSceneController m_scene{m_ticks.Source()};
};

TEST_F(SceneControllerTest, ReplayControlsMoveTheClockAndReplayFromThere) {
    LoadScene();
    CReplayClock& clock = m_scene.GetClock();
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);

    m_scene.Play(2.0);
    EXPECT_FALSE(clock.IsStopped());
    m_ticks.Advance(1.0);
    EXPECT_FLOAT_EQ(XNow(), 3.0f);
    EXPECT_THAT(m_terrain.TakeCalls(), ElementsAre("clear cells", "cell 3=ice.jpg"));

    // Enter in the time box: back to 0.5, still running, cells reset.
    m_scene.SetTime(0.5);
    EXPECT_THAT(m_terrain.TakeCalls(), ElementsAre("clear cells"));
    EXPECT_FALSE(clock.IsStopped());
    EXPECT_FLOAT_EQ(XNow(), 0.5f);
    m_ticks.Advance(1.0);
    EXPECT_FLOAT_EQ(XNow(), 1.5f);
    EXPECT_THAT(m_terrain.TakeCalls(), ElementsAre("cell 3=ice.jpg"));

    // A speed change while running goes on from the time the box shows.
    EXPECT_TRUE(m_scene.ChangeSpeed("4x", 1.5));
    EXPECT_FALSE(clock.IsStopped());
    m_ticks.Advance(0.5);
    EXPECT_FLOAT_EQ(XNow(), 3.5f);

    // Play stops; a speed change while stopped leaves it stopped, at the box's
    // time.
    m_scene.Play(0.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_TRUE(m_scene.ChangeSpeed("2x", 6.0));
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_EQ(clock.GetSpeed(), 2);
    EXPECT_FLOAT_EQ(XNow(), 6.0f);
    EXPECT_FALSE(m_scene.ChangeSpeed("3x", 0.0));
    EXPECT_EQ(clock.GetSpeed(), 2);

    // The pause key runs on from where the clock stopped.
    m_scene.ToggleClock();
    m_ticks.Advance(1.0);
    EXPECT_FLOAT_EQ(XNow(), 8.0f);
    m_scene.ToggleClock();
    EXPECT_TRUE(clock.IsStopped());

    m_scene.Restart();
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
    EXPECT_FLOAT_EQ(XNow(), 0.0f);
}

// Holds the first mesh load, so that a frame stays in progress.
class CGatedMeshStore : public CMeshStore {
public:
    void Load(const std::string&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bInside = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_bOpen; });
    }
    void Clear() override {}
    void WaitInside() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_bInside; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bInside = false;
    bool m_bOpen = false;
};

TEST_F(SceneControllerTest, LockWaitsForTheFrameInProgressAndKeepsFramesStill) {
    CGatedMeshStore meshes;
    m_scene.SetMeshStore(&meshes);
    auto frame = std::async(std::launch::async, [this] { return m_scene.Frame(); });
    meshes.WaitInside();

    std::atomic<bool> bLocked{false};
    std::thread locker([this, &bLocked] {
        m_scene.Lock();
        bLocked = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(bLocked);
    meshes.Open();
    locker.join();
    EXPECT_TRUE(frame.get().bAnimated);
    EXPECT_THAT(m_terrain.TakeCalls(), ElementsAre("hide"));

    // While loading, frames neither advance nor draw the animation.
    m_scene.GetAnimations().AddAgent("a", "box.obj");
    m_scene.GetAnimations().QueueEvent(Move("a", -1.0, 0));
    EXPECT_FALSE(m_scene.Frame().bAnimated);
    EXPECT_EQ(m_scene.GetAnimations().CountVisibleAgents(), 0);
    m_scene.Unlock();
    m_scene.Frame();
    EXPECT_TRUE(m_scene.Frame().bAnimated);
    EXPECT_EQ(m_scene.GetAnimations().CountVisibleAgents(), 1);
    m_scene.SetMeshStore(nullptr);
}

TEST_F(SceneControllerTest, LoadStopsAndJoinsThePreviousFeeder) {
    std::atomic<int> nFinished{0};
    auto Feed = [this, &nFinished](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i) {
            m_scene.GetAnimations().QueueEvent(Move("a", i, 0));
            std::this_thread::sleep_for(1ms);
        }
        ++nFinished;
    };
    m_scene.StartFeeder(Feed);
    m_scene.StartFeeder(Feed);
    EXPECT_EQ(nFinished, 1);
    m_scene.Lock();
    EXPECT_EQ(nFinished, 2);
    m_scene.Unlock();

    // Stopped by the load, neither feeder gave the replay an end.
    EXPECT_EQ(m_scene.GetClock().GetEnd(), std::numeric_limits<double>::infinity());

    // A feeder that throws reports and ends; the next load still goes on.
    m_scene.StartFeeder([](std::stop_token) { throw std::runtime_error("link broken"); });
    m_scene.StopFeeder();
    EXPECT_THAT(LineTexts(), ElementsAre("link broken"));
}

// A feed that ends by itself (a trace read whole, a live run over) ends the
// replay with its last event: the clock playing it stops there. The next
// load takes the end away.
TEST_F(SceneControllerTest, AFeedThatEndsEndsTheReplayAtItsLastEvent) {
    m_scene.Lock();
    m_scene.GetAnimations().AddAgent("a", "box.obj");
    m_scene.StartFeeder([this](std::stop_token) {
        m_scene.GetAnimations().QueueEvent(Move("a", 0.0, 0));
        m_scene.GetAnimations().QueueEvent(Move("a", 9.0, 9));
        m_scene.GetAnimations().QueueEvent(Move("a", 4.0, 4));
    });
    m_scene.Unlock();
    ASSERT_TRUE(velkotest::WaitUntil([this] { return !m_scene.IsFeeding(); }));
    EXPECT_EQ(m_scene.GetClock().GetEnd(), 9.0);
    m_scene.Frame();  // loads the mesh
    m_scene.Play(0.0);
    m_ticks.Advance(5.0);
    EXPECT_FLOAT_EQ(XNow(), 5.0f);
    m_ticks.Advance(10.0);
    EXPECT_FLOAT_EQ(XNow(), 9.0f);
    EXPECT_TRUE(m_scene.GetClock().IsStopped());
    EXPECT_DOUBLE_EQ(m_scene.GetClock().GetTime(), 9.0);

    m_scene.LoadDemo1();
    EXPECT_EQ(m_scene.GetClock().GetEnd(), std::numeric_limits<double>::infinity());
}

}  // namespace
