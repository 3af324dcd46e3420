// The run of a model: the simulation thread, its main loop, the binding of
// the model library and the trace file.

#include <sys/stat.h>

#include <chrono>

#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// How long a waiting simulation thread sleeps between looks at flags that
// were written without a notification.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

// The model library's four entry points, checked at load in this order.
const char* const kEntryPoints[] = {"GetModelDecision", "GetModelTask", "GetModelName", "IniModel"};

// A label made safe to stand inside a file name.
std::string SafeFileNamePart(std::string strText) {
    for (char& ch : strText) {
        if (ch == '/' || ch == '\\' || ch == '\0') {
            ch = '_';
        }
    }
    return strText;
}

}  // namespace

// ---- Trace file ---------------------------------------------------------------------

bool CTraceFile::Open(const std::string& strPath) {
    Close();
    m_pFile = std::fopen(strPath.c_str(), "wb");
    if (!m_pFile) {
        return false;
    }
    m_strPath = strPath;
    return true;
}

void CTraceFile::Write(const std::string& strText) {
    if (!m_pFile) {
        return;
    }
    std::string strOut;
    strOut.reserve(strText.size() + strText.size() / 16);
    for (const char ch : strText) {
        if (ch == '\n') {
            strOut += '\r';
        }
        strOut += ch;
    }
    std::fwrite(strOut.data(), 1, strOut.size(), m_pFile);
}

void CTraceFile::Flush() {
    if (m_pFile) {
        std::fflush(m_pFile);
    }
}

void CTraceFile::Close() {
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

std::string CSDLEngine::GetTracePath() const {
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    return m_strLastTracePath;
}

int CSDLEngine::OpenTraceFile(const std::tm& tmStart) {
    const std::string strFolder = JoinPath(m_strModelFolder, "traces/");
    if (!FileExists(strFolder)) {
        mkdir(strFolder.c_str(), 0777);  // a failure shows when the file is created
    }
    char szTime[32];
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%d %H%Mh", &tmStart);
    const std::string strBase =
        strFolder + Format("%s [%s] (%s)", m_strModelName.c_str(),
                           SafeFileNamePart(m_strExperimentLabel).c_str(), szTime);
    std::string strCandidate = strBase + ".trace";
    int nCounter = 2;
    while (FileExists(strCandidate) && nCounter < 100) {
        strCandidate = Format("%s (%d).trace", strBase.c_str(), nCounter);
        ++nCounter;
    }
    if (nCounter >= 100) {
        GetNotifier().OutputLine(NP_SYSTEM, "Unable to open the trace file. More than 100 traces.");
        m_bErrorPending = true;
        return 3;
    }
    auto pFile = std::make_unique<CTraceFile>();
    if (!pFile->Open(strCandidate)) {
        GetNotifier().OutputLine(NP_SYSTEM, "Unable to open the trace file");
        m_bErrorPending = true;
        return 3;
    }
    std::string strHeader = "<?xml version='1.0' encoding='utf-8'?>\n<Trace>\n";
    strHeader += Format("\t<parametrization>%s</parametrization>\n",
                        EscapeXml(m_strParametrizationFile).c_str());
    if (m_pRootAgent) {
        strHeader += m_pRootAgent->GetModelInfoXml();
    }
    pFile->Write(strHeader);
    pFile->Write("\t<Events>\n");
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    m_pTraceFile = std::move(pFile);
    m_strLastTracePath = strCandidate;
    return 0;
}

void CSDLEngine::CloseTraceFile() {
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    if (m_pTraceFile) {
        m_pTraceFile->Write("\t</Events>\n</Trace>");
        m_pTraceFile->Close();
        m_pTraceFile.reset();
    }
}

// ---- Model library binding ----------------------------------------------------------

int CSDLEngine::LoadModelDLL() {
    FreeModelDLL();
    if (m_fnLibraryFactory) {
        m_pModelLibrary = m_fnLibraryFactory();
        return m_pModelLibrary ? 0 : 1;
    }
    auto pLibrary = std::make_unique<CDlModelLibrary>();
    if (!pLibrary->Load(m_strCodeBasePath + ".so")) {
        return 1;
    }
    bool bAll = true;
    for (const char* pszName : kEntryPoints) {
        bAll = pLibrary->HasSymbol(pszName) && bAll;
    }
    m_pModelLibrary = std::move(pLibrary);
    if (!bAll) {
        GetNotifier().MessageBox("VELKO", "Error", NB_OK, NI_ERROR);
        return 2;
    }
    return 0;
}

int CSDLEngine::FreeModelDLL() {
    m_pModelLibrary.reset();
    return 0;
}

// ---- Run control ---------------------------------------------------------------------

bool CSDLEngine::IsRootFinished() const {
    return m_bClosing || m_bStopRequested || !m_pRootAgent || m_pRootAgent->m_bStop;
}

void CSDLEngine::MarkRootFinished() {
    if (m_pRootAgent) {
        m_pRootAgent->m_bStop = true;
    }
    NotifyFlags();
}

void CSDLEngine::NotifyFlags() {
    std::lock_guard<std::mutex> lock(m_mutexFlags);
    m_cvFlags.notify_all();
}

template <class Pred>
void CSDLEngine::WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(m_mutexFlags);
    while (!pred() && !IsRootFinished()) {
        m_cvFlags.wait_for(lock, kWaitSlice);
    }
}

