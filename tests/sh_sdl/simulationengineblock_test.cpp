#include "sh_sdl/sdlblocksimulationengine.h"

#include <gtest/gtest.h>

#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "sh_sdl/sdloperationdecision.h"
#include "sh_sdl/sdloperationinput.h"
#include "sh_sdl/sdloperationoutput.h"
#include "sh_sdl/sdloperationprocedurecall.h"
#include "sh_sdl/sdloperationsetstate.h"
#include "sh_sdl/sdloperationsettimer.h"
#include "sh_sdl/sdloperationstart.h"
#include "sh_sdl/sdlprocess.h"

namespace {

struct SRow {
    std::type_index type;
    std::string strName;
    int nId;
    // The target of a set-state operation.
    std::string strTarget;
};

const std::type_index kStart = typeid(CSDLOperationStart);
const std::type_index kSetState = typeid(CSDLOperationSetState);
const std::type_index kInput = typeid(CSDLOperationInput);
const std::type_index kCall = typeid(CSDLOperationProcedureCall);
const std::type_index kOutput = typeid(CSDLOperationOutput);
const std::type_index kSetTimer = typeid(CSDLOperationSetTimer);
const std::type_index kDecision = typeid(CSDLOperationDecision);

// Walks a transition and compares every operation with the rows, in order;
// the chain must end exactly after the last row.
void ExpectChain(const CSDLProcess* pProcess, const CSDLOperation* pFirst,
                 const std::vector<SRow>& rows) {
    const CSDLOperation* pOperation = pFirst;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(pOperation, nullptr) << "chain ends early";
        EXPECT_EQ(std::type_index(typeid(*pOperation)), rows[i].type);
        EXPECT_EQ(pOperation->m_strName, rows[i].strName);
        EXPECT_EQ(pOperation->m_nId, rows[i].nId);
        EXPECT_EQ(pOperation->m_pOwner, pProcess);
        if (const auto* pSetState = dynamic_cast<const CSDLOperationSetState*>(pOperation)) {
            EXPECT_EQ(pSetState->m_strState, rows[i].strTarget);
        }
        pOperation = pOperation->m_pNext;
    }
    EXPECT_EQ(pOperation, nullptr) << "chain is longer than expected";
}

TEST(SimulationEngineBlock, MainLoopProcessHoldsTheSimulationCycle) {
    CSDLBlockSimulationEngine block;
    CSDLProcess* pMain = block.GetMainLoop();
    ASSERT_NE(pMain, nullptr);
    ASSERT_EQ(block.m_mapProcesses.size(), 1u);
    EXPECT_EQ(block.GetProcess("Main loop"), pMain);
    EXPECT_EQ(pMain->m_pParent, &block);
    EXPECT_TRUE(block.m_mapBlocks.empty());

    ExpectChain(pMain, pMain->m_pStartOperation,
                {{kStart, "", 0, ""}, {kSetState, "Waiting", 1, "Waiting"}});

    std::vector<std::string> keys;
    for (const auto& entry : pMain->m_mapStates) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"MainLoop:Event", "MainLoop:GetEvent",
                                              "Waiting:SimulationStarts"}));

    ExpectChain(pMain, pMain->GetStateOperation("Waiting:SimulationStarts"),
                {{kInput, "SimulationStarts", 1, ""},
                 {kCall, "IniModel", 2, ""},
                 {kCall, "FirstEvent", 3, ""},
                 {kOutput, "Event", 4, ""},
                 {kSetState, "MainLoop", 5, "MainLoop"}});
    ExpectChain(pMain, pMain->GetStateOperation("MainLoop:Event"),
                {{kInput, "Event", 1, ""},
                 {kCall, "ProcessEvent", 2, ""},
                 {kSetTimer, "GetEvent", 3, ""},
                 {kSetState, "MainLoop", 4, "MainLoop"}});
    ExpectChain(pMain, pMain->GetStateOperation("MainLoop:GetEvent"),
                {{kInput, "GetEvent", 5, ""},
                 {kCall, "FirstEvent", 6, ""},
                 {kOutput, "E.Name", 7, ""},
                 {kCall, "EvalFinishCondition", 8, ""},
                 {kDecision, "Condition 1", 9, ""},
                 {kSetState, "MainLoop", 10, "MainLoop"},
                 {kCall, "WriteStatistics", 11, ""},
                 {kSetState, "Waiting", 12, "Waiting"}});
}

}  // namespace
