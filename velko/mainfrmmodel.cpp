// The frame's model work: open, close, the model tree and its selection.

#include <QLabel>
#include <QTreeWidgetItemIterator>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlprocess.h"
#include "sh_widgets/guinotifier.h"
#include "velko/classview.h"
#include "velko/dlgtraceoptions.h"
#include "velko/mainfrm.h"
#include "velko/outputwnd.h"
#include "velko/propertieswnd.h"
#include "velko/velkoapp.h"
#include "velko/velkoview.h"

namespace {

const char* const NO_FILE = "No file loaded";

// "%s [%s]:%s": an element's label with its key.
QString KeyedLabel(const std::string& strName, const std::string& strKey,
                   const std::string& strIP) {
    return QString::fromStdString(strName + " [" + strKey + "]:" + strIP);
}

// Why the model file at strPath gave no model text: it cannot be opened, or
// it holds none.
std::string NoModelTextReason(const std::string& strPath) {
    const std::string strFile = ResolvePathNoCase(strPath);
    errno = 0;
    std::FILE* pFile = std::fopen(strFile.c_str(), "rb");
    if (!pFile) {
        return Format("The model file %s cannot be opened: %s.", strPath.c_str(),
                      GetSystemErrorText(errno).c_str());
    }
    std::fclose(pFile);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(strFile, ec)) {
        return Format("The model file %s cannot be opened: it is not a file.", strPath.c_str());
    }
    return Format("The model file %s holds no model.", strPath.c_str());
}

}  // namespace

bool CMainFrame::RefuseDuringRun() {
    if (IsBuilding()) {
        m_pNotifier->MessageBox("VELKO",
                                "The model library is being built. Wait for the build to end "
                                "before opening or closing a model.",
                                NB_OK, NI_WARNING);
        return true;
    }
    if (!IsRunAlive()) {
        return false;
    }
    m_pNotifier->MessageBox("VELKO",
                            "A simulation of the model is running. Stop it before opening or "
                            "closing a model.",
                            NB_OK, NI_WARNING);
    return true;
}

int CMainFrame::LoadModel(std::string strPath) {
    if (strPath.empty()) {
        return LM_FAILED;
    }
    // A model asked for while the old one goes opens after it.
    if (!IsClosingEngine() && RefuseDuringRun()) {
        return LM_REFUSED;
    }
    if (IsClosingEngine() || EngineNeedsWait()) {
        // The old model waits for the instances it sent to; then this one
        // opens.
        CloseEngine(CA_OPEN_MODEL, strPath);
        return LM_WAITING;
    }
    strPath = NormalizeSlashes(strPath);
    // The old model goes before the new one is read, with everything the
    // window shows of it and the experiments made for it: whatever the
    // outcome, nothing of it stays to be built, run or shown.
    ClearModelView();
    AttachEngine(std::make_unique<CSDLEngine>());
    const std::string::size_type nSlash = strPath.rfind('/');
    const std::string strModelFolder =
        nSlash == std::string::npos ? std::string("./") : strPath.substr(0, nSlash + 1);
    const std::string strModelName = RemoveExtension(GetFileName(strPath));
    CSDLLoader& loader = m_document.m_loader;

    const std::string strModelText = loader.LoadModel(strPath);

    if (!loader.m_strErrorText.empty()) {
        WriteSystem(strPath);
        WriteSystem("Model contains UNsalvable errors. See errors for more details.");
        WriteModelErrors(loader.m_strErrorText);
        return FailedLoad(LM_FAILED);
    }
    if (strModelText.empty()) {
        const std::string strReason = NoModelTextReason(strPath);
        WriteSystem(strPath);
        WriteSystem("Model loaded UNsuccefully. Empty line.");
        WriteSystem(strReason);
        WriteErrors(strReason);
        WriteErrors(loader.GetErrorLog());
        return FailedLoad(LM_FAILED);
    }
    if (!loader.GetErrorLog().empty()) {
        WriteSystem(strPath);
        WriteSystem(loader.GetErrorLog());
        WriteSystem("Model loaded UNsuccefully.");
        WriteErrors(loader.GetErrorLog());
        return FailedLoad(LM_ERROR_LOG);
    }
    if (FillModelTree() == 1) {
        WriteSystem(strPath);
        WriteSystem("Model loaded UNsuccefully. No system block.");
        WriteErrors(loader.GetErrorLog());
        return FailedLoad(LM_NO_ROOT);
    }

    m_document.m_strTitle = strPath;
    UpdateTitle();
    const std::string strRepresentation = strModelFolder + strModelName + ".eye";
    if (loader.LoadModelInfo(strRepresentation)) {
        m_pRepresentationLabel->setText(QString::fromStdString(GetFileName(strRepresentation)));
    }
    m_strDiagramFolder = strModelFolder + "doc/";
    m_pView->ShowDocument(m_strDiagramFolder + strModelName + ".vsd");
    m_pProperties->SetModel(m_pEngine.get(), m_pView, m_strDiagramFolder);
    WriteSystem(strPath);
    WriteSystem("Model loaded succefully.");
    m_app.AddToRecentFileList(strPath);
    UpdateCommands();
    return LM_LOADED;
}

