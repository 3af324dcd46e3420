#include "sh_stat/estadisticsservidor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/notifier.h"
#include "support/blockingcall.h"
#include "support/fakeviewer.h"
#include "support/recordingnotifier.h"

namespace {

using namespace velkotest;

std::tm MakeTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    std::tm tmValue{};
    tmValue.tm_year = nYear - 1900;
    tmValue.tm_mon = nMonth - 1;
    tmValue.tm_mday = nDay;
    tmValue.tm_hour = nHour;
    tmValue.tm_min = nMinute;
    tmValue.tm_sec = nSecond;
    return tmValue;
}

// WaitForClient on its own thread, as the simulation thread runs it.
class CWaitRun : public CBlockingCall {
public:
    explicit CWaitRun(CEstadisticsServidor& rServer)
        : CBlockingCall([&rServer] { rServer.WaitForClient(); },
                        [&rServer] { rServer.CancelWait(); }) {}
};

// The port the server listens on, once it listens; 0 after 5 s.
unsigned int WaitListening(const CEstadisticsServidor& server) {
    return WaitForPort([&server] { return server.GetBoundPort(); });
}

void PrepareLoopback(CEstadisticsServidor& server, unsigned int nPort = 0) {
    server.SetDataPort(nPort);
    server.SetListenAddress("127.0.0.1");
}

// One run start: Init, the wait, and a viewer of the given mode connecting.
std::unique_ptr<CFakeViewer> StartRun(CEstadisticsServidor& server, CFakeViewer::Mode eMode,
                                      unsigned int* pnPort = nullptr) {
    server.Init();
    CWaitRun wait(server);
    const unsigned int nPort = WaitListening(server);
    EXPECT_NE(nPort, 0u);
    if (pnPort != nullptr) {
        *pnPort = nPort;
    }
    auto pViewer = std::make_unique<CFakeViewer>(nPort, eMode);
    EXPECT_TRUE(wait.Finish(5s)) << "the wait did not end";
    return pViewer;
}

const std::string kRecordOne =
    "\t\t<EYE_SetState xTime='1.500000' agent=\"Banco.Caja\" state=\"Libre\"></EYE_SetState>\n";
const std::string kRecordTwo =
    "\t\t<EYE_AnimTo xTime='2.000000' agent=\"Banco.Cañón\" x=\"3\"></EYE_AnimTo>\n";

