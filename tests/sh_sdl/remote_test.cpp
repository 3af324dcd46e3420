// Runs of one model by two simulator instances: two engines in this process,
// one at 127.0.0.1 and one at 127.0.0.2, whose signals cross over loopback;
// bursts through many links, into a paused instance and both ways at once;
// sends that cannot connect, a Stop during a connect that hangs, and what a
// stranger may send to a listener.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "optest_model.h"
#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "support/blockingcall.h"
#include "support/fakemodellibrary.h"
#include "support/filebytes.h"
#include "support/lostsignals.h"
#include "support/recordingnotifier.h"
#include "support/tempfolder.h"
#include "test_helpers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velkotest::CountSignalsLost;

// Bursts long enough to fill every buffer on the way; under the sanitizers,
// which make each signal many times slower, fewer. Those that must fill a
// paused receiver's bounds and buffers carry kFillingBytes each (under the
// sanitizers about 1,900 fill them, half of kFillingSignals).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kManySignals = 20000;
constexpr int kFillingSignals = 4000;
constexpr size_t kFillingBytes = 8000;
#else
constexpr int kManySignals = 100000;
constexpr int kFillingSignals = kManySignals;
constexpr size_t kFillingBytes = 1000;
#endif
// How long a wait goes on with nothing changing (a busy machine slows the
// work down, but does not stop it), and how long two instances that wait on
// each other stand still before a test takes them to.
constexpr auto kStall = std::chrono::seconds(60);
#if defined(__SANITIZE_THREAD__)
constexpr auto kStillAtTheBound = std::chrono::seconds(5);
#else
constexpr auto kStillAtTheBound = std::chrono::seconds(1);
#endif
// How soon a Stop ends a run, whatever the peers do, on a busy machine;
// the sanitizers slow every step.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kStopBound = std::chrono::seconds(4);
#else
constexpr auto kStopBound = std::chrono::seconds(2);
#endif

// A port nothing listens on now, below the range the system takes the
// ports of outgoing links from: the links of tests running beside this one
// could otherwise take it before its instances bind it.
unsigned int UnusedPort() {
    unsigned int nFirstEphemeral = 32768;
    if (std::FILE* pRange = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(pRange, "%u", &nFirstEphemeral) != 1) {
            nFirstEphemeral = 32768;
        }
        std::fclose(pRange);
    }
    const unsigned int nLow = 10000;
    if (nFirstEphemeral <= nLow + 1000) {
        nFirstEphemeral = 65536;  // no room below it: anywhere above nLow
    }
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<unsigned int> pick(nLow, nFirstEphemeral - 1);
    for (int nTry = 0; nTry < 200; ++nTry) {
        const unsigned int nPort = pick(random);
        CBidirecSocket probe;
        if (probe.CreateServer(nPort, "127.0.0.1")) {
            return nPort;
        }
    }
    return 0;
}

int CountLines(const CRecordingNotifier& notifier, NotifyPane ePane, const std::string& strPart) {
    int nCount = 0;
    for (const auto& line : notifier.GetLines()) {
        nCount += (line.ePane == ePane && line.strLine.find(strPart) != std::string::npos) ? 1 : 0;
    }
    return nCount;
}

// Waits until fnCount, once past 1, has stayed the same for tStill; false
// when it stays at 1 or less for tStall. A burst's count stands still at 0 or
// 1 while its first signal's link is being made, which on a busy machine can
// take longer than tStill: only a second signal says that the first is out.
bool WaitUntilStill(const std::function<long long()>& fnCount, std::chrono::milliseconds tStill,
                    std::chrono::milliseconds tStall = kStall) {
    long long nLast = fnCount();
    auto tSince = Clock::now();
    for (;;) {
        std::this_thread::sleep_for(20ms);
        const long long nNow = fnCount();
        const auto tNow = Clock::now();
        if (nNow != nLast) {
            nLast = nNow;
            tSince = tNow;
        } else if (tNow - tSince >= (nNow > 1 ? tStill : tStall)) {
            return nNow > 1;
        }
    }
}

