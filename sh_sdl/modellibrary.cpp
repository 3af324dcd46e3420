#include "sh_sdl/modellibrary.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>

#include <mutex>
#include <stdexcept>

namespace {

// ---- Fault guard ----------------------------------------------------------------
// The handlers are installed once while at least one model library is loaded
// (a guarded call then costs no system call) and act only on a thread that is
// inside a guarded call; a fault anywhere else goes to the handler that was
// there before.

const int kGuardedSignals[] = {SIGFPE, SIGSEGV, SIGBUS, SIGILL};
constexpr int kSignalCount = sizeof(kGuardedSignals) / sizeof(kGuardedSignals[0]);

thread_local sigjmp_buf* t_pJump = nullptr;
std::mutex g_mutexGuard;
int g_nLoadedLibraries = 0;
struct sigaction g_oldActions[kSignalCount];

void GuardHandler(int nSignal, siginfo_t* pInfo, void* pContext) {
    if (t_pJump) {
        siglongjmp(*t_pJump, 1);
    }
    // Not ours: the previous handler takes it. A default or ignored fault is
    // given back to the system, so that the instruction faults again under it.
    for (int i = 0; i < kSignalCount; ++i) {
        if (kGuardedSignals[i] != nSignal) {
            continue;
        }
        const struct sigaction& old = g_oldActions[i];
        if (old.sa_flags & SA_SIGINFO) {
            old.sa_sigaction(nSignal, pInfo, pContext);
        } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
            old.sa_handler(nSignal);
        } else {
            signal(nSignal, SIG_DFL);
        }
    }
}

void InstallGuard() {
    std::lock_guard<std::mutex> lock(g_mutexGuard);
    if (g_nLoadedLibraries++ > 0) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = GuardHandler;
    sigemptyset(&action.sa_mask);
    // No deferral: a guarded call leaves the handler by a jump, and the
    // signal must not stay blocked behind it.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kGuardedSignals[i], &action, &g_oldActions[i]);
    }
}

void RemoveGuard() {
    std::lock_guard<std::mutex> lock(g_mutexGuard);
    if (--g_nLoadedLibraries > 0) {
        return;
    }
    for (int i = 0; i < kSignalCount; ++i) {
        // Only our own handler is taken away: one installed after it stays.
        struct sigaction current {};
        sigaction(kGuardedSignals[i], nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == GuardHandler) {
            sigaction(kGuardedSignals[i], &g_oldActions[i], nullptr);
        }
    }
}

// Runs fn; MC_FAULT when it raised one of the guarded signals. The signal
// mask is left alone on the way in; the fault path unblocks the guarded
// signals, which the system may have blocked while the handler ran.
template <class Fn>
ModelCallResult GuardedCall(Fn&& fn) {
    sigjmp_buf jump;
    sigjmp_buf* pOuter = t_pJump;
    if (sigsetjmp(jump, 0) != 0) {
        t_pJump = pOuter;
        sigset_t set;
        sigemptyset(&set);
        for (const int nSignal : kGuardedSignals) {
            sigaddset(&set, nSignal);
        }
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return MC_FAULT;
    }
    t_pJump = &jump;
    fn();
    t_pJump = pOuter;
    return MC_OK;
}

using IdFn = int (*)(char*);
using TextFn = char* (*)();
using GetIntFn = int (*)();
using GetDoubleFn = double (*)();
using GetTextFn = char* (*)();
using SetIntFn = int (*)(int);
using SetDoubleFn = double (*)(double);
using SetTextFn = char* (*)(char*);

template <class T>
T As(void* p) {
    return reinterpret_cast<T>(p);
}

}  // namespace

// ---- CDlModelLibrary ------------------------------------------------------------------

CDlModelLibrary::~CDlModelLibrary() {
    Unload();
}