void CSDLEngine::Run() {
    std::lock_guard<std::mutex> lock(m_mutexFlags);
    // Whoever waits for the run to end waits for running to clear: only a
    // run that is still there may be marked running.
    if (m_bThreadAlive) {
        m_bRunning = true;
        m_bGo = true;
    }
    m_cvFlags.notify_all();
}

void CSDLEngine::Pause() {
    std::lock_guard<std::mutex> lock(m_mutexFlags);
    m_bGo = false;
    m_cvFlags.notify_all();
}

void CSDLEngine::Resume() {
    std::lock_guard<std::mutex> lock(m_mutexFlags);
    m_bStepRequest = true;
    m_bGo = true;
    m_cvFlags.notify_all();
}

void CSDLEngine::StepOnce() {
    Resume();
}

void CSDLEngine::WaitAtPausePoint() {
    // The test and the clearing happen under the lock the commands take, so
    // a Resume either comes before them (and the loop goes on) or finds the
    // loop waiting; it is never overwritten.
    std::unique_lock<std::mutex> lock(m_mutexFlags);
    if (!m_bStepByStep && m_bGo) {
        return;
    }
    m_bGo = false;
    m_bStepRequest = false;
    while (!m_bStepRequest && !IsRootFinished()) {
        m_cvFlags.wait_for(lock, kWaitSlice);
    }
}

void CSDLEngine::Stop() {
    m_bStopRequested = true;
    m_bStepRequest = false;
    m_bRunning = false;
    m_bInitialized = false;
    MarkRootFinished();
    CancelViewerWait();
}

bool CSDLEngine::WaitForRunEnd(int nMilliseconds) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    while (m_bThreadAlive) {
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (m_threadSimulation.joinable()) {
        m_threadSimulation.join();
    }
    return true;
}

int CSDLEngine::StartThread() {
    // A new run never overlaps the previous one on the same model.
    if (m_threadSimulation.joinable()) {
        m_threadSimulation.join();
    }
    m_bErrorPending = false;
    m_bStopRequested = false;
    m_bThreadAlive = true;
    m_threadSimulation = std::thread([this] { SimulationThreadProc(); });
    return 0;
}

int CSDLEngine::BeginRun() {
    if (m_pRootAgent) {
        m_pRootAgent->m_bStop = false;
    }
    if (m_bExecutionTrace || m_bRepresentationTrace) {
        const std::time_t tNow = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&tNow, &tmNow);
        if (OpenTraceFile(tmNow) != 0) {
            return 3;
        }
    }
    if (LoadModelDLL() != 0) {
        CloseTraceFile();
        m_bErrorPending = true;
        return 1;
    }
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        pProcess->m_dClock = 0.0;
        pProcess->m_strCurrentState.clear();
        for (const auto& pEvent : pProcess->m_listInitialEvents) {
            pProcess->m_pInternalChannel->AddEvent(std::make_unique<CSDLEvent>(*pEvent));
        }
        for (auto& [strName, pChannel] : pProcess->m_mapInputChannels) {
            pChannel->m_dClock = 0.0;
        }
        pProcess->m_pInternalChannel->m_dClock = 0.0;
    }
    for (auto& [strKey, pBlock] : m_mapBlocks) {
        pBlock->m_dClock = 0.0;
        for (auto& [strName, pChannel] : pBlock->m_mapInputChannels) {
            pChannel->m_dClock = 0.0;
        }
        pBlock->m_pInternalChannel->m_dClock = 0.0;
    }
    ClearPendingEvents();
    if (m_bUseClients) {
        ConnectViewer();
    }
    std::string strName;
    m_pModelLibrary->IniModel(strName);
    if (m_pRootAgent) {
        m_pRootAgent->Initialize();
    }
    // A run stopped while it was starting is not reported as initialised.
    m_bInitialized = !m_bStopRequested;
    ++m_nRunCount;
    return 0;
}

