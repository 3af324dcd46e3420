// The run of a model: the simulation thread and its end modes, step mode,
// failed starts, the trace file and the viewer link, driven through the
// engine's public commands with a small in-memory model.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtest_model.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_aux/xmlparser.h"
#include "support/fakemodellibrary.h"
#include "support/filesizelimit.h"
#include "support/recordingnotifier.h"
#include "support/stringtracesink.h"

namespace {

using namespace runtest;

const std::string kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";
const std::string kTail = "\t</Events>\r\n</Trace>";
const std::string kWaitingNote = "<system> Waiting for VELKOEye connection... </system>\n";
const std::string kEstablishedNote = "<system> VELKOEye connection established. </system>\n";
const std::string kErrorNote = "<system> VELKOEye connection ERROR. </system>\n";

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

std::string WithoutCarriageReturns(std::string strText) {
    std::string strOut;
    for (const char ch : strText) {
        if (ch != '\r') {
            strOut += ch;
        }
    }
    return strOut;
}

// The records of a trace file (line ends made "\n"), between the events
// start and the tail, one per line.
std::vector<std::string> RecordLines(const std::string& strTraceBytes) {
    const std::string strText = WithoutCarriageReturns(strTraceBytes);
    const std::string strStart = "\t<Events>\n";
    const size_t nBegin = strText.find(strStart);
    const size_t nEnd = strText.rfind("\t</Events>\n</Trace>");
    std::vector<std::string> vecLines;
    if (nBegin == std::string::npos || nEnd == std::string::npos || nEnd < nBegin) {
        return vecLines;
    }
    std::string strRest = strText.substr(nBegin + strStart.size(), nEnd - nBegin - strStart.size());
    for (size_t nPos = strRest.find('\n'); nPos != std::string::npos; nPos = strRest.find('\n')) {
        vecLines.push_back(strRest.substr(0, nPos + 1));
        strRest.erase(0, nPos + 1);
    }
    return vecLines;
}

bool HasLine(const CRecordingNotifier& notifier, NotifyPane ePane, const std::string& strLine) {
    for (const CRecordingNotifier::Line& line : notifier.GetLines()) {
        if (line.ePane == ePane && line.strLine == strLine) {
            return true;
        }
    }
    return false;
}

// The run's viewer server listens on loopback, on a free port.
void UseLoopbackViewer(CSDLEngine& engine) {
    engine.m_bUseClients = true;
    engine.SetViewerPort(0);
    engine.GetServer().SetListenAddress("127.0.0.1");
}

unsigned int WaitListening(CSDLEngine& engine) {
    unsigned int nPort = 0;
    WaitUntil([&] { return (nPort = engine.GetServer().GetBoundPort()) != 0; });
    return nPort;
}

// Checks what every completed run leaves behind.
void ExpectCleanEnd(CRunModel& model, int nRuns) {
    CSDLEngine& engine = model.Engine();
    EXPECT_EQ(engine.GetLastThreadResult(), 0);
    EXPECT_FALSE(engine.m_bRunning);
    EXPECT_FALSE(engine.IsThreadAlive());
    EXPECT_EQ(engine.GetModelLibrary(), nullptr);
    EXPECT_EQ(model.Hooks().nLoads, nRuns);
    EXPECT_EQ(model.Hooks().nFrees, nRuns);
    EXPECT_EQ(engine.m_nRunCount, nRuns);
    const std::string strTrace = model.TraceBytes();
    EXPECT_TRUE(EndsWith(strTrace, kTail))
        << "trace ends: "
        << strTrace.substr(strTrace.size() - std::min<size_t>(strTrace.size(), 80));
}

// ---- End modes -----------------------------------------------------------------------

struct SEndCase {
    const char* pszName;
    int nMode;
    int nLoopLimit;
    double dEndTime;
    bool bStopOnErrors;
    int nFailAtStep;  // the step whose decision fails (0: none)
    int nStopAfter;   // Stop once this many steps ran (0: no Stop)
    int nSteps;       // steps expected (for a Stop: at least nStopAfter)
};

TEST(EngineRunTest, EndModes) {
    const SEndCase cases[] = {
        {"by loops, limit 3", EM_BY_LOOPS, 3, 0.0, false, 0, 0, 4},
        {"by loops, limit 0", EM_BY_LOOPS, 0, 0.0, false, 0, 0, 1},
        // Ticks at 1, 2, ...: after the tick at 9 the next is at 10, not below 10.
        {"by time 10", EM_BY_TIME, 0, 10.0, false, 0, 0, 9},
        {"by time 0", EM_BY_TIME, 0, 0.0, false, 0, 0, 1},
        // The failed decision sends no tick: nothing is pending after step 3.
        {"by time 10, nothing left pending", EM_BY_TIME, 0, 10.0, false, 3, 0, 3},
        {"never, then Stop", EM_NEVER, 0, 0.0, false, 0, 5, 5},
        {"never, stop on errors", EM_NEVER, 0, 0.0, true, 3, 0, 3},
        {"by loops, error without stop on errors", EM_BY_LOOPS, 6, 0.0, false, 3, 0, 3},
    };
    for (const SEndCase& endCase : cases) {
        SCOPED_TRACE(endCase.pszName);
        CTempFolder folder;
        CRunModel model(folder.GetPath());
        CSDLEngine& engine = model.Engine();
        engine.m_bExecutionTrace = true;
        engine.m_nEndMode = endCase.nMode;
        engine.m_nLoopLimit = endCase.nLoopLimit;
        engine.m_dEndTime = endCase.dEndTime;
        engine.m_bStopOnErrors = endCase.bStopOnErrors;
        model.Hooks().nFailAtTask = endCase.nFailAtStep;

        engine.StartThread();
        engine.Run();
        if (endCase.nStopAfter > 0) {
            ASSERT_TRUE(model.WaitForTasks(endCase.nStopAfter));
            engine.Stop();
        }
        ASSERT_TRUE(WaitForRunEnd(engine)) << "the run did not end";
        ExpectCleanEnd(model, 1);

        const std::string strTrace = model.TraceBytes();
        const int nSteps = model.Hooks().nTasks;
        if (endCase.nStopAfter > 0) {
            EXPECT_GE(nSteps, endCase.nSteps);
        } else {
            EXPECT_EQ(nSteps, endCase.nSteps);
        }
        EXPECT_EQ(CountOf(strTrace, "<input "), nSteps);
        EXPECT_EQ(CountOf(strTrace, "<error>"), endCase.nFailAtStep > 0 ? 1 : 0);
        EXPECT_EQ(engine.m_bErrorPending.load(), endCase.nFailAtStep > 0);
        if (endCase.nMode == EM_BY_TIME && endCase.dEndTime == 10.0 && endCase.nFailAtStep == 0) {
            EXPECT_EQ(CountOf(strTrace, "<input time=\"9.000000\""), 1);
            EXPECT_EQ(CountOf(strTrace, "<input time=\"10.000000\""), 0);
        }
    }
}

TEST(EngineRunTest, ARunThatCanNoLongerMoveOnEndsWithAnErrorInsteadOfLooping) {
    // The first step's task reports a time under a key that no agent owns:
    // the process defers its tick to it for ever and no step takes an event.
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndNever();
    engine.SetLibraryFactory([&engine, &model] {
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        pLibrary->SetTask(model.TaskKey(), [&engine](CFakeModelLibrary&) {
            engine.UpdateNextEventTime("ghost", 1.5, false);
            return 0;
        });
        pLibrary->SetDecision(model.DecisionKey(),
                              [](CFakeModelLibrary&) { return int{RM_OUTPUT}; });
        return pLibrary;
    });
    ASSERT_TRUE(model.RunToEnd()) << "the run did not end";
    EXPECT_EQ(engine.GetLastThreadResult(), 1);
    const std::string strText =
        "The run cannot go on: the event pending at time 1.500000 for ghost is never handled.";
    EXPECT_TRUE(HasLine(model.Notifier(), NP_ERRORS, strText));
    EXPECT_TRUE(HasLine(model.Notifier(), NP_SYSTEM, "The run ended with an error: " + strText));
}

// A tick sent to itself with no delay for ever: its chain of signals at one
// time reaches its millionth (the test starts it a few short), which the
// Errors tab says once while the run goes on, with no error pending, until
// Stop ends it; the next run says it again.
TEST(EngineRunTest, AChainAtOneTimeForEverIsToldOnceARunAndStopEndsIt) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndByTime(1000.0);
    auto* pOutput = dynamic_cast<CSDLOperationOutput*>(
        model.Process()->m_mapStates["Idle"]->m_pNext->m_pNext->m_pNext);
    ASSERT_NE(pOutput, nullptr);
    pOutput->m_pSignal->m_strDelay = "0";
    std::atomic<int> nTasks{0};
    engine.SetLibraryFactory([&] {
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        pLibrary->SetTask(model.TaskKey(), [&](CFakeModelLibrary&) {
            if (nTasks++ == 0) {
                model.Process()->m_pCurrentEvent->m_nSameTimeChain = kLongSameTimeChain - 10;
            }
            return 0;
        });
        pLibrary->SetDecision(model.DecisionKey(),
                              [](CFakeModelLibrary&) { return int{RM_OUTPUT}; });
        return pLibrary;
    });
    auto told = [&] {
        int n = 0;
        for (const CRecordingNotifier::Line& line : model.Notifier().GetLines()) {
            n += line.ePane == NP_ERRORS &&
                 line.strLine ==
                     "The model's time does not advance: the signal tick that B_P sends at time "
                     "1.000000 is the 1000000th in a row at that time, each sent when the one "
                     "before it was taken. The run goes on; Stop ends it.";
        }
        return n;
    };
    for (int nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(nRun);
        nTasks = 0;
        engine.StartThread();
        engine.Run();
        ASSERT_TRUE(WaitOnProgress([&] { return nTasks >= 2000; }, [&] { return nTasks.load(); }));
        EXPECT_TRUE(engine.m_bRunning);
        EXPECT_FALSE(engine.m_bErrorPending);
        EXPECT_EQ(told(), nRun);
        engine.Stop();
        ASSERT_TRUE(WaitForRunEnd(engine));
        EXPECT_EQ(engine.GetLastThreadResult(), 0);
        EXPECT_TRUE(EndsWith(model.TraceBytes(), kTail));
        EXPECT_EQ(told(), nRun);
    }
}

