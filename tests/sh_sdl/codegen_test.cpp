// Code generation and build of the model library: generated text against
// golden files, names and expressions, and whole builds with the real gcc
// whose libraries are loaded and called.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"
#include "support/recordingnotifier.h"

namespace fs = std::filesystem;

namespace {

const std::string DATA_DIR = std::string(VELKO_TEST_DATA_DIR) + "/codegen";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& strText) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << strText;
}

// A model built in code under an engine of its own.
class CModel {
public:
    explicit CModel(const std::string& strSystemName) {
        m_engine.SetNotifier(&m_notifier);
        auto pRoot = std::make_unique<CSDLBlock>();
        pRoot->m_strName = strSystemName;
        pRoot->m_pEngine = &m_engine;
        m_pRoot = pRoot.get();
        m_engine.SetRootAgent(std::move(pRoot));
        m_engine.m_strSystemName = strSystemName;
    }

    CSDLBlock* AddBlock(CSDLAgent* pParent, const std::string& strName, int nId) {
        auto pBlock = std::make_unique<CSDLBlock>();
        pBlock->m_strName = strName;
        pBlock->m_nId = nId;
        pBlock->m_pEngine = &m_engine;
        CSDLBlock* pRaw = (pParent ? pParent : m_pRoot)->AddBlock(std::move(pBlock));
        m_engine.m_mapBlocks[CSDLBlock::GetGlobalId(pRaw)] = pRaw;
        return pRaw;
    }

    CSDLProcess* AddProcess(CSDLAgent* pParent, const std::string& strName, int nId) {
        auto pProcess = std::make_unique<CSDLProcess>();
        pProcess->m_strName = strName;
        pProcess->m_nId = nId;
        pProcess->m_pEngine = &m_engine;
        CSDLProcess* pRaw = (pParent ? pParent : m_pRoot)->AddProcess(std::move(pProcess));
        m_engine.m_mapProcesses[pRaw->GetFullName(false)] = pRaw;
        return pRaw;
    }

    // A process variable, declared as the model reader declares it.
    static void AddVariable(CSDLProcess* pProcess, const std::string& strType,
                            const std::string& strName, const std::string& strValue) {
        pProcess->m_mapVariables[strName] =
            std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
        pProcess->m_strDeclarations += "\t" + strType + " " + strName + ";\n";
    }

    static CSDLProcedure* AddProcedure(CSDLProcess* pProcess, const std::string& strName, int nId) {
        auto pProcedure = std::make_unique<CSDLProcedure>(strName, nId, "", pProcess, false);
        CSDLProcedure* pRaw = pProcedure.get();
        pProcess->m_mapProcedures[strName] = std::move(pProcedure);
        return pRaw;
    }

    static void AddFormal(CSDLProcedure* pProcedure, const std::string& strType,
                          const std::string& strName) {
        pProcedure->m_mapFormals[strName] =
            std::make_unique<CSDLParameter>(strType, strName, "", "no");
        pProcedure->m_strDeclarations += "\t" + strType + " " + strName + ";\n";
    }

    static void AddLocal(CSDLProcedure* pProcedure, const std::string& strType,
                         const std::string& strName) {
        pProcedure->m_mapVariables[strName] =
            std::make_unique<CSDLParameter>(strType, strName, "", "no");
        pProcedure->m_strLocalDeclarations += "\t" + strType + " " + strName + ";\n";
    }

    CSDLOperationDecision* AddDecision(CSDLProcess* pProcess, CSDLProcedure* pProcedure,
                                       const std::string& strState, int nId,
                                       const std::string& strCondition, int nTrue, int nFalse) {
        auto pDecision = std::make_unique<CSDLOperationDecision>();
        pDecision->m_strType = "decision";  // the model reader's tag
        pDecision->m_strCondition = strCondition;
        pDecision->m_nIfTrue = nTrue;
        pDecision->m_nIfFalse = nFalse;
        return static_cast<CSDLOperationDecision*>(
            Register(pProcess, pProcedure, strState, nId, std::move(pDecision)));
    }

    CSDLOperationTask* AddTask(CSDLProcess* pProcess, CSDLProcedure* pProcedure,
                               const std::string& strState, int nId, const std::string& strCode) {
        auto pTask = std::make_unique<CSDLOperationTask>();
        pTask->m_strType = "task";
        pTask->m_strCode = strCode;
        return static_cast<CSDLOperationTask*>(
            Register(pProcess, pProcedure, strState, nId, std::move(pTask)));
    }

    // A call of the procedure strName of the process, PARAM_1 fed by strActual.
    CSDLOperationProcedureCall* AddCall(CSDLProcess* pProcess, const std::string& strState, int nId,
                                        const std::string& strName, const std::string& strActual) {
        auto pCall = std::make_unique<CSDLOperationProcedureCall>();
        pCall->m_strName = strName;
        pCall->m_mapParameters["PARAM_1"] =
            std::make_unique<CSDLParameter>("double", "PARAM_1", strActual, "yes");
        return static_cast<CSDLOperationProcedureCall*>(
            Register(pProcess, nullptr, strState, nId, std::move(pCall)));
    }

    // Links the operations into one chain, in the order given.
    static void Chain(std::initializer_list<CSDLOperation*> ops) {
        CSDLOperation* pLast = nullptr;
        for (CSDLOperation* pOp : ops) {
            if (pLast) {
                pLast->m_pNext = pOp;
            }
            pLast = pOp;
        }
    }

    CSDLEngine& Engine() { return m_engine; }
    CSDLBlock* Root() const { return m_pRoot; }
    CRecordingNotifier& Notifier() { return m_notifier; }

private:
    CSDLOperation* Register(CSDLProcess* pProcess, CSDLProcedure* pProcedure,
                            const std::string& strState, int nId,
                            std::unique_ptr<CSDLOperation> pOp) {
        pOp->m_pOwner = pProcess;
        pOp->m_pProcedure = pProcedure;
        pOp->m_strStateName = strState;
        pOp->m_nId = nId;
        CSDLOperation* pRaw = pProcess->AddOperation(std::move(pOp));
        m_engine.m_mapOperations[pRaw->GetCodeID()] = pRaw;
        return pRaw;
    }

