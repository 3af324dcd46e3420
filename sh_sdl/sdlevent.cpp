#include "sh_sdl/sdlevent.h"

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
      m_strRoute(other.m_strRoute) {
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
    std::string strXml = Format(
        "<params to=\"%s\" creationtime=\"%f\" delay=\"%f\" executiontime=\"%f\" priority=\"%d\" "
        "type=\"%s\" cells=\"%s\"></params>",
        EscapeXmlAttribute(m_strTo).c_str(), m_dCreationTime, m_dDelay, m_dExecutionTime, m_nPriority,
        EscapeXmlAttribute(m_strName).c_str(), EscapeXmlAttribute(m_strCells).c_str());
    if (!m_mapUserParams.empty()) {
        strXml += "<userparams>";
        for (const auto& [strKey, pParam] : m_mapUserParams) {
            if (!pParam) {
                continue;
            }
            strXml +=
                Format("<userparam name=\"%s\" type=\"%s\" value=\"%s\"></userparam>",
                       EscapeXmlAttribute(pParam->m_strName).c_str(), EscapeXmlAttribute(pParam->m_strType).c_str(),
                       EscapeXmlAttribute(pParam->m_strValue).c_str());
        }
        strXml += "</userparams>";
    }
    return strXml;
}
