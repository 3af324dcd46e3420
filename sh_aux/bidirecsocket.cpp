#include "sh_aux/bidirecsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

constexpr size_t kReadBufferSize = 4096;
// Payload is read in pieces of at most this size, so that memory follows the
// bytes that actually arrived rather than the length the peer claims.
constexpr size_t kPayloadChunk = 64 * 1024;
// The piece in which a message too long to keep is read past.
constexpr size_t kSkipChunk = 64 * 1024;
// How often a timed wait looks at the cancel flag and the deadline.
constexpr int kPollSliceMs = 100;

const char* const kSendError = "Error al enviar mensaje";
const char* const kReceiveError = "Error al recibir mensaje";
const char* const kInvalidSocket = "INVALID_SOCKET en la conexión modo cliente";

void AppendLittleEndian(std::string& out, uint64_t nValue, int nBytes) {
    for (int i = 0; i < nBytes; ++i) {
        out += static_cast<char>((nValue >> (8 * i)) & 0xFF);
    }
}

bool ReadLittleEndian(const SocketByteReader& fnRead, int nBytes, uint64_t& rnValue) {
    unsigned char bytes[8];
    if (!fnRead(reinterpret_cast<char*>(bytes), static_cast<size_t>(nBytes))) {
        return false;
    }
    rnValue = 0;
    for (int i = nBytes - 1; i >= 0; --i) {
        rnValue = (rnValue << 8) | bytes[i];
    }
    return true;
}

// One length in its 1, 3, 7 or 15-byte form. In the first length of a
// message a 16-bit 0xFFFE after the FF byte is the UTF-16 tag, not a length.
bool ReadLength(const SocketByteReader& fnRead, bool bTagAllowed, bool& rbTag, uint64_t& rnLength) {
    rbTag = false;
    uint64_t nValue = 0;
    if (!ReadLittleEndian(fnRead, 1, nValue)) {
        return false;
    }
    if (nValue < 0xFF) {
        rnLength = nValue;
        return true;
    }
    if (!ReadLittleEndian(fnRead, 2, nValue)) {
        return false;
    }
    if (bTagAllowed && nValue == 0xFFFE) {
        rbTag = true;
        return true;
    }
    if (nValue < 0xFFFF) {
        rnLength = nValue;
        return true;
    }
    if (!ReadLittleEndian(fnRead, 4, nValue)) {
        return false;
    }
    if (nValue < 0xFFFFFFFFu) {
        rnLength = nValue;
        return true;
    }
    if (!ReadLittleEndian(fnRead, 8, nValue)) {
        return false;
    }
    rnLength = nValue;
    return true;
}

std::string EncodeWide(const std::u16string& wide) {
    const uint64_t nLength = wide.size();
    std::string out;
    out.reserve(18 + 2 * wide.size());
    out += "\xFF\xFE\xFF";
    if (nLength < 0xFF) {
        AppendLittleEndian(out, nLength, 1);
    } else if (nLength < 0xFFFE) {
        out += '\xFF';
        AppendLittleEndian(out, nLength, 2);
    } else if (nLength < 0xFFFFFFFFu) {
        out += '\xFF';
        AppendLittleEndian(out, 0xFFFF, 2);
        AppendLittleEndian(out, nLength, 4);
    } else {
        out += '\xFF';
        AppendLittleEndian(out, 0xFFFF, 2);
        AppendLittleEndian(out, 0xFFFFFFFFu, 4);
        AppendLittleEndian(out, nLength, 8);
    }
    // Written through a pointer: a call per character is what a build
    // without optimisation pays most for.
    const size_t nHeader = out.size();
    out.resize(nHeader + 2 * wide.size());
    char* pOut = out.data() + nHeader;
    const char16_t* pIn = wide.data();
    for (size_t i = 0; i < wide.size(); ++i) {
        pOut[2 * i] = static_cast<char>(pIn[i] & 0xFF);
        pOut[2 * i + 1] = static_cast<char>(pIn[i] >> 8);
    }
    return out;
}

}  // namespace

std::string EncodeSocketString(std::string_view strText) {
    return EncodeWide(Utf8ToUtf16(strText));
}

namespace {

// A message's payload as UTF-8: 8-bit (Windows-1252) or UTF-16LE units.
std::string PayloadToUtf8(std::string_view bytes, size_t nCharSize) {
    if (nCharSize == 1) {
        return Cp1252ToUtf8(bytes);
    }
    const size_t nUnits = bytes.size() / 2;
    // Not filled first: a string filled goes character by character too.
    const std::unique_ptr<char16_t[]> pWide(new char16_t[std::max<size_t>(nUnits, 1)]);
    char16_t* pUnits = pWide.get();
    const auto* pBytes = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < nUnits; ++i) {
        pUnits[i] = static_cast<char16_t>(pBytes[2 * i] | (pBytes[2 * i + 1] << 8));
    }
    return Utf16ToUtf8(std::u16string_view(pWide.get(), nUnits));
}

// The header of a message: its length in characters and their size. False
// when the source ends first.
bool ReadHeader(const SocketByteReader& fnRead, uint64_t& rnLength, size_t& rnCharSize) {
    bool bTag = false;
    if (!ReadLength(fnRead, true, bTag, rnLength)) {
        return false;
    }
    rnCharSize = 1;
    if (bTag) {
        rnCharSize = 2;
        return ReadLength(fnRead, false, bTag, rnLength);
    }
    return true;
}