int CMainFrame::FailedLoad(int nResult) {
    // An engine whose load failed holds no model it may build or run (what it
    // read, if anything, is refused): it is no open model, as the commands say.
    if (m_pEngine && !m_pEngine->HasModel()) {
        DropEngine("when the model was closed");
    }
    UpdateCommands();
    return nResult;
}

void CMainFrame::ClearModelView() {
    m_pClassView->Tree()->clear();
    m_pView->SetDocument({});
    m_document.m_strTitle = "No Document";
    m_document.m_strExperimentFile.clear();
    // Experiments name parametrizations of this model: another model's
    // build or series must not find them.
    m_document.m_loader.m_mapExperiments.clear();
    UpdateTitle();
    for (QLabel* pLabel :
         {m_pRepresentationLabel, m_pParametrizationLabel, m_pExperimentationLabel}) {
        pLabel->setText(QString::fromLatin1(NO_FILE));
    }
}

void CMainFrame::CloseModel() {
    ClearModelView();
    WriteSystem("Model closed.");
}

void CMainFrame::OnFileOpen() {
    SFileChoice choice;
    choice.strFilter =
        "VELKO Files (*.velko)|*.velko|SDL Files (*.sdl)|*.sdl|DEVS Files (*.devs)|*.devs|XML "
        "Files (*.xml)|*.xml|Text Files (*.txt)|*.txt|All Files (*.*)|*.*||";
    const std::string strFile = ChooseFile(this, choice);
    if (!strFile.empty()) {
        OpenChosenFile(strFile);
    }
}

int CMainFrame::OpenChosenFile(const std::string& strFile) {
    const std::string strExtension = GetExtension(strFile);
    std::string strPath;
    if (CompareNoCase(strExtension, ".velko") == 0 || CompareNoCase(strExtension, ".sdl") == 0 ||
        CompareNoCase(strExtension, ".xml") == 0) {
        strPath = strFile;
    } else if (CompareNoCase(strExtension, ".devs") == 0) {
        strPath = m_document.m_loader.ImportDEVS(strFile);
    }
    const int nResult = OpenModel(strPath);
    const std::string& strWarnings = m_document.m_loader.m_strDEVSWarnings;
    if (!strPath.empty() && nResult != LM_REFUSED && !strWarnings.empty() &&
        CompareNoCase(strExtension, ".devs") == 0) {
        // The model loaded is not the whole DEVS model: say so beside the
        // load's own outcome.
        WriteSystem(
            Format("The DEVS model %s was converted in part: %d warning(s) in Errors "
                   "name what the converted model leaves out.",
                   strFile.c_str(),
                   static_cast<int>(std::count(strWarnings.begin(), strWarnings.end(), '\n'))));
    }
    return nResult;
}

int CMainFrame::OpenModel(const std::string& strPath) {
    const int nResult = LoadModel(strPath);
    if (nResult == LM_REFUSED || nResult == LM_WAITING) {
        return nResult;
    }
    ShowCaptionMessage(nResult == LM_LOADED
                           ? QStringLiteral("Ready to configure the model. Then, you need to "
                                            "create the DLL.")
                           : QStringLiteral("Some errors ocurred on loading the model."),
                       QStringLiteral("Configure"), ID_CAPTION_TOGGLE, QStringLiteral("Ok"));
    return nResult;
}