// Waits until fnDone holds, for as long as fnProgress keeps changing: false
// once it has stood still for tStall. A busy machine slows a burst down, but
// does not stop it.
bool WaitWhileProgressing(const std::function<bool()>& fnDone,
                          const std::function<long long()>& fnProgress,
                          std::chrono::milliseconds tStall = kStall) {
    long long nLast = fnProgress();
    auto tSince = Clock::now();
    while (!fnDone()) {
        if (Clock::now() - tSince >= tStall) {
            return fnDone();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const long long nNow = fnProgress();
        if (nNow != nLast) {
            nLast = nNow;
            tSince = Clock::now();
        }
    }
    return true;
}

// One instance's copy of a model: an engine set up as the instance at
// strOwnAddress of a distributed run (mode 1), or for a local run (mode 0).
class CInstance {
public:
    CInstance(int nMode, const std::string& strOwnAddress, bool bTrace) {
        CSDLEngine& engine = m_model.Engine();
        engine.m_strModelFolder = m_folder.GetPath();
        engine.m_strModelName = "Remote";
        engine.m_bExecutionTrace = bTrace;
        engine.m_nIPMode = nMode;
        engine.m_strIPAddress = strOwnAddress;
        engine.m_nEndMode = EM_BY_TIME;
        engine.m_dEndTime = 100.0;
        engine.SetListener(&m_listener);
    }
    virtual ~CInstance() = default;
    CInstance(const CInstance&) = delete;
    CInstance& operator=(const CInstance&) = delete;

    CSDLEngine& Engine() { return m_model.Engine(); }
    CRecordingNotifier& Notifier() { return m_model.Notifier(); }
    const std::string& Trace() { return m_model.Sink().m_strText; }
    size_t Steps() { return m_listener.Steps().size(); }
    // The signals its Errors lines count as lost; those of the lines that
    // hold strPart, as up to so many or exactly.
    long long Lost() { return CountSignalsLost(Notifier()); }
    long long LostIn(const std::string& strPart, bool bUpTo) {
        long long nLost = 0;
        for (const auto& line : Notifier().GetLines()) {
            const bool bLineUpTo = line.strLine.find("up to") != std::string::npos;
            if (line.ePane == NP_ERRORS && line.strLine.find(strPart) != std::string::npos &&
                bLineUpTo == bUpTo) {
                nLost += velkotest::SignalsLostInLine(line.strLine);
            }
        }
        return nLost;
    }
    // The same, of the lines about signals sent to strHost (its port's).
    long long LostTo(const std::string& strHost) {
        long long nLost = 0;
        for (const auto& line : Notifier().GetLines()) {
            if (line.ePane == NP_ERRORS &&
                line.strLine.find(" to " + strHost + ":") != std::string::npos) {
                nLost += velkotest::SignalsLostInLine(line.strLine);
            }
        }
        return nLost;
    }
    int ErrorLines(const std::string& strPart = "") {
        return CountLines(Notifier(), NP_ERRORS, strPart);
    }
    std::string FirstErrorLine() {
        for (const auto& line : Notifier().GetLines()) {
            if (line.ePane == NP_ERRORS) {
                return line.strLine;
            }
        }
        return "(none)";
    }
    void StartAndRun() {
        Engine().StartThread();
        Engine().Run();
    }
    bool Listening() { return !Engine().GetRemoteLinks().GetListeningPorts().empty(); }
    // Waits until its run listens, which on a busy machine under the
    // sanitizers can take seconds; a run that cannot start says so at once.
    bool WaitListening() {
        WaitWhileProgressing([&] { return Listening() || StartFailure() != "(none)"; },
                             [&] { return Activity(); });
        return Listening();
    }
    // What changes while it works: its run's state and steps, its lines,
    // the links it serves and sends on, and what its model counts.
    virtual long long Activity() {
        CSDLRemoteLinks& links = Engine().GetRemoteLinks();
        return static_cast<long long>(Engine().GetRunState()) +
               static_cast<long long>(Steps() + Notifier().GetLines().size() +
                                      links.GetConnectionCount(true) +
                                      links.CountLinksTakingSignals());
    }
    std::string StartFailure() {
        for (const auto& line : Notifier().GetLines()) {
            if (line.ePane == NP_SYSTEM &&
                line.strLine.find("could not start") != std::string::npos) {
                return line.strLine;
            }
        }
        return "(none)";
    }

protected:
    CSDLProcess* AddProcess(const std::string& strName, int nId, const std::string& strIP,
                            unsigned int nPort) {
        CSDLProcess* pProcess = m_model.AddProcess(nullptr, strName, nId);
        pProcess->m_strIP = strIP;
        pProcess->m_nPort = static_cast<int>(nPort);
        m_model.Engine().m_mapProcesses[pProcess->GetFullName(false)] = pProcess;
        return pProcess;
    }
    // Both ends join different IP texts: the model reader would have
    // cleared their local delivery.
    static CSDLChannelOut* Link(CSDLAgent* pFrom, CSDLAgent* pTo, const std::string& strName,
                                const char* pszSignal) {
        auto [pOut, pIn] = sdltest::CTestModel::Connect(pFrom, pTo, strName, {pszSignal});
        pOut->m_bLocalDelivery = false;
        pIn->m_bLocalDelivery = false;
        return pOut;
    }

    velkotest::CTempFolder m_folder;
    sdltest::CRecordingListener m_listener;
    sdltest::CTestModel m_model;
};

// Two processes that listen on one port: P (IP 127.0.0.1) sends "ping"
// through c1 to Q (IP 127.0.0.2) at time 2, with a parameter whose text
// holds a comma, a percent sign and blanks; Q answers "pong" through c2 one
// time unit later. R (IP 127.0.0.3, run by neither instance) has an initial
// "tick" at time 10. Each handled signal is recorded as "signal@clock".
class CPingPong : public CInstance {
public:
    CPingPong(int nMode, const std::string& strOwnAddress, unsigned int nPort)
        : CInstance(nMode, strOwnAddress, true) {
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

        Engine().SetLibraryFactory([this, strPongTask, strPingTask, strTickTask, pR] {
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

    CSDLProcess* P() const { return m_pP; }
    CSDLChannelOut* C1() const { return m_pC1; }
    long long Activity() override {
        return CInstance::Activity() + static_cast<long long>(Handled().size());
    }
    std::vector<std::string> Handled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecHandled;
    }

private:
    int Record(const char* pszSignal, const CSDLProcess* pProcess) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecHandled.push_back(Format("%s@%f", pszSignal, pProcess->m_dClock));
        return 0;
    }

    std::mutex m_mutex;
    std::vector<std::string> m_vecHandled;
    CSDLProcess* m_pP = nullptr;
    CSDLProcess* m_pQ = nullptr;
    CSDLChannelOut* m_pC1 = nullptr;
};

// The shape of a burst: nEnds senders P<k>, each at an address of vecFrom
// in turn, that send "sig" to a receiver Q at strTo, each through a channel
// of its own; and, both ways, as many S<k> at strTo to R at vecFrom's
// first. Each sender sends nPerStep signals a step, faster than one
// receiver handles them when nEnds * nPerStep is above 1; the senders of
// one side send nSignals in all, every one at time 0 (so that none comes
// after its receiver's clock), each with a parameter of nParamBytes
// characters when above 0.
struct SBurstShape {
    std::vector<std::string> vecFrom{"127.0.0.1"};
    std::string strTo = "127.0.0.2";
    int nEnds = 1;
    int nPerStep = 1;
    int nSignals = 0;
    bool bBothWays = false;
    size_t nParamBytes = 0;
};

// One instance's copy of a burst model. Each receiver counts what it
// handles. Each run sends the bursts again; with EndWhenSent, a run ends by
// itself once this instance's senders have sent their share.
class CBurst : public CInstance {
public:
    CBurst(const std::string& strOwnAddress, unsigned int nPort, const SBurstShape& shape)
        : CInstance(1, strOwnAddress, false), m_nEnds(shape.nEnds), m_nPerStep(shape.nPerStep) {
        AddSide(shape.vecFrom, "P", "Q", "c", shape.strTo, nPort, shape, 0);
        if (shape.bBothWays) {
            AddSide({shape.strTo}, "S", "R", "d", shape.vecFrom.front(), nPort, shape, 10000);
        }
        Engine().SetLibraryFactory([this] {
            auto pLibrary = std::make_unique<CFakeModelLibrary>();
            for (SSender& sender : m_vecSenders) {
                sender.nLeft = sender.nQuota;
                pLibrary->SetDecision(sender.strDecision, [this, &sender](CFakeModelLibrary&) {
                    if (sender.nLeft == 0) {
                        return sender.nDone;
                    }
                    sender.nLeft -= m_nPerStep;
                    *m_pSent += m_nPerStep;
                    return sender.nSend;
                });
            }
            for (const std::string& strTask : m_vecReceiveTasks) {
                pLibrary->SetTask(strTask, [this](CFakeModelLibrary&) {
                    ++*m_pReceived;
                    return 0;
                });
            }
            return std::unique_ptr<CModelLibrary>(std::move(pLibrary));
        });
        SetSignals(shape.nSignals);
    }
    CBurst(const std::string& strOwnAddress, unsigned int nPort, int nEnds, int nPerStep,
           int nSignals, bool bBothWays)
        : CBurst(strOwnAddress, nPort, [&] {
              SBurstShape shape;
              shape.nEnds = nEnds;
              shape.nPerStep = nPerStep;
              shape.nSignals = nSignals;
              shape.bBothWays = bBothWays;
              return shape;
          }()) {}

    void StartAndRun() {
        *m_pSent = 0;
        *m_pReceived = 0;
        CInstance::StartAndRun();
    }
    // The run ends before what its model library uses goes.
    ~CBurst() override {
        Engine().Stop();
        Engine().WaitForRunEnd(60000);
    }
    // Counts what it sends and handles where another process sees it.
    void CountInto(std::atomic<long long>* pSent, std::atomic<long long>* pReceived) {
        m_pSent = pSent;
        m_pReceived = pReceived;
    }
    // The signals each side sends from the next run on.
    void SetSignals(int nSignals) {
        for (SSender& sender : m_vecSenders) {
            const int nSteps = nSignals / m_nPerStep;
            sender.nQuota =
                (nSteps / m_nEnds + (sender.nIndex <= nSteps % m_nEnds ? 1 : 0)) * m_nPerStep;
        }
    }
    // Ends each run by itself once this instance's senders have sent all
    // (and nothing else has stepped it).
    void EndWhenSent() {
        // A step for each burst, and one that ends it; the senders of one
        // instance step together. The run ends after the step that reaches
        // the limit, counted from 0.
        long long nSteps = 0;
        for (const SSender& sender : m_vecSenders) {
            if (sender.strFrom == Engine().m_strIPAddress) {
                nSteps = std::max<long long>(nSteps, sender.nQuota / m_nPerStep + 1);
            }
        }
        Engine().m_nEndMode = EM_BY_LOOPS;
        Engine().m_nLoopLimit = nSteps - 1;
    }
    // Signals this instance's senders sent, and its receiver handled, in
    // this run.
    long long Sent() const { return *m_pSent; }
    long long Received() const { return *m_pReceived; }
    long long Activity() override { return CInstance::Activity() + Sent() + Received(); }

private:
    struct SSender {
        int nIndex = 0;  // k of P<k>
        std::string strFrom;
        std::string strDecision;
        int nQuota = 0;
        int nLeft = 0;
        int nSend = 0;  // the operation that sends
        int nDone = 0;  // the operation after the burst
    };

    void AddSide(const std::vector<std::string>& vecFrom, const char* pszSender,
                 const char* pszReceiver, const char* pszChannel, const std::string& strTo,
                 unsigned int nPort, const SBurstShape& shape, int nIdBase) {
        CSDLProcess* pReceiver = AddProcess(pszReceiver, nIdBase + 1, strTo, nPort);
        optest::CChain start(pReceiver, "start");
        start.Start(nIdBase + 1);
        start.SetState(nIdBase + 2, "Idle");
        optest::CChain idle(pReceiver, "Idle");
        idle.Input(nIdBase + 3, "sig");
        m_vecReceiveTasks.push_back(idle.Task(nIdBase + 4)->GetCodeID());
        idle.SetState(nIdBase + 5, "Idle");
        const int nEnds = shape.nEnds;
        m_vecSenders.reserve(m_vecSenders.size() + static_cast<size_t>(nEnds));
        for (int k = 1; k <= nEnds; ++k) {
            // Operation ids of its own: code IDs do not name the process.
            const int nBase = nIdBase + 100 * k;
            const std::string& strFrom = vecFrom[static_cast<size_t>(k - 1) % vecFrom.size()];
            CSDLProcess* pSender = AddProcess(Format("%s%d", pszSender, k), nBase, strFrom, nPort);
            const std::string strChannel = Format("%s%d", pszChannel, k);
            Link(pSender, pReceiver, strChannel, "sig");
            optest::CChain senderStart(pSender, "start");
            senderStart.Start(nBase + 1);
            senderStart.Output(nBase + 2, "tick")->m_strSelf = "yes";
            senderStart.SetState(nBase + 3, "Loop");
            optest::CChain loop(pSender, "Loop");
            loop.Input(nBase + 4, "tick");
            SSender sender;
            sender.nIndex = k;
            sender.strFrom = strFrom;
            const int nDone = nBase + 10 + m_nPerStep + 2;
            sender.strDecision = loop.Decision(nBase + 5, nBase + 10, nDone)->GetCodeID();
            sender.nSend = nBase + 10;
            sender.nDone = nDone;
            m_vecSenders.push_back(sender);
            for (int i = 0; i < m_nPerStep; ++i) {
                CSDLOperationOutput* pOutput = loop.Output(nBase + 10 + i, "sig");
                pOutput->m_strVia = "'" + strChannel + "'";
                if (shape.nParamBytes > 0) {
                    optest::AddUserParam(pOutput, "load", std::string(shape.nParamBytes, 'x'));
                }
            }
            loop.Output(nDone - 2, "tick")->m_strSelf = "yes";
            loop.SetState(nDone - 1, "Loop");
            loop.SetState(nDone, "Done");
        }
    }

    int m_nEnds = 1;
    int m_nPerStep = 1;
    std::vector<SSender> m_vecSenders;
    std::vector<std::string> m_vecReceiveTasks;
    std::atomic<long long> m_nSent{0};
    std::atomic<long long> m_nReceived{0};
    std::atomic<long long>* m_pSent = &m_nSent;
    std::atomic<long long>* m_pReceived = &m_nReceived;
};

// P (127.0.0.1) sends "sig" through c1 to Q (127.0.0.2) nSignals times in
// one transition, each with a parameter of nParamBytes characters when above
// 0: a loop of one output, its decision counting the outputs made. Q counts
// what it handles.
class CLongTransition : public CInstance {
public:
    CLongTransition(const std::string& strOwnAddress, unsigned int nPort, long long nSignals,
                    size_t nParamBytes = 0)
        : CInstance(1, strOwnAddress, false), m_nSignals(nSignals) {
        CSDLProcess* pP = AddProcess("P", 1, "127.0.0.1", nPort);
        CSDLProcess* pQ = AddProcess("Q", 2, "127.0.0.2", nPort);
        Link(pP, pQ, "c1", "sig");
        optest::CChain start(pP, "start");
        start.Start(1);
        start.Output(2, "tick")->m_strSelf = "yes";
        start.SetState(3, "Loop");
        // Input, decision, the end, then the output and a decision again
        // that goes back to it or to the end: all in one transition.
        optest::CChain loop(pP, "Loop");
        loop.Input(4, "tick");
        const std::string strFirst = loop.Decision(5, 6, 7)->GetCodeID();
        loop.SetState(7, "Done");
        CSDLOperationOutput* pSig = loop.Output(6, "sig");
        pSig->m_strVia = "'c1'";
        if (nParamBytes > 0) {
            optest::AddUserParam(pSig, "load", std::string(nParamBytes, 'x'));
        }
        const std::string strAgain = loop.Decision(8, 6, 7)->GetCodeID();
        optest::CChain qStart(pQ, "start");
        qStart.Start(11);
        qStart.SetState(12, "Idle");
        optest::CChain idle(pQ, "Idle");
        idle.Input(13, "sig");
        const std::string strCount = idle.Task(14)->GetCodeID();
        idle.SetState(15, "Idle");
        Engine().SetLibraryFactory([this, strFirst, strAgain, strCount] {
            auto pLibrary = std::make_unique<CFakeModelLibrary>();
            for (const std::string& strMore : {strFirst, strAgain}) {
                pLibrary->SetDecision(strMore, [this](CFakeModelLibrary&) {
                    if (m_nMade == m_nSignals) {
                        return 7;
                    }
                    ++m_nMade;
                    return 6;
                });
            }
            pLibrary->SetTask(strCount, [this](CFakeModelLibrary&) {
                ++m_nReceived;
                return 0;
            });
            return std::unique_ptr<CModelLibrary>(std::move(pLibrary));
        });
    }
    ~CLongTransition() override {
        Engine().Stop();
        Engine().WaitForRunEnd(60000);
    }
    // The outputs made (each a signal the channel accepted), and the
    // signals handled.
    long long Made() const { return m_nMade; }
    long long Received() const { return m_nReceived; }
    long long Activity() override { return CInstance::Activity() + Made() + Received(); }

private:
    const long long m_nSignals;
    std::atomic<long long> m_nMade{0};
    std::atomic<long long> m_nReceived{0};
};

// A signal's remote text with the given execution time and cell.
std::string PingText(const std::string& strTime, const std::string& strCell) {
    return Format("0,0,%s,0,c1,,0,true,ping,,Q,%s,", strTime.c_str(), strCell.c_str());
}

// What an instance in a process of its own shows the test.
struct SSharedCounts {
    std::atomic<long long> nSent{0};
    std::atomic<long long> nReceived{0};
    std::atomic<bool> bListening{false};
    std::atomic<bool> bPaused{false};
};

// A process of its own, forked before the test makes any thread, that runs
// fnRun once the test says so, and that the test kills (it dies with the
// test too).
class CChildProcess {
public:
    explicit CChildProcess(const std::function<void(SSharedCounts&)>& fnRun) {
        void* pShared = ::mmap(nullptr, sizeof(SSharedCounts), PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        m_pCounts = pShared == MAP_FAILED ? nullptr : new (pShared) SSharedCounts;
        int anGo[2] = {-1, -1};
        if (!m_pCounts || ::pipe(anGo) != 0) {
            return;
        }
        m_nPid = ::fork();
        if (m_nPid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(anGo[1]);
            char ch = 0;
            if (::read(anGo[0], &ch, 1) == 1) {
                fnRun(*m_pCounts);
            }
            ::_exit(0);
        }
        ::close(anGo[0]);
        m_nGo = anGo[1];
    }
    ~CChildProcess() {
        Kill();
        if (m_nGo >= 0) {
            ::close(m_nGo);
        }
        if (m_pCounts) {
            ::munmap(m_pCounts, sizeof(SSharedCounts));
        }
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool IsRunning() const { return m_nPid > 0; }
    void Go() { EXPECT_EQ(::write(m_nGo, "g", 1), 1); }
    void Kill() {
        if (m_nPid > 0) {
            ::kill(m_nPid, SIGKILL);
            ::waitpid(m_nPid, nullptr, 0);
            m_nPid = -1;
        }
    }
    // Stops the process, as a machine that hangs; it is killed at the end.
    bool Freeze() {
        int nStatus = 0;
        return m_nPid > 0 && ::kill(m_nPid, SIGSTOP) == 0 &&
               ::waitpid(m_nPid, &nStatus, WUNTRACED) == m_nPid && WIFSTOPPED(nStatus);
    }
    SSharedCounts& Counts() { return *m_pCounts; }

    // In the child: runs a burst instance at strAddress, counting where the
    // test sees it, and pauses it once it has handled nPauseAt (0: never);
    // it lives until it is killed.
    static void RunBurst(SSharedCounts& counts, const std::string& strAddress, unsigned int nPort,
                         const SBurstShape& shape, long long nPauseAt);

private:
    pid_t m_nPid = -1;
    int m_nGo = -1;
    SSharedCounts* m_pCounts = nullptr;
};

void CChildProcess::RunBurst(SSharedCounts& counts, const std::string& strAddress,
                             unsigned int nPort, const SBurstShape& shape, long long nPauseAt) {
    CBurst instance(strAddress, nPort, shape);
    instance.CountInto(&counts.nSent, &counts.nReceived);
    instance.StartAndRun();
    while (!instance.Listening()) {
        std::this_thread::sleep_for(1ms);
    }
    counts.bListening = true;
    while (nPauseAt > 0 && counts.nReceived < nPauseAt) {
        std::this_thread::sleep_for(1ms);
    }
    if (nPauseAt > 0) {
        instance.Engine().Pause();
        counts.bPaused = true;
    }
    for (;;) {
        std::this_thread::sleep_for(1s);
    }
}

// Each test has a port of its own; the instances it makes are stopped at its
// end, and each run must end within 3 s of its Stop.
class EngineRemoteTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_nPort = UnusedPort();
        ASSERT_NE(m_nPort, 0u);
    }
    void TearDown() override {
        for (auto& pInstance : m_vecInstances) {
            pInstance->Engine().Stop();
        }
        for (auto& pInstance : m_vecInstances) {
            EXPECT_TRUE(pInstance->Engine().WaitForRunEnd(3000));
        }
    }

    template <class TInstance, class... TArgs>
    TInstance& Make(TArgs&&... args) {
        auto pInstance = std::make_unique<TInstance>(std::forward<TArgs>(args)...);
        TInstance& rInstance = *pInstance;
        m_vecInstances.push_back(std::move(pInstance));
        return rInstance;
    }
    // An instance that runs and listens.
    template <class TInstance, class... TArgs>
    TInstance& Running(TArgs&&... args) {
        TInstance& rInstance = Make<TInstance>(std::forward<TArgs>(args)...);
        rInstance.StartAndRun();
        EXPECT_TRUE(rInstance.WaitListening())
            << "the run binds its port: " << rInstance.StartFailure();
        return rInstance;
    }
    // A stranger's link to the instance at strAddress.
    std::unique_ptr<CBidirecSocket> Stranger(const char* pszAddress = "127.0.0.2") {
        auto pLink = std::make_unique<CBidirecSocket>();
        EXPECT_EQ(pLink->ConnectClient(pszAddress, m_nPort), 1);
        pLink->AttachArchives();
        return pLink;
    }
    // What changes while the test's instances work.
    long long Activity() {
        long long nActivity = 0;
        for (auto& pInstance : m_vecInstances) {
            nActivity += pInstance->Activity();
        }
        return nActivity;
    }
    // Waits until fnDone holds, for as long as the instances' activity (and
    // fnMore's, when given) keeps changing.
    bool WaitFor(const std::function<bool()>& fnDone,
                 const std::function<long long()>& fnMore = {}) {
        return WaitWhileProgressing(fnDone, [&] { return Activity() + (fnMore ? fnMore() : 0); });
    }
    // A link of the protocol to the instance at 127.0.0.2, made by hand: its
    // signal link, which opens as channel c1 of the instance at
    // strInstance, and its count link.
    std::pair<std::unique_ptr<CBidirecSocket>, std::unique_ptr<CBidirecSocket>> ProtocolLink(
        const std::string& strInstance = "127.0.0.1") {
        const std::string strToken = NewRemoteToken();
        std::pair<std::unique_ptr<CBidirecSocket>, std::unique_ptr<CBidirecSocket>> link{
            Stranger(), Stranger()};
        link.first->enviaMsj(MakeRemoteOpening({strToken, strInstance, "c1", "sys"}));
        link.second->enviaMsj(MakeRemoteCountsOpening(strToken));
        return link;
    }
    // The message of a signal "sig" through c1.
    static std::string SigMessage() {
        CSDLEvent sig;
        sig.m_strName = "sig";
        return "c1," + sig.GetRemoteText();
    }
    // Stops both runs at once; true when each ended within tWait of it.
    static bool StopBoth(CInstance& a, CInstance& b, std::chrono::milliseconds tWait) {
        const auto tStop = Clock::now();
        a.Engine().Stop();
        b.Engine().Stop();
        const bool bEnded = a.Engine().WaitForRunEnd(static_cast<int>(tWait.count())) &&
                            b.Engine().WaitForRunEnd(static_cast<int>(tWait.count()));
        return bEnded && Clock::now() - tStop < tWait;
    }

    unsigned int m_nPort = 0;
    std::vector<std::unique_ptr<CInstance>> m_vecInstances;
};

TEST_F(EngineRemoteTest, TwoInstancesExchangeAndAnswerRunAfterRun) {
    // Both instances listen on the same port number, each at its own address.
    CPingPong& a = Make<CPingPong>(1, "127.0.0.1", m_nPort);
    CPingPong& b = Make<CPingPong>(1, "127.0.0.2", m_nPort);
    for (size_t nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(Format("run %zu", nRun));
        // B has nothing to do until the ping comes: idle, it waits instead of
        // ending its run or stepping for nothing.
        b.StartAndRun();
        ASSERT_TRUE(b.WaitListening()) << "the next run binds again: " << b.StartFailure();
        a.StartAndRun();
        ASSERT_TRUE(WaitFor([&] { return a.Handled().size() == nRun; }));
        // An instance that waits for the others has its trace so far on disk.
        const std::string strTracePath = b.Engine().GetTracePath();
        EXPECT_TRUE(WaitFor([&] {
            return velkotest::ReadFileBytes(strTracePath)
                       .find("<input time=\"2.000000\" process=\"Q\" name=\"ping\"") !=
                   std::string::npos;
        })) << strTracePath;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(a.Engine().GetRunState(), RS_RUNNING);
        EXPECT_EQ(b.Engine().GetRunState(), RS_RUNNING);

        EXPECT_TRUE(StopBoth(a, b, 2s));
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
    // The links ended in order with the runs: nothing was lost.
    EXPECT_EQ(a.ErrorLines(), 0) << a.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines(), 0) << b.FirstErrorLine();
}

TEST_F(EngineRemoteTest, LocalRunBindsNothingAndRunsEveryProcessHere) {
    CPingPong& model = Make<CPingPong>(0, "", m_nPort);
    model.Engine().StartThread();
    ASSERT_TRUE(WaitFor([&] { return model.Engine().GetRunState() == RS_INITIALIZED; }));
    EXPECT_FALSE(model.Listening());
    EXPECT_EQ(model.C1()->m_strHost, "");
    for (const char* pszAddress : {"127.0.0.1", "127.0.0.2"}) {
        CBidirecSocket probe;
        EXPECT_TRUE(probe.CreateServer(m_nPort, pszAddress) && probe.Listen()) << pszAddress;
    }
    model.Engine().Run();
    ASSERT_TRUE(model.Engine().WaitForRunEnd(5000));
    EXPECT_EQ(model.Handled(),
              (std::vector<std::string>{"ping@2.000000", "pong@3.000000", "tick@10.000000"}));
    EXPECT_EQ(model.ErrorLines(), 0);
}

// 70 output ends into one port, more than the strangers' room: the port
// serves them all at once, and 100,000 signals arrive whole.
TEST_F(EngineRemoteTest, SeventyOutputEndsIntoOnePortLoseNothing) {
    constexpr int kSignals = kManySignals;
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, 70, 1, kSignals, false);
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, 70, 1, kSignals, false);
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() == kSignals; },
                                     [&] { return b.Received(); }))
        << b.Received();
    EXPECT_EQ(a.Sent(), kSignals);
    EXPECT_EQ(a.ErrorLines(), 0) << a.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines(), 0) << b.FirstErrorLine();
}

