// Following a run live: the client against the engine's own viewer server on
// a free loopback port, and a whole run of a model of ours followed live and
// then replayed from its trace.

#include "clients/velkoeyedx/sh_dx/serverclient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clients/velkoeyedx/sh_dx/tracereader.h"
#include "sh_dx/scenefolder.h"
#include "support/fakeviewer.h"

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::StartsWith;
using velkotest::CLoopbackServer;
using velkotest::CReaderScene;
using velkotest::CYardModel;
using velkotest::DrawOf;
using velkotest::WaitUntil;

const std::string kTruck =
    "<Agent name='truck'><state name='idle'><mesh scale='1'>van.obj</mesh>"
    "<pos x='1' y='0' z='0' /></state></Agent>";

class LiveClientTest : public velkotest::ViewerTest {
protected:
    // Starts following the server; true once it is linked.
    bool Follow(CLoopbackServer& server) {
        m_client.SetServer("127.0.0.1", server.Port());
        m_client.LoadFromServer();
        return server.WaitForViewer();
    }

    CReaderScene m_view{m_files.Resolver()};
    CServerClient m_client{m_view.scene, m_view.Target()};
};

TEST_F(LiveClientTest, FollowsTheServerToTheEndOfReplication) {
    EXPECT_EQ(CServerClient::StartMessage("", ""), velkotest::ViewerStartMessage());
    EXPECT_EQ(m_client.GetHost(), "127.0.0.1");
    EXPECT_EQ(m_client.GetPort(), 8686);

    CLoopbackServer server;
    ASSERT_TRUE(Follow(server));
    server->SendModelInfo("yard", kTruck);
    server->Send(
        "\t\t<EYE_SetState xTime='1.000000' agent=\"truck\" state=\"idle\"></EYE_SetState>\n");
    server->Send("<input time=\"1.000000\" process=\"truck\" name=\"go\" id=\"4\"></input>\n");
    server->Send(
        "<EYE_AnimTo xTime='2.000000' agent='truck'><mesh scale='1'>van.obj</mesh>"
        "<pos x='3' y='0' z='0' /></EYE_AnimTo>\n");
    server->Send("<EYE_RemoveAt xTime='3.000000' agent='truck'");
    server->Send("\t\t<eye_removeat xTime='4.000000' agent='truck' />\n");
    server->SendEndReplication();
    server->Send("<EYE_Report xTime='5.000000' agent='truck' varname='v' />");
    ASSERT_TRUE(m_view.WaitForFeed());

    EXPECT_THAT(m_view.pSyslog->Lines(),
                ElementsAre("Connected to VELKO", "Disconnected to VEKLO"));
    EXPECT_THAT(
        m_view.pParsingLog->Lines(),
        ElementsAre("ModelName: yard", "The mesh van.obj cannot be found: a box stands for it.",
                    " SetState truck at:1.000000 to:idle",
                    "AnimTo truck at 2.000000 to [(van.obj) p:(3,0, 0) "
                    "r:(0.0,0.0,0.0) sc.:1]",
                    StartsWith("XML parse error"), "RemoveAt truck at:4.000000"));
    EXPECT_FALSE(m_client.IsConnected());
    auto truck = DrawOf(m_view.DrawsAt(2.0), "truck");
    ASSERT_TRUE(truck);
    EXPECT_EQ(truck->mWorld, CAnimations::WorldMatrix({3, 0, 0}, {}, 1.0));
    EXPECT_FALSE(DrawOf(m_view.DrawsAt(4.0), "truck"));
}

TEST_F(LiveClientTest, ServerLostMidRunDisconnectsOnce) {
    CLoopbackServer server;
    ASSERT_TRUE(Follow(server));
    server->SendModelInfo("yard", kTruck);
    server->Send("<EYE_RemoveAt xTime='3.000000' agent='truck' />");
    ASSERT_TRUE(WaitUntil([this] { return m_view.pParsingLog->Lines().size() == 3; }));
    server->DropLink();
    ASSERT_TRUE(m_view.WaitForFeed());
    EXPECT_THAT(m_view.pSyslog->Lines(),
                ElementsAre("Connected to VELKO", "Disconnected to VEKLO"));
    EXPECT_THAT(
        m_view.pParsingLog->Lines(),
        ElementsAre("ModelName: yard", "The mesh van.obj cannot be found: a box stands for it.",
                    "RemoveAt truck at:3.000000", "Error: Error al recibir mensaje"));
    EXPECT_FALSE(m_client.IsConnected());
}

