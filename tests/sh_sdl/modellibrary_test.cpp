#include "sh_sdl/modellibrary.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "sh_aux/externalcompiler.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "support/recordingnotifier.h"
#include "test_helpers.h"

namespace fs = std::filesystem;

namespace {

using sdltest::CTestModel;
using sdltest::MakeEvent;

// ---- Process variables through the library ---------------------------------------------

class VariableTest : public ::testing::Test {
protected:
    void SetUp() override { m_p = m_model.AddProcess(nullptr, "P", 1); }

    bool LibraryWasWritten() const {
        for (const std::string& strCall : m_model.Library().m_vecCalls) {
            if (strCall.rfind("Set", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    CTestModel m_model;
    CSDLProcess* m_p = nullptr;
};

TEST_F(VariableTest, ReadsDeclaredVariablesFromTheLibrary) {
    m_model.DeclareVariable(m_p, "n", "int", "5");
    m_model.DeclareVariable(m_p, "d", "double", "2.5");
    m_model.DeclareVariable(m_p, "s", "char*", "hello");
    EXPECT_EQ(m_p->GetVariableIdentifier("n"), "n_P");
    // The library holds the live value, not the record.
    m_model.Library().m_mapInts["n_P"] = 6;
    EXPECT_EQ(m_p->GetIntVariable("n"), 6);
    EXPECT_EQ(m_p->GetDoubleVariable("d"), 2.5);
    EXPECT_EQ(m_p->GetStringVariable("s"), "hello");
    EXPECT_EQ(m_p->GetVariableAsString("n", "int"), "6");
    EXPECT_EQ(m_p->GetVariableAsString("d", "double"), "2.500000");
    EXPECT_EQ(m_p->GetVariableAsString("s", "char*"), "hello");
    EXPECT_EQ(m_p->GetVariableAsString("n", "float"), "");
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(VariableTest, TypeWithBlanksAroundReadsAsInt) {
    m_model.DeclareVariable(m_p, "n", " int ", "0");
    m_model.Library().DeclareInt("n_P", 17);
    EXPECT_EQ(m_p->GetIntVariable("n"), 17);
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(VariableTest, UndeclaredNamesGiveTheFallbacks) {
    EXPECT_EQ(m_p->GetIntVariable("x"), 0);
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Variable x not defined. Using 0");
    EXPECT_TRUE(m_model.Engine().m_bErrorPending);
    m_p->m_strError.clear();
    EXPECT_EQ(m_p->GetDoubleVariable("x"), 0.0);
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Variable x not defined. Using 0");
    EXPECT_EQ(m_p->GetStringVariable("x"), "x");
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Variable x not defined. Using as literal");
}

TEST_F(VariableTest, MistypedReadsGiveTheFallbacks) {
    m_model.DeclareVariable(m_p, "n", "int", "5");
    m_model.DeclareVariable(m_p, "d", "double", "2.5");
    EXPECT_EQ(m_p->GetDoubleVariable("n"), 0.0);
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Expected double and received int for "
              "variable n on process P. Using 0.");
    EXPECT_EQ(m_p->GetStringVariable("n"), "n");
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Expected char* and received int for "
              "variable n on process P. Using as literal");
    EXPECT_EQ(m_p->GetIntVariable("d"), 0);
    EXPECT_EQ(m_p->m_strError,
              "Error on process P on time 0.000000. Expected int and received double for "
              "variable d on process P");
}

TEST_F(VariableTest, InstancesShareOneLibraryVariable) {
    CSDLBlock* b = m_model.AddBlock(nullptr, "B", 2);
    CSDLProcess* p1 = m_model.AddProcess(b, "P", 3, 1);
    CSDLProcess* p2 = m_model.AddProcess(b, "P", 3, 2);
    m_model.DeclareVariable(p1, "n", "int", "0");
    m_model.DeclareVariable(p2, "n", "int", "0");
    EXPECT_EQ(p1->GetVariableIdentifier("n"), "n_B_P");
    EXPECT_EQ(p2->GetVariableIdentifier("n"), "n_B_P");
    p1->SetVariable("n", "9");
    EXPECT_EQ(p2->GetIntVariable("n"), 9);
    p2->SetVariable("n", "-4");
    EXPECT_EQ(p1->GetIntVariable("n"), -4);
    EXPECT_EQ(m_model.Library().m_mapInts.size(), 1u);
}

TEST_F(VariableTest, SetVariableWritesRecordAndLibrary) {
    m_model.DeclareVariable(m_p, "n", "int", "0");
    m_model.DeclareVariable(m_p, "d", "double", "0");
    m_model.DeclareVariable(m_p, "s", "char*", "");
    // Each type by its own rule, whatever the locale: leading zeros are
    // decimal, an exponent makes a double.
    m_p->SetVariable("n", " 010 ");
    EXPECT_EQ(m_model.Library().m_mapInts["n_P"], 10);
    EXPECT_EQ(m_p->GetVariable("n")->m_strValue, " 010 ");
    m_p->SetVariable("d", "1e3");
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 1000.0);
    m_p->SetVariable("d", "0.1234567891");
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 0.1234567891);
    m_p->SetVariable("s", "moved on");
    EXPECT_EQ(m_model.Library().m_mapStrings["s_P"], "moved on");
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_TRUE(m_model.Notifier().GetBoxes().empty());
    // A text that is no value of the type is refused, not read as what its
    // first characters make: the variable keeps its value.
    for (const char* pszText : {"-7x", "1e3", "2147483648", "1; printf(\"x\")", "abc", ""}) {
        m_p->m_strError.clear();
        m_p->SetVariable("n", pszText);
        EXPECT_EQ(m_model.Library().m_mapInts["n_P"], 10) << pszText;
        EXPECT_EQ(m_p->GetVariable("n")->m_strValue, " 010 ") << pszText;
        EXPECT_NE(m_p->m_strError.find("The value \"" + std::string(pszText) +
                                       "\" of the variable n of process P is not an int"),
                  std::string::npos)
            << m_p->m_strError;
    }
    for (const char* pszText : {"1,5", "inf", "1e400", "0x10"}) {
        m_p->SetVariable("d", pszText);
        EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 0.1234567891) << pszText;
    }
}

TEST_F(VariableTest, SetVariableOfAnUnimplementedTypeReportsAndShowsABox) {
    m_p->m_mapVariables["f"] = std::make_unique<CSDLParameter>("float", "f", "1.0", "no");
    m_p->SetVariable("f", "2.0");
    EXPECT_EQ(m_p->GetVariable("f")->m_strValue, "2.0");
    EXPECT_FALSE(LibraryWasWritten());
    const std::string strError =
        "Error on process P on time 0.000000. Type float is not implemented.";
    EXPECT_EQ(m_p->m_strError, strError);
    const auto boxes = m_model.Notifier().GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText, strError);
}

TEST_F(VariableTest, SetVariableOfAnUndeclaredNameReportsAndShowsABox) {
    m_p->SetVariable("x", "3");
    const std::string strError = "Error on process P on time 0.000000. Variable x is not declared.";
    EXPECT_EQ(m_p->m_strError, strError);
    EXPECT_FALSE(LibraryWasWritten());
    const auto boxes = m_model.Notifier().GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText, strError);
}

