#include "clients/velkoeyedx/sh_dx/scenecontroller.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "clients/velkoeyedx/sh_dx/demoscene.h"
#include "sh_aux/notifier.h"

CSceneController::CSceneController(CReplayClock::TickSource ticks) : m_clock(std::move(ticks)) {}

CSceneController::~CSceneController() {
    StopFeeder();
}

// ---- Render thread ---------------------------------------------------------------

CSceneFrame CSceneController::Frame() {
    CSceneFrame frame;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        frame.bAnimated = !m_bLoading;
        m_bRendering = frame.bAnimated;
    }
    struct CEndFrame {
        CSceneController& scene;
        bool bRendering;
        ~CEndFrame() {
            if (bRendering) {
                {
                    std::lock_guard<std::mutex> lock(scene.m_mutex);
                    scene.m_bRendering = false;
                }
                scene.m_cvFrameDone.notify_all();
            }
        }
    } endFrame{*this, frame.bAnimated};
    // Read inside the frame, so a jump of the clock lands wholly before or
    // wholly after this update.
    frame.times = m_clock.NextFrame();
    if (!frame.bAnimated) {
        return frame;
    }
    CAnimationFrame animation = m_animations.Update(frame.times.dTime, m_pMeshes);
    if (CSceneTerrain* pTerrain = m_pTerrain.load()) {
        for (const CCellTexture& cell : animation.vecCellTextures) {
            pTerrain->SetCellTexture(cell.nCell, cell.strTexture);
        }
    }
    frame.vecDraws = std::move(animation.vecDraws);
    return frame;
}

// ---- Dialog thread ---------------------------------------------------------------

bool CSceneController::HoldFrames() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool bLoading = std::exchange(m_bLoading, true);
    m_cvFrameDone.wait(lock, [this] { return !m_bRendering; });
    return bLoading;
}

void CSceneController::ReleaseFrames(bool bLoading) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bLoading = bLoading;
}

void CSceneController::ReplayFromClock() {
    m_animations.Rewind();
    if (CSceneTerrain* pTerrain = m_pTerrain.load()) {
        pTerrain->ClearCellTextures();
    }
}

void CSceneController::Lock() {
    StopFeeder();
    m_clock.SetEnd(std::numeric_limits<double>::infinity());
    HoldFrames();
    m_animations.Clear();
    if (CSceneTerrain* pTerrain = m_pTerrain.load()) {
        pTerrain->MarkNotLoaded();
    }
}

void CSceneController::Unlock() {
    HoldFrames();
    m_clock.StopAtZero();
    ReplayFromClock();
    ReleaseFrames(false);
}

void CSceneController::Play(double dTimeBox) {
    if (!m_clock.IsStopped()) {
        m_clock.Stop();
        return;
    }
    const bool bLoading = HoldFrames();
    m_clock.SetTime(dTimeBox);
    ReplayFromClock();
    m_clock.Start();
    ReleaseFrames(bLoading);
}

void CSceneController::SetTime(double dTime) {
    const bool bLoading = HoldFrames();
    m_clock.SetTime(dTime);
    ReplayFromClock();
    ReleaseFrames(bLoading);
}

std::vector<std::string> CSceneController::SpeedEntries() {
    return {"1x", "2x", "4x", "8x"};
}

bool CSceneController::ChangeSpeed(const std::string& strEntry, double dTimeBox) {
    const std::vector<std::string> vecEntries = SpeedEntries();
    auto it = std::find(vecEntries.begin(), vecEntries.end(), strEntry);
    if (it == vecEntries.end()) {
        return false;
    }
    // The new factor would move the reading of a clock whose base stays, so
    // the clock is set to the box's time again at the new speed.
    const bool bLoading = HoldFrames();
    m_clock.SetSpeed(1 << (it - vecEntries.begin()));
    m_clock.SetTime(dTimeBox);
    ReplayFromClock();
    ReleaseFrames(bLoading);
    return true;
}

void CSceneController::ToggleClock() {
    if (m_clock.IsStopped()) {
        m_clock.Start();
    } else {
        m_clock.Stop();
    }
}

void CSceneController::Restart() {
    Unlock();
}

void CSceneController::LoadDemo1() {
    Lock();
    BuildDemo1(m_animations);
    Unlock();
}

// ---- Feeder ----------------------------------------------------------------------

void CSceneController::StartFeeder(std::function<void(std::stop_token)> fnFeed) {
    StopFeeder();
    std::lock_guard<std::mutex> lock(m_feederMutex);
    // The previous feeder has been joined: nothing else writes the flag now.
    m_bFeeding.store(true);
    m_feeder = std::jthread([this, fnFeed = std::move(fnFeed)](std::stop_token stop) {
        try {
            fnFeed(stop);
        } catch (const std::exception& e) {
            GetNotifier().OutputLine(NP_SYSTEM, e.what());
        } catch (...) {
            GetNotifier().OutputLine(NP_SYSTEM, "Undefined Exception");
        }
        // Fed whole (a trace read, a live run over or its link lost):
        // nothing more comes, so the replay ends with its last event. A feed
        // stopped for a load leaves the clock to that load.
        if (!stop.stop_requested()) {
            m_clock.SetEnd(m_animations.GetLastEventTime());
        }
        m_bFeeding.store(false);
    });
}

void CSceneController::StopFeeder() {
    std::jthread feeder;
    {
        std::lock_guard<std::mutex> lock(m_feederMutex);
        if (m_feeder.get_id() == std::this_thread::get_id()) {
            return;
        }
        feeder = std::move(m_feeder);
    }
    if (!feeder.joinable()) {
        return;
    }
    // A question the feeder waits on is answered Cancel, so that the join
    // never waits for the window.
    GetNotifier().CancelPendingQuestions();
    // Joined outside the lock: the ending feeder may still report.
    feeder.request_stop();
}
