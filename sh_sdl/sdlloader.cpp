#include "sh_sdl/sdlloader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"

namespace {

constexpr const char* LOADER_BOX_TITLE = "VELKO";

// Blocks and automata nested deeper than this are refused: the model tree is
// built, walked and destroyed by recursion, and a file nested thousands of
// levels deep would exhaust the stack.
constexpr int LOADER_MAX_NESTING = 100;

bool StartsWith(const std::string& str, std::string_view strPrefix) {
    return str.compare(0, strPrefix.size(), strPrefix) == 0;
}

bool EndsWithNoCase(const std::string& str, std::string_view strSuffix) {
    return str.size() >= strSuffix.size() &&
           EqualsNoCase(std::string_view(str).substr(str.size() - strSuffix.size()), strSuffix);
}

// The local name of an element (after any "prefix:").
std::string_view LocalName(std::string_view strName) {
    const size_t nColon = strName.find(':');
    return nColon == std::string_view::npos ? strName : strName.substr(nColon + 1);
}

// Elements whose text is C code.
bool IsCodeElement(std::string_view strName) {
    const std::string_view strLocal = LocalName(strName);
    return EqualsNoCase(strLocal, "task") || EqualsNoCase(strLocal, "decision");
}

// Joins the lines of a model, process or procedures file. Lines are joined
// without a separator, except in two places: inside the text of a task or a
// decision, whose C code keeps its line breaks (a "//" comment would
// otherwise swallow the rest of the code), and between the attributes of a
// tag written over several lines, which keep a blank between them.
class CLineJoiner {
public:
    void AddLine(const std::string& strLine) {
        if (m_bHasLine) {
            Junction();
        }
        m_bHasLine = true;
        for (size_t i = 0; i < strLine.size(); ++i) {
            i = Scan(strLine, i);
        }
    }

    std::string& Text() { return m_strText; }

private:
    enum JoinState { JS_TEXT, JS_TAG, JS_COMMENT, JS_CDATA, JS_MARKUP };

    void Junction() {
        if (m_eState == JS_TAG && m_chQuote == 0) {
            m_strText += ' ';
            m_strTag += ' ';
        } else if ((m_eState == JS_TEXT || m_eState == JS_CDATA) && m_nCodeDepth > 0 &&
                   m_bCodeHasText) {
            // Written only when more code follows, so that the text does not
            // end with the break before the closing tag.
            m_bPendingBreak = true;
        }
    }

    void EmitCode(std::string_view str) {
        if (str.empty()) {
            return;
        }
        if (m_nCodeDepth > 0) {
            if (m_bPendingBreak) {
                m_strText += '\n';
            }
            m_bCodeHasText = true;
        }
        m_bPendingBreak = false;
        m_strText += str;
    }

    // Consumes from position i on; returns the last position consumed.
    size_t Scan(const std::string& strLine, size_t i) {
        const char ch = strLine[i];
        switch (m_eState) {
            case JS_TEXT:
                if (ch != '<') {
                    EmitCode(std::string_view(&strLine[i], 1));
                    return i;
                }
                if (strLine.compare(i, 4, "<!--") == 0) {
                    m_eState = JS_COMMENT;
                    m_strText += "<!--";
                    return i + 3;
                }
                if (strLine.compare(i, 9, "<![CDATA[") == 0) {
                    m_eState = JS_CDATA;
                    m_strText += "<![CDATA[";
                    return i + 8;
                }
                m_strText += ch;
                if (i + 1 < strLine.size() && (strLine[i + 1] == '?' || strLine[i + 1] == '!')) {
                    m_eState = JS_MARKUP;
                } else {
                    m_eState = JS_TAG;
                    m_strTag.clear();
                    m_chQuote = 0;
                    m_bPendingBreak = false;
                }
                return i;
            case JS_TAG:
                m_strText += ch;
                if (m_chQuote != 0) {
                    if (ch == m_chQuote) {
                        m_chQuote = 0;
                    }
                    m_strTag += ch;
                } else if (ch == '"' || ch == '\'') {
                    m_chQuote = ch;
                    m_strTag += ch;
                } else if (ch == '>') {
                    EndTag();
                    m_eState = JS_TEXT;
                } else {
                    m_strTag += ch;
                }
                return i;
            case JS_COMMENT: {
                const size_t nEnd = strLine.find("-->", i);
                if (nEnd == std::string::npos) {
                    m_strText.append(strLine, i, std::string::npos);
                    return strLine.size() - 1;
                }
                m_strText.append(strLine, i, nEnd + 3 - i);
                m_eState = JS_TEXT;
                return nEnd + 2;
            }
            case JS_CDATA: {
                const size_t nEnd = strLine.find("]]>", i);
                const size_t nStop = nEnd == std::string::npos ? strLine.size() : nEnd;
                EmitCode(std::string_view(strLine).substr(i, nStop - i));
                if (nEnd == std::string::npos) {
                    return strLine.size() - 1;
                }
                m_strText += "]]>";
                m_eState = JS_TEXT;
                return nEnd + 2;
            }
            case JS_MARKUP:
                m_strText += ch;
                if (ch == '>') {
                    m_eState = JS_TEXT;
                }
                return i;
        }
        return i;
    }

