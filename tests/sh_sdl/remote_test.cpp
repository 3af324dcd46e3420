// Runs of one model by two simulator instances: two engines in this process,
// one at 127.0.0.1 and one at 127.0.0.2, whose signals cross over loopback;
// sends that cannot connect, a Stop during a connect that hangs, and what a
// stranger may send to a listener.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "optest_model.h"
#include "sh_aux/bidirecsocket.h"
#include "sh_aux/hpslib.h"
#include "support/blockingcall.h"
#include "support/fakemodellibrary.h"
#include "support/filebytes.h"
#include "support/recordingnotifier.h"
#include "support/tempfolder.h"
#include "test_helpers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velkotest::WaitUntil;

// A port nothing listens on now.
unsigned int UnusedPort() {
    CBidirecSocket probe;
    if (!probe.CreateServer(0, "127.0.0.1")) {
        return 0;
    }
    return probe.GetBoundPort();
}

int CountLines(const CRecordingNotifier& notifier, NotifyPane ePane, const std::string& strPart) {
    int nCount = 0;
    for (const auto& line : notifier.GetLines()) {
        nCount += (line.ePane == ePane && line.strLine.find(strPart) != std::string::npos) ? 1 : 0;
    }
    return nCount;
}

// One instance's copy of a model of two processes that listen on one port:
// P (IP 127.0.0.1) sends "ping" through c1 to Q (IP 127.0.0.2) at time 2,
// with a parameter whose text holds a comma, a percent sign and blanks; Q
// answers "pong" through c2 one time unit later. R (IP 127.0.0.3, run by
// neither instance) has an initial "tick" at time 10. Both channels join
// different IP texts, so the model reader would have cleared their local
// delivery. Each handled signal is recorded as "signal@clock".
class CPingPong {
public:
    CPingPong(int nMode, const std::string& strOwnAddress, unsigned int nPort) {
        CSDLEngine& engine = m_model.Engine();
        engine.m_strModelFolder = m_folder.GetPath();
        engine.m_strModelName = "PingPong";
        engine.m_bExecutionTrace = true;
        engine.m_nIPMode = nMode;
        engine.m_strIPAddress = strOwnAddress;
        engine.m_nEndMode = EM_BY_TIME;
        engine.m_dEndTime = 100.0;
        engine.SetListener(&m_listener);

        m_pP = AddProcess("P", 1, "127.0.0.1", nPort);
        m_pQ = AddProcess("Q", 2, "127.0.0.2", nPort);
        m_pC1 = Link(m_pP, m_pQ, "c1", "ping");
        Link(m_pQ, m_pP, "c2", "pong");

        optest::CChain pStart(m_pP, "start");
        pStart.Start(1);
        CSDLOperationOutput* pPing = pStart.Output(2, "ping");
        pPing->m_strVia = "'c1'";
        pPing->m_pSignal->m_strDelay = "2";
        optest::AddUserParam(pPing, "word", " 1, 5% ");
        pStart.SetState(3, "Wait");
        optest::CChain pWait(m_pP, "Wait");
        pWait.Input(4, "pong");
        const std::string strPongTask = pWait.Task(5)->GetCodeID();
        pWait.SetState(6, "Wait");

        optest::CChain qStart(m_pQ, "start");
        qStart.Start(1);
        qStart.SetState(2, "Idle");
        optest::CChain qIdle(m_pQ, "Idle");
        qIdle.Input(3, "ping");
        const std::string strPingTask = qIdle.Task(4)->GetCodeID();
        CSDLOperationOutput* pPong = qIdle.Output(5, "pong");
        pPong->m_strVia = "'c2'";
        pPong->m_pSignal->m_strDelay = "1";
        qIdle.SetState(6, "Idle");

        CSDLProcess* pR = AddProcess("R", 3, "127.0.0.3", nPort);
        optest::CChain rStart(pR, "start");
        // Operation ids of its own: code IDs do not name the process.
        rStart.Start(11);
        rStart.SetState(12, "Ready");
        optest::CChain rReady(pR, "Ready");
        rReady.Input(13, "tick");
        const std::string strTickTask = rReady.Task(14)->GetCodeID();
        auto pTick = std::make_unique<CSDLEvent>();
        pTick->m_strName = "tick";
        pTick->m_dExecutionTime = 10.0;
        pR->m_listInitialEvents.push_back(std::move(pTick));

        engine.SetLibraryFactory([this, strPongTask, strPingTask, strTickTask, pR] {
            auto pLibrary = std::make_unique<CFakeModelLibrary>();
            pLibrary->SetTask(strPongTask,
                              [this](CFakeModelLibrary&) { return Record("pong", m_pP); });
            pLibrary->SetTask(strPingTask,
                              [this](CFakeModelLibrary&) { return Record("ping", m_pQ); });
            pLibrary->SetTask(strTickTask,
                              [this, pR](CFakeModelLibrary&) { return Record("tick", pR); });
            return std::unique_ptr<CModelLibrary>(std::move(pLibrary));
        });
    }

