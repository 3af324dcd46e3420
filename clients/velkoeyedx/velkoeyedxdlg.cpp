#include "clients/velkoeyedx/velkoeyedxdlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QOpenGLContext>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <filesystem>

#include "clients/velkoeyedx/sh_dx/animevent.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "clients/velkoeyedx/sh_dx/serverclient.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "clients/velkoeyedx/sh_dx/tracereader.h"
#include "clients/velkoeyedx/velkoeyedxdlgopt1.h"
#include "clients/velkoeyedx/velkoeyedxlogs.h"
#include "clients/velkoeyedx/velkoeyedxprop.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"

namespace {

const char* const kTitle = "VELKOEyeDX";
// File choices: "Name (patterns)|patterns|...||".
const char* const kEyeFileFilter =
    "All Eye Files (*.obj *.img)|*.obj;*.img|OBJ Files (*.obj)|*.obj|"
    "IDRISI32 Files (*.img)|*.img||";
const char* const kTraceFileFilter = "Trace Files (*.xml *.trace)|*.xml;*.trace|All Files (*)|*||";
// How often the time box follows the clock: it shows hundredths.
constexpr int kRefreshMs = 40;
// The 3D window lies this far under the dialog, this high for its width.
constexpr int kWindowGap = 5;
constexpr double kWindowAspect = 0.6;
// The dialog's distance from the screen's top and right edges.
constexpr int kScreenMargin = 50;

void ShowAbout(QWidget* pParent) {
    QDialog about(pParent);
    about.setWindowTitle(QStringLiteral("About VELKOEyeDX"));
    auto* pIcon = new QLabel(&about);
    pIcon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    auto* pText = new QLabel(
        QStringLiteral("VELKOEyeDX, Version 1.0\nThe 3D viewer of VELKO simulations"), &about);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    auto* pRow = new QHBoxLayout;
    pRow->addWidget(pIcon, 0, Qt::AlignTop);
    pRow->addWidget(pText, 1);
    auto* pLayout = new QVBoxLayout(&about);
    pLayout->addLayout(pRow);
    pLayout->addWidget(pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
    about.exec();
}

}  // namespace

CVELKOEyeDXDlg::CVELKOEyeDXDlg(QWindow& window3D, CSceneController& scene, CTerrain& terrain,
                               QWidget* pParent)
    : QDialog(pParent), m_window3D(window3D), m_scene(scene), m_terrain(terrain) {
    setWindowTitle(QString::fromLatin1(kTitle));
    BuildControls();
    m_pSyslog = std::make_shared<CEditLogSink>(m_pSyslogBox);

    m_pLogsDlg = new CVELKOEyeDXLogs(m_scene.GetAnimations(), this);
    m_scene.GetAnimations().SetLogSink(m_pLogsDlg->GetExecLog());
    m_pPropertiesDlg = new CVELKOEyeDXProp(this);
    m_pPropertiesDlg->SetTerrain(&m_terrain);

    CEyeTarget target;
    target.pAnimations = &m_scene.GetAnimations();
    target.pTerrain = &m_terrain;
    target.pParsingLog = m_pLogsDlg->GetParsingLog();
    target.pSyslog = m_pSyslog;
    // Called on the reading thread, the feeder's for a live link.
    target.fnGridLoaded = [this] {
        QMetaObject::invokeMethod(this, &CVELKOEyeDXDlg::OnGridLoaded, Qt::QueuedConnection);
    };
    m_pTraceReader = std::make_unique<CTraceReader>(m_scene, target);
    m_pServerClient = std::make_unique<CServerClient>(m_scene, target);
    CVELKOEyeDXDlgOpt1::LoadSettings(*m_pServerClient);
    m_pServerOptionsDlg = new CVELKOEyeDXDlgOpt1(*m_pServerClient, this);

    connect(m_pLogsDlg, &QDialog::finished, this, [this] {
        m_bLogsShown = false;
        GetAction(ID_WINDOW_LOGS)->setChecked(false);
    });
    connect(&m_window3D, &QWindow::visibleChanged, this, &CVELKOEyeDXDlg::On3DWindowVisible);
    m_refreshTimer.setInterval(kRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CVELKOEyeDXDlg::RefreshTimerDisplay);
    m_refreshTimer.start();
}

CVELKOEyeDXDlg::~CVELKOEyeDXDlg() {
    Shutdown();
}

QAction* CVELKOEyeDXDlg::AddCommand(QMenu* pMenu, const char* pszText, EyeCommand eCommand,
                                    void (CVELKOEyeDXDlg::*pfnHandler)()) {
    QAction* pAction = pMenu->addAction(QString::fromLatin1(pszText));
    connect(pAction, &QAction::triggered, this, pfnHandler);
    m_mapActions[eCommand] = pAction;
    return pAction;
}

void CVELKOEyeDXDlg::BuildControls() {
    auto* pMenuBar = new QMenuBar(this);
    QMenu* pLoad = pMenuBar->addMenu(QStringLiteral("Load Model"));
    AddCommand(pLoad, "From File", ID_LOADMODEL_FROMFILE, &CVELKOEyeDXDlg::OnLoadFromFile);
    AddCommand(pLoad, "From VELKO Trace", ID_LOADMODEL_FROMTRACE, &CVELKOEyeDXDlg::OnLoadFromTrace);
    AddCommand(pLoad, "From VELKO Server", ID_LOADMODEL_FROMSERVER,
               &CVELKOEyeDXDlg::OnLoadFromServer);
    QMenu* pConfiguration = pMenuBar->addMenu(QStringLiteral("Configuration"));
    AddCommand(pConfiguration, "Server Options", ID_CONFIGURATION_SERVEROPTIONS,
               &CVELKOEyeDXDlg::OnServerOptions);
    QMenu* pWindow = pMenuBar->addMenu(QStringLiteral("Window"));
    AddCommand(pWindow, "DirectX", ID_WINDOW_DIRECTX, &CVELKOEyeDXDlg::OnWindowDirectX)
        ->setCheckable(true);
    AddCommand(pWindow, "Logs", ID_WINDOW_LOGS, &CVELKOEyeDXDlg::OnWindowLogs)->setCheckable(true);
    QMenu* pDemos = pMenuBar->addMenu(QStringLiteral("Demos"));
    AddCommand(pDemos, "Demo1", ID_DEMOS_DEMO1, &CVELKOEyeDXDlg::OnDemo1);
    AddCommand(pDemos, "Demo2", ID_DEMOS_DEMO2, &CVELKOEyeDXDlg::OnDemo2);
    QMenu* pHelp = pMenuBar->addMenu(QStringLiteral("Help"));
    m_mapActions[ID_HELP_ABOUT] =
        pHelp->addAction(QStringLiteral("&About VELKOEyeDX..."), this, [this] { ShowAbout(this); });

    auto* pSyslogGroup = new QGroupBox(QStringLiteral("Syslog"), this);
    m_pSyslogBox = MakeLogBox(pSyslogGroup);
    // About 341 x 94 dialog units in all: dialog units are a quarter of the
    // font's mean character width and an eighth of its height.
    const QFontMetrics metrics = fontMetrics();
    m_pSyslogBox->setFixedSize(321 * metrics.averageCharWidth() / 4, 40 * metrics.height() / 8);
    auto* pSyslogLayout = new QVBoxLayout(pSyslogGroup);
    pSyslogLayout->addWidget(m_pSyslogBox);

    auto* pTimerGroup = new QGroupBox(QStringLiteral("Timer"), this);
    m_pTimeBox = new QLineEdit(pTimerGroup);
    m_pTimeBox->setFixedWidth(90);
    m_pTimeBox->setAlignment(Qt::AlignRight);
    m_pSpeedBox = new QComboBox(pTimerGroup);
    for (const std::string& strEntry : CSceneController::SpeedEntries()) {
        m_pSpeedBox->addItem(QString::fromStdString(strEntry));
    }
    m_pSpeedBox->setCurrentIndex(0);
    m_pPlay = new QPushButton(QStringLiteral("Play"), pTimerGroup);
    m_pRestart = new QPushButton(QStringLiteral("Restart"), pTimerGroup);
    // Enter presses no button: it moves the focus on.
    for (QPushButton* pButton : {m_pPlay, m_pRestart}) {
        pButton->setAutoDefault(false);
        pButton->setEnabled(false);
    }
    m_pTimeBox->setEnabled(false);
    auto* pTimerLayout = new QHBoxLayout(pTimerGroup);
    pTimerLayout->addWidget(m_pTimeBox);
    pTimerLayout->addWidget(new QLabel(QStringLiteral("t. u."), pTimerGroup));
    pTimerLayout->addSpacing(12);
    pTimerLayout->addWidget(m_pSpeedBox);
    pTimerLayout->addStretch();
    pTimerLayout->addWidget(m_pPlay);
    pTimerLayout->addWidget(m_pRestart);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setMenuBar(pMenuBar);
    pLayout->addWidget(pSyslogGroup);
    pLayout->addWidget(pTimerGroup);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_pPlay, &QPushButton::clicked, this, &CVELKOEyeDXDlg::OnPlay);
    connect(m_pRestart, &QPushButton::clicked, this, &CVELKOEyeDXDlg::OnRestart);
    connect(m_pSpeedBox, &QComboBox::textActivated, this, &CVELKOEyeDXDlg::OnSpeedChange);
}

