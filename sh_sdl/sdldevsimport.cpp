// Conversion of a DEVS model (a coupled model of atomic models with state
// variables, internal and external transition functions and a time-advance
// table) into a model file of our own format.
//
// Every atomic model becomes a process. A state of the process is the
// signature of a DEVS state: name="value" for each state variable, where
// numbers and procedure results stand for their type. Each transition
// function becomes an input ("INT<k>" or "EXT<k>") in its state followed, for
// each condition, by a decision, a task with the assignments the target state
// implies, for internal functions a self-output that schedules the target
// state's internal transition after its time advance, and the state change.
// A coupled model inside another becomes a block of its own.

#include <cctype>
#include <charconv>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"
#include "sh_aux/textfile.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlparameter.h"

namespace {

// Coupled models nested deeper than this are refused (each becomes a block).
constexpr int DEVS_MAX_NESTING = 50;

// The model's type of a DEVS type: DEVS writes real numbers as "Real", which
// the model and its generated C code know as "double".
std::string SDLTypeOf(const std::string& strDEVSType) {
    return strDEVSType == "Real" ? "double" : strDEVSType;
}

// A text-to-text map that keeps document order. A key stored again keeps its
// place and takes the new text.
class CDEVSTextMap {
public:
    const std::string* Find(const std::string& strKey) const {
        for (const auto& [strEntryKey, strValue] : m_vecEntries) {
            if (strEntryKey == strKey) {
                return &strValue;
            }
        }
        return nullptr;
    }
    void Set(const std::string& strKey, std::string strValue) {
        for (auto& [strEntryKey, strOld] : m_vecEntries) {
            if (strEntryKey == strKey) {
                strOld = std::move(strValue);
                return;
            }
        }
        m_vecEntries.emplace_back(strKey, std::move(strValue));
    }
    void Erase(const std::string& strKey) {
        for (auto it = m_vecEntries.begin(); it != m_vecEntries.end(); ++it) {
            if (it->first == strKey) {
                m_vecEntries.erase(it);
                return;
            }
        }
    }
    const std::vector<std::pair<std::string, std::string>>& Entries() const { return m_vecEntries; }

private:
    std::vector<std::pair<std::string, std::string>> m_vecEntries;
};

std::vector<CXMLNode> Children(const CXMLParser& parser, CXMLNode parent,
                               std::string_view strName) {
    // A null parent would stand for the whole document.
    return parent ? parser.FindChildren(parent, strName) : std::vector<CXMLNode>();
}

// The child named strName of an element; a missing one ends the conversion.
CXMLNode RequireChild(const CXMLParser& parser, CXMLNode parent, std::string_view strName) {
    const CXMLNode node = parser.FindChild(parent, strName);
    if (!node) {
        CCustomException::ThrowError(Format("The DEVS model has a %s without %.*s.",
                                            parent.GetNodeName().c_str(),
                                            static_cast<int>(strName.size()), strName.data()));
    }
    return node;
}

// A state signature as a state name of the model file: its double quotes
// become apostrophes, so that it can stand in a quoted attribute.
std::string StateName(std::string strSignature) {
    ReplaceAll(strSignature, "\"", "'");
    return strSignature;
}

// An assignment goes in front of the code gathered so far.
void AddAssignment(std::string* pCode, const std::string& strAssignment) {
    if (pCode) {
        *pCode = strAssignment + ";" + *pCode;
    }
}

}  // namespace

// What the conversion of one model carries from atomic model to atomic model.
struct SDEVSConversion {
    // Operation ids run through the whole model: the model library knows a
    // decision or task by its blocks, state and id, and two atomic models
    // often have states of the same signature.
    int nNextId = 1;
    int nNextBlockId = 1;
    // What the conversion leaves out or reads in its own way.
    std::vector<std::string> vecWarnings;
};

// The working maps of one atomic model.
struct SDEVSAtomic {
    explicit SDEVSAtomic(SDEVSConversion& rConversion) : conversion(rConversion) {}
    std::string strName;
    CDEVSTextMap mapVariables;   // state variable name -> type
    CDEVSTextMap mapProcedures;  // procedure name -> return type
    CDEVSTextMap mapInternal;    // state -> operations of its internal transition
    CDEVSTextMap mapExternal;    // state -> operations of its external transition
    // The number k of the internal function of each state ("INT<k>").
    CNameMap<int> mapInternalInputs;
    // States already named for a missing time advance.
    std::set<std::string> setUntimed;
    SDEVSConversion& conversion;
};

