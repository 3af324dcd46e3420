#include "sh_sdl/sdlremote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

using Clock = std::chrono::steady_clock;

namespace {

// How much of a message that is no signal its report quotes.
constexpr size_t kQuotedBytes = 60;
// The longest pause of a listener that cannot take a link for now.
constexpr int kMaxAcceptBackOffMs = 1000;

const char* const kReceiveFailure = "Error in the incomming socket. Are some VELKO's down?";

// What the count of each kind not reported line by line stands for, after
// the count.
const char* const kNotGiven[RR_KIND_COUNT] = {
    "more messages that were no remote signals",
    "more messages too long for a remote signal",
    "more signals for a channel that no single agent of this instance receives",
    "more signals for a cell their agent does not have",
    "more signals that came after their agent's clock (handled at that clock)",
    "more links that failed",
    "more links closed for sending only messages that were no remote signals",
    "more silent links closed to make room",
    "more links cut for sending long after they were closed",
    "more links whose opening named no instance of this model",
    "more times a link of another instance waited at the ceiling",
    "more messages that did not arrive whole in time",
    "more links whose sender stopped working",
    "more links whose message claimed more than any link carries",
    "more signals sent there lost",
    "more signals sent there lost at most",
    "more signals from there not handled, their sender not told",
    "more signals from there not handled (their sender was told, and counts them too)",
};

// Errors of accept that pass: a lack of descriptors or memory, and a
// connection that failed before it was taken.
bool IsPassingAcceptError(int nError) {
    switch (nError) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

}  // namespace

namespace {

// A peer's text cut to nBytes, with "..." when it was longer, escaped.
std::string Shortened(std::string strText, size_t nBytes) {
    const bool bLonger = strText.size() > nBytes;
    if (bLonger) {
        TruncateUtf8(strText, nBytes);
    }
    return EscapePeerText(strText) + (bLonger ? "..." : "");
}

// Adds nCount to strAddress's count; past kMaxReportedAddresses addresses,
// to the others' ("").
void AddPerAddress(std::map<std::string, long long>& mapCounts, const std::string& strAddress,
                   long long nCount) {
    if (nCount <= 0) {
        return;
    }
    const bool bRoom = mapCounts.size() < kMaxReportedAddresses || mapCounts.count(strAddress);
    mapCounts[bRoom ? strAddress : std::string()] += nCount;
}

// The room a piece of nBytes of a message takes while it is read and held:
// a character (two bytes) takes five, and a signal kRemoteSignalCost more.
size_t PieceCost(size_t nBytes, bool bFirst) {
    return nBytes * 5 / 2 + (bFirst ? kRemoteSignalCost : 0);
}

// The same for a whole message of nLength characters.
size_t MessageCost(uint64_t nLength) {
    return PieceCost(static_cast<size_t>(std::min<uint64_t>(nLength, kMaxRemoteMessageLength)) * 2,
                     true);
}

// The lines that say what a link's signals not handled were.
std::string UnhandledLine(long long nCount, const std::string& strAddress, bool bTold) {
    return Format(
        "Warning: %lld signals from %s were not handled: the run ended before they were%s.", nCount,
        strAddress.empty() ? "other addresses" : strAddress.c_str(),
        bTold ? " (their sender was told, and counts them too)"
              : ", or no agent took them, and their sender was not told");
}

}  // namespace

std::string EscapePeerText(std::string_view text) {
    std::string strOut;
    strOut.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t nStart = i;
        const char32_t cp = DecodeUtf8(text, i);
        const std::string_view bytes = text.substr(nStart, i - nStart);
        if (cp == 0xFFFD && bytes != "\xEF\xBF\xBD") {
            for (const char ch : bytes) {
                strOut += Format("\\x%02X", static_cast<unsigned char>(ch));
            }
        } else if (cp < 0x20 || cp == 0x7F || cp == '\\') {
            strOut +=
                cp == '\\' ? std::string("\\\\") : Format("\\x%02X", static_cast<unsigned>(cp));
        } else if ((cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
                   (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
                   (cp >= 0x2066 && cp <= 0x2069)) {
            strOut += Format("\\u{%X}", static_cast<unsigned>(cp));
        } else {
            strOut += bytes;
        }
    }
    return strOut;
}

// ---- Reports ------------------------------------------------------------------------------

CRemoteReports::CRemoteReports(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)) {}

bool CRemoteReports::Admit(const std::string& strAddress, RemoteReportKind eKind,
                           long long nCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapAddresses.find(strAddress);
    if (it == m_mapAddresses.end()) {
        // Addresses past the first few are counted together: a peer that
        // comes from ever new addresses adds no memory.
        const bool bRoom = m_mapAddresses.size() < kMaxReportedAddresses;
        it = m_mapAddresses.try_emplace(bRoom ? strAddress : std::string()).first;
    }
    SAddress& address = it->second;
    // The signals this instance lost or did not handle are its own: only
    // the per-address bound holds them back.
    const bool bOwn = eKind >= RR_LOST;
    if (address.anGiven[eKind] < kRemoteReportsPerKind &&
        (bOwn || m_nLinesGiven < kRemoteReportLinesPerRun)) {
        ++address.anGiven[eKind];
        m_nLinesGiven += bOwn ? 0 : 1;
        return true;
    }
    if (address.anNotGiven[eKind] < LLONG_MAX - nCount) {
        address.anNotGiven[eKind] += nCount;
    }
    return false;
}

void CRemoteReports::Summarise() {
    std::map<std::string, SAddress> mapAddresses;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mapAddresses.swap(m_mapAddresses);
        m_nLinesGiven = 0;
    }
    for (const auto& [strAddress, address] : mapAddresses) {
        const std::string strFrom = strAddress.empty() ? "other addresses" : strAddress;
        std::string strCounts;
        for (int nKind = 0; nKind < RR_LOST; ++nKind) {
            if (address.anNotGiven[nKind] > 0) {
                strCounts += Format("%s%lld %s", strCounts.empty() ? "" : ", ",
                                    address.anNotGiven[nKind], kNotGiven[nKind]);
            }
        }
        if (!strCounts.empty()) {
            m_fnReport(Format("Warning: from %s, %s were not reported one by one.", strFrom.c_str(),
                              strCounts.c_str()));
        }
        for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
            ReportSignals(strFrom, static_cast<RemoteReportKind>(nKind), address.anNotGiven[nKind]);
        }
    }
}

void CRemoteReports::SummariseLost() {
    std::map<std::string, SAddress> mapSignals;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [strAddress, address] : m_mapAddresses) {
            for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
                auto& nCount = address.anNotGiven[nKind];
                mapSignals[strAddress.empty() ? "other addresses" : strAddress].anNotGiven[nKind] =
                    nCount;
                nCount = 0;
            }
        }
    }
    for (const auto& [strFrom, address] : mapSignals) {
        for (int nKind = RR_LOST; nKind < RR_KIND_COUNT; ++nKind) {
            ReportSignals(strFrom, static_cast<RemoteReportKind>(nKind), address.anNotGiven[nKind]);
        }
    }
}

void CRemoteReports::ReportSignals(const std::string& strFrom, RemoteReportKind eKind,
                                   long long nCount) const {
    if (nCount <= 0) {
        return;
    }
    const char* pszFrom = strFrom.c_str();
    if (eKind == RR_LOST || eKind == RR_LOST_UP_TO) {
        m_fnReport(
            Format("Warning: %s%lld more signals sent to %s were lost (not reported one "
                   "by one).",
                   eKind == RR_LOST_UP_TO ? "up to " : "", nCount, pszFrom));
    } else if (eKind == RR_UNHANDLED) {
        m_fnReport(
            Format("Warning: %lld more signals from %s were not handled, and their sender "
                   "was not told (not reported one by one).",
                   nCount, pszFrom));
    } else {
        m_fnReport(
            Format("Warning: %lld more signals from %s were not handled (their sender was "
                   "told, and counts them too; not reported one by one).",
                   nCount, pszFrom));
    }
}

// ---- Delivery gate ------------------------------------------------------------------------

struct CSDLRemoteLinks::SDeliveryGate {
    enum { POOL_STRANGERS, POOL_INSTANCES, POOL_COUNT };
    struct SPool {
        std::atomic<size_t> nSignals{0};
        std::atomic<size_t> nBytes{0};
        // Given back since a link that waits here for room was last woken.
        std::atomic<size_t> nFreedSignals{0};
        std::atomic<size_t> nFreedBytes{0};
        std::atomic<bool> bWaiting{false};
    };
    SPool aPools[POOL_COUNT];
    std::atomic<bool> bSendWaits{false};
    std::atomic<size_t> nCeiling{kMaxInstanceBytesWhileSending};
    // Wakes the I/O thread when room appears for a link that waits.
    std::shared_ptr<CSocketWake> pWake;

