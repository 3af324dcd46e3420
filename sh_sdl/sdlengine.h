#pragma once

// The engine object: one per opened model. It owns the model tree, indexes its
// blocks, processes and operations, keeps the run flags that the user
// interface and the simulation thread share, the pending-event table, the
// bound model library, and writes the trace records.
//
// ---- Threads -----------------------------------------------------------------------
// Three kinds of thread meet here: the window's thread (it creates the engine,
// loads the model, changes the settings and gives the commands), the
// simulation thread of a run (StartThread starts it; the model's operations,
// the trace writers and the listener's calls run on it), and any other thread
// of the window that only reads.
//
// Settings. The setting fields (trace flags, use clients, stop on errors, IP
// mode and address, end mode, end time, loop limit, experiment label,
// parametrization file, code base path) belong to the window's thread. A run
// copies them once, at StartThread (SRunSettings, GetRunSettings); what the
// window writes during a run takes effect at the next run and is no data
// race. The scalar settings are atomic, so another thread may read them; the
// texts are read and written on the window's thread only. Step by step
// (m_bStepByStep) is not copied: it applies at once.
//
// Run state. One state (EngineRunState) under one lock, changed on the
// simulation thread (StartThread sets RS_STARTING before the thread exists).
// The flags the commands use (m_bRunning, m_bInitialized, m_bGo,
// m_bStepRequest) are views of it, written by the engine under the same
// lock; read them from any thread. Commands (Run, Pause, Resume, StepOnce,
// Stop) never wait. Whatever ends a run clears go and the step request, so a
// wait for the end of a step also ends with the run. Waits use the state's
// condition variable.
//
// A new run. StartThread starts a run when none is alive: in RS_IDLE, in
// RS_ENDED (also after a run that ended by itself, which leaves
// m_bInitialized set, as the user interface expects), and after Stop (it then
// waits for the stopped run to finish its end). The window enables its
// Initialize command by the state (RS_IDLE or RS_ENDED), not by
// m_bInitialized alone.
//
// Listener. SetListener installs one CEngineListener, told of every state
// change, of each step (step count and simulation time) and of pending errors
// and agents added or removed, so the window needs no polling. It is called
// on the thread that made the change (the simulation thread, except
// RS_STARTING) with no lock of the engine held; it must return promptly and
// must never wait for the window's thread (post to it instead), nor call
// StartThread, WaitForRunEnd, WaitForStepEnd or destroy the engine.
//
// Questions. Reports of the model and the engine never block (see
// sh_aux/notifier.h). A question (the OpenFile procedure's file choice) waits
// on the simulation thread. Stop, StartThread and the destructor answer every
// pending question Cancel before they join, and questions asked after a Stop
// are answered Cancel without reaching the user, so the window never waits on
// the simulation thread while that thread waits on the window.
//
// Model tree. Instances are created during a run and removed at its end, on
// the simulation thread, under the tree lock. Another thread holds LockTree()
// while it walks the tree or looks agents, channels and operations up in the
// engine's maps, and keeps keys (GetFullName(true)), never agent pointers,
// beyond the lock. The lock covers which agents, channels and index entries
// exist, not the values a run changes at every step (clocks, states,
// variables). CEngineListener::OnAgentsChanged names the agents added and
// removed.
//
// Model library. The simulation thread binds, calls and frees the library.
// GetModelName may be called from any thread during a run: the library
// object is guarded while it is replaced or freed.
//
// The engine must be destroyed on the window's thread; the destructor ends
// the run (as Stop does), cancels the questions and joins the thread.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sh_aux/externalcompiler.h"
#include "sh_aux/namemap.h"
#include "sh_aux/notifier.h"
#include "sh_aux/randomlcg.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlremote.h"
#include "sh_stat/estadisticsservidor.h"

class CSDLAgent;
class CSDLBlock;
class CSDLOperation;
class CSDLProcess;

// One key of the pending-event table: the earliest time reported under it,
// while bPending. Agents keep a pointer to theirs, so the hot path looks up
// no text.
struct SPendingSlot {
    double dTime = 0.0;
    bool bPending = false;
    // The agent told when the time appears or goes; null when none took it.
    CSDLAgent* pOwner = nullptr;
    // Position in the engine's heap while bPending.
    size_t nHeapIndex = 0;
};

// Where trace records go: the trace file of the run and, when one is
// connected, the viewer.
class CTraceSink {
public:
    virtual ~CTraceSink() = default;
    virtual void WriteRecord(const std::string& strRecord) = 0;
};

