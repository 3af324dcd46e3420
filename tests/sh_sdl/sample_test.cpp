// The sample model of examples/ from its files to a complete trace: load,
// generate, compile and link with the real gcc, run on the simulation thread
// to its end, then read the trace back.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/xmlparser.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "support/blockingcall.h"
#include "support/filebytes.h"
#include "support/recordingnotifier.h"
#include "support/runwait.h"
#include "test_helpers.h"

namespace fs = std::filesystem;

namespace {

// A run of a million steps takes the thread checker longer than a test may
// run on a busy machine; the threads it uses are those of every run of the
// other models, which it checks.
#if defined(__SANITIZE_THREAD__)
constexpr bool kMillionStepsTooSlow = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kMillionStepsTooSlow = true;
#else
constexpr bool kMillionStepsTooSlow = false;
#endif
#else
constexpr bool kMillionStepsTooSlow = false;
#endif

struct CTraceRecord {
    std::string strElement;
    std::map<std::string, std::string> mapAttributes;
    std::string strText;
};

class SampleModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("velko_sample_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::copy(fs::path(VELKO_SOURCE_DIR) / "examples" / "pingpong", m_dir,
                 fs::copy_options::recursive);
        m_engine.SetNotifier(&m_notifier);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Loads and builds the model; false with the reasons in the failure.
    void LoadAndBuild(const std::string& strFile = "pingpong.velko") {
        CSDLLoader loader;
        loader.m_pEngine = &m_engine;
        const std::string strText = loader.LoadModel((m_dir / strFile).string());
        ASSERT_FALSE(strText.empty());
        ASSERT_EQ(loader.m_strErrorText, "");
        ASSERT_EQ(loader.GetErrorLog(), "");
        ASSERT_EQ(m_engine.CreateCodeFile(""), 1);
        std::string strLog;
        ASSERT_EQ(m_engine.CompileCode("", strLog), 1) << strLog;
        ASSERT_EQ(m_engine.LinkDLL("", strLog), 1) << strLog;
    }

    void StartRun(double dEndTime) {
        m_engine.m_bExecutionTrace = true;
        m_engine.m_bRepresentationTrace = true;
        m_engine.m_nEndMode = EM_BY_TIME;
        m_engine.m_dEndTime = dEndTime;
        m_engine.m_strExperimentLabel = "main model";
        m_engine.StartThread();
    }

    bool WaitUntilInitialized() {
        return velkotest::WaitUntil([this] { return m_engine.m_bInitialized.load(); },
                                    std::chrono::seconds(20));
    }

    // Starts a run by time to dEndTime, lets it go to its end, which it must
    // reach as a complete run, and returns the trace file's bytes ("" when
    // the run did not end).
    std::string RunToEndAndReadTraceBytes(double dEndTime) {
        StartRun(dEndTime);
        EXPECT_TRUE(WaitUntilInitialized());
        m_engine.Run();
        const bool bEnded = velkotest::WaitForRunEnd(m_engine);
        EXPECT_TRUE(bEnded) << "the run did not end";
        EXPECT_EQ(m_engine.GetLastThreadResult(), 0);
        return bEnded ? velkotest::ReadFileBytes(m_engine.GetTracePath()) : std::string();
    }

