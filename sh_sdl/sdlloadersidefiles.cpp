// The side files of a loaded model: model info (how processes look in the
// viewer), parametrization (variable values and initial external events) and
// experiments. They are read after the model, on the user-interface thread,
// into this reader's own document.

#include <string>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/eye/3drepresentation.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// What an attribute's text is left as when the attribute is absent: no
// attribute holds a NUL. An attribute written empty is there, and is a
// value like any other (an empty number is none); one that is absent keeps
// its meaning (0, the start, the variable's type) and a line in the error
// log.
const std::string kAbsent(1, '\0');

// A drive-letter path ("D:/...") written on Windows; it cannot be looked up
// here and is kept as written.
bool HasDriveLetter(const std::string& strPath) {
    return strPath.size() >= 2 && strPath[1] == ':' &&
           ((strPath[0] >= 'A' && strPath[0] <= 'Z') || (strPath[0] >= 'a' && strPath[0] <= 'z'));
}

}  // namespace

void CSDLLoader::SideFileFailed(const std::string& strText) {
    m_strSideFileError = strText;
    m_bSideFileErrorReported = true;
    Notifier().OutputLine(NP_ERRORS, strText);
}

bool CSDLLoader::ParseSideFile(const std::string& strPath, const char* pszStop, bool bStopAtEnd) {
    // The error log keeps the model's entries: its load is judged on them.
    m_strSideFileError.clear();
    m_bSideFileErrorReported = false;
    // Trimmed lines joined without a separator, up to and including the
    // closing line; a file without one is taken to its end.
    const std::string strStop = pszStop;
    std::string strText;
    const bool bOpened = ReadLines(
        strPath, true, false,
        [&](const std::string& strLine) {
            return bStopAtEnd
                       ? EqualsNoCase(Right(strLine, static_cast<int>(strStop.size())), strStop)
                       : EqualsNoCase(strLine, strStop);
        },
        strText);
    if (!bOpened) {
        // A model without a side file is common: no report beyond the reason.
        m_strSideFileError = Format("The file %s cannot be opened.", strPath.c_str());
        return false;
    }
    try {
        LoadXML(strText);
    } catch (const CXMLParseException& e) {
        SideFileFailed(Format("The file %s is not well-formed XML: %s", strPath.c_str(), e.what()));
        return false;
    }
    return true;
}

// ---- Model info ----------------------------------------------------------------------------