void CVELKOEyeDXDlg::showEvent(QShowEvent* pEvent) {
    // Placed once its size is final, before it first shows.
    if (!m_bPlaced) {
        m_bPlaced = true;
        PlaceOnScreen();
    }
    QDialog::showEvent(pEvent);
}

void CVELKOEyeDXDlg::PlaceOnScreen() {
    // At the top right, the 3D window under it: the simulator opens at the
    // top left, where its ribbon and model tree stay in view beside the
    // viewer on a screen wide enough for both.
    const QRect available = screen()->availableGeometry();
    // The frame counts where the window system tells it before the window
    // shows.
    const int nWidth = frameGeometry().width();
    move(std::max(available.left(), available.right() + 1 - kScreenMargin - nWidth),
         available.top() + kScreenMargin);
}

void CVELKOEyeDXDlg::AddLog(const std::string& strLine) {
    m_pSyslog->AppendLine(strLine);
}

// ---- The 3D window and the other windows ----------------------------------------

namespace {

// Whether the display can give a window an OpenGL context (Qt's VNC platform,
// for one, cannot). Asked once.
bool HasOpenGL() {
    static const bool s_bHasOpenGL = [] {
        QOpenGLContext context;
        return context.create();
    }();
    return s_bHasOpenGL;
}

}  // namespace

