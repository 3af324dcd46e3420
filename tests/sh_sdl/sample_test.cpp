// The sample model of examples/ from its files to a complete trace: load,
// generate, compile and link with the real gcc, run on the simulation thread
// to its end, then read the trace back.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/xmlparser.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"

namespace fs = std::filesystem;

namespace {

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
    void LoadAndBuild() {
        CSDLLoader loader;
        loader.m_pEngine = &m_engine;
        const std::string strText = loader.LoadModel((m_dir / "pingpong.velko").string());
        ASSERT_FALSE(strText.empty());
        ASSERT_EQ(loader.m_strErrorText, "");
        ASSERT_EQ(loader.GetErrorLog(), "");
        ASSERT_EQ(m_engine.CreateCodeFile(""), 1);
        std::string strLog;
        ASSERT_EQ(m_engine.CompileCode("", strLog), 1) << strLog;
        ASSERT_EQ(m_engine.LinkDLL("", strLog), 1) << strLog;
    }

    // Runs to the end and returns the records of the trace's Events element.
    std::vector<CTraceRecord> RunAndReadTrace() {
        m_engine.m_bExecutionTrace = true;
        m_engine.m_bRepresentationTrace = true;
        m_engine.m_nEndMode = EM_BY_TIME;
        m_engine.m_dEndTime = 100.0;
        m_engine.m_strExperimentLabel = "main model";
        m_engine.StartThread();
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!m_engine.m_bInitialized && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::string strName;
        EXPECT_EQ(m_engine.GetModelName(strName), MC_OK);
        EXPECT_EQ(strName, "pingpong");
        m_engine.Run();
        EXPECT_TRUE(m_engine.WaitForRunEnd(20000)) << "the run did not end";
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

}  // namespace
