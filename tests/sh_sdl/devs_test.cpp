// The DEVS import: a converted model loads and runs through several states
// against the in-memory model library; the written operations, states and
// channels; inputs that cannot be converted.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sh_aux/notifier.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlchannelout.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdlprocess.h"
#include "support/fakemodellibrary.h"
#include "support/recordingnotifier.h"

namespace {

namespace fs = std::filesystem;

const char* const IDLE = "count='int' phase='idle' ";
const char* const BUSY = "count='int' phase='busy' ";

std::string ReadAll(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<const CSDLOperation*> Chain(const CSDLOperation* pOperation) {
    std::vector<const CSDLOperation*> vec;
    for (; pOperation; pOperation = pOperation->m_pNext) {
        vec.push_back(pOperation);
    }
    return vec;
}

class DevsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_engine.SetNotifier(&m_notifier);
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        m_pLibrary = pLibrary.get();
        m_engine.SetModelLibrary(std::move(pLibrary));
        m_loader.m_pEngine = &m_engine;
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = fs::temp_directory_path() /
                   (std::string("velko_devs_") + pInfo->name() + "_" + std::to_string(getpid()));
        fs::create_directories(m_folder);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }

    // The fixture copied to the scratch folder, where its conversion goes.
    std::string CopyFixture(const std::string& strName) {
        const fs::path target = m_folder / strName;
        fs::copy_file(fs::path(VELKO_TEST_DATA_DIR) / "devs" / strName, target);
        return target.string();
    }
    std::string Write(const std::string& strName, const std::string& strText) {
        const fs::path path = m_folder / strName;
        std::ofstream(path, std::ios::binary) << strText;
        return path.string();
    }
    // Converts and loads; the load must be clean.
    void ConvertAndLoad(const std::string& strInput) {
        const std::string strModel = m_loader.ImportDEVS(strInput);
        ASSERT_EQ(strModel, strInput + ".sdl") << m_loader.m_strSideFileError;
        ASSERT_FALSE(m_loader.LoadModel(strModel).empty());
        ASSERT_EQ(m_loader.m_strErrorText, "");
        ASSERT_EQ(m_loader.GetErrorLog(), "");
        // No two decisions or tasks share a library branch.
        ASSERT_EQ(m_loader.m_strWarningText, "");
    }
    CSDLProcess* Process(const std::string& strName) {
        CSDLProcess* pProcess = FindIn(m_engine.m_mapProcesses, strName);
        EXPECT_NE(pProcess, nullptr) << strName;
        return pProcess;
    }
    // Every decision takes its true branch.
    void AnswerDecisionsTrue() {
        for (const auto& [strCodeId, pOperation] : m_engine.m_mapOperations) {
            if (const auto* pDecision = dynamic_cast<const CSDLOperationDecision*>(pOperation)) {
                const int nTrue = pDecision->m_nIfTrue;
                m_pLibrary->SetDecision(pDecision->GetLibraryKey(),
                                        [nTrue](CFakeModelLibrary&) { return nTrue; });
            }
        }
    }

    CRecordingNotifier m_notifier;
    CSDLEngine m_engine;
    CFakeModelLibrary* m_pLibrary = nullptr;
    CSDLLoader m_loader;
    fs::path m_folder;
};