    CRecordingNotifier m_notifier;  // outlives the engine
    CSDLEngine m_engine;
    CSDLBlock* m_pRoot = nullptr;
};

// The model of the golden files: a process at the root with a char*
// variable and an int without value, a process in a sub-block with a
// procedure that has a formal and a local.
void BuildGoldenModel(CModel& model) {
    CSDLProcess* pSender = model.AddProcess(nullptr, "Sender", 1);
    CModel::AddVariable(pSender, "int", "count", "3");
    CModel::AddVariable(pSender, "char*", "label", "'a \"b\" \\ c'");
    CModel::AddVariable(pSender, "int", "total", "");
    auto* pStart = model.AddTask(pSender, nullptr, "start", 1, "count = 0;");
    pSender->m_pStartOperation = pStart;
    auto* pIdle = model.AddDecision(pSender, nullptr, "Idle", 2, "count @.G total", 3, 4);
    auto* pAdd = model.AddTask(pSender, nullptr, "Idle", 3,
                               "total = total + count; printf(\"count=%d if\\n\", count);");
    CModel::Chain({pIdle, pAdd});
    pSender->m_mapStates["Idle"] = pIdle;

    CSDLBlock* pArea = model.AddBlock(nullptr, "Area", 5);
    CSDLProcess* pReceiver = model.AddProcess(pArea, "Receiver", 6);
    CModel::AddVariable(pReceiver, "double", "rate", "1.5");
    CSDLProcedure* pScale = CModel::AddProcedure(pReceiver, "Scale", 1);
    CModel::AddFormal(pScale, "int", "factor");
    CModel::AddLocal(pScale, "double", "acc");
    pScale->m_pBody = model.AddTask(pReceiver, pScale, "Scale", 1, "acc = rate * factor;");
    auto* pWait = model.AddDecision(pReceiver, nullptr, "Wait", 7, "rate @.LE 2.0", 8, 9);
    pReceiver->m_mapStates["Wait"] = pWait;
}

class CodeGenTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> s_nCounter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Three levels, so that no header folder above the model is found
        // unless a test puts one there; a blank and a dotted folder name on
        // the way test that paths reach every step whole.
        m_top = fs::temp_directory_path() / ("velko codegen " + std::to_string(getpid()) + "_" +
                                             std::to_string(s_nCounter++) + "_" + info->name());
        fs::remove_all(m_top);
        m_dir = m_top / "v1.2" / "models";
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_top, ec);
    }

    // Compares a generated file with its golden file; VELKO_UPDATE_GOLDEN
    // set rewrites the golden file instead.
    static void ExpectGolden(const fs::path& generated, const std::string& strGolden) {
        const std::string strText = ReadAll(generated);
        const fs::path golden = fs::path(DATA_DIR) / strGolden;
        if (std::getenv("VELKO_UPDATE_GOLDEN")) {
            WriteAll(golden, strText);
        }
        ASSERT_TRUE(fs::exists(golden)) << golden;
        EXPECT_EQ(ReadAll(golden), strText) << strGolden;
    }

    static bool HaveGcc() { return fs::exists(EC_DEFAULT_COMPILER); }

    // Compiles and links the code created at strBase and loads the library
    // into pOut.
    static void BuildAndLoad(CSDLEngine& engine, const std::string& strBase,
                             std::unique_ptr<CDlModelLibrary>& pOut) {
        std::string strLog;
        ASSERT_EQ(1, engine.CompileCode(strBase, strLog)) << strLog;
        ASSERT_EQ(1, engine.LinkDLL(strBase, strLog)) << strLog;
        pOut = std::make_unique<CDlModelLibrary>();
        ASSERT_TRUE(pOut->Load(strBase + ".so")) << pOut->GetLoadError();
    }

    fs::path m_top;
    fs::path m_dir;
};

// ---- Generated text --------------------------------------------------------------------------

TEST_F(CodeGenTest, CSourceMatchesGolden) {
    CModel model("Golden \"Demo\"");
    BuildGoldenModel(model);
    const std::string strBase = (m_dir / "golden").string();
    ASSERT_EQ(1, model.Engine().CreateCodeFile(strBase));
    EXPECT_EQ(strBase, model.Engine().m_strCodeBasePath);
    EXPECT_EQ("", model.Engine().m_strHeaderFolder);
    ExpectGolden(strBase + ".c", "golden.c");

    // Generating again reuses the placeholders: the same text.
    const std::string strFirst = ReadAll(strBase + ".c");
    ASSERT_EQ(1, model.Engine().CreateCodeFile(strBase));
    EXPECT_EQ(strFirst, ReadAll(strBase + ".c"));
    EXPECT_EQ(std::string::npos, strFirst.find('\r'));
    EXPECT_EQ(std::string::npos, strFirst.find("DCL"));
}

TEST_F(CodeGenTest, CppVariantMatchesGolden) {
    CModel model("Golden \"Demo\"");
    BuildGoldenModel(model);
    model.AddBlock(nullptr, "Beta", 10);
    model.Engine().m_strModelFolder = m_dir.string() + "/";
    model.Engine().m_strModelName = "golden";
    ASSERT_EQ(1, model.Engine().CreateCppCodeFile(""));
    const std::string strBase = (m_dir / "golden").string();
    EXPECT_EQ(strBase, model.Engine().m_strCodeBasePath);
    ExpectGolden(strBase + ".cpp", "golden.cpp");
    // One class per block of the root, in name order, nothing in between.
    EXPECT_EQ(std::string(SDL_GENERATED_LINE) + "class CBlock_Area{\n}class CBlock_Beta{\n}",
              ReadAll(strBase + ".h"));
    ExpectGolden(strBase + ".h", "golden.h");

    // A folder "<base>External" adds the relative include first.
    fs::create_directory(strBase + "External");
    ASSERT_EQ(1, model.Engine().CreateCppCodeFile(strBase));
    EXPECT_TRUE(ReadAll(strBase + ".cpp")
                    .starts_with(std::string(SDL_GENERATED_LINE) +
                                 "#include \"SDLCodeExternal/SDLCodeExternal.h\"\n"
                                 "#include <stdio.h>\n#include <string.h>\n\n"));
}

