// The run of a model: the simulation thread, its main loop, the binding of
// the model library and the trace file.

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// How long a waiting simulation thread sleeps between looks at a finish mark
// that was set without a notification (the model's own, or a receiver's).
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// How often a join answers Cancel to questions asked since the last look.
constexpr auto kJoinSlice = std::chrono::milliseconds(20);

// The model library's four entry points, checked at load in this order.
const char* const kEntryPoints[] = {"GetModelDecision", "GetModelTask", "GetModelName", "IniModel"};

// The trace is written to its file in blocks of about this size.
constexpr size_t kTraceBlock = size_t{1} << 20;

// Calls fn on pAgent and on every agent below it.
template <class Fn>
void ForEachAgent(CSDLAgent* pAgent, const Fn& fn) {
    fn(pAgent);
    for (auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        ForEachAgent(pBlock.get(), fn);
    }
    for (auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        ForEachAgent(pProcess.get(), fn);
    }
}

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
    // Created, never opened over an existing file (or through a link).
    m_pFile = std::fopen(strPath.c_str(), "wbx");
    if (!m_pFile) {
        return false;
    }
    // The buffer below does the gathering: the file's own would copy twice.
    std::setvbuf(m_pFile, nullptr, _IONBF, 0);
    m_strBuffer.reserve(kTraceBlock + kTraceBlock / 4);
    m_strPath = strPath;
    return true;
}

void CTraceFile::Write(const std::string& strText) {
    if (!m_pFile) {
        return;
    }
    if (m_nWritten == 0 && m_strBuffer.empty()) {
        m_bDeclared10 = strText.starts_with(kTraceDeclaration);
    }
    size_t nStart = 0;
    for (size_t nLine = strText.find('\n'); nLine != std::string::npos;
         nLine = strText.find('\n', nStart)) {
        m_strBuffer.append(strText, nStart, nLine - nStart);
        m_strBuffer += "\r\n";
        nStart = nLine + 1;
    }
    m_strBuffer.append(strText, nStart, std::string::npos);
    if (m_strBuffer.size() >= kTraceBlock) {
        WriteBuffer();
    }
}

void CTraceFile::SetError() {
    // A short write without an errno is still a failure.
    if (GetError() == 0) {
        m_nError.store(errno != 0 ? errno : EIO, std::memory_order_relaxed);
    }
}

void CTraceFile::WriteBuffer() {
    if (m_pFile && !m_strBuffer.empty() && GetError() == 0) {
        errno = 0;
        if (std::fwrite(m_strBuffer.data(), 1, m_strBuffer.size(), m_pFile) != m_strBuffer.size()) {
            SetError();
        }
        m_nWritten += static_cast<long long>(m_strBuffer.size());
    }
    m_strBuffer.clear();
}

void CTraceFile::DeclareXml11() {
    if (!m_pFile || !m_bDeclared10 || m_bDeclared11) {
        return;
    }
    m_bDeclared11 = true;
    // The declaration's "\n" is written as two bytes, after the version.
    if (m_nWritten == 0) {
        m_strBuffer[kTraceVersionMinor] = '1';
        return;
    }
    if (GetError() != 0) {
        return;
    }
    errno = 0;
    if (std::fseek(m_pFile, static_cast<long>(kTraceVersionMinor), SEEK_SET) != 0 ||
        std::fputc('1', m_pFile) == EOF || std::fseek(m_pFile, 0, SEEK_END) != 0) {
        SetError();
    }
}

void CTraceFile::Flush() {
    WriteBuffer();
    if (m_pFile && GetError() == 0) {
        errno = 0;
        if (std::fflush(m_pFile) != 0) {
            SetError();
        }
    }
}

void CTraceFile::Close() {
    if (m_pFile) {
        WriteBuffer();
        errno = 0;
        if (std::fclose(m_pFile) != 0) {
            SetError();
        }
        m_pFile = nullptr;
    }
}

std::string CSDLEngine::GetTracePath() const {
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    return m_strLastTracePath;
}

int CSDLEngine::OpenTraceFile(const std::tm& tmStart) {
    return OpenTraceFile(tmStart, TakeSettings());
}