namespace {

enum DEVSTimeAdvance {
    TA_DELAY,    // the internal transition comes after the delay text
    TA_PASSIVE,  // the state waits for an external event
    TA_INVALID,  // no time the model can wait
};

// A decimal number as a DEVS file writes one: a sign, digits with a point,
// an exponent. Values beyond the double range are infinite.
bool ReadDecimal(const std::string& strText, double& dValue) {
    size_t n = 0;
    auto digits = [&] {
        const size_t nStart = n;
        while (n < strText.size() && strText[n] >= '0' && strText[n] <= '9') {
            ++n;
        }
        return n > nStart;
    };
    if (n < strText.size() && (strText[n] == '+' || strText[n] == '-')) {
        ++n;
    }
    bool bDigits = digits();
    if (n < strText.size() && strText[n] == '.') {
        ++n;
        bDigits = digits() || bDigits;
    }
    if (!bDigits) {
        return false;
    }
    if (n < strText.size() && (strText[n] == 'e' || strText[n] == 'E')) {
        ++n;
        if (n < strText.size() && (strText[n] == '+' || strText[n] == '-')) {
            ++n;
        }
        if (!digits()) {
            return false;
        }
    }
    if (n != strText.size()) {
        return false;
    }
    dValue = ParseDouble(strText.c_str());
    return true;
}

// The delay an internal transition into a state waits, from the state's
// time advance: a number at or above 0 (written out in full, so that the
// model reads it back as the same number), a numeric state variable, or
// infinity (passive).
DEVSTimeAdvance ReadTimeAdvance(std::string strValue, const SDEVSAtomic& atomic,
                                std::string& strDelay) {
    strValue = Trim(strValue);
    if (strValue.size() >= 2 && (strValue.front() == '\'' || strValue.front() == '"') &&
        strValue.back() == strValue.front()) {
        strValue = Trim(strValue.substr(1, strValue.size() - 2));
    }
    const std::string strLower = ToLowerAscii(strValue);
    if (strLower == "inf" || strLower == "+inf" || strLower == "infinity" ||
        strLower == "+infinity") {
        return TA_PASSIVE;
    }
    if (const std::string* pType = atomic.mapVariables.Find(strValue)) {
        if (*pType == "Real" || *pType == "double" || *pType == "int") {
            strDelay = strValue;
            return TA_DELAY;
        }
        return TA_INVALID;
    }
    double dDelay = 0.0;
    if (!ReadDecimal(strValue, dDelay) || std::isnan(dDelay) || dDelay < 0.0) {
        return TA_INVALID;
    }
    if (std::isinf(dDelay)) {
        return TA_PASSIVE;
    }
    char szDelay[400];
    const auto result =
        std::to_chars(szDelay, szDelay + sizeof(szDelay), dDelay + 0.0, std::chars_format::fixed);
    strDelay.assign(szDelay, result.ptr);
    return TA_DELAY;
}

}  // namespace

std::string CSDLLoader::ImportDEVS(const std::string& strPath) {
    return ConvertDEVSModel(ResolvePathNoCase(strPath));
}

