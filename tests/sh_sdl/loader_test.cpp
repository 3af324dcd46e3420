// The model reader: the sample model, load failures and their texts, models
// written on Windows, self-including files, replaced objects and the
// channel, procedure and automaton readers.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "sh_aux/notifier.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdloperationcreate.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlprocess.h"
#include "support/recordingnotifier.h"

namespace {

namespace fs = std::filesystem;

// An engine with a recording notifier, a loader and a scratch folder for
// model files written by the test.
class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_engine = std::make_unique<CSDLEngine>();
        m_engine->SetNotifier(&m_notifier);
        m_loader.m_pEngine = m_engine.get();
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = fs::temp_directory_path() /
                   (std::string("velko_loader_") + pInfo->name() + "_" + std::to_string(getpid()));
        fs::create_directories(m_folder);
    }
    void TearDown() override {
        m_engine.reset();
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }

    std::string Write(const std::string& strName, const std::string& strText) {
        const fs::path path = m_folder / strName;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << strText;
        return path.string();
    }
    // A system holding the given elements.
    static std::string System(const std::string& strBody) {
        return "<?xml version=\"1.0\"?>\n<system name=\"s\">\n" + strBody + "\n</system>\n";
    }
    // A process element with the given content.
    static std::string Process(const std::string& strName, const std::string& strBody,
                               const std::string& strIP = "") {
        return "<process name=\"" + strName + "\" id=\"1\" IP=\"" + strIP +
               "\" portRead=\"0\" implementation=\"\">\n" + strBody + "\n</process>";
    }
    bool Loaded(const std::string& strText) const {
        return !strText.empty() && m_loader.m_strErrorText.empty() &&
               m_loader.GetErrorLog().empty();
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> vec;
        for (const auto& box : m_notifier.GetBoxes()) {
            vec.push_back(box.strText);
        }
        return vec;
    }
    CSDLProcess* FindProcess(const std::string& strFullName) const {
        return FindIn(m_engine->m_mapProcesses, strFullName);
    }

    CRecordingNotifier m_notifier;
    std::unique_ptr<CSDLEngine> m_engine;
    CSDLLoader m_loader;
    fs::path m_folder;
};

std::string SamplePath() {
    return std::string(VELKO_SOURCE_DIR) + "/examples/pingpong/pingpong.velko";
}

std::vector<int> ChainIds(const CSDLOperation* pOperation) {
    std::vector<int> vec;
    for (; pOperation; pOperation = pOperation->m_pNext) {
        vec.push_back(pOperation->m_nId);
    }
    return vec;
}

std::set<std::string> Signals(const CSDLChannel* pChannel) {
    std::set<std::string> set;
    for (const auto& [strKey, strValue] : pChannel->m_mapSignals) {
        EXPECT_EQ(strKey, strValue);
        set.insert(strKey);
    }
    return set;
}

// Every entry of the engine's indexes leads into the live tree (ASan turns a
// dangling one into a failure when it is read).
void ExpectIndexesValid(const CSDLEngine& engine) {
    std::set<const void*> setAgents;
    std::vector<const CSDLAgent*> vecStack{engine.GetRootAgent()};
    while (!vecStack.empty()) {
        const CSDLAgent* pAgent = vecStack.back();
        vecStack.pop_back();
        setAgents.insert(pAgent);
        for (const auto& [k, p] : pAgent->m_mapBlocks)
            vecStack.push_back(p.get());
        for (const auto& [k, p] : pAgent->m_mapProcesses)
            vecStack.push_back(p.get());
    }
    for (const auto& [strKey, pBlock] : engine.m_mapBlocks) {
        EXPECT_TRUE(setAgents.count(pBlock)) << strKey;
    }
    for (const auto& [strKey, pProcess] : engine.m_mapProcesses) {
        EXPECT_TRUE(setAgents.count(pProcess)) << strKey;
    }
    for (const auto& [strKey, pOperation] : engine.m_mapOperations) {
        EXPECT_TRUE(setAgents.count(pOperation->m_pOwner)) << strKey;
        EXPECT_EQ(pOperation->GetCodeID(), strKey);
    }
}

// ---- The sample model ---------------------------------------------------------------------

