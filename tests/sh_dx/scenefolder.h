#pragma once

// The viewer tests' files: a temporary folder standing for the program's
// folder (resources under "res/"), with writers for meshes, textures and
// IDRISI layers, and a recorder of what the viewer reports. The scene's test
// doubles: a hand-driven tick counter for the replay clock, and a log, a
// terrain and a mesh store that record what they are told. The readers'
// scene (a scene controller with its terrain and logs), the engine's viewer
// server waiting on a loopback port, and the engine running a model of ours
// that writes every animation record.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "clients/velkoeyedx/sh_dx/animevent.h"
#include "clients/velkoeyedx/sh_dx/drawlist.h"
#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "clients/velkoeyedx/sh_dx/eyetarget.h"
#include "clients/velkoeyedx/sh_dx/logsink.h"
#include "clients/velkoeyedx/sh_dx/meshstore.h"
#include "clients/velkoeyedx/sh_dx/replayclock.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "clients/velkoeyedx/sh_dx/sceneterrain.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_stat/estadisticsservidor.h"
#include "support/blockingcall.h"
#include "support/recordingnotifier.h"
#include "support/runwait.h"
#include "support/tempfolder.h"

namespace velkotest {

class CSceneFolder {
public:
    CSceneFolder() : m_folder("velko_dx_") {}

    std::string Path(const std::string& strRelative) const {
        return m_folder.GetPath() + strRelative;
    }
    CResourceResolver Resolver() const { return CResourceResolver(m_folder.GetPath()); }

    // Writes a file (its folders are created); returns its path.
    std::string Write(const std::string& strRelative, const std::string& strText) const {
        const std::string strPath = Path(strRelative);
        std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
        std::ofstream(strPath, std::ios::binary) << strText;
        return strPath;
    }

    // An IDRISI raster strTitle + ".img" with its ".doc": nCols x nRows
    // values row by row from the top, the value range taken from them.
    std::string WriteRaster(const std::string& strTitle, int nCols, int nRows,
                            const std::vector<double>& vecValues, double dMinX = 0.0,
                            double dMaxX = 1.0, double dMinY = 0.0, double dMaxY = 1.0) const {
        const auto [itMin, itMax] = std::minmax_element(vecValues.begin(), vecValues.end());
        Write(strTitle + ".doc",
              Format("columns     : %d\nrows        : %d\nmin. X      : %g\nmax. X      : %g\n"
                     "min. Y      : %g\nmax. Y      : %g\nresolution  : 1\n"
                     "min. value  : %g\nmax. value  : %g\n",
                     nCols, nRows, dMinX, dMaxX, dMinY, dMaxY, *itMin, *itMax));
        std::string strValues;
        for (double dValue : vecValues) {
            strValues += Format("%g\n", dValue);
        }
        return Write(strTitle + ".img", strValues);
    }

private:
    CTempFolder m_folder;
};

// Records the reports (boxes and lines) of one test.
class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override { SetNotifier(&m_notifier); }
    void TearDown() override { SetNotifier(nullptr); }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> vecTexts;
        for (const auto& box : m_notifier.GetBoxes()) {
            vecTexts.push_back(box.strText);
        }
        return vecTexts;
    }
    std::vector<std::string> LineTexts() const {
        std::vector<std::string> vecTexts;
        for (const auto& line : m_notifier.GetLines()) {
            vecTexts.push_back(line.strLine);
        }
        return vecTexts;
    }

    CSceneFolder m_files;
    CRecordingNotifier m_notifier;
};

// A tick counter that moves only when told, at 1000 ticks per second.
class CFakeTicks {
public:
    CReplayClock::TickSource Source() {
        return {[pTicks = m_pTicks] { return pTicks->load(); }, 1000};
    }
    void Advance(double dSeconds) { *m_pTicks += static_cast<std::int64_t>(dSeconds * 1000.0); }

private:
    std::shared_ptr<std::atomic<std::int64_t>> m_pTicks =
        std::make_shared<std::atomic<std::int64_t>>(0);
};

class CRecordingLog : public CLogSink {
public:
    void AppendLine(const std::string& strLine) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLines.push_back(strLine);
        ++m_nAppended;
    }
    void ClearLines() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLines.clear();
        ++m_nClears;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLines;
    }
    // The lines appended since the log was made, clears notwithstanding.
    size_t Appended() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nAppended;
    }
    int Clears() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nClears;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecLines;
    size_t m_nAppended = 0;
    int m_nClears = 0;
};

