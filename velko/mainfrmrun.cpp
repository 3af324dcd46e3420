// The frame's run control: the Simulation tab's commands, the monitor that
// follows a run from Initialize to its end, the step handshake and the
// viewer launch.
//
// Nothing here waits for the simulation thread. The engine's listener posts
// every change of the run to OnRunStateChanged; the monitor and a pending
// Step advance there (and on the monitor's one-second timer), reading the
// engine's state as it is when the post arrives.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "sh_widgets/guinotifier.h"
#include "sh_widgets/numbertext.h"
#include "velko/dlgreplicationconfig.h"
#include "velko/dlgrunning.h"
#include "velko/dlgwaitconn.h"
#include "velko/experimentseries.h"
#include "velko/mainfrm.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/velkoapp.h"

namespace {

// The viewer program when the settings name none: beside this program (as
// installed), else where the build tree puts it.
QString DefaultViewerPath() {
    const QDir dir(QCoreApplication::applicationDirPath());
    const QString strBeside = dir.filePath(QStringLiteral("velkoeyedx"));
    const QString strBuilt =
        QDir::cleanPath(dir.filePath(QStringLiteral("../clients/velkoeyedx/velkoeyedx")));
    return !QFileInfo(strBeside).isExecutable() && QFileInfo(strBuilt).isExecutable() ? strBuilt
                                                                                      : strBeside;
}

// A time as "%f" writes it when that reads back as the same number, else
// as the shortest text that does: shown and taken again, it is unchanged.
// From 1e15 on "%f" writes every digit the double holds (309 for 1e308): the
// shortest text is the one to read there.
std::string TimeText(double dTime) {
    if (std::fabs(dTime) < 1e15) {
        const std::string strFixed = Format("%f", dTime);
        double dBack = 0.0;
        if (ParseDoubleValue(strFixed, dBack) && dBack == dTime) {
            return strFixed;
        }
    }
    return DoubleToExactString(dTime);
}

// The end mode as the dialog names it.
const char* EndModeName(int nMode) {
    return nMode == EM_BY_LOOPS ? "By number of loops" : nMode == EM_NEVER ? "Never" : "By time";
}

// The run's start is over: initialised, or ended without being initialised.
bool IsPastStart(EngineRunState eState) {
    return eState != RS_IDLE && eState != RS_STARTING && eState != RS_WAITING_FOR_VIEWER;
}

// The error report's entries, one line each: the last error of every agent
// that has one, in the report's order (the agent, its blocks, its
// processes).
void AddErrorLines(const CSDLAgent& agent, std::vector<std::string>& vecLines) {
    if (!agent.m_strError.empty()) {
        std::string strLine = Format("ERROR: %s: PID: %s (%s)", agent.m_strName.c_str(),
                                     agent.GetFullName(false).c_str(), agent.m_strError.c_str());
        std::replace(strLine.begin(), strLine.end(), '\n', ' ');
        vecLines.push_back(std::move(strLine));
    }
    for (const auto& [strKey, pBlock] : agent.m_mapBlocks) {
        AddErrorLines(*pBlock, vecLines);
    }
    for (const auto& [strKey, pProcess] : agent.m_mapProcesses) {
        AddErrorLines(*pProcess, vecLines);
    }
}

// The root agent's error report, read under the tree lock (the run may be
// changing the tree).
std::vector<std::string> ErrorReportLines(CSDLEngine& engine) {
    auto lock = engine.LockTree();
    std::vector<std::string> vecLines;
    AddErrorLines(*engine.GetRootAgent(), vecLines);
    return vecLines;
}

}  // namespace

