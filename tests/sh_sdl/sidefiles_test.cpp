// The side files of a model: model info and parametrization written by the
// model and read back into a fresh load, experiments files with their paths,
// and files that are malformed or incomplete.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sh_aux/notifier.h"
#include "sh_sdl/eye/3drepresentation.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"
#include "support/recordingnotifier.h"

namespace {

namespace fs = std::filesystem;

std::string SamplePath() {
    return std::string(VELKO_SOURCE_DIR) + "/examples/pingpong/pingpong.velko";
}

std::string DataPath(const std::string& strName) {
    return std::string(VELKO_TEST_DATA_DIR) + "/sidefiles/" + strName;
}

// One opened model: an engine with a recording notifier and its reader.
struct SModel {
    SModel() {
        engine.SetNotifier(&notifier);
        loader.m_pEngine = &engine;
        const std::string strText = loader.LoadModel(SamplePath());
        EXPECT_FALSE(strText.empty());
        EXPECT_EQ(loader.m_strErrorText, "");
        EXPECT_EQ(loader.GetErrorLog(), "");
    }
    CSDLProcess* Process(const std::string& strFullName) const {
        CSDLProcess* pProcess = FindIn(engine.m_mapProcesses, strFullName);
        EXPECT_NE(pProcess, nullptr) << strFullName;
        return pProcess;
    }
    std::string Value(const std::string& strProcess, const std::string& strVariable) const {
        const CSDLParameter* pVariable = Process(strProcess)->GetVariable(strVariable);
        return pVariable ? pVariable->m_strValue : "<none>";
    }
    std::vector<std::string> Errors() const {
        std::vector<std::string> vec;
        for (const auto& line : notifier.GetLines()) {
            if (line.ePane == NP_ERRORS) {
                vec.push_back(line.strLine);
            }
        }
        return vec;
    }

    CRecordingNotifier notifier;
    CSDLEngine engine;
    CSDLLoader loader;
};

std::unique_ptr<CSDLEvent> MakeEvent(const std::string& strName, double dTime) {
    auto pEvent = std::make_unique<CSDLEvent>();
    pEvent->m_strName = strName;
    pEvent->m_dExecutionTime = dTime;
    return pEvent;
}

void AddParam(CSDLEvent& event, const std::string& strName, const std::string& strType,
              const std::string& strValue) {
    event.m_mapUserParams[strName] =
        std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
}

class SideFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = fs::temp_directory_path() / (std::string("velko_sidefiles_") + pInfo->name() +
                                                "_" + std::to_string(getpid()));
        fs::create_directories(m_folder);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    std::string Write(const std::string& strName, const std::string& strText) {
        const fs::path path = m_folder / strName;
        std::ofstream(path, std::ios::binary) << strText;
        return path.string();
    }

    fs::path m_folder;
};

TEST_F(SideFilesTest, ModelInfoRoundTripGivesTheSameRepresentations) {
    SModel written;
    CSDLProcess* pPing = written.Process("court_ping");
    CSDLProcess* pPong = written.Process("court_pong");
    pPing->m_mapRepresentations["serving"] =
        std::make_unique<C3DRepresentation>("serving", "car.obj", 1, 2, 0, 0, 90, 0, 2);
    // Texts that must be escaped in the file.
    pPong->m_mapRepresentations["finished"] = std::make_unique<C3DRepresentation>(
        "finished", "a&b <'x'>.obj", -1.5, 0.25, 3, 10, 20, 30, 0.75);
    const std::string strFile = Write("model.eye", pPing->GetModelInfoXml());

    SModel read;
    ASSERT_TRUE(read.loader.LoadModelInfo(strFile)) << read.loader.m_strSideFileError;
    EXPECT_EQ(read.loader.GetErrorLog(), "");
    for (const auto& [strName, pWritten] : written.engine.m_mapProcesses) {
        const CSDLProcess* pRead = read.Process(strName);
        ASSERT_FALSE(pWritten->m_mapStates.empty());
        ASSERT_EQ(pRead->m_mapRepresentations.size(), pWritten->m_mapStates.size()) << strName;
        for (const auto& [strState, pFirst] : pWritten->m_mapStates) {
            const C3DRepresentation* pGot = FindIn(pRead->m_mapRepresentations, strState);
            ASSERT_NE(pGot, nullptr) << strName << " " << strState;
            const C3DRepresentation* pWant = FindIn(pWritten->m_mapRepresentations, strState);
            // A state without a representation is written with the default one.
            const C3DRepresentation defaults(strState, "default.obj", 0, 0, 0, 0, 0, 0, 1);
            if (!pWant) {
                pWant = &defaults;
            }
            EXPECT_EQ(pGot->m_strState, strState);
            EXPECT_EQ(pGot->m_strMesh, pWant->m_strMesh);
            EXPECT_DOUBLE_EQ(pGot->m_dPosX, pWant->m_dPosX);
            EXPECT_DOUBLE_EQ(pGot->m_dPosY, pWant->m_dPosY);
            EXPECT_DOUBLE_EQ(pGot->m_dPosZ, pWant->m_dPosZ);
            EXPECT_DOUBLE_EQ(pGot->m_dRotX, pWant->m_dRotX);
            EXPECT_DOUBLE_EQ(pGot->m_dRotY, pWant->m_dRotY);
            EXPECT_DOUBLE_EQ(pGot->m_dRotZ, pWant->m_dRotZ);
            EXPECT_DOUBLE_EQ(pGot->m_dScale, pWant->m_dScale);
        }
    }
}