TEST_F(DevsTest, ConvertedModelLoadsAndRunsThroughItsStates) {
    const std::string strInput = CopyFixture("pair.devs");
    // An earlier conversion is replaced.
    Write("pair.devs.sdl", "stale");
    ConvertAndLoad(strInput);
    EXPECT_EQ(m_engine.m_strSystemName, "pair");

    CSDLProcess* pGen = Process("gen");
    CSDLProcess* pProc = Process("proc");
    ASSERT_TRUE(pGen && pProc);
    // The declared procedure loads with its (empty) body.
    const CSDLProcedure* pNext = pGen->GetProcedure("nextCount");
    ASSERT_NE(pNext, nullptr);
    EXPECT_TRUE(pNext->m_bHasBody);
    EXPECT_EQ(pNext->m_pBody, nullptr);
    // Only the first signal of the channel is converted.
    const CSDLChannelOut* pJobs = pGen->GetOutputChannel("jobs");
    ASSERT_NE(pJobs, nullptr);
    EXPECT_EQ(pJobs->m_mapSignals.size(), 1u);
    EXPECT_EQ(pJobs->m_mapSignals.count("job"), 1u);

    // Every state change leads to a state of the model or to a state
    // without transitions that the model names ("done").
    std::set<std::string> setTargets;
    for (const auto& [strState, pFirst] : pGen->m_mapStates) {
        for (const CSDLOperation* pOperation : Chain(pFirst)) {
            if (pOperation->m_strType == "setstate") {
                setTargets.insert(
                    static_cast<const CSDLOperationSetState*>(pOperation)->m_strState);
            }
        }
    }
    EXPECT_EQ(setTargets, (std::set<std::string>{IDLE, BUSY, "count='int' phase='done' "}));

    m_pLibrary->DeclareString(pGen->GetVariableIdentifier("phase"));
    m_pLibrary->DeclareInt(pGen->GetVariableIdentifier("count"));
    m_pLibrary->DeclareString(pProc->GetVariableIdentifier("phase"));
    AnswerDecisionsTrue();
    // The run is started by an initial event of the parametrization.
    ASSERT_TRUE(m_loader.LoadParametrization(
        (fs::path(VELKO_TEST_DATA_DIR) / "devs" / "pair.param").string()));
    ASSERT_EQ(pGen->m_listInitialEvents.size(), 1u);

    CSDLAgent* pRoot = m_engine.GetRootAgent();
    pRoot->Initialize();
    EXPECT_EQ(pGen->m_strCurrentState, IDLE);
    EXPECT_EQ(pProc->m_strCurrentState, "phase='work' ");
    for (const auto& [strKey, pProcess] : m_engine.m_mapProcesses) {
        for (const auto& pEvent : pProcess->m_listInitialEvents) {
            pProcess->m_pInternalChannel->AddEvent(std::make_unique<CSDLEvent>(*pEvent));
        }
    }

    // idle --INT1--> busy (after 0.5) --INT2--> idle (0.5 later) --INT1-->
    // busy (2 later): each internal transition schedules the next one.
    const std::vector<std::pair<std::string, double>> vecExpected = {
        {BUSY, 0.5}, {IDLE, 1.0}, {BUSY, 3.0}, {IDLE, 3.5}};
    for (const auto& [strState, dTime] : vecExpected) {
        pRoot->Step();
        ASSERT_FALSE(m_engine.m_bErrorPending) << pGen->m_strError << pProc->m_strError;
        EXPECT_EQ(pGen->m_strCurrentState, strState);
        EXPECT_DOUBLE_EQ(pGen->m_dClock, dTime);
    }
    // The busy state's task ran the procedure's assignment.
    const auto itTask = std::find_if(m_pLibrary->m_vecCalls.begin(), m_pLibrary->m_vecCalls.end(),
                                     [](const std::string& s) { return s.rfind("Task ", 0) == 0; });
    EXPECT_NE(itTask, m_pLibrary->m_vecCalls.end());
    EXPECT_EQ(pProc->m_strCurrentState, "phase='work' ");
}

