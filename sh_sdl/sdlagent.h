#pragma once

// Base of every node of the model tree: blocks, automaton blocks and
// processes. An agent owns its sub-blocks, processes and channel ends, keeps
// a local clock and the event it is handling, and takes its next event out of
// its input channels.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"
#include "sh_sdl/sdlchannelin.h"
#include "sh_sdl/sdlchannelout.h"
#include "sh_sdl/sdlevent.h"

class CSDLBlock;
class CSDLEngine;
class CSDLProcess;
class CSDLmnca;
struct SPendingSlot;

// Error levels of ReportError.
enum SDLErrorLevel { SDL_INFO = 0, SDL_WARNING = 1, SDL_ERROR = 3 };

class CSDLAgent {
public:
    CSDLAgent();
    virtual ~CSDLAgent();
    CSDLAgent(const CSDLAgent&) = delete;
    CSDLAgent& operator=(const CSDLAgent&) = delete;

    // Takes and handles this agent's next event; returns what the step
    // produced for the trace and the user (error texts), empty when nothing.
    virtual std::string Step() = 0;
    // Prepares the agent for a run.
    virtual void Initialize() = 0;

    // ---- Names and searches -------------------------------------------------
    // The name path below the root joined with "_"; levels with an instance
    // index above 0 are written "name[index]" (this agent's own index only
    // when bWithIndex).
    std::string GetFullName(bool bWithIndex) const;
    // The full name with no instance index at any level: the name of the
    // loaded agent this one was made from, under which the model library
    // knows its variables (instances share them).
    std::string GetTemplateFullName() const;
    // Nearest automaton block above this agent (the agent itself excluded).
    CSDLmnca* GetMncaBlock() const;
    CSDLAgent* FindAgentByName(const std::string& strName, bool* pIsBlock);
    CSDLAgent* FindAgentByFullName(const std::string& strFullName, bool* pIsBlock);
    // The root of the tree this agent belongs to.
    CSDLAgent* GetRoot();

    // ---- Run --------------------------------------------------------------------
    // Shared initialisation of blocks, processes and instances. In a
    // distributed run (IP mode not 0) each output end without local delivery
    // takes the host and port of its target's instance; the listeners of the
    // instance's ports are the engine's (CSDLRemoteLinks). Nothing in a local
    // run.
    void InitCommon();
    // End-of-run reset of the subtree: clocks 0, queues and current event
    // gone, connections to other instances closed.
    void Reset();
    // The IP text and the port of the channel's target: the target process
    // when set, else the target block; "" and 0 without a target.
    static std::string GetChannelTargetHost(const CSDLChannelOut* pChannel);
    static int GetChannelTargetPort(const CSDLChannelOut* pChannel);

    // ---- Channels ---------------------------------------------------------------
    // The n-th output channel (0-based, map order) carrying the event's signal
    // that is not the channel the event came through.
    CSDLChannelOut* FindOutChannelForSignal(const CSDLEvent* pEvent, int n);
    // Depth-first search for a chain of channels to pTarget carrying the
    // event's signal; strPath receives the blank-separated channel names and
    // the first hop is returned. Clear the marks with SetVisited(false) on
    // the root afterwards.
    CSDLChannelOut* FindPath(const CSDLEvent* pEvent, CSDLAgent* pTarget, std::string& strPath);
    // Sets the visited mark of this agent and every agent below it.
    void SetVisited(bool bValue);
    // Chooses the input channel with the earliest head event (input channels
    // in map order, the internal one only when strictly earlier); *pMinClock
    // receives the lowest channel clock when the agent has input channels.
    CSDLChannelIn* GetEarliestChannel(double* pMinClock);
    // Takes the event this agent may handle now, or null (see the deferral
    // against the engine's pending times).
    std::unique_ptr<CSDLEvent> GetNextEvent();
    // Key of this agent in the engine's pending-event table.
    std::string GetPendingKey() const { return GetFullName(true); }
    // Reports the agent's pending time to the engine (see
    // CSDLEngine::UpdateNextEventTime) through the slot of its key, taken
    // once and kept while the engine's table keeps it.
    void UpdatePendingTime(double dTime, bool bRemove);
    // Called by the engine when the time of the slot this agent owns
    // appears or goes.
    void PendingTimeChanged(bool bPending);