// Records every call, each as one text: "hide", "clear cells", "cell N=T".
class CRecordingTerrain : public CSceneTerrain {
public:
    void MarkNotLoaded() override { Record("hide"); }
    void ClearCellTextures() override { Record("clear cells"); }
    void SetCellTexture(int nCell, const std::string& strTexture) override {
        Record("cell " + std::to_string(nCell) + "=" + strTexture);
    }
    std::vector<std::string> TakeCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_vecCalls, {});
    }

private:
    void Record(std::string strCall) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecCalls.push_back(std::move(strCall));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_vecCalls;
};

// Records loads ("load F") and clears ("clear").
class CRecordingMeshStore : public CMeshStore {
public:
    void Load(const std::string& strFile) override { m_vecCalls.push_back("load " + strFile); }
    void Clear() override { m_vecCalls.push_back("clear"); }
    std::vector<std::string> TakeCalls() { return std::exchange(m_vecCalls, {}); }

private:
    std::vector<std::string> m_vecCalls;
};

// A move with no rotation and scale 1.
inline std::unique_ptr<CAnimEvent> Move(const std::string& strAgent, double dTime, float x,
                                        float y = 0.0f, const std::string& strMesh = "") {
    return CAnimEvent::MakeMove(strAgent, dTime, {x, y, 0.0f}, {}, strMesh, 1.0);
}

// Where a drawn mesh's origin lands.
inline CVector3 Origin(const CDrawItem& item) {
    return TransformCoord({}, item.mWorld);
}

// The draw of the agent in the list; none when the agent is not drawn, or
// drawn more than once.
inline std::optional<CDrawItem> DrawOf(const CDrawList& vecDraws, const std::string& strAgent) {
    std::optional<CDrawItem> found;
    for (const CDrawItem& item : vecDraws) {
        if (item.strAgent == strAgent) {
            if (found) {
                return std::nullopt;
            }
            found = item;
        }
    }
    return found;
}

// What the scene draws at replay time dTime: the second of two frames, since
// meshes are drawn from the frame after their registration. The clock keeps
// running or stays stopped.
inline CDrawList DrawsAt(CSceneController& scene, double dTime) {
    scene.SetTime(dTime);
    scene.Frame();
    return scene.Frame().vecDraws;
}

// Waits until the scene's feeder has ended (a trace fed whole, a live link
// ended), for as long as the feed moves on: its events, and the lines of
// pLog when given; false once both have stood still for 5 s (scaled with the
// machine).
inline bool WaitForFeedEnd(CSceneController& scene, const CRecordingLog* pLog = nullptr,
                           const std::source_location& where = std::source_location::current()) {
    return WaitOnProgress([&scene] { return !scene.IsFeeding(); },
                          [&scene, pLog] {
                              return std::pair(scene.GetAnimations().GetEventSequence(),
                                               pLog ? pLog->Appended() : 0);
                          },
                          std::chrono::milliseconds(5000), PauseBetweenPolls, where);
}

// The scene the trace reader and the live client fill: a scene controller on
// a hand-driven clock, its terrain (resources under strRoot) and recording
// logs. Declare the readers after it, so that they go first.
class CReaderScene {
public:
    explicit CReaderScene(const CResourceResolver& resolver) : terrain(resolver) {
        scene.SetTerrain(&terrain);
    }

    CEyeTarget Target() {
        CEyeTarget target;
        target.pAnimations = &scene.GetAnimations();
        target.pTerrain = &terrain;
        target.pParsingLog = pParsingLog;
        target.pSyslog = pSyslog;
        return target;
    }
    CDrawList DrawsAt(double dTime) { return velkotest::DrawsAt(scene, dTime); }
    bool WaitForFeed(const std::source_location& where = std::source_location::current()) {
        return WaitForFeedEnd(scene, pParsingLog.get(), where);
    }

    CTerrain terrain;
    CFakeTicks ticks;
    CSceneController scene{ticks.Source()};
    std::shared_ptr<CRecordingLog> pParsingLog = std::make_shared<CRecordingLog>();
    std::shared_ptr<CRecordingLog> pSyslog = std::make_shared<CRecordingLog>();
};

