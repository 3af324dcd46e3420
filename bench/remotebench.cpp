// Distributed runs end to end, one simulator instance per process, for
// bench/remote.sh:
//
//   velko_remote model --folder=DIR --ends=N --per-step=M --signals=S [--both-ways]
//                      [--from=IP] [--to=IP] [--sender-ips=IP,IP,...] [--onward=IP]
//                      [--param-bytes=B] [--counted] [--one-transition]
//       writes DIR/burst.velko: N processes at --from (127.0.0.1), or each at
//       its own address of --sender-ips, each sending through a channel of
//       its own to Q at --to (127.0.0.2), M signals a step, S in all (and,
//       both ways, as many at --to to R at --from; with --onward, as many
//       from --to to R at that address); each signal carries a parameter of
//       B characters; every signal a sender sends is traced as an output and
//       every signal a receiver handles as an input; with --counted, each
//       sender's step and each receiver's signal also count in the instance's
//       --counts file, which outlives an instance that is killed (through
//       functions of velko_remote the model library finds when it is loaded);
//       with --one-transition, each sender sends all it sends in one
//       transition (a loop of one output)
//   velko_remote build --model=FILE
//       generates, compiles and links the model's library
//   velko_remote instance --model=FILE --address=A [--run-at=UNIX_SECONDS]
//                         [--pause=SECONDS] [--quiet=SECONDS] [--stop-after=SECONDS]
//                         [--loops=N] [--counts=FILE] [--ceiling-mib=M]
//       runs the instance at address A from the given time (with --pause,
//       paused from its first signal for that long) until SIGTERM, until
//       --stop-after seconds after its Run, until its run ends by itself
//       (with --loops, after N steps) or, with --quiet, until it has not
//       stepped for that long; then the program ends, as a user's would: its
//       engine goes (and waits for the instances that have not read what it
//       sent them), and it prints one line of figures and its Errors lines
//       --counts: the file where the model's signals sent and handled are
//       counted as they go (velko_remote counts --file=FILE prints them);
//       --ceiling-mib: the bound of what other instances' links take while
//       its own send waits, instead of 960 MiB
//   velko_remote forge --target=HOST:PORT --links=N --claim=CHARS
//                      --opening=INSTANCE,CHANNEL,SYSTEM --seconds=T
//       opens N links as that instance of the model would, each of which
//       claims a message of CHARS characters and sends a hundred bytes of it
//   velko_remote countflood --listen=HOST:PORT --seconds=T
//       a receiver that takes every signal sent to it and floods each link
//       with counts the whole time
//   velko_remote relay --listen=HOST:PORT --target=HOST:PORT --cut-at=SECONDS
//                      [--cut-for=SECONDS] --seconds=T
//       passes each link made to it on to the target, both ways, but for the
//       cut: from --cut-at seconds on it passes nothing (what comes waits in
//       its buffers, then in the peers'), for --cut-for seconds or, without
//       it, for ever; a partition of the network between two instances
//   velko_remote hostile --target=HOST:PORT --seconds=T [--forge=INSTANCE,CHANNEL,SYSTEM]
//       attacks a port as strangers would: silent links, a length then
//       silence, one byte a second, floods of signals and of messages that
//       are none, links made and dropped at once; with --forge the links
//       that flood signals open as that instance of the model would
//
// The figures: the signals sent (outputs in the trace) and handled (inputs in
// the trace), the signals the Errors lines count as lost, the rate from the
// first to the last step and, after a pause, from the resume to the last
// one, how long the Stop (or the end of the program) took, the largest
// resident memory and thread count seen.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
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

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlremotelink.h"
#include "support/lostsignals.h"
#include "support/recordingnotifier.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned int kPort = 8790;

std::atomic<bool> g_bTerm{false};

// The model's signals sent and handled, in a file shared with whoever reads
// it after this process ends (null without --counts).
std::atomic<long long>* g_pCounts = nullptr;

std::atomic<long long>* MapCounts(const std::string& strPath, bool bCreate) {
    const int nFile =
        ::open(strPath.c_str(), bCreate ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY, 0600);
    if (nFile < 0 || (bCreate && ::ftruncate(nFile, 2 * sizeof(long long)) != 0)) {
        return nullptr;
    }
    void* pMap = ::mmap(nullptr, 2 * sizeof(long long),
                        bCreate ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, nFile, 0);
    ::close(nFile);
    return pMap == MAP_FAILED ? nullptr : static_cast<std::atomic<long long>*>(pMap);
}

void OnTerm(int) {
    g_bTerm = true;
}

std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
    std::map<std::string, std::string> mapOptions;
    for (int i = 2; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg.rfind("--", 0) != 0) {
            continue;
        }
        const size_t nEqual = strArg.find('=');
        mapOptions[strArg.substr(2, nEqual == std::string::npos ? std::string::npos : nEqual - 2)] =
            nEqual == std::string::npos ? "1" : strArg.substr(nEqual + 1);
    }
    return mapOptions;
}

