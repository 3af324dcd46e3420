#pragma once

// Runs the external C compiler that turns the generated model source into the
// model library. The compiler is started directly from an argument vector
// (never through a shell), with no input and with its standard output and
// standard error captured together.
//
// Both build steps return, for each command they ran, its command line
// (quoted, one line), a line feed and what it printed (the first
// OUTPUT_LIMIT bytes), each command on a line of its own; the text ends
// without a line feed, so that shown line by line it has no empty last line.
// The compile step runs one command per source: the header folder's files,
// then the model's. The complete text of each step is also kept in
// "SDLCode_log.txt" beside the generated files: the compile step starts that
// file afresh, the link step appends to it.
//
// Success is judged by the files left behind: the outputs of a step are
// removed before it runs and again when it fails, so "<name>.o" after
// Compile and "<name>.so" after Link exist exactly when the step succeeded.
// Nothing is thrown; a compiler that cannot be started gives the command
// line and a failure text.

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

// The compiler the engine starts with.
inline constexpr const char* EC_DEFAULT_COMPILER = "/usr/bin/gcc";

class CExternalCompiler {
public:
    // Bytes of compiler output kept in the returned text.
    static constexpr size_t OUTPUT_LIMIT = 4096;

    CExternalCompiler() = default;
    explicit CExternalCompiler(std::string strCompiler) : m_strCompiler(std::move(strCompiler)) {}
    CExternalCompiler(const CExternalCompiler&) = delete;
    CExternalCompiler& operator=(const CExternalCompiler&) = delete;

    const std::string& GetCompiler() const { return m_strCompiler; }
    void SetCompiler(const std::string& strCompiler) { m_strCompiler = strCompiler; }

    // Compiles strName + ".c" into strName + ".o". When strFolder is not
    // empty and exists, every "*.c" file in it is compiled as well, each to
    // strName + "." + its own name without ".c" + ".o", and remembered for
    // the following Link of the same name.
    std::string Compile(const std::string& strName, const std::string& strFolder);
    // Links strName + ".o" (with the folder objects of the last Compile of
    // the same name) into the shared library strName + ".so". A symbol that
    // none of them nor the C and maths libraries define fails the link.
    std::string Link(const std::string& strName);

    // True when the last Compile or Link exited with status 0 and left all
    // its outputs.
    bool LastRunSucceeded() const { return m_bLastSucceeded; }

    // The program is ending: the command that runs now is ended (SIGTERM to
    // it and to every process it started), and every later command fails at
    // once, as a compiler ended by a signal does. From any thread.
    void Abort();

    // What a running command's starter shares with Abort.
    struct SRunning {
        std::mutex mutex;
        pid_t pid = 0;  // the command that runs, leader of its process group
        bool bAborted = false;
    };

    // Runs one program (vecArgs[0], a path: no search of PATH) with the
    // arguments that follow, stdin from /dev/null, stdout and stderr into
    // one pipe read to its end, in a process group of its own. Appends the
    // printed bytes to strOutput. Returns the exit status, or -1 when the
    // program could not be run or did not exit normally; strFailure then
    // tells why. With pRunning the run can be aborted.
    static int RunChild(const std::vector<std::string>& vecArgs, std::string& strOutput,
                        std::string& strFailure, SRunning* pRunning = nullptr);

    // "SDLCode_log.txt" in the folder of strName.
    static std::string GetLogPath(const std::string& strName);

private:
    // One command that ran and what it printed.
    struct SCommandRun {
        std::string strCommandLine;
        std::string strOutput;
    };

    std::string CompileSteps(const std::string& strName, const std::string& strFolder);
    std::string LinkSteps(const std::string& strName);
    // Each command line, "\n" and its output cut to OUTPUT_LIMIT bytes, then
    // any failure text; writes the full text to the log.
    static std::string FinishText(const std::string& strName,
                                  const std::vector<SCommandRun>& vecRuns,
                                  const std::string& strFailure, bool bAppendLog);

    std::string m_strCompiler;
    // Objects compiled from the header folder by the last successful Compile.
    std::string m_strCompiledName;
    std::vector<std::string> m_vecFolderObjects;
    bool m_bLastSucceeded = false;
    SRunning m_running;
};