TEST_F(VariableTest, SmallDoubleSurvivesTheRoundTripThroughItsValueText) {
    m_model.DeclareVariable(m_p, "d", "double", "0");
    m_model.Library().m_mapDoubles["d_P"] = 1e-7;
    const std::string strText = m_p->GetVariableAsString("d", "double");
    EXPECT_EQ(strText, "0.000000");
    m_p->GetVariable("d")->m_strValue = strText;
    m_p->RestoreVariable("d");
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 1e-7);
    // A text written on purpose means what it says.
    m_p->SetVariable("d", "0.000000");
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 0.0);

    // The same through a transition: the set state refreshes the value texts
    // and the next input writes them back before its transition runs.
    auto pSetState = std::make_unique<CSDLOperationSetState>("idle");
    pSetState->m_strType = "setstate";
    pSetState->m_pOwner = m_p;
    auto pInput = std::make_unique<CSDLOperationInput>();
    pInput->m_strType = "input";
    pInput->m_pOwner = m_p;
    CSDLOperation* pSet = m_p->AddOperation(std::move(pSetState));
    CSDLOperation* pIn = m_p->AddOperation(std::move(pInput));
    m_model.Library().m_mapDoubles["d_P"] = 3e-8;
    pSet->Execute();
    EXPECT_EQ(m_p->GetVariable("d")->m_strValue, "0.000000");
    m_model.Library().m_mapDoubles["d_P"] = 0.75;  // another instance changed it
    m_p->m_pCurrentEvent = MakeEvent("Hello", 1.0);
    pIn->Execute();
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 3e-8);

    // A new value text is written as it reads.
    m_p->SetVariable("d", "0.5");
    EXPECT_EQ(m_model.Library().m_mapDoubles["d_P"], 0.5);
    EXPECT_EQ(m_p->m_strError, "");
}

// ---- A real library built by the compiler ------------------------------------------------

class DlModelLibraryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!fs::exists(EC_DEFAULT_COMPILER)) {
            return;
        }
        s_dir = fs::temp_directory_path() / ("velko_sdl_library_" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        fs::create_directories(s_dir);
        const std::string strBase = (s_dir / "model").string();
        const std::string strCount = CSDLEngine::FormatQualifiedName("count", "B_P");
        const std::string strSpeed = CSDLEngine::FormatQualifiedName("speed", "B_P");
        const std::string strLabel = CSDLEngine::FormatQualifiedName("label", "B_P");
        std::ofstream source(strBase + ".c", std::ios::binary | std::ios::trunc);
        source << "#include <string.h>\n"
               << "int " << strCount << " = 3;\n"
               << "double " << strSpeed << " = 0.25;\n"
               << "char* " << strLabel << " = \"start\";\n"
               << "int Get" << strCount << "(void) { return " << strCount << "; }\n"
               << "void Set" << strCount << "(int v) { " << strCount << " = v; }\n"
               << "double Get" << strSpeed << "(void) { return " << strSpeed << "; }\n"
               << "void Set" << strSpeed << "(double v) { " << strSpeed << " = v; }\n"
               << "char* Get" << strLabel << "(void) { return " << strLabel << "; }\n"
               << "void Set" << strLabel << "(char* v) { " << strLabel << " = v; }\n"
               << "char* GetModelName(void) { return \"tiny\"; }\n"
               << "int GetModelDecision(char* id) { return (int)strlen(id); }\n"
               << "int GetModelTask(char* id) {\n"
               // 1 / x compiles to a compare: divide something else so that
               // the division really traps.
               << "    if (strcmp(id, \"div\") == 0) { volatile int zero = 0; return 7 / zero; }\n"
               << "    if (strcmp(id, \"null\") == 0) { volatile int* p = 0; return *p; }\n"
               << "    return 7;\n"
               << "}\n";
        source.close();
        CExternalCompiler compiler(EC_DEFAULT_COMPILER);
        s_strLog = compiler.Compile(strBase, "");
        if (compiler.LastRunSucceeded()) {
            s_strLog += compiler.Link(strBase);
            if (compiler.LastRunSucceeded()) {
                s_strLibrary = strBase + ".so";
            }
        }
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        if (!s_dir.empty()) {
            fs::remove_all(s_dir, ec);
        }
    }
    void SetUp() override {
        if (!fs::exists(EC_DEFAULT_COMPILER)) {
            GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
        }
        ASSERT_FALSE(s_strLibrary.empty()) << s_strLog;
    }

    static inline fs::path s_dir;
    static inline std::string s_strLibrary;
    static inline std::string s_strLog;
};

TEST_F(DlModelLibraryTest, ReachesAccessorsByQualifiedName) {
    CDlModelLibrary library;
    ASSERT_TRUE(library.Load(s_strLibrary)) << library.GetLoadError();
    const std::string strCount = "count_B_P";
    EXPECT_TRUE(library.HasSymbol("Get" + strCount));

    int nValue = 0;
    EXPECT_EQ(library.GetInt(strCount, nValue), MC_OK);
    EXPECT_EQ(nValue, 3);
    EXPECT_EQ(library.SetInt(strCount, 11), MC_OK);
    EXPECT_EQ(library.GetInt(strCount, nValue), MC_OK);
    EXPECT_EQ(nValue, 11);

    double dValue = 0.0;
    EXPECT_EQ(library.GetDouble("speed_B_P", dValue), MC_OK);
    EXPECT_EQ(dValue, 0.25);
    EXPECT_EQ(library.SetDouble("speed_B_P", 1e-7), MC_OK);
    EXPECT_EQ(library.GetDouble("speed_B_P", dValue), MC_OK);
    EXPECT_EQ(dValue, 1e-7);

    std::string strValue;
    EXPECT_EQ(library.GetString("label_B_P", strValue), MC_OK);
    EXPECT_EQ(strValue, "start");
    // The library keeps the pointer it is given: the text must stay valid.
    {
        const std::string strTemporary = "moved on";
        EXPECT_EQ(library.SetString("label_B_P", strTemporary), MC_OK);
    }
    EXPECT_EQ(library.GetString("label_B_P", strValue), MC_OK);
    EXPECT_EQ(strValue, "moved on");

    std::string strName;
    EXPECT_EQ(library.GetModelName(strName), MC_OK);
    EXPECT_EQ(strName, "tiny");
    int nResult = 0;
    EXPECT_EQ(library.GetModelDecision("abcd", nResult), MC_OK);
    EXPECT_EQ(nResult, 4);
}

