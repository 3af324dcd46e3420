#pragma once

// Common part of both channel ends: the name, the delivery mode and the set
// of signals the channel carries.

#include <string>

#include "sh_aux/namemap.h"

class CSDLChannel {
public:
    CSDLChannel() = default;
    explicit CSDLChannel(std::string strName) : m_strName(std::move(strName)) {}

    // True when the channel carries the signal (the signal map maps the name
    // to itself).
    bool CarriesSignal(const std::string& strSignal) const;
    void AddSignal(const std::string& strSignal) { m_mapSignals[strSignal] = strSignal; }

    std::string m_strName;
    // Set: always delivered inside this simulator instance.
    bool m_bLocalDelivery = true;
    CNameMap<std::string> m_mapSignals;
};
