#include "velko/networkcommands.h"

#include "sh_aux/hpslib.h"
#include "sh_aux/ipaddress.h"
#include "sh_sdl/sdlengine.h"
#include "velko/commands.h"
#include "velko/mainfrm.h"

namespace {

bool IsLoopback(const std::string& strAddress) {
    return strAddress.rfind("127.", 0) == 0;
}

}  // namespace

CNetworkCommands::CNetworkCommands(CMainFrame& frame)
    : m_frame(frame), m_fnLookup([] { return GetExternalIP(); }) {}

CNetworkCommands::~CNetworkCommands() {
    // Its answer, posted to this object, goes with it.
    if (m_lookup.joinable()) {
        m_lookup.join();
    }
}

void CNetworkCommands::RegisterHandlers(CCommandTable& commands) {
    commands.SetHandler(ID_NET_LOCAL, [this] { OnLocal(); });
    commands.SetHandler(ID_NET_INTRANET, [this] { OnIntranet(); });
    commands.SetHandler(ID_NET_INTERNET, [this] { OnInternet(); });
}

std::string CNetworkCommands::ChooseIntranetAddress(const std::string& strList) {
    std::string strLast, strLastLoopback;
    std::string::size_type nStart = 0;
    while (nStart <= strList.size()) {
        std::string::size_type nEnd = strList.find('|', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strList.size();
        }
        const std::string strAddress = Trim(strList.substr(nStart, nEnd - nStart));
        if (!strAddress.empty()) {
            (IsLoopback(strAddress) ? strLastLoopback : strLast) = strAddress;
        }
        nStart = nEnd + 1;
    }
    return strLast.empty() ? strLastLoopback : strLast;
}

void CNetworkCommands::OnLocal() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine) {
        return;
    }
    pEngine->m_nIPMode = 0;
    pEngine->m_strIPAddress.clear();
    m_frame.WriteSystem("Local simulation: " + pEngine->m_strIPAddress);
}

void CNetworkCommands::OnIntranet() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine) {
        return;
    }
    pEngine->m_nIPMode = 1;
    pEngine->m_strIPAddress = ChooseIntranetAddress(GetLocalIPList());
    m_frame.WriteSystem("IP Intranet: " + pEngine->m_strIPAddress);
}

void CNetworkCommands::OnInternet() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine || m_bLookingUp) {
        return;
    }
    pEngine->m_nIPMode = 2;
    pEngine->m_strIPAddress.clear();
    if (m_lookup.joinable()) {
        m_lookup.join();  // the last lookup has posted its answer and ended
    }
    m_bLookingUp = true;
    const unsigned nGeneration = m_nEngineGeneration;
    m_lookup = std::thread([this, nGeneration, fnLookup = m_fnLookup] {
        std::string strList;
        try {
            strList = fnLookup();
        } catch (...) {
            strList.clear();  // no address: the line says so
        }
        QMetaObject::invokeMethod(
            this,
            [this, nGeneration, strList]() mutable {
                m_bLookingUp = false;
                CSDLEngine* pAnswered = m_frame.Engine();
                if (pAnswered && nGeneration == m_nEngineGeneration) {
                    // The last item, or the list when that is empty.
                    std::string strAddress = LastTokenChar(strList, '|');
                    pAnswered->m_strIPAddress = strAddress.empty() ? strList : strAddress;
                    m_frame.WriteSystem("IP Internet: " + pAnswered->m_strIPAddress);
                }
                m_frame.UpdateCommands();
                emit InternetAnswered();
            },
            Qt::QueuedConnection);
    });
    m_frame.UpdateCommands();
}