// Reads one message. SR_MESSAGE with strOut set; SR_TOO_LONG when it holds
// more than nMaxLength characters (its payload is read past in pieces and
// never held); SR_SKIPPED when fnAdmit refused a piece (the rest is read
// past); SR_FAILED when the source ends early or the claim exceeds
// kMaxSocketMessageBytes, whose payload is never requested. rnLength is the
// length claimed.
SocketReceiveResult DecodeMessage(const SocketByteReader& fnRead, std::string& strOut,
                                  size_t nMaxLength, uint64_t& rnLength,
                                  const SocketAdmission& fnAdmit = {}) {
    uint64_t nLength = 0;
    size_t nCharSize = 1;
    if (!ReadHeader(fnRead, nLength, nCharSize)) {
        return SR_FAILED;
    }
    rnLength = nLength;
    if (nLength > kMaxSocketMessageBytes / nCharSize) {
        return SR_FAILED;
    }
    const size_t nTotal = static_cast<size_t>(nLength) * nCharSize;
    const auto ReadPast = [&](size_t nLeft) {
        std::vector<char> vecScratch(std::min(nLeft, kSkipChunk));
        while (nLeft > 0) {
            const size_t nChunk = std::min(nLeft, vecScratch.size());
            if (!fnRead(vecScratch.data(), nChunk)) {
                return false;
            }
            nLeft -= nChunk;
        }
        return true;
    };
    if (nLength > nMaxLength) {
        return ReadPast(nTotal) ? SR_TOO_LONG : SR_FAILED;
    }
    // Piece by piece, each admitted before it is read: what the message
    // holds follows what has arrived.
    std::string bytes;
    while (bytes.size() < nTotal) {
        const size_t nOld = bytes.size();
        const size_t nChunk = std::min(nTotal - nOld, kPayloadChunk);
        if (fnAdmit && !fnAdmit(nLength, nChunk)) {
            return ReadPast(nTotal - nOld) ? SR_SKIPPED : SR_FAILED;
        }
        bytes.resize(nOld + nChunk);
        if (!fnRead(bytes.data() + nOld, nChunk)) {
            return SR_FAILED;
        }
    }
    strOut = PayloadToUtf8(bytes, nCharSize);
    return SR_MESSAGE;
}

}  // namespace

bool DecodeSocketString(const SocketByteReader& fnRead, std::string& strOut) {
    uint64_t nLength = 0;
    return DecodeMessage(fnRead, strOut, SIZE_MAX, nLength) == SR_MESSAGE;
}

bool DecodeSocketString(std::string_view bytes, std::string& strOut, size_t* pnConsumed) {
    size_t nPos = 0;
    const SocketByteReader fnRead = [&](char* pBuffer, size_t nBytes) {
        if (bytes.size() - nPos < nBytes) {
            return false;
        }
        std::memcpy(pBuffer, bytes.data() + nPos, nBytes);
        nPos += nBytes;
        return true;
    };
    if (!DecodeSocketString(fnRead, strOut)) {
        return false;
    }
    if (pnConsumed != nullptr) {
        *pnConsumed = nPos;
    }
    return true;
}

std::vector<std::string> ResolveIPv4(const std::string& strHost) {
    std::vector<std::string> vecAddresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (strHost.empty() || ::getaddrinfo(strHost.c_str(), nullptr, &hints, &pList) != 0) {
        return vecAddresses;
    }
    for (const addrinfo* p = pList; p != nullptr; p = p->ai_next) {
        char szText[INET_ADDRSTRLEN] = {};
        const auto* pAddress = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
        if (::inet_ntop(AF_INET, &pAddress->sin_addr, szText, sizeof(szText)) &&
            std::find(vecAddresses.begin(), vecAddresses.end(), szText) == vecAddresses.end()) {
            vecAddresses.emplace_back(szText);
        }
    }
    ::freeaddrinfo(pList);
    return vecAddresses;
}

// ---- CBidirecSocket ---------------------------------------------------------------------

CBidirecSocket::CBidirecSocket() {
    InitSockets();
}

CBidirecSocket::~CBidirecSocket() {
    Close();
}

bool CBidirecSocket::InitSockets() {
    return true;
}

bool CBidirecSocket::Adopt(int nHandle) {
    std::lock_guard<std::mutex> lock(m_mutexHandle);
    if (m_nHandle.load() >= 0) {
        return false;
    }
    m_nHandle.store(nHandle);
    m_nBytesSent.store(0);
    m_bLinkLost.store(false);
    m_bInputAttached.store(false);
    m_bOutputAttached.store(false);
    return true;
}

void CBidirecSocket::CloseHandle() {
    std::lock_guard<std::mutex> lock(m_mutexHandle);
    const int nHandle = m_nHandle.exchange(-1);
    if (nHandle >= 0) {
        ::close(nHandle);
    }
    m_bInputAttached.store(false);
    m_bOutputAttached.store(false);
}

void CBidirecSocket::Close() {
    CloseHandle();
    m_bCancelled.store(false);
    m_bLinkLost.store(false);
    m_nSendTimeoutMs.store(0);
    m_nReceiveTimeoutMs.store(0);
    m_nMessageTimeoutMs.store(0);
    m_bMessageTimedOut.store(false);
    m_nDrainMs.store(0);
    m_nReceiveEnd.store(Deadline::max().time_since_epoch().count());
    {
        std::lock_guard<std::mutex> lock(m_mutexSend);
        m_strUnsent.clear();
    }
}

void CBidirecSocket::Cancel() {
    std::lock_guard<std::mutex> lock(m_mutexHandle);
    m_bCancelled.store(true);
    const int nHandle = m_nHandle.load();
    if (nHandle >= 0) {
        ::shutdown(nHandle, SHUT_RDWR);
    }
}

void CBidirecSocket::MarkLinkLost() {
    m_bLinkLost.store(true);
    std::lock_guard<std::mutex> lock(m_mutexHandle);
    const int nHandle = m_nHandle.load();
    if (nHandle >= 0) {
        ::shutdown(nHandle, SHUT_RDWR);
    }
}

