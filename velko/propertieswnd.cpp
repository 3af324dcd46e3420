#include "velko/propertieswnd.h"

#include <QComboBox>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlprocess.h"
#include "velko/icons.h"
#include "sh_widgets/propertygrid.h"
#include "velko/velkoview.h"

namespace {

const QString MODE_MODEL = QStringLiteral("Model");
const QString MODE_REPRESENTATION = QStringLiteral("Representation");

QString Q(const std::string& str) {
    return QString::fromStdString(str);
}

// The children of pItem, last first.
template <class Fn>
void ForEachChildReversed(QTreeWidgetItem* pItem, Fn fn) {
    for (int i = pItem->childCount() - 1; i >= 0; --i) {
        fn(pItem->child(i));
    }
}

// The values of a position or rotation group into x, y and z.
void ReadAxes(QTreeWidgetItem* pGroup, double& x, double& y, double& z) {
    ForEachChildReversed(pGroup, [&](QTreeWidgetItem* pLeaf) {
        const QString strAxis = CPropertyGrid::Name(pLeaf);
        const double dValue = StringToDouble(CPropertyGrid::Value(pLeaf).toStdString());
        if (strAxis == QLatin1String("x")) {
            x = dValue;
        } else if (strAxis == QLatin1String("y")) {
            y = dValue;
        } else if (strAxis == QLatin1String("z")) {
            z = dValue;
        }
    });
}

}  // namespace

CPropertiesWnd::CPropertiesWnd(QWidget* pParent)
    : QDockWidget(QStringLiteral("Properties"), pParent), m_strMode(MODE_MODEL) {
    setObjectName(QStringLiteral("Properties"));
    auto* pBody = new QWidget(this);
    auto* pLayout = new QVBoxLayout(pBody);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);

    m_pModeBox = new QComboBox(pBody);
    m_pModeBox->addItems({MODE_MODEL, MODE_REPRESENTATION});
    m_pModeBox->setCurrentIndex(0);
    connect(m_pModeBox, &QComboBox::currentTextChanged, this, &CPropertiesWnd::SetMode);

    m_pToolBar = new QToolBar(pBody);
    m_pToolBar->setIconSize(QSize(16, 16));
    struct SButton {
        PropertiesCommand eId;
        const char* pszText;
    } const buttons[] = {
        {ID_EXPAND_ALL, "Expand All"},
        {ID_SORTPROPERTIES, "Sort"},
        {ID_PROPERTIES_RESET, "Reset Values"},
        {ID_PROPERTIES_UPDATE, "Update Values"},
    };
    for (const SButton& button : buttons) {
        QAction* pAction =
            m_pToolBar->addAction(CommandIcon(button.eId), QString::fromLatin1(button.pszText));
        pAction->setData(button.eId);
    }
    Action(ID_SORTPROPERTIES)->setCheckable(true);

    m_pGrid = new CPropertyGrid(pBody);
    connect(Action(ID_EXPAND_ALL), &QAction::triggered, m_pGrid, &CPropertyGrid::ExpandAll);
    connect(Action(ID_SORTPROPERTIES), &QAction::toggled, m_pGrid, &CPropertyGrid::SetAlphabetic);
    connect(Action(ID_PROPERTIES_RESET), &QAction::triggered, this, &CPropertiesWnd::OnResetValues);
    connect(Action(ID_PROPERTIES_UPDATE), &QAction::triggered, this,
            &CPropertiesWnd::OnUpdateValues);
    connect(m_pGrid, &CPropertyGrid::PropertyChanged, this, &CPropertiesWnd::OnUpdateValues);

    pLayout->addWidget(m_pModeBox);
    pLayout->addWidget(m_pToolBar);
    pLayout->addWidget(m_pGrid, 1);
    setWidget(pBody);
    setFocusProxy(m_pGrid->Tree());
}

QAction* CPropertiesWnd::Action(PropertiesCommand eId) const {
    for (QAction* pAction : m_pToolBar->actions()) {
        if (pAction->data().toInt() == eId) {
            return pAction;
        }
    }
    return nullptr;
}

void CPropertiesWnd::SetModel(CSDLEngine* pEngine, CVELKOView* pView,
                              const std::string& strDiagramFolder) {
    m_pEngine = pEngine;
    m_pView = pView;
    m_strDiagramFolder = strDiagramFolder;
    ClearSelection();
    m_pGrid->RemoveAll();
}

