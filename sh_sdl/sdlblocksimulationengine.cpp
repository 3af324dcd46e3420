#include "sh_sdl/sdlblocksimulationengine.h"

#include <memory>
#include <string>
#include <utility>

#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationsettimer.h"
#include "sh_sdl/sdloperationstart.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// Appends operations to one transition of a process: each new operation is
// kept by the process, belongs to it and follows the one added before. The
// type tags are those a loaded model's operations carry.
class CTransitionBuilder {
public:
    CTransitionBuilder(CSDLProcess* pProcess, std::string strState)
        : m_pProcess(pProcess), m_strState(std::move(strState)) {}

    CTransitionBuilder& Add(std::unique_ptr<CSDLOperation> pOperation, const char* pszType,
                            std::string strName = std::string(), int nId = 0) {
        pOperation->m_strType = pszType;
        pOperation->m_strName = std::move(strName);
        pOperation->m_nId = nId;
        pOperation->m_pOwner = m_pProcess;
        pOperation->m_strStateName = m_strState;
        CSDLOperation* pAdded = m_pProcess->AddOperation(std::move(pOperation));
        (m_pLast ? m_pLast->m_pNext : m_pFirst) = pAdded;
        m_pLast = pAdded;
        return *this;
    }
    CTransitionBuilder& Input(const char* pszSignal, int nId) {
        return Add(std::make_unique<CSDLOperationInput>(), "input", pszSignal, nId);
    }
    CTransitionBuilder& Call(const char* pszProcedure, int nId) {
        return Add(std::make_unique<CSDLOperationProcedureCall>(), "ProcedureCall", pszProcedure,
                   nId);
    }
    CTransitionBuilder& Output(const char* pszSignal, int nId) {
        return Add(std::make_unique<CSDLOperationOutput>(), "output", pszSignal, nId);
    }
    CTransitionBuilder& SetState(const char* pszState, int nId) {
        return Add(std::make_unique<CSDLOperationSetState>(pszState), "setstate", pszState, nId);
    }

    CSDLOperation* First() const { return m_pFirst; }

private:
    CSDLProcess* m_pProcess;
    std::string m_strState;
    CSDLOperation* m_pFirst = nullptr;
    CSDLOperation* m_pLast = nullptr;
};

}  // namespace

CSDLBlockSimulationEngine::CSDLBlockSimulationEngine() {
    auto pProcess = std::make_unique<CSDLProcess>();
    pProcess->m_strName = "Main loop";
    m_pMainLoop = AddProcess(std::move(pProcess));

    CTransitionBuilder start(m_pMainLoop, "start");
    start.Add(std::make_unique<CSDLOperationStart>(), "start").SetState("Waiting", 1);
    m_pMainLoop->m_pStartOperation = start.First();

    // Waiting for the start of a simulation.
    CTransitionBuilder starts(m_pMainLoop, "Waiting");
    starts.Input("SimulationStarts", 1)
        .Call("IniModel", 2)
        .Call("FirstEvent", 3)
        .Output("Event", 4)
        .SetState("MainLoop", 5);
    m_pMainLoop->m_mapStates["Waiting:SimulationStarts"] = starts.First();

    // An event is handled, then the next one is asked for.
    CTransitionBuilder event(m_pMainLoop, "MainLoop");
    event.Input("Event", 1)
        .Call("ProcessEvent", 2)
        .Add(std::make_unique<CSDLOperationSetTimer>(), "settimer", "GetEvent", 3)
        .SetState("MainLoop", 4);
    m_pMainLoop->m_mapStates["MainLoop:Event"] = event.First();

    // The next event goes out and the finish condition decides whether the
    // loop goes on or the statistics are written and the cycle waits again.
    CTransitionBuilder next(m_pMainLoop, "MainLoop");
    next.Input("GetEvent", 5)
        .Call("FirstEvent", 6)
        .Output("E.Name", 7)
        .Call("EvalFinishCondition", 8)
        .Add(std::make_unique<CSDLOperationDecision>(), "decision", "Condition 1", 9)
        .SetState("MainLoop", 10)
        .Call("WriteStatistics", 11)
        .SetState("Waiting", 12);
    m_pMainLoop->m_mapStates["MainLoop:GetEvent"] = next.First();
}
