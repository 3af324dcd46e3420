#include "velko/buildcommands.h"

#include <unistd.h>

#include <QLabel>
#include <QSettings>
#include <cerrno>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlengine.h"
#include "sh_widgets/guinotifier.h"
#include "velko/commands.h"
#include "velko/mainfrm.h"
#include "velko/propertieswnd.h"
#include "velko/sidefilecommands.h"
#include "velko/velkoapp.h"

namespace {

const char* const LOAD_FIRST = "Load first a model.";

// Appends one step's log to the logs of a build, on a line of its own.
void AppendLog(std::string& strLogs, const std::string& strLog) {
    if (!strLogs.empty() && strLogs.back() != '\n') {
        strLogs += '\n';
    }
    strLogs += strLog;
}

}  // namespace

CBuildCommands::CBuildCommands(CMainFrame& frame)
    : m_frame(frame),
      m_strCompilerPath(
          QSettings().value(SETTING_COMPILER, EC_DEFAULT_COMPILER).toString().toStdString()) {}

CBuildCommands::~CBuildCommands() {
    // The window goes: the worker's last post is dropped with this object.
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void CBuildCommands::RegisterHandlers(CCommandTable& commands) {
    commands.SetHandler(ID_CODE_CREATE, [this] { OnCreateCode(); });
    commands.SetHandler(ID_CODE_COMPILE, [this] { OnCompile(); });
    commands.SetHandler(ID_CODE_LINK, [this] { OnLink(); });
    commands.SetHandler(ID_CODE_ALL, [this] { OnBuildAll(); });
    commands.SetHandler(ID_COMPILER_PATH, [this] { OnCompilerPath(); });
    commands.SetHandler(ID_MODEL_NAME, [this] { OnModelName(); });
    commands.SetHandler(ID_CREATE_CPP, [this] { OnCreateCpp(); });
}

void CBuildCommands::ApplyCompilerPath(CSDLEngine& engine) const {
    engine.m_Compiler.SetCompiler(m_strCompilerPath);
}

CSDLEngine* CBuildCommands::EngineOrTell() const {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine) {
        m_frame.Notifier()->MessageBox("VELKO", LOAD_FIRST, NB_OK, NI_NONE);
    }
    return pEngine;
}

void CBuildCommands::PostSystem(const std::string& strLine) {
    QMetaObject::invokeMethod(
        this, [this, strLine] { m_frame.WriteSystem(strLine); }, Qt::QueuedConnection);
}

void CBuildCommands::SetBuilding(bool bBuilding) {
    m_bBuilding = bBuilding;
    m_frame.UpdateCommands();
}

void CBuildCommands::Start(std::function<void()> fnWork, std::function<void()> fnDone) {
    m_worker = std::thread([this, fnWork = std::move(fnWork), fnDone = std::move(fnDone)] {
        try {
            fnWork();
        } catch (const std::exception& e) {
            m_job.bFailed = true;
            PostSystem(std::string("The build failed: ") + e.what());
        } catch (...) {
            m_job.bFailed = true;
            PostSystem("The build failed.");
        }
        // Queued after every line the work posted.
        QMetaObject::invokeMethod(
            this,
            [this, fnDone] {
                m_worker.join();  // it has nothing left to do but return
                fnDone();
            },
            Qt::QueuedConnection);
    });
}

void CBuildCommands::Finish() {
    // A path chosen during the build applies from now on.
    if (CSDLEngine* pEngine = m_frame.Engine()) {
        ApplyCompilerPath(*pEngine);
    }
    SetBuilding(false);
    emit BuildFinished();
}

void CBuildCommands::Abort() {
    if (!m_bBuilding) {
        return;
    }
    m_bAborted = true;
    if (CSDLEngine* pEngine = m_frame.Engine()) {
        pEngine->m_Compiler.Abort();
    }
}

CSDLEngine* CBuildCommands::BeginBuild(bool bRunsCompiler) {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine || m_bBuilding || m_bAborted) {
        return nullptr;
    }
    // Said before the step tries, beside what the step itself reports.
    if (bRunsCompiler && access(m_strCompilerPath.c_str(), X_OK) != 0) {
        m_frame.WriteSystem(Format("The compiler %s cannot be run: %s. Choose gcc with Path.",
                                   m_strCompilerPath.c_str(), GetSystemErrorText(errno).c_str()));
    }
    SetBuilding(true);
    return pEngine;
}

