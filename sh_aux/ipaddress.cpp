#include "sh_aux/ipaddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

// The lookup runs on the window's thread: no step may hold it for long.
constexpr int kTimeoutMs = 5000;
constexpr size_t kMaxBody = 1024;
constexpr size_t kMaxHeader = 16 * 1024;
const char* const kDigits = "1234567890";

struct Proxy {
    std::string strHost;
    unsigned int nPort = 80;
    std::string strUser;
    std::string strPassword;
};

struct Service {
    std::string strHost = "checkip.amazonaws.com";
    unsigned int nPort = 80;
    std::optional<Proxy> proxy;
};

std::mutex g_mutexService;
Service g_service;
bool g_bProxySet = false;

std::string PercentDecode(const std::string& strText) {
    std::string out;
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] == '%' && i + 2 < strText.size() &&
            std::isxdigit(static_cast<unsigned char>(strText[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(strText[i + 2]))) {
            out += static_cast<char>(std::strtol(strText.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += strText[i];
        }
    }
    return out;
}

// "[scheme://][user[:password]@]host[:port][/...]"; none without a host.
std::optional<Proxy> ParseProxy(std::string strUrl) {
    const size_t nScheme = strUrl.find("://");
    if (nScheme != std::string::npos) {
        strUrl.erase(0, nScheme + 3);
    }
    strUrl = strUrl.substr(0, strUrl.find('/'));
    Proxy proxy;
    const size_t nAt = strUrl.rfind('@');
    if (nAt != std::string::npos) {
        std::string strUserInfo = strUrl.substr(0, nAt);
        strUrl.erase(0, nAt + 1);
        const size_t nColon = strUserInfo.find(':');
        proxy.strUser = PercentDecode(strUserInfo.substr(0, nColon));
        if (nColon != std::string::npos) {
            proxy.strPassword = PercentDecode(strUserInfo.substr(nColon + 1));
        }
    }
    const size_t nColon = strUrl.rfind(':');
    if (nColon != std::string::npos) {
        const int nPort = StringToInt(strUrl.substr(nColon + 1));
        if (nPort <= 0 || nPort > 65535) {
            return std::nullopt;
        }
        proxy.nPort = static_cast<unsigned int>(nPort);
        strUrl.erase(nColon);
    }
    if (strUrl.empty()) {
        return std::nullopt;
    }
    proxy.strHost = strUrl;
    return proxy;
}

Service CurrentService() {
    std::lock_guard<std::mutex> lock(g_mutexService);
    Service service = g_service;
    if (!g_bProxySet) {
        const char* pszProxy = std::getenv("http_proxy");
        service.proxy = pszProxy ? ParseProxy(pszProxy) : std::nullopt;
    }
    return service;
}

std::string DottedText(uint32_t nAddress) {
    in_addr address{};
    address.s_addr = nAddress;
    char szText[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, szText, sizeof(szText)) ? szText : "";
}

// Where the header ends and the body begins; npos while it has not ended.
size_t BodyStart(const std::string& strData) {
    const size_t nCrLf = strData.find("\r\n\r\n");
    const size_t nLf = strData.find("\n\n");
    if (nCrLf != std::string::npos && (nLf == std::string::npos || nCrLf < nLf)) {
        return nCrLf + 4;
    }
    return nLf == std::string::npos ? nLf : nLf + 2;
}

// The status of "HTTP/x.y NNN ..."; 0 for anything else.
unsigned int StatusCode(const std::string& strData) {
    const size_t nBlank = strData.find(' ');
    if (strData.compare(0, 5, "HTTP/") != 0 || nBlank == std::string::npos ||
        strData.size() < nBlank + 4) {
        return 0;
    }
    const std::string strCode = strData.substr(nBlank + 1, 3);
    if (strCode.find_first_not_of(kDigits) != std::string::npos) {
        return 0;
    }
    return static_cast<unsigned int>(StringToInt(strCode));
}

// The response: at most the header and kMaxBody bytes of the body, read
// within kTimeoutMs. Empty when no complete header arrived.
std::string ReadResponse(CBidirecSocket& rSocket, size_t& rnBody) {
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    std::string strData;
    rnBody = std::string::npos;
    char buffer[2048];
    for (;;) {
        const long nGot = rSocket.ReceiveBytes(buffer, sizeof(buffer), tDeadline);
        if (nGot <= 0) {
            break;  // the end of the answer, a failure or the time-out
        }
        strData.append(buffer, static_cast<size_t>(nGot));
        if (rnBody == std::string::npos) {
            rnBody = BodyStart(strData);
            if (rnBody == std::string::npos && strData.size() > kMaxHeader) {
                break;
            }
        }
        if (rnBody != std::string::npos && strData.size() - rnBody >= kMaxBody) {
            break;
        }
    }
    return rnBody == std::string::npos ? std::string() : strData;
}

// One request to the service; appends the addresses of a 2xx answer to
// strResult and returns the status (0 when the request failed).
unsigned int QueryWith(const Service& service, const std::string& strHeaders,
                       std::string& strResult) {
    const std::string strHost = service.nPort == 80
                                    ? service.strHost
                                    : service.strHost + ":" + std::to_string(service.nPort);
    const std::string strRequest =
        "GET " + (service.proxy ? "http://" + strHost + "/" : std::string("/")) +
        " HTTP/1.0\r\nHost: " + strHost + "\r\nUser-Agent: GetIPNr\r\n" + strHeaders + "\r\n";
    CBidirecSocket socket;
    try {
        if (socket.ConnectClient(service.proxy ? service.proxy->strHost : service.strHost,
                                 service.proxy ? service.proxy->nPort : service.nPort,
                                 kTimeoutMs) != 1 ||
            !socket.SendBytes(strRequest.data(), strRequest.size())) {
            return 0;
        }
    } catch (const CCustomException&) {
        return 0;  // no socket to be had
    }
    size_t nBody = 0;
    const std::string strData = ReadResponse(socket, nBody);
    const unsigned int nStatus = StatusCode(strData);
    if (nStatus < 200 || nStatus > 299) {
        return nStatus;
    }
    const std::string strBody = strData.substr(nBody, kMaxBody);
    size_t nPos = 0;
    while ((nPos = strBody.find_first_of(kDigits, nPos)) != std::string::npos) {
        const uint32_t nAddress = ScanDottedQuad(strBody, nPos);
        if (nAddress != 0) {
            strResult += "|" + DottedText(nAddress);
        }
    }
    return nStatus;
}

// One request; on a proxy's 407, once more with its credentials.
std::string ExternalIP(std::string strResult) {
    const Service service = CurrentService();
    if (QueryWith(service, std::string(), strResult) == 407) {
        const std::string strHeaders =
            service.proxy && !service.proxy->strUser.empty()
                ? BuildProxyAuthorization(service.proxy->strUser, service.proxy->strPassword)
                : std::string();
        QueryWith(service, strHeaders, strResult);
    }
    return strResult;
}

}  // namespace