// The trace file of a run: UTF-8 text whose "\n" are written as CR LF. The
// text gathers in a buffer written in large blocks; Flush and Close write
// what it holds. The first write that fails (a full disk, a file-size limit)
// is kept: nothing more is written, so the file holds what was written up
// to it, and GetError tells the simulation thread, which ends the run.
// The first line of every trace; a trace where a text holds a control
// character becomes XML 1.1 by the one byte of its version.
inline constexpr std::string_view kTraceDeclaration = "<?xml version='1.0' encoding='utf-8'?>\n";
inline constexpr size_t kTraceVersionMinor = 17;  // the "0" of "1.0"
static_assert(kTraceDeclaration.substr(kTraceVersionMinor - 2, 3) == "1.0");

class CTraceFile {
public:
    CTraceFile() = default;
    ~CTraceFile() { Close(); }
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    // Creates the file; false (errno EEXIST among others) when something
    // already has the name.
    bool Open(const std::string& strPath);
    void Write(const std::string& strText);
    // The file, begun with kTraceDeclaration, is declared XML 1.1 from now
    // on: the declaration's version is changed in place (its one byte, in
    // the buffer or in the file). Once is enough; a file begun otherwise is
    // left alone.
    void DeclareXml11();
    void Flush();
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }
    const std::string& GetPath() const { return m_strPath; }
    // The errno of the first write, flush or close that failed; 0 while all
    // went well.
    int GetError() const { return m_nError.load(std::memory_order_relaxed); }

private:
    // Writes the buffer to the file and empties it.
    void WriteBuffer();

    void SetError();

    std::FILE* m_pFile = nullptr;
    std::string m_strPath;
    std::string m_strBuffer;
    // Bytes written to the file so far (the buffer's come after them).
    long long m_nWritten = 0;
    // Whether the file began with kTraceDeclaration, and whether it has been
    // declared 1.1 since.
    bool m_bDeclared10 = false;
    bool m_bDeclared11 = false;
    std::atomic<int> m_nError{0};
};

// What the build commands and the run start say, and do, when no model is
// loaded: nothing else (no file is written).
inline constexpr const char* SDL_MSG_NO_MODEL = "No model is loaded: open a model first.";
// What they say when the model's load failed.
inline constexpr const char* SDL_MSG_MODEL_REFUSED =
    "The model did not load: it is not built or run until it loads. Mend what the Errors tab "
    "names and open it again.";

// The first line of every file the code generators write. A build writes
// over a file in its way only when it starts so (or is a generated file from
// before that line), never over a file of the user's.
inline constexpr const char* SDL_GENERATED_LINE =
    "// Generated by VELKO from the model: each build writes this file anew.\n";

// The length of a chain of signals each taken at the time it was sent, each
// sent while the one before was taken, at which the Errors tab says that the
// model's time does not advance (CSDLEngine::NoteLongSameTimeChain).
inline constexpr int kLongSameTimeChain = 1000000;

// Error lines a step keeps for the window (CSDLEngine::TakeStepErrors).
inline constexpr size_t kMaxStepErrors = 1000;

// End modes of a run (the values of m_nEndMode).
enum EngineEndMode { EM_BY_TIME = 0, EM_BY_LOOPS = 1, EM_NEVER = 2 };

// The states of a run, in the order a run goes through them.
enum EngineRunState {
    RS_IDLE,                // no run has been started on this engine
    RS_STARTING,            // the run start: trace file, model library, reset of the model
    RS_WAITING_FOR_VIEWER,  // the run start waits for the viewer ("Use clients")
    RS_INITIALIZED,         // started (m_bInitialized); waits for Run
    RS_RUNNING,             // the loop steps the model
    RS_PAUSED,              // the loop waits for a step request (paused, or step by step)
    RS_ENDING,              // the end of the run: viewer link, trace tail, library, model reset
    RS_ENDED,               // the simulation thread has ended: complete, stopped or failed
};

// What a window shows of a run, taken at once: the state, the steps made and
// the earliest pending time after the last of them.
struct SRunStatus {
    EngineRunState eState = RS_IDLE;
    long long nSteps = 0;
    double dNextTime = 0.0;
    // False when nothing was pending after the last step (dNextTime 0.0).
    bool bNextFound = false;
};

// The settings a run reads once, at its start.
struct SRunSettings {
    EngineEndMode eEndMode = EM_BY_TIME;
    double dEndTime = 1000.0;
    int nLoopLimit = 1000;
    bool bExecutionTrace = false;
    bool bRepresentationTrace = true;
    bool bUseClients = false;
    bool bStopOnErrors = false;
    int nIPMode = 0;
    std::string strIPAddress;
    std::string strExperimentLabel;
    std::string strParametrizationFile;
    std::string strCodeBasePath;
};