    void EndTag() {
        std::string_view strTag = m_strTag;
        const bool bClosing = !strTag.empty() && strTag.front() == '/';
        if (bClosing) {
            strTag.remove_prefix(1);
        }
        const bool bEmpty = !strTag.empty() && strTag.back() == '/';
        const size_t nEnd = strTag.find_first_of(" \t/");
        const std::string_view strName = strTag.substr(0, nEnd);
        if (!IsCodeElement(strName)) {
            return;
        }
        if (bClosing) {
            m_nCodeDepth = std::max(0, m_nCodeDepth - 1);
        } else if (!bEmpty) {
            ++m_nCodeDepth;
        }
        m_bCodeHasText = false;
        m_bPendingBreak = false;
    }

    std::string m_strText;
    std::string m_strTag;
    JoinState m_eState = JS_TEXT;
    char m_chQuote = 0;
    int m_nCodeDepth = 0;
    bool m_bCodeHasText = false;
    bool m_bPendingBreak = false;
    bool m_bHasLine = false;
};

bool IsElement(const CXMLNode& node) {
    const std::string strName = node.GetNodeName();
    return !strName.empty() && strName.front() != '#';
}

// "process c in block b in block a", "block a of the system": the agent and
// each block around it by its own name, which tells apart agents whose
// parents share a full name.
std::string DescribeAgent(const CSDLAgent& agent) {
    const auto Describe = [](const CSDLAgent& one) {
        const auto* pBlock = dynamic_cast<const CSDLBlock*>(&one);
        const char* pszKind = !pBlock ? "process" : pBlock->IsMnca() ? "automaton block" : "block";
        return one.m_strName.empty() ? Format("%s with no name", pszKind)
                                     : Format("%s %s", pszKind, one.m_strName.c_str());
    };
    std::string strText = Describe(agent);
    if (!agent.m_pParent || !agent.m_pParent->m_pParent) {
        return strText + " of the system";
    }
    for (const CSDLAgent* pAncestor = agent.m_pParent; pAncestor && pAncestor->m_pParent;
         pAncestor = pAncestor->m_pParent) {
        strText += " in " + Describe(*pAncestor);
    }
    return strText;
}

// Every agent below pAgent by full name; a second agent of a name already
// taken goes to vecClashes with the first.
void CollectFullNames(const CSDLAgent* pAgent, CNameMap<const CSDLAgent*>& mapNames,
                      std::vector<std::pair<const CSDLAgent*, const CSDLAgent*>>& vecClashes) {
    auto enter = [&](const CSDLAgent* pChild) {
        auto [it, bInserted] = mapNames.emplace(pChild->GetFullName(false), pChild);
        if (!bInserted) {
            vecClashes.emplace_back(it->second, pChild);
        }
        CollectFullNames(pChild, mapNames, vecClashes);
    };
    for (const auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        enter(pBlock.get());
    }
    for (const auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        enter(pProcess.get());
    }
}

}  // namespace

CSDLLoader::CSDLLoader() = default;

CSDLLoader::~CSDLLoader() = default;

// ---- Messages ------------------------------------------------------------------------

CNotifier& CSDLLoader::Notifier() const {
    return m_pEngine ? m_pEngine->GetNotifier() : ::GetNotifier();
}

void CSDLLoader::AddError(const std::string& strText) {
    m_strErrorText += "\n" + strText;
}

void CSDLLoader::AddWarning(const std::string& strText) {
    m_strWarningText += "\n" + strText;
    Notifier().OutputLine(NP_ERRORS, "Warning: " + strText);
}

void CSDLLoader::ShowMessage(const std::string& strText) {
    Notifier().MessageBox(LOADER_BOX_TITLE, strText, NB_OK, NI_WARNING);
}

// ---- Files -----------------------------------------------------------------------------

bool CSDLLoader::IsReadableFile(const std::string& strPath) {
    std::error_code ec;
    return !strPath.empty() && std::filesystem::is_regular_file(strPath, ec);
}

bool CSDLLoader::ReadLines(const std::string& strPath, bool bTrim, bool bCode,
                           const std::function<bool(const std::string&)>& isStop,
                           std::string& strText) {
    strText.clear();
    std::ifstream file;
    if (IsReadableFile(strPath)) {
        file.open(strPath, std::ios::binary);
    }
    // A stream that was never opened is no empty file.
    if (!file.is_open()) {
        return false;
    }
    const std::string strBytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    const std::string strDecoded = DecodeTextBytes(strBytes);

    CLineJoiner joiner;
    std::string strPlain;
    size_t nPos = 0;
    while (nPos < strDecoded.size()) {
        const size_t nBreak = strDecoded.find('\n', nPos);
        const size_t nEnd = nBreak == std::string::npos ? strDecoded.size() : nBreak;
        std::string strLine = strDecoded.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        if (bTrim) {
            strLine = Trim(strLine);
        }
        if (bCode) {
            joiner.AddLine(strLine);
        } else {
            strPlain += strLine;
        }
        if (isStop(strLine)) {
            break;
        }
    }
    strText = bCode ? std::move(joiner.Text()) : std::move(strPlain);
    const size_t nFirst = strText.find('<');
    if (nFirst != std::string::npos) {
        strText.erase(0, nFirst);
    }
    return true;
}