// ---- Model ---------------------------------------------------------------------------------

// Operation ids are numbered from 1000 times the process id: the model
// library knows an operation by its block, state and number.
// Each step's signals counted where a killed instance leaves them.
bool g_bCounted = false;

// A sender's process up to its Loop state's input: its quota as its limit,
// and a start that sends itself the first tick.
std::string SenderHeadXml(const std::string& strName, int nId, const std::string& strIP,
                          int nQuota) {
    const int nBase = 1000 * nId;
    return Format(
        "    <process name=\"%s\" id=\"%d\" IP=\"%s\" portRead=\"%u\" implementation=\"\">\n"
        "      <DCLS><DCL name=\"sent\" type=\"int\" value=\"0\"/>"
        "<DCL name=\"limit\" type=\"int\" value=\"%d\"/></DCLS>\n"
        "      <representations><trace setstate=\"no\" input=\"no\" output=\"yes\"/>"
        "<traceanim setstate=\"no\" input=\"no\" output=\"no\"/></representations>\n"
        "      <start>\n        <start name=\"start\" id=\"%d\"/>\n"
        "        <output name=\"tick\" id=\"%d\" self=\"yes\" to=\"\" via=\"\"/>\n"
        "        <setstate name=\"Loop\" id=\"%d\"/>\n      </start>\n"
        "      <state name=\"Loop\">\n        <input name=\"tick\" id=\"%d\"/>\n",
        strName.c_str(), nId, strIP.c_str(), kPort, nQuota, nBase + 1, nBase + 2, nBase + 3,
        nBase + 10);
}

// The parameter each signal carries, of nParamBytes characters (none at 0).
std::string ParamXml(int nParamBytes) {
    return nParamBytes > 0 ? Format("<userparam name=\"load\" value=\"%s\"/>",
                                    std::string(static_cast<size_t>(nParamBytes), 'x').c_str())
                           : std::string();
}

// The call that counts nSignals sent where a killed instance leaves them.
std::string CountSentC(int nSignals) {
    return g_bCounted ? Format(
                            " { extern void velko_bench_sent(int) __attribute__((weak)); if "
                            "(velko_bench_sent) velko_bench_sent(%d); }",
                            nSignals)
                      : std::string();
}

std::string SenderXml(const std::string& strName, int nId, const std::string& strIP,
                      const std::string& strChannel, int nPerStep, int nQuota, int nParamBytes) {
    const int nBase = 1000 * nId;
    const std::string strParam = ParamXml(nParamBytes);
    std::string strOutputs;
    for (int i = 0; i < nPerStep; ++i) {
        strOutputs += Format(
            "        <output name=\"sig\" id=\"%d\" self=\"no\" to=\"\" via=\"'%s'\">%s</output>\n",
            nBase + 13 + i, strChannel.c_str(), strParam.c_str());
    }
    return SenderHeadXml(strName, nId, strIP, nQuota) +
           Format(
               "        <decision name=\"more\" id=\"%d\" iftrue=\"%d\" iffalse=\"%d\">"
               "sent &lt; limit</decision>\n"
               "        <task name=\"count\" id=\"%d\">sent = sent + %d;%s</task>\n%s"
               "        <output name=\"tick\" id=\"%d\" self=\"yes\" to=\"\" via=\"\"/>\n"
               "        <setstate name=\"Loop\" id=\"%d\"/>\n"
               "        <setstate name=\"Done\" id=\"%d\"/>\n      </state>\n    </process>\n",
               nBase + 11, nBase + 12, nBase + 100, nBase + 12, nPerStep,
               CountSentC(nPerStep).c_str(), strOutputs.c_str(), nBase + 13 + nPerStep,
               nBase + 14 + nPerStep, nBase + 100);
}

// A sender whose whole quota goes in one transition: a loop of one output,
// the decision before it and after it asking whether more are to be sent.
std::string LoopSenderXml(const std::string& strName, int nId, const std::string& strIP,
                          const std::string& strChannel, int nQuota, int nParamBytes) {
    const int nBase = 1000 * nId;
    return SenderHeadXml(strName, nId, strIP, nQuota) +
           Format(
               "        <decision name=\"more\" id=\"%d\" iftrue=\"%d\" iffalse=\"%d\">"
               "sent &lt; limit</decision>\n"
               "        <setstate name=\"Done\" id=\"%d\"/>\n"
               "        <task name=\"count\" id=\"%d\">sent = sent + 1;%s</task>\n"
               "        <output name=\"sig\" id=\"%d\" self=\"no\" to=\"\" "
               "via=\"'%s'\">%s</output>\n"
               "        <decision name=\"again\" id=\"%d\" iftrue=\"%d\" iffalse=\"%d\">"
               "sent &lt; limit</decision>\n      </state>\n    </process>\n",
               nBase + 11, nBase + 12, nBase + 100, nBase + 100, nBase + 12, CountSentC(1).c_str(),
               nBase + 13, strChannel.c_str(), ParamXml(nParamBytes).c_str(), nBase + 14,
               nBase + 12, nBase + 100);
}