void CMainFrame::CreateRunControl() {
    CCommandTable& commands = *m_pCommands;
    m_pRunningDlg =
        new CDlgRunning(this, commands.Action(ID_SIM_STOP), commands.Action(ID_SIM_STEP));
    m_pWaitConnDlg = new CDlgWaitConn(this, [this] { CancelViewerWait(); });
    m_pMonitorTimer = new QTimer(this);
    m_pMonitorTimer->setInterval(1000);
    connect(m_pMonitorTimer, &QTimer::timeout, this, [this] { AdvanceMonitor(); });

    commands.SetHandler(ID_SIM_INITIALIZE, [this] { OnInitialize(); });
    commands.SetHandler(ID_SIM_RUN, [this] { OnRun(); });
    commands.SetHandler(ID_SIM_STEP, [this] { OnStep(); });
    commands.SetHandler(ID_SIM_STOP, [this] { OnStop(); });
    commands.SetHandler(ID_SIM_TIME, [this] { OnSimulationTime(); });
    commands.SetHandler(ID_SIM_LAUNCHEYE, [this] { OnLaunchEye(); });
    commands.SetHandler(ID_SIM_EXPERIMENT, [this] { m_pSeries->OnExecute(); });
    commands.SetHandler(ID_SIM_RUNNINGDLG, [this] {
        if (m_pEngine) {
            m_pRunningDlg->setVisible(m_pRunningDlg->isHidden());
        }
    });
    commands.SetHandler(ID_SIM_ERRORREPORT, [this] {
        if (m_pEngine && m_pEngine->GetRootAgent()) {
            for (const std::string& strLine : ErrorReportLines(*m_pEngine)) {
                m_pOutput->Errors()->AddItem(QString::fromStdString(strLine));
            }
        }
    });
    // The five settings of a run flip their engine flag; without an engine
    // they do nothing.
    const std::pair<int, std::atomic<bool> CSDLEngine::*> toggles[] = {
        {ID_SIM_STEPBYSTEP, &CSDLEngine::m_bStepByStep},
        {ID_SIM_USECLIENTS, &CSDLEngine::m_bUseClients},
        {ID_SIM_STOPONERRORS, &CSDLEngine::m_bStopOnErrors},
        {ID_SIM_EXECTRACE, &CSDLEngine::m_bExecutionTrace},
        {ID_SIM_REPRTRACE, &CSDLEngine::m_bRepresentationTrace},
    };
    for (const auto& [nId, pFlag] : toggles) {
        commands.SetHandler(nId, [this, pFlag = pFlag] {
            if (m_pEngine) {
                std::atomic<bool>& bFlag = m_pEngine.get()->*pFlag;
                bFlag = !bFlag;
            }
        });
    }
}

// ---- Commands ---------------------------------------------------------------------------

void CMainFrame::OnInitialize() {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load a model first.", NB_OK, NI_NONE);
        return;
    }
    const bool bClients = m_pEngine->m_bUseClients;
    if (bClients) {
        ShowCaptionMessage(QStringLiteral("Waiting for client's connection."),
                           QStringLiteral("Clients"), ID_CAPTION_TOGGLE, QStringLiteral("OK"));
    }
    const int nRunCount = m_pEngine->m_nRunCount;
    if (m_pEngine->StartThread() != 0) {
        return;  // a run is alive: nothing was started
    }
    FollowRun(nRunCount);
}

void CMainFrame::FollowRun(int nRunCountBefore) {
    // The run copied this setting as it started, just now.
    const bool bClients = m_pEngine->m_bUseClients;
    m_nMonitorRunCount = nRunCountBefore;
    m_bViewerWaitCancelled = false;
    m_eMonitor = bClients ? MP_VIEWER_WAIT : MP_INITIALIZING;
    if (bClients) {
        // Shown before the wait starts, so that the wait always has its
        // Cancel; hidden when the wait is over.
        m_pWaitConnDlg->SetPort(m_pEngine->GetServer().GetDataPort());
        m_pWaitConnDlg->show();
    }
    m_pMonitorTimer->start();
    AdvanceMonitor();
}

void CMainFrame::OnRun() {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load a model first.", NB_OK, NI_NONE);
        return;
    }
    m_pEngine->Run();
    WriteSystem("Simulation running...");
    if (m_pEngine->m_bStepByStep) {
        // The first step's records are shown once that step has ended.
        m_bStepPending = true;
        FinishStepIfDone();
    }
    AdvanceMonitor();
}

void CMainFrame::OnStep() {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load first a model.", NB_OK, NI_NONE);
        return;
    }
    if (m_pEngine->m_bStepByStep) {
        if (m_bStepPending) {
            return;
        }
        m_bStepPending = true;
        m_pEngine->StepOnce();
        FinishStepIfDone();
    } else if (m_pEngine->m_bGo) {
        m_pEngine->Pause();
    } else {
        m_pEngine->Resume();
    }
}

void CMainFrame::OnStop() {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load first a model.", NB_OK, NI_NONE);
        return;
    }
    StopEngine(m_pEngine.get());
    m_pSeries->Cancel();  // no further experiment runs
    if (m_bStepPending) {
        m_bStopPending = true;
    } else {
        WriteStopDone();
    }
    m_pRunningDlg->hide();
    if (m_eMonitor == MP_RUNNING) {
        EndMonitor();  // the stop has said where the run ended
    }
    AdvanceMonitor();
}

void CMainFrame::WriteStopDone() {
    // The time after the last step made, as published by the run (its end
    // leaves it as it was).
    const float fTime = static_cast<float>(m_pEngine->GetRunStatus().dNextTime);
    WriteSystem(Format("Simulation stop done at time %f", static_cast<double>(fTime)));
}

void CMainFrame::StopEngine(CSDLEngine* pEngine) {
    pEngine->Stop();
}