void CVELKOEyeDXDlg::ShowDirectXWindow(bool bShow, bool bEnableTimerControls) {
    if (!bShow) {
        m_window3D.hide();
        return;
    }
    if (m_window3D.surfaceType() == QSurface::OpenGLSurface && !HasOpenGL()) {
        // Shown without a context, the window would crash as it first paints.
        AddLog(
            "The 3D window cannot be shown: this display gives no OpenGL. Run the viewer on an "
            "X display (the machine's own, one forwarded over ssh, or Xvfb seen through a VNC "
            "server).");
        return;
    }
    const QRect dialog = frameGeometry();
    m_window3D.show();
    // The frame, where the window has one, counts in the window's place.
    const QMargins frame = m_window3D.frameMargins();
    const int nHeight = static_cast<int>(dialog.width() * kWindowAspect);
    m_window3D.setGeometry(
        dialog.left() + frame.left(), dialog.top() + dialog.height() + kWindowGap + frame.top(),
        dialog.width() - frame.left() - frame.right(), nHeight - frame.top() - frame.bottom());
    // Right behind the dialog.
    m_window3D.raise();
    raise();
    for (QWidget* pControl : {static_cast<QWidget*>(m_pPlay), static_cast<QWidget*>(m_pRestart),
                              static_cast<QWidget*>(m_pTimeBox)}) {
        pControl->setEnabled(bEnableTimerControls);
    }
}