bool CSDLLoader::ReadFileText(const std::string& strPath, LoaderFileKind eKind,
                              std::string& strText) {
    switch (eKind) {
        case LFK_MODEL:
            return ReadLines(
                strPath, true, true,
                [](const std::string& strLine) {
                    return EqualsNoCase(Right(strLine, 9), "</system>");
                },
                strText);
        case LFK_PROCESS:
            return ReadLines(
                strPath, true, true,
                [](const std::string& strLine) { return EqualsNoCase(strLine, "</sdlprocess>"); },
                strText);
        case LFK_PROCEDURES:
            // Untrimmed, so that the indented closing tag of the inner
            // "procedures" element does not end the reading.
            return ReadLines(
                strPath, false, true,
                [](const std::string& strLine) { return EqualsNoCase(strLine, "</procedures>"); },
                strText);
    }
    return false;
}

std::string CSDLLoader::FileKey(const std::string& strPath) {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::weakly_canonical(strPath, ec);
    return ec ? NormalizePath(strPath) : path.string();
}

CSDLLoader::LoaderReadResult CSDLLoader::ReadSideFile(const std::string& strPath,
                                                      LoaderFileKind eKind,
                                                      const std::string& strRoot, CXMLNode& rRoot) {
    rRoot = CXMLNode();
    if (m_setFilesInProgress.count(FileKey(strPath)) > 0) {
        AddError(Format("The file %s refers to itself and is not read again.", strPath.c_str()));
        return LRR_IN_PROGRESS;
    }
    std::string strText;
    if (!ReadFileText(strPath, eKind, strText)) {
        return LRR_NOT_OPENED;
    }
    auto pDocument = std::make_unique<CXMLParser>();
    try {
        pDocument->LoadXML(strText);
    } catch (const CXMLParseException& e) {
        AddError(Format("The file %s is not well-formed XML: %s", strPath.c_str(), e.what()));
        return LRR_BAD_XML;
    }
    rRoot = pDocument->FindChild(CXMLNode(), strRoot);
    m_vecSideDocuments.push_back(std::move(pDocument));
    return LRR_OK;
}

CSDLLoader::LoaderReadResult CSDLLoader::OpenExternalProcess(const std::string& strFileName,
                                                             std::string& strOpened,
                                                             CXMLNode& rRoot) {
    rRoot = CXMLNode();
    const std::string strName = NormalizeSlashes(strFileName);
    static const char* const s_apszPlaces[] = {"", "lib/", "SDLProcessExternal/",
                                               "../SDLProcessExternal/"};
    for (const char* pszPlace : s_apszPlaces) {
        const std::string strPath =
            ResolvePathNoCase(JoinPath(m_strModelFolder, std::string(pszPlace) + strName));
        if (!IsReadableFile(strPath)) {
            continue;
        }
        strOpened = strPath;
        return ReadSideFile(strPath, LFK_PROCESS, "sdlprocess", rRoot);
    }
    return LRR_NOT_OPENED;
}

CXMLNode CSDLLoader::FindExternalProcess(const std::string& strFileName) {
    std::string strOpened;
    CXMLNode root;
    OpenExternalProcess(strFileName, strOpened, root);
    return root;
}

CXMLNode CSDLLoader::LoadProceduresFile(const std::string& strPath) {
    const std::string strResolved = ResolvePathNoCase(strPath);
    if (!IsReadableFile(strResolved)) {
        return CXMLNode();
    }
    CXMLNode root;
    ReadSideFile(strResolved, LFK_PROCEDURES, "procedures", root);
    return root;
}

// ---- Model file ------------------------------------------------------------------------

std::string CSDLLoader::LoadModel(const std::string& strPath) {
    std::string strText = ReadModel(strPath);
    // The load is judged on this log; side files read later add to the
    // reader's log but never change this one.
    m_strModelErrorLog = GetErrorLog();
    // A model whose load failed is not built or run: a value it refused
    // would run as 0, an attribute missing as an empty text.
    if (m_pEngine) {
        m_pEngine->SetModelRefused(strText.empty() || !m_strErrorText.empty() ||
                                   !m_strModelErrorLog.empty());
    }
    return strText;
}