int CSDLEngine::OpenTraceFile(const std::tm& tmStart, const SRunSettings& settings) {
    const std::string strFolder = JoinPath(m_strModelFolder, "traces/");
    if (!FileExists(strFolder) && mkdir(strFolder.c_str(), 0777) != 0 && errno != EEXIST) {
        const int nError = errno;
        GetNotifier().OutputLine(NP_SYSTEM, "Unable to open the trace file");
        GetNotifier().OutputLine(NP_ERRORS, Format("The traces folder %s cannot be created: %s.",
                                                   strFolder.c_str(), std::strerror(nError)));
        SetErrorPending();
        return 3;
    }
    char szTime[32];
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%d %H%Mh", &tmStart);
    const std::string strBase =
        strFolder + Format("%s [%s] (%s)", m_strModelName.c_str(),
                           SafeFileNamePart(settings.strExperimentLabel).c_str(), szTime);
    // Each name is taken by creating the file, never by looking first: two
    // instances that share the folder and start in the same minute then
    // get two names instead of one writing over the other's trace.
    std::string strCandidate = strBase + ".trace";
    auto pFile = std::make_unique<CTraceFile>();
    for (int nCounter = 2; !pFile->Open(strCandidate); ++nCounter) {
        const int nError = errno;
        if (nError != EEXIST) {
            GetNotifier().OutputLine(NP_SYSTEM, "Unable to open the trace file");
            GetNotifier().OutputLine(
                NP_ERRORS, Format("The trace file %s cannot be created: %s.", strCandidate.c_str(),
                                  std::strerror(nError)));
            SetErrorPending();
            return 3;
        }
        // The plain name and (2) to (98) are all the names there are.
        if (nCounter >= 99) {
            GetNotifier().OutputLine(NP_SYSTEM,
                                     "Unable to open the trace file. More than 100 traces.");
            SetErrorPending();
            return 3;
        }
        strCandidate = Format("%s (%d).trace", strBase.c_str(), nCounter);
    }
    std::string strHeader(kTraceDeclaration);
    strHeader += "<Trace>\n";
    strHeader += Format("\t<parametrization>%s</parametrization>\n",
                        EscapeXmlText(settings.strParametrizationFile).c_str());
    if (m_pRootAgent) {
        strHeader += m_pRootAgent->GetModelInfoXml();
    }
    if (HasXmlReferencedCharacters(strHeader)) {
        // A name or the parametrization's path holds a character written as
        // a reference, as in the records.
        std::string strReferenced;
        const bool bXml11 = AppendXmlCharacterReferences(strReferenced, strHeader);
        strHeader.swap(strReferenced);
        pFile->Write(strHeader);
        if (bXml11) {
            pFile->DeclareXml11();
        }
    } else {
        pFile->Write(strHeader);
    }
    pFile->Write("\t<Events>\n");
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    m_pTraceFile = std::move(pFile);
    m_strLastTracePath = strCandidate;
    return 0;
}

void CSDLEngine::FlushTraceFile() {
    std::lock_guard<std::mutex> lock(m_mutexTrace);
    if (m_pTraceFile) {
        m_pTraceFile->Flush();
    }
}

bool CSDLEngine::CloseTraceFile() {
    return CloseTrace().empty();
}

std::string CSDLEngine::CloseTrace() {
    std::string strPath;
    int nError = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutexTrace);
        if (!m_pTraceFile) {
            return {};
        }
        m_pTraceFile->Write("\t</Events>\n</Trace>");
        m_pTraceFile->Close();
        nError = m_pTraceFile->GetError();
        strPath = m_pTraceFile->GetPath();
        m_pTraceFile.reset();
    }
    return nError != 0 ? ReportTraceWriteError(strPath, nError) : std::string();
}

std::string CSDLEngine::ReportTraceWriteError(const std::string& strPath, int nError) {
    std::string strText = Format(
        "The trace file %s cannot be written: %s. It holds the run up to "
        "the failed write.",
        strPath.c_str(), std::strerror(nError));
    GetNotifier().OutputLine(NP_ERRORS, strText);
    SetErrorPending();
    return strText;
}

void CSDLEngine::GuardTraceFile() {
    // Only this thread opens and closes the file during a run, so the
    // pointer is read here without the lock; the error itself is atomic.
    if (m_pTraceFile && m_pTraceFile->GetError() != 0) {
        // Closed here, the failure is reported once: the end of the run
        // finds no file.
        throw std::runtime_error(CloseTrace());
    }
}

// ---- Model library binding ----------------------------------------------------------

int CSDLEngine::LoadModelDLL() {
    return LoadModelDLL(m_strCodeBasePath);
}