// The C++ form and its header as an earlier version wrote them, before
// generated files said so in their first line, are written over, with or
// without the relative include; a file of the user's in their place is not.
TEST_F(CodeGenTest, TheCppFormWritesOverWhatAnEarlierVersionGeneratedOnly) {
    CModel model("Golden \"Demo\"");
    BuildGoldenModel(model);
    model.AddBlock(nullptr, "Beta", 10);
    const std::string strBase = (m_dir / "golden").string();
    const auto AsEarlierVersion = [](const std::string& strPath) {
        const std::string strText = ReadAll(strPath);
        ASSERT_TRUE(strText.starts_with(SDL_GENERATED_LINE)) << strPath;
        WriteAll(strPath, strText.substr(std::string(SDL_GENERATED_LINE).size()));
    };
    for (const bool bExternal : {false, true}) {
        SCOPED_TRACE(bExternal ? "with the relative include" : "without it");
        if (bExternal) {
            fs::create_directory(strBase + "External");
        }
        ASSERT_EQ(1, model.Engine().CreateCppCodeFile(strBase));
        AsEarlierVersion(strBase + ".cpp");
        AsEarlierVersion(strBase + ".h");
        model.Notifier().Clear();
        EXPECT_EQ(1, model.Engine().CreateCppCodeFile(strBase));
        EXPECT_TRUE(model.Notifier().GetLines().empty());
        EXPECT_TRUE(ReadAll(strBase + ".cpp").starts_with(SDL_GENERATED_LINE));
        EXPECT_TRUE(ReadAll(strBase + ".h").starts_with(SDL_GENERATED_LINE));
    }

    // The user's own files: the same includes, and a class named as the
    // generator names them, with code of their own.
    const std::string strOwnCpp =
        "#include <stdio.h>\n#include <string.h>\n\nint Twice(int n) { return 2 * n; }\n";
    const std::string strOwnHeader = "class CBlock_Area{\n};\nint Twice(int n);\n";
    for (const auto& [strFile, strOwn] :
         {std::pair{strBase + ".cpp", strOwnCpp}, std::pair{strBase + ".h", strOwnHeader}}) {
        ASSERT_EQ(1, model.Engine().CreateCppCodeFile(strBase));
        WriteAll(strFile, strOwn);
        model.Notifier().Clear();
        EXPECT_EQ(0, model.Engine().CreateCppCodeFile(strBase));
        EXPECT_EQ(strOwn, ReadAll(strFile));
        EXPECT_NE(model.Notifier().GetLines().at(0).strLine.find("does not write over \"" +
                                                                 strFile + "\""),
                  std::string::npos);
        fs::remove(strFile);
    }
}

TEST_F(CodeGenTest, ModelWithoutVariablesOrOperations) {
    CModel model("Empty");
    model.AddProcess(nullptr, "Idle", 1);
    const std::string strBase = (m_dir / "empty").string();
    ASSERT_EQ(1, model.Engine().CreateCodeFile(strBase));
    ExpectGolden(strBase + ".c", "empty.c");
}

TEST_F(CodeGenTest, InitialisersAndDeclarationItems) {
    CModel model("M");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    CModel::AddVariable(pP, "char*", "a", "'abc'");
    CModel::AddVariable(pP, "char*", "b", "abc");
    CModel::AddVariable(pP, "char*", "c", "'line\none\t?\?='");
    CModel::AddVariable(pP, "int", "d", "");
    EXPECT_EQ("\ta_P = \"abc\";\n\tb_P = \"abc\";\n\tc_P = \"line\\none\\t?\\?=\";\n",
              model.Engine().BuildInitialisers(model.Root()));

    // Items with blanks and line breaks around them; a rest without ";"
    // is no item; an item without a blank has no type.
    CSDLEngine& engine = model.Engine();
    const std::string strOut = engine.RestoreQualifiedNames(
        engine.DeclareVariables(" double PARAM_1;\n\tint  x ; y;z\n", "Q"));
    EXPECT_EQ("double PARAM_1_Q;\nint x_Q;\n y_Q;\n", strOut);
}

TEST_F(CodeGenTest, ProcessWithoutStatesStillGetsItsCode) {
    CModel model("M");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    CModel::AddVariable(pP, "int", "n", "");
    auto* pDecision = model.AddDecision(pP, nullptr, "start", 1, "n @.G 0", 2, 3);
    auto* pTask = model.AddTask(pP, nullptr, "start", 2, "n = 1;");
    CModel::Chain({pDecision, pTask});
    pTask->m_pNext = pDecision;  // a loop in a broken model must end the walk
    pP->m_pStartOperation = pDecision;
    CSDLProcedure* pProc = CModel::AddProcedure(pP, "Proc", 4);
    pProc->m_pBody = model.AddTask(pP, pProc, "Proc", 1, "n = 2;");

    CNameMap<CSDLOperation*> mapTasks;
    model.Engine().CollectOperations(mapTasks, model.Root(), "task");
    ASSERT_EQ(2u, mapTasks.size());
    EXPECT_EQ(pTask, mapTasks[pTask->GetCodeID()]);
    const std::string strDecisions = model.Engine().BuildDecisionBodies();
    EXPECT_NE(std::string::npos, strDecisions.find(pDecision->GetCodeID()));
    // Tags are compared exactly.
    CNameMap<CSDLOperation*> mapUpper;
    model.Engine().CollectOperations(mapUpper, model.Root(), "Task");
    EXPECT_TRUE(mapUpper.empty());
}

// ---- Names and expressions ---------------------------------------------------------------------

