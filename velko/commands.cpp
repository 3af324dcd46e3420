#include "velko/commands.h"

#include <QActionGroup>
#include <QKeySequence>
#include <iterator>

namespace {

// Every command of the simulator. Labels are the ribbon's (or the menu's for
// commands no ribbon element sends).
const SCommandDef g_commands[] = {
    {ID_FILE_NEW, "&New", CR_ALWAYS, "Ctrl+N"},
    {ID_FILE_OPEN, "&Open...", CR_ALWAYS, "Ctrl+O"},
    {ID_FILE_OPEN_ALT, "Open", CR_ALWAYS, ""},
    {ID_FILE_CLOSE, "&Close", CR_ALWAYS, ""},
    {ID_FILE_SAVE, "Save", CR_ALWAYS, "Ctrl+S"},
    {ID_APP_EXIT, "E&xit", CR_ALWAYS, "Ctrl+Q"},
    {ID_APP_ABOUT, "About", CR_ALWAYS, ""},
    {ID_HELP, "Help", CR_ALWAYS, "F1"},
    {ID_CONTEXT_HELP, "What's This?", CR_ALWAYS, "Shift+F1"},
    {ID_NEXT_PANE, "Next Pane", CR_ALWAYS, "F6"},
    {ID_PREV_PANE, "Previous Pane", CR_ALWAYS, "Shift+F6"},
    {ID_CAPTION_TOGGLE, "Caption", CR_ALWAYS, ""},
    {ID_VIEW_CAPTION_BAR, "&Caption Bar", CR_PANE, ""},
    {ID_VIEW_APPLOOK_WIN_2000, "Windows &2000", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_XP, "Office &XP", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_WIN_XP, "&Windows XP", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_2003, "Office 200&3", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_VS_2005, "Visual Studio.NET 200&5", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_2007_BLUE, "&Blue Style", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_2007_BLACK, "B&lack Style", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_2007_SILVER, "&Silver Style", CR_LOOK, ""},
    {ID_VIEW_APPLOOK_OFF_2007_AQUA, "&Aqua Style", CR_LOOK, ""},
    {ID_VIEW_STATUS_BAR, "Status Bar", CR_PANE, ""},
    {ID_VIEW_OUTPUTWND, "View Output", CR_PANE, ""},
    {ID_VIEW_CLASSVIEW, "Model tree", CR_PANE, ""},
    {ID_VIEW_PROPERTIESWND, "Properties", CR_PANE, ""},
    {ID_REPRESENTATION_EXPORT, "Export", CR_MODEL, ""},
    {ID_PARAMETRIZATION_IMPORT, "Import", CR_MODEL, ""},
    {ID_REPRESENTATION_IMPORT, "Import", CR_MODEL, ""},
    {ID_PARAMETRIZATION_EXPORT, "Export", CR_MODEL, ""},
    {ID_EXPERIMENT_IMPORT, "Import", CR_MODEL, ""},
    {ID_EXPERIMENT_EDIT, "Edit", CR_MODEL, ""},
    {ID_CODE_CREATE, "Create C code", CR_MODEL, ""},
    {ID_CODE_COMPILE, "Compile DLL", CR_MODEL, ""},
    {ID_CODE_LINK, "Link DLL", CR_MODEL, ""},
    {ID_CODE_ALL, "Create Compile and Link DLL", CR_MODEL, ""},
    {ID_COMPILER_PATH, "Path", CR_ALWAYS, ""},
    {ID_MENU_ALL, "All", CR_NEVER, ""},
    {ID_MODEL_NAME, "Model name", CR_ALWAYS, ""},
    {ID_CREATE_CPP, "Create CPP", CR_ALWAYS, ""},
    {ID_MODEL_PROPERTIES, "Properties", CR_ALWAYS, ""},
    {ID_SIM_TIME, "Simulation time", CR_INITIALIZE, ""},
    {ID_SIM_INITIALIZE, "Initialize", CR_INITIALIZE, ""},
    {ID_SIM_RUN, "Run", CR_RUN, ""},
    {ID_SIM_STEP, "Step", CR_STEP, ""},
    {ID_SIM_EXPERIMENT, "Executes the experiment", CR_EXPERIMENT, ""},
    {ID_SIM_STOP, "Stop", CR_STOP, ""},
    {ID_SIM_RUNNINGDLG, "Running Dialog", CR_RUNNING_DIALOG, ""},
    {ID_SIM_LAUNCHEYE, "Launch tye Eye", CR_ALWAYS, ""},
    {ID_SIM_STEPBYSTEP, "Step by step", CR_TOGGLE, ""},
    {ID_SIM_USECLIENTS, "Use clients", CR_TOGGLE, ""},
    {ID_SIM_STOPONERRORS, "Stop on errors", CR_TOGGLE, ""},
    {ID_SIM_EXECTRACE, "Execution Trace", CR_TOGGLE, ""},
    {ID_SIM_REPRTRACE, "Representation trace", CR_TOGGLE, ""},
    {ID_NET_LOCAL, "Local execution", CR_IP, ""},
    {ID_NET_INTRANET, "Intranet", CR_IP, ""},
    {ID_NET_INTERNET, "Internet", CR_IP, ""},
    {ID_SIM_ERRORREPORT, "Error report", CR_ERROR_REPORT, ""},
};

bool IsCheckable(CommandRule eRule) {
    return eRule == CR_LOOK || eRule == CR_PANE || eRule == CR_TOGGLE || eRule == CR_IP;
}

}  // namespace

