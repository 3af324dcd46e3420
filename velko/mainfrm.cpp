#include "velko/mainfrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QStatusBar>
#include <QStyleFactory>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlengine.h"
#include "sh_widgets/guinotifier.h"
#include "velko/buildcommands.h"
#include "velko/calendarbar.h"
#include "velko/classview.h"
#include "velko/dlgclosewait.h"
#include "velko/experimentseries.h"
#include "velko/fileview.h"
#include "velko/icons.h"
#include "velko/networkcommands.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/ribbon.h"
#include "velko/sidefilecommands.h"
#include "velko/velkoapp.h"
#include "velko/velkoview.h"

namespace {

// The Qt style and palette of an application look.
void ApplyLook(int nId) {
    const bool bClassic = nId == ID_VIEW_APPLOOK_WIN_2000 || nId == ID_VIEW_APPLOOK_WIN_XP;
    QStyle* pStyle =
        QStyleFactory::create(bClassic ? QStringLiteral("Windows") : QStringLiteral("Fusion"));
    if (!pStyle) {
        pStyle = QStyleFactory::create(QStringLiteral("Fusion"));
    }
    QApplication::setStyle(pStyle);
    struct SLookColors {
        int nId;
        QRgb window, base, highlight;
    };
    static const SLookColors looks[] = {
        {ID_VIEW_APPLOOK_WIN_2000, 0xd4d0c8, 0xffffff, 0x0a246a},
        {ID_VIEW_APPLOOK_OFF_XP, 0xf0f0f0, 0xffffff, 0x316ac5},
        {ID_VIEW_APPLOOK_WIN_XP, 0xece9d8, 0xffffff, 0x316ac5},
        {ID_VIEW_APPLOOK_OFF_2003, 0xc3daf9, 0xffffff, 0x3169c6},
        {ID_VIEW_APPLOOK_VS_2005, 0xeeede5, 0xffffff, 0x3169c6},
        {ID_VIEW_APPLOOK_OFF_2007_BLUE, 0xd5e4f2, 0xffffff, 0x3a78c3},
        {ID_VIEW_APPLOOK_OFF_2007_BLACK, 0x3a3a3a, 0x262626, 0x8a8a8a},
        {ID_VIEW_APPLOOK_OFF_2007_SILVER, 0xe2e6ec, 0xffffff, 0x6d83a3},
        {ID_VIEW_APPLOOK_OFF_2007_AQUA, 0xd8e8ea, 0xffffff, 0x2a8c99},
    };
    for (const SLookColors& look : looks) {
        if (look.nId != nId) {
            continue;
        }
        QPalette palette = pStyle->standardPalette();
        const QColor window(look.window);
        const bool bDark = window.lightness() < 128;
        palette.setColor(QPalette::Window, window);
        palette.setColor(QPalette::Button, window);
        palette.setColor(QPalette::Base, QColor(look.base));
        palette.setColor(QPalette::AlternateBase, window.lighter(110));
        palette.setColor(QPalette::Highlight, QColor(look.highlight));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        const QColor text = bDark ? QColor(Qt::white) : QColor(Qt::black);
        for (auto eRole : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            palette.setColor(QPalette::Active, eRole, text);
            palette.setColor(QPalette::Inactive, eRole, text);
        }
        QApplication::setPalette(palette);
    }
}

// Hears the engine on its threads and posts what it hears to the frame's
// thread, which reads the engine's state itself when the post arrives.
class CFrameListener : public CEngineListener {
public:
    explicit CFrameListener(CMainFrame* pFrame) : m_pFrame(pFrame) {}

    void OnRunStateChanged(EngineRunState) override { PostUpdate(); }
    void OnValuesTaken() override {
        QMetaObject::invokeMethod(
            m_pFrame, [pFrame = m_pFrame] { pFrame->Properties()->OnRunValuesTaken(); },
            Qt::QueuedConnection);
    }
    void OnErrorPending() override { PostUpdate(); }
    void OnAgentsChanged(const std::vector<std::string>& vecAdded,
                         const std::vector<std::string>& vecRemoved) override {
        QMetaObject::invokeMethod(
            m_pFrame,
            [pFrame = m_pFrame, vecAdded, vecRemoved] {
                pFrame->OnAgentsChanged(vecAdded, vecRemoved);
            },
            Qt::QueuedConnection);
    }

private:
    void PostUpdate() {
        QMetaObject::invokeMethod(
            m_pFrame, [pFrame = m_pFrame] { pFrame->OnRunStateChanged(); }, Qt::QueuedConnection);
    }

