#pragma once

// A small model builder for the core's tests: an engine with an in-memory
// model library, a string trace sink and a recording notifier, and helpers
// that add blocks, processes and wired channel pairs under its root.

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/modellibrary.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlchannelin.h"
#include "sh_sdl/sdlchannelout.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdlprocess.h"
#include "support/fakemodellibrary.h"
#include "support/recordingnotifier.h"
#include "support/stringtracesink.h"

namespace sdltest {

// The engine and its test doubles. The sink and the notifier are declared
// before the engine so that they outlive it.
class CTestModel {
public:
    explicit CTestModel(const std::string& strSystemName = "sys", int nRootId = 0) {
        auto pLibrary = std::make_unique<CFakeModelLibrary>();
        m_pLibrary = pLibrary.get();
        m_engine.SetModelLibrary(std::move(pLibrary));
        m_engine.SetTraceSink(&m_sink);
        m_engine.SetNotifier(&m_notifier);
        auto pRoot = std::make_unique<CSDLBlock>();
        pRoot->m_strName = strSystemName;
        pRoot->m_nId = nRootId;
        pRoot->m_pEngine = &m_engine;
        m_pRoot = pRoot.get();
        m_engine.SetRootAgent(std::move(pRoot));
        m_engine.m_strSystemName = strSystemName;
    }

    // A block under pParent (the root when null). An index above 0 makes it
    // an instance, keyed "name[index]" in its parent.
    CSDLBlock* AddBlock(CSDLAgent* pParent, const std::string& strName, int nId = 0,
                        int nIndex = 0) {
        return AddBlockOf<CSDLBlock>(pParent, strName, nId, nIndex);
    }

    // An automaton block under pParent with nCells cells, marked as such
    // once it is in the tree so that its ancestors know.
    CSDLmnca* AddMnca(CSDLAgent* pParent, const std::string& strName, int nId, int nCells) {
        CSDLmnca* pMnca = AddBlockOf<CSDLmnca>(pParent, strName, nId, 0);
        pMnca->SetNumCells(nCells);
        pMnca->SetMnca(true);
        return pMnca;
    }

    // A process under pParent (the root when null); an instance (index above
    // 0) is keyed "name[index]" beside its template.
    CSDLProcess* AddProcess(CSDLAgent* pParent, const std::string& strName, int nId = 0,
                            int nIndex = 0) {
        auto pProcess = std::make_unique<CSDLProcess>();
        pProcess->m_strName = strName;
        pProcess->m_nId = nId;
        pProcess->m_nInstanceIndex = nIndex;
        pProcess->m_pEngine = &m_engine;
        CSDLAgent* pOwner = pParent ? pParent : m_pRoot;
        if (nIndex == 0) {
            return pOwner->AddProcess(std::move(pProcess));
        }
        // Instances live beside their template under "name[index]".
        CSDLProcess* pRaw = pProcess.get();
        pRaw->m_pParent = pOwner;
        pOwner->m_mapProcesses[Format("%s[%d]", strName.c_str(), nIndex)] = std::move(pProcess);
        return pRaw;
    }

    // A channel named strName from pFrom to pTo carrying the given signals:
    // the output end in pFrom, the input end in pTo.
    static std::pair<CSDLChannelOut*, CSDLChannelIn*> Connect(
        CSDLAgent* pFrom, CSDLAgent* pTo, const std::string& strName,
        std::initializer_list<const char*> signals) {
        auto pOut = std::make_unique<CSDLChannelOut>(strName);
        auto pIn = std::make_unique<CSDLChannelIn>(strName);
        for (const char* pszSignal : signals) {
            pOut->AddSignal(pszSignal);
            pIn->AddSignal(pszSignal);
        }
        pOut->m_pTargetBlock = dynamic_cast<CSDLBlock*>(pTo);
        pOut->m_pTargetProcess = dynamic_cast<CSDLProcess*>(pTo);
        pOut->m_pSourceBlock = dynamic_cast<CSDLBlock*>(pFrom);
        pOut->m_pSourceProcess = dynamic_cast<CSDLProcess*>(pFrom);
        pIn->m_pSourceBlock = pOut->m_pSourceBlock;
        pIn->m_pSourceProcess = pOut->m_pSourceProcess;
        pIn->m_pOwningAgent = pTo;
        CSDLChannelOut* pOutRaw = pOut.get();
        CSDLChannelIn* pInRaw = pIn.get();
        pFrom->m_mapOutputChannels[strName] = std::move(pOut);
        pTo->m_mapInputChannels[strName] = std::move(pIn);
        return {pOutRaw, pInRaw};
    }