std::string CSDLLoader::ReadModel(const std::string& strPath) {
    // Every load is judged on its own problems.
    m_strErrorText.clear();
    m_strWarningText.clear();
    ClearErrorLog();
    m_vecSideDocuments.clear();
    m_setFilesInProgress.clear();
    m_mapLibraryKeys.clear();
    m_bSameNamedAgents = false;

    const std::string strFile = ResolvePathNoCase(strPath);
    m_strModelFolder = GetFolder(strFile);
    m_strReadingFile = strFile;
    m_strOuterFile.clear();
    std::string strText;
    if (!ReadFileText(strFile, LFK_MODEL, strText)) {
        return {};
    }
    if (!m_pEngine) {
        AddError("No engine was given to load the model into.");
        return strText;
    }
    try {
        LoadXML(strText);
    } catch (const CXMLParseException& e) {
        AddError(Format("The model file %s is not well-formed XML: %s", strFile.c_str(), e.what()));
        return strText;
    }
    const CXMLNode system = FindChild(CXMLNode(), "system");
    if (!system) {
        AddError(Format("The model file %s has no system element.", strFile.c_str()));
        return strText;
    }
    std::string strSystemName;
    GetAttribute(system, "name", strSystemName, false);
    m_pEngine->m_strSystemName = strSystemName;

    // The engine's indexes point into the tree it is about to lose.
    m_pEngine->m_mapOperations.clear();
    m_pEngine->m_mapProcesses.clear();
    m_pEngine->m_mapBlocks.clear();
    auto pRoot = std::make_unique<CSDLBlock>();
    pRoot->m_strName = strSystemName;
    pRoot->m_nId = 0;
    pRoot->m_pEngine = m_pEngine;
    CSDLBlock* pRootBlock = pRoot.get();
    m_pEngine->SetRootAgent(std::move(pRoot));
    m_pEngine->m_strModelFolder = m_strModelFolder;
    m_pEngine->m_strModelPath = strFile;
    m_pEngine->m_strCodeBasePath = RemoveExtension(strFile);
    m_pEngine->m_strModelName = RemoveExtension(GetFileName(strFile));

    try {
        ReadBlockContents(pRootBlock, system);
    } catch (const CCustomException& e) {
        AddError(e.GetMessageText());
    }
    if (ReportCoincidingNames(*pRootBlock) || m_bSameNamedAgents) {
        DropModel();
    }
    m_vecSideDocuments.clear();
    m_setFilesInProgress.clear();
    return strText;
}

bool CSDLLoader::ReportCoincidingNames(const CSDLAgent& root) {
    CNameMap<const CSDLAgent*> mapNames;
    std::vector<std::pair<const CSDLAgent*, const CSDLAgent*>> vecClashes;
    CollectFullNames(&root, mapNames, vecClashes);
    for (const auto& [pFirst, pSecond] : vecClashes) {
        AddError(
            Format("The %s and the %s have the same full name %s: give one of them "
                   "another name.",
                   DescribeAgent(*pFirst).c_str(), DescribeAgent(*pSecond).c_str(),
                   pFirst->GetFullName(false).c_str()));
    }
    return !vecClashes.empty();
}

void CSDLLoader::DropModel() {
    m_mapLibraryKeys.clear();
    m_pEngine->m_mapOperations.clear();
    m_pEngine->m_mapProcesses.clear();
    m_pEngine->m_mapBlocks.clear();
    m_pEngine->SetRootAgent(nullptr);
    m_pEngine->m_strSystemName.clear();
    m_pEngine->m_strModelFolder.clear();
    m_pEngine->m_strModelPath.clear();
    m_pEngine->m_strCodeBasePath.clear();
    m_pEngine->m_strModelName.clear();
}

int CSDLLoader::ReadBlockContents(CSDLBlock* pAgent, CXMLNode element) {
    int nLevel = 0;
    for (const CSDLAgent* pAncestor = pAgent; pAncestor; pAncestor = pAncestor->m_pParent) {
        ++nLevel;
    }
    if (nLevel > LOADER_MAX_NESTING) {
        // Ends the whole load, with one message in the error text.
        CCustomException::ThrowError(
            Format("The model nests its blocks more than %d levels deep.", LOADER_MAX_NESTING));
    }
    for (const CXMLNode& mnca : FindChildren(element, "mnca")) {
        ReadMnca(pAgent, mnca);
    }
    if (!FindChild(element, "block")) {
        ReadProcesses(pAgent, element, CXMLNode());
        return 1;
    }
    for (const CXMLNode& block : FindChildren(element, "block")) {
        std::string strName, strId, strIP, strPort;
        GetAttribute(block, "name", strName, false);
        GetAttribute(block, "id", strId, false);
        GetAttribute(block, "IP", strIP, false);
        GetAttribute(block, "portRead", strPort, false);
        auto pNew = std::make_unique<CSDLBlock>();
        pNew->m_strName = strName;
        pNew->m_nId = StringToInt(strId);
        pNew->m_strIP = strIP;
        pNew->m_nPort = StringToInt(strPort);
        pNew->m_pParent = pAgent;
        pNew->m_pEngine = m_pEngine;
        if (CSDLBlock* pBlock = AttachBlock(pAgent, std::move(pNew))) {
            ReadBlockContents(pBlock, block);
        }
    }
    ReadChannels(pAgent, element);
    return 0;
}

CSDLBlock* CSDLLoader::AttachBlock(CSDLBlock* pParent, std::unique_ptr<CSDLBlock> pBlock) {
    if (!IsNameFree(pParent, pBlock->m_strName, pBlock->IsMnca() ? "automaton block" : "block",
                    false)) {
        return nullptr;
    }
    CSDLBlock* pAdded = pParent->AddBlock(std::move(pBlock));
    if (m_pEngine) {
        m_pEngine->m_mapBlocks[CSDLBlock::GetGlobalId(pAdded)] = pAdded;
    }
    return pAdded;
}