    // Whether nSize more bytes may be taken in pool nPool by a link that
    // holds nHeld signals waiting.
    bool HasRoom(int nPool, size_t nSize, long long nHeld) const {
        const SPool& pool = aPools[nPool];
        const size_t nBytes = pool.nBytes.load();
        const bool bWithinBounds = pool.nSignals.load() < kMaxUndeliveredSignals &&
                                   (nBytes == 0 || nBytes + nSize <= kMaxUndeliveredBytes);
        if (nPool == POOL_INSTANCES) {
            // A link of an instance with nothing waiting here may take its
            // next signal whatever the others took: links that only claim to
            // be an instance cannot hold a genuine one back.
            if (nHeld == 0) {
                return true;
            }
            if (bSendWaits.load()) {
                return bWithinBounds || nBytes + nSize <= nCeiling.load();
            }
        }
        return bWithinBounds;
    }
    // Takes nSize bytes in nPool, and a place when bFirst (the I/O thread).
    void Take(int nPool, size_t nSize, bool bFirst) {
        SPool& pool = aPools[nPool];
        if (bFirst) {
            ++pool.nSignals;
        }
        pool.nBytes += nSize;
    }
    // Gives back what one signal took; with pTally, the signal was handled
    // unless bDropped or its link's run is over. From any thread.
    void Release(int nPool, size_t nSize, SRemoteLinkTally* pTally, bool bDropped) {
        SPool& pool = aPools[nPool];
        const size_t nLeft = --pool.nSignals;
        pool.nBytes -= nSize;
        bool bNoneHeld = false;
        if (pTally) {
            // Counted before the hold goes: a link with none held has counted
            // all it read.
            if (bDropped || pTally->bRunOver.load()) {
                ++pTally->nUnhandled;
            } else {
                ++pTally->nHandled;
            }
            bNoneHeld = --pTally->nHeld == 0;
        }
        if (!pool.bWaiting.load()) {
            return;
        }
        // Woken for each signal handled, links would take turns at the pace
        // of single signals: a batch, an empty pool, or a link of an instance
        // that has nothing left waiting here, wakes them.
        const size_t nFreed = ++pool.nFreedSignals;
        const size_t nFreedBytes = pool.nFreedBytes += nSize;
        if (nFreed >= kRemoteRoomBatch || nFreedBytes >= kRemoteBytesBatch || nLeft == 0 ||
            (nPool == POOL_INSTANCES && bNoneHeld)) {
            if (pool.bWaiting.exchange(false)) {
                pool.nFreedSignals = 0;
                pool.nFreedBytes = 0;
                pWake->Wake();
            }
        }
    }
};

namespace {

// An undelivered signal's room, given back when its agent takes it or when
// it goes unhandled.
class CDeliveryHold {
public:
    CDeliveryHold(std::shared_ptr<CSDLRemoteLinks::SDeliveryGate> pGate, int nPool, size_t nBytes,
                  std::shared_ptr<SRemoteLinkTally> pTally)
        : m_pGate(std::move(pGate)), m_nPool(nPool), m_nBytes(nBytes), m_pTally(std::move(pTally)) {
        ++m_pTally->nHeld;
    }
    ~CDeliveryHold() { m_pGate->Release(m_nPool, m_nBytes, m_pTally.get(), m_bDropped); }
    CDeliveryHold(const CDeliveryHold&) = delete;
    CDeliveryHold& operator=(const CDeliveryHold&) = delete;
    // Its signal goes without being handled.
    void MarkDropped() { m_bDropped = true; }
    bool IsRunOver() const { return m_pTally->bRunOver.load(); }

private:
    std::shared_ptr<CSDLRemoteLinks::SDeliveryGate> m_pGate;
    int m_nPool;
    size_t m_nBytes;
    std::shared_ptr<SRemoteLinkTally> m_pTally;
    bool m_bDropped = false;
};

}  // namespace

void CSDLRemoteLinks::MarkUnhandled(CSDLEvent& event) {
    if (auto* pHold = static_cast<CDeliveryHold*>(event.m_pDeliveryHold.get())) {
        pHold->MarkDropped();
    }
}

// ---- The links this instance receives ----------------------------------------------------

struct CSDLRemoteLinks::SListener {
    unsigned int nPort = 0;
    size_t nServed = 0;  // connections served at once
    CBidirecSocket socket;
    // A lack of descriptors or memory: the port is not looked at until then.
    Clock::time_point tBackOffUntil{};
    int nBackOffMs = 0;
    size_t nPlace = SIZE_MAX;  // in the poll
};

// One connection a port took, a signal link (of the protocol, or a
// stranger's) or a count link, told apart by its first message, and its
// whole state: the I/O thread's alone, but for the tally its signals'
// holds count in.
class CSDLRemoteLinks::CLinkIn {
public:
    enum Kind {
        LK_NEW,       // nothing read yet
        LK_STRANGER,  // signals of a stranger (or of an older kind)
        LK_PROTOCOL,  // the signal link of a link of the protocol
        LK_COUNTS,    // a count link
    };
    explicit CLinkIn(unsigned int nPort) : nPort(nPort), reader(kMaxRemoteMessageLength) {}

    bool IsOpen() const { return eEnd == RE_OPEN; }
    // A count link paired belongs to its signal link: it takes no place.
    bool TakesPlace() const { return IsOpen() && !(eKind == LK_COUNTS && pSignals); }

    const unsigned int nPort;
    CBidirecSocket socket;
    CSocketStreamReader reader;
    std::string strAddress;
    std::shared_ptr<SRemoteLinkTally> pTally;
    Kind eKind = LK_NEW;
    bool bFromInstance = false;
    RemoteReceiveEnd eEnd = RE_OPEN;
    bool bEndMark = false;
    bool bSentSignal = false;
    int nMalformedInARow = 0;
    Clock::time_point tLastHeard{};
    // Asked to end (half-closed here): to make room, or at its run's end;
    // and, for a stranger's at the run's end, when it is closed.
    bool bEvicted = false;
    Clock::time_point tDrainFrom{};
    bool bAsked = false;
    Clock::time_point tAsked{};
    Clock::time_point tStopDrain = Clock::time_point::max();
    // The message being read: its pool and the room it took; since when
    // it began, and how long it waited for room.
    int nPool = -1;
    size_t nTaken = 0;
    bool bInMessage = false;
    Clock::time_point tMessageBegun{};
    Clock::duration tWaited{};
    bool bWaitingForRoom = false;
    Clock::time_point tWaitSince{};
    bool bCeilingSaid = false;
    // The stream has ended (IO_CLOSED or IO_RESET): what is held is taken,
    // then the link ends.
    SocketIoResult eStreamEnd = IO_DONE;
    // A link of the protocol: its token and count link; a count link: its
    // token, its signal link once paired, until when it waits for it.
    std::string strToken;
    CLinkIn* pCounts = nullptr;
    CLinkIn* pSignals = nullptr;
    Clock::time_point tPairUntil{};
    // The counts told; the last one, and whether its sender answered it.
    std::string strTold;
    std::string strFinal;
    Clock::time_point tFinal{};
    bool bAnswered = false;
    // Its end is reported: it goes.
    bool bGone = false;
    size_t nPlace = SIZE_MAX;  // in the poll
};

// ---- Life ----------------------------------------------------------------------------------

CSDLRemoteLinks::CSDLRemoteLinks(std::function<void(const std::string&)> fnReport)
    : m_fnReport(std::move(fnReport)),
      m_reports(m_fnReport),
      m_pGate(std::make_shared<SDeliveryGate>()),
      m_pWake(std::make_shared<CSocketWake>()) {
    m_pGate->pWake = m_pWake;
}

CSDLRemoteLinks::~CSDLRemoteLinks() {
    CancelSends();
    EndRun();
    // Once the owner has given the wait up, it is not taken up again here.
    CloseLingering(std::chrono::milliseconds(m_bWaitGivenUp ? 0 : kRemoteCloseWaitMs),
                   "when the program ended");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_pWake->Wake();
    // It ends every link at once, counting each as its table says.
    if (m_threadIo.joinable()) {
        m_threadIo.join();
    }
    m_reports.Summarise();
}

void CSDLRemoteLinks::StartIoThread() {
    if (m_bIoAlive || m_bQuit) {
        return;
    }
    if (m_threadIo.joinable()) {
        m_threadIo.join();  // one that failed: it has left the lock for good
    }
    m_bIoAlive = true;
    m_threadIo = std::thread([this] { RunIo(); });
}

void CSDLRemoteLinks::RunIo() {
    try {
        for (;;) {
            bool bQuit = false;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                TakeRequests(lock);
                bQuit = m_bQuit;
            }
            IoTurn(bQuit);
            if (bQuit) {
                break;
            }
        }
    } catch (...) {
        // No memory: what is left is counted when the program ends.
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bIoAlive = false;
    m_cvIo.notify_all();
}

// ---- Runs ----------------------------------------------------------------------------------