// What the window hears of a run (see Threads above). Every operation has an
// empty default.
class CEngineListener {
public:
    virtual ~CEngineListener() = default;
    // The run state became eState.
    virtual void OnRunStateChanged(EngineRunState eState) { (void)eState; }
    // A step of the loop ended: nStep steps so far in this run; dTime is the
    // simulation time, the next event time (CSDLEngine::GetNextEventTime).
    virtual void OnStep(long long nStep, double dTime) {
        (void)nStep;
        (void)dTime;
    }
    // An error was reported and m_bErrorPending went from clear to set.
    virtual void OnErrorPending() {}
    // Agents were added to or removed from the tree (keys: GetFullName(true)).
    virtual void OnAgentsChanged(const std::vector<std::string>& vecAdded,
                                 const std::vector<std::string>& vecRemoved) {
        (void)vecAdded;
        (void)vecRemoved;
    }
    // The values asked for with RequestValues were taken.
    virtual void OnValuesTaken() {}
};

class CSDLEngine {
public:
    CSDLEngine();
    ~CSDLEngine();
    CSDLEngine(const CSDLEngine&) = delete;
    CSDLEngine& operator=(const CSDLEngine&) = delete;

    // Takes the model's root block; returns 0.
    int SetRootAgent(std::unique_ptr<CSDLAgent> pRoot);
    CSDLAgent* GetRootAgent() const { return m_pRootAgent.get(); }

    // Removes every agent made by a create during the run, with the channel
    // ends and index entries that lead to it, and resets the instance
    // counters, so the next run starts from the loaded model.
    void RemoveInstances();
    // Drops every index entry and channel end that refers to one of the
    // agents of setGone, which are about to go (they themselves stay).
    void ForgetAgents(const std::set<const CSDLAgent*>& setGone);
    // Enters every block and process below pAgent in the index maps.
    void IndexModel(CSDLAgent* pAgent);

    // ---- Run --------------------------------------------------------------------------
    // Starts the simulation thread of a new run with the settings as they are
    // now. 0 when started; 1, with nothing started, when a run is alive and
    // was not stopped, or when no model is loaded. After Stop it first waits
    // for the stopped run to end.
    int StartThread();
    // The run start, on the simulation thread: 0 success, 1 model library not
    // bound, 3 no trace file, 4 a port for remote signals cannot be bound.
    int BeginRun();
    // Commands of the user interface; none of them waits.
    void Run();       // lets the loop go
    void Pause();     // the loop stops at its next wait point
    void Resume();    // goes on after a pause
    void StepOnce();  // one more step in step-by-step mode
    void Stop();      // ends the run after the current step
    // Waits until the loop has come to its next wait point or the run has
    // ended (go is clear): the end of a Step or a Pause. False on time-out.
    bool WaitForStepEnd(int nMilliseconds);
    // Waits until the simulation thread has ended and joins it (true), or
    // the time-out. Not on a thread that answers questions.
    bool WaitForRunEnd(int nMilliseconds);
    // True while a simulation thread exists and has not ended.
    bool IsThreadAlive() const { return m_bThreadAlive; }
    // The result of the last simulation thread: 0 complete, 1 failed start.
    int GetLastThreadResult() const { return m_nThreadResult; }
    // Path of the trace file of the current or last run ("" when none).
    std::string GetTracePath() const;
    EngineRunState GetRunState() const;
    // The run's state, steps and next time as one snapshot, for any thread.
    // The time is published once per step, after all of the step's changes,
    // and once when the run is initialised; it stays after the run's end.
    SRunStatus GetRunStatus() const;
    // Installs the listener (nullptr: none); the caller keeps it alive while
    // it is installed. Removing it waits for a call in progress.
    void SetListener(CEngineListener* pListener);
    // Sets m_bErrorPending and tells the listener when it was clear.
    void SetErrorPending();
    // The signal strSignal that strProcess sends at dTime is the
    // kLongSameTimeChain-th of a chain at that time: the first of a run says
    // so in the Errors tab; the run goes on. No error is pending for it.
    void NoteLongSameTimeChain(const std::string& strSignal, const std::string& strProcess,
                               double dTime);
    // In step-by-step mode, the line of each error reported while the run
    // makes a step (one line each, however many), for the window; emptied
    // by the call. A step that reports more than kMaxStepErrors ends with
    // one line that counts the rest.
    std::vector<std::string> TakeStepErrors();
    void CollectStepError(std::string strLine);

