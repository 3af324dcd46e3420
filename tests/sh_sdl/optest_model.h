#pragma once

// Helpers of the operation, procedure-call, instance and self-description
// tests: operation lists built the way the model reader leaves them (type
// tags in lower case, state names, owners, procedures), procedures with
// formals, a run driven by stepping the root block, and a model library
// compiled from C text.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "sh_aux/externalcompiler.h"
#include "sh_sdl/sdloperationcreate.h"
#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationsettimer.h"
#include "sh_sdl/sdloperationstart.h"
#include "sh_sdl/sdloperationtask.h"
#include "support/fakemodellibrary.h"
#include "test_helpers.h"

namespace optest {

// The operations of one list: the start transition (state "start"), a state,
// or the body of a procedure. Each operation added is linked after the
// previous one; the first is filed where the list belongs. State operations
// are entered in the engine's operation map under their code IDs, as the
// model reader does.
class CChain {
public:
    CChain(CSDLProcess* pProcess, std::string strState, CSDLProcedure* pProcedure = nullptr)
        : m_pProcess(pProcess), m_strState(std::move(strState)), m_pProcedure(pProcedure) {}

    template <class T>
    T* Add(const std::string& strTag, int nId, const std::string& strName) {
        auto pNew = std::make_unique<T>();
        pNew->m_strType = strTag;
        pNew->m_nId = nId;
        pNew->m_strName = strName;
        pNew->m_strStateName = m_strState;
        pNew->m_pOwner = m_pProcess;
        pNew->m_pProcedure = m_pProcedure;
        T* pRaw = pNew.get();
        m_pProcess->AddOperation(std::move(pNew));
        if (m_pLast) {
            m_pLast->m_pNext = pRaw;
        } else if (m_pProcedure) {
            m_pProcedure->m_pBody = pRaw;
            m_pProcedure->m_bHasBody = true;
        } else if (m_strState == "start") {
            m_pProcess->m_pStartOperation = pRaw;
        } else {
            m_pProcess->m_mapStates[m_strState] = pRaw;
        }
        if (!m_pProcedure && m_strState != "start" && m_pProcess->m_pEngine) {
            m_pProcess->m_pEngine->m_mapOperations[pRaw->GetCodeID()] = pRaw;
        }
        m_pLast = pRaw;
        return pRaw;
    }