TEST_F(SideFilesTest, ParametrizationRoundTripGivesTheSameValuesAndEvents) {
    SModel written;
    SModel read;
    CSDLProcess* pPing = written.Process("court_ping");
    CSDLProcess* pPong = written.Process("court_pong");
    pPing->GetVariable("limit")->SetModelValue("7");
    pPing->GetVariable("period")->SetModelValue(" 0.1234567891 ");
    // Only blanks: trimmed to empty and left out, so the reading keeps its own.
    pPing->GetVariable("total")->SetModelValue("   ");
    pPong->GetVariable("speed")->SetModelValue("3.5");
    // What a run left is no value of the model's: the model's own are written.
    pPing->GetVariable("limit")->m_strValue = "6";
    pPing->GetVariable("serves")->m_strValue = "5";
    pPing->GetVariable("period")->m_strValue = "0.123457";
    // Text variables whose values need escaping, or keep blanks, tabs and
    // line ends, declared in both models.
    const std::string strTricky = "say \"hi\" & <bye> 'now'";
    const std::string strSpaced = "\ta\tb \nc\r\n  ";
    // An empty text is a value; control characters, and what XML 1.1 takes
    // only as references, come back as they were.
    const std::string strControls = "\x01a\x0b\x1f\x7f\xc2\x85\xc2\x9f\xe2\x80\xa8\xc3\xa9";
    for (SModel* pModel : {&written, &read}) {
        for (const char* pszName : {"label", "spaced", "blank", "controls"}) {
            pModel->Process("court_ping")->m_mapVariables[pszName] =
                std::make_unique<CSDLParameter>("char*", pszName, "declared", "no");
        }
    }
    pPing->GetVariable("label")->SetModelValue(strTricky);
    pPing->GetVariable("spaced")->SetModelValue(strSpaced);
    pPing->GetVariable("blank")->SetModelValue("");
    pPing->GetVariable("controls")->SetModelValue(strControls);

    // Times a millionth apart, and below, keep their order and value.
    auto pTick = MakeEvent("tick", 2e-7);
    AddParam(*pTick, "n", "int", "3");
    AddParam(*pTick, "who", "char*", "a&b 'c'\t\n");
    pPing->m_listInitialEvents.push_back(std::move(pTick));
    pPing->m_listInitialEvents.push_back(MakeEvent("ball", 1e-7));
    pPing->m_listInitialEvents.push_back(MakeEvent("ball", 0.1 + 0.2));
    auto pStop = MakeEvent("stop", 10);
    AddParam(*pStop, "reason", "char*", "x<y");
    // Untyped, as a parametrization without the type gives it: written
    // without one, and read so (with the log's line for what is absent).
    AddParam(*pStop, "any", "", "7");
    pPong->m_listInitialEvents.push_back(std::move(pStop));
    const std::string strText = pPing->GetParametrizationXml();
    const std::string strFile = Write("run.param", strText);
    EXPECT_EQ(strText.rfind("<?xml version='1.1' encoding='utf-8'?>\n<Parametrization>", 0), 0u);
    for (const char* pszRaw :
         {"\x01", "\x0b", "\x1f", "\x7f", "\xc2\x85", "\xc2\x9f", "\xe2\x80\xa8"}) {
        EXPECT_EQ(strText.find(pszRaw), std::string::npos) << "raw in the file: " << pszRaw[0];
    }

    // Events the reading model had before are replaced.
    read.Process("court_pong")->m_listInitialEvents.push_back(MakeEvent("stale", 1));
    EXPECT_NE(strText.find("<param name='any' value='7' />"), std::string::npos);
    ASSERT_TRUE(read.loader.LoadParametrization(strFile)) << read.loader.m_strSideFileError;
    EXPECT_EQ(read.loader.GetErrorLog(), "Atribute [type] not found");
    EXPECT_TRUE(read.notifier.GetBoxes().empty());

    EXPECT_EQ(read.Value("court_ping", "limit"), "7");
    EXPECT_EQ(read.Value("court_ping", "period"), "0.1234567891");
    EXPECT_EQ(read.Value("court_ping", "total"), "0.0");
    EXPECT_EQ(read.Value("court_ping", "label"), strTricky);
    EXPECT_EQ(read.Process("court_ping")->GetVariable("label")->m_strSourceText, strTricky);
    EXPECT_EQ(read.Value("court_ping", "spaced"), strSpaced);
    EXPECT_EQ(read.Value("court_ping", "blank"), "");
    EXPECT_EQ(read.Value("court_ping", "controls"), strControls);
    EXPECT_EQ(read.Value("court_pong", "speed"), "3.5");
    EXPECT_EQ(read.Value("court_ping", "serves"), "0");
    EXPECT_TRUE(read.Errors().empty());

    for (const char* pszProcess : {"court_ping", "court_pong"}) {
        const auto& listWritten = written.Process(pszProcess)->m_listInitialEvents;
        const auto& listRead = read.Process(pszProcess)->m_listInitialEvents;
        ASSERT_EQ(listRead.size(), listWritten.size()) << pszProcess;
        auto itRead = listRead.begin();
        for (const auto& pWant : listWritten) {
            const CSDLEvent& got = **itRead++;
            EXPECT_EQ(got.m_strName, pWant->m_strName);
            EXPECT_EQ(got.m_dExecutionTime, pWant->m_dExecutionTime);
            EXPECT_DOUBLE_EQ(got.m_dCreationTime, 0.0);
            EXPECT_EQ(got.m_nPriority, 0);
            ASSERT_EQ(got.m_mapUserParams.size(), pWant->m_mapUserParams.size());
            for (const auto& [strName, pParam] : pWant->m_mapUserParams) {
                const CSDLParameter* pGot = FindIn(got.m_mapUserParams, strName);
                ASSERT_NE(pGot, nullptr) << strName;
                EXPECT_EQ(pGot->m_strName, strName);
                EXPECT_EQ(pGot->m_strType, pParam->m_strType);
                EXPECT_EQ(pGot->m_strValue, pParam->m_strValue);
                EXPECT_EQ(pGot->m_strSourceText, pParam->m_strValue);
                EXPECT_EQ(pGot->m_strByReference, "no");
            }
        }
    }
}

