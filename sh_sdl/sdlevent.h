#pragma once

// One signal instance: times, priority, target cells, routing texts and the
// user parameters it carries.

#include <memory>
#include <string>
#include <string_view>

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
    // Appends the same text to strOut.
    void AppendXml(std::string& strOut) const;

    // The event as the text of a remote message: twelve comma-separated
    // fields (creation time, delay, execution time, integer tag, came
    // through, code ID, priority, remote, name, route, to, cell), then name,
    // type and value of each user parameter. A field's "%", "," and blanks
    // travel as "%XX", so every text arrives as it was sent and the times
    // arrive exactly.
    std::string GetRemoteText() const;
    // Fills the event from a text of GetRemoteText's form and marks it
    // remote. False, with the event in an unspecified state, when the text
    // has fewer than twelve fields, a number that does not read, a time or
    // cell that is not finite or out of range, or an incomplete parameter.
    bool ParseRemoteText(std::string_view strText);

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
    // How many signals came before this one at its time, each sent while the
    // one before it was taken: a chain that never ends is a model whose time
    // does not advance. Not carried to other instances.
    int m_nSameTimeChain = 0;
    // Held by a signal received from another instance while it is not yet
    // handled, which bounds how many such signals may wait; a copy holds
    // nothing.
    std::shared_ptr<void> m_pDeliveryHold;
};