// ---- Step mode and Stop ----------------------------------------------------------------

TEST(EngineRunTest, StepModeRunsOneStepPerRequestAndStopEndsTheWait) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    engine.m_bStepByStep = true;
    model.EndNever();
    std::atomic<int>& nSteps = model.Hooks().nTasks;
    const std::string strKey = model.Process()->GetFullName(false);

    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    EXPECT_EQ(nSteps, 0);
    engine.Run();
    // After Run exactly one step runs, then the loop clears go and waits.
    ASSERT_TRUE(WaitUntil([&] { return !engine.m_bGo && nSteps == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(nSteps, 1);
    std::string strMessages = engine.TakeMessages();
    EXPECT_EQ(CountOf(strMessages, "<output time=\"0.000000\""), 1);  // the start transition
    EXPECT_EQ(CountOf(strMessages, "<input time=\"1.000000\""), 1);
    EXPECT_EQ(CountOf(strMessages, "EYE_SetState"), 0);  // animation records stay out
    EXPECT_EQ(engine.GetRunStatus().dNextTime, 2.0);
    EXPECT_TRUE(engine.GetRunStatus().bNextFound);

    for (int nStep = 2; nStep <= 3; ++nStep) {
        SCOPED_TRACE(nStep);
        engine.StepOnce();
        ASSERT_TRUE(WaitUntil([&] { return !engine.m_bGo.load(); }));
        EXPECT_EQ(nSteps, nStep);
        strMessages = engine.TakeMessages();
        EXPECT_EQ(CountOf(strMessages, "<input "), 1) << strMessages;
        EXPECT_EQ(CountOf(strMessages, Format("<input time=\"%d.000000\"", nStep)), 1);
        EXPECT_EQ(engine.GetRunStatus().dNextTime, nStep + 1.0);
    }

    // A step whose decision fails: its error, as one line; the steps
    // before had none.
    EXPECT_TRUE(engine.TakeStepErrors().empty());
    model.Hooks().nFailAtTask = 4;
    engine.StepOnce();
    ASSERT_TRUE(WaitUntil([&] { return !engine.m_bGo.load(); }));
    const std::vector<std::string> vecErrors = engine.TakeStepErrors();
    ASSERT_EQ(vecErrors.size(), 1u);
    EXPECT_EQ(vecErrors[0], "ERROR: P: PID: " + strKey + " (Error on process " + strKey +
                                " for tick event on time 4.000000. The condition of decision " +
                                model.DecisionKey() + " failed.)");
    EXPECT_TRUE(engine.TakeStepErrors().empty());
    // A step keeps kMaxStepErrors lines and counts the rest.
    for (size_t i = 0; i < kMaxStepErrors + 2; ++i) {
        engine.CollectStepError("one\nline");
    }
    const std::vector<std::string> vecMany = engine.TakeStepErrors();
    ASSERT_EQ(vecMany.size(), kMaxStepErrors + 1);
    EXPECT_EQ(vecMany.front(), "one line");
    EXPECT_EQ(vecMany.back(), "2 more errors of this step are not shown.");

    // The values of the paused run are handed over when asked for.
    model.Process()->m_mapVariables["n"] = std::make_unique<CSDLParameter>("int", "n", "7", "");
    std::map<std::string, std::string> mapValues;
    EXPECT_FALSE(engine.GetTakenValues(strKey, mapValues));
    engine.RequestValues(strKey);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetTakenValues(strKey, mapValues); }));
    EXPECT_EQ(mapValues, (std::map<std::string, std::string>{{"n", "7"}}));
    EXPECT_FALSE(engine.GetTakenValues("B_Q", mapValues));

    // Stop while the loop waits for the next request.
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(nSteps, 4);
    EXPECT_FALSE(engine.m_bInitialized);
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<input "), 4);
}

TEST(EngineRunTest, StopBeforeRunEndsTheRunWithoutAStep) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndNever();
    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(model.Hooks().nTasks, 0);
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<input "), 0);
}

TEST(EngineRunTest, StopDuringTheRunStartEndsTheRunWithoutRun) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndNever();
    model.Hooks().HoldLoad();
    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] { return model.Hooks().IsLoadWaiting(); }));
    // The user stops while the run is still starting: the start resets the
    // root's mark and initialises the model afterwards.
    engine.Stop();
    model.Hooks().ReleaseLoad();
    const bool bEnded = WaitForRunEnd(engine);
    EXPECT_TRUE(bEnded) << "the stop was forgotten: the run waits for Run";
    EXPECT_FALSE(engine.m_bInitialized);
    if (!bEnded) {
        engine.Stop();
        ASSERT_TRUE(WaitForRunEnd(engine));
    }
    EXPECT_EQ(model.Hooks().nTasks, 0);
    EXPECT_EQ(model.Hooks().nFrees, model.Hooks().nLoads);
    // The next run is not stopped by the old request.
    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    engine.Run();
    ASSERT_TRUE(WaitUntil([&] { return model.Hooks().nTasks.load() > 0; }));
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
}