int CSDLEngine::LoadModelDLL(const std::string& strCodeBase) {
    FreeModelDLL();
    m_strLibraryError.clear();
    std::unique_ptr<CModelLibrary> pLoaded;
    std::string strMissing;
    if (m_fnLibraryFactory) {
        pLoaded = m_fnLibraryFactory();
        if (!pLoaded) {
            m_strLibraryError = "the model library could not be loaded";
            return 1;
        }
    } else {
        auto pLibrary = std::make_unique<CDlModelLibrary>();
        if (!pLibrary->Load(strCodeBase + ".so")) {
            m_strLibraryError = pLibrary->GetLoadError();
            return 1;
        }
        for (const char* pszName : kEntryPoints) {
            if (!pLibrary->HasSymbol(pszName)) {
                strMissing += (strMissing.empty() ? "" : ", ") + std::string(pszName);
            }
        }
        pLoaded = std::move(pLibrary);
    }
    {
        std::unique_lock<std::shared_mutex> lock(m_mutexLibrary);
        m_pModelLibrary = std::move(pLoaded);
    }
    if (!strMissing.empty()) {
        m_strLibraryError = "the model library has no entry point " + strMissing;
        GetNotifier().MessageBox("VELKO", "Error", NB_OK, NI_ERROR);
        return 2;
    }
    return 0;
}

int CSDLEngine::FreeModelDLL() {
    SetModelLibrary(nullptr);
    return 0;
}

void CSDLEngine::SetModelLibrary(std::unique_ptr<CModelLibrary> pLibrary) {
    std::unique_ptr<CModelLibrary> pOld;
    {
        // Once the old library is out of the guard no thread can reach it:
        // it is unloaded without holding anyone up.
        std::unique_lock<std::shared_mutex> lock(m_mutexLibrary);
        pOld = std::move(m_pModelLibrary);
        m_pModelLibrary = std::move(pLibrary);
    }
}

ModelCallResult CSDLEngine::GetModelName(std::string& strName) const {
    std::shared_lock<std::shared_mutex> lock(m_mutexLibrary);
    return m_pModelLibrary ? m_pModelLibrary->GetModelName(strName) : MC_MISSING;
}

// ---- Settings --------------------------------------------------------------------------

SRunSettings CSDLEngine::TakeSettings() const {
    SRunSettings settings;
    const int nEndMode = m_nEndMode;
    settings.eEndMode = (nEndMode == EM_BY_TIME || nEndMode == EM_BY_LOOPS)
                            ? static_cast<EngineEndMode>(nEndMode)
                            : EM_NEVER;
    settings.dEndTime = m_dEndTime;
    settings.nLoopLimit = m_nLoopLimit;
    settings.bExecutionTrace = m_bExecutionTrace;
    settings.bRepresentationTrace = m_bRepresentationTrace;
    settings.bUseClients = m_bUseClients;
    settings.bStopOnErrors = m_bStopOnErrors;
    settings.nIPMode = m_nIPMode;
    settings.strIPAddress = m_strIPAddress;
    settings.strExperimentLabel = m_strExperimentLabel;
    settings.strParametrizationFile = m_strParametrizationFile;
    settings.strCodeBasePath = m_strCodeBasePath;
    return settings;
}

bool CSDLEngine::IsExecutionTraceOn() const {
    return m_bThreadAlive ? m_runSettings.bExecutionTrace : m_bExecutionTrace.load();
}

bool CSDLEngine::IsRepresentationTraceOn() const {
    return m_bThreadAlive ? m_runSettings.bRepresentationTrace : m_bRepresentationTrace.load();
}

int CSDLEngine::GetIPMode() const {
    return m_bThreadAlive ? m_runSettings.nIPMode : m_nIPMode.load();
}

std::string CSDLEngine::GetIPAddress() const {
    return m_bThreadAlive ? m_runSettings.strIPAddress : m_strIPAddress;
}

// ---- Run state and listener -----------------------------------------------------------

EngineRunState CSDLEngine::GetRunState() const {
    std::lock_guard<std::mutex> lock(m_mutexState);
    return m_eRunState;
}

SRunStatus CSDLEngine::GetRunStatus() const {
    std::lock_guard<std::mutex> lock(m_mutexState);
    SRunStatus status;
    status.eState = m_eRunState;
    status.nSteps = m_nStatusSteps;
    status.dNextTime = m_dStatusNextTime;
    status.bNextFound = m_bStatusNextFound;
    return status;
}

void CSDLEngine::PublishStatus(long long nSteps) {
    bool bFound = false;
    const double dNext = GetNextEventTime(&bFound);
    std::lock_guard<std::mutex> lock(m_mutexState);
    m_nStatusSteps = nSteps;
    m_dStatusNextTime = dNext;
    m_bStatusNextFound = bFound;
}

void CSDLEngine::SetListener(CEngineListener* pListener) {
    std::lock_guard<std::recursive_mutex> lock(m_mutexListener);
    m_pListener = pListener;
}

void CSDLEngine::SetRunState(EngineRunState eState) {
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        if (m_eRunState == eState) {
            return;
        }
        m_eRunState = eState;
    }
    m_cvState.notify_all();
    TellListener([eState](CEngineListener& listener) { listener.OnRunStateChanged(eState); });
}