TEST_F(CodeGenTest, SubstitutesWholeIdentifiersOnly) {
    CModel model("M");
    CSDLEngine& engine = model.Engine();
    const std::string strDecl = "\tint i;\n\tint G;\n\tint L;\n\tint p;\n\tint x;\n\tint xx;\n";
    auto subst = [&](const std::string& strCode) {
        return engine.RestoreQualifiedNames(
            CSDLEngine::TranslateOperators(engine.SubstituteVariableNames(strCode, strDecl, "P")));
    };
    // "i" beside "if", "printf" and inside literals and comments.
    EXPECT_EQ("if (i_P > 0) printf(\"i=%d\\n\", i_P); /* i */ // i\nc = 'i';",
              subst("if (i > 0) printf(\"i=%d\\n\", i); /* i */ // i\nc = 'i';"));
    // Variables named like the letters of the operators.
    EXPECT_EQ("x_P = (G_P > L_P) + (G_P >= 1) + (L_P <= 2) + (G_P < L_P);",
              subst("x = (G @.G L) + (G @.GE 1) + (L @.LE 2) + (G @.L L);"));
    EXPECT_EQ("x_P = & p_P; x_P = &p_P; x_P = >x_P;", subst("x = @.p p; x = @.pp; x = @.Gx;"));
    // Longer names containing shorter ones; numbers with suffixes; members.
    EXPECT_EQ("xx_P > x_P", subst("xx @.G x"));
    EXPECT_EQ("x_P = 10L + 1e5 + pt.x + pq->x + xi;", subst("x = 10L + 1e5 + pt.x + pq->x + xi;"));

    // Decisions translate first: the condition 'a @.GE b' never gives ">E".
    EXPECT_EQ("a >= b", CSDLEngine::TranslateOperators("a @.GE b"));
    // An empty name replaces nothing and takes no placeholder.
    const int nBefore = engine.m_nDCLCounter;
    EXPECT_EQ("a + b", engine.SubstituteVariableNames("a + b", " ; ;\n", "P"));
    EXPECT_EQ(nBefore, engine.m_nDCLCounter);
}

TEST_F(CodeGenTest, PlaceholdersAreStablePerOwner) {
    CModel model("M");
    CSDLEngine& engine = model.Engine();
    const std::string strFirst = engine.GetPlaceholderName("n", "P");
    EXPECT_EQ("SDL1DCL", strFirst);
    EXPECT_EQ(strFirst, engine.SubstituteVariableNames("n", "int n;", "P"));
    EXPECT_EQ("SDL2DCL", engine.SubstituteVariableNames("n", "int n;", "Q"));
    EXPECT_EQ("n_P n_Q", engine.RestoreQualifiedNames("SDL1DCL SDL2DCL"));
    // A placeholder from an earlier pass is not taken for a name.
    EXPECT_EQ("SDL1DCL", engine.SubstituteVariableNames("SDL1DCL", "int SDL1DCL;", "R"));
}

TEST_F(CodeGenTest, ElevenOrMoreVariablesRestoreExactly) {
    CModel model("Many");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    std::string strCondition;
    for (int i = 0; i < 12; ++i) {
        CModel::AddVariable(pP, "int", Format("v%d", i), Format("%d", i));
        strCondition += Format("%sv%d", i ? " + " : "", i);
    }
    auto* pDecision = model.AddDecision(pP, nullptr, "S", 1, strCondition, 2, 3);
    pP->m_mapStates["S"] = pDecision;
    const std::string strBase = (m_dir / "many").string();
    ASSERT_EQ(1, model.Engine().CreateCodeFile(strBase));
    const std::string strText = ReadAll(strBase + ".c");
    EXPECT_EQ(std::string::npos, strText.find("DCL"));
    std::string strExpected;
    for (int i = 0; i < 12; ++i) {
        strExpected += Format("%sv%d_P", i ? " + " : "", i);
        EXPECT_NE(std::string::npos, strText.find(Format("int v%d_P;\n", i)));
        EXPECT_NE(std::string::npos, strText.find(Format("int Getv%d_P()", i)));
        EXPECT_NE(std::string::npos, strText.find(Format("int Setv%d_P(int Set_v%d_P)", i, i)));
    }
    EXPECT_NE(std::string::npos, strText.find("\t\tif(" + strExpected + ")\n"));
}

TEST_F(CodeGenTest, FindProcessStripsApostrophesAndReportsMisses) {
    CModel model("M");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    model.AddProcess(nullptr, "Q", 2);
    EXPECT_EQ(pP, model.Engine().FindProcess("'P'"));
    EXPECT_EQ(nullptr, model.Engine().FindProcess("'Z'"));
    EXPECT_TRUE(model.Root()->m_strError.ends_with(
        " We didn't find the process Z, is its name (PID) correct?\nP\nQ"))
        << model.Root()->m_strError;
}

// ---- Build commands --------------------------------------------------------------------------

TEST_F(CodeGenTest, DefaultCodeBaseCutsOnlyTheFileExtension) {
    CModel model("M");
    CSDLEngine& engine = model.Engine();
    engine.m_strModelFolder = "/data/v1.2/";
    engine.m_strModelName = "model";
    EXPECT_EQ("/data/v1.2/model", engine.GetDefaultCodeBase());
    engine.m_strParametrizationFile = "/data/v1.2/exp.param";
    EXPECT_EQ("/data/v1.2/exp", engine.GetDefaultCodeBase());
    engine.m_strParametrizationFile = "/data/v1.2/exp";
    EXPECT_EQ("/data/v1.2/exp", engine.GetDefaultCodeBase());
}

TEST_F(CodeGenTest, UnwritableCodeFileFailsAndClearsTheCodeBase) {
    CModel model("M");
    CSDLEngine& engine = model.Engine();
    engine.m_strCodeBasePath = "/somewhere/old";
    EXPECT_EQ(0, engine.CreateCodeFile((m_dir / "missing" / "model").string()));
    EXPECT_EQ("", engine.m_strCodeBasePath);
    auto boxes = model.Notifier().GetBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Unable to create the code file (.c)", boxes[0].strText);
    ASSERT_FALSE(model.Notifier().GetLines().empty());

    // Something in the way that exists but cannot be written (a folder):
    // its existence is no success.
    model.Notifier().Clear();
    fs::create_directories(m_dir / "blocked.c" / "inside");
    EXPECT_EQ(0, engine.CreateCodeFile((m_dir / "blocked").string()));
    EXPECT_EQ("", engine.m_strCodeBasePath);
    EXPECT_EQ(1u, model.Notifier().GetBoxes().size());

    // The C++ form reports instead of throwing.
    model.Notifier().Clear();
    EXPECT_EQ(0, engine.CreateCppCodeFile((m_dir / "missing" / "model").string()));
    EXPECT_FALSE(model.Notifier().GetLines().empty());
}