std::string GetLocalIPList() {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) {
        return {};
    }
    std::vector<uint32_t> vecAddresses;  // host byte order, for sorting
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET) {
            const uint32_t nAddress =
                ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
            if (nAddress != 0) {
                vecAddresses.push_back(nAddress);
            }
        }
    }
    ::freeifaddrs(pList);
    std::sort(vecAddresses.begin(), vecAddresses.end());
    std::string strList;
    for (const uint32_t nAddress : vecAddresses) {
        strList += "|" + DottedText(htonl(nAddress));
    }
    return strList;
}

std::string GetExternalIP() {
    return ExternalIP(std::string());
}

std::string GetLocalAndExternalIP() {
    return ExternalIP(GetLocalIPList());
}

void SetExternalIPService(const std::string& strHost, unsigned int nPort) {
    std::lock_guard<std::mutex> lock(g_mutexService);
    g_service.strHost = strHost;
    g_service.nPort = nPort;
}

void SetExternalIPProxy(const std::string& strProxyUrl) {
    std::lock_guard<std::mutex> lock(g_mutexService);
    g_bProxySet = true;
    g_service.proxy = strProxyUrl.empty() ? std::nullopt : ParseProxy(strProxyUrl);
}

unsigned int QueryExternalIP(const std::string& strHeaders, std::string& strResult) {
    return QueryWith(CurrentService(), strHeaders, strResult);
}

uint32_t ScanDottedQuad(std::string_view strText, size_t& rnPos) {
    const auto IsDigit = [&](size_t i) {
        return i < strText.size() && strText[i] >= '0' && strText[i] <= '9';
    };
    size_t nRun = rnPos;
    while (IsDigit(nRun) || (nRun < strText.size() && strText[nRun] == '.')) {
        ++nRun;
    }
    if (nRun - rnPos < 7) {
        rnPos = nRun;
        return 0;
    }
    uint32_t nAddress = 0;
    for (int nGroup = 0; nGroup < 4; ++nGroup) {
        const size_t nStart = rnPos;
        unsigned int nValue = 0;
        while (IsDigit(rnPos)) {
            nValue = std::min(nValue * 10 + static_cast<unsigned int>(strText[rnPos] - '0'), 1000u);
            ++rnPos;
        }
        if (rnPos == nStart || rnPos - nStart > 3 || nValue > 255) {
            return 0;
        }
        nAddress = (nAddress << 8) | nValue;
        // Groups are joined by single dots; after the fourth, a dot would
        // start a fifth group.
        const bool bDot = rnPos < strText.size() && strText[rnPos] == '.';
        if ((nGroup < 3 && !bDot) || (nGroup == 3 && bDot)) {
            rnPos += bDot ? 1 : 0;
            return 0;
        }
        if (rnPos < strText.size()) {
            ++rnPos;
        }
    }
    return htonl(nAddress);
}

std::string BuildProxyAuthorization(const std::string& strUser, const std::string& strPassword) {
    return "Proxy-Authorization: Basic " + Base64Encode(strUser + ":" + strPassword) + "\r\n";
}

std::string Base64Encode(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strOut;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t nBits = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            nBits |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            nBits |= static_cast<unsigned char>(bytes[i + 2]);
        }
        strOut += kAlphabet[(nBits >> 18) & 0x3F];
        strOut += kAlphabet[(nBits >> 12) & 0x3F];
        strOut += i + 1 < bytes.size() ? kAlphabet[(nBits >> 6) & 0x3F] : '=';
        strOut += i + 2 < bytes.size() ? kAlphabet[nBits & 0x3F] : '=';
    }
    return strOut;
}