std::string ReceiverXml(const std::string& strName, int nId, const std::string& strIP) {
    const int nBase = 1000 * nId;
    return Format(
        "    <process name=\"%s\" id=\"%d\" IP=\"%s\" portRead=\"%u\" implementation=\"\">\n"
        "      <DCLS><DCL name=\"got\" type=\"int\" value=\"0\"/>"
        "<DCL name=\"load\" type=\"char*\" value=\"\"/></DCLS>\n"
        "      <representations><trace setstate=\"no\" input=\"yes\" output=\"no\"/>"
        "<traceanim setstate=\"no\" input=\"no\" output=\"no\"/></representations>\n"
        "      <start>\n        <start name=\"start\" id=\"%d\"/>\n"
        "        <setstate name=\"Idle\" id=\"%d\"/>\n      </start>\n"
        "      <state name=\"Idle\">\n        <input name=\"sig\" id=\"%d\"/>\n"
        "        <task name=\"count\" id=\"%d\">got = got + 1;%s</task>\n"
        "        <setstate name=\"Idle\" id=\"%d\"/>\n      </state>\n    </process>\n",
        strName.c_str(), nId, strIP.c_str(), kPort, nBase + 1, nBase + 2, nBase + 3, nBase + 4,
        g_bCounted ? " { extern void velko_bench_handled(int) __attribute__((weak)); if "
                     "(velko_bench_handled) velko_bench_handled(1); }"
                   : "",
        nBase + 5);
}

std::vector<std::string> SplitList(const std::string& strList) {
    std::vector<std::string> vecItems;
    std::stringstream stream(strList);
    for (std::string strItem; std::getline(stream, strItem, ',');) {
        if (!strItem.empty()) {
            vecItems.push_back(strItem);
        }
    }
    return vecItems;
}

std::string Option(const std::map<std::string, std::string>& mapOptions, const char* pszName,
                   const std::string& strDefault) {
    const auto it = mapOptions.find(pszName);
    return it == mapOptions.end() ? strDefault : it->second;
}

int WriteModel(const std::map<std::string, std::string>& mapOptions) {
    const std::string strFolder = mapOptions.at("folder");
    const int nEnds = std::stoi(mapOptions.at("ends"));
    const int nPerStep = std::stoi(mapOptions.at("per-step"));
    const int nSignals = std::stoi(mapOptions.at("signals"));
    const int nParamBytes = std::stoi(Option(mapOptions, "param-bytes", "0"));
    const bool bBothWays = mapOptions.count("both-ways") > 0;
    const std::string strFrom = Option(mapOptions, "from", "127.0.0.1");
    const std::string strTo = Option(mapOptions, "to", "127.0.0.2");
    const std::string strOnward = Option(mapOptions, "onward", "");
    const std::vector<std::string> vecSenderIps = SplitList(Option(mapOptions, "sender-ips", ""));
    g_bCounted = mapOptions.count("counted") > 0;
    const bool bOneTransition = mapOptions.count("one-transition") > 0;
    std::string strProcesses;
    std::string strChannels;
    int nId = 1;
    const auto AddSide = [&](const std::vector<std::string>& vecFrom, const std::string& strTarget,
                             const char* pszSender, const char* pszReceiver,
                             const char* pszChannel) {
        strProcesses += ReceiverXml(pszReceiver, nId++, strTarget);
        const int nSteps = nSignals / nPerStep;
        for (int k = 1; k <= nEnds; ++k) {
            const std::string strChannel = Format("%s%d", pszChannel, k);
            const int nQuota = (nSteps / nEnds + (k <= nSteps % nEnds ? 1 : 0)) * nPerStep;
            const std::string& strIP = vecFrom[static_cast<size_t>(k - 1) % vecFrom.size()];
            strProcesses += bOneTransition ? LoopSenderXml(Format("%s%d", pszSender, k), nId++,
                                                           strIP, strChannel, nQuota, nParamBytes)
                                           : SenderXml(Format("%s%d", pszSender, k), nId++, strIP,
                                                       strChannel, nPerStep, nQuota, nParamBytes);
            strChannels += Format(
                "      <channel name=\"%s\" start=\"%s%d\" end=\"%s\" dual=\"no\">"
                "<event name=\"sig\"/></channel>\n",
                strChannel.c_str(), pszSender, k, pszReceiver);
        }
    };
    AddSide(vecSenderIps.empty() ? std::vector<std::string>{strFrom} : vecSenderIps, strTo, "P",
            "Q", "c");
    if (bBothWays) {
        AddSide({strTo}, strFrom, "S", "R", "d");
    } else if (!strOnward.empty()) {
        AddSide({strTo}, strOnward, "S", "R", "d");
    }
    fs::create_directories(strFolder);
    std::ofstream file(strFolder + "/burst.velko", std::ios::binary);
    file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"burst\">\n"
         << Format("  <block name=\"net\" id=\"1\" IP=\"%s\" portRead=\"%u\">\n", strFrom.c_str(),
                   kPort)
         << strProcesses << "    <channels>\n"
         << strChannels << "    </channels>\n  </block>\n</system>\n";
    return file.good() ? 0 : 1;
}

