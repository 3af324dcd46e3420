#include "sh_aux/externalcompiler.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/filebytes.h"

namespace fs = std::filesystem;

namespace {

const std::string HEADER_FOLDER = std::string(VELKO_TEST_DATA_DIR) + "/compiler/SDLCodeExternal";

constexpr auto ReadAll = velkotest::ReadFileBytes;
constexpr auto WriteFile = velkotest::WriteFileBytes;

std::string FirstLine(const std::string& str) {
    return str.substr(0, str.find('\n'));
}

class ExternalCompilerTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> s_nCounter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // A blank in the folder name: every path must reach the compiler whole.
        m_dir = fs::temp_directory_path() / ("velko compiler " + std::to_string(getpid()) + "_" +
                                             std::to_string(s_nCounter++) + "_" + info->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_strBase = (m_dir / "model").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // A stand-in compiler: a shell script with the given body.
    std::string WriteScript(const std::string& strName, const std::string& strBody) {
        const fs::path path = m_dir / strName;
        WriteFile(path, "#!/bin/sh\n" + strBody);
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }

    fs::path m_dir;
    std::string m_strBase;
};

TEST_F(ExternalCompilerTest, GccBuildsLoadableLibraryWithHeaderFolder) {
    if (!fs::exists(EC_DEFAULT_COMPILER)) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    // Shaped like the generated source: the external header, one model
    // variable with its getter and setter, and the decision entry point.
    WriteFile(m_strBase + ".c",
              "#include \"" + HEADER_FOLDER +
                  "/SDLCodeExternal.h\"\n"
                  "#include <math.h>\n"
                  "int Sys_proc_count = 7;\n"
                  "int GetSys_proc_count() { return Sys_proc_count; }\n"
                  "void SetSys_proc_count(int v) { Sys_proc_count = v; }\n"
                  "int GetModelDecision(char* code) {\n"
                  "    return ExternalScore(code) + (int)sqrt((double)(Sys_proc_count * "
                  "Sys_proc_count));\n"
                  "}\n");

    CExternalCompiler compiler(EC_DEFAULT_COMPILER);
    const std::string strCompiled = compiler.Compile(m_strBase, HEADER_FOLDER);
    EXPECT_TRUE(compiler.LastRunSucceeded()) << strCompiled;
    // Every command that ran, with what it printed (nothing here): the
    // folder's source, then the model's, and no line break after the last.
    EXPECT_EQ(strCompiled, "\"/usr/bin/gcc\" -c -fPIC -DBUILD_DLL \"" + HEADER_FOLDER +
                               "/SDLCodeExternal.c\" -o \"" + m_strBase +
                               ".SDLCodeExternal.o\"\n\"/usr/bin/gcc\" -c -fPIC -DBUILD_DLL \"" +
                               m_strBase + ".c\" -o \"" + m_strBase + ".o\"");
    EXPECT_TRUE(fs::exists(m_strBase + ".o"));
    EXPECT_TRUE(fs::exists(m_strBase + ".SDLCodeExternal.o"));

    const std::string strLinked = compiler.Link(m_strBase);
    EXPECT_TRUE(compiler.LastRunSucceeded()) << strLinked;
    EXPECT_EQ(FirstLine(strLinked), "\"/usr/bin/gcc\" -shared -Wl,--no-undefined -o \"" +
                                        m_strBase + ".so\" \"" + m_strBase + ".o\" \"" + m_strBase +
                                        ".SDLCodeExternal.o\" -lm");
    ASSERT_TRUE(fs::exists(m_strBase + ".so"));

    // RTLD_NOW: a symbol of the folder's object missing from the library
    // would make the load fail here.
    void* pLib = dlopen((m_strBase + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pLib, nullptr) << dlerror();
    auto pDecision = reinterpret_cast<int (*)(char*)>(dlsym(pLib, "GetModelDecision"));
    auto pGet = reinterpret_cast<int (*)()>(dlsym(pLib, "GetSys_proc_count"));
    auto pSet = reinterpret_cast<void (*)(int)>(dlsym(pLib, "SetSys_proc_count"));
    ASSERT_NE(pDecision, nullptr);
    ASSERT_NE(pGet, nullptr);
    ASSERT_NE(pSet, nullptr);
    char szCode[] = "S_0_idle_3";
    EXPECT_EQ(pGet(), 7);
    EXPECT_EQ(pDecision(szCode), 10 + 100 + 7);
    pSet(20);
    EXPECT_EQ(pGet(), 20);
    EXPECT_EQ(pDecision(szCode), 10 + 100 + 20);
    dlclose(pLib);

    // The log holds both steps, compile first.
    const std::string strLog = ReadAll(m_dir / "SDLCode_log.txt");
    const size_t nCompile = strLog.find(FirstLine(strCompiled));
    const size_t nLink = strLog.find(FirstLine(strLinked));
    EXPECT_EQ(nCompile, 0u);
    EXPECT_NE(nLink, std::string::npos);
    EXPECT_GT(nLink, nCompile);
}

// A relative path that begins with "-" (a model opened as "-net/-m.velko")
// reaches the compiler as a file, not as an option.
TEST_F(ExternalCompilerTest, RelativePathsBeginningWithADashAreFiles) {
    if (!fs::exists(EC_DEFAULT_COMPILER)) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    const fs::path cwd = fs::current_path();
    fs::current_path(m_dir);
    fs::create_directories("-net");
    fs::create_directories("-hdr");
    WriteFile("-net/-m.c",
              "int Helper(void);\nint GetModelDecision(char* c) { return Helper(); }\n");
    WriteFile("-hdr/helper.c", "int Helper(void) { return 3; }\n");
    CExternalCompiler compiler(EC_DEFAULT_COMPILER);
    const std::string strCompiled = compiler.Compile("-net/-m", "-hdr");
    const bool bCompiled = compiler.LastRunSucceeded();
    const std::string strLinked = compiler.Link("-net/-m");
    const bool bLinked = compiler.LastRunSucceeded();
    fs::current_path(cwd);
    EXPECT_TRUE(bCompiled) << strCompiled;
    EXPECT_TRUE(bLinked) << strLinked;
    EXPECT_EQ(FirstLine(strLinked),
              "\"/usr/bin/gcc\" -shared -Wl,--no-undefined -o \"./-net/-m.so\" \"./-net/-m.o\" "
              "\"./-net/-m.helper.o\" -lm");
    EXPECT_TRUE(fs::exists(m_dir / "-net" / "-m.so"));
}

TEST_F(ExternalCompilerTest, GccErrorsRemoveStaleOutputs) {
    if (!fs::exists(EC_DEFAULT_COMPILER)) {
        GTEST_SKIP() << "no compiler at " << EC_DEFAULT_COMPILER;
    }
    WriteFile(m_strBase + ".o", "left from an earlier build");
    WriteFile(m_strBase + ".so", "left from an earlier build");
    WriteFile(m_strBase + ".c", "int GetModelDecision(char* code) { return undeclared_name; }\n");

    CExternalCompiler compiler(EC_DEFAULT_COMPILER);
    const std::string strCompiled = compiler.Compile(m_strBase, "");
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_FALSE(fs::exists(m_strBase + ".o"));
    EXPECT_NE(strCompiled.find("undeclared_name"), std::string::npos) << strCompiled;

    compiler.Link(m_strBase);
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_FALSE(fs::exists(m_strBase + ".so"));
}

TEST_F(ExternalCompilerTest, FloodingCompilerIsDrainedAndCut) {
    // Something on stderr first, then 100 KiB on each stream: a runner that
    // waited before reading would block on the full pipe for ever.
    const std::string strScript = WriteScript("noisy-cc",
                                              "printf 'err-first\\n' >&2\n"
                                              "head -c 102400 /dev/zero | tr '\\000' o\n"
                                              "head -c 102400 /dev/zero | tr '\\000' e >&2\n"
                                              "exit 0\n");
    CExternalCompiler compiler(strScript);
    const std::string strText = compiler.Compile(m_strBase, "");

    const std::string strLine = "\"" + strScript + "\" -c -fPIC -DBUILD_DLL \"" + m_strBase +
                                ".c\" -o \"" + m_strBase + ".o\"";
    EXPECT_EQ(strText, strLine + "\n" + "err-first\n" + std::string(4096 - 10, 'o'));
    // Exit status 0 without an object file is no success.
    EXPECT_FALSE(compiler.LastRunSucceeded());

    // The log keeps everything the compiler printed, in order.
    EXPECT_TRUE(ReadAll(m_dir / "SDLCode_log.txt") == strLine + "\n" + "err-first\n" +
                                                          std::string(102400, 'o') +
                                                          std::string(102400, 'e') + "\n");

    // A folder that does not exist gives the same short line.
    EXPECT_EQ(FirstLine(compiler.Compile(m_strBase, (m_dir / "missing").string())), strLine);
}

// Gone, or a zombie waiting for its parent's parent to reap it.
bool HasEnded(pid_t pid) {
    const std::string strStat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t nParen = strStat.rfind(')');
    return strStat.empty() || (nParen != std::string::npos && strStat.substr(nParen + 2, 1) == "Z");
}

// An abort (the program ends) ends the command that runs, with what it
// started, and every later one fails without running.
TEST_F(ExternalCompilerTest, AbortEndsTheRunningCommandWithItsChildrenAndTheLaterOnes) {
    const std::string strMark = (m_dir / "grandchild").string();
    const std::string strScript =
        WriteScript("slow-cc", "sleep 30 &\necho $! > \"" + strMark + ".tmp\"\nmv \"" + strMark +
                                   ".tmp\" \"" + strMark + "\"\nwait\n");
    CExternalCompiler compiler(strScript);
    std::thread aborter([&] {
        // A deadline for the script's start, not for the whole.
        for (int i = 0; i < 3000 && !fs::exists(strMark); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        compiler.Abort();
    });
    const std::string strText = compiler.Compile(m_strBase, "");
    aborter.join();
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_NE(strText.find("was ended by signal 15"), std::string::npos) << strText;
    const pid_t pidGrandchild = std::stoi(ReadAll(strMark));
    bool bEnded = false;
    for (int i = 0; i < 3000 && !(bEnded = HasEnded(pidGrandchild)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(bEnded) << "the compiler's own child still runs";

    fs::remove(strMark);
    const std::string strLinked = compiler.Link(m_strBase);
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_NE(strLinked.find("was not run: the build was broken off"), std::string::npos)
        << strLinked;
    EXPECT_FALSE(fs::exists(strMark));
}

TEST_F(ExternalCompilerTest, FailingStatusRemovesOutputAndTextIsDecoded) {
    // Writes every -o target and a Latin-1 byte, then reports failure.
    const std::string strScript = WriteScript("lying-cc",
                                              "while [ $# -gt 0 ]; do\n"
                                              "  if [ \"$1\" = -o ]; then printf x > \"$2\"; fi\n"
                                              "  shift\n"
                                              "done\n"
                                              "printf 'caf\\351'\n"
                                              "exit 1\n");
    CExternalCompiler compiler(strScript);
    const std::string strText = compiler.Compile(m_strBase, "");
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_FALSE(fs::exists(m_strBase + ".o"));
    EXPECT_EQ(strText.substr(strText.find('\n') + 1), "caf\xC3\xA9");

    compiler.Link(m_strBase);
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_FALSE(fs::exists(m_strBase + ".so"));
}

TEST_F(ExternalCompilerTest, MissingCompilerReportsFailureAndLeavesNoStaleOutput) {
    WriteFile(m_strBase + ".c", "int GetModelDecision(char* code) { return 0; }\n");
    WriteFile(m_strBase + ".o", "left from an earlier build");
    WriteFile(m_strBase + ".so", "left from an earlier build");
    const std::string strMissing = (m_dir / "no such gcc").string();

    CExternalCompiler compiler(strMissing);
    const std::string strCompiled = compiler.Compile(m_strBase, HEADER_FOLDER);
    EXPECT_FALSE(compiler.LastRunSucceeded());
    // The first command could not start: it is the only one in the text.
    EXPECT_EQ(FirstLine(strCompiled), "\"" + strMissing + "\" -c -fPIC -DBUILD_DLL \"" +
                                          HEADER_FOLDER + "/SDLCodeExternal.c\" -o \"" + m_strBase +
                                          ".SDLCodeExternal.o\"");
    EXPECT_EQ(strCompiled.find("-DBUILD_DLL \"" + m_strBase + ".c\""), std::string::npos);
    EXPECT_NE(strCompiled.find("posix_spawn failed with error"), std::string::npos) << strCompiled;
    EXPECT_FALSE(fs::exists(m_strBase + ".o"));
    EXPECT_FALSE(fs::exists(m_strBase + ".SDLCodeExternal.o"));

    const std::string strLinked = compiler.Link(m_strBase);
    EXPECT_FALSE(compiler.LastRunSucceeded());
    EXPECT_NE(strLinked.find("posix_spawn failed with error"), std::string::npos) << strLinked;
    EXPECT_FALSE(fs::exists(m_strBase + ".so"));
    // The failure is in the log too.
    EXPECT_NE(ReadAll(m_dir / "SDLCode_log.txt").find("posix_spawn failed"), std::string::npos);
}

}  // namespace