void CPropertiesWnd::ClearSelection() {
    m_strBlock.clear();
    m_strProcess.clear();
}

void CPropertiesWnd::SelectBlock(const std::string& strKey) {
    m_strBlock = strKey;
    m_strProcess.clear();
    RefreshProperties();
}

void CPropertiesWnd::SelectProcess(const std::string& strKey) {
    m_strProcess = strKey;
    m_strBlock.clear();
    RefreshProperties();
}

void CPropertiesWnd::SetMode(const QString& strMode) {
    if (strMode != MODE_MODEL && strMode != MODE_REPRESENTATION) {
        return;
    }
    if (m_pModeBox->currentText() != strMode) {
        m_pModeBox->setCurrentText(strMode);  // comes back here through the box
        return;
    }
    m_strMode = strMode;
    RefreshProperties();
}

void CPropertiesWnd::SetBusy(bool bRunAlive, bool bBuilding) {
    if (bRunAlive == m_bRunAlive && bBuilding == m_bBuilding) {
        return;
    }
    m_bRunAlive = bRunAlive;
    m_bBuilding = bBuilding;
    for (PropertiesCommand eId : {ID_PROPERTIES_RESET, ID_PROPERTIES_UPDATE}) {
        Action(eId)->setEnabled(!IsReadOnly());
    }
    RefreshGrid();
    RequestRunValues();
}

void CPropertiesWnd::RequestRunValues() {
    if (m_pEngine && m_bRunAlive && !m_strProcess.empty() && m_strMode == MODE_MODEL) {
        m_pEngine->RequestValues(m_strProcess);
    }
}

void CPropertiesWnd::OnRunValuesTaken() {
    std::map<std::string, std::string> mapValues;
    if (!m_pEngine || !m_bRunAlive || m_strMode != MODE_MODEL ||
        !m_pEngine->GetTakenValues(m_strProcess, mapValues) || mapValues == m_mapShownRunValues) {
        return;
    }
    RefreshGrid();
}

std::string CPropertiesWnd::SavedValue(const std::string& strProcess,
                                       const std::string& strVariable) const {
    // The model's own value, which no run changes: read also while one is
    // alive.
    const CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strProcess);
    const CSDLParameter* pVariable = pProcess ? pProcess->GetVariable(strVariable) : nullptr;
    return pVariable ? Trim(pVariable->m_strSourceText) : std::string();
}

void CPropertiesWnd::RefreshProperties() {
    RequestRunValues();
    const std::string strDiagram = RefreshGrid();
    if (!strDiagram.empty() && m_pView) {
        m_pView->ShowDocument(m_strDiagramFolder + strDiagram + ".vsd");
    }
}

std::string CPropertiesWnd::RefreshGrid() {
    if (!m_pEngine) {
        return {};
    }
    auto lock = m_pEngine->LockTree();
    const bool bModel = m_strMode == MODE_MODEL;
    if (!m_strBlock.empty()) {
        const CSDLBlock* pBlock = FindIn(m_pEngine->m_mapBlocks, m_strBlock);
        if (!pBlock) {
            ClearSelection();
            m_pGrid->RemoveAll();
            return {};
        }
        if (!bModel) {
            FillNoRepresentationPage();
            return {};
        }
        FillBlockPage(*pBlock);
        return pBlock->m_strName;
    }
    if (!m_strProcess.empty()) {
        CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, m_strProcess);
        if (!pProcess) {
            ClearSelection();
            m_pGrid->RemoveAll();
            return {};
        }
        if (!bModel) {
            FillProcessRepresentationPage(*pProcess);
            return {};
        }
        FillProcessModelPage(*pProcess);
        // A process's drawing is named after its implementation file when it
        // has one.
        return pProcess->m_strImplementation.empty()
                   ? pProcess->m_strName
                   : RemoveExtension(pProcess->m_strImplementation);
    }
    return {};
}

