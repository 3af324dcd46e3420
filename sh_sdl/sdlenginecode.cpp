// Code generation and build of the model library: the C source that holds
// every decision condition, task code and model variable of the loaded
// model, its C++ form, and the compile and link steps.
//
// While the code is assembled a variable is named by a placeholder
// "SDL<n>DCL"; the finished C file names it by its qualified name
// (FormatQualifiedName), which is also what the run-time accessors look up.

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"

namespace {

const char* const HEADER_FOLDER_NAME = "SDLCodeExternal";
const char* const TAG_DECISION = "decision";
const char* const TAG_TASK = "task";

const std::string SLASHES(79, '/');

// The generated files are ours and read only by gcc: UTF-8 with "\n" line
// ends, the exported functions visible from the shared library.
const char* const EXPORT_BLOCK =
    "#ifdef BUILD_DLL\n/* DLL export */\n"
    "#define SDLCODE_EXPORT __attribute__((visibility(\"default\")))\n"
    "#else\n/* EXE import */\n#define SDLCODE_EXPORT\n#endif\n\n";
const char* const STANDARD_INCLUDES = "#include <stdio.h>\n#include <string.h>\n";
const char* const GET_COMMENT =
    "// Create Get functions - create a get function for each variable of the model.\n";
const char* const SET_COMMENT =
    "// Create Set functions - create a set function for each variable of the model.\n";
const char* const INI_COMMENT = "// CreateSDLCode - create an instance of the class CSDLCode\n";
const char* const DECISION_HEAD = "// Allows to evaluate the decisions of the SDL model\n";
const char* const TASK_HEAD = "// Allows to evaluate the tasks of the SDL model\n";
const char* const BODY_COMMENT =
    "\t//En funci\xC3\xB3 del ID del condicional el fitxer generat tindr\xC3\xA0 un codi o un "
    "altre.\n";

const char* const MSG_CODE_FILE = "Unable to create the code file (.c)";

// ---- Declarations texts --------------------------------------------------------------

struct CDeclaration {
    std::string strType;
    std::string strName;
};

// The items "<type> <name>;" of a declarations text, in order. A remainder
// shorter than two characters, or without ";", ends the list. The text is
// walked by index: a model's whole declarations text holds tens of
// thousands of items.
std::vector<CDeclaration> SplitDeclarations(std::string_view strDeclarations) {
    std::vector<CDeclaration> vecOut;
    size_t nPos = 0;
    while (strDeclarations.size() - nPos >= 2) {
        const size_t nEnd = strDeclarations.find(';', nPos);
        if (nEnd == std::string_view::npos) {
            break;
        }
        const std::string_view strItem = TrimView(strDeclarations.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
        const size_t nBlank = strItem.find(' ');
        CDeclaration decl;
        if (nBlank == std::string_view::npos) {
            decl.strName = strItem;
        } else {
            decl.strType = TrimView(strItem.substr(0, nBlank));
            decl.strName = TrimView(strItem.substr(nBlank + 1));
        }
        vecOut.push_back(std::move(decl));
    }
    return vecOut;
}

// The declarations with repeated items left out. Variables whose qualified
// names coincide (procedures of one process under one number, a formal
// named like a local) are one global with one getter and one setter; one
// name declared with two types stays twice, for the compiler to refuse.
std::string WithoutRepeats(const std::string& strDeclarations) {
    std::set<std::pair<std::string, std::string>> setSeen;
    std::string strOut;
    for (const CDeclaration& decl : SplitDeclarations(strDeclarations)) {
        if (setSeen.emplace(decl.strType, decl.strName).second) {
            strOut += decl.strType + " " + decl.strName + ";\n";
        }
    }
    return strOut;
}

// Calls fn(declarations, owner) for every declarations text of the subtree
// of pAgent, in the order of the generated file: each process's variables,
// then each of its procedures' locals and formals.
//
// A built-in procedure's formals are read and written only by the calls of
// that procedure in its own process, so every process keeps them only for
// the built-ins it calls: the eleven built-ins of every process would
// otherwise be most of a large model's library (31 variables, each with a
// getter and a setter, against a few of the model's own).
template <class Fn>
void ForEachDeclarations(const CSDLAgent* pAgent, Fn fn) {
    if (!pAgent) {
        return;
    }
    for (const auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        ForEachDeclarations(pBlock.get(), fn);
    }
    for (const auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        if (!pProcess) {
            continue;
        }
        fn(pProcess->m_strDeclarations, pProcess->GetFullName(false));
        for (const auto& [strName, pProcedure] : pProcess->m_mapProcedures) {
            if (pProcedure && (!pProcedure->m_bBuiltIn || pProcess->CallsProcedure(strName))) {
                const std::string strInstance = pProcedure->GetInstanceName();
                fn(pProcedure->m_strLocalDeclarations, strInstance);
                fn(pProcedure->m_strDeclarations, strInstance);
            }
        }
    }
}

bool IsDigitChar(char ch) {
    return ch >= '0' && ch <= '9';
}

// The variables of the model whose C names would not compile: two distinct
// variables (name and owner) that meet in one C name, and names that are no
// C identifier. One line per problem, naming the variables; "" when none.
std::string FindUnusableVariableNames(const CSDLAgent* pRoot) {
    std::map<std::string, std::pair<std::string, std::string>> mapSeen;
    std::set<std::string> setReported;
    std::string strProblems;
    ForEachDeclarations(
        pRoot, [&](const std::string& strDeclarations, const std::string& strOwner) {
            for (const CDeclaration& decl : SplitDeclarations(strDeclarations)) {
                const std::string strName = CSDLEngine::FormatQualifiedName(decl.strName, strOwner);
                if (!setReported.insert(decl.strName + "\n" + strOwner).second) {
                    continue;
                }
                if (strName.empty() || IsDigitChar(strName[0])) {
                    strProblems += Format(
                        "The variable %s of %s would be named %s in the model library, which is no "
                        "C name.\n",
                        decl.strName.c_str(), strOwner.c_str(), strName.c_str());
                    continue;
                }
                auto [it, bNew] = mapSeen.emplace(strName, std::make_pair(decl.strName, strOwner));
                if (!bNew) {
                    strProblems += Format(
                        "The variables %s of %s and %s of %s would both be named %s in the model "
                        "library.\n",
                        it->second.first.c_str(), it->second.second.c_str(), decl.strName.c_str(),
                        strOwner.c_str(), strName.c_str());
                }
            }
        });
    return strProblems;
}

// ---- C text ----------------------------------------------------------------------------

// The text as the contents of a C string literal.
std::string EscapeCString(const std::string& str) {
    std::string strOut;
    strOut.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(str[i]);
        switch (ch) {
            case '"':
                strOut += "\\\"";
                break;
            case '\\':
                strOut += "\\\\";
                break;
            case '\n':
                strOut += "\\n";
                break;
            case '\r':
                strOut += "\\r";
                break;
            case '\t':
                strOut += "\\t";
                break;
            case '?':
                // "??x" could be read as a trigraph by a strict compiler.
                strOut += (i + 1 < str.size() && str[i + 1] == '?') ? "?\\" : "?";
                break;
            default:
                if (ch < 0x20 || ch == 0x7F) {
                    // Octal escapes take at most three digits, so a digit
                    // that follows cannot join the escape.
                    strOut += Format("\\%03o", static_cast<unsigned>(ch));
                } else {
                    strOut += static_cast<char>(ch);
                }
        }
    }
    return strOut;
}

bool IsIdentStart(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
}

bool IsIdentChar(char ch) {
    return IsIdentStart(ch) || (ch >= '0' && ch <= '9');
}

bool IsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// True for "SDL<digits>DCL" starting at nPos; nEnd receives its end.
bool MatchPlaceholder(const std::string& str, size_t nPos, size_t& nEnd) {
    if (str.compare(nPos, 3, "SDL") != 0) {
        return false;
    }
    size_t i = nPos + 3;
    const size_t nDigits = i;
    while (i < str.size() && IsDigit(str[i])) {
        ++i;
    }
    if (i == nDigits || str.compare(i, 3, "DCL") != 0) {
        return false;
    }
    nEnd = i + 3;
    return true;
}

bool IsPlaceholder(const std::string& strIdent) {
    size_t nEnd = 0;
    return MatchPlaceholder(strIdent, 0, nEnd) && nEnd == strIdent.size();
}

// Walks C text and hands every identifier outside literals and comments to
// fnIdent(text, start, length, out), which appends its replacement; all
// other text is copied unchanged.
template <class F>
std::string RewriteIdentifiers(const std::string& strText, F fnIdent) {
    std::string strOut;
    strOut.reserve(strText.size());
    const size_t n = strText.size();
    size_t i = 0;
    while (i < n) {
        const char ch = strText[i];
        const char chNext = i + 1 < n ? strText[i + 1] : '\0';
        size_t j = i + 1;
        if (ch == '"' || ch == '\'') {
            // A literal ends at its closing quote; an unterminated one at
            // the end of its line.
            while (j < n && strText[j] != ch && strText[j] != '\n') {
                j += strText[j] == '\\' ? 2 : 1;
            }
            j = std::min(n, j < n && strText[j] == ch ? j + 1 : j);
        } else if (ch == '/' && chNext == '/') {
            j = strText.find('\n', i);
            j = j == std::string::npos ? n : j;
        } else if (ch == '/' && chNext == '*') {
            j = strText.find("*/", i + 2);
            j = j == std::string::npos ? n : j + 2;
        } else if (IsDigit(ch) || (ch == '.' && IsDigit(chNext))) {
            // A number with its suffix or exponent ("10L", "1e-5f").
            while (j < n && (IsIdentChar(strText[j]) || strText[j] == '.' ||
                             ((strText[j] == '+' || strText[j] == '-') &&
                              (strText[j - 1] == 'e' || strText[j - 1] == 'E' ||
                               strText[j - 1] == 'p' || strText[j - 1] == 'P')))) {
                ++j;
            }
        } else if (IsIdentStart(ch)) {
            while (j < n && IsIdentChar(strText[j])) {
                ++j;
            }
            fnIdent(strText, i, j - i, strOut);
            i = j;
            continue;
        }
        strOut.append(strText, i, j - i);
        i = j;
    }
    return strOut;
}

// The length of the "@." operator word at the front of an identifier that
// follows "@." (the order of TranslateOperators: "p", "GE", "LE", "G", "L");
// 0 when it starts with none.
size_t OperatorWordLength(std::string_view strIdent) {
    for (const char* pszWord : {"p", "GE", "LE", "G", "L"}) {
        if (strIdent.starts_with(pszWord)) {
            return std::char_traits<char>::length(pszWord);
        }
    }
    return 0;
}

// True when the identifier at nPos is the member name of a "." or "->".
bool IsMemberName(const std::string& strText, size_t nPos) {
    size_t i = nPos;
    while (i > 0 && (strText[i - 1] == ' ' || strText[i - 1] == '\t')) {
        --i;
    }
    if (i >= 1 && strText[i - 1] == '.') {
        return true;
    }
    return i >= 2 && strText[i - 1] == '>' && strText[i - 2] == '-';
}

// ---- Files -------------------------------------------------------------------------------

// True when the file at strPath is a build's to write over: there is none,
// it is empty, or a build wrote it. Such a file starts with
// SDL_GENERATED_LINE; one written before that line was added is told by what
// the generator wrote for its kind: a C source starts with include lines and
// the export block; a C++ source with its include lines, an empty line, the
// variables' declarations and the wrapper functions' banner; a header is
// nothing but the blocks' empty classes.
bool IsGeneratedFile(const std::string& strPath) {
    if (!FileExists(strPath)) {
        return true;
    }
    std::ifstream file(strPath, std::ios::binary);
    if (!file) {
        return false;  // what cannot be read cannot be told apart
    }
    // The include line names the header folder's full path.
    std::string strHead(8192, '\0');
    file.read(strHead.data(), static_cast<std::streamsize>(strHead.size()));
    strHead.resize(static_cast<size_t>(file.gcount()));
    if (strHead.empty() || strHead.starts_with(SDL_GENERATED_LINE)) {
        return true;
    }
    if (strPath.ends_with(".h")) {
        // One "class CBlock_<name>{\n}" per block of the root, nothing else.
        if (!file.eof()) {
            return false;
        }
        const std::string_view strClass = "class CBlock_";
        for (std::string_view strRest = strHead; !strRest.empty();) {
            const size_t nEnd = strRest.find("{\n}");
            if (!strRest.starts_with(strClass) || nEnd == std::string_view::npos ||
                strRest.substr(0, nEnd).find_first_of("{}\n") != std::string_view::npos) {
                return false;
            }
            strRest.remove_prefix(nEnd + 3);
        }
        return true;
    }
    size_t nPos = 0;
    while (strHead.compare(nPos, 9, "#include ") == 0) {
        nPos = strHead.find('\n', nPos);
        if (nPos == std::string::npos) {
            return false;
        }
        ++nPos;
    }
    if (nPos == 0) {
        return false;
    }
    if (!strPath.ends_with(".cpp")) {
        return std::string_view(strHead).substr(nPos).starts_with(EXPORT_BLOCK);
    }
    // The declarations are read line by line up to the banner, however long
    // they are: each one a "type name;" line.
    const std::string strBanner = "// Class wrapper functions";
    file.clear();
    file.seekg(static_cast<std::streamoff>(nPos));
    std::string strLine;
    if (!std::getline(file, strLine) || !strLine.empty()) {
        return false;
    }
    while (std::getline(file, strLine) && !strLine.empty()) {
        if (!strLine.ends_with(';') || strLine.find_first_of("#(){}") != std::string::npos) {
            return false;
        }
    }
    std::string strSlashes, strTitle;
    return std::getline(file, strSlashes) && strSlashes == SLASHES &&
           std::getline(file, strTitle) && strTitle == strBanner;
}

// A code file that the build will not write, with the reason: said once,
// with no failure to report beside it.
class CCodeRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws, naming the file, when a build must not write over it.
void RefuseForeignFile(const std::string& strPath) {
    if (!IsGeneratedFile(strPath)) {
        throw CCodeRefused(
            Format("The build does not write over \"%s\": it is not a file the build generated. "
                   "Move or rename it (the generated files are named after the model or its "
                   "parametrization file), then build again.",
                   strPath.c_str()));
    }
}

// Creates or truncates a generated file; throws when it cannot.
std::ofstream CreateFile(const std::string& strPath) {
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    if (!file) {
        const int nError = errno;
        CCustomException::ThrowError(Format("cannot create \"%s\": %s", strPath.c_str(),
                                            GetSystemErrorText(nError).c_str()));
    }
    return file;
}

void WriteAndClose(std::ofstream& file, const std::string& strPath, const std::string& strText) {
    file.write(strText.data(), static_cast<std::streamsize>(strText.size()));
    file.close();
    if (file.fail()) {
        const int nError = errno;
        CCustomException::ThrowError(
            Format("cannot write \"%s\": %s", strPath.c_str(), GetSystemErrorText(nError).c_str()));
    }
}

// ---- Walks ---------------------------------------------------------------------------------

// Stores every operation of the chain from pFirst whose tag is strType.
void CollectChain(CNameMap<CSDLOperation*>& mapOut, CSDLOperation* pFirst,
                  const std::string& strType) {
    std::set<const CSDLOperation*> setSeen;
    for (CSDLOperation* pOp = pFirst; pOp && setSeen.insert(pOp).second; pOp = pOp->m_pNext) {
        if (pOp->m_strType == strType) {
            mapOut[pOp->GetCodeID()] = pOp;
        }
    }
}

// The code of an operation with the names it may use replaced by their
// placeholders: its procedure's formals and locals first, then its
// process's variables (a decision in a procedure body tests them as its
// tasks do).
std::string SubstituteOwnNames(CSDLEngine& engine, const CSDLOperation& op, std::string strCode) {
    if (const CSDLProcedure* pProcedure = op.m_pProcedure) {
        strCode = engine.SubstituteVariableNames(
            strCode, pProcedure->m_strDeclarations + pProcedure->m_strLocalDeclarations,
            pProcedure->GetInstanceName());
    }
    if (const CSDLProcess* pOwner = op.m_pOwner) {
        strCode = engine.SubstituteVariableNames(strCode, pOwner->m_strDeclarations,
                                                 pOwner->GetFullName(false));
    }
    return strCode;
}

// The test of a block of GetModelDecision or GetModelTask: the code key.
std::string CodeTest(const std::string& strKey) {
    return "\tif (strcmp(ID,\"" + EscapeCString(strKey) + "\") == 0)\n";
}

// What a block runs when its test holds.
std::string CodeBody(const std::string& strBody) {
    return "\t{\n\t\t" + strBody + "\n\t};\n";
}

// One block of GetModelDecision or GetModelTask: the code key it answers
// and what it runs.
struct CCodeBlock {
    std::string strKey;
    std::string strBody;
};
using CCodeBlocks = std::vector<CCodeBlock>;

CCodeBlocks DecisionBlocks(CSDLEngine& engine) {
    CNameMap<CSDLOperation*> mapDecisions;
    engine.CollectOperations(mapDecisions, engine.GetRootAgent(), TAG_DECISION);
    CCodeBlocks vecOut;
    for (const auto& [strKey, pOp] : mapDecisions) {
        if (const auto* pDecision = dynamic_cast<const CSDLOperationDecision*>(pOp)) {
            const std::string strCondition = SubstituteOwnNames(
                engine, *pDecision, CSDLEngine::TranslateOperators(pDecision->m_strCondition));
            vecOut.push_back(
                {strKey, CodeBody("if(" + strCondition + ")\n\t\t\treturn " +
                                  IntToString(pDecision->m_nIfTrue) + ";\n\t\telse\n\t\t\treturn " +
                                  IntToString(pDecision->m_nIfFalse) + ";")});
        }
    }
    return vecOut;
}

CCodeBlocks TaskBlocks(CSDLEngine& engine) {
    CNameMap<CSDLOperation*> mapTasks;
    engine.CollectOperations(mapTasks, engine.GetRootAgent(), TAG_TASK);
    CCodeBlocks vecOut;
    for (const auto& [strKey, pOp] : mapTasks) {
        if (const auto* pTask = dynamic_cast<const CSDLOperationTask*>(pOp)) {
            vecOut.push_back({strKey, CodeBody(CSDLEngine::TranslateOperators(
                                          SubstituteOwnNames(engine, *pTask, pTask->m_strCode)))});
        }
    }
    return vecOut;
}

// The body of GetModelDecision or GetModelTask.
std::string DispatchBody(const CCodeBlocks& vecBlocks) {
    std::string strOut;
    for (const CCodeBlock& block : vecBlocks) {
        strOut += CodeTest(block.strKey) + block.strBody;
    }
    return strOut + "\treturn 0;\n";
}

// What follows GetModelDecision or GetModelTask (strKind "Decision" or
// "Task"): a function that runs, under the index of each code ID, the blocks
// of that ID as the dispatch function has them, in its order, and so
// answers for that ID as it does; then the table of the code IDs, which the
// engine reads at load to reach an operation without comparing its ID with
// every other. A case is only entered with a copy of its code ID, which
// passes the test of its first block: the test is left out there (gcc takes
// half as long over the section); later blocks of the ID keep theirs, as
// the code before may have written to ID. One function with a case per ID
// compiles faster than a function per ID.
std::string DirectEntries(const CCodeBlocks& vecBlocks, const std::string& strKind,
                          const std::string& strPrefix) {
    std::vector<std::pair<std::string, std::string>> vecIds;  // code ID, its blocks
    std::map<std::string, size_t> mapIndex;
    for (const CCodeBlock& block : vecBlocks) {
        auto [it, bNew] = mapIndex.emplace(block.strKey, vecIds.size());
        if (bNew) {
            vecIds.emplace_back(block.strKey, block.strBody);
        } else {
            vecIds[it->second].second += CodeTest(block.strKey) + block.strBody;
        }
    }
    std::string strCases;
    std::string strIds;
    for (size_t i = 0; i < vecIds.size(); ++i) {
        strCases += "\tcase " + IntToString(static_cast<int>(i)) + ":\n\t{\n" + vecIds[i].second +
                    "\t\treturn 0;\n\t}\n";
        strIds += "\t\"" + EscapeCString(vecIds[i].first) + "\",\n";
    }
    return "// Direct entries of the " + strKind +
           " blocks: the blocks of each code ID under its index\n" + strPrefix + "int " + strKind +
           "Entry(int nIndex, char* ID)\n{\n\tswitch (nIndex)\n\t{\n" + strCases +
           "\t}\n\treturn 0;\n}\n\n" + strPrefix + "int " + strKind +
           "EntryCount = " + IntToString(static_cast<int>(vecIds.size())) + ";\n" + strPrefix +
           "const char* " + strKind + "EntryIDs[] = {\n" + strIds + "\t0\n};\n\n";
}

// The getter and setter functions of the declared variables.
std::string AccessorFunctions(const std::string& strDeclarations, bool bGetters, bool bCppForm) {
    const std::string strPrefix = bCppForm ? std::string() : "SDLCODE_EXPORT ";
    const std::string strSecondBanner = bCppForm ? SLASHES + "\n" : std::string();
    std::string strOut;
    for (const CDeclaration& decl : SplitDeclarations(strDeclarations)) {
        const std::string& t = decl.strType;
        const std::string& n = decl.strName;
        if (bGetters) {
            strOut += SLASHES + "\n" + GET_COMMENT + strSecondBanner + strPrefix + t + " Get" + n +
                      "()\n{\n\treturn " + n + ";\n}\n\n";
        } else {
            strOut += SLASHES + "\n" + SET_COMMENT + strSecondBanner + strPrefix + t + " Set" + n +
                      "(" + t + " Set_" + n + ")\n{\n\t" + n + " = Set_" + n + ";" +
                      (bCppForm ? "\n\t return " : "\n\treturn ") + n + ";\n}\n\n";
        }
    }
    return strOut;
}

// Everything after the include and export blocks, for the model under
// pRoot: the declarations, the accessors, IniModel, GetModelName,
// GetModelDecision and GetModelTask. The C++ form exports nothing and
// closes each function banner with a second line of slashes.
std::string ModelFunctions(CSDLEngine& engine, const CSDLAgent* pRoot, bool bCppForm) {
    const std::string strPrefix = bCppForm ? std::string() : "SDLCODE_EXPORT ";
    const std::string strBannerEnd = bCppForm ? SLASHES + "\n" : std::string();
    const std::string strModelName = EscapeCString(engine.m_strSystemName);
    const std::string strDeclarations = WithoutRepeats(engine.BuildDeclarations(pRoot));
    std::string strText = strDeclarations;
    strText += "\n" + SLASHES + "\n// Class wrapper functions\n" + SLASHES + "\n\n";
    strText += AccessorFunctions(strDeclarations, true, bCppForm);
    strText += "\n";
    strText += AccessorFunctions(strDeclarations, false, bCppForm);
    strText += "\n" + SLASHES + "\n" + INI_COMMENT + strBannerEnd + strPrefix +
               "char* IniModel()\n{\n" + engine.BuildInitialisers(pRoot) + "\treturn \"" +
               strModelName + "\";\n}\n\n\n" + SLASHES + "\n" + INI_COMMENT + strBannerEnd +
               strPrefix + "char* GetModelName()\n{\n\treturn \"" + strModelName + "\";\n}\n\n";
    // Decisions before tasks: the order in which new placeholders are numbered.
    const CCodeBlocks vecDecisions = DecisionBlocks(engine);
    strText += DECISION_HEAD + strPrefix + "int GetModelDecision(char* ID)\n{\n" + BODY_COMMENT +
               DispatchBody(vecDecisions) + "}\n\n";
    const CCodeBlocks vecTasks = TaskBlocks(engine);
    strText += TASK_HEAD + strPrefix + "int GetModelTask(char* ID)\n{\n" + BODY_COMMENT +
               DispatchBody(vecTasks) + "}\n\n";
    strText += DirectEntries(vecDecisions, "Decision", strPrefix) +
               DirectEntries(vecTasks, "Task", strPrefix);
    return strText;
}

}  // namespace

