#pragma once

// A model library held in memory, for the tests and the benchmark.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sh_sdl/modellibrary.h"

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