void CPropertiesWnd::FillBlockPage(const CSDLBlock& block) {
    m_pGrid->RemoveAll();
    QTreeWidgetItem* pGroup = m_pGrid->AddGroup(nullptr, QStringLiteral("Block"));
    m_pGrid->AddText(pGroup, QStringLiteral("Name"), Q(block.m_strName),
                     QStringLiteral("Specifies the process name"), false);
    m_pGrid->AddText(pGroup, QStringLiteral("GlobalID"), Q(CSDLBlock::GetGlobalId(&block)),
                     QStringLiteral("Specifies the process GlobalID"), false);
    m_pGrid->AddText(pGroup, QStringLiteral("IP"), Q(block.m_strIP),
                     QStringLiteral("Specifies the process IP (read)"), false);
}

void CPropertiesWnd::FillNoRepresentationPage() {
    m_pGrid->RemoveAll();
    m_pGrid->AddGroup(nullptr, QStringLiteral("NO REPRESENTATION"));
}

void CPropertiesWnd::FillProcessModelPage(CSDLProcess& process) {
    m_pGrid->RemoveAll();
    const bool bEditable = !IsReadOnly();
    QTreeWidgetItem* pGroup = m_pGrid->AddGroup(nullptr, QStringLiteral("Process"));
    m_pGrid->AddText(pGroup, QStringLiteral("Name"), Q(process.m_strName),
                     QStringLiteral("Specifies the process name"), false);
    m_pGrid->AddText(pGroup, QStringLiteral("GlobalID"), Q(process.GetFullName(false)),
                     QStringLiteral("Specifies the process GlobalID"), false);
    m_pGrid->AddText(pGroup, QStringLiteral("IP"), Q(process.m_strIP),
                     QStringLiteral("Specifies the process IP (read)"), false);

    QTreeWidgetItem* pDcl = m_pGrid->AddGroup(nullptr, QStringLiteral("DCL"));
    // The simulation thread writes the values now: the run's are those it
    // handed over.
    m_mapShownRunValues.clear();
    const bool bRunValues =
        m_bRunAlive && m_pEngine->GetTakenValues(m_strProcess, m_mapShownRunValues);
    for (const auto& [strName, pVariable] : process.m_mapVariables) {
        std::string strValue;
        if (bRunValues) {
            const auto it = m_mapShownRunValues.find(strName);
            strValue = it != m_mapShownRunValues.end() ? Trim(it->second) : std::string();
        } else if (m_bRunAlive) {
            strValue = SavedValue(m_strProcess, strName);
        } else {
            strValue = Trim(pVariable->m_strValue);
            if (!m_bBuilding) {
                pVariable->m_strValue = strValue;
            }
        }
        if (!strValue.empty()) {
            m_pGrid->AddText(pDcl, Q(strName), Q(strValue),
                             QStringLiteral("Specifies the variable value"), bEditable);
        }
    }

    QTreeWidgetItem* pEvents = m_pGrid->AddGroup(nullptr, QStringLiteral("External Events"));
    for (const auto& pEvent : process.m_listInitialEvents) {
        QTreeWidgetItem* pEventItem =
            m_pGrid->AddNumber(pEvents, Q(pEvent->m_strName), pEvent->m_dExecutionTime,
                               QStringLiteral("Executiontime of the event"), false);
        QTreeWidgetItem* pParameters = m_pGrid->AddGroup(pEventItem, QStringLiteral("parameters"));
        for (const auto& [strName, pParameter] : pEvent->m_mapUserParams) {
            m_pGrid->AddText(pParameters, Q(strName), Q(pParameter->m_strValue),
                             QStringLiteral("Event Parameter"), false);
        }
    }
}