bool CSDLLoader::IsNameFree(const CSDLBlock* pParent, const std::string& strName,
                            const char* pszKind, bool bProcess) {
    if (!(bProcess ? static_cast<const CSDLAgent*>(pParent->GetProcess(strName))
                   : pParent->GetBlock(strName))) {
        return true;
    }
    const std::string strPlace =
        pParent->m_pParent ? DescribeAgent(*pParent) : "system " + pParent->m_strName;
    AddError(Format("The %s holds a second %s named %s in %s: give one of them another name.",
                    strPlace.c_str(), pszKind, strName.c_str(), m_strReadingFile.c_str()));
    m_bSameNamedAgents = true;
    return false;
}

void CSDLLoader::ForgetProcedure(CSDLProcedure* pProcedure) {
    // The body operations stay with the process, which owns them; they must
    // not keep the procedure that is about to go.
    for (CSDLOperation* pOperation = pProcedure->m_pBody; pOperation;
         pOperation = pOperation->m_pNext) {
        EraseValuesIf(m_mapLibraryKeys, [&](const CSDLOperation* p) { return p == pOperation; });
        pOperation->m_pProcedure = nullptr;
    }
    pProcedure->m_pBody = nullptr;
}

// ---- Automaton blocks ----------------------------------------------------------------------

CSDLmnca* CSDLLoader::ReadMnca(CSDLBlock* pParent, CXMLNode element) {
    std::string strName, strId, strIP, strPort;
    GetAttribute(element, "name", strName, false);
    GetAttribute(element, "id", strId, false);
    GetAttribute(element, "IP", strIP, false);
    GetAttribute(element, "portRead", strPort, false);
    auto pNew = std::make_unique<CSDLmnca>();
    CSDLmnca* pMnca = pNew.get();
    pMnca->m_strName = strName;
    pMnca->m_nId = StringToInt(strId);
    pMnca->m_strIP = strIP;
    pMnca->m_nPort = StringToInt(strPort);
    pMnca->m_pParent = pParent;
    pMnca->m_pEngine = m_pEngine;
    pMnca->SetMnca(true);

    std::vector<int> vecSizes;
    if (const CXMLNode dcls = FindChild(element, "DCLS")) {
        for (const CXMLNode& dcl : FindChildren(dcls, "DCL")) {
            std::string strDclName, strType, strValue;
            GetAttribute(dcl, "name", strDclName, false);
            GetAttribute(dcl, "type", strType, false);
            GetAttribute(dcl, "value", strValue, false);
            ReadMncaDeclaration(pMnca, strDclName, strValue, vecSizes);
        }
    }
    if (pMnca->GetNumCells() == 0) {
        if (!vecSizes.empty()) {
            bool bValid = true;
            int64_t nProduct = 1;
            for (int nSize : vecSizes) {
                // Below INT_MAX before each step, so the product fits.
                nProduct *= nSize;
                if (nSize < 0 || nProduct > INT_MAX) {
                    bValid = false;
                    break;
                }
            }
            if (!bValid) {
                // The per-cell state arrays of its processes could not be made.
                AddError(
                    Format("The dimensions of the automaton %s do not give a valid number "
                           "of cells.",
                           strName.c_str()));
            } else {
                pMnca->SetDimensions(vecSizes);
                pMnca->SetNumCells(static_cast<int>(nProduct));
            }
        } else {
            ShowMessage(
                "Dimensions of the MNCA not defined, you can define it by mnca_D1, mnca_D2 "
                "declarations or by a IDRISI layer called 'layer_main'");
        }
    }
    AddMncaLayerBlocks(pMnca, element);
    if (!AttachBlock(pParent, std::move(pNew))) {
        return nullptr;
    }
    ReadBlockContents(pMnca, element);
    return pMnca;
}

void CSDLLoader::ReadMncaDeclaration(CSDLmnca* pMnca, const std::string& strName,
                                     const std::string& strValue, std::vector<int>& vecSizes) {
    auto layerFile = [&](const std::string& strFile) {
        return JoinPath(m_strModelFolder, "data/" + NormalizeSlashes(strFile));
    };
    if (strName == "mnca_DIM") {
        if (StringToInt(strValue) == 2) {
            pMnca->SetNumDimensions(2);
        } else {
            ShowMessage("Number of dimensions not suported: " + strValue);
        }
    } else if (StartsWith(strName, "mnca_D")) {
        vecSizes.push_back(StringToInt(strValue));
    } else if (StartsWith(strName, "mnca_slayer_")) {
        const std::string strLayer = Mid(strName, 12, static_cast<int>(strName.size()) - 14);
        pMnca->AddLayer(strLayer, layerFile(strLayer));
    } else if (StartsWith(strName, "layer_")) {
        const std::string strTrimmed = Trim(strValue);
        if (strTrimmed.find("IDRISI(") == std::string::npos) {
            return;
        }
        const std::string strInner = Mid(strTrimmed, 7, static_cast<int>(strTrimmed.size()) - 8);
        if (IsQuoted(strInner)) {
            pMnca->AddLayer(strName, layerFile(StripQuotes(strInner)));
        } else if (IsNumericText(strInner)) {
            pMnca->AddDefaultLayer(strName, StringToDouble(strInner));
        }
    }
}

int CSDLLoader::AddMncaLayerBlocks(CSDLmnca* pMnca, CXMLNode element) {
    for (const CXMLNode& block : FindChildren(element, "block")) {
        std::string strName;
        GetAttribute(block, "name", strName, false);
        pMnca->AddDefaultLayer(strName, 0.0);
    }
    return 0;
}