// The engine's viewer server on a free loopback port, waiting for one viewer
// on a thread of its own as the run start does.
class CLoopbackServer {
public:
    CLoopbackServer() {
        m_server.SetDataPort(0);
        m_server.SetListenAddress("127.0.0.1");
        m_server.Init();
        m_wait = std::thread([this] { m_server.WaitForClient(); });
        velkotest::WaitForPort([this] { return m_server.GetBoundPort(); });
    }
    ~CLoopbackServer() {
        m_server.CancelWait();
        if (m_wait.joinable()) {
            m_wait.join();
        }
        m_server.DropLink();
    }

    unsigned int Port() const { return m_server.GetBoundPort(); }
    // True once a viewer has connected and sent its start message.
    bool WaitForViewer() {
        m_wait.join();
        return m_server.IsConnected();
    }
    CEstadisticsServidor* operator->() { return &m_server; }

private:
    CEstadisticsServidor m_server;
    std::thread m_wait;
};

// The yard model of tests/data/viewer (a truck with a look per state that
// moves, stops, resumes and removes numbered crates and reports its speed,
// and a 4 x 4 automaton painting cells), copied into a temporary folder and
// built by the engine with the real compiler. Each run writes a trace with
// both kinds of records; a live run first waits for a viewer on loopback.
class CYardModel {
public:
    // The yard of the tests' data, or the model strModel (with its ".eye")
    // of the folder strSource.
    explicit CYardModel(const std::string& strSource = std::string(VELKO_TEST_DATA_DIR) + "/viewer",
                        const std::string& strModel = "yard") {
        std::filesystem::copy(strSource, m_folder.GetPath(),
                              std::filesystem::copy_options::recursive);
        m_engine.SetNotifier(&m_notifier);
        CSDLLoader loader;
        loader.m_pEngine = &m_engine;
        std::string strLog;
        m_bBuilt = !loader.LoadModel(m_folder.GetPath() + strModel + ".velko").empty() &&
                   loader.m_strErrorText.empty() &&
                   loader.LoadModelInfo(m_folder.GetPath() + strModel + ".eye") &&
                   m_engine.CreateCodeFile("") == 1 && m_engine.CompileCode("", strLog) == 1 &&
                   m_engine.LinkDLL("", strLog) == 1;
        EXPECT_TRUE(m_bBuilt) << loader.m_strErrorText << strLog;
    }
    ~CYardModel() { m_engine.Stop(); }
    CYardModel(const CYardModel&) = delete;
    CYardModel& operator=(const CYardModel&) = delete;

    bool IsBuilt() const { return m_bBuilt; }
    CSDLEngine& Engine() { return m_engine; }
    const std::string& Folder() const { return m_folder.GetPath(); }

    // Starts a run to time 100. Live: the viewer server listens on a free
    // loopback port, returned once it listens (0 if it does not); the run
    // waits for the viewer before it goes on.
    unsigned int StartRun(bool bLive) {
        m_engine.m_bExecutionTrace = true;
        m_engine.m_bRepresentationTrace = true;
        m_engine.m_nEndMode = EM_BY_TIME;
        m_engine.m_dEndTime = 100.0;
        m_engine.m_strExperimentLabel = "main model";
        m_engine.m_bUseClients = bLive;
        if (bLive) {
            m_engine.SetViewerPort(0);
            m_engine.GetServer().SetListenAddress("127.0.0.1");
        }
        m_engine.StartThread();
        return bLive ? WaitForPort([this] { return m_engine.GetServer().GetBoundPort(); }) : 0;
    }
    // Lets the loop go (once a live run's viewer is there) and waits for the
    // run's end; true when it ended complete.
    bool RunToEnd() {
        if (m_engine.m_bUseClients && !WaitUntil([&] { return m_engine.m_bInitialized.load(); })) {
            return false;
        }
        m_engine.Run();
        return WaitForRunEnd(m_engine) && m_engine.GetLastThreadResult() == 0;
    }
    std::string TracePath() const { return m_engine.GetTracePath(); }

private:
    CTempFolder m_folder{"velko_yard_"};
    CRecordingNotifier m_notifier;  // outlives the engine
    CSDLEngine m_engine;
    bool m_bBuilt = false;
};

}  // namespace velkotest