TEST(EngineRunTest, StopThenImmediateRestartWaitsForTheOldRun) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndNever();

    engine.StartThread();
    engine.Run();
    ASSERT_TRUE(model.WaitForTasks(3));
    const std::string strFirstPath = engine.GetTracePath();
    engine.Stop();
    engine.StartThread();  // no wait in between
    // The old run has ended by now: its file is complete.
    const std::string strFirstTrace = ReadFileBytes(strFirstPath);
    engine.Run();
    const int nFirst = CountOf(strFirstTrace, "<input ");
    ASSERT_TRUE(model.WaitForTasks(nFirst + 3));
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 2);

    // The first run was closed before the second opened its own file.
    EXPECT_TRUE(EndsWith(strFirstTrace, kTail));
    EXPECT_GE(nFirst, 3);
    EXPECT_NE(engine.GetTracePath(), strFirstPath);
    const std::string strSecondTrace = model.TraceBytes();
    EXPECT_EQ(nFirst + CountOf(strSecondTrace, "<input "), model.Hooks().nTasks);
    // The second run starts again from the model's start.
    EXPECT_EQ(CountOf(strSecondTrace, "<input time=\"1.000000\""), 1);
    EXPECT_EQ(CountOf(strSecondTrace, "<output time=\"0.000000\""), 1);
    EXPECT_FALSE(engine.m_bErrorPending);
}

TEST(EngineRunTest, PendingMinimumAndMessagesReadableDuringTheRun) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndNever();
    std::atomic<bool> bDone{false};
    std::atomic<int> nReads{0};
    std::atomic<int> nWrongTimes{0};
    std::thread reader([&] {
        while (!bDone) {
            // Step k takes the tick at k and queues the next one: once the
            // run has stepped, the time shown is always the next tick's,
            // never a moment inside a step when nothing is pending.
            const SRunStatus status = engine.GetRunStatus();
            if (status.nSteps > 0 &&
                (!status.bNextFound || status.dNextTime != status.nSteps + 1.0)) {
                ++nWrongTimes;
            }
            engine.TakeMessages();
            (void)engine.GetServer().IsConnected();
            (void)engine.GetServer().IsAccepting();
            (void)engine.m_bInitialized.load();
            ++nReads;
        }
    });
    engine.StartThread();
    engine.Run();
    EXPECT_TRUE(
        WaitOnProgress([&] { return model.Hooks().nTasks >= 50 && nReads >= 50; },
                       [&] { return std::pair(model.Hooks().nTasks.load(), nReads.load()); }));
    engine.Stop();
    EXPECT_TRUE(WaitForRunEnd(engine));
    bDone = true;
    reader.join();
    EXPECT_EQ(nWrongTimes, 0);
    // After the end the last step's time stays.
    const SRunStatus status = engine.GetRunStatus();
    EXPECT_EQ(status.eState, RS_ENDED);
    EXPECT_EQ(status.nSteps, model.Hooks().nTasks);
    EXPECT_EQ(status.dNextTime, status.nSteps + 1.0);
    ExpectCleanEnd(model, 1);
}

// The run start empties the pending table before it queues the initial
// events: their times are the first the run knows, before any step.
TEST(EngineRunTest, TheInitialEventsAreTheStartedRunsFirstPendingTime) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndByLoops(0);
    model.Process()->m_listInitialEvents.push_back(sdltest::MakeEvent("tick", 0.5));
    ASSERT_EQ(engine.StartThread(), 0);
    ASSERT_TRUE(WaitUntil([&] { return engine.GetRunState() == RS_INITIALIZED; }));
    const SRunStatus status = engine.GetRunStatus();
    EXPECT_EQ(status.nSteps, 0);
    EXPECT_TRUE(status.bNextFound);
    // Not the start transition's tick at 1, queued after it.
    EXPECT_EQ(status.dNextTime, 0.5);
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
}

// ---- Failed starts -------------------------------------------------------------------

TEST(EngineRunTest, FailedStartClearsRunningAndReportsThenNextStartIsClean) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndByLoops(1);

    // The factory cannot load a library.
    model.Hooks().bNoLibrary = true;
    engine.StartThread();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(engine.GetLastThreadResult(), 1);
    EXPECT_FALSE(engine.m_bRunning);
    // A series of experiments sets running right after the start and then
    // waits for it to clear. When the start has already failed nothing will
    // clear it again: such a late Run must leave it clear.
    engine.Run();
    EXPECT_FALSE(engine.m_bRunning) << "a Run after a failed start leaves running set";
    EXPECT_FALSE(engine.m_bInitialized);
    EXPECT_TRUE(engine.m_bErrorPending);
    EXPECT_EQ(engine.m_nRunCount, 0);
    EXPECT_EQ(engine.GetModelLibrary(), nullptr);
    EXPECT_TRUE(HasLine(model.Notifier(), NP_SYSTEM,
                        "The run could not start: the model library could not be loaded. "
                        "Build the model first."));
    EXPECT_TRUE(model.Notifier().GetBoxes().empty());
    // The trace file was opened first: it gets its tail and no record.
    const std::string strFailedTrace = model.TraceBytes();
    EXPECT_TRUE(EndsWith(strFailedTrace, "\t<Events>\r\n" + kTail)) << strFailedTrace;

    // No factory and no library file at the code base: the same, no box.
    model.Notifier().Clear();
    engine.SetLibraryFactory(nullptr);
    engine.Stop();  // the user gives up on the failed run
    engine.StartThread();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(engine.GetLastThreadResult(), 1);
    EXPECT_FALSE(engine.m_bRunning);
    EXPECT_EQ(engine.m_nRunCount, 0);
    EXPECT_EQ(engine.GetModelLibrary(), nullptr);
    EXPECT_FALSE(model.Notifier().GetLines().empty());
    EXPECT_TRUE(model.Notifier().GetBoxes().empty());

    // A start right after, with a library, is clean.
    model.InstallLibraryFactory();
    model.Hooks().bNoLibrary = false;
    ASSERT_TRUE(model.RunToEnd());
    EXPECT_FALSE(engine.m_bErrorPending);
    EXPECT_EQ(model.Hooks().nTasks, 2);
    ExpectCleanEnd(model, 1);
    EXPECT_NE(model.TraceBytes(), strFailedTrace);
}

TEST(EngineRunTest, NoTraceFileFailsTheStartBeforeTheLibraryLoads) {
    CTempFolder folder;
    CRunModel model(folder.GetPath() + "missing/deeper/");
    CSDLEngine& engine = model.Engine();
    engine.m_bRepresentationTrace = true;
    model.EndByLoops(1);
    engine.Run();  // running set before the start, as the series does
    engine.StartThread();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(engine.GetLastThreadResult(), 1);
    EXPECT_FALSE(engine.m_bRunning);
    EXPECT_TRUE(engine.m_bErrorPending);
    EXPECT_EQ(engine.m_nRunCount, 0);
    EXPECT_EQ(model.Hooks().nLoads, 0);
    EXPECT_EQ(engine.GetTracePath(), "");
    EXPECT_TRUE(HasLine(model.Notifier(), NP_SYSTEM, "Unable to open the trace file"));
    EXPECT_TRUE(
        HasLine(model.Notifier(), NP_ERRORS,
                "The traces folder " + folder.GetPath() +
                    "missing/deeper/traces/ cannot be created: No such file or directory."));
}

// ---- End of run --------------------------------------------------------------------------

TEST(EngineRunTest, EveryRunEndRemovesInstances) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndByLoops(0);
    auto addInstance = [&] {
        auto pInstance = std::make_unique<CSDLProcess>();
        pInstance->m_strName = model.Process()->m_strName;
        pInstance->m_nId = model.Process()->m_nId;
        pInstance->m_nInstanceIndex = 1;
        pInstance->m_pEngine = &engine;
        pInstance->m_pParent = model.Block();
        engine.m_mapProcesses["B_P[1]"] = pInstance.get();
        model.Block()->m_mapProcesses["P[1]"] = std::move(pInstance);
        model.Process()->m_nInstanceCount = 1;
    };
    for (const bool bLibrary : {false, true}) {
        SCOPED_TRACE(bLibrary ? "complete run" : "failed start");
        addInstance();
        model.Hooks().bNoLibrary = !bLibrary;
        ASSERT_TRUE(model.RunToEnd());
        EXPECT_EQ(engine.GetLastThreadResult(), bLibrary ? 0 : 1);
        EXPECT_EQ(model.Block()->m_mapProcesses.size(), 1u);
        EXPECT_NE(model.Block()->GetProcess("P"), nullptr);
        EXPECT_EQ(engine.m_mapProcesses.size(), 1u);
        EXPECT_EQ(engine.m_mapProcesses.count("B_P"), 1u);
        EXPECT_EQ(model.Process()->m_nInstanceCount, 0);
    }
}