void CSDLEngine::NoteLongSameTimeChain(const std::string& strSignal, const std::string& strProcess,
                                       double dTime) {
    if (m_bToldLongSameTimeChain.exchange(true)) {
        return;
    }
    GetNotifier().OutputLine(
        NP_ERRORS,
        Format("The model's time does not advance: the signal %s that %s sends at time %f is the "
               "%dth in a row at that time, each sent when the one before it was taken. The run "
               "goes on; Stop ends it.",
               strSignal.c_str(), strProcess.c_str(), dTime, kLongSameTimeChain));
}

void CSDLEngine::SetErrorPending() {
    if (!m_bErrorPending.exchange(true)) {
        TellListener([](CEngineListener& listener) { listener.OnErrorPending(); });
    }
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
    { std::lock_guard<std::mutex> lock(m_mutexState); }
    m_cvState.notify_all();
}

template <class Pred>
void CSDLEngine::WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(m_mutexState);
    while (!pred() && !IsRootFinished()) {
        m_cvState.wait_for(lock, kWaitSlice);
        if (m_bValuesWanted) {
            lock.unlock();
            TakeRequestedValues();
            lock.lock();
        }
    }
}

void CSDLEngine::RequestValues(const std::string& strProcessKey) {
    {
        std::lock_guard<std::mutex> lock(m_mutexValues);
        m_strValuesWanted = strProcessKey;
    }
    m_bValuesWanted = true;
}

bool CSDLEngine::GetTakenValues(const std::string& strProcessKey,
                                std::map<std::string, std::string>& mapValues) const {
    std::lock_guard<std::mutex> lock(m_mutexValues);
    if (m_strValuesTaken != strProcessKey || strProcessKey.empty()) {
        return false;
    }
    mapValues = m_mapValuesTaken;
    return true;
}

void CSDLEngine::TakeRequestedValues() {
    if (!m_bValuesWanted.load(std::memory_order_relaxed) || !m_bValuesWanted.exchange(false)) {
        return;
    }
    std::string strKey;
    {
        std::lock_guard<std::mutex> lock(m_mutexValues);
        strKey = m_strValuesWanted;
    }
    // This thread alone changes the tree and the values during the run.
    std::map<std::string, std::string> mapValues;
    const CSDLProcess* pProcess = FindIn(m_mapProcesses, strKey);
    if (pProcess) {
        for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
            mapValues[strName] = pVariable->m_strValue;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexValues);
        m_strValuesTaken = pProcess ? strKey : std::string();
        m_mapValuesTaken = std::move(mapValues);
    }
    TellListener([](CEngineListener& listener) { listener.OnValuesTaken(); });
}

bool CSDLEngine::AcceptsCommands() const {
    // A run that is ending, or was stopped, takes no more commands: whoever
    // waits for its end waits for the flags to clear.
    return m_bThreadAlive && !m_bStopRequested && m_eRunState != RS_ENDING;
}

void CSDLEngine::Run() {
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        if (AcceptsCommands()) {
            m_bRunning = true;
            m_bGo = true;
        }
    }
    m_cvState.notify_all();
}

void CSDLEngine::Pause() {
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        m_bGo = false;
    }
    m_cvState.notify_all();
}

void CSDLEngine::Resume() {
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        if (AcceptsCommands()) {
            m_bStepRequest = true;
            m_bGo = true;
        }
    }
    m_cvState.notify_all();
}

void CSDLEngine::StepOnce() {
    Resume();
}

bool CSDLEngine::WaitForStepEnd(int nMilliseconds) {
    std::unique_lock<std::mutex> lock(m_mutexState);
    return m_cvState.wait_for(lock, std::chrono::milliseconds(nMilliseconds),
                              [this] { return !m_bGo || !m_bThreadAlive; });
}

void CSDLEngine::WaitAtPausePoint() {
    if (!m_bStepByStep && m_bGo) {
        return;
    }
    // Whoever sees the run paused, and looks at the trace while it waits,
    // sees all of it: written before the pause is shown.
    FlushTraceFile();
    GuardTraceFile();
    // The test and the clearing happen under the lock the commands take, so
    // a Resume either comes before them (and the loop goes on) or finds the
    // loop waiting; it is never overwritten. Whoever sees go clear sees the
    // loop paused.
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        if (!m_bStepByStep && m_bGo) {
            return;
        }
        m_bGo = false;
        m_bStepRequest = false;
        m_eRunState = RS_PAUSED;
    }
    m_cvState.notify_all();
    TellListener([](CEngineListener& listener) { listener.OnRunStateChanged(RS_PAUSED); });
    {
        std::unique_lock<std::mutex> lock(m_mutexState);
        while (!m_bStepRequest && !IsRootFinished()) {
            m_cvState.wait_for(lock, kWaitSlice);
            if (m_bValuesWanted) {
                lock.unlock();
                TakeRequestedValues();
                lock.lock();
            }
        }
    }
    if (!IsRootFinished()) {
        SetRunState(RS_RUNNING);
    }
}