    // Runs to the end and returns the records of the trace's Events element.
    std::vector<CTraceRecord> RunAndReadTrace() {
        StartRun(100.0);
        // "Model name" from the window's thread while the run calls the same
        // library.
        std::atomic<bool> bRunEnded{false};
        std::atomic<int> nWrongNames{0};
        std::thread window([&] {
            while (!bRunEnded) {
                std::string strName;
                if (m_engine.GetModelName(strName) == MC_OK && strName != "pingpong") {
                    ++nWrongNames;
                }
            }
        });
        EXPECT_TRUE(WaitUntilInitialized());
        std::string strName;
        EXPECT_EQ(m_engine.GetModelName(strName), MC_OK);
        EXPECT_EQ(strName, "pingpong");
        m_engine.Run();
        EXPECT_TRUE(velkotest::WaitForRunEnd(m_engine)) << "the run did not end";
        bRunEnded = true;
        window.join();
        EXPECT_EQ(nWrongNames, 0);
        EXPECT_EQ(m_engine.GetLastThreadResult(), 0);
        EXPECT_FALSE(m_engine.m_bRunning);
        EXPECT_EQ(m_engine.GetModelLibrary(), nullptr);

        std::ifstream in(m_engine.GetTracePath(), std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        std::string strText = buffer.str();
        const std::string strTail = "\t</Events>\r\n</Trace>";
        EXPECT_EQ(strText.substr(strText.size() - std::min(strText.size(), strTail.size())),
                  strTail);
        ReplaceAll(strText, "\r\n", "\n");
        EXPECT_EQ(strText.find('\r'), std::string::npos) << "a line end without CR LF";

        CXMLParser parser;
        parser.LoadXML(strText);
        CXMLNode trace = parser.FindChild(nullptr, "Trace");
        CXMLNode events = parser.FindChild(trace, "Events");
        std::vector<CTraceRecord> vecRecords;
        for (unsigned i = 0;; ++i) {
            CXMLNode node = parser.GetChildAt(events, i);
            if (!node) {
                break;
            }
            CTraceRecord record;
            record.strElement = node.GetNodeName();
            for (const char* pszName : {"time", "process", "name", "state", "agent", "xTime"}) {
                std::string strValue;
                parser.ReadAttribute(node, pszName, strValue);
                record.mapAttributes[pszName] = strValue;
            }
            parser.GetText(node, record.strText);
            vecRecords.push_back(record);
        }
        return vecRecords;
    }

    // Runs data/golden/strName.velko as described at the golden tests.
    // fnEdit, when given, changes the model's text first. Each run must give
    // the golden trace (the second shows what a run leaves to the next).
    void RunGolden(const std::string& strName,
                   const std::function<void(std::string&)>& fnEdit = nullptr, int nRuns = 2) {
        const fs::path golden = fs::path(VELKO_TEST_DATA_DIR) / "golden";
        fs::copy(golden, m_dir / "golden", fs::copy_options::recursive);
        if (fnEdit) {
            const std::string strPath = (m_dir / "golden" / (strName + ".velko")).string();
            std::string strText = velkotest::ReadFileBytes(strPath);
            fnEdit(strText);
            velkotest::WriteFileBytes(strPath, strText);
        }
        LoadAndBuild("golden/" + strName + ".velko");
        if (HasFatalFailure()) {
            return;
        }
        if (fs::exists(golden / (strName + ".param"))) {
            CSDLLoader loader;
            loader.m_pEngine = &m_engine;
            ASSERT_TRUE(
                loader.LoadParametrization((m_dir / "golden" / (strName + ".param")).string()));
            m_engine.m_strParametrizationFile = strName + ".param";
        }
        const std::string strExpected =
            velkotest::ReadFileBytes((golden / (strName + ".trace")).string());
        ASSERT_FALSE(strExpected.empty());
        for (int nRun = 1; nRun <= nRuns; ++nRun) {
            const std::string strTrace = RunToEndAndReadTraceBytes(1000.0);
            if (strTrace != strExpected) {
                const std::string strKept =
                    (fs::temp_directory_path() / ("velko_" + strName + ".trace")).string();
                velkotest::WriteFileBytes(strKept, strTrace);
                FAIL() << "run " << nRun << " differs from golden/" << strName
                       << ".trace; it is kept in " << strKept;
            }
        }
    }

    fs::path m_dir;
    CRecordingNotifier m_notifier;  // outlives the engine
    CSDLEngine m_engine;
};

int Count(const std::vector<CTraceRecord>& vec, const std::string& strElement,
          const std::string& strProcess, const std::string& strName) {
    int n = 0;
    for (const auto& record : vec) {
        if (record.strElement == strElement && record.mapAttributes.at("process") == strProcess &&
            record.mapAttributes.at("name") == strName) {
            ++n;
        }
    }
    return n;
}

// The times of a trace's input records, in the trace's order.
std::vector<double> InputTimes(const std::string& strTrace) {
    std::vector<double> vecTimes;
    const std::string strStart = "<input time=\"";
    for (size_t nPos = strTrace.find(strStart); nPos != std::string::npos;
         nPos = strTrace.find(strStart, nPos + 1)) {
        const size_t nValue = nPos + strStart.size();
        vecTimes.push_back(
            StringToDouble(strTrace.substr(nValue, strTrace.find('"', nValue) - nValue)));
    }
    return vecTimes;
}

TEST_F(SampleModelTest, BuildsRunsToItsEndAndTracesWhatTheModelDoes) {
    LoadAndBuild();
    if (HasFatalFailure()) {
        return;
    }
    const std::vector<CTraceRecord> vecRecords = RunAndReadTrace();
    ASSERT_FALSE(vecRecords.empty());

    // ping serves five balls (its decision says serves < limit, limit 5),
    // then sends stop; pong returns every ball.
    EXPECT_EQ(Count(vecRecords, "output", "court_ping", "ball"), 5);
    EXPECT_EQ(Count(vecRecords, "input", "court_pong", "ball"), 5);
    EXPECT_EQ(Count(vecRecords, "output", "court_pong", "ball"), 5);
    EXPECT_EQ(Count(vecRecords, "input", "court_ping", "ball"), 5);
    EXPECT_EQ(Count(vecRecords, "output", "court_ping", "stop"), 1);
    EXPECT_EQ(Count(vecRecords, "input", "court_pong", "stop"), 1);
    // Ticks at 1.5, 3.0, ... 9.0: five serves and the one that stops.
    EXPECT_EQ(Count(vecRecords, "input", "court_ping", "tick"), 6);

    // pong takes each ball at the time of the tick that served it.
    std::vector<std::string> vecTimes;
    for (const auto& record : vecRecords) {
        if (record.strElement == "input" && record.mapAttributes.at("process") == "court_pong" &&
            record.mapAttributes.at("name") == "ball") {
            vecTimes.push_back(record.mapAttributes.at("time"));
        }
    }
    EXPECT_EQ(vecTimes, (std::vector<std::string>{"1.500000", "3.000000", "4.500000", "6.000000",
                                                  "7.500000"}));

    // The last state changes: ping rests in done, pong in finished, each
    // with an animation record.
    std::string strPingState;
    std::string strPongState;
    int nEyePing = 0;
    for (const auto& record : vecRecords) {
        if (record.strElement == "setstate" && record.mapAttributes.at("process") == "court_ping") {
            strPingState = record.mapAttributes.at("state");
        }
        if (record.strElement == "setstate" && record.mapAttributes.at("process") == "court_pong") {
            strPongState = record.mapAttributes.at("state");
        }
        if (record.strElement == "EYE_SetState" &&
            record.mapAttributes.at("agent") == "court_ping") {
            ++nEyePing;
        }
    }
    EXPECT_EQ(strPingState, "done");
    EXPECT_EQ(strPongState, "finished");
    // ping changes state twice: to serving at the start, to done at the end.
    EXPECT_EQ(nEyePing, 2);
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

TEST_F(SampleModelTest, UserParametersTravelBothWays) {
    LoadAndBuild();
    if (HasFatalFailure()) {
        return;
    }
    const std::vector<CTraceRecord> vecRecords = RunAndReadTrace();
    ASSERT_FALSE(vecRecords.empty());
    // The event texts inside output and input records carry the user
    // parameters: read them from the file.
    std::vector<std::string> vecHits;
    std::vector<std::string> vecReturns;
    std::ifstream in(m_engine.GetTracePath(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string strText = buffer.str();
    size_t nPos = 0;
    while ((nPos = strText.find("<userparam name=\"hits\"", nPos)) != std::string::npos) {
        const size_t nValue = strText.find("value=\"", nPos) + 7;
        vecHits.push_back(strText.substr(nValue, strText.find('"', nValue) - nValue));
        ++nPos;
    }
    nPos = 0;
    while ((nPos = strText.find("<userparam name=\"returns\"", nPos)) != std::string::npos) {
        const size_t nValue = strText.find("value=\"", nPos) + 7;
        vecReturns.push_back(strText.substr(nValue, strText.find('"', nValue) - nValue));
        ++nPos;
    }
    // Each ball appears in ping's output record and pong's input record.
    EXPECT_EQ(vecHits,
              (std::vector<std::string>{"1", "1", "2", "2", "3", "3", "4", "4", "5", "5"}));
    // pong's rally adds the hits: 1, 3, 6, 10, 15.
    EXPECT_EQ(vecReturns,
              (std::vector<std::string>{"1", "1", "3", "3", "6", "6", "10", "10", "15", "15"}));
}

// A model of 200 processes: a ring of walkers driven by timers of several
// periods, each hopping a signal to the next one and resting after a few
// ticks; a spawner that creates workers during the run, each with its own
// timer; and an automaton of nine cells whose first cell grows by its own
// signals.
std::string CrowdModelXml() {
    auto process = [](const std::string& strName, int nId, const std::string& strDcls,
                      const char* pszTrace, const std::string& strBody) {
        return Format(
                   "<process name=\"%s\" id=\"%d\" IP=\"127.0.0.1\" portRead=\"0\" "
                   "implementation=\"\"><DCLS>%s</DCLS><representations>"
                   "<trace setstate=\"yes\" input=\"yes\" output=\"%s\"/>"
                   "<traceanim setstate=\"yes\" input=\"no\" output=\"no\"/>"
                   "</representations>\n",
                   strName.c_str(), nId, strDcls.c_str(), pszTrace) +
               strBody + "</process>\n";
    };
    auto output = [](const std::string& strSignal, int nId, const std::string& strWhere,
                     const std::string& strParams) {
        return Format("<output name=\"%s\" id=\"%d\" %s>%s</output>\n", strSignal.c_str(), nId,
                      strWhere.c_str(), strParams.c_str());
    };
    auto delay = [](const std::string& strValue) {
        return "<param name=\"delay\" value=\"" + strValue + "\"/>";
    };
    const char* const pszSelf = "self=\"yes\" to=\"\" via=\"\"";
    const int nWalkers = 197;
    std::string strHall;
    std::string strChannels;
    for (int i = 0; i < nWalkers; ++i) {
        // Operation numbers apart per process: the library knows an
        // operation by its block, state and number.
        const int b = 100 * (i + 1);
        const std::string strPeriod = Format("%d.%02d", 1, 25 * (i % 5));
        const std::string strNext = Format("w%d", (i + 1) % nWalkers);
        strHall += process(
            Format("w%d", i), i + 1,
            Format("<DCL name=\"n\" type=\"int\" value=\"0\"/>"
                   "<DCL name=\"limit\" type=\"int\" value=\"%d\"/>"
                   "<DCL name=\"count\" type=\"int\" value=\"0\"/>",
                   2 + i % 3),
            "no",
            Format("<start><start name=\"start\" id=\"%d\"/>", b + 1) +
                output("tick", b + 2, pszSelf, delay(strPeriod)) +
                Format("<setstate name=\"walking\" id=\"%d\"/></start>\n", b + 3) +
                "<state name=\"walking\">" + Format("<input name=\"tick\" id=\"%d\"/>", b + 10) +
                Format("<task name=\"count\" id=\"%d\">n = n + 1;</task>", b + 11) +
                Format("<decision name=\"more\" id=\"%d\" iftrue=\"%d\" iffalse=\"%d\">n &lt; "
                       "limit</decision>",
                       b + 12, b + 13, b + 16) +
                output("hop", b + 13, "self=\"no\" to=\"\" via=\"'c" + std::to_string(i) + "'\"",
                       delay("0.5") + "<userparam name=\"count\" value=\"n\"/>") +
                output("tick", b + 14, pszSelf, delay(strPeriod)) +
                Format("<setstate name=\"walking\" id=\"%d\"/>", b + 15) +
                Format("<setstate name=\"resting\" id=\"%d\"/>", b + 16) +
                Format("<input name=\"hop\" id=\"%d\"/><setstate name=\"walking\" id=\"%d\"/>",
                       b + 20, b + 21) +
                "</state>\n<state name=\"resting\">" +
                Format("<input name=\"*\" id=\"%d\"/><setstate name=\"resting\" id=\"%d\"/>",
                       b + 30, b + 31) +
                "</state>\n");
        strChannels += Format(
            "<channel name=\"c%d\" start=\"w%d\" end=\"%s\" dual=\"no\"><event "
            "name=\"hop\"/></channel>\n",
            i, i, strNext.c_str());
    }
    strHall += process(
        "spawner", 900, "<DCL name=\"k\" type=\"int\" value=\"0\"/>", "yes",
        "<start><start name=\"start\" id=\"90001\"/>" + output("tick", 90002, pszSelf, delay("2")) +
            "<setstate name=\"spawning\" id=\"90003\"/></start>\n<state name=\"spawning\">"
            "<input name=\"tick\" id=\"90010\"/>"
            "<task name=\"count\" id=\"90011\">k = k + 1;</task>"
            "<decision name=\"more\" id=\"90012\" iftrue=\"90013\" iffalse=\"90016\">k &lt; "
            "4</decision>"
            "<create name=\"worker\" id=\"90013\" target=\"worker\" qtt=\"1\"/>" +
            output("tick", 90014, pszSelf, delay("2.5")) +
            "<setstate name=\"spawning\" id=\"90015\"/>"
            "<setstate name=\"idle\" id=\"90016\"/></state>\n");
    strHall += process(
        "worker", 901, "<DCL name=\"w\" type=\"int\" value=\"0\"/>", "yes",
        "<start><start name=\"start\" id=\"90101\"/>" +
            output("work", 90102, pszSelf, delay("0.75")) +
            "<setstate name=\"busy\" id=\"90103\"/></start>\n<state name=\"busy\">"
            "<input name=\"work\" id=\"90110\"/>"
            "<task name=\"count\" id=\"90111\">w = w + 1;</task>"
            "<decision name=\"more\" id=\"90112\" iftrue=\"90113\" iffalse=\"90115\">w &lt; "
            "6</decision>" +
            output("work", 90113, pszSelf, delay("0.75")) +
            "<setstate name=\"busy\" id=\"90114\"/>"
            "<setstate name=\"done\" id=\"90115\"/></state>\n");
    const std::string strCell = process(
        "cell", 1, "<DCL name=\"g\" type=\"int\" value=\"0\"/>", "yes",
        "<start><start name=\"start\" id=\"1\"/>" +
            output("grow", 2, pszSelf, delay("1") + "<param name=\"mnca_cell[]\" value=\"{0}\"/>") +
            "<setstate name=\"seed\" id=\"3\"/></start>\n<state name=\"seed\">"
            "<input name=\"grow\" id=\"10\"/>"
            "<task name=\"count\" id=\"11\">g = g + 1;</task>"
            "<decision name=\"more\" id=\"12\" iftrue=\"13\" iffalse=\"15\">g &lt; 14</decision>" +
            output("grow", 13, pszSelf,
                   delay("1.5") + "<param name=\"mnca_cell[]\" value=\"{0}\"/>") +
            "<setstate name=\"grown\" id=\"14\"/><setstate name=\"seed\" id=\"15\"/></state>\n"
            "<state name=\"grown\"><input name=\"grow\" id=\"20\"/>" +
            output("grow", 21, pszSelf,
                   delay("0.5") + "<param name=\"mnca_cell[]\" value=\"{0}\"/>") +
            "<setstate name=\"seed\" id=\"22\"/></state>\n");
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"crowd\">\n"
           "<block name=\"hall\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\">\n" +
           strHall + "<channels>\n" + strChannels + "</channels>\n</block>\n" +
           "<mnca name=\"field\" id=\"2\" IP=\"127.0.0.1\" portRead=\"0\"><DCLS>"
           "<DCL name=\"mnca_DIM\" type=\"int\" value=\"2\"/>"
           "<DCL name=\"mnca_D1\" type=\"int\" value=\"3\"/>"
           "<DCL name=\"mnca_D2\" type=\"int\" value=\"3\"/></DCLS>\n" +
           "<block name=\"plot\" id=\"3\" IP=\"127.0.0.1\" portRead=\"0\">\n" + strCell +
           "</block></mnca>\n</system>\n";
}

// The whole path (generated code, library calls, pending times, agents'
// steps, instances made during the run, the automaton's cells and the trace
// writer) gives the trace it gave before the engine was made faster, byte
// for byte.
TEST_F(SampleModelTest, LargeModelTracesAsBefore) {
    velkotest::WriteFileBytes((m_dir / "crowd.velko").string(), CrowdModelXml());
    LoadAndBuild("crowd.velko");
    if (HasFatalFailure()) {
        return;
    }
    const std::string strTrace = RunToEndAndReadTraceBytes(1000.0);
    const std::string strExpected =
        velkotest::ReadFileBytes(std::string(VELKO_TEST_DATA_DIR) + "/enginerun/crowd.trace");
    // Three instances were made and ran to their end beside their template,
    // the automaton's cell grew (14 inputs counted in one state, 13 in the
    // other, an output after each but the last and one at the start), and
    // the model raised no error.
    EXPECT_EQ(sdltest::CountOf(strTrace, "<create "), 3);
    EXPECT_EQ(sdltest::CountOf(strTrace, "process=\"hall_worker\" name=\"done\""), 4);
    EXPECT_EQ(sdltest::CountOf(strTrace, "process=\"field_plot_cell\" name=\"grow\""),
              14 + 13 + 27);
    EXPECT_EQ(strTrace.find("<error>"), std::string::npos);
    if (strTrace != strExpected) {
        const std::string strKept = (fs::temp_directory_path() / "velko_crowd.trace").string();
        velkotest::WriteFileBytes(strKept, strTrace);
        FAIL() << "the trace differs from enginerun/crowd.trace; it is kept in " << strKept;
    }
}

// The small models of data/golden, each run twice in one session as a user
// would (load, build, the parametrization beside it read after the build,
// two runs to their end), give the traces kept beside them byte for byte:
// doubles that six decimals give exactly and ones they would round, carried
// by signals, from a procedure and by created instances; empty and other
// texts of created instances; initial events with and without their
// optional attributes; every layer of an automaton as loaded at each run's
// start. tests/tracediff runs the same models the same way.
TEST_F(SampleModelTest, GoldenDoublesAndTextsOfSignalsProceduresAndInstances) {
    RunGolden("values");
}

// A declared variable is a variable whatever its name: with maker's half
// named "_2", which has no letter, the model loads and its run is the same,
// through the signal that carries it and the procedure call it feeds.
TEST_F(SampleModelTest, GoldenDoublesWhenAVariableIsNamedWithoutALetter) {
    RunGolden("values", [](std::string& strText) {
        EXPECT_EQ(ReplaceAll(strText, "<DCL name=\"half\" type=\"double\" value=\"2.5\"/>",
                             "<DCL name=\"_2\" type=\"double\" value=\"2.5\"/>"),
                  1);
        EXPECT_EQ(ReplaceAll(strText, "<userparam name=\"half\" value=\"half\"/>",
                             "<userparam name=\"half\" value=\"_2\"/>"),
                  1);
        EXPECT_EQ(ReplaceAll(strText, "<param name=\"x\" value=\"half\"/>",
                             "<param name=\"x\" value=\"_2\"/>"),
                  1);
    });
}

TEST_F(SampleModelTest, GoldenInitialEventsWithAndWithoutTheirOptionalAttributes) {
    RunGolden("events");
}

TEST_F(SampleModelTest, GoldenEveryLayerOfAnAutomatonAsLoadedAtEachRun) {
    RunGolden("cells");
}

// A ball bounced with no delay 1,200,000 times, each delivery sent when the
// one before was taken: every delivery is made (the tally is told the
// 1,200,000th), and the Errors tab says once that the model's time does not
// advance. One run: what a run leaves to the next is the other models'
// second runs' to show, and that the line is said once a run, while a loop
// goes on until Stop, an engine test's.
TEST_F(SampleModelTest, GoldenZeroDelayBouncesOfMoreThanAMillionAllDelivered) {
    if (kMillionStepsTooSlow) {
        GTEST_SKIP() << "a million steps under the thread checker";
    }
    RunGolden("bounce", nullptr, 1);
    int nTold = 0;
    for (const auto& line : m_notifier.GetLines()) {
        nTold += line.ePane == NP_ERRORS &&
                 line.strLine ==
                     "The model's time does not advance: the signal ball that court_left sends "
                     "at time 0.000000 is the 1000000th in a row at that time, each sent when "
                     "the one before it was taken. The run goes on; Stop ends it.";
    }
    EXPECT_EQ(nTold, 1);
    EXPECT_FALSE(m_engine.m_bErrorPending);
}

// Texts with control characters: the trace is declared XML 1.1 and holds
// them as references, and a reader gives back each text as it was, in the
// signal that carries it, the procedure call that passes it on and the
// animation record that names it as a mesh.
TEST_F(SampleModelTest, GoldenTextsWithControlCharacters) {
    RunGolden("controls");
    if (HasFatalFailure()) {
        return;
    }
    const std::string strNote =
        "bell\x07unit\x1F"
        "first\x01tab\t";
    const std::string strOdd =
        "esc\x1B"
        "del\x7F"
        "nel\xC2\x85ls\xE2\x80\xA8"
        "end";
    const std::string strLook = "crate\x0C.obj";
    std::string strTrace = velkotest::ReadFileBytes(m_engine.GetTracePath());
    EXPECT_TRUE(strTrace.starts_with("<?xml version='1.1' encoding='utf-8'?>\r\n"));
    ReplaceAll(strTrace, "\r\n", "\n");
    CXMLParser parser;
    ASSERT_NO_THROW(parser.LoadXML(strTrace));
    const CXMLNode events = parser.FindChild(parser.FindChild(nullptr, "Trace"), "Events");
    std::map<std::string, std::vector<std::string>> mapTexts;  // by the record and value's name
    for (const CXMLNode& record : parser.GetChildren(events)) {
        const std::string strElement = record.GetNodeName();
        for (const CXMLNode& param : parser.FindChildren(
                 strElement == "procedurecall" ? record : parser.FindChild(record, "userparams"),
                 strElement == "procedurecall" ? "param" : "userparam")) {
            std::string strName, strValue;
            parser.ReadAttribute(param, "name", strName);
            parser.ReadAttribute(param, "value", strValue);
            mapTexts[strElement + " " + strName].push_back(strValue);
        }
        if (strElement == "EYE_AnimTo") {
            std::string strMesh;
            parser.GetText(parser.FindChild(record, "mesh"), strMesh);
            mapTexts["mesh"].push_back(strMesh);
        }
    }
    using VS = std::vector<std::string>;
    EXPECT_EQ(mapTexts["output note"], VS{strNote});
    EXPECT_EQ(mapTexts["input odd"], VS{strOdd});
    EXPECT_EQ(mapTexts["output s"], (VS{strNote, strOdd}));
    // An input channel puts a signal ahead of those of its time.
    EXPECT_EQ(mapTexts["input s"], (VS{strOdd, strNote}));
    EXPECT_EQ(mapTexts["procedurecall s"], (VS{strNote, strOdd}));
    EXPECT_EQ(mapTexts["mesh"], VS{strLook});
}

// The returns pong sends back, in the trace's order (each appears in pong's
// output record and ping's input record).
std::vector<std::string> ReturnsOf(const std::string& strTrace) {
    std::vector<std::string> vecReturns;
    const std::string strStart = "<userparam name=\"returns\"";
    for (size_t nPos = strTrace.find(strStart); nPos != std::string::npos;
         nPos = strTrace.find(strStart, nPos + 1)) {
        const size_t nValue = strTrace.find("value=\"", nPos) + 7;
        vecReturns.push_back(strTrace.substr(nValue, strTrace.find('"', nValue) - nValue));
    }
    return vecReturns;
}

// A parametrization passed around as data, with values of every kind that
// is no value of its type and odd ones that are: the bad ones are refused
// with a line naming file, variable (or event) and text, the rest reach the
// generated code and the run to the last digit, and nothing in it runs as
// code. A run's values never become the model's: a rebuild after a run
// starts from the values loaded.
TEST_F(SampleModelTest, HostileValuesAreRefusedAndTheRestRunExactly) {
    std::string strModel = velkotest::ReadFileBytes((m_dir / "pingpong.velko").string());
    ASSERT_EQ(ReplaceAll(strModel, "<DCL name=\"total\" type=\"double\" value=\"0.0\"/>",
                         "<DCL name=\"total\" type=\"double\" value=\"0.0\"/>"
                         "<DCL name=\"code\" type=\"int\" value=\"0\"/>"
                         "<DCL name=\"big\" type=\"int\" value=\"-2147483648\"/>"
                         "<DCL name=\"word\" type=\"int\" value=\"+7\"/>"
                         "<DCL name=\"thousand\" type=\"double\" value=\"0\"/>"
                         "<DCL name=\"fine\" type=\"double\" value=\"0.0\"/>"
                         "<DCL name=\"text\" type=\"char*\" value=\"\"/>"),
              1);
    // The ball also carries ping's exact double into pong's speed.
    ASSERT_EQ(ReplaceAll(strModel, "<userparam name=\"hits\" value=\"serves\"/>",
                         "<userparam name=\"hits\" value=\"serves\"/>"
                         "<userparam name=\"speed\" value=\"fine\"/>"),
              1);
    velkotest::WriteFileBytes((m_dir / "pingpong.velko").string(), strModel);
    const std::string strParam = (m_dir / "odd.param").string();
    velkotest::WriteFileBytes(
        strParam,
        "<Parametrization><DCLS>\n"
        "<DCL agent='court_ping' name='period' type='double' value='1,5'/>\n"
        "<DCL agent='court_ping' name='code' type='int' value='010'/>\n"
        "<DCL agent='court_ping' name='thousand' type='double' value='1e3'/>\n"
        "<DCL agent='court_ping' name='big' type='int' value='99999999999'/>\n"
        "<DCL agent='court_ping' name='big' type='int' value='2147483648'/>\n"
        "<DCL agent='court_ping' name='word' type='int' value='1; printf(&quot;x&quot;)'/>\n"
        "<DCL agent='court_ping' name='word' type='int' value='abc'/>\n"
        "<DCL agent='court_ping' name='fine' type='double' value='0.1234567891'/>\n"
        "<DCL agent='court_ping' name='text' type='char*' value='a\"b\\c&#9;d&#10;e'/>\n"
        "<DCL agent='court_ping' name='gone' type='int' value='1'/>\n"
        "</DCLS><ExternalEvents>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='nan'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='inf'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='abc'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime=''/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='0x10'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='1e400'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='-1'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='-0.5'/>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='0.25'>"
        "<param name='hits' type='int' value='010'/></ExternalEvent>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='0.75'>"
        "<param name='hits' type='int' value='1e3'/></ExternalEvent>\n"
        "<ExternalEvent agent='court_pong' type='ball' xTime='5e-1'>"
        "<param name='hits' type='double' value='1e3'/></ExternalEvent>\n"
        "</ExternalEvents></Parametrization>\n");
    CSDLLoader loader;
    loader.m_pEngine = &m_engine;
    ASSERT_FALSE(loader.LoadModel((m_dir / "pingpong.velko").string()).empty());
    ASSERT_EQ(loader.m_strErrorText, "");
    ASSERT_TRUE(loader.LoadParametrization(strParam));
    m_engine.m_strParametrizationFile = strParam;  // as the window sets it
    std::vector<std::string> vecErrors;
    for (const auto& line : m_notifier.GetLines()) {
        if (line.ePane == NP_ERRORS) {
            vecErrors.push_back(line.strLine);
        }
    }
    const std::string strInt = " is not an int (a whole number from -2147483648 to 2147483647)";
    const std::string strDouble =
        " is not a double (a finite number in decimal digits, with an optional point and exponent)";
    const std::string strOf = " of court_ping in " + strParam;
    const std::string strBall = "the event ball of court_pong in " + strParam;
    std::vector<std::string> vecExpected = {
        "The value \"1,5\" of the variable period" + strOf + strDouble +
            ": the variable keeps its value \"1.5\".",
        "The value \"99999999999\" of the variable big" + strOf + strInt +
            ": the variable keeps its value \"-2147483648\".",
        "The value \"2147483648\" of the variable big" + strOf + strInt +
            ": the variable keeps its value \"-2147483648\".",
        "The value \"1; printf(\"x\")\" of the variable word" + strOf + strInt +
            ": the variable keeps its value \"+7\".",
        "The value \"abc\" of the variable word" + strOf + strInt +
            ": the variable keeps its value \"+7\".",
        "Warning: The parametrization " + strParam +
            " sets the variable gone of court_ping, which the model does not declare: it is "
            "skipped."};
    for (const char* pszTime : {"nan", "inf", "abc", "", "0x10", "1e400", "-1", "-0.5"}) {
        vecExpected.push_back("The time \"" + std::string(pszTime) + "\" of " + strBall +
                              " is not a finite number at or after 0: the event is not queued.");
    }
    EXPECT_EQ(vecErrors, vecExpected);
    EXPECT_TRUE(m_notifier.GetBoxes().empty());

    // The generated code holds literals of the values, never the texts.
    ASSERT_EQ(m_engine.CreateCodeFile(""), 1);
    std::string strLog;
    ASSERT_EQ(m_engine.CompileCode("", strLog), 1) << strLog;
    ASSERT_EQ(m_engine.LinkDLL("", strLog), 1) << strLog;
    const std::string strCode = velkotest::ReadFileBytes((m_dir / "odd.c").string());
    for (const char* pszLine :
         {"\tperiod_court_ping = 1.5;\n", "\tcode_court_ping = 10;\n",
          "\tthousand_court_ping = 1000.0;\n", "\tbig_court_ping = -2147483648;\n",
          "\tword_court_ping = 7;\n", "\tfine_court_ping = 0.1234567891;\n",
          "\ttext_court_ping = \"a\\\"b\\\\c\\td\\ne\";\n"}) {
        EXPECT_NE(strCode.find(pszLine), std::string::npos) << pszLine << strCode;
    }
    EXPECT_EQ(strCode.find("printf"), std::string::npos);

    // An initial event given a time before the start in another way is not
    // queued either.
    CSDLProcess* pPong = FindIn(m_engine.m_mapProcesses, std::string("court_pong"));
    ASSERT_NE(pPong, nullptr);
    pPong->m_listInitialEvents.push_back(sdltest::MakeEvent("ball", -1.0));

    // pong takes the balls queued at 0.25 (hits 010 is ten), at 0.5 and at
    // 0.75 (hits 1e3 is no int, whatever type the file gives it: refused
    // where it lands, at the input, hits stays ten), then ping's five serves
    // at the model's own period.
    m_notifier.Clear();
    const std::string strTrace = RunToEndAndReadTraceBytes(100.0);
    const std::string strLate =
        "The initial event ball of court_pong has the time -1.0, which is not a finite number at "
        "or after 0: it is not queued.";
    const auto vecLines = m_notifier.GetLines();
    EXPECT_TRUE(std::any_of(vecLines.begin(), vecLines.end(), [&](const auto& line) {
        return line.ePane == NP_ERRORS && line.strLine == strLate;
    }));
    EXPECT_EQ(ReturnsOf(strTrace),
              (std::vector<std::string>{"10", "10", "20", "20", "30", "30", "31", "31", "33", "33",
                                        "36", "36", "40", "40", "45", "45"}));
    const std::vector<double> vecTimes = InputTimes(strTrace);
    ASSERT_FALSE(vecTimes.empty());
    EXPECT_EQ(vecTimes.front(), 0.25);
    EXPECT_TRUE(std::is_sorted(vecTimes.begin(), vecTimes.end()));
    EXPECT_NE(strTrace.find("The value \"1e3\" of the variable hits of process court_pong" +
                            strInt + ": the variable keeps its value."),
              std::string::npos)
        << strTrace;
    CSDLProcess* pPing = FindIn(m_engine.m_mapProcesses, std::string("court_ping"));
    ASSERT_NE(pPing, nullptr);
    // The library held every value exactly.
    EXPECT_EQ(pPing->GetVariable("fine")->m_dExact, 0.1234567891);
    EXPECT_EQ(pPing->GetVariable("thousand")->m_dExact, 1000.0);
    // pong speeds each ball it takes up by a quarter.
    EXPECT_EQ(pPong->GetVariable("speed")->m_dExact, 0.1234567891 * 1.25);
    // The run ended with five serves; the model still starts at none.
    EXPECT_EQ(pPing->GetVariable("serves")->m_strValue, "5");
    ASSERT_EQ(m_engine.CreateCodeFile(""), 1);
    const std::string strRebuilt = velkotest::ReadFileBytes((m_dir / "odd.c").string());
    EXPECT_NE(strRebuilt.find("\tserves_court_ping = 0;\n"), std::string::npos) << strRebuilt;
    EXPECT_NE(strRebuilt.find("\tfine_court_ping = 0.1234567891;\n"), std::string::npos);
    ASSERT_EQ(m_engine.CompileCode("", strLog), 1) << strLog;
    ASSERT_EQ(m_engine.LinkDLL("", strLog), 1) << strLog;
    EXPECT_EQ(ReturnsOf(RunToEndAndReadTraceBytes(100.0)), ReturnsOf(strTrace));
}

// A process inside a block counts the ticks of its own timer; the
// parametrization queues one external event for it before the run starts.
// The event, queued before any agent steps, is as much the process's work as
// the ticks its start transition queues. A second process, in a block
// stepped after the first, only takes pokes.
std::string TimerModelXml() {
    const char* const pszSelf = "self=\"yes\" to=\"\" via=\"\"";
    return Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"timer\">\n"
        "<block name=\"b\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\">\n"
        "<process name=\"p\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\" implementation=\"\">"
        "<DCLS><DCL name=\"count\" type=\"int\" value=\"0\"/>"
        "<DCL name=\"seen\" type=\"int\" value=\"0\"/></DCLS>\n"
        "<start><start name=\"start\" id=\"1\"/>"
        "<output name=\"tick\" id=\"2\" %s><param name=\"delay\" value=\"1.0\"/>"
        "<userparam name=\"seen\" value=\"count\"/></output>"
        "<setstate name=\"counting\" id=\"3\"/></start>\n"
        "<state name=\"counting\"><input name=\"tick\" id=\"10\"/>"
        "<task name=\"inc\" id=\"11\">count = count + 1;</task>"
        "<output name=\"tick\" id=\"12\" %s><param name=\"delay\" value=\"1.0\"/>"
        "<userparam name=\"seen\" value=\"count\"/></output>"
        "<setstate name=\"counting\" id=\"13\"/>"
        "<input name=\"poke\" id=\"20\"/><setstate name=\"counting\" id=\"21\"/>"
        "</state>\n</process>\n</block>\n"
        "<block name=\"c\" id=\"2\" IP=\"127.0.0.1\" portRead=\"0\">\n"
        "<process name=\"q\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\" implementation=\"\">"
        "<start><start name=\"start\" id=\"1\"/><setstate name=\"waiting\" id=\"2\"/></start>\n"
        "<state name=\"waiting\"><input name=\"poke\" id=\"10\"/>"
        "<setstate name=\"waiting\" id=\"11\"/></state>\n</process>\n</block>\n</system>\n",
        pszSelf, pszSelf);
}

TEST_F(SampleModelTest, ExternalEventsFromAParametrizationRunWithTheModelsOwn) {
    velkotest::WriteFileBytes((m_dir / "timer.velko").string(), TimerModelXml());
    // The second file also holds an event that names no process, skipped
    // without holding the run up, and one without a time, which runs at the
    // start.
    velkotest::WriteFileBytes((m_dir / "poke.param").string(),
                              "<Parametrization><DCLS/><ExternalEvents>"
                              "<ExternalEvent agent='b_p' type='poke' xTime='2.5'/>"
                              "</ExternalEvents></Parametrization>");
    velkotest::WriteFileBytes((m_dir / "reset.param").string(),
                              "<Parametrization><DCLS/><ExternalEvents>"
                              "<ExternalEvent agent='b_p' type='poke' xTime='2.5'>"
                              "<param name='count' type='int' value='100'/></ExternalEvent>"
                              "<ExternalEvent agent='nobody' type='poke' xTime='1.5'/>"
                              "<ExternalEvent agent='c_q' type='poke' xTime='0.5'/>"
                              "<ExternalEvent agent='c_q' type='poke'/>"
                              "</ExternalEvents></Parametrization>");
    for (const char* pszParam : {"poke.param", "reset.param"}) {
        SCOPED_TRACE(pszParam);
        CSDLLoader loader;
        loader.m_pEngine = &m_engine;
        ASSERT_FALSE(loader.LoadModel((m_dir / "timer.velko").string()).empty());
        ASSERT_EQ(loader.GetErrorLog(), "");
        ASSERT_TRUE(loader.LoadParametrization((m_dir / pszParam).string()));
        ASSERT_EQ(m_engine.CreateCodeFile(""), 1);
        std::string strLog;
        ASSERT_EQ(m_engine.CompileCode("", strLog), 1) << strLog;
        ASSERT_EQ(m_engine.LinkDLL("", strLog), 1) << strLog;
        const std::string strTrace = RunToEndAndReadTraceBytes(5.5);
        // Ticks at 1 to 5 and the poke at 2.5 (and, in the second file, q's
        // two, at 0 and 0.5).
        const bool bReset = std::string(pszParam) == "reset.param";
        EXPECT_EQ(sdltest::CountOf(strTrace, "process=\"b_p\" name=\"tick\""), 5 * 2 + 1);
        EXPECT_EQ(sdltest::CountOf(strTrace, "<input "), bReset ? 8 : 6);
        // Every input in time order: the tick at 1 waits for q's pokes, which
        // are known before the first step.
        const std::vector<double> vecTimes = InputTimes(strTrace);
        EXPECT_TRUE(std::is_sorted(vecTimes.begin(), vecTimes.end())) << strTrace;
        // Each tick carries the count; the poke's parameter sets it between
        // the second and the third tick.
        std::vector<std::string> vecSeen;
        for (size_t nPos = strTrace.find("<output "); nPos != std::string::npos;
             nPos = strTrace.find("<output ", nPos + 1)) {
            const size_t nValue =
                strTrace.find("value=\"", strTrace.find("name=\"seen\"", nPos)) + 7;
            vecSeen.push_back(strTrace.substr(nValue, strTrace.find('"', nValue) - nValue));
        }
        EXPECT_EQ(vecSeen, bReset ? (std::vector<std::string>{"0", "1", "2", "101", "102", "103"})
                                  : (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
        EXPECT_EQ(strTrace.find("<error>"), std::string::npos);
    }
}

// z ticks every time unit; at its first tick its task makes d the
// difference of two infinities, which is no number, and e a time before its
// clock, and it sends itself three signals that cannot be sent: one with d as
// delay, one with the literal delay -3 and one with e. q, stepped before z,
// tocks every 2.5.
std::string UnsendableDelayModelXml() {
    const char* const pszSelf = "self=\"yes\" to=\"\" via=\"\"";
    return Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"nan\">\n"
        "<block name=\"b\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\">\n"
        "<process name=\"z\" id=\"1\" IP=\"127.0.0.1\" portRead=\"0\" implementation=\"\">"
        "<DCLS><DCL name=\"d\" type=\"double\" value=\"0.0\"/>"
        "<DCL name=\"e\" type=\"double\" value=\"0.0\"/></DCLS>\n"
        "<start><start name=\"start\" id=\"1\"/>"
        "<output name=\"tick\" id=\"2\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"first\" id=\"3\"/></start>\n"
        "<state name=\"first\"><input name=\"tick\" id=\"10\"/>"
        "<task name=\"huge\" id=\"11\">d = 1e308 * 10 - 1e308 * 10; e = -1e-9;</task>"
        "<output name=\"tick\" id=\"12\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<output name=\"bad\" id=\"13\" %s><param name=\"delay\" value=\"d\"/></output>"
        "<output name=\"back\" id=\"15\" %s><param name=\"delay\" value=\"-3\"/></output>"
        "<output name=\"late\" id=\"16\" %s><param name=\"delay\" value=\"e\"/></output>"
        "<setstate name=\"ticking\" id=\"14\"/></state>\n"
        "<state name=\"ticking\"><input name=\"tick\" id=\"20\"/>"
        "<output name=\"tick\" id=\"21\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"ticking\" id=\"22\"/>"
        "<input name=\"bad\" id=\"23\"/><setstate name=\"ticking\" id=\"24\"/>"
        "<input name=\"back\" id=\"25\"/><setstate name=\"ticking\" id=\"26\"/>"
        "<input name=\"late\" id=\"27\"/><setstate name=\"ticking\" id=\"28\"/></state>\n"
        "</process>\n"
        "<process name=\"q\" id=\"2\" IP=\"127.0.0.1\" portRead=\"0\" implementation=\"\">"
        "<start><start name=\"start\" id=\"1\"/>"
        "<output name=\"tock\" id=\"2\" %s><param name=\"delay\" value=\"2.5\"/></output>"
        "<setstate name=\"idle\" id=\"3\"/></start>\n"
        "<state name=\"idle\"><input name=\"tock\" id=\"10\"/>"
        "<output name=\"tock\" id=\"11\" %s><param name=\"delay\" value=\"2.5\"/></output>"
        "<setstate name=\"idle\" id=\"12\"/></state>\n</process>\n</block>\n</system>\n",
        pszSelf, pszSelf, pszSelf, pszSelf, pszSelf, pszSelf, pszSelf, pszSelf);
}

// A signal whose delay is no number, or gives a time before its sender's
// clock (by however little), is a model error of its sender naming the
// signal and the delay; the run goes on to its end with every other event in
// time order, and no clock goes back.
TEST_F(SampleModelTest, ADelayThatIsNotANumberOrBeforeTheClockIsAModelErrorAndTheRunGoesOn) {
    velkotest::WriteFileBytes((m_dir / "nan.velko").string(), UnsendableDelayModelXml());
    LoadAndBuild("nan.velko");
    if (HasFatalFailure()) {
        return;
    }
    const std::string strTrace = RunToEndAndReadTraceBytes(20.0);
    EXPECT_TRUE(m_engine.m_bErrorPending);
    EXPECT_EQ(sdltest::CountOf(strTrace, "<error>"), 3);
    const std::string strPrefix = "<error>Error on process b_z for tick event on time 1.000000. ";
    for (const std::string strError :
         {"The signal bad is not sent: its delay d gives a time that is not a number.",
          "The signal back is not sent: its delay -3 (-3) gives a time before its "
          "sender's clock 1.000000.",
          "The signal late is not sent: its delay e (-1e-09) gives a time before its "
          "sender's clock 1.000000."}) {
        EXPECT_NE(strTrace.find(strPrefix + strError + "</error>"), std::string::npos)
            << strError << "\n"
            << strTrace;
    }
    // z's ticks at 1 to 19 and q's tocks at 2.5 to 17.5, all in time order;
    // the signals that were not sent are never taken.
    const std::vector<double> vecTimes = InputTimes(strTrace);
    EXPECT_EQ(vecTimes.size(), 19u + 7u);
    EXPECT_TRUE(std::is_sorted(vecTimes.begin(), vecTimes.end())) << strTrace;
    for (const char* pszInput :
         {"name=\"bad\" id=\"23\"", "name=\"back\" id=\"25\"", "name=\"late\" id=\"27\""}) {
        EXPECT_EQ(sdltest::CountOf(strTrace, pszInput), 0) << pszInput;
    }
}

}  // namespace