bool CBidirecSocket::ConnectWithin(int nHandle, const void* pAddress, unsigned int nAddressLength,
                                   int nTimeoutMs, int& rnError) {
    const int nFlags = ::fcntl(nHandle, F_GETFL);
    if (nFlags < 0 || ::fcntl(nHandle, F_SETFL, nFlags | O_NONBLOCK) < 0) {
        rnError = errno;
        return false;
    }
    if (::connect(nHandle, static_cast<const sockaddr*>(pAddress), nAddressLength) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            rnError = errno;
            return false;
        }
        if (!WaitReady(nHandle, POLLOUT,
                       std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs))) {
            rnError = m_bCancelled.load() ? ECANCELED : ETIMEDOUT;
            return false;
        }
        int nError = 0;
        socklen_t nSize = sizeof(nError);
        if (::getsockopt(nHandle, SOL_SOCKET, SO_ERROR, &nError, &nSize) != 0 || nError != 0 ||
            m_bCancelled.load()) {
            rnError = m_bCancelled.load() ? ECANCELED : nError != 0 ? nError : errno;
            return false;
        }
    }
    if (::fcntl(nHandle, F_SETFL, nFlags) != 0) {
        rnError = errno;
        return false;
    }
    return true;
}

int CBidirecSocket::ConnectClient(const std::string& strHost, unsigned int nPort, int nTimeoutMs,
                                  int* pnError) {
    int nLastError = EINVAL;
    const auto Result = [&](int nResult) {
        if (pnError) {
            *pnError = nResult == 1 ? 0 : m_bCancelled.load() ? ECANCELED : nLastError;
        }
        return nResult;
    };
    if (nPort > 65535 || IsOpen()) {
        return Result(0);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (::getaddrinfo(strHost.c_str(), nullptr, &hints, &pList) != 0 || pList == nullptr) {
        nLastError = EHOSTUNREACH;
        return Result(0);  // unknown host: a failed connection
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    int nResult = 0;
    bool bNoSocket = false;
    for (addrinfo* p = pList; p != nullptr && nResult == 0 && !m_bCancelled.load();
         p = p->ai_next) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
        if (nLeft <= 0) {
            nLastError = ETIMEDOUT;
            break;
        }
        sockaddr_in address{};
        std::memcpy(&address, p->ai_addr, std::min<size_t>(sizeof(address), p->ai_addrlen));
        address.sin_port = htons(static_cast<uint16_t>(nPort));
        const int nHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (nHandle < 0) {
            bNoSocket = true;
            break;
        }
        if (!Adopt(nHandle)) {
            ::close(nHandle);
            break;
        }
        if (ConnectWithin(nHandle, &address, sizeof(address), static_cast<int>(nLeft),
                          nLastError)) {
            nResult = 1;
        } else {
            CloseHandle();
        }
    }
    ::freeaddrinfo(pList);
    if (bNoSocket) {
        CCustomException::ThrowError(kInvalidSocket);
    }
    return Result(nResult);
}

int CBidirecSocket::CreateServer(unsigned int nPort, const std::string& strAddress) {
    if (nPort > 65535 || IsOpen()) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!strAddress.empty() && ::inet_pton(AF_INET, strAddress.c_str(), &address.sin_addr) != 1) {
        return 0;
    }
    const int nHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nHandle < 0) {
        return 0;
    }
    // A server binds the same port run after run; connections of the last
    // run may still linger in TIME_WAIT.
    const int nOn = 1;
    ::setsockopt(nHandle, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (::bind(nHandle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        !Adopt(nHandle)) {
        ::close(nHandle);
        return 0;
    }
    return 1;
}

bool CBidirecSocket::Listen(int nBacklog) {
    const int nHandle = m_nHandle.load();
    return nHandle >= 0 && !m_bCancelled.load() && ::listen(nHandle, nBacklog) == 0;
}

bool CBidirecSocket::Accept(CBidirecSocket& rConnection, int* pnError) {
    int nError = 0;
    for (;;) {
        const int nHandle = m_nHandle.load();
        if (m_bCancelled.load() || nHandle < 0) {
            break;
        }
        const int nAccepted = ::accept4(nHandle, nullptr, nullptr, SOCK_CLOEXEC);
        if (nAccepted >= 0) {
            if (m_bCancelled.load() || !rConnection.Adopt(nAccepted)) {
                ::close(nAccepted);
                break;
            }
            return true;
        }
        // A connection that died in the backlog or a signal is no reason to
        // stop waiting; a cancel is (shutdown makes accept fail with EINVAL).
        if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
            nError = m_bCancelled.load() ? 0 : errno;
            break;
        }
    }
    if (pnError) {
        *pnError = nError;
    }
    return false;
}

std::string CBidirecSocket::GetPeerAddress() const {
    const int nHandle = m_nHandle.load();
    sockaddr_in address{};
    socklen_t nSize = sizeof(address);
    char szText[INET_ADDRSTRLEN] = {};
    if (nHandle < 0 || ::getpeername(nHandle, reinterpret_cast<sockaddr*>(&address), &nSize) != 0 ||
        address.sin_family != AF_INET ||
        !::inet_ntop(AF_INET, &address.sin_addr, szText, sizeof(szText))) {
        return {};
    }
    return szText;
}

