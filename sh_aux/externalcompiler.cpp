#include "sh_aux/externalcompiler.h"

#include <fcntl.h>
#include <glob.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"

extern char** environ;

namespace {

const char* const LOG_FILE_NAME = "SDLCode_log.txt";

std::string StepFailure(const char* pszStep, int nCode) {
    return Format("%s failed with error %d: %s", pszStep, nCode, GetSystemErrorText(nCode).c_str());
}

std::string Quoted(const std::string& str) {
    return "\"" + str + "\"";
}

// A path as an argument of the compiler: one that begins with "-" (a
// relative path, as a model opened by such a path gives) would be read as
// an option.
std::string FileArgument(const std::string& strPath) {
    return !strPath.empty() && strPath.front() == '-' ? "./" + strPath : strPath;
}

bool PathExists(const std::string& strPath) {
    std::error_code ec;
    return std::filesystem::exists(strPath, ec);
}

void RemoveOutput(const std::string& strPath) {
    std::error_code ec;
    std::filesystem::remove(strPath, ec);
}

// Escapes the characters that glob() would read as a pattern, so that a
// folder name is matched literally.
std::string EscapeGlob(const std::string& str) {
    std::string strOut;
    for (const char ch : str) {
        if (ch == '*' || ch == '?' || ch == '[' || ch == '\\') {
            strOut += '\\';
        }
        strOut += ch;
    }
    return strOut;
}

// The "*.c" files of a folder, sorted by name. No shell expands the wildcard
// for us, so it is done here.
std::vector<std::string> FolderSources(const std::string& strFolder) {
    std::vector<std::string> vecFiles;
    glob_t gl{};
    if (glob((EscapeGlob(strFolder) + "/*.c").c_str(), 0, nullptr, &gl) == 0) {
        for (size_t i = 0; i < gl.gl_pathc; ++i) {
            std::error_code ec;
            if (std::filesystem::is_regular_file(gl.gl_pathv[i], ec)) {
                vecFiles.emplace_back(gl.gl_pathv[i]);
            }
        }
    }
    globfree(&gl);
    return vecFiles;
}

// Closes a descriptor once; close() is not retried on EINTR (Linux has
// already released the descriptor then).
void CloseFd(int& nFd) {
    if (nFd >= 0) {
        close(nFd);
        nFd = -1;
    }
}

}  // namespace

std::string CExternalCompiler::GetLogPath(const std::string& strName) {
    return GetFolder(strName) + LOG_FILE_NAME;
}

void CExternalCompiler::Abort() {
    std::lock_guard<std::mutex> lock(m_running.mutex);
    m_running.bAborted = true;
    if (m_running.pid > 0) {
        kill(-m_running.pid, SIGTERM);
    }
}