    CMainFrame* m_pFrame;
};

}  // namespace

CCaptionBar::CCaptionBar(QWidget* pParent) : QFrame(pParent) {
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(255, 250, 215));
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);
    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(6, 3, 6, 3);
    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(16, 16));
    pIcon->setToolTip(
        QStringLiteral("<b>Important</b><br>Here is an informational message for "
                       "the user."));
    m_pText = new QLabel(QStringLiteral("Load an VELKO model to start working."), this);
    m_pText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pLayout->addWidget(pIcon);
    pLayout->addWidget(m_pText, 1);
}

void CCaptionBar::SetText(const QString& strText) {
    m_pText->setText(strText);
}

QString CCaptionBar::Text() const {
    return m_pText->text();
}

CMainFrame::CMainFrame(CVELKOApp& app) : m_app(app) {
    setObjectName(QStringLiteral("MainFrame"));
    setWindowIcon(ApplicationIcon());
    setAcceptDrops(true);
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    m_pListener = std::make_unique<CFrameListener>(this);
    m_pCommands = new CCommandTable(this);
    m_pBuild = std::make_unique<CBuildCommands>(*this);
    m_pSideFiles = std::make_unique<CSideFileCommands>(*this);
    m_pNetwork = std::make_unique<CNetworkCommands>(*this);
    m_pSeries = std::make_unique<CExperimentSeries>(*this);
    for (QAction* pAction : findChildren<QAction*>()) {
        pAction->setIcon(CommandIcon(pAction->data().toInt()));
        addAction(pAction);  // keys work wherever the focus is
    }

    SetApplicationLook(QSettings().value(SETTING_LOOK, ID_VIEW_APPLOOK_OFF_2007_AQUA).toInt());
    CreateRibbon();

    auto* pStatus = statusBar();
    pStatus->addWidget(new QLabel(QStringLiteral("Pane 1"), pStatus), 1);
    pStatus->addPermanentWidget(new QLabel(QStringLiteral("Pane 2"), pStatus));

    auto* pCentral = new QWidget(this);
    auto* pCentralLayout = new QVBoxLayout(pCentral);
    pCentralLayout->setContentsMargins(0, 0, 0, 0);
    pCentralLayout->setSpacing(0);
    m_pCaptionBar = new CCaptionBar(pCentral);
    m_pCaptionBar->hide();
    m_pView = new CVELKOView(pCentral);
    pCentralLayout->addWidget(m_pCaptionBar);
    pCentralLayout->addWidget(m_pView, 1);
    setCentralWidget(pCentral);

    CreateDocks();
    m_pNotifier = new CGuiNotifier(
        this,
        [this](NotifyPane ePane, const QString& strLine) {
            COutputList* pList = ePane == NP_ERRORS  ? m_pOutput->Errors()
                                 : ePane == NP_MODEL ? m_pOutput->Model()
                                                     : m_pOutput->System();
            pList->AddItem(strLine);
        },
        OUTPUT_LINE_LIMIT);
    // Kept as the frame's members, never shown.
    m_pCalendarBar = new CCalendarBar(this);
    m_pCalendarBar->hide();
    m_pFileView = new CFileView(this);

    RegisterHandlers();
    CreateRunControl();
    m_pCloseWaitDlg = new CDlgCloseWait(this);
    connect(m_pCloseWaitDlg, &CDlgCloseWait::StopWaiting, this, [this] {
        m_bCloseWaitStopped = true;
        AdvanceEngineClose();
    });
    // Its quits are the window's: they join the wait, or end the program
    // once its loss has been read.
    connect(m_pCloseWaitDlg, &CDlgCloseWait::QuitRequested, this, [this] { close(); });
    m_pCloseWaitDlg->addAction(m_pCommands->Action(ID_APP_EXIT));
    // A build broken off by a quit lets the quit go on.
    connect(m_pBuild.get(), &CBuildCommands::BuildFinished, this, [this] {
        if (m_nQuitSignal != 0) {
            CloseForSignal();
        }
    });
    m_pCloseTimer = new QTimer(this);
    m_pCloseTimer->setInterval(100);
    connect(m_pCloseTimer, &QTimer::timeout, this, [this] { AdvanceEngineClose(); });
    m_pCommands->SetReporter(
        [this](const QString& strLine) { WriteSystem(strLine.toStdString()); });
    connect(m_pCommands, &CCommandTable::CommandDone, this, [this] { UpdateCommands(); });

    resize(1100, 760);
    QSettings settings;
    restoreGeometry(settings.value(SETTING_GEOMETRY).toByteArray());
    restoreState(settings.value(SETTING_LAYOUT).toByteArray());
    UpdateTitle();
    UpdateCommands();
}

