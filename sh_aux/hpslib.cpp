#include "sh_aux/hpslib.h"

#include <locale.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// A "C" locale for number conversions, and a UTF-8 one for case mapping of
// non-ASCII letters; both independent of the process locale.
locale_t CLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

locale_t Utf8CtypeLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return loc;
}

// Writes cp's UTF-8 bytes at pOut; returns where they end.
unsigned char* WriteUtf8(unsigned char* pOut, char32_t cp) {
    if (cp < 0x80) {
        *pOut++ = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
        *pOut++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
        *pOut++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *pOut++ = static_cast<unsigned char>(0xE0 | (cp >> 12));
        *pOut++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        *pOut++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else {
        *pOut++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
        *pOut++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        *pOut++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        *pOut++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
    return pOut;
}

void AppendUtf8(std::string& out, char32_t cp) {
    unsigned char bytes[4];
    out.append(reinterpret_cast<const char*>(bytes),
               static_cast<size_t>(WriteUtf8(bytes, cp) - bytes));
}

DynBlockHeader* HeaderOf(const void* pData) {
    auto* pb = reinterpret_cast<DynBlockHeader*>(static_cast<char*>(const_cast<void*>(pData)) -
                                                 sizeof(DynBlockHeader));
    assert(pb->signature == DB_SIG && "pb->signature == DB_SIG");
    return pb;
}

}  // namespace

// ---- Tokenisers -------------------------------------------------------------

std::string NextTokenChar(std::string_view strText, size_t& nPos, char chSep) {
    const size_t nFound = strText.find(chSep, nPos);
    if (nFound == std::string_view::npos) {
        return {};
    }
    std::string strToken(strText.substr(nPos, nFound - nPos));
    nPos = nFound + 1;
    return strToken;
}

std::string NextToken(std::string_view strText, size_t& nPos, std::string_view strSep) {
    const size_t nFound = strSep.empty() ? std::string_view::npos : strText.find(strSep, nPos);
    if (nFound == std::string_view::npos) {
        return {};
    }
    std::string strToken(TrimView(strText.substr(nPos, nFound - nPos)));
    nPos = nFound + 1;  // one character, however long the separator
    return strToken;
}

std::string NextTokenOrRest(std::string_view strText, size_t& nPos, std::string_view strSep) {
    const size_t nFound = strSep.empty() ? std::string_view::npos : strText.find(strSep, nPos);
    if (nFound == std::string_view::npos) {
        std::string strToken(nPos < strText.size() ? strText.substr(nPos) : std::string_view());
        nPos = strText.size();
        return strToken;
    }
    std::string strToken(TrimView(strText.substr(nPos, nFound - nPos)));
    nPos = nFound + 1;
    return strToken;
}

std::string NextTokenChar(std::string& strText, char chSep) {
    size_t nPos = 0;
    std::string strToken = NextTokenChar(std::string_view(strText), nPos, chSep);
    strText.erase(0, nPos);
    return strToken;
}

std::string NextToken(std::string& strText, const std::string& strSep) {
    size_t nPos = 0;
    std::string strToken = NextToken(std::string_view(strText), nPos, strSep);
    strText.erase(0, nPos);
    return strToken;
}

std::string NextTokenOrRest(std::string& strText, const std::string& strSep) {
    size_t nPos = 0;
    std::string strToken = NextTokenOrRest(std::string_view(strText), nPos, strSep);
    strText.erase(0, nPos);
    return strToken;
}

std::string LastTokenChar(std::string& strText, char chSep) {
    const size_t nPos = strText.rfind(chSep);
    if (nPos == std::string::npos) {
        return {};
    }
    std::string strToken = Trim(strText.substr(nPos + 1));
    strText.erase(nPos);
    return strToken;
}

// ---- Conversions --------------------------------------------------------------

std::string IntToString(int nValue) {
    return std::to_string(nValue);
}

std::string DoubleToString(double dValue) {
    return Format("%f", dValue);
}

std::string FloatToString(float fValue) {
    return DoubleToString(static_cast<double>(fValue));
}

int StringToInt(const std::string& strText) {
    errno = 0;
    const long long n = std::strtoll(strText.c_str(), nullptr, 10);
    if (n > INT_MAX) {
        return INT_MAX;
    }
    if (n < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(n);
}

double StringToDouble(const std::string& strText) {
    // Only a decimal number: blanks, a sign, digits with a point, an
    // exponent. What strtod reads beyond that (hexadecimal, "inf", "nan")
    // ends the number as any other character does.
    auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    const char* p = strText.c_str();
    while (IsTrimSpace(*p)) {
        ++p;
    }
    const char* pStart = p;
    if (*p == '+' || *p == '-') {
        ++p;
    }
    const char* pMantissa = p;
    while (isDigit(*p)) {
        ++p;
    }
    bool bDigits = p > pMantissa;
    if (*p == '.') {
        const char* pFraction = ++p;
        while (isDigit(*p)) {
            ++p;
        }
        bDigits = bDigits || p > pFraction;
    }
    if (!bDigits) {
        return 0.0;
    }
    if (*p == 'e' || *p == 'E') {
        const char* pExponent = p + 1;
        if (*pExponent == '+' || *pExponent == '-') {
            ++pExponent;
        }
        if (isDigit(*pExponent)) {
            while (isDigit(*pExponent)) {
                ++pExponent;
            }
            p = pExponent;
        }
    }
    return ParseDouble(std::string(pStart, p).c_str());
}

double ParseDouble(const char* psz, char** ppEnd) {
    return strtod_l(psz, ppEnd, CLocale());
}

bool ParseIntValue(std::string_view strText, int& nValue) {
    strText = TrimView(strText);
    bool bNegative = false;
    if (!strText.empty() && (strText.front() == '+' || strText.front() == '-')) {
        bNegative = strText.front() == '-';
        strText.remove_prefix(1);
    }
    if (strText.empty() || strText.front() < '0' || strText.front() > '9') {
        return false;
    }
    unsigned long long nMagnitude = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto [pStop, eError] = std::from_chars(strText.data(), pEnd, nMagnitude);
    const unsigned long long nLimit =
        bNegative ? static_cast<unsigned long long>(INT_MAX) + 1 : INT_MAX;
    if (eError != std::errc() || pStop != pEnd || nMagnitude > nLimit) {
        return false;
    }
    nValue = bNegative ? static_cast<int>(-static_cast<long long>(nMagnitude))
                       : static_cast<int>(nMagnitude);
    return true;
}

bool ParseDoubleValue(std::string_view strText, double& dValue) {
    strText = TrimView(strText);
    auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    size_t i = 0;
    const size_t n = strText.size();
    if (i < n && (strText[i] == '+' || strText[i] == '-')) {
        ++i;
    }
    bool bDigits = false;
    bool bNonZero = false;
    for (; i < n && isDigit(strText[i]); ++i) {
        bDigits = true;
        bNonZero = bNonZero || strText[i] != '0';
    }
    if (i < n && strText[i] == '.') {
        for (++i; i < n && isDigit(strText[i]); ++i) {
            bDigits = true;
            bNonZero = bNonZero || strText[i] != '0';
        }
    }
    if (!bDigits) {
        return false;
    }
    if (i < n && (strText[i] == 'e' || strText[i] == 'E')) {
        ++i;
        if (i < n && (strText[i] == '+' || strText[i] == '-')) {
            ++i;
        }
        if (i == n || !isDigit(strText[i])) {
            return false;
        }
        while (i < n && isDigit(strText[i])) {
            ++i;
        }
    }
    if (i != n) {
        return false;
    }
    const double dRead = ParseDouble(std::string(strText).c_str());
    // Beyond a double's range the reading gives an infinity, below it zero.
    if (!std::isfinite(dRead) || (dRead == 0.0 && bNonZero)) {
        return false;
    }
    dValue = dRead;
    return true;
}

std::string DoubleToExactString(double dValue) {
    if (std::isnan(dValue)) {
        return "nan";
    }
    if (std::isinf(dValue)) {
        return dValue < 0 ? "-inf" : "inf";
    }
    char szBuf[64];
    const auto result = std::to_chars(szBuf, szBuf + sizeof(szBuf), dValue);
    std::string strOut(szBuf, result.ptr);
    if (strOut.find_first_of(".e") == std::string::npos) {
        strOut += ".0";
    }
    return strOut;
}

void StringToChars(const std::string& strText, char* pszDest) {
    std::memcpy(pszDest, strText.data(), strText.size());
    pszDest[strText.size()] = '\0';
}

// ---- Tests on text ---------------------------------------------------------------

bool IsNumericText(const std::string& strText) {
    const locale_t loc = Utf8CtypeLocale();
    for (size_t i = 0; i < strText.size();) {
        const char32_t cp = DecodeUtf8(strText, i);
        const auto wc = static_cast<wint_t>(cp);
        if (towupper_l(wc, loc) != towlower_l(wc, loc)) {
            return false;
        }
    }
    return true;
}

bool IsWrittenAsNumber(const std::string& strText) {
    if (IsNumericText(strText)) {
        return true;
    }
    const std::string_view strTrimmed = TrimView(strText);
    size_t i = 0;
    if (i < strTrimmed.size() && (strTrimmed[i] == '+' || strTrimmed[i] == '-')) {
        ++i;
    }
    if (i < strTrimmed.size() && strTrimmed[i] == '.') {
        ++i;
    }
    return i < strTrimmed.size() && strTrimmed[i] >= '0' && strTrimmed[i] <= '9';
}

bool IsQuoted(const std::string& strText) {
    return !strText.empty() && strText.front() == '\'' && strText.back() == '\'';
}

std::string StripQuotes(const std::string& strText) {
    std::string str = strText;
    if (!str.empty() && str.front() == '\'') {
        str.erase(0, 1);
    }
    if (!str.empty() && str.back() == '\'') {
        str.pop_back();
    }
    return str;
}

// ---- Files -------------------------------------------------------------------------

bool FileExists(const std::string& strPath) {
    return access(strPath.c_str(), F_OK) == 0;
}

bool FileStatusExists(const std::string& strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0;
}

// unlink rather than remove(), which would also take away an empty folder.
bool RemoveFile(const std::string& strPath) {
    return unlink(strPath.c_str()) == 0;
}

// ---- Memory ------------------------------------------------------------------------------

bool MemoryCanHold(uint64_t nBytes) {
    uint64_t nAvailable = 0;
    if (std::FILE* pFile = std::fopen("/proc/meminfo", "r")) {
        char szLine[256];
        unsigned long long nKiB = 0;
        while (std::fgets(szLine, sizeof(szLine), pFile)) {
            if (std::sscanf(szLine, "MemAvailable: %llu kB", &nKiB) == 1) {
                nAvailable = static_cast<uint64_t>(nKiB) * 1024;
                break;
            }
        }
        std::fclose(pFile);
    }
    if (nAvailable == 0) {
        const long nPages = sysconf(_SC_AVPHYS_PAGES);
        const long nPageSize = sysconf(_SC_PAGESIZE);
        if (nPages > 0 && nPageSize > 0) {
            nAvailable = static_cast<uint64_t>(nPages) * static_cast<uint64_t>(nPageSize);
        }
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        nAvailable =
            nAvailable == 0 ? limit.rlim_cur : std::min<uint64_t>(nAvailable, limit.rlim_cur);
    }
    // A system that says nothing of its memory is not second-guessed.
    return nAvailable == 0 || nBytes <= nAvailable / 2;
}

// ---- Growable signed buffer ------------------------------------------------------------

void* DynBlockRealloc(void* pData, int nLength) {
    if (nLength < 0) {
        nLength = 0;
    }
    // The capacity is a 32-bit count of whole kilobytes: a length whose
    // rounded capacity does not fit cannot be served, and the block stays
    // as it was.
    const int64_t nRounded = (static_cast<int64_t>(nLength) + 1023) / 1024 * 1024;
    if (nRounded > INT_MAX) {
        return nullptr;
    }
    const int nNeeded = static_cast<int>(nRounded);
    DynBlockHeader* pb = pData ? HeaderOf(pData) : nullptr;
    if (pb && pb->capacity >= nNeeded) {
        pb->length = nLength;
        return pData;
    }
    auto* pNew = static_cast<DynBlockHeader*>(
        std::realloc(pb, sizeof(DynBlockHeader) + static_cast<size_t>(nNeeded)));
    assert(pNew && "pb");
    if (!pNew) {
        return nullptr;
    }
    pNew->signature = DB_SIG;
    pNew->capacity = nNeeded;
    pNew->length = nLength;
    return pNew + 1;
}

void DynBlockFree(void* pData) {
    if (pData) {
        std::free(HeaderOf(pData));
    }
}

void* DynBlockDup(const void* pData) {
    assert(pData && "block");
    if (!pData) {
        return nullptr;
    }
    const DynBlockHeader* pb = HeaderOf(pData);
    const size_t nBytes = sizeof(DynBlockHeader) + static_cast<size_t>(pb->capacity);
    auto* pnb = static_cast<DynBlockHeader*>(std::malloc(nBytes));
    assert(pnb && "pnb");
    if (!pnb) {
        return nullptr;
    }
    std::memcpy(pnb, pb, nBytes);
    return pnb + 1;
}

int DynBlockLength(const void* pData) {
    return pData ? HeaderOf(pData)->length : 0;
}

int DynBlockCapacity(const void* pData) {
    return pData ? HeaderOf(pData)->capacity : 0;
}

// ---- String helpers -------------------------------------------------------------------

std::string Left(const std::string& str, int nCount) {
    if (nCount <= 0) {
        return {};
    }
    return str.substr(0, static_cast<size_t>(nCount));
}

std::string Mid(const std::string& str, int nFirst) {
    if (nFirst < 0) {
        nFirst = 0;
    }
    if (static_cast<size_t>(nFirst) >= str.size()) {
        return {};
    }
    return str.substr(static_cast<size_t>(nFirst));
}

std::string Mid(const std::string& str, int nFirst, int nCount) {
    if (nFirst < 0) {
        nFirst = 0;
    }
    if (nCount <= 0 || static_cast<size_t>(nFirst) >= str.size()) {
        return {};
    }
    return str.substr(static_cast<size_t>(nFirst), static_cast<size_t>(nCount));
}

std::string Right(const std::string& str, int nCount) {
    if (nCount <= 0) {
        return {};
    }
    if (static_cast<size_t>(nCount) >= str.size()) {
        return str;
    }
    return str.substr(str.size() - static_cast<size_t>(nCount));
}

bool IsTrimSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\v' || ch == '\f';
}

std::string_view TrimView(std::string_view str) {
    while (!str.empty() && IsTrimSpace(str.front())) {
        str.remove_prefix(1);
    }
    while (!str.empty() && IsTrimSpace(str.back())) {
        str.remove_suffix(1);
    }
    return str;
}

std::string TrimLeft(const std::string& str) {
    size_t i = 0;
    while (i < str.size() && IsTrimSpace(str[i])) {
        ++i;
    }
    return str.substr(i);
}

std::string TrimRight(const std::string& str) {
    size_t n = str.size();
    while (n > 0 && IsTrimSpace(str[n - 1])) {
        --n;
    }
    return str.substr(0, n);
}

std::string Trim(const std::string& str) {
    return TrimLeft(TrimRight(str));
}

std::string ToUpperAscii(std::string str) {
    for (char& ch : str) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
    }
    return str;
}