    CSDLEngine& Engine() { return m_model.Engine(); }
    CRecordingNotifier& Notifier() { return m_model.Notifier(); }
    const std::string& Trace() { return m_model.Sink().m_strText; }
    size_t Steps() { return m_listener.Steps().size(); }
    CSDLProcess* P() const { return m_pP; }
    CSDLChannelOut* C1() const { return m_pC1; }
    std::vector<std::string> Handled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecHandled;
    }
    void StartAndRun() {
        Engine().StartThread();
        Engine().Run();
    }
    bool Listening() { return !Engine().GetRemoteLinks().GetListeningPorts().empty(); }

private:
    CSDLProcess* AddProcess(const std::string& strName, int nId, const std::string& strIP,
                            unsigned int nPort) {
        CSDLProcess* pProcess = m_model.AddProcess(nullptr, strName, nId);
        pProcess->m_strIP = strIP;
        pProcess->m_nPort = static_cast<int>(nPort);
        m_model.Engine().m_mapProcesses[pProcess->GetFullName(false)] = pProcess;
        return pProcess;
    }
    static CSDLChannelOut* Link(CSDLAgent* pFrom, CSDLAgent* pTo, const std::string& strName,
                                const char* pszSignal) {
        auto [pOut, pIn] = sdltest::CTestModel::Connect(pFrom, pTo, strName, {pszSignal});
        pOut->m_bLocalDelivery = false;
        pIn->m_bLocalDelivery = false;
        return pOut;
    }
    int Record(const char* pszSignal, const CSDLProcess* pProcess) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecHandled.push_back(Format("%s@%f", pszSignal, pProcess->m_dClock));
        return 0;
    }

    velkotest::CTempFolder m_folder;
    sdltest::CRecordingListener m_listener;
    std::mutex m_mutex;
    std::vector<std::string> m_vecHandled;
    sdltest::CTestModel m_model;
    CSDLProcess* m_pP = nullptr;
    CSDLProcess* m_pQ = nullptr;
    CSDLChannelOut* m_pC1 = nullptr;
};

// A signal's remote text with the given execution time and cell.
std::string PingText(const std::string& strTime, const std::string& strCell) {
    return Format("0,0,%s,0,c1,,0,true,ping,,Q,%s,", strTime.c_str(), strCell.c_str());
}