    // ---- Values of a run ------------------------------------------------------------
    // The value texts of the variables of one process (its key,
    // GetFullName(true)) as the run has them: asked for from any thread,
    // taken by the simulation thread between two steps or while it waits
    // (for Run, a step or a resume), which then tells the listener
    // (OnValuesTaken). No run, nothing taken.
    void RequestValues(const std::string& strProcessKey);
    // The values last taken for strProcessKey by variable name; false when
    // the last values taken are another process's, or none were.
    bool GetTakenValues(const std::string& strProcessKey,
                        std::map<std::string, std::string>& mapValues) const;

    // ---- Settings ---------------------------------------------------------------------
    // The settings as they are now: what the next run will use.
    SRunSettings TakeSettings() const;
    // The settings of the run in progress (those of the last run once it has
    // ended). Read on the simulation thread.
    const SRunSettings& GetRunSettings() const { return m_runSettings; }
    // What the model's operations obey: the run's settings while a run is
    // alive, the engine's settings otherwise (operations driven directly).
    bool IsExecutionTraceOn() const;
    bool IsRepresentationTraceOn() const;
    int GetIPMode() const;
    std::string GetIPAddress() const;

    // ---- Model tree ---------------------------------------------------------------------
    // True when a model is loaded: the engine has a root agent, and its load
    // did not fail.
    bool HasModel() const { return m_pRootAgent != nullptr && !m_bModelRefused; }
    // The loader says whether the load of the model the engine holds failed:
    // such a model (its values refused, an attribute missing) is neither
    // built nor run, as 0 or otherwise, until a load succeeds. What was read
    // of it stays, for what it tells of the failure.
    void SetModelRefused(bool bRefused) { m_bModelRefused = bRefused; }
    bool IsModelRefused() const { return m_bModelRefused; }
    // Held by a reader on another thread than the simulation thread while it
    // walks the tree or the index maps.
    std::shared_lock<std::shared_mutex> LockTree() const {
        return std::shared_lock<std::shared_mutex>(m_mutexTree);
    }
    // Held by the simulation thread while it adds or removes agents.
    std::unique_lock<std::shared_mutex> LockTreeForChange() {
        return std::unique_lock<std::shared_mutex>(m_mutexTree);
    }
    // The agent of that key (GetFullName(true)), or null; hold LockTree().
    CSDLAgent* FindAgentByKey(const std::string& strKey) const;
    // Tells the listener of agents added or removed (no lock held).
    void NotifyAgentsChanged(const std::vector<std::string>& vecAdded,
                             const std::vector<std::string>& vecRemoved);

    // The viewer connection server; the user interface cancels its wait and
    // asks whether it is connected or accepting.
    CEstadisticsServidor& GetServer() { return *m_pServer; }
    // Port the viewer connects to (8686 unless set; 0 picks a free one).
    void SetViewerPort(unsigned nPort) { m_pServer->SetDataPort(nPort); }

    // The links to the other simulator instances of a distributed run: the
    // listeners of this instance's ports (bound from the run start to its
    // end) and the bracket of every remote send.
    CSDLRemoteLinks& GetRemoteLinks() { return *m_pRemote; }

    // ---- Model library binding -----------------------------------------------------
    // Loads "<code base>.so" and checks its entry points: 0 bound, 1 not
    // loadable, 2 an entry point missing ("Error" box; GetLibraryError names
    // it). From m_strCodeBasePath; a run binds from its own code base.
    int LoadModelDLL();
    // Why the last LoadModelDLL failed ("" after a success).
    const std::string& GetLibraryError() const { return m_strLibraryError; }
    // Calls the bound library's GetModelName, from any thread: MC_MISSING
    // when no library is bound or it lacks the entry point.
    ModelCallResult GetModelName(std::string& strName) const;
    // Frees the library; every later call finds none. Returns 0.
    int FreeModelDLL();
    // Replaces how LoadModelDLL obtains the library (tests bind an in-memory
    // one); the factory returns null when it cannot load.
    void SetLibraryFactory(std::function<std::unique_ptr<CModelLibrary>()> fnFactory) {
        m_fnLibraryFactory = std::move(fnFactory);
    }

    // ---- Trace file ------------------------------------------------------------------
    // Names, creates and heads the trace file of a run started at tmStart:
    // 0 success, 3 failure.
    int OpenTraceFile(const std::tm& tmStart);
    // Closes the trace file with its tail. False when some of the trace
    // never reached the file: the Errors pane has been told which file and
    // why.
    bool CloseTraceFile();
    // Writes out what the trace file has gathered, so that the file on disk
    // holds every record so far.
    void FlushTraceFile();