TEST(EstadisticsServidor, ViewerReceivesTheWholeRunExactlyAsFramed) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    EXPECT_EQ(server.GetDataPort(), 8686u);
    EXPECT_FALSE(server.IsConnected());
    EXPECT_FALSE(server.IsAccepting());
    PrepareLoopback(server);
    server.SetClock([] { return MakeTime(2024, 3, 5, 9, 5, 7); });

    server.Init();
    auto pWait = std::make_unique<CWaitRun>(server);
    const unsigned int nPort = WaitListening(server);
    ASSERT_NE(nPort, 0u);
    // Nobody has connected yet: the wait goes on.
    EXPECT_TRUE(server.IsAccepting());
    EXPECT_FALSE(server.IsConnected());
    CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(pWait->Finish(5s));
    EXPECT_TRUE(server.IsConnected());
    EXPECT_FALSE(server.IsAccepting());
    // The listening socket stays open while the link lasts.
    EXPECT_EQ(server.GetBoundPort(), nPort);

    server.SendModelInfo("Banco", "<Agent Name='Caja'></Agent>");
    server.Send(kRecordOne);
    server.Send(kRecordTwo);
    server.Close();
    EXPECT_FALSE(server.IsConnected());
    EXPECT_EQ(server.GetBoundPort(), 0u);

    ASSERT_TRUE(viewer.WaitForEnd(5s)) << "the link was not closed";
    const std::vector<std::string> expected = {
        "\t<ModelInfo> \t\t<ModelName>Banco</ModelName> \t\t<ModelType></ModelType> "
        "\t\t<ConnectionTime Format='hh:mm:ss'>9:5:7</ConnectionTime> "
        "\t\t<ConnectionDate Format='dd:mm:yy'>5-3-2024</ConnectionDate>"
        "<Agents><Agent Name='Caja'></Agent></Agents></ModelInfo>",
        kDeclaration + kRecordOne,
        kDeclaration + kRecordTwo,
        kDeclaration + "<EndReplication />",
    };
    EXPECT_EQ(viewer.GetMessages(), expected);
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(EstadisticsServidor, TwoDigitClockFieldsAndStartSimulationMessage) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server);
    server.SetClock([] { return MakeTime(1999, 12, 31, 23, 59, 58); });
    auto pViewer = StartRun(server, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(server.IsConnected());

    server.SendModelInfo("M", "");
    server.SendStartSimulation();
    server.Close();
    ASSERT_TRUE(pViewer->WaitForEnd(5s));
    const std::vector<std::string> messages = pViewer->GetMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0],
              "\t<ModelInfo> \t\t<ModelName>M</ModelName> \t\t<ModelType></ModelType> "
              "\t\t<ConnectionTime Format='hh:mm:ss'>23:59:58</ConnectionTime> "
              "\t\t<ConnectionDate Format='dd:mm:yy'>31-12-1999</ConnectionDate>"
              "<Agents></Agents></ModelInfo>");
    EXPECT_EQ(messages[1],
              " \t" + kDeclaration +
                  " \t<StartSimulation> \t\t<Time Format='hh:mm:ss'>23:59:58</Time> "
                  "\t\t<Date Format='dd:mm:yy'>31-12-1999</Date> \t</StartSimulation>");
    EXPECT_EQ(messages[2], kDeclaration + "<EndReplication />");
}

TEST(EstadisticsServidor, CancelledWaitReturnsPromptlyWithoutViewer) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server);

    // No viewer at all.
    server.Init();
    {
        CWaitRun wait(server);
        ASSERT_NE(WaitListening(server), 0u);
        EXPECT_TRUE(server.IsAccepting());
        const auto tPrompt = ScaledWait(1s);
        const auto tCancel = Clock::now();
        server.CancelWait();
        EXPECT_TRUE(wait.FinishWithin(tPrompt));
        EXPECT_LT(Clock::now() - tCancel, tPrompt);
    }
    EXPECT_FALSE(server.IsConnected());
    EXPECT_FALSE(server.IsAccepting());
    EXPECT_EQ(server.GetBoundPort(), 0u);
    // The run goes on without a viewer: nothing is sent, nothing fails.
    EXPECT_NO_THROW(server.Send(kRecordOne));
    EXPECT_NO_THROW(server.Close());

    // A cancel after Init but before the wait began ends the wait at once.
    server.Init();
    server.CancelWait();
    {
        CWaitRun wait(server);
        EXPECT_TRUE(wait.Finish(1s));
    }
    EXPECT_FALSE(server.IsConnected());
    EXPECT_FALSE(server.IsAccepting());

    // The next Init forgets the cancel: a new run connects normally.
    auto pViewer = StartRun(server, CFakeViewer::FOLLOW_RUN);
    EXPECT_TRUE(server.IsConnected());
    server.Close();
    EXPECT_TRUE(pViewer->WaitForEnd(5s));
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(EstadisticsServidor, SilentViewerBlocksTheWaitUntilCancelled) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server);
    server.Init();
    CWaitRun wait(server);
    const unsigned int nPort = WaitListening(server);
    ASSERT_NE(nPort, 0u);
    CFakeViewer viewer(nPort, CFakeViewer::SILENT);

    // Connected but no start message: the wait goes on.
    ASSERT_TRUE(viewer.WaitForLink());
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(server.IsAccepting());
    EXPECT_FALSE(server.IsConnected());

    // The cancel ends the wait at once, not when the silent viewer's start
    // time-out (5 s) has passed: the wait is never made as long as that.
    const auto tPrompt = ScaledWait(1s, 2s);
    const auto tCancel = Clock::now();
    server.CancelWait();
    EXPECT_TRUE(wait.FinishWithin(tPrompt));
    EXPECT_LT(Clock::now() - tCancel, tPrompt);
    EXPECT_FALSE(server.IsConnected());
    EXPECT_FALSE(server.IsAccepting());
    EXPECT_EQ(server.GetBoundPort(), 0u);
    // The viewer's link is closed by the server.
    EXPECT_TRUE(viewer.WaitForEnd(5s));
    EXPECT_TRUE(viewer.GetMessages().empty());
}

