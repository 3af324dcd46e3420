// Operation element readers, the procedure-call factory and the built-in
// procedures every process gets.

#include "sh_aux/hpslib.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeanimto.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeremoveat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyeresumeat.h"
#include "sh_sdl/eye/sdloperationprocedurecalleyestopat.h"
#include "sh_sdl/eye/sdloperationprocedurecallnumneighborsalive.h"
#include "sh_sdl/eye/sdloperationprocedurecallopenfile.h"
#include "sh_sdl/eye/sdloperationprocedurecallreport.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcellvalue.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcurrentcell.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncagetneighborid.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncamoorevicinity.h"
#include "sh_sdl/mnca/sdloperationprocedurecallmncasetcellvalue.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdloperationcreate.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationsettimer.h"
#include "sh_sdl/sdloperationstart.h"
#include "sh_sdl/sdloperationtask.h"
#include "sh_sdl/sdlparameter.h"
#include "sh_sdl/sdlprocess.h"

// ---- Dispatch ----------------------------------------------------------------------------

std::unique_ptr<CSDLOperation> CSDLLoader::ReadOperation(const std::string& strTag,
                                                         CXMLNode element, CSDLProcess* pProcess,
                                                         bool bInBody, bool& bKnown) {
    bKnown = true;
    if (strTag == "create" || (bInBody && strTag == "createrequest")) {
        return ReadCreate(element, pProcess);
    }
    if (strTag == "decision") {
        return ReadDecision(element, pProcess);
    }
    if (strTag == "input") {
        return ReadInput(element, pProcess);
    }
    if (strTag == "output") {
        return ReadOutput(element, pProcess);
    }
    if (strTag == "procedurecall") {
        return ReadProcedureCall(element, pProcess);
    }
    if (strTag == "setstate") {
        return ReadSetState(element, pProcess);
    }
    if (strTag == "settimer") {
        return ReadSetTimer(element, pProcess);
    }
    if (strTag == "start") {
        return ReadStart(element, pProcess);
    }
    if (strTag == "task") {
        return ReadTask(element, pProcess);
    }
    bKnown = false;
    return nullptr;
}

// ---- Readers -------------------------------------------------------------------------------

void CSDLLoader::ReadCommon(CSDLOperation* pOperation, CXMLNode element, CSDLProcess* pProcess,
                            const char* pszTag) {
    std::string strName, strId;
    GetAttribute(element, "name", strName, false);
    GetAttribute(element, "id", strId, false);
    pOperation->m_strName = strName;
    pOperation->m_nId = StringToInt(strId);
    pOperation->m_pOwner = pProcess;
    pOperation->m_strType = pszTag;
}

void CSDLLoader::ReadDebugEntries(CSDLOperation* pOperation, CXMLNode element) {
    for (const CXMLNode& debug : FindChildren(element, "debug")) {
        std::string strMessage, strVariable;
        GetAttribute(debug, "message", strMessage, false);
        GetAttribute(debug, "variable", strVariable, false);
        pOperation->m_mapDebugMessages[strVariable] = strMessage;
    }
}

std::unique_ptr<CSDLOperationCreate> CSDLLoader::ReadCreate(CXMLNode element,
                                                            CSDLProcess* pProcess) {
    auto pCreate = std::make_unique<CSDLOperationCreate>();
    ReadCommon(pCreate.get(), element, pProcess, "create");
    std::string strTarget, strQuantity;
    ReadAttribute(element, "target", strTarget);
    ReadAttribute(element, "qtt", strQuantity);
    pCreate->m_strTarget = strTarget.empty() ? pCreate->m_strName : strTarget;
    pCreate->m_nQuantity = StringToInt(strQuantity.empty() ? std::string("1") : strQuantity);
    ReadDebugEntries(pCreate.get(), element);
    return pCreate;
}

std::unique_ptr<CSDLOperationDecision> CSDLLoader::ReadDecision(CXMLNode element,
                                                                CSDLProcess* pProcess) {
    auto pDecision = std::make_unique<CSDLOperationDecision>();
    ReadCommon(pDecision.get(), element, pProcess, "decision");
    std::string strTrue, strFalse;
    GetAttribute(element, "iftrue", strTrue, false);
    GetAttribute(element, "iffalse", strFalse, false);
    GetText(element, pDecision->m_strCondition);
    pDecision->m_nIfTrue = StringToInt(strTrue);
    pDecision->m_nIfFalse = StringToInt(strFalse);
    ReadDebugEntries(pDecision.get(), element);
    return pDecision;
}