TEST(EngineRemoteTest, TwoInstancesExchangeAndAnswerRunAfterRun) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    // Both instances listen on the same port number, each at its own address.
    CPingPong a(1, "127.0.0.1", nPort);
    CPingPong b(1, "127.0.0.2", nPort);
    for (size_t nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(Format("run %zu", nRun));
        // B has nothing to do until the ping comes: idle, it waits instead of
        // ending its run or stepping for nothing.
        b.StartAndRun();
        ASSERT_TRUE(WaitUntil([&] { return b.Listening(); })) << "the next run binds again";
        a.StartAndRun();
        ASSERT_TRUE(WaitUntil([&] { return a.Handled().size() == nRun; }));
        // An instance that waits for the others has its trace so far on disk.
        const std::string strTracePath = b.Engine().GetTracePath();
        EXPECT_TRUE(WaitUntil([&] {
            return velkotest::ReadFileBytes(strTracePath)
                       .find("<input time=\"2.000000\" process=\"Q\" name=\"ping\"") !=
                   std::string::npos;
        })) << strTracePath;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(a.Engine().GetRunState(), RS_RUNNING);
        EXPECT_EQ(b.Engine().GetRunState(), RS_RUNNING);

        const auto tStop = Clock::now();
        a.Engine().Stop();
        b.Engine().Stop();
        EXPECT_TRUE(a.Engine().WaitForRunEnd(3000));
        EXPECT_TRUE(b.Engine().WaitForRunEnd(3000));
        EXPECT_LT(Clock::now() - tStop, 2s);
        EXPECT_FALSE(b.Listening());

        // Each process ran only in its own instance, at the signal's time;
        // R's initial signal is queued by neither. No instance stepped for
        // nothing.
        EXPECT_EQ(b.Handled(), std::vector<std::string>(nRun, "ping@2.000000"));
        EXPECT_EQ(a.Handled(), std::vector<std::string>(nRun, "pong@3.000000"));
        EXPECT_EQ(a.Steps(), nRun);
        EXPECT_EQ(b.Steps(), nRun);
    }
    EXPECT_EQ(a.Engine().GetLastThreadResult(), 0);
    EXPECT_EQ(b.Engine().GetLastThreadResult(), 0);
    // The parameter crossed unchanged; the sender traced its note.
    EXPECT_NE(b.Trace().find("<input time=\"2.000000\" process=\"Q\" name=\"ping\""),
              std::string::npos);
    EXPECT_NE(b.Trace().find("<userparam name=\"word\" type=\"\" value=\" 1, 5% \">"),
              std::string::npos)
        << b.Trace();
    EXPECT_NE(a.Trace().find("<system>SEND (remote),Q,Q,0.000000,0,2,2,0,c1,"), std::string::npos)
        << a.Trace();
}

TEST(EngineRemoteTest, LocalRunBindsNothingAndRunsEveryProcessHere) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong model(0, "", nPort);
    model.Engine().StartThread();
    ASSERT_TRUE(WaitUntil([&] { return model.Engine().GetRunState() == RS_INITIALIZED; }));
    EXPECT_FALSE(model.Listening());
    EXPECT_EQ(model.C1()->m_strHost, "");
    for (const char* pszAddress : {"127.0.0.1", "127.0.0.2"}) {
        CBidirecSocket probe;
        EXPECT_TRUE(probe.CreateServer(nPort, pszAddress) && probe.Listen()) << pszAddress;
    }
    model.Engine().Run();
    ASSERT_TRUE(model.Engine().WaitForRunEnd(5000));
    EXPECT_EQ(model.Handled(),
              (std::vector<std::string>{"ping@2.000000", "pong@3.000000", "tick@10.000000"}));
    EXPECT_EQ(CountLines(model.Notifier(), NP_ERRORS, ""), 0);
}