std::string CSDLLoader::ConvertDEVSModel(const std::string& strInputPath) {
    ClearErrorLog();
    m_strSideFileError.clear();
    m_strDEVSWarnings.clear();
    const std::string strOutputPath = strInputPath + ".sdl";

    // Lines joined without their line ends, up to the closing line (or the
    // end of the file).
    std::string strText;
    const bool bOpened = ReadLines(
        strInputPath, false, false,
        [](const std::string& strLine) { return EqualsNoCase(Trim(strLine), "</DEVSModel>"); },
        strText);
    if (!bOpened) {
        SideFileFailed("The DEVS model " + strInputPath + " cannot be opened.");
        return {};
    }
    try {
        LoadXML(strText);
    } catch (const CXMLParseException& e) {
        SideFileFailed(
            Format("The DEVS model %s is not well-formed XML: %s", strInputPath.c_str(), e.what()));
        return {};
    }

    std::string strOut;
    SDEVSConversion conversion;
    try {
        const CXMLNode devs = FindChild(CXMLNode(), "DEVSModel");
        if (!devs) {
            CCustomException::ThrowError("The document has no DEVSModel.");
        }
        const CXMLNode coupled = RequireChild(*this, devs, "coupledModel");
        std::string strSystem;
        GetAttribute(coupled, "name", strSystem, false);
        strOut += "<?xml version=\"1.0\"?>\n";
        strOut +=
            Format("<system id=\"0\" name=\"%s\" implementation=\"\" IP=\"\" portRead=\"\">\n",
                   EscapeXmlAttribute(strSystem).c_str());
        WriteDEVSCoupledModel(coupled, conversion, 0, strOut);
        strOut += "</system>";
    } catch (const CCustomException& e) {
        SideFileFailed(Format("The DEVS model %s cannot be converted: %s", strInputPath.c_str(),
                              e.GetMessageText().c_str()));
        return {};
    }

    // A model converted before stays whole when this one cannot be written.
    TextFile output;
    if (output.Open(strOutputPath, TF_WRITE, TF_ANSI | TF_NO_CRLF) != 0 ||
        output.WriteString(strOut) != 0 || output.Close() != 0) {
        SideFileFailed("The model file " + strOutputPath + " cannot be written.");
        return {};
    }
    for (const std::string& strWarning : conversion.vecWarnings) {
        m_strDEVSWarnings += "\n" + strWarning;
        Notifier().OutputLine(NP_ERRORS, "Warning: " + strWarning);
    }
    return strOutputPath;
}

void CSDLLoader::WriteDEVSCoupledModel(CXMLNode coupledModel, SDEVSConversion& conversion,
                                       int nDepth, std::string& strOut) {
    std::string strCoupled;
    GetAttribute(coupledModel, "name", strCoupled, false);
    strOut += "<channels>\n";
    for (const CXMLNode& channel :
         Children(*this, FindChild(coupledModel, "channels"), "channel")) {
        std::string strName, strStart, strEnd, strDual, strEvent;
        GetAttribute(channel, "name", strName, false);
        GetAttribute(channel, "start", strStart, false);
        GetAttribute(channel, "end", strEnd, false);
        GetAttribute(channel, "dual", strDual, false);
        // Only the first signal of a channel is converted.
        const std::vector<CXMLNode> vecEvents = Children(*this, channel, "event");
        GetAttribute(RequireChild(*this, channel, "event"), "name", strEvent, false);
        if (vecEvents.size() > 1) {
            std::string strOthers;
            for (size_t i = 1; i < vecEvents.size(); ++i) {
                std::string strOther;
                ReadAttribute(vecEvents[i], "name", strOther);
                strOthers += (i > 1 ? ", " : "") + strOther;
            }
            conversion.vecWarnings.push_back(
                Format("The channel %s of the coupled model %s carries only its first signal, "
                       "%s, in the converted model; %s %s not converted.",
                       strName.c_str(), strCoupled.c_str(), strEvent.c_str(), strOthers.c_str(),
                       vecEvents.size() > 2 ? "are" : "is"));
        }
        strOut += Format("<channel name=\"%s\" start=\"%s\" end=\"%s\" dual=\"%s\">\n",
                         EscapeXmlAttribute(strName).c_str(), EscapeXmlAttribute(strStart).c_str(),
                         EscapeXmlAttribute(strEnd).c_str(), EscapeXmlAttribute(strDual).c_str());
        strOut += Format("<event name=\"%s\"></event>\n", EscapeXmlAttribute(strEvent).c_str());
        strOut += "</channel>\n";
    }
    strOut += "</channels>\n";

    const std::vector<CXMLNode> vecAtomic = Children(*this, coupledModel, "atomicModel");
    const std::vector<CXMLNode> vecCoupled = Children(*this, coupledModel, "coupledModel");
    if (!vecAtomic.empty() && !vecCoupled.empty()) {
        // A block holds either processes or blocks: the model reader would
        // leave out the processes.
        CCustomException::ThrowError(
            Format("the coupled model %s holds both atomic models and coupled models, and a "
                   "block of the converted model holds either processes or blocks. Put its "
                   "atomic models into a coupled model of their own.",
                   strCoupled.c_str()));
    }
    if (!vecCoupled.empty() && nDepth + 1 >= DEVS_MAX_NESTING) {
        CCustomException::ThrowError(
            Format("the coupled models are nested more than %d levels deep.", DEVS_MAX_NESTING));
    }
    // Two processes or blocks of one name in one place: the model reader
    // would refuse the converted model.
    std::set<std::string> setNames;
    for (const CXMLNode& model : vecAtomic.empty() ? vecCoupled : vecAtomic) {
        std::string strName;
        ReadAttribute(model, "name", strName);
        if (!setNames.insert(strName).second) {
            CCustomException::ThrowError(Format(
                "the coupled model %s holds two %s models named %s, which would be one %s of "
                "the converted model. Give one of them another name.",
                strCoupled.c_str(), vecAtomic.empty() ? "coupled" : "atomic", strName.c_str(),
                vecAtomic.empty() ? "block" : "process"));
        }
    }
    for (const CXMLNode& atomic : vecAtomic) {
        std::string strName;
        GetAttribute(atomic, "name", strName, false);
        strOut +=
            Format("<process id=\"\" name=\"%s\" implementation=\"\" IP=\"\" portRead=\"\">\n",
                   EscapeXmlAttribute(strName).c_str());
        WriteDEVSAtomicModel(atomic, conversion, strOut);
        strOut += "</process>\n";
    }
    for (const CXMLNode& coupled : vecCoupled) {
        std::string strName;
        GetAttribute(coupled, "name", strName, false);
        // Block ids tell the model library apart the operations of
        // processes in different blocks.
        strOut += Format("<block id=\"%d\" name=\"%s\" IP=\"\" portRead=\"\">\n",
                         conversion.nNextBlockId++, EscapeXmlAttribute(strName).c_str());
        WriteDEVSCoupledModel(coupled, conversion, nDepth + 1, strOut);
        strOut += "</block>\n";
    }
}

