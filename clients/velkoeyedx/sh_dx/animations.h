#pragma once

// The animation model: what the agents do over time. The trace and live
// readers queue events (CAnimEvent) into a time-ordered pending list; once
// per frame the render thread calls Update with the replay time, which
// applies the events that are due, draws agents that are between two poses
// at the interpolated pose and every other visible agent at its current
// pose. Applied events go to a history, so that Rewind can replay the whole
// animation from the start. Every applied event writes a line to the
// execution log.
//
// Thread contract: one mutex guards every public operation, so the feeder
// threads (trace events, live link), the render thread (Update) and the
// dialog thread (Clear, Rewind, the demo) may call it at any time. Update
// returns what to draw and the cell textures to set, and the window does
// that after the lock is released. The log sink and the mesh store are
// never called with the lock held.

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/agent.h"
#include "clients/velkoeyedx/sh_dx/animevent.h"
#include "clients/velkoeyedx/sh_dx/drawlist.h"
#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "clients/velkoeyedx/sh_dx/logsink.h"
#include "clients/velkoeyedx/sh_dx/meshstore.h"
#include "sh_aux/namemap.h"

// What CAnimations::FindAgentState found.
enum AgentStateLookup { ASL_FOUND, ASL_NO_AGENT, ASL_NO_STATE };

class CAnimations {
public:
    // An empty scene with "default.obj" registered for loading.
    CAnimations();
    CAnimations(const CAnimations&) = delete;
    CAnimations& operator=(const CAnimations&) = delete;

    // The execution log; null drops the lines. Lines made while no sink is
    // set are lost.
    void SetLogSink(std::shared_ptr<CLogSink> pLog);

    // ---- Feeding: the readers' feeder threads, the demo, load commands.

    // Inserts the event behind every pending event of the same time. An
    // event whose time is not a finite number is logged and dropped.
    void QueueEvent(std::unique_ptr<CAnimEvent> pEvent);
    // Registers an "obj" mesh for loading at the next frame; "jpg", "png"
    // and "dds" files (cell textures) and the empty name need nothing; any
    // other name is refused with a message box. The ending is compared
    // case-sensitively.
    void LoadMesh(const std::string& strFile);
    // Creates the agent unless one of that name exists.
    void AddAgent(const std::string& strName, const std::string& strMesh);
    // Puts an agent built elsewhere (the model description, with its states)
    // in place of any agent of the same name.
    void PutAgent(std::unique_ptr<CAgent> pAgent);
    // Halts the agent at time dTime part-way along its pending move; the
    // rest of the move is kept for ResumeAt.
    void StopAt(const std::string& strAgent, double dTime);
    // Holds the agent where its last pending pose up to dTime leaves it until
    // dTime, then finishes the move that the last StopAt cut.
    void ResumeAt(const std::string& strAgent, double dTime);
    // A move that arrives when the agent, leaving from its last pose (pending,
    // else current), covers the distance at dSpeed units per time unit.
    void AnimToAtSpeed(const std::string& strAgent, double dSpeed, const CVector3& position,
                       const CVector3& rotation, const std::string& strMesh, double dScale);

    // ---- One frame: the render thread.

    // Loads the registered meshes into pMeshes (null: they count as loaded
    // at once), applies the events due at dNow and returns the frame.
    CAnimationFrame Update(double dNow, CMeshStore* pMeshes = nullptr);

    // ---- Scene: the scene controller.

    // Empties the scene: events, agents and mesh registrations; the meshes
    // of the store are dropped at the next Update.
    void Clear();
    // Puts every applied event back for a replay from the start; agents turn
    // invisible with no pose and no reports, and the log is emptied.
    void Rewind();

    // ---- Reading: copies, for the dialogs and the readers.