// A receiver paused longer than a send ever waited before: the sender waits
// instead of dropping signals, and strangers that crowd the port meanwhile
// close none of its links. A Stop during such a wait ends both runs at once.
TEST_F(EngineRemoteTest, APausedReceiverMakesTheSenderWaitAndLosesNothing) {
    // Signals of 1,000 characters: far fewer than the burst fill every
    // buffer on the way.
    constexpr int kSignals = kFillingSignals;
    SBurstShape shape;
    shape.nSignals = kSignals;
    shape.nParamBytes = kFillingBytes;
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, shape);
    b.Engine().Pause();  // at its first signal
    const auto tPause = Clock::now();
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, shape);
    ASSERT_TRUE(WaitUntilStill([&] { return a.Sent(); }, 500ms)) << "the sender waits";
    EXPECT_LT(a.Sent(), kSignals);

    // The port has room for as many strangers as it serves beside the
    // model's own links; one more makes it close the one silent longest.
    CSDLRemoteLinks& links = b.Engine().GetRemoteLinks();
    std::vector<std::unique_ptr<CBidirecSocket>> vecStrangers;
    for (size_t i = 0; i <= kMaxRemoteConnections; ++i) {
        vecStrangers.push_back(Stranger());
        if (i < kMaxRemoteConnections) {
            ASSERT_TRUE(WaitFor([&] { return links.GetConnectionCount() == i + 2; }));
        }
    }
    EXPECT_TRUE(WaitFor([&] { return vecStrangers.front()->CheckPeer() == SP_CLOSED; }));
    EXPECT_EQ(vecStrangers.back()->CheckPeer(), SP_OPEN);
    EXPECT_EQ(links.GetConnectionCount(), kMaxRemoteConnections + 1);

    // Longer than the 5 s a send used to wait before it gave the signal up.
    std::this_thread::sleep_until(tPause + 7s);
    b.Engine().Resume();
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() == kSignals; },
                                     [&] { return b.Received(); }))
        << b.Received();
    EXPECT_EQ(a.Sent(), kSignals);
    EXPECT_EQ(a.ErrorLines(), 0) << a.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines(), 1) << b.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines("closed to make room"), 1);
    EXPECT_TRUE(StopBoth(a, b, 3s));

    // Again, and both are stopped while the sender waits.
    b.StartAndRun();
    ASSERT_TRUE(b.WaitListening()) << b.StartFailure();
    b.Engine().Pause();
    a.StartAndRun();
    ASSERT_TRUE(WaitUntilStill([&] { return a.Sent(); }, 500ms));
    EXPECT_LT(a.Sent(), kSignals);
    EXPECT_TRUE(StopBoth(a, b, kStopBound));
    // What the receiver had not handled its sender counts, once it has
    // taken the receiver's last count.
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() + a.Lost() + b.Lost() == a.Sent(); },
                                     [&] { return b.Received() + a.Lost() + b.Lost(); }))
        << b.Received() << " + " << a.Lost() << " + " << b.Lost() << " of " << a.Sent();
    EXPECT_GT(a.Lost(), 0);
}

// Each instance sends 100,000 signals to the other while the other does the
// same: each takes in what comes while it waits to send.
TEST_F(EngineRemoteTest, TwoInstancesSendingToEachOtherAtOnceBothGoOn) {
    constexpr int kSignals = kManySignals;
    CBurst& a = Make<CBurst>("127.0.0.1", m_nPort, 1, 4, kSignals, true);
    CBurst& b = Make<CBurst>("127.0.0.2", m_nPort, 1, 4, kSignals, true);
    a.Engine().StartThread();
    b.Engine().StartThread();
    ASSERT_TRUE(a.WaitListening() && b.WaitListening()) << a.StartFailure() << b.StartFailure();
    a.Engine().Run();
    b.Engine().Run();
    EXPECT_TRUE(
        WaitWhileProgressing([&] { return a.Received() == kSignals && b.Received() == kSignals; },
                             [&] { return a.Received() + b.Received(); }))
        << a.Received() << " " << b.Received();
    EXPECT_EQ(a.Sent(), kSignals);
    EXPECT_EQ(b.Sent(), kSignals);
    EXPECT_EQ(a.ErrorLines(), 0) << a.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines(), 0) << b.FirstErrorLine();
}