TEST_F(LoaderTest, SampleModelBuildsTreeMapsAndChannels) {
    const std::string strText = m_loader.LoadModel(SamplePath());
    ASSERT_TRUE(Loaded(strText)) << m_loader.m_strErrorText << m_loader.GetErrorLog();
    EXPECT_EQ(strText.rfind("<?xml", 0), 0u);
    EXPECT_TRUE(m_loader.m_strWarningText.empty()) << m_loader.m_strWarningText;
    EXPECT_TRUE(m_notifier.GetBoxes().empty());

    EXPECT_EQ(m_engine->m_strSystemName, "pingpong");
    EXPECT_EQ(m_engine->m_strModelName, "pingpong");
    EXPECT_EQ(m_engine->m_strModelFolder, std::string(VELKO_SOURCE_DIR) + "/examples/pingpong/");
    EXPECT_EQ(m_engine->m_strCodeBasePath, m_engine->m_strModelFolder + "pingpong");
    auto* pRoot = dynamic_cast<CSDLBlock*>(m_engine->GetRootAgent());
    ASSERT_NE(pRoot, nullptr);
    EXPECT_EQ(pRoot->m_strName, "pingpong");
    ASSERT_EQ(pRoot->m_mapBlocks.size(), 1u);
    CSDLBlock* pCourt = pRoot->GetBlock("court");
    ASSERT_NE(pCourt, nullptr);
    EXPECT_EQ(pCourt->m_nPort, 8700);
    EXPECT_EQ(FindIn(m_engine->m_mapBlocks, "0_1"), pCourt);
    EXPECT_EQ(m_engine->m_mapBlocks.size(), 1u);

    CSDLProcess* pPing = FindProcess("court_ping");
    CSDLProcess* pPong = FindProcess("court_pong");
    ASSERT_NE(pPing, nullptr);
    ASSERT_NE(pPong, nullptr);
    EXPECT_EQ(pPing->m_pParent, pCourt);
    EXPECT_EQ(pCourt->GetProcess("pong"), pPong);

    // The external process: the file's id, the model file's name, the model
    // file's declaration winning over the file's.
    EXPECT_EQ(pPong->m_nId, 2);
    EXPECT_EQ(pPong->m_strImplementation, "pong.sdl");
    ASSERT_NE(pPong->GetVariable("speed"), nullptr);
    EXPECT_EQ(pPong->GetVariable("speed")->m_strValue, "2.5");
    EXPECT_EQ(pPong->m_strDeclarations, "\tint hits;\n\tint rally;\n\tdouble speed;\n");
    EXPECT_EQ(pPing->GetVariable("period")->m_strType, "double");
    EXPECT_EQ(pPing->m_mapDeclaredVariables.size(), 5u);
    EXPECT_EQ(pPing->m_strMesh, "ball.obj");
    EXPECT_FALSE(pPing->m_bAnimInput);
    EXPECT_TRUE(pPing->m_bAnimSetState);

    // Both channels, one way each.
    CSDLChannelOut* pToPong = pPing->GetOutputChannel("toPong");
    ASSERT_NE(pToPong, nullptr);
    EXPECT_EQ(pToPong->m_pTargetProcess, pPong);
    EXPECT_EQ(pToPong->m_pSourceProcess, pPing);
    EXPECT_TRUE(pToPong->m_bLocalDelivery);
    EXPECT_EQ(Signals(pToPong), (std::set<std::string>{"ball", "stop"}));
    CSDLChannelIn* pPongIn = pPong->GetInputChannel("toPong");
    ASSERT_NE(pPongIn, nullptr);
    EXPECT_EQ(pPongIn->m_pSourceProcess, pPing);
    EXPECT_EQ(pPongIn->m_pOwningAgent, pPong);
    EXPECT_EQ(Signals(pPongIn), (std::set<std::string>{"ball", "stop"}));
    ASSERT_NE(pPong->GetOutputChannel("toPing"), nullptr);
    EXPECT_EQ(pPong->GetOutputChannel("toPing")->m_pTargetProcess, pPing);
    EXPECT_EQ(Signals(pPing->GetInputChannel("toPing")), (std::set<std::string>{"ball"}));
    EXPECT_EQ(pPong->GetOutputChannel("toPong"), nullptr);
}