// ---- Instance ------------------------------------------------------------------------------

// Counts the steps and keeps the time of the last one.
class CStepCounter : public CEngineListener {
public:
    void OnRunStateChanged(EngineRunState) override {}
    void OnStep(long long, double) override {
        m_tLast = Clock::now().time_since_epoch().count();
        m_nSteps.fetch_add(1);
    }
    void OnErrorPending() override {}
    void OnAgentsChanged(const std::vector<std::string>&,
                         const std::vector<std::string>&) override {}
    long long Steps() const { return m_nSteps.load(); }
    Clock::time_point Last() const { return Clock::time_point(Clock::duration(m_tLast.load())); }

private:
    std::atomic<long long> m_nSteps{0};
    std::atomic<Clock::rep> m_tLast{0};
};

// A field of /proc/self/status in kB, or a count.
long long ProcStatus(const char* pszField) {
    std::ifstream in("/proc/self/status");
    std::string strLine;
    const size_t nLength = std::strlen(pszField);
    while (std::getline(in, strLine)) {
        if (strLine.compare(0, nLength, pszField) == 0 && strLine.size() > nLength &&
            strLine[nLength] == ':') {
            return std::atoll(strLine.c_str() + nLength + 1);
        }
    }
    return -1;
}

bool LoadInto(CSDLEngine& engine, const std::string& strModel) {
    CSDLLoader loader;
    loader.m_pEngine = &engine;
    if (loader.LoadModel(strModel).empty() || !loader.m_strErrorText.empty()) {
        std::fprintf(stderr, "the model did not load: %s\n", loader.m_strErrorText.c_str());
        return false;
    }
    return true;
}

int BuildModel(const std::map<std::string, std::string>& mapOptions) {
    CRecordingNotifier notifier;
    CSDLEngine engine;
    engine.SetNotifier(&notifier);
    if (!LoadInto(engine, mapOptions.at("model"))) {
        return 1;
    }
    std::string strLog;
    if (engine.CreateCodeFile("") != 1 || engine.CompileCode("", strLog) != 1 ||
        engine.LinkDLL("", strLog) != 1) {
        std::fprintf(stderr, "the model did not build: %s\n", strLog.c_str());
        return 1;
    }
    return 0;
}

// The signals sig the trace shows handled (inputs) and sent (outputs).
void CountSignals(const std::string& strTrace, long long& rnHandled, long long& rnSent) {
    std::ifstream in(strTrace, std::ios::binary);
    std::string strLine;
    rnHandled = 0;
    rnSent = 0;
    while (std::getline(in, strLine)) {
        if (strLine.find("name=\"sig\"") == std::string::npos) {
            continue;
        }
        rnHandled += strLine.find("<input ") != std::string::npos ? 1 : 0;
        rnSent += strLine.find("<output ") != std::string::npos ? 1 : 0;
    }
}