    CSDLOperationStart* Start(int nId) { return Add<CSDLOperationStart>("start", nId, "start"); }
    CSDLOperationInput* Input(int nId, const std::string& strSignal) {
        return Add<CSDLOperationInput>("input", nId, strSignal);
    }
    CSDLOperationTask* Task(int nId, const std::string& strName = "") {
        return Add<CSDLOperationTask>("task", nId, strName);
    }
    CSDLOperationSetTimer* SetTimer(int nId) {
        return Add<CSDLOperationSetTimer>("settimer", nId, "timer");
    }
    // The target state is the operation's name, as in a model file.
    CSDLOperationSetState* SetState(int nId, const std::string& strTarget) {
        auto* pOp = Add<CSDLOperationSetState>("setstate", nId, strTarget);
        pOp->m_strState = strTarget;
        return pOp;
    }
    CSDLOperationDecision* Decision(int nId, int nIfTrue, int nIfFalse,
                                    const std::string& strName = "") {
        auto* pOp = Add<CSDLOperationDecision>("decision", nId, strName);
        pOp->m_nIfTrue = nIfTrue;
        pOp->m_nIfFalse = nIfFalse;
        return pOp;
    }
    // An output with self "no" and the template named after the signal.
    CSDLOperationOutput* Output(int nId, const std::string& strSignal) {
        auto* pOp = Add<CSDLOperationOutput>("output", nId, strSignal);
        pOp->m_strSelf = "no";
        pOp->m_pSignal->m_strName = strSignal;
        return pOp;
    }
    CSDLOperationCreate* Create(int nId, const std::string& strTarget, int nQuantity) {
        auto* pOp = Add<CSDLOperationCreate>("create", nId, strTarget);
        pOp->m_strTarget = strTarget;
        pOp->m_nQuantity = nQuantity;
        return pOp;
    }
    // A call of the owner's procedure strProcedure (the tag stays the class's).
    CSDLOperationProcedureCall* Call(int nId, const std::string& strProcedure) {
        return Add<CSDLOperationProcedureCall>("ProcedureCall", nId, strProcedure);
    }

private:
    CSDLProcess* m_pProcess;
    std::string m_strState;
    CSDLProcedure* m_pProcedure;
    CSDLOperation* m_pLast = nullptr;
};

// A user parameter of an output's template, as the model reader makes it:
// value and source text both the attribute's text.
inline void AddUserParam(CSDLOperationOutput* pOutput, const std::string& strName,
                         const std::string& strValue) {
    auto pParam = std::make_unique<CSDLParameter>("", strName, strValue, "no");
    pParam->m_strSourceText = strValue;
    pOutput->m_pSignal->m_mapUserParams[strName] = std::move(pParam);
}

// An actual parameter of a call: the formal it feeds and the caller's text.
inline void AddActual(CSDLOperationProcedureCall* pCall, const std::string& strFormal,
                      const std::string& strValue, const std::string& strType) {
    pCall->m_mapParameters[strFormal] =
        std::make_unique<CSDLParameter>(strType, strFormal, strValue, "no");
}

// A model procedure of pProcess.
inline CSDLProcedure* AddProcedure(CSDLProcess* pProcess, const std::string& strName, int nId) {
    auto pProcedure = std::make_unique<CSDLProcedure>(strName, nId, "", pProcess, false);
    CSDLProcedure* pRaw = pProcedure.get();
    pProcess->m_mapProcedures[strName] = std::move(pProcedure);
    return pRaw;
}

// The exported identifier of a procedure's formal.
inline std::string FormalIdent(const CSDLProcedure* pProcedure, const std::string& strFormal) {
    return CSDLEngine::FormatQualifiedName(strFormal, pProcedure->GetInstanceName());
}

// A formal of pProcedure and, for the three model types, its variable in the
// in-memory library.
inline void AddFormal(CFakeModelLibrary& library, CSDLProcedure* pProcedure,
                      const std::string& strName, const std::string& strType,
                      const std::string& strByReference, const std::string& strValue = "0") {
    pProcedure->m_mapFormals[strName] =
        std::make_unique<CSDLParameter>(strType, strName, strValue, strByReference);
    const std::string strIdent = FormalIdent(pProcedure, strName);
    if (strType == "int") {
        library.DeclareInt(strIdent, StringToInt(strValue));
    } else if (strType == "double") {
        library.DeclareDouble(strIdent, StringToDouble(strValue));
    } else if (strType == "char*") {
        library.DeclareString(strIdent, strValue);
    }
}

// A process variable with its declared copy, as the model reader files it
// (records only; the library is the test's business).
inline void DeclareRecord(CSDLProcess* pProcess, const std::string& strName,
                          const std::string& strType, const std::string& strValue) {
    pProcess->m_mapVariables[strName] =
        std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
    pProcess->m_mapDeclaredVariables[strName] =
        std::make_shared<CSDLParameter>(strType, strName, strValue, "no");
}

// ---- Runs ------------------------------------------------------------------------------

// What the run start does before the loop: no pending times, the library's
// initial values, every start transition.
inline void BeginTestRun(CSDLEngine& engine) {
    engine.ClearPendingEvents();
    CSDLAgent* pRoot = engine.GetRootAgent();
    pRoot->m_bStop = false;
    if (CModelLibrary* pLibrary = engine.GetModelLibrary()) {
        std::string strName;
        pLibrary->IniModel(strName);
    }
    pRoot->Initialize();
    engine.m_bInitialized = true;
}

// Steps the root block until no event is pending or nMaxSteps steps ran;
// returns the number of steps. While the checks of the agents with work are
// on, each step first compares them with what a full sweep would step, as a
// run does; a difference fails the test and ends the stepping.
inline int StepUntilQuiet(CSDLEngine& engine, int nMaxSteps) {
    int nSteps = 0;
    bool bFound = true;
    engine.GetNextEventTime(&bFound);
    while (bFound && nSteps < nMaxSteps) {
        if (CSDLEngine::ChecksAgentsWithWork()) {
            bool bBusy = false;
            const std::string strDifference = engine.GetRootAgent()->CheckAgentsWithWork(bBusy);
            if (!strDifference.empty()) {
                ADD_FAILURE() << "Step " << nSteps + 1
                              << " skips agents a full sweep would step: " << strDifference;
                return nSteps;
            }
        }
        engine.GetRootAgent()->Step();
        ++nSteps;
        engine.GetNextEventTime(&bFound);
    }
    return nSteps;
}

// What the end of a run does to the model.
inline void EndTestRun(CSDLEngine& engine) {
    engine.m_bInitialized = false;
    engine.GetRootAgent()->Reset();
    engine.RemoveInstances();
}

// ---- A model library compiled from C text -------------------------------------------------

// A folder of its own below the temporary folder, removed with the object.
class CTempFolder {
public:
    explicit CTempFolder(const std::string& strTag)
        : m_path(std::filesystem::temp_directory_path() /
                 ("velko_optests_" + strTag + "_" + std::to_string(getpid()))) {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~CTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Writes strSource to <folder>/<name>.c and builds <name>.so with the
// external compiler; returns the library's path, or "" with the compiler's
// texts in strLog.
inline std::string BuildCLibrary(const std::filesystem::path& folder, const std::string& strName,
                                 const std::string& strSource, std::string& strLog) {
    const std::string strBase = (folder / strName).string();
    {
        std::ofstream file(strBase + ".c", std::ios::binary | std::ios::trunc);
        file << strSource;
    }
    CExternalCompiler compiler(EC_DEFAULT_COMPILER);
    strLog = compiler.Compile(strBase, "");
    if (!compiler.LastRunSucceeded()) {
        return {};
    }
    strLog += compiler.Link(strBase);
    return compiler.LastRunSucceeded() ? strBase + ".so" : std::string();
}

// The fixed head of a model library source: the standard includes and the
// export macro block.
inline std::string LibraryHead() {
    return "#include <stdio.h>\n#include <string.h>\n"
           "#ifdef BUILD_DLL\n/* DLL export */\n"
           "#define SDLCODE_EXPORT __attribute__((visibility(\"default\")))\n"
           "#else\n/* EXE import */\n#define SDLCODE_EXPORT\n#endif\n\n";
}

// The getter and the setter of one library variable, each under its banner.
inline std::string LibraryAccessors(const std::string& strType, const std::string& strIdent) {
    const std::string strSlashes(79, '/');
    return strSlashes +
           "\n// Create Get functions - create a get function for each variable of the "
           "model.\nSDLCODE_EXPORT " +
           strType + " Get" + strIdent + "()\n{\n\treturn " + strIdent + ";\n}\n\n" + strSlashes +
           "\n// Create Set functions - create a set function for each variable of the "
           "model.\nSDLCODE_EXPORT " +
           strType + " Set" + strIdent + "(" + strType + " Set_" + strIdent + ")\n{\n\t" +
           strIdent + " = Set_" + strIdent + ";\n\treturn " + strIdent + ";\n}\n\n";
}

}  // namespace optest