TEST(EngineRunTest, FreeModelDllClearsTheLibrary) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    ASSERT_EQ(engine.LoadModelDLL(), 0);
    EXPECT_NE(engine.GetModelLibrary(), nullptr);
    // Loading again frees the first library before binding the next.
    ASSERT_EQ(engine.LoadModelDLL(), 0);
    EXPECT_EQ(model.Hooks().nLoads, 2);
    EXPECT_EQ(model.Hooks().nFrees, 1);
    EXPECT_EQ(engine.FreeModelDLL(), 0);
    EXPECT_EQ(engine.GetModelLibrary(), nullptr);
    EXPECT_EQ(model.Hooks().nFrees, 2);
    EXPECT_EQ(engine.FreeModelDLL(), 0);
    EXPECT_EQ(model.Hooks().nFrees, 2);
}

// ---- Destruction ---------------------------------------------------------------------

// Destroys the model's engine on a helper thread. True when that took less
// than tWait; otherwise fnRescue is called again and again until the
// simulation thread has ended and the destruction is over, and the result is
// false.
bool DestroyWithin(CRunModel& model, std::chrono::milliseconds tWait,
                   const std::function<void()>& fnBeforeWait,
                   const std::function<void()>& fnRescue) {
    std::promise<void> done;
    std::future<void> future = done.get_future();
    std::thread destroyer([&] {
        model.DestroyEngine();
        done.set_value();
    });
    if (fnBeforeWait) {
        fnBeforeWait();
    }
    const bool bInTime = future.wait_for(velkotest::ScaledWait(tWait)) == std::future_status::ready;
    if (!bInTime) {
        const auto deadline = Clock::now() + velkotest::ScaledWait(10s);
        while (future.wait_for(10ms) != std::future_status::ready) {
            if (Clock::now() > deadline) {
                std::fprintf(stderr, "the engine's destructor never returned\n");
                std::_Exit(1);
            }
            fnRescue();
        }
    }
    destroyer.join();
    return bInTime;
}

TEST(EngineRunTest, DestructorEndsARunWaitingForRunOrStepping) {
    for (const bool bStarted : {false, true}) {
        SCOPED_TRACE(bStarted ? "stepping" : "waiting for Run");
        CTempFolder folder;
        CRunModel model(folder.GetPath());
        CSDLEngine& engine = model.Engine();
        model.EndNever();
        engine.StartThread();
        ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
        if (bStarted) {
            engine.Run();
            ASSERT_TRUE(model.WaitForTasks(3));
        }
        CSDLAgent* pRoot = model.Root();
        EXPECT_TRUE(DestroyWithin(model, 3s, nullptr, [pRoot] { pRoot->m_bStop = true; }));
        EXPECT_EQ(model.Hooks().nFrees, 1);
    }
}

// The destructor's finish mark, and its cancel of the viewer wait, must
// hold even when they come while the run start is still loading the library.
TEST(EngineRunTest, DestructorDuringRunStartDoesNotHang) {
    for (const bool bUseClients : {false, true}) {
        SCOPED_TRACE(bUseClients ? "with a viewer to wait for" : "without viewer");
        CTempFolder folder;
        CRunModel model(folder.GetPath());
        CSDLEngine& engine = model.Engine();
        if (bUseClients) {
            UseLoopbackViewer(engine);
        }
        model.EndNever();
        model.Hooks().HoldLoad();
        engine.StartThread();
        ASSERT_TRUE(WaitUntil([&] { return model.Hooks().IsLoadWaiting(); }));
        CSDLAgent* pRoot = model.Root();
        CEstadisticsServidor* pServer = &engine.GetServer();
        int nRescues = 0;
        bool bStuckInViewerWait = false;
        const bool bInTime = DestroyWithin(
            model, 3s,
            [&] {
                // Let the destructor mark the root, cancel and reach its
                // join, then let the run start go on.
                std::this_thread::sleep_for(velkotest::ScaledWait(200ms));
                model.Hooks().ReleaseLoad();
            },
            [&] {
                // Rescue: end whatever the thread waits for now.
                if (nRescues++ == 0) {
                    bStuckInViewerWait = pServer->IsAccepting();
                }
                if (pServer->IsAccepting()) {
                    pServer->CancelWait();
                }
                pRoot->m_bStop = true;
            });
        EXPECT_TRUE(bInTime) << "the engine's destructor hangs: the simulation thread "
                             << (bStuckInViewerWait ? "waits for a viewer" : "waits for Run");
        EXPECT_EQ(model.Hooks().nFrees, model.Hooks().nLoads);
    }
}

TEST(EngineRunTest, DestructorCancelsTheWaitForTheViewer) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    UseLoopbackViewer(engine);
    model.EndNever();
    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] {
        return engine.GetServer().IsAccepting() && engine.GetServer().GetBoundPort() != 0;
    }));
    CSDLAgent* pRoot = model.Root();
    CEstadisticsServidor* pServer = &engine.GetServer();
    const bool bInTime = DestroyWithin(model, 3s, nullptr, [pRoot, pServer] {
        pServer->CancelWait();
        pRoot->m_bStop = true;
    });
    EXPECT_TRUE(bInTime) << "the engine's destructor did not end the run waiting for a viewer";
    EXPECT_EQ(model.Hooks().nFrees, model.Hooks().nLoads);
}

// ---- What the window relies on --------------------------------------------------------

// Settings written while a run goes are no data race and wait for the next
// run; the listener hears every state, step and error of both runs, and the
// error report after the clean second run holds nothing of the first.
TEST(EngineRunTest, SettingsChangedDuringARunApplyToTheNextRun) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    CRecordingListener listener;
    engine.SetListener(&listener);
    engine.m_bExecutionTrace = false;
    engine.m_bRepresentationTrace = true;
    model.EndNever();

    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(model.WaitForTasks(3));
    // What a settings dialog writes meanwhile, from the window's thread.
    engine.m_bExecutionTrace = true;
    engine.m_strExperimentLabel = "second";
    engine.m_nEndMode = EM_BY_LOOPS;
    engine.m_nLoopLimit = 2;
    engine.m_bStopOnErrors = true;
    // A decision fails a little later (and the model falls idle): the run,
    // not stopping on errors, goes on.
    model.Hooks().nFailAtTask = model.Hooks().nTasks + 1000;
    ASSERT_TRUE(WaitOnProgress([&] { return listener.Errors() == 1; },
                               [&] { return model.Hooks().nTasks.load(); }));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(engine.IsThreadAlive()) << "the run took the new settings";
    EXPECT_EQ(engine.GetRunState(), RS_RUNNING);
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
    const std::string strFirst = model.TraceBytes();
    EXPECT_EQ(CountOf(strFirst, "<input "), 0);
    EXPECT_NE(CountOf(strFirst, "EYE_SetState"), 0);
    EXPECT_EQ(GetFileName(engine.GetTracePath()).rfind("Model [main model] (", 0), 0u);
    EXPECT_NE(model.Root()->GetErrorReport().find("ERROR: P: PID: B_P"), std::string::npos);

    // The next run takes them: execution records, the new label, three steps.
    model.Hooks().nTasks = 0;
    model.Hooks().nFailAtTask = 0;
    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(model.Hooks().nTasks, 3);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<input "), 3);
    EXPECT_EQ(GetFileName(engine.GetTracePath()).rfind("Model [second] (", 0), 0u);
    EXPECT_EQ(engine.GetRunSettings().eEndMode, EM_BY_LOOPS);
    // The clean run reports nothing: the first run's error is gone.
    EXPECT_EQ(Trim(model.Root()->GetErrorReport()), "");

    const std::vector<EngineRunState> states = listener.States();
    const std::vector<EngineRunState> oneRun = {RS_STARTING, RS_INITIALIZED, RS_RUNNING, RS_ENDING,
                                                RS_ENDED};
    std::vector<EngineRunState> twoRuns = oneRun;
    twoRuns.insert(twoRuns.end(), oneRun.begin(), oneRun.end());
    EXPECT_EQ(states, twoRuns);
    const std::vector<std::pair<long long, double>> steps = listener.Steps();
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps.back(), std::make_pair(3LL, 4.0));
    engine.SetListener(nullptr);
}

