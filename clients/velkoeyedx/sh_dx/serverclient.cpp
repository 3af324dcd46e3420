#include "clients/velkoeyedx/sh_dx/serverclient.h"

#include <condition_variable>
#include <utility>

#include "clients/velkoeyedx/sh_dx/eyerecords.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

// The simulator does not read the machine name; any fixed text does.
const char* const kMachineName = "VIEWERPC";

void WaitUnlessStopped(std::chrono::milliseconds tWait, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, stop, tWait, [] { return false; });
}

}  // namespace

CServerClient::CServerClient(CSceneController& scene, CEyeTarget target)
    : m_scene(scene), m_target(std::move(target)), m_fnSleep(WaitUnlessStopped) {}

CServerClient::~CServerClient() {
    m_scene.StopFeeder();
}

void CServerClient::SetServer(const std::string& strHost, int nPort) {
    std::lock_guard<std::mutex> lock(m_mutexAddress);
    m_strHost = strHost;
    m_nPort = nPort;
}

std::string CServerClient::GetHost() const {
    std::lock_guard<std::mutex> lock(m_mutexAddress);
    return m_strHost;
}

int CServerClient::GetPort() const {
    std::lock_guard<std::mutex> lock(m_mutexAddress);
    return m_nPort;
}

void CServerClient::SetSleeper(Sleeper fnSleep) {
    m_fnSleep = fnSleep ? std::move(fnSleep) : Sleeper(WaitUnlessStopped);
}

std::string CServerClient::StartMessage(const std::string& strUser,
                                        const std::string& strPassword) {
    const std::string s6 = " " + std::string(6, '\t');
    const std::string s8 = " " + std::string(8, '\t');
    const std::string s9 = " " + std::string(9, '\t');
    return "\t<?xml version='1.0' encoding='utf-8'?>" + s6 +
           "<!--  Mensaje de EVENTO del usuario sobre el servidor -->" + s6 + "<StatisticMsg>" +
           s8 + "<Operacion ID ='Start'>" + s9 + "<MaquinaID ID='" + kMachineName + "'/>" + s9 +
           "<UsuarioID ID='" + strUser + "'/>" + s9 + "<Password PASS='" + strPassword + "'/>" +
           s8 + "</Operacion>" + s6 + "</StatisticMsg>";
}

void CServerClient::SendStart(CBidirecSocket& socket, const std::string& strUser,
                              const std::string& strPassword) {
    socket.enviaMsj(StartMessage(strUser, strPassword));
}

void CServerClient::LoadFromServer() {
    m_scene.Lock();
    m_target.ClearParsingLog();
    m_scene.StartFeeder([this](std::stop_token stop) { ServeConnection(std::move(stop)); });
    m_scene.Unlock();
}

void CServerClient::ServeConnection(std::stop_token stop) {
    // A stop ends whatever the socket is blocked in. A stop that came before
    // this point runs the cancel at once; Connect and Run look at the token
    // too, since closing the socket forgets a cancel.
    std::stop_callback cancel(stop, [this] { m_socket.Cancel(); });
    if (!Connect(stop)) {
        m_target.Syslog("Error connecting to VELKO");
        return;
    }
    m_target.Syslog("Connected to VELKO");
    Run(stop);
    m_target.Syslog("Disconnected to VEKLO");
}

bool CServerClient::Connect(std::stop_token stop) {
    m_bConnected.store(false);
    const std::string strHost = GetHost();
    const int nPort = GetPort();
    try {
        CBidirecSocket::InitSockets();
        for (int nAttempt = 0; nAttempt < kConnectAttempts && !m_bConnected.load(); ++nAttempt) {
            // Every attempt starts from a closed socket: a new OS socket.
            m_socket.Close();
            if (stop.stop_requested()) {
                break;
            }
            m_bConnected.store(nPort >= 0 &&
                               m_socket.ConnectClient(strHost, static_cast<unsigned>(nPort)) == 1);
            if (!m_bConnected.load()) {
                m_fnSleep(kRetryWait, stop);
            }
        }
    } catch (const CCustomException& e) {
        m_target.ParsingLog(e.GetMessageText());
    } catch (...) {
        m_target.ParsingLog("Undefined Exception");
    }
    if (!m_bConnected.load()) {
        m_socket.Close();
    }
    return m_bConnected.load();
}

bool CServerClient::LoadMessage(const std::string& strMessage) {
    try {
        LoadXML(strMessage);
        return true;
    } catch (const CXMLParseException& e) {
        m_target.ParsingLog(e.what());
        return false;
    }
}

bool CServerClient::DispatchMessage() {
    for (const CEyeRecordKind& kind : kEyeRecords) {
        if (const CXMLNode record = FindChild(nullptr, kind.strName)) {
            kind.fnHandle(*this, record, m_target);
        }
    }
    return static_cast<bool>(FindChild(nullptr, "EndReplication"));
}

void CServerClient::Run(std::stop_token stop) {
    m_socket.AttachArchives();
    try {
        SendStart(m_socket, m_strUser, m_strPassword);
        std::string strMessage;
        m_socket.recibeMsj(strMessage);
        if (LoadMessage(strMessage)) {
            if (const CXMLNode modelInfo = FindChild(nullptr, "ModelInfo")) {
                ReadModelInfo(*this, modelInfo, m_target);
            }
        }
        for (bool bEnd = false; !bEnd;) {
            m_socket.recibeMsj(strMessage);
            bEnd = LoadMessage(strMessage) && DispatchMessage();
        }
    } catch (const CCustomException& e) {
        // A lost link; when this thread is being stopped the loss is its own.
        if (!stop.stop_requested()) {
            m_target.ParsingLog(e.GetMessageText());
        }
    } catch (...) {
        m_target.ParsingLog("Undefined Exception");
    }
    m_socket.CloseOutput();
    m_socket.Close();
    m_bConnected.store(false);
}