TEST_F(EngineRemoteTest, RefusedSendReturnsErrorSocketAndTheNextSendConnects) {
    CPingPong& model = Make<CPingPong>(1, "127.0.0.1", m_nPort);
    model.P()->InitCommon();
    CSDLChannelOut* pC1 = model.C1();
    ASSERT_EQ(pC1->m_strHost, "127.0.0.2");
    ASSERT_EQ(pC1->m_nPort, static_cast<int>(m_nPort));

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
    // Bytes that are no UTF-8 arrive as they were.
    event.m_mapUserParams["bytes"] =
        std::make_unique<CSDLParameter>("char*", "bytes", "caf\xE9 \xF0\x9F\x98", "no");
    // Fields go in runs of what needs no escape: random texts of separators,
    // blanks, escapes, control bytes and UTF-8 whole, cut and none come back
    // byte for byte.
    {
        std::mt19937 random(47);
        const std::string strPool("a ,%\x01\x7F\xC3\xA9\xE9\xF0\x9F\x98\x80\xEF\xBF\xBD", 16);
        const std::string strTo = event.m_strTo;
        for (int nCase = 0; nCase < 2000; ++nCase) {
            std::string strText;
            for (size_t n = random() % 10; n > 0; --n) {
                strText += strPool[random() % strPool.size()];
            }
            event.m_strTo = strText;
            event.m_mapUserParams["bytes"]->m_strValue = strText;
            CSDLEvent received;
            ASSERT_TRUE(received.ParseRemoteText(event.GetRemoteText())) << nCase;
            EXPECT_EQ(received.m_strTo, strText) << nCase;
            ASSERT_EQ(received.m_mapUserParams.count("bytes"), 1u);
            EXPECT_EQ(received.m_mapUserParams["bytes"]->m_strValue, strText) << nCase;
        }
        event.m_strTo = strTo;
        event.m_mapUserParams["bytes"]->m_strValue = "caf\xE9 \xF0\x9F\x98";
    }

    EXPECT_EQ(pC1->Send(&event), "ERROR SOCKET");
    EXPECT_EQ(model.ErrorLines("could not be sent through channel c1"), 1);
    // A peer that did not answer loses the signals sent to it at once, and
    // says so, until it answers again.
    CSDLRemoteLinks& links = model.Engine().GetRemoteLinks();
    const std::string strPeer = Format("127.0.0.2:%u", m_nPort);
    links.NoteConnect(strPeer, false);
    const auto tSend = Clock::now();
    EXPECT_EQ(pC1->Send(&event), "ERROR SOCKET");
    EXPECT_LT(Clock::now() - tSend, 500ms);
    EXPECT_EQ(model.ErrorLines("that instance does not answer"), 1);
    links.NoteConnect(strPeer, true);

    CBidirecSocket server;
    ASSERT_TRUE(server.CreateServer(m_nPort, "127.0.0.2") && server.Listen());
    const std::string strNote = pC1->Send(&event);
    EXPECT_EQ(strNote, "SEND (remote),Q,Q,0.000000," + event.GetRemoteText() + "|");
    EXPECT_NE(model.Trace().find("<system>" + EscapeXmlText(strNote) + "</system>"),
              std::string::npos);
    EXPECT_EQ(pC1->Send(&event), strNote) << "the connection is kept";

    // A link is two connections, accepted in the order they were made: the
    // signal link, whose opening says which instance and channel it comes
    // from, and the count link, on which the receiver tells what its model
    // handled; one token pairs them.
    const auto AcceptOne = [&](CBidirecSocket& rLink) {
        std::atomic<bool> bAccepted{false};
        std::atomic<bool> bDone{false};
        velkotest::CBlockingCall accept(
            [&] {
                bAccepted = server.Accept(rLink);
                bDone = true;
            },
            [&] { server.Cancel(); });
        if (!WaitFor([&] { return bDone.load(); }) || !accept.Finish(5s) || !bAccepted) {
            return false;
        }
        rLink.AttachArchives();
        return rLink.SetReceiveTimeout(5000);
    };
    const auto AcceptLink = [&](CBidirecSocket& rSignals, CBidirecSocket& rCounts) {
        std::string strOpening;
        std::string strCounts;
        if (!AcceptOne(rSignals) || !AcceptOne(rCounts)) {
            return false;
        }
        rSignals.recibeMsj(strOpening);
        rCounts.recibeMsj(strCounts);
        SRemoteOpening opening;
        std::string strToken;
        return ParseRemoteOpening(strOpening, opening) &&
               ParseRemoteCountsOpening(strCounts, strToken) && opening.strToken == strToken &&
               opening.strToken.size() == 32 && opening.strInstance == "127.0.0.1" &&
               opening.strChannel == "c1" && opening.strSystem == "sys";
    };
    CBidirecSocket link;
    CBidirecSocket counts;
    ASSERT_TRUE(AcceptLink(link, counts));
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
        ASSERT_EQ(received.m_mapUserParams.count("bytes"), 1u);
        EXPECT_EQ(received.m_mapUserParams["bytes"]->m_strValue, "caf\xE9 \xF0\x9F\x98");
    }

    // A receiver that ends the link in order after its last count (its run
    // ended: 2 read, none unhandled) lost nothing: the next send connects
    // again.
    counts.enviaMsj("2 0");
    counts.Close();
    link.Close();
    // Once the sender has read that end (it reads its links as they speak,
    // not before each send).
    ASSERT_TRUE(WaitFor([&] { return links.CountLinksTakingSignals() == 0; }));
    EXPECT_EQ(pC1->Send(&event), strNote);
    CBidirecSocket again;
    CBidirecSocket againCounts;
    ASSERT_TRUE(AcceptLink(again, againCounts));
    std::string strAgain;
    again.recibeMsj(strAgain);
    EXPECT_EQ(strAgain, "c1," + event.GetRemoteText());
    // A receiver tells what its model handled. One that then resets the
    // link, with two more unread, and ends, lost at most those two: the
    // sender says so and sends the next one on a new link.
    againCounts.enviaMsj("1");
    EXPECT_EQ(pC1->Send(&event), strNote);
    EXPECT_EQ(pC1->Send(&event), strNote);  // on loopback both are in the receiver's queue now
    again.Close();
    againCounts.Close();
    ASSERT_TRUE(WaitFor([&] { return links.CountLinksTakingSignals() == 0; }));
    EXPECT_EQ(pC1->Send(&event), strNote);
    EXPECT_TRUE(WaitFor([&] {
        return model.ErrorLines(Format("the link of channel c1 to 127.0.0.2:%u broke before the "
                                       "other instance had said it handled all that was sent; "
                                       "up to 2 signals",
                                       m_nPort)) == 1;
    })) << model.FirstErrorLine();
    EXPECT_EQ(model.ErrorLines(), 3) << "the signal refused, the one not answered, and those two";
    CBidirecSocket last;
    CBidirecSocket lastCounts;
    ASSERT_TRUE(AcceptLink(last, lastCounts));
    std::string strLast;
    last.recibeMsj(strLast);
    EXPECT_EQ(strLast, "c1," + event.GetRemoteText());
}