    // The look of the agent in the state, copied to *pOut when found.
    AgentStateLookup FindAgentState(const std::string& strAgent, const std::string& strState,
                                    CAgentState* pOut) const;
    std::vector<std::string> GetAgentNames() const;
    std::vector<CAgent::report> GetReports(const std::string& strAgent) const;
    int CountVisibleAgents() const;
    // The agents drawn at rest now, by name, each with its mesh and reports.
    std::vector<CAgent> GetVisibleAgents() const;
    // How far ahead of the replay time a frame looks for the next pose.
    double GetLookAhead() const;
    // The time of the latest event queued, applied or not: where the
    // animation comes to rest for good once nothing more is queued; 0 with
    // no event.
    double GetLastEventTime() const;
    // The sequence number the next event takes: it grows with every event
    // queued, applied or put back for a replay (a Clear notwithstanding), and
    // so moves on while a feed goes on.
    std::uint64_t GetEventSequence() const;

    // The pose at time dTime on the way from before to after: a move at
    // dTime, part-way between the two positions, with no rotation; null
    // unless before comes earlier than after and dTime lies between them.
    static std::unique_ptr<CAnimEvent> MakeStopEvent(const CAnimEvent& before,
                                                     const CAnimEvent& after, double dTime);
    // Rotations about x, y and z, then the translation, then the scaling
    // (which scales the position too), for row vectors.
    static CMatrix WorldMatrix(const CVector3& position, const CVector3& rotation, double dScale);

private:
    // Pending and history lists are ordered by time, then by the order in
    // which events were added.
    struct CEventKey {
        double dTime;
        std::uint64_t nSeq;
        auto operator<=>(const CEventKey&) const = default;
    };
    using CEventList = std::map<CEventKey, std::unique_ptr<CAnimEvent>>;
    struct CLogEntry {
        bool bClear;
        std::string strLine;
    };
    // Declared before the lock in an operation, so the log is delivered
    // after the lock is released.
    struct CFlushLogOnExit {
        CAnimations& animations;
        ~CFlushLogOnExit() { animations.FlushLog(); }
    };

    void LoadRegisteredMeshes(CMeshStore* pMeshes);
    void FlushLog();

    // The rest need m_mutex held.
    void QueueLocked(std::unique_ptr<CAnimEvent> pEvent);
    void QueueApplied(std::unique_ptr<CAnimEvent> pEvent);
    std::unique_ptr<CAnimEvent> TakePending(CEventList::iterator it);
    void RaiseLookAhead(const std::set<CEventKey>& placements, const CEventKey& key,
                        const std::string& strAgent);
    double ComputeLookAhead() const;
    // The agent, or null after logging that it was not found.
    CAgent* FindAgentOrLog(const std::string& strAgent);
    bool IsFiniteTimeOrLog(const std::string& strAgent, double dTime);
    // The agent's last pending placement at or before dUpTo, or null. The
    // pointer stays valid until that event leaves the pending list.
    const CAnimEvent* LastPendingPlacement(
        const std::string& strAgent, double dUpTo = std::numeric_limits<double>::infinity()) const;
    void ApplyDueEvents(double dNow, CAnimationFrame& frame);
    // False when the walk of the pending list must end for this frame.
    bool ApplyPose(CEventList::iterator itEvent, CAgent& agent, double dNow,
                   CAnimationFrame& frame);
    void DrawAgentsAtRest(double dNow, CAnimationFrame& frame);
    bool IsMeshLoaded(const std::string& strMesh) const;
    void Log(std::string strLine);

    mutable std::mutex m_mutex;
    COwningNameMap<CAgent> m_mapAgents;
    CEventList m_pending;
    CEventList m_history;
    // The keys of each agent's pending placements (poses that are not cell
    // events): stop, resume, moves at a speed and the look-ahead use them.
    CNameMap<std::set<CEventKey>> m_mapPlacements;
    // Each agent's current pose, a private copy of the last pose applied.
    CNameMap<CAnimEvent> m_mapCurrent;
    // Mesh file name -> loaded into the store.
    CNameMap<bool> m_mapMeshStatus;
    bool m_bMeshesPending = false;
    // Cleared since the last frame: the store still holds the old meshes.
    bool m_bStoreStale = false;
    std::uint64_t m_nClearCount = 0;
    std::uint64_t m_nNextSeq = 0;
    double m_dLookAhead = 1.0;
    std::shared_ptr<CLogSink> m_pLogSink;
    // Log work made under the lock, delivered in order after it.
    std::vector<CLogEntry> m_vecOutbox;
    bool m_bDelivering = false;
};