void CPropertiesWnd::FillProcessRepresentationPage(CSDLProcess& process) {
    m_pGrid->RemoveAll();
    const bool bEditable = !IsReadOnly();
    QTreeWidgetItem* pAgent = m_pGrid->AddGroup(nullptr, QStringLiteral("Agent"));
    m_pGrid->AddText(pAgent, QStringLiteral("Name"), Q(process.GetFullName(false)),
                     QStringLiteral("Specifies the agent ID"), false);
    for (const auto& [strState, pFirst] : process.m_mapStates) {
        // Every state gets a representation when the page is shown; one that
        // cannot be stored now is only shown.
        C3DRepresentation defaults(strState, "default.obj", 0, 0, 0, 0, 0, 0, 1.0);
        const C3DRepresentation* pShown = FindIn(process.m_mapRepresentations, strState);
        if (!pShown) {
            if (bEditable) {
                auto& pNew = process.m_mapRepresentations[strState];
                pNew = std::make_unique<C3DRepresentation>(defaults);
                pShown = pNew.get();
            } else {
                pShown = &defaults;
            }
        }
        const C3DRepresentation& rep = *pShown;
        QTreeWidgetItem* pState = m_pGrid->AddGroup(pAgent, Q(strState));
        m_pGrid->AddText(pState, QStringLiteral("mesh"), Q(rep.m_strMesh),
                         QStringLiteral("Assigned mesh to this Agent (.obj mesh)"), bEditable);
        m_pGrid->AddNumber(pState, QStringLiteral("scale"), rep.m_dScale,
                           QStringLiteral("Scale factor of the mesh"), bEditable);
        struct SAxis {
            const char* pszName;
            double dPosition, dRotation;
        } const axes[] = {{"x", rep.m_dPosX, rep.m_dRotX},
                          {"y", rep.m_dPosY, rep.m_dRotY},
                          {"z", rep.m_dPosZ, rep.m_dRotZ}};
        QTreeWidgetItem* pPosition = m_pGrid->AddGroup(pState, QStringLiteral("position"));
        for (const SAxis& axis : axes) {
            m_pGrid->AddNumber(pPosition, QString::fromLatin1(axis.pszName), axis.dPosition,
                               QStringLiteral("%1 position of the agent.")
                                   .arg(QString::fromLatin1(axis.pszName).toUpper()),
                               bEditable);
        }
        QTreeWidgetItem* pRotation = m_pGrid->AddGroup(pState, QStringLiteral("rotation"));
        for (const SAxis& axis : axes) {
            m_pGrid->AddNumber(pRotation, QString::fromLatin1(axis.pszName), axis.dRotation,
                               QStringLiteral("%1 rotation of the agent (in degrees).")
                                   .arg(QString::fromLatin1(axis.pszName).toUpper()),
                               bEditable);
        }
    }
}

void CPropertiesWnd::ShowOperation(const std::string& strKey) {
    if (!m_pEngine) {
        return;
    }
    std::string strDiagram;
    {
        auto lock = m_pEngine->LockTree();
        const CSDLOperation* pOperation = FindIn(m_pEngine->m_mapOperations, strKey);
        if (!pOperation) {
            return;
        }
        const std::string strIP = pOperation->m_pOwner ? pOperation->m_pOwner->m_strIP : "";
        m_pGrid->RemoveAll();
        QTreeWidgetItem* pGroup = m_pGrid->AddGroup(nullptr, QStringLiteral("Operation"));
        m_pGrid->AddText(pGroup, QStringLiteral("Name"), Q(pOperation->m_strName),
                         QStringLiteral("Specifies the operation name"), false);
        m_pGrid->AddText(pGroup, QStringLiteral("GlobalID"), Q(pOperation->GetCodeID()),
                         QStringLiteral("Specifies the operation GlobalID"), false);
        m_pGrid->AddText(pGroup, QStringLiteral("IP"), Q(strIP),
                         QStringLiteral("Specifies the process IP (read)"), false);
        // A procedure call has a drawing of its own; any other operation is
        // shown in its process's.
        if (pOperation->m_strType == "ProcedureCall") {
            strDiagram = pOperation->m_strName;
        } else if (pOperation->m_pOwner) {
            strDiagram = pOperation->m_pOwner->m_strName;
        }
    }
    if (!strDiagram.empty() && m_pView) {
        m_pView->ShowDocument(m_strDiagramFolder + strDiagram + ".vsd");
    }
}

void CPropertiesWnd::ShowNamedDiagram(const std::string& strName) {
    ClearSelection();
    m_pGrid->RemoveAll();
    if (m_pView) {
        m_pView->ShowDocument(m_strDiagramFolder + strName + ".vsd");
    }
}

bool CPropertiesWnd::Confirm(const char* pszQuestion) const {
    return GetNotifier().MessageBox("Confirm", pszQuestion, NB_OKCANCEL, NI_QUESTION) == NA_OK;
}