std::string ToLowerAscii(std::string str) {
    for (char& ch : str) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return str;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z') {
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        }
        if (cb >= 'A' && cb <= 'Z') {
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        }
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

int ReplaceAll(std::string& str, const std::string& strOld, const std::string& strNew) {
    if (strOld.empty()) {
        return 0;
    }
    int nCount = 0;
    size_t nPos = 0;
    while ((nPos = str.find(strOld, nPos)) != std::string::npos) {
        str.replace(nPos, strOld.size(), strNew);
        nPos += strNew.size();
        ++nCount;
    }
    return nCount;
}

std::string FormatV(const char* pszFormat, va_list args) {
    // Switch this thread to the "C" locale for the call only, so that "%f"
    // always writes a decimal point whatever the process locale is; the
    // guard restores the thread's locale however the call ends.
    struct CLocaleGuard {
        locale_t old = uselocale(CLocale());
        ~CLocaleGuard() { uselocale(old); }
    } guard;
    char szBuf[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(szBuf, sizeof(szBuf), pszFormat, copy);
    va_end(copy);
    std::string strOut;
    if (n >= 0 && static_cast<size_t>(n) < sizeof(szBuf)) {
        strOut.assign(szBuf, static_cast<size_t>(n));
    } else if (n >= 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), pszFormat, args);
        strOut.assign(buf.data(), static_cast<size_t>(n));
    }
    return strOut;
}

