#pragma once

// The scene the viewer shows and the commands that change it, so that the
// window and the dialogs only forward: the scene lock that brackets every
// load, the frame the render thread runs, the replay controls (Play, the
// time box, the speed box, Restart), the demo scene and the feeder thread
// that queues a trace or a live run into the animation model.
//
// Thread contract:
// - Frame runs on the render thread. Lock, Unlock and the replay controls
//   run on the dialog thread; each waits for a frame's animation update in
//   progress to end (no longer) and keeps the next one out until it is done,
//   so no update sees a scene half loaded or a clock half moved.
// - Lock stops and joins the feeder first: a feeder must end soon after its
//   stop token is signalled (a live link closes its socket from a
//   std::stop_callback).
// - The terrain and the mesh store are not owned and must outlive the
//   controller, or be detached first. The store is used by Frame only and is
//   set on the render thread (or before it starts).

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "clients/velkoeyedx/sh_dx/animations.h"
#include "clients/velkoeyedx/sh_dx/drawlist.h"
#include "clients/velkoeyedx/sh_dx/meshstore.h"
#include "clients/velkoeyedx/sh_dx/replayclock.h"
#include "clients/velkoeyedx/sh_dx/sceneterrain.h"

// One frame as the render thread draws it.
struct CSceneFrame {
    CReplayClock::FrameTimes times;
    // False while a load holds the scene: the animation was neither advanced
    // nor drawn (the terrain and the overlay still are).
    bool bAnimated = false;
    CDrawList vecDraws;
};

class CSceneController {
public:
    explicit CSceneController(CReplayClock::TickSource ticks = CReplayClock::SteadyTicks());
    // Stops and joins the feeder.
    ~CSceneController();
    CSceneController(const CSceneController&) = delete;
    CSceneController& operator=(const CSceneController&) = delete;

    CAnimations& GetAnimations() { return m_animations; }
    CReplayClock& GetClock() { return m_clock; }
    void SetTerrain(CSceneTerrain* pTerrain) { m_pTerrain = pTerrain; }
    void SetMeshStore(CMeshStore* pMeshes) { m_pMeshes = pMeshes; }

    // ---- Render thread.

    // Reads the clock and, unless a load holds the scene, advances the
    // animation to the clock's time, sets the cell textures that came due on
    // the terrain and returns what to draw.
    CSceneFrame Frame();

    // ---- Dialog thread.

    // Takes the scene for a load: stops the feeder, takes the replay's end
    // away, waits for the frame in progress, marks the scene as loading,
    // empties the animation model and hides the terrain.
    void Lock();
    // Ends a load: stops the clock at 0, rewinds the animation, takes the
    // cells' textures back and lets frames animate again.
    void Unlock();
    // "Play": a stopped clock is set to dTimeBox (the time box's value), the
    // animation is rewound to replay up to it and the clock starts; a running
    // clock stops.
    void Play(double dTimeBox);
    // Enter in the time box: the replay moves to dTime; the clock keeps
    // running or stays stopped.
    void SetTime(double dTime);
    // The speed box's entries, in their order.
    static std::vector<std::string> SpeedEntries();
    // A speed box entry ("1x", "2x", "4x" or "8x"; anything else does
    // nothing and answers false): the clock goes on at the new factor from
    // dTimeBox, the time the box shows, running or stopped as it was.
    bool ChangeSpeed(const std::string& strEntry, double dTimeBox);
    // The 3D window's pause key (any thread): a stopped clock runs on from
    // where it stopped, a running one stops; the animation is not rewound.
    void ToggleClock();
    // "Restart": the replay goes back to 0 with the clock stopped.
    void Restart();
    // The demo scene, loaded under the lock; the clock stays stopped at 0.
    void LoadDemo1();

    // Runs fnFeed on the feeder thread, after stopping and joining the
    // previous feeder. An exception that leaves fnFeed is reported as an
    // output line. Once fnFeed has returned, unless it was stopped, the
    // replay ends at the last event it queued (the clock stops there).
    // Called between Lock and Unlock by the load commands.
    void StartFeeder(std::function<void(std::stop_token)> fnFeed);
    // Signals the feeder to stop and joins it; nothing when none runs, or
    // when called from the feeder itself.
    void StopFeeder();
    // True from StartFeeder until the feeder's function has returned (any
    // thread): a trace has been fed whole, or a live link has ended.
    bool IsFeeding() const { return m_bFeeding.load(); }

private:
    // Waits for the frame in progress and keeps frames from animating;
    // returns whether the scene was loading before.
    bool HoldFrames();
    void ReleaseFrames(bool bLoading);
    // Rewinds and takes the cell textures back after the clock moved.
    void ReplayFromClock();

    CAnimations m_animations;
    CReplayClock m_clock;
    std::atomic<CSceneTerrain*> m_pTerrain{nullptr};
    CMeshStore* m_pMeshes = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_cvFrameDone;
    bool m_bLoading = false;
    bool m_bRendering = false;

    std::mutex m_feederMutex;
    std::jthread m_feeder;
    std::atomic<bool> m_bFeeding{false};
};