// ---- Names ------------------------------------------------------------------------------------

std::string CSDLEngine::GetPlaceholderName(const std::string& strVariable,
                                           const std::string& strOwner) {
    const std::string strKey = FormatQualifiedName(strVariable, strOwner);
    auto it = m_mapDCLNames.find(strKey);
    if (it != m_mapDCLNames.end()) {
        return it->second;
    }
    ++m_nDCLCounter;
    std::string strPlaceholder = Format("SDL%dDCL", m_nDCLCounter);
    m_mapDCLNames[strKey] = strPlaceholder;
    return strPlaceholder;
}

std::string CSDLEngine::SubstituteVariableNames(const std::string& strExpression,
                                                const std::string& strDeclarations,
                                                const std::string& strOwner) {
    std::vector<std::string> vecNames;
    for (CDeclaration& decl : SplitDeclarations(strDeclarations)) {
        if (!decl.strName.empty()) {
            vecNames.push_back(std::move(decl.strName));
        }
    }
    // Longest first, equal lengths in declaration order: the order in which
    // new placeholders are numbered.
    std::stable_sort(
        vecNames.begin(), vecNames.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    std::map<std::string, std::string, std::less<>> mapNames;
    for (const std::string& strName : vecNames) {
        mapNames.emplace(strName, GetPlaceholderName(strName, strOwner));
    }
    if (mapNames.empty()) {
        return strExpression;
    }

    auto lookup = [&](std::string_view strIdent, std::string& strOut) {
        auto it = mapNames.find(strIdent);
        if (it != mapNames.end() && !IsPlaceholder(std::string(strIdent))) {
            strOut += it->second;
        } else {
            strOut += strIdent;
        }
    };
    return RewriteIdentifiers(strExpression, [&](const std::string& strText, size_t nPos,
                                                 size_t nLen, std::string& strOut) {
        std::string_view strIdent(strText.data() + nPos, nLen);
        if (nPos >= 2 && strText[nPos - 1] == '.' && strText[nPos - 2] == '@') {
            // The letters of an operator word are not a name; what
            // follows them directly ("@.Gx") is.
            const size_t nWord = OperatorWordLength(strIdent);
            strOut += strIdent.substr(0, nWord);
            strIdent.remove_prefix(nWord);
            if (strIdent.empty() || !IsIdentStart(strIdent.front())) {
                strOut += strIdent;
                return;
            }
            if (nWord == 0) {
                strOut += strIdent;  // "@.name" is no operator: a member
                return;
            }
            lookup(strIdent, strOut);
            return;
        }
        if (IsMemberName(strText, nPos)) {
            strOut += strIdent;
            return;
        }
        lookup(strIdent, strOut);
    });
}

std::string CSDLEngine::RestoreQualifiedNames(const std::string& strText) const {
    std::map<std::string, std::string, std::less<>> mapQualified;
    for (const auto& [strQualified, strPlaceholder] : m_mapDCLNames) {
        mapQualified[strPlaceholder] = strQualified;
    }
    if (mapQualified.empty()) {
        return strText;
    }
    // One pass: a qualified name put in is never read again, so a variable
    // whose own name looks like a placeholder cannot be rewritten twice.
    // Placeholders stand alone or inside the accessor names ("GetSDL1DCL").
    return RewriteIdentifiers(
        strText, [&](const std::string& str, size_t nPos, size_t nLen, std::string& strOut) {
            const size_t nEndIdent = nPos + nLen;
            size_t i = nPos;
            while (i < nEndIdent) {
                size_t nEnd = 0;
                if (str[i] == 'S' && MatchPlaceholder(str, i, nEnd) && nEnd <= nEndIdent) {
                    auto it = mapQualified.find(std::string_view(str.data() + i, nEnd - i));
                    if (it != mapQualified.end()) {
                        strOut += it->second;
                        i = nEnd;
                        continue;
                    }
                }
                strOut += str[i];
                ++i;
            }
        });
}

std::string CSDLEngine::TranslateOperators(const std::string& strExpression) {
    std::string strOut = strExpression;
    ReplaceAll(strOut, "@.p", "&");
    ReplaceAll(strOut, "@.GE", ">=");
    ReplaceAll(strOut, "@.LE", "<=");
    ReplaceAll(strOut, "@.G", ">");
    ReplaceAll(strOut, "@.L", "<");
    return strOut;
}

CSDLProcess* CSDLEngine::FindProcess(const std::string& strName) {
    size_t nFirst = strName.find_first_not_of('\'');
    std::string strBare;
    if (nFirst != std::string::npos) {
        const size_t nLast = strName.find_last_not_of('\'');
        strBare = strName.substr(nFirst, nLast - nFirst + 1);
    }
    if (CSDLProcess* pProcess = FindIn(m_mapProcesses, strBare)) {
        return pProcess;
    }
    std::string strMessage =
        Format("We didn't find the process %s, is its name (PID) correct?", strBare.c_str());
    for (const auto& [strKey, pProcess] : m_mapProcesses) {
        strMessage += "\n" + strKey;
    }
    if (m_pRootAgent) {
        m_pRootAgent->ReportError(strMessage, SDL_ERROR);
    }
    return nullptr;
}

// ---- Walks of the model ----------------------------------------------------------------------

std::string CSDLEngine::DeclareVariables(const std::string& strDeclarations,
                                         const std::string& strOwner) {
    std::string strOut;
    for (const CDeclaration& decl : SplitDeclarations(strDeclarations)) {
        strOut += decl.strType + " " + GetPlaceholderName(decl.strName, strOwner) + ";\n";
    }
    return strOut;
}

std::string CSDLEngine::BuildDeclarations(const CSDLAgent* pAgent) {
    std::string strOut;
    ForEachDeclarations(pAgent,
                        [&](const std::string& strDeclarations, const std::string& strOwner) {
                            strOut += DeclareVariables(strDeclarations, strOwner);
                        });
    return strOut;
}

std::string CSDLEngine::BuildInitialisers(const CSDLAgent* pAgent) const {
    std::string strOut;
    if (!pAgent) {
        return strOut;
    }
    for (const auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        strOut += BuildInitialisers(pBlock.get());
    }
    for (const auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        if (!pProcess) {
            continue;
        }
        const std::string strOwner = pProcess->GetFullName(false);
        for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
            // The model's own value (a run's never becomes it), as a literal
            // that gives back the same value: never the text itself, which
            // could be any C.
            const std::string& strValue = pVariable ? pVariable->m_strSourceText : std::string();
            if (strValue.empty()) {
                continue;
            }
            const std::string strIdent = FormatQualifiedName(pVariable->m_strName, strOwner);
            if (pVariable->HasType("char*")) {
                strOut +=
                    "\t" + strIdent + " = \"" + EscapeCString(StripQuotes(strValue)) + "\";\n";
            } else if (IsValueOfType(pVariable->m_strType, strValue)) {
                strOut += "\t" + strIdent + " = " + CanonicalValue(pVariable->m_strType, strValue) +
                          ";\n";
            } else {
                throw CCodeRefused(RefusedValueLine(strValue, pVariable->m_strType,
                                                    "the variable " + pVariable->m_strName +
                                                        " of process " + strOwner) +
                                   ": the code is not written.");
            }
        }
    }
    return strOut;
}