bool IsLookCommand(int nId) {
    return nId >= ID_VIEW_APPLOOK_WIN_2000 && nId <= ID_VIEW_APPLOOK_OFF_2007_AQUA;
}

CCommandTable::CCommandTable(QObject* pParent) : QObject(pParent) {
    auto* pLooks = new QActionGroup(this);
    for (const SCommandDef& def : g_commands) {
        auto* pAction = new QAction(QString::fromUtf8(def.pszLabel), this);
        pAction->setData(def.nId);
        // What Shift+F1 tells of the ribbon button or menu item that sends it.
        pAction->setWhatsThis(QString::fromUtf8(def.pszLabel).remove(QLatin1Char('&')));
        pAction->setCheckable(IsCheckable(def.eRule));
        if (*def.pszShortcut) {
            pAction->setShortcut(QKeySequence(QString::fromLatin1(def.pszShortcut)));
            pAction->setShortcutContext(Qt::ApplicationShortcut);
        }
        if (def.eRule == CR_LOOK) {
            pLooks->addAction(pAction);
        }
        const int nId = def.nId;
        connect(pAction, &QAction::triggered, this, [this, nId] { Execute(nId); });
        m_mapActions[def.nId] = pAction;
    }
}

QAction* CCommandTable::Action(int nId) const {
    return m_mapActions.at(nId);
}

void CCommandTable::SetHandler(int nId, std::function<void()> fnHandler) {
    m_mapHandlers[nId] = std::move(fnHandler);
}

void CCommandTable::Execute(int nId) {
    auto it = m_mapHandlers.find(nId);
    if (it != m_mapHandlers.end()) {
        it->second();
    } else if (m_fnReport) {
        QString strLabel = Action(nId)->text();
        strLabel.remove(QLatin1Char('&'));
        m_fnReport(QStringLiteral("\"%1\" is not built yet.").arg(strLabel));
    }
    emit CommandDone(nId);
}