// "Model name" calls the library from the window's thread while runs bind
// and free it on the simulation thread.
TEST(EngineRunTest, ModelNameFromAnotherThreadDuringRuns) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndNever();
    std::atomic<bool> bDone{false};
    std::atomic<int> nNamed{0};
    std::atomic<int> nWrong{0};
    std::thread window([&] {
        while (!bDone) {
            std::string strName;
            const ModelCallResult eResult = engine.GetModelName(strName);
            if (eResult == MC_OK) {
                ++nNamed;
                nWrong += strName == "model" ? 0 : 1;
            } else if (eResult != MC_MISSING) {
                ++nWrong;
            }
        }
    });
    for (int nRun = 1; nRun <= 3; ++nRun) {
        ASSERT_EQ(engine.StartThread(), 0);
        engine.Run();
        ASSERT_TRUE(
            WaitOnProgress([&] { return model.Hooks().nTasks >= 5 * nRun && nNamed > 0; },
                           [&] { return std::pair(model.Hooks().nTasks.load(), nNamed.load()); }));
        engine.Stop();
        ASSERT_TRUE(WaitForRunEnd(engine));
    }
    bDone = true;
    window.join();
    EXPECT_GT(nNamed, 0);
    EXPECT_EQ(nWrong, 0);
    std::string strName;
    EXPECT_EQ(engine.GetModelName(strName), MC_MISSING);  // freed at the end of the run
    EXPECT_EQ(model.Hooks().nFrees, 3);
}

// A run waits on a question the window never answers: Stop, a new run start
// and the destructor each answer it Cancel instead of waiting for ever.
TEST(EngineRunTest, StopWhileAQuestionWaitsEndsTheRun) {
    CSilentWindowNotifier window;
    CTempFolder folder;
    auto pModel = std::make_unique<CRunModel>(folder.GetPath());
    CRunModel& model = *pModel;
    CSDLEngine& engine = model.Engine();
    engine.SetNotifier(&window);
    model.AskEveryStep();
    model.EndNever();

    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(WaitUntil([&] { return window.GetPendingQuestions().size() == 1; }));
    EXPECT_EQ(engine.GetRunState(), RS_RUNNING);
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine)) << "the run still waits for the user";
    EXPECT_EQ(window.Cancelled(), window.Posted());
    EXPECT_EQ(model.Hooks().nTasks, 1);
    EXPECT_EQ(engine.GetRunState(), RS_ENDED);

    // A run start right after a Stop, while the stopped run waits on a
    // question, waits for it without hanging.
    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(WaitUntil([&] { return window.GetPendingQuestions().size() == 1; }));
    engine.Stop();
    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(WaitUntil([&] { return window.GetPendingQuestions().size() == 1; }));

    // The destructor, with the third run waiting on its question.
    std::promise<void> done;
    std::thread closer([&] {
        pModel.reset();
        done.set_value();
    });
    const bool bClosed =
        done.get_future().wait_for(velkotest::ScaledWait(5s)) == std::future_status::ready;
    if (!bClosed) {
        window.CancelPendingQuestions();  // rescue, so the test can end
    }
    closer.join();
    EXPECT_TRUE(bClosed) << "the engine's destructor waits on the question";
    EXPECT_EQ(window.Cancelled().size(), 3u);
    EXPECT_EQ(window.Reports(), 0);
}

// The window's Step waits until the loop has cleared go; on the step that
// ends the run the loop never comes back to clear it, so the run end does.
TEST(EngineRunTest, StepOnTheLastStepOfARunReturns) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bStepByStep = true;
    model.EndByLoops(1);
    ASSERT_EQ(engine.StartThread(), 0);
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    engine.Run();
    ASSERT_TRUE(engine.WaitForStepEnd(velkotest::ScaledMs(5000)));
    EXPECT_EQ(model.Hooks().nTasks, 1);
    EXPECT_EQ(engine.GetRunState(), RS_PAUSED);
    engine.StepOnce();
    ASSERT_TRUE(engine.WaitForStepEnd(velkotest::ScaledMs(5000)));
    EXPECT_EQ(model.Hooks().nTasks, 2);
    // This request ends the run (the end test follows the wait).
    engine.StepOnce();
    EXPECT_TRUE(engine.WaitForStepEnd(velkotest::ScaledMs(5000))) << "the last Step never returns";
    EXPECT_FALSE(engine.m_bGo);
    EXPECT_FALSE(engine.m_bStepRequest);
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(model.Hooks().nTasks, 2);
    ExpectCleanEnd(model, 1);
}

// A run that ended by itself leaves the engine initialised (the user
// interface reads it so); a second run start on the same model still works.
TEST(EngineRunTest, SecondInitializeAfterARunEndedByItself) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    model.EndByLoops(2);
    std::thread window([&] {
        // The window reads the run from its own thread meanwhile.
        for (int n = 0; n < 200; ++n) {
            (void)engine.GetRunState();
            (void)engine.m_bInitialized.load();
            auto lock = engine.LockTree();
            (void)engine.FindAgentByKey("B_P");
        }
    });
    ASSERT_EQ(engine.StartThread(), 0);
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    window.join();
    EXPECT_EQ(engine.GetRunState(), RS_ENDED);
    EXPECT_TRUE(engine.m_bInitialized);
    const std::string strFirstPath = engine.GetTracePath();

    model.Hooks().HoldLoad();
    ASSERT_EQ(engine.StartThread(), 0);
    EXPECT_FALSE(engine.m_bInitialized);  // until this start has initialised
    EXPECT_EQ(engine.GetRunState(), RS_STARTING);
    model.Hooks().ReleaseLoad();
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 2);
    EXPECT_EQ(model.Hooks().nTasks, 6);
    EXPECT_NE(engine.GetTracePath(), strFirstPath);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<input "), 3);
    EXPECT_EQ(CountOf(ReadFileBytes(strFirstPath), "<input "), 3);
}

// Only a start that initialised counts; a start while a run goes is refused.
TEST(EngineRunTest, RunCountAndOverlappingStarts) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    model.EndNever();
    model.Hooks().HoldLoad();
    ASSERT_EQ(engine.StartThread(), 0);
    ASSERT_TRUE(WaitUntil([&] { return model.Hooks().IsLoadWaiting(); }));
    EXPECT_EQ(engine.StartThread(), 1);  // the first run is still starting
    engine.Stop();
    model.Hooks().ReleaseLoad();
    ASSERT_TRUE(WaitForRunEnd(engine));
    EXPECT_EQ(engine.m_nRunCount, 0);

    CSDLEngine empty;
    EXPECT_EQ(empty.StartThread(), 1);  // no model
    EXPECT_FALSE(empty.IsThreadAlive());
}

// ---- Trace file --------------------------------------------------------------------------

