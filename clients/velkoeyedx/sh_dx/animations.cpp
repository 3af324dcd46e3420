#include "clients/velkoeyedx/sh_dx/animations.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"

namespace {

// An empty mesh in a pose keeps the mesh the agent has.
const std::string& MeshAfter(const CAgent& agent, const CAnimEvent& pose) {
    return pose.mesh.empty() ? agent.mesh : pose.mesh;
}

float Between(float a, float b, double dFactor) {
    return static_cast<float>(a + (b - a) * dFactor);
}

CVector3 Between(const CVector3& a, const CVector3& b, double dFactor) {
    return {Between(a.x, b.x, dFactor), Between(a.y, b.y, dFactor), Between(a.z, b.z, dFactor)};
}

}  // namespace

CAnimations::CAnimations() {
    LoadMesh("default.obj");
}

void CAnimations::SetLogSink(std::shared_ptr<CLogSink> pLog) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pLogSink = std::move(pLog);
    if (!m_pLogSink) {
        m_vecOutbox.clear();
    }
}

// ---- Feeding ---------------------------------------------------------------------

void CAnimations::QueueEvent(std::unique_ptr<CAnimEvent> pEvent) {
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    QueueLocked(std::move(pEvent));
}

void CAnimations::QueueLocked(std::unique_ptr<CAnimEvent> pEvent) {
    if (!IsFiniteTimeOrLog(pEvent->agent, pEvent->time)) {
        return;
    }
    const CEventKey key{pEvent->time, m_nNextSeq++};
    if (pEvent->IsPlacement()) {
        std::set<CEventKey>& placements = m_mapPlacements[pEvent->agent];
        placements.insert(key);
        RaiseLookAhead(placements, key, pEvent->agent);
    }
    m_pending.emplace(key, std::move(pEvent));
}

void CAnimations::QueueApplied(std::unique_ptr<CAnimEvent> pEvent) {
    m_history.emplace(CEventKey{pEvent->time, m_nNextSeq++}, std::move(pEvent));
}

std::unique_ptr<CAnimEvent> CAnimations::TakePending(CEventList::iterator it) {
    std::unique_ptr<CAnimEvent> pEvent = std::move(it->second);
    if (pEvent->IsPlacement()) {
        auto itPlacements = m_mapPlacements.find(pEvent->agent);
        itPlacements->second.erase(it->first);
        if (itPlacements->second.empty()) {
            m_mapPlacements.erase(itPlacements);
        }
    }
    m_pending.erase(it);
    return pEvent;
}

// Events are queued in any order, live ones long after the agent's previous
// pose was applied: the window grows to every gap between two placements of
// one agent (or its current pose and its first pending placement), so that a
// frame sees the next pose as soon as the agent leaves the previous one and
// the agent glides instead of jumping.
void CAnimations::RaiseLookAhead(const std::set<CEventKey>& placements, const CEventKey& key,
                                 const std::string& strAgent) {
    auto Raise = [this](double dGap) {
        if (std::isfinite(dGap)) {
            m_dLookAhead = std::max(m_dLookAhead, dGap);
        }
    };
    auto it = placements.find(key);
    if (it != placements.begin()) {
        Raise(key.dTime - std::prev(it)->dTime);
    } else if (auto itCurrent = m_mapCurrent.find(strAgent); itCurrent != m_mapCurrent.end()) {
        Raise(key.dTime - itCurrent->second.time);
    }
    if (auto itNext = std::next(it); itNext != placements.end()) {
        Raise(itNext->dTime - key.dTime);
    }
}

double CAnimations::ComputeLookAhead() const {
    double dLookAhead = 1.0;
    for (const auto& [strAgent, placements] : m_mapPlacements) {
        for (auto it = placements.begin(); std::next(it) != placements.end(); ++it) {
            dLookAhead = std::max(dLookAhead, std::next(it)->dTime - it->dTime);
        }
    }
    return dLookAhead;
}