bool CCommandTable::IsEnabled(const SCommandDef& def, const SCommandState& s) {
    switch (def.eRule) {
        case CR_ALWAYS:
        case CR_LOOK:
        case CR_PANE:
            return true;
        case CR_NEVER:
            return false;
        // Settings, builds and a new run wait until no run is alive: a run
        // that ended by itself keeps its initialised mark, and a run that is
        // still starting has none yet.
        case CR_TOGGLE:
            return s.bEngine && !s.bRunAlive;
        // A run started before the Internet address is known would go
        // without it.
        case CR_IP:
            return s.bEngine && !s.bRunAlive && !s.bLookingUp;
        // A build reads the model, the side files and the code base.
        case CR_MODEL:
            return s.bEngine && !s.bRunAlive && !s.bBuilding;
        case CR_INITIALIZE:
            return s.bEngine && !s.bRunAlive && !s.bAccepting && !s.bBuilding && !s.bLookingUp;
        case CR_RUN:
            return s.bEngine && s.bRunAlive && s.bInitialized && !s.bRunning;
        case CR_STEP:
            return s.bEngine && s.bInitialized && s.bRunning;
        case CR_EXPERIMENT:
            return s.bEngine && s.bRunAlive && s.bInitialized && !s.bRunning && s.bExperimentFile;
        // An initialised run that waits for Run can be stopped too: otherwise
        // only Run, or quitting, would end it.
        case CR_STOP:
            return s.bEngine && s.bRunAlive && s.bInitialized && !s.bRootFinished;
        case CR_RUNNING_DIALOG:
            return s.bEngine && s.nRunCount > 0 && s.bRunning;
        case CR_ERROR_REPORT:
            return s.bEngine && s.nRunCount >= 1 && !s.bRunning && s.bRootFinished &&
                   s.bErrorReport;
    }
    return false;
}

bool CCommandTable::IsChecked(const SCommandDef& def, const SCommandState& s) {
    switch (def.nId) {
        case ID_VIEW_CAPTION_BAR:
            return s.bCaptionVisible;
        case ID_VIEW_STATUS_BAR:
            return s.bStatusBarVisible;
        case ID_VIEW_OUTPUTWND:
            return s.bOutputVisible;
        case ID_VIEW_CLASSVIEW:
            return s.bTreeVisible;
        case ID_VIEW_PROPERTIESWND:
            return s.bPropertiesVisible;
        case ID_SIM_STEPBYSTEP:
            return s.bEngine && s.bStepByStep;
        case ID_SIM_USECLIENTS:
            return s.bEngine && s.bUseClients;
        case ID_SIM_STOPONERRORS:
            return s.bEngine && s.bStopOnErrors;
        case ID_SIM_EXECTRACE:
            return s.bEngine && s.bExecutionTrace;
        case ID_SIM_REPRTRACE:
            return s.bEngine && s.bRepresentationTrace;
        case ID_NET_LOCAL:
            return s.bEngine && s.nIPMode == 0;
        case ID_NET_INTRANET:
            return s.bEngine && s.nIPMode == 1;
        case ID_NET_INTERNET:
            return s.bEngine && s.nIPMode == 2;
        default:
            return IsLookCommand(def.nId) && s.nLook == def.nId;
    }
}

QString CCommandTable::StepText(const SCommandState& s) {
    if (s.bStepByStep) {
        return QStringLiteral("Step");
    }
    if (!s.bStepRequest && !s.bGo && s.bRunning) {
        return QStringLiteral("Resume");
    }
    return QStringLiteral("Pause");
}

void CCommandTable::Update(const SCommandState& state) {
    for (const SCommandDef& def : g_commands) {
        QAction* pAction = m_mapActions[def.nId];
        const bool bEnabled = IsEnabled(def, state);
        pAction->setEnabled(bEnabled);
        // While a run is alive a setting keeps the mark it had.
        const bool bFrozen =
            (def.eRule == CR_TOGGLE || def.eRule == CR_IP) && state.bEngine && state.bRunAlive;
        if (pAction->isCheckable() && !bFrozen) {
            pAction->setChecked(IsChecked(def, state));
        }
        if (def.nId == ID_SIM_STEP && state.bEngine) {
            pAction->setText(StepText(state));
        }
    }
}