void CSDLEngine::SimulationThreadProc() {
    int nResult = 0;
    try {
        const int nStart = BeginRun();
        if (nStart != 0) {
            m_bErrorPending = true;
            GetNotifier().OutputLine(
                NP_SYSTEM, nStart == 3 ? "The run could not start: no trace file could be created."
                                       : "The run could not start: the model library could not "
                                         "be loaded. Build the model first.");
            nResult = 1;
        } else {
            WaitFor([this] { return m_bRunning.load(); });
            int nSteps = 0;
            while (!IsRootFinished()) {
                m_pRootAgent->Step();
                WaitAtPausePoint();
                if (m_nEndMode == EM_BY_TIME) {
                    bool bFound = false;
                    const double dNext = GetNextEventTime(&bFound);
                    // With nothing pending anywhere, simulated time can no
                    // longer advance: the run is over, not merely idle.
                    if (!(dNext < m_dEndTime) || (!bFound && m_nIPMode == 0)) {
                        MarkRootFinished();
                    }
                } else if (m_nEndMode == EM_BY_LOOPS && nSteps >= m_nLoopLimit) {
                    MarkRootFinished();
                }
                if (m_bStopOnErrors && m_bErrorPending) {
                    MarkRootFinished();
                }
                ++nSteps;
                std::lock_guard<std::mutex> lock(m_mutexTrace);
                if (m_pTraceFile) {
                    m_pTraceFile->Flush();
                }
            }
            DisconnectViewer();
            CloseTraceFile();
        }
    } catch (const std::exception& e) {
        m_bErrorPending = true;
        GetNotifier().OutputLine(NP_SYSTEM,
                                 std::string("The run ended with an error: ") + e.what());
        nResult = 1;
    } catch (...) {
        m_bErrorPending = true;
        GetNotifier().OutputLine(NP_SYSTEM, "The run ended with an unknown error.");
        nResult = 1;
    }
    // Whatever happened, leave the model ready for the next run.
    try {
        DisconnectViewer();
        CloseTraceFile();
        FreeModelDLL();
        if (m_pRootAgent) {
            m_pRootAgent->Reset();
        }
        RemoveInstances();
    } catch (...) {
        nResult = 1;
    }
    std::lock_guard<std::mutex> lock(m_mutexFlags);
    m_nThreadResult = nResult;
    m_bRunning = false;
    m_bThreadAlive = false;
    m_cvFlags.notify_all();
}

// ---- Viewer link -------------------------------------------------------------------------

void CSDLEngine::ConnectViewer() {
    m_pServer->Init();
    const bool bTrace = m_bExecutionTrace;
    auto writeNote = [this, bTrace](const char* pszNote) {
        if (!bTrace) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutexTrace);
        if (m_pTraceFile) {
            m_pTraceFile->Write(pszNote);
        }
    };
    writeNote("<system> Waiting for VELKOEye connection... </system>\n");
    // A stop that came before the server was ready would be forgotten by
    // the wait: look at it here (a later one cancels the wait itself).
    if (!IsRootFinished()) {
        m_pServer->WaitForClient();
    }
    if (m_pServer->IsConnected()) {
        writeNote("<system> VELKOEye connection established. </system>\n");
        m_pServer->SendModelInfo(EscapeXml(m_strSystemName),
                                 m_pRootAgent ? m_pRootAgent->GetAgentsXml() : std::string());
    } else {
        writeNote("<system> VELKOEye connection ERROR. </system>\n");
    }
}

void CSDLEngine::DisconnectViewer() {
    if (m_pServer->IsConnected()) {
        m_pServer->Close();
    }
}

void CSDLEngine::CancelViewerWait() {
    m_pServer->CancelWait();
}

void CSDLEngine::SendToViewer(const std::string& strRecord) {
    if (m_pServer->IsConnected()) {
        m_pServer->Send(strRecord);
    }
}