void CAnimations::LoadMesh(const std::string& strFile) {
    const std::string strEnding = Right(strFile, 3);
    if (strFile.empty()) {
        return;  // no mesh: the agent keeps the one it has
    } else if (strEnding == "obj") {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_mapMeshStatus[strFile]) {
            m_bMeshesPending = true;
        }
    } else if (strEnding != "jpg" && strEnding != "png" && strEnding != "dds") {
        GetNotifier().MessageBox("VELKOEyeDX",
                                 "The mesh must be obj, jpg, png or dds type (" + strFile + ")",
                                 NB_OK, NI_WARNING);
    }
}

void CAnimations::AddAgent(const std::string& strName, const std::string& strMesh) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapAgents.find(strName);
    if (it == m_mapAgents.end()) {
        it = m_mapAgents.emplace(strName, std::make_unique<CAgent>(strName, strMesh)).first;
    }
    it->second->handled = false;
}

void CAnimations::PutAgent(std::unique_ptr<CAgent> pAgent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string strName = pAgent->name;
    m_mapAgents[strName] = std::move(pAgent);
}

CAgent* CAnimations::FindAgentOrLog(const std::string& strAgent) {
    CAgent* pAgent = FindIn(m_mapAgents, strAgent);
    if (!pAgent) {
        Log("Agent " + strAgent + " not found.");
    }
    return pAgent;
}

bool CAnimations::IsFiniteTimeOrLog(const std::string& strAgent, double dTime) {
    if (std::isfinite(dTime)) {
        return true;
    }
    Log("Event of agent " + strAgent + " ignored: its time " + DoubleToString(dTime) +
        " is not a finite number.");
    return false;
}

const CAnimEvent* CAnimations::LastPendingPlacement(const std::string& strAgent,
                                                    double dUpTo) const {
    auto itPlacements = m_mapPlacements.find(strAgent);
    if (itPlacements == m_mapPlacements.end()) {
        return nullptr;
    }
    const std::set<CEventKey>& placements = itPlacements->second;
    auto itAfter =
        placements.upper_bound(CEventKey{dUpTo, std::numeric_limits<std::uint64_t>::max()});
    return itAfter == placements.begin() ? nullptr
                                         : m_pending.find(*std::prev(itAfter))->second.get();
}

void CAnimations::StopAt(const std::string& strAgent, double dTime) {
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    CAgent* pAgent = FindAgentOrLog(strAgent);
    auto itPlacements = m_mapPlacements.find(strAgent);
    if (!pAgent || !IsFiniteTimeOrLog(strAgent, dTime) || itPlacements == m_mapPlacements.end()) {
        return;
    }
    // The first placement at or after the stop is the move being cut; the
    // one before it, if any, is where the move started.
    const std::set<CEventKey>& placements = itPlacements->second;
    auto itAfter = placements.lower_bound(CEventKey{dTime, 0});
    if (itAfter == placements.end()) {
        return;
    }
    const CAnimEvent* pBefore =
        itAfter == placements.begin() ? nullptr : m_pending.find(*std::prev(itAfter))->second.get();
    std::unique_ptr<CAnimEvent> pAfter = TakePending(m_pending.find(*itAfter));
    if (!pBefore) {
        return;
    }
    if (std::unique_ptr<CAnimEvent> pStop = MakeStopEvent(*pBefore, *pAfter, dTime)) {
        QueueLocked(std::move(pStop));
    }
    pAgent->resumeDuration = pAfter->time - dTime;
    pAgent->resumePosition = pAfter->position;
}

void CAnimations::ResumeAt(const std::string& strAgent, double dTime) {
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    CAgent* pAgent = FindAgentOrLog(strAgent);
    if (!pAgent || !IsFiniteTimeOrLog(strAgent, dTime)) {
        return;
    }
    // The agent holds where its last pose up to the resume leaves it; moves
    // queued for later (a whole scene queued at once) do not hide that pose.
    const CAnimEvent* pLast = LastPendingPlacement(strAgent, dTime);
    if (!pLast || !(dTime > pLast->time)) {
        return;
    }
    const CAnimEvent& last = *pLast;
    QueueLocked(
        CAnimEvent::MakeMove(strAgent, dTime, last.position, last.rotation, last.mesh, last.scale));
    QueueLocked(CAnimEvent::MakeMove(strAgent, dTime + pAgent->resumeDuration,
                                     pAgent->resumePosition, last.rotation, last.mesh, last.scale));
}