TEST(EngineTraceFileTest, NamesPlainThenNumberedUpToTheLimit) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_strExperimentLabel = "exp/1";
    const std::tm tmStart = MakeTime(2024, 5, 1, 15, 30, 42);
    const std::string strBase = folder.GetPath() + "traces/Model [exp_1] (2024-05-01 1530h)";

    ASSERT_EQ(engine.OpenTraceFile(tmStart), 0);
    EXPECT_EQ(engine.GetTracePath(), strBase + ".trace");
    engine.CloseTraceFile();
    ASSERT_EQ(engine.OpenTraceFile(tmStart), 0);
    EXPECT_EQ(engine.GetTracePath(), strBase + " (2).trace");
    engine.CloseTraceFile();
    const std::string strSecond = ReadFileBytes(strBase + " (2).trace");
    EXPECT_EQ(strSecond.rfind("<?xml version='1.0' encoding='utf-8'?>\r\n<Trace>\r\n", 0), 0u);
    EXPECT_TRUE(EndsWith(strSecond, "\t<Events>\r\n" + kTail));

    for (int n = 3; n <= 97; ++n) {
        std::FILE* pFile = std::fopen(Format("%s (%d).trace", strBase.c_str(), n).c_str(), "wb");
        ASSERT_NE(pFile, nullptr);
        std::fclose(pFile);
    }
    ASSERT_EQ(engine.OpenTraceFile(tmStart), 0);
    EXPECT_EQ(engine.GetTracePath(), strBase + " (98).trace");
    engine.CloseTraceFile();
    EXPECT_FALSE(engine.m_bErrorPending);

    // The plain name and (2) to (98) exist: no more names.
    EXPECT_EQ(engine.OpenTraceFile(tmStart), 3);
    EXPECT_TRUE(engine.m_bErrorPending);
    EXPECT_EQ(engine.GetTracePath(), strBase + " (98).trace");
    EXPECT_FALSE(FileExists(strBase + " (99).trace"));
    EXPECT_TRUE(HasLine(model.Notifier(), NP_SYSTEM,
                        "Unable to open the trace file. More than 100 traces."));
    engine.CloseTraceFile();  // nothing is open: nothing happens
    EXPECT_EQ(ReadFileBytes(strBase + " (98).trace").size(), strSecond.size());

    // A name is taken by creating its file: a name held by a link to a file
    // that does not exist (as good as a file another instance has just
    // created) is passed over, and nothing is written through the link.
    const std::string strOther = folder.GetPath() + "traces/Model [exp_1] (2024-05-01 1531h)";
    ASSERT_EQ(symlink((folder.GetPath() + "elsewhere").c_str(), (strOther + ".trace").c_str()), 0);
    ASSERT_EQ(engine.OpenTraceFile(MakeTime(2024, 5, 1, 15, 31, 0)), 0);
    EXPECT_EQ(engine.GetTracePath(), strOther + " (2).trace");
    EXPECT_TRUE(engine.CloseTraceFile());
    EXPECT_FALSE(FileExists(folder.GetPath() + "elsewhere"));
}

TEST(EngineTraceFileTest, OneStepRunGivesTheExactFile) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = true;
    engine.m_strParametrizationFile = "runs/p&1.par";
    model.EndByLoops(0);
    ASSERT_TRUE(model.RunToEnd());
    ExpectCleanEnd(model, 1);
    const std::string strExpected =
        ReadFileBytes(std::string(VELKO_TEST_DATA_DIR) + "/enginerun/one_step.trace");
    ASSERT_FALSE(strExpected.empty());
    EXPECT_EQ(model.TraceBytes(), strExpected);
    EXPECT_EQ(GetFileName(engine.GetTracePath()).rfind("Model [main model] (", 0), 0u);
}

TEST(EngineTraceFileTest, AmpersandAndAccentsStillParse) {
    CTempFolder folder;
    CRunModel model(folder.GetPath(), "Sys&Co <1>", "Cañón");
    CSDLEngine& engine = model.Engine();
    engine.m_strModelName = "A&B";
    engine.m_strModelPath = folder.GetPath() + "A&B.sdl";
    engine.m_strParametrizationFile = "p&q \"1\".par";
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = true;
    model.EndByLoops(1);
    ASSERT_TRUE(model.RunToEnd());
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(GetFileName(engine.GetTracePath()).rfind("A&B [main model] (", 0), 0u);

    CXMLParser parser;
    ASSERT_NO_THROW(parser.LoadXML(model.TraceBytes()));
    const CXMLNode trace = parser.FindChild(nullptr, "Trace");
    ASSERT_TRUE(trace);
    std::string strValue;
    parser.GetText(parser.FindChild(trace, "parametrization"), strValue);
    EXPECT_EQ(strValue, "p&q \"1\".par");
    const CXMLNode info = parser.FindChild(trace, "ModelInfo");
    ASSERT_TRUE(info);
    parser.GetText(parser.FindChild(info, "ModelName"), strValue);
    EXPECT_EQ(strValue, "Sys&Co <1>");
    const CXMLNode agent = parser.FindChild(parser.FindChild(info, "Agents"), "Agent");
    ASSERT_TRUE(agent);
    parser.ReadAttribute(agent, "name", strValue);
    EXPECT_EQ(strValue, "B_Cañón");
    const CXMLNode events = parser.FindChild(trace, "Events");
    ASSERT_TRUE(events);
    const CXMLNode eye = parser.FindChild(events, "EYE_SetState");
    ASSERT_TRUE(eye);
    parser.ReadAttribute(eye, "agent", strValue);
    EXPECT_EQ(strValue, "B_Cañón");
    const CXMLNode input = parser.FindChild(events, "input");
    ASSERT_TRUE(input);
    parser.ReadAttribute(input, "process", strValue);
    EXPECT_EQ(strValue, "B_Cañón");
}

// A trace of several of the writer's blocks, from a process whose name needs
// escaping and is not ASCII, run in a locale with a decimal comma: at a
// pause the file holds every record so far, and after Stop all of them and
// the tail; each record as the sink got it, with CR LF line ends.
TEST(EngineTraceFileTest, LongTraceIsOnDiskAtAPauseAndWholeAfterStop) {
    const bool bComma = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    CTempFolder folder;
    CStringTraceSink sink;  // outlives the engine
    CRunModel model(folder.GetPath(), "sys", "Ca\xC3\xB1\xC3\xB3n & <\"P\">");
    CSDLEngine& engine = model.Engine();
    engine.SetTraceSink(&sink);
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = true;
    model.EndNever();
    std::atomic<int>& nSteps = model.Hooks().nTasks;
    // The file's records, and the sink's with CR LF, plus what should follow.
    auto expectRecordsOnDisk = [&](const std::string& strAfter) {
        const std::string strBytes = model.TraceBytes();
        const std::string strStart = "\t<Events>\r\n";
        const size_t nStart = strBytes.find(strStart);
        ASSERT_NE(nStart, std::string::npos);
        std::string strRecords;
        for (const char ch : sink.m_strText) {
            if (ch == '\n') {
                strRecords += '\r';
            }
            strRecords += ch;
        }
        const bool bSame = strBytes.compare(nStart + strStart.size(), std::string::npos,
                                            strRecords + strAfter) == 0;
        EXPECT_TRUE(bSame) << strBytes.size() - nStart << " bytes of records on disk, "
                           << strRecords.size() + strAfter.size() << " expected";
        EXPECT_GT(strRecords.size(), size_t{3} << 20);
    };

    engine.StartThread();
    engine.Run();
    ASSERT_TRUE(model.WaitForTasks(6000));
    engine.Pause();
    ASSERT_TRUE(WaitUntil([&] { return engine.GetRunState() == RS_PAUSED; }));
    expectRecordsOnDisk("");
    const int nAtPause = nSteps;
    engine.Resume();
    ASSERT_TRUE(model.WaitForTasks(nAtPause + 2000));
    engine.Stop();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 1);
    expectRecordsOnDisk(kTail);
    EXPECT_EQ(CountOf(sink.m_strText, "<input "), nSteps.load());
    // Names escaped, UTF-8 as it is, numbers with a point.
    EXPECT_EQ(CountOf(model.TraceBytes(),
                      "<input time=\"1.000000\" process=\"B_Ca\xC3\xB1\xC3\xB3n &amp; "
                      "&lt;&quot;P&quot;>\" name=\"tick\" id=\"4\" mnca=\"no\" curcell=\"0\">"
                      "<params to=\"\" creationtime=\"0.000000\" delay=\"1.000000\" "
                      "executiontime=\"1.000000\" priority=\"0\" type=\"tick\" cells=\"\">"
                      "</params></input>\r\n"),
              1);
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(bComma) << "de_DE.UTF-8 is not installed: run in the C locale only";
}