bool CSDLRemoteLinks::Start(const SRemoteModel& model, const std::string& strAddress,
                            std::string& strError) {
    EndRun();
    std::vector<std::unique_ptr<SListener>> vecListeners;
    std::vector<unsigned int> vecPorts;
    for (const auto& [nPort, nEnds] : model.mapPorts) {
        auto pListener = std::make_unique<SListener>();
        pListener->nPort = nPort;
        // A link and its count link for each output end.
        pListener->nServed = 2 * nEnds + kMaxRemoteConnections;
        // The own address when it is one of this machine's (two instances on
        // one machine may then share a port number), else every address (an
        // Internet address seen from outside is often no local one).
        const bool bBound =
            (!strAddress.empty() && pListener->socket.CreateServer(nPort, strAddress)) ||
            pListener->socket.CreateServer(nPort);
        if (!bBound || !pListener->socket.Listen(128)) {
            strError = Format(
                "the port %u for remote signals cannot be bound; another program (or another "
                "simulator instance on this address) may be using it",
                nPort);
            return false;  // the sockets made so far close here
        }
        vecPorts.push_back(nPort);
        vecListeners.push_back(std::move(pListener));
    }
    std::deque<SRemoteSignal> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gone = TakeInbox();
        m_model = model;
        m_vecNewListeners = std::move(vecListeners);
        m_vecPorts = std::move(vecPorts);
        m_bRunActive = true;
        m_vecRetiredTallies.clear();
        m_nRetiredKept = 0;
        m_mapRetiredUnhandled.clear();
        StartIoThread();
    }
    m_pWake->Wake();
    return true;
}

void CSDLRemoteLinks::Stop() {
    std::deque<SRemoteSignal> gone;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_bRunActive) {
            m_bRunActive = false;
            const long long nStop = ++m_nStopsAsked;
            m_pWake->Wake();
            // Quick: the I/O thread closes the ports at once, and the
            // strangers' links within kRemoteStopDrainMs.
            m_cvIo.wait(lock, [&] { return m_nStopsDone >= nStop || !m_bIoAlive; });
            m_vecPorts.clear();
        }
        gone = TakeInbox();
    }
    // gone goes here: its signals count as not handled, their run is over.
}

void CSDLRemoteLinks::EndRun() {
    Stop();
    std::vector<std::shared_ptr<SRemoteLinkTally>> vecTallies;
    std::map<std::string, long long> mapUntold;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        vecTallies.swap(m_vecRetiredTallies);
        m_nRetiredKept = 0;
        mapUntold.swap(m_mapRetiredUnhandled);
    }
    // What strangers' links did not handle, per address: they are told no
    // counts.
    for (const auto& pTally : vecTallies) {
        AddPerAddress(mapUntold, pTally->strAddress, pTally->nUnhandled.load());
    }
    for (const auto& [strAddress, nCount] : mapUntold) {
        if (nCount > 0 && m_reports.Admit(strAddress, RR_UNHANDLED, nCount)) {
            Report(UnhandledLine(nCount, strAddress, false));
        }
    }
    m_reports.Summarise();
}

std::deque<SRemoteSignal> CSDLRemoteLinks::TakeInbox() {
    std::deque<SRemoteSignal> gone;
    gone.swap(m_inbox);
    return gone;
}

std::vector<unsigned int> CSDLRemoteLinks::GetListeningPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vecPorts;
}

size_t CSDLRemoteLinks::GetConnectionCount(bool bWithClosing) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nConnections + (bWithClosing ? m_nConnectionsClosing : 0);
}

size_t CSDLRemoteLinks::CountLinksTakingSignals() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_listOut.begin(), m_listOut.end(),
                      [](const auto& pLink) { return pLink->IsHeld() && pLink->TakesSignals(); }));
}

void CSDLRemoteLinks::SetDrainAfterRun(std::chrono::milliseconds tDrain) {
    m_nDrainAfterRunMs = static_cast<int>(tDrain.count());
    m_pWake->Wake();
}

void CSDLRemoteLinks::SetCeiling(size_t nBytes) {
    m_pGate->nCeiling = nBytes;
    m_pWake->Wake();
}

// ---- Inbox ------------------------------------------------------------------------------------

bool CSDLRemoteLinks::TakeSignals(std::deque<SRemoteSignal>& rSignals) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_inbox.empty()) {
        return false;
    }
    rSignals.swap(m_inbox);
    return true;
}

bool CSDLRemoteLinks::WaitForSignal(std::chrono::milliseconds tWait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cvInbox.wait_for(lock, tWait, [this] { return !m_inbox.empty(); });
}

// ---- Sends --------------------------------------------------------------------------------------

bool CSDLRemoteLinks::BeginSend(CBidirecSocket& rSocket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bSendsCancelled) {
        return false;
    }
    m_pSending = &rSocket;
    return true;
}

void CSDLRemoteLinks::EndSend() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pSending = nullptr;
}

void CSDLRemoteLinks::SetSendWaits(bool bWaits, const std::string& strPeer) {
    {
        // Called within the socket's send: a lock of its own, after the
        // socket's.
        std::lock_guard<std::mutex> lock(m_mutexWaitsOn);
        m_strSendWaitsOn = bWaits ? strPeer : std::string();
    }
    m_pGate->bSendWaits = bWaits;
    if (bWaits) {
        m_pWake->Wake();  // the instances' links may take more now
    }
}

void CSDLRemoteLinks::CancelSends() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSendsCancelled = true;
    if (m_pSending) {
        // Not shut down: what went out whole is still the receiver's.
        m_pSending->StopWaiting();
    }
}

void CSDLRemoteLinks::AllowSends() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSendsCancelled = false;
}

CRemoteLinkOut* CSDLRemoteLinks::Adopt(std::unique_ptr<CRemoteLinkOut> pLink) {
    CRemoteLinkOut* pAdopted = pLink.get();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pLink->MarkSending();
        m_listOut.push_back(std::move(pLink));
        StartIoThread();
    }
    m_pWake->Wake();
    return pAdopted;
}

CSDLRemoteLinks::LinkSendResult CSDLRemoteLinks::SendOn(CRemoteLinkOut& rLink,
                                                        const std::string& strMessage,
                                                        const char* pszSignal) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bSendsCancelled) {
            rLink.AbortSend();
            return LS_STOPPED;
        }
        if (!rLink.IsSending() && !rLink.BeginSend()) {
            return LS_ENDED;
        }
        m_pSending = &rLink.SignalSocket();
    }
    const SocketSendResult eResult = rLink.SignalSocket().SendMessage(strMessage);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pSending = nullptr;
    const CRemoteLinkOut::State eBefore = rLink.GetState();
    rLink.EndSend(eResult, pszSignal);
    if (rLink.GetState() != eBefore) {
        m_pWake->Wake();
    }
    return eResult == SS_FAILED ? LS_FAILED : eResult == SS_STOPPED ? LS_CUT : LS_SENT;
}

void CSDLRemoteLinks::LetGo(CRemoteLinkOut& rLink) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        rLink.LetGo();
    }
    NoteProgress();  // the wait for it begins now
    m_pWake->Wake();
}

bool CSDLRemoteLinks::MayConnect(const std::string& strPeer,
                                 std::chrono::milliseconds& rtPatience) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_mapUnanswering.find(strPeer);
    if (it == m_mapUnanswering.end()) {
        return true;
    }
    const auto tNow = Clock::now();
    if (tNow - it->second < std::chrono::milliseconds(kRemoteRetryConnectMs)) {
        return false;
    }
    it->second = tNow;
    rtPatience = std::chrono::milliseconds(kRemoteConnectAttemptMs);
    return true;
}

void CSDLRemoteLinks::NoteConnect(const std::string& strPeer, bool bAnswered) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bAnswered) {
        m_mapUnanswering.erase(strPeer);
    } else if (m_mapUnanswering.size() < kMaxReportedAddresses) {
        m_mapUnanswering.try_emplace(strPeer, Clock::now());
    }
}

void CSDLRemoteLinks::ReportLoss(const std::string& strPeer, long long nSignals,
                                 const std::string& strLine, bool bUpTo) {
    if (m_reports.Admit(strPeer, bUpTo ? RR_LOST_UP_TO : RR_LOST, nSignals)) {
        Report(strLine);
    }
}

void CSDLRemoteLinks::ReportLoss(const std::string& strPeer, long long nSignals,
                                 const std::function<std::string()>& fnLine) {
    if (m_reports.Admit(strPeer, RR_LOST, nSignals)) {
        Report(fnLine());
    }
}

// ---- Links let go ---------------------------------------------------------------------------

void CSDLRemoteLinks::NoteProgress() {
    m_nLastProgress = Clock::now().time_since_epoch().count();
    m_cvIo.notify_all();
}