// The first comer does not own the run's viewer slot: a connection that
// closes, stays silent past the start time-out or sends something else is
// dropped, and the wait goes on until the viewer comes.
TEST(EstadisticsServidor, ConnectionsThatAreNoViewerAreDroppedAndTheWaitGoesOn) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server);
    server.SetStartTimeout(300);
    server.Init();
    CWaitRun wait(server);
    const unsigned int nPort = WaitListening(server);
    ASSERT_NE(nPort, 0u);

    CFakeViewer dropping(nPort, CFakeViewer::DROP_BEFORE_START);
    ASSERT_TRUE(dropping.WaitForEnd(5s));
    CFakeViewer silent(nPort, CFakeViewer::SILENT);
    // Dropped after the start time-out set, not the default of 5 s: the
    // server closes its link.
    ASSERT_TRUE(silent.WaitForEndWithin(ScaledWait(1s, 2500ms))) << "a silent peer holds the wait";
    CBidirecSocket other;
    ASSERT_EQ(other.ConnectClient("127.0.0.1", nPort), 1);
    other.AttachArchives();
    other.enviaMsj("<hello/>");
    std::string strAnswer;
    EXPECT_THROW(other.recibeMsj(strAnswer), CCustomException);  // closed on us
    EXPECT_TRUE(server.IsAccepting());
    EXPECT_FALSE(server.IsConnected());

    CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(wait.Finish(5s)) << "the viewer was refused";
    EXPECT_TRUE(server.IsConnected());
    server.Send(kRecordOne);
    server.Close();
    ASSERT_TRUE(viewer.WaitForEnd(5s));
    EXPECT_EQ(
        viewer.GetMessages(),
        (std::vector<std::string>{kDeclaration + kRecordOne, kDeclaration + "<EndReplication />"}));
    EXPECT_TRUE(silent.GetMessages().empty());
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(EstadisticsServidor, ViewerClosingMidRunDropsTheLinkAndIsReportedOnce) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server);
    auto pViewer = StartRun(server, CFakeViewer::HANG_UP_AFTER_ONE);
    ASSERT_TRUE(server.IsConnected());
    server.SendModelInfo("Banco", "");
    ASSERT_TRUE(pViewer->WaitForEnd(5s));
    EXPECT_EQ(pViewer->GetMessages().size(), 1u);

    // The first sends may still be buffered by the system; the loss shows
    // within a few.
    const auto deadline = Clock::now() + ScaledWait(5s);
    while (server.IsConnected() && Clock::now() < deadline) {
        EXPECT_NO_THROW(server.Send(kRecordOne));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(server.IsConnected());
    EXPECT_EQ(server.GetBoundPort(), 0u);

    // The run goes on: later sends and the end of run are silent.
    EXPECT_NO_THROW(server.Send(kRecordTwo));
    EXPECT_NO_THROW(server.SendStartSimulation());
    EXPECT_NO_THROW(server.Close());
    const std::vector<CRecordingNotifier::Box> boxes = notifier.GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText, "Error: Error al enviar mensaje");
    EXPECT_EQ(boxes[0].eIcon, NI_ERROR);
}

