#include "sh_aux/customexception.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "sh_aux/hpslib.h"

void CCustomException::ThrowError(std::string strText) {
    CCustomException e;
    e.m_strMessage = "Error: " + std::move(strText);
    throw e;
}

namespace {
thread_local std::unique_ptr<std::string> t_pLastError;
constexpr size_t kMaxFormatted = 8191;
}  // namespace

const std::string& SetLastErrorText(const std::string& strText) {
    t_pLastError = std::make_unique<std::string>(strText);
    return *t_pLastError;
}

const std::string* GetLastErrorText() { return t_pLastError.get(); }

void SetLastErrorTextV(const char* pszFormat, va_list args) {
    const int nSaved = errno;
    SetLastErrorText(FormatTextV(pszFormat, args));
    errno = nSaved;
}

void SetLastErrorTextF(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    SetLastErrorTextV(pszFormat, args);
    va_end(args);
}

void SetLastErrorTextId(unsigned int nId, ...) {
    va_list args;
    va_start(args, nId);
    SetLastErrorTextV(GetMessageFormat(nId), args);
    va_end(args);
}

const char* GetMessageFormat(unsigned int nId) {
    switch (nId) {
        case 20001: return "Error %d reading file %s: %s";
        case 20002: return "Error %d writing file %s: %s";
        case 20003: return "Cannot open file %s for reading (error %d): %s";
        case 20004: return "Cannot open file %s for writing (error %d): %s";
        default: return "";
    }
}

std::string GetSystemErrorText(int nCode) {
    const int nSaved = errno;
    char szBuf[512];
    szBuf[0] = '\0';
    // GNU strerror_r returns a pointer that may or may not be szBuf.
    const char* psz = strerror_r(nCode, szBuf, sizeof(szBuf));
    std::string strText = psz ? psz : "";
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r')) {
        strText.pop_back();
    }
    errno = nSaved;
    return strText;
}

std::string FormatTextV(const char* pszFormat, va_list args) {
    std::string strText = FormatV(pszFormat ? pszFormat : "", args);
    TruncateUtf8(strText, kMaxFormatted);
    return strText;
}

std::string FormatTextF(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string strText = FormatTextV(pszFormat, args);
    va_end(args);
    return strText;
}