std::unique_ptr<CSDLOperationInput> CSDLLoader::ReadInput(CXMLNode element, CSDLProcess* pProcess) {
    auto pInput = std::make_unique<CSDLOperationInput>();
    ReadCommon(pInput.get(), element, pProcess, "input");
    ReadDebugEntries(pInput.get(), element);
    return pInput;
}

std::unique_ptr<CSDLOperationOutput> CSDLLoader::ReadOutput(CXMLNode element,
                                                            CSDLProcess* pProcess) {
    auto pOutput = std::make_unique<CSDLOperationOutput>();
    ReadCommon(pOutput.get(), element, pProcess, "output");
    GetAttribute(element, "self", pOutput->m_strSelf, false);
    GetAttribute(element, "to", pOutput->m_strTo, false);
    GetAttribute(element, "via", pOutput->m_strVia, false);

    CSDLEvent& signal = *pOutput->m_pSignal;
    for (const CXMLNode& param : FindChildren(element, "param")) {
        std::string strName, strValue;
        GetAttribute(param, "name", strName, false);
        GetAttribute(param, "value", strValue, false);
        if (strName == "creationtime") {
            signal.m_strCreationTime = strValue;
        } else if (strName == "executiontime") {
            signal.m_strExecutionTime = strValue;
        } else if (strName == "delay") {
            signal.m_strDelay = strValue;
        } else if (strName == "id") {
            signal.m_strId = strValue;
        } else if (strName == "priority") {
            signal.m_strPriority = strValue;
        } else if (strName == "type") {
            signal.m_strType = strValue;
        } else if (strName == "realtime") {
            signal.m_strRealTime = strValue;
        } else if (strName == "mnca_cell[]") {
            signal.m_strCells = strValue;
        }
    }
    for (const CXMLNode& userParam : FindChildren(element, "userparam")) {
        std::string strName, strValue;
        GetAttribute(userParam, "name", strName, false);
        GetAttribute(userParam, "value", strValue, false);
        auto pParameter = std::make_unique<CSDLParameter>("", strName, strValue, "no");
        pParameter->m_strSourceText = strValue;
        signal.m_mapUserParams[strName] = std::move(pParameter);
    }
    signal.m_strName = pOutput->m_strName;
    signal.m_bRemote = false;
    signal.m_nTag = 0;
    ReadDebugEntries(pOutput.get(), element);
    return pOutput;
}

std::unique_ptr<CSDLOperationSetState> CSDLLoader::ReadSetState(CXMLNode element,
                                                                CSDLProcess* pProcess) {
    auto pSetState = std::make_unique<CSDLOperationSetState>();
    ReadCommon(pSetState.get(), element, pProcess, "setstate");
    pSetState->m_strState = pSetState->m_strName;
    ReadDebugEntries(pSetState.get(), element);
    return pSetState;
}

std::unique_ptr<CSDLOperationSetTimer> CSDLLoader::ReadSetTimer(CXMLNode element,
                                                                CSDLProcess* pProcess) {
    auto pSetTimer = std::make_unique<CSDLOperationSetTimer>();
    ReadCommon(pSetTimer.get(), element, pProcess, "settimer");
    ReadDebugEntries(pSetTimer.get(), element);
    return pSetTimer;
}

std::unique_ptr<CSDLOperationStart> CSDLLoader::ReadStart(CXMLNode element, CSDLProcess* pProcess) {
    auto pStart = std::make_unique<CSDLOperationStart>();
    ReadCommon(pStart.get(), element, pProcess, "start");
    ReadDebugEntries(pStart.get(), element);
    return pStart;
}

std::unique_ptr<CSDLOperationTask> CSDLLoader::ReadTask(CXMLNode element, CSDLProcess* pProcess) {
    auto pTask = std::make_unique<CSDLOperationTask>();
    ReadCommon(pTask.get(), element, pProcess, "task");
    GetText(element, pTask->m_strCode);
    ReadAttribute(element, "print", pTask->m_strPrintVariable);
    ReadAttribute(element, "printmsg", pTask->m_strPrintMessage);
    ReadDebugEntries(pTask.get(), element);
    return pTask;
}