TEST_F(SideFilesTest, ExperimentsLoadWithLabelsTextsAndResolvedPaths) {
    SModel model;
    CSDLLoader& loader = model.loader;
    ASSERT_TRUE(loader.LoadExperiments(DataPath("two.exp"))) << loader.m_strSideFileError;
    ASSERT_EQ(loader.m_mapExperiments.size(), 2u);
    const CSDLExperiments* pBase = FindIn(loader.m_mapExperiments, "base");
    const CSDLExperiments* pFast = FindIn(loader.m_mapExperiments, "fast");
    ASSERT_NE(pBase, nullptr);
    ASSERT_NE(pFast, nullptr);
    EXPECT_EQ(pBase->m_strLabel, "base");
    EXPECT_EQ(pBase->m_strText, "Base case: the sample values");
    EXPECT_EQ(pFast->m_strText, "Shorter period & more serves");
    // Relative to the experiments file, written with backslashes and in
    // another letter case.
    EXPECT_TRUE(fs::equivalent(pBase->m_strPath, DataPath("params/base.param")))
        << pBase->m_strPath;
    EXPECT_TRUE(fs::exists(pFast->m_strPath)) << pFast->m_strPath;
    EXPECT_TRUE(fs::equivalent(pFast->m_strPath, DataPath("params/fast.param")));

    // Each experiment's parametrization loads from the resolved path.
    ASSERT_TRUE(loader.LoadParametrization(pFast->m_strPath));
    EXPECT_EQ(model.Value("court_ping", "limit"), "9");
    EXPECT_EQ(model.Value("court_ping", "period"), "0.5");
    ASSERT_TRUE(loader.LoadParametrization(pBase->m_strPath));
    EXPECT_EQ(model.Value("court_ping", "limit"), "5");

    // A second file replaces the list; a label given twice keeps the later
    // entry; a drive-letter path is kept as written.
    ASSERT_TRUE(loader.LoadExperiments(DataPath("duplicates.exp")));
    ASSERT_EQ(loader.m_mapExperiments.size(), 2u);
    const CSDLExperiments* pSame = FindIn(loader.m_mapExperiments, "same");
    ASSERT_NE(pSame, nullptr);
    EXPECT_EQ(pSame->m_strText, "second");
    EXPECT_TRUE(fs::equivalent(pSame->m_strPath, DataPath("params/fast.param")));
    EXPECT_EQ(FindIn(loader.m_mapExperiments, "windows")->m_strPath, "D:/m/case1.param");

    // A file that cannot be opened leaves the list empty.
    EXPECT_FALSE(loader.LoadExperiments(DataPath("missing.exp")));
    EXPECT_TRUE(loader.m_mapExperiments.empty());
    EXPECT_NE(loader.m_strSideFileError, "");
}

