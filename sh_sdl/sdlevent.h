#pragma once

// One signal instance: times, priority, target cells, routing texts and the
// user parameters it carries.

#include <string>

#include "sh_sdl/sdlparameter.h"

class CSDLEvent {
public:
    CSDLEvent() = default;
    // Deep copy: every user parameter is re-made with the source's type, name
    // and value and the by-reference mark "no".
    CSDLEvent(const CSDLEvent& other);
    CSDLEvent& operator=(const CSDLEvent&) = delete;

    // The event as one XML fragment: the params element, then the user
    // parameters when there are any. Attribute values are escaped.
    std::string GetXml() const;

    double m_dCreationTime = 0.0;
    std::string m_strCreationTime;
    double m_dExecutionTime = 0.0;
    std::string m_strExecutionTime;
    double m_dDelay = 0.0;
    std::string m_strDelay;
    int m_nTag = 0;
    std::string m_strCodeId;
    std::string m_strId;
    int m_nPriority = 0;
    std::string m_strPriority;
    std::string m_strName;
    std::string m_strType;
    bool m_bRemote = false;
    std::string m_strRealTime;
    int m_nCell = -1;
    std::string m_strCells;
    CParameterMap m_mapUserParams;
    std::string m_strCameThrough;
    std::string m_strTo;
    std::string m_strRoute;
};