CMainFrame::~CMainFrame() {
    // Hidden while whole: its panes report their hiding to UpdateCommands.
    hide();
    m_pBuild.reset();  // waits for a build that still uses the engine
    TellQuitLoss(DropEngine("when the program ended"));
    m_pNetwork.reset();  // waits for an Internet lookup (it has a time-out)
}

void CMainFrame::CreateRibbon() {
    CCommandTable& commands = *m_pCommands;
    m_pRibbon = new CRibbonBar(this);
    setMenuWidget(m_pRibbon);

    // The application button's menu, with the commands no ribbon element sends.
    m_pAppMenu = new QMenu(m_pRibbon);
    m_pAppMenu->addAction(commands.Action(ID_FILE_OPEN));
    m_pAppMenu->addAction(commands.Action(ID_FILE_CLOSE));
    m_pRecentMenu = m_pAppMenu->addMenu(QStringLiteral("Recent Documents"));
    connect(m_pRecentMenu, &QMenu::aboutToShow, this, [this] {
        m_pRecentMenu->clear();
        const QStringList listFiles = m_app.RecentFiles();
        for (int i = 0; i < listFiles.size(); ++i) {
            m_pRecentMenu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(listFiles[i]), this,
                                     [this, i] { m_app.OnOpenRecentFile(i); });
        }
    });
    m_pAppMenu->addSeparator();
    QMenu* pView = m_pAppMenu->addMenu(QStringLiteral("&View"));
    pView->addAction(commands.Action(ID_VIEW_CAPTION_BAR));
    QMenu* pLooks = pView->addMenu(QStringLiteral("Application Look"));
    for (int nId = ID_VIEW_APPLOOK_WIN_2000; nId <= ID_VIEW_APPLOOK_OFF_2007_AQUA; ++nId) {
        pLooks->addAction(commands.Action(nId));
    }
    QMenu* pModel = m_pAppMenu->addMenu(QStringLiteral("Model"));
    pModel->addAction(commands.Action(ID_MODEL_PROPERTIES));
    pModel->addAction(commands.Action(ID_MENU_ALL));
    QMenu* pCompiler = m_pAppMenu->addMenu(QStringLiteral("Compiler"));
    pCompiler->addAction(commands.Action(ID_MODEL_NAME));
    pCompiler->addAction(commands.Action(ID_CREATE_CPP));
    QMenu* pSimulation = m_pAppMenu->addMenu(QStringLiteral("Simulation"));
    for (int nId : {ID_NET_LOCAL, ID_NET_INTRANET, ID_NET_INTERNET, ID_SIM_ERRORREPORT}) {
        pSimulation->addAction(commands.Action(nId));
    }
    m_pAppMenu->addSeparator();
    m_pAppMenu->addAction(commands.Action(ID_APP_EXIT));
    m_pRibbon->ApplicationButton()->setMenu(m_pAppMenu);
    m_pRibbon->ApplicationButton()->setIcon(ApplicationIcon());
    m_pRibbon->AddQuickAccess(commands.Action(ID_FILE_OPEN));
    m_pRibbon->AddQuickAccess(commands.Action(ID_FILE_SAVE));

    CRibbonPanel* pPanel = m_pRibbon->AddPanel(QStringLiteral("&Home"), QStringLiteral("Project"));
    pPanel->AddButton(commands.Action(ID_FILE_OPEN));
    pPanel->AddButton(commands.Action(ID_FILE_CLOSE));
    pPanel = m_pRibbon->AddPanel(QStringLiteral("&Home"), QStringLiteral("View"));
    for (int nId :
         {ID_VIEW_STATUS_BAR, ID_VIEW_OUTPUTWND, ID_VIEW_CLASSVIEW, ID_VIEW_PROPERTIESWND}) {
        pPanel->AddCheckBox(commands.Action(nId));
    }

    // The three side files, each with its two commands and its file label.
    struct SSideFile {
        const char* pszPanel;
        int nFirst, nSecond;
        const char* pszLabel;
        QLabel** ppValue;
    } const sideFiles[] = {
        {"Representation", ID_REPRESENTATION_IMPORT, ID_REPRESENTATION_EXPORT,
         "Representation File:", &m_pRepresentationLabel},
        {"Parametrization", ID_PARAMETRIZATION_IMPORT, ID_PARAMETRIZATION_EXPORT,
         "Parametrization File:", &m_pParametrizationLabel},
        {"Experiment", ID_EXPERIMENT_IMPORT, ID_EXPERIMENT_EDIT,
         "Experimentation File:", &m_pExperimentationLabel},
    };
    for (const SSideFile& side : sideFiles) {
        pPanel =
            m_pRibbon->AddPanel(QStringLiteral("Properties"), QString::fromLatin1(side.pszPanel));
        pPanel->AddButton(commands.Action(side.nFirst));
        pPanel->AddButton(commands.Action(side.nSecond));
        pPanel->AddLabel(QString::fromLatin1(side.pszLabel));
        *side.ppValue = pPanel->AddLabel(QStringLiteral("No file loaded"));
    }

    pPanel = m_pRibbon->AddPanel(QStringLiteral("&Code"), QStringLiteral("DLL step by step"));
    for (int nId : {ID_CODE_CREATE, ID_CODE_COMPILE, ID_CODE_LINK}) {
        pPanel->AddButton(commands.Action(nId));
    }
    m_pRibbon->AddPanel(QStringLiteral("&Code"), QStringLiteral("DLL"))
        ->AddButton(commands.Action(ID_CODE_ALL));
    m_pRibbon->AddPanel(QStringLiteral("&Code"), QStringLiteral("Compiler"))
        ->AddButton(commands.Action(ID_COMPILER_PATH));

    m_pRibbon->AddPanel(QStringLiteral("Simulation"), QStringLiteral("Experimentation"))
        ->AddButton(commands.Action(ID_SIM_TIME));
    pPanel = m_pRibbon->AddPanel(QStringLiteral("Simulation"), QStringLiteral("Execute"));
    for (int nId : {ID_SIM_INITIALIZE, ID_SIM_RUN, ID_SIM_STEP, ID_SIM_EXPERIMENT, ID_SIM_STOP,
                    ID_SIM_RUNNINGDLG, ID_SIM_LAUNCHEYE}) {
        pPanel->AddButton(commands.Action(nId));
    }
    for (int nId : {ID_SIM_STEPBYSTEP, ID_SIM_USECLIENTS, ID_SIM_STOPONERRORS}) {
        pPanel->AddCheckBox(commands.Action(nId));
    }
    pPanel = m_pRibbon->AddPanel(QStringLiteral("Simulation"), QStringLiteral("Trace"));
    pPanel->AddCheckBox(commands.Action(ID_SIM_EXECTRACE));
    pPanel->AddCheckBox(commands.Action(ID_SIM_REPRTRACE));

    QToolButton* pStyle =
        m_pRibbon->AddTabRowButton(QStringLiteral("Style"), QStringLiteral("Modify Visual Style"));
    pStyle->setStatusTip(QStringLiteral("Choose one of the Office 2007 themes"));
    pStyle->setPopupMode(QToolButton::InstantPopup);
    auto* pStyleMenu = new QMenu(pStyle);
    for (int nId = ID_VIEW_APPLOOK_OFF_2007_BLUE; nId <= ID_VIEW_APPLOOK_OFF_2007_AQUA; ++nId) {
        pStyleMenu->addAction(commands.Action(nId));
    }
    pStyle->setMenu(pStyleMenu);
    QToolButton* pAbout = m_pRibbon->AddTabRowButton(QString(), QStringLiteral("About"));
    pAbout->setDefaultAction(commands.Action(ID_APP_ABOUT));
}