void CSDLEngine::CollectOperations(CNameMap<CSDLOperation*>& mapOut, const CSDLAgent* pAgent,
                                   const std::string& strType) const {
    if (!pAgent) {
        return;
    }
    for (const auto& [strKey, pBlock] : pAgent->m_mapBlocks) {
        CollectOperations(mapOut, pBlock.get(), strType);
    }
    for (const auto& [strKey, pProcess] : pAgent->m_mapProcesses) {
        if (!pProcess) {
            continue;
        }
        for (const auto& [strState, pFirst] : pProcess->m_mapStates) {
            CollectChain(mapOut, pFirst, strType);
        }
        // Also for a process without states: its start transition and
        // procedures run all the same and must find their code.
        CollectChain(mapOut, pProcess->m_pStartOperation, strType);
        for (const auto& [strName, pProcedure] : pProcess->m_mapProcedures) {
            if (pProcedure) {
                CollectChain(mapOut, pProcedure->m_pBody, strType);
            }
        }
    }
}

std::string CSDLEngine::BuildDecisionBodies() {
    return DispatchBody(DecisionBlocks(*this));
}

std::string CSDLEngine::BuildTaskBodies() {
    return DispatchBody(TaskBlocks(*this));
}

// ---- Generators ---------------------------------------------------------------------------------

