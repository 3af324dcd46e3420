#pragma once

// The simulator's main window. It owns the ribbon, the status bar, the
// caption bar, the three docking panes, the diagram view, the document and
// the engine of the loaded model, and routes every command (commands.h).
//
// Everything here runs on the window's thread. The engine's own threads
// report through the notifier (guinotifier.h), which hands their lines and
// boxes to this thread.

#include <QFrame>
#include <QMainWindow>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "velko/commands.h"
#include "velko/velkodoc.h"

class CBuildCommands;
class CNetworkCommands;
class CSideFileCommands;
class CCalendarBar;
class CDlgCloseWait;
class CDlgRunning;
class CDlgWaitConn;
class CEngineListener;
class CExperimentSeries;
class CClassView;
class CFileView;
class CGuiNotifier;
class COutputWnd;
class CPropertiesWnd;
class CRibbonBar;
class CSDLAgent;
class CSDLEngine;
class CSDLOperation;
class CVELKOApp;
class CVELKOView;
class QLabel;
class QMenu;
class QTimer;
class QTreeWidgetItem;

// Results of LoadModel.
enum LoadModelResult {
    LM_LOADED = 0,
    LM_FAILED = 1,     // empty path, model errors or an empty model text
    LM_ERROR_LOG = 2,  // the reader's error log is not empty
    LM_NO_ROOT = 3,    // the model has no system block
    LM_REFUSED = 4,    // a run or a build is alive: nothing was touched
    LM_WAITING = 5,    // the old model waits for other instances; the open follows
};

// How long, at most, a quit by signal lets other instances read what the
// closing model sent them.
inline constexpr int kSignalQuitWaitMs = 3000;

// Kinds the selected-element lookups give.
enum SelectedKind { SK_OTHER = 0, SK_BLOCK = 1, SK_PROCESS = 2, SK_OPERATION = 4 };