void CSDLLoader::WriteDEVSAtomicModel(CXMLNode atomicModel, SDEVSConversion& conversion,
                                      std::string& strOut) {
    SDEVSAtomic atomic(conversion);
    GetAttribute(atomicModel, "name", atomic.strName, false);
    for (const CXMLNode& variable :
         Children(*this, FindChild(atomicModel, "stateVariables"), "variable")) {
        std::string strName, strType;
        GetAttribute(variable, "name", strName, false);
        GetAttribute(variable, "type", strType, false);
        atomic.mapVariables.Set(strName, strType);
    }
    for (const CXMLNode& procedure :
         Children(*this, FindChild(atomicModel, "procedures"), "procedure")) {
        std::string strName, strReturn;
        GetAttribute(procedure, "name", strName, false);
        GetAttribute(procedure, "return", strReturn, false);
        atomic.mapProcedures.Set(strName, strReturn);
    }

    for (const CXMLNode& function :
         Children(*this, FindChild(atomicModel, "taFunctions"), "function")) {
        const size_t nConditions = Children(*this, function, "condition").size();
        if (nConditions > 1) {
            atomic.conversion.vecWarnings.push_back(
                Format("The time advance of the state %sof the atomic model %s has %d "
                       "conditions; only the first is converted.",
                       StateName(FormatDEVSState(function, atomic, nullptr)).c_str(),
                       atomic.strName.c_str(), static_cast<int>(nConditions)));
        }
    }

    const std::vector<CXMLNode> vecInternal =
        Children(*this, FindChild(atomicModel, "internalFunctions"), "function");
    const std::vector<CXMLNode> vecExternal =
        Children(*this, FindChild(atomicModel, "externalFunctions"), "function");
    // Which internal input each state has, so that an internal transition
    // can schedule the one of its target state.
    for (size_t k = 0; k < vecInternal.size(); ++k) {
        atomic.mapInternalInputs[FormatDEVSState(vecInternal[k], atomic, nullptr)] =
            static_cast<int>(k + 1);
    }
    for (size_t k = 0; k < vecInternal.size(); ++k) {
        ConvertDEVSFunction(atomicModel, vecInternal[k], atomic, true, static_cast<int>(k + 1));
    }
    for (size_t k = 0; k < vecExternal.size(); ++k) {
        ConvertDEVSFunction(atomicModel, vecExternal[k], atomic, false, static_cast<int>(k + 1));
    }

    strOut += "<DCLS>";
    for (const auto& [strName, strType] : atomic.mapVariables.Entries()) {
        strOut += Format("<DCL name=\"%s\" type=\"%s\" value=\"\"></DCL>",
                         EscapeXmlAttribute(strName).c_str(),
                         EscapeXmlAttribute(SDLTypeOf(strType)).c_str());
    }
    strOut += "</DCLS>";
    // Each procedure gets an empty body: the model reader requires one.
    strOut += "<procedures>";
    for (const auto& [strName, strReturn] : atomic.mapProcedures.Entries()) {
        strOut += Format(
            "<procedure id=\"\" name=\"%s\" type=\"%s\" value=\"\"><body></body></procedure>",
            EscapeXmlAttribute(strName).c_str(), EscapeXmlAttribute(SDLTypeOf(strReturn)).c_str());
    }
    strOut += "</procedures>";

    // The first state written is the initial state: the first state with an
    // internal transition, or else the first with an external one.
    bool bStarted = false;
    auto writeState = [&](const std::string& strSignature, const std::string& strOperations) {
        const std::string strName = EscapeXmlAttribute(StateName(strSignature));
        if (!bStarted) {
            strOut += "<start>";
            strOut += Format("<setstate id=\"1\" name=\"%s\"></setstate>", strName.c_str());
            strOut += "</start>";
            bStarted = true;
        }
        strOut += Format("<state name = \"%s\">", strName.c_str());
        strOut += strOperations;
    };
    for (const auto& [strSignature, strOperations] : atomic.mapInternal.Entries()) {
        writeState(strSignature, strOperations);
        if (const std::string* pExternal = atomic.mapExternal.Find(strSignature)) {
            strOut += *pExternal;
            atomic.mapExternal.Erase(strSignature);
        }
        strOut += "</state>";
    }
    for (const auto& [strSignature, strOperations] : atomic.mapExternal.Entries()) {
        writeState(strSignature, strOperations);
        strOut += "</state>";
    }
}