TEST(EngineRemoteTest, RefusedSendReturnsErrorSocketAndTheNextSendConnects) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong model(1, "127.0.0.1", nPort);
    model.P()->InitCommon();
    CSDLChannelOut* pC1 = model.C1();
    ASSERT_EQ(pC1->m_strHost, "127.0.0.2");
    ASSERT_EQ(pC1->m_nPort, static_cast<int>(nPort));

    CSDLEvent event;
    event.m_strName = "ping";
    event.m_dCreationTime = 0.1 + 0.2;  // no short decimal holds it
    event.m_dDelay = 1.0 / 3.0;
    event.m_dExecutionTime = event.m_dCreationTime + event.m_dDelay;
    event.m_nTag = 9;
    event.m_strCodeId = "0_1_start_2";
    event.m_nPriority = -3;
    event.m_strRoute = "c7 c8";
    event.m_strTo = "Q, the far one";
    event.m_nCell = 4;
    event.m_mapUserParams["word"] =
        std::make_unique<CSDLParameter>("char*", "word", "50%,a b", "no");

    EXPECT_EQ(pC1->Send(&event), "ERROR SOCKET");
    EXPECT_EQ(CountLines(model.Notifier(), NP_ERRORS, "could not be sent through channel c1"), 1);

    CBidirecSocket server;
    ASSERT_TRUE(server.CreateServer(nPort, "127.0.0.2") && server.Listen());
    const std::string strNote = pC1->Send(&event);
    EXPECT_EQ(strNote, "SEND (remote),Q,Q,0.000000," + event.GetRemoteText() + "|");
    EXPECT_NE(model.Trace().find("<system>" + EscapeXmlText(strNote) + "</system>"),
              std::string::npos);
    EXPECT_EQ(pC1->Send(&event), strNote) << "the connection is kept";

    CBidirecSocket link;
    ASSERT_TRUE(server.Accept(link));
    link.AttachArchives();
    for (int nMessage = 0; nMessage < 2; ++nMessage) {
        std::string strMessage;
        link.recibeMsj(strMessage);
        ASSERT_EQ(strMessage.rfind("c1,", 0), 0u) << strMessage;
        CSDLEvent received;
        ASSERT_TRUE(received.ParseRemoteText(strMessage.substr(3)));
        EXPECT_EQ(received.m_dCreationTime, event.m_dCreationTime);
        EXPECT_EQ(received.m_dDelay, event.m_dDelay);
        EXPECT_EQ(received.m_dExecutionTime, event.m_dExecutionTime);
        EXPECT_EQ(received.m_nTag, 9);
        EXPECT_EQ(received.m_strCameThrough, "c1");
        EXPECT_EQ(received.m_strCodeId, "0_1_start_2");
        EXPECT_EQ(received.m_nPriority, -3);
        EXPECT_TRUE(received.m_bRemote);
        EXPECT_EQ(received.m_strName, "ping");
        EXPECT_EQ(received.m_strRoute, "c7 c8");
        EXPECT_EQ(received.m_strTo, "Q, the far one");
        EXPECT_EQ(received.m_nCell, 4);
        EXPECT_EQ(received.GetXml(), event.GetXml());
    }

    // A receiver that ends the link in order (its run ended, or it made
    // room for another sender) lost nothing: the next send connects again.
    const auto AcceptWithin5s = [&](CBidirecSocket& rLink) {
        bool bAccepted = false;
        velkotest::CBlockingCall accept([&] { bAccepted = server.Accept(rLink); },
                                        [&] { server.Cancel(); });
        return accept.Finish(5s) && bAccepted;
    };
    link.Close();
    EXPECT_EQ(pC1->Send(&event), strNote);
    CBidirecSocket again;
    ASSERT_TRUE(AcceptWithin5s(again));
    again.AttachArchives();
    again.SetReceiveTimeout(5000);
    std::string strAgain;
    again.recibeMsj(strAgain);
    EXPECT_EQ(strAgain, "c1," + event.GetRemoteText());
    // One that resets it, with the last signal unread, lost that signal:
    // the sender says so and sends the next one on a new link.
    EXPECT_EQ(pC1->Send(&event), strNote);  // on loopback it is in the receiver's queue now
    again.Close();
    EXPECT_EQ(pC1->Send(&event), strNote);
    EXPECT_EQ(CountLines(model.Notifier(), NP_ERRORS,
                         "was reset by the receiver; the signal ping sent through it last is lost"),
              1);
    CBidirecSocket last;
    ASSERT_TRUE(AcceptWithin5s(last));
    last.AttachArchives();
    last.SetReceiveTimeout(5000);
    std::string strLast;
    last.recibeMsj(strLast);
    EXPECT_EQ(strLast, "c1," + event.GetRemoteText());
}

