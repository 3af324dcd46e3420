#pragma once

// A small model for the tests of the engine's run, with an in-memory model
// library bound through the engine's library factory and hooks that let the
// tests count steps and hold the run start from another thread.
//
// The model: root block (the system) > block "B" (id 1) > process (id 2).
//   start transition: start -> output "tick" to itself, delay 1 -> setstate Idle
//   state Idle:       input "tick" -> task (counts the step) -> decision
//                     (answers the output, or fails at a chosen step)
//                     -> output "tick" to itself, delay 1 -> setstate Idle
// So one step handles one "tick" and the ticks come at times 1, 2, 3, ...

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <source_location>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/eye/sdloperationprocedurecallopenfile.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationstart.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlprocess.h"
#include "support/blockingcall.h"
#include "support/fakemodellibrary.h"
#include "support/fakeviewer.h"
#include "support/recordingnotifier.h"
#include "support/runwait.h"
#include "support/tempfolder.h"
#include "test_helpers.h"

namespace runtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using velkotest::WaitForRunEnd;
using velkotest::WaitOnProgress;
using velkotest::WaitUntil;

// The whole file as bytes; "" when it cannot be read.
inline std::string ReadFileBytes(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream out;
    out << file.rdbuf();
    return out.str();
}

inline bool EndsWith(const std::string& strText, const std::string& strTail) {
    return strText.size() >= strTail.size() &&
           strText.compare(strText.size() - strTail.size(), strTail.size(), strTail) == 0;
}

using velkotest::CTempFolder;

// What the tests observe of, and inject into, the model library. Lives
// longer than the engine (the library's callbacks point at it).
struct CRunHooks {
    std::atomic<int> nTasks{0};           // steps that ran the Idle transition
    std::atomic<int> nLoads{0};           // libraries handed to the engine
    std::atomic<int> nFrees{0};           // libraries destroyed
    std::atomic<int> nFailAtTask{0};      // the decision fails at this step (0: never)
    std::atomic<bool> bNoLibrary{false};  // the factory cannot load

    // While held, the factory blocks: the run start stays inside its load.
    void HoldLoad() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHold = true;
    }
    void ReleaseLoad() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bHold = false;
        }
        m_cv.notify_all();
    }
    bool IsLoadWaiting() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bLoadWaiting;
    }
    void WaitWhileHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bLoadWaiting = m_bHold;
        m_cv.wait(lock, [this] { return !m_bHold; });
        m_bLoadWaiting = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bHold = false;
    bool m_bLoadWaiting = false;
};

// The fake library that counts its own destruction.
class CCountingLibrary : public CFakeModelLibrary {
public:
    explicit CCountingLibrary(CRunHooks& hooks) : m_rHooks(hooks) { ++m_rHooks.nLoads; }
    ~CCountingLibrary() override { ++m_rHooks.nFrees; }

private:
    CRunHooks& m_rHooks;
};

// A window whose user never answers: reports and lines are kept, questions
// wait until they are cancelled.
class CSilentWindowNotifier : public CWindowNotifier {
public:
    int Reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nReports;
    }
    std::vector<unsigned long long> Posted() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecPosted;
    }
    std::vector<unsigned long long> Cancelled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecCancelled;
    }

protected:
    void PostReport(const std::string&, const std::string&, NotifyIcon) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nReports;
    }
    void PostQuestion(const SNotifierQuestion& question) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecPosted.push_back(question.nId);
    }
    void PostLine(NotifyPane, const std::string&) override {}
    void PostQuestionCancelled(unsigned long long nId) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecCancelled.push_back(nId);
    }

private:
    std::mutex m_mutex;
    int m_nReports = 0;
    std::vector<unsigned long long> m_vecPosted;
    std::vector<unsigned long long> m_vecCancelled;
};

// Operation ids of the model.
enum RunModelIds {
    RM_START = 1,
    RM_START_OUTPUT = 2,
    RM_START_SETSTATE = 3,
    RM_INPUT = 4,
    RM_TASK = 5,
    RM_DECISION = 6,
    RM_OUTPUT = 7,
    RM_SETSTATE = 8,
    RM_ASK = 9,
};

