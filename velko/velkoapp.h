#pragma once

// The application: settings, the recent-file list, the start-up order and
// the one way by which the command line, a dropped file and the recent-file
// list open a model.

#include <QObject>
#include <QStringList>
#include <memory>
#include <string>

class CMainFrame;
class CQuitSignals;

// Settings keys.
inline constexpr const char* SETTING_LOOK = "ApplicationLook";
inline constexpr const char* SETTING_RECENT = "RecentFileList";
inline constexpr const char* SETTING_GEOMETRY = "MainFrame/Geometry";
inline constexpr const char* SETTING_LAYOUT = "MainFrame/State";
inline constexpr const char* SETTING_COMPILER = "CompilerPath";
// The viewer program "Launch tye Eye" starts.
inline constexpr const char* SETTING_VIEWER_PATH = "ViewerPath";
inline constexpr int MAX_RECENT_FILES = 16;

class CVELKOApp : public QObject {
    Q_OBJECT
public:
    // Names the organisation and application the settings are stored under.
    CVELKOApp();
    ~CVELKOApp() override;

    // Start-up: the main frame is made and shown; then the model named on
    // the command line (arguments after the program's name) is opened. A
    // relative path is taken from the current folder. From then on SIGTERM,
    // SIGINT and SIGHUP end the program as Exit does (CMainFrame::
    // QuitBySignal).
    bool InitInstance(const QStringList& listArguments);
    // The signal that ended the program (its frame's quit), 0 when none did.
    int QuitSignal() const { return m_nQuitSignal; }
    CMainFrame* MainFrame() const { return m_pFrame.get(); }
    // Closes and deletes the frame (tests start the program anew).
    void ExitInstance();

    // Opens a model through the frame; the frame's LoadModel result.
    int OpenDocumentFile(const std::string& strPath);
    // Opens the recent file at nIndex; an entry that fails to load is
    // dropped from the list.
    void OnOpenRecentFile(int nIndex);

    QStringList RecentFiles() const;
    void AddToRecentFileList(const std::string& strPath);
    void RemoveRecentFile(int nIndex);

    void ShowAbout();

private:
    std::unique_ptr<CMainFrame> m_pFrame;
    std::unique_ptr<CQuitSignals> m_pQuitSignals;
    int m_nQuitSignal = 0;
};