void CSDLLoader::ConvertDEVSFunction(CXMLNode atomicModel, CXMLNode function, SDEVSAtomic& rAtomic,
                                     bool bInternal, int nFunction) {
    // The assignments the function's own state implies start every task.
    std::string strOwnCode;
    const std::string strState = FormatDEVSState(function, rAtomic, &strOwnCode);
    int nId = rAtomic.conversion.nNextId;
    const std::string strInput = Format("<input id=\"%d\" name=\"%s%d\"></input>", nId,
                                        bInternal ? "INT" : "EXT", nFunction);
    ++nId;

    std::string strText;
    for (const CXMLNode& condition : Children(*this, function, "condition")) {
        const int nDecision = nId++;
        const CXMLNode setState =
            RequireChild(*this, RequireChild(*this, condition, "body"), "setstate");
        // Each task carries the assignments of its own target only.
        std::string strCode = strOwnCode;
        const std::string strTarget = FormatDEVSState(setState, rAtomic, &strCode);

        std::string strTask;
        if (!strCode.empty()) {
            strTask =
                Format("<task id=\"%d\" name=\"\">%s</task>", nId, EscapeXmlText(strCode).c_str());
            ++nId;
        }
        std::string strOutput;
        const auto itNext = rAtomic.mapInternalInputs.find(strTarget);
        std::string strDelay;
        if (bInternal && itNext != rAtomic.mapInternalInputs.end() &&
            ScheduleDEVSTransition(atomicModel, rAtomic, strTarget, strDelay)) {
            // The target's own internal transition, after its time advance; a
            // state without one waits for an external event.
            strOutput = Format(
                "<output id=\"%d\" name=\"INT%d\" self=\"yes\" to=\"\" via=\"\"><param "
                "name=\"delay\" value=\"%s\"></param><param name=\"priority\" "
                "value=\"0\"></param></output>",
                nId, itNext->second, EscapeXmlAttribute(strDelay).c_str());
            ++nId;
        }
        const std::string strSetState = Format("<setstate id=\"%d\" name=\"%s\"></setstate>", nId,
                                               EscapeXmlAttribute(StateName(strTarget)).c_str());
        ++nId;
        std::string strCondition;
        GetText(RequireChild(*this, condition, "code"), strCondition);
        const std::string strDecision =
            Format("<decision id=\"%d\" name=\"\" iftrue=\"%d\" iffalse=\"%d\">%s</decision>",
                   nDecision, nDecision + 1, nId, EscapeXmlText(strCondition).c_str());
        strText += strInput + strDecision + strTask + strOutput + strSetState;
    }
    // The id the last decision names when no condition holds stays unused.
    rAtomic.conversion.nNextId = nId + 1;
    (bInternal ? rAtomic.mapInternal : rAtomic.mapExternal).Set(strState, strText);
}