    // ---- Pending-event table ---------------------------------------------------
    // Earliest pending time over all keys; *pFound false and 0.0 when empty.
    // Only for the thread that changes the table (the one that runs the
    // model); other threads read GetRunStatus.
    double GetNextEventTime(bool* pFound) const;
    // Keeps the earliest time reported per key; bRemove drops the key.
    void UpdateNextEventTime(const std::string& strKey, double dTime, bool bRemove);
    // Empties the table. Every slot taken before is stale from then on.
    void ClearPendingEvents();
    // The slot of strKey, made when missing, for an agent to keep and use
    // while GetPendingGeneration() stays the same. The first agent to take a
    // slot owns it and is told whenever its time appears or goes.
    SPendingSlot& TakePendingSlot(const std::string& strKey, CSDLAgent* pAgent);
    long long GetPendingGeneration() const { return m_nPendingGeneration; }
    // UpdateNextEventTime on a slot taken before.
    void UpdatePendingSlot(SPendingSlot& slot, double dTime, bool bRemove);
    // Removes the slot's time, then adds dTime when bPending: the two
    // updates in one.
    void ReplacePendingSlot(SPendingSlot& slot, bool bPending, double dTime);
    // True while each pending time belongs to the one agent that owns its
    // key: no two agents share a key and no time was reported under a key
    // that no agent owns. Agents may then trust their own record of whether
    // they have a pending time.
    bool PendingTimesAreOwned() const { return !m_bPendingShared && !m_bPendingUnowned; }
    // The slot of strKey, or null when none was taken since the last clear.
    const SPendingSlot* FindPendingSlot(const std::string& strKey) const;
    // Told by an agent that took an event out of its channels: the run
    // moves on. Only the thread that runs the model calls it.
    void NoteEventTaken() { ++m_nEventsTaken; }

    // ---- Checks of the agents with work --------------------------------------
    // While on, every step of every engine of the process first compares the
    // agents with work against what a full sweep would step, and ends the
    // process with the difference when there is one. Off unless switched on
    // (the tests switch it on).
    static void SetCheckAgentsWithWork(bool bOn);
    static bool ChecksAgentsWithWork();

    // ---- Trace -----------------------------------------------------------------
    // Writes the execution record of pOperation (by its type tag), or strText
    // when there is no operation, if the execution trace is on and bEnable.
    void WriteTrace(const CSDLOperation* pOperation, bool bEnable, const std::string& strText);
    // Writes the animation record of a set-state operation, or strText when
    // there is no operation, if the representation trace is on and bEnable.
    void WriteEyeTrace(const CSDLOperation* pOperation, bool bEnable, const std::string& strText);
    void SetTraceSink(CTraceSink* pSink) { m_pTraceSink = pSink; }
    // The texts collected in step-by-step mode, emptied by the call.
    std::string TakeMessages();

    // ---- Model library -------------------------------------------------------------
    // The library calls go to; null when none is bound. For the simulation
    // thread (and for tests without a run): other threads use GetModelName.
    CModelLibrary* GetModelLibrary() const { return m_pModelLibrary.get(); }
    // Replaces the library (not during a run).
    void SetModelLibrary(std::unique_ptr<CModelLibrary> pLibrary);

    // The C identifier of a model variable: variable + "_" + owner, with every
    // character that cannot stand in a C identifier replaced by "_".
    static std::string FormatQualifiedName(const std::string& strVariable,
                                           const std::string& strOwner);

    // ---- Code generation and build (sdlenginecode.cpp) ----------------------------
    // BEGIN code generation declarations
    //
    // Build commands. Each takes a code base (the path of the generated
    // files without extension; empty means GetDefaultCodeBase()). None of
    // them throws: a failure shows in the result, through the notifier and,
    // for the compiler steps, in the returned log. Without a loaded model
    // (or any code base) each says SDL_MSG_NO_MODEL, with a model whose load
    // failed SDL_MSG_MODEL_REFUSED, and writes nothing.
    //
    // The code base used when none is given: the parametrization file
    // without the extension of its file name, else the model folder followed
    // by the model file's name.
    std::string GetDefaultCodeBase() const;
    // Writes <base>.c. 1 when written: the engine's code base becomes base.
    // 0 otherwise: the code base is cleared and the user told (also when
    // two variables would share one C name, or a name is no C identifier:
    // the Errors pane names them).
    int CreateCodeFile(const std::string& strCodeBase);
    // Compiles <base>.c (and every .c of the header folder) to objects; 1
    // when the compiler succeeded and <base>.o exists. strLog receives the
    // compiler's command line and output.
    int CompileCode(const std::string& strCodeBase, std::string& strLog);
    // Links the objects of the last compile into <base>.so; 1 when the
    // linker succeeded and <base>.so exists.
    int LinkDLL(const std::string& strCodeBase, std::string& strLog);
    // Writes the C++ form of the code, <base>.cpp and <base>.h; 1 when both
    // were written (the engine's code base becomes base), else 0.
    int CreateCppCodeFile(const std::string& strCodeBase);