// An engine a failed load left without a model builds and runs nothing, and
// writes nothing into the working folder. Nor does one whose load refused a
// value (a procedure call's "1,5" for a double), as the window's build
// commands call it, until a load of the model succeeds.
TEST_F(CodeGenTest, WithoutAModelNothingIsBuiltOrWritten) {
    CRecordingNotifier notifier;
    CSDLEngine engine;
    engine.SetNotifier(&notifier);
    // Every build command and Initialize refuse, each with one line.
    auto expectRefused = [&](const char* pszText) {
        notifier.Clear();
        std::string strLog;
        EXPECT_EQ(0, engine.CreateCodeFile(""));
        EXPECT_EQ(0, engine.CompileCode("", strLog));
        EXPECT_EQ(pszText, strLog);
        EXPECT_EQ(0, engine.LinkDLL("", strLog));
        EXPECT_EQ(0, engine.CreateCppCodeFile(""));
        EXPECT_EQ(1, engine.StartThread());
        EXPECT_TRUE(notifier.GetBoxes().empty());
        const auto lines = notifier.GetLines();
        ASSERT_EQ(5u, lines.size());
        for (const auto& line : lines) {
            EXPECT_EQ(pszText, line.strLine);
        }
    };
    const fs::path previous = fs::current_path();
    fs::current_path(m_dir);
    expectRefused(SDL_MSG_NO_MODEL);
    fs::current_path(previous);
    EXPECT_TRUE(fs::is_empty(m_dir));

    const fs::path folder = m_dir / "refused";
    fs::create_directories(folder);
    const std::string strPath = (folder / "refused.velko").string();
    auto writeModel = [&](const char* pszValue) {
        std::ofstream(strPath, std::ios::binary)
            << "<system name=\"s\"><block name=\"b\" id=\"1\" IP=\"\" portRead=\"0\">"
               "<process name=\"p\" id=\"2\" IP=\"\" portRead=\"0\" implementation=\"\">"
               "<procedures><procedure name=\"f\" id=\"3\"><params><param name=\"x\" "
               "type=\"double\" defvalue=\"0\" ref=\"no\"/></params><body><task name=\"t\" "
               "id=\"1\">x = x;</task></body></procedure></procedures>"
               "<start><start name=\"start\" id=\"1\"/><procedurecall name=\"f\" id=\"2\">"
               "<param name=\"x\" value=\""
            << pszValue << "\"/></procedurecall></start></process></block></system>";
    };
    writeModel("1,5");
    CSDLLoader loader;
    loader.m_pEngine = &engine;
    EXPECT_FALSE(loader.LoadModel(strPath).empty());
    EXPECT_NE(loader.m_strErrorText.find("The value \"1,5\" of the parameter x of the procedure "
                                         "call f (id 2) of process b_p in " +
                                         strPath + " is not a double"),
              std::string::npos)
        << loader.m_strErrorText;
    EXPECT_TRUE(engine.IsModelRefused());
    EXPECT_FALSE(engine.HasModel());
    expectRefused(SDL_MSG_MODEL_REFUSED);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    // Mended and loaded again, it is built.
    writeModel("1.5");
    EXPECT_FALSE(loader.LoadModel(strPath).empty());
    EXPECT_EQ(loader.m_strErrorText, "");
    EXPECT_TRUE(engine.HasModel());
    EXPECT_EQ(1, engine.CreateCodeFile(""));
    EXPECT_TRUE(fs::exists(folder / "refused.c"));
}

// Names gcc would refuse or merge are refused when the code is created, with
// a message that names the variables.
TEST_F(CodeGenTest, VariablesThatCannotBecomeCNamesAreRefusedByName) {
    CModel model("Names");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    CModel::AddVariable(pP, "int", "a-b", "1");
    CModel::AddVariable(pP, "int", "a_b", "2");
    CModel::AddVariable(pP, "double", "9lives", "");
    const std::string strBase = (m_dir / "names").string();
    EXPECT_EQ(0, model.Engine().CreateCodeFile(strBase));
    EXPECT_FALSE(fs::exists(strBase + ".c"));
    std::string strErrors;
    for (const auto& line : model.Notifier().GetLines()) {
        strErrors += line.strLine + "\n";
    }
    EXPECT_NE(strErrors.find("The variables a-b of P and a_b of P would both be named a_b_P in "
                             "the model library."),
              std::string::npos)
        << strErrors;
    EXPECT_NE(strErrors.find("The variable 9lives of P would be named 9lives_P in the model "
                             "library, which is no C name."),
              std::string::npos)
        << strErrors;

    // One of each kind alone is fine.
    CModel fine("Names");
    CSDLProcess* pQ = fine.AddProcess(nullptr, "P", 1);
    CModel::AddVariable(pQ, "int", "a-b", "1");
    EXPECT_EQ(1, fine.Engine().CreateCodeFile(strBase));
}

// The model of the whole builds: a process at the root with a procedure,
// and one in a sub-block with variables named like operator letters.
struct CBuildModel {
    explicit CBuildModel(CModel& model) {
        pCounter = model.AddProcess(nullptr, "Counter", 1);
        CModel::AddVariable(pCounter, "int", "n", "2");
        CModel::AddVariable(pCounter, "double", "d", "0.5");
        CModel::AddVariable(pCounter, "char*", "s", "'abc'");
        CModel::AddVariable(pCounter, "char*", "q", "'x\"y\\z'");
        CModel::AddVariable(pCounter, "int", "k", "");
        CModel::AddVariable(pCounter, "int", "i", "7");
        pAdd = CModel::AddProcedure(pCounter, "Add", 1);
        CModel::AddFormal(pAdd, "int", "amount");
        CModel::AddLocal(pAdd, "int", "tmp");
        pAddTask = model.AddTask(pCounter, pAdd, "Add", 1, "tmp = amount * 2; n = n + tmp;");
        pAdd->m_pBody = pAddTask;
        pCounterDecision = model.AddDecision(pCounter, nullptr, "Run", 2, "n @.G 1", 10, 20);
        pCounterTask = model.AddTask(pCounter, nullptr, "Run", 3,
                                     "if (i > 5) { n = n + 10; d = d * 2; } s = \"if-done\";");
        CModel::Chain({pCounterDecision, pCounterTask});
        pCounter->m_mapStates["Run"] = pCounterDecision;

        CSDLBlock* pBlk = model.AddBlock(nullptr, "Blk", 4);
        pQ = model.AddProcess(pBlk, "Q", 5);
        CModel::AddVariable(pQ, "int", "i", "7");
        CModel::AddVariable(pQ, "int", "G", "5");
        CModel::AddVariable(pQ, "int", "L", "0");
        pQDecision = model.AddDecision(pQ, nullptr, "Go", 6, "i @.LE 3", 30, 40);
        pQTask = model.AddTask(pQ, nullptr, "Go", 7, "L = (G @.G i) + (G @.L i) * 2;");
        CModel::Chain({pQDecision, pQTask});
        pQ->m_mapStates["Go"] = pQDecision;
    }