// ---- Processes -----------------------------------------------------------------------------

int CSDLLoader::ReadProcesses(CSDLBlock* pAgent, CXMLNode element, CXMLNode outerProcess) {
    std::string strOuterName;
    if (outerProcess) {
        ReadAttribute(outerProcess, "name", strOuterName);
    }
    return ReadProcessesNamed(pAgent, element, outerProcess, strOuterName);
}

int CSDLLoader::ReadProcessesNamed(CSDLBlock* pAgent, CXMLNode element, CXMLNode outerProcess,
                                   const std::string& strOuterName) {
    const std::vector<CXMLNode> vecProcesses = FindChildren(element, "process");
    for (size_t n = 0; n < vecProcesses.size(); ++n) {
        const CXMLNode& process = vecProcesses[n];
        std::string strName, strId, strIP, strPort, strImplementation;
        if (outerProcess && n == 0) {
            // The process that the model file names takes the model file's
            // name, whatever the external file calls it.
            strName = strOuterName;
        } else {
            GetAttribute(process, "name", strName, false);
        }
        GetAttribute(process, "id", strId, false);
        GetAttribute(process, "IP", strIP, false);
        GetAttribute(process, "portRead", strPort, false);
        GetAttribute(process, "implementation", strImplementation, false);

        if (!strImplementation.empty()) {
            if (!EndsWithNoCase(strImplementation, "velko") &&
                !EndsWithNoCase(strImplementation, "sdl") &&
                !EndsWithNoCase(strImplementation, "sdlprocess")) {
                continue;
            }
            if (!IsNameFree(pAgent, strName, "process", true)) {
                continue;
            }
            std::string strOpened;
            CXMLNode root;
            const LoaderReadResult eResult =
                OpenExternalProcess(strImplementation, strOpened, root);
            if (eResult == LRR_NOT_OPENED || (eResult == LRR_OK && !root)) {
                ShowMessage("Can't find external Process: " + strImplementation);
                return 1;
            }
            if (eResult != LRR_OK) {
                return 1;  // in the error text already
            }
            const std::string strKey = FileKey(strOpened);
            m_setFilesInProgress.insert(strKey);
            const std::string strOuterFile = std::exchange(m_strOuterFile, m_strReadingFile);
            const std::string strFile = std::exchange(m_strReadingFile, strOpened);
            // Through a chain of external files the name stays the one the
            // model file gave.
            ReadProcessesNamed(pAgent, root, process, strName);
            m_strReadingFile = strFile;
            m_strOuterFile = strOuterFile;
            m_setFilesInProgress.erase(strKey);
            if (CSDLProcess* pBuilt = pAgent->GetProcess(strName)) {
                pBuilt->m_strImplementation = strImplementation;
            }
            continue;
        }

        if (!IsNameFree(pAgent, strName, "process", true)) {
            continue;
        }
        auto pNew = std::make_unique<CSDLProcess>();
        pNew->m_strName = strName;
        pNew->m_nId = StringToInt(strId);
        pNew->m_strIP = strIP;
        pNew->m_nPort = StringToInt(strPort);
        pNew->m_pParent = pAgent;
        pNew->m_pEngine = m_pEngine;
        CSDLProcess* pProcess = pAgent->AddProcess(std::move(pNew));
        if (m_pEngine) {
            m_pEngine->m_mapProcesses[pProcess->GetFullName(false)] = pProcess;
        }
        if (const CSDLmnca* pMnca = pAgent->GetMncaBlock()) {
            const size_t nCells = static_cast<size_t>(std::max(0, pMnca->GetNumCells()));
            try {
                // Two states per cell: refused before they are allocated
                // when they would crowd the machine.
                if (!MemoryCanHold(uint64_t{2} * nCells * sizeof(std::string))) {
                    throw std::bad_alloc();
                }
                pProcess->m_vecCellStates.assign(nCells, std::string());
                pProcess->m_vecNextCellStates.assign(nCells, std::string());
            } catch (const std::bad_alloc&) {
                // An automaton larger than the machine can hold is an error
                // of the model, not of the program.
                std::vector<std::string>().swap(pProcess->m_vecCellStates);
                std::vector<std::string>().swap(pProcess->m_vecNextCellStates);
                AddError(Format("Not enough memory for the %d cells of process %s.",
                                pMnca->GetNumCells(), pProcess->GetFullName(false).c_str()));
            }
        }
        ReadDeclarations(pProcess, process, m_strReadingFile);
        if (outerProcess) {
            ReadDeclarations(pProcess, outerProcess, m_strOuterFile);
        }
        ReadRepresentations(pProcess, process);
        RegisterBuiltInProcedures(pProcess);
        ReadProcedures(pProcess, process);
        ReadStates(pProcess, process);
    }
    ReadChannels(pAgent, element);
    return 0;
}

bool CSDLLoader::CheckDeclaredType(const std::string& strName, const std::string& strType,
                                   const std::string& strOwner, const std::string& strFile) {
    if (!ValueTypeOf(strType).empty()) {
        return true;
    }
    // The model library could not be built with it.
    AddError(
        Format("The variable %s of %s in %s has the type \"%s\", which is none of int, "
               "double and char*.",
               strName.c_str(), strOwner.c_str(), strFile.c_str(), strType.c_str()));
    return false;
}