// A trace that cannot be written to its end (a full disk: here a file-size
// limit) ends the run with an error that names the file and the reason,
// whether the write fails during the run or only at its close; what was
// written stays as the run wrote it.
TEST(EngineTraceFileTest, ATraceThatCannotBeWrittenEndsTheRunWithAnError) {
    struct SCase {
        const char* pszName;
        rlim_t nLimit;
        int nLoops;
    };
    // A run that writes its 1 MB blocks fails during the run; a short one
    // only when its tail is written.
    for (const SCase& c :
         {SCase{"during the run", 1 << 20, 20000}, SCase{"at the close", 4096, 100}}) {
        SCOPED_TRACE(c.pszName);
        CTempFolder folder;
        CStringTraceSink sink;  // outlives the engine
        CRunModel model(folder.GetPath());
        CSDLEngine& engine = model.Engine();
        engine.SetTraceSink(&sink);
        engine.m_bExecutionTrace = true;
        model.EndByLoops(c.nLoops);
        {
            velkotest::CFileSizeLimit limit(c.nLimit);
            engine.StartThread();
            engine.Run();
            ASSERT_TRUE(WaitForRunEnd(engine));
        }
        EXPECT_EQ(engine.GetLastThreadResult(), 1);
        EXPECT_TRUE(engine.m_bErrorPending);
        EXPECT_FALSE(engine.IsThreadAlive());
        EXPECT_EQ(engine.GetModelLibrary(), nullptr);
        const std::string strLine =
            "The trace file " + engine.GetTracePath() +
            " cannot be written: File too large. It holds the run up to the failed write.";
        EXPECT_TRUE(HasLine(model.Notifier(), NP_ERRORS, strLine));
        EXPECT_TRUE(
            HasLine(model.Notifier(), NP_SYSTEM, "The run ended with an error: " + strLine));
        int nErrorLines = 0;
        for (const CRecordingNotifier::Line& line : model.Notifier().GetLines()) {
            nErrorLines += line.ePane == NP_ERRORS;
        }
        EXPECT_EQ(nErrorLines, 1);
        // The file is the run's trace cut at the limit: its records are the
        // sink's, with CR LF.
        const std::string strBytes = model.TraceBytes();
        EXPECT_EQ(strBytes.size(), c.nLimit);
        std::string strRecords;
        for (const char ch : sink.m_strText) {
            strRecords += ch == '\n' ? "\r\n" : std::string(1, ch);
        }
        const std::string strEvents = "\t<Events>\r\n";
        const size_t nStart = strBytes.find(strEvents);
        ASSERT_NE(nStart, std::string::npos);
        const std::string strOnDisk = strBytes.substr(nStart + strEvents.size());
        EXPECT_EQ(strRecords.compare(0, strOnDisk.size(), strOnDisk), 0);
        // A failure during the run ends it at the step that found it, well
        // before its loops are done.
        if (c.nLimit > 4096) {
            EXPECT_LT(model.Hooks().nTasks.load(), c.nLoops / 2);
        }
    }
}

// A trace becomes XML 1.1 by its declaration's one byte, whether the
// declaration is still in the writer's buffer or already on disk; the rest
// of the file stays as written, and a file that began otherwise is left
// alone.
TEST(EngineTraceFileTest, TheDeclarationBecomesXml11WhereverItIs) {
    CTempFolder folder;
    const std::string strBody(3 << 20, 'x');  // more than one block of the writer
    struct SCase {
        const char* pszName;
        std::string strStart;
        size_t nBefore;  // bytes of the body written before the change
        bool bChanged;
    };
    const std::string strStart(kTraceDeclaration);
    for (const SCase& c : {SCase{"in the buffer", strStart, 100, true},
                           SCase{"on disk", strStart, strBody.size() - 100, true},
                           SCase{"another start", "<Trace>\n", strBody.size() - 100, false}}) {
        SCOPED_TRACE(c.pszName);
        const std::string strPath = folder.GetPath() + "/" + c.pszName + ".trace";
        {
            CTraceFile file;
            ASSERT_TRUE(file.Open(strPath));
            file.Write(c.strStart);
            file.Write(strBody.substr(0, c.nBefore));
            file.DeclareXml11();
            file.DeclareXml11();
            file.Write(strBody.substr(c.nBefore) + "\n");
            file.Close();
            EXPECT_EQ(file.GetError(), 0);
        }
        std::string strWanted = c.strStart + strBody + "\n";
        ReplaceAll(strWanted, "\n", "\r\n");
        if (c.bChanged) {
            strWanted.replace(0, 19, "<?xml version='1.1'");
        }
        const std::string strBytes = ReadFileBytes(strPath);
        EXPECT_EQ(strBytes.size(), strWanted.size());
        EXPECT_TRUE(strBytes == strWanted) << strBytes.substr(0, 40);
    }
}

// ---- Viewer link ---------------------------------------------------------------------------

TEST(EngineViewerTest, DefaultPortIs8686) {
    CSDLEngine engine;
    EXPECT_EQ(engine.GetServer().GetDataPort(), 8686u);
    engine.SetViewerPort(9100);
    EXPECT_EQ(engine.GetServer().GetDataPort(), 9100u);
}

TEST(EngineViewerTest, ViewerReceivesModelInfoRecordsAndEndOfReplication) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = true;
    UseLoopbackViewer(engine);
    engine.GetServer().SetClock([] { return MakeTime(2024, 3, 5, 9, 5, 7); });
    model.EndByLoops(2);

    engine.StartThread();
    const unsigned int nPort = WaitListening(engine);
    ASSERT_NE(nPort, 0u);
    CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    EXPECT_TRUE(engine.GetServer().IsConnected());
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ASSERT_TRUE(viewer.WaitForEnd()) << "the link was not closed";
    ExpectCleanEnd(model, 1);
    EXPECT_FALSE(engine.GetServer().IsConnected());

    const std::string strTrace = model.TraceBytes();
    std::vector<std::string> vecRecords = RecordLines(strTrace);
    ASSERT_GE(vecRecords.size(), 2u);
    EXPECT_EQ(vecRecords[0], kWaitingNote);
    EXPECT_EQ(vecRecords[1], kEstablishedNote);
    vecRecords.erase(vecRecords.begin(), vecRecords.begin() + 2);

    std::vector<std::string> expected;
    expected.push_back(
        "\t<ModelInfo> \t\t<ModelName>sys</ModelName> \t\t<ModelType></ModelType> "
        "\t\t<ConnectionTime Format='hh:mm:ss'>9:5:7</ConnectionTime> "
        "\t\t<ConnectionDate Format='dd:mm:yy'>5-3-2024</ConnectionDate><Agents>" +
        model.Root()->GetAgentsXml() + "</Agents></ModelInfo>");
    for (const std::string& strRecord : vecRecords) {
        expected.push_back(kDeclaration + strRecord);
    }
    expected.push_back(kDeclaration + "<EndReplication />");
    EXPECT_EQ(viewer.GetMessages(), expected);
    // Three steps of the model, each with input, output and setstate, and
    // the start transition's three records.
    EXPECT_EQ(vecRecords.size(), 3u * 3u + 3u);
}