TEST_F(SideFilesTest, MalformedSideFilesReturnFalseAndTheModelStaysUsable) {
    SModel model;
    CSDLLoader& loader = model.loader;
    CSDLProcess* pPing = model.Process("court_ping");
    pPing->m_listInitialEvents.push_back(MakeEvent("tick", 1));

    EXPECT_FALSE(loader.LoadParametrization(DataPath("malformed.param")));
    EXPECT_NE(loader.m_strSideFileError.find("malformed.param"), std::string::npos);
    ASSERT_EQ(model.Errors().size(), 1u);
    // Nothing of the broken file was taken.
    EXPECT_EQ(model.Value("court_ping", "limit"), "5");
    EXPECT_EQ(model.Value("court_ping", "period"), "1.5");
    ASSERT_EQ(pPing->m_listInitialEvents.size(), 1u);
    EXPECT_EQ(pPing->m_listInitialEvents.front()->m_strName, "tick");

    const std::string strOpen =
        Write("open.eye", "<ModelInfo>\n<Agents>\n<Agent name='court_ping'>");
    EXPECT_FALSE(loader.LoadModelInfo(strOpen));
    EXPECT_FALSE(loader.LoadModelInfo(DataPath("missing.eye")));
    EXPECT_FALSE(loader.LoadParametrization(Write("empty.param", "")));
    // Well-formed, but not a parametrization.
    EXPECT_FALSE(loader.LoadParametrization(Write("other.param", "<ModelInfo></ModelInfo>")));
    EXPECT_EQ(pPing->m_listInitialEvents.size(), 1u);

    // The model reads good files and describes itself as before.
    ASSERT_TRUE(loader.LoadParametrization(DataPath("params/fast.param")));
    EXPECT_EQ(model.Value("court_ping", "limit"), "9");
    EXPECT_TRUE(pPing->m_listInitialEvents.empty());
    EXPECT_NE(pPing->GetParametrizationXml().find("name=\"limit\" type=\"int\" value=\"9\""),
              std::string::npos);
    EXPECT_TRUE(loader.LoadModelInfo(DataPath("edges.eye")));
}