TEST(EngineRemoteTest, UndeliveredSignalsHoldTheSenderBack) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    sdltest::CTestModel model;
    CSDLProcess* pQ = model.AddProcess(nullptr, "Q", 1);
    pQ->m_strIP = "127.0.0.2";
    pQ->m_nPort = static_cast<int>(nPort);
    CSDLChannelIn* pC1 = sdltest::CTestModel::AddInput(pQ, "c1");
    pC1->m_bLocalDelivery = false;
    std::mutex mutex;
    std::vector<std::string> vecLines;
    // Declared after the model: the queued events outlive the links.
    CSDLRemoteLinks links([&](const std::string& strLine) {
        std::lock_guard<std::mutex> lock(mutex);
        vecLines.push_back(strLine);
    });
    std::string strError;
    ASSERT_TRUE(links.Start({nPort}, "127.0.0.2", strError)) << strError;

    // More signals than may wait undelivered, in one piece that TCP takes
    // as far as the receiver reads it.
    const size_t nMore = 50;
    std::string strBytes;
    for (size_t i = 0; i < kMaxUndeliveredSignals + nMore; ++i) {
        strBytes += EncodeSocketString("c1," + PingText("5", "-1"));
    }
    CBidirecSocket sender;
    ASSERT_EQ(sender.ConnectClient("127.0.0.2", nPort), 1);
    ASSERT_TRUE(sender.SetSendTimeout(30000));
    std::thread sending([&] { EXPECT_TRUE(sender.SendBytes(strBytes.data(), strBytes.size())); });

    // Delivered as the simulation thread delivers them, and never handled:
    // the reader takes no more once the bound is reached.
    const auto Deliver = [&] {
        links.DeliverSignals(model.Root(), "127.0.0.2");
        return pC1->GetCount();
    };
    EXPECT_TRUE(WaitUntil([&] { return Deliver() == kMaxUndeliveredSignals; }, 20s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Deliver(), kMaxUndeliveredSignals);
    // Each signal handled makes room for one more.
    for (size_t i = 0; i < nMore; ++i) {
        pC1->RemoveHeadEvent();
    }
    EXPECT_TRUE(WaitUntil([&] { return Deliver() == kMaxUndeliveredSignals; }, 20s));
    sending.join();
    links.Stop();
    EXPECT_TRUE(vecLines.empty()) << vecLines.front();
}

TEST(EngineRemoteTest, StopDuringAConnectThatHangsEndsTheRunInTime) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    // A listener whose queue is full: the kernel drops further connection
    // requests, so a connect to it hangs.
    CBidirecSocket full;
    ASSERT_TRUE(full.CreateServer(nPort, "127.0.0.2") && full.Listen(0));
    std::vector<std::unique_ptr<CBidirecSocket>> vecFillers;
    bool bHangs = false;
    while (!bHangs && vecFillers.size() < 8) {
        vecFillers.push_back(std::make_unique<CBidirecSocket>());
        bHangs = vecFillers.back()->ConnectClient("127.0.0.2", nPort, 500) == 0;
    }
    ASSERT_TRUE(bHangs) << "no connect hangs on this machine";

    CPingPong model(1, "127.0.0.1", nPort);
    model.Engine().StartThread();  // the start transition sends the ping
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(model.Engine().GetRunState(), RS_STARTING) << "the send waits for its connection";
    const auto tStop = Clock::now();
    model.Engine().Stop();
    EXPECT_TRUE(model.Engine().WaitForRunEnd(3000));
    EXPECT_LT(Clock::now() - tStop, std::chrono::milliseconds(kRemoteConnectTimeoutMs / 2));
    EXPECT_EQ(CountLines(model.Notifier(), NP_ERRORS, "could not be sent"), 1);
}

