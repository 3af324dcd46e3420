#include "sh_sdl/sdlchannel.h"

bool CSDLChannel::CarriesSignal(const std::string& strSignal) const {
    auto it = m_mapSignals.find(strSignal);
    return it != m_mapSignals.end() && it->second == strSignal;
}
