#pragma once

// The viewer program: its start-up and its end. It owns the 3D window (with
// the scene it draws: agents, terrain, replay clock, and the frame timer that
// animates them), the main dialog that loads into that scene (with the trace
// reader and the live client), and the notifier through which the viewer's
// core reports. The program ends when the main dialog is closed.
//
// Runs on the GUI thread. The readers' feeder thread (a trace's records, a
// live link) is the only other thread; the main dialog stops and joins it
// when it closes, before the dialog and then the 3D window are destroyed.

#include <QIcon>
#include <memory>
#include <string>

#include "clients/velkoeyedx/sh_dx/resourceresolver.h"

class CGuiNotifier;
class CRenderContext;
class CVELKOEyeDXDlg;

class CVELKOEyeDXApp {
public:
    // The viewer's data files are found through resolver.
    explicit CVELKOEyeDXApp(const CResourceResolver& resolver = CResourceResolver(ResourceRoot()));
    ~CVELKOEyeDXApp();
    CVELKOEyeDXApp(const CVELKOEyeDXApp&) = delete;
    CVELKOEyeDXApp& operator=(const CVELKOEyeDXApp&) = delete;

    // Makes the 3D window (hidden) and then the main dialog, shown; the
    // application quits when the dialog ends.
    void InitInstance();

    // What Exit ends that outlives the windows, for a display that has gone
    // away (any thread; no window is touched): a live link, closed in order,
    // or a trace's feed, its thread joined. Nothing waits to be saved: the
    // server options are written when they are saved.
    void CloseWithoutDisplay();

    CRenderContext& GetRenderContext() const { return *m_pRenderContext; }
    CVELKOEyeDXDlg* GetMainDlg() const { return m_pMainDlg.get(); }

    // Names the organisation and application the settings are kept under.
    static void NameSettings();
    // The folder holding "res/": the program's own in a build tree, the
    // installed data folder otherwise.
    static std::string ResourceRoot();
    static QIcon ApplicationIcon();

private:
    const CResourceResolver m_resolver;
    // Installed first and removed last, so that the 3D window's reports too
    // reach the user.
    std::unique_ptr<CGuiNotifier> m_pNotifier;
    std::unique_ptr<CRenderContext> m_pRenderContext;
    std::unique_ptr<CVELKOEyeDXDlg> m_pMainDlg;
};