// A model opened without its side files reports nothing; experiments that
// cannot run are skipped with a line each.
TEST_F(SideFilesTest, MissingSideFilesAreNoErrorsAndIncompleteExperimentsAreSkipped) {
    SModel model;
    CSDLLoader& loader = model.loader;
    EXPECT_FALSE(loader.LoadModelInfo(DataPath("pingpong.eye")));
    EXPECT_FALSE(loader.LoadParametrization(DataPath("pingpong.param")));
    EXPECT_FALSE(loader.LoadExperiments(DataPath("pingpong.exp")));
    EXPECT_NE(loader.m_strSideFileError.find("cannot be opened"), std::string::npos);
    EXPECT_TRUE(model.Errors().empty());

    const std::string strExp =
        Write("incomplete.exp",
              "<experiments>\n"
              "<experiment label=\"\" path=\"a.param\">no label</experiment>\n"
              "<experiment label=\"b\">no path</experiment>\n"
              "<experiment label=\"c\" path=\"c.param\">good</experiment>\n"
              "</experiments>\n");
    ASSERT_TRUE(loader.LoadExperiments(strExp));
    ASSERT_EQ(loader.m_mapExperiments.size(), 1u);
    EXPECT_NE(FindIn(loader.m_mapExperiments, "c"), nullptr);
    EXPECT_EQ(model.Errors(),
              (std::vector<std::string>{
                  "The experiment 1 of " + strExp + " has no label and is skipped.",
                  "The experiment 2 of " + strExp + " has no path and is skipped."}));
}

TEST_F(SideFilesTest, ParametrizationSkipsUnknownProcessesWithOneMessage) {
    SModel model;
    model.Process("court_ping")->m_listInitialEvents.push_back(MakeEvent("tick", 1));
    ASSERT_TRUE(model.loader.LoadParametrization(DataPath("edges.param")))
        << model.loader.m_strSideFileError;
    // Type mismatch and undeclared variables change nothing; known ones do.
    EXPECT_EQ(model.Value("court_ping", "limit"), "5");
    EXPECT_EQ(model.Value("court_ping", "serves"), "3");
    EXPECT_EQ(model.Process("court_ping")->GetVariable("undeclared"), nullptr);
    // Two DCLs and one event of unknown processes: one message.
    const auto vecBoxes = model.notifier.GetBoxes();
    ASSERT_EQ(vecBoxes.size(), 1u);
    EXPECT_EQ(vecBoxes[0].strText,
              "Some errors ocurred on loading the parametrization file, check the Process Names");
    EXPECT_EQ(vecBoxes[0].eButtons, NB_OK);
    // Every process's list was emptied, then filled in file order.
    EXPECT_TRUE(model.Process("court_ping")->m_listInitialEvents.empty());
    const auto& listPong = model.Process("court_pong")->m_listInitialEvents;
    ASSERT_EQ(listPong.size(), 2u);
    EXPECT_EQ(listPong.front()->m_strName, "ball");
    EXPECT_DOUBLE_EQ(listPong.front()->m_dExecutionTime, 2.5);
    const CSDLParameter* pHits = FindIn(listPong.front()->m_mapUserParams, "hits");
    ASSERT_NE(pHits, nullptr);
    EXPECT_EQ(pHits->m_strValue, "4");
    EXPECT_EQ(pHits->m_strType, "int");
    EXPECT_EQ(listPong.back()->m_strName, "stop");
    EXPECT_DOUBLE_EQ(listPong.back()->m_dExecutionTime, 0.5);
}

