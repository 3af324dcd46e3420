// Runs one model as a user's session would and keeps what it traced: open
// the model (a DEVS model is imported first), read its representation and
// its parametrization from beside it, generate, compile and link its
// library, then run it to its end as many times as asked, each run's trace
// copied to OUT.runN.trace and every report of the session written to
// OUT.log.
//
//   tracerunner MODEL OUT [--runs=N] [--end=TIME] [--param=FILE]
//
// The parametrization is FILE, else the .param beside the model whose name
// is the model's up to its first dot. The trace header names it without its
// folder, so that the same model run from two folders traces alike.
//
// tracediff.sh compiles this file against the libraries of each tree it
// compares, so it uses only what the engine and the loader have offered
// throughout: keep it so.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "sh_aux/notifier.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
// Included by its path: this file is also built outside the tests.
#include "../support/runwait.h"

namespace fs = std::filesystem;

namespace {

// Every report in one file, in order; questions get their cancel answer
// (nobody is there to answer them).
class CLogNotifier : public CNotifier {
public:
    explicit CLogNotifier(const std::string& strPath) : m_file(strPath, std::ios::binary) {}

    NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                            NotifyButtons eButtons, NotifyIcon) override {
        Write("box " + strTitle + ": " + strText);
        return CancelAnswer(eButtons);
    }
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string&,
                                 const std::string&) override {
        Write("file choice " + strTitle);
        return {};
    }
    void OutputLine(NotifyPane ePane, const std::string& strLine) override {
        static const char* const s_apszPanes[] = {"system", "model", "errors"};
        Write(std::string(s_apszPanes[ePane]) + ": " + strLine);
    }
    void Write(const std::string& strLine) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_file << strLine << '\n';
        m_file.flush();
    }

private:
    std::mutex m_mutex;
    std::ofstream m_file;
};

bool CopyFile(const std::string& strFrom, const std::string& strTo) {
    std::error_code error;
    fs::copy_file(strFrom, strTo, fs::copy_options::overwrite_existing, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODEL OUT [--runs=N] [--end=TIME] [--param=FILE]\n",
                     argv[0]);
        return 2;
    }
    const std::string strModel = fs::absolute(argv[1]).string();
    const std::string strOut = argv[2];
    int nRuns = 2;
    double dEnd = 1000.0;
    std::string strParam;
    for (int i = 3; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg.rfind("--runs=", 0) == 0) {
            nRuns = std::atoi(strArg.c_str() + 7);
        } else if (strArg.rfind("--end=", 0) == 0) {
            dEnd = std::strtod(strArg.c_str() + 6, nullptr);
        } else if (strArg.rfind("--param=", 0) == 0) {
            strParam = fs::absolute(strArg.substr(8)).string();
        }
    }
    const fs::path folder = fs::path(strModel).parent_path();
    const std::string strFile = fs::path(strModel).filename().string();
    const std::string strStem = strFile.substr(0, strFile.find('.'));
    if (strParam.empty() && fs::exists(folder / (strStem + ".param"))) {
        strParam = (folder / (strStem + ".param")).string();
    }

    CLogNotifier notifier(strOut + ".log");
    int nResult = 0;
    {
        CSDLEngine engine;
        engine.SetNotifier(&notifier);
        CSDLLoader loader;
        loader.m_pEngine = &engine;
        std::string strPath = strModel;
        if (strFile.size() > 5 && strFile.compare(strFile.size() - 5, 5, ".devs") == 0) {
            strPath = loader.ImportDEVS(strModel);
            notifier.Write("import: " + (strPath.empty() ? loader.m_strSideFileError
                                                         : fs::path(strPath).filename().string()));
            if (strPath.empty()) {
                return 3;
            }
        }
        const std::string strText = loader.LoadModel(strPath);
        if (strText.empty() || !loader.m_strErrorText.empty() || !loader.GetErrorLog().empty()) {
            notifier.Write("load failed: " + loader.m_strErrorText + loader.GetErrorLog());
            return 3;
        }
        std::string strEye = strPath;
        strEye = strEye.substr(0, strEye.rfind('.')) + ".eye";
        if (fs::exists(strEye)) {
            notifier.Write(std::string("model info: ") +
                           (loader.LoadModelInfo(strEye) ? "read" : "not read"));
        }
        std::string strLog;
        if (engine.CreateCodeFile("") != 1 || engine.CompileCode("", strLog) != 1 ||
            engine.LinkDLL("", strLog) != 1) {
            notifier.Write("build failed: " + strLog);
            return 4;
        }
        // As the window does after a build: the parametrization is read
        // again.
        if (!strParam.empty()) {
            notifier.Write(std::string("parametrization: ") +
                           (loader.LoadParametrization(strParam) ? "read" : "not read"));
            engine.m_strParametrizationFile = fs::path(strParam).filename().string();
        }
        for (int nRun = 1; nRun <= nRuns; ++nRun) {
            engine.m_bExecutionTrace = true;
            engine.m_bRepresentationTrace = true;
            engine.m_nEndMode = EM_BY_TIME;
            engine.m_dEndTime = dEnd;
            engine.m_strExperimentLabel = "main model";
            if (engine.StartThread() != 0) {
                notifier.Write("run " + std::to_string(nRun) + ": not started");
                nResult = 5;
                break;
            }
            const auto start = std::chrono::steady_clock::now();
            while (!engine.m_bInitialized && engine.IsThreadAlive() &&
                   std::chrono::steady_clock::now() - start <
                       velkotest::ScaledWait(std::chrono::seconds(60))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            engine.Run();
            if (!velkotest::WaitForRunEnd(engine, std::chrono::seconds(60))) {
                notifier.Write("run " + std::to_string(nRun) + ": stopped, standing still");
                engine.Stop();
                velkotest::WaitForRunEnd(engine, std::chrono::seconds(60));
                nResult = 6;
            }
            notifier.Write("run " + std::to_string(nRun) + ": result " +
                           std::to_string(engine.GetLastThreadResult()));
            const std::string strTrace = engine.GetTracePath();
            if (strTrace.empty() ||
                !CopyFile(strTrace, strOut + ".run" + std::to_string(nRun) + ".trace")) {
                notifier.Write("run " + std::to_string(nRun) + ": no trace");
                nResult = 7;
            }
        }
    }
    return nResult;
}