TEST_F(DevsTest, OperationsOfMergedStatesHaveTheirOwnIds) {
    const std::string strInput = CopyFixture("pair.devs");
    ConvertAndLoad(strInput);
    CSDLProcess* pGen = Process("gen");
    ASSERT_NE(pGen, nullptr);

    // idle: one internal function of two conditions. Both start with the
    // same input; the first decision's false branch is the second decision;
    // the second decision's false branch is no operation of the state.
    const std::vector<const CSDLOperation*> vecIdle = Chain(pGen->GetStateOperation(IDLE));
    std::vector<std::string> vecTypes;
    for (const CSDLOperation* pOperation : vecIdle) {
        vecTypes.push_back(pOperation->m_strType + ":" + pOperation->m_strName);
    }
    EXPECT_EQ(vecTypes,
              (std::vector<std::string>{"input:INT1", "decision:", "task:", "output:INT2",
                                        "setstate:count='int' phase='busy' ", "input:INT1",
                                        "decision:", "setstate:count='int' phase='done' "}));
    EXPECT_EQ(vecIdle[0]->m_nId, vecIdle[5]->m_nId);
    const auto* pFirst = static_cast<const CSDLOperationDecision*>(vecIdle[1]);
    const auto* pSecond = static_cast<const CSDLOperationDecision*>(vecIdle[6]);
    EXPECT_EQ(pFirst->m_nIfTrue, vecIdle[2]->m_nId);
    EXPECT_EQ(pFirst->m_nIfFalse, pSecond->m_nId);
    EXPECT_EQ(pSecond->m_nIfTrue, vecIdle[7]->m_nId);
    EXPECT_EQ(pFirst->m_strCondition, "count < 3");
    // The time advance of the target state is the delay of its next
    // internal event.
    const auto* pOutput = static_cast<const CSDLOperationOutput*>(vecIdle[3]);
    EXPECT_EQ(pOutput->m_strSelf, "yes");
    EXPECT_EQ(pOutput->m_pSignal->m_strDelay, "0.5");

    // busy holds the internal function, then the external one; no id of
    // the state is used twice except for a function's repeated input.
    std::set<int> setIds;
    const std::vector<const CSDLOperation*> vecBusy = Chain(pGen->GetStateOperation(BUSY));
    ASSERT_EQ(vecBusy.size(), 8u);
    EXPECT_EQ(vecBusy[0]->m_strName, "INT2");
    EXPECT_EQ(vecBusy[2]->m_strName, "INT1");
    EXPECT_EQ(vecBusy[4]->m_strName, "EXT1");
    EXPECT_EQ(vecBusy[6]->m_strType, "task");
    for (const CSDLOperation* pOperation : vecBusy) {
        EXPECT_TRUE(setIds.insert(pOperation->m_nId).second) << pOperation->m_nId;
    }
    for (const CSDLOperation* pOperation : vecIdle) {
        if (pOperation->m_strType != "input") {
            EXPECT_EQ(setIds.count(pOperation->m_nId), 0u);
        }
    }
    EXPECT_EQ(setIds.count(pSecond->m_nIfFalse), 0u);
    for (const CSDLOperation* pOperation : vecIdle) {
        EXPECT_NE(pOperation->m_nId, pSecond->m_nIfFalse);
    }

    // A state with external transitions only comes after the states with
    // internal ones: proc starts in work, not in wait.
    const std::string strText = ReadAll(strInput + ".sdl");
    const size_t nProc = strText.find("name=\"proc\"");
    ASSERT_NE(nProc, std::string::npos);
    const size_t nWork = strText.find("phase='work' ", nProc);
    const size_t nWait = strText.find("<state name = \"phase='wait' \">", nProc);
    ASSERT_NE(nWork, std::string::npos);
    ASSERT_NE(nWait, std::string::npos);
    EXPECT_LT(nWork, nWait);
}

// An atomic model of a lamp that is on, off (passive) or dim (no time
// advance); taOff is the time advance of off, taOn that of on.
std::string Lamp(const std::string& strName, const std::string& strTaOff,
                 const std::string& strTaOn) {
    return R"(<atomicModel name=")" + strName + R"(">
  <stateVariables><variable name="phase" type="char*"/><variable name="t" type="Real"/></stateVariables>
  <internalFunctions>
    <function phase="'on'">
      <condition><code>t &lt; 1</code><body><setstate phase="'off'"/></body></condition>
      <condition><code>t &gt;= 1</code><body><setstate phase="'dim'"/></body></condition>
    </function>
    <function phase="'off'"><condition><code>1</code><body><setstate phase="'on'"/></body></condition></function>
    <function phase="'dim'"><condition><code>1</code><body><setstate phase="'on'"/></body></condition></function>
  </internalFunctions>
  <taFunctions>
    <function phase="'off'"><condition><body><return value=")" +
           strTaOff + R"("/></body></condition></function>
    <function phase="'on'"><condition><body><return value=")" +
           strTaOn +
           R"("/></body></condition><condition><body><return value="9"/></body></condition></function>
  </taFunctions>
</atomicModel>)";
}

// Coupled models inside the top one become blocks; a passive state never
// fires by itself; what is not converted is named; what cannot be expressed
// is refused with the reason.
TEST_F(DevsTest, NestedCoupledModelsBecomeBlocksAndPassiveStatesWait) {
    const std::string strInput = Write("nested.devs", R"(<DEVSModel><coupledModel name="top">
<channels><channel name="link" start="left" end="right" dual="no"><event name="a"/><event name="b"/></channel></channels>
<coupledModel name="left"><channels/>)" + Lamp("lamp", "inf", "2") +
                                                          Lamp("lamp3", "'INF';", "t") + R"(
</coupledModel>
<coupledModel name="right"><coupledModel name="inner">)" + Lamp("lamp2", "1e400", "0.25") +
                                                          R"(