void CBuildCommands::OnCreateCode() {
    CSDLEngine* pEngine = BeginBuild(false);
    if (!pEngine) {
        return;
    }
    Start([pEngine] { pEngine->CreateCodeFile(""); }, [this] { Finish(); });
}

void CBuildCommands::OnCompile() {
    CSDLEngine* pEngine = BeginBuild(true);
    if (!pEngine) {
        return;
    }
    Start(
        [this, pEngine] {
            std::string strLog;
            const bool bCompiled = pEngine->CompileCode("", strLog) == 1;
            PostSystem(bCompiled ? "Code compiled successfully."
                                 : "Some errors ocurred during the compilation.");
            for (const std::string& strLine : SplitCompilerLog(strLog)) {
                PostSystem(strLine);
            }
        },
        [this] { Finish(); });
}

void CBuildCommands::OnLink() {
    CSDLEngine* pEngine = BeginBuild(true);
    if (!pEngine) {
        return;
    }
    Start(
        [this, pEngine] {
            std::string strLog;
            const bool bLinked = pEngine->LinkDLL("", strLog) == 1;
            PostSystem(bLinked ? "DLL Linked successfully."
                               : "Some errors ocurred when linking the DLL.");
            PostSystem(strLog);
        },
        [this] {
            m_frame.ShowCaptionMessage(
                QStringLiteral("Compilation and link finished. Ready to execute the model."),
                QStringLiteral("Compiler"), ID_CAPTION_TOGGLE, QStringLiteral("Ok"));
            Finish();
        });
}

void CBuildCommands::OnBuildAll() {
    CSDLEngine* pEngine = BeginBuild(true);
    if (!pEngine) {
        return;
    }
    m_job = SBuildJob();
    for (const auto& [strLabel, pExperiment] : m_frame.Document().m_loader.m_mapExperiments) {
        m_job.vecExperiments.emplace_back(strLabel, pExperiment->m_strPath);
    }
    if (m_job.vecExperiments.empty()) {
        Start([this, pEngine] { BuildOnce(*pEngine); }, [this] { FinishBuildAll(); });
        return;
    }
    // The "main model" run of a series runs the model's own library: it is
    // built first, and the experiments' values replace the model's only
    // while their libraries are built.
    m_job.ownParametrization = m_frame.Document().m_loader.TakeParametrization();
    m_job.strOwnLabel = m_frame.ParametrizationLabel()->text();
    Start([this, pEngine] { BuildOnce(*pEngine); },
          [this, pEngine] {
              m_job.strOwnCodeBase = pEngine->m_strCodeBasePath;
              m_job.ownParametrization.strCodeBasePath = m_job.strOwnCodeBase;
              NextExperiment();
          });
}

void CBuildCommands::BuildOnce(CSDLEngine& engine) {
    if (m_bAborted || engine.CreateCodeFile("") != 1) {
        m_job.bFailed = true;
        return;
    }
    std::string strLog;
    const bool bCompiled = engine.CompileCode("", strLog) == 1;
    AppendLog(m_job.strCompileLog, strLog);
    if (!bCompiled || m_bAborted) {
        m_job.bFailed = true;
        return;
    }
    strLog.clear();
    const bool bLinked = engine.LinkDLL("", strLog) == 1;
    AppendLog(m_job.strLinkLog, strLog);
    m_job.bFailed = !bLinked;
}

void CBuildCommands::NextExperiment() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (m_bAborted) {
        m_job.bFailed = true;  // the experiments left are not built
    }
    while (!m_job.bFailed && m_job.nNextExperiment < m_job.vecExperiments.size()) {
        const auto& [strLabel, strPath] = m_job.vecExperiments[m_job.nNextExperiment++];
        // Each experiment's library is built from the model's own values
        // with its file's over them. One that cannot be read is skipped
        // without a message; one that is refused has said why.
        if (m_frame.SideFiles().UseExperiment(strLabel, strPath, m_job.ownParametrization) !=
            EU_USED) {
            continue;
        }
        m_frame.Properties()->RefreshProperties();
        // Each experiment gets its own library, named after its
        // parametrization file.
        Start([this, pEngine] { BuildOnce(*pEngine); }, [this] { NextExperiment(); });
        return;
    }
    FinishBuildAll();
}

