#pragma once

// The model library: the decisions, tasks and variables of a model, built
// from its generated C code. Calls into it are guarded: a fault in the
// modeller's code (a division by zero, a bad pointer) is trapped and
// reported as a failed call instead of ending the simulator.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

enum ModelCallResult {
    MC_OK,       // the call ran
    MC_MISSING,  // the library does not export the symbol; nothing was called
    MC_FAULT,    // the call raised a fault that was trapped
};

class CModelLibrary {
public:
    virtual ~CModelLibrary() = default;

    virtual ModelCallResult GetModelDecision(const std::string& strId, int& nResult) = 0;
    virtual ModelCallResult GetModelTask(const std::string& strId, int& nResult) = 0;
    virtual ModelCallResult GetModelName(std::string& strName) = 0;
    virtual ModelCallResult IniModel(std::string& strName) = 0;

    // Accessors of a variable by its exported identifier ("Get"/"Set" + it).
    virtual ModelCallResult GetInt(const std::string& strIdent, int& nValue) = 0;
    virtual ModelCallResult GetDouble(const std::string& strIdent, double& dValue) = 0;
    virtual ModelCallResult GetString(const std::string& strIdent, std::string& strValue) = 0;
    virtual ModelCallResult SetInt(const std::string& strIdent, int nValue) = 0;
    virtual ModelCallResult SetDouble(const std::string& strIdent, double dValue) = 0;
    virtual ModelCallResult SetString(const std::string& strIdent, const std::string& strValue) = 0;
};

// A shared library loaded with dlopen. Symbols are looked up once and
// remembered; a missing one is reported as MC_MISSING, never called. Calls
// may come from two threads at once (the run and the window's "Model name");
// Load and Unload belong to one thread while no call is in progress.
class CDlModelLibrary : public CModelLibrary {
public:
    CDlModelLibrary() = default;
    ~CDlModelLibrary() override;
    CDlModelLibrary(const CDlModelLibrary&) = delete;
    CDlModelLibrary& operator=(const CDlModelLibrary&) = delete;

    // Loads the library; false with the loader's text in GetLoadError().
    bool Load(const std::string& strPath);
    void Unload();
    bool IsLoaded() const { return m_hLibrary != nullptr; }
    const std::string& GetLoadError() const { return m_strLoadError; }
    // True when the library exports the symbol.
    bool HasSymbol(const std::string& strName);

    ModelCallResult GetModelDecision(const std::string& strId, int& nResult) override;
    ModelCallResult GetModelTask(const std::string& strId, int& nResult) override;
    ModelCallResult GetModelName(std::string& strName) override;
    ModelCallResult IniModel(std::string& strName) override;
    ModelCallResult GetInt(const std::string& strIdent, int& nValue) override;
    ModelCallResult GetDouble(const std::string& strIdent, double& dValue) override;
    ModelCallResult GetString(const std::string& strIdent, std::string& strValue) override;
    ModelCallResult SetInt(const std::string& strIdent, int nValue) override;
    ModelCallResult SetDouble(const std::string& strIdent, double dValue) override;
    ModelCallResult SetString(const std::string& strIdent, const std::string& strValue) override;

private:
    void* FindSymbol(const std::string& strName);
    // A stable 8-bit copy of the text that stays valid while the library is
    // loaded (a char* variable keeps the pointer it is given).
    char* KeepText(const std::string& strText);

    void* m_hLibrary = nullptr;
    std::string m_strLoadError;
    // Guards the symbol cache and the kept texts.
    std::mutex m_mutex;
    std::map<std::string, void*> m_mapSymbols;  // nullptr remembers a missing symbol
    std::set<std::string> m_setTexts;
};

// An in-memory library for tests: decisions and tasks are callbacks keyed by
// code ID, variables are kept in maps by identifier.
class CFakeModelLibrary : public CModelLibrary {
public:
    // Registers a variable so that its accessors exist.
    void DeclareInt(const std::string& strIdent, int nValue = 0) { m_mapInts[strIdent] = nValue; }
    void DeclareDouble(const std::string& strIdent, double dValue = 0.0) {
        m_mapDoubles[strIdent] = dValue;
    }
    void DeclareString(const std::string& strIdent, const std::string& strValue = "") {
        m_mapStrings[strIdent] = strValue;
    }
    // The answer of a decision, and the effect of a task (a callback that
    // throws stands for a fault in the modeller's code).
    void SetDecision(const std::string& strId, std::function<int(CFakeModelLibrary&)> fn) {
        m_mapDecisions[strId] = std::move(fn);
    }
    void SetTask(const std::string& strId, std::function<int(CFakeModelLibrary&)> fn) {
        m_mapTasks[strId] = std::move(fn);
    }
    void SetModelName(const std::string& strName) { m_strModelName = strName; }

    ModelCallResult GetModelDecision(const std::string& strId, int& nResult) override;
    ModelCallResult GetModelTask(const std::string& strId, int& nResult) override;
    ModelCallResult GetModelName(std::string& strName) override;
    ModelCallResult IniModel(std::string& strName) override;
    ModelCallResult GetInt(const std::string& strIdent, int& nValue) override;
    ModelCallResult GetDouble(const std::string& strIdent, double& dValue) override;
    ModelCallResult GetString(const std::string& strIdent, std::string& strValue) override;
    ModelCallResult SetInt(const std::string& strIdent, int nValue) override;
    ModelCallResult SetDouble(const std::string& strIdent, double dValue) override;
    ModelCallResult SetString(const std::string& strIdent, const std::string& strValue) override;

    std::map<std::string, int> m_mapInts;
    std::map<std::string, double> m_mapDoubles;
    std::map<std::string, std::string> m_mapStrings;
    std::map<std::string, std::function<int(CFakeModelLibrary&)>> m_mapDecisions;
    std::map<std::string, std::function<int(CFakeModelLibrary&)>> m_mapTasks;
    std::string m_strModelName = "model";
    // Every call made, in order ("Decision <id>", "Task <id>", "SetInt <ident>" ...).
    std::vector<std::string> m_vecCalls;
};