void CSDLEngine::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        m_bStopRequested = true;
        m_bStepRequest = false;
        m_bRunning = false;
        m_bInitialized = false;
    }
    MarkRootFinished();
    CancelViewerWait();
    m_pRemote->CancelSends();
    // From now on questions are answered Cancel at once; one that already
    // waits gets its Cancel here.
    m_notifier.CancelPendingQuestions();
}

bool CSDLEngine::WaitForRunEnd(int nMilliseconds) {
    {
        std::unique_lock<std::mutex> lock(m_mutexState);
        if (!m_cvState.wait_for(lock, std::chrono::milliseconds(nMilliseconds),
                                [this] { return !m_bThreadAlive; })) {
            return false;
        }
    }
    if (m_threadSimulation.joinable()) {
        m_threadSimulation.join();
    }
    return true;
}

void CSDLEngine::JoinSimulationThread() {
    if (!m_threadSimulation.joinable()) {
        return;
    }
    // A question the thread asks now would wait for a window that waits
    // here: answer Cancel until the thread has ended.
    std::unique_lock<std::mutex> lock(m_mutexState);
    while (m_bThreadAlive) {
        lock.unlock();
        m_notifier.CancelPendingQuestions();
        lock.lock();
        m_cvState.wait_for(lock, kJoinSlice, [this] { return !m_bThreadAlive; });
    }
    lock.unlock();
    m_threadSimulation.join();
}

int CSDLEngine::StartThread() {
    if (!HasModel()) {
        GetNotifier().OutputLine(NP_SYSTEM, NoModelText());
        return 1;
    }
    {
        // A new run never overlaps the previous one: a run that goes on is
        // stopped first by the user.
        std::lock_guard<std::mutex> lock(m_mutexState);
        if (AcceptsCommands()) {
            return 1;
        }
    }
    JoinSimulationThread();
    SRunSettings settings = TakeSettings();
    {
        std::lock_guard<std::mutex> lock(m_mutexState);
        m_runSettings = std::move(settings);
        m_bErrorPending = false;
        m_bToldLongSameTimeChain = false;
        m_bStopRequested = false;
        m_bInitialized = false;
        m_bRunning = false;
        m_bGo = false;
        m_bStepRequest = false;
        m_bThreadAlive = true;
        m_nStatusSteps = 0;
        m_dStatusNextTime = 0.0;
        m_bStatusNextFound = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexMessages);
        m_vecStepErrors.clear();
        m_nStepErrorsOver = 0;
    }
    {
        // The values taken belong to the run that took them.
        std::lock_guard<std::mutex> lock(m_mutexValues);
        m_strValuesTaken.clear();
        m_mapValuesTaken.clear();
    }
    m_pRemote->AllowSends();
    m_notifier.BeginRun();
    SetRunState(RS_STARTING);
    m_threadSimulation = std::thread([this] { SimulationThreadProc(); });
    return 0;
}