void CBuildCommands::FinishBuildAll() {
    if (!m_job.vecExperiments.empty()) {
        m_frame.Document().m_loader.RestoreParametrization(m_job.ownParametrization);
        // Only a successful generation of the model's own code sets it.
        m_frame.Engine()->m_strCodeBasePath = m_job.strOwnCodeBase;
        m_frame.ParametrizationLabel()->setText(m_job.strOwnLabel);
    }
    // A step that never ran has no log to show.
    for (const std::string* pLog : {&m_job.strCompileLog, &m_job.strLinkLog}) {
        if (!pLog->empty()) {
            m_frame.WriteSystem(*pLog);
        }
    }
    m_frame.WriteSystem(m_job.bFailed ? "Some errors occurred during the process."
                                      : "Model Compiled and Linked Successfully.");
    if (!m_job.bFailed) {
        // The caption's "Then, you need to create the DLL." is done.
        m_frame.ShowCaptionMessage(
            QStringLiteral("Compilation and link finished. Ready to execute the model."),
            QStringLiteral("Compiler"), ID_CAPTION_TOGGLE, QStringLiteral("Ok"));
    }
    m_frame.Properties()->RefreshProperties();
    Finish();
}

void CBuildCommands::OnCompilerPath() {
    m_frame.WriteSystem("Current gcc.exe path: " + m_strCompilerPath);
    // Compilers on this system have no extension: the filter shows every
    // file.
    SFileChoice choice;
    choice.strFilter = "All Files (*.*)|*.*||";
    choice.strInitialName = "gcc";
    choice.strFolder = GetFolder(m_strCompilerPath);
    const std::string strChosen = ChooseFile(&m_frame, choice);
    if (strChosen.empty()) {
        return;
    }
    m_strCompilerPath = strChosen;
    QSettings().setValue(SETTING_COMPILER, QString::fromStdString(m_strCompilerPath));
    m_frame.WriteSystem("New gcc.exe path: " + m_strCompilerPath);
    // A build that runs keeps its compiler; it gets the new one at its end.
    if (CSDLEngine* pEngine = m_frame.Engine(); pEngine && !m_bBuilding) {
        ApplyCompilerPath(*pEngine);
    }
}

void CBuildCommands::OnModelName() {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine) {
        return;
    }
    CGuiNotifier& notifier = *m_frame.Notifier();
    const EngineRunState eState = pEngine->GetRunState();
    // The library is loaded only while a run is alive: once it has ended,
    // its functions are gone.
    const bool bInitialised =
        eState == RS_INITIALIZED || eState == RS_RUNNING || eState == RS_PAUSED;
    std::string strName;
    if (!bInitialised && pEngine->m_nRunCount == 0) {
        notifier.MessageBox("VELKO", "Error", NB_OK, NI_ERROR);  // no library was loaded yet
    } else if (!bInitialised || pEngine->GetModelName(strName) != MC_OK) {
        notifier.MessageBox("VELKO", "Initialize first the model.", NB_OK, NI_NONE);
    } else {
        m_frame.WriteSystem(strName);
        notifier.MessageBox("VELKO", strName, NB_OK, NI_NONE);
    }
}

void CBuildCommands::OnCreateCpp() {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine) {
        return;
    }
    // The generator reads the model's values, which a run or a build use.
    if (m_bBuilding || m_frame.IsRunAlive()) {
        m_frame.Notifier()->MessageBox(
            "VELKO", "The code cannot be written while the model is being simulated or built.",
            NB_OK, NI_WARNING);
        return;
    }
    pEngine->CreateCppCodeFile("");
}

std::vector<std::string> CBuildCommands::SplitCompilerLog(std::string strLog) {
    std::vector<std::string> vecLines;
    for (;;) {
        const std::string::size_type nBreak = strLog.find('\n');
        if (nBreak == std::string::npos || nBreak == 0) {
            // No break left, or an empty line: the rest is the last line.
            vecLines.push_back(nBreak == 0 ? strLog.substr(1) : strLog);
            return vecLines;
        }
        vecLines.push_back(strLog.substr(0, nBreak));
        strLog.erase(0, nBreak + 1);
    }
}