int RunInstance(const std::map<std::string, std::string>& mapOptions) {
    const std::string strModel = mapOptions.at("model");
    const std::string strAddress = mapOptions.at("address");
    const double dPause = std::stod(Option(mapOptions, "pause", "0"));
    const double dQuiet = std::stod(Option(mapOptions, "quiet", "0"));
    const double dStopAfter = std::stod(Option(mapOptions, "stop-after", "0"));
    const long long nLoops = std::stoll(Option(mapOptions, "loops", "0"));
    if (mapOptions.count("counts")) {
        g_pCounts = MapCounts(mapOptions.at("counts"), true);
    }
    CRecordingNotifier notifier;
    CStepCounter counter;
    auto pEngine = std::make_unique<CSDLEngine>();
    CSDLEngine& engine = *pEngine;
    if (mapOptions.count("ceiling-mib")) {
        engine.GetRemoteLinks().SetCeiling(std::stoull(mapOptions.at("ceiling-mib")) << 20);
    }
    engine.SetNotifier(&notifier);
    engine.SetListener(&counter);
    if (!LoadInto(engine, strModel)) {
        return 1;
    }
    const fs::path model(strModel);
    engine.m_strCodeBasePath = (model.parent_path() / model.stem()).string();
    engine.m_nIPMode = 1;
    engine.m_strIPAddress = strAddress;
    engine.m_nEndMode = nLoops > 0 ? EM_BY_LOOPS : EM_BY_TIME;
    engine.m_nLoopLimit = nLoops;
    engine.m_dEndTime = 1e15;
    engine.m_bExecutionTrace = true;
    engine.m_bRepresentationTrace = false;
    // Instances on one machine share the model's folder: each trace carries
    // its instance's address in its name.
    engine.m_strExperimentLabel = strAddress;

    std::atomic<bool> bSampling{true};
    std::atomic<long long> nMaxThreads{0};
    std::atomic<long long> nMaxRss{0};
    std::thread sampler([&] {
        while (bSampling) {
            nMaxThreads = std::max(nMaxThreads.load(), ProcStatus("Threads"));
            nMaxRss = std::max(nMaxRss.load(), ProcStatus("VmRSS"));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    if (engine.StartThread() != 0) {
        return 1;
    }
    while (!engine.m_bInitialized && engine.IsThreadAlive()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Both listen before either sends.
    if (mapOptions.count("run-at")) {
        const auto tRun = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(std::stod(mapOptions.at("run-at")))));
        std::this_thread::sleep_until(tRun);
    }
    const auto tStart = Clock::now();
    const auto Since = [&](double dSeconds) {
        return Clock::now() - tStart >=
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
    };
    engine.Run();
    long long nStepsAtResume = 0;
    Clock::time_point tResume{};
    if (dPause > 0.0) {
        engine.Pause();  // at its first signal
        while (!g_bTerm && !Since(dPause) && !(dStopAfter > 0.0 && Since(dStopAfter))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        nStepsAtResume = counter.Steps();
        tResume = Clock::now();
        engine.Resume();
    }
    const auto Quiet = [&] {
        const auto tLast = std::max(counter.Last(), dPause > 0.0 ? tResume : tStart);
        return dQuiet > 0.0 && counter.Steps() > 0 &&
               std::chrono::duration<double>(Clock::now() - tLast).count() > dQuiet;
    };
    while (!g_bTerm && engine.IsThreadAlive() && !Quiet() &&
           !(dStopAfter > 0.0 && Since(dStopAfter))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool bEndedByItself = !engine.IsThreadAlive();
    const auto tStop = Clock::now();
    engine.Stop();
    bool bEnded = engine.WaitForRunEnd(5000);
    const double dStopSeconds = std::chrono::duration<double>(Clock::now() - tStop).count();
    const std::string strTrace = engine.GetTracePath();
    // The end of the program: the engine goes, and says what it lost.
    const auto tExit = Clock::now();
    pEngine.reset();
    const double dExitSeconds = std::chrono::duration<double>(Clock::now() - tExit).count();
    bSampling = false;
    sampler.join();

    long long nHandled = 0;
    long long nSent = 0;
    CountSignals(strTrace, nHandled, nSent);
    fs::remove(strTrace);
    const long long nSteps = counter.Steps();
    const double dRun = std::chrono::duration<double>(counter.Last() - tStart).count();
    long long nLost = 0;
    int nErrors = 0;
    std::string strErrors;
    for (const auto& line : notifier.GetLines()) {
        if (line.ePane != NP_ERRORS) {
            continue;
        }
        nLost += velkotest::SignalsLostInLine(line.strLine);
        if (++nErrors <= 12) {
            strErrors += "  Errors: " + line.strLine + "\n";
        }
    }
    std::printf(
        "instance %s: sent %lld, handled %lld, counted lost %lld signals; %lld steps; "
        "last step %.2f s after Run",
        strAddress.c_str(), nSent, nHandled, nLost, nSteps, dRun);
    if (nSteps > 0 && dPause <= 0.0) {
        std::printf(" (%.0f steps/s)", static_cast<double>(nSteps) / dRun);
    }
    if (dPause > 0.0 && nSteps > nStepsAtResume) {
        const double dDrain = std::chrono::duration<double>(counter.Last() - tResume).count();
        std::printf("; paused %.1f s; after the resume %lld steps in %.2f s (%.0f steps/s)",
                    std::chrono::duration<double>(tResume - tStart).count(),
                    nSteps - nStepsAtResume, dDrain,
                    static_cast<double>(nSteps - nStepsAtResume) / dDrain);
    }
    if (bEndedByItself) {
        std::printf("; the run ended by itself");
    } else {
        std::printf("; stop took %.3f s%s", dStopSeconds, bEnded ? "" : " (NOT ENDED)");
    }
    std::printf("; the engine went in %.3f s", dExitSeconds);
    std::printf("; peak RSS %lld kB (max seen %lld kB); threads at most %lld\n",
                ProcStatus("VmHWM"), nMaxRss.load(), nMaxThreads.load());
    std::printf("%s  %d Errors lines\n", strErrors.c_str(), nErrors);
    std::fflush(stdout);
    return 0;
}

// ---- Count flood -----------------------------------------------------------------------------

// A receiver that reads every message sent to it and answers each link with
// counts as fast as it can, for the given time.
int RunCountFlood(const std::map<std::string, std::string>& mapOptions) {
    const std::string strListen = mapOptions.at("listen");
    const int nSeconds = std::stoi(mapOptions.at("seconds"));
    const auto tEnd = Clock::now() + std::chrono::seconds(nSeconds);
    CBidirecSocket listener;
    if (!listener.CreateServer(
            static_cast<unsigned int>(std::stoi(strListen.substr(strListen.find(':') + 1))),
            strListen.substr(0, strListen.find(':'))) ||
        !listener.Listen()) {
        std::fprintf(stderr, "cannot listen on %s\n", strListen.c_str());
        return 1;
    }
    std::atomic<long long> nRead{0};
    std::atomic<long long> nCounts{0};
    std::vector<std::unique_ptr<CBidirecSocket>> vecLinks;
    std::vector<std::thread> vecThreads;
    std::thread accepting([&] {
        for (;;) {
            auto pLink = std::make_unique<CBidirecSocket>();
            if (!listener.Accept(*pLink)) {
                return;
            }
            pLink->AttachArchives();
            CBidirecSocket& rLink = *pLink;
            vecLinks.push_back(std::move(pLink));
            vecThreads.emplace_back([&rLink, &nRead] {
                std::string strMessage;
                rLink.ReceiveMessage(strMessage, SIZE_MAX);  // the opening
                while (rLink.ReceiveMessage(strMessage, SIZE_MAX) == SR_MESSAGE) {
                    nRead.fetch_add(1);
                }
            });
            vecThreads.emplace_back([&rLink, &nCounts, tEnd] {
                const std::string strBatch = [] {
                    std::string strBytes;
                    for (int i = 0; i < 1000; ++i) {
                        strBytes += EncodeSocketString("0");
                    }
                    return strBytes;
                }();
                while (!g_bTerm && Clock::now() < tEnd &&
                       rLink.SendBytes(strBatch.data(), strBatch.size())) {
                    nCounts.fetch_add(1000);
                }
            });
        }
    });
    while (!g_bTerm && Clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("countflood: %lld signals read, %lld counts written\n", nRead.load(),
                nCounts.load());
    std::fflush(stdout);
    listener.Cancel();
    accepting.join();
    for (auto& pLink : vecLinks) {
        pLink->Cancel();
    }
    for (auto& thread : vecThreads) {
        thread.join();
    }
    return 0;
}

// ---- Forged openings -------------------------------------------------------------------------

// Links that open as an instance of the model and claim a long message that
// never comes, held until the time is up.
int RunForge(const std::map<std::string, std::string>& mapOptions) {
    const std::string strTarget = mapOptions.at("target");
    const std::string strHost = strTarget.substr(0, strTarget.find(':'));
    const auto nPort =
        static_cast<unsigned int>(std::stoi(strTarget.substr(strTarget.find(':') + 1)));
    const std::vector<std::string> vecClaim = SplitList(mapOptions.at("opening"));
    const int nLinks = std::stoi(mapOptions.at("links"));
    const auto nChars = static_cast<uint32_t>(std::stoul(mapOptions.at("claim")));
    const auto tEnd = Clock::now() + std::chrono::seconds(std::stoi(mapOptions.at("seconds")));
    if (vecClaim.size() != 3) {
        return 2;
    }
    std::string strBytes = EncodeSocketString(
        MakeRemoteOpening(SRemoteOpening{NewRemoteToken(), vecClaim[0], vecClaim[1], vecClaim[2]}));
    strBytes += std::string("\xFF\xFE\xFF\xFF\xFF\xFF", 6);
    for (int i = 0; i < 4; ++i) {
        strBytes += static_cast<char>((nChars >> (8 * i)) & 0xFF);
    }
    strBytes += std::string(100, 'c');
    std::vector<std::unique_ptr<CBidirecSocket>> vecLinks;
    for (int i = 0; i < nLinks; ++i) {
        auto pLink = std::make_unique<CBidirecSocket>();
        if (pLink->ConnectClient(strHost, nPort, 2000) == 1) {
            pLink->AttachArchives();
            pLink->SendBytes(strBytes.data(), strBytes.size());
            vecLinks.push_back(std::move(pLink));
        }
    }
    std::printf("forge: %zu links claim %u characters each\n", vecLinks.size(), nChars);
    std::fflush(stdout);
    while (!g_bTerm && Clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

// ---- A relay that can be cut ----------------------------------------------------------------

std::pair<std::string, unsigned int> SplitHostPort(const std::string& strText) {
    return {strText.substr(0, strText.find(':')),
            static_cast<unsigned int>(std::stoi(strText.substr(strText.find(':') + 1)))};
}

int RunRelay(const std::map<std::string, std::string>& mapOptions) {
    const auto [strListenHost, nListenPort] = SplitHostPort(mapOptions.at("listen"));
    const auto [strTargetHost, nTargetPort] = SplitHostPort(mapOptions.at("target"));
    const auto tStart = Clock::now();
    const auto tCut =
        tStart + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(std::stod(mapOptions.at("cut-at"))));
    const bool bHeals = mapOptions.count("cut-for") > 0;
    const auto tHeal =
        bHeals ? tCut + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::stod(mapOptions.at("cut-for"))))
               : Clock::time_point::max();
    const auto tEnd = tStart + std::chrono::seconds(std::stoi(mapOptions.at("seconds")));
    const auto IsCut = [&] {
        const auto tNow = Clock::now();
        return tNow >= tCut && tNow < tHeal;
    };
    CBidirecSocket listener;
    if (!listener.CreateServer(nListenPort, strListenHost) || !listener.Listen(128)) {
        std::fprintf(stderr, "cannot listen on %s\n", mapOptions.at("listen").c_str());
        return 1;
    }
    std::vector<std::unique_ptr<CBidirecSocket>> vecLinks;
    std::vector<std::thread> vecPumps;
    std::mutex mutexLinks;
    // Bytes from one end to the other, but while cut; the end of one side's
    // stream goes on to the other.
    const auto Pump = [&](CBidirecSocket& rFrom, CBidirecSocket& rTo) {
        std::vector<char> vecBuffer(64 * 1024);
        CSocketPoller poller;
        CSocketWake wake;
        while (!g_bTerm && Clock::now() < tEnd) {
            if (IsCut()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            poller.Clear();
            poller.Add(rFrom, true, false);
            poller.Wait(100, wake);
            if (!poller.IsReadable(0)) {
                continue;
            }
            size_t nGot = 0;
            const SocketIoResult eRead =
                rFrom.ReceiveAvailable(vecBuffer.data(), vecBuffer.size(), nGot);
            if (eRead == IO_DONE && rTo.SendBytes(vecBuffer.data(), nGot)) {
                continue;
            }
            if (eRead == IO_NONE) {
                continue;
            }
            if (eRead == IO_CLOSED) {
                rTo.HalfClose(0);
            } else {
                rTo.Cancel();
                rFrom.Cancel();
            }
            break;
        }
    };
    std::thread accepting([&] {
        for (;;) {
            auto pFrom = std::make_unique<CBidirecSocket>();
            if (!listener.Accept(*pFrom)) {
                return;
            }
            auto pTo = std::make_unique<CBidirecSocket>();
            if (pTo->ConnectClient(strTargetHost, nTargetPort, 2000) != 1) {
                continue;
            }
            CBidirecSocket& rFrom = *pFrom;
            CBidirecSocket& rTo = *pTo;
            std::lock_guard<std::mutex> lock(mutexLinks);
            vecLinks.push_back(std::move(pFrom));
            vecLinks.push_back(std::move(pTo));
            vecPumps.emplace_back([&, &rFrom = rFrom, &rTo = rTo] { Pump(rFrom, rTo); });
            vecPumps.emplace_back([&, &rFrom = rFrom, &rTo = rTo] { Pump(rTo, rFrom); });
        }
    });
    bool bSaidCut = false;
    bool bSaidHealed = false;
    while (!g_bTerm && Clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!bSaidCut && Clock::now() >= tCut) {
            bSaidCut = true;
            std::printf("relay: cut at %.1f s\n",
                        std::chrono::duration<double>(tCut - tStart).count());
            std::fflush(stdout);
        }
        if (!bSaidHealed && Clock::now() >= tHeal) {
            bSaidHealed = true;
            std::printf("relay: healed at %.1f s\n",
                        std::chrono::duration<double>(tHeal - tStart).count());
            std::fflush(stdout);
        }
    }
    g_bTerm = true;
    listener.Cancel();
    accepting.join();
    {
        std::lock_guard<std::mutex> lock(mutexLinks);
        for (auto& pLink : vecLinks) {
            pLink->Cancel();
        }
    }
    for (auto& pump : vecPumps) {
        pump.join();
    }
    return 0;
}

// ---- Hostile peers ---------------------------------------------------------------------------

struct SHostile {
    std::string strHost;
    unsigned int nPort = 0;
    std::atomic<long long> nLinks{0};
    std::atomic<long long> nMessages{0};
};

bool Connect(SHostile& target, CBidirecSocket& rLink) {
    rLink.Close();
    if (rLink.ConnectClient(target.strHost, target.nPort, 2000) != 1) {
        return false;
    }
    rLink.AttachArchives();
    target.nLinks.fetch_add(1);
    return true;
}

void Pause(int nMilliseconds) {
    for (int n = 0; n < nMilliseconds && !g_bTerm; n += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int RunHostile(const std::map<std::string, std::string>& mapOptions) {
    SHostile target;
    const std::string strTarget = mapOptions.at("target");
    target.strHost = strTarget.substr(0, strTarget.find(':'));
    target.nPort = static_cast<unsigned int>(std::stoi(strTarget.substr(strTarget.find(':') + 1)));
    const int nSeconds = std::stoi(mapOptions.at("seconds"));
    const auto tEnd = Clock::now() + std::chrono::seconds(nSeconds);
    const auto Running = [&] { return !g_bTerm && Clock::now() < tEnd; };
    std::vector<std::thread> vecThreads;
    // Silent links, more than a port serves: each one closed is made again.
    for (int n = 0; n < 4; ++n) {
        vecThreads.emplace_back([&] {
            std::vector<std::unique_ptr<CBidirecSocket>> vecLinks;
            for (int i = 0; i < 40; ++i) {
                vecLinks.push_back(std::make_unique<CBidirecSocket>());
            }
            while (Running()) {
                for (auto& pLink : vecLinks) {
                    if (!pLink->IsOpen() || pLink->CheckPeer() != SP_OPEN) {
                        Connect(target, *pLink);
                    }
                }
                Pause(500);
            }
        });
    }
    // A length, then silence; and one byte a second of a signal.
    for (const bool bTrickle : {false, true}) {
        vecThreads.emplace_back([&, bTrickle] {
            std::vector<std::unique_ptr<CBidirecSocket>> vecLinks;
            std::vector<size_t> vecSent;
            for (int i = 0; i < 30; ++i) {
                vecLinks.push_back(std::make_unique<CBidirecSocket>());
                vecSent.push_back(0);
            }
            const std::string strLength("\xFF\xFE\xFF\xFF\xFF\xFF\x40\x42\x0F\x00", 10);
            const std::string strSignal = EncodeSocketString("c1,0,0,0,0,c1,,0,true,noise,,Q,-1,");
            while (Running()) {
                for (size_t i = 0; i < vecLinks.size(); ++i) {
                    CBidirecSocket& rLink = *vecLinks[i];
                    if (!rLink.IsOpen() || rLink.CheckPeer() != SP_OPEN) {
                        if (!Connect(target, rLink)) {
                            continue;
                        }
                        vecSent[i] = 0;
                        if (!bTrickle) {
                            rLink.SendBytes(strLength.data(), strLength.size());
                        }
                    }
                    if (bTrickle) {
                        rLink.SendBytes(&strSignal[vecSent[i] % strSignal.size()], 1);
                        ++vecSent[i];
                    }
                }
                Pause(1000);
            }
        });
    }
    // Links that say they are an instance of the model ("INSTANCE,CHANNEL,
    // SYSTEM").
    std::string strOpening;
    if (mapOptions.count("forge")) {
        const std::vector<std::string> vecClaim = SplitList(mapOptions.at("forge"));
        if (vecClaim.size() == 3) {
            strOpening = EncodeSocketString(MakeRemoteOpening(
                SRemoteOpening{NewRemoteToken(), vecClaim[0], vecClaim[1], vecClaim[2]}));
        }
    }
    // Floods: signals the receiver does not await, and messages that are
    // none; links made and dropped at once.
    for (int nKind = 0; nKind < 3; ++nKind) {
        for (int n = 0; n < (nKind == 0 ? 4 : 2); ++n) {
            vecThreads.emplace_back([&, nKind] {
                std::string strBatch;
                for (int i = 0; i < 200; ++i) {
                    strBatch += EncodeSocketString(nKind == 0 ? "c1,0,0,0,0,c1,,0,true,noise,,Q,-1,"
                                                              : "no signal at all");
                }
                CBidirecSocket link;
                while (Running()) {
                    if (nKind == 2) {
                        Connect(target, link);
                        link.Close();
                        Pause(5);
                        continue;
                    }
                    if (link.IsOpen() && link.SendBytes(strBatch.data(), strBatch.size())) {
                        target.nMessages.fetch_add(200);
                    } else if (!Connect(target, link)) {
                        Pause(100);
                    } else if (nKind == 0 && !strOpening.empty()) {
                        link.SendBytes(strOpening.data(), strOpening.size());
                    }
                }
            });
        }
    }
    while (Running()) {
        Pause(10000);
        std::printf("hostile: %lld links made, %lld flood messages written\n", target.nLinks.load(),
                    target.nMessages.load());
        std::fflush(stdout);
    }
    g_bTerm = true;
    for (auto& thread : vecThreads) {
        thread.join();
    }
    return 0;
}

}  // namespace

// Called by the model library built with --counted.
extern "C" void velko_bench_sent(int nSignals) {
    if (g_pCounts) {
        g_pCounts[0] += nSignals;
    }
}
extern "C" void velko_bench_handled(int nSignals) {
    if (g_pCounts) {
        g_pCounts[1] += nSignals;
    }
}

int main(int argc, char** argv) {
    signal(SIGTERM, OnTerm);
    signal(SIGINT, OnTerm);
    signal(SIGPIPE, SIG_IGN);
    const std::string strMode = argc > 1 ? argv[1] : "";
    const auto mapOptions = ParseOptions(argc, argv);
    try {
        if (strMode == "model") {
            return WriteModel(mapOptions);
        }
        if (strMode == "build") {
            return BuildModel(mapOptions);
        }
        if (strMode == "instance") {
            return RunInstance(mapOptions);
        }
        if (strMode == "hostile") {
            return RunHostile(mapOptions);
        }
        if (strMode == "countflood") {
            return RunCountFlood(mapOptions);
        }
        if (strMode == "forge") {
            return RunForge(mapOptions);
        }
        if (strMode == "relay") {
            return RunRelay(mapOptions);
        }
        if (strMode == "counts") {
            const std::atomic<long long>* pCounts = MapCounts(mapOptions.at("file"), false);
            if (!pCounts) {
                return 1;
            }
            std::printf("sent %lld, handled %lld\n", pCounts[0].load(), pCounts[1].load());
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: see the head of bench/remotebench.cpp\n");
    return 2;
}