</coupledModel></coupledModel>
</coupledModel></DEVSModel>)");
    // Two atomic models of one block with the same states: no decision or
    // task shares a branch of the model library (checked by the load).
    ConvertAndLoad(strInput);
    CSDLProcess* pLamp = Process("left_lamp");
    CSDLProcess* pDeep = Process("right_inner_lamp2");
    ASSERT_TRUE(pLamp && Process("left_lamp3") && pDeep);
    ASSERT_NE(pDeep->m_pParent, nullptr);
    EXPECT_EQ(pDeep->m_pParent->m_strName, "inner");
    EXPECT_NE(m_engine.GetRootAgent()->GetBlock("left")->GetOutputChannel("link"), nullptr);

    // Only finite time advances and numeric state variables become delays.
    std::multiset<std::string> setDelays;
    for (const auto& [strKey, pProcess] : m_engine.m_mapProcesses) {
        for (const auto& [strState, pFirst] : pProcess->m_mapStates) {
            for (const CSDLOperation* pOperation : Chain(pFirst)) {
                if (pOperation->m_strType == "output") {
                    setDelays.insert(
                        static_cast<const CSDLOperationOutput*>(pOperation)->m_pSignal->m_strDelay);
                }
            }
        }
    }
    EXPECT_EQ(setDelays, (std::multiset<std::string>{"0.25", "0.25", "2", "2", "t", "t"}));

    // on --INT1--> off: off is passive, nothing more happens.
    for (const auto& [strKey, pProcess] : m_engine.m_mapProcesses) {
        m_pLibrary->DeclareString(pProcess->GetVariableIdentifier("phase"));
        m_pLibrary->DeclareDouble(pProcess->GetVariableIdentifier("t"));
    }
    AnswerDecisionsTrue();
    CSDLAgent* pRoot = m_engine.GetRootAgent();
    pRoot->Initialize();
    const std::string strOn = pLamp->m_strCurrentState;
    EXPECT_NE(strOn.find("phase='on'"), std::string::npos) << strOn;
    auto pEvent = std::make_unique<CSDLEvent>();
    pEvent->m_strName = "INT1";
    pEvent->m_dExecutionTime = 1.0;
    pLamp->m_pInternalChannel->AddEvent(std::move(pEvent));
    for (int i = 0; i < 3; ++i) {
        pRoot->Step();
    }
    EXPECT_FALSE(m_engine.m_bErrorPending) << pRoot->GetErrorReport();
    EXPECT_NE(pLamp->m_strCurrentState.find("phase='off'"), std::string::npos);
    EXPECT_TRUE(pLamp->m_pInternalChannel->IsEmpty());
    EXPECT_DOUBLE_EQ(pLamp->m_dClock, 1.0);

    // The state without a time advance, the second signal of the channel
    // and the time advance's second condition are named, once each.
    const std::string& strWarnings = m_loader.m_strDEVSWarnings;
    for (const char* pszLamp : {"lamp ", "lamp3 ", "lamp2 "}) {
        EXPECT_NE(strWarnings.find(std::string("phase='dim' of the atomic model ") + pszLamp +
                                   "has no time advance"),
                  std::string::npos)
            << strWarnings;
    }
    EXPECT_NE(strWarnings.find("The channel link of the coupled model top carries only its first "
                               "signal, a, in the converted model; b is not converted."),
              std::string::npos)
        << strWarnings;
    EXPECT_NE(strWarnings.find("has 2 conditions; only the first is converted"), std::string::npos);
    const auto& vecLines = m_notifier.GetLines();
    EXPECT_EQ(
        std::count_if(vecLines.begin(), vecLines.end(),
                      [](const auto& line) { return line.strLine.rfind("Warning: ", 0) == 0; }),
        std::count(strWarnings.begin(), strWarnings.end(), '\n'));
    EXPECT_EQ(std::count(strWarnings.begin(), strWarnings.end(), '\n'), 7);

    // Refused: atomic and coupled models side by side (the model reader
    // would drop the processes), and time advances that are no time.
    const std::string strMixed =
        Write("mixed.devs", "<DEVSModel><coupledModel name=\"top\">" + Lamp("lamp", "inf", "1") +
                                "<coupledModel name=\"sub\"/></coupledModel></DEVSModel>");
    EXPECT_EQ(m_loader.ImportDEVS(strMixed), "");
    EXPECT_NE(m_loader.m_strSideFileError.find(
                  "the coupled model top holds both atomic models and coupled models"),
              std::string::npos)
        << m_loader.m_strSideFileError;
    // Two atomic models of one name would be one process.
    m_loader.ImportDEVS(
        Write("twice.devs", "<DEVSModel><coupledModel name=\"top\">" + Lamp("lamp", "inf", "1") +
                                Lamp("lamp", "inf", "2") + "</coupledModel></DEVSModel>"));
    EXPECT_NE(m_loader.m_strSideFileError.find("holds two atomic models named lamp"),
              std::string::npos);
    for (const char* pszAdvance : {"-1", "abc", "nan", "phase", "0x10"}) {
        const std::string strBad =
            Write("bad.devs", "<DEVSModel><coupledModel name=\"top\">" +
                                  Lamp("lamp", "inf", pszAdvance) + "</coupledModel></DEVSModel>");
        EXPECT_EQ(m_loader.ImportDEVS(strBad), "") << pszAdvance;
        EXPECT_NE(m_loader.m_strSideFileError.find(std::string("the time advance \"") + pszAdvance +
                                                   "\" of the state t='Real' phase='on' of the "
                                                   "atomic model lamp is neither"),
                  std::string::npos)
            << m_loader.m_strSideFileError;
        EXPECT_EQ(m_loader.m_strDEVSWarnings, "");
    }
}

