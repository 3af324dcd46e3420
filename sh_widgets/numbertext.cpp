#include "sh_widgets/numbertext.h"

#include <charconv>
#include <cmath>
#include <string>

namespace {

// The text without the blanks around it and without one leading "+", which
// from_chars does not take; empty (no number) when nothing is left or a
// second sign follows.
std::string NumberText(const QString& strText) {
    std::string str = strText.trimmed().toStdString();
    if (!str.empty() && str.front() == '+') {
        str.erase(0, 1);
        if (!str.empty() && (str.front() == '+' || str.front() == '-')) {
            return {};
        }
    }
    return str;
}

// True when from_chars read the whole text.
template <class T>
bool ReadWhole(const std::string& str, T& value) {
    if (str.empty()) {
        return false;
    }
    const char* pEnd = str.data() + str.size();
    const std::from_chars_result result = std::from_chars(str.data(), pEnd, value);
    return result.ec == std::errc() && result.ptr == pEnd;
}

}  // namespace

bool ReadDecimalNumber(const QString& strText, double& dValue) {
    double d = 0.0;
    // from_chars reads no hexadecimal here, and never the locale's comma.
    if (!ReadWhole(NumberText(strText), d) || !std::isfinite(d)) {
        return false;
    }
    dValue = d;
    return true;
}

bool ReadWholeNumber(const QString& strText, int& nValue) {
    int n = 0;
    if (!ReadWhole(NumberText(strText), n)) {
        return false;
    }
    nValue = n;
    return true;
}