std::string Format(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string str = FormatV(pszFormat, args);
    va_end(args);
    return str;
}

namespace {

// The characters an XML context needs escaped.
enum XmlEscapeSet : unsigned {
    XE_QUOT = 1,            // "
    XE_APOS = 2,            // '
    XE_GT = 4,              // every >
    XE_GT_AFTER_CDATA = 8,  // the > of "]]>", which text may not hold
    XE_SPACES = 16          // tab, line feed and carriage return, which an attribute loses
};

// Appends str with the characters of nSet (and & and <) escaped; with
// bUpToNul the text ends at its first NUL.
void AppendXmlChars(std::string& strOut, std::string_view str, unsigned nSet, bool bUpToNul) {
    if (bUpToNul) {
        str = str.substr(0, str.find('\0'));
    }
    size_t nPlain = 0;  // start of the characters not yet appended
    for (size_t i = 0; i < str.size(); ++i) {
        const char* pszEntity = nullptr;
        switch (str[i]) {
            case '&':
                pszEntity = "&amp;";
                break;
            case '<':
                pszEntity = "&lt;";
                break;
            case '"':
                pszEntity = (nSet & XE_QUOT) ? "&quot;" : nullptr;
                break;
            case '\'':
                pszEntity = (nSet & XE_APOS) ? "&apos;" : nullptr;
                break;
            case '\t':
                pszEntity = (nSet & XE_SPACES) ? "&#9;" : nullptr;
                break;
            case '\n':
                pszEntity = (nSet & XE_SPACES) ? "&#10;" : nullptr;
                break;
            case '\r':
                pszEntity = (nSet & XE_SPACES) ? "&#13;" : nullptr;
                break;
            case '>':
                pszEntity = ((nSet & XE_GT) || ((nSet & XE_GT_AFTER_CDATA) && i >= 2 &&
                                                str[i - 2] == ']' && str[i - 1] == ']'))
                                ? "&gt;"
                                : nullptr;
                break;
            default:
                break;
        }
        if (pszEntity) {
            strOut.append(str.substr(nPlain, i - nPlain));
            strOut += pszEntity;
            nPlain = i + 1;
        }
    }
    strOut.append(str.substr(nPlain));
}

std::string EscapeXmlChars(std::string_view str, unsigned nSet) {
    std::string out;
    out.reserve(str.size());
    AppendXmlChars(out, str, nSet, false);
    return out;
}

}  // namespace