// Names that need escaping, and names with control characters, which the
// trace file and every message that holds one carry as references under an
// XML 1.1 declaration: each parses, with the name as it was.
TEST(EngineViewerTest, NamesWithAmpersandsAndControlCharactersParse) {
    const std::string strSystem = "Sys&Co <1>\x01";
    const std::string strProcess = "Ca\xC3\xB1\xC3\xB3n\x1F\x7F";
    CTempFolder folder;
    CRunModel model(folder.GetPath(), strSystem, strProcess);
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    UseLoopbackViewer(engine);
    model.EndByLoops(0);
    engine.StartThread();
    const unsigned int nPort = WaitListening(engine);
    ASSERT_NE(nPort, 0u);
    CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ASSERT_TRUE(viewer.WaitForEnd());
    const std::vector<std::string> messages = viewer.GetMessages();
    ASSERT_GE(messages.size(), 3u);
    const std::string kXml11 = "<?xml version='1.1' encoding='utf-8'?>";
    EXPECT_TRUE(messages[0].starts_with(kXml11)) << messages[0];
    CXMLParser parser;
    ASSERT_NO_THROW(parser.LoadXML(messages[0])) << messages[0];
    const CXMLNode info = parser.FindChild(nullptr, "ModelInfo");
    ASSERT_TRUE(info);
    std::string strValue;
    parser.GetText(parser.FindChild(info, "ModelName"), strValue);
    EXPECT_EQ(strValue, strSystem);
    const CXMLNode agent = parser.FindChild(parser.FindChild(info, "Agents"), "Agent");
    ASSERT_TRUE(agent);
    parser.ReadAttribute(agent, "name", strValue);
    EXPECT_EQ(strValue, "B_" + strProcess);
    // The records, each with the process's name; the end of the replication
    // holds none.
    for (size_t i = 1; i + 1 < messages.size(); ++i) {
        EXPECT_TRUE(messages[i].starts_with(kXml11)) << messages[i];
        ASSERT_NO_THROW(parser.LoadXML(messages[i])) << messages[i];
        CXMLNode record = parser.GetChildAt(nullptr, 1);
        ASSERT_TRUE(record) << messages[i];
        parser.ReadAttribute(record, "process", strValue);
        EXPECT_EQ(strValue, "B_" + strProcess) << messages[i];
    }
    EXPECT_EQ(messages.back(), kDeclaration + "<EndReplication />");
    // The trace file, from its declaration on.
    std::string strTrace = model.TraceBytes();
    EXPECT_TRUE(strTrace.starts_with(kXml11 + "\r\n")) << strTrace.substr(0, 60);
    ReplaceAll(strTrace, "\r\n", "\n");
    ASSERT_NO_THROW(parser.LoadXML(strTrace));
    const CXMLNode trace = parser.FindChild(nullptr, "Trace");
    parser.GetText(parser.FindChild(parser.FindChild(trace, "ModelInfo"), "ModelName"), strValue);
    EXPECT_EQ(strValue, strSystem);
    const CXMLNode first = parser.GetChildAt(parser.FindChild(trace, "Events"), 2);
    ASSERT_TRUE(first);
    parser.ReadAttribute(first, "process", strValue);
    EXPECT_EQ(strValue, "B_" + strProcess);
}

TEST(EngineViewerTest, CancelledWaitRunsWithoutViewer) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    UseLoopbackViewer(engine);
    model.EndByLoops(2);
    engine.StartThread();
    ASSERT_TRUE(WaitUntil([&] {
        return engine.GetServer().IsAccepting() && engine.GetServer().GetBoundPort() != 0;
    }));
    EXPECT_FALSE(engine.m_bInitialized);
    engine.GetServer().CancelWait();
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(model.Hooks().nTasks, 3);
    EXPECT_FALSE(engine.GetServer().IsConnected());
    const std::vector<std::string> vecRecords = RecordLines(model.TraceBytes());
    ASSERT_GE(vecRecords.size(), 2u);
    EXPECT_EQ(vecRecords[0], kWaitingNote);
    EXPECT_EQ(vecRecords[1], kErrorNote);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<system>"), 2);
}

TEST(EngineViewerTest, PeerDroppingBeforeItsStartMessageLeavesTheRunToTheViewer) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    UseLoopbackViewer(engine);
    model.EndByLoops(2);
    engine.StartThread();
    const unsigned int nPort = WaitListening(engine);
    ASSERT_NE(nPort, 0u);
    CFakeViewer dropping(nPort, CFakeViewer::DROP_BEFORE_START);
    ASSERT_TRUE(dropping.WaitForEnd());
    // The run start still waits, and takes the viewer that comes next.
    EXPECT_EQ(engine.GetRunState(), RS_WAITING_FOR_VIEWER);
    CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(model.Hooks().nTasks, 3);
    const std::vector<std::string> vecRecords = RecordLines(model.TraceBytes());
    ASSERT_GE(vecRecords.size(), 2u);
    EXPECT_EQ(vecRecords[1], kEstablishedNote);
    ASSERT_TRUE(viewer.WaitForEnd());
    EXPECT_FALSE(viewer.GetMessages().empty());
    EXPECT_TRUE(dropping.GetMessages().empty());
}

TEST(EngineViewerTest, ViewerClosingMidRunLeavesTheRunComplete) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = true;
    UseLoopbackViewer(engine);
    model.EndByLoops(60);
    engine.StartThread();
    const unsigned int nPort = WaitListening(engine);
    ASSERT_NE(nPort, 0u);
    CFakeViewer viewer(nPort, CFakeViewer::HANG_UP_AFTER_ONE);
    ASSERT_TRUE(viewer.WaitForEnd());
    ASSERT_TRUE(WaitUntil([&] { return engine.m_bInitialized.load(); }));
    engine.Run();
    ASSERT_TRUE(WaitForRunEnd(engine));
    ExpectCleanEnd(model, 1);
    EXPECT_EQ(model.Hooks().nTasks, 61);
    EXPECT_EQ(CountOf(model.TraceBytes(), "<input "), 61);
    EXPECT_FALSE(engine.GetServer().IsConnected());
    EXPECT_EQ(viewer.GetMessages().size(), 1u);
    // The loss is told once; the run is not ended by it.
    const std::vector<CRecordingNotifier::Box> boxes = model.Notifier().GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText, "Error: Error al enviar mensaje");
}

TEST(EngineViewerTest, TwoRunsInARowBothBindThePort) {
    CTempFolder folder;
    CRunModel model(folder.GetPath());
    CSDLEngine& engine = model.Engine();
    engine.m_bRepresentationTrace = true;
    UseLoopbackViewer(engine);
    model.EndByLoops(1);
    unsigned int nFirstPort = 0;
    for (int nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(nRun);
        engine.StartThread();
        const unsigned int nPort = WaitListening(engine);
        ASSERT_NE(nPort, 0u);
        if (nRun == 1) {
            nFirstPort = nPort;
            engine.SetViewerPort(nPort);  // the next run asks for the same port
        } else {
            EXPECT_EQ(nPort, nFirstPort);
        }
        CFakeViewer viewer(nPort, CFakeViewer::FOLLOW_RUN);
        engine.Run();
        ASSERT_TRUE(WaitForRunEnd(engine));
        ASSERT_TRUE(viewer.WaitForEnd());
        const std::vector<std::string> messages = viewer.GetMessages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind("\t<ModelInfo> ", 0), 0u);
        EXPECT_EQ(messages.back(), kDeclaration + "<EndReplication />");
        EXPECT_EQ(engine.GetLastThreadResult(), 0);
    }
    ExpectCleanEnd(model, 2);
}

}  // namespace

namespace {

// A new engine is set for a local run by time to 1000, with animation records
// only, and builds with the system's gcc.
TEST(EngineSettingsTest, NewEngineHasTheDefaultSettings) {
    CSDLEngine engine;
    EXPECT_EQ(engine.m_nEndMode, EM_BY_TIME);
    EXPECT_EQ(engine.m_dEndTime, 1000.0);
    EXPECT_EQ(engine.m_nLoopLimit, 1000);
    EXPECT_TRUE(engine.m_bRepresentationTrace);
    EXPECT_FALSE(engine.m_bExecutionTrace);
    EXPECT_FALSE(engine.m_bStepByStep);
    EXPECT_FALSE(engine.m_bUseClients);
    EXPECT_FALSE(engine.m_bStopOnErrors);
    EXPECT_EQ(engine.m_nIPMode, 0);
    EXPECT_EQ(engine.m_Compiler.GetCompiler(), "/usr/bin/gcc");
    EXPECT_EQ(engine.GetServer().GetDataPort(), 8686u);
    EXPECT_EQ(engine.GetModelLibrary(), nullptr);
    EXPECT_FALSE(engine.IsThreadAlive());
    EXPECT_EQ(engine.m_nRunCount, 0);
}

}  // namespace