std::string CSDLRemoteLinks::DescribeUnread() const {
    std::map<std::string, long long> mapUnread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& pLink : m_listOut) {
            const long long nUnread = pLink->IsHeld() ? 0 : pLink->GetUnread();
            if (nUnread > 0) {
                mapUnread[pLink->GetPeer()] += nUnread;
            }
        }
    }
    std::string strText;
    for (const auto& [strPeer, nUnread] : mapUnread) {
        strText +=
            Format("%s%s (%lld signals)", strText.empty() ? "" : ", ", strPeer.c_str(), nUnread);
    }
    return strText;
}

Clock::time_point CSDLRemoteLinks::GetLastProgress() const {
    return Clock::time_point(Clock::duration(m_nLastProgress.load()));
}

long long CSDLRemoteLinks::CloseLingering(std::chrono::milliseconds tNoProgress,
                                          const char* pszWhen,
                                          const std::function<bool()>& fnGiveUp) {
    std::vector<std::pair<SRemoteLoss, std::string>> vecLosses;
    {
        const auto tStart = Clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (tNoProgress.count() > 0 && m_bIoAlive) {
            // The links let go whose end is not yet known.
            const bool bLeft = std::any_of(m_listOut.begin(), m_listOut.end(), [](const auto& p) {
                return !p->IsHeld() && p->GetState() != CRemoteLinkOut::LO_OVER;
            });
            if (!bLeft || Clock::now() - std::max(tStart, GetLastProgress()) >= tNoProgress) {
                break;
            }
            lock.unlock();
            const bool bGiveUp = fnGiveUp && fnGiveUp();
            lock.lock();
            if (bGiveUp) {
                break;
            }
            m_cvIo.wait_for(lock, std::chrono::milliseconds(100));
        }
        m_bWaitGivenUp = m_bWaitGivenUp || tNoProgress.count() == 0;
        // Counted here; their sockets go on the I/O thread.
        for (auto& pLink : m_listOut) {
            if (!pLink->IsHeld() && !pLink->IsCounted()) {
                pLink->Abandon();
                pLink->MarkCounted();
                vecLosses.emplace_back(pLink->CountLoss(pszWhen), pLink->GetPeer());
            }
        }
    }
    m_pWake->Wake();
    long long nLost = 0;
    for (const auto& [loss, strPeer] : vecLosses) {
        ReportLoss(loss, strPeer);
        nLost += loss.nSignals;
    }
    m_reports.SummariseLost();
    return nLost;
}

// ---- The I/O thread ----------------------------------------------------------------------

namespace {

// Reads of one link per turn of the I/O thread, so that each gets its turn.
constexpr int kReadsPerTurn = 16;
// Connections a port takes per turn.
constexpr int kAcceptsPerTurn = 64;
// A read of this much or more is of a burst (see ServeIn).
constexpr size_t kBurstBytes = 8 * 1024;
// How often a link that waits for room looks again, whatever wakes it.
constexpr auto kRoomLookEvery = std::chrono::milliseconds(100);

// Milliseconds from tNow until tWhen, at least 0, rounded up.
long long MillisecondsUntil(Clock::time_point tWhen, Clock::time_point tNow) {
    return tWhen <= tNow ? 0 : std::chrono::ceil<std::chrono::milliseconds>(tWhen - tNow).count();
}

}  // namespace

void CSDLRemoteLinks::TakeRequests(std::unique_lock<std::mutex>& /*lock*/) {
    if (!m_vecNewListeners.empty()) {
        m_modelIo = m_model;
        for (auto& pListener : m_vecNewListeners) {
            m_vecListeners.push_back(std::move(pListener));
        }
        m_vecNewListeners.clear();
    }
    if (m_nStopsAsked > m_nStopsTaken) {
        m_nStopsTaken = m_nStopsAsked;
        StopLinksIn();
    }
}

void CSDLRemoteLinks::StopLinksIn() {
    const auto tNow = Clock::now();
    for (auto& pLink : m_listIn) {
        CLinkIn& rLink = *pLink;
        if (rLink.pTally->bRunOver) {
            continue;  // of an earlier run
        }
        // From now on a signal given back was not handled.
        rLink.pTally->bRunOver = true;
        if (!rLink.IsOpen()) {
            continue;
        }
        if (rLink.eKind == CLinkIn::LK_PROTOCOL) {
            // Asked to end: its sender does so at once, and what comes
            // meanwhile is read and counted.
            rLink.socket.HalfClose(0);
            rLink.bAsked = true;
            rLink.tAsked = tNow;
        } else if (rLink.eKind != CLinkIn::LK_COUNTS) {
            // What has come is read on for a moment, not kept.
            rLink.tStopDrain = tNow + std::chrono::milliseconds(kRemoteStopDrainMs);
        }
    }
    // Connects are refused from now on.
    m_vecListeners.clear();
}