// The message bar above the view.
class CCaptionBar : public QFrame {
    Q_OBJECT
public:
    explicit CCaptionBar(QWidget* pParent);
    void SetText(const QString& strText);
    QString Text() const;

private:
    QLabel* m_pText;
};

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(CVELKOApp& app);
    ~CMainFrame() override;

    // ---- Model open and close ------------------------------------------------------
    // Opens a model: a new engine reads the file at strPath; the tree, the
    // representation file, the diagram and the output pane show the outcome.
    int LoadModel(std::string strPath);
    // Clears what the frame shows of the model and forgets its experiments;
    // the engine stays.
    void CloseModel();
    // The Open command: a file dialog, then OpenChosenFile.
    void OnFileOpen();
    // Opens a chosen file by its extension (".velko", ".sdl", ".xml"; ".devs"
    // converted first) and shows the outcome in the caption bar.
    int OpenChosenFile(const std::string& strPath);
    // LoadModel, then the outcome in the caption bar (nothing when refused).
    int OpenModel(const std::string& strPath);
    // The Close command: CloseModel, then the engine goes (CloseEngine).
    void OnFileClose();
    // Shows the caption bar with the message. Title, command and button are
    // accepted for the callers' sake; the bar has no button.
    void ShowCaptionMessage(const QString& strMessage, const QString& strTitle, int nCommand,
                            const QString& strButton);
    // Each non-empty line of strText becomes one Errors line.
    void WriteErrors(std::string strText);
    // A loader's error text into the Errors tab, taken apart from its end:
    // while the text after its last line break is not blank, that piece is
    // written and cut off (with the break); the rest is written last. So
    // "a\nb\nc" arrives as c, b, a and "a\nb\nc\n" as a, b, c.
    void WriteModelErrors(std::string strErrors);
    // One black-on-white line of the System tab.
    void WriteSystem(const std::string& strLine);
    // Fills the model tree from the engine; 1 when the engine has no root.
    int FillModelTree();
    // One trace record into the Model tab.
    void FormatTraceMessage(std::string strLine);

    // ---- The selected tree element ----------------------------------------------------
    // The agent the tree's selection names: a process (SK_PROCESS), a block
    // (SK_BLOCK) or, for anything else, the root (SK_OTHER). Null without an
    // engine (after telling the user).
    CSDLAgent* GetSelectedAgent(int& nKind);
    CSDLOperation* GetSelectedOperation(int& nKind);
    // "&Properties...": the selected process or block into the properties pane.
    void OnModelProperties();
    // "Trace options" of the selected process.
    void OnTraceOptions();

    // ---- Run control (mainfrmrun.cpp) -----------------------------------------------------
    // The Simulation tab's commands. None of them waits for the simulation
    // thread: a Step ends, and the monitor moves on, when the engine's
    // listener reports the change.
    void OnInitialize();
    // The monitor follows the run just started (nRunCountBefore: the
    // engine's run count before it): the wait for the viewer, the caption
    // once initialised (or the failure), the Running dialog.
    void FollowRun(int nRunCountBefore);
    void OnRun();
    // Step by step: one more step (ignored while one is pending); otherwise
    // pauses a going run or resumes a paused one.
    void OnStep();
    void OnStop();
    void OnSimulationTime();
    // Starts the viewer program named in the settings.
    void OnLaunchEye();
    // The records of the last step into the Model tab, the next event time
    // into the System tab, a pending error report into the Errors tab.
    void ShowStepMessages();
    void StopEngine(CSDLEngine* pEngine);
    // The engine's run changed: the monitor, a pending Step and the
    // commands follow (posted by the engine's listener).
    void OnRunStateChanged();
    bool IsStepPending() const { return m_bStepPending; }
    CDlgRunning* RunningDialog() const { return m_pRunningDlg; }
    CDlgWaitConn* WaitConnDialog() const { return m_pWaitConnDlg; }
    CDlgCloseWait* CloseWaitDialog() const { return m_pCloseWaitDlg; }
    // True while the engine is being closed (CloseEngine).
    bool IsClosingEngine() const { return m_eCloseAction != CA_NONE; }

    // ---- Quits ---------------------------------------------------------------------------
    // The system asks the program to end (SIGTERM, SIGINT, SIGHUP). It ends
    // as Exit ends it, without waiting for anyone and within a few seconds:
    // the dialogs that ask are answered Cancel, a build is broken off, the
    // run is stopped and its trace ended, other instances get
    // kSignalQuitWaitMs at most to read what they were sent (what they have
    // not read is told on standard error), and the settings are saved.
    void QuitBySignal(int nSignal);
    // The signal the program ends by; 0 when none came.
    int QuitSignal() const { return m_nQuitSignal; }

    // ---- Frame ---------------------------------------------------------------------------
    // Evaluates every command's rule.
    void UpdateCommands();
    SCommandState GatherCommandState() const;
    // Applies an application look (210 to 218) and stores it.
    void SetApplicationLook(int nId);
    int ApplicationLook() const { return m_nLook; }
    // True while a simulation thread of the engine exists.
    bool IsRunAlive() const;
    // True while a build command makes the model library.
    bool IsBuilding() const;
    // Agents the engine added to or removed from the tree during a run.
    void OnAgentsChanged(const std::vector<std::string>& vecAdded,
                         const std::vector<std::string>& vecRemoved);

    CSDLEngine* Engine() const { return m_pEngine.get(); }
    CVELKODoc& Document() { return m_document; }
    CCommandTable& Commands() const { return *m_pCommands; }
    CBuildCommands& Build() const { return *m_pBuild; }
    CSideFileCommands& SideFiles() const { return *m_pSideFiles; }
    // The network mode commands; the mode itself is the engine's (IP mode
    // and address).
    CNetworkCommands& Network() const { return *m_pNetwork; }
    CExperimentSeries& Series() const { return *m_pSeries; }
    CRibbonBar* Ribbon() const { return m_pRibbon; }
    COutputWnd* Output() const { return m_pOutput; }
    CClassView* ClassView() const { return m_pClassView; }
    CPropertiesWnd* Properties() const { return m_pProperties; }
    CVELKOView* View() const { return m_pView; }
    CCaptionBar* CaptionBar() const { return m_pCaptionBar; }
    CGuiNotifier* Notifier() const { return m_pNotifier; }
    QLabel* RepresentationLabel() const { return m_pRepresentationLabel; }
    QLabel* ParametrizationLabel() const { return m_pParametrizationLabel; }
    QLabel* ExperimentationLabel() const { return m_pExperimentationLabel; }
    QMenu* ApplicationMenu() const { return m_pAppMenu; }
    const std::string& DiagramFolder() const { return m_strDiagramFolder; }

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;

