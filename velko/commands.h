#pragma once

// The simulator's commands: their ids, labels, keys and the rule that decides
// when each is enabled, checked and what it reads. Every menu item, ribbon
// element and key sends one of these actions; the frame evaluates every rule
// in one place (CCommandTable::Update) whenever what they read changes.

#include <QAction>
#include <QObject>
#include <functional>
#include <map>

enum CommandId {
    // Files and application.
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_FILE_OPEN_ALT = 220,
    ID_FILE_CLOSE = 59395,
    ID_FILE_SAVE = 57603,
    ID_APP_EXIT = 57665,
    ID_APP_ABOUT = 57664,
    ID_HELP = 57670,
    ID_CONTEXT_HELP = 57669,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    // Frame: caption bar, looks and panes.
    ID_CAPTION_TOGGLE = 59394,
    ID_VIEW_CAPTION_BAR = 221,
    ID_VIEW_APPLOOK_WIN_2000 = 210,
    ID_VIEW_APPLOOK_OFF_XP = 211,
    ID_VIEW_APPLOOK_WIN_XP = 212,
    ID_VIEW_APPLOOK_OFF_2003 = 213,
    ID_VIEW_APPLOOK_VS_2005 = 214,
    ID_VIEW_APPLOOK_OFF_2007_BLUE = 215,
    ID_VIEW_APPLOOK_OFF_2007_BLACK = 216,
    ID_VIEW_APPLOOK_OFF_2007_SILVER = 217,
    ID_VIEW_APPLOOK_OFF_2007_AQUA = 218,
    ID_VIEW_STATUS_BAR = 59393,
    ID_VIEW_OUTPUTWND = 32786,
    ID_VIEW_CLASSVIEW = 32787,
    ID_VIEW_PROPERTIESWND = 32790,
    // Side files.
    ID_REPRESENTATION_EXPORT = 33,
    ID_PARAMETRIZATION_IMPORT = 34,
    ID_REPRESENTATION_IMPORT = 35,
    ID_PARAMETRIZATION_EXPORT = 36,
    ID_EXPERIMENT_IMPORT = 39,
    ID_EXPERIMENT_EDIT = 40,
    // Code.
    ID_CODE_CREATE = 32772,
    ID_CODE_COMPILE = 32773,
    ID_CODE_LINK = 32774,
    ID_CODE_ALL = 37,
    ID_COMPILER_PATH = 32776,
    ID_MENU_ALL = 32775,
    ID_MODEL_NAME = 32788,
    ID_CREATE_CPP = 32791,
    ID_MODEL_PROPERTIES = 32789,
    // Simulation.
    ID_SIM_INITIALIZE = 32780,
    ID_SIM_RUN = 32777,
    ID_SIM_STEP = 32781,
    ID_SIM_EXPERIMENT = 32804,
    ID_SIM_STOP = 32785,
    ID_SIM_TIME = 32793,
    ID_SIM_STEPBYSTEP = 32778,
    ID_SIM_EXECTRACE = 32779,
    ID_SIM_REPRTRACE = 32797,
    ID_SIM_USECLIENTS = 32794,
    ID_SIM_STOPONERRORS = 32796,
    ID_NET_LOCAL = 32782,
    ID_NET_INTRANET = 32783,
    ID_NET_INTERNET = 32784,
    ID_SIM_RUNNINGDLG = 32798,
    ID_SIM_LAUNCHEYE = 32803,
    ID_SIM_ERRORREPORT = 32795,
};

// What the rules read: the model's run state and the frame's own state.
struct SCommandState {
    bool bEngine = false;
    // A run has been started and has not ended (from its start to its end).
    bool bRunAlive = false;
    // A build command is making the model library.
    bool bBuilding = false;
    // The Internet mode waits for the public address.
    bool bLookingUp = false;
    bool bInitialized = false;
    bool bRunning = false;
    bool bStepByStep = false;
    bool bStepRequest = false;
    bool bGo = false;
    bool bRootFinished = false;
    bool bAccepting = false;
    int nRunCount = 0;
    bool bExperimentFile = false;
    bool bErrorReport = false;
    bool bExecutionTrace = false;
    bool bRepresentationTrace = false;
    bool bUseClients = false;
    bool bStopOnErrors = false;
    int nIPMode = 0;
    bool bCaptionVisible = false;
    bool bStatusBarVisible = false;
    bool bOutputVisible = false;
    bool bTreeVisible = false;
    bool bPropertiesVisible = false;
    int nLook = 0;
};

enum CommandRule {
    CR_ALWAYS,
    CR_NEVER,   // no handler anywhere: stays disabled
    CR_MODEL,   // an engine with no run alive and no build running
    CR_LOOK,    // radio mark on the current look
    CR_PANE,    // checked while its pane or bar is shown
    CR_TOGGLE,  // a run setting's check box
    CR_IP,      // a network mode
    CR_INITIALIZE,
    CR_RUN,
    CR_STEP,
    CR_EXPERIMENT,
    CR_STOP,
    CR_RUNNING_DIALOG,
    CR_ERROR_REPORT,
};

struct SCommandDef {
    int nId;
    const char* pszLabel;
    CommandRule eRule;
    const char* pszShortcut;  // "" when no key sends it
};

class CCommandTable : public QObject {
    Q_OBJECT
public:
    explicit CCommandTable(QObject* pParent);

    // The action of a command (never null for an id of the table).
    QAction* Action(int nId) const;
    // Gives the command its behaviour. A command without one reports that it
    // is not built yet when chosen (its rule still applies).
    void SetHandler(int nId, std::function<void()> fnHandler);
    // Where commands without a handler report.
    void SetReporter(std::function<void(const QString&)> fnReport) {
        m_fnReport = std::move(fnReport);
    }
    // Applies every rule to its action.
    void Update(const SCommandState& state);
    // Evaluates one rule: enabled, and checked for checkable commands.
    static bool IsEnabled(const SCommandDef& def, const SCommandState& state);
    static bool IsChecked(const SCommandDef& def, const SCommandState& state);
    // The Step command's text for the state.
    static QString StepText(const SCommandState& state);

signals:
    // After a command's handler has run.
    void CommandDone(int nId);

private:
    void Execute(int nId);

    std::map<int, QAction*> m_mapActions;
    std::map<int, std::function<void()>> m_mapHandlers;
    std::function<void(const QString&)> m_fnReport;
};

// The application looks and the names they are stored under.
bool IsLookCommand(int nId);
