#pragma once

// The engine object: one per opened model. It owns the model tree, indexes its
// blocks, processes and operations, keeps the run flags that the user
// interface and the simulation thread share, the pending-event table, the
// bound model library, and writes the trace records.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "sh_aux/namemap.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlevent.h"

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
    // END code generation declarations

    CNotifier& GetNotifier() const { return m_pNotifier ? *m_pNotifier : ::GetNotifier(); }
    void SetNotifier(CNotifier* pNotifier) { m_pNotifier = pNotifier; }

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

    // ---- Counters of the create operation ----------------------------------------------
    int m_nCreateCount = 0;
    int m_nCreatedAgents = 0;

private:
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