private:
    void CreateRibbon();
    void CreateDocks();
    void RegisterHandlers();
    void AddTreeChildren(QTreeWidgetItem* pItem, const CSDLAgent* pAgent);
    void AddProcessNodes(QTreeWidgetItem* pItem, const class CSDLProcess* pProcess);
    void AddChain(QTreeWidgetItem* pItem, const CSDLOperation* pFirst);
    void OnTreeSelection();
    // What the engine's maps know strKey as: SK_PROCESS, SK_BLOCK or SK_OTHER.
    int KindOfKey(const std::string& strKey) const;
    void ToggleWidget(QWidget* pWidget);
    void FocusNextPane(bool bForward);
    void UpdateTitle();
    // The tree, the diagram, the title, the file labels, the experiments
    // file and the experiments of the model that goes.
    void ClearModelView();
    // The end of a load that failed: an engine that holds no model goes.
    // Returns nResult.
    int FailedLoad(int nResult);
    // Tells the user why a model cannot be opened or closed now (a run or a
    // build is alive); true when that is so.
    bool RefuseDuringRun();
    // What follows once the engine has gone.
    enum CloseAction { CA_NONE, CA_CLOSE_MODEL, CA_OPEN_MODEL, CA_QUIT };
    // True when the engine cannot go at once: its run is alive, or other
    // instances have not read what it sent them.
    bool EngineNeedsWait();
    // The engine goes, and then eAction follows (CA_OPEN_MODEL opens
    // strOpenPath). Nothing here waits: the close is a state of the frame
    // that its timer and the run's changes move on. A live run is stopped
    // (its questions answered Cancel) and its experiment series ends; once
    // its thread has ended, other instances that have not read what it sent
    // them are waited for, in a window that says for whom and how much,
    // until they have, until kRemoteCloseWaitMs pass without progress or
    // until "Stop waiting"; what is left is then given up and counted lost.
    // A close asked for while one goes on joins it (a quit wins).
    void CloseEngine(CloseAction eAction, const std::string& strOpenPath = {});
    void AdvanceEngineClose();
    void FinishEngineClose();
    // A quit gave up nLost signals: said on standard error, and, for a
    // quit of the user's, in the wait window, which the program ends after.
    // True when the program waits for the user to read it.
    bool TellQuitLoss(long long nLost);
    // The window's close for a quit by signal, once no dialog's own event
    // loop runs (their questions answered Cancel).
    void CloseForSignal();
    // The engine goes at once; what other instances have not read is given
    // up, reported as lost "when" pszWhen says. Returns the signals so lost.
    long long DropEngine(const char* pszWhen);
    // The engine of a newly opened model replaces the old one.
    void AttachEngine(std::unique_ptr<CSDLEngine> pEngine);
    // Agents the engine added or removed during a run, into or out of the
    // tree.
    void AddAgentItems(const std::vector<std::string>& vecKeys);
    void RemoveAgentItems(const std::vector<std::string>& vecKeys);
    QTreeWidgetItem* FindAgentItem(const std::string& strAgentKey) const;
    QTreeWidgetItem* AddAgentItem(QTreeWidgetItem* pParent, const CSDLAgent* pAgent);
    // Run control: the dialogs, the monitor's timer and the commands'
    // handlers; what the monitor does at each change of the run; a pending
    // Step that ends; giving up the wait for the viewer; all of it dropped
    // with the engine.
    void CreateRunControl();
    void AdvanceMonitor();
    void EndMonitor();
    void FinishStepIfDone();
    // "Simulation stop done at time ..." with the time the run reached.
    void WriteStopDone();
    void CancelViewerWait();
    void ResetRunControl();

    CVELKOApp& m_app;
    CCommandTable* m_pCommands;
    // The Code tab's commands and their build worker.
    std::unique_ptr<CBuildCommands> m_pBuild;
    // The Properties tab's side-file commands.
    std::unique_ptr<CSideFileCommands> m_pSideFiles;
    // Local execution, Intranet, Internet and the Internet lookup.
    std::unique_ptr<CNetworkCommands> m_pNetwork;
    // "Executes the experiment".
    std::unique_ptr<CExperimentSeries> m_pSeries;
    CRibbonBar* m_pRibbon = nullptr;
    QMenu* m_pAppMenu = nullptr;
    QMenu* m_pRecentMenu = nullptr;
    CCaptionBar* m_pCaptionBar = nullptr;
    CVELKOView* m_pView = nullptr;
    CClassView* m_pClassView = nullptr;
    COutputWnd* m_pOutput = nullptr;
    CPropertiesWnd* m_pProperties = nullptr;
    CCalendarBar* m_pCalendarBar = nullptr;
    CFileView* m_pFileView = nullptr;
    QLabel* m_pRepresentationLabel = nullptr;
    QLabel* m_pParametrizationLabel = nullptr;
    QLabel* m_pExperimentationLabel = nullptr;
    CGuiNotifier* m_pNotifier = nullptr;
    int m_nLook = ID_VIEW_APPLOOK_OFF_2007_AQUA;
    std::string m_strDiagramFolder;
    CVELKODoc m_document;
    // Hears the engine's run on its threads and posts to this one.
    std::unique_ptr<CEngineListener> m_pListener;
    std::unique_ptr<CSDLEngine> m_pEngine;

    // Where the monitor is in the run that Initialize started.
    enum MonitorPhase {
        MP_OFF,              // no run followed
        MP_VIEWER_WAIT,      // "Client Connections" shown while the run waits for the viewer
        MP_INITIALIZING,     // until the run is initialised (or its start fails)
        MP_WAITING_FOR_RUN,  // caption shown; until Run
        MP_RUNNING,          // "Running" shows the time once a second while running
    };
    CDlgRunning* m_pRunningDlg = nullptr;
    CDlgWaitConn* m_pWaitConnDlg = nullptr;
    QTimer* m_pMonitorTimer = nullptr;
    MonitorPhase m_eMonitor = MP_OFF;
    // The engine's count of run starts when the followed run was started.
    int m_nMonitorRunCount = 0;
    bool m_bViewerWaitCancelled = false;
    bool m_bStepPending = false;
    // Stop came while that step was still being made: the stop is written
    // after the step's records, at the time the step reached.
    bool m_bStopPending = false;

    // The engine's close in progress (CloseEngine).
    CloseAction m_eCloseAction = CA_NONE;
    std::string m_strCloseOpenPath;
    CDlgCloseWait* m_pCloseWaitDlg = nullptr;
    QTimer* m_pCloseTimer = nullptr;
    // Since when the other instances are waited for (the run had ended and
    // something was unread); "Stop waiting" was pressed.
    std::chrono::steady_clock::time_point m_tReadersSince{};
    bool m_bWaitingForReaders = false;
    bool m_bCloseWaitStopped = false;
    // The program ends once the user has read what its quit lost.
    bool m_bTellingLoss = false;
    // The signal the program ends by, and since when.
    int m_nQuitSignal = 0;
    std::chrono::steady_clock::time_point m_tQuitSignal{};
};