void CAnimations::AnimToAtSpeed(const std::string& strAgent, double dSpeed,
                                const CVector3& position, const CVector3& rotation,
                                const std::string& strMesh, double dScale) {
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!FindAgentOrLog(strAgent)) {
        return;
    }
    if (!(dSpeed > 0.0)) {
        Log("Move of agent " + strAgent + " ignored: its speed " + DoubleToString(dSpeed) +
            " is not positive.");
        return;
    }
    const CAnimEvent* pBase = LastPendingPlacement(strAgent);
    if (!pBase) {
        auto itCurrent = m_mapCurrent.find(strAgent);
        pBase = itCurrent == m_mapCurrent.end() ? nullptr : &itCurrent->second;
    }
    if (!pBase) {
        Log("Move of agent " + strAgent + " ignored: it has no position to leave from.");
        return;
    }
    const CVector3 d = position - pBase->position;
    const float fDistance = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    QueueLocked(CAnimEvent::MakeMove(strAgent, pBase->time + fDistance / dSpeed, position, rotation,
                                     strMesh, dScale));
}

std::unique_ptr<CAnimEvent> CAnimations::MakeStopEvent(const CAnimEvent& before,
                                                       const CAnimEvent& after, double dTime) {
    const double t0 = before.time;
    const double t1 = after.time;
    if (!(t1 - t0 > 0.0 && t0 <= dTime && dTime <= t1)) {
        return nullptr;
    }
    return CAnimEvent::MakeMove(before.agent, dTime,
                                Between(before.position, after.position, (dTime - t0) / (t1 - t0)),
                                CVector3(), before.mesh, before.scale);
}

// ---- One frame -------------------------------------------------------------------

CAnimationFrame CAnimations::Update(double dNow, CMeshStore* pMeshes) {
    LoadRegisteredMeshes(pMeshes);
    CAnimationFrame frame;
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    ApplyDueEvents(dNow, frame);
    DrawAgentsAtRest(dNow, frame);
    return frame;
}

// Meshes load outside the lock: loading takes long and the feeders must not
// wait for it.
void CAnimations::LoadRegisteredMeshes(CMeshStore* pMeshes) {
    std::vector<std::string> vecFiles;
    bool bClearStore = false;
    std::uint64_t nClearCount = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bClearStore = std::exchange(m_bStoreStale, false) && pMeshes;
        if (!m_bMeshesPending && !bClearStore) {
            return;
        }
        for (const auto& [strFile, bLoaded] : m_mapMeshStatus) {
            if (!bLoaded) {
                vecFiles.push_back(strFile);
            }
        }
        nClearCount = m_nClearCount;
    }
    if (bClearStore) {
        pMeshes->Clear();
    }
    if (pMeshes) {
        for (const std::string& strFile : vecFiles) {
            pMeshes->Load(strFile);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nClearCount != nClearCount) {
        return;  // cleared meanwhile: the store is cleared again next frame
    }
    for (const std::string& strFile : vecFiles) {
        m_mapMeshStatus[strFile] = true;
    }
    m_bMeshesPending = std::any_of(m_mapMeshStatus.begin(), m_mapMeshStatus.end(),
                                   [](const auto& entry) { return !entry.second; });
}

void CAnimations::ApplyDueEvents(double dNow, CAnimationFrame& frame) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        auto itEvent = it++;
        const CAnimEvent& event = *itEvent->second;
        if (dNow + m_dLookAhead < event.time) {
            return;
        }
        CAgent* pAgent = FindAgentOrLog(event.agent);
        if (!pAgent) {
            // Kept as a report in the history, so a rewind tries it again.
            QueueApplied(CAnimEvent::MakeReport(event.agent, event.time, event.varname,
                                                event.vartype, event.varvalue, event.cell));
            TakePending(itEvent);
            continue;
        }
        const bool bDue = event.time <= dNow;
        if (event.kind == AEK_REMOVE && bDue) {
            pAgent->visible = false;
            Log("remove.agent:" + pAgent->name + " at:" + DoubleToString(dNow));
            QueueApplied(TakePending(itEvent));
        } else if (event.kind == AEK_REPORT && bDue) {
            pAgent->AddReport(event.varname, event.vartype, event.varvalue, event.cell);
            Log("report.agent:" + pAgent->name + ":" + event.varname + "=" + event.varvalue);
            TakePending(itEvent);
        } else if (event.kind == AEK_POSE && !ApplyPose(itEvent, *pAgent, dNow, frame)) {
            return;
        }
    }
}