void CSDLRemoteLinks::IoTurn(bool bQuitting) {
    auto tNow = Clock::now();
    m_tTurn = tNow;
    const bool bTick = tNow >= m_tNextTell || bQuitting;
    std::vector<std::pair<size_t, size_t>> vecOutPlaces;  // signals, counts
    std::vector<CRemoteLinkOut*> vecOut;
    if (!bQuitting) {
        // ---- What to wait for, and until when
        m_poller.Clear();
        auto tWake = Clock::time_point::max();
        const auto Until = [&](Clock::time_point tWhen) { tWake = std::min(tWake, tWhen); };
        bool bTelling = false;
        for (auto& pListener : m_vecListeners) {
            SListener& rListener = *pListener;
            rListener.nPlace = SIZE_MAX;
            if (tNow < rListener.tBackOffUntil) {
                Until(rListener.tBackOffUntil);
            } else if (MayAccept(rListener)) {
                rListener.nPlace = m_poller.Add(rListener.socket, true, false);
            }
        }
        for (auto& pLink : m_listIn) {
            CLinkIn& rLink = *pLink;
            rLink.nPlace = SIZE_MAX;
            bTelling = bTelling || rLink.eKind == CLinkIn::LK_PROTOCOL;
            if (!rLink.IsOpen()) {
                continue;
            }
            if (rLink.bWaitingForRoom) {
                Until(tNow + kRoomLookEvery);
            } else if (rLink.eStreamEnd == IO_DONE) {
                rLink.nPlace = m_poller.Add(rLink.socket, true, false);
            }
            if (rLink.bInMessage) {
                Until(rLink.tMessageBegun + rLink.tWaited +
                      std::chrono::milliseconds(kRemoteMessageTimeMs));
            }
            Until(rLink.tStopDrain);
            if (rLink.bEvicted) {
                Until(std::max(rLink.tDrainFrom, rLink.tLastHeard) +
                      std::chrono::milliseconds(kRemoteDrainMs));
            }
            if (rLink.bAsked) {
                Until(rLink.tAsked + std::chrono::milliseconds(m_nDrainAfterRunMs.load()));
            }
            if (rLink.eKind == CLinkIn::LK_COUNTS && !rLink.pSignals) {
                Until(rLink.tPairUntil);
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // A stop taken is done at this turn's end, once the strangers'
            // links have ended: no wait before that.
            if (m_nStopsDone < m_nStopsTaken) {
                Until(tNow);
            }
            for (auto& pLink : m_listOut) {
                CRemoteLinkOut& rLink = *pLink;
                vecOut.push_back(&rLink);
                vecOutPlaces.emplace_back(
                    m_poller.Add(rLink.SignalSocket(), !rLink.IsSignalsEnded(), rLink.WantsWrite()),
                    m_poller.Add(rLink.CountSocket(), !rLink.IsCountsEnded(), false));
                bTelling = bTelling || !rLink.IsHeld();
            }
        }
        if (bTelling) {
            if (bTick) {
                m_tNextTell = tNow + std::chrono::milliseconds(kRemoteCountEveryMs);
            }
            Until(m_tNextTell);
        }
        m_poller.Wait(
            tWake == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::min<long long>(MillisecondsUntil(tWake, tNow), INT_MAX)),
            *m_pWake);
        tNow = Clock::now();
        m_tTurn = tNow;

        // ---- What came
        for (auto& pListener : m_vecListeners) {
            if (pListener->nPlace != SIZE_MAX && m_poller.IsReadable(pListener->nPlace)) {
                Accept(*pListener);
            }
        }
        for (auto& pLink : m_listIn) {
            CLinkIn& rLink = *pLink;
            const bool bReadable = rLink.nPlace != SIZE_MAX && m_poller.IsReadable(rLink.nPlace);
            if (bReadable || rLink.bWaitingForRoom || !rLink.reader.CanRead() ||
                rLink.eStreamEnd != IO_DONE) {
                ServeIn(rLink, bReadable);
            }
        }
    }

    // ---- Deadlines and counts
    for (auto& pLink : m_listIn) {
        CLinkIn& rLink = *pLink;
        if (bQuitting && rLink.eKind != CLinkIn::LK_COUNTS) {
            EndIn(rLink, RE_CLOSED);  // the end of the program
        }
        if (!rLink.IsOpen()) {
            continue;
        }
        const Clock::duration tWaited =
            rLink.tWaited + (rLink.bWaitingForRoom ? tNow - rLink.tWaitSince : Clock::duration());
        if (rLink.bInMessage && tNow - rLink.tMessageBegun - tWaited >=
                                    std::chrono::milliseconds(kRemoteMessageTimeMs)) {
            if (m_reports.Admit(rLink.strAddress, RR_SLOW)) {
                Report(
                    Format("Warning: a message from %s on port %u did not arrive whole "
                           "within %d s of its first byte; its link is closed.",
                           rLink.strAddress.c_str(), rLink.nPort, kRemoteMessageTimeMs / 1000));
            }
            EndIn(rLink, RE_SLOW);
        } else if (tNow >= rLink.tStopDrain) {
            EndIn(rLink, RE_CLOSED);
        } else if (rLink.bEvicted && tNow >= std::max(rLink.tDrainFrom, rLink.tLastHeard) +
                                                 std::chrono::milliseconds(kRemoteDrainMs)) {
            EndIn(rLink, RE_CLOSED);  // its sender is silent: closed in order
        } else if (rLink.bAsked &&
                   tNow - rLink.tAsked >= std::chrono::milliseconds(m_nDrainAfterRunMs.load())) {
            // Its sender goes on after it was asked to end, or hangs. One
            // that hangs inside a signal, for good, cannot count that one.
            const bool bInside = rLink.reader.IsInsideMessage();
            if (m_reports.Admit(rLink.strAddress, bInside ? RR_UNHANDLED : RR_CUT, 1)) {
                Report(Format(
                    "Warning: the link of %s was asked to end when the run ended and has not "
                    "ended %.0f s later; it is cut (its sender counts what was not read)%s.",
                    DescribeLink(rLink).c_str(), m_nDrainAfterRunMs.load() / 1000.0,
                    bInside ? ", and the signal it was sending is lost" : ""));
            }
            EndIn(rLink, RE_CUT);
        } else if (rLink.eKind == CLinkIn::LK_COUNTS && !rLink.pSignals &&
                   tNow >= rLink.tPairUntil) {
            EndIn(rLink, RE_CLOSED);  // no signal link of its token came
        }
    }
    bool bReported = false;
    if (bTick) {
        for (auto& pLink : m_listIn) {
            if (pLink->eKind == CLinkIn::LK_PROTOCOL && !pLink->bGone && Tell(*pLink, bQuitting)) {
                bReported = true;
            }
        }
    }
    if (bQuitting) {
        for (auto& pLink : m_listIn) {
            EndIn(*pLink, RE_CLOSED);
            pLink->socket.Close();
        }
    }

    // ---- The signals read go to the inbox
    std::vector<std::unique_ptr<CSDLEvent>> vecDropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool bWasEmpty = m_inbox.empty();
        for (SRemoteSignal& signal : m_vecBatch) {
            // Once the inbox has closed, a signal goes, not handled.
            const auto* pHold = static_cast<CDeliveryHold*>(signal.pEvent->m_pDeliveryHold.get());
            if (bQuitting || pHold->IsRunOver()) {
                MarkUnhandled(*signal.pEvent);
                vecDropped.push_back(std::move(signal.pEvent));
            } else {
                m_inbox.push_back(std::move(signal));
            }
        }
        m_vecBatch.clear();
        if (bWasEmpty && !m_inbox.empty()) {
            m_cvInbox.notify_one();
        }
    }
    vecDropped.clear();

    // ---- The links this instance sends on
    std::vector<std::pair<SRemoteLoss, std::string>> vecLosses;
    bool bProgress = false;
    bool bLingering = false;
    // What their receivers wrote is read without the lock: a receiver that
    // floods its counts holds back neither the sends nor a Stop.
    for (size_t i = 0; i < vecOut.size(); ++i) {
        vecOut[i]->ReadReplies(m_poller.IsReadable(vecOutPlaces[i].first),
                               m_poller.IsReadable(vecOutPlaces[i].second));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (CRemoteLinkOut* pLink : vecOut) {
            if (pLink->TakeReplies()) {
                bProgress = true;
            }
        }
        for (auto it = m_listOut.begin(); it != m_listOut.end();) {
            CRemoteLinkOut& rLink = **it;
            rLink.Advance();
            if (bQuitting) {
                rLink.Abandon();
            } else if (bTick && !rLink.IsHeld() && rLink.TookMore()) {
                bProgress = true;  // its receiver's system takes what was sent
            }
            if (rLink.GetState() == CRemoteLinkOut::LO_OVER) {
                if (!rLink.IsCounted()) {
                    rLink.MarkCounted();
                    vecLosses.emplace_back(rLink.CountLoss("when the program ended"),
                                           rLink.GetPeer());
                    bProgress = true;
                }
                if (!rLink.IsHeld() || bQuitting) {
                    rLink.Finish();
                    it = m_listOut.erase(it);
                    continue;
                }
            }
            bLingering = bLingering || !rLink.IsHeld();
            ++it;
        }
    }
    for (const auto& [loss, strPeer] : vecLosses) {
        ReportLoss(loss, strPeer);
    }

    // ---- Links gone, and what the others see
    size_t nConnections = 0;
    size_t nClosing = 0;
    bool bStrangersDraining = false;
    bool bKept = false;
    for (auto it = m_listIn.begin(); it != m_listIn.end();) {
        CLinkIn& rLink = **it;
        if (rLink.bGone) {
            it = m_listIn.erase(it);
            continue;
        }
        const bool bThisRun = !rLink.pTally->bRunOver;
        if (bThisRun && rLink.TakesPlace()) {
            (rLink.bEvicted ? nClosing : nConnections) += 1;
        }
        bStrangersDraining =
            bStrangersDraining || (rLink.IsOpen() && rLink.tStopDrain != Clock::time_point::max());
        bKept = bKept || (!bThisRun && rLink.eKind == CLinkIn::LK_PROTOCOL);
        ++it;
    }
    // What was not reported line by line is said once the links kept past
    // their run have all ended, not only at the next run's end.
    if ((bReported && !bKept) || (!vecLosses.empty() && !bLingering)) {
        m_reports.SummariseLost();
    }
    if (bProgress) {
        NoteProgress();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nConnections = nConnections;
    m_nConnectionsClosing = nClosing;
    if (m_nStopsDone < m_nStopsTaken && !bStrangersDraining) {
        m_nStopsDone = m_nStopsTaken;
    }
    m_cvIo.notify_all();
}

// ---- Taking links -------------------------------------------------------------------------

bool CSDLRemoteLinks::MayAccept(SListener& rListener) {
    size_t nClosing = 0;
    CLinkIn* pOldest = nullptr;
    for (auto& pLink : m_listIn) {
        CLinkIn& rLink = *pLink;
        if (rLink.nPort == rListener.nPort && rLink.bEvicted && rLink.IsOpen() &&
            !rLink.pTally->bRunOver) {
            ++nClosing;
            if (!pOldest || rLink.tDrainFrom < pOldest->tDrainFrom) {
                pOldest = &rLink;
            }
        }
    }
    if (nClosing < kMaxRemoteConnections) {
        return true;
    }
    // Its reader has had the time to read whatever it was sent before its
    // end: it is read no longer. Until then the senders that wait wait in
    // the queue, with what they send kept by TCP.
    if (Clock::now() - pOldest->tDrainFrom < std::chrono::milliseconds(kRemoteDrainMs)) {
        return false;
    }
    if (m_reports.Admit(pOldest->strAddress, RR_CUT)) {
        Report(
            Format("Warning: a link from %s on port %u still sends %d s after it was closed to "
                   "make room; it is cut, and what it sends is lost.",
                   pOldest->strAddress.c_str(), rListener.nPort, kRemoteDrainMs / 1000));
    }
    EndIn(*pOldest, RE_CUT);
    return true;
}

void CSDLRemoteLinks::Accept(SListener& rListener) {
    for (int nTaken = 0; nTaken < kAcceptsPerTurn && MayAccept(rListener); ++nTaken) {
        auto pLink = std::make_unique<CLinkIn>(rListener.nPort);
        int nError = 0;
        if (!rListener.socket.AcceptWaiting(pLink->socket, &nError)) {
            if (nError == EAGAIN) {
                rListener.nBackOffMs = 0;
                return;
            }
            if (IsPassingAcceptError(nError)) {
                // The connection waits in the queue meanwhile.
                if (rListener.nBackOffMs == 0) {
                    Report(
                        Format("Warning: the listener on port %u cannot take a link for now "
                               "(%s); it tries again.",
                               rListener.nPort, std::generic_category().message(nError).c_str()));
                }
                rListener.nBackOffMs =
                    std::min(std::max(2 * rListener.nBackOffMs, 10), kMaxAcceptBackOffMs);
                rListener.tBackOffUntil =
                    Clock::now() + std::chrono::milliseconds(rListener.nBackOffMs);
                return;
            }
            // No port stays open that nobody reads: senders learn at once
            // that their signals cannot go there.
            rListener.socket.Close();
            rListener.tBackOffUntil = Clock::time_point::max();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_vecPorts.erase(std::remove(m_vecPorts.begin(), m_vecPorts.end(), rListener.nPort),
                                 m_vecPorts.end());
            }
            Report(Format(
                "The listener on port %u failed (%s); the port is closed, and signals sent to it "
                "are refused until the next run.",
                rListener.nPort, std::generic_category().message(nError).c_str()));
            return;
        }
        rListener.nBackOffMs = 0;
        CLinkIn& rLink = *pLink;
        rLink.strAddress = rLink.socket.GetPeerAddress();
        rLink.pTally = std::make_shared<SRemoteLinkTally>();
        rLink.pTally->strAddress = rLink.strAddress;
        rLink.pTally->nPort = rListener.nPort;
        rLink.socket.AttachArchives();
        rLink.tLastHeard = Clock::now();
        m_listIn.push_back(std::move(pLink));
        MakeRoom(rListener, rLink);
    }
}