TEST_F(LoaderTest, SampleModelStatesOperationsAndBuiltIns) {
    ASSERT_TRUE(Loaded(m_loader.LoadModel(SamplePath()))) << m_loader.m_strErrorText;
    CSDLProcess* pPing = FindProcess("court_ping");
    CSDLProcess* pPong = FindProcess("court_pong");
    ASSERT_TRUE(pPing && pPong);

    EXPECT_EQ(ChainIds(pPing->m_pStartOperation), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(pPing->m_pStartOperation->m_strType, "start");
    EXPECT_EQ(pPing->m_pStartOperation->m_strStateName, "start");
    auto* pTimer = dynamic_cast<CSDLOperationOutput*>(pPing->m_pStartOperation->m_pNext->m_pNext);
    ASSERT_NE(pTimer, nullptr);
    EXPECT_EQ(pTimer->m_strSelf, "yes");
    EXPECT_EQ(pTimer->m_pSignal->m_strDelay, "period");
    EXPECT_EQ(pTimer->m_pSignal->m_strName, "tick");
    EXPECT_EQ(ChainIds(pPing->GetStateOperation("serving")),
              (std::vector<int>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    EXPECT_EQ(ChainIds(pPing->GetStateOperation("done")), (std::vector<int>{30, 31}));
    EXPECT_EQ(ChainIds(pPong->GetStateOperation("waiting")),
              (std::vector<int>{50, 51, 52, 53, 54, 55}));
    EXPECT_EQ(ChainIds(pPong->m_pStartOperation), (std::vector<int>{40, 41, 42}));

    CSDLOperation* pServing = pPing->GetStateOperation("serving");
    EXPECT_EQ(pServing->m_strType, "input");
    EXPECT_EQ(pServing->m_strName, "tick");
    auto* pDecision = dynamic_cast<CSDLOperationDecision*>(pServing->m_pNext);
    ASSERT_NE(pDecision, nullptr);
    EXPECT_EQ(pDecision->m_strType, "decision");
    EXPECT_EQ(pDecision->m_strCondition, "serves < limit");
    EXPECT_EQ(pDecision->m_nIfTrue, 12);
    EXPECT_EQ(pDecision->m_nIfFalse, 16);
    // Task code keeps its line breaks, so the comment ends where it should.
    auto* pTask = dynamic_cast<CSDLOperationTask*>(pDecision->m_pNext);
    ASSERT_NE(pTask, nullptr);
    EXPECT_EQ(pTask->m_strCode, "serves = serves + 1; // one more\ntotal = total + period;");
    EXPECT_EQ(pTask->GetCodeID(), "0_1_0_serving_12");
    EXPECT_EQ(FindIn(m_engine->m_mapOperations, "0_1_0_serving_12"), pTask);
    EXPECT_EQ(FindIn(m_engine->m_mapOperations, "0_1_0_start_2"), nullptr);
    auto* pBall = dynamic_cast<CSDLOperationOutput*>(pTask->m_pNext);
    ASSERT_NE(pBall, nullptr);
    EXPECT_EQ(pBall->m_strVia, "'toPong'");
    const CSDLParameter* pHits = FindIn(pBall->m_pSignal->m_mapUserParams, "hits");
    ASSERT_NE(pHits, nullptr);
    EXPECT_EQ(pHits->m_strValue, "serves");
    EXPECT_EQ(pHits->m_strSourceText, "serves");
    EXPECT_EQ(pHits->m_strByReference, "no");
    EXPECT_EQ(pPong->GetStateOperation("waiting")->GetCodeID(), "0_1_0_waiting_50");
    ExpectIndexesValid(*m_engine);

    // Every process has its own eleven built-ins.
    ASSERT_EQ(pPing->m_mapProcedures.size(), 11u);
    std::set<int> setIds;
    for (const auto& [strName, pProcedure] : pPing->m_mapProcedures) {
        setIds.insert(pProcedure->m_nId);
        EXPECT_TRUE(pProcedure->m_bBuiltIn);
        EXPECT_FALSE(pProcedure->m_bHasBody);
        EXPECT_EQ(pProcedure->m_pOwner, pPing);
    }
    EXPECT_EQ(*setIds.begin(), 50);
    EXPECT_EQ(*setIds.rbegin(), 60);
    EXPECT_EQ(setIds.size(), 11u);
    const CSDLProcedure* pMoore = pPing->GetProcedure("mncaMooreVicinity");
    ASSERT_NE(pMoore, nullptr);
    EXPECT_EQ(pMoore->m_mapFormals.size(), 10u);
    EXPECT_EQ(FindIn(pMoore->m_mapFormals, "PARAM_1")->m_strType, "char*");
    EXPECT_EQ(FindIn(pMoore->m_mapFormals, "PARAM_10")->m_strByReference, "yes");
    EXPECT_EQ(pPing->GetProcedure("mncaGetNeighborID")->m_strDeclarations,
              " int PARAM_1;\n int PARAM_2;\n");
    EXPECT_EQ(pPing->GetProcedure("Report")->m_strClassName, "CSDLOperationProcedureCallReport");
    EXPECT_NE(pPing->GetProcedure("Report"), pPong->GetProcedure("Report"));
    EXPECT_NE(pPing->GetProcedure("_NumNeighborsAlive"), nullptr);
}

// ---- Failed loads -------------------------------------------------------------------------

TEST_F(LoaderTest, LoadErrorTextsAndAGoodLoadAfterAFailedOne) {
    // An unknown procedure.
    std::string strPath =
        Write("proc.velko", System(Process("p",
                                           "<start><procedurecall name=\"nothere\" id=\"1\"/>"
                                           "<task name=\"t\" id=\"2\">x;</task></start>")));
    std::string strText = m_loader.LoadModel(strPath);
    EXPECT_NE(m_loader.m_strErrorText.find("The PROCEDURE nothere is not defined."),
              std::string::npos);
    EXPECT_EQ(m_loader.m_strErrorText.front(), '\n');
    EXPECT_EQ(ChainIds(FindProcess("p")->m_pStartOperation), (std::vector<int>{2}));

    // A good load right after it.
    EXPECT_TRUE(Loaded(m_loader.LoadModel(SamplePath()))) << m_loader.m_strErrorText;

    // A procedure without a body.
    strPath = Write("nobody.velko", System(Process("p",
                                                   "<procedures><procedure name=\"f\" id=\"3\"/>"
                                                   "</procedures>")));
    m_loader.LoadModel(strPath);
    EXPECT_NE(m_loader.m_strErrorText.find("The process p do not have body."), std::string::npos);
    EXPECT_TRUE(FindProcess("p")->GetProcedure("f"));

    // Malformed XML, then a document without system: both fail cleanly.
    strPath = Write("bad.velko", "<system name=\"s\"><block name=\"b\">\n</system>\n");
    strText = m_loader.LoadModel(strPath);
    EXPECT_FALSE(strText.empty());
    EXPECT_NE(m_loader.m_strErrorText.find("is not well-formed XML"), std::string::npos);
    strPath = Write("nosys.velko", "<model name=\"s\">\n</model>\n");
    m_loader.LoadModel(strPath);
    EXPECT_NE(m_loader.m_strErrorText.find("has no system element"), std::string::npos);

    // A missing mandatory attribute fills the error log, which the next load
    // empties again.
    strPath = Write("attr.velko",
                    System("<block name=\"b\" id=\"1\" IP=\"\">" + Process("p", "") + "</block>"));
    m_loader.LoadModel(strPath);
    EXPECT_EQ(m_loader.GetErrorLog(), "Atribute [portRead] not found");
    ASSERT_NE(FindIn(m_engine->m_mapBlocks, "0_1"), nullptr);
    // Reading the model info right after does not wipe the model's errors.
    EXPECT_TRUE(m_loader.LoadModelInfo(Write("attr.eye", "<ModelInfo><Agents/></ModelInfo>")));
    EXPECT_EQ(m_loader.GetModelErrorLog(), "Atribute [portRead] not found");
    EXPECT_EQ(m_loader.GetErrorLog(), "Atribute [portRead] not found");
    EXPECT_TRUE(Loaded(m_loader.LoadModel(SamplePath())));

    // A missing file is no malformed one: an empty text and nothing else.
    EXPECT_EQ(m_loader.LoadModel((m_folder / "missing.velko").string()), "");
    EXPECT_EQ(m_loader.m_strErrorText, "");
    EXPECT_EQ(m_loader.GetModelErrorLog(), "");
}

// Declarations the model library could not hold, or would hold as another
// value, fail the load with a line naming the file, the variable and the
// type or text; odd values that are values of their type load.
TEST_F(LoaderTest, DeclarationsOfUnknownTypesOrValuesNotOfTheirTypeFailTheLoad) {
    const std::string strExternal =
        Write("SDLProcessExternal/q.sdl",
              "<sdlprocess>" +
                  Process("qq", "<DCLS><DCL name=\"m\" type=\"int\" value=\"1e3\"/></DCLS>") +
                  "</sdlprocess>");
    const std::string strPath = Write(
        "types.velko",
        System(Process("p",
                       "<DCLS><DCL name=\"flag\" type=\"bool\" value=\"1\"/>"
                       "<DCL name=\"name\" type=\"string\" value=\"\"/>"
                       "<DCL name=\"n\" type=\"int\" value=\"2147483648\"/>"
                       "<DCL name=\"d\" type=\"double\" value=\"1,5\"/>"
                       "<DCL name=\"low\" type=\" int \" value=\" -2147483648 \"/>"
                       "<DCL name=\"e\" type=\"double\" value=\"-1.5E-3\"/>"
                       "<DCL name=\"s\" type=\"char*\" value=\"1; x\"/></DCLS>"
                       "<procedures><procedure name=\"f\" id=\"3\"><params>"
                       "<param name=\"a\" type=\"long\" defvalue=\"0\" ref=\"no\"/></params>"
                       "<body><task name=\"t\" id=\"4\">a = 1;</task></body>"
                       "</procedure></procedures>") +
               "<process name=\"q\" id=\"2\" IP=\"\" portRead=\"0\" implementation=\"q.sdl\"/>"));
    m_loader.LoadModel(strPath);
    EXPECT_EQ(m_loader.m_strErrorText,
              "\nThe variable flag of process p in " + strPath +
                  " has the type \"bool\", which is none of int, double and char*."
                  "\nThe variable name of process p in " +
                  strPath +
                  " has the type \"string\", which is none of int, double and char*."
                  "\nThe value \"2147483648\" of the variable n of process p in " +
                  strPath +
                  " is not an int (a whole number from -2147483648 to 2147483647)."
                  "\nThe value \"1,5\" of the variable d of process p in " +
                  strPath +
                  " is not a double (a finite number in decimal digits, with an optional point and "
                  "exponent)."
                  "\nThe variable a of procedure f of process p in " +
                  strPath +
                  " has the type \"long\", which is none of int, double and char*."
                  "\nThe value \"1e3\" of the variable m of process q in " +
                  strExternal + " is not an int (a whole number from -2147483648 to 2147483647).");
    // Nothing of a model whose values are refused is built or run.
    EXPECT_FALSE(m_engine->HasModel());
    EXPECT_EQ(m_engine->StartThread(), 1);
}

// Two agents that share one full name would be one agent to the engine
// (one index entry, one pending time, one set of model variables): the load
// names both and keeps no model, so nothing can run them merged.
TEST_F(LoaderTest, AgentsSharingAFullNameFailTheLoadAndLeaveNothingToRun) {
    auto block = [](const std::string& strName, const std::string& strBody) {
        return "<block name=\"" + strName + "\" id=\"1\" IP=\"\" portRead=\"0\">" + strBody +
               "</block>";
    };
    const std::string strTick =
        "<start><start name=\"start\" id=\"1\"/><output name=\"tick\" id=\"2\" self=\"yes\" "
        "to=\"\" via=\"\"><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"s\" id=\"3\"/></start>";
    struct SCase {
        std::string strBody;
        std::string strError;
    };
    const SCase cases[] = {
        {block("a", Process("b_c", strTick)) + block("a_b", Process("c", strTick)),
         "The process b_c in block a and the process c in block a_b have the same full name "
         "a_b_c: give one of them another name."},
        {block("a", block("b_c", Process("p", ""))) + block("a_b", block("c", Process("q", ""))),
         "The block b_c in block a and the block c in block a_b have the same full name a_b_c: "
         "give one of them another name."},
        {block("a", Process("b", "")) + block("a_b", Process("x", "")),
         "The process b in block a and the block a_b of the system have the same full name a_b: "
         "give one of them another name."},
        // Parents that share a full name are told apart by their own names.
        {block("a", block("b", Process("c", ""))) + block("a_b", Process("c", "")),
         "The block b in block a and the block a_b of the system have the same full name a_b: "
         "give one of them another name.\nThe process c in block b in block a and the process "
         "c in block a_b have the same full name a_b_c: give one of them another name."},
        // A name left empty is said to be.
        {block("a", Process("", "")),
         "The block a of the system and the process with no name in block a have the same full "
         "name a: give one of them another name."},
    };
    for (const SCase& clash : cases) {
        SCOPED_TRACE(clash.strError);
        const std::string strPath = Write("clash.velko", System(clash.strBody));
        EXPECT_FALSE(m_loader.LoadModel(strPath).empty());
        EXPECT_EQ(m_loader.m_strErrorText, "\n" + clash.strError);
        EXPECT_EQ(m_loader.m_strErrorText.find("  "), std::string::npos);
        EXPECT_FALSE(m_engine->HasModel());
        EXPECT_TRUE(m_engine->m_mapProcesses.empty());
        EXPECT_TRUE(m_engine->m_mapBlocks.empty());
        EXPECT_EQ(m_engine->StartThread(), 1);
        EXPECT_FALSE(m_engine->IsThreadAlive());
    }
    // Apart, the two tickers load and are two agents.
    const std::string strPath = Write("apart.velko", System(block("a", Process("b_c", strTick)) +
                                                            block("a_c", Process("c", strTick))));
    EXPECT_TRUE(Loaded(m_loader.LoadModel(strPath))) << m_loader.m_strErrorText;
    EXPECT_NE(FindProcess("a_b_c"), nullptr);
    EXPECT_NE(FindProcess("a_c_c"), nullptr);
}

TEST_F(LoaderTest, UnknownTagDropsTheRestOfItsStateOnly) {
    const std::string strPath = Write(
        "tag.velko", System(Process("p",
                                    "<state name=\"a\"><input name=\"x\" id=\"1\"/><foo/>"
                                    "<setstate name=\"a\" id=\"2\"/></state>"
                                    "<state name=\"b\"><input name=\"y\" id=\"3\"/><!-- note -->"
                                    "<createrequest name=\"c\" id=\"9\"/></state>"
                                    "<state name=\"c\"><input name=\"z\" id=\"5\"/><!-- c -->"
                                    "<setstate name=\"c\" id=\"6\"/></state>")));
    EXPECT_TRUE(Loaded(m_loader.LoadModel(strPath)));
    EXPECT_EQ(Boxes(), (std::vector<std::string>{"Unknown tag type: foo",
                                                 "Unknown tag type: createrequest"}));
    CSDLProcess* pProcess = FindProcess("p");
    EXPECT_EQ(ChainIds(pProcess->GetStateOperation("a")), (std::vector<int>{1}));
    EXPECT_EQ(ChainIds(pProcess->GetStateOperation("b")), (std::vector<int>{3}));
    EXPECT_EQ(ChainIds(pProcess->GetStateOperation("c")), (std::vector<int>{5, 6}));
}

// ---- Files written elsewhere ----------------------------------------------------------------

TEST_F(LoaderTest, WindowsModelWithBackslashesCrLfAndOtherCaseLoads) {
    const std::string strText =
        m_loader.LoadModel(std::string(VELKO_TEST_DATA_DIR) + "/loader/windows/WinModel.velko");
    ASSERT_TRUE(Loaded(strText)) << m_loader.m_strErrorText << m_loader.GetErrorLog();
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
    CSDLProcess* pRelay = FindProcess("relay");
    ASSERT_NE(pRelay, nullptr);
    EXPECT_EQ(pRelay->m_nId, 7);
    auto* pDecision =
        dynamic_cast<CSDLOperationDecision*>(pRelay->GetStateOperation("idle")->m_pNext);
    ASSERT_NE(pDecision, nullptr);
    EXPECT_EQ(pDecision->m_strCondition, "k > 2 ||\nk < 0");
    CSDLProcess* pLocal = FindProcess("local");
    ASSERT_NE(pLocal, nullptr);
    auto* pTask = dynamic_cast<CSDLOperationTask*>(pLocal->m_pStartOperation);
    ASSERT_NE(pTask, nullptr);
    EXPECT_EQ(pTask->m_strCode, "n = n + 1; // counts\nn = n * 2;");
    EXPECT_EQ(pTask->m_strPrintMessage, "n \xc3\xa9gal");  // Windows-1252 byte read as é
    EXPECT_EQ(pTask->m_strPrintVariable, "n");
}

TEST_F(LoaderTest, SelfIncludingFilesFailCleanly) {
    std::string strText = m_loader.LoadModel(std::string(VELKO_TEST_DATA_DIR) +
                                             "/loader/selfinclude/selfinclude.velko");
    EXPECT_FALSE(strText.empty());
    EXPECT_NE(m_loader.m_strErrorText.find("refers to itself"), std::string::npos);
    EXPECT_EQ(FindProcess("loop"), nullptr);
    EXPECT_NE(FindProcess("after"), nullptr);

    // A procedures file naming itself.
    const std::string strProcs = (m_folder / "procs.sdl").string();
    Write("procs.sdl",
          "<procedures>\n  <procedures>\n"
          "    <procedure name=\"again\" id=\"1\" implementation=\"" +
              strProcs +
              "\"/>\n"
              "    <procedure name=\"g\" id=\"2\"><body><task name=\"t\" id=\"1\">"
              "y;</task></body></procedure>\n"
              "  </procedures>\n</procedures>\n");
    const std::string strPath =
        Write("procs.velko",
              System(Process("p", "<procedures><procedure name=\"f\" id=\"1\" implementation=\"" +
                                      strProcs + "\"/></procedures>")));
    strText = m_loader.LoadModel(strPath);
    EXPECT_NE(m_loader.m_strErrorText.find("refers to itself"), std::string::npos);
    CSDLProcedure* pG = FindProcess("p")->GetProcedure("g");
    ASSERT_NE(pG, nullptr);
    EXPECT_EQ(pG->m_pBody->m_pProcedure, pG);
}

TEST_F(LoaderTest, ExternalFileNamingAnotherKeepsTheModelFileName) {
    // The model file's p1 is defined in a.sdl, whose unnamed process is in
    // turn defined in b.sdl: the process is p1 all the same, and the model
    // file's channel reaches it.
    Write("a.sdl",
          "<sdlprocess>\n<process id=\"4\" IP=\"\" portRead=\"0\" implementation=\"b.sdl\">"
          "</process>\n</sdlprocess>\n");
    Write("b.sdl", "<sdlprocess>\n" +
                       Process("template", "<start><task name=\"t\" id=\"1\">x;</task></start>") +
                       "\n</sdlprocess>\n");
    const std::string strPath = Write(
        "chain.velko", System("<process name=\"p1\" id=\"1\" IP=\"\" portRead=\"0\" "
                              "implementation=\"a.sdl\"/>" +
                              Process("q", "") +
                              "<channels><channel name=\"c\" start=\"q\" end=\"p1\" dual=\"no\">"
                              "<event name=\"x\"/></channel></channels>"));
    m_loader.LoadModel(strPath);
    EXPECT_EQ(m_loader.m_strErrorText, "");
    CSDLProcess* pP1 = FindProcess("p1");
    ASSERT_NE(pP1, nullptr);
    EXPECT_EQ(m_engine->m_mapProcesses.size(), 2u);
    EXPECT_EQ(pP1->m_strImplementation, "a.sdl");
    EXPECT_NE(pP1->m_pStartOperation, nullptr);
    EXPECT_NE(pP1->GetInputChannel("c"), nullptr);
}

TEST_F(LoaderTest, ReadingStopsAtTheClosingLineAndSkipsLeadingText) {
    const std::string strPath =
        Write("stop.velko", "free text line\n<system name=\"s\">\n" + Process("p", "") +
                                "\n   </system>\n  <process name=\"late\"/>\n");
    Write("stop2.velko", "junk <SYSTEM name=\"t\">\n" + Process("p", "") +
                             "<dummy/>   </SYSTEM>  \nnot xml at all <<<\n");
    EXPECT_TRUE(Loaded(m_loader.LoadModel(strPath))) << m_loader.m_strErrorText;
    EXPECT_TRUE(Loaded(m_loader.LoadModel((m_folder / "stop2.velko").string())))
        << m_loader.m_strErrorText;
    EXPECT_EQ(m_engine->m_strSystemName, "t");
    EXPECT_NE(FindProcess("p"), nullptr);
}

// ---- Sizes and depths that the machine cannot hold ----------------------------------------------

TEST_F(LoaderTest, DeeplyNestedBlocksAreRefusedWithoutExhaustingTheStack) {
    const int nDepth = 30000;
    std::string strBody;
    for (int i = 0; i < nDepth; ++i) {
        strBody += "<block name=\"b\" id=\"1\" IP=\"\" portRead=\"0\">";
    }
    strBody += Process("p", "");
    for (int i = 0; i < nDepth; ++i) {
        strBody += "</block>";
    }
    EXPECT_FALSE(m_loader.LoadModel(Write("deep.velko", System(strBody))).empty());
    EXPECT_NE(m_loader.m_strErrorText.find("levels deep"), std::string::npos)
        << m_loader.m_strErrorText;
    int nLevels = 0;
    for (const CSDLAgent* pAgent = m_engine->GetRootAgent(); pAgent;
         pAgent = pAgent->m_mapBlocks.empty() ? nullptr
                                              : pAgent->m_mapBlocks.begin()->second.get()) {
        ++nLevels;
    }
    EXPECT_LE(nLevels, 101);
    EXPECT_TRUE(m_engine->m_mapProcesses.empty());
    ExpectIndexesValid(*m_engine);

    // A model well within the limit still loads.
    EXPECT_TRUE(Loaded(m_loader.LoadModel(SamplePath())));
}

TEST_F(LoaderTest, AutomatonTooLargeForMemoryIsALoadErrorNotACrash) {
    // 46340 x 46340 cells fit an int, but two texts per cell for a process
    // take about 137 GB, more than the machine has: refused before anything
    // is allocated.
    const std::string strPath =
        Write("huge.velko", System("<mnca name=\"g\" id=\"3\" IP=\"\" portRead=\"0\"><DCLS>"
                                   "<DCL name=\"mnca_D1\" type=\"int\" value=\"46340\"/>"
                                   "<DCL name=\"mnca_D2\" type=\"int\" value=\"46340\"/></DCLS>"
                                   "<block name=\"in\" id=\"5\" IP=\"\" portRead=\"0\">" +
                                   Process("cell", "") + "</block></mnca>"));
    EXPECT_NO_THROW(m_loader.LoadModel(strPath));
    EXPECT_NE(m_loader.m_strErrorText.find("Not enough memory"), std::string::npos)
        << m_loader.m_strErrorText;
    CSDLProcess* pCell = FindProcess("g_in_cell");
    ASSERT_NE(pCell, nullptr);
    EXPECT_TRUE(pCell->m_vecCellStates.empty());
    EXPECT_TRUE(pCell->m_vecNextCellStates.empty());
}

// ---- Same-named agents and shared code IDs ------------------------------------------------------

// Two blocks or two processes of one name in one place would be one agent.
TEST_F(LoaderTest, SameNamedBlocksOrProcessesInOnePlaceFailTheLoad) {
    const std::string strBlockBody =
        Process("p",
                "<state name=\"s\"><input name=\"x\" id=\"1\"/>"
                "<task name=\"t\" id=\"2\">a;</task></state>") +
        Process("q", "") +
        "<channels><channel name=\"c\" start=\"p\" end=\"q\" dual=\"yes\"><event name=\"x\"/>"
        "</channel></channels>";
    const std::string strPath =
        Write("dup.velko",
              System("<block name=\"b\" id=\"1\" IP=\"\" portRead=\"0\">" + strBlockBody +
                     "</block><block name=\"b\" id=\"2\" IP=\"\" portRead=\"0\"></block>"
                     "<block name=\"c\" id=\"3\" IP=\"\" portRead=\"0\">" +
                     Process("p", "<state name=\"s\"><input name=\"x\" id=\"7\"/></state>") +
                     Process("p", "<state name=\"s2\"><input name=\"y\" id=\"8\"/></state>") +
                     "<mnca name=\"m\" id=\"4\" IP=\"\" portRead=\"0\"/><mnca name=\"m\" id=\"5\" "
                     "IP=\"\" portRead=\"0\"/></block>"));
    m_loader.LoadModel(strPath);
    const std::string strTail = " in " + strPath + ": give one of them another name.";
    EXPECT_EQ(m_loader.m_strErrorText,
              "\nThe system s holds a second block named b" + strTail +
                  "\nThe block c of the system holds a second automaton block named m" + strTail +
                  "\nThe block c of the system holds a second process named p" + strTail);
    EXPECT_FALSE(m_engine->HasModel());
}

TEST_F(LoaderTest, SameNamedExternalProcessFailsTheLoad) {
    // Its process takes the name of the element naming the file.
    Write("SDLProcessExternal/ext.sdl",
          "<sdlprocess>\n" + Process("template", "") +
              "\n<channels><channel name=\"c\" start=\"p\" end=\"q\" dual=\"yes\">"
              "<event name=\"x\"/></channel></channels>\n</sdlprocess>\n");
    const std::string strPath = Write(
        "ext.velko",
        System(Process("q", "") + Process("p", "") +
               "<process name=\"p\" id=\"1\" IP=\"\" portRead=\"0\" implementation=\"ext.sdl\"/>"));
    m_loader.LoadModel(strPath);
    EXPECT_NE(m_loader.m_strErrorText.find("The system s holds a second process named p"),
              std::string::npos);
}

TEST_F(LoaderTest, SharedCodeIdIsAWarningNotAFailure) {
    const std::string strState =
        "<state name=\"s\"><input name=\"x\" id=\"1\"/><task name=\"t\" id=\"2\">a;</task>"
        "</state>";
    const std::string strPath =
        Write("shared.velko", System(Process("p", strState) + Process("q", strState)));
    ASSERT_TRUE(Loaded(m_loader.LoadModel(strPath)));
    EXPECT_NE(m_loader.m_strWarningText.find("0_0_s_2"), std::string::npos);
    ASSERT_EQ(m_notifier.GetLines().size(), 1u);
    EXPECT_EQ(m_notifier.GetLines()[0].ePane, NP_ERRORS);
    m_loader.LoadModel(SamplePath());
    EXPECT_TRUE(m_loader.m_strWarningText.empty());
}

// ---- Procedures, channels and automata ---------------------------------------------------------

TEST_F(LoaderTest, ModelProceduresAndCalls) {
    const std::string strPath = Write(
        "procs.velko",
        System(Process(
            "p",
            "<DCLS><DCL name=\"v\" type=\"double\" value=\"1\"/>"
            "<DCL name=\"_2\" type=\"int\" value=\"2\"/></DCLS>"
            "<procedures>"
            "<procedure name=\"f\" id=\"5\"><params><param name=\"n\" type=\"int\" defvalue=\"0\" "
            "ref=\"no\"/><!-- c --><param name=\"x\" type=\"double\" defvalue=\"0\" ref=\"yes\"/>"
            "</params><DCLS><DCL name=\"loc\" type=\"int\" value=\"3\"/></DCLS>"
            "<body><createrequest name=\"Car\" id=\"1\" qtt=\"3\"/><task name=\"t\" id=\"2\">x = "
            "n;</task></body></procedure>"
            "<procedure name=\"Report\" id=\"6\"><body><task name=\"r\" id=\"1\">;</task></body>"
            "</procedure>"
            "<procedure name=\"g\" id=\"8\"><params><param name=\"_1\" type=\"double\" "
            "defvalue=\"0\" ref=\"no\"/></params><body><procedurecall name=\"f\" id=\"1\">"
            "<param name=\"x\" value=\"_1\"/></procedurecall></body></procedure>"
            "</procedures>"
            "<start><procedurecall name=\"f\" id=\"1\"><param name=\"n\" value=\"2\"/>"
            "<param name=\"zz\" value=\"v\"/></procedurecall>"
            "<procedurecall name=\"Report\" id=\"2\"/>"
            "<procedurecall name=\"StopAt\" id=\"3\"><param name=\"PARAM_1\" value=\"v\"/>"
            "</procedurecall><procedurecall name=\"f\" id=\"4\"><param name=\"n\" "
            "value=\"7.9\"/><param name=\"x\" value=\"1e3\"/></procedurecall>"
            "<procedurecall name=\"f\" id=\"9\"><param name=\"n\" value=\"_2\"/>"
            "<param name=\"x\" value=\"_3\"/></procedurecall></start>")));
    m_loader.LoadModel(strPath);
    EXPECT_NE(
        m_loader.m_strErrorText.find("The parameter \"zz\" is not defined on procedure call \"f\""),
        std::string::npos);
    // Numbers in a call are read whole by the formal's type.
    EXPECT_NE(m_loader.m_strErrorText.find("The value \"7.9\" of the parameter n of the procedure "
                                           "call f (id 4) of process p in " +
                                           strPath),
              std::string::npos);
    EXPECT_EQ(m_loader.m_strErrorText.find("\"1e3\""), std::string::npos);
    // A declared variable is a variable whatever its name, in a state and,
    // as a formal, in a procedure's body; a letterless text that names
    // none is a number that is no double.
    EXPECT_EQ(m_loader.m_strErrorText.find("\"_2\""), std::string::npos);
    EXPECT_EQ(m_loader.m_strErrorText.find("\"_1\""), std::string::npos);
    EXPECT_NE(m_loader.m_strErrorText.find("The value \"_3\" of the parameter x of the procedure "
                                           "call f (id 9)"),
              std::string::npos);
    CSDLProcess* pProcess = FindProcess("p");
    CSDLProcedure* pF = pProcess->GetProcedure("f");
    ASSERT_NE(pF, nullptr);
    EXPECT_EQ(pF->m_strDeclarations, "\tint n;\n\tdouble x;\n");
    EXPECT_EQ(pF->m_strLocalDeclarations, "\tint loc;\n");
    auto* pCreate = dynamic_cast<CSDLOperationCreate*>(pF->m_pBody);
    ASSERT_NE(pCreate, nullptr);
    EXPECT_EQ(pCreate->m_strType, "create");
    EXPECT_EQ(pCreate->m_strTarget, "Car");
    EXPECT_EQ(pCreate->m_nQuantity, 3);
    EXPECT_EQ(pF->m_pBody->m_pProcedure, pF);
    EXPECT_EQ(pF->m_pBody->m_pNext->GetCodeID(), "0_0_5__2");
    EXPECT_EQ(pProcess->m_mapProcedures.size(), 13u);
    EXPECT_FALSE(pProcess->GetProcedure("Report")->m_bBuiltIn);

    auto* pCall = dynamic_cast<CSDLOperationProcedureCall*>(pProcess->m_pStartOperation);
    ASSERT_NE(pCall, nullptr);
    EXPECT_EQ(pCall->m_strType, "ProcedureCall");
    ASSERT_EQ(pCall->m_mapParameters.size(), 1u);
    EXPECT_EQ(FindIn(pCall->m_mapParameters, "n")->m_strType, "int");
    EXPECT_EQ(FindIn(pCall->m_mapParameters, "n")->m_strValue, "2");
    // The model's Report took the built-in's place: a generic call.
    EXPECT_EQ(pCall->m_pNext->m_strType, "ProcedureCall");
    EXPECT_EQ(pCall->m_pNext->m_pNext->m_strType, "procedurecallreport");
    EXPECT_EQ(pCall->m_pNext->m_pNext->m_pOwner, pProcess);
}

TEST_F(LoaderTest, ChannelDirectionsEndsAndAddresses) {
    const std::string strPath =
        Write("ch.velko",
              System("<block name=\"b\" id=\"1\" IP=\"10.0.0.1\" portRead=\"0\">" +
                     Process("x", "", "10.0.0.1") + Process("y", "", "10.0.0.2") +
                     "<channels>"
                     "<channel name=\"d\" start=\"x\" end=\"y\" dual=\"yes\"><event name=\"a\"/>"
                     "<event name=\"b\"/></channel>"
                     "<channel name=\"u\" start=\"x\" end=\"y\" dual=\"YES\"/>"
                     "<channel name=\"own\" start=\"b\" end=\"x\" dual=\"no\"><event name=\"go\"/>"
                     "</channel>"
                     "<channel name=\"lost\" start=\"x\" end=\"nobody\" dual=\"yes\"/>"
                     "</channels></block>"));
    ASSERT_TRUE(Loaded(m_loader.LoadModel(strPath))) << m_loader.m_strErrorText;
    CSDLBlock* pBlock = m_engine->GetRootAgent()->GetBlock("b");
    CSDLProcess* pX = pBlock->GetProcess("x");
    CSDLProcess* pY = pBlock->GetProcess("y");
    ASSERT_TRUE(pX && pY);
    ASSERT_NE(pY->GetOutputChannel("d"), nullptr);
    EXPECT_EQ(pY->GetOutputChannel("d")->m_pTargetProcess, pX);
    EXPECT_FALSE(pY->GetOutputChannel("d")->m_bLocalDelivery);
    EXPECT_FALSE(pX->GetInputChannel("d")->m_bLocalDelivery);
    EXPECT_EQ(Signals(pX->GetInputChannel("d")), (std::set<std::string>{"a", "b"}));
    EXPECT_NE(pX->GetOutputChannel("u"), nullptr);
    EXPECT_TRUE(Signals(pX->GetOutputChannel("u")).empty());
    EXPECT_EQ(pY->GetOutputChannel("u"), nullptr);
    ASSERT_NE(pBlock->GetOutputChannel("own"), nullptr);
    EXPECT_EQ(pBlock->GetOutputChannel("own")->m_pSourceBlock, pBlock);
    EXPECT_TRUE(pBlock->GetOutputChannel("own")->m_bLocalDelivery);
    EXPECT_EQ(pX->GetInputChannel("own")->m_pOwningAgent, pX);
    EXPECT_EQ(pX->GetOutputChannel("lost"), nullptr);
    // Signals on it would vanish: the load warns, naming the channel and end.
    EXPECT_EQ(m_loader.m_strWarningText,
              "\nThe channel lost of b is not linked: its end nobody names no agent there.");
}

TEST_F(LoaderTest, AutomatonDimensionsAndCellArrays) {
    const std::string strPath =
        Write("mnca.velko", System("<mnca name=\"grid\" id=\"3\" IP=\"\" portRead=\"0\"><DCLS>"
                                   "<DCL name=\"mnca_DIM\" type=\"int\" value=\"2\"/>"
                                   "<DCL name=\"mnca_D2\" type=\"int\" value=\"10\"/>"
                                   "<DCL name=\"mnca_D1\" type=\"int\" value=\"20\"/></DCLS>" +
                                   Process("direct", "") + "</mnca>" +
                                   "<mnca name=\"outer\" id=\"4\" IP=\"\" portRead=\"0\"><DCLS>"
                                   "<DCL name=\"mnca_D1\" type=\"int\" value=\"3\"/>"
                                   "<DCL name=\"mnca_D2\" type=\"int\" value=\"2\"/></DCLS>"
                                   "<block name=\"inner\" id=\"5\" IP=\"\" portRead=\"0\">" +
                                   Process("cell", "") + "</block></mnca>"));
    ASSERT_TRUE(Loaded(m_loader.LoadModel(strPath))) << m_loader.m_strErrorText;
    auto* pGrid = dynamic_cast<CSDLmnca*>(FindIn(m_engine->m_mapBlocks, "0_3"));
    ASSERT_NE(pGrid, nullptr);
    EXPECT_EQ(pGrid->GetNumCells(), 200);
    EXPECT_EQ(pGrid->GetDimensionSize(1), 10);
    EXPECT_EQ(pGrid->GetNumDimensions(), 2);
    EXPECT_TRUE(FindProcess("grid_direct")->m_vecCellStates.empty());
    EXPECT_EQ(FindProcess("outer_inner_cell")->m_vecCellStates.size(), 6u);
    EXPECT_TRUE(static_cast<CSDLBlock*>(m_engine->GetRootAgent())->ContainsMnca());
    // The block child gave a default layer, refused without a main layer.
    EXPECT_EQ(Boxes(),
              (std::vector<std::string>{"A main layer is needed to add a default layer (inner)."}));
}

}  // namespace