    // An input end named strName in pOwner with no partner.
    static CSDLChannelIn* AddInput(CSDLAgent* pOwner, const std::string& strName) {
        auto pIn = std::make_unique<CSDLChannelIn>(strName);
        pIn->m_pOwningAgent = pOwner;
        CSDLChannelIn* pRaw = pIn.get();
        pOwner->m_mapInputChannels[strName] = std::move(pIn);
        return pRaw;
    }

    // Declares a process variable (record) and, for the three model types,
    // its library variable under the process's identifier.
    void DeclareVariable(CSDLProcess* pProcess, const std::string& strName,
                         const std::string& strType, const std::string& strValue) {
        pProcess->m_mapVariables[strName] =
            std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
        const std::string strIdent = pProcess->GetVariableIdentifier(strName);
        if (strType == "int") {
            m_pLibrary->DeclareInt(strIdent, StringToInt(strValue));
        } else if (strType == "double") {
            m_pLibrary->DeclareDouble(strIdent, StringToDouble(strValue));
        } else if (strType == "char*") {
            m_pLibrary->DeclareString(strIdent, strValue);
        }
    }

    CSDLEngine& Engine() { return m_engine; }
    CSDLBlock* Root() const { return m_pRoot; }
    CFakeModelLibrary& Library() const { return *m_pLibrary; }
    CStringTraceSink& Sink() { return m_sink; }
    CRecordingNotifier& Notifier() { return m_notifier; }

private:
    template <class TBlock>
    TBlock* AddBlockOf(CSDLAgent* pParent, const std::string& strName, int nId, int nIndex) {
        auto pBlock = std::make_unique<TBlock>();
        pBlock->m_strName = strName;
        pBlock->m_nId = nId;
        pBlock->m_nInstanceIndex = nIndex;
        pBlock->m_pEngine = &m_engine;
        TBlock* pRaw = pBlock.get();
        (pParent ? pParent : m_pRoot)->AddBlock(std::move(pBlock));
        return pRaw;
    }

    CStringTraceSink m_sink;
    CRecordingNotifier m_notifier;
    CSDLEngine m_engine;
    CFakeModelLibrary* m_pLibrary = nullptr;
    CSDLBlock* m_pRoot = nullptr;
};

// An event of signal strName executed at dTime.
inline std::unique_ptr<CSDLEvent> MakeEvent(const std::string& strName, double dTime) {
    auto pEvent = std::make_unique<CSDLEvent>();
    pEvent->m_strName = strName;
    pEvent->m_dExecutionTime = dTime;
    return pEvent;
}

// How often strNeedle occurs in strText, without overlaps.
inline int CountOf(const std::string& strText, const std::string& strNeedle) {
    int nCount = 0;
    for (size_t nPos = strText.find(strNeedle); nPos != std::string::npos;
         nPos = strText.find(strNeedle, nPos + strNeedle.size())) {
        ++nCount;
    }
    return nCount;
}

// Everything the engine tells its listener, kept in order.
class CRecordingListener : public CEngineListener {
public:
    void OnRunStateChanged(EngineRunState eState) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecStates.push_back(eState);
    }
    void OnStep(long long nStep, double dTime) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecSteps.emplace_back(nStep, dTime);
    }
    void OnErrorPending() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nErrors;
    }
    void OnAgentsChanged(const std::vector<std::string>& vecAdded,
                         const std::vector<std::string>& vecRemoved) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecAdded.insert(m_vecAdded.end(), vecAdded.begin(), vecAdded.end());
        m_vecRemoved.insert(m_vecRemoved.end(), vecRemoved.begin(), vecRemoved.end());
    }
    std::vector<EngineRunState> States() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecStates;
    }
    std::vector<std::pair<long long, double>> Steps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecSteps;
    }
    int Errors() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nErrors;
    }
    std::vector<std::string> Added() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecAdded;
    }
    std::vector<std::string> Removed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecRemoved;
    }

private:
    std::mutex m_mutex;
    std::vector<EngineRunState> m_vecStates;
    std::vector<std::pair<long long, double>> m_vecSteps;
    int m_nErrors = 0;
    std::vector<std::string> m_vecAdded;
    std::vector<std::string> m_vecRemoved;
};

}  // namespace sdltest