    CSDLProcess* pCounter;
    CSDLProcedure* pAdd;
    CSDLOperationTask* pAddTask;
    CSDLOperationDecision* pCounterDecision;
    CSDLOperationTask* pCounterTask;
    CSDLProcess* pQ;
    CSDLOperationDecision* pQDecision;
    CSDLOperationTask* pQTask;
};

TEST_F(CodeGenTest, BuildsLoadsAndRunsTheModelLibrary) {
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    CModel model("E2E \"q\"");
    CBuildModel m(model);
    CSDLEngine& engine = model.Engine();
    engine.m_strModelFolder = m_dir.string() + "/";
    engine.m_strModelName = "e2e";
    const std::string strBase = (m_dir / "e2e").string();

    std::string strLog;
    ASSERT_EQ(1, engine.CreateCodeFile(""));
    EXPECT_EQ(strBase, engine.m_strCodeBasePath);
    ASSERT_EQ(1, engine.CompileCode("", strLog)) << strLog;
    EXPECT_TRUE(fs::exists(strBase + ".o"));
    ASSERT_EQ(1, engine.LinkDLL("", strLog)) << strLog;
    ASSERT_TRUE(fs::exists(strBase + ".so"));
    EXPECT_TRUE(fs::exists(m_dir / "SDLCode_log.txt"));

    auto pLibrary = std::make_unique<CDlModelLibrary>();
    ASSERT_TRUE(pLibrary->Load(strBase + ".so")) << pLibrary->GetLoadError();
    CDlModelLibrary& library = *pLibrary;
    std::string strName;
    ASSERT_EQ(MC_OK, library.IniModel(strName));
    EXPECT_EQ("E2E \"q\"", strName);
    ASSERT_EQ(MC_OK, library.GetModelName(strName));
    EXPECT_EQ("E2E \"q\"", strName);

    // Every accessor the run-time looks up exists.
    for (CSDLProcess* pProcess : {m.pCounter, m.pQ}) {
        for (const auto& [strVar, pVar] : pProcess->m_mapVariables) {
            const std::string strIdent = pProcess->GetVariableIdentifier(strVar);
            EXPECT_TRUE(library.HasSymbol("Get" + strIdent)) << strIdent;
            EXPECT_TRUE(library.HasSymbol("Set" + strIdent)) << strIdent;
        }
        for (const auto& [strName2, pProc] : pProcess->m_mapProcedures) {
            for (const auto* pMap : {&pProc->m_mapFormals, &pProc->m_mapVariables}) {
                for (const auto& [strVar, pVar] : *pMap) {
                    const std::string strIdent =
                        CSDLEngine::FormatQualifiedName(strVar, pProc->GetInstanceName());
                    EXPECT_TRUE(library.HasSymbol("Get" + strIdent)) << strIdent;
                    EXPECT_TRUE(library.HasSymbol("Set" + strIdent)) << strIdent;
                }
            }
        }
    }

    // Decisions answer their branch; an unknown key answers 0.
    int nResult = -1;
    ASSERT_EQ(MC_OK, library.GetModelDecision(m.pCounterDecision->GetCodeID(), nResult));
    EXPECT_EQ(10, nResult);
    ASSERT_EQ(MC_OK, library.GetModelDecision(m.pQDecision->GetCodeID(), nResult));
    EXPECT_EQ(40, nResult);
    ASSERT_EQ(MC_OK, library.GetModelDecision("no such key", nResult));
    EXPECT_EQ(0, nResult);

    // Initial values, escaped texts included.
    std::string strText;
    ASSERT_EQ(MC_OK, library.GetString(m.pCounter->GetVariableIdentifier("s"), strText));
    EXPECT_EQ("abc", strText);
    ASSERT_EQ(MC_OK, library.GetString(m.pCounter->GetVariableIdentifier("q"), strText));
    EXPECT_EQ("x\"y\\z", strText);

    // Tasks run through the operations and change what the getters read.
    engine.SetModelLibrary(std::move(pLibrary));
    m.pCounterTask->Execute();
    EXPECT_EQ(12, m.pCounter->GetIntVariable("n"));
    EXPECT_DOUBLE_EQ(1.0, m.pCounter->GetDoubleVariable("d"));
    EXPECT_EQ("if-done", m.pCounter->GetStringVariable("s"));
    m.pQTask->Execute();
    EXPECT_EQ(2, m.pQ->GetIntVariable("L"));

    // The procedure's task sees its formal and local and the process's n.
    CModelLibrary* pBound = engine.GetModelLibrary();
    const std::string strAmount =
        CSDLEngine::FormatQualifiedName("amount", m.pAdd->GetInstanceName());
    ASSERT_EQ(MC_OK, pBound->SetInt(strAmount, 4));
    m.pAddTask->Execute();
    int nTmp = 0;
    ASSERT_EQ(MC_OK, pBound->GetInt(
                         CSDLEngine::FormatQualifiedName("tmp", m.pAdd->GetInstanceName()), nTmp));
    EXPECT_EQ(8, nTmp);
    EXPECT_EQ(20, m.pCounter->GetIntVariable("n"));
    EXPECT_TRUE(m.pCounter->m_strError.empty()) << m.pCounter->m_strError;
}

