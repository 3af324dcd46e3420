#pragma once

// The engine object: one per opened model. It owns the model tree, indexes its
// blocks, processes and operations, keeps the run flags that the user
// interface and the simulation thread share, the pending-event table, the
// bound model library, and writes the trace records.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "sh_aux/externalcompiler.h"
#include "sh_aux/namemap.h"
#include "sh_aux/notifier.h"
#include "sh_aux/randomlcg.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlevent.h"
#include "sh_stat/estadisticsservidor.h"

class CSDLAgent;
class CSDLBlock;
class CSDLOperation;
class CSDLProcess;

// Where trace records go: the trace file of the run and, when one is
// connected, the viewer.
class CTraceSink {
public:
    virtual ~CTraceSink() = default;
    virtual void WriteRecord(const std::string& strRecord) = 0;
};

// Keeps every record in a string (tests, previews).
class CStringTraceSink : public CTraceSink {
public:
    void WriteRecord(const std::string& strRecord) override { m_strText += strRecord; }
    std::string m_strText;
};

// The trace file of a run: UTF-8 text whose "\n" are written as CR LF.
class CTraceFile {
public:
    CTraceFile() = default;
    ~CTraceFile() { Close(); }
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    bool Open(const std::string& strPath);
    void Write(const std::string& strText);
    void Flush();
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }
    const std::string& GetPath() const { return m_strPath; }

private:
    std::FILE* m_pFile = nullptr;
    std::string m_strPath;
};

// End modes of a run.
enum EngineEndMode { EM_BY_TIME = 0, EM_BY_LOOPS = 1, EM_NEVER = 2 };

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
    // Starts the simulation thread of a new run (after the previous run's
    // thread has ended); returns 0.
    int StartThread();
    // The run start, on the simulation thread: 0 success, 1 model library not
    // bound, 3 no trace file.
    int BeginRun();
    // Commands of the user interface.
    void Run();       // lets the loop go
    void Pause();     // the loop stops at its next wait point
    void Resume();    // goes on after a pause
    void StepOnce();  // one more step in step-by-step mode
    void Stop();      // ends the run after the current step
    // Waits until the simulation thread has ended (true), or the time-out.
    bool WaitForRunEnd(int nMilliseconds);
    // True while a simulation thread exists and has not ended.
    bool IsThreadAlive() const { return m_bThreadAlive; }
    // The result of the last simulation thread: 0 complete, 1 failed start.
    int GetLastThreadResult() const { return m_nThreadResult; }
    // Path of the trace file of the current or last run ("" when none).
    std::string GetTracePath() const;

    // The viewer connection server; the user interface cancels its wait and
    // asks whether it is connected or accepting.
    CEstadisticsServidor& GetServer() { return *m_pServer; }
    // Port the viewer connects to (8686 unless set; 0 picks a free one).
    void SetViewerPort(unsigned nPort) { m_pServer->SetDataPort(nPort); }

    // ---- Model library binding -----------------------------------------------------
    // Loads "<code base>.so" and checks its entry points: 0 bound, 1 not
    // loadable, 2 an entry point missing ("Error" box).
    int LoadModelDLL();
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
    // Closes the trace file with its tail.
    void CloseTraceFile();

    // ---- Pending-event table ---------------------------------------------------
    // Earliest pending time over all keys; *pFound false and 0.0 when empty.
    double GetNextEventTime(bool* pFound) const;
    // Keeps the earliest time reported per key; bRemove drops the key.
    void UpdateNextEventTime(const std::string& strKey, double dTime, bool bRemove);
    void ClearPendingEvents();

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
    // The library calls go to; null when none is bound.
    CModelLibrary* GetModelLibrary() const { return m_pModelLibrary.get(); }
    void SetModelLibrary(std::unique_ptr<CModelLibrary> pLibrary) {
        m_pModelLibrary = std::move(pLibrary);
    }

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
    // for the compiler steps, in the returned log.
    //
    // The code base used when none is given: the parametrization file
    // without the extension of its file name, else the model folder followed
    // by the model file's name.
    std::string GetDefaultCodeBase() const;
    // Writes <base>.c. 1 when written: the engine's code base becomes base.
    // 0 otherwise: the code base is cleared and the user told.
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

    // Generators. They throw CCustomException when a file cannot be created
    // or written; true once the files are written.
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

    CNotifier& GetNotifier() const { return m_pNotifier ? *m_pNotifier : ::GetNotifier(); }
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

    // ---- Settings and flags ---------------------------------------------------------
    std::atomic<bool> m_bExecutionTrace{false};
    std::atomic<bool> m_bRepresentationTrace{true};
    std::atomic<bool> m_bInitialized{false};
    std::atomic<bool> m_bErrorPending{false};
    std::atomic<bool> m_bStepByStep{false};
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStepRequest{false};
    std::atomic<bool> m_bGo{false};
    bool m_bUseClients = false;
    bool m_bStopOnErrors = false;
    int m_nIPMode = 0;  // 0 local, 1 intranet, 2 internet
    std::string m_strIPAddress;
    int m_nEndMode = 0;  // 0 by time, 1 by number of loops, 2 never
    double m_dEndTime = 1000.0;
    int m_nLoopLimit = 1000;
    int m_nRunCount = 0;

    // The model's random generator; the engine itself never draws from it.
    CRandomLCG m_Random;

    // ---- Counters of the create operation ----------------------------------------------
    int m_nCreateCount = 0;
    int m_nCreatedAgents = 0;

    // The root's finished mark ends the run.
    bool IsRootFinished() const;
    void MarkRootFinished();

private:
    void SimulationThreadProc();
    // The viewer link of a run (when "Use clients" is on).
    void ConnectViewer();
    void DisconnectViewer();
    void CancelViewerWait();
    void SendToViewer(const std::string& strRecord);
    // Waits until pred() holds or the root is finished.
    template <class Pred>
    void WaitFor(Pred pred);
    void NotifyFlags();
    // After a step: waits for a step request when stepping or paused.
    void WaitAtPausePoint();

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
    std::mutex m_mutexFlags;
    std::condition_variable m_cvFlags;
    std::function<std::unique_ptr<CModelLibrary>()> m_fnLibraryFactory;
    std::unique_ptr<CTraceFile> m_pTraceFile;
    mutable std::mutex m_mutexTrace;
    std::string m_strLastTracePath;

    // Sends a finished record to the sink.
    void EmitRecord(const std::string& strRecord, bool bCollect);
    std::string FormatExecutionRecord(const CSDLOperation* pOperation) const;

    std::unique_ptr<CSDLAgent> m_pRootAgent;
    COwningNameMap<CSDLEvent> m_mapPendingEvents;
    std::unique_ptr<CModelLibrary> m_pModelLibrary;
    CTraceSink* m_pTraceSink = nullptr;
    CNotifier* m_pNotifier = nullptr;
    mutable std::mutex m_mutexPending;
    mutable std::mutex m_mutexMessages;
    std::string m_strMessages;
};