TEST(EstadisticsServidor, ConsecutiveRunsBindTheSamePort) {
    unsigned int nPort = 0;
    {
        CRecordingNotifier notifier;
        CEstadisticsServidor server(&notifier);
        PrepareLoopback(server);
        auto pViewer = StartRun(server, CFakeViewer::FOLLOW_RUN, &nPort);
        ASSERT_TRUE(server.IsConnected());
        server.Send(kRecordOne);
        server.Close();
        ASSERT_TRUE(pViewer->WaitForEnd(5s));
        EXPECT_EQ(pViewer->GetMessages().size(), 2u);
    }
    ASSERT_NE(nPort, 0u);

    // A second server on the port the first just used, for two runs.
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    PrepareLoopback(server, nPort);
    for (int nRun = 0; nRun < 2; ++nRun) {
        SCOPED_TRACE(nRun);
        unsigned int nBound = 0;
        auto pViewer = StartRun(server, CFakeViewer::FOLLOW_RUN, &nBound);
        EXPECT_EQ(nBound, nPort);
        ASSERT_TRUE(server.IsConnected());
        server.Send(kRecordTwo);
        server.Close();
        ASSERT_TRUE(pViewer->WaitForEnd(5s));
        EXPECT_EQ(pViewer->GetMessages(),
                  (std::vector<std::string>{kDeclaration + kRecordTwo,
                                            kDeclaration + "<EndReplication />"}));
    }
    EXPECT_TRUE(notifier.GetBoxes().empty());
}

TEST(EstadisticsServidor, DestructionEndsTheLinkWithoutEndOfReplication) {
    CRecordingNotifier notifier;
    auto pServer = std::make_unique<CEstadisticsServidor>(&notifier);
    PrepareLoopback(*pServer);
    auto pViewer = StartRun(*pServer, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(pServer->IsConnected());
    pServer->Send(kRecordOne);
    pServer.reset();
    ASSERT_TRUE(pViewer->WaitForEnd(5s));
    EXPECT_EQ(pViewer->GetMessages(), std::vector<std::string>{kDeclaration + kRecordOne});
}

}  // namespace

namespace {

// A viewer that stops reading fills the link until a send stalls: after the
// send time-out it counts as lost and the run goes on.
TEST(EstadisticsServidor, ViewerThatStopsReadingIsDroppedAfterTheSendTimeout) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    server.SetSendTimeout(200);
    PrepareLoopback(server);
    auto pViewer = StartRun(server, CFakeViewer::STALLED);
    ASSERT_TRUE(server.IsConnected());
    // Sent until the send time-out set drops the viewer: never as long as
    // half the default time-out of 10 s, which one blocked send would take.
    const std::string strRecord(64 * 1024, 'x');
    const auto tBound = ScaledWait(2s, 5s);
    const auto tStart = Clock::now();
    while (server.IsConnected() && Clock::now() - tStart < tBound) {
        server.Send(strRecord);
    }
    EXPECT_FALSE(server.IsConnected());
    EXPECT_LT(Clock::now() - tStart, tBound);
    EXPECT_EQ(notifier.GetBoxes().size(), 1u);
}

// Dropping the link ends a send that is blocked on a viewer that stopped
// reading, without waiting for the time-out.
TEST(EstadisticsServidor, DropLinkEndsABlockedSend) {
    CRecordingNotifier notifier;
    CEstadisticsServidor server(&notifier);
    server.SetSendTimeout(60000);
    PrepareLoopback(server);
    auto pViewer = StartRun(server, CFakeViewer::STALLED);
    ASSERT_TRUE(server.IsConnected());
    std::atomic<bool> bDone{false};
    std::thread sender([&] {
        const std::string strRecord(64 * 1024, 'x');
        while (server.IsConnected()) {
            server.Send(strRecord);
        }
        bDone = true;
    });
    std::this_thread::sleep_for(ScaledWait(300ms));  // long enough to fill the buffers
    server.DropLink();
    // Never as long as half the send time-out.
    const auto deadline = Clock::now() + ScaledWait(5s, 30s);
    while (!bDone && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const bool bEnded = bDone;
    if (!bEnded) {
        std::fprintf(stderr, "DropLink did not end the blocked send\n");
        std::_Exit(1);
    }
    sender.join();
    EXPECT_FALSE(server.IsConnected());
}

}  // namespace