// An event's time and a parameter's type are optional: absent, the event
// runs at the start and the parameter is taken by the variable it lands in,
// each with its line in the error log. Written empty, each is there and
// wrong: the event is refused with a line. The model's own log stays as it
// was for the load to be judged on.
TEST_F(SideFilesTest, AbsentTimesAndTypesAreLoggedAndEmptyOnesRefused) {
    SModel model;
    const std::string strFile =
        Write("absent.param",
              "<Parametrization><ExternalEvents>\n"
              "<ExternalEvent agent='court_pong' type='untimed'><param name='hits' value='3'/>"
              "</ExternalEvent>\n"
              "<ExternalEvent agent='court_pong' type='emptytime' xTime=''/>\n"
              "<ExternalEvent agent='court_pong' type='emptytype' xTime='1'>"
              "<param name='hits' type='' value='3'/></ExternalEvent>\n"
              "<ExternalEvent agent='court_pong' type='typed' xTime='2'>"
              "<param name='hits' type='int' value='4'/></ExternalEvent>\n"
              "</ExternalEvents></Parametrization>\n");
    ASSERT_TRUE(model.loader.LoadParametrization(strFile)) << model.loader.m_strSideFileError;
    EXPECT_EQ(model.loader.GetErrorLog(), "Atribute [xTime] not found\nAtribute [type] not found");
    EXPECT_EQ(model.loader.GetModelErrorLog(), "");
    const std::string strOf = " of court_pong in " + strFile;
    EXPECT_EQ(model.Errors(),
              (std::vector<std::string>{
                  "The time \"\" of the event emptytime" + strOf +
                      " is not a finite number at or after 0: the event is not queued.",
                  "The type \"\" of the parameter hits of the event emptytype" + strOf +
                      " is none of int, double and char*: the event is not queued."}));
    const auto& listPong = model.Process("court_pong")->m_listInitialEvents;
    ASSERT_EQ(listPong.size(), 2u);
    EXPECT_EQ(listPong.front()->m_strName, "untimed");
    EXPECT_EQ(listPong.front()->m_dExecutionTime, 0.0);
    const CSDLParameter* pHits = FindIn(listPong.front()->m_mapUserParams, "hits");
    ASSERT_NE(pHits, nullptr);
    EXPECT_EQ(pHits->m_strType, "");
    EXPECT_EQ(pHits->m_strValue, "3");
    EXPECT_EQ(listPong.back()->m_strName, "typed");
    EXPECT_EQ(listPong.back()->m_dExecutionTime, 2.0);
}

// Scale, position and rotation are doubles by the one rule: a text that is
// none is refused by file, element and text, and the state keeps what it
// had; what is absent is 0.
TEST_F(SideFilesTest, ModelInfoNumbersAreReadByTheirTypeAndRefusedByName) {
    SModel model;
    CSDLProcess* pPing = model.Process("court_ping");
    pPing->m_mapRepresentations["comma"] =
        std::make_unique<C3DRepresentation>("comma", "kept.obj", 0, 0, 0, 0, 0, 0, 7);
    const std::string strFile = Write(
        "numbers.eye",
        "<ModelInfo><Agents><Agent name='court_ping'>\n"
        "<state name='comma'><mesh scale='1,5'>a.obj</mesh></state>\n"
        "<state name='huge'><mesh scale='1'>a.obj</mesh><pos x='1e400' y='0' z='0'/></state>\n"
        "<state name='word'><mesh scale='1'>a.obj</mesh><rot x='0' y='abc' z='0'/></state>\n"
        "<state name='nan'><mesh scale='1'>a.obj</mesh><rot x='0' y='0' z='nan'/></state>\n"
        "<state name='noscale'><mesh scale=''>a.obj</mesh></state>\n"
        "<state name='nox'><mesh scale='1'>a.obj</mesh><pos x='' y='0' z='0'/></state>\n"
        "<state name='fine'><mesh scale='1e3'>b.obj</mesh><rot x='-2.5' y='5' z='.5'/>"
        "</state>\n</Agent></Agents>\n</ModelInfo>\n");
    ASSERT_TRUE(model.loader.LoadModelInfo(strFile)) << model.loader.m_strSideFileError;
    const std::string strRule =
        " is not a double (a finite number in decimal digits, with an "
        "optional point and exponent): the state's representation is not "
        "read.";
    const std::string strAgent = " of agent court_ping in " + strFile;
    EXPECT_EQ(model.Errors(),
              (std::vector<std::string>{
                  "The value \"1,5\" of the scale of mesh of the state comma" + strAgent + strRule,
                  "The value \"1e400\" of the x of pos of the state huge" + strAgent + strRule,
                  "The value \"abc\" of the y of rot of the state word" + strAgent + strRule,
                  "The value \"nan\" of the z of rot of the state nan" + strAgent + strRule,
                  // Written empty is no number; absent is 0.
                  "The value \"\" of the scale of mesh of the state noscale" + strAgent + strRule,
                  "The value \"\" of the x of pos of the state nox" + strAgent + strRule}));
    ASSERT_EQ(pPing->m_mapRepresentations.size(), 2u);
    EXPECT_EQ(FindIn(pPing->m_mapRepresentations, "comma")->m_strMesh, "kept.obj");
    const C3DRepresentation* pFine = FindIn(pPing->m_mapRepresentations, "fine");
    ASSERT_NE(pFine, nullptr);
    EXPECT_EQ(
        (std::vector<double>{pFine->m_dScale, pFine->m_dPosX, pFine->m_dRotX, pFine->m_dRotZ}),
        (std::vector<double>{1000.0, 0.0, -2.5, 0.5}));
}