int CSDLLoader::ReadDeclarations(CSDLProcess* pProcess, CXMLNode element,
                                 const std::string& strFile) {
    const std::string strOwner = "process " + pProcess->GetFullName(false);
    if (const CXMLNode dcls = FindChild(element, "DCLS")) {
        for (const CXMLNode& dcl : GetChildren(dcls)) {
            if (!IsElement(dcl)) {
                continue;
            }
            std::string strName, strType, strValue;
            GetAttribute(dcl, "name", strName, false);
            GetAttribute(dcl, "type", strType, false);
            GetAttribute(dcl, "value", strValue, false);
            if (CheckDeclaredType(strName, strType, strOwner, strFile) && !strValue.empty() &&
                !IsValueOfType(strType, strValue)) {
                AddError(RefusedValueLine(
                             strValue, strType,
                             "the variable " + strName + " of " + strOwner + " in " + strFile) +
                         ".");
            }
            pProcess->m_mapVariables[strName] =
                std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
            pProcess->m_mapDeclaredVariables[strName] =
                std::make_shared<CSDLParameter>(strType, strName, strValue, "no");
        }
    }
    std::string strDeclarations;
    for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
        strDeclarations +=
            Format("\t%s %s;\n", pVariable->m_strType.c_str(), pVariable->m_strName.c_str());
    }
    pProcess->m_strDeclarations = strDeclarations;
    return 1;
}

int CSDLLoader::ReadRepresentations(CSDLProcess* pProcess, CXMLNode element) {
    const CXMLNode representations = FindChild(element, "representations");
    if (!representations) {
        return 1;
    }
    if (const CXMLNode representation = FindChild(representations, "representation")) {
        GetAttribute(representation, "mesh", pProcess->m_strMesh, false);
        GetAttribute(representation, "posx", pProcess->m_strPosX, false);
        GetAttribute(representation, "posy", pProcess->m_strPosY, false);
        GetAttribute(representation, "posz", pProcess->m_strPosZ, false);
    }
    auto readSwitches = [&](const char* pszElement, bool& bSetState, bool& bInput, bool& bOutput) {
        const CXMLNode node = FindChild(representations, pszElement);
        if (!node) {
            return;
        }
        std::string strSetState, strInput, strOutput;
        GetAttribute(node, "setstate", strSetState, false);
        GetAttribute(node, "input", strInput, false);
        GetAttribute(node, "output", strOutput, false);
        if (strSetState == "no") {
            bSetState = false;
        }
        if (strInput == "no") {
            bInput = false;
        }
        if (strOutput == "no") {
            bOutput = false;
        }
    };
    readSwitches("trace", pProcess->m_bTraceSetState, pProcess->m_bTraceInput,
                 pProcess->m_bTraceOutput);
    readSwitches("traceanim", pProcess->m_bAnimSetState, pProcess->m_bAnimInput,
                 pProcess->m_bAnimOutput);
    return 1;
}

int CSDLLoader::ReadProcedures(CSDLProcess* pProcess, CXMLNode element) {
    const CXMLNode procedures = FindChild(element, "procedures");
    if (!procedures) {
        return 0;
    }
    for (const CXMLNode& node : GetChildren(procedures)) {
        if (!IsElement(node)) {
            continue;
        }
        std::string strName, strId, strImplementation;
        GetAttribute(node, "name", strName, false);
        GetAttribute(node, "id", strId, false);
        GetAttribute(node, "implementation", strImplementation, true);

        if (!strImplementation.empty()) {
            if (EndsWithNoCase(strImplementation, "velko") ||
                EndsWithNoCase(strImplementation, "sdl")) {
                const std::string strKey = FileKey(ResolvePathNoCase(strImplementation));
                if (const CXMLNode root = LoadProceduresFile(strImplementation)) {
                    m_setFilesInProgress.insert(strKey);
                    const std::string strFile =
                        std::exchange(m_strReadingFile, ResolvePathNoCase(strImplementation));
                    ReadProcedures(pProcess, root);
                    m_strReadingFile = strFile;
                    m_setFilesInProgress.erase(strKey);
                }
            }
            continue;
        }

        auto pNew = std::make_unique<CSDLProcedure>(strName, StringToInt(strId), std::string(),
                                                    pProcess, false);
        if (CSDLProcedure* pOld = pProcess->GetProcedure(strName)) {
            ForgetProcedure(pOld);
        }
        CSDLProcedure* pProcedure = pNew.get();
        pProcess->m_mapProcedures[strName] = std::move(pNew);
        const std::string strOwner =
            "procedure " + strName + " of process " + pProcess->GetFullName(false);

        std::string strDeclarations;
        if (const CXMLNode params = FindChild(node, "params")) {
            for (const CXMLNode& param : GetChildren(params)) {
                if (!IsElement(param)) {
                    continue;
                }
                std::string strParam, strType, strDefault, strRef;
                GetAttribute(param, "name", strParam, false);
                GetAttribute(param, "type", strType, false);
                GetAttribute(param, "defvalue", strDefault, false);
                GetAttribute(param, "ref", strRef, false);
                CheckDeclaredType(strParam, strType, strOwner, m_strReadingFile);
                pProcedure->m_mapFormals[strParam] =
                    std::make_unique<CSDLParameter>(strType, strParam, strDefault, strRef);
                strDeclarations += Format("\t%s %s;\n", strType.c_str(), strParam.c_str());
            }
        }
        pProcedure->m_strDeclarations = strDeclarations;

        std::string strLocals;
        if (const CXMLNode dcls = FindChild(node, "DCLS")) {
            for (const CXMLNode& dcl : GetChildren(dcls)) {
                if (!IsElement(dcl)) {
                    continue;
                }
                std::string strVar, strType, strValue;
                GetAttribute(dcl, "name", strVar, false);
                GetAttribute(dcl, "type", strType, false);
                GetAttribute(dcl, "value", strValue, false);
                CheckDeclaredType(strVar, strType, strOwner, m_strReadingFile);
                strLocals += Format("\t%s %s;\n", strType.c_str(), strVar.c_str());
            }
        }
        pProcedure->m_strLocalDeclarations = strLocals;

        const CXMLNode body = FindChild(node, "body");
        if (!body) {
            AddError(pProcess->ReportError(
                Format("The process %s do not have body.", pProcess->m_strName.c_str()),
                SDL_ERROR));
            continue;
        }
        pProcedure->m_bHasBody = true;
        bool bFailed = false;
        pProcedure->m_pBody = ReadChain(body, pProcess, pProcedure, std::string(), false, &bFailed);
        if (bFailed) {
            return 1;
        }
    }
    return 0;
}