std::string EscapeXml(std::string_view str) {
    return EscapeXmlChars(str, XE_QUOT | XE_APOS | XE_GT);
}

std::string EscapeXmlAttribute(std::string_view str) {
    return EscapeXmlChars(str, XE_QUOT | XE_SPACES);
}

std::string EscapeXmlSingleQuoted(std::string_view str) {
    return EscapeXmlChars(str, XE_APOS | XE_SPACES);
}

std::string EscapeXmlText(std::string_view str) {
    return EscapeXmlChars(str, XE_GT_AFTER_CDATA);
}

namespace {

// A control character below U+0020 that XML 1.0 cannot hold.
bool IsXml11OnlyControl(unsigned char ch) {
    return ch > 0 && ch < 0x20 && ch != '\t' && ch != '\n' && ch != '\r';
}

// The length of the character at str[i] that is written as a reference (its
// code point in *pnCode), or 0 for any other.
size_t ReferencedCharacterAt(std::string_view str, size_t i, unsigned* pnCode) {
    const auto ch = static_cast<unsigned char>(str[i]);
    if (IsXml11OnlyControl(ch) || ch == 0x7F) {
        *pnCode = ch;
        return 1;
    }
    const auto next = i + 1 < str.size() ? static_cast<unsigned char>(str[i + 1]) : 0;
    if (ch == 0xC2 && next >= 0x80 && next <= 0x9F) {
        *pnCode = next;
        return 2;
    }
    if (ch == 0xE2 && next == 0x80 && i + 2 < str.size() &&
        static_cast<unsigned char>(str[i + 2]) == 0xA8) {
        *pnCode = 0x2028;
        return 3;
    }
    return 0;
}

}  // namespace