TEST(EngineRemoteTest, StrangersMessagesAndATakenPortAreReported) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong b(1, "127.0.0.2", nPort);
    b.StartAndRun();
    ASSERT_TRUE(WaitUntil([&] { return b.Listening(); }));

    CBidirecSocket stranger;
    ASSERT_EQ(stranger.ConnectClient("127.0.0.2", nPort), 1);
    stranger.AttachArchives();
    stranger.enviaMsj("no comma at all");
    stranger.enviaMsj("c1,1,2,3");
    stranger.enviaMsj("c1," + PingText("1e999", "-1"));
    stranger.enviaMsj("c1," + PingText("2", "x"));
    stranger.enviaMsj("nosuch," + PingText("2", "-1"));
    stranger.enviaMsj("c1," + PingText("2", "-7"));
    stranger.enviaMsj(" c1 ," + PingText("2", "-1"));
    ASSERT_TRUE(WaitUntil([&] { return b.Handled().size() == 1; }));
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "is no remote signal"), 4);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "names channel nosuch"), 1);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "names cell -7"), 1);

    // A length beyond the size cap ends that link only.
    const char kHugeClaim[] = "\xFF\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F";
    ASSERT_TRUE(stranger.SendBytes(kHugeClaim, sizeof(kHugeClaim) - 1));
    ASSERT_TRUE(WaitUntil(
        [&] { return CountLines(b.Notifier(), NP_ERRORS, "Error in the incomming socket") == 1; }));
    CBidirecSocket next;
    ASSERT_EQ(next.ConnectClient("127.0.0.2", nPort), 1);
    next.AttachArchives();
    next.enviaMsj("c1," + PingText("4", "-1"));
    ASSERT_TRUE(WaitUntil([&] { return b.Handled().size() == 2; }));
    // Instances share no clock: a signal from Q's past is handled at once.
    next.enviaMsj("c1," + PingText("3", "-1"));
    ASSERT_TRUE(WaitUntil([&] { return b.Handled().size() == 3; }));
    EXPECT_EQ(b.Handled(),
              (std::vector<std::string>{"ping@2.000000", "ping@4.000000", "ping@4.000000"}));
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "at time 3.000000 came after that agent's clock"),
              1);

    // A second instance at the same address and port cannot start.
    CPingPong c(1, "127.0.0.2", nPort);
    c.Engine().StartThread();
    ASSERT_TRUE(c.Engine().WaitForRunEnd(5000));
    EXPECT_EQ(c.Engine().GetLastThreadResult(), 1);
    EXPECT_EQ(CountLines(c.Notifier(), NP_SYSTEM, Format("the port %u for remote signals", nPort)),
              1);
    EXPECT_EQ(b.Engine().GetRunState(), RS_RUNNING);

    b.Engine().Stop();
    EXPECT_TRUE(b.Engine().WaitForRunEnd(3000));
}

TEST(EngineRemoteTest, LongMessagesAreReadAtOnceAndStopEndsTheRunInTime) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong b(1, "127.0.0.2", nPort);
    b.StartAndRun();
    ASSERT_TRUE(WaitUntil([&] { return b.Listening(); }));

    CBidirecSocket stranger;
    ASSERT_EQ(stranger.ConnectClient("127.0.0.2", nPort), 1);
    stranger.AttachArchives();
    // As long as a message may be, all commas: read at once, and no signal.
    stranger.enviaMsj("c1" + std::string(kMaxRemoteMessageLength - 2, ','));
    // One character more than a message may have: read past and refused.
    stranger.enviaMsj("c1" + std::string(kMaxRemoteMessageLength - 1, ','));
    // Generous: a parse that cut the text from its front took many seconds
    // for each of them.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return CountLines(b.Notifier(), NP_ERRORS, "is no remote signal") == 1 &&
                   CountLines(b.Notifier(), NP_ERRORS, "is longer than a remote signal may be") ==
                       1;
        },
        10s));
    // A message of 20 million characters that has only begun to arrive:
    // its reader waits inside it.
    std::string strPart("\xFF\xFE\xFF\xFF\xFF\xFF\x00\x2D\x31\x01", 10);
    strPart += std::string(64 * 1024, 'x');
    ASSERT_TRUE(stranger.SendBytes(strPart.data(), strPart.size()));
    std::this_thread::sleep_for(100ms);
    const auto tStop = Clock::now();
    b.Engine().Stop();
    EXPECT_TRUE(b.Engine().WaitForRunEnd(1000));
    EXPECT_LT(Clock::now() - tStop, 1s);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "Error in the incomming socket"), 0);
}