bool CSDLEngine::GenerateCSource(const std::string& strCodeBase) {
    // gcc would refuse such names with a message the modeller cannot trace
    // back, or merge two variables into one: refuse before writing.
    const std::string strProblems = FindUnusableVariableNames(m_pRootAgent.get());
    if (!strProblems.empty()) {
        throw CCodeRefused(strProblems + "Rename them and create the code again.");
    }
    const std::string strPath = strCodeBase + ".c";
    RefuseForeignFile(strPath);
    std::ofstream file = CreateFile(strPath);

    // The header folder beside the model, or one or two levels above it.
    const size_t nSlash = strCodeBase.find_last_of('/');
    const std::string strModelFolder =
        nSlash == std::string::npos ? "." : Left(strCodeBase, static_cast<int>(nSlash));
    std::string strInclude = STANDARD_INCLUDES;
    m_strHeaderFolder.clear();
    for (const char* pszRelative : {"/", "/../", "/../../"}) {
        const std::string strCandidate = strModelFolder + pszRelative + HEADER_FOLDER_NAME;
        if (FileExists(strCandidate)) {
            m_strHeaderFolder = strCandidate;
            strInclude = "#include \"" + strCandidate + "/" + HEADER_FOLDER_NAME + ".h\"\n";
            break;
        }
    }

    std::string strText = SDL_GENERATED_LINE + strInclude + EXPORT_BLOCK +
                          ModelFunctions(*this, m_pRootAgent.get(), false);
    strText = RestoreQualifiedNames(strText);

    WriteAndClose(file, strPath, strText);
    return true;
}