void CVELKOEyeDXDlg::ToggleDirectXWindow(bool bEnableTimerControls) {
    ShowDirectXWindow(!m_b3DWindowShown, bEnableTimerControls);
}

void CVELKOEyeDXDlg::On3DWindowVisible(bool bVisible) {
    m_b3DWindowShown = bVisible;
    GetAction(ID_WINDOW_DIRECTX)->setChecked(bVisible);
}

void CVELKOEyeDXDlg::OnWindowDirectX() {
    ToggleDirectXWindow(true);
}

void CVELKOEyeDXDlg::OnWindowLogs() {
    m_bLogsShown = !m_bLogsShown;
    m_pLogsDlg->setVisible(m_bLogsShown);
    GetAction(ID_WINDOW_LOGS)->setChecked(m_bLogsShown);
}

void CVELKOEyeDXDlg::OnServerOptions() {
    m_pServerOptionsDlg->RefreshFields();
    m_pServerOptionsDlg->show();
    m_pServerOptionsDlg->raise();
    m_pServerOptionsDlg->activateWindow();
}

void CVELKOEyeDXDlg::ShowProperties() {
    m_pPropertiesDlg->show();
    m_pPropertiesDlg->raise();
}

void CVELKOEyeDXDlg::OnGridLoaded() {
    if (m_bClosing) {
        return;
    }
    m_pPropertiesDlg->LoadLayers();
    ShowProperties();
}

void CVELKOEyeDXDlg::OnCellSelected() {
    m_pPropertiesDlg->FillSelectedCellProperties();
}

// ---- Loads --------------------------------------------------------------------------

void CVELKOEyeDXDlg::StartReplayAnew() {
    // A load empties the scene and stops the clock at 0: Start plays the new
    // scene from its start, not from where the last replay stopped. Set once
    // the load is over, since until then a running replay's clock goes on
    // and the time box follows it.
    m_pTimeBox->setText(QStringLiteral("0.00"));
}

void CVELKOEyeDXDlg::OnLoadFromFile() {
    LoadFromFile();
    StartReplayAnew();
}

void CVELKOEyeDXDlg::LoadFromFile() {
    // Whatever comes of it, the scene is emptied.
    m_scene.Lock();
    const std::string strPath =
        GetNotifier().ChooseFileToOpen("From File", kEyeFileFilter, std::string());
    if (strPath.empty()) {
        m_scene.Unlock();
        return;
    }
    // Compared with its case: "OBJ" is no mesh the scene loads.
    const std::string strExtension = Mid(std::filesystem::path(strPath).extension().string(), 1);
    if (strExtension == "obj") {
        CAnimations& animations = m_scene.GetAnimations();
        auto pMove = CAnimEvent::MakeMove("tmp", 0.0, {}, {}, strPath, 1.0);
        animations.LoadMesh(strPath);
        animations.AddAgent("tmp", strPath);
        animations.QueueEvent(std::move(pMove));
        AddLog("Object loaded successfuly");
        m_scene.Unlock();
        ShowDirectXWindow(true, false);
    } else if (strExtension == "img") {
        if (!m_terrain.LoadTerrain(strPath)) {
            AddLog("Error loading the terrain " + strPath);
            m_scene.Unlock();
            return;
        }
        AddLog("Terrain loaded successfuly");
        m_scene.Unlock();
        ShowDirectXWindow(true, false);
        m_bSceneLoaded = true;
        m_pPropertiesDlg->LoadLayers();
        ShowProperties();
    } else {
        AddLog("Unknown Object");
        m_scene.Unlock();
        m_bSceneLoaded = false;
    }
}