TEST_F(DlModelLibraryTest, MissingSymbolsAreNotCalled) {
    CDlModelLibrary library;
    ASSERT_TRUE(library.Load(s_strLibrary)) << library.GetLoadError();
    int nValue = 123;
    EXPECT_EQ(library.GetInt("nothere_P", nValue), MC_MISSING);
    EXPECT_EQ(nValue, 123);
    EXPECT_EQ(library.SetInt("nothere_P", 1), MC_MISSING);
    std::string strName;
    EXPECT_EQ(library.IniModel(strName), MC_MISSING);
    EXPECT_FALSE(library.HasSymbol("IniModel"));

    CDlModelLibrary missing;
    EXPECT_FALSE(missing.Load((s_dir / "absent.so").string()));
    EXPECT_FALSE(missing.GetLoadError().empty());
    EXPECT_EQ(missing.GetModelTask("x", nValue), MC_MISSING);

    // An engine binding it names the entry point the library lacks.
    CRecordingNotifier notifier;
    CSDLEngine engine;
    engine.SetNotifier(&notifier);
    engine.m_strCodeBasePath = s_strLibrary.substr(0, s_strLibrary.size() - 3);
    EXPECT_EQ(engine.LoadModelDLL(), 2);
    EXPECT_EQ(engine.GetLibraryError(), "the model library has no entry point IniModel");
    ASSERT_EQ(notifier.GetBoxes().size(), 1u);
    EXPECT_EQ(notifier.GetBoxes()[0].strText, "Error");
}

// Counts the SIGFPE that reach the handler installed before the library.
std::atomic<int> g_nForeignFaults{0};
void CountForeignFault(int) {
    ++g_nForeignFaults;
}

TEST_F(DlModelLibraryTest, FaultsAreTrappedAndTheProcessGoesOn) {
    struct sigaction previous {};
    struct sigaction counting {};
    counting.sa_handler = CountForeignFault;
    sigemptyset(&counting.sa_mask);
    ASSERT_EQ(sigaction(SIGFPE, &counting, &previous), 0);
    {
        CDlModelLibrary library;
        ASSERT_TRUE(library.Load(s_strLibrary)) << library.GetLoadError();
        int nResult = 0;
        for (int nRound = 0; nRound < 2; ++nRound) {
            EXPECT_EQ(library.GetModelTask("div", nResult), MC_FAULT);
            EXPECT_EQ(library.GetModelTask("null", nResult), MC_FAULT);
            nResult = 0;
            EXPECT_EQ(library.GetModelTask("ok", nResult), MC_OK);
            EXPECT_EQ(nResult, 7);
        }
        // A signal outside a guarded call, here and on another thread, goes
        // to the handler that was there before, while the guard stays.
        raise(SIGFPE);
        std::thread([] { raise(SIGFPE); }).join();
        EXPECT_EQ(g_nForeignFaults, 2);
        EXPECT_EQ(library.GetModelTask("div", nResult), MC_FAULT);
    }
    // Once the library is gone the previous handler is back in place.
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGFPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, CountForeignFault);
    sigaction(SIGFPE, &previous, nullptr);
}

TEST_F(DlModelLibraryTest, ProcessReadsAndWritesThroughTheLibrary) {
    CTestModel model;
    auto pLibrary = std::make_unique<CDlModelLibrary>();
    ASSERT_TRUE(pLibrary->Load(s_strLibrary)) << pLibrary->GetLoadError();
    model.Engine().SetModelLibrary(std::move(pLibrary));
    // A process of a block instance reaches the variables of its template.
    CSDLBlock* b = model.AddBlock(nullptr, "B", 1, 1);
    CSDLProcess* p = model.AddProcess(b, "P", 2, 3);
    p->m_mapVariables["count"] = std::make_unique<CSDLParameter>("int", "count", "3", "no");
    p->m_mapVariables["speed"] = std::make_unique<CSDLParameter>("double", "speed", "0", "no");
    p->m_mapVariables["missing"] = std::make_unique<CSDLParameter>("int", "missing", "0", "no");

    p->SetVariable("count", "21");
    EXPECT_EQ(p->GetIntVariable("count"), 21);
    p->SetVariable("speed", "2.5");
    EXPECT_EQ(p->GetVariableAsString("speed", "double"), "2.500000");
    EXPECT_EQ(p->m_strError, "");

    // A declared variable the library does not export is reported, not called.
    EXPECT_EQ(p->GetIntVariable("missing"), 0);
    EXPECT_NE(p->m_strError.find("missing"), std::string::npos) << p->m_strError;
}

}  // namespace