void CMainFrame::OnSimulationTime() {
    CSDLEngine* pEngine = m_pEngine.get();
    if (!pEngine) {
        m_pNotifier->MessageBox("VELKO", "Open first a model", NB_OK, NI_NONE);
        return;
    }
    CDlgReplicationConfig dialog(this);
    dialog.m_nEndMode = pEngine->m_nEndMode;
    dialog.m_strLoops = QString::fromStdString(Format("%d", pEngine->m_nLoopLimit.load()));
    dialog.m_strEndTime = QString::fromStdString(TimeText(pEngine->m_dEndTime));
    if (dialog.exec() != QDialog::Accepted || pEngine != m_pEngine.get()) {
        return;
    }
    // A value the run cannot end by is refused: the setting stays, and the
    // user is told. Nothing refused changes anything: an end mode whose
    // value is refused is not taken either.
    const std::string strLoops = dialog.m_strLoops.toStdString();
    int nLoops = 0;
    bool bLoopsTaken = false;
    if (!ReadWholeNumber(dialog.m_strLoops, nLoops)) {
        WriteSystem(Format("\"%s\" is not a whole number: the number of loops stays %d.",
                           strLoops.c_str(), pEngine->m_nLoopLimit.load()));
    } else if (nLoops < 0) {
        WriteSystem(
            Format("\"%s\" is no number of loops (it is below 0): the number of loops "
                   "stays %d.",
                   strLoops.c_str(), pEngine->m_nLoopLimit.load()));
    } else {
        pEngine->m_nLoopLimit = nLoops;
        bLoopsTaken = true;
    }
    const std::string strEndTime = dialog.m_strEndTime.toStdString();
    const std::string strOld = TimeText(pEngine->m_dEndTime);
    double dEndTime = 0.0;
    bool bTimeTaken = false;
    if (!ReadDecimalNumber(dialog.m_strEndTime, dEndTime)) {
        WriteSystem(Format("\"%s\" is not a number: the end time stays %s.", strEndTime.c_str(),
                           strOld.c_str()));
    } else if (dEndTime < 0.0) {
        WriteSystem(Format("\"%s\" is no end time (it is before 0): the end time stays %s.",
                           strEndTime.c_str(), strOld.c_str()));
    } else {
        // "-0" is the time 0.
        pEngine->m_dEndTime = dEndTime == 0.0 ? 0.0 : dEndTime;
        bTimeTaken = true;
    }
    const int nMode = dialog.m_nEndMode;
    const int nOldMode = pEngine->m_nEndMode;
    if (nMode == EM_NEVER || (nMode == EM_BY_LOOPS ? bLoopsTaken : bTimeTaken)) {
        pEngine->m_nEndMode = nMode;
    } else if (nMode != nOldMode) {
        WriteSystem(Format("The end of a simulation stays \"%s\".", EndModeName(nOldMode)));
    }
}

void CMainFrame::OnLaunchEye() {
    const QString strPath = QSettings().value(SETTING_VIEWER_PATH, DefaultViewerPath()).toString();
    QProcess process;
    process.setProgram(strPath);
    if (!process.startDetached()) {
        WriteSystem(Format("The viewer could not be started from \"%s\": %s",
                           strPath.toStdString().c_str(),
                           process.errorString().toStdString().c_str()));
    }
}

// ---- Step messages ----------------------------------------------------------------------

void CMainFrame::ShowStepMessages() {
    const std::string strMessages = m_pEngine->TakeMessages();
    if (!strMessages.empty()) {
        // Cut by position: a step may leave many records.
        size_t nPos = 0;
        for (std::string strLine = NextTokenChar(strMessages, nPos, '\n'); !strLine.empty();
             strLine = NextTokenChar(strMessages, nPos, '\n')) {
            FormatTraceMessage(strLine);
        }
        FormatTraceMessage(strMessages.substr(nPos));
    }
    WriteSystem(Format("Minimum Event Time: %f", m_pEngine->GetRunStatus().dNextTime));
    if (m_pEngine->m_bErrorPending) {
        // Every error of the step, one line each.
        for (const std::string& strLine : m_pEngine->TakeStepErrors()) {
            m_pOutput->Errors()->AddItem(QString::fromStdString(strLine));
        }
        m_pEngine->m_bErrorPending = false;
    }
}

void CMainFrame::FinishStepIfDone() {
    if (!m_bStepPending) {
        return;
    }
    if (m_pEngine) {
        // The step has ended when the loop cleared go at its next wait point,
        // or when no simulation thread is alive to make it (the run is over,
        // or none was ever started).
        const EngineRunState eState = m_pEngine->GetRunState();
        const bool bStepMade = !m_pEngine->m_bGo && eState == RS_PAUSED;
        if (!bStepMade && eState != RS_ENDED && eState != RS_IDLE) {
            return;
        }
    }
    m_bStepPending = false;
    const bool bStopped = std::exchange(m_bStopPending, false);
    if (m_pEngine) {
        ShowStepMessages();
        if (bStopped) {
            WriteStopDone();
        }
    }
    AdvanceMonitor();  // a run that this step ended can say so now
}

