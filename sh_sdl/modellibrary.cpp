#include "sh_sdl/modellibrary.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
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
// Numbers every load of every library, so that an entry found in one load
// is never taken for one of another.
std::atomic<unsigned long long> g_nLoads{0};
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
using IndexFn = int (*)(int, char*);
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
    m_nLoad = ++g_nLoads;
    m_bDirectEntries = ReadDirectEntries("Decision", m_decisionEntries) &&
                       ReadDirectEntries("Task", m_taskEntries);
    if (!m_bDirectEntries) {
        m_decisionEntries = CDirectEntries();
        m_taskEntries = CDirectEntries();
    }
    InstallGuard();
    return true;
}

bool CDlModelLibrary::ReadDirectEntries(const std::string& strPrefix, CDirectEntries& out) {
    const auto* pnCount =
        static_cast<const int*>(dlsym(m_hLibrary, (strPrefix + "EntryCount").c_str()));
    const auto* ppIds =
        static_cast<const char* const*>(dlsym(m_hLibrary, (strPrefix + "EntryIDs").c_str()));
    out.pfnEntry = dlsym(m_hLibrary, (strPrefix + "Entry").c_str());
    if (!pnCount || !ppIds || !out.pfnEntry) {
        return false;
    }
    out.mapIndex.reserve(static_cast<size_t>(std::max(0, *pnCount)));
    for (int i = 0; i < *pnCount; ++i) {
        // Keyed as GetModelDecision and GetModelTask compare: up to the
        // first zero byte.
        out.mapIndex.emplace(ppIds[i], i);
    }
    return true;
}