void CMainFrame::CreateDocks() {
    m_pClassView = new CClassView(this);
    m_pOutput = new COutputWnd(this);
    m_pProperties = new CPropertiesWnd(this);
    addDockWidget(Qt::LeftDockWidgetArea, m_pClassView);
    addDockWidget(Qt::BottomDockWidgetArea, m_pOutput);
    addDockWidget(Qt::RightDockWidgetArea, m_pProperties);
    resizeDocks({m_pClassView, m_pProperties}, {m_pClassView->OpeningWidth(), 200}, Qt::Horizontal);
    resizeDocks({m_pOutput}, {100}, Qt::Vertical);
    m_pClassView->setWindowIcon(TreeIcon(TI_ROOT));
    m_pOutput->setWindowIcon(TreeIcon(TI_LEAF));
    m_pProperties->setWindowIcon(TreeIcon(TI_GROUP));
    m_pClassView->setWhatsThis(QStringLiteral(
        "Agents view: the blocks and processes of the model; the one selected shows its "
        "properties."));
    m_pOutput->setWhatsThis(QStringLiteral(
        "Output: what the simulator reports (System), what the model traces (Model) and the "
        "errors and warnings of loads and runs (Errors)."));
    m_pProperties->setWhatsThis(
        QStringLiteral("Properties: the properties of the element selected in the model tree."));
    // A pane closed with its own title button unchecks its View box.
    for (QDockWidget* pDock :
         {static_cast<QDockWidget*>(m_pClassView), static_cast<QDockWidget*>(m_pOutput),
          static_cast<QDockWidget*>(m_pProperties)}) {
        connect(pDock, &QDockWidget::visibilityChanged, this, [this] { UpdateCommands(); });
    }
    connect(m_pClassView->Tree(), &QTreeWidget::itemSelectionChanged, this,
            &CMainFrame::OnTreeSelection);
    connect(m_pClassView, &CClassView::PropertiesRequested, this, &CMainFrame::OnModelProperties);
    connect(m_pClassView, &CClassView::TraceOptionsRequested, this, &CMainFrame::OnTraceOptions);
}