TEST_F(EngineRemoteTest, UndeliveredSignalsHoldTheSenderBack) {
    sdltest::CTestModel model;
    CSDLProcess* pQ = model.AddProcess(nullptr, "Q", 1);
    pQ->m_strIP = "127.0.0.2";
    pQ->m_nPort = static_cast<int>(m_nPort);
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
    SRemoteModel remote;
    remote.mapPorts[m_nPort] = 1;
    ASSERT_TRUE(links.Start(remote, "127.0.0.2", strError)) << strError;

    // More signals than may wait undelivered, in one piece that TCP takes
    // as far as the receiver reads it.
    const size_t nMore = kRemoteRoomBatch;
    std::string strBytes;
    for (size_t i = 0; i < kMaxUndeliveredSignals + nMore; ++i) {
        strBytes += EncodeSocketString("c1," + PingText("5", "-1"));
    }
    CBidirecSocket sender;
    ASSERT_EQ(sender.ConnectClient("127.0.0.2", m_nPort), 1);
    ASSERT_TRUE(sender.SetSendTimeout(30000));
    std::thread sending([&] { EXPECT_TRUE(sender.SendBytes(strBytes.data(), strBytes.size())); });

    // Queued as the simulation thread queues them, and never handled: the
    // reader takes no more once the bound is reached.
    const auto Deliver = [&] {
        std::deque<SRemoteSignal> signals;
        links.TakeSignals(signals);
        for (SRemoteSignal& signal : signals) {
            pC1->AddEvent(std::move(signal.pEvent));
        }
        return pC1->GetCount();
    };
    EXPECT_TRUE(WaitWhileProgressing([&] { return Deliver() == kMaxUndeliveredSignals; },
                                     [&] { return pC1->GetCount(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Deliver(), kMaxUndeliveredSignals);
    // Once a batch of them has been handled, the reader takes as many more.
    for (size_t i = 0; i < nMore; ++i) {
        pC1->RemoveHeadEvent();
    }
    EXPECT_TRUE(WaitWhileProgressing([&] { return Deliver() == kMaxUndeliveredSignals; },
                                     [&] { return pC1->GetCount(); }));
    sending.join();
    links.Stop();
    EXPECT_TRUE(vecLines.empty()) << vecLines.front();
}

TEST_F(EngineRemoteTest, StopDuringAConnectThatHangsEndsTheRunInTime) {
    // A listener whose queue is full: the kernel drops further connection
    // requests, so a connect to it hangs.
    CBidirecSocket full;
    ASSERT_TRUE(full.CreateServer(m_nPort, "127.0.0.2") && full.Listen(0));
    std::vector<std::unique_ptr<CBidirecSocket>> vecFillers;
    bool bHangs = false;
    while (!bHangs && vecFillers.size() < 8) {
        vecFillers.push_back(std::make_unique<CBidirecSocket>());
        bHangs = vecFillers.back()->ConnectClient("127.0.0.2", m_nPort, 500) == 0;
    }
    ASSERT_TRUE(bHangs) << "no connect hangs on this machine";

    CPingPong& model = Make<CPingPong>(1, "127.0.0.1", m_nPort);
    model.Engine().StartThread();  // the start transition sends the ping
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(model.Engine().GetRunState(), RS_STARTING) << "the send waits for its connection";
    const auto tStop = Clock::now();
    model.Engine().Stop();
    EXPECT_TRUE(model.Engine().WaitForRunEnd(3000));
    EXPECT_LT(Clock::now() - tStop, std::chrono::milliseconds(kRemoteConnectTimeoutMs / 2));
    EXPECT_EQ(model.ErrorLines("could not be sent"), 1);
}

TEST_F(EngineRemoteTest, StrangersMessagesAndATakenPortAreReported) {
    CPingPong& b = Running<CPingPong>(1, "127.0.0.2", m_nPort);
    auto pStranger = Stranger();
    CBidirecSocket& stranger = *pStranger;
    stranger.enviaMsj("no comma at all\nWarning: \x1B[2Jnot\xC2\x85 ours\xE2\x80\xAE");
    stranger.enviaMsj("c1,1,2,3");
    stranger.enviaMsj("c1," + PingText("1e999", "-1"));
    stranger.enviaMsj("c1," + PingText("2", "x"));
    stranger.enviaMsj("nosuch," + PingText("2", "-1"));
    stranger.enviaMsj("c1," + PingText("2", "-7"));
    stranger.enviaMsj(" c1 ," + PingText("2", "-1"));
    ASSERT_TRUE(WaitFor([&] { return b.Handled().size() == 1; }));
    EXPECT_EQ(b.ErrorLines("is no remote signal"), 4);
    EXPECT_EQ(b.ErrorLines("names channel nosuch"), 1);
    EXPECT_EQ(b.ErrorLines("names cell -7"), 1);
    // A peer's text is shown with its line ends, escapes and direction
    // marks escaped: it cannot write lines that look like this program's.
    EXPECT_EQ(b.ErrorLines("\"no comma at all\\x0AWarning: \\x1B[2Jnot\\u{85} ours\\u{202E}\""), 1)
        << b.FirstErrorLine();

    // A length beyond the size cap ends that link only.
    const char kHugeClaim[] = "\xFF\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F";
    ASSERT_TRUE(stranger.SendBytes(kHugeClaim, sizeof(kHugeClaim) - 1));
    ASSERT_TRUE(WaitFor([&] { return b.ErrorLines("Error in the incomming socket") == 1; }));
    auto pNext = Stranger();
    pNext->enviaMsj("c1," + PingText("4", "-1"));
    ASSERT_TRUE(WaitFor([&] { return b.Handled().size() == 2; }));
    // Instances share no clock: a signal from Q's past is handled at once.
    pNext->enviaMsj("c1," + PingText("3", "-1"));
    ASSERT_TRUE(WaitFor([&] { return b.Handled().size() == 3; }));
    EXPECT_EQ(b.Handled(),
              (std::vector<std::string>{"ping@2.000000", "ping@4.000000", "ping@4.000000"}));
    EXPECT_EQ(b.ErrorLines("at time 3.000000 came after that agent's clock"), 1);

    // Links of the protocol that end badly are said to be what they are: one
    // whose message claims more than any link carries is closed (its sender
    // did not reset it), and one whose opening names no instance of this
    // model, ended inside a message, is not called an instance.
    auto claim = ProtocolLink();
    ASSERT_TRUE(claim.first->SendBytes(kHugeClaim, sizeof(kHugeClaim) - 1));
    ASSERT_TRUE(WaitFor([&] { return b.ErrorLines("more than any link carries") == 1; }))
        << b.FirstErrorLine();
    auto cut = ProtocolLink("10.9.9.9");
    const std::string strSignal = EncodeSocketString("c1," + PingText("5", "-1"));
    ASSERT_TRUE(cut.first->SendBytes(strSignal.data(), strSignal.size() - 3));
    ASSERT_TRUE(WaitFor([&] { return b.ErrorLines("which this model does not have") == 1; }));
    cut.first->Close();
    cut.second->Close();
    ASSERT_TRUE(WaitFor([&] { return b.ErrorLines("ended inside a signal") == 1; }));
    EXPECT_EQ(b.ErrorLines("from 127.0.0.1 ended inside a signal, without its sender's end: its "
                           "sender stopped working"),
              1);
    EXPECT_EQ(b.ErrorLines("that instance"), 0);
    EXPECT_EQ(b.ErrorLines("reset by its sender"), 0);

    // A second instance at the same address and port cannot start.
    CPingPong& c = Make<CPingPong>(1, "127.0.0.2", m_nPort);
    c.Engine().StartThread();
    ASSERT_TRUE(c.Engine().WaitForRunEnd(5000));
    EXPECT_EQ(c.Engine().GetLastThreadResult(), 1);
    EXPECT_EQ(
        CountLines(c.Notifier(), NP_SYSTEM, Format("the port %u for remote signals", m_nPort)), 1);
    EXPECT_EQ(b.Engine().GetRunState(), RS_RUNNING);
}

TEST_F(EngineRemoteTest, LongMessagesAreReadAtOnceAndStopEndsTheRunInTime) {
    CPingPong& b = Running<CPingPong>(1, "127.0.0.2", m_nPort);
    auto pStranger = Stranger();
    // As long as a message may be, all commas: read at once, and no signal.
    const auto tSent = Clock::now();
    pStranger->enviaMsj("c1" + std::string(kMaxRemoteMessageLength - 2, ','));
    // One character more than a message may have: read past and refused.
    pStranger->enviaMsj("c1" + std::string(kMaxRemoteMessageLength - 1, ','));
    ASSERT_TRUE(WaitFor([&] {
        return b.ErrorLines("is no remote signal") == 1 &&
               b.ErrorLines("is longer than a remote signal may be") == 1;
    }));
    // Generous: a parse that cut the text from its front took many seconds
    // for each of them.
    EXPECT_LT(Clock::now() - tSent, 10s);
    // A message of 20 million characters that has only begun to arrive:
    // its reader waits inside it.
    std::string strPart("\xFF\xFE\xFF\xFF\xFF\xFF\x00\x2D\x31\x01", 10);
    strPart += std::string(64 * 1024, 'x');
    ASSERT_TRUE(pStranger->SendBytes(strPart.data(), strPart.size()));
    std::this_thread::sleep_for(100ms);
    const auto tStop = Clock::now();
    b.Engine().Stop();
    EXPECT_TRUE(b.Engine().WaitForRunEnd(1000));
    EXPECT_LT(Clock::now() - tStop, 1s);
    EXPECT_EQ(b.ErrorLines("Error in the incomming socket"), 0);
}

// Strangers' faults are counted per address: floods of them, on one link or
// on many short ones, leave a few lines and one summary per address.
TEST_F(EngineRemoteTest, FloodsOfMalformedMessagesLeaveFewLinesAndAnOrderlyCloseNone) {
    CPingPong& b = Running<CPingPong>(1, "127.0.0.2", m_nPort);
    // 10,000 messages that are no signal: the link is closed after the
    // first kMaxMalformedInARow.
    std::string strFlood;
    for (int i = 0; i < 10000; ++i) {
        strFlood += EncodeSocketString("x");
    }
    auto pFlood = Stranger();
    pFlood->SendBytes(strFlood.data(), strFlood.size());  // may fail once it is closed
    ASSERT_TRUE(WaitFor([&] { return b.ErrorLines("no remote signals; it is closed") == 1; }));
    // 300 short links, each with 6 messages that are no signal.
    constexpr int kShortLinks = 300;
    constexpr int kPerLink = 6;
    for (int i = 0; i < kShortLinks; ++i) {
        auto pShort = Stranger();
        for (int j = 0; j < kPerLink; ++j) {
            pShort->enviaMsj("y");
        }
    }
    // A sender that goes in order after its signal: no failure.
    Stranger()->enviaMsj("c1," + PingText("2", "-1"));
    ASSERT_TRUE(WaitFor([&] { return b.Handled().size() == 1; }));
    // Links closed for room included: they are read to their end.
    ASSERT_TRUE(WaitFor([&] { return b.Engine().GetRemoteLinks().GetConnectionCount(true) == 0; }));
    b.Engine().Stop();
    ASSERT_TRUE(b.Engine().WaitForRunEnd(3000));

    EXPECT_EQ(b.ErrorLines("is no remote signal and is dropped"), kRemoteReportsPerKind);
    // Every message is counted, also those of short links that were still
    // unread when a busy machine let them pile up past the port's room (the
    // summary then names those closed too).
    EXPECT_EQ(
        b.ErrorLines(Format("Warning: from 127.0.0.1, %d more messages that were no remote "
                            "signals",
                            kMaxMalformedInARow - kRemoteReportsPerKind + kShortLinks * kPerLink)),
        1)
        << b.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines("Error in the incomming socket"), 0);
    // Besides: the answer to the ping, which nobody takes, and at most one
    // kind's share of links closed for room.
    EXPECT_EQ(b.ErrorLines(), kRemoteReportsPerKind + 3 +
                                  b.ErrorLines("links; a silent one from 127.0.0.1 is closed"));
    EXPECT_LE(b.ErrorLines("links; a silent one from 127.0.0.1 is closed"), kRemoteReportsPerKind);
}

// A port full of silent links still takes a genuine signal; links closed
// to make room are read to their end, however many are being closed.
TEST_F(EngineRemoteTest, APortFullOfSilentLinksTakesAGenuineSignalAndReadsClosedLinksToTheirEnd) {
    CPingPong& b = Running<CPingPong>(1, "127.0.0.2", m_nPort);
    CSDLRemoteLinks& links = b.Engine().GetRemoteLinks();
    // The room the port keeps for strangers beside the model's one link.
    std::vector<std::unique_ptr<CBidirecSocket>> vecSilent;
    for (size_t i = 0; i <= kMaxRemoteConnections; ++i) {
        vecSilent.push_back(Stranger());
        ASSERT_TRUE(WaitFor([&] { return links.GetConnectionCount() == i + 1; }));
    }

    CPingPong& a = Running<CPingPong>(1, "127.0.0.1", m_nPort);
    ASSERT_TRUE(WaitFor([&] { return b.Handled().size() == 1 && a.Handled().size() == 1; }));
    EXPECT_EQ(b.Handled(), std::vector<std::string>{"ping@2.000000"});
    // The first silent one made room, in order; once closed, it sends, and
    // ends its link.
    constexpr int kPerLink = 3;
    const std::string strMessages =
        EncodeSocketString("z") + EncodeSocketString("z") + EncodeSocketString("z");
    const auto SendAndEnd = [&](std::unique_ptr<CBidirecSocket>& pSilent) {
        EXPECT_TRUE(pSilent->SendBytes(strMessages.data(), strMessages.size()));
        pSilent.reset();
    };
    EXPECT_TRUE(WaitFor([&] { return vecSilent.front()->CheckPeer() == SP_CLOSED; }));
    EXPECT_EQ(vecSilent.back()->CheckPeer(), SP_OPEN);
    SendAndEnd(vecSilent.front());
    // Once the genuine link's count link has found it, and the closed one
    // has ended.
    EXPECT_TRUE(
        WaitFor([&] { return links.GetConnectionCount(true) == kMaxRemoteConnections + 1; }));
    EXPECT_EQ(b.ErrorLines("closed to make room"), 1);

    // One newcomer more than the silent links left: every one of them is
    // being closed, and the last newcomer waits in the queue until one has
    // ended. It sends a signal, which tells when it was taken.
    std::vector<std::unique_ptr<CBidirecSocket>> vecNew;
    for (size_t i = 0; i <= kMaxRemoteConnections; ++i) {
        vecNew.push_back(Stranger());
    }
    vecNew.back()->enviaMsj("c1," + PingText("3", "-1"));
    ASSERT_TRUE(
        WaitFor([&] { return links.GetConnectionCount(true) == 2 * kMaxRemoteConnections + 1; }));
    EXPECT_EQ(b.Handled().size(), 1u);
    // Only now do the closed ones send, and end their links: each is read to
    // its end, and the newcomer is taken.
    for (size_t i = 1; i < vecSilent.size(); ++i) {
        SendAndEnd(vecSilent[i]);
    }
    ASSERT_TRUE(WaitFor([&] {
        return b.Handled().size() == 2 &&
               links.GetConnectionCount(true) == kMaxRemoteConnections + 2;
    }));
    b.Engine().Stop();
    ASSERT_TRUE(b.Engine().WaitForRunEnd(3000));
    EXPECT_EQ(b.ErrorLines(Format("Warning: from 127.0.0.1, %d more messages that were no remote "
                                  "signals",
                                  int(vecSilent.size()) * kPerLink - kRemoteReportsPerKind)),
              1);
    EXPECT_EQ(b.ErrorLines("is cut"), 0);
}

// A listener out of file descriptors takes the waiting links once it has
// some again.
TEST_F(EngineRemoteTest, AListenerOutOfDescriptorsTakesItsLinksLater) {
#ifdef __SANITIZE_ADDRESS__
    // The undefined-behaviour checks of that build open pipes of their own
    // on any thread; without a descriptor they report faults that are none.
    GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
    CPingPong& b = Running<CPingPong>(1, "127.0.0.2", m_nPort);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    CBidirecSocket genuine;
    std::vector<int> vecTaken;
    {
        // Every descriptor below a lowered limit taken but one, which the
        // link's own socket takes: the listener finds none for it. The
        // limit is raised again before any is given back.
        const auto nOpen = static_cast<rlim_t>(
            std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
        rlimit lowered = limit;
        lowered.rlim_cur = nOpen + 64;
        ASSERT_LT(lowered.rlim_cur + 64, limit.rlim_cur) << "too few descriptors to spare";
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        for (int nHandle; (nHandle = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            vecTaken.push_back(nHandle);
        }
        ASSERT_FALSE(vecTaken.empty());
        // One more whenever another thread of this process took the one
        // left first.
        int nConnected = 0;
        for (bool bSocket = false; !bSocket && !vecTaken.empty();) {
            ::close(vecTaken.back());
            vecTaken.pop_back();
            try {
                nConnected = genuine.ConnectClient("127.0.0.2", m_nPort);
                bSocket = true;
            } catch (const CCustomException&) {
                // no socket could be made
            }
        }
        const bool bReported = WaitFor([&] { return b.ErrorLines("cannot take a link") == 1; });
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        for (const int nHandle : vecTaken) {
            ::close(nHandle);
        }
        ASSERT_EQ(nConnected, 1);
        EXPECT_TRUE(bReported) << b.FirstErrorLine();
    }
    genuine.AttachArchives();
    genuine.enviaMsj("c1," + PingText("2", "-1"));
    EXPECT_TRUE(WaitFor([&] { return b.Handled().size() == 1; }));
    EXPECT_EQ(b.Engine().GetRemoteLinks().GetListeningPorts().size(), 1u);
}

// A Stop that cuts a send waiting for a paused receiver loses nothing: what
// went out before it is the receiver's, the rest of the signal it cut goes
// with the link's end, and all are handled once the receiver goes on.
TEST_F(EngineRemoteTest, AStopDuringAWaitingSendFinishesTheSignalItCut) {
    SBurstShape shape;
    shape.nSignals = 10000;
    shape.nParamBytes = 8000;  // a few hundred fill the buffers
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, shape);
    b.Engine().Pause();
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, shape);
    ASSERT_TRUE(WaitUntilStill([&] { return a.Sent(); }, 500ms)) << "the sender waits";
    ASSERT_LT(a.Sent(), shape.nSignals);
    const auto tStop = Clock::now();
    a.Engine().Stop();
    EXPECT_TRUE(a.Engine().WaitForRunEnd(5000));
    EXPECT_LT(Clock::now() - tStop, kStopBound);
    b.Engine().Resume();
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() + a.Lost() == a.Sent(); },
                                     [&] { return b.Received(); }))
        << b.Received() << " + " << a.Lost() << " of " << a.Sent();
    // None when the Stop cut the waiting send; on a machine so busy that it
    // came between two sends, the next one.
    EXPECT_LE(a.Lost(), 1) << a.FirstErrorLine();
    EXPECT_EQ(b.ErrorLines(), 0) << b.FirstErrorLine();

    // A Stop while the transition still has a million outputs to make: each
    // is counted lost at once, with no link or message made for it, and the
    // run ends in time. (Under the sanitizers, whose every step is many
    // times slower, fewer, each with a parameter that fills the receiver's
    // bounds and buffers with fewer: a busy machine makes some 5,000 of them
    // a second there, and the sender waits after some 12,000.)
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr long long kOutputs = 20000;
    constexpr size_t kOutputBytes = 1000;
    constexpr long long kMostMadeBeforeStop = kOutputs * 3 / 4;
