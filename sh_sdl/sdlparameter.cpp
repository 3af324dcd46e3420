#include "sh_sdl/sdlparameter.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlagent.h"

CSDLParameter::CSDLParameter(std::string strType, std::string strName, std::string strValue,
                             std::string strByReference)
    : m_strName(std::move(strName)),
      m_strValue(std::move(strValue)),
      m_strType(std::move(strType)),
      m_strByReference(std::move(strByReference)) {}

CParameterMap CopyParameters(const CParameterMap& src) {
    CParameterMap out;
    for (const auto& [strKey, pParam] : src) {
        if (pParam) {
            out[strKey] = std::make_unique<CSDLParameter>(*pParam);
        }
    }
    return out;
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
    for (const auto& [strKey, pVar] : m_mapVariables) {
        auto itDecl = m_mapDeclaredVariables.find(strKey);
        const CSDLParameter& src =
            (itDecl != m_mapDeclaredVariables.end() && itDecl->second) ? *itDecl->second : *pVar;
        pTarget->m_mapVariables[strKey] = std::make_unique<CSDLParameter>(
            src.m_strType, src.m_strName, src.m_strValue, src.m_strByReference);
        if (itDecl != m_mapDeclaredVariables.end()) {
            pTarget->m_mapDeclaredVariables[strKey] = itDecl->second;
        }
    }
    pTarget->m_mapFormals.clear();
    for (const auto& [strKey, pFormal] : m_mapFormals) {
        pTarget->m_mapFormals[strKey] = std::make_unique<CSDLParameter>(
            pFormal->m_strType, pFormal->m_strName, pFormal->m_strValue, pFormal->m_strByReference);
    }
}