// Time advances of 0 leading back to each other: at the chain's millionth
// the Errors tab says so, once, and the model goes on as it is.
TEST_F(DevsTest, TimeAdvancesOfZeroInALoopAreToldOnceAndGoOn) {
    ConvertAndLoad(Write("zero.devs", "<DEVSModel><coupledModel name=\"zero\">" +
                                          Lamp("spin", "0", "0") + "</coupledModel></DEVSModel>"));
    CSDLProcess* pSpin = Process("spin");
    m_pLibrary->DeclareString(pSpin->GetVariableIdentifier("phase"));
    m_pLibrary->DeclareDouble(pSpin->GetVariableIdentifier("t"));
    AnswerDecisionsTrue();
    m_engine.GetRootAgent()->Initialize();
    pSpin->m_pInternalChannel->AddEvent(std::make_unique<CSDLEvent>());
    pSpin->m_pInternalChannel->GetHeadEvent()->m_strName = "INT1";
    pSpin->m_pInternalChannel->GetHeadEvent()->m_nSameTimeChain = kLongSameTimeChain - 10;
    for (int nSteps = 0; nSteps < 100; ++nSteps) {
        m_engine.GetRootAgent()->Step();
        ASSERT_FALSE(pSpin->m_pInternalChannel->IsEmpty()) << nSteps;
    }
    EXPECT_FALSE(m_engine.m_bErrorPending);
    EXPECT_EQ(pSpin->m_strError, "");
    // Beside the import's warnings, one line.
    std::vector<std::string> vecTold;
    for (const auto& line : m_notifier.GetLines()) {
        if (line.ePane == NP_ERRORS && line.strLine.starts_with("The model's time")) {
            vecTold.push_back(line.strLine);
        }
    }
    EXPECT_EQ(vecTold, std::vector<std::string>{
                           "The model's time does not advance: the signal INT1 that spin sends at "
                           "time 0.000000 is the 1000000th in a row at that time, each sent when "
                           "the one before it was taken. The run goes on; Stop ends it."});
}

TEST_F(DevsTest, CoupledModelWithoutAtomicModelsGivesChannelsOnly) {
    const std::string strInput =
        Write("empty.devs",
              "<?xml version=\"1.0\"?>\n<DEVSModel>\n<coupledModel name=\"a&amp;b\">\n"
              "<channels>\n<channel name=\"c\" start=\"x\" end=\"y\" dual=\"yes\">"
              "<event name=\"e1\"/><event name=\"e2\"/></channel>\n</channels>\n"
              "</coupledModel>\n</DEVSModel>\ntrailing text that is not read <");
    const std::string strOutput = m_loader.ConvertDEVSModel(strInput);
    ASSERT_EQ(strOutput, strInput + ".sdl") << m_loader.m_strSideFileError;
    EXPECT_EQ(ReadAll(strOutput),
              "<?xml version=\"1.0\"?>\n"
              "<system id=\"0\" name=\"a&amp;b\" implementation=\"\" IP=\"\" portRead=\"\">\n"
              "<channels>\n"
              "<channel name=\"c\" start=\"x\" end=\"y\" dual=\"yes\">\n"
              "<event name=\"e1\"></event>\n"
              "</channel>\n"
              "</channels>\n"
              "</system>");
}