bool HasXmlReferencedCharacters(std::string_view strText) {
    // Every record of a trace is looked at, so sixteen bytes at a time: a
    // block is looked at byte by byte only when it holds a byte other than
    // printable ASCII and line feed (a record's end), which a text of the
    // model rarely holds.
    unsigned nCode = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // A byte plus 0x60, read as signed, is at most 0x7E + 0x60 exactly when
    // the byte is printable ASCII (0x20 to 0x7E).
    const __m128i kShift = _mm_set1_epi8(0x60);
    const __m128i kLastPrintable = _mm_set1_epi8(static_cast<char>(0x7E + 0x60));
    const __m128i kLineFeed = _mm_set1_epi8('\n');
    for (; i + 16 <= strText.size(); i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(strText.data() + i));
        const __m128i other = _mm_cmpgt_epi8(_mm_add_epi8(bytes, kShift), kLastPrintable);
        if (_mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(bytes, kLineFeed), other)) == 0) {
            continue;
        }
        for (size_t j = i; j < i + 16; ++j) {
            if (ReferencedCharacterAt(strText, j, &nCode) != 0) {
                return true;
            }
        }
    }
#endif
    for (; i < strText.size(); ++i) {
        if (ReferencedCharacterAt(strText, i, &nCode) != 0) {
            return true;
        }
    }
    return false;
}