// ---- Procedure calls ------------------------------------------------------------------------

std::unique_ptr<CSDLOperationProcedureCall> CSDLLoader::MakeProcedureCall(
    const std::string& strClassName) {
    if (strClassName == "CSDLOperationProcedureCallReport") {
        return std::make_unique<CSDLOperationProcedureCallReport>();
    }
    if (strClassName == "CSDLOperationProcedureCallOpenFile") {
        return std::make_unique<CSDLOperationProcedureCallOpenFile>();
    }
    if (strClassName == "CSDLOperationProcedureCallmncaSetCellValue") {
        return std::make_unique<CSDLOperationProcedureCallmncaSetCellValue>();
    }
    if (strClassName == "CSDLOperationProcedureCallmncaGetCellValue") {
        return std::make_unique<CSDLOperationProcedureCallmncaGetCellValue>();
    }
    if (strClassName == "CSDLOperationProcedureCallmncaGetCurrentCell") {
        return std::make_unique<CSDLOperationProcedureCallmncaGetCurrentCell>();
    }
    if (strClassName == "CSDLOperationProcedureCallmncaMooreVicinity") {
        return std::make_unique<CSDLOperationProcedureCallmncaMooreVicinity>();
    }
    if (strClassName == "CSDLOperationProcedureCallmncaGetNeighborID") {
        return std::make_unique<CSDLOperationProcedureCallmncaGetNeighborID>();
    }
    if (strClassName == "CSDLOperationProcedureCallNumNeighborsAlive") {
        return std::make_unique<CSDLOperationProcedureCallNumNeighborsAlive>();
    }
    if (strClassName == "CSDLOperationProcedureCallEyeAnimTo") {
        return std::make_unique<CSDLOperationProcedureCallEyeAnimTo>();
    }
    if (strClassName == "CSDLOperationProcedureCallEyeRemoveAt") {
        return std::make_unique<CSDLOperationProcedureCallEyeRemoveAt>();
    }
    if (strClassName == "CSDLOperationProcedureCallEyeStopAt") {
        return std::make_unique<CSDLOperationProcedureCallEyeStopAt>();
    }
    if (strClassName == "CSDLOperationProcedureCallEyeResumeAt") {
        return std::make_unique<CSDLOperationProcedureCallEyeResumeAt>();
    }
    return std::make_unique<CSDLOperationProcedureCall>();
}

std::unique_ptr<CSDLOperationProcedureCall> CSDLLoader::ReadProcedureCall(CXMLNode element,
                                                                          CSDLProcess* pProcess) {
    std::string strName, strId;
    GetAttribute(element, "name", strName, false);
    GetAttribute(element, "id", strId, false);
    CSDLProcedure* pProcedure = pProcess->GetProcedure(strName);
    if (!pProcedure) {
        AddError(pProcess->ReportError(Format("The PROCEDURE %s is not defined.", strName.c_str()),
                                       SDL_ERROR));
        return nullptr;
    }
    std::unique_ptr<CSDLOperationProcedureCall> pCall =
        MakeProcedureCall(pProcedure->m_strClassName);
    ReadDebugEntries(pCall.get(), element);
    ReadProcedureCallParams(strName, strId, element, pCall.get(), pProcess, pProcedure);
    return pCall;
}