int CSDLEngine::BeginRun() {
    const SRunSettings& settings = m_runSettings;
    if (m_pRootAgent) {
        m_pRootAgent->m_bStop = false;
    }
    if (settings.bExecutionTrace || settings.bRepresentationTrace) {
        const std::time_t tNow = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&tNow, &tmNow);
        if (OpenTraceFile(tmNow, settings) != 0) {
            return 3;
        }
    }
    if (LoadModelDLL(settings.strCodeBasePath) != 0) {
        CloseTraceFile();
        SetErrorPending();
        return 1;
    }
    // The table is emptied before anything is queued: the initial events'
    // times belong to this run's table.
    ClearPendingEvents();
    for (auto& [strKey, pProcess] : m_mapProcesses) {
        pProcess->m_dClock = 0.0;
        pProcess->m_strCurrentState.clear();
        // Another instance queues the initial events of its own processes;
        // here they would stay pending for ever.
        if (settings.nIPMode == 0 || pProcess->m_strIP == settings.strIPAddress) {
            for (const auto& pEvent : pProcess->m_listInitialEvents) {
                // Before the start, or at no time, it would run out of order
                // or never: as an output's delay, refused.
                const double dTime = pEvent->m_dExecutionTime;
                if (!std::isfinite(dTime) || dTime < 0.0) {
                    GetNotifier().OutputLine(
                        NP_ERRORS, Format("The initial event %s of %s has the time %s, which is "
                                          "not a finite number at or after 0: it is not queued.",
                                          pEvent->m_strName.c_str(), strKey.c_str(),
                                          DoubleToExactString(dTime).c_str()));
                    continue;
                }
                pProcess->m_pInternalChannel->AddEvent(std::make_unique<CSDLEvent>(*pEvent));
            }
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
    if (StartRemoteLinks() != 0) {
        return 4;
    }
    if (settings.bUseClients) {
        ConnectViewer();
    }
    std::string strName;
    m_pModelLibrary->IniModel(strName);
    if (m_pRootAgent) {
        m_pRootAgent->Initialize();
    }
    PublishStatus(0);
    bool bStarted = false;
    {
        // A run stopped while it was starting is neither initialised nor
        // counted.
        std::lock_guard<std::mutex> lock(m_mutexState);
        bStarted = !m_bStopRequested && !m_bClosing;
        if (bStarted) {
            m_bInitialized = true;
            ++m_nRunCount;
        }
    }
    if (bStarted) {
        SetRunState(RS_INITIALIZED);
    }
    return 0;
}

void CSDLEngine::SimulationThreadProc() {
    int nResult = 0;
    try {
        const int nStart = BeginRun();
        if (nStart != 0) {
            SetErrorPending();
            std::string strLine = "The run could not start: no trace file could be created.";
            if (nStart == 4) {
                strLine = "The run could not start: " + m_strRemoteError + ".";
            } else if (nStart == 1) {
                strLine = m_strLibraryError.rfind("the model library has no entry point", 0) == 0
                              ? "The run could not start: " + m_strLibraryError +
                                    ". Build the model again."
                              : "The run could not start: the model library could not be "
                                "loaded. Build the model first.";
            }
            GetNotifier().OutputLine(NP_SYSTEM, strLine);
            nResult = 1;
        } else {
            RunLoop();
        }
    } catch (const std::exception& e) {
        SetErrorPending();
        GetNotifier().OutputLine(NP_SYSTEM,
                                 std::string("The run ended with an error: ") + e.what());
        nResult = 1;
    } catch (...) {
        SetErrorPending();
        GetNotifier().OutputLine(NP_SYSTEM, "The run ended with an unknown error.");
        nResult = 1;
    }
    SetRunState(RS_ENDING);
    // Whatever happened, leave the model ready for the next run.
    try {
        m_pRemote->Stop();
        DisconnectViewer();
        CloseTraceFile();
        FreeModelDLL();
        if (m_pRootAgent) {
            m_pRootAgent->Reset();
        }
        RemoveInstances();
        // The signals from other instances that the run did not handle are
        // gone with its queues: their senders learn how many.
        m_pRemote->EndRun();
    } catch (...) {
        nResult = 1;
    }
    try {
        m_notifier.EndRun();
    } catch (...) {
        nResult = 1;
    }
    {
        // The end clears the handshake: a Step that ended the run returns.
        std::lock_guard<std::mutex> lock(m_mutexState);
        m_nThreadResult = nResult;
        m_bRunning = false;
        m_bGo = false;
        m_bStepRequest = false;
        m_bThreadAlive = false;
        m_eRunState = RS_ENDED;
    }
    m_cvState.notify_all();
    TellListener([](CEngineListener& listener) { listener.OnRunStateChanged(RS_ENDED); });
}

void CSDLEngine::RunLoop() {
    const SRunSettings& settings = m_runSettings;
    WaitFor([this] { return m_bRunning.load(); });
    if (!IsRootFinished()) {
        SetRunState(RS_RUNNING);
    }
    const bool bCheckAgents = ChecksAgentsWithWork();
    long long nSteps = 0;
    long long nIdleSteps = 0;
    while (!IsRootFinished()) {
        if (settings.nIPMode != 0) {
            DeliverRemoteSignals();
            WaitWhileIdle();
            if (IsRootFinished()) {
                break;
            }
        }
        if (bCheckAgents) {
            bool bBusy = false;
            const std::string strDifference = m_pRootAgent->CheckAgentsWithWork(bBusy);
            if (!strDifference.empty()) {
                std::fprintf(stderr, "Step %lld skips agents a full sweep would step: %s\n",
                             nSteps + 1, strDifference.c_str());
                std::abort();
            }
        }
        const long long nTakenBefore = m_nEventsTaken;
        m_pRootAgent->Step();
        // Only this thread changes the table, so the time stays valid across
        // the pause below.
        bool bFound = false;
        const double dNext = GetNextEventTime(&bFound);
        if (settings.nIPMode == 0) {
            GuardProgress(bFound, dNext, nTakenBefore, nIdleSteps);
        }
        GuardTraceFile();
        PublishStatus(nSteps + 1);
        TakeRequestedValues();
        TellListener([&](CEngineListener& listener) { listener.OnStep(nSteps + 1, dNext); });
        WaitAtPausePoint();
        if (settings.eEndMode == EM_BY_TIME) {
            // With nothing pending anywhere, simulated time can no longer
            // advance: the run is over, not merely idle.
            if (!(dNext < settings.dEndTime) || (!bFound && settings.nIPMode == 0)) {
                MarkRootFinished();
            }
        } else if (settings.eEndMode == EM_BY_LOOPS && nSteps >= settings.nLoopLimit) {
            MarkRootFinished();
        }
        if (settings.bStopOnErrors && m_bErrorPending) {
            MarkRootFinished();
        }
        ++nSteps;
    }
    DisconnectViewer();
    const std::string strTraceError = CloseTrace();
    if (!strTraceError.empty()) {
        throw std::runtime_error(strTraceError);
    }
}

void CSDLEngine::GuardProgress(bool bFound, double dNext, long long nTakenBefore,
                               long long& nIdleSteps) {
    // A pending event is always some agent's work, and the agent with the
    // earliest one never waits for another: a step takes an event, or the
    // next one does once the deferring agents have reported their times.
    constexpr long long kMaxIdleSteps = 1000;
    if (!bFound || m_nEventsTaken != nTakenBefore) {
        nIdleSteps = 0;
        return;
    }
    ++nIdleSteps;
    const bool bNobodyStepped = m_pRootAgent->MaySkipIdleAgents() && !m_pRootAgent->IsBusy();
    if (!bNobodyStepped && nIdleSteps < kMaxIdleSteps) {
        return;
    }
    const std::string strText =
        Format("The run cannot go on: the event pending at time %f for %s is never handled.", dNext,
               DescribeEarliestPending().c_str());
    GetNotifier().OutputLine(NP_ERRORS, strText);
    throw std::runtime_error(strText);
}

// ---- Links to other instances -----------------------------------------------------------

int CSDLEngine::StartRemoteLinks() {
    const SRunSettings& settings = m_runSettings;
    if (settings.nIPMode == 0) {
        return 0;
    }
    // What the links need of the model: the ports of this instance's agents
    // with the number of output ends of the model that send to each and the
    // input channels each receives remote signals on, and the IP texts of
    // the model's agents (where its instances run).
    const std::string& strOwn = settings.strIPAddress;
    SRemoteModel model;
    model.strSystem = m_strSystemName;
    if (m_pRootAgent) {
        ForEachAgent(m_pRootAgent.get(), [&](CSDLAgent* pAgent) {
            if (!pAgent->m_strIP.empty()) {
                model.setInstances.insert(pAgent->m_strIP);
            }
            if (pAgent->m_strIP == strOwn && pAgent->m_nPort > 0 && pAgent->m_nPort <= 65535) {
                const auto nPort = static_cast<unsigned int>(pAgent->m_nPort);
                model.mapPorts.try_emplace(nPort, 0);
                for (const auto& [strName, pChannel] : pAgent->m_mapInputChannels) {
                    if (!pChannel->m_bLocalDelivery) {
                        model.mapChannels[nPort].insert(pChannel->m_strName);
                    }
                }
            }
        });
        // Every instance holds the whole model: it knows each output end
        // that may connect to one of its ports, whichever instance sends
        // through it.
        ForEachAgent(m_pRootAgent.get(), [&](CSDLAgent* pAgent) {
            for (const auto& [strName, pChannel] : pAgent->m_mapOutputChannels) {
                const CSDLAgent* pTarget = pChannel->GetTarget();
                if (pChannel->m_bLocalDelivery || !pTarget || pTarget->m_strIP != strOwn) {
                    continue;
                }
                const auto it = model.mapPorts.find(static_cast<unsigned int>(pTarget->m_nPort));
                if (it != model.mapPorts.end()) {
                    ++it->second;
                }
            }
        });
    }
    return m_pRemote->Start(model, strOwn, m_strRemoteError) ? 0 : 4;
}

void CSDLEngine::DeliverRemoteSignals() {
    m_remoteSignals.clear();
    if (!m_pRemote->TakeSignals(m_remoteSignals)) {
        return;
    }
    CSDLRemoteLinks& links = *m_pRemote;
    CRemoteReports& reports = links.Reports();
    const std::string& strOwn = m_runSettings.strIPAddress;
    // The agents of this instance served by a port with a remote input end
    // of a name, looked up once per port and name.
    using Ends = std::vector<std::pair<CSDLAgent*, CSDLChannelIn*>>;
    std::map<std::pair<unsigned int, std::string>, Ends> mapEnds;
    const auto FindEnds = [&](unsigned int nPort, const std::string& strChannel) -> const Ends& {
        const auto found = mapEnds.try_emplace({nPort, strChannel});
        Ends& vecEnds = found.first->second;
        if (found.second && m_pRootAgent) {
            ForEachAgent(m_pRootAgent.get(), [&](CSDLAgent* pAgent) {
                if (pAgent->m_strIP != strOwn || pAgent->m_nPort != static_cast<int>(nPort)) {
                    return;
                }
                CSDLChannelIn* pChannel = pAgent->GetInputChannel(strChannel);
                if (pChannel && !pChannel->m_bLocalDelivery) {
                    vecEnds.emplace_back(pAgent, pChannel);
                }
            });
        }
        return vecEnds;
    };
    for (SRemoteSignal& signal : m_remoteSignals) {
        CSDLEvent& event = *signal.pEvent;
        // When several agents share the name, the one the signal is
        // addressed to. A signal dropped here goes unhandled: its sender
        // learns it.
        const Ends& vecEnds = FindEnds(signal.nPort, signal.strChannel);
        const std::pair<CSDLAgent*, CSDLChannelIn*>* pEnd = nullptr;
        int nMatches = 0;
        for (const auto& end : vecEnds) {
            if (vecEnds.size() == 1 || end.first->m_strName == event.m_strTo ||
                end.first->GetFullName(false) == event.m_strTo) {
                pEnd = &end;
                ++nMatches;
            }
        }
        if (nMatches != 1) {
            if (reports.Admit(signal.strAddress, RR_NO_CHANNEL)) {
                links.Report(
                    Format("Warning: the remote signal %s names channel %s, which no single agent "
                           "of this instance on port %u receives; it is dropped.",
                           EscapePeerText(event.m_strName).c_str(),
                           EscapePeerText(signal.strChannel).c_str(), signal.nPort));
            }
            CSDLRemoteLinks::MarkUnhandled(event);
            continue;
        }
        auto [pAgent, pChannel] = *pEnd;
        const CSDLmnca* pMnca =
            dynamic_cast<CSDLProcess*>(pAgent) ? pAgent->GetMncaBlock() : nullptr;
        if (event.m_nCell < -1 || (pMnca && event.m_nCell >= pMnca->GetNumCells())) {
            if (reports.Admit(signal.strAddress, RR_BAD_CELL)) {
                links.Report(
                    Format("Warning: the remote signal %s for %s names cell %d, which it does not "
                           "have; it is dropped.",
                           EscapePeerText(event.m_strName).c_str(),
                           pAgent->GetFullName(true).c_str(), event.m_nCell));
            }
            CSDLRemoteLinks::MarkUnhandled(event);
            continue;
        }
        if (event.m_dExecutionTime < pAgent->m_dClock) {
            // Instances keep no common clock: the signal is late, and is
            // handled as soon as the receiver can.
            if (reports.Admit(signal.strAddress, RR_LATE)) {
                links.Report(Format(
                    "Warning: the remote signal %s for %s at time %f came after that "
                    "agent's clock %f; it is handled at %f.",
                    EscapePeerText(event.m_strName).c_str(), pAgent->GetFullName(true).c_str(),
                    event.m_dExecutionTime, pAgent->m_dClock, pAgent->m_dClock));
            }
            event.m_dExecutionTime = pAgent->m_dClock;
        }
        pChannel->AddEvent(std::move(signal.pEvent));
    }
    // The events dropped go here, before the signals of the next turn.
    m_remoteSignals.clear();
}

void CSDLEngine::WaitWhileIdle() {
    // With nothing pending here, only a signal from another instance (or
    // the end of the run) can move this instance on.
    bool bFound = false;
    GetNextEventTime(&bFound);
    if (!bFound) {
        // The wait may be long: the trace so far goes to disk first.
        FlushTraceFile();
    }
    while (!bFound && !IsRootFinished()) {
        m_pRemote->WaitForSignal(kWaitSlice);
        TakeRequestedValues();
        DeliverRemoteSignals();
        GetNextEventTime(&bFound);
    }
}

// ---- Viewer link -------------------------------------------------------------------------

void CSDLEngine::ConnectViewer() {
    m_pServer->Init();
    const bool bTrace = m_runSettings.bExecutionTrace;
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
        SetRunState(RS_WAITING_FOR_VIEWER);
        m_pServer->WaitForClient();
        SetRunState(RS_STARTING);
    }
    if (m_pServer->IsConnected()) {
        writeNote("<system> VELKOEye connection established. </system>\n");
        m_pServer->SendModelInfo(EscapeXmlText(m_strSystemName),
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

void CSDLEngine::SendToViewer(const std::string& strRecord, bool bXml11) {
    if (m_pServer->IsConnected()) {
        m_pServer->Send(strRecord, bXml11);
    }
}