bool AppendXmlCharacterReferences(std::string& strOut, std::string_view strText) {
    bool bXml11 = false;
    size_t nPlain = 0;  // start of the characters not yet appended
    for (size_t i = 0; i < strText.size();) {
        unsigned nCode = 0;
        const size_t nLength = ReferencedCharacterAt(strText, i, &nCode);
        if (nLength == 0) {
            ++i;
            continue;
        }
        bXml11 = bXml11 || nCode < 0x20;
        strOut.append(strText.substr(nPlain, i - nPlain));
        strOut += "&#";
        AppendInt(strOut, nCode);
        strOut += ';';
        i += nLength;
        nPlain = i;
    }
    strOut.append(strText.substr(nPlain));
    return bXml11;
}

// ---- Appending to a text ---------------------------------------------------------------

void AppendInt(std::string& strOut, long long nValue) {
    char szBuf[24];
    const auto result = std::to_chars(szBuf, szBuf + sizeof(szBuf), nValue);
    strOut.append(szBuf, result.ptr);
}

namespace {

// |dValue| as "%f" writes it in the "C" locale: its integer part and its
// millionths. False for NaN, infinities and magnitudes of 2^63 and above.
// Inlined: every time of every trace record goes through it.
[[gnu::always_inline]] inline bool SplitFixed(double dValue, uint64_t& nInteger,
                                              uint64_t& nMillionths) {
    // |dValue| is exactly nMantissa * 2^nExp. Below 2^63 the integer part
    // fits 64 bits and the millionths are the fraction times 10^6 rounded
    // to nearest, ties to even, as "%f" rounds the exact binary value.
    const auto nBits = std::bit_cast<uint64_t>(dValue);
    const int nBiased = static_cast<int>((nBits >> 52) & 0x7FF);
    const uint64_t nMantissa =
        (nBits & ((uint64_t{1} << 52) - 1)) | (nBiased != 0 ? uint64_t{1} << 52 : 0);
    const int nExp = std::max(nBiased, 1) - 1075;
    if (nBiased == 0x7FF || nExp > 10) {
        return false;
    }
    nInteger = 0;
    nMillionths = 0;
    if (nExp >= 0) {
        nInteger = nMantissa << nExp;
    } else if (const int nShift = -nExp; nShift <= 76) {  // below 2^-24 it rounds to zero
        using uint128 = unsigned __int128;
        nInteger = nShift < 64 ? nMantissa >> nShift : 0;
        const uint64_t nRest = nShift < 64 ? nMantissa & ((uint64_t{1} << nShift) - 1) : nMantissa;
        const uint128 nScaled = uint128{nRest} * 1000000;
        nMillionths = static_cast<uint64_t>(nScaled >> nShift);
        const uint128 nRemainder = nScaled - (uint128{nMillionths} << nShift);
        const uint128 nHalf = uint128{1} << (nShift - 1);
        if (nRemainder > nHalf || (nRemainder == nHalf && (nMillionths & 1) != 0)) {
            ++nMillionths;
        }
        if (nMillionths == 1000000) {
            ++nInteger;
            nMillionths = 0;
        }
    }
    return true;
}

// Writes what SplitFixed gave from p and returns the end (at most 28
// characters).
char* WriteFixedParts(char* p, bool bNegative, uint64_t nInteger, uint64_t nMillionths) {
    if (bNegative) {
        *p++ = '-';
    }
    p = std::to_chars(p, p + 20, nInteger).ptr;
    *p++ = '.';
    for (int i = 5; i >= 0; --i) {
        p[i] = static_cast<char>('0' + nMillionths % 10);
        nMillionths /= 10;
    }
    return p + 6;
}

// Writes dValue from p as "%f" writes it in the "C" locale and returns the
// end; null for NaN, infinities and magnitudes of 2^63 and above.
char* WriteFixed(char* p, double dValue) {
    uint64_t nInteger = 0;
    uint64_t nMillionths = 0;
    if (!SplitFixed(dValue, nInteger, nMillionths)) {
        return nullptr;
    }
    return WriteFixedParts(p, std::signbit(dValue), nInteger, nMillionths);
}

// An attribute short enough to be built on the stack and appended in one
// piece, as every attribute of a trace record is.
constexpr size_t kShortAttribute = 128;

// Writes ` name="` from p (the name's size and 3 characters).
char* WriteAttributeName(char* p, std::string_view strName) {
    *p++ = ' ';
    p = std::copy_n(strName.data(), strName.size(), p);
    *p++ = '=';
    *p++ = '"';
    return p;
}

void AppendAttributeName(std::string& strOut, std::string_view strName) {
    strOut += ' ';
    strOut += strName;
    strOut += "=\"";
}

}  // namespace