// ---- Monitor ------------------------------------------------------------------------------

void CMainFrame::OnRunStateChanged() {
    AdvanceEngineClose();
    AdvanceMonitor();
    FinishStepIfDone();
    m_pSeries->Advance();
    UpdateCommands();
}

void CMainFrame::AdvanceMonitor() {
    if (m_eMonitor == MP_OFF) {
        return;
    }
    CSDLEngine* pEngine = m_pEngine.get();
    if (!pEngine) {
        EndMonitor();
        return;
    }
    // The pane follows the run's values too, once a second.
    m_pProperties->RequestRunValues();
    // One snapshot: the state and the time shown belong to the same moment.
    const SRunStatus status = pEngine->GetRunStatus();
    const EngineRunState eState = status.eState;
    if (m_eMonitor == MP_VIEWER_WAIT) {
        CEstadisticsServidor& server = pEngine->GetServer();
        if (const unsigned nPort = server.GetBoundPort()) {
            m_pWaitConnDlg->SetPort(nPort);
        }
        if (IsPastStart(eState)) {
            m_pWaitConnDlg->hide();
            m_eMonitor = MP_INITIALIZING;
        } else if (m_bViewerWaitCancelled && eState == RS_WAITING_FOR_VIEWER) {
            // A cancel given before the server was ready is given again.
            server.CancelWait();
        }
    }
    if (m_eMonitor == MP_INITIALIZING) {
        if (pEngine->m_nRunCount > m_nMonitorRunCount) {
            if (pEngine->GetServer().IsConnected()) {
                ShowCaptionMessage(QStringLiteral("Client Connection established and model "
                                                  "succesfully initialized."),
                                   QStringLiteral("Connection"), ID_CAPTION_TOGGLE,
                                   QStringLiteral("OK"));
            } else {
                ShowCaptionMessage(QStringLiteral("Model successfully initialized."),
                                   QStringLiteral("Initialization"), ID_CAPTION_TOGGLE,
                                   QStringLiteral("OK"));
            }
            m_eMonitor = MP_WAITING_FOR_RUN;
        } else if (eState == RS_ENDED) {
            // The engine's own lines on why are already on their way to the
            // System tab: the library's reason is queued behind them.
            const std::string strReason = pEngine->GetLibraryError();
            QMetaObject::invokeMethod(
                this,
                [this, strReason] {
                    if (!strReason.empty()) {
                        WriteSystem("Initialization failed: " + strReason);
                    }
                },
                Qt::QueuedConnection);
            ShowCaptionMessage(QStringLiteral("The model could not be initialized."),
                               QStringLiteral("Initialization"), ID_CAPTION_TOGGLE,
                               QStringLiteral("OK"));
            EndMonitor();
            return;
        }
    }
    if (m_eMonitor == MP_WAITING_FOR_RUN) {
        // Running, or run already: a short run can end before this sees it.
        if (pEngine->m_bRunning || status.nSteps > 0) {
            m_pRunningDlg->show();
            m_eMonitor = MP_RUNNING;
        } else if (eState == RS_ENDING || eState == RS_ENDED) {
            EndMonitor();
            return;
        }
    }
    if (m_eMonitor == MP_RUNNING) {
        if (eState == RS_RUNNING || eState == RS_PAUSED) {
            m_pRunningDlg->SetTime(status.dNextTime);
        } else if (eState == RS_ENDING || eState == RS_ENDED || !pEngine->m_bRunning) {
            // The run is over, as after Stop: nothing runs for the dialog
            // to show, and its commands are off.
            m_pRunningDlg->hide();
            // Said once the run has ended, after its own lines and those of
            // its last step.
            if (eState == RS_ENDED && !m_bStepPending) {
                EndMonitor();
                WriteSystem(status.bNextFound
                                ? Format("Simulation finished after %lld steps, the next event "
                                         "at time %f.",
                                         status.nSteps, status.dNextTime)
                                : Format("Simulation finished after %lld steps.", status.nSteps));
            }
        }
    }
}

void CMainFrame::EndMonitor() {
    m_eMonitor = MP_OFF;
    m_pMonitorTimer->stop();
    m_pWaitConnDlg->hide();
}

void CMainFrame::CancelViewerWait() {
    m_bViewerWaitCancelled = true;
    if (m_pEngine) {
        m_pEngine->GetServer().CancelWait();
    }
}

void CMainFrame::ResetRunControl() {
    m_pSeries->Forget();
    EndMonitor();
    // A step or a Stop still to be shown belongs to the run that is gone.
    m_bStepPending = false;
    m_bStopPending = false;
    m_pRunningDlg->hide();
}