bool CSDLLoader::ScheduleDEVSTransition(CXMLNode atomicModel, SDEVSAtomic& rAtomic,
                                        const std::string& strState, std::string& strDelay) {
    std::string strValue;
    if (!LookupTimeAdvance(atomicModel, rAtomic, strState, strValue)) {
        if (rAtomic.setUntimed.insert(strState).second) {
            rAtomic.conversion.vecWarnings.push_back(
                Format("The state %sof the atomic model %s has no time advance: it is taken as "
                       "passive, and leaves only on an external event.",
                       StateName(strState).c_str(), rAtomic.strName.c_str()));
        }
        return false;
    }
    switch (ReadTimeAdvance(strValue, rAtomic, strDelay)) {
        case TA_DELAY:
            return true;
        case TA_PASSIVE:
            return false;
        case TA_INVALID:
            break;
    }
    CCustomException::ThrowError(
        Format("the time advance \"%s\" of the state %sof the atomic model %s is neither a "
               "number at or above 0, nor inf, nor a numeric state variable.",
               strValue.c_str(), StateName(strState).c_str(), rAtomic.strName.c_str()));
}

std::string CSDLLoader::FormatDEVSState(CXMLNode element, const SDEVSAtomic& atomic,
                                        std::string* pCode) {
    std::string strSignature;
    for (const auto& [strName, strType] : atomic.mapVariables.Entries()) {
        std::string strValue;
        ReadAttribute(element, strName, strValue);
        std::string strPair = strType;
        if (!strValue.empty() && strValue != strType) {
            // A value none of the rules below knows names the state itself.
            strPair = strValue;
            if (strValue.find('(', 1) != std::string::npos) {
                // A call: its result is known only by its type.
                AddAssignment(pCode, Format("%s=%s;", strName.c_str(), strValue.c_str()));
                strValue = strValue.substr(0, strValue.find('('));
                if (const std::string* pReturn = atomic.mapProcedures.Find(strValue)) {
                    strValue = *pReturn;
                }
                strPair = (strValue.empty() || strValue == strType) ? strType : strValue;
            }
            if (strValue.find('\'', 1) != std::string::npos) {
                ReplaceAll(strValue, "'", "");
                if (strValue == "inf") {
                    strPair = strType;
                    // Infinity as the C value of the variable's type.
                    AddAssignment(pCode, Format("%s=%s", strName.c_str(),
                                                strType == "Real"  ? "(1.0/0.0)"
                                                : strType == "int" ? "2147483647"
                                                                   : "\"inf\""));
                } else {
                    strPair = strValue;
                }
            }
            if ((strType == "Real" || strType == "int") && IsWrittenAsNumber(strValue)) {
                // Read whole by the variable's type: pasted into the C code as
                // written, "010" would be eight and "1,5" one.
                const std::string strSDLType = SDLTypeOf(strType);
                if (!IsValueOfType(strSDLType, strValue)) {
                    std::string strLine = RefusedValueLine(
                        strValue, strSDLType,
                        Format("the state variable %s in a %s of the atomic model %s",
                               strName.c_str(), element.GetNodeName().c_str(),
                               atomic.strName.c_str()));
                    strLine[0] = static_cast<char>(std::tolower(strLine[0]));
                    CCustomException::ThrowError(strLine + ".");
                }
                strPair = strType;
                // A number is assigned as a number: a quoted one is no C value
                // of a numeric variable.
                AddAssignment(pCode, Format("%s=%s", strName.c_str(),
                                            CanonicalValue(strSDLType, strValue).c_str()));
            }
        }
        strSignature = Format("%s=\"%s\" ", strName.c_str(), strPair.c_str()) + strSignature;
    }
    return strSignature;
}

bool CSDLLoader::LookupTimeAdvance(CXMLNode atomicModel, const SDEVSAtomic& atomic,
                                   const std::string& strState, std::string& strValue) {
    for (const CXMLNode& function :
         Children(*this, FindChild(atomicModel, "taFunctions"), "function")) {
        if (FormatDEVSState(function, atomic, nullptr) != strState) {
            continue;
        }
        const CXMLNode condition = RequireChild(*this, function, "condition");
        const CXMLNode result =
            RequireChild(*this, RequireChild(*this, condition, "body"), "return");
        GetAttribute(result, "value", strValue, false);
        if (strValue.find(';', 1) != std::string::npos) {
            ReplaceAll(strValue, ";", "");
        }
        return true;
    }
    return false;
}