void CSDLRemoteLinks::MakeRoom(SListener& rListener, CLinkIn& rNew) {
    // A link of an instance takes its count link's place too, whether that
    // one is open or not.
    std::vector<CLinkIn*> vecServed;
    size_t nTaken = 0;
    for (auto& pLink : m_listIn) {
        CLinkIn& rLink = *pLink;
        if (rLink.nPort == rListener.nPort && rLink.TakesPlace() && !rLink.bEvicted &&
            !rLink.pTally->bRunOver) {
            vecServed.push_back(&rLink);
            nTaken += rLink.eKind == CLinkIn::LK_PROTOCOL && rLink.bFromInstance ? 2 : 1;
        }
    }
    if (nTaken <= rListener.nServed) {
        return;
    }
    // The one silent longest, among strangers' links if any, then among
    // those that never sent a signal; never one that waits for room, for its
    // sender waits on it. When every other one is busy, the newcomer.
    const auto Rank = [](const CLinkIn& rLink) {
        return (rLink.bFromInstance ? 2 : 0) + (rLink.bSentSignal ? 1 : 0);
    };
    CLinkIn* pSilent = nullptr;
    for (CLinkIn* pLink : vecServed) {
        if (pLink == &rNew || pLink->bWaitingForRoom) {
            continue;
        }
        if (!pSilent || Rank(*pLink) < Rank(*pSilent) ||
            (Rank(*pLink) == Rank(*pSilent) && pLink->tLastHeard < pSilent->tLastHeard)) {
            pSilent = pLink;
        }
    }
    if (!pSilent) {
        pSilent = &rNew;
    }
    if (m_reports.Admit(pSilent->strAddress, RR_EVICTED)) {
        Report(
            Format("Warning: port %u already serves %zu links; a silent one from %s is "
                   "closed to make room for another.",
                   rListener.nPort, rListener.nServed, pSilent->strAddress.c_str()));
    }
    if (pSilent->eKind == CLinkIn::LK_COUNTS) {
        // A count link not yet paired is none any more: its signal link
        // goes without counts.
        EndIn(*pSilent, RE_CLOSED);
        return;
    }
    // In order: its sender reads the end of the link, connects again before
    // its next send, and what it wrote meanwhile is still read here.
    pSilent->bEvicted = true;
    pSilent->tDrainFrom = Clock::now();
    pSilent->socket.HalfClose(0);
}

// ---- Reading a link -----------------------------------------------------------------------

void CSDLRemoteLinks::ServeIn(CLinkIn& rLink, bool bReadable) {
    for (int nReads = 0; rLink.IsOpen();) {
        std::string strMessage;
        for (bool bMore = true; bMore && rLink.IsOpen();) {
            const CSocketStreamReader::Step eStep = rLink.reader.Next(strMessage);
            switch (eStep) {
                case CSocketStreamReader::RS_NEED_MORE:
                    bMore = false;
                    break;
                case CSocketStreamReader::RS_ROOM:
                    if (!TakeRoom(rLink)) {
                        return;  // it waits for room
                    }
                    break;
                case CSocketStreamReader::RS_INVALID:
                    if (rLink.eKind == CLinkIn::LK_PROTOCOL &&
                        m_reports.Admit(rLink.strAddress, RR_INVALID)) {
                        Report(
                            Format("Warning: a message on the link of %s claims %llu "
                                   "characters, more than any link carries; the link is "
                                   "closed (its sender counts what was not read).",
                                   DescribeLink(rLink).c_str(),
                                   static_cast<unsigned long long>(rLink.reader.ClaimedLength())));
                    }
                    EndIn(rLink, RE_INVALID);
                    return;
                default:
                    rLink.bInMessage = false;
                    HandleMessage(rLink, eStep, strMessage);
                    break;
            }
        }
        if (!rLink.IsOpen()) {
            return;
        }
        if (rLink.reader.IsInsideMessage() && !rLink.bInMessage) {
            // A message has begun: its time runs, save while it waits for
            // room.
            rLink.bInMessage = true;
            rLink.tMessageBegun = m_tTurn;
            rLink.tWaited = {};
        }
        if (rLink.eStreamEnd != IO_DONE) {
            // All that came is taken: the link ends as its stream did.
            const bool bInside = rLink.reader.IsInsideMessage();
            if (rLink.eKind == CLinkIn::LK_COUNTS) {
                EndIn(rLink, RE_CLOSED);
            } else if (rLink.bEndMark && !bInside) {
                EndIn(rLink, RE_ENDED);
            } else if (rLink.eStreamEnd == IO_RESET) {
                EndIn(rLink, RE_RESET);
            } else {
                EndIn(rLink, bInside ? RE_BROKEN : RE_STOPPED);
            }
            return;
        }
        if (!rLink.reader.CanRead()) {
            continue;  // take what the buffer holds first
        }
        if (!bReadable || nReads++ >= kReadsPerTurn) {
            return;
        }
        // A read that takes all there was is the last of this turn: the poll
        // says when more comes (reading on would take a few signals a call).
        bool bAll = false;
        size_t nGot = 0;
        const SocketIoResult eRead = rLink.reader.ReadFrom(rLink.socket, &nGot, &bAll);
        if (eRead == IO_NONE) {
            return;
        }
        // Signals that come in a burst are acknowledged a batch at a time:
        // their sender's system then sends them in large pieces, not each
        // alone (nothing goes back on a signal link to carry the
        // acknowledgements). One that comes alone is acknowledged at once,
        // so that a sender who waits for its answer is not held back.
        if (nGot >= kBurstBytes) {
            rLink.socket.DelayAcknowledgements();
        }
        if (eRead != IO_DONE) {
            rLink.eStreamEnd = eRead;
        }
        bReadable = bReadable && !bAll;
    }
}

void CSDLRemoteLinks::HandleMessage(CLinkIn& rLink, CSocketStreamReader::Step eStep,
                                    std::string& strMessage) {
    SRemoteLinkTally& tally = *rLink.pTally;
    const auto tNow = m_tTurn;
    if (rLink.eKind == CLinkIn::LK_NEW) {
        if (eStep == CSocketStreamReader::RS_MESSAGE && TakeOpening(rLink, strMessage)) {
            GiveBack(rLink);
            rLink.tLastHeard = tNow;
            return;
        }
        rLink.eKind = CLinkIn::LK_STRANGER;  // its first message is one
    }
    if (rLink.eKind == CLinkIn::LK_COUNTS) {
        // The sender's answer to the last count: it counts that loss.
        CLinkIn* pSignals = rLink.pSignals;
        if (eStep == CSocketStreamReader::RS_MESSAGE && pSignals && !pSignals->strFinal.empty() &&
            strMessage == pSignals->strFinal) {
            pSignals->bAnswered = true;
        }
        return;
    }
    rLink.tLastHeard = tNow;
    if (eStep == CSocketStreamReader::RS_MESSAGE && strMessage.empty()) {
        return;  // nothing
    }
    if (eStep == CSocketStreamReader::RS_MESSAGE && rLink.eKind == CLinkIn::LK_PROTOCOL &&
        strMessage == kRemoteEndMark) {
        GiveBack(rLink);
        rLink.bEndMark = true;
        return;
    }
    rLink.bEndMark = false;
    // What comes once the run has ended, or is refused, is read and not
    // handled; a message that is no signal is not counted read, so that
    // its sender counts it lost.
    SRemoteSignal signal;
    if (eStep == CSocketStreamReader::RS_SKIPPED ||
        (eStep == CSocketStreamReader::RS_MESSAGE && tally.bRunOver)) {
        GiveBack(rLink);
        ++tally.nRead;
        ++tally.nUnhandled;
    } else if (eStep == CSocketStreamReader::RS_MESSAGE &&
               ParseMessage(rLink.nPort, rLink.strAddress, strMessage, signal)) {
        ++tally.nRead;
        rLink.nMalformedInARow = 0;
        rLink.bSentSignal = true;
        if (rLink.nPool < 0) {
            // A first message, taken as an opening might have been, takes
            // its room now.
            rLink.nPool =
                rLink.bFromInstance ? SDeliveryGate::POOL_INSTANCES : SDeliveryGate::POOL_STRANGERS;
            rLink.nTaken = MessageCost(rLink.reader.ClaimedLength());
            m_pGate->Take(rLink.nPool, rLink.nTaken, true);
        }
        // The room is given back when the hold goes with the event.
        signal.pEvent->m_pDeliveryHold =
            std::make_shared<CDeliveryHold>(m_pGate, rLink.nPool, rLink.nTaken, rLink.pTally);
        rLink.nPool = -1;
        rLink.nTaken = 0;
        m_vecBatch.push_back(std::move(signal));
    } else {
        GiveBack(rLink);
        if (eStep == CSocketStreamReader::RS_TOO_LONG &&
            m_reports.Admit(rLink.strAddress, RR_TOO_LONG)) {
            Report(
                Format("Warning: a message of %llu characters from %s on port %u is longer "
                       "than a remote signal may be (%zu) and is dropped.",
                       static_cast<unsigned long long>(rLink.reader.ClaimedLength()),
                       rLink.strAddress.c_str(), rLink.nPort, kMaxRemoteMessageLength));
        }
        if (++rLink.nMalformedInARow >= kMaxMalformedInARow) {
            if (m_reports.Admit(rLink.strAddress, RR_LINK_GARBAGE)) {
                Report(
                    Format("Warning: a link from %s on port %u sent %d messages in a row "
                           "that are no remote signals; it is closed.",
                           rLink.strAddress.c_str(), rLink.nPort, kMaxMalformedInARow));
            }
            EndIn(rLink, RE_GARBAGE);
        }
    }
}

