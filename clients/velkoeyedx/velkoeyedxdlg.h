#pragma once

// The viewer's main dialog "VELKOEyeDX": its menu of loads, windows and
// demos, the "Syslog" box in which every command reports what it did, and
// the replay controls (the time box, the speed box, "Play" and "Restart").
// It owns the trace reader and the live client with which it fills the scene,
// and the "Logs", "Server Options" and "Properties" dialogs; it shows and
// places the 3D window, which draws the scene it is given.
//
// Thread contract: everything runs on the dialog thread, where the 3D
// window's frames run too. The readers' feeder thread reaches the dialog only
// through the log sinks and posted calls. Closing the dialog stops and joins
// the feeder (a live link's blocked receive is cancelled) and detaches the
// logs before anything they write to goes.

#include <QDialog>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "clients/velkoeyedx/editlogsink.h"

class CSceneController;
class CServerClient;
class CTerrain;
class CTraceReader;
class CVELKOEyeDXDlgOpt1;
class CVELKOEyeDXLogs;
class CVELKOEyeDXProp;
class QAction;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWindow;

// The dialog's menu commands.
enum EyeCommand {
    ID_LOADMODEL_FROMFILE = 32775,
    ID_LOADMODEL_FROMSERVER = 32776,
    ID_WINDOW_DIRECTX = 32777,
    ID_WINDOW_LOGS = 32778,
    ID_LOADMODEL_FROMTRACE = 32779,
    ID_DEMOS_DEMO1 = 32780,
    ID_DEMOS_DEMO2 = 32781,
    ID_CONFIGURATION_SERVEROPTIONS = 32782,
    ID_HELP_ABOUT = 0x0010,
};

class CVELKOEyeDXDlg : public QDialog {
    Q_OBJECT
public:
    // window3D shows the scene, whose terrain is terrain; both outlive the
    // dialog. The live client starts with the address kept in the settings.
    CVELKOEyeDXDlg(QWindow& window3D, CSceneController& scene, CTerrain& terrain,
                   QWidget* pParent = nullptr);
    ~CVELKOEyeDXDlg() override;

    // Appends a line to the "Syslog" box (any thread; in order).
    void AddLog(const std::string& strLine);

    // Shows the 3D window under the dialog, 5 pixels below it, as wide as
    // the dialog and 0.6 times as high as that width, and enables or
    // disables the timer controls; or hides it, the controls as they were.
    void ShowDirectXWindow(bool bShow, bool bEnableTimerControls);
    void ToggleDirectXWindow(bool bEnableTimerControls);

    // The menu commands.
    void OnLoadFromFile();
    void OnLoadFromTrace();
    void OnLoadFromServer();
    void OnServerOptions();
    void OnWindowDirectX();
    void OnWindowLogs();
    void OnDemo1();
    void OnDemo2();
    // The replay controls.
    void OnPlay();
    void OnRestart();
    void OnSpeedChange(const QString& strEntry);
    // The time box follows the running clock while a scene is loaded, and
    // shows the replay's end where the clock stopped there; the buttons
    // tell what they would do.
    void RefreshTimerDisplay();
    // A cell of the terrain was picked in the 3D window.
    void OnCellSelected();

    QAction* GetAction(EyeCommand eCommand) const { return m_mapActions.at(eCommand); }
    QPlainTextEdit* SyslogBox() const { return m_pSyslogBox; }
    QLineEdit* TimeBox() const { return m_pTimeBox; }
    QComboBox* SpeedBox() const { return m_pSpeedBox; }
    QPushButton* PlayButton() const { return m_pPlay; }
    QPushButton* RestartButton() const { return m_pRestart; }
    CVELKOEyeDXLogs* GetLogsDlg() const { return m_pLogsDlg; }
    CVELKOEyeDXDlgOpt1* GetServerOptionsDlg() const { return m_pServerOptionsDlg; }
    CVELKOEyeDXProp* GetPropertiesDlg() const { return m_pPropertiesDlg; }
    CServerClient& GetServerClient() const { return *m_pServerClient; }

protected:
    // Enter and Escape never close the dialog: they move the focus on, as
    // Tab does; Enter in the time box first moves the replay to its time.
    void keyPressEvent(QKeyEvent* pEvent) override;
    // The end of the program: stops every worker, then ends the dialog.
    void closeEvent(QCloseEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;

private:
    QAction* AddCommand(QMenu* pMenu, const char* pszText, EyeCommand eCommand,
                        void (CVELKOEyeDXDlg::*pfnHandler)());
    void BuildControls();
    // Puts the dialog where it leaves the simulator's usual place free.
    void PlaceOnScreen();
    // "From File" up to the scene's release.
    void LoadFromFile();
    // The 3D window was shown or hidden, by the menu or by itself.
    void On3DWindowVisible(bool bVisible);
    // A terrain agent's grid was loaded: its layers go to "Properties".
    void OnGridLoaded();
    void ShowProperties();
    double GetTimeBoxValue() const;
    void StartReplayAnew();
    // Stops the workers and the logs (once).
    void Shutdown();

    QWindow& m_window3D;
    CSceneController& m_scene;
    CTerrain& m_terrain;

    std::map<EyeCommand, QAction*> m_mapActions;
    QPlainTextEdit* m_pSyslogBox = nullptr;
    QLineEdit* m_pTimeBox = nullptr;
    QComboBox* m_pSpeedBox = nullptr;
    QPushButton* m_pPlay = nullptr;
    QPushButton* m_pRestart = nullptr;
    std::shared_ptr<CEditLogSink> m_pSyslog;
    CVELKOEyeDXLogs* m_pLogsDlg = nullptr;
    CVELKOEyeDXProp* m_pPropertiesDlg = nullptr;
    CVELKOEyeDXDlgOpt1* m_pServerOptionsDlg = nullptr;
    std::unique_ptr<CTraceReader> m_pTraceReader;
    std::unique_ptr<CServerClient> m_pServerClient;
    QTimer m_refreshTimer;

    bool m_bClosing = false;
    bool m_bPlaced = false;
    bool m_b3DWindowShown = false;
    bool m_bLogsShown = false;
    // A scene was loaded whose clock the time box follows.
    bool m_bSceneLoaded = false;
    // The time box followed a running clock at the last refresh.
    bool m_bFollowedClock = false;
};