bool CSDLLoader::LoadModelInfo(const std::string& strPath) {
    const std::string strFile = ResolvePathNoCase(strPath);
    if (!ParseSideFile(strFile, "</modelinfo>", false)) {
        return false;
    }
    const CXMLNode modelInfo = FindChild(CXMLNode(), "ModelInfo");
    const CXMLNode agents = modelInfo ? FindChild(modelInfo, "Agents") : CXMLNode();
    if (!agents) {
        return true;
    }
    if (!m_pEngine) {
        SideFileFailed("No model is open to take the model info of " + strFile + ".");
        return false;
    }
    try {
        for (const CXMLNode& agent : FindChildren(agents, "Agent")) {
            std::string strAgent;
            GetAttribute(agent, "name", strAgent, false);
            CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strAgent);
            if (!pProcess) {
                continue;
            }
            for (const CXMLNode& state : FindChildren(agent, "state")) {
                std::string strState;
                GetAttribute(state, "name", strState, false);
                const CXMLNode mesh = FindChild(state, "mesh");
                if (!mesh) {
                    SideFileFailed(Format("The state %s of agent %s in %s has no mesh.",
                                          strState.c_str(), strAgent.c_str(), strFile.c_str()));
                    return false;
                }
                std::string strScale = kAbsent, strMesh;
                GetAttribute(mesh, "scale", strScale, false);
                GetText(mesh, strMesh);
                std::string astrPos[3] = {kAbsent, kAbsent, kAbsent};
                std::string astrRot[3] = {kAbsent, kAbsent, kAbsent};
                static const char* const s_apszAxes[] = {"x", "y", "z"};
                if (const CXMLNode pos = FindChild(state, "pos")) {
                    for (int i = 0; i < 3; ++i) {
                        GetAttribute(pos, s_apszAxes[i], astrPos[i], false);
                    }
                }
                if (const CXMLNode rot = FindChild(state, "rot")) {
                    for (int i = 0; i < 3; ++i) {
                        GetAttribute(rot, s_apszAxes[i], astrRot[i], false);
                    }
                }
                // Each number by the one rule of a double; one that is
                // absent (or whose element is) is 0, one written empty is
                // no number. A text that is no number would be read as
                // some other one (its leading digits, 0, an infinity that
                // reaches every trace header and the viewer).
                const std::string strWhere =
                    " of the state " + strState + " of agent " + strAgent + " in " + strFile;
                double adValues[7] = {};
                const std::string* apstrTexts[7] = {&strScale,   &astrPos[0], &astrPos[1],
                                                    &astrPos[2], &astrRot[0], &astrRot[1],
                                                    &astrRot[2]};
                static const char* const s_apszWhat[7] = {
                    "the scale of mesh", "the x of pos", "the y of pos", "the z of pos",
                    "the x of rot",      "the y of rot", "the z of rot"};
                std::string strRefused;
                for (int i = 0; i < 7 && strRefused.empty(); ++i) {
                    if (*apstrTexts[i] != kAbsent &&
                        !ParseDoubleValue(*apstrTexts[i], adValues[i])) {
                        strRefused =
                            RefusedValueLine(*apstrTexts[i], "double", s_apszWhat[i] + strWhere);
                    }
                }
                if (!strRefused.empty()) {
                    Notifier().OutputLine(NP_ERRORS,
                                          strRefused + ": the state's representation is not read.");
                    continue;
                }
                pProcess->m_mapRepresentations[strState] = std::make_unique<C3DRepresentation>(
                    strState, strMesh, adValues[1], adValues[2], adValues[3], adValues[4],
                    adValues[5], adValues[6], adValues[0]);
            }
        }
    } catch (const CCustomException& e) {
        SideFileFailed(Format("The model info %s cannot be read: %s", strFile.c_str(),
                              e.GetMessageText().c_str()));
        return false;
    }
    return true;
}

// ---- Parametrization ---------------------------------------------------------------------