unsigned int CBidirecSocket::GetBoundPort() const {
    const int nHandle = m_nHandle.load();
    if (nHandle < 0) {
        return 0;
    }
    sockaddr_in address{};
    socklen_t nSize = sizeof(address);
    if (::getsockname(nHandle, reinterpret_cast<sockaddr*>(&address), &nSize) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

void CBidirecSocket::AttachArchives() {
    {
        std::lock_guard<std::mutex> lock(m_mutexReceive);
        m_vecReadBuffer.assign(kReadBufferSize, '\0');
        m_nReadPos = 0;
        m_nReadEnd = 0;
    }
    m_bInputAttached.store(true);
    m_bOutputAttached.store(true);
}

bool CBidirecSocket::HasBufferedInput() {
    std::lock_guard<std::mutex> lock(m_mutexReceive);
    return m_nReadPos < m_nReadEnd;
}

void CBidirecSocket::CloseOutput() {
    // Waits for a send in progress, so that no message is cut.
    std::lock_guard<std::mutex> lock(m_mutexSend);
    m_bOutputAttached.store(false);
}

void CBidirecSocket::HalfClose(int nDrainMs) {
    m_nDrainFrom.store(std::chrono::steady_clock::now().time_since_epoch().count());
    m_nDrainMs.store(std::max(nDrainMs, 0));
    std::lock_guard<std::mutex> lock(m_mutexHandle);
    m_bOutputAttached.store(false);
    const int nHandle = m_nHandle.load();
    if (nHandle >= 0) {
        ::shutdown(nHandle, SHUT_WR);
    }
}

void CBidirecSocket::EndReceivingWithin(int nMilliseconds) {
    const Deadline tEnd =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(nMilliseconds, 0));
    m_nReceiveEnd.store(tEnd.time_since_epoch().count());
}

void CBidirecSocket::Abort() {
    {
        std::lock_guard<std::mutex> lock(m_mutexHandle);
        const int nHandle = m_nHandle.load();
        if (nHandle >= 0) {
            const linger reset{1, 0};
            ::setsockopt(nHandle, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
    }
    Close();
}

bool CBidirecSocket::SetSendTimeout(int nMilliseconds) {
    if (m_nHandle.load() < 0 || nMilliseconds < 0) {
        return false;
    }
    m_nSendTimeoutMs.store(nMilliseconds);
    return true;
}

bool CBidirecSocket::SetReceiveTimeout(int nMilliseconds) {
    if (m_nHandle.load() < 0 || nMilliseconds < 0) {
        return false;
    }
    m_nReceiveTimeoutMs.store(nMilliseconds);
    return true;
}

template <class FnDeadline>
bool CBidirecSocket::WaitReadyUntil(int nHandle, short nEvents, const FnDeadline& fnDeadline) {
    for (;;) {
        if (m_bCancelled.load()) {
            return false;
        }
        // No look once the deadline has passed: a peer that trickles must not
        // keep a timed exchange going for ever.
        // Rounded up: a wait that ends is past its deadline.
        const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(
                               fnDeadline() - std::chrono::steady_clock::now())
                               .count();
        if (nLeft <= 0) {
            return false;
        }
        // In slices: a Cancel wakes a connected socket's poll at once, but
        // not always one still connecting.
        pollfd pfd{nHandle, nEvents, 0};
        const int nReady =
            ::poll(&pfd, 1, static_cast<int>(std::min<long long>(nLeft, kPollSliceMs)));
        if (nReady > 0) {
            return true;  // ready, or an error the next call reports
        }
        if (nReady < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool CBidirecSocket::WaitReady(int nHandle, short nEvents, Deadline deadline) {
    return WaitReadyUntil(nHandle, nEvents, [deadline] { return deadline; });
}

CBidirecSocket::Deadline CBidirecSocket::ReceiveDeadline() const {
    Deadline deadline = m_nReceiveTimeoutMs.load() > 0 ? m_tReceiveDeadline : Deadline::max();
    deadline = std::min(deadline, Deadline(Deadline::duration(m_nReceiveEnd.load())));
    deadline = std::min(deadline, m_tMessageDeadline);
    const int nDrainMs = m_nDrainMs.load();
    if (nDrainMs > 0) {
        const Deadline tFrom =
            std::max(m_tReceiveStart, Deadline(Deadline::duration(m_nDrainFrom.load())));
        deadline = std::min(deadline, tFrom + std::chrono::milliseconds(nDrainMs));
    }
    return deadline;
}

bool CBidirecSocket::SendAll(const char* pData, size_t nBytes, size_t* pnSent) {
    const int nTimeoutMs = m_nSendTimeoutMs.load();
    const Deadline deadline =
        nTimeoutMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs)
                       : Deadline::max();
    bool bWaiting = false;
    bool bSent = true;
    while (nBytes > 0) {
        const int nHandle = m_nHandle.load();
        if (nHandle < 0 || m_bCancelled.load()) {
            bSent = false;
            break;
        }
        // MSG_NOSIGNAL: a closed peer must fail this call, not end the process.
        // The send never blocks: the wait below, which a cancel ends, does.
        const ssize_t nSent = ::send(nHandle, pData, nBytes, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (nSent >= 0) {
            m_nBytesSent.fetch_add(static_cast<uint64_t>(nSent));
            pData += nSent;
            nBytes -= static_cast<size_t>(nSent);
            if (pnSent) {
                *pnSent += static_cast<size_t>(nSent);
            }
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            bSent = false;
            break;
        }
        if (!bWaiting && m_fnSendWaitNotice) {
            bWaiting = true;
            m_fnSendWaitNotice(true);
        }
        if (!WaitReady(nHandle, POLLOUT, deadline)) {
            bSent = false;
            break;
        }
    }
    if (bWaiting) {
        m_fnSendWaitNotice(false);
    }
    return bSent;
}

void CBidirecSocket::enviaMsj(std::string strMessage) {
    if (!m_bOutputAttached.load()) {
        return;
    }
    const std::u16string wide = Utf8ToUtf16(strMessage);
    // The peer would refuse a message this long; nothing is sent, so the link
    // itself is still sound.
    if (wide.size() > kMaxSocketMessageBytes / 2) {
        CCustomException::ThrowError(kSendError);
    }
    const std::string bytes = EncodeWide(wide);
    std::unique_lock<std::mutex> lock(m_mutexSend);
    if (!m_bOutputAttached.load()) {
        return;
    }
    if (m_bLinkLost.load() || !SendAll(bytes.data(), bytes.size())) {
        lock.unlock();
        MarkLinkLost();
        CCustomException::ThrowError(kSendError);
    }
}

SocketSendResult CBidirecSocket::SendMessage(std::string_view strMessage) {
    if (!m_bOutputAttached.load()) {
        return SS_FAILED;
    }
    const std::u16string wide = Utf8ToUtf16(strMessage);
    if (wide.size() > kMaxSocketMessageBytes / 2) {
        return SS_FAILED;  // nothing sent: the link is still sound
    }
    const std::string bytes = EncodeWide(wide);
    std::unique_lock<std::mutex> lock(m_mutexSend);
    if (!m_bOutputAttached.load() || m_bLinkLost.load()) {
        return SS_FAILED;
    }
    size_t nSent = 0;
    if (SendAll(bytes.data(), bytes.size(), &nSent)) {
        return SS_SENT;
    }
    if (m_bCancelled.load()) {
        // Left as it is: what went out whole is still the peer's, and the
        // rest waits for FlushUnsent.
        m_strUnsent = bytes.substr(nSent);
        return SS_STOPPED;
    }
    lock.unlock();
    MarkLinkLost();
    return SS_FAILED;
}

long long CBidirecSocket::GetUnacknowledgedBytes() const {
    const int nHandle = m_nHandle.load();
    int nQueued = 0;
    if (nHandle < 0 || ::ioctl(nHandle, SIOCOUTQ, &nQueued) != 0) {
        return -1;
    }
    return nQueued;
}

bool CBidirecSocket::SendBytes(const char* pData, size_t nBytes) {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    return SendAll(pData, nBytes);
}

long CBidirecSocket::ReceiveBytes(char* pBuffer, size_t nCapacity,
                                  std::chrono::steady_clock::time_point tDeadline) {
    std::lock_guard<std::mutex> lock(m_mutexReceive);
    for (;;) {
        const int nHandle = m_nHandle.load();
        if (nHandle < 0 || !WaitReady(nHandle, POLLIN, tDeadline)) {
            return -1;  // failed, cancelled, or nothing arrived in time
        }
        const ssize_t nGot = ::recv(nHandle, pBuffer, nCapacity, 0);
        if (nGot < 0 && errno == EINTR) {
            continue;
        }
        return nGot < 0 ? -1 : static_cast<long>(nGot);
    }
}

bool CBidirecSocket::ReceiveSome(char* pBuffer, size_t nCapacity, size_t& rnReceived,
                                 bool* pbClosed) {
    for (;;) {
        const int nHandle = m_nHandle.load();
        if (nHandle < 0 || m_bCancelled.load()) {
            return false;
        }
        // Waits in looks that see a cancel, and a half-close that brings the
        // end of the wait forward, from another thread.
        if (!WaitReadyUntil(nHandle, POLLIN, [this] { return ReceiveDeadline(); })) {
            if (!m_bCancelled.load() && std::chrono::steady_clock::now() >= m_tMessageDeadline) {
                m_bMessageTimedOut.store(true);
            }
            // A link half-closed here whose peer has gone quiet between two
            // messages ends in order.
            if (pbClosed) {
                const auto tNow = std::chrono::steady_clock::now();
                *pbClosed = !m_bCancelled.load() &&
                            ((m_nDrainMs.load() > 0 && tNow >= ReceiveDeadline()) ||
                             tNow.time_since_epoch().count() >= m_nReceiveEnd.load());
            }
            return false;
        }
        const ssize_t nGot = ::recv(nHandle, pBuffer, nCapacity, MSG_DONTWAIT);
        if (nGot > 0) {
            rnReceived = static_cast<size_t>(nGot);
            return true;
        }
        if (nGot < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        // The end of the stream: the peer closed, unless it was our own
        // shutdown (Cancel, or a link marked lost).
        if (pbClosed) {
            *pbClosed = nGot == 0 && !m_bCancelled.load() && !m_bLinkLost.load();
        }
        return false;
    }
}

bool CBidirecSocket::ReadBytes(char* pBuffer, size_t nBytes) {
    while (nBytes > 0) {
        if (m_nReadPos < m_nReadEnd) {
            const size_t nTake = std::min(nBytes, m_nReadEnd - m_nReadPos);
            std::memcpy(pBuffer, m_vecReadBuffer.data() + m_nReadPos, nTake);
            m_nReadPos += nTake;
            pBuffer += nTake;
            nBytes -= nTake;
            continue;
        }
        size_t nGot = 0;
        if (nBytes >= m_vecReadBuffer.size()) {
            // Large payloads go straight to their destination.
            if (!ReceiveSome(pBuffer, nBytes, nGot, &m_bEndedInside)) {
                return false;
            }
            pBuffer += nGot;
            nBytes -= nGot;
            continue;
        }
        if (!ReceiveSome(m_vecReadBuffer.data(), m_vecReadBuffer.size(), nGot, &m_bEndedInside)) {
            return false;
        }
        m_nReadPos = 0;
        m_nReadEnd = nGot;
    }
    return true;
}

SocketReceiveResult CBidirecSocket::ReceiveMessage(std::string& strMessage, size_t nMaxLength,
                                                   size_t* pnLength,
                                                   const SocketAdmission& fnAdmit) {
    if (!m_bInputAttached.load()) {
        return SR_FAILED;
    }
    std::unique_lock<std::mutex> lock(m_mutexReceive);
    m_tReceiveStart = std::chrono::steady_clock::now();
    m_tReceiveDeadline = m_tReceiveStart + std::chrono::milliseconds(m_nReceiveTimeoutMs.load());
    SocketReceiveResult eResult = SR_FAILED;
    if (!m_bLinkLost.load()) {
        // The first byte alone tells an orderly close between two messages
        // from a link that breaks inside one.
        bool bClosed = false;
        size_t nGot = 0;
        if (m_nReadPos < m_nReadEnd ||
            ReceiveSome(m_vecReadBuffer.data(), m_vecReadBuffer.size(), nGot, &bClosed)) {
            if (m_nReadPos == m_nReadEnd) {
                m_nReadPos = 0;
                m_nReadEnd = nGot;
            }
            uint64_t nLength = 0;
            std::string strText;
            m_bEndedInside = false;
            // The message has begun: its time limit runs, save while the
            // admission waits.
            const int nMessageMs = m_nMessageTimeoutMs.load();
            if (nMessageMs > 0) {
                m_tMessageDeadline =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(nMessageMs);
            }
            SocketAdmission fnTimedAdmit;
            if (fnAdmit) {
                fnTimedAdmit = [&](uint64_t nClaimed, size_t nPiece) {
                    const auto tBefore = std::chrono::steady_clock::now();
                    const bool bKeep = fnAdmit(nClaimed, nPiece);
                    if (m_tMessageDeadline != Deadline::max()) {
                        m_tMessageDeadline += std::chrono::steady_clock::now() - tBefore;
                    }
                    return bKeep;
                };
            }
            eResult = DecodeMessage(
                [this](char* pBuffer, size_t nBytes) { return ReadBytes(pBuffer, nBytes); },
                strText, nMaxLength, nLength, fnTimedAdmit);
            m_tMessageDeadline = Deadline::max();
            if (pnLength) {
                *pnLength = static_cast<size_t>(std::min<uint64_t>(nLength, SIZE_MAX));
            }
            if (eResult == SR_MESSAGE) {
                strMessage = std::move(strText);
            } else if (eResult == SR_FAILED && m_bEndedInside) {
                eResult = SR_CUT;
            }
        } else if (bClosed) {
            eResult = SR_CLOSED;
        }
    }
    if (eResult == SR_FAILED || eResult == SR_CLOSED || eResult == SR_CUT) {
        // A peer that ended its sending in order, or a receive that ran out
        // of time, leaves sending alone: the owner may still have something
        // to say before it closes.
        const bool bOrderly =
            eResult != SR_FAILED ||
            (!m_bCancelled.load() && std::chrono::steady_clock::now() >= ReceiveDeadline());
        lock.unlock();
        if (bOrderly) {
            m_bLinkLost.store(true);
        } else {
            MarkLinkLost();
        }
    }
    return eResult;
}

void CBidirecSocket::recibeMsj(std::string& strMessage) {
    if (!m_bInputAttached.load()) {
        return;
    }
    if (ReceiveMessage(strMessage, SIZE_MAX) != SR_MESSAGE) {
        CCustomException::ThrowError(kReceiveError);
    }
}

SocketPeerState CBidirecSocket::CheckPeer(const std::function<void(std::string&)>& fnMessage,
                                          size_t nMaxBytes, bool* pbMore) {
    std::lock_guard<std::mutex> lock(m_mutexReceive);
    if (pbMore) {
        *pbMore = false;
    }
    const int nHandle = m_nHandle.load();
    if (nHandle < 0) {
        return SP_CLOSED;
    }
    if (m_vecReadBuffer.empty()) {
        m_vecReadBuffer.assign(kReadBufferSize, '\0');
        m_nReadPos = 0;
        m_nReadEnd = 0;
    }
    // Bounded: a peer that floods its link costs each call a fixed time.
    size_t nTaken = 0;
    for (;;) {
        std::string strMessage;
        size_t nUsed = 0;
        while (m_nReadPos < m_nReadEnd &&
               DecodeSocketString(
                   std::string_view(m_vecReadBuffer.data() + m_nReadPos, m_nReadEnd - m_nReadPos),
                   strMessage, &nUsed)) {
            m_nReadPos += nUsed;
            if (fnMessage) {
                fnMessage(strMessage);
            }
        }
        // What is left is a message begun; one that does not fit the buffer
        // is none this link carries, and is dropped.
        if (m_nReadEnd - m_nReadPos == m_vecReadBuffer.size()) {
            m_nReadPos = m_nReadEnd = 0;
        }
        std::memmove(m_vecReadBuffer.data(), m_vecReadBuffer.data() + m_nReadPos,
                     m_nReadEnd - m_nReadPos);
        m_nReadEnd -= m_nReadPos;
        m_nReadPos = 0;
        if (nTaken >= nMaxBytes) {
            if (pbMore) {
                *pbMore = true;
            }
            return SP_OPEN;
        }
        const ssize_t nGot =
            ::recv(nHandle, m_vecReadBuffer.data() + m_nReadEnd,
                   std::min(m_vecReadBuffer.size() - m_nReadEnd, nMaxBytes - nTaken), MSG_DONTWAIT);
        if (nGot > 0) {
            m_nReadEnd += static_cast<size_t>(nGot);
            nTaken += static_cast<size_t>(nGot);
            continue;
        }
        if (nGot == 0) {
            return SP_CLOSED;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? SP_OPEN : SP_RESET;
    }
}

bool CBidirecSocket::TrySendMessage(const std::string& strMessage) {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    const int nHandle = m_nHandle.load();
    if (!m_bOutputAttached.load() || nHandle < 0) {
        return false;
    }
    const auto Send = [this, nHandle](const std::string& strBytes) -> size_t {
        const ssize_t nSent =
            ::send(nHandle, strBytes.data(), strBytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (nSent > 0) {
            m_nBytesSent.fetch_add(static_cast<uint64_t>(nSent));
        } else if (nSent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // The error is the link's: a later look would find it gone.
            m_bLinkLost.store(true);
        }
        return nSent > 0 ? static_cast<size_t>(nSent) : 0;
    };
    if (!m_strUnsent.empty()) {
        m_strUnsent.erase(0, Send(m_strUnsent));
        if (!m_strUnsent.empty()) {
            return false;
        }
    }
    const std::string strBytes = EncodeSocketString(strMessage);
    const size_t nSent = Send(strBytes);
    if (nSent == 0) {
        return false;
    }
    m_strUnsent = strBytes.substr(nSent);
    return true;
}

bool CBidirecSocket::FlushUnsent() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    const int nHandle = m_nHandle.load();
    if (!m_strUnsent.empty() && nHandle >= 0) {
        const ssize_t nSent =
            ::send(nHandle, m_strUnsent.data(), m_strUnsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (nSent > 0) {
            m_nBytesSent.fetch_add(static_cast<uint64_t>(nSent));
            m_strUnsent.erase(0, static_cast<size_t>(nSent));
        } else if (nSent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_bLinkLost.store(true);
        }
    }
    return m_strUnsent.empty() && !m_bLinkLost.load();
}

size_t CBidirecSocket::GetUnsentBytes() {
    std::lock_guard<std::mutex> lock(m_mutexSend);
    return m_strUnsent.size();
}

bool CBidirecSocket::DelayAcknowledgements() {
    // Not lasting: the system goes back to acknowledging at once when no
    // data came for a while, so it is asked again as data comes.
    const int nHandle = m_nHandle.load();
    const int nOff = 0;
    return nHandle >= 0 &&
           ::setsockopt(nHandle, IPPROTO_TCP, TCP_QUICKACK, &nOff, sizeof(nOff)) == 0;
}

bool CBidirecSocket::SetNoDelay() {
    const int nHandle = m_nHandle.load();
    const int nOn = 1;
    return nHandle >= 0 && ::setsockopt(nHandle, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn)) == 0;
}

SocketIoResult CBidirecSocket::ReceiveAvailable(char* pBuffer, size_t nCapacity, size_t& rnGot) {
    rnGot = 0;
    const int nHandle = m_nHandle.load();
    if (nHandle < 0) {
        return IO_RESET;
    }
    if (nCapacity == 0) {
        return IO_NONE;
    }
    for (;;) {
        const ssize_t nGot = ::recv(nHandle, pBuffer, nCapacity, MSG_DONTWAIT);
        if (nGot > 0) {
            rnGot = static_cast<size_t>(nGot);
            return IO_DONE;
        }
        if (nGot == 0) {
            return IO_CLOSED;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return IO_NONE;
        }
        m_bLinkLost.store(true);
        return IO_RESET;
    }
}

bool CBidirecSocket::AcceptWaiting(CBidirecSocket& rConnection, int* pnError) {
    const int nHandle = m_nHandle.load();
    int nError = EBADF;
    if (nHandle >= 0) {
        // A connection that the peer resets between the look and the take
        // must not make the take wait.
        const int nFlags = ::fcntl(nHandle, F_GETFL);
        if (nFlags >= 0 && (nFlags & O_NONBLOCK) == 0) {
            ::fcntl(nHandle, F_SETFL, nFlags | O_NONBLOCK);
        }
        for (;;) {
            const int nAccepted = ::accept4(nHandle, nullptr, nullptr, SOCK_CLOEXEC);
            if (nAccepted >= 0) {
                if (!rConnection.Adopt(nAccepted)) {
                    ::close(nAccepted);
                    nError = EISCONN;
                    break;
                }
                return true;
            }
            nError = errno == EWOULDBLOCK ? EAGAIN : errno;
            if (nError != EINTR) {
                break;
            }
        }
    }
    if (pnError) {
        *pnError = nError;
    }
    return false;
}

// ---- Polling many sockets -------------------------------------------------------------------

CSocketWake::CSocketWake() : m_nHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CSocketWake::~CSocketWake() {
    if (m_nHandle >= 0) {
        ::close(m_nHandle);
    }
}

void CSocketWake::Wake() {
    const uint64_t nOne = 1;
    // A full counter already wakes: nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t nWritten = ::write(m_nHandle, &nOne, sizeof(nOne));
}

void CSocketWake::Take() {
    uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t nRead = ::read(m_nHandle, &nCount, sizeof(nCount));
}

size_t CSocketPoller::Add(const CBidirecSocket& rSocket, bool bRead, bool bWrite) {
    const short nEvents = static_cast<short>((bRead ? POLLIN : 0) | (bWrite ? POLLOUT : 0));
    m_vecItems.push_back({nEvents != 0 ? rSocket.m_nHandle.load() : -1, nEvents, 0});
    return m_vecItems.size() - 1;
}

void CSocketPoller::Wait(int nTimeoutMs, CSocketWake& rWake) {
    std::vector<pollfd> vecPoll(m_vecItems.size() + 1);
    for (size_t i = 0; i < m_vecItems.size(); ++i) {
        vecPoll[i] = {m_vecItems[i].nHandle, m_vecItems[i].nEvents, 0};
    }
    vecPoll.back() = {rWake.m_nHandle, POLLIN, 0};
    int nReady = -1;
    do {
        nReady = ::poll(vecPoll.data(), vecPoll.size(), nTimeoutMs);
    } while (nReady < 0 && errno == EINTR);
    for (size_t i = 0; i < m_vecItems.size(); ++i) {
        m_vecItems[i].nReady = nReady > 0 ? vecPoll[i].revents : 0;
    }
    if (nReady > 0 && (vecPoll.back().revents & POLLIN) != 0) {
        rWake.Take();
    }
}

bool CSocketPoller::IsReadable(size_t nPlace) const {
    return (m_vecItems[nPlace].nReady & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool CSocketPoller::IsWritable(size_t nPlace) const {
    return (m_vecItems[nPlace].nReady & (POLLOUT | POLLHUP | POLLERR)) != 0;
}

// ---- A stream read without waiting -------------------------------------------------------------

namespace {

// The read-ahead buffer of a stream: small for a link that sends little,
// grown while reads fill it.
constexpr size_t kStreamBufferFirst = 4 * 1024;
constexpr size_t kStreamBufferMost = 64 * 1024;

}  // namespace

CSocketStreamReader::CSocketStreamReader(size_t nMaxLength) : m_nMaxLength(nMaxLength) {}

bool CSocketStreamReader::CanRead() const {
    return m_vecBuffer.empty() || m_nEnd < m_vecBuffer.size() || m_nStart > 0;
}

size_t CSocketStreamReader::MakeSpace() {
    if (m_vecBuffer.empty()) {
        m_vecBuffer.resize(kStreamBufferFirst);
    }
    if (m_nStart > 0) {
        std::memmove(m_vecBuffer.data(), m_vecBuffer.data() + m_nStart, m_nEnd - m_nStart);
        m_nEnd -= m_nStart;
        m_nStart = 0;
    }
    return m_vecBuffer.size() - m_nEnd;
}

void CSocketStreamReader::Filled(size_t nBytes) {
    m_nEnd += nBytes;
    if (m_nEnd == m_vecBuffer.size() && m_vecBuffer.size() < kStreamBufferMost) {
        m_vecBuffer.resize(2 * m_vecBuffer.size());
    }
}

SocketIoResult CSocketStreamReader::ReadFrom(CBidirecSocket& rSocket, size_t* pnGot, bool* pbAll) {
    const size_t nSpace = MakeSpace();
    if (pbAll) {
        *pbAll = false;
    }
    if (pnGot) {
        *pnGot = 0;
    }
    if (nSpace == 0) {
        return IO_NONE;  // Next must take first
    }
    size_t nGot = 0;
    const SocketIoResult eResult =
        rSocket.ReceiveAvailable(m_vecBuffer.data() + m_nEnd, nSpace, nGot);
    if (eResult == IO_DONE) {
        Filled(nGot);
        if (pbAll) {
            *pbAll = nGot < nSpace;
        }
        if (pnGot) {
            *pnGot = nGot;
        }
    }
    return eResult;
}

size_t CSocketStreamReader::Take(std::string_view bytes) {
    const size_t nTaken = std::min(MakeSpace(), bytes.size());
    std::memcpy(m_vecBuffer.data() + m_nEnd, bytes.data(), nTaken);
    Filled(nTaken);
    return nTaken;
}

size_t CSocketStreamReader::PieceBytes() const {
    return std::min(m_nTotal - m_nKept, kPayloadChunk);
}

void CSocketStreamReader::Admit(bool bKeep) {
    m_bAsked = false;
    if (bKeep) {
        m_nAdmitted = std::min(m_nTotal, m_nKept + kPayloadChunk);
        return;
    }
    m_ePhase = PH_SKIP;
    m_nSkipLeft = m_nTotal - m_nKept;
    m_eSkipResult = RS_SKIPPED;
    m_strPayload = std::string();
}

CSocketStreamReader::Step CSocketStreamReader::Next(std::string& strMessage) {
    for (;;) {
        const size_t nHeld = m_nEnd - m_nStart;
        switch (m_ePhase) {
            case PH_HEADER: {
                size_t nPos = m_nStart;
                const SocketByteReader fnRead = [&](char* pOut, size_t nBytes) {
                    if (m_nEnd - nPos < nBytes) {
                        return false;
                    }
                    std::memcpy(pOut, m_vecBuffer.data() + nPos, nBytes);
                    nPos += nBytes;
                    return true;
                };
                if (nHeld == 0 || !ReadHeader(fnRead, m_nLength, m_nCharSize)) {
                    return RS_NEED_MORE;
                }
                if (m_nLength > kMaxSocketMessageBytes / m_nCharSize) {
                    return RS_INVALID;  // and again: the header stays
                }
                m_nStart = nPos;
                m_nTotal = static_cast<size_t>(m_nLength) * m_nCharSize;
                if (m_nLength > m_nMaxLength) {
                    m_ePhase = PH_SKIP;
                    m_nSkipLeft = m_nTotal;
                    m_eSkipResult = RS_TOO_LONG;
                } else {
                    m_ePhase = PH_PAYLOAD;
                    m_nKept = 0;
                    m_nAdmitted = 0;
                    m_bAsked = false;
                    m_strPayload.clear();
                }
                break;
            }
            case PH_PAYLOAD: {
                if (m_nKept == m_nTotal) {
                    if (m_nCharSize == 1) {
                        strMessage = Cp1252ToUtf8(m_strPayload);
                    } else {
                        m_strUnits.resize(m_strPayload.size() / 2);
                        const auto* pBytes =
                            reinterpret_cast<const unsigned char*>(m_strPayload.data());
                        for (size_t i = 0; i < m_strUnits.size(); ++i) {
                            m_strUnits[i] =
                                static_cast<char16_t>(pBytes[2 * i] | (pBytes[2 * i + 1] << 8));
                        }
                        strMessage = Utf16ToUtf8(m_strUnits);
                    }
                    m_strPayload.clear();
                    m_ePhase = PH_HEADER;
                    return RS_MESSAGE;
                }
                if (m_nKept == m_nAdmitted) {
                    // Room is asked for bytes that have come, not for a claim.
                    if (nHeld == 0 && !m_bAsked) {
                        return RS_NEED_MORE;
                    }
                    m_bAsked = true;
                    return RS_ROOM;
                }
                const size_t nTake = std::min(nHeld, m_nAdmitted - m_nKept);
                if (nTake == 0) {
                    return RS_NEED_MORE;
                }
                m_strPayload.append(m_vecBuffer.data() + m_nStart, nTake);
                m_nStart += nTake;
                m_nKept += nTake;
                break;
            }
            case PH_SKIP: {
                if (m_nSkipLeft == 0) {
                    m_ePhase = PH_HEADER;
                    return m_eSkipResult;
                }
                const size_t nTake = std::min(nHeld, m_nSkipLeft);
                if (nTake == 0) {
                    return RS_NEED_MORE;
                }
                m_nStart += nTake;
                m_nSkipLeft -= nTake;
                break;
            }
        }
    }
}
