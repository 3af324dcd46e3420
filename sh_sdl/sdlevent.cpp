#include "sh_sdl/sdlevent.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string_view>

#include "sh_aux/hpslib.h"

CSDLEvent::CSDLEvent(const CSDLEvent& other)
    : m_dCreationTime(other.m_dCreationTime),
      m_strCreationTime(other.m_strCreationTime),
      m_dExecutionTime(other.m_dExecutionTime),
      m_strExecutionTime(other.m_strExecutionTime),
      m_dDelay(other.m_dDelay),
      m_strDelay(other.m_strDelay),
      m_nTag(other.m_nTag),
      m_strCodeId(other.m_strCodeId),
      m_strId(other.m_strId),
      m_nPriority(other.m_nPriority),
      m_strPriority(other.m_strPriority),
      m_strName(other.m_strName),
      m_strType(other.m_strType),
      m_bRemote(other.m_bRemote),
      m_strRealTime(other.m_strRealTime),
      m_nCell(other.m_nCell),
      m_strCells(other.m_strCells),
      m_strCameThrough(other.m_strCameThrough),
      m_strTo(other.m_strTo),
      m_strRoute(other.m_strRoute),
      m_nSameTimeChain(other.m_nSameTimeChain) {
    for (const auto& [strKey, pParam] : other.m_mapUserParams) {
        if (pParam) {
            auto pCopy = std::make_unique<CSDLParameter>(pParam->m_strType, pParam->m_strName,
                                                         pParam->m_strValue, "no");
            pCopy->m_strSourceText = pParam->m_strSourceText;
            m_mapUserParams[strKey] = std::move(pCopy);
        }
    }
}

std::string CSDLEvent::GetXml() const {
    std::string strXml;
    AppendXml(strXml);
    return strXml;
}

void CSDLEvent::AppendXml(std::string& strOut) const {
    strOut += "<params";
    AppendXmlAttribute(strOut, "to", m_strTo);
    AppendXmlAttribute(strOut, "creationtime", m_dCreationTime);
    AppendXmlAttribute(strOut, "delay", m_dDelay);
    AppendXmlAttribute(strOut, "executiontime", m_dExecutionTime);
    AppendXmlAttribute(strOut, "priority", m_nPriority);
    AppendXmlAttribute(strOut, "type", m_strName);
    AppendXmlAttribute(strOut, "cells", m_strCells);
    strOut += "></params>";
    if (m_mapUserParams.empty()) {
        return;
    }
    strOut += "<userparams>";
    for (const auto& [strKey, pParam] : m_mapUserParams) {
        if (!pParam) {
            continue;
        }
        strOut += "<userparam";
        AppendXmlAttribute(strOut, "name", pParam->m_strName);
        AppendXmlAttribute(strOut, "type", pParam->m_strType);
        AppendXmlAttribute(strOut, "value", pParam->m_strValue);
        strOut += "></userparam>";
    }
    strOut += "</userparams>";
}

// ---- Remote text ------------------------------------------------------------------------