bool CSDLRemoteLinks::TakeOpening(CLinkIn& rLink, const std::string& strMessage) {
    SRemoteOpening opening;
    std::string strToken;
    if (ParseRemoteOpening(strMessage, opening)) {
        rLink.bFromInstance = IsInstanceOpening(rLink.nPort, rLink.strAddress, opening);
        rLink.pTally->strInstance = opening.strInstance;
        rLink.pTally->strChannel = opening.strChannel;
        // A token taken is no link's: that link is served as a stranger's.
        rLink.eKind = CLinkIn::LK_STRANGER;
        if (!opening.strToken.empty() && !m_mapTokens.count(opening.strToken)) {
            rLink.eKind = CLinkIn::LK_PROTOCOL;
            rLink.strToken = opening.strToken;
            rLink.tPairUntil = Clock::now() + std::chrono::milliseconds(kRemotePairingMs);
            m_mapTokens.emplace(opening.strToken, &rLink);
            // Its count link may have come first.
            for (auto& pLink : m_listIn) {
                if (pLink->eKind == CLinkIn::LK_COUNTS && !pLink->pSignals && pLink->IsOpen() &&
                    pLink->strToken == opening.strToken) {
                    PairCounts(*pLink);
                    break;
                }
            }
            if (rLink.pTally->bRunOver) {
                // Its run ended before it said what it is: asked to end now.
                rLink.tStopDrain = Clock::time_point::max();
                rLink.socket.HalfClose(0);
                rLink.bAsked = true;
                rLink.tAsked = Clock::now();
            }
        }
        return true;
    }
    if (ParseRemoteCountsOpening(strMessage, strToken)) {
        rLink.eKind = CLinkIn::LK_COUNTS;
        rLink.strToken = strToken;
        rLink.tStopDrain = Clock::time_point::max();
        rLink.tPairUntil = Clock::now() + std::chrono::milliseconds(kRemotePairingMs);
        PairCounts(rLink);
        return true;
    }
    // An older sender's opening: its link is served as a stranger's.
    if (strMessage.empty() || strMessage.rfind("VELKO link ", 0) == 0) {
        rLink.eKind = CLinkIn::LK_STRANGER;
        return true;
    }
    return false;
}

void CSDLRemoteLinks::PairCounts(CLinkIn& rCounts) {
    const auto it = m_mapTokens.find(rCounts.strToken);
    if (it == m_mapTokens.end() || it->second->pCounts || it->second->bGone) {
        return;  // its signal link may come later, within kRemotePairingMs
    }
    CLinkIn& rSignals = *it->second;
    rCounts.pSignals = &rSignals;
    rSignals.pCounts = &rCounts;
    rCounts.socket.SetNoDelay();
}

bool CSDLRemoteLinks::TakeRoom(CLinkIn& rLink) {
    CSocketStreamReader& reader = rLink.reader;
    const auto tNow = m_tTurn;
    const auto GoOn = [&](bool bKeep) {
        if (rLink.bWaitingForRoom) {
            rLink.bWaitingForRoom = false;
            rLink.tWaited += tNow - rLink.tWaitSince;
        }
        reader.Admit(bKeep);
        return true;
    };
    // An opening, a message as short as the sender's end (no signal is),
    // and what a count link carries, cost their link only.
    const uint64_t nClaimed = reader.ClaimedLength();
    if ((rLink.eKind == CLinkIn::LK_NEW && nClaimed <= kMaxRemoteOpeningLength) ||
        nClaimed <= std::strlen(kRemoteEndMark) || rLink.eKind == CLinkIn::LK_COUNTS) {
        return GoOn(true);
    }
    // What comes once the run has ended is not kept.
    if (rLink.pTally->bRunOver) {
        GiveBack(rLink);
        return GoOn(false);
    }
    const int nPool =
        rLink.bFromInstance ? SDeliveryGate::POOL_INSTANCES : SDeliveryGate::POOL_STRANGERS;
    const size_t nCost = PieceCost(reader.PieceBytes(), reader.IsFirstPiece());
    SDeliveryGate& gate = *m_pGate;
    if (!gate.HasRoom(nPool, nCost, rLink.pTally->nHeld.load())) {
        // Waiting while this instance's own send waits too, whenever it
        // comes to that: said once a link.
        if (nPool == SDeliveryGate::POOL_INSTANCES && gate.bSendWaits.load() &&
            !rLink.bCeilingSaid) {
            rLink.bCeilingSaid = true;
            ReportCeiling(rLink);
        }
        // Marked before the second look: room given back after it wakes.
        gate.aPools[nPool].bWaiting = true;
        if (!gate.HasRoom(nPool, nCost, rLink.pTally->nHeld.load())) {
            if (!rLink.bWaitingForRoom) {
                rLink.bWaitingForRoom = true;
                rLink.tWaitSince = tNow;
            }
            return false;
        }
    }
    gate.Take(nPool, nCost, rLink.nPool < 0);
    rLink.nPool = nPool;
    rLink.nTaken += nCost;
    return GoOn(true);
}

void CSDLRemoteLinks::GiveBack(CLinkIn& rLink) {
    if (rLink.nPool >= 0) {
        m_pGate->Release(rLink.nPool, rLink.nTaken, nullptr, false);
    }
    rLink.nPool = -1;
    rLink.nTaken = 0;
}