    // Says why and answers true when there is no model (or one whose load
    // failed) or no code base to build.
    bool RefusesWithoutModel(const std::string& strCodeBase) const;
    // SDL_MSG_MODEL_REFUSED for a model whose load failed, else
    // SDL_MSG_NO_MODEL.
    const char* NoModelText() const;

    // Generators. They throw CCustomException when a file cannot be created
    // or written, or the variables' names cannot become C names; true once
    // the files are written.
    bool GenerateCSource(const std::string& strCodeBase);
    bool GenerateCppSource(const std::string& strCodeBase);
    // Global declarations ("<type> <placeholder>;\n") of every variable of
    // the agent's subtree: process variables, procedure locals and formals.
    std::string BuildDeclarations(const CSDLAgent* pAgent);
    std::string DeclareVariables(const std::string& strDeclarations, const std::string& strOwner);
    // The IniModel lines of the subtree's process variables that have a value.
    std::string BuildInitialisers(const CSDLAgent* pAgent) const;
    // Every operation of the subtree whose type tag is strType, by code key.
    void CollectOperations(CNameMap<CSDLOperation*>& mapOut, const CSDLAgent* pAgent,
                           const std::string& strType) const;
    // The blocks of GetModelDecision and GetModelTask, with the final return.
    std::string BuildDecisionBodies();
    std::string BuildTaskBodies();

    // Names in generated code. A variable is known as its qualified name
    // (FormatQualifiedName) in the finished code and by a placeholder
    // "SDL<n>DCL" while the code is assembled.
    std::string GetPlaceholderName(const std::string& strVariable, const std::string& strOwner);
    // Replaces every identifier of the expression that is a name declared in
    // strDeclarations by its placeholder. String and character literals,
    // comments, member names, placeholders and the letters of the "@."
    // operators are left alone.
    std::string SubstituteVariableNames(const std::string& strExpression,
                                        const std::string& strDeclarations,
                                        const std::string& strOwner);
    // Turns every placeholder in the code back into its qualified name.
    std::string RestoreQualifiedNames(const std::string& strText) const;
    // The model's operator words in C: "@.p" "&", "@.GE" ">=", "@.LE" "<=",
    // "@.G" ">", "@.L" "<".
    static std::string TranslateOperators(const std::string& strExpression);
    // The process of that name (apostrophes around it ignored); null, and an
    // error on the root listing the known processes, when there is none.
    CSDLProcess* FindProcess(const std::string& strName);

    // Runner of the external compiler; its path is the user's compiler
    // setting.
    CExternalCompiler m_Compiler{EC_DEFAULT_COMPILER};
    // Qualified name -> placeholder, and the last placeholder number. Kept
    // for the life of the engine, so generating twice gives the same names.
    CNameMap<std::string> m_mapDCLNames;
    int m_nDCLCounter = 0;
    // END code generation declarations

    // The notifier the model and the engine report through: the one set,
    // else the installed one, except that questions asked after a Stop are
    // answered Cancel at once.
    CNotifier& GetNotifier() const { return m_notifier; }
    // Not during a run; the caller keeps the notifier alive meanwhile.
    void SetNotifier(CNotifier* pNotifier) {
        m_pNotifier = pNotifier;
        m_pServer->SetNotifier(pNotifier);
    }

    // ---- Model ----------------------------------------------------------------------
    std::string m_strModelFolder;  // ends in "/"
    std::string m_strModelName;
    std::string m_strModelPath;
    std::string m_strCodeBasePath;
    std::string m_strSystemName;
    std::string m_strParametrizationFile;
    std::string m_strExperimentLabel;
    std::string m_strRepresentationFile;
    std::string m_strHeaderFolder;

    // Indexes into the model tree; they own nothing.
    CNameMap<CSDLBlock*> m_mapBlocks;
    CNameMap<CSDLProcess*> m_mapProcesses;
    CNameMap<CSDLOperation*> m_mapOperations;

    // ---- Settings (the window's; a run copies them at its start) -------------------
    std::atomic<bool> m_bExecutionTrace{false};
    std::atomic<bool> m_bRepresentationTrace{true};
    std::atomic<bool> m_bUseClients{false};
    std::atomic<bool> m_bStopOnErrors{false};
    std::atomic<int> m_nIPMode{0};  // 0 local, 1 intranet, 2 internet
    std::string m_strIPAddress;
    std::atomic<int> m_nEndMode{EM_BY_TIME};  // an EngineEndMode
    std::atomic<double> m_dEndTime{1000.0};
    std::atomic<int> m_nLoopLimit{1000};
    // Applies at once, also during a run.
    std::atomic<bool> m_bStepByStep{false};