#else
    constexpr long long kOutputs = 1000000;
    constexpr size_t kOutputBytes = 0;
    constexpr long long kMostMadeBeforeStop = kOutputs / 2;
#endif
    const unsigned int nPort = UnusedPort();
    CLongTransition& q = Running<CLongTransition>("127.0.0.2", nPort, kOutputs, kOutputBytes);
    q.Engine().Pause();
    CLongTransition& p = Running<CLongTransition>("127.0.0.1", nPort, kOutputs, kOutputBytes);
    ASSERT_TRUE(WaitUntilStill([&] { return p.Made(); }, 500ms)) << "the sender waits";
    ASSERT_LT(p.Made(), kMostMadeBeforeStop);
    const long long nMadeBefore = p.Made();
    const auto tLongStop = Clock::now();
    p.Engine().Stop();
    EXPECT_TRUE(p.Engine().WaitForRunEnd(60000));
    EXPECT_LT(Clock::now() - tLongStop, kStopBound);
    EXPECT_EQ(p.Made(), kOutputs);
    // Those made after it (the one the Stop cut aside), in one line.
    EXPECT_GE(p.LostIn("before the run was stopped", false), kOutputs - nMadeBefore - 1)
        << p.FirstErrorLine();
    q.Engine().Resume();
    EXPECT_TRUE(WaitWhileProgressing([&] { return q.Received() + p.Lost() == p.Made(); },
                                     [&] { return q.Received(); }))
        << q.Received() << " + " << p.Lost() << " of " << p.Made();
    EXPECT_EQ(p.ErrorLines("before the run was stopped"), 1) << p.FirstErrorLine();
}

// An instance whose engine goes as soon as its run has ended (its program
// ends) keeps what it sent until its receivers have read it: four senders,
// each an instance of its own, into a paused receiver; and, both ways, an
// instance whose peer reads nothing until it has gone.
TEST_F(EngineRemoteTest, AnEngineThatGoesAsItsRunEndsWaitsForItsReceiversToRead) {
    // A sender of shape at strAddress, which reports to rNotifier (which
    // outlives it) and whose run ends once it has sent.
    const auto StartSender = [&](const std::string& strAddress, const SBurstShape& shape,
                                 CRecordingNotifier& rNotifier) {
        auto pSender = std::make_unique<CBurst>(strAddress, m_nPort, shape);
        pSender->Engine().SetNotifier(&rNotifier);
        pSender->EndWhenSent();
        pSender->StartAndRun();
        return pSender;
    };
    const auto RunsToItsEnd = [](CBurst& rSender) {
        return WaitWhileProgressing([&] { return !rSender.Engine().IsThreadAlive(); },
                                    [&] { return rSender.Sent(); });
    };
    // A paused receiver takes in up to its bound, from whichever links it
    // reads first; the rest waits in the links. A sender's run ends only
    // once its signals are in its link, so what is beyond the bound must fit
    // in one link's buffers, whichever link the receiver left unread.
    constexpr int kBeyondTheBound = 200;
    SBurstShape four;
    four.vecFrom = {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"};
    four.nEnds = 4;
    four.nSignals = int(kMaxUndeliveredSignals) + kBeyondTheBound;
    four.nParamBytes = 1000;
    CBurst& q = Running<CBurst>("127.0.0.2", m_nPort, four);
    q.Engine().Pause();
    // Each sender reports to a notifier that outlives it.
    std::vector<CRecordingNotifier> vecNotifiers(four.vecFrom.size());
    std::vector<std::unique_ptr<CBurst>> vecSenders;
    for (size_t i = 0; i < four.vecFrom.size(); ++i) {
        vecSenders.push_back(StartSender(four.vecFrom[i], four, vecNotifiers[i]));
    }
    long long nSent = 0;
    for (auto& pSender : vecSenders) {
        // The runs end by themselves, their signals still on their way.
        ASSERT_TRUE(RunsToItsEnd(*pSender));
        nSent += pSender->Sent();
    }
    ASSERT_EQ(nSent, four.nSignals);
    ASSERT_LT(q.Received(), nSent);
    // Their programs end, and the receiver goes on.
    std::vector<std::thread> vecEnds;
    for (auto& pSender : vecSenders) {
        vecEnds.emplace_back([&pSender] { pSender.reset(); });
    }
    q.Engine().Resume();
    for (std::thread& end : vecEnds) {
        end.join();
    }
    long long nLost = 0;
    for (const CRecordingNotifier& notifier : vecNotifiers) {
        nLost += CountSignalsLost(notifier);
    }
    EXPECT_TRUE(WaitWhileProgressing([&] { return q.Received() + nLost == nSent; },
                                     [&] { return q.Received(); }))
        << q.Received() << " + " << nLost << " of " << nSent;
    EXPECT_EQ(nLost, 0);
    EXPECT_TRUE(StopBoth(q, q, kStopBound));

    // Both ways: B's run ends once it has sent; A, paused until B has gone,
    // then reads all B sent, and counts what it sends to B, which is gone.
    SBurstShape both;
    both.nSignals = 3000;
    both.nParamBytes = 1000;
    both.bBothWays = true;
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, both);
    a.Engine().Pause();
    CRecordingNotifier notifierB;
    auto pB = StartSender("127.0.0.2", both, notifierB);
    ASSERT_TRUE(RunsToItsEnd(*pB));
    const long long nSentB = pB->Sent();
    // What A sent before its pause took effect B may have handled.
    const long long nReceivedB = pB->Received();
    ASSERT_LT(a.Received(), nSentB);
    std::thread endB([&pB] { pB.reset(); });
    a.Engine().Resume();
    endB.join();
    EXPECT_TRUE(
        WaitWhileProgressing([&] { return a.Received() + CountSignalsLost(notifierB) == nSentB; },
                             [&] { return a.Received(); }))
        << a.Received() << " + " << CountSignalsLost(notifierB) << " of " << nSentB;
    EXPECT_EQ(CountSignalsLost(notifierB), 0);
    // Nothing received what A sent after that: B had gone. The end of A's
    // run counts what was not reported line by line.
    EXPECT_TRUE(
        WaitWhileProgressing([&] { return a.Sent() == both.nSignals; }, [&] { return a.Sent(); }));
    EXPECT_TRUE(StopBoth(a, a, kStopBound));
    EXPECT_EQ(nReceivedB + a.Lost(), a.Sent());

    // A receiver stopped with what a sender sent not read or not handled:
    // the sender, whose engine goes at once, leaves what the receiver has
    // taken in to it, and the receiver counts what it did not handle, on
    // each of more links than it reports one by one.
    SBurstShape one;
    one.nEnds = kRemoteReportsPerKind + 1;
    one.nSignals = int(kMaxUndeliveredSignals) + kBeyondTheBound;
    one.nParamBytes = 1000;
    CBurst& r = Running<CBurst>("127.0.0.2", m_nPort, one);
    r.Engine().Pause();
    CRecordingNotifier notifierS;
    auto pS = StartSender("127.0.0.1", one, notifierS);
    ASSERT_TRUE(RunsToItsEnd(*pS));
    const long long nSentS = pS->Sent();
    ASSERT_EQ(nSentS, one.nSignals);
    EXPECT_TRUE(StopBoth(r, r, kStopBound));
    pS.reset();
    EXPECT_TRUE(WaitFor([&] {
        return r.Received() + CountSignalsLost(notifierS) + r.Lost() == nSentS;
    })) << r.Received()
        << " + " << CountSignalsLost(notifierS) << " + " << r.Lost() << " of " << nSentS;
    // Counted by the sender when it took the receiver's last count before it
    // went, else by the receiver.
    EXPECT_GT(CountSignalsLost(notifierS) + r.Lost(), 0);
}

// Instances tell each other apart from strangers by what their links say
// when they open, not by the address they come from: two instances named
// 127.0.0.3 and 127.0.0.2, whose links come from 127.0.0.1, send to each
// other at once and both go on.
TEST_F(EngineRemoteTest, InstancesAreKnownByWhatTheirLinksSayNotByWhereTheyComeFrom) {
    SBurstShape shape;
    shape.vecFrom = {"127.0.0.3"};
    shape.strTo = "127.0.0.2";
    shape.nPerStep = 4;
    shape.nSignals = kManySignals;
    shape.bBothWays = true;
    {
        // The system gives a link to 127.0.0.2 the source address 127.0.0.1.
        CBidirecSocket listener;
        CBidirecSocket probe;
        CBidirecSocket accepted;
        ASSERT_TRUE(listener.CreateServer(0, "127.0.0.2") && listener.Listen());
        ASSERT_EQ(probe.ConnectClient("127.0.0.2", listener.GetBoundPort()), 1);
        ASSERT_TRUE(listener.Accept(accepted));
        ASSERT_EQ(accepted.GetPeerAddress(), "127.0.0.1");
    }
    CBurst& a = Make<CBurst>("127.0.0.3", m_nPort, shape);
    CBurst& b = Make<CBurst>("127.0.0.2", m_nPort, shape);
    a.Engine().StartThread();
    b.Engine().StartThread();
    ASSERT_TRUE(a.WaitListening() && b.WaitListening()) << a.StartFailure() << b.StartFailure();
    a.Engine().Run();
    b.Engine().Run();
    EXPECT_TRUE(WaitWhileProgressing(
        [&] { return a.Received() == shape.nSignals && b.Received() == shape.nSignals; },
        [&] { return a.Received() + b.Received(); }))
        << a.Received() << " " << b.Received();
    EXPECT_EQ(a.Lost() + b.Lost(), 0) << a.FirstErrorLine() << b.FirstErrorLine();
}

// Signals of a megabyte each, more than the receiver takes in while
// paused: its reader is woken as room appears, and all arrive.
TEST_F(EngineRemoteTest, SignalsOfAMegabyteReachAPausedReceiver) {
    SBurstShape shape;
    // Several times what it takes in while paused; under the thread checks,
    // whose copies of a megabyte are slow, fewer.
#if defined(__SANITIZE_THREAD__)
    shape.nSignals = 24;
#else
    shape.nSignals = 80;
#endif
    shape.nParamBytes = 1000000;
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, shape);
    b.Engine().Pause();
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, shape);
    ASSERT_TRUE(WaitUntilStill([&] { return a.Sent(); }, 500ms)) << "the sender waits";
    EXPECT_LT(a.Sent(), shape.nSignals);
    b.Engine().Resume();
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() == shape.nSignals; },
                                     [&] { return b.Received(); }))
        << b.Received();
    EXPECT_EQ(a.Sent(), shape.nSignals);
    EXPECT_EQ(a.Lost() + b.Lost(), 0) << a.FirstErrorLine() << b.FirstErrorLine();
}