void CPropertiesWnd::OnUpdateValues() {
    if (IsReadOnly() || !Confirm("Do you want to update the values?") || !m_pEngine) {
        return;
    }
    auto lock = m_pEngine->LockTree();
    CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, m_strProcess);
    if (!pProcess) {
        return;
    }
    QTreeWidget* pTree = m_pGrid->Tree();
    std::vector<std::string> vecRefused;
    for (int i = pTree->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* pTop = pTree->topLevelItem(i);
        const QString strTop = CPropertyGrid::Name(pTop);
        if (strTop == QLatin1String("DCL")) {
            ForEachChildReversed(pTop, [&](QTreeWidgetItem* pLeaf) {
                // Only what the user changed: after a run the page shows the
                // run's values, which never become the model's own.
                if (!CPropertyGrid::IsModified(pLeaf)) {
                    return;
                }
                const std::string strName = CPropertyGrid::Name(pLeaf).toStdString();
                CSDLParameter* pVariable = pProcess->GetVariable(strName);
                if (!pVariable) {
                    return;
                }
                const std::string strValue = CPropertyGrid::Value(pLeaf).toStdString();
                if (!strValue.empty() && !IsValueOfType(pVariable->m_strType, strValue)) {
                    vecRefused.push_back(
                        RefusedValueLine(strValue, pVariable->m_strType,
                                         "the variable " + strName + " of " + m_strProcess) +
                        ": the variable keeps its value \"" + pVariable->m_strSourceText + "\".");
                    // The leaf shows what the variable keeps.
                    CPropertyGrid::SetValue(pLeaf, Q(Trim(pVariable->m_strSourceText)));
                    return;
                }
                pVariable->SetModelValue(strValue);
            });
        } else if (strTop == QLatin1String("Agent")) {
            ForEachChildReversed(pTop, [&](QTreeWidgetItem* pState) {
                const std::string strState = CPropertyGrid::Name(pState).toStdString();
                C3DRepresentation* pRep = FindIn(pProcess->m_mapRepresentations, strState);
                if (strState == "Name" || !pRep) {
                    return;
                }
                ForEachChildReversed(pState, [&](QTreeWidgetItem* pLeaf) {
                    const QString strLeaf = CPropertyGrid::Name(pLeaf);
                    const std::string strValue = CPropertyGrid::Value(pLeaf).toStdString();
                    if (strLeaf == QLatin1String("mesh")) {
                        pRep->m_strMesh = strValue;
                    } else if (strLeaf == QLatin1String("scale")) {
                        pRep->m_dScale = StringToDouble(strValue);
                    } else if (strLeaf == QLatin1String("position")) {
                        ReadAxes(pLeaf, pRep->m_dPosX, pRep->m_dPosY, pRep->m_dPosZ);
                    } else if (strLeaf == QLatin1String("rotation")) {
                        ReadAxes(pLeaf, pRep->m_dRotX, pRep->m_dRotY, pRep->m_dRotZ);
                    }
                });
            });
        }
    }
    for (const std::string& strLine : vecRefused) {
        GetNotifier().OutputLine(NP_ERRORS, strLine);
    }
}

void CPropertiesWnd::OnResetValues() {
    if (IsReadOnly() || !Confirm("Do you want to RESET the values?") || !m_pEngine) {
        return;
    }
    std::vector<std::pair<QString, QString>> vecSaved;
    {
        auto lock = m_pEngine->LockTree();
        const CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, m_strProcess);
        if (!pProcess) {
            return;
        }
        for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
            // A variable without a saved value keeps what the grid shows.
            const std::string strSaved = SavedValue(m_strProcess, strName);
            if (!strSaved.empty()) {
                vecSaved.emplace_back(Q(strName), Q(strSaved));
            }
        }
    }
    QTreeWidget* pTree = m_pGrid->Tree();
    for (const auto& [strName, strSaved] : vecSaved) {
        for (int i = 0; i < pTree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* pTop = pTree->topLevelItem(i);
            for (int j = 0; j < pTop->childCount(); ++j) {
                QTreeWidgetItem* pLeaf = pTop->child(j);
                if (CPropertyGrid::Type(pLeaf) != PT_GROUP &&
                    CPropertyGrid::Name(pLeaf) == strName) {
                    CPropertyGrid::SetValue(pLeaf, strSaved);
                }
            }
        }
    }
}
