#include "sh_sdl/sdlparameter.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlagent.h"

CSDLParameter::CSDLParameter(std::string strType, std::string strName, std::string strValue,
                             std::string strByReference)
    : m_strName(std::move(strName)),
      m_strValue(std::move(strValue)),
      m_strSourceText(m_strValue),
      m_strType(std::move(strType)),
      m_strByReference(std::move(strByReference)) {}

bool CSDLParameter::HasType(std::string_view strType) const {
    std::string_view strOwn = m_strType;
    while (!strOwn.empty() && IsTrimSpace(strOwn.front())) {
        strOwn.remove_prefix(1);
    }
    while (!strOwn.empty() && IsTrimSpace(strOwn.back())) {
        strOwn.remove_suffix(1);
    }
    return strOwn == strType;
}

void CSDLParameter::SetModelValue(const std::string& strValue) {
    m_strValue = strValue;
    m_strSourceText = strValue;
    // The exact double last seen in the library is not this value.
    m_bHasExact = false;
}

std::string_view ValueTypeOf(std::string_view strType) {
    strType = TrimView(strType);
    for (std::string_view strKnown : {"int", "double", "char*"}) {
        if (strType == strKnown) {
            return strKnown;
        }
    }
    return {};
}

bool IsValueOfType(std::string_view strType, const std::string& strText) {
    const std::string_view strKnown = ValueTypeOf(strType);
    int nValue = 0;
    double dValue = 0.0;
    return strKnown == "char*" || (strKnown == "int" && ParseIntValue(strText, nValue)) ||
           (strKnown == "double" && ParseDoubleValue(strText, dValue));
}

std::string CanonicalValue(std::string_view strType, const std::string& strText) {
    const std::string_view strKnown = ValueTypeOf(strType);
    if (int nValue = 0; strKnown == "int" && ParseIntValue(strText, nValue)) {
        return IntToString(nValue);
    }
    if (double dValue = 0.0; strKnown == "double" && ParseDoubleValue(strText, dValue)) {
        return DoubleToExactString(dValue);
    }
    return strText;
}

std::string RefusedValueLine(const std::string& strText, std::string_view strType,
                             const std::string& strWhat) {
    const std::string_view strKnown = ValueTypeOf(strType);
    const std::string strRule =
        strKnown == "int" ? "an int (a whole number from -2147483648 to 2147483647)"
        : strKnown == "double"
            ? "a double (a finite number in decimal digits, with an optional point and exponent)"
            : "a value of the type \"" + std::string(strType) + "\"";
    return Format("The value \"%s\" of %s is not %s", strText.c_str(), strWhat.c_str(),
                  strRule.c_str());
}

CParameterMap CopyParameters(const CParameterMap& src) {
    CParameterMap out;
    for (const auto& [strKey, pParam] : src) {
        if (pParam) {
            out[strKey] = std::make_unique<CSDLParameter>(*pParam);
        }
    }
    return out;
}

void CopyVariablesAsDeclared(const CParameterMap& mapVariables,
                             const CSharedParameterMap& mapDeclared, CParameterMap& mapOut,
                             CSharedParameterMap& mapDeclaredOut) {
    for (const auto& [strName, pVariable] : mapVariables) {
        auto itDeclared = mapDeclared.find(strName);
        const bool bDeclared = itDeclared != mapDeclared.end() && itDeclared->second;
        const CSDLParameter& source = bDeclared ? *itDeclared->second : *pVariable;
        mapOut[strName] = std::make_unique<CSDLParameter>(
            source.m_strType, source.m_strName, source.m_strValue, source.m_strByReference);
        if (bDeclared) {
            mapDeclaredOut[strName] = itDeclared->second;
        }
    }
}

CSDLProcedure::CSDLProcedure(std::string strName, int nId, std::string strClassName,
                             CSDLAgent* pOwner, bool bBuiltIn)
    : m_strName(std::move(strName)),
      m_nId(nId),
      m_pOwner(pOwner),
      m_strClassName(std::move(strClassName)),
      m_bBuiltIn(bBuiltIn) {}

std::string CSDLProcedure::GetInstanceName() const {
    const std::string strOwner = m_pOwner ? m_pOwner->GetTemplateFullName() : std::string();
    return Format("%s_%d", strOwner.c_str(), m_nId);
}

void CSDLProcedure::CopyFrom(CSDLProcedure* pTarget, CSDLAgent* pOwner) const {
    pTarget->m_strName = m_strName;
    pTarget->m_nId = m_nId;
    pTarget->m_strClassName = m_strClassName;
    pTarget->m_bHasBody = m_bHasBody;
    pTarget->m_strDeclarations = m_strDeclarations;
    pTarget->m_strLocalDeclarations = m_strLocalDeclarations;
    pTarget->m_pOwner = pOwner;
    pTarget->m_mapVariables.clear();
    pTarget->m_mapDeclaredVariables.clear();
    CopyVariablesAsDeclared(m_mapVariables, m_mapDeclaredVariables, pTarget->m_mapVariables,
                            pTarget->m_mapDeclaredVariables);
    pTarget->m_mapFormals.clear();
    for (const auto& [strKey, pFormal] : m_mapFormals) {
        pTarget->m_mapFormals[strKey] = std::make_unique<CSDLParameter>(
            pFormal->m_strType, pFormal->m_strName, pFormal->m_strValue, pFormal->m_strByReference);
    }
}
