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
#include <unordered_map>
#include <vector>

enum ModelCallResult {
    MC_OK,       // the call ran
    MC_MISSING,  // the library does not export the symbol; nothing was called
    MC_FAULT,    // the call raised a fault that was trapped
};

// A caller's own way to one function of the model library (an operation's
// decision or task, a variable's getter or setter): the key it is asked
// under, and the function found for that key in the library's current load.
// A library that does not use it asks by key on every call. A copy starts
// empty: the entry belongs to the object that holds it.
struct CModelEntry {
    CModelEntry() = default;
    explicit CModelEntry(std::string strKey) : m_strKey(std::move(strKey)) {}
    CModelEntry(const CModelEntry&) {}
    CModelEntry& operator=(const CModelEntry&) {
        *this = CModelEntry();
        return *this;
    }
    CModelEntry& operator=(CModelEntry&&) = default;

    std::string m_strKey;            // code ID or variable identifier
    unsigned long long m_nLoad = 0;  // the load m_pfn was found in; 0: none yet
    void* m_pfn = nullptr;           // null after a search that found nothing
    int m_nIndex = -1;               // of a direct entry; -1: m_pfn takes the key alone
    std::string m_strArgument;       // the key as the function's own copy
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

    // The same calls through an entry whose key the caller has set; each
    // gives the result the call by key gives.
    virtual ModelCallResult CallDecision(CModelEntry& entry, int& nResult) {
        return GetModelDecision(entry.m_strKey, nResult);
    }
    virtual ModelCallResult CallTask(CModelEntry& entry, int& nResult) {
        return GetModelTask(entry.m_strKey, nResult);
    }
    virtual ModelCallResult ReadInt(CModelEntry& entry, int& nValue) {
        return GetInt(entry.m_strKey, nValue);
    }
    virtual ModelCallResult ReadDouble(CModelEntry& entry, double& dValue) {
        return GetDouble(entry.m_strKey, dValue);
    }
    virtual ModelCallResult ReadString(CModelEntry& entry, std::string& strValue) {
        return GetString(entry.m_strKey, strValue);
    }
    virtual ModelCallResult WriteInt(CModelEntry& entry, int nValue) {
        return SetInt(entry.m_strKey, nValue);
    }
    virtual ModelCallResult WriteDouble(CModelEntry& entry, double dValue) {
        return SetDouble(entry.m_strKey, dValue);
    }
    virtual ModelCallResult WriteString(CModelEntry& entry, const std::string& strValue) {
        return SetString(entry.m_strKey, strValue);
    }
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

    // A library built with direct entries runs a decision or task by its
    // index there, the blocks of its code ID alone; one built without them,
    // or a code ID without one, goes through GetModelDecision or
    // GetModelTask.
    ModelCallResult CallDecision(CModelEntry& entry, int& nResult) override;
    ModelCallResult CallTask(CModelEntry& entry, int& nResult) override;
    ModelCallResult ReadInt(CModelEntry& entry, int& nValue) override;
    ModelCallResult ReadDouble(CModelEntry& entry, double& dValue) override;
    ModelCallResult ReadString(CModelEntry& entry, std::string& strValue) override;
    ModelCallResult WriteInt(CModelEntry& entry, int nValue) override;
    ModelCallResult WriteDouble(CModelEntry& entry, double dValue) override;
    ModelCallResult WriteString(CModelEntry& entry, const std::string& strValue) override;
    // True when the library has direct entries for its decisions and tasks.
    bool HasDirectEntries() const { return m_bDirectEntries; }

private:
    using CEntryMap = std::unordered_map<std::string, void*>;
    // A library's direct entries of decisions or of tasks: the function that
    // runs them by index, and the index of each code ID.
    struct CDirectEntries {
        void* pfnEntry = nullptr;
        std::unordered_map<std::string, int> mapIndex;
    };

    void* FindSymbol(const std::string& strName);
    // Reads the library's direct entries whose names start with strPrefix
    // into out; false when the library has none.
    bool ReadDirectEntries(const std::string& strPrefix, CDirectEntries& out);
    // Resolves an operation's entry: its direct entry, else the function
    // pszDispatch that finds it by code ID.
    void FindOperation(CModelEntry& entry, const CDirectEntries& direct, const char* pszDispatch);
    // The getter ("Get" + identifier) or setter ("Set" + identifier) of a
    // variable, by its identifier or through its entry.
    void* FindAccessor(bool bSetter, const std::string& strIdent);
    void* FindAccessor(CModelEntry& entry, bool bSetter);
    // Calls a char* setter with a kept copy of the text.
    ModelCallResult CallTextSetter(void* pfn, const std::string& strValue);
    // A stable 8-bit copy of the text that stays valid while the library is
    // loaded (a char* variable keeps the pointer it is given).
    char* KeepText(const std::string& strText);

    void* m_hLibrary = nullptr;
    // This load among all loads of every library; 0 while none is loaded.
    unsigned long long m_nLoad = 0;
    std::string m_strLoadError;
    // Direct entries by code ID, read at load and unchanged until unload.
    CDirectEntries m_decisionEntries;
    CDirectEntries m_taskEntries;
    bool m_bDirectEntries = false;
    // Guards the symbol caches and the kept texts.
    std::mutex m_mutex;
    std::map<std::string, void*> m_mapSymbols;  // nullptr remembers a missing symbol
    CEntryMap m_mapGetters;                     // by variable identifier, the same way
    CEntryMap m_mapSetters;
    std::set<std::string> m_setTexts;
};