    // ---- Flags: views of the run state, written by the engine --------------------
    std::atomic<bool> m_bInitialized{false};
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStepRequest{false};
    std::atomic<bool> m_bGo{false};
    // Set by a reported error (SetErrorPending); cleared by the window once
    // it has shown the error report.
    std::atomic<bool> m_bErrorPending{false};
    std::atomic<bool> m_bModelRefused{false};
    // Whether this run has said that a chain at one time is long.
    std::atomic<bool> m_bToldLongSameTimeChain{false};
    // Successful run starts: a start ended by Stop does not count.
    std::atomic<int> m_nRunCount{0};

    // The model's random generator; the engine itself never draws from it.
    CRandomLCG m_Random;

    // ---- Counters of the create operation ----------------------------------------------
    int m_nCreateCount = 0;
    int m_nCreatedAgents = 0;

    // The root's finished mark ends the run.
    bool IsRootFinished() const;
    void MarkRootFinished();

private:
    // The engine's face to the notifier: forwards to the notifier set (or
    // the installed one) and answers questions Cancel once a stop has come.
    // During a run a report box is shown once per fault: a report that
    // differs from one shown before in the run only by the time of the error
    // is counted instead, and the counts of the repeated ones are written to
    // Errors when the run ends.
    class CEngineNotifier : public CNotifier {
    public:
        explicit CEngineNotifier(const CSDLEngine& engine) : m_rEngine(engine) {}
        NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                                NotifyButtons eButtons, NotifyIcon eIcon) override;
        std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                     const std::string& strFolder) override;
        void OutputLine(NotifyPane ePane, const std::string& strLine) override;
        void CancelPendingQuestions() override;
        // From here until EndRun, repeated reports are counted.
        void BeginRun();
        // One Errors line for each report that came more than once.
        void EndRun();

    private:
        CNotifier& Target() const;
        bool Refuses() const;
        const CSDLEngine& m_rEngine;
        struct SReportCount {
            std::string strText;  // as first shown
            long long nCount = 0;
        };
        std::mutex m_mutexReports;
        bool m_bCounting = false;
        // By title and text without the error's time; in the order shown.
        CNameMap<size_t> m_mapReportIndex;
        std::vector<SReportCount> m_vecReports;
    };

    void SimulationThreadProc();
    // The run start's part that may fail; BeginRun adds the state changes.
    int StartRun();
    // The viewer link of a run (when "Use clients" is on).
    void ConnectViewer();
    void DisconnectViewer();
    void CancelViewerWait();
    void SendToViewer(const std::string& strRecord, bool bXml11);
    // Waits until pred() holds or the root is finished.
    template <class Pred>
    void WaitFor(Pred pred);
    void NotifyFlags();
    // After a step: waits for a step request when stepping or paused.
    void WaitAtPausePoint();
    // Sets the run state and tells the listener.
    void SetRunState(EngineRunState eState);
    // Waits for the simulation thread to end, answering its questions
    // Cancel meanwhile, and joins it.
    void JoinSimulationThread();
    // The loop of a started run, up to the closing of the trace file.
    void RunLoop();
    // After a step of a local run: throws, naming the agent whose event is
    // never handled, when an event is pending but no agent has work, or when
    // many steps in a row took no event while one was pending.
    // nTakenBefore: m_nEventsTaken before the step.
    void GuardProgress(bool bFound, double dNext, long long nTakenBefore, long long& nIdleSteps);
    // After a step: when a write to the trace file failed, closes it and
    // throws once the Errors pane has been told which file and why.
    void GuardTraceFile();
    // Reports, in Errors, a trace file that could not be written to its end;
    // returns the line.
    std::string ReportTraceWriteError(const std::string& strPath, int nError);
    // CloseTraceFile's work: "" when the whole trace reached the file, else
    // the line reported.
    std::string CloseTrace();
    // The full name of the agent that owns the earliest pending time, or its
    // key when no agent owns it.
    std::string DescribeEarliestPending() const;
    // Distributed runs: binds the listeners of this instance's ports (0, or
    // 4 with m_strRemoteError); queues the signals received; waits, while
    // nothing is pending here, until a signal comes or the run ends.
    int StartRemoteLinks();
    void DeliverRemoteSignals();
    void WaitWhileIdle();
    // True while the run takes Run, Resume and step commands (hold
    // m_mutexState).
    bool AcceptsCommands() const;
    // Calls fn on the listener, if any, with no other lock held.
    template <class Fn>
    void TellListener(Fn fn) {
        std::lock_guard<std::recursive_mutex> lock(m_mutexListener);
        if (m_pListener) {
            fn(*m_pListener);
        }
    }
    // On the simulation thread: takes the values asked for, if any.
    void TakeRequestedValues();
    // Names, creates and heads the trace file from the given settings.
    int OpenTraceFile(const std::tm& tmStart, const SRunSettings& settings);
    int LoadModelDLL(const std::string& strCodeBase);

    // The values of a run asked for and taken (RequestValues).
    mutable std::mutex m_mutexValues;
    std::atomic<bool> m_bValuesWanted{false};
    std::string m_strValuesWanted;
    std::string m_strValuesTaken;
    std::map<std::string, std::string> m_mapValuesTaken;
    // The error lines of the step being made (CollectStepError), under
    // m_mutexMessages; those past kMaxStepErrors are counted.
    std::vector<std::string> m_vecStepErrors;
    long long m_nStepErrorsOver = 0;

    std::unique_ptr<CEstadisticsServidor> m_pServer;
    std::thread m_threadSimulation;
    std::atomic<bool> m_bThreadAlive{false};
    // Set for good by the destructor: every wait of a run then ends.
    std::atomic<bool> m_bClosing{false};
    // Set by Stop, cleared when the next run is started: a stop that comes
    // while the run is still starting outlives the start's reset of the
    // root's mark.
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<int> m_nThreadResult{0};
    // The run state and the flags that are its views.
    mutable std::mutex m_mutexState;
    std::condition_variable m_cvState;
    EngineRunState m_eRunState = RS_IDLE;
    // Steps and next time of the snapshot (state: m_eRunState).
    long long m_nStatusSteps = 0;
    double m_dStatusNextTime = 0.0;
    bool m_bStatusNextFound = false;
    // Publishes the step count and the table's earliest time to the
    // snapshot (the thread that runs the model).
    void PublishStatus(long long nSteps);
    SRunSettings m_runSettings;
    // Held while the listener is called or replaced.
    std::recursive_mutex m_mutexListener;
    CEngineListener* m_pListener = nullptr;
    // Guards the structure of the model tree and the index maps.
    mutable std::shared_mutex m_mutexTree;
    // Guards the model library object while it is replaced or freed.
    mutable std::shared_mutex m_mutexLibrary;
    std::string m_strLibraryError;
    std::function<std::unique_ptr<CModelLibrary>()> m_fnLibraryFactory;
    std::unique_ptr<CTraceFile> m_pTraceFile;
    mutable std::mutex m_mutexTrace;
    std::string m_strLastTracePath;

    // Sends a finished record to the sink.
    void EmitRecord(const std::string& strRecord, bool bCollect);
    // The record as it goes out; bXml11 when it holds a reference that only
    // XML 1.1 holds.
    void EmitText(const std::string& strRecord, bool bCollect, bool bXml11);
    // Appends the execution record of the operation (by its type tag; none
    // for other tags); strText is a report's content.
    void AppendExecutionRecord(const CSDLOperation& operation, const std::string& strText,
                               std::string& strOut) const;
    // The record being written: one buffer for every record of the run, on
    // the thread that runs the model.
    std::string m_strRecord;

    std::unique_ptr<CSDLAgent> m_pRootAgent;
    // The pending-event table: one slot per key ever taken since the last
    // clear, and the slots that hold a time in a binary heap by time, so
    // that the earliest of all is the first.
    CNameMap<SPendingSlot> m_mapPendingSlots;
    std::vector<SPendingSlot*> m_vecPendingHeap;
    long long m_nPendingGeneration = 0;
    bool m_bPendingShared = false;
    bool m_bPendingUnowned = false;
    long long m_nEventsTaken = 0;
    void AddToHeap(SPendingSlot& slot);
    void RemoveFromHeap(SPendingSlot& slot);
    void SiftUp(size_t nIndex);
    void SiftDown(size_t nIndex);
    // Presence changed: tell the owner, or note a time nobody owns.
    void PendingPresenceChanged(SPendingSlot& slot);
    std::unique_ptr<CModelLibrary> m_pModelLibrary;
    CTraceSink* m_pTraceSink = nullptr;
    CNotifier* m_pNotifier = nullptr;
    mutable CEngineNotifier m_notifier{*this};
    mutable std::mutex m_mutexMessages;
    std::string m_strMessages;
    std::string m_strRemoteError;
    // The signals taken from the links in one turn (kept: no allocation a
    // step).
    std::deque<SRemoteSignal> m_remoteSignals;
    // Last: its threads report through the notifier above.
    std::unique_ptr<CSDLRemoteLinks> m_pRemote;
};
