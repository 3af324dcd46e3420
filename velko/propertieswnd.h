#pragma once

// The properties pane: the element selected in the model tree as a property
// grid, in one of two modes chosen in the box at its top: "Model" (names,
// identifiers, declared variables, initial external events) and
// "Representation" (how a process looks in each of its states). The user
// edits the values and commits them to the model with "Update Values";
// "Reset Values" puts the saved variable values back into the grid.
//
// The selection is kept by its key in the engine's maps, never by pointer,
// and looked up under the engine's tree lock each time; a key the engine no
// longer has drops the selection. While a run is alive the simulation thread
// owns the run's values: the pages show the run's values as the run hands
// them over when asked (RequestRunValues; the model's own values until the
// first come) and nothing can be edited; after a run they show the run's
// last values until the user changes them. While the model library is being
// built the pages are read-only as well.

#include <QDockWidget>
#include <map>
#include <string>

#include "sh_aux/namemap.h"

class CPropertyGrid;
class CSDLBlock;
class CSDLEngine;
class CSDLProcess;
class CVELKOView;
class QAction;
class QComboBox;
class QToolBar;

// The pane's own commands.
enum PropertiesCommand {
    ID_SORTPROPERTIES = 151,
    ID_PROPERTIES_RESET = 152,
    ID_PROPERTIES_UPDATE = 153,
    ID_EXPAND_ALL = 154,
};

class CPropertiesWnd : public QDockWidget {
    Q_OBJECT
public:
    explicit CPropertiesWnd(QWidget* pParent);

    // The engine, view and diagram folder of a newly opened model: the
    // selection is dropped, the grid emptied, and the model's variable
    // values become their saved values. A null engine forgets the model.
    void SetModel(CSDLEngine* pEngine, CVELKOView* pView, const std::string& strDiagramFolder);
    void SelectBlock(const std::string& strKey);
    void SelectProcess(const std::string& strKey);
    // The page of an operation (by its key in the engine's operation map)
    // and its diagram; the selection stays.
    void ShowOperation(const std::string& strKey);
    // Drops the selection, empties the grid and shows the diagram strName.
    void ShowNamedDiagram(const std::string& strName);
    // Rebuilds the grid from the selection and the mode and shows the
    // selection's diagram; with nothing selected the grid keeps what it
    // shows.
    void RefreshProperties();
    // The same without touching the view; returns the name of the diagram
    // of the page ("" for none).
    std::string RefreshGrid();
    // "Model" or "Representation", as chosen in the mode box.
    void SetMode(const QString& strMode);
    const QString& Mode() const { return m_strMode; }
    // Whether a run or a build is alive; the page is shown again when that
    // changes what it may show or edit.
    void SetBusy(bool bRunAlive, bool bBuilding);
    bool IsReadOnly() const { return m_bRunAlive || m_bBuilding; }
    // While a run is alive, asks it for the values of the process shown.
    void RequestRunValues();
    // The values asked for have come: the page shows them when they changed.
    void OnRunValuesTaken();
    // "Update Values": after the question, the "DCL" values the user
    // changed become the selected process's own values (a value that is not
    // of its variable's type is refused with an Errors line), and each
    // state's leaves under "Agent" go into its representation.
    void OnUpdateValues();
    // "Reset Values": after the question, every second-level leaf named like
    // a variable of the selected process shows that variable's saved value,
    // unless it has none. The model is not changed.
    void OnResetValues();

    const std::string& SelectedBlock() const { return m_strBlock; }
    const std::string& SelectedProcess() const { return m_strProcess; }
    CPropertyGrid* Grid() const { return m_pGrid; }
    QComboBox* ModeBox() const { return m_pModeBox; }
    QAction* Action(PropertiesCommand eId) const;

private:
    void FillBlockPage(const CSDLBlock& block);
    void FillNoRepresentationPage();
    void FillProcessModelPage(CSDLProcess& process);
    void FillProcessRepresentationPage(CSDLProcess& process);
    void ClearSelection();
    // The saved value of a variable, the model's own; "" when it has none.
    std::string SavedValue(const std::string& strProcess, const std::string& strVariable) const;
    bool Confirm(const char* pszQuestion) const;

    CSDLEngine* m_pEngine = nullptr;
    CVELKOView* m_pView = nullptr;
    std::string m_strDiagramFolder;
    QComboBox* m_pModeBox;
    QToolBar* m_pToolBar;
    CPropertyGrid* m_pGrid;
    std::string m_strBlock;
    std::string m_strProcess;
    QString m_strMode;
    bool m_bRunAlive = false;
    bool m_bBuilding = false;
    // The run's values the process page shows (empty when it shows none).
    std::map<std::string, std::string> m_mapShownRunValues;
};