void AppendFixed(std::string& strOut, double dValue) {
    char szBuf[32];
    if (const char* pEnd = WriteFixed(szBuf, dValue)) {
        strOut.append(szBuf, static_cast<size_t>(pEnd - szBuf));
    } else {
        strOut += Format("%f", dValue);
    }
}

std::string DoubleToFixedOrExactString(double dValue) {
    uint64_t nInteger = 0;
    uint64_t nMillionths = 0;
    if (!SplitFixed(dValue, nInteger, nMillionths)) {
        // No number, or an integer "%f" writes to its last digit.
        std::string strFixed = DoubleToString(dValue);
        if (!std::isfinite(dValue) || ParseDouble(strFixed.c_str()) == dValue) {
            return strFixed;
        }
        return DoubleToExactString(dValue);
    }
    char szBuf[32];
    char* pEnd = WriteFixedParts(szBuf, std::signbit(dValue), nInteger, nMillionths);
    // The six decimals give dValue back when the number they write, read to
    // the nearest double, is dValue. Below 2^53 millionths that number is
    // its millionths divided by 10^6, both exact, which the division rounds
    // to nearest as reading the text does.
    constexpr uint64_t kExactIntegers = (uint64_t{1} << 53) / 1000000;
    bool bGivesBack = false;
    if (nInteger < kExactIntegers) {
        const uint64_t nScaled = nInteger * 1000000 + nMillionths;
        bGivesBack = static_cast<double>(nScaled) / 1e6 == std::fabs(dValue);
    } else {
        *pEnd = '\0';
        bGivesBack = ParseDouble(szBuf) == dValue;
    }
    if (!bGivesBack) {
        return DoubleToExactString(dValue);
    }
    return std::string(szBuf, pEnd);
}

void AppendXmlAttribute(std::string& strOut, std::string_view strName, std::string_view strValue) {
    size_t nPlain = 0;  // the characters before the first that needs care
    auto needsCare = [](char ch) {
        return ch == '&' || ch == '<' || ch == '"' || ch == '\0' || ch == '\t' || ch == '\n' ||
               ch == '\r';
    };
    while (nPlain < strValue.size() && !needsCare(strValue[nPlain])) {
        ++nPlain;
    }
    char szBuf[kShortAttribute];
    const bool bPlain = nPlain == strValue.size() || strValue[nPlain] == '\0';
    if (bPlain && strName.size() + nPlain + 4 <= sizeof(szBuf)) {
        char* p = WriteAttributeName(szBuf, strName);
        // An empty view may have no data at all: copy nothing from it then.
        p = std::copy_n(strValue.data(), nPlain, p);
        *p++ = '"';
        strOut.append(szBuf, static_cast<size_t>(p - szBuf));
        return;
    }
    AppendAttributeName(strOut, strName);
    AppendXmlChars(strOut, strValue, XE_QUOT | XE_SPACES, true);
    strOut += '"';
}

void AppendXmlAttribute(std::string& strOut, std::string_view strName, double dValue) {
    char szBuf[kShortAttribute];
    if (strName.size() + 32 <= sizeof(szBuf)) {
        if (char* p = WriteFixed(WriteAttributeName(szBuf, strName), dValue)) {
            *p++ = '"';
            strOut.append(szBuf, static_cast<size_t>(p - szBuf));
            return;
        }
    }
    AppendAttributeName(strOut, strName);
    AppendFixed(strOut, dValue);
    strOut += '"';
}

void AppendXmlAttribute(std::string& strOut, std::string_view strName, int nValue) {
    char szBuf[kShortAttribute];
    if (strName.size() + 16 <= sizeof(szBuf)) {
        char* p = WriteAttributeName(szBuf, strName);
        p = std::to_chars(p, p + 11, nValue).ptr;
        *p++ = '"';
        strOut.append(szBuf, static_cast<size_t>(p - szBuf));
        return;
    }
    AppendAttributeName(strOut, strName);
    AppendInt(strOut, nValue);
    strOut += '"';
}

// ---- Encodings -------------------------------------------------------------------