    // ---- Agents with work ----------------------------------------------------
    // A step of an agent that has no event queued in its channels, no time
    // of its own in the engine's pending table and no busy child does
    // nothing at all: blocks step only their busy children (in the same
    // order as all of them). Each agent keeps whether it is busy and each
    // block which of its children are, in its step order: the children in
    // the order a step visits them (sub-blocks, then processes, each in map
    // order), held in runs of at most 64 with one bit each. A child added
    // through AddBlock or AddProcess joins the order at its place, at a
    // cost that does not grow with its siblings; one entered in a map by
    // other means makes the order be made anew when it is next used.
    // Told by the channels this agent owns: nDelta events were queued (or,
    // negative, taken or dropped).
    void QueuedEventsChanged(int nDelta);
    // Whether this agent or an agent below it has work.
    bool IsBusy() const { return m_bBusy; }
    // True when a step of this agent may be skipped while it is not busy.
    // False once two agents share a pending key or a time was reported
    // under a key no agent owns: a step then has to visit every agent.
    bool MaySkipIdleAgents() const;
    // Compares this subtree's record of agents with work against a full
    // sweep's view: the events each agent's channels hold, the time the
    // engine's table holds under its key, and its children. The first
    // difference, described; empty when there is none. bBusy receives
    // whether a full sweep finds work in the subtree.
    std::string CheckAgentsWithWork(bool& bBusy) const;
    CSDLChannelIn* GetInputChannel(const std::string& strName) const;
    CSDLChannelOut* GetOutputChannel(const std::string& strName) const;

    // ---- Errors -----------------------------------------------------------------
    // Records and returns the error text, sets the engine's error flag and
    // this agent's stop mark, and traces it while a run is initialised.
    std::string ReportError(const std::string& strMessage, int nLevel);
    // "ERROR: ..." lines of this agent and its subtree.
    std::string GetErrorReport() const;

    // ---- Self-description -------------------------------------------------------
    // The whole ModelInfo element of the engine's model (whatever agent it is
    // called on).
    std::string GetModelInfoXml() const;
    // The Agent elements of this agent's subtree, sub-blocks first.
    std::string GetAgentsXml() const;
    // The whole Parametrization element for every process of the engine's
    // process map. Trims the variables' value texts in place.
    std::string GetParametrizationXml() const;

    // ---- Instances -----------------------------------------------------------------
    // Makes pOut (freshly constructed) a new numbered instance of this agent:
    // names, numbers and its own channel ends, plus the parent's ends of the
    // channels between the parent and this agent.
    // bParentEnds false leaves the parent's channel ends alone (inside a
    // block instance the parent is an instance too and gets its own ends).
    void CloneInto(CSDLAgent* pOut, bool bParentEnds = true);
    // Makes the instance's copies ("name[i]") of this agent's channel ends:
    // the template's own ends (bFromParent false) or the parent's ends that
    // lead to or come from the template (bFromParent true, called on the
    // parent). The parent's copies are pointed at the instance.
    void CopyChannelsTo(CSDLAgent* pOut, bool bFromParent);
    // Gives the agents at the far end of the template's channels (siblings
    // below the same parent) their ends of the instance's copies, so that
    // signals reach the instance and come back from it.
    void LinkInstanceToSiblings(CSDLAgent* pInstance);

    // ---- Children -----------------------------------------------------------------
    // Each makes this agent the child's parent and enters it in its map: under
    // its name ("name[index]" for a block instance), or under strKey. A
    // child of the same key is replaced.
    CSDLBlock* AddBlock(std::unique_ptr<CSDLBlock> pBlock);
    CSDLProcess* AddProcess(std::unique_ptr<CSDLProcess> pProcess);
    CSDLBlock* AddBlockAs(const std::string& strKey, std::unique_ptr<CSDLBlock> pBlock);
    CSDLProcess* AddProcessAs(const std::string& strKey, std::unique_ptr<CSDLProcess> pProcess);
    CSDLBlock* GetBlock(const std::string& strKey) const;
    CSDLProcess* GetProcess(const std::string& strKey) const;

