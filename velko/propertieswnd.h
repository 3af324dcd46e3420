#pragma once

// The properties pane. It keeps the element selected in the model tree (by
// its key in the engine's maps, never by pointer) and shows its diagram in
// the view; the grid of its values belongs to the pane as well.

#include <QDockWidget>
#include <string>

class CSDLEngine;
class CVELKOView;

class CPropertiesWnd : public QDockWidget {
    Q_OBJECT
public:
    explicit CPropertiesWnd(QWidget* pParent);

    // The engine, view and diagram folder of a newly opened model; the
    // selection is dropped. A null engine forgets the model.
    void SetModel(CSDLEngine* pEngine, CVELKOView* pView, const std::string& strDiagramFolder);
    void SelectBlock(const std::string& strKey);
    void SelectProcess(const std::string& strKey);
    // Shows what is selected again.
    void RefreshProperties();

    const std::string& SelectedBlock() const { return m_strBlock; }
    const std::string& SelectedProcess() const { return m_strProcess; }

private:
    CSDLEngine* m_pEngine = nullptr;
    CVELKOView* m_pView = nullptr;
    std::string m_strDiagramFolder;
    std::string m_strBlock;
    std::string m_strProcess;
};