int CSDLLoader::ReadStates(CSDLProcess* pProcess, CXMLNode element) {
    bool bFailed = false;
    if (const CXMLNode start = FindChild(element, "start")) {
        pProcess->m_pStartOperation = ReadChain(start, pProcess, nullptr, "start", false, &bFailed);
    }
    for (const CXMLNode& state : FindChildren(element, "state")) {
        std::string strState;
        GetAttribute(state, "name", strState, false);
        // A state's chain ends at an element that is no operation.
        CSDLOperation* pFirst = ReadChain(state, pProcess, nullptr, strState, true, &bFailed);
        if (pFirst) {
            pProcess->m_mapStates[strState] = pFirst;
        }
        if (m_pEngine) {
            for (CSDLOperation* pOperation = pFirst; pOperation; pOperation = pOperation->m_pNext) {
                m_pEngine->m_mapOperations[pOperation->GetCodeID()] = pOperation;
            }
        }
    }
    return 1;
}

CSDLOperation* CSDLLoader::ReadChain(CXMLNode element, CSDLProcess* pProcess,
                                     CSDLProcedure* pProcedure, const std::string& strState,
                                     bool bEndAtUnknown, bool* pFailed) {
    CSDLOperation* pFirst = nullptr;
    CSDLOperation* pLast = nullptr;
    struct CRestore {
        CSDLProcedure*& rProcedure;
        CSDLProcedure* pOuter;
        ~CRestore() { rProcedure = pOuter; }
    } restore{m_pReadingProcedure, std::exchange(m_pReadingProcedure, pProcedure)};
    for (const CXMLNode& child : GetChildren(element)) {
        const std::string strTag = child.GetNodeName();
        if (strTag == "#comment") {
            continue;
        }
        bool bKnown = true;
        std::unique_ptr<CSDLOperation> pOperation =
            ReadOperation(strTag, child, pProcess, pProcedure != nullptr, bKnown);
        if (!bKnown) {
            ShowMessage("Unknown tag type: " + strTag);
            if (bEndAtUnknown) {
                break;
            }
            continue;
        }
        if (!pOperation) {
            if (pProcedure) {
                *pFailed = true;
                break;
            }
            continue;
        }
        pOperation->m_pProcedure = pProcedure;
        if (!pProcedure) {
            pOperation->m_strStateName = strState;
        }
        CSDLOperation* pAdded = pProcess->AddOperation(std::move(pOperation));
        if (pLast) {
            pLast->m_pNext = pAdded;
        } else {
            pFirst = pAdded;
        }
        pLast = pAdded;
        NoteLibraryKey(pAdded);
    }
    return pFirst;
}

void CSDLLoader::NoteLibraryKey(CSDLOperation* pOperation) {
    if (pOperation->m_strType != "decision" && pOperation->m_strType != "task") {
        return;
    }
    const std::string strCodeId = pOperation->GetCodeID();
    auto [it, bInserted] =
        m_mapLibraryKeys.emplace(pOperation->m_strType + ":" + strCodeId, pOperation);
    if (bInserted || it->second == pOperation) {
        return;
    }
    const CSDLOperation* pEarlier = it->second;
    auto ownerName = [](const CSDLOperation* p) {
        return p->m_pOwner ? p->m_pOwner->GetFullName(false) : std::string();
    };
    AddWarning(
        Format("The %s %d of process %s and the %s %d of process %s have the same code ID "
               "%s: the model library would run one branch for both.",
               pEarlier->m_strType.c_str(), pEarlier->m_nId, ownerName(pEarlier).c_str(),
               pOperation->m_strType.c_str(), pOperation->m_nId, ownerName(pOperation).c_str(),
               strCodeId.c_str()));
    it->second = pOperation;
}