TEST_F(DevsTest, InputsThatCannotBeConvertedGiveNoModel) {
    EXPECT_EQ(m_loader.ImportDEVS((m_folder / "missing.devs").string()), "");
    EXPECT_NE(m_loader.m_strSideFileError, "");

    const std::string strBroken = Write("broken.devs", "<DEVSModel><coupledModel name=\"x\">");
    EXPECT_EQ(m_loader.ImportDEVS(strBroken), "");
    EXPECT_FALSE(fs::exists(strBroken + ".sdl"));

    const std::string strNoCoupled = Write("nocoupled.devs", "<DEVSModel></DEVSModel>");
    EXPECT_EQ(m_loader.ImportDEVS(strNoCoupled), "");
    EXPECT_NE(m_loader.m_strSideFileError.find("coupledModel"), std::string::npos);

    // A condition without its target state.
    const std::string strNoTarget =
        Write("notarget.devs",
              "<DEVSModel><coupledModel name=\"m\"><atomicModel name=\"a\"><stateVariables>"
              "<variable name=\"s\" type=\"int\"/></stateVariables><internalFunctions>"
              "<function s=\"1\"><condition><code>1</code><body></body></condition></function>"
              "</internalFunctions></atomicModel></coupledModel></DEVSModel>");
    EXPECT_EQ(m_loader.ImportDEVS(strNoTarget), "");
    EXPECT_NE(m_loader.m_strSideFileError.find("setstate"), std::string::npos);
    EXPECT_FALSE(fs::exists(strNoTarget + ".sdl"));
    EXPECT_EQ(m_notifier.GetLines().size(), 4u);
}

}  // namespace

namespace {

// A converted model whose state variables are numbers builds with gcc: its
// real numbers are doubles and its numeric assignments are C values.
TEST_F(DevsTest, NumericStateVariablesBuildIntoAModelLibrary) {
    const std::string strInput = Write("timer.devs", R"(<?xml version="1.0"?>
<DEVSModel>
  <coupledModel name="timer">
    <atomicModel name="clock">
      <stateVariables>
        <variable name="sigma" type="Real"/>
        <variable name="ticks" type="int"/>
      </stateVariables>
      <internalFunctions>
        <function sigma="1e3" ticks="0">
          <condition>
            <code>ticks &lt; 3</code>
            <body><setstate sigma="'inf'" ticks="010"/></body>
          </condition>
        </function>
      </internalFunctions>
      <taFunctions>
        <function sigma="1.5" ticks="0"><condition><body><return value="1.5;"/></body></condition></function>
      </taFunctions>
    </atomicModel>
  </coupledModel>
</DEVSModel>
)");
    ConvertAndLoad(strInput);
    CSDLProcess* pClock = Process("clock");
    ASSERT_NE(pClock, nullptr);
    ASSERT_NE(pClock->GetVariable("sigma"), nullptr);
    EXPECT_EQ(pClock->GetVariable("sigma")->m_strType, "double");
    const std::string strModel = ReadAll(strInput + ".sdl");
    EXPECT_NE(strModel.find(">ticks=10;sigma=(1.0/0.0);ticks=0;sigma=1000.0;<"), std::string::npos);
    EXPECT_EQ(strModel.find("ticks=\""), std::string::npos) << "a quoted number";
    EXPECT_EQ(strModel.find("type=\"Real\""), std::string::npos);

    m_engine.m_strCodeBasePath = (m_folder / "timer").string();
    ASSERT_EQ(m_engine.CreateCodeFile(m_engine.m_strCodeBasePath), 1);
    std::string strLog;
    EXPECT_EQ(m_engine.CompileCode(m_engine.m_strCodeBasePath, strLog), 1) << strLog;
    std::string strText = ReadAll(strInput);
    EXPECT_EQ(
        m_loader.ImportDEVS(Write("bad.devs", strText.replace(strText.find("010"), 3, "1,5"))), "");
    EXPECT_NE(m_loader.m_strSideFileError.find("\"1,5\" of the state variable ticks in a setstate"),
              std::string::npos);
}

}  // namespace