TEST_F(SideFilesTest, ModelInfoAcceptsOtherCaseAndMissingParts) {
    SModel model;
    ASSERT_TRUE(model.loader.LoadModelInfo(DataPath("edges.eye")))
        << model.loader.m_strSideFileError;
    const CSDLProcess* pPing = model.Process("court_ping");
    ASSERT_EQ(pPing->m_mapRepresentations.size(), 2u);
    const C3DRepresentation* pServing = FindIn(pPing->m_mapRepresentations, "serving");
    ASSERT_NE(pServing, nullptr);
    EXPECT_EQ(pServing->m_strMesh, "bat.obj");
    EXPECT_DOUBLE_EQ(pServing->m_dScale, 3);
    EXPECT_DOUBLE_EQ(pServing->m_dPosX + pServing->m_dPosY + pServing->m_dPosZ, 0);
    EXPECT_DOUBLE_EQ(pServing->m_dRotX + pServing->m_dRotY + pServing->m_dRotZ, 0);
    const C3DRepresentation* pDone = FindIn(pPing->m_mapRepresentations, "done");
    ASSERT_NE(pDone, nullptr);
    EXPECT_EQ(pDone->m_strMesh, "rest.obj");
    EXPECT_DOUBLE_EQ(pDone->m_dScale, 0.5);
    EXPECT_DOUBLE_EQ(pDone->m_dPosY, -2);
    EXPECT_DOUBLE_EQ(pDone->m_dPosZ, 3.25);

    // Missing attributes read as empty texts (numbers as 0) and are listed
    // in the log, one line each.
    EXPECT_EQ(model.loader.GetErrorLog(), "");
    ASSERT_TRUE(model.loader.LoadModelInfo(DataPath("missingattr.eye")));
    EXPECT_EQ(model.loader.GetErrorLog(),
              "Atribute [name] not found\nAtribute [scale] not found\nAtribute [scale] not found");
    EXPECT_TRUE(model.Errors().empty());
    const CSDLProcess* pPong = model.Process("court_pong");
    const C3DRepresentation* pAnon = FindIn(pPong->m_mapRepresentations, "");
    ASSERT_NE(pAnon, nullptr);
    EXPECT_EQ(pAnon->m_strMesh, "anon.obj");
    const C3DRepresentation* pWaiting = FindIn(pPong->m_mapRepresentations, "waiting");
    ASSERT_NE(pWaiting, nullptr);
    EXPECT_DOUBLE_EQ(pWaiting->m_dRotY, 45);
    EXPECT_DOUBLE_EQ(pWaiting->m_dScale, 0);
}

TEST_F(SideFilesTest, StateWithoutMeshEndsTheReadingWithoutThrowing) {
    SModel model;
    bool bResult = true;
    EXPECT_NO_THROW(bResult = model.loader.LoadModelInfo(DataPath("nomesh.eye")));
    EXPECT_FALSE(bResult);
    EXPECT_NE(model.loader.m_strSideFileError.find("mesh"), std::string::npos);
    EXPECT_EQ(model.Errors().size(), 1u);
    // What was read before the faulty state stays; nothing after it is read.
    const CSDLProcess* pPing = model.Process("court_ping");
    ASSERT_NE(FindIn(pPing->m_mapRepresentations, "serving"), nullptr);
    EXPECT_EQ(FindIn(pPing->m_mapRepresentations, "serving")->m_strMesh, "first.obj");
    EXPECT_EQ(FindIn(pPing->m_mapRepresentations, "done"), nullptr);
    EXPECT_EQ(FindIn(pPing->m_mapRepresentations, "start"), nullptr);
}

}  // namespace