void CVELKOEyeDXDlg::OnLoadFromTrace() {
    const CTraceReader::LoadResult eResult = m_pTraceReader->LoadFromTrace([] {
        return GetNotifier().ChooseFileToOpen("From VELKO Trace", kTraceFileFilter, std::string());
    });
    StartReplayAnew();
    if (eResult == CTraceReader::TLR_LOADED) {
        ShowDirectXWindow(true, true);
        m_bSceneLoaded = true;
    } else if (eResult == CTraceReader::TLR_FAILED) {
        m_bSceneLoaded = false;
    }
}

void CVELKOEyeDXDlg::OnLoadFromServer() {
    // The connection goes on by itself on the scene's feeder thread.
    m_pServerClient->LoadFromServer();
    StartReplayAnew();
    ShowDirectXWindow(true, true);
    m_bSceneLoaded = true;
}

void CVELKOEyeDXDlg::OnDemo1() {
    m_scene.LoadDemo1();
    StartReplayAnew();
    ShowDirectXWindow(true, true);
    // The demo plays like a loaded trace: the time box follows its clock.
    m_bSceneLoaded = true;
}

void CVELKOEyeDXDlg::OnDemo2() {}

// ---- Replay controls ------------------------------------------------------------------

double CVELKOEyeDXDlg::GetTimeBoxValue() const {
    return StringToDouble(m_pTimeBox->text().toStdString());
}

void CVELKOEyeDXDlg::OnPlay() {
    const bool bStarting = m_scene.GetClock().IsStopped();
    m_scene.Play(GetTimeBoxValue());
    if (bStarting) {
        m_window3D.raise();
    }
}

void CVELKOEyeDXDlg::OnSpeedChange(const QString& strEntry) {
    if (m_scene.ChangeSpeed(strEntry.toStdString(), GetTimeBoxValue())) {
        m_window3D.raise();
    }
}

void CVELKOEyeDXDlg::OnRestart() {
    m_scene.Restart();
    m_pTimeBox->setText(QStringLiteral("0.00"));
}

void CVELKOEyeDXDlg::RefreshTimerDisplay() {
    CReplayClock& clock = m_scene.GetClock();
    const bool bRunning = m_bSceneLoaded && !clock.IsStopped();
    // A clock that stopped by itself since the last refresh came to the
    // replay's end: the box shows where.
    const bool bEnded = !bRunning && m_bFollowedClock && clock.GetTime() == clock.GetEnd();
    m_bFollowedClock = bRunning;
    if (bRunning || bEnded) {
        const QString strTime = QString::fromStdString(Format("%.2f", clock.GetTime()));
        if (m_pTimeBox->text() != strTime) {
            m_pTimeBox->setText(strTime);
        }
    }
    m_pTimeBox->setReadOnly(bRunning);
    m_pRestart->setEnabled(!bRunning);
    m_pPlay->setText(bRunning ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void CVELKOEyeDXDlg::keyPressEvent(QKeyEvent* pEvent) {
    const int nKey = pEvent->key();
    if (nKey != Qt::Key_Return && nKey != Qt::Key_Enter && nKey != Qt::Key_Escape) {
        QDialog::keyPressEvent(pEvent);
        return;
    }
    if (nKey != Qt::Key_Escape && m_pTimeBox->hasFocus()) {
        // The replay moves to the typed time, running or stopped as it was.
        m_scene.SetTime(GetTimeBoxValue());
    }
    focusNextChild();
}

// ---- The end ----------------------------------------------------------------------------

void CVELKOEyeDXDlg::closeEvent(QCloseEvent* pEvent) {
    hide();
    Shutdown();
    pEvent->accept();
    done(QDialog::Rejected);
}

void CVELKOEyeDXDlg::Shutdown() {
    if (m_bClosing) {
        return;
    }
    m_bClosing = true;
    m_refreshTimer.stop();
    // Ends a live link (its receive is cancelled) or a trace's feed, and
    // waits for it: nothing writes to the scene or the logs afterwards.
    m_scene.StopFeeder();
    m_window3D.hide();
    m_scene.GetAnimations().SetLogSink(nullptr);
    m_pLogsDlg->DetachLogs();
    m_pSyslog->Detach();
}