TEST_F(CodeGenTest, SyntaxErrorAfterAGoodBuildFails) {
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    CModel model("Broken");
    CBuildModel m(model);
    CSDLEngine& engine = model.Engine();
    const std::string strBase = (m_dir / "broken").string();
    std::string strLog;
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    ASSERT_EQ(1, engine.CompileCode(strBase, strLog)) << strLog;
    ASSERT_EQ(1, engine.LinkDLL(strBase, strLog)) << strLog;

    m.pCounterTask->m_strCode = "n = ;";
    model.Notifier().Clear();
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    EXPECT_EQ(0, engine.CompileCode(strBase, strLog));
    EXPECT_FALSE(fs::exists(strBase + ".o"));
    EXPECT_NE(std::string::npos, strLog.find("error")) << strLog;
    EXPECT_NE(std::string::npos, ReadAll(m_dir / "SDLCode_log.txt").find("error"));
    EXPECT_EQ(0, engine.LinkDLL(strBase, strLog));
    EXPECT_FALSE(fs::exists(strBase + ".so"));
    const auto lines = model.Notifier().GetLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(NP_ERRORS, lines[0].ePane);

    // A compiler that is not there fails the same way.
    engine.m_Compiler.SetCompiler((m_dir / "no-gcc").string());
    EXPECT_EQ(0, engine.CompileCode(strBase, strLog));
}

// Procedures of one process without ids share one instance name, and a
// formal may share its name with a local: each such variable is one global,
// declared once, with one getter and one setter.
TEST_F(CodeGenTest, VariablesSharingAQualifiedNameAreDeclaredOnce) {
    CModel model("Shared");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    CSDLProcedure* pFirst = CModel::AddProcedure(pP, "First", 0);
    CModel::AddFormal(pFirst, "int", "n");
    CModel::AddLocal(pFirst, "int", "n");
    CSDLProcedure* pSecond = CModel::AddProcedure(pP, "Second", 0);
    CModel::AddFormal(pSecond, "int", "n");
    pSecond->m_pBody = model.AddTask(pP, pSecond, "Second", 1, "n = n * 3;");

    CSDLEngine& engine = model.Engine();
    const std::string strBase = (m_dir / "shared").string();
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    const std::string strText = ReadAll(strBase + ".c");
    const std::string strIdent = CSDLEngine::FormatQualifiedName("n", pSecond->GetInstanceName());
    for (const std::string& strOnce :
         {"int " + strIdent + ";\n", " Get" + strIdent + "()", " Set" + strIdent + "("}) {
        const size_t nFirst = strText.find(strOnce);
        EXPECT_NE(std::string::npos, nFirst) << strOnce;
        EXPECT_EQ(std::string::npos, strText.find(strOnce, nFirst + 1)) << strOnce;
    }
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    std::unique_ptr<CDlModelLibrary> pLibrary;
    ASSERT_NO_FATAL_FAILURE(BuildAndLoad(engine, strBase, pLibrary));
    ASSERT_EQ(MC_OK, pLibrary->SetInt(strIdent, 5));
    engine.SetModelLibrary(std::move(pLibrary));
    pSecond->m_pBody->Execute();
    int nValue = 0;
    ASSERT_EQ(MC_OK, engine.GetModelLibrary()->GetInt(strIdent, nValue));
    EXPECT_EQ(15, nValue);
}

TEST_F(CodeGenTest, HeaderFolderAboveTheModelIsIncludedAndBuilt) {
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    const fs::path headers = m_dir.parent_path() / "SDLCodeExternal";
    fs::copy(fs::path(DATA_DIR) / "SDLCodeExternal", headers, fs::copy_options::recursive);

    CModel model("Ext");
    CSDLProcess* pP = model.AddProcess(nullptr, "P", 1);
    CModel::AddVariable(pP, "int", "n", "21");
    auto* pTask = model.AddTask(pP, nullptr, "S", 1, "n = Twice(n);");
    pP->m_mapStates["S"] = pTask;

    CSDLEngine& engine = model.Engine();
    const std::string strBase = (m_dir / "ext").string();
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    const std::string strFolder = m_dir.string() + "/../SDLCodeExternal";
    EXPECT_EQ(strFolder, engine.m_strHeaderFolder);
    const std::string strText = ReadAll(strBase + ".c");
    EXPECT_TRUE(strText.starts_with(SDL_GENERATED_LINE + ("#include \"" + strFolder) +
                                    "/SDLCodeExternal.h\"\n#ifdef"))
        << strText.substr(0, 200);
    std::unique_ptr<CDlModelLibrary> pLibrary;
    ASSERT_NO_FATAL_FAILURE(BuildAndLoad(engine, strBase, pLibrary));
    std::string strName;
    ASSERT_EQ(MC_OK, pLibrary->IniModel(strName));
    engine.SetModelLibrary(std::move(pLibrary));
    pTask->Execute();
    EXPECT_EQ(42, pP->GetIntVariable("n"));
}