namespace {

// A field's separators, escape character and blanks as "%XX"; the reader
// trims its fields, so a blank must not stand as itself. Bytes that are no
// UTF-8 are escaped too: the wire carries UTF-16, which has no place for
// them, and the field arrives byte for byte.
std::string EscapeRemoteField(const std::string& strField) {
    std::string strOut;
    strOut.reserve(strField.size());
    const char* pField = strField.data();
    const size_t nSize = strField.size();
    for (size_t i = 0; i < nSize;) {
        // A run of printable ASCII characters other than '%' and ',' goes as
        // it is, in one piece.
        const size_t nRun = i;
        while (i < nSize && pField[i] > ' ' && pField[i] < 0x7F && pField[i] != '%' &&
               pField[i] != ',') {
            ++i;
        }
        strOut.append(pField + nRun, i - nRun);
        if (i == nSize) {
            break;
        }
        const size_t nStart = i;
        const char32_t cp = DecodeUtf8(strField, i);
        const std::string_view bytes(strField.data() + nStart, i - nStart);
        const bool bNoUtf8 = cp == 0xFFFD && bytes != "\xEF\xBF\xBD";
        if (bNoUtf8 || cp == '%' || cp == ',' || cp <= ' ' || cp == 0x7F) {
            for (const char ch : bytes) {
                strOut += Format("%%%02X", static_cast<unsigned char>(ch));
            }
        } else {
            strOut += bytes;
        }
    }
    return strOut;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    return -1;
}

// A field without the blanks around it, unescaped.
bool UnescapeRemoteField(std::string_view strField, std::string& strOut) {
    while (!strField.empty() && IsTrimSpace(strField.front())) {
        strField.remove_prefix(1);
    }
    while (!strField.empty() && IsTrimSpace(strField.back())) {
        strField.remove_suffix(1);
    }
    strOut.clear();
    for (size_t i = 0; i < strField.size(); ++i) {
        // What lies before the next escape goes in one piece.
        const size_t nEscape = std::min(strField.find('%', i), strField.size());
        strOut.append(strField.data() + i, nEscape - i);
        i = nEscape;
        if (i == strField.size()) {
            break;
        }
        if (i + 2 >= strField.size()) {
            return false;
        }
        const int nHigh = HexDigit(strField[i + 1]);
        const int nLow = HexDigit(strField[i + 2]);
        if (nHigh < 0 || nLow < 0) {
            return false;
        }
        strOut += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    return true;
}

// A whole field as a finite decimal number.
bool ReadRemoteDouble(const std::string& strField, double& rdValue) {
    if (strField.empty() || strField.find_first_not_of("0123456789+-.eE") != std::string::npos) {
        return false;
    }
    char* pEnd = nullptr;
    rdValue = ParseDouble(strField.c_str(), &pEnd);
    return pEnd == strField.c_str() + strField.size() && std::isfinite(rdValue);
}

bool ReadRemoteInt(const std::string& strField, int& rnValue) {
    double dValue = 0.0;
    if (!ReadRemoteDouble(strField, dValue) || dValue < INT_MIN || dValue > INT_MAX) {
        return false;
    }
    rnValue = static_cast<int>(dValue);  // toward zero
    return true;
}

}  // namespace

std::string CSDLEvent::GetRemoteText() const {
    const std::string strFields[] = {
        Format("%.17g", m_dCreationTime),
        Format("%.17g", m_dDelay),
        Format("%.17g", m_dExecutionTime),
        IntToString(m_nTag),
        m_strCameThrough,
        m_strCodeId,
        IntToString(m_nPriority),
        "true",
        m_strName,
        m_strRoute,
        m_strTo,
        IntToString(m_nCell),
    };
    std::string strText;
    for (const std::string& strField : strFields) {
        strText += EscapeRemoteField(strField) + ",";
    }
    for (const auto& [strKey, pParam] : m_mapUserParams) {
        if (pParam) {
            strText += EscapeRemoteField(pParam->m_strName) + "," +
                       EscapeRemoteField(pParam->m_strType) + "," +
                       EscapeRemoteField(pParam->m_strValue) + ",";
        }
    }
    return strText;
}

bool CSDLEvent::ParseRemoteText(std::string_view strText) {
    // Field by field from the front, each checked as it comes: what is no
    // signal is refused at its first wrong field.
    size_t nPos = 0;
    const auto NextField = [&](std::string& rField) {
        return nPos < strText.size() &&
               UnescapeRemoteField(NextTokenOrRest(strText, nPos, ","), rField);
    };
    std::string strFields[12];
    for (std::string& strField : strFields) {
        if (!NextField(strField)) {
            return false;
        }
    }
    if (!ReadRemoteDouble(strFields[0], m_dCreationTime) ||
        !ReadRemoteDouble(strFields[1], m_dDelay) ||
        !ReadRemoteDouble(strFields[2], m_dExecutionTime) || !ReadRemoteInt(strFields[3], m_nTag) ||
        !ReadRemoteInt(strFields[6], m_nPriority) || !ReadRemoteInt(strFields[11], m_nCell)) {
        return false;
    }
    m_strCameThrough = std::move(strFields[4]);
    m_strCodeId = std::move(strFields[5]);
    m_bRemote = true;
    m_strName = std::move(strFields[8]);
    m_strRoute = std::move(strFields[9]);
    m_strTo = std::move(strFields[10]);
    m_mapUserParams.clear();
    std::string strName;
    std::string strType;
    std::string strValue;
    while (nPos < strText.size()) {
        if (!NextField(strName) || !NextField(strType) || !NextField(strValue)) {
            return false;
        }
        m_mapUserParams[strName] =
            std::make_unique<CSDLParameter>(strType, strName, strValue, "no");
    }
    return true;
}