// The engine with the model above. The notifier and the hooks are declared
// before the engine so that they outlive it.
class CRunModel {
public:
    CRunModel(const std::string& strFolder, const std::string& strSystemName = "sys",
              const std::string& strProcessName = "P")
        : m_pEngine(std::make_unique<CSDLEngine>()) {
        CSDLEngine& engine = *m_pEngine;
        engine.SetNotifier(&m_notifier);
        engine.m_strModelFolder = strFolder;
        engine.m_strModelName = "Model";
        engine.m_strModelPath = strFolder + "Model.sdl";
        engine.m_strCodeBasePath = strFolder + "Model";
        engine.m_strSystemName = strSystemName;
        engine.m_strExperimentLabel = "main model";

        auto pRoot = std::make_unique<CSDLBlock>();
        pRoot->m_strName = strSystemName;
        pRoot->m_nId = 0;
        pRoot->m_pEngine = &engine;
        m_pRoot = pRoot.get();
        engine.SetRootAgent(std::move(pRoot));

        auto pBlock = std::make_unique<CSDLBlock>();
        pBlock->m_strName = "B";
        pBlock->m_nId = 1;
        pBlock->m_pEngine = &engine;
        m_pBlock = m_pRoot->AddBlock(std::move(pBlock));
        engine.m_mapBlocks[CSDLBlock::GetGlobalId(m_pBlock)] = m_pBlock;

        auto pProcess = std::make_unique<CSDLProcess>();
        pProcess->m_strName = strProcessName;
        pProcess->m_nId = 2;
        pProcess->m_pEngine = &engine;
        m_pProcess = m_pBlock->AddProcess(std::move(pProcess));
        engine.m_mapProcesses[m_pProcess->GetFullName(false)] = m_pProcess;
        BuildTransitions();

        InstallLibraryFactory();
    }

    ~CRunModel() { m_pEngine.reset(); }
    CRunModel(const CRunModel&) = delete;
    CRunModel& operator=(const CRunModel&) = delete;

    // Binds the run's library through the factory: made afresh for every
    // run start, as a load would.
    void InstallLibraryFactory() {
        m_pEngine->SetLibraryFactory([this]() -> std::unique_ptr<CModelLibrary> {
            m_hooks.WaitWhileHeld();
            if (m_hooks.bNoLibrary) {
                return nullptr;
            }
            auto pLibrary = std::make_unique<CCountingLibrary>(m_hooks);
            pLibrary->SetTask(m_strTaskKey, [this](CFakeModelLibrary&) {
                ++m_hooks.nTasks;
                return 0;
            });
            pLibrary->SetDecision(m_strDecisionKey, [this](CFakeModelLibrary&) {
                const int nFailAt = m_hooks.nFailAtTask;
                if (nFailAt > 0 && m_hooks.nTasks == nFailAt) {
                    throw std::runtime_error("condition fails");
                }
                return static_cast<int>(RM_OUTPUT);
            });
            return pLibrary;
        });
    }

    CSDLEngine& Engine() { return *m_pEngine; }
    // The code IDs of the Idle transition's task and decision.
    const std::string& TaskKey() const { return m_strTaskKey; }
    const std::string& DecisionKey() const { return m_strDecisionKey; }
    CRecordingNotifier& Notifier() { return m_notifier; }
    CRunHooks& Hooks() { return m_hooks; }
    CSDLBlock* Root() const { return m_pRoot; }
    CSDLBlock* Block() const { return m_pBlock; }
    CSDLProcess* Process() const { return m_pProcess; }

    // Destroys the engine (and the model) now.
    void DestroyEngine() { m_pEngine.reset(); }

    // Sets the end mode: by loops with a limit, by time with an end time, or
    // never.
    void EndByLoops(int nLimit) {
        m_pEngine->m_nEndMode = EM_BY_LOOPS;
        m_pEngine->m_nLoopLimit = nLimit;
    }
    void EndByTime(double dTime) {
        m_pEngine->m_nEndMode = EM_BY_TIME;
        m_pEngine->m_dEndTime = dTime;
    }
    void EndNever() { m_pEngine->m_nEndMode = EM_NEVER; }

    // Every step asks the user for a file (the OpenFile procedure) between
    // the task and the decision.
    void AskEveryStep() {
        auto* pAsk =
            Add<CSDLOperationProcedureCallOpenFile>("ProcedureCall", "OpenFile", RM_ASK, "Idle");
        pAsk->m_pNext = m_pTask->m_pNext;
        m_pTask->m_pNext = pAsk;
    }