void CMainFrame::OnFileClose() {
    if (IsClosingEngine() || RefuseDuringRun()) {
        return;  // a close in progress is joined
    }
    CloseModel();
    // What the bar said of the model that goes is said no more.
    m_pCaptionBar->SetText(QStringLiteral("Load an VELKO model to start working."));
    CloseEngine(CA_CLOSE_MODEL);
}

void CMainFrame::ShowCaptionMessage(const QString& strMessage, const QString&, int,
                                    const QString&) {
    m_pCaptionBar->SetText(strMessage);
    m_pCaptionBar->show();
    UpdateCommands();
}

void CMainFrame::WriteErrors(std::string strText) {
    std::string::size_type nStart = 0;
    while (nStart <= strText.size()) {
        std::string::size_type nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strText.size();
        }
        if (nEnd > nStart) {
            m_pOutput->Errors()->AddItem(
                QString::fromStdString(strText.substr(nStart, nEnd - nStart)));
        }
        nStart = nEnd + 1;
    }
}

void CMainFrame::WriteModelErrors(std::string strErrors) {
    for (;;) {
        const std::string::size_type nBreak = strErrors.rfind('\n');
        const std::string strLast =
            nBreak == std::string::npos ? strErrors : strErrors.substr(nBreak + 1);
        if (Trim(strLast).empty()) {
            break;
        }
        WriteErrors(strLast);
        strErrors = nBreak == std::string::npos ? std::string() : strErrors.substr(0, nBreak);
    }
    WriteErrors(strErrors);
}

void CMainFrame::WriteSystem(const std::string& strLine) {
    m_pOutput->System()->AddItem(QString::fromStdString(strLine));
}

void CMainFrame::FormatTraceMessage(std::string strLine) {
    m_pOutput->Model()->FormatTraceMessage(strLine);
}

int CMainFrame::FillModelTree() {
    const CSDLAgent* pRoot = m_pEngine ? m_pEngine->GetRootAgent() : nullptr;
    if (!pRoot) {
        return 1;
    }
    QTreeWidgetItem* pRootItem = m_pClassView->Tree()->AddItem(
        nullptr, QString::fromStdString(pRoot->m_strName), {}, TI_ROOT);
    AddTreeChildren(pRootItem, pRoot);
    pRootItem->setExpanded(true);
    return 0;
}

void CMainFrame::AddTreeChildren(QTreeWidgetItem* pItem, const CSDLAgent* pAgent) {
    for (const auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        AddAgentItem(pItem, pBlock.get())->setExpanded(true);
    }
    for (const auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        AddAgentItem(pItem, pProcess.get());
    }
}

QTreeWidgetItem* CMainFrame::AddAgentItem(QTreeWidgetItem* pParent, const CSDLAgent* pAgent) {
    CViewTree* pTree = m_pClassView->Tree();
    // An instance shows its index.
    const std::string strName =
        pAgent->m_nInstanceIndex > 0
            ? Format("%s[%d]", pAgent->m_strName.c_str(), pAgent->m_nInstanceIndex)
            : pAgent->m_strName;
    const QString strAgent = QString::fromStdString(pAgent->GetFullName(true));
    if (const auto* pProcess = dynamic_cast<const CSDLProcess*>(pAgent)) {
        const std::string strKey = pProcess->GetFullName(false);
        QTreeWidgetItem* pItem =
            pTree->AddItem(pParent, KeyedLabel(strName, strKey, pProcess->m_strIP),
                           QString::fromStdString(strKey), TI_PROCESS, strAgent);
        AddProcessNodes(pItem, pProcess);
        return pItem;
    }
    const std::string strKey = CSDLBlock::GetGlobalId(pAgent);
    QTreeWidgetItem* pItem = pTree->AddItem(pParent, KeyedLabel(strName, strKey, pAgent->m_strIP),
                                            QString::fromStdString(strKey), TI_BLOCK, strAgent);
    AddTreeChildren(pItem, pAgent);
    return pItem;
}