// A receiver that floods its link with counts neither holds its sender up
// nor keeps a Stop from ending the sender's run; what it read and what the
// sender counts as lost make up all that was sent.
TEST_F(EngineRemoteTest, ACountFloodNeitherHoldsTheSenderUpNorItsStop) {
    // A receiver that floods both connections of the link it takes: the
    // signal connection with stray bytes, the count connection with counts
    // of 0, as fast as its system takes them.
    CBidirecSocket listener;
    ASSERT_TRUE(listener.CreateServer(m_nPort, "127.0.0.2") && listener.Listen());
    CBidirecSocket link;
    CBidirecSocket counts;
    std::atomic<long long> nRead{0};
    std::atomic<bool> bFlooding{true};
    std::atomic<bool> bRead{false};
    std::vector<std::thread> vecFloods;
    velkotest::CBlockingCall receiver(
        [&] {
            if (!listener.Accept(link) || !listener.Accept(counts)) {
                return;
            }
            link.AttachArchives();
            counts.AttachArchives();
            for (CBidirecSocket* pFlooded : {&link, &counts}) {
                vecFloods.emplace_back([&, pFlooded] {
                    std::string strCounts;
                    for (int i = 0; i < 1000; ++i) {
                        strCounts += EncodeSocketString("0");
                    }
                    while (bFlooding && pFlooded->SendBytes(strCounts.data(), strCounts.size())) {
                    }
                });
            }
            std::string strMessage;
            link.ReceiveMessage(strMessage, SIZE_MAX);  // the opening
            while (link.ReceiveMessage(strMessage, SIZE_MAX) == SR_MESSAGE) {
                nRead += strMessage == kRemoteEndMark ? 0 : 1;
            }
            // The sender has ended the link: so does this end.
            bFlooding = false;
            link.Cancel();
            counts.Cancel();
            bRead = true;
        },
        [&] {
            listener.Cancel();
            link.Cancel();
            counts.Cancel();
        });
    SBurstShape shape;
    shape.nSignals = kManySignals;
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, shape);
    // The sender goes on at its pace, each send taking a bounded share of
    // the flood.
    constexpr long long kSome = kManySignals / 20;
    ASSERT_TRUE(
        WaitWhileProgressing([&] { return a.Sent() >= kSome; }, [&] { return a.Sent(); }, 5s));
    const auto tStop = Clock::now();
    a.Engine().Stop();
    EXPECT_TRUE(a.Engine().WaitForRunEnd(5000));
    EXPECT_LT(Clock::now() - tStop, kStopBound);
    EXPECT_TRUE(WaitFor([&] { return bRead.load(); }, [&] { return nRead.load(); }))
        << "the sender ends its link";
    receiver.Finish(5s);
    bFlooding = false;
    for (std::thread& flood : vecFloods) {
        flood.join();
    }
    EXPECT_EQ(nRead + a.Lost(), a.Sent()) << nRead << " + " << a.Lost() << " of " << a.Sent();
}

// The links of runs that have ended are kept until their receiver has read
// them, each of them: two runs of a sender are stopped while they wait for a
// paused receiver, with what they sent still on its way.
TEST_F(EngineRemoteTest, TheLinksOfEndedRunsAreKeptUntilTheirReceiverHasReadThem) {
    SBurstShape shape;
    shape.nSignals = kFillingSignals;
    shape.nParamBytes = 2 * kFillingBytes;
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, shape);
    b.Engine().Pause();
    CBurst& a = Make<CBurst>("127.0.0.1", m_nPort, shape);
    long long nSent = 0;
    for (int nRun = 1; nRun <= 2; ++nRun) {
        a.StartAndRun();
        ASSERT_TRUE(WaitUntilStill([&] { return a.Sent(); }, 500ms)) << "the sender waits";
        ASSERT_LT(a.Sent(), shape.nSignals);
        a.Engine().Stop();
        ASSERT_TRUE(a.Engine().WaitForRunEnd(5000));
        nSent += a.Sent();
    }
    b.Engine().Resume();
    // Each stopped send finishes its signal after the receiver's pause.
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() + a.Lost() == nSent; },
                                     [&] { return b.Received(); }))
        << b.Received() << " + " << a.Lost() << " of " << nSent;
    EXPECT_LE(a.Lost(), 2) << a.FirstErrorLine();
}

// An instance killed while another waits on it, or while it sends, or while
// both send to each other: the survivor counts every signal the dead one had
// not handled, or that it had sent and was not handled here, exactly where it
// can know, else as "up to" so many, and never fewer. The instances that die
// are processes of their own, forked before the test makes a thread.
TEST_F(EngineRemoteTest, AKilledInstanceLeavesItsSurvivorToCountAllItLost) {
    // A sender that dies between two signals: its link ends without its
    // end, which is all that tells that from an orderly end. The receiver
    // handles what came and counts, as up to 1, what the sender may have
    // been about to send.
    // (Its instance goes with its threads before the next process is
    // forked.)
    {
        auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, SBurstShape{});
        CBurst& b = *pB;
        b.StartAndRun();
        ASSERT_TRUE(b.WaitListening()) << b.StartFailure();
        auto [pSignals, pCounts] = ProtocolLink();
        for (int i = 0; i < 3; ++i) {
            pSignals->enviaMsj(SigMessage());
        }
        ASSERT_TRUE(
            WaitWhileProgressing([&] { return b.Received() == 3; }, [&] { return b.Activity(); }));
        pSignals->Close();
        pCounts->Close();
        EXPECT_TRUE(
            WaitWhileProgressing([&] { return b.ErrorLines() > 0; }, [&] { return b.Activity(); }));
        EXPECT_EQ(b.ErrorLines("ended without its sender's end: that instance stopped working"), 1)
            << b.FirstErrorLine();
        EXPECT_EQ(b.LostIn("stopped working", true), 1);
        EXPECT_EQ(b.ErrorLines(), 1) << b.FirstErrorLine();
        b.Engine().Stop();
        ASSERT_TRUE(b.Engine().WaitForRunEnd(5000));
    }

    // A receiver whose program ends while a link of another instance is
    // still open (its sender hangs, or is slow to end it) goes at once: its
    // last count goes to the sender, but is not waited for, and it counts
    // what it did not handle itself.
    {
        CRecordingNotifier notifier;
        auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, SBurstShape{});
        pB->Engine().SetNotifier(&notifier);
        pB->StartAndRun();
        ASSERT_TRUE(pB->WaitListening()) << pB->StartFailure();
        auto [pSignals, pCounts] = ProtocolLink();
        pSignals->enviaMsj(SigMessage());
        ASSERT_TRUE(WaitWhileProgressing([&] { return pB->Received() == 1; },
                                         [&] { return pB->Activity(); }));
        // Paused at its next step: of the next two, one is handled and one
        // waits.
        pB->Engine().Pause();
        pSignals->enviaMsj(SigMessage());
        pSignals->enviaMsj(SigMessage());
        ASSERT_TRUE(WaitWhileProgressing([&] { return pB->Engine().GetRunState() == RS_PAUSED; },
                                         [&] { return pB->Activity(); }));
        ASSERT_EQ(pB->Received(), 2);
        pB->Engine().Stop();
        ASSERT_TRUE(pB->Engine().WaitForRunEnd(5000));
        const auto tGo = Clock::now();
        pB.reset();
        EXPECT_LT(Clock::now() - tGo, 500ms) << "the engine waited for the sender";
        // Told last: 3 read, 1 not handled.
        std::string strCount;
        std::string strLast;
        pCounts->SetReceiveTimeout(5000);
        while (pCounts->ReceiveMessage(strCount, 64) == SR_MESSAGE) {
            strLast = strCount;
        }
        EXPECT_EQ(strLast, "3 1");
        EXPECT_EQ(CountSignalsLost(notifier), 1) << notifier.GetLines().back().strLine;
        EXPECT_EQ(CountLines(notifier, NP_ERRORS, "their sender was not told"), 1);
    }

    // The receiver handles a tenth, then pauses with its sender waiting on
    // it, and is killed: the sender counts all it had not handled, as the
    // receiver's counts of what its model handled tell.
    // More than the receiver's bounds and buffers take, but under the thread
    // checks, whose copies are slow (the sends may then all be out when an
    // instance is killed).
    SBurstShape shape;
#if defined(__SANITIZE_THREAD__)
    shape.nSignals = 3000;
    shape.nParamBytes = 200;
#else
    shape.nSignals = 8000;
    shape.nParamBytes = 6000;
#endif
    const unsigned int nPort = m_nPort;
    // The same receiver frozen for good instead (a machine that hangs, or
    // is cut off): its system still takes in what comes until its buffers
    // are full, and it tells nothing more. When the sender's model is
    // closed, without a wait, it counts up to all the receiver had not said
    // it handled, its system's buffers too.
    for (const bool bFreeze : {false, true}) {
        SCOPED_TRACE(bFreeze ? "frozen for good" : "killed");
        CChildProcess receiver([&](SSharedCounts& counts) {
            CChildProcess::RunBurst(counts, "127.0.0.2", nPort, shape, shape.nSignals / 10);
        });
        ASSERT_TRUE(receiver.IsRunning());
        receiver.Go();
        ASSERT_TRUE(WaitWhileProgressing([&] { return receiver.Counts().bListening.load(); },
                                         [&] { return receiver.Counts().nReceived.load(); }));
        auto pA = std::make_unique<CBurst>("127.0.0.1", m_nPort, shape);
        pA->StartAndRun();
        // Paused, having handled its tenth, and told it: on a busy machine
        // a sender stands still long before that.
        ASSERT_TRUE(WaitWhileProgressing([&] { return receiver.Counts().bPaused.load(); },
                                         [&] { return receiver.Counts().nReceived.load(); }));
        ASSERT_TRUE(WaitUntilStill([&] { return pA->Sent(); }, 500ms)) << "the sender waits";
#if !defined(__SANITIZE_THREAD__)
        ASSERT_LT(pA->Sent(), shape.nSignals);
#endif
        if (bFreeze) {
            ASSERT_TRUE(receiver.Freeze());
            const long long nHandled = receiver.Counts().nReceived;
            pA->Engine().Stop();
            ASSERT_TRUE(pA->Engine().WaitForRunEnd(5000));
            CSDLRemoteLinks& links = pA->Engine().GetRemoteLinks();
            EXPECT_NE(links.DescribeUnread(), "") << "a close would wait for it";
            const long long nGivenUp = links.CloseLingering(0ms, "when the model was closed");
            EXPECT_GE(nHandled + pA->Lost(), pA->Sent())
                << nHandled << " + " << pA->Lost() << ": " << pA->FirstErrorLine();
            EXPECT_EQ(pA->LostIn("when the model was closed", true), nGivenUp);
            EXPECT_GT(nGivenUp, 0);
            EXPECT_GT(nHandled, 0);
            continue;
        }
        receiver.Kill();
        const long long nHandled = receiver.Counts().nReceived;
        // Each later signal finds no instance there, and is lost too.
        EXPECT_TRUE(WaitWhileProgressing([&] { return pA->Sent() == shape.nSignals; },
                                         [&] { return pA->Sent(); }));
        pA->Engine().Stop();
        ASSERT_TRUE(pA->Engine().WaitForRunEnd(5000));
        EXPECT_TRUE(WaitWhileProgressing([&] { return nHandled + pA->Lost() >= shape.nSignals; },
                                         [&] { return pA->Activity(); }));
        EXPECT_EQ(nHandled + pA->Lost(), shape.nSignals)
            << nHandled << " + " << pA->Lost() << ": " << pA->FirstErrorLine();
        EXPECT_GT(nHandled, 0);
    }

    // The sender is killed while its send waits on a paused receiver: its
    // system delivers all it had written, and the receiver handles it and
    // counts the signal it was sending.
    {
        CChildProcess sender([&](SSharedCounts& counts) {
            CChildProcess::RunBurst(counts, "127.0.0.1", nPort, shape, 0);
        });
        auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, shape);
        pB->StartAndRun();
        ASSERT_TRUE(pB->WaitListening()) << pB->StartFailure();
        pB->Engine().Pause();
        sender.Go();
        ASSERT_TRUE(WaitUntilStill([&] { return sender.Counts().nSent.load(); }, 500ms));
        sender.Kill();
        const long long nSent = sender.Counts().nSent;
#if !defined(__SANITIZE_THREAD__)
        ASSERT_LT(nSent, shape.nSignals);