bool CSDLEngine::GenerateCppSource(const std::string& strCodeBase) {
    const std::string strCppPath = strCodeBase + ".cpp";
    const std::string strHeaderPath = strCodeBase + ".h";
    RefuseForeignFile(strCppPath);
    RefuseForeignFile(strHeaderPath);
    std::ofstream cppFile = CreateFile(strCppPath);
    std::ofstream headerFile = CreateFile(strHeaderPath);

    std::string strText = SDL_GENERATED_LINE;
    if (FileExists(strCodeBase + "External")) {
        strText +=
            std::string("#include \"") + HEADER_FOLDER_NAME + "/" + HEADER_FOLDER_NAME + ".h\"\n";
    }
    strText +=
        std::string(STANDARD_INCLUDES) + "\n" + ModelFunctions(*this, m_pRootAgent.get(), true);
    WriteAndClose(cppFile, strCppPath, strText);

    std::string strClasses = SDL_GENERATED_LINE;
    if (const CSDLAgent* pRoot = m_pRootAgent.get()) {
        for (const auto& [strKey, pBlock] : pRoot->m_mapBlocks) {
            if (pBlock) {
                strClasses += "class CBlock_" + strKey + "{\n}";
            }
        }
    }
    WriteAndClose(headerFile, strHeaderPath, strClasses);
    return true;
}