bool CDlModelLibrary::Load(const std::string& strPath) {
    Unload();
    m_hLibrary = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_hLibrary) {
        const char* pszError = dlerror();
        m_strLoadError = pszError ? pszError : "cannot load " + strPath;
        return false;
    }
    m_strLoadError.clear();
    InstallGuard();
    return true;
}

void CDlModelLibrary::Unload() {
    if (m_hLibrary) {
        dlclose(m_hLibrary);
        m_hLibrary = nullptr;
        RemoveGuard();
    }
    // Symbols and kept texts belong to the library that was loaded.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapSymbols.clear();
    m_setTexts.clear();
}

void* CDlModelLibrary::FindSymbol(const std::string& strName) {
    if (!m_hLibrary) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapSymbols.find(strName);
    if (it != m_mapSymbols.end()) {
        return it->second;
    }
    void* pSymbol = dlsym(m_hLibrary, strName.c_str());
    m_mapSymbols.emplace(strName, pSymbol);
    return pSymbol;
}

bool CDlModelLibrary::HasSymbol(const std::string& strName) {
    return FindSymbol(strName) != nullptr;
}

char* CDlModelLibrary::KeepText(const std::string& strText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_setTexts.insert(strText).first;
    return const_cast<char*>(it->c_str());
}

ModelCallResult CDlModelLibrary::GetModelDecision(const std::string& strId, int& nResult) {
    auto pfn = As<IdFn>(FindSymbol("GetModelDecision"));
    if (!pfn) {
        return MC_MISSING;
    }
    std::string strArg = strId;
    return GuardedCall([&] { nResult = pfn(strArg.data()); });
}

ModelCallResult CDlModelLibrary::GetModelTask(const std::string& strId, int& nResult) {
    auto pfn = As<IdFn>(FindSymbol("GetModelTask"));
    if (!pfn) {
        return MC_MISSING;
    }
    std::string strArg = strId;
    return GuardedCall([&] { nResult = pfn(strArg.data()); });
}

ModelCallResult CDlModelLibrary::GetModelName(std::string& strName) {
    auto pfn = As<TextFn>(FindSymbol("GetModelName"));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] {
        const char* psz = pfn();
        strName = psz ? psz : "";
    });
}

ModelCallResult CDlModelLibrary::IniModel(std::string& strName) {
    auto pfn = As<TextFn>(FindSymbol("IniModel"));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] {
        const char* psz = pfn();
        strName = psz ? psz : "";
    });
}

ModelCallResult CDlModelLibrary::GetInt(const std::string& strIdent, int& nValue) {
    auto pfn = As<GetIntFn>(FindSymbol("Get" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] { nValue = pfn(); });
}

ModelCallResult CDlModelLibrary::GetDouble(const std::string& strIdent, double& dValue) {
    auto pfn = As<GetDoubleFn>(FindSymbol("Get" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] { dValue = pfn(); });
}

ModelCallResult CDlModelLibrary::GetString(const std::string& strIdent, std::string& strValue) {
    auto pfn = As<GetTextFn>(FindSymbol("Get" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] {
        const char* psz = pfn();
        strValue = psz ? psz : "";
    });
}

ModelCallResult CDlModelLibrary::SetInt(const std::string& strIdent, int nValue) {
    auto pfn = As<SetIntFn>(FindSymbol("Set" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] { pfn(nValue); });
}

ModelCallResult CDlModelLibrary::SetDouble(const std::string& strIdent, double dValue) {
    auto pfn = As<SetDoubleFn>(FindSymbol("Set" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    return GuardedCall([&] { pfn(dValue); });
}

ModelCallResult CDlModelLibrary::SetString(const std::string& strIdent,
                                           const std::string& strValue) {
    auto pfn = As<SetTextFn>(FindSymbol("Set" + strIdent));
    if (!pfn) {
        return MC_MISSING;
    }
    char* pszKept = KeepText(strValue);
    return GuardedCall([&] { pfn(pszKept); });
}

// ---- CFakeModelLibrary -------------------------------------------------------------------

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