bool CAnimations::ApplyPose(CEventList::iterator itEvent, CAgent& agent, double dNow,
                            CAnimationFrame& frame) {
    const CAnimEvent& event = *itEvent->second;
    if (agent.handled) {
        return true;  // drawn between two poses already; this one waits a frame
    }
    const bool bDue = event.time <= dNow;
    if (event.cell != -1) {
        // A cell event sets a texture; it never places the agent.
        if (bDue) {
            frame.vecCellTextures.push_back({event.cell, event.mesh});
            Log("re.agent:" + agent.name + " at:" + DoubleToString(dNow) +
                " cell:" + IntToString(event.cell) + "texture:" + event.mesh);
            QueueApplied(TakePending(itEvent));
        }
        return true;
    }
    auto itCurrent = m_mapCurrent.find(agent.name);
    const bool bFirst = itCurrent == m_mapCurrent.end();
    if (!bFirst && itCurrent->second.time < dNow && dNow < event.time) {
        const CAnimEvent& current = itCurrent->second;
        if (MeshAfter(agent, event) == current.mesh) {
            if (!IsMeshLoaded(current.mesh)) {
                return false;
            }
            const double dFactor = (dNow - current.time) / (event.time - current.time);
            frame.vecDraws.push_back(
                {agent.name, current.mesh,
                 WorldMatrix(Between(current.position, event.position, dFactor),
                             Between(current.rotation, event.rotation, dFactor),
                             current.scale + (event.scale - current.scale) * dFactor)});
            agent.handled = true;
        }
        return true;
    }
    if (!bDue) {
        return true;
    }
    // The pose becomes the current one; the agent is free for a later pose
    // in this frame. Only the first pose makes it visible.
    CAnimEvent& current = bFirst ? m_mapCurrent[agent.name] : itCurrent->second;
    current = event;
    current.mesh = MeshAfter(agent, event);
    agent.mesh = current.mesh;
    if (bFirst) {
        agent.visible = true;
    }
    agent.handled = false;
    Log((bFirst ? "first.rep.agent:" : "new.rep.agent:") + agent.name +
        " at:" + DoubleToString(dNow));
    QueueApplied(TakePending(itEvent));
    return true;
}

void CAnimations::DrawAgentsAtRest(double dNow, CAnimationFrame& frame) {
    for (auto& [strName, pAgent] : m_mapAgents) {
        if (std::exchange(pAgent->handled, false)) {
            continue;
        }
        auto itCurrent = m_mapCurrent.find(strName);
        if (itCurrent == m_mapCurrent.end() || !pAgent->visible || dNow < itCurrent->second.time) {
            continue;
        }
        if (!IsMeshLoaded(pAgent->mesh)) {
            m_mapMeshStatus[pAgent->mesh] = false;
            m_bMeshesPending = true;
            continue;
        }
        const CAnimEvent& current = itCurrent->second;
        frame.vecDraws.push_back({strName, pAgent->mesh,
                                  WorldMatrix(current.position, current.rotation, current.scale)});
    }
}

bool CAnimations::IsMeshLoaded(const std::string& strMesh) const {
    auto it = m_mapMeshStatus.find(strMesh);
    return it != m_mapMeshStatus.end() && it->second;
}

CMatrix CAnimations::WorldMatrix(const CVector3& position, const CVector3& rotation,
                                 double dScale) {
    const auto fScale = static_cast<float>(dScale);
    return CMatrix::RotationX(rotation.x) * CMatrix::RotationY(rotation.y) *
           CMatrix::RotationZ(rotation.z) *
           CMatrix::Translation(position.x, position.y, position.z) *
           CMatrix::Scaling(fScale, fScale, fScale);
}