// ---- Build commands --------------------------------------------------------------------------

std::string CSDLEngine::GetDefaultCodeBase() const {
    if (!m_strParametrizationFile.empty()) {
        return RemoveExtension(m_strParametrizationFile);
    }
    return m_strModelFolder + m_strModelName;
}

const char* CSDLEngine::NoModelText() const {
    return m_pRootAgent && m_bModelRefused ? SDL_MSG_MODEL_REFUSED : SDL_MSG_NO_MODEL;
}

bool CSDLEngine::RefusesWithoutModel(const std::string& strCodeBase) const {
    if (HasModel() && !strCodeBase.empty()) {
        return false;
    }
    GetNotifier().OutputLine(NP_SYSTEM, NoModelText());
    return true;
}

int CSDLEngine::CreateCodeFile(const std::string& strCodeBase) {
    std::string strBase = strCodeBase.empty() ? GetDefaultCodeBase() : strCodeBase;
    if (RefusesWithoutModel(strBase)) {
        return 0;
    }
    std::string strReason;
    bool bWritten = false;
    try {
        bWritten = GenerateCSource(strBase);
    } catch (const CCodeRefused& e) {
        // The reason says it all.
        m_strCodeBasePath.clear();
        GetNotifier().OutputLine(NP_ERRORS, e.what());
        return 0;
    } catch (const std::exception& e) {
        strReason = e.what();
    } catch (...) {
        strReason = "Error: the code generation failed";
    }
    // A file left by an earlier build must not pass for this one: success
    // needs the generator to have written it.
    if (bWritten && FileStatusExists(strBase + ".c")) {
        m_strCodeBasePath = strBase;
        return 1;
    }
    m_strCodeBasePath.clear();
    CNotifier& notifier = GetNotifier();
    if (!strReason.empty()) {
        notifier.OutputLine(NP_ERRORS, strReason);
    }
    notifier.MessageBox("VELKO", MSG_CODE_FILE, NB_OK, NI_ERROR);
    return 0;
}