#endif
        pB->Engine().Resume();
        const auto Counted = [&](bool bUpTo) { return pB->LostIn("stopped working", bUpTo); };
        EXPECT_TRUE(WaitWhileProgressing(
            [&] {
                return pB->Received() + Counted(false) + Counted(true) >= nSent &&
                       pB->ErrorLines("stopped working") == 1;
            },
            [&] { return pB->Received(); }))
            << pB->Received() << " of " << nSent;
        EXPECT_LE(pB->Received() + Counted(false), nSent) << pB->FirstErrorLine();
        EXPECT_LE(Counted(true), 1);
        EXPECT_EQ(pB->ErrorLines(), 1) << pB->FirstErrorLine();
        pB->Engine().Stop();
        ASSERT_TRUE(pB->Engine().WaitForRunEnd(5000));
    }

    // The same sender frozen for good instead, inside the signal it sends
    // (a machine that hangs): its system still delivers what it had
    // written, which the receiver handles; once the receiver's run has
    // ended, the link it asked to end is cut, and it counts the signal that
    // was being sent, which nobody else can.
    {
        CChildProcess sender([&](SSharedCounts& counts) {
            CChildProcess::RunBurst(counts, "127.0.0.1", nPort, shape, 0);
        });
        auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, shape);
        pB->Engine().GetRemoteLinks().SetDrainAfterRun(1s);
        pB->StartAndRun();
        ASSERT_TRUE(pB->WaitListening()) << pB->StartFailure();
        pB->Engine().Pause();
        sender.Go();
        ASSERT_TRUE(WaitUntilStill([&] { return sender.Counts().nSent.load(); }, 500ms));
        ASSERT_TRUE(sender.Freeze());
        const long long nSent = sender.Counts().nSent;
        pB->Engine().Resume();
        ASSERT_TRUE(WaitUntilStill([&] { return pB->Received(); }, 500ms));
        pB->Engine().Stop();
        ASSERT_TRUE(pB->Engine().WaitForRunEnd(5000));
        EXPECT_TRUE(WaitWhileProgressing([&] { return pB->ErrorLines("it is cut") == 1; },
                                         [&] { return pB->Activity(); }))
            << pB->FirstErrorLine();
        EXPECT_GE(pB->Received() + pB->Lost(), nSent) << pB->FirstErrorLine();
        EXPECT_LE(pB->Received() + pB->Lost(), nSent + 1) << pB->FirstErrorLine();
    }

    // Both send bursts to each other, and one is killed midway: the other
    // counts both ways.
    // (One signal a step: the count a child shares is then that of the
    // signals its channel took, but for the one it may be taking.)
    shape.bBothWays = true;
    shape.nParamBytes = 200;
    CChildProcess other([&](SSharedCounts& counts) {
        CChildProcess::RunBurst(counts, "127.0.0.1", nPort, shape, 0);
    });
    auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, shape);
    pB->Engine().StartThread();
    ASSERT_TRUE(pB->WaitListening()) << pB->StartFailure();
    other.Go();
    ASSERT_TRUE(WaitWhileProgressing([&] { return other.Counts().bListening.load(); },
                                     [&] { return other.Counts().nSent.load(); }));
    pB->Engine().Run();
    ASSERT_TRUE(WaitWhileProgressing([&] { return pB->Received() >= shape.nSignals / 4; },
                                     [&] { return pB->Received() + pB->Sent(); }));
    other.Kill();
    const long long nSentA = other.Counts().nSent;
    const long long nHandledA = other.Counts().nReceived;
    EXPECT_TRUE(WaitWhileProgressing([&] { return pB->Sent() == shape.nSignals; },
                                     [&] { return pB->Sent() + pB->Received(); }));
    pB->Engine().Stop();
    ASSERT_TRUE(pB->Engine().WaitForRunEnd(5000));
    // What it sent: handled there, or counted here (up to what was not said
    // handled when the link broke). The child counts a signal handled once
    // its transition's task has run, its engine once its agent took it: a
    // kill between the two leaves the child's count 1 short of what its
    // engine may have told.
    EXPECT_TRUE(WaitWhileProgressing(
        [&] {
            return nHandledA + 1 + pB->LostIn("to 127.0.0.1:", false) +
                       pB->LostIn("to 127.0.0.1:", true) >=
                   pB->Sent();
        },
        [&] { return pB->Activity(); }))
        << nHandledA << " + " << pB->LostIn("to 127.0.0.1:", false) << " + up to "
        << pB->LostIn("to 127.0.0.1:", true) << " of " << pB->Sent();
    EXPECT_LE(nHandledA + pB->LostIn("to 127.0.0.1:", false), pB->Sent());
    // What it was sent: handled here, or counted (the signal being sent,
    // and those the run did not handle before it was stopped).
    EXPECT_TRUE(WaitWhileProgressing(
        [&] {
            return pB->Received() + pB->LostIn("from", false) + pB->LostIn("from", true) >= nSentA;
        },
        [&] { return pB->Activity(); }));
    EXPECT_LE(pB->Received() + pB->LostIn("from", false), nSentA);
    EXPECT_GE(pB->Received() + pB->LostIn("from", false) + pB->LostIn("from", true), nSentA)
        << pB->Received() << " of " << nSentA << ": " << pB->FirstErrorLine();
}

// Two instances that send bursts to each other through one to three ends
// each way, stopped at random moments: the one first, the other first, or
// both at once. Every signal each sent is handled by the other or counted,
// exactly, by one of them.
TEST_F(EngineRemoteTest, RandomStopsBothWaysLeaveEverySignalAccountedFor) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kRounds = 12;
    constexpr int kMost = 4000;
#else
    constexpr int kRounds = 40;
    constexpr int kMost = 40000;
#endif
    const unsigned int nSeed = std::random_device{}();
    SCOPED_TRACE(Format("seed %u", nSeed));
    std::mt19937 random(nSeed);
    const auto Pause = [&](int nMostMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (nMostMs + 1)));
    };
    for (int nRound = 0; nRound < kRounds; ++nRound) {
        SBurstShape shape;
        shape.nEnds = 1 + static_cast<int>(random() % 3);
        shape.nSignals = 1 + static_cast<int>(random() % kMost);
        shape.bBothWays = true;
        const int nOrder = static_cast<int>(random() % 3);
        SCOPED_TRACE(Format("round %d: %d ends, %d signals each way, stopped %s", nRound,
                            shape.nEnds, shape.nSignals,
                            nOrder == 0   ? "127.0.0.1 first"
                            : nOrder == 1 ? "127.0.0.2 first"
                                          : "both at once"));
        auto pA = std::make_unique<CBurst>("127.0.0.1", m_nPort, shape);
        auto pB = std::make_unique<CBurst>("127.0.0.2", m_nPort, shape);
        CBurst& a = *pA;
        CBurst& b = *pB;
        a.Engine().StartThread();
        b.Engine().StartThread();
        ASSERT_TRUE(a.WaitListening() && b.WaitListening()) << a.StartFailure() << b.StartFailure();
        a.Engine().Run();
        b.Engine().Run();
        Pause(250);
        if (nOrder != 1) {
            a.Engine().Stop();
        }
        if (nOrder != 0) {
            b.Engine().Stop();
        }
        Pause(100);
        a.Engine().Stop();
        b.Engine().Stop();
        ASSERT_TRUE(a.Engine().WaitForRunEnd(60000) && b.Engine().WaitForRunEnd(60000));
        // Each way: handled there, counted by its sender, or counted by its
        // receiver (whose own sends are to the other address).
        const auto AtoB = [&] {
            return b.Received() + a.LostTo("127.0.0.2") + b.Lost() - b.LostTo("127.0.0.1");
        };
        const auto BtoA = [&] {
            return a.Received() + b.LostTo("127.0.0.1") + a.Lost() - a.LostTo("127.0.0.2");
        };
        EXPECT_TRUE(WaitWhileProgressing([&] { return AtoB() == a.Sent() && BtoA() == b.Sent(); },
                                         [&] { return a.Lost() + b.Lost(); }))
            << AtoB() << " of " << a.Sent() << " and " << BtoA() << " of " << b.Sent() << ": "
            << a.FirstErrorLine() << " | " << b.FirstErrorLine();
        if (HasFailure()) {
            break;
        }
    }
}

// Links that open as an instance of the model and claim messages of a million
// characters that never come hold no genuine link back: room is taken as a
// message arrives, and each link of an instance may take its next signal.
TEST_F(EngineRemoteTest, ForgedOpeningsThatClaimLongMessagesHoldNoGenuineLinkBack) {
    // Genuine signals of a megabyte, which would not fit beside what the
    // forged links claim.
    SBurstShape shape;
    shape.nSignals = 20;
    shape.nParamBytes = 1000000;
    CBurst& b = Running<CBurst>("127.0.0.2", m_nPort, shape);
    std::vector<std::unique_ptr<CBidirecSocket>> vecForged;
    const std::string strClaim =
        EncodeSocketString(MakeRemoteOpening({NewRemoteToken(), "127.0.0.1", "c1", "sys"})) +
        std::string("\xFF\xFE\xFF\xFF\xFF\xFF\x40\x42\x0F\x00", 10) + std::string(100, 'c');
    for (int i = 0; i < 14; ++i) {
        vecForged.push_back(Stranger());
        ASSERT_TRUE(vecForged.back()->SendBytes(strClaim.data(), strClaim.size()));
    }
    CBurst& a = Running<CBurst>("127.0.0.1", m_nPort, shape);
    EXPECT_TRUE(WaitWhileProgressing([&] { return b.Received() == shape.nSignals; },
                                     [&] { return b.Received(); }))
        << b.Received() << " of " << shape.nSignals;
    EXPECT_EQ(a.Sent(), shape.nSignals);
    EXPECT_EQ(a.ErrorLines(), 0) << a.FirstErrorLine();
}

// Two instances whose bursts to each other fill each other's ceiling wait on
// each other, and each says so; once stopped, what each sent is handled or
// counted.
TEST_F(EngineRemoteTest, TwoInstancesAtTheCeilingSayTheyWaitOnEachOther) {
    // Far more than the bound of 80 MiB that each takes while its own send
    // waits.
    SBurstShape shape;
#if defined(__SANITIZE_THREAD__)
    shape.nSignals = 800;
    shape.nParamBytes = 50000;
#else
    shape.nSignals = 2000;
    shape.nParamBytes = 20000;
#endif
    shape.nPerStep = 4;
    shape.bBothWays = true;
    CBurst& a = Make<CBurst>("127.0.0.1", m_nPort, shape);
    CBurst& b = Make<CBurst>("127.0.0.2", m_nPort, shape);
    for (CBurst* pInstance : {&a, &b}) {
        pInstance->Engine().GetRemoteLinks().SetCeiling(80u * 1024u * 1024u);
        pInstance->Engine().StartThread();
    }
    ASSERT_TRUE(a.WaitListening() && b.WaitListening()) << a.StartFailure() << b.StartFailure();
    a.Engine().Run();
    b.Engine().Run();
    ASSERT_TRUE(WaitUntilStill([&] { return a.Sent() + b.Sent() + a.Received() + b.Received(); },
                               kStillAtTheBound));
    ASSERT_LT(a.Sent(), shape.nSignals);
    ASSERT_LT(b.Sent(), shape.nSignals);
    EXPECT_TRUE(WaitFor([&] { return a.ErrorLines("both wait until one is stopped") == 1; }))
        << a.FirstErrorLine();
    EXPECT_EQ(a.ErrorLines(Format("own send to 127.0.0.2:%u waits", m_nPort)), 1)
        << a.FirstErrorLine();
    EXPECT_TRUE(WaitFor([&] { return b.ErrorLines("both wait until one is stopped") == 1; }));
    EXPECT_EQ(b.ErrorLines(Format("own send to 127.0.0.1:%u waits", m_nPort)), 1)
        << b.FirstErrorLine();
    EXPECT_TRUE(StopBoth(a, b, kStopBound));
    EXPECT_TRUE(WaitWhileProgressing(
        [&] { return b.Received() + a.Received() + a.Lost() + b.Lost() == a.Sent() + b.Sent(); },
        [&] { return a.Lost() + b.Lost(); }))
        << b.Received() << " + " << a.Received() << " + " << a.Lost() << " + " << b.Lost() << " of "
        << a.Sent() << " + " << b.Sent();
}

}  // namespace