TEST_F(LiveClientTest, WithoutAServerThreeAttemptsThenAnError) {
    unsigned int nPort = 0;
    {
        CBidirecSocket unused;
        ASSERT_TRUE(unused.CreateServer(0, "127.0.0.1"));
        nPort = unused.GetBoundPort();
    }
    std::mutex mutex;
    std::vector<std::chrono::milliseconds> vecWaits;
    m_client.SetSleeper([&](std::chrono::milliseconds tWait, std::stop_token) {
        std::lock_guard<std::mutex> lock(mutex);
        vecWaits.push_back(tWait);
    });
    m_client.SetServer("127.0.0.1", static_cast<int>(nPort));
    m_client.LoadFromServer();
    ASSERT_TRUE(m_view.WaitForFeed());
    EXPECT_THAT(m_view.pSyslog->Lines(), ElementsAre("Error connecting to VELKO"));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_THAT(vecWaits, ElementsAre(1000ms, 1000ms, 1000ms));
    EXPECT_TRUE(m_view.pParsingLog->Lines().empty());
}

TEST_F(LiveClientTest, ShutdownEndsConnectingAndReceivingWithinASecond) {
    // A second as long as it takes on this machine now, but well under the
    // 2.9 s left to a client that sleeps out the second it waits after each
    // of its three attempts.
    const auto tPrompt = velkotest::ScaledWait(1s, 1500ms);
    // A new load while the client waits between attempts.
    {
        CBidirecSocket unused;
        ASSERT_TRUE(unused.CreateServer(0, "127.0.0.1"));
        m_client.SetServer("127.0.0.1", static_cast<int>(unused.GetBoundPort()));
    }
    m_client.LoadFromServer();
    std::this_thread::sleep_for(100ms);
    auto start = std::chrono::steady_clock::now();
    m_view.scene.Lock();
    EXPECT_LT(std::chrono::steady_clock::now() - start, tPrompt);
    m_view.scene.Unlock();
    EXPECT_FALSE(m_view.scene.IsFeeding());

    // The program's end while a live link waits for the next message.
    auto pClient = std::make_unique<CServerClient>(m_view.scene, m_view.Target());
    CLoopbackServer server;
    pClient->SetServer("127.0.0.1", server.Port());
    pClient->LoadFromServer();
    ASSERT_TRUE(server.WaitForViewer());
    server->SendModelInfo("yard", kTruck);
    ASSERT_TRUE(WaitUntil([this] { return !m_view.pParsingLog->Lines().empty(); }));
    start = std::chrono::steady_clock::now();
    pClient.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, tPrompt);
    EXPECT_FALSE(m_view.scene.IsFeeding());
    EXPECT_EQ(m_view.pSyslog->Lines().back(), "Disconnected to VEKLO");
    // The client's own cancel is no lost link.
    EXPECT_THAT(
        m_view.pParsingLog->Lines(),
        ElementsAre("ModelName: yard", "The mesh van.obj cannot be found: a box stands for it."));
}

// The engine runs the yard model with clients on while the client follows
// it; replaying the run's trace afterwards shows the same scene.
TEST_F(LiveClientTest, RunFollowedLiveEqualsItsTraceReplayed) {
    CYardModel yard;
    ASSERT_TRUE(yard.IsBuilt());
    const unsigned int nPort = yard.StartRun(true);
    ASSERT_NE(nPort, 0u);
    m_client.SetServer("127.0.0.1", static_cast<int>(nPort));
    m_client.LoadFromServer();
    ASSERT_TRUE(yard.RunToEnd());
    ASSERT_TRUE(m_view.WaitForFeed());
    EXPECT_THAT(m_view.pSyslog->Lines(),
                ElementsAre("Connected to VELKO", "Disconnected to VEKLO"));

    CReaderScene replay(m_files.Resolver());
    CTraceReader reader(replay.scene, replay.Target());
    ASSERT_EQ(reader.LoadFromTrace([&] { return yard.TracePath(); }), CTraceReader::TLR_LOADED);
    ASSERT_TRUE(replay.WaitForFeed());

    // The same model description and records, in the same order.
    const std::vector<std::string> vecLive = m_view.pParsingLog->Lines();
    EXPECT_EQ(vecLive.size(), 19u);
    EXPECT_EQ(replay.pParsingLog->Lines(), vecLive);
    for (const double dTime : {0.5, 2.5, 4.5, 6.0, 100.0}) {
        SCOPED_TRACE(dTime);
        const CDrawList vecLiveDraws = m_view.DrawsAt(dTime);
        EXPECT_TRUE(DrawOf(vecLiveDraws, "depot_truck"));
        EXPECT_EQ(replay.DrawsAt(dTime), vecLiveDraws);
        for (int nCell = 0; nCell < 16; ++nCell) {
            EXPECT_EQ(replay.terrain.GetCellTexture(nCell), m_view.terrain.GetCellTexture(nCell));
        }
    }
    EXPECT_EQ(m_view.terrain.GetCellTexture(5), "tree.png");
    EXPECT_EQ(replay.scene.GetAnimations().GetReports("depot_truck"),
              m_view.scene.GetAnimations().GetReports("depot_truck"));
}

}  // namespace