int CExternalCompiler::RunChild(const std::vector<std::string>& vecArgs, std::string& strOutput,
                                std::string& strFailure, SRunning* pRunning) {
    strFailure.clear();
    if (vecArgs.empty()) {
        strFailure = StepFailure("posix_spawn", ENOENT);
        return -1;
    }
    const auto aborted = [&] {
        strFailure = Format("%s was not run: the build was broken off", vecArgs[0].c_str());
        return -1;
    };
    if (pRunning) {
        std::lock_guard<std::mutex> lock(pRunning->mutex);
        if (pRunning->bAborted) {
            return aborted();
        }
    }
    int fds[2] = {-1, -1};
    // Close-on-exec, so that no other child started meanwhile inherits an
    // end of this pipe and keeps it open.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        strFailure = StepFailure("pipe", errno);
        return -1;
    }

    posix_spawn_file_actions_t actions;
    int nErr = posix_spawn_file_actions_init(&actions);
    if (nErr != 0) {
        CloseFd(fds[0]);
        CloseFd(fds[1]);
        strFailure = StepFailure("posix_spawn_file_actions_init", nErr);
        return -1;
    }
    // Output first: should the pipe have landed on descriptor 0, it is copied
    // away before /dev/null takes that place.
    nErr = posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (nErr == 0) {
        nErr = posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    }
    if (nErr == 0) {
        nErr = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }

    std::vector<char*> vecArgv;
    vecArgv.reserve(vecArgs.size() + 1);
    for (const std::string& strArg : vecArgs) {
        vecArgv.push_back(const_cast<char*>(strArg.c_str()));
    }
    vecArgv.push_back(nullptr);

    // A process group of its own, so that an abort ends whatever the
    // compiler has started too (cc1, as, ld).
    posix_spawnattr_t attr;
    const bool bAttr = nErr == 0 && (nErr = posix_spawnattr_init(&attr)) == 0;
    if (bAttr) {
        nErr = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    }
    if (nErr == 0) {
        nErr = posix_spawnattr_setpgroup(&attr, 0);
    }

    pid_t pid = -1;
    if (nErr == 0) {
        nErr = posix_spawn(&pid, vecArgv[0], &actions, &attr, vecArgv.data(), environ);
    }
    if (bAttr) {
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (nErr == 0 && pRunning) {
        std::lock_guard<std::mutex> lock(pRunning->mutex);
        pRunning->pid = pid;
        if (pRunning->bAborted) {
            kill(-pid, SIGTERM);  // aborted while it started
        }
    }
    // Only the child may hold the write end now, so the read below ends when
    // the child has closed its output.
    CloseFd(fds[1]);
    if (nErr != 0) {
        CloseFd(fds[0]);
        strFailure = StepFailure("posix_spawn", nErr);
        return -1;
    }

    // Read everything before waiting: a child whose output fills the pipe
    // would otherwise never end.
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n > 0) {
            strOutput.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            strFailure = StepFailure("read", errno);
            break;
        }
    }
    // Closing the read end also releases a child still writing after a
    // failed read (it gets EPIPE), so the wait below cannot hang on it.
    CloseFd(fds[0]);

    // Waited for without being reaped first: until the leader's pid is
    // forgotten, no other process can have it, so an abort never signals
    // a stranger's group.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    if (pRunning) {
        std::lock_guard<std::mutex> lock(pRunning->mutex);
        pRunning->pid = 0;
    }
    int nStatus = 0;
    pid_t r;
    do {
        r = waitpid(pid, &nStatus, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        strFailure = StepFailure("waitpid", errno);
        return -1;
    }
    if (!strFailure.empty()) {
        return -1;
    }
    if (WIFEXITED(nStatus)) {
        return WEXITSTATUS(nStatus);
    }
    if (WIFSIGNALED(nStatus)) {
        strFailure = Format("%s was ended by signal %d", vecArgs[0].c_str(), WTERMSIG(nStatus));
    } else {
        strFailure = Format("%s ended abnormally", vecArgs[0].c_str());
    }
    return -1;
}

std::string CExternalCompiler::FinishText(const std::string& strName,
                                          const std::vector<SCommandRun>& vecRuns,
                                          const std::string& strFailure, bool bAppendLog) {
    // gcc writes UTF-8; any other bytes are read as Windows-1252. The cut
    // never splits a UTF-8 sequence.
    auto compose = [&](bool bFull) {
        std::string strText;
        for (const SCommandRun& run : vecRuns) {
            if (!strText.empty() && strText.back() != '\n') {
                strText += '\n';
            }
            std::string strOutput;
            if (IsValidUtf8(run.strOutput)) {
                strOutput = run.strOutput;
                if (!bFull) {
                    TruncateUtf8(strOutput, OUTPUT_LIMIT);
                }
            } else {
                strOutput =
                    Cp1252ToUtf8(bFull ? std::string_view(run.strOutput)
                                       : std::string_view(run.strOutput).substr(0, OUTPUT_LIMIT));
            }
            strText += run.strCommandLine + "\n" + strOutput;
        }
        if (!strFailure.empty()) {
            if (!strText.empty() && strText.back() != '\n') {
                strText += '\n';
            }
            strText += strFailure;
        }
        return strText;
    };

    // The log is a convenience: the caller judges the build by the output
    // files, so a log that cannot be written is not a failure of the step.
    std::ofstream log(GetLogPath(strName),
                      std::ios::binary | (bAppendLog ? std::ios::app : std::ios::trunc));
    if (log) {
        const std::string strLogText = compose(true);
        log << strLogText;
        if (strLogText.empty() || strLogText.back() != '\n') {
            log << '\n';
        }
    }
    // The last line ends with the text.
    std::string strText = compose(false);
    if (!strText.empty() && strText.back() == '\n') {
        strText.pop_back();
    }
    return strText;
}

std::string CExternalCompiler::Compile(const std::string& strName, const std::string& strFolder) {
    m_bLastSucceeded = false;
    try {
        return CompileSteps(strName, strFolder);
    } catch (const std::exception& e) {
        return std::string("Error: ") + e.what();
    } catch (...) {
        return "Error: the compile step failed";
    }
}