TEST(EngineRemoteTest, FloodsOfMalformedMessagesLeaveFewLinesAndAnOrderlyCloseNone) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong b(1, "127.0.0.2", nPort);
    b.StartAndRun();
    ASSERT_TRUE(WaitUntil([&] { return b.Listening(); }));

    // 10,000 messages that are no signal: the link is closed after the
    // first kMaxMalformedInARow, and what it sent was reported in a few
    // lines.
    std::string strFlood;
    for (int i = 0; i < 10000; ++i) {
        strFlood += EncodeSocketString("x");
    }
    CBidirecSocket stranger;
    ASSERT_EQ(stranger.ConnectClient("127.0.0.2", nPort), 1);
    stranger.SendBytes(strFlood.data(), strFlood.size());  // may fail once it is closed
    ASSERT_TRUE(WaitUntil([&] {
        return CountLines(b.Notifier(), NP_ERRORS, "no remote signals; it is closed") == 1;
    }));
    // A sender that goes in order after its signal: no failure.
    {
        CBidirecSocket genuine;
        ASSERT_EQ(genuine.ConnectClient("127.0.0.2", nPort), 1);
        genuine.AttachArchives();
        genuine.enviaMsj("c1," + PingText("2", "-1"));
    }
    ASSERT_TRUE(WaitUntil([&] { return b.Handled().size() == 1; }));
    std::this_thread::sleep_for(200ms);
    b.Engine().Stop();
    ASSERT_TRUE(b.Engine().WaitForRunEnd(3000));

    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "is no remote signal and is dropped"),
              kRemoteReportsPerKind);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS,
                         Format("Warning: %d more messages on port %u were no remote signals",
                                kMaxMalformedInARow - kRemoteReportsPerKind, nPort)),
              1);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "Error in the incomming socket"), 0);
    // Besides: the answer to the ping, which nobody takes.
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, ""), kRemoteReportsPerKind + 3);
}

TEST(EngineRemoteTest, AGenuineSignalAfter64SilentConnectionsIsDelivered) {
    const unsigned int nPort = UnusedPort();
    ASSERT_NE(nPort, 0u);
    CPingPong b(1, "127.0.0.2", nPort);
    b.StartAndRun();
    ASSERT_TRUE(WaitUntil([&] { return b.Listening(); }));
    CSDLRemoteLinks& links = b.Engine().GetRemoteLinks();
    std::vector<std::unique_ptr<CBidirecSocket>> vecSilent;
    for (size_t i = 0; i < kMaxRemoteConnections; ++i) {
        vecSilent.push_back(std::make_unique<CBidirecSocket>());
        ASSERT_EQ(vecSilent.back()->ConnectClient("127.0.0.2", nPort), 1);
        ASSERT_TRUE(WaitUntil([&] { return links.GetConnectionCount() == i + 1; }));
    }

    CPingPong a(1, "127.0.0.1", nPort);
    a.StartAndRun();
    ASSERT_TRUE(WaitUntil([&] { return b.Handled().size() == 1 && a.Handled().size() == 1; }));
    EXPECT_EQ(b.Handled(), std::vector<std::string>{"ping@2.000000"});
    // The first silent one made room.
    EXPECT_TRUE(WaitUntil([&] { return vecSilent.front()->CheckPeer() == SP_CLOSED; }));
    EXPECT_EQ(vecSilent.back()->CheckPeer(), SP_OPEN);
    EXPECT_EQ(links.GetConnectionCount(), kMaxRemoteConnections);
    EXPECT_EQ(CountLines(b.Notifier(), NP_ERRORS, "closed to make room"), 1);

    a.Engine().Stop();
    b.Engine().Stop();
    EXPECT_TRUE(a.Engine().WaitForRunEnd(3000));
    EXPECT_TRUE(b.Engine().WaitForRunEnd(3000));
}

}  // namespace
