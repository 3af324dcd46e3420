#include "velko/sidefilecommands.h"

#include <QLabel>
#include <filesystem>
#include <system_error>
#include <utility>

#include "sh_aux/customexception.h"
#include "sh_aux/pathhelp.h"
#include "sh_aux/textfile.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"
#include "sh_widgets/guinotifier.h"
#include "velko/commands.h"
#include "velko/dlgexperiment.h"
#include "velko/mainfrm.h"
#include "velko/propertieswnd.h"

namespace {

SFileChoice OpenChoice(const char* pszFilter) {
    SFileChoice choice;
    choice.strFilter = pszFilter;
    return choice;
}

SFileChoice SaveChoice(const char* pszFilter, const char* pszDefaultExt) {
    SFileChoice choice;
    choice.bSave = true;
    choice.strFilter = pszFilter;
    choice.strDefaultExt = pszDefaultExt;
    choice.strInitialName = "test";
    return choice;
}

QString FileLabel(const std::string& strPath) {
    return QString::fromStdString(GetFileName(strPath));
}

// Whether two paths name one file (or would, once it exists): links and
// "." or ".." are followed.
bool IsSamePath(const std::string& strFirst, const std::string& strSecond) {
    std::error_code error;
    const std::filesystem::path first = std::filesystem::weakly_canonical(strFirst, error);
    if (error) {
        return NormalizePath(strFirst) == NormalizePath(strSecond);
    }
    const std::filesystem::path second = std::filesystem::weakly_canonical(strSecond, error);
    return error ? NormalizePath(strFirst) == NormalizePath(strSecond) : first == second;
}

}  // namespace

bool WriteSideFile(const std::string& strPath, const std::string& strText, std::string& strError) {
    TextFile file;
    // 8-bit text is UTF-8 here, written without a byte-order mark.
    if (file.Open(strPath, TF_WRITE, TF_ANSI) != 0 || file.WriteString(strText) != 0 ||
        file.Close() != 0) {
        const std::string* pError = GetLastErrorText();
        strError = pError ? *pError : "the file cannot be written";
        return false;
    }
    return true;
}

CSideFileCommands::CSideFileCommands(CMainFrame& frame) : m_frame(frame) {}

void CSideFileCommands::RegisterHandlers(CCommandTable& commands) {
    commands.SetHandler(ID_REPRESENTATION_EXPORT, [this] { OnExportRepresentation(); });
    commands.SetHandler(ID_PARAMETRIZATION_EXPORT, [this] { OnExportParametrization(); });
    commands.SetHandler(ID_REPRESENTATION_IMPORT, [this] { OnImportRepresentation(); });
    commands.SetHandler(ID_PARAMETRIZATION_IMPORT, [this] { OnImportParametrization(); });
    commands.SetHandler(ID_EXPERIMENT_IMPORT, [this] { OnImportExperiments(); });
    commands.SetHandler(ID_EXPERIMENT_EDIT, [this] { OnEditExperiments(); });
}

CSDLEngine* CSideFileCommands::EngineOrTell() const {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine || !pEngine->GetRootAgent()) {
        m_frame.Notifier()->MessageBox("Info", "Load first a model (.velko)", NB_OK,
                                       NI_INFORMATION);
        return nullptr;
    }
    return pEngine;
}

std::string CSideFileCommands::Choose(SFileChoice choice) const {
    choice.strFolder = m_frame.Engine()->m_strModelFolder;
    return ChooseFile(&m_frame, choice);
}

void CSideFileCommands::Export(const SFileChoice& choice,
                               const std::function<std::string()>& fnText, QLabel* pLabel,
                               std::string& strEngineFile) {
    const std::string strPath = Choose(choice);
    if (strPath.empty()) {
        return;
    }
    std::string strError;
    // A text that holds what only XML 1.1 can say comes with its own
    // declaration.
    std::string strText = fnText();
    if (!strText.starts_with("<?xml")) {
        strText.insert(0, SIDE_FILE_DECLARATION);
    }
    if (!WriteSideFile(strPath, strText, strError)) {
        m_frame.Notifier()->MessageBox("VELKO", "The file was not saved. " + strError, NB_OK,
                                       NI_ERROR);
        return;
    }
    pLabel->setText(FileLabel(strPath));
    strEngineFile = strPath;
}