void CSDLRemoteLinks::EndIn(CLinkIn& rLink, RemoteReceiveEnd eEnd) {
    if (!rLink.IsOpen()) {
        return;
    }
    GiveBack(rLink);
    rLink.eEnd = eEnd;
    rLink.bInMessage = false;
    rLink.bWaitingForRoom = false;
    // Closed here, not when the list is next pruned: the peer learns it
    // now, and the descriptor is free. A count link paired goes with its
    // signal link, once that one's end is reported.
    if (rLink.eKind != CLinkIn::LK_COUNTS || !rLink.pSignals) {
        rLink.socket.Close();
    }
    switch (rLink.eKind) {
        case CLinkIn::LK_PROTOCOL:
            break;  // it says how it ended once its counts are settled
        case CLinkIn::LK_COUNTS:
            rLink.bGone = !rLink.pSignals;
            break;
        default: {
            // A stranger's link that broke is reported as such; an orderly
            // close is no fault.
            const bool bFailed = eEnd == RE_BROKEN || eEnd == RE_RESET || eEnd == RE_INVALID;
            if (bFailed && !rLink.pTally->bRunOver &&
                m_reports.Admit(rLink.strAddress, RR_LINK_FAILED)) {
                Report(Format("%s (port %u, from %s)", kReceiveFailure, rLink.nPort,
                              rLink.strAddress.c_str()));
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            RetireTally(rLink.pTally);
            rLink.bGone = true;
            break;
        }
    }
}

void CSDLRemoteLinks::RetireTally(std::shared_ptr<SRemoteLinkTally> pTally) {
    // Its link has ended: what it did not handle is counted by address
    // once no signal of it waits any more, so that ever new links cost no
    // memory.
    m_vecRetiredTallies.push_back(std::move(pTally));
    if (m_vecRetiredTallies.size() < 2 * m_nRetiredKept + 64) {
        return;
    }
    auto itKept = m_vecRetiredTallies.begin();
    for (auto& pRetired : m_vecRetiredTallies) {
        if (pRetired->nHeld.load() == 0) {
            AddPerAddress(m_mapRetiredUnhandled, pRetired->strAddress, pRetired->nUnhandled.load());
        } else {
            *itKept++ = std::move(pRetired);
        }
    }
    m_vecRetiredTallies.erase(itKept, m_vecRetiredTallies.end());
    m_nRetiredKept = m_vecRetiredTallies.size();
}

// ---- Counts told to the senders ---------------------------------------------------------

bool CSDLRemoteLinks::Tell(CLinkIn& rLink, bool bQuitting) {
    SRemoteLinkTally& tally = *rLink.pTally;
    CLinkIn* pCounts = rLink.pCounts;
    const bool bCountsOpen = pCounts && pCounts->IsOpen();
    const auto tNow = Clock::now();
    // The held first: once none is, the counts read are final.
    const long long nHeld = tally.nHeld.load();
    const long long nHandled = tally.nHandled.load();
    const long long nUnhandled = tally.nUnhandled.load();
    const long long nRead = tally.nRead.load();
    bool bReport = false;
    bool bTold = rLink.bAnswered;
    if (bQuitting) {
        // The end of the program: the last count goes, not waited for; what
        // still waits here is lost with it.
        if (rLink.strFinal.empty() && bCountsOpen) {
            pCounts->socket.TrySendMessage(MakeRemoteCount(nRead, nUnhandled + nHeld));
        }
        ReportLinkEnd(rLink, bTold, bTold ? nUnhandled : nUnhandled + nHeld);
        bReport = true;
    } else if (!rLink.strFinal.empty()) {
        // The sender's answer is waited for as long as its count link lasts.
        bReport = rLink.bAnswered || !bCountsOpen ||
                  tNow - rLink.tFinal >= std::chrono::milliseconds(kRemoteAnswerWaitMs);
    } else {
        const bool bSettled = !rLink.IsOpen() && nHeld == 0;
        if (bCountsOpen) {
            // Handled so far while the run goes on; read and not handled
            // once it has ended or the link's signals are settled.
            const std::string strCount = tally.bRunOver || bSettled
                                             ? MakeRemoteCount(nRead, nUnhandled)
                                             : MakeRemoteCount(nHandled);
            if (strCount != rLink.strTold && pCounts->socket.TrySendMessage(strCount)) {
                rLink.strTold = strCount;
            }
            if (pCounts->socket.FlushUnsent() && bSettled && rLink.strTold == strCount) {
                rLink.strFinal = strCount;
                rLink.tFinal = tNow;
                pCounts->socket.HalfClose(0);
            }
        } else {
            // No count link (it never came, or went): nobody is told.
            bReport = bSettled && (pCounts || tNow >= rLink.tPairUntil);
        }
    }
    if (!bReport) {
        return false;
    }
    if (!bQuitting) {
        ReportLinkEnd(rLink, bTold, nUnhandled);
    }
    rLink.bGone = true;
    m_mapTokens.erase(rLink.strToken);
    if (pCounts) {
        pCounts->pSignals = nullptr;
        pCounts->eEnd = pCounts->IsOpen() ? RE_CLOSED : pCounts->eEnd;
        pCounts->socket.Close();
        pCounts->bGone = true;
        rLink.pCounts = nullptr;
    }
    return true;
}

std::string CSDLRemoteLinks::DescribeLink(const CLinkIn& rLink) const {
    const SRemoteLinkTally& tally = *rLink.pTally;
    if (rLink.bFromInstance) {
        return Format("channel %s from the instance at %s (%s)",
                      EscapePeerText(tally.strChannel).c_str(),
                      EscapePeerText(tally.strInstance).c_str(), rLink.strAddress.c_str());
    }
    // Its opening named no instance of this model: it is no instance's.
    return Format("channel %s from %s", Shortened(tally.strChannel, kQuotedBytes).c_str(),
                  rLink.strAddress.c_str());
}

void CSDLRemoteLinks::ReportLinkEnd(const CLinkIn& rLink, bool bTold, long long nUnhandled) {
    const std::string& strAddress = rLink.strAddress;
    const std::string strLink = DescribeLink(rLink);
    // Who stopped working: an instance of the model, or whoever sent on a
    // link that named none.
    const char* pszWho = rLink.bFromInstance ? "that instance" : "its sender";
    switch (rLink.eEnd) {
        case RE_BROKEN:
            // The sender stopped working while it sent: only this end can
            // count that signal.
            if (m_reports.Admit(strAddress, RR_UNHANDLED, 1)) {
                Report(
                    Format("Warning: the link of %s ended inside a signal, without its "
                           "sender's end: %s stopped working, and the signal it was sending is "
                           "lost.",
                           strLink.c_str(), pszWho));
            }
            break;
        case RE_STOPPED:
            if (m_reports.Admit(strAddress, RR_UNHANDLED, 1)) {
                Report(
                    Format("Warning: the link of %s ended without its sender's end: %s stopped "
                           "working; what it sent came whole, but for up to 1 signal it may "
                           "have been about to send, which is lost.",
                           strLink.c_str(), pszWho));
            }
            break;
        case RE_RESET:
            if (m_reports.Admit(strAddress, RR_STOPPED)) {
                Report(
                    Format("Warning: the link of %s was reset by its sender after %lld "
                           "signals; what it sent and had not delivered its sender counts, "
                           "if it still runs.",
                           strLink.c_str(), rLink.pTally->nRead.load()));
            }
            break;
        default:
            break;  // ended in order, or closed here (said then)
    }
    if (nUnhandled > 0 &&
        m_reports.Admit(strAddress, bTold ? RR_UNHANDLED_TOLD : RR_UNHANDLED, nUnhandled)) {
        Report(UnhandledLine(nUnhandled, strAddress, bTold));
    }
}

void CSDLRemoteLinks::ReportCeiling(CLinkIn& rLink) {
    if (!m_reports.Admit(rLink.strAddress, RR_CEILING)) {
        return;
    }
    std::string strWaitsOn;
    {
        std::lock_guard<std::mutex> lock(m_mutexWaitsOn);
        strWaitsOn = m_strSendWaitsOn;
    }
    const size_t nHeld = m_pGate->aPools[SDeliveryGate::POOL_INSTANCES].nBytes.load();
    Report(
        Format("Warning: the signals of other instances waiting here to be handled have reached "
               "their bound (%zu MiB) while this instance's own send to %s waits; the link from %s "
               "(instance %s) "
               "waits until some are handled. If that instance waits on this one in turn (as two "
               "instances that send bursts to each other do), both wait until one is stopped.",
               nHeld / (1024 * 1024), strWaitsOn.c_str(), rLink.strAddress.c_str(),
               EscapePeerText(rLink.pTally->strInstance).c_str()));
}

bool CSDLRemoteLinks::IsInstanceOpening(unsigned int nPort, const std::string& strAddress,
                                        const SRemoteOpening& opening) {
    const auto itChannels = m_modelIo.mapChannels.find(nPort);
    if (opening.strSystem == m_modelIo.strSystem &&
        m_modelIo.setInstances.count(opening.strInstance) &&
        itChannels != m_modelIo.mapChannels.end() && itChannels->second.count(opening.strChannel)) {
        return true;
    }
    if (m_reports.Admit(strAddress, RR_NOT_INSTANCE)) {
        const std::string strSays = Shortened(
            Format("channel %s of the instance at %s of system %s", opening.strChannel.c_str(),
                   opening.strInstance.c_str(), opening.strSystem.c_str()),
            kQuotedBytes * 3);
        Report(
            Format("Warning: a link from %s on port %u says it is %s, which this model does not "
                   "have; it is served as another program's.",
                   strAddress.c_str(), nPort, strSays.c_str()));
    }
    return false;
}

bool CSDLRemoteLinks::ParseMessage(unsigned int nPort, const std::string& strAddress,
                                   const std::string& strMessage, SRemoteSignal& rSignal) {
    const size_t nComma = strMessage.find(',');
    const std::string_view channel =
        TrimView(std::string_view(strMessage).substr(0, std::min(nComma, strMessage.size())));
    auto pEvent = std::make_unique<CSDLEvent>();
    if (nComma == std::string::npos || channel.empty() ||
        !pEvent->ParseRemoteText(std::string_view(strMessage).substr(nComma + 1))) {
        if (m_reports.Admit(strAddress, RR_MALFORMED)) {
            const std::string strQuoted = Shortened(strMessage, kQuotedBytes);
            Report(
                Format("Warning: a message from %s on port %u is no remote signal and is "
                       "dropped: \"%s\"",
                       strAddress.c_str(), nPort, strQuoted.c_str()));
        }
        return false;
    }
    rSignal.nPort = nPort;
    rSignal.strChannel = channel;
    rSignal.pEvent = std::move(pEvent);
    rSignal.strAddress = strAddress;
    return true;
}