QTreeWidgetItem* CMainFrame::FindAgentItem(const std::string& strAgentKey) const {
    const QString strKey = QString::fromStdString(strAgentKey);
    for (QTreeWidgetItemIterator it(m_pClassView->Tree()); *it; ++it) {
        if (CViewTree::AgentOf(*it) == strKey) {
            return *it;
        }
    }
    return nullptr;
}

void CMainFrame::OnAgentsChanged(const std::vector<std::string>& vecAdded,
                                 const std::vector<std::string>& vecRemoved) {
    AddAgentItems(vecAdded);
    RemoveAgentItems(vecRemoved);
    if (!vecRemoved.empty()) {
        m_pProperties->RefreshGrid();  // drops a selection that is gone
    }
}

void CMainFrame::AddAgentItems(const std::vector<std::string>& vecKeys) {
    QTreeWidget* pTree = m_pClassView->Tree();
    if (!m_pEngine || pTree->topLevelItemCount() == 0) {
        return;
    }
    auto lock = m_pEngine->LockTree();
    for (const std::string& strKey : vecKeys) {
        const CSDLAgent* pAgent = m_pEngine->FindAgentByKey(strKey);
        // Gone again before the window got to it, or shown with its parent.
        if (!pAgent || FindAgentItem(strKey)) {
            continue;
        }
        const CSDLAgent* pParent = pAgent->m_pParent;
        QTreeWidgetItem* pParentItem = !pParent->m_pParent
                                           ? pTree->topLevelItem(0)
                                           : FindAgentItem(pParent->GetFullName(true));
        if (pParentItem) {
            AddAgentItem(pParentItem, pAgent);
        }
    }
}

void CMainFrame::RemoveAgentItems(const std::vector<std::string>& vecKeys) {
    for (const std::string& strKey : vecKeys) {
        delete FindAgentItem(strKey);
    }
}

void CMainFrame::AddProcessNodes(QTreeWidgetItem* pItem, const CSDLProcess* pProcess) {
    CViewTree* pTree = m_pClassView->Tree();
    QTreeWidgetItem* pProcedures =
        pTree->AddItem(pItem, QStringLiteral("PROCEDURES"), {}, TI_GROUP);
    for (const auto& [strName, pProcedure] : pProcess->m_mapProcedures) {
        if (!pProcedure->m_bBuiltIn) {
            pTree->AddItem(pProcedures, QString::fromStdString(pProcedure->m_strName), {}, TI_LEAF);
        }
    }
    QTreeWidgetItem* pStates = pTree->AddItem(pItem, QStringLiteral("STATES"), {}, TI_GROUP);
    AddChain(pTree->AddItem(pStates, QStringLiteral("START"), {}, TI_LEAF),
             pProcess->m_pStartOperation);
    for (const auto& [strState, pFirst] : pProcess->m_mapStates) {
        AddChain(pTree->AddItem(pStates, QString::fromStdString(strState), {}, TI_LEAF), pFirst);
    }
}

void CMainFrame::AddChain(QTreeWidgetItem* pItem, const CSDLOperation* pFirst) {
    // Only next links: a decision's other branch is not followed, and a chain
    // that loops back ends where it started.
    int nGuard = 0;
    for (const CSDLOperation* pOperation = pFirst; pOperation && nGuard < 100000;
         pOperation = pOperation->m_pNext, ++nGuard) {
        const std::string strKey = pOperation->GetCodeID();
        const std::string strIP = pOperation->m_pOwner ? pOperation->m_pOwner->m_strIP : "";
        m_pClassView->Tree()->AddItem(pItem, KeyedLabel(pOperation->m_strType, strKey, strIP),
                                      QString::fromStdString(strKey), TI_LEAF);
        if (pOperation->m_pNext == pFirst) {
            break;
        }
    }
}

int CMainFrame::KindOfKey(const std::string& strKey) const {
    auto lock = m_pEngine->LockTree();  // instances come and go during a run
    if (FindIn(m_pEngine->m_mapProcesses, strKey)) {
        return SK_PROCESS;
    }
    return FindIn(m_pEngine->m_mapBlocks, strKey) ? SK_BLOCK : SK_OTHER;
}

