// The engine's speed through the whole path a user takes: a model is
// written as a model file, loaded, generated, compiled and linked with gcc,
// then run on the simulation thread to its end; only the run (from Run to
// the end of the thread) is timed. Two models: ping-pong tables (the time
// per delivery; with the trace on, the trace must hold exactly one input
// record per delivery) and a process that creates instances (the time per
// instance made; every instance must be made).
//
// Own options (before Google Benchmark's):
//   --sizes=2,100,1000      process counts (10000 builds for minutes)
//   --instances=1000,16000  instances the spawn model makes, 50 per tick
//   --deliveries=100000     deliveries per run, whatever the size
//   --runs=5                repetitions of each run (medians are reported)
//   --work=DIR              build folder, kept and reused (default: a
//                           temporary one, removed at the end)

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/pingpongmodel.h"
#include "bench/spawnmodel.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlremote.h"
#include "support/recordingnotifier.h"

namespace fs = std::filesystem;

namespace {

struct SOptions {
    std::vector<int> vecSizes{2, 100, 1000};
    std::vector<int> vecInstances{1000, 16000};
    long long nDeliveries = 100000;
    int nRuns = 5;
    std::string strWork;
};

SOptions g_options;
// The last trace read: its size and its number of records (lines).
std::uintmax_t g_nLastTraceBytes = 0;
std::uintmax_t g_nLastTraceRecords = 0;

std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A loaded and built model with its engine, made once per model.
struct SBuiltModel {
    CRecordingNotifier notifier;  // outlives the engine
    CSDLEngine engine;
    std::string strError;
    std::string strTraceFolder;
};

struct SBuiltPingPong : SBuiltModel {
    SPingPongModel model;
};

struct SBuiltSpawn : SBuiltModel {
    SSpawnModel model;
};

// The rallies that give about nDeliveries deliveries at nProcesses.
int RalliesFor(int nProcesses, long long nDeliveries) {
    const long long nTables = std::max(1, nProcesses / 2);
    return static_cast<int>(std::max(1LL, (nDeliveries / nTables + 1) / 2));
}

std::string WorkFolder() {
    static std::string s_strFolder = [] {
        std::string strFolder = g_options.strWork;
        if (strFolder.empty()) {
            strFolder =
                (fs::temp_directory_path() / ("velko_bench_" + std::to_string(getpid()))).string();
        }
        fs::create_directories(strFolder);
        return strFolder;
    }();
    return s_strFolder;
}

// Writes the model text as <strName>.velko in its own folder of the work
// folder, loads it into the engine and builds it (a kept build of the same
// text is used again), ready to run by time to its end. strError says why
// when it cannot.
void LoadAndBuild(SBuiltModel& built, const std::string& strName, const std::string& strText) {
    const std::string strFolder = WorkFolder() + "/" + strName;
    fs::create_directories(strFolder);
    built.strTraceFolder = strFolder + "/traces";
    const std::string strBase = strFolder + "/" + strName;
    const std::string strPath = strBase + ".velko";
    const std::string strLibrary = strBase + ".so";
    const bool bReuse = ReadAll(strPath) == strText && fs::exists(strLibrary);
    if (!bReuse) {
        fs::remove(strLibrary);
        std::ofstream file(strPath, std::ios::binary);
        file << strText;
        if (!file.good()) {
            built.strError = "cannot write " + strPath;
            return;
        }
    }
    built.engine.SetNotifier(&built.notifier);
    CSDLLoader loader;
    loader.m_pEngine = &built.engine;
    if (loader.LoadModel(strPath).empty() || !loader.m_strErrorText.empty()) {
        built.strError = "the model did not load: " + loader.m_strErrorText;
        return;
    }
    const auto tStart = std::chrono::steady_clock::now();
    std::string strLog;
    if (!bReuse &&
        (built.engine.CreateCodeFile("") != 1 || built.engine.CompileCode("", strLog) != 1 ||
         built.engine.LinkDLL("", strLog) != 1)) {
        built.strError = "the model did not build: " + strLog;
        return;
    }
    built.engine.m_strCodeBasePath = strBase;
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    std::fprintf(stderr, "%s: %s in %.1f s\n", strName.c_str(),
                 bReuse ? "kept build used" : "generated and built", dSeconds);
    built.engine.m_nEndMode = EM_BY_TIME;
    built.engine.m_dEndTime = 1e15;
    built.engine.m_bRepresentationTrace = false;
}

SBuiltPingPong& BuiltPingPong(int nProcesses, bool bDoubles) {
    static std::map<std::pair<int, bool>, std::unique_ptr<SBuiltPingPong>> s_mapModels;
    auto& pBuilt = s_mapModels[{nProcesses, bDoubles}];
    if (!pBuilt) {
        pBuilt = std::make_unique<SBuiltPingPong>();
        pBuilt->model.nProcesses = nProcesses;
        pBuilt->model.nRallies = RalliesFor(nProcesses, g_options.nDeliveries);
        pBuilt->model.bTrace = true;  // the engine's switch turns the trace on and off
        pBuilt->model.bDoubles = bDoubles;
        LoadAndBuild(*pBuilt, "pingpong" + std::to_string(nProcesses) + (bDoubles ? "doubles" : ""),
                     MakePingPongModelXml(pBuilt->model));
    }
    return *pBuilt;
}

SBuiltSpawn& BuiltSpawn(int nInstances) {
    static std::map<int, std::unique_ptr<SBuiltSpawn>> s_mapModels;
    auto& pBuilt = s_mapModels[nInstances];
    if (!pBuilt) {
        pBuilt = std::make_unique<SBuiltSpawn>();
        pBuilt->model.nInstances = nInstances;
        LoadAndBuild(*pBuilt, "spawn" + std::to_string(SpawnInstances(pBuilt->model)),
                     MakeSpawnModelXml(pBuilt->model));
        pBuilt->engine.m_bExecutionTrace = false;
    }
    return *pBuilt;
}

// The CPU time of the whole process in seconds: on a shared machine the
// simulation thread's own time holds better than the wall clock (the
// benchmark's thread only waits meanwhile).
double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One run to the end; its wall time in seconds (and its CPU time in
// *pCpuSeconds), or a negative number with the state skipped.
double TimedRun(benchmark::State& state, SBuiltModel& built, double* pCpuSeconds) {
    CSDLEngine& engine = built.engine;
    if (engine.StartThread() != 0) {
        state.SkipWithError("the run did not start");
        return -1.0;
    }
    while (!engine.m_bInitialized && engine.IsThreadAlive()) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double dCpuStart = ProcessCpuSeconds();
    const auto tStart = std::chrono::steady_clock::now();
    engine.Run();
    while (!engine.WaitForRunEnd(60000)) {
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    *pCpuSeconds = ProcessCpuSeconds() - dCpuStart;
    if (engine.GetLastThreadResult() != 0 || engine.m_bErrorPending) {
        state.SkipWithError("the run failed");
        return -1.0;
    }
    return dSeconds;
}

// Times one run of the model to its end per iteration. After each run,
// check() gives why the run is wrong (the state is then skipped with it), or
// null. The counters, the same for every model (the CSV file has one set of
// columns): items (the deliveries or instances each run makes), us_per_item
// and cpu_us_per_item. False when a run failed or was wrong.
template <class Check>
bool TimeRuns(benchmark::State& state, SBuiltModel& built, long long nItems, Check check) {
    double dCpuTotal = 0.0;
    for (auto _ : state) {
        double dCpuSeconds = 0.0;
        const double dSeconds = TimedRun(state, built, &dCpuSeconds);
        if (dSeconds < 0) {
            return false;
        }
        dCpuTotal += dCpuSeconds;
        state.SetIterationTime(dSeconds);
        if (const char* pszWrong = check()) {
            state.SkipWithError(pszWrong);
            return false;
        }
    }
    state.counters["items"] = static_cast<double>(nItems);
    state.counters["us_per_item"] = benchmark::Counter(
        static_cast<double>(nItems) * 1e-6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["cpu_us_per_item"] =
        dCpuTotal * 1e6 / (static_cast<double>(nItems) * static_cast<double>(state.iterations()));
    return true;
}

void RunModel(benchmark::State& state, int nProcesses, bool bTrace, bool bDoubles) {
    SBuiltPingPong& built = BuiltPingPong(nProcesses, bDoubles);
    if (!built.strError.empty()) {
        state.SkipWithError(built.strError.c_str());
        return;
    }
    built.engine.m_bExecutionTrace = bTrace;
    const long long nDeliveries = PingPongDeliveries(built.model);
    std::uintmax_t nTraceBytes = 0;
    const bool bDone = TimeRuns(state, built, nDeliveries, [&]() -> const char* {
        if (!bTrace) {
            return nullptr;
        }
        const std::string strTrace = ReadAll(built.engine.GetTracePath());
        nTraceBytes = strTrace.size();
        long long nInputs = 0;
        for (size_t n = strTrace.find("<input "); n != std::string::npos;
             n = strTrace.find("<input ", n + 1)) {
            ++nInputs;
        }
        g_nLastTraceBytes = strTrace.size();
        g_nLastTraceRecords =
            static_cast<std::uintmax_t>(std::count(strTrace.begin(), strTrace.end(), '\n'));
        fs::remove_all(built.strTraceFolder);
        return nInputs == nDeliveries ? nullptr : "the trace does not hold one input per delivery";
    });
    if (bDone && bTrace) {
        state.SetBytesProcessed(static_cast<int64_t>(nTraceBytes) * state.iterations());
    }
}

// Counts the agents a run adds to the tree.
class CAddedAgents : public CEngineListener {
public:
    void OnAgentsChanged(const std::vector<std::string>& vecAdded,
                         const std::vector<std::string>&) override {
        m_nAdded += static_cast<long long>(vecAdded.size());
    }
    std::atomic<long long> m_nAdded{0};
};

// A run of the spawn model to its end: the run time per instance made
// stays level however many instances share their block.
void RunSpawn(benchmark::State& state, int nInstances) {
    SBuiltSpawn& built = BuiltSpawn(nInstances);
    if (!built.strError.empty()) {
        state.SkipWithError(built.strError.c_str());
        return;
    }
    const long long nMade = SpawnInstances(built.model);
    CAddedAgents added;
    built.engine.SetListener(&added);
    TimeRuns(state, built, nMade, [&]() -> const char* {
        const long long nAdded = added.m_nAdded.exchange(0);
        return nAdded == nMade ? nullptr : "the run did not make every instance";
    });
    built.engine.SetListener(nullptr);
}

// As many bytes as the last trace, written to the same disk in records of
// its mean size through a 1 MB buffer: the speed the trace writer is
// measured against (64 MB of 150-byte records when no trace was taken).
void DiskSequential(benchmark::State& state) {
    const size_t nBytes = g_nLastTraceBytes > 0 ? g_nLastTraceBytes : size_t{64} << 20;
    const size_t nRecord =
        g_nLastTraceRecords > 0 ? std::max<size_t>(2, nBytes / g_nLastTraceRecords) : 150;
    const std::string strRecord(nRecord - 1, 'x');
    const std::string strPath = WorkFolder() + "/disk.bin";
    for (auto _ : state) {
        const auto tStart = std::chrono::steady_clock::now();
        std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
        if (!pFile) {
            state.SkipWithError("cannot write the work folder");
            return;
        }
        std::setvbuf(pFile, nullptr, _IOFBF, 1 << 20);
        for (size_t n = 0; n < nBytes; n += nRecord) {
            std::fwrite(strRecord.data(), 1, strRecord.size(), pFile);
            std::fputc('\n', pFile);
        }
        std::fclose(pFile);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count());
        fs::remove(strPath);
    }
    state.SetBytesProcessed(static_cast<int64_t>(nBytes) * state.iterations());
}

// A remote signal of nChars characters with the most fields it can have:
// every user parameter empty. Read into an event, its time grows with the
// length alone, so MB/s stays level from size to size.
void RemoteParse(benchmark::State& state, size_t nChars) {
    std::string strText = "0,0,2,0,c1,,0,true,ping,,Q,-1,";
    strText.resize(strText.size() + (nChars - strText.size()) / 3 * 3, ',');
    for (auto _ : state) {
        CSDLEvent event;
        if (!event.ParseRemoteText(strText)) {
            state.SkipWithError("the signal does not read");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(strText.size()) * state.iterations());
}

// The text of a signal's double, alone: values six decimals give exactly
// and values they would round, half and half.
void DoubleText(benchmark::State& state) {
    std::vector<double> vecValues;
    for (int n = 1; n <= 512; ++n) {
        vecValues.push_back(n * 0.5);
        vecValues.push_back(n / 3.0);
    }
    size_t nBytes = 0;
    for (auto _ : state) {
        for (const double d : vecValues) {
            const std::string strText = DoubleToFixedOrExactString(d);
            nBytes += strText.size();
            benchmark::DoNotOptimize(strText.data());
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(vecValues.size()) * state.iterations());
    benchmark::DoNotOptimize(nBytes);
}

std::vector<int> ParseSizes(const std::string& strList) {
    std::vector<int> vecSizes;
    std::stringstream in(strList);
    std::string strItem;
    while (std::getline(in, strItem, ',')) {
        if (!strItem.empty()) {
            vecSizes.push_back(std::max(2, std::stoi(strItem)));
        }
    }
    return vecSizes;
}

// Takes this program's own options out of argv.
void TakeOwnOptions(int& argc, char** argv) {
    int nOut = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        auto value = [&](const char* pszName) -> const char* {
            const size_t nLength = std::strlen(pszName);
            return strArg.compare(0, nLength, pszName) == 0 ? argv[i] + nLength : nullptr;
        };
        if (const char* psz = value("--sizes=")) {
            g_options.vecSizes = ParseSizes(psz);
        } else if (const char* psz = value("--instances=")) {
            g_options.vecInstances = ParseSizes(psz);
        } else if (const char* psz = value("--deliveries=")) {
            g_options.nDeliveries = std::max(1LL, std::stoll(psz));
        } else if (const char* psz = value("--runs=")) {
            g_options.nRuns = std::max(1, std::stoi(psz));
        } else if (const char* psz = value("--work=")) {
            g_options.strWork = psz;
        } else {
            argv[nOut++] = argv[i];
        }
    }
    argc = nOut;
}

}  // namespace

int main(int argc, char** argv) {
    TakeOwnOptions(argc, argv);
    for (const int nSize : g_options.vecSizes) {
        for (const bool bTrace : {false, true}) {
            const std::string strName =
                "Run/" + std::to_string(nSize) + (bTrace ? "/trace" : "/notrace");
            benchmark::RegisterBenchmark(strName.c_str(), RunModel, nSize, bTrace, false)
                ->UseManualTime()
                ->Iterations(1)
                ->Repetitions(g_options.nRuns)
                ->ReportAggregatesOnly(true)
                ->Unit(benchmark::kMillisecond);
        }
    }
    // The smallest size again, the ball carrying two doubles.
    if (!g_options.vecSizes.empty()) {
        const int nSize = g_options.vecSizes.front();
        for (const bool bTrace : {false, true}) {
            const std::string strName =
                "Run/" + std::to_string(nSize) + (bTrace ? "/trace" : "/notrace") + "/doubles";
            benchmark::RegisterBenchmark(strName.c_str(), RunModel, nSize, bTrace, true)
                ->UseManualTime()
                ->Iterations(1)
                ->Repetitions(g_options.nRuns)
                ->ReportAggregatesOnly(true)
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const int nInstances : g_options.vecInstances) {
        const std::string strName = "Create/" + std::to_string(nInstances);
        benchmark::RegisterBenchmark(strName.c_str(), RunSpawn, nInstances)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(g_options.nRuns)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("DoubleText", DoubleText)
        ->Repetitions(g_options.nRuns)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("DiskSequential", DiskSequential)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(g_options.nRuns)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
    for (const size_t nChars :
         {kMaxRemoteMessageLength / 16, kMaxRemoteMessageLength / 4, kMaxRemoteMessageLength}) {
        const std::string strName = "RemoteParse/" + std::to_string(nChars);
        benchmark::RegisterBenchmark(strName.c_str(), RemoteParse, nChars)
            ->Iterations(3)
            ->Repetitions(g_options.nRuns)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_options.strWork.empty()) {
        fs::remove_all(WorkFolder());
    }
    return 0;
}