void CMainFrame::RegisterHandlers() {
    CCommandTable& commands = *m_pCommands;
    commands.SetHandler(ID_FILE_OPEN, [this] { OnFileOpen(); });
    commands.SetHandler(ID_FILE_OPEN_ALT, [this] { OnFileOpen(); });
    commands.SetHandler(ID_FILE_CLOSE, [this] { OnFileClose(); });
    // A new document holds no model: the open one is closed.
    commands.SetHandler(ID_FILE_NEW, [this] { OnFileClose(); });
    commands.SetHandler(ID_FILE_SAVE, [this] {
        m_pNotifier->MessageBox("Info",
                                m_pEngine ? "Not Implemented yet" : "Load first a model (.velko)",
                                NB_OK, NI_INFORMATION);
    });
    commands.SetHandler(ID_APP_EXIT, [this] { close(); });
    commands.SetHandler(ID_APP_ABOUT, [this] { m_app.ShowAbout(); });
    commands.SetHandler(ID_HELP, [this] { m_app.ShowAbout(); });
    commands.SetHandler(ID_CONTEXT_HELP, [] { QWhatsThis::enterWhatsThisMode(); });
    commands.SetHandler(ID_NEXT_PANE, [this] { FocusNextPane(true); });
    commands.SetHandler(ID_PREV_PANE, [this] { FocusNextPane(false); });
    commands.SetHandler(ID_CAPTION_TOGGLE, [this] { ToggleWidget(m_pCaptionBar); });
    commands.SetHandler(ID_VIEW_CAPTION_BAR, [this] { ToggleWidget(m_pCaptionBar); });
    commands.SetHandler(ID_VIEW_STATUS_BAR, [this] { ToggleWidget(statusBar()); });
    commands.SetHandler(ID_VIEW_OUTPUTWND, [this] { ToggleWidget(m_pOutput); });
    commands.SetHandler(ID_VIEW_CLASSVIEW, [this] { ToggleWidget(m_pClassView); });
    commands.SetHandler(ID_VIEW_PROPERTIESWND, [this] { ToggleWidget(m_pProperties); });
    for (int nId = ID_VIEW_APPLOOK_WIN_2000; nId <= ID_VIEW_APPLOOK_OFF_2007_AQUA; ++nId) {
        commands.SetHandler(nId, [this, nId] { SetApplicationLook(nId); });
    }
    commands.SetHandler(ID_MODEL_PROPERTIES, [this] { OnModelProperties(); });
    m_pBuild->RegisterHandlers(commands);
    m_pSideFiles->RegisterHandlers(commands);
    m_pNetwork->RegisterHandlers(commands);
}