// ---- Scene -----------------------------------------------------------------------

void CAnimations::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
    m_history.clear();
    m_mapPlacements.clear();
    m_mapAgents.clear();
    m_mapMeshStatus.clear();
    m_mapCurrent.clear();
    m_bMeshesPending = false;
    m_bStoreStale = true;
    ++m_nClearCount;
}

void CAnimations::Rewind() {
    CFlushLogOnExit flush{*this};
    std::lock_guard<std::mutex> lock(m_mutex);
    CEventList history = std::move(m_history);
    m_history.clear();
    m_mapCurrent.clear();
    for (auto& [key, pEvent] : history) {
        QueueLocked(std::move(pEvent));
    }
    for (auto& [strName, pAgent] : m_mapAgents) {
        pAgent->reports.clear();
        pAgent->visible = false;
    }
    m_vecOutbox.clear();
    if (m_pLogSink) {
        m_vecOutbox.push_back({true, {}});
    }
    m_dLookAhead = ComputeLookAhead();
}

// ---- Reading ---------------------------------------------------------------------

AgentStateLookup CAnimations::FindAgentState(const std::string& strAgent,
                                             const std::string& strState, CAgentState* pOut) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const CAgent* pAgent = FindIn(m_mapAgents, strAgent);
    if (!pAgent) {
        return ASL_NO_AGENT;
    }
    auto it = pAgent->states.find(strState);
    if (it == pAgent->states.end()) {
        return ASL_NO_STATE;
    }
    *pOut = it->second;
    return ASL_FOUND;
}

std::vector<std::string> CAnimations::GetAgentNames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> vecNames;
    vecNames.reserve(m_mapAgents.size());
    for (const auto& entry : m_mapAgents) {
        vecNames.push_back(entry.first);
    }
    return vecNames;
}

std::vector<CAgent::report> CAnimations::GetReports(const std::string& strAgent) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const CAgent* pAgent = FindIn(m_mapAgents, strAgent);
    return pAgent ? pAgent->reports : std::vector<CAgent::report>();
}

std::uint64_t CAnimations::GetEventSequence() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nNextSeq;
}

int CAnimations::CountVisibleAgents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_mapAgents.begin(), m_mapAgents.end(),
                                          [](const auto& entry) { return entry.second->visible; }));
}

std::vector<CAgent> CAnimations::GetVisibleAgents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<CAgent> vecAgents;
    for (const auto& entry : m_mapAgents) {
        if (entry.second->visible) {
            vecAgents.push_back(*entry.second);
        }
    }
    return vecAgents;
}

double CAnimations::GetLookAhead() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dLookAhead;
}

double CAnimations::GetLastEventTime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    double dLast = 0.0;
    for (const CEventList* pList : {&m_pending, &m_history}) {
        if (!pList->empty()) {
            dLast = std::max(dLast, pList->rbegin()->first.dTime);
        }
    }
    return dLast;
}

// ---- Log -------------------------------------------------------------------------

void CAnimations::Log(std::string strLine) {
    if (m_pLogSink) {
        m_vecOutbox.push_back({false, std::move(strLine)});
    }
}

// Whoever finds the log idle delivers, with no lock held, until the outbox is
// empty; others leave their lines to it. So lines arrive one call at a time,
// in the order they were made under the lock.
void CAnimations::FlushLog() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_bDelivering) {
        return;
    }
    m_bDelivering = true;
    while (!m_vecOutbox.empty()) {
        std::vector<CLogEntry> vecBatch = std::move(m_vecOutbox);
        m_vecOutbox.clear();
        std::shared_ptr<CLogSink> pLog = m_pLogSink;
        lock.unlock();
        for (const CLogEntry& entry : vecBatch) {
            if (!pLog) {
                break;
            } else if (entry.bClear) {
                pLog->ClearLines();
            } else {
                pLog->AppendLine(entry.strLine);
            }
        }
        lock.lock();
    }
    m_bDelivering = false;
}