void CDlModelLibrary::Unload() {
    if (m_hLibrary) {
        dlclose(m_hLibrary);
        m_hLibrary = nullptr;
        RemoveGuard();
    }
    // Symbols, entries and kept texts belong to the library that was loaded.
    m_nLoad = 0;
    m_decisionEntries = CDirectEntries();
    m_taskEntries = CDirectEntries();
    m_bDirectEntries = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapSymbols.clear();
    m_mapGetters.clear();
    m_mapSetters.clear();
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

namespace {

// Runs the function of a decision's or task's entry with a fresh copy of
// its code ID, as GetModelDecision and GetModelTask are called: the
// modeller's code gets it as a char* it may write to.
ModelCallResult CallWithId(CModelEntry& entry, int& nResult) {
    if (!entry.m_pfn) {
        return MC_MISSING;
    }
    entry.m_strArgument = entry.m_strKey;
    char* pszId = entry.m_strArgument.data();
    if (entry.m_nIndex >= 0) {
        auto pfn = As<IndexFn>(entry.m_pfn);
        return GuardedCall([&] { nResult = pfn(entry.m_nIndex, pszId); });
    }
    auto pfn = As<IdFn>(entry.m_pfn);
    return GuardedCall([&] { nResult = pfn(pszId); });
}

}  // namespace

void CDlModelLibrary::FindOperation(CModelEntry& entry, const CDirectEntries& direct,
                                    const char* pszDispatch) {
    if (entry.m_nLoad != m_nLoad || m_nLoad == 0) {
        auto it = direct.mapIndex.find(std::string(entry.m_strKey.c_str()));
        const bool bDirect = it != direct.mapIndex.end();
        entry.m_pfn = bDirect ? direct.pfnEntry : FindSymbol(pszDispatch);
        entry.m_nIndex = bDirect ? it->second : -1;
        entry.m_nLoad = m_nLoad;
    }
}

void* CDlModelLibrary::FindAccessor(bool bSetter, const std::string& strIdent) {
    if (!m_hLibrary) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CEntryMap& mapAccessors = bSetter ? m_mapSetters : m_mapGetters;
    auto it = mapAccessors.find(strIdent);
    if (it == mapAccessors.end()) {
        const std::string strSymbol = (bSetter ? "Set" : "Get") + strIdent;
        it = mapAccessors.emplace(strIdent, dlsym(m_hLibrary, strSymbol.c_str())).first;
    }
    return it->second;
}

void* CDlModelLibrary::FindAccessor(CModelEntry& entry, bool bSetter) {
    if (entry.m_nLoad != m_nLoad || m_nLoad == 0) {
        entry.m_pfn = FindAccessor(bSetter, entry.m_strKey);
        entry.m_nLoad = m_nLoad;
    }
    return entry.m_pfn;
}

ModelCallResult CDlModelLibrary::GetModelDecision(const std::string& strId, int& nResult) {
    CModelEntry entry(strId);
    entry.m_pfn = FindSymbol("GetModelDecision");
    return CallWithId(entry, nResult);
}

ModelCallResult CDlModelLibrary::GetModelTask(const std::string& strId, int& nResult) {
    CModelEntry entry(strId);
    entry.m_pfn = FindSymbol("GetModelTask");
    return CallWithId(entry, nResult);
}

ModelCallResult CDlModelLibrary::CallDecision(CModelEntry& entry, int& nResult) {
    FindOperation(entry, m_decisionEntries, "GetModelDecision");
    return CallWithId(entry, nResult);
}

ModelCallResult CDlModelLibrary::CallTask(CModelEntry& entry, int& nResult) {
    FindOperation(entry, m_taskEntries, "GetModelTask");
    return CallWithId(entry, nResult);
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

namespace {

// Calls a variable's getter or setter; MC_MISSING when there is none.
ModelCallResult CallGetter(void* pfn, int& nValue) {
    auto pfnGet = As<GetIntFn>(pfn);
    return pfnGet ? GuardedCall([&] { nValue = pfnGet(); }) : MC_MISSING;
}

ModelCallResult CallGetter(void* pfn, double& dValue) {
    auto pfnGet = As<GetDoubleFn>(pfn);
    return pfnGet ? GuardedCall([&] { dValue = pfnGet(); }) : MC_MISSING;
}

ModelCallResult CallGetter(void* pfn, std::string& strValue) {
    auto pfnGet = As<GetTextFn>(pfn);
    if (!pfnGet) {
        return MC_MISSING;
    }
    return GuardedCall([&] {
        const char* psz = pfnGet();
        strValue = psz ? psz : "";
    });
}

ModelCallResult CallSetter(void* pfn, int nValue) {
    auto pfnSet = As<SetIntFn>(pfn);
    return pfnSet ? GuardedCall([&] { pfnSet(nValue); }) : MC_MISSING;
}

ModelCallResult CallSetter(void* pfn, double dValue) {
    auto pfnSet = As<SetDoubleFn>(pfn);
    return pfnSet ? GuardedCall([&] { pfnSet(dValue); }) : MC_MISSING;
}

}  // namespace

ModelCallResult CDlModelLibrary::CallTextSetter(void* pfn, const std::string& strValue) {
    auto pfnSet = As<SetTextFn>(pfn);
    if (!pfnSet) {
        return MC_MISSING;
    }
    char* pszKept = KeepText(strValue);
    return GuardedCall([&] { pfnSet(pszKept); });
}

ModelCallResult CDlModelLibrary::GetInt(const std::string& strIdent, int& nValue) {
    return CallGetter(FindAccessor(false, strIdent), nValue);
}

ModelCallResult CDlModelLibrary::GetDouble(const std::string& strIdent, double& dValue) {
    return CallGetter(FindAccessor(false, strIdent), dValue);
}

ModelCallResult CDlModelLibrary::GetString(const std::string& strIdent, std::string& strValue) {
    return CallGetter(FindAccessor(false, strIdent), strValue);
}

ModelCallResult CDlModelLibrary::SetInt(const std::string& strIdent, int nValue) {
    return CallSetter(FindAccessor(true, strIdent), nValue);
}

ModelCallResult CDlModelLibrary::SetDouble(const std::string& strIdent, double dValue) {
    return CallSetter(FindAccessor(true, strIdent), dValue);
}

ModelCallResult CDlModelLibrary::SetString(const std::string& strIdent,
                                           const std::string& strValue) {
    return CallTextSetter(FindAccessor(true, strIdent), strValue);
}

ModelCallResult CDlModelLibrary::ReadInt(CModelEntry& entry, int& nValue) {
    return CallGetter(FindAccessor(entry, false), nValue);
}

ModelCallResult CDlModelLibrary::ReadDouble(CModelEntry& entry, double& dValue) {
    return CallGetter(FindAccessor(entry, false), dValue);
}

ModelCallResult CDlModelLibrary::ReadString(CModelEntry& entry, std::string& strValue) {
    return CallGetter(FindAccessor(entry, false), strValue);
}

ModelCallResult CDlModelLibrary::WriteInt(CModelEntry& entry, int nValue) {
    return CallSetter(FindAccessor(entry, true), nValue);
}

ModelCallResult CDlModelLibrary::WriteDouble(CModelEntry& entry, double dValue) {
    return CallSetter(FindAccessor(entry, true), dValue);
}

ModelCallResult CDlModelLibrary::WriteString(CModelEntry& entry, const std::string& strValue) {
    return CallTextSetter(FindAccessor(entry, true), strValue);
}