    std::string m_strName;
    int m_nId = 0;
    int m_nInstanceCount = 0;
    int m_nInstanceIndex = 0;
    int m_nCreationNumber = 0;
    CSDLAgent* m_pParent = nullptr;
    COwningNameMap<CSDLProcess> m_mapProcesses;
    COwningNameMap<CSDLBlock> m_mapBlocks;
    std::string m_strIP;
    int m_nPort = 8687;
    COwningNameMap<CSDLChannelIn> m_mapInputChannels;
    std::unique_ptr<CSDLChannelIn> m_pInternalChannel;
    COwningNameMap<CSDLChannelOut> m_mapOutputChannels;
    double m_dClock = 0.0;
    std::atomic<bool> m_bStop{false};
    std::unique_ptr<CSDLEvent> m_pCurrentEvent;
    CSDLEngine* m_pEngine = nullptr;
    bool m_bVisited = false;
    std::string m_strError;
    std::string m_strPosX;
    std::string m_strPosY;
    std::string m_strPosZ;
    std::string m_strMesh;
    bool m_bAnimSetState = true;
    bool m_bAnimInput = true;
    bool m_bAnimOutput = true;
    bool m_bTraceSetState = true;
    bool m_bTraceInput = true;
    bool m_bTraceOutput = true;

protected:
    // A fresh internal channel owned by this agent.
    std::unique_ptr<CSDLChannelIn> MakeInternalChannel();

    // Takes the agent's pending slot anew: at the start of a run and when
    // an instance starts, so that two agents of one key are known to the
    // engine before either is skipped.
    void RetakePendingSlot();
    // An event is queued in this agent's channels or it has a pending time
    // of its own: its GetNextEvent has something to do.
    bool HasOwnWork() const;
    // The child a step visits after pAfter (the first when pAfter is null),
    // only busy ones when bBusyOnly; null at the end. The step order is made
    // anew first when the maps hold children it does not.
    CSDLAgent* NextChildToStep(const CSDLAgent* pAfter, bool bBusyOnly);
    // Forgets the step order (children may go before it is used again).
    void ForgetStepOrder();

private:
    // The slot of this agent's key in its engine's pending-event table, or
    // null (no engine); taken again when the table has changed generation.
    SPendingSlot* GetPendingSlot();
    // Works out whether the agent is busy and, when that changed, tells the
    // parent.
    void UpdateBusy();
    void ChildBusyChanged(CSDLAgent* pChild, bool bBusy);

    // A run of consecutive children of the step order; its busy bits are
    // the word of m_vecBusyBits at nIndex.
    struct SStepChunk {
        std::vector<CSDLAgent*> vecChildren;
        size_t nIndex = 0;  // position in m_vecStepChunks
    };
    void MakeStepOrder();
    // Makes the order anew unless it is made and holds every child.
    void EnsureStepOrder();
    bool HoldsInStepOrder(const CSDLAgent* pChild) const;
    bool StepOrderIsComplete() const;
    // Enters the child just entered in a map at it in the step order.
    template <class T>
    void AdoptChild(COwningNameMap<T>& map, const std::string& strKey, std::unique_ptr<T> pChild);
    // Puts pChild into the order right after pAfter (first when null).
    void JoinStepOrder(CSDLAgent* pChild, const CSDLAgent* pAfter);
    // Moves the upper half of a full chunk into a new chunk after it.
    void SplitStepChunk(SStepChunk& chunk);
    void PlaceInStepOrder(CSDLAgent* pChild, SStepChunk& chunk, size_t nOffset);

    SPendingSlot* m_pPendingSlot = nullptr;
    long long m_nPendingGeneration = 0;
    // The slot this agent owns holds a time.
    bool m_bPendingHere = false;
    bool m_bStepOrderMade = false;

    int m_nQueuedEvents = 0;
    bool m_bBusy = false;
    // The step order of this agent's children.
    std::vector<std::unique_ptr<SStepChunk>> m_vecStepChunks;
    // One word per chunk, one bit per child, set while the child is busy.
    std::vector<uint64_t> m_vecBusyBits;
    size_t m_nStepOrderSize = 0;
    int m_nBusyChildren = 0;
    // Advanced whenever the order is made: a child placed in an older one
    // is not in it.
    long long m_nStepOrderGeneration = 0;
    // This agent's place in its parent's step order.
    SStepChunk* m_pStepChunk = nullptr;
    size_t m_nStepIndex = 0;
    long long m_nStepGeneration = 0;
};