int CSDLEngine::CompileCode(const std::string& strCodeBase, std::string& strLog) {
    const std::string strBase = strCodeBase.empty() ? GetDefaultCodeBase() : strCodeBase;
    if (RefusesWithoutModel(strBase)) {
        strLog = NoModelText();
        return 0;
    }
    bool bOk = false;
    try {
        strLog = m_Compiler.Compile(strBase, m_strHeaderFolder);
        bOk = m_Compiler.LastRunSucceeded() && FileStatusExists(strBase + ".o");
    } catch (const std::exception& e) {
        strLog += std::string(e.what()) + "\n";
    } catch (...) {
        strLog += "Error: the compile step failed\n";
    }
    if (!bOk) {
        GetNotifier().OutputLine(
            NP_ERRORS, Format("The compilation of \"%s.c\" failed; the compiler's output is in %s.",
                              strBase.c_str(), CExternalCompiler::GetLogPath(strBase).c_str()));
    }
    return bOk ? 1 : 0;
}

int CSDLEngine::LinkDLL(const std::string& strCodeBase, std::string& strLog) {
    const std::string strBase = strCodeBase.empty() ? GetDefaultCodeBase() : strCodeBase;
    if (RefusesWithoutModel(strBase)) {
        strLog = NoModelText();
        return 0;
    }
    bool bOk = false;
    try {
        strLog = m_Compiler.Link(strBase);
        bOk = m_Compiler.LastRunSucceeded() && FileStatusExists(strBase + ".so");
    } catch (const std::exception& e) {
        strLog += std::string(e.what()) + "\n";
    } catch (...) {
        strLog += "Error: the link step failed\n";
    }
    if (!bOk) {
        GetNotifier().OutputLine(
            NP_ERRORS, Format("The link of \"%s.so\" failed; the linker's output is in %s.",
                              strBase.c_str(), CExternalCompiler::GetLogPath(strBase).c_str()));
    }
    return bOk ? 1 : 0;
}

int CSDLEngine::CreateCppCodeFile(const std::string& strCodeBase) {
    const std::string strBase = strCodeBase.empty() ? GetDefaultCodeBase() : strCodeBase;
    if (RefusesWithoutModel(strBase)) {
        return 0;
    }
    try {
        GenerateCppSource(strBase);
    } catch (const std::exception& e) {
        GetNotifier().OutputLine(NP_ERRORS, e.what());
        return 0;
    } catch (...) {
        GetNotifier().OutputLine(NP_ERRORS, "Error: the code generation failed");
        return 0;
    }
    m_strCodeBasePath = strBase;
    return 1;
}
