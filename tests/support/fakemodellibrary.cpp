#include "support/fakemodellibrary.h"

namespace {

// A callback that throws stands for a fault in the library's code.
ModelCallResult RunFake(std::function<int(CFakeModelLibrary&)>& fn, CFakeModelLibrary& lib,
                        int& nResult) {
    try {
        nResult = fn(lib);
        return MC_OK;
    } catch (...) {
        return MC_FAULT;
    }
}

template <class Map, class T>
ModelCallResult FakeGet(Map& map, const std::string& strIdent, T& value) {
    auto it = map.find(strIdent);
    if (it == map.end()) {
        return MC_MISSING;
    }
    value = it->second;
    return MC_OK;
}

template <class Map, class T>
ModelCallResult FakeSet(Map& map, const std::string& strIdent, const T& value) {
    auto it = map.find(strIdent);
    if (it == map.end()) {
        return MC_MISSING;
    }
    it->second = value;
    return MC_OK;
}

}  // namespace

ModelCallResult CFakeModelLibrary::GetModelDecision(const std::string& strId, int& nResult) {
    m_vecCalls.push_back("Decision " + strId);
    auto it = m_mapDecisions.find(strId);
    if (it == m_mapDecisions.end()) {
        nResult = 0;  // the generated dispatcher answers 0 for an unknown key
        return MC_OK;
    }
    return RunFake(it->second, *this, nResult);
}

ModelCallResult CFakeModelLibrary::GetModelTask(const std::string& strId, int& nResult) {
    m_vecCalls.push_back("Task " + strId);
    auto it = m_mapTasks.find(strId);
    if (it == m_mapTasks.end()) {
        nResult = 0;
        return MC_OK;
    }
    return RunFake(it->second, *this, nResult);
}

ModelCallResult CFakeModelLibrary::GetModelName(std::string& strName) {
    strName = m_strModelName;
    return MC_OK;
}

ModelCallResult CFakeModelLibrary::IniModel(std::string& strName) {
    m_vecCalls.push_back("IniModel");
    strName = m_strModelName;
    return MC_OK;
}

ModelCallResult CFakeModelLibrary::GetInt(const std::string& strIdent, int& nValue) {
    return FakeGet(m_mapInts, strIdent, nValue);
}

ModelCallResult CFakeModelLibrary::GetDouble(const std::string& strIdent, double& dValue) {
    return FakeGet(m_mapDoubles, strIdent, dValue);
}

ModelCallResult CFakeModelLibrary::GetString(const std::string& strIdent, std::string& strValue) {
    return FakeGet(m_mapStrings, strIdent, strValue);
}

ModelCallResult CFakeModelLibrary::SetInt(const std::string& strIdent, int nValue) {
    m_vecCalls.push_back("SetInt " + strIdent);
    return FakeSet(m_mapInts, strIdent, nValue);
}

ModelCallResult CFakeModelLibrary::SetDouble(const std::string& strIdent, double dValue) {
    m_vecCalls.push_back("SetDouble " + strIdent);
    return FakeSet(m_mapDoubles, strIdent, dValue);
}

ModelCallResult CFakeModelLibrary::SetString(const std::string& strIdent,
                                             const std::string& strValue) {
    m_vecCalls.push_back("SetString " + strIdent);
    return FakeSet(m_mapStrings, strIdent, strValue);
}