bool CSDLLoader::LoadParametrization(const std::string& strPath) {
    const std::string strFile = ResolvePathNoCase(strPath);
    if (!ParseSideFile(strFile, "</parametrization>", true)) {
        return false;
    }
    const CXMLNode parametrization = FindChild(CXMLNode(), "Parametrization");
    if (!parametrization) {
        SideFileFailed("The file " + strFile + " is not a parametrization.");
        return false;
    }
    if (!m_pEngine) {
        SideFileFailed("No model is open to take the parametrization " + strFile + ".");
        return false;
    }
    int nSkipped = 0;
    CNotifier& notifier = Notifier();
    try {
        if (const CXMLNode dcls = FindChild(parametrization, "DCLS")) {
            for (const CXMLNode& dcl : FindChildren(dcls, "DCL")) {
                std::string strAgent, strName, strType, strValue;
                GetAttribute(dcl, "agent", strAgent, false);
                GetAttribute(dcl, "name", strName, false);
                GetAttribute(dcl, "type", strType, false);
                GetAttribute(dcl, "value", strValue, false);
                CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strAgent);
                if (!pProcess) {
                    ++nSkipped;
                    continue;
                }
                const std::string strWhat =
                    "the variable " + strName + " of " + strAgent + " in " + strFile;
                CSDLParameter* pVariable = pProcess->GetVariable(strName);
                // What sets nothing is said: the run would pass for one
                // with the file's value.
                if (!pVariable) {
                    notifier.OutputLine(NP_ERRORS, "Warning: The parametrization " + strFile +
                                                       " sets the variable " + strName + " of " +
                                                       strAgent +
                                                       ", which the model does not declare: it is "
                                                       "skipped.");
                    continue;
                }
                if (pVariable->m_strType != strType) {
                    notifier.OutputLine(
                        NP_ERRORS, Format("Warning: The parametrization %s gives the variable %s "
                                          "of %s the type \"%s\", but it is declared \"%s\": it "
                                          "is skipped.",
                                          strFile.c_str(), strName.c_str(), strAgent.c_str(),
                                          strType.c_str(), pVariable->m_strType.c_str()));
                    continue;
                }
                if (!IsValueOfType(strType, strValue)) {
                    notifier.OutputLine(NP_ERRORS, RefusedValueLine(strValue, strType, strWhat) +
                                                       ": the variable keeps its value \"" +
                                                       pVariable->m_strSourceText + "\".");
                    continue;
                }
                pVariable->SetModelValue(strValue);
            }
        }

        for (const auto& [strKey, pProcess] : m_pEngine->m_mapProcesses) {
            pProcess->m_listInitialEvents.clear();
        }
        if (const CXMLNode events = FindChild(parametrization, "ExternalEvents")) {
            for (const CXMLNode& external : FindChildren(events, "ExternalEvent")) {
                std::string strAgent, strType, strTime = kAbsent;
                GetAttribute(external, "agent", strAgent, false);
                GetAttribute(external, "type", strType, false);
                GetAttribute(external, "xTime", strTime, false);
                const bool bTimeGiven = strTime != kAbsent;
                CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strAgent);
                if (!pProcess) {
                    ++nSkipped;
                    continue;
                }
                const std::string strEvent =
                    "the event " + strType + " of " + strAgent + " in " + strFile;
                auto pEvent = std::make_unique<CSDLEvent>();
                pEvent->m_strName = strType;
                pEvent->m_dCreationTime = 0.0;
                pEvent->m_dExecutionTime = 0.0;
                pEvent->m_nPriority = 0;
                // Without a time the event runs at the start. A time that is
                // given must be one: before the start, or at no time, the
                // event would run out of order or at a time it was never
                // given.
                if (bTimeGiven && (!ParseDoubleValue(strTime, pEvent->m_dExecutionTime) ||
                                   pEvent->m_dExecutionTime < 0.0)) {
                    notifier.OutputLine(NP_ERRORS, "The time \"" + strTime + "\" of " + strEvent +
                                                       " is not a finite number at or after 0: "
                                                       "the event is not queued.");
                    continue;
                }
                std::string strRefused;
                for (const CXMLNode& param : FindChildren(external, "param")) {
                    std::string strName, strParamType = kAbsent, strValue;
                    GetAttribute(param, "name", strName, false);
                    GetAttribute(param, "type", strParamType, false);
                    GetAttribute(param, "value", strValue, false);
                    const std::string strWhat = "the parameter " + strName + " of " + strEvent;
                    // The value is taken by the type of the variable it
                    // lands in, as every value an input takes (which says
                    // when it is none): a parameter without a type is one
                    // like any other. A type that is given, even empty,
                    // must be one.
                    if (strParamType == kAbsent) {
                        strParamType.clear();
                    } else if (ValueTypeOf(strParamType).empty()) {
                        strRefused =
                            Format("The type \"%s\" of %s is none of int, double and char*",
                                   strParamType.c_str(), strWhat.c_str());
                        break;
                    }
                    auto pParam =
                        std::make_unique<CSDLParameter>(strParamType, strName, strValue, "no");
                    pParam->m_strSourceText = strValue;
                    pEvent->m_mapUserParams[strName] = std::move(pParam);
                }
                if (!strRefused.empty()) {
                    notifier.OutputLine(NP_ERRORS, strRefused + ": the event is not queued.");
                    continue;
                }
                pProcess->m_listInitialEvents.push_back(std::move(pEvent));
            }
        }
    } catch (const CCustomException& e) {
        SideFileFailed(Format("The parametrization %s cannot be read: %s", strFile.c_str(),
                              e.GetMessageText().c_str()));
        return false;
    }
    if (nSkipped > 0) {
        ShowMessage(
            "Some errors ocurred on loading the parametrization file, check the Process Names");
    }
    return true;
}