std::string CExternalCompiler::CompileSteps(const std::string& strName,
                                            const std::string& strFolder) {
    m_strCompiledName.clear();
    m_vecFolderObjects.clear();

    std::string strDir = strFolder;
    while (strDir.size() > 1 && strDir.back() == '/') {
        strDir.pop_back();
    }
    const bool bFolder = !strFolder.empty() && FileExists(strFolder);

    // gcc takes one source per -c when -o names the object, so each source
    // becomes its own object: the folder's files first, the model last.
    std::vector<std::pair<std::string, std::string>> vecUnits;
    std::vector<std::string> vecFolderObjects;
    if (bFolder) {
        for (const std::string& strSource : FolderSources(strDir)) {
            std::string strStem = GetFileName(strSource);
            strStem.resize(strStem.size() - 2);  // ".c"
            const std::string strObject = strName + "." + strStem + ".o";
            vecUnits.emplace_back(strSource, strObject);
            vecFolderObjects.push_back(strObject);
        }
    }
    vecUnits.emplace_back(strName + ".c", strName + ".o");

    // Objects of an earlier build must not pass for the result of this one.
    for (const auto& unit : vecUnits) {
        RemoveOutput(unit.second);
    }

    // Each command that runs is logged with what it printed.
    std::vector<SCommandRun> vecRuns;
    std::string strFailure;
    bool bOk = true;
    for (const auto& [strSource, strObject] : vecUnits) {
        SCommandRun& run = vecRuns.emplace_back();
        const std::string strSourceArg = FileArgument(strSource);
        const std::string strObjectArg = FileArgument(strObject);
        run.strCommandLine = Quoted(m_strCompiler) + " -c -fPIC -DBUILD_DLL " +
                             Quoted(strSourceArg) + " -o " + Quoted(strObjectArg);
        const int nStatus = RunChild(
            {m_strCompiler, "-c", "-fPIC", "-DBUILD_DLL", strSourceArg, "-o", strObjectArg},
            run.strOutput, strFailure, &m_running);
        if (nStatus != 0 || !PathExists(strObject)) {
            bOk = false;
        }
        if (!strFailure.empty()) {
            break;  // the compiler cannot be run: the other sources would fail alike
        }
    }

    if (bOk) {
        m_strCompiledName = strName;
        m_vecFolderObjects = std::move(vecFolderObjects);
    } else {
        // A partial build would let the link step pass with what is left.
        for (const auto& unit : vecUnits) {
            RemoveOutput(unit.second);
        }
    }
    m_bLastSucceeded = bOk;
    return FinishText(strName, vecRuns, strFailure, false);
}

std::string CExternalCompiler::Link(const std::string& strName) {
    m_bLastSucceeded = false;
    try {
        return LinkSteps(strName);
    } catch (const std::exception& e) {
        return std::string("Error: ") + e.what();
    } catch (...) {
        return "Error: the link step failed";
    }
}

std::string CExternalCompiler::LinkSteps(const std::string& strName) {
    const std::string strLibrary = strName + ".so";
    // A shared library may leave symbols to its loader; the model library
    // has no loader that provides any, so a call of a function that exists
    // nowhere fails here, named by the linker, rather than when a run loads
    // the library.
    std::vector<std::string> vecArgs = {m_strCompiler,
                                        "-shared",
                                        "-Wl,--no-undefined",
                                        "-o",
                                        FileArgument(strLibrary),
                                        FileArgument(strName + ".o")};
    std::string strCommandLine = Quoted(m_strCompiler) + " -shared -Wl,--no-undefined -o " +
                                 Quoted(vecArgs[4]) + " " + Quoted(vecArgs[5]);
    if (strName == m_strCompiledName) {
        for (const std::string& strObject : m_vecFolderObjects) {
            vecArgs.push_back(FileArgument(strObject));
            strCommandLine += " " + Quoted(vecArgs.back());
        }
    }
    vecArgs.emplace_back("-lm");
    strCommandLine += " -lm";

    RemoveOutput(strLibrary);
    std::vector<SCommandRun> vecRuns(1);
    vecRuns[0].strCommandLine = strCommandLine;
    std::string strFailure;
    const int nStatus = RunChild(vecArgs, vecRuns[0].strOutput, strFailure, &m_running);
    const bool bOk = nStatus == 0 && PathExists(strLibrary);
    if (!bOk) {
        RemoveOutput(strLibrary);
    }
    m_bLastSucceeded = bOk;
    return FinishText(strName, vecRuns, strFailure, true);
}