// After GetModelDecision and GetModelTask the file gives each code ID a
// direct entry, which the engine reaches through the entries its operations
// keep. They answer as the two functions do: for a code ID that two
// processes share (the later operation's block is the one written), a task
// that reads its ID, a fault, an ID without a block. A library built
// without them (by an earlier version) is called through the two
// functions, and the entries kept from the first library find their way
// again in it.
TEST_F(CodeGenTest, DirectEntriesAnswerAsTheDispatchFunctions) {
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    CModel model("Direct");
    CSDLBlock* pTable = model.AddBlock(nullptr, "Table", 3);
    CSDLProcess* pLeft = model.AddProcess(pTable, "Left", 4);
    CSDLProcess* pRight = model.AddProcess(pTable, "Right", 5);
    CModel::AddVariable(pLeft, "int", "n", "0");
    CModel::AddVariable(pLeft, "int", "zero", "0");
    auto* pLeftAsk = model.AddDecision(pLeft, nullptr, "s", 1, "n @.G 100", 10, 11);
    auto* pCount = model.AddTask(pLeft, nullptr, "s", 2, "n = n + (int)strlen(ID);");
    auto* pFault = model.AddDecision(pLeft, nullptr, "s", 3, "n / zero", 14, 15);
    CModel::Chain({pLeftAsk, pCount, pFault});
    pLeft->m_mapStates["s"] = pLeftAsk;
    pRight->m_mapStates["s"] = model.AddDecision(pRight, nullptr, "s", 1, "1", 12, 13);
    ASSERT_EQ(pLeftAsk->GetCodeID(), pRight->m_mapStates["s"]->GetCodeID());

    CSDLEngine& engine = model.Engine();
    const std::string strBase = (m_dir / "direct").string();
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    // The library an earlier version built: the same file up to the entries.
    const std::string strText = ReadAll(strBase + ".c");
    const size_t nEntries = strText.find("// Direct entries");
    ASSERT_NE(std::string::npos, nEntries);
    ASSERT_NE(std::string::npos, strText.find("int GetModelTask(char* ID)"));
    ASSERT_LT(strText.find("int GetModelTask(char* ID)"), nEntries);
    const std::string strOldBase = (m_dir / "earlier").string();
    WriteAll(strOldBase + ".c", strText.substr(0, nEntries));

    const std::string strShared = pLeftAsk->GetCodeID();
    const std::string strCount = pCount->GetCodeID();
    const std::string strIdent = pLeft->GetVariableIdentifier("n");
    CModelEntry shared(strShared);
    CModelEntry fault(pFault->GetCodeID());
    CModelEntry unknown("no such ID");
    CModelEntry count(strCount);
    for (const bool bDirect : {true, false}) {
        SCOPED_TRACE(bDirect ? "with direct entries" : "without");
        std::unique_ptr<CDlModelLibrary> pLibrary;
        ASSERT_NO_FATAL_FAILURE(BuildAndLoad(engine, bDirect ? strBase : strOldBase, pLibrary));
        CDlModelLibrary& library = *pLibrary;
        EXPECT_EQ(bDirect, library.HasDirectEntries());
        std::string strName;
        ASSERT_EQ(MC_OK, library.IniModel(strName));

        int nByKey = -1;
        int nByEntry = -2;
        ASSERT_EQ(MC_OK, library.GetModelDecision(strShared, nByKey));
        ASSERT_EQ(MC_OK, library.CallDecision(shared, nByEntry));
        EXPECT_EQ(12, nByKey);
        EXPECT_EQ(12, nByEntry);
        ASSERT_EQ(MC_OK, library.GetModelDecision("no such ID", nByKey));
        ASSERT_EQ(MC_OK, library.CallDecision(unknown, nByEntry));
        EXPECT_EQ(0, nByKey);
        EXPECT_EQ(0, nByEntry);
        EXPECT_EQ(MC_FAULT, library.GetModelDecision(fault.m_strKey, nByKey));
        EXPECT_EQ(MC_FAULT, library.CallDecision(fault, nByEntry));
        // An ID without a block goes to GetModelDecision; one with a block
        // does so only without direct entries.
        EXPECT_EQ(bDirect, shared.m_pfn != unknown.m_pfn);

        int nIgnored = 0;
        int nValue = 0;
        ASSERT_EQ(MC_OK, library.GetModelTask(strCount, nIgnored));
        ASSERT_EQ(MC_OK, library.GetInt(strIdent, nValue));
        EXPECT_EQ(static_cast<int>(strCount.size()), nValue);
        ASSERT_EQ(MC_OK, library.CallTask(count, nIgnored));
        ASSERT_EQ(MC_OK, library.GetInt(strIdent, nValue));
        EXPECT_EQ(2 * static_cast<int>(strCount.size()), nValue);
    }
}

// A process keeps the formals of the built-in procedures it calls, with
// their accessors, and nothing of the built-ins it does not call; its own
// procedures stay whole. The call writes and reads the formal through the
// built library.
TEST_F(CodeGenTest, BuiltInProceduresHaveVariablesOnlyWhereCalled) {
    CModel model("BuiltIns");
    CSDLLoader loader;
    CSDLProcess* pCaller = model.AddProcess(nullptr, "Caller", 1);
    CSDLProcess* pQuiet = model.AddProcess(nullptr, "Quiet", 2);
    for (CSDLProcess* pProcess : {pCaller, pQuiet}) {
        loader.RegisterBuiltInProcedures(pProcess);
    }
    CModel::AddVariable(pCaller, "double", "v", "2.5");
    auto* pCall = model.AddCall(pCaller, "S", 1, "Report", "v");
    pCaller->m_mapStates["S"] = pCall;
    CModel::AddFormal(CModel::AddProcedure(pQuiet, "Unused", 3), "int", "n");

    CSDLEngine& engine = model.Engine();
    const std::string strBase = (m_dir / "builtins").string();
    ASSERT_EQ(1, engine.CreateCodeFile(strBase));
    const std::string strText = ReadAll(strBase + ".c");
    const std::string strReport = CSDLEngine::FormatQualifiedName(
        "PARAM_1", pCaller->GetProcedure("Report")->GetInstanceName());
    const std::string strUnused =
        CSDLEngine::FormatQualifiedName("n", pQuiet->GetProcedure("Unused")->GetInstanceName());
    EXPECT_NE(std::string::npos, strText.find("\ndouble " + strReport + ";\n"));
    EXPECT_NE(std::string::npos, strText.find("\nint " + strUnused + ";\n"));
    for (const std::string& strIdent : {strReport, strUnused}) {
        EXPECT_NE(std::string::npos, strText.find(" Get" + strIdent + "()")) << strIdent;
        EXPECT_NE(std::string::npos, strText.find(" Set" + strIdent + "(")) << strIdent;
    }
    // Of the 31 built-in formals per process, Caller keeps Report's one.
    for (CSDLProcess* pProcess : {pCaller, pQuiet}) {
        for (const auto& [strName, pProcedure] : pProcess->m_mapProcedures) {
            if (!pProcedure->m_bBuiltIn || (pProcess == pCaller && strName == "Report")) {
                continue;
            }
            EXPECT_EQ(std::string::npos, strText.find("_" + pProcedure->GetInstanceName() + "()"))
                << strName;
        }
    }
    if (!HaveGcc()) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    std::unique_ptr<CDlModelLibrary> pLibrary;
    ASSERT_NO_FATAL_FAILURE(BuildAndLoad(engine, strBase, pLibrary));
    std::string strName;
    ASSERT_EQ(MC_OK, pLibrary->IniModel(strName));
    engine.SetModelLibrary(std::move(pLibrary));
    pCall->Execute();
    double dFormal = 0.0;
    ASSERT_EQ(MC_OK, engine.GetModelLibrary()->GetDouble(strReport, dFormal));
    EXPECT_DOUBLE_EQ(2.5, dFormal);
    EXPECT_DOUBLE_EQ(2.5, pCaller->GetDoubleVariable("v"));
    EXPECT_TRUE(pCaller->m_strError.empty()) << pCaller->m_strError;
    EXPECT_TRUE(model.Notifier().GetBoxes().empty());
}

}  // namespace