SModelParametrization CSDLLoader::TakeParametrization() const {
    SModelParametrization parametrization;
    if (!m_pEngine) {
        return parametrization;
    }
    parametrization.strParametrizationFile = m_pEngine->m_strParametrizationFile;
    parametrization.strCodeBasePath = m_pEngine->m_strCodeBasePath;
    parametrization.strExperimentLabel = m_pEngine->m_strExperimentLabel;
    for (const auto& [strKey, pProcess] : m_pEngine->m_mapProcesses) {
        SModelParametrization::SProcess& process = parametrization.mapProcesses[strKey];
        for (const auto& [strName, pVariable] : pProcess->m_mapVariables) {
            process.mapVariables[strName] = {pVariable->m_strValue, pVariable->m_strSourceText,
                                             pVariable->m_dExact, pVariable->m_bHasExact};
        }
        for (const auto& pEvent : pProcess->m_listInitialEvents) {
            process.vecInitialEvents.push_back(std::make_shared<const CSDLEvent>(*pEvent));
        }
    }
    return parametrization;
}

void CSDLLoader::RestoreParametrization(const SModelParametrization& parametrization) {
    if (!m_pEngine) {
        return;
    }
    m_pEngine->m_strParametrizationFile = parametrization.strParametrizationFile;
    m_pEngine->m_strCodeBasePath = parametrization.strCodeBasePath;
    m_pEngine->m_strExperimentLabel = parametrization.strExperimentLabel;
    for (const auto& [strKey, process] : parametrization.mapProcesses) {
        CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, strKey);
        if (!pProcess) {
            continue;
        }
        for (const auto& [strName, variable] : process.mapVariables) {
            if (CSDLParameter* pVariable = pProcess->GetVariable(strName)) {
                pVariable->m_strValue = variable.strValue;
                pVariable->m_strSourceText = variable.strSourceText;
                pVariable->m_dExact = variable.dExact;
                pVariable->m_bHasExact = variable.bHasExact;
            }
        }
        pProcess->m_listInitialEvents.clear();
        for (const auto& pEvent : process.vecInitialEvents) {
            pProcess->m_listInitialEvents.push_back(std::make_unique<CSDLEvent>(*pEvent));
        }
    }
}

// ---- Experiments -----------------------------------------------------------------------------

bool CSDLLoader::LoadExperiments(const std::string& strPath) {
    m_mapExperiments.clear();
    const std::string strFile = ResolvePathNoCase(strPath);
    if (!ParseSideFile(strFile, "</experiments>", true)) {
        return false;
    }
    const CXMLNode experiments = FindChild(CXMLNode(), "experiments");
    if (!experiments) {
        return true;
    }
    const std::string strFolder = GetFolder(strFile);
    try {
        int nNumber = 0;
        for (const CXMLNode& experiment : FindChildren(experiments, "experiment")) {
            ++nNumber;
            auto pEntry = std::make_unique<CSDLExperiments>();
            std::string strLabel, strParamPath;
            GetAttribute(experiment, "label", strLabel, false);
            GetAttribute(experiment, "path", strParamPath, false);
            // Without a label it cannot be told apart, without a path it has
            // nothing to run: skipped, and said so.
            if (Trim(strLabel).empty() || Trim(strParamPath).empty()) {
                Notifier().OutputLine(
                    NP_ERRORS, Format("The experiment %d of %s has no %s and is skipped.", nNumber,
                                      strFile.c_str(), Trim(strLabel).empty() ? "label" : "path"));
                continue;
            }
            GetText(experiment, pEntry->m_strText);
            strParamPath = NormalizeSlashes(strParamPath);
            if (!strParamPath.empty() && !HasDriveLetter(strParamPath)) {
                strParamPath = ResolvePathNoCase(JoinPath(strFolder, strParamPath));
            }
            pEntry->m_strPath = strParamPath;
            pEntry->m_strLabel = strLabel;
            m_mapExperiments[strLabel] = std::move(pEntry);
        }
    } catch (const CCustomException& e) {
        SideFileFailed(Format("The experiments %s cannot be read: %s", strFile.c_str(),
                              e.GetMessageText().c_str()));
        return false;
    }
    return true;
}