void CMainFrame::OnTreeSelection() {
    QTreeWidgetItem* pItem = m_pClassView->Tree()->currentItem();
    if (!pItem || !m_pEngine) {
        return;
    }
    const std::string strKey = CViewTree::KeyOf(pItem).toStdString();
    const std::string strLookup = strKey.empty() ? pItem->text(0).toStdString() : strKey;
    switch (KindOfKey(strLookup)) {
        case SK_PROCESS:
            m_pProperties->SelectProcess(strLookup);
            break;
        case SK_BLOCK:
            m_pProperties->SelectBlock(strLookup);
            break;
        default:
            m_pView->ShowDocument(m_strDiagramFolder + strLookup + ".vsd");
    }
}

CSDLAgent* CMainFrame::GetSelectedAgent(int& nKind) {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load first a model.", NB_OK, NI_NONE);
        return nullptr;
    }
    const std::string strKey = CViewTree::KeyOf(m_pClassView->Tree()->currentItem()).toStdString();
    auto lock = m_pEngine->LockTree();
    if (CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strKey)) {
        nKind = SK_PROCESS;
        return pProcess;
    }
    if (CSDLBlock* pBlock = FindIn(m_pEngine->m_mapBlocks, strKey)) {
        nKind = SK_BLOCK;
        return pBlock;
    }
    nKind = SK_OTHER;
    return m_pEngine->GetRootAgent();
}

CSDLOperation* CMainFrame::GetSelectedOperation(int& nKind) {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load first a model.", NB_OK, NI_NONE);
        return nullptr;
    }
    const std::string strKey = CViewTree::KeyOf(m_pClassView->Tree()->currentItem()).toStdString();
    auto lock = m_pEngine->LockTree();
    CSDLOperation* pOperation = FindIn(m_pEngine->m_mapOperations, strKey);
    nKind = pOperation ? SK_OPERATION : SK_OTHER;
    return pOperation;
}

void CMainFrame::OnModelProperties() {
    if (!m_pEngine) {
        m_pNotifier->MessageBox("VELKO", "Load first a model.", NB_OK, NI_NONE);
        return;
    }
    const std::string strKey = CViewTree::KeyOf(m_pClassView->Tree()->currentItem()).toStdString();
    const int nKind = KindOfKey(strKey);
    if (nKind == SK_PROCESS) {
        m_pProperties->SelectProcess(strKey);
    } else if (nKind == SK_BLOCK) {
        m_pProperties->SelectBlock(strKey);
    }
}

void CMainFrame::OnTraceOptions() {
    int nKind = SK_OTHER;
    CSDLAgent* pAgent = GetSelectedAgent(nKind);
    if (!pAgent || nKind != SK_PROCESS) {
        return;
    }
    // The simulation thread reads these flags while it runs.
    if (IsRunAlive()) {
        m_pNotifier->MessageBox("Trace Options",
                                "Trace options can be changed only while the model is not being "
                                "simulated.",
                                NB_OK, NI_INFORMATION);
        return;
    }
    CDlgTraceOptions dialog(this);
    dialog.m_bTraceInput = pAgent->m_bTraceInput;
    dialog.m_bTraceOutput = pAgent->m_bTraceOutput;
    dialog.m_bTraceSetState = pAgent->m_bTraceSetState;
    dialog.m_bAnimInput = pAgent->m_bAnimInput;
    dialog.m_bAnimOutput = pAgent->m_bAnimOutput;
    dialog.m_bAnimSetState = pAgent->m_bAnimSetState;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    pAgent->m_bTraceInput = dialog.m_bTraceInput;
    pAgent->m_bTraceOutput = dialog.m_bTraceOutput;
    pAgent->m_bTraceSetState = dialog.m_bTraceSetState;
    pAgent->m_bAnimInput = dialog.m_bAnimInput;
    pAgent->m_bAnimOutput = dialog.m_bAnimOutput;
    pAgent->m_bAnimSetState = dialog.m_bAnimSetState;
}