SCommandState CMainFrame::GatherCommandState() const {
    SCommandState state;
    state.bCaptionVisible = !m_pCaptionBar->isHidden();
    state.bStatusBarVisible = !statusBar()->isHidden();
    state.bOutputVisible = !m_pOutput->isHidden();
    state.bTreeVisible = !m_pClassView->isHidden();
    state.bPropertiesVisible = !m_pProperties->isHidden();
    state.nLook = m_nLook;
    state.bExperimentFile = !m_document.m_strExperimentFile.empty();
    state.bBuilding = IsBuilding();
    state.bLookingUp = m_pNetwork && m_pNetwork->IsLookingUp();
    CSDLEngine* pEngine = m_pEngine.get();
    // An engine that goes takes no more commands.
    if (!pEngine || IsClosingEngine()) {
        return state;
    }
    state.bEngine = true;
    const EngineRunState eRunState = pEngine->GetRunState();
    state.bRunAlive = eRunState != RS_IDLE && eRunState != RS_ENDED;
    state.bAccepting = pEngine->GetServer().IsAccepting();
    state.bInitialized = pEngine->m_bInitialized;
    state.bRunning = pEngine->m_bRunning;
    state.bStepByStep = pEngine->m_bStepByStep;
    state.bStepRequest = pEngine->m_bStepRequest;
    state.bGo = pEngine->m_bGo;
    state.bRootFinished = pEngine->IsRootFinished();
    state.nRunCount = pEngine->m_nRunCount;
    const CSDLAgent* pRoot = pEngine->GetRootAgent();
    if (pRoot && state.bRootFinished && !state.bRunning) {
        auto lock = pEngine->LockTree();
        state.bErrorReport = !Trim(pRoot->GetErrorReport()).empty();
    }
    state.bExecutionTrace = pEngine->m_bExecutionTrace;
    state.bRepresentationTrace = pEngine->m_bRepresentationTrace;
    state.bUseClients = pEngine->m_bUseClients;
    state.bStopOnErrors = pEngine->m_bStopOnErrors;
    state.nIPMode = pEngine->m_nIPMode;
    return state;
}

void CMainFrame::UpdateCommands() {
    const SCommandState state = GatherCommandState();
    m_pCommands->Update(state);
    // An engine that goes may still be ending its run.
    m_pProperties->SetBusy(state.bRunAlive || IsClosingEngine(), state.bBuilding);
}