CSDLOperationProcedureCall* CSDLLoader::ReadProcedureCallParams(
    const std::string& strName, const std::string& strId, CXMLNode element,
    CSDLOperationProcedureCall* pCall, CSDLProcess* pProcess, CSDLProcedure* pProcedure) {
    pCall->m_strName = strName;
    pCall->m_nId = StringToInt(strId);
    pCall->m_pOwner = pProcess;
    // Its actuals are names where the call stands.
    pCall->m_pProcedure = m_pReadingProcedure;
    for (const CXMLNode& param : FindChildren(element, "param")) {
        std::string strParam, strValue;
        GetAttribute(param, "name", strParam, false);
        GetAttribute(param, "value", strValue, false);
        const CSDLParameter* pFormal = FindIn(pProcedure->m_mapFormals, strParam);
        if (pFormal) {
            // A number written here is known now, and so is the type that
            // takes it: one that type does not read whole fails the load.
            const std::string_view strKind = ValueTypeOf(pFormal->m_strType);
            if ((strKind == "int" || strKind == "double") && pCall->IsLiteralActual(strValue) &&
                !IsValueOfType(pFormal->m_strType, strValue)) {
                AddError(RefusedValueLine(strValue, pFormal->m_strType,
                                          Format("the parameter %s of the procedure call %s (id "
                                                 "%s) of process %s in %s",
                                                 strParam.c_str(), strName.c_str(), strId.c_str(),
                                                 pProcess->GetFullName(false).c_str(),
                                                 m_strReadingFile.c_str())) +
                         ".");
                continue;
            }
            pCall->m_mapParameters[strParam] =
                std::make_unique<CSDLParameter>(pFormal->m_strType, strParam, strValue, "no");
            continue;
        }
        CSDLAgent* pOwner = pProcedure->m_pOwner ? pProcedure->m_pOwner : pProcess;
        AddError(pOwner->ReportError(Format("The parameter \"%s\" is not defined on procedure "
                                            "call \"%s\"",
                                            strParam.c_str(), pCall->m_strName.c_str()),
                                     SDL_ERROR));
    }
    return pCall;
}

// ---- Built-in procedures ----------------------------------------------------------------------

namespace {

struct SBuiltIn {
    int nId;
    const char* pszName;
    const char* pszClass;
    const char* apszTypes[10];  // of PARAM_1, PARAM_2, ...; null after the last
};

const SBuiltIn s_aBuiltIns[] = {
    {50, "Report", "CSDLOperationProcedureCallReport", {"double"}},
    {51, "mncaGetCurrentCell", "CSDLOperationProcedureCallmncaGetCurrentCell", {"int"}},
    {52,
     "mncaGetCellValue",
     "CSDLOperationProcedureCallmncaGetCellValue",
     {"char*", "int", "double"}},
    {53,
     "mncaSetCellValue",
     "CSDLOperationProcedureCallmncaSetCellValue",
     {"char*", "int", "double"}},
    {54,
     "mncaMooreVicinity",
     "CSDLOperationProcedureCallmncaMooreVicinity",
     {"char*", "int", "double", "double", "double", "double", "double", "double", "double",
      "double"}},
    {55, "mncaGetNeighborID", "CSDLOperationProcedureCallmncaGetNeighborID", {"int", "int"}},
    {56, "_NumNeighborsAlive", "CSDLOperationProcedureCallNumNeighborsAlive", {"int"}},
    {57,
     "AnimTo",
     "CSDLOperationProcedureCallEyeAnimTo",
     {"double", "char*", "double", "double", "double"}},
    {58, "RemoveAt", "CSDLOperationProcedureCallEyeRemoveAt", {"double"}},
    {59, "StopAt", "CSDLOperationProcedureCallEyeStopAt", {"double", "double"}},
    {60, "ResumeAt", "CSDLOperationProcedureCallEyeResumeAt", {"double", "double"}},
};

}  // namespace

int CSDLLoader::RegisterBuiltInProcedures(CSDLProcess* pProcess) {
    for (const SBuiltIn& builtIn : s_aBuiltIns) {
        auto pProcedure = std::make_unique<CSDLProcedure>(builtIn.pszName, builtIn.nId,
                                                          builtIn.pszClass, pProcess, true);
        std::string strDeclarations;
        int nIndex = 1;
        for (const char* pszType : builtIn.apszTypes) {
            if (!pszType) {
                break;
            }
            const std::string strParam = Format("PARAM_%d", nIndex++);
            pProcedure->m_mapFormals[strParam] =
                std::make_unique<CSDLParameter>(pszType, strParam, "", "yes");
            strDeclarations += Format(" %s %s;\n", pszType, strParam.c_str());
        }
        pProcedure->m_strDeclarations = strDeclarations;
        if (CSDLProcedure* pOld = pProcess->GetProcedure(builtIn.pszName)) {
            ForgetProcedure(pOld);
        }
        pProcess->m_mapProcedures[builtIn.pszName] = std::move(pProcedure);
    }
    return 0;
}