void CSideFileCommands::OnExportRepresentation() {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine) {
        return;
    }
    const CSDLAgent* pRoot = pEngine->GetRootAgent();
    Export(
        SaveChoice(REPRESENTATION_FILTER, ".eye"), [pRoot] { return pRoot->GetModelInfoXml(); },
        m_frame.RepresentationLabel(), pEngine->m_strRepresentationFile);
}

void CSideFileCommands::OnExportParametrization() {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine) {
        return;
    }
    const CSDLAgent* pRoot = pEngine->GetRootAgent();
    Export(
        SaveChoice(PARAMETRIZATION_FILTER, ".param"),
        [pRoot] { return pRoot->GetParametrizationXml(); }, m_frame.ParametrizationLabel(),
        pEngine->m_strParametrizationFile);
}

void CSideFileCommands::OnImportRepresentation() {
    if (!EngineOrTell()) {
        return;
    }
    const std::string strPath = Choose(OpenChoice(REPRESENTATION_FILTER));
    if (!strPath.empty() && m_frame.Document().m_loader.LoadModelInfo(strPath)) {
        m_frame.RepresentationLabel()->setText(FileLabel(strPath));
    }
    // Also after Cancel.
    m_frame.Properties()->RefreshProperties();
}

void CSideFileCommands::OnImportParametrization() {
    CSDLEngine* pEngine = EngineOrTell();
    if (!pEngine) {
        return;
    }
    const std::string strPath = Choose(OpenChoice(PARAMETRIZATION_FILTER));
    if (!strPath.empty() && UseParametrization(strPath, GetFileName(strPath))) {
        pEngine->m_strExperimentLabel = GetFileName(strPath);
    }
    m_frame.Properties()->RefreshProperties();
}

bool CSideFileCommands::UseParametrization(const std::string& strPath,
                                           const std::string& strLabel) {
    if (!m_frame.Document().m_loader.LoadParametrization(strPath)) {
        return false;
    }
    CSDLEngine* pEngine = m_frame.Engine();
    m_frame.ParametrizationLabel()->setText(QString::fromStdString(strLabel));
    pEngine->m_strParametrizationFile = strPath;
    pEngine->m_strCodeBasePath = RemoveExtension(strPath);
    return true;
}

ExperimentUse CSideFileCommands::UseExperiment(const std::string& strLabel,
                                               const std::string& strPath,
                                               const SModelParametrization& own) {
    CSDLEngine* pEngine = m_frame.Engine();
    CSDLLoader& loader = m_frame.Document().m_loader;
    // The libraries the model's own runs load, and the file each is named
    // after.
    const std::pair<std::string, std::string> ownBases[] = {
        {pEngine->m_strModelFolder + pEngine->m_strModelName, pEngine->m_strModelPath},
        {own.strCodeBasePath, pEngine->m_strModelPath},
        {RemoveExtension(own.strParametrizationFile), own.strParametrizationFile},
    };
    const std::string strBase = RemoveExtension(strPath);
    for (const auto& [strOwnBase, strOwnFile] : ownBases) {
        if (!strOwnBase.empty() && IsSamePath(strBase, strOwnBase)) {
            m_frame.WriteErrors(
                "The experiment \"" + strLabel + "\" is skipped: its parametrization " + strPath +
                " would build the model library " + strBase + ", which is the one of " +
                strOwnFile + ". Give the parametrization another name.");
            return EU_REFUSED;
        }
    }
    loader.RestoreParametrization(own);
    return UseParametrization(strPath, strLabel) ? EU_USED : EU_UNREADABLE;
}

void CSideFileCommands::OnImportExperiments() {
    if (!EngineOrTell()) {
        return;
    }
    const std::string strPath = Choose(OpenChoice(EXPERIMENTATION_FILTER));
    if (!strPath.empty() && m_frame.Document().m_loader.LoadExperiments(strPath)) {
        m_frame.ExperimentationLabel()->setText(FileLabel(strPath));
        m_frame.Document().m_strExperimentFile = strPath;
    }
}

void CSideFileCommands::OnEditExperiments() {
    if (!EngineOrTell()) {
        return;
    }
    CDlgExperiment dialog(&m_frame, m_frame.Document().m_loader,
                          m_frame.Engine()->m_strModelFolder);
    dialog.exec();
}