    // Starts the thread and lets the loop go at once (as a series of
    // experiments does); true when the run ended, false once it stood still
    // for tStall (scaled with the machine).
    bool RunToEnd(std::chrono::milliseconds tStall = std::chrono::milliseconds(5000),
                  const std::source_location& where = std::source_location::current()) {
        m_pEngine->StartThread();
        m_pEngine->Run();
        return velkotest::WaitForRunEnd(*m_pEngine, tStall, where);
    }

    // Waits until the Idle transition has run nSteps times in all, for as long
    // as it keeps running; false once it stood still for 5 s (scaled).
    bool WaitForTasks(int nSteps,
                      const std::source_location& where = std::source_location::current()) {
        return WaitOnProgress([this, nSteps] { return m_hooks.nTasks >= nSteps; },
                              [this] { return m_hooks.nTasks.load(); },
                              std::chrono::milliseconds(5000), velkotest::PauseBetweenPolls, where);
    }

    // The trace file of the last run, bytes as written.
    std::string TraceBytes() const { return ReadFileBytes(m_pEngine->GetTracePath()); }

private:
    template <class T>
    T* Add(const std::string& strType, const std::string& strName, int nId,
           const std::string& strState) {
        auto pOperation = std::make_unique<T>();
        pOperation->m_strType = strType;
        pOperation->m_strName = strName;
        pOperation->m_nId = nId;
        pOperation->m_strStateName = strState;
        pOperation->m_pOwner = m_pProcess;
        T* pRaw = static_cast<T*>(m_pProcess->AddOperation(std::move(pOperation)));
        m_pEngine->m_mapOperations[pRaw->GetCodeID()] = pRaw;
        return pRaw;
    }

    CSDLOperationOutput* AddTickOutput(int nId, const std::string& strState) {
        auto* pOutput = Add<CSDLOperationOutput>("output", "tick", nId, strState);
        pOutput->m_strSelf = "yes";
        pOutput->m_pSignal->m_strName = "tick";
        pOutput->m_pSignal->m_strDelay = "1";
        return pOutput;
    }

    CSDLOperationSetState* AddSetIdle(int nId, const std::string& strState) {
        auto* pSetState = Add<CSDLOperationSetState>("setstate", "Idle", nId, strState);
        pSetState->m_strState = "Idle";
        return pSetState;
    }

    void BuildTransitions() {
        auto* pStart = Add<CSDLOperationStart>("start", "start", RM_START, "");
        auto* pStartOutput = AddTickOutput(RM_START_OUTPUT, "");
        auto* pStartSet = AddSetIdle(RM_START_SETSTATE, "");
        pStart->m_pNext = pStartOutput;
        pStartOutput->m_pNext = pStartSet;
        m_pProcess->m_pStartOperation = pStart;

        auto* pInput = Add<CSDLOperationInput>("input", "tick", RM_INPUT, "Idle");
        auto* pTask = Add<CSDLOperationTask>("task", "count", RM_TASK, "Idle");
        auto* pDecision = Add<CSDLOperationDecision>("decision", "go on", RM_DECISION, "Idle");
        auto* pOutput = AddTickOutput(RM_OUTPUT, "Idle");
        auto* pSet = AddSetIdle(RM_SETSTATE, "Idle");
        pInput->m_pNext = pTask;
        pTask->m_pNext = pDecision;
        pDecision->m_pNext = pOutput;
        pOutput->m_pNext = pSet;
        m_pProcess->m_mapStates["Idle"] = pInput;
        m_pTask = pTask;
        m_strTaskKey = pTask->GetCodeID();
        m_strDecisionKey = pDecision->GetCodeID();
    }

    CRecordingNotifier m_notifier;
    CRunHooks m_hooks;
    std::unique_ptr<CSDLEngine> m_pEngine;
    CSDLBlock* m_pRoot = nullptr;
    CSDLBlock* m_pBlock = nullptr;
    CSDLProcess* m_pProcess = nullptr;
    CSDLOperationTask* m_pTask = nullptr;
    std::string m_strTaskKey;
    std::string m_strDecisionKey;
};

using sdltest::CountOf;
using sdltest::CRecordingListener;
using velkotest::CFakeViewer;

}  // namespace runtest
