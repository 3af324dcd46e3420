#pragma once

// The Code tab's commands: the loaded model's C source, compiled and linked
// by the external gcc into the model library, step by step or all at once
// (the model's own library, then one per experiment of the document's
// experiments map), the compiler's
// path, the C++ form of the code and the model library's own name.
//
// A build runs on a worker thread, one at a time. Its messages are posted to
// the System tab as each step produces them; what a build changes in the
// window (the parametrization label, the properties pane, the caption) and
// the parametrization read between experiments happen on the window's
// thread between the worker's steps. While a build is alive the frame
// refuses Open, Close and Quit and the model rule disables the build and
// side-file commands, so nothing else touches the engine's build fields.

#include <QObject>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sh_sdl/sdlloader.h"

class CCommandTable;
class CMainFrame;
class CSDLEngine;

class CBuildCommands : public QObject {
    Q_OBJECT
public:
    explicit CBuildCommands(CMainFrame& frame);
    // Waits for a build that still runs.
    ~CBuildCommands() override;

    void RegisterHandlers(CCommandTable& commands);
    // True from a build command's start to its last message.
    bool IsBuilding() const { return m_bBuilding; }
    // The program is ending: the build is broken off. The compiler that
    // runs is ended, no further step or experiment starts, and the build
    // finishes as a failed one (BuildFinished).
    void Abort();

    // The compiler the user chose with Path, kept in the settings ("/usr/bin/
    // gcc" until one is chosen); every engine gets it.
    const std::string& CompilerPath() const { return m_strCompilerPath; }
    void ApplyCompilerPath(CSDLEngine& engine) const;

    void OnCreateCode();
    void OnCompile();
    void OnLink();
    // "Create Compile and Link DLL".
    void OnBuildAll();
    void OnCompilerPath();
    void OnModelName();
    void OnCreateCpp();

    // A compiler log as System lines: lines are cut off its front at each
    // line break while the line cut off is not empty; at the first empty
    // line, or when no break is left, the rest (possibly empty) is one more
    // line.
    static std::vector<std::string> SplitCompilerLog(std::string strLog);

signals:
    // A build command has written its last message.
    void BuildFinished();

private:
    // What a full build keeps from step to step.
    struct SBuildJob {
        std::string strCompileLog;
        std::string strLinkLog;
        bool bFailed = false;
        // Label and parametrization file of each experiment, in map order.
        std::vector<std::pair<std::string, std::string>> vecExperiments;
        size_t nNextExperiment = 0;
        // With experiments: the model's own parametrization and file label,
        // put back once they are built, with the code base of the model's
        // own library.
        SModelParametrization ownParametrization;
        QString strOwnLabel;
        std::string strOwnCodeBase;
    };

    // The engine, or null after telling the user to load a model.
    CSDLEngine* EngineOrTell() const;
    // The start of a build command: the engine, now marked as building, or
    // null (no model, or a build runs). A step that runs the compiler first
    // tells the user when the compiler cannot be run.
    CSDLEngine* BeginBuild(bool bRunsCompiler);
    // Sets the flag and lets the commands and panes follow it.
    void SetBuilding(bool bBuilding);
    // Runs fnWork on the worker thread, then fnDone on the window's thread.
    void Start(std::function<void()> fnWork, std::function<void()> fnDone);
    // The end of a build command.
    void Finish();
    // A System line from any thread, in order with the others.
    void PostSystem(const std::string& strLine);
    // Creates, compiles and links once (worker thread).
    void BuildOnce(CSDLEngine& engine);
    // Reads the next experiment's parametrization and builds it; the end of
    // the full build when none is left or a build failed.
    void NextExperiment();
    // The logs and the outcome; with experiments, the model's own
    // parametrization comes back first.
    void FinishBuildAll();

    CMainFrame& m_frame;
    std::string m_strCompilerPath;
    bool m_bBuilding = false;
    // Abort was asked for (read by the worker between its steps).
    std::atomic<bool> m_bAborted{false};
    std::thread m_worker;
    SBuildJob m_job;
};