char32_t DecodeUtf8(std::string_view str, size_t& nPos, bool* pbCut) {
    if (pbCut) {
        *pbCut = false;
    }
    const auto b0 = static_cast<unsigned char>(str[nPos]);
    if (b0 < 0x80) {
        ++nPos;
        return b0;
    }
    // The bytes that may follow the lead: the second one's range rules out
    // overlong forms, encoded surrogates and code points above U+10FFFF.
    int nMore = 0;
    char32_t cp = 0;
    unsigned char nLow = 0x80;
    unsigned char nHigh = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        nMore = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        nMore = 2;
        cp = b0 & 0x0F;
        nLow = b0 == 0xE0 ? 0xA0 : 0x80;
        nHigh = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        nMore = 3;
        cp = b0 & 0x07;
        nLow = b0 == 0xF0 ? 0x90 : 0x80;
        nHigh = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        ++nPos;  // a continuation byte, or a byte no sequence starts with
        return 0xFFFD;
    }
    size_t nNext = nPos + 1;
    for (int k = 0; k < nMore; ++k, ++nNext) {
        if (nNext >= str.size()) {
            if (pbCut) {
                *pbCut = true;
            }
            nPos = nNext;
            return 0xFFFD;
        }
        const auto b = static_cast<unsigned char>(str[nNext]);
        if (b < nLow || b > nHigh) {
            nPos = nNext;
            return 0xFFFD;
        }
        nLow = 0x80;
        nHigh = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    nPos = nNext;
    return cp;
}

// Both conversions write through a pointer into a string sized once: a
// message of a megabyte is converted character by character, and a call per
// character is what a build without optimisation (the sanitizers' build)
// pays most for.
std::u16string Utf8ToUtf16(std::string_view str) {
    // Never more code units than bytes: each sequence, or byte that is none,
    // gives one unit, and four bytes give two.
    // Not filled first: a string filled goes character by character too.
    const std::unique_ptr<char16_t[]> pUnits(new char16_t[std::max<size_t>(str.size(), 1)]);
    char16_t* pOut = pUnits.get();
    const char* pIn = str.data();
    const size_t nSize = str.size();
    for (size_t i = 0; i < nSize;) {
        const auto b = static_cast<unsigned char>(pIn[i]);
        if (b < 0x80) {
            *pOut++ = b;
            ++i;
            continue;
        }
        const char32_t cp = DecodeUtf8(str, i);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            *pOut++ = static_cast<char16_t>(0xD800 + (v >> 10));
            *pOut++ = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            *pOut++ = static_cast<char16_t>(cp);
        }
    }
    return std::u16string(pUnits.get(), static_cast<size_t>(pOut - pUnits.get()));
}

std::string Utf16ToUtf8(std::u16string_view str) {
    const char16_t* pIn = str.data();
    const size_t nSize = str.size();
    // At most three bytes a unit: a pair of two units takes four.
    std::string out(3 * nSize, '\0');
    auto* const pStart = reinterpret_cast<unsigned char*>(out.data());
    unsigned char* pOut = pStart;
    for (size_t i = 0; i < nSize; ++i) {
        char32_t cp = pIn[i];
        if (cp < 0x80) {
            *pOut++ = static_cast<unsigned char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < nSize && pIn[i + 1] >= 0xDC00 &&
            pIn[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (pIn[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        pOut = WriteUtf8(pOut, cp);
    }
    out.resize(static_cast<size_t>(pOut - pStart));
    return out;
}

bool IsValidUtf8(std::string_view str) {
    for (size_t i = 0; i < str.size();) {
        const size_t nStart = i;
        const char32_t cp = DecodeUtf8(str, i);
        if (cp == 0xFFFD && str.substr(nStart, 3) != "\xEF\xBF\xBD") {
            return false;
        }
    }
    return true;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    // 0x80-0x9F of Windows-1252; the five unassigned bytes map to themselves.
    static const char16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        AppendUtf8(out, (b >= 0x80 && b <= 0x9F) ? kHigh[b - 0x80] : b);
    }
    return out;
}

std::string DecodeTextBytes(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    if (IsValidUtf8(bytes)) {
        return std::string(bytes);
    }
    return Cp1252ToUtf8(bytes);
}

void TruncateUtf8(std::string& str, size_t nBytes) {
    if (str.size() <= nBytes) {
        return;
    }
    size_t n = nBytes;
    while (n > 0 && (static_cast<unsigned char>(str[n]) & 0xC0) == 0x80) {
        --n;
    }
    str.resize(n);
}

void DebugOutput(std::string_view strText) {
    std::fwrite(strText.data(), 1, strText.size(), stderr);
}
