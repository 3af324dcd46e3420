#pragma once

#include <cstdarg>
#include <exception>
#include <string>

// The program's own exception: one message text. Thrown by value, caught by
// const reference.
class CCustomException : public std::exception {
public:
    CCustomException() = default;

    void GetMessageText(std::string& strText) const { strText = m_strMessage; }
    const std::string& GetMessageText() const { return m_strMessage; }
    const char* what() const noexcept override { return m_strMessage.c_str(); }

    // Throws a new exception whose message is "Error: " + strText.
    [[noreturn]] static void ThrowError(std::string strText);

private:
    std::string m_strMessage;
};

// Per-thread last-error text. A failing operation stores a readable text for
// its own thread; another thread never sees it. errno is left as found.
const std::string& SetLastErrorText(const std::string& strText);
const std::string* GetLastErrorText();
void SetLastErrorTextF(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void SetLastErrorTextV(const char* pszFormat, va_list args);
// Same, with the format taken from the program's message table (ids of the
// text files: 20001 read failed, 20002 write failed, 20003 cannot open for
// reading, 20004 cannot open for writing).
void SetLastErrorTextId(unsigned int nId, ...);

// The system's message for an errno value, without a trailing line end; an
// unknown code gives the system's generic text, never fails.
std::string GetSystemErrorText(int nCode);

// Formats into at most 8191 characters (longer output is cut), independent
// of the process locale.
std::string FormatTextV(const char* pszFormat, va_list args);
std::string FormatTextF(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The format text of a message id, or empty when the program has none.
const char* GetMessageFormat(unsigned int nId);