void CMainFrame::SetApplicationLook(int nId) {
    if (!IsLookCommand(nId)) {
        nId = ID_VIEW_APPLOOK_OFF_2007_AQUA;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_nLook = nId;
    ApplyLook(nId);
    update();
    QApplication::restoreOverrideCursor();
    QSettings().setValue(SETTING_LOOK, nId);
}

void CMainFrame::ToggleWidget(QWidget* pWidget) {
    pWidget->setVisible(pWidget->isHidden());
    UpdateCommands();
}

void CMainFrame::FocusNextPane(bool bForward) {
    QList<QWidget*> listPanes{m_pView};
    for (QDockWidget* pDock :
         {static_cast<QDockWidget*>(m_pClassView), static_cast<QDockWidget*>(m_pOutput),
          static_cast<QDockWidget*>(m_pProperties)}) {
        if (pDock->isVisible()) {
            listPanes << pDock->widget();
        }
    }
    int nCurrent = 0;
    for (int i = 0; i < listPanes.size(); ++i) {
        if (listPanes[i]->isAncestorOf(QApplication::focusWidget()) ||
            listPanes[i] == QApplication::focusWidget()) {
            nCurrent = i;
        }
    }
    const int nCount = static_cast<int>(listPanes.size());
    const int nNext = (nCurrent + (bForward ? 1 : nCount - 1)) % nCount;
    listPanes[nNext]->setFocus(Qt::OtherFocusReason);
    if (QWidget* pChild = listPanes[nNext]->nextInFocusChain();
        pChild && listPanes[nNext]->isAncestorOf(pChild)) {
        pChild->setFocus(Qt::OtherFocusReason);
    }
}

void CMainFrame::UpdateTitle() {
    setWindowTitle(QStringLiteral("%1 - VELKO").arg(QString::fromStdString(m_document.m_strTitle)));
}

bool CMainFrame::IsRunAlive() const {
    return m_pEngine && m_pEngine->IsThreadAlive();
}

bool CMainFrame::IsBuilding() const {
    return m_pBuild && m_pBuild->IsBuilding();
}

bool CMainFrame::EngineNeedsWait() {
    return m_pEngine &&
           (m_pEngine->IsThreadAlive() || !m_pEngine->GetRemoteLinks().DescribeUnread().empty());
}

void CMainFrame::CloseEngine(CloseAction eAction, const std::string& strOpenPath) {
    if (m_eCloseAction != CA_NONE) {
        // Joins the close in progress; a quit ends the program after it,
        // else a model asked for opens after it.
        if (eAction == CA_QUIT) {
            m_eCloseAction = CA_QUIT;
        } else if (eAction == CA_OPEN_MODEL && m_eCloseAction != CA_QUIT) {
            m_eCloseAction = CA_OPEN_MODEL;
            m_strCloseOpenPath = strOpenPath;
        }
        return;
    }
    m_eCloseAction = eAction;
    m_strCloseOpenPath = strOpenPath;
    m_bWaitingForReaders = false;
    m_bCloseWaitStopped = false;
    // No further experiment, step or monitor for this engine.
    ResetRunControl();
    if (m_pEngine && m_pEngine->IsThreadAlive()) {
        m_pEngine->Stop();
    }
    UpdateCommands();
    m_pCloseTimer->start();
    AdvanceEngineClose();
}

void CMainFrame::AdvanceEngineClose() {
    if (m_eCloseAction == CA_NONE) {
        return;
    }
    if (!m_pEngine) {
        FinishEngineClose();
        return;
    }
    if (m_pEngine->IsThreadAlive()) {
        return;  // the stopped run ends; its links are kept once it has
    }
    CSDLRemoteLinks& links = m_pEngine->GetRemoteLinks();
    const std::string strUnread = links.DescribeUnread();
    if (strUnread.empty() || m_bCloseWaitStopped) {
        FinishEngineClose();
        return;
    }
    const auto tNow = std::chrono::steady_clock::now();
    // The system that ends the program waits for nobody for long.
    if (m_nQuitSignal != 0 &&
        tNow - m_tQuitSignal >= std::chrono::milliseconds(kSignalQuitWaitMs)) {
        FinishEngineClose();
        return;
    }
    if (!m_bWaitingForReaders) {
        m_bWaitingForReaders = true;
        m_tReadersSince = tNow;
        WriteSystem("Waiting for other instances to read what was sent to them: " + strUnread +
                    ".");
        m_pCloseWaitDlg->show();
    }
    if (tNow - std::max(m_tReadersSince, links.GetLastProgress()) >=
        std::chrono::milliseconds(kRemoteCloseWaitMs)) {
        FinishEngineClose();
        return;
    }
    m_pCloseWaitDlg->SetText(QString::fromStdString(
        "Waiting for other instances to read the signals sent to them (the wait ends after " +
        std::to_string(kRemoteCloseWaitMs / 1000) + " s without progress):\n" + strUnread));
}

void CMainFrame::FinishEngineClose() {
    m_pCloseTimer->stop();
    m_pCloseWaitDlg->hide();
    const CloseAction eAction = std::exchange(m_eCloseAction, CA_NONE);
    const std::string strOpenPath = std::move(m_strCloseOpenPath);
    const long long nLost = DropEngine(m_bCloseWaitStopped  ? "when the wait for it was stopped"
                                       : eAction == CA_QUIT ? "when the program ended"
                                                            : "when the model was closed");
    m_bWaitingForReaders = false;
    m_bCloseWaitStopped = false;
    UpdateCommands();
    if (eAction == CA_OPEN_MODEL) {
        OpenModel(strOpenPath);
    } else if (eAction == CA_QUIT && !TellQuitLoss(nLost)) {
        // The close that waited comes again, and now ends the program.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

bool CMainFrame::TellQuitLoss(long long nLost) {
    if (nLost <= 0) {
        return false;
    }
    const std::string strLoss = Format(
        "Up to %lld signals sent to other instances had not been handled there when the "
        "program ended; they are lost.",
        nLost);
    std::fprintf(stderr, "velko: %s\n", strLoss.c_str());
    if (m_nQuitSignal != 0 || isHidden()) {
        return false;  // nobody is there to read it
    }
    // Before the program goes, where the user sees it: it goes once read.
    m_bTellingLoss = true;
    m_pCloseWaitDlg->TellLoss(QString::fromStdString(strLoss));
    return true;
}

void CMainFrame::QuitBySignal(int nSignal) {
    if (m_nQuitSignal == 0) {
        m_nQuitSignal = nSignal;
        m_tQuitSignal = std::chrono::steady_clock::now();
    }
    CloseForSignal();
}

void CMainFrame::CloseForSignal() {
    // Nobody answers: a menu open goes, what asks is answered Cancel. The
    // wait window is the close's own.
    for (int i = 0; i < 16; ++i) {
        QWidget* pPopup = QApplication::activePopupWidget();
        QWidget* pModal = QApplication::activeModalWidget();
        if (pPopup) {
            pPopup->close();
        } else if (!pModal || pModal == m_pCloseWaitDlg) {
            break;
        } else if (auto* pDialog = qobject_cast<QDialog*>(pModal)) {
            pDialog->reject();
        } else {
            pModal->close();
        }
        if ((pPopup ? pPopup : pModal)->isVisible()) {
            break;
        }
    }
    // Their loops return before the window closes from the program's, as
    // long as they do so within a moment.
    if (QThread::currentThread()->loopLevel() > 1 &&
        std::chrono::steady_clock::now() - m_tQuitSignal <
            std::chrono::milliseconds(kSignalQuitWaitMs)) {
        QTimer::singleShot(10, this, [this] { CloseForSignal(); });
        return;
    }
    close();
}

long long CMainFrame::DropEngine(const char* pszWhen) {
    if (!m_pEngine) {
        return 0;
    }
    if (m_pEngine->IsThreadAlive()) {
        m_pEngine->Stop();
    }
    // What is left is given up now: the engine's end does not wait for it.
    const long long nLost =
        m_pEngine->GetRemoteLinks().CloseLingering(std::chrono::milliseconds(0), pszWhen);
    m_pProperties->SetModel(nullptr, nullptr, {});
    m_document.m_loader.m_pEngine = nullptr;
    m_pNetwork->ForgetEngine();
    // The engine answers a live run's questions Cancel and joins its thread.
    m_pEngine.reset();
    ResetRunControl();
    return nLost;
}

void CMainFrame::AttachEngine(std::unique_ptr<CSDLEngine> pEngine) {
    DropEngine("when the model was closed");
    m_pEngine = std::move(pEngine);
    m_pEngine->SetListener(m_pListener.get());
    m_pBuild->ApplyCompilerPath(*m_pEngine);
    m_document.m_loader.m_pEngine = m_pEngine.get();
}

void CMainFrame::closeEvent(QCloseEvent* pEvent) {
    if (IsBuilding()) {
        if (m_nQuitSignal != 0) {
            // The system does not wait for the build: it is broken off, and
            // its end lets the quit go on.
            m_pBuild->Abort();
        } else {
            // The user's quit leaves the build whole: gcc finishes what it
            // has begun.
            m_pNotifier->MessageBox("VELKO",
                                    "The model library is being built. Wait for the build to "
                                    "end before quitting.",
                                    NB_OK, NI_WARNING);
        }
        pEvent->ignore();
        return;
    }
    if (IsClosingEngine() || EngineNeedsWait()) {
        // The program ends once the engine has gone.
        CloseEngine(CA_QUIT);
        pEvent->ignore();
        return;
    }
    if (TellQuitLoss(DropEngine("when the program ended"))) {
        pEvent->ignore();
        return;
    }
    m_bTellingLoss = false;
    m_pCloseWaitDlg->hide();
    QSettings settings;
    settings.setValue(SETTING_GEOMETRY, saveGeometry());
    settings.setValue(SETTING_LAYOUT, saveState());
    pEvent->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* pEvent) {
    if (pEvent->mimeData()->hasUrls()) {
        pEvent->acceptProposedAction();
    }
}

void CMainFrame::dropEvent(QDropEvent* pEvent) {
    const QList<QUrl> listUrls = pEvent->mimeData()->urls();
    if (!listUrls.isEmpty() && listUrls.first().isLocalFile()) {
        pEvent->acceptProposedAction();
        m_app.OpenDocumentFile(listUrls.first().toLocalFile().toStdString());
    }
}
