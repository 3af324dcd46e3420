#include "sh_stat/estadisticsservidor.h"

#include "sh_aux/bidirecsocket.h"
#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_stat/xmlparserserver.h"

namespace {

const char* const kXmlDeclaration = "<?xml version='1.0' encoding='utf-8'?>";
// A message whose texts hold a control character that only XML 1.1 holds
// (as a reference).
const char* const kXml11Declaration = "<?xml version='1.1' encoding='utf-8'?>";
constexpr int kListenBacklog = 5;

// The viewer's start message: a control message asking to start. Its
// machine, user and password are not checked.
bool IsStartMessage(const std::string& strMessage) {
    try {
        CXMLParserServer parser;
        parser.LoadXML(strMessage);
        std::string strMachine, strUser, strPassword;
        return parser.ParseControl(strMachine, strUser, strPassword) == CTL_START;
    } catch (const std::exception&) {
        return false;  // no XML, or no control message
    }
}

// Hour, minute and second without leading zeros.
std::string FormatClockTime(const std::tm& tmNow) {
    return Format("%d:%d:%d", tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
}

// Day, month (1 to 12) and the four-digit year, without leading zeros.
std::string FormatClockDate(const std::tm& tmNow) {
    return Format("%d-%d-%d", tmNow.tm_mday, tmNow.tm_mon + 1, tmNow.tm_year + 1900);
}

}  // namespace

CEstadisticsServidor::CEstadisticsServidor(CNotifier* pNotifier) : m_pNotifier(pNotifier) {}

CEstadisticsServidor::~CEstadisticsServidor() {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    if (m_pConnection) {
        m_pConnection->Cancel();
    }
    if (m_pListener) {
        m_pListener->Cancel();
    }
    m_pConnection.reset();
    m_pListener.reset();
}

unsigned int CEstadisticsServidor::GetBoundPort() const {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    return m_pListener ? m_pListener->GetBoundPort() : 0;
}

void CEstadisticsServidor::SetClock(ClockFunction fnClock) {
    m_fnClock = std::move(fnClock);
}

std::tm CEstadisticsServidor::Now() const {
    if (m_fnClock) {
        return m_fnClock();
    }
    const std::time_t tNow = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&tNow, &tmNow);
    return tmNow;
}

void CEstadisticsServidor::Init() {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    m_pConnection = std::make_unique<CBidirecSocket>();
    m_pListener = std::make_unique<CBidirecSocket>();
    m_bConnected.store(false);
    m_bAccepting.store(false);
    m_bCancelRequested.store(false);
}

void CEstadisticsServidor::WaitForClient() {
    CBidirecSocket::InitSockets();
    m_bAccepting.store(true);

    bool bListening = false;
    {
        std::lock_guard<std::mutex> lock(m_mutexSockets);
        if (!m_pConnection || !m_pListener) {
            // Waiting again after Close without a new Init.
            m_pConnection = std::make_unique<CBidirecSocket>();
            m_pListener = std::make_unique<CBidirecSocket>();
        }
        // Listening happens under the lock so that GetBoundPort names a port
        // only once a viewer can connect to it.
        if (!m_bCancelRequested.load()) {
            bListening = m_pListener->CreateServer(m_nDataPort, m_strListenAddress) != 0 &&
                         m_pListener->Listen(kListenBacklog);
        }
    }

    // The blocking calls run without the lock: CancelWait needs it to end them.
    // A connection that is no viewer (it closes, stays silent past the start
    // time-out, or sends something else first) is dropped, and the wait goes
    // on for the viewer: the first comer does not own the run's viewer slot.
    bool bStarted = false;
    while (bListening && !bStarted && !m_bCancelRequested.load() &&
           m_pListener->Accept(*m_pConnection)) {
        m_pConnection->AttachArchives();
        m_pConnection->SetReceiveTimeout(m_nStartTimeoutMs);
        DebugOutput(">>>>>> Conexión escritura aceptada al cliente \n");
        DebugOutput(">>>>>> Esperando Mensaje Inicio Modelo \n");
        try {
            std::string strStart;
            m_pConnection->recibeMsj(strStart);
            bStarted = IsStartMessage(strStart);
        } catch (const CCustomException&) {
            // Gone, silent too long, or the wait was cancelled.
        }
        if (!bStarted) {
            std::lock_guard<std::mutex> lock(m_mutexSockets);
            m_pConnection->Close();
        }
    }

    bool bConnected = false;
    {
        // Decided under the lock, so that a cancel either lands before the
        // link counts as connected or finds it connected and leaves it alone.
        std::lock_guard<std::mutex> lock(m_mutexSockets);
        if (bStarted && !m_bCancelRequested.load()) {
            bConnected = true;
            m_pConnection->SetReceiveTimeout(0);
            m_pConnection->SetSendTimeout(m_nSendTimeoutMs);
        } else {
            m_pConnection->Close();
            m_pListener->Close();
        }
        m_bConnected.store(bConnected);
    }
    if (bConnected) {
        DebugOutput(">>>>>> Mensaje Inicio Modelo recibido\n");
    }
    m_bAccepting.store(false);
}

void CEstadisticsServidor::CancelWait() {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    m_bCancelRequested.store(true);
    if (m_pListener) {
        m_pListener->Cancel();
    }
    // A viewer that connected but has not sent its start message must not
    // keep the wait blocked; an established link is left alone.
    if (m_pConnection && !m_bConnected.load()) {
        m_pConnection->Cancel();
    }
}

void CEstadisticsServidor::DropLink() {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    if (m_pConnection) {
        m_pConnection->Cancel();
    }
}

void CEstadisticsServidor::SendModelInfo(const std::string& strModelName,
                                         const std::string& strAgentsXml) {
    const std::tm tmNow = Now();
    std::string strMessage = "\t<ModelInfo> \t\t<ModelName>";
    strMessage += strModelName;
    strMessage += "</ModelName> \t\t<ModelType></ModelType> \t\t<ConnectionTime Format='hh:mm:ss'>";
    strMessage += FormatClockTime(tmNow);
    strMessage += "</ConnectionTime> \t\t<ConnectionDate Format='dd:mm:yy'>";
    strMessage += FormatClockDate(tmNow);
    strMessage += "</ConnectionDate>";
    strMessage += "<Agents>";
    strMessage += strAgentsXml;
    strMessage += "</Agents></ModelInfo>";
    if (HasXmlReferencedCharacters(strMessage)) {
        // A name holds a character XML holds only as a reference.
        std::string strReferenced;
        if (AppendXmlCharacterReferences(strReferenced, strMessage)) {
            strReferenced.insert(0, kXml11Declaration);
        }
        strMessage.swap(strReferenced);
    }
    SendRaw(strMessage);
}

void CEstadisticsServidor::Send(const std::string& strBody, bool bXml11) {
    SendRaw((bXml11 ? kXml11Declaration : kXmlDeclaration) + strBody);
}

void CEstadisticsServidor::SendEndReplication() {
    Send("<EndReplication />");
}

void CEstadisticsServidor::SendStartSimulation() {
    const std::tm tmNow = Now();
    std::string strMessage = " \t";
    strMessage += kXmlDeclaration;
    strMessage += " \t<StartSimulation> \t\t<Time Format='hh:mm:ss'>";
    strMessage += FormatClockTime(tmNow);
    strMessage += "</Time> \t\t<Date Format='dd:mm:yy'>";
    strMessage += FormatClockDate(tmNow);
    strMessage += "</Date> \t</StartSimulation>";
    SendRaw(strMessage);
}

void CEstadisticsServidor::Close() {
    SendEndReplication();
    ReleaseSockets();
}

void CEstadisticsServidor::SendRaw(const std::string& strMessage) {
    if (!m_bConnected.load() || !m_pConnection) {
        return;
    }
    try {
        m_pConnection->enviaMsj(strMessage);
    } catch (const CCustomException& e) {
        // The viewer has gone away. The run goes on without it: the link is
        // dropped, so later sends do nothing and the user hears of the loss
        // once.
        ReleaseSockets();
        CNotifier& notifier = m_pNotifier != nullptr ? *m_pNotifier : GetNotifier();
        notifier.MessageBox("VELKO", e.GetMessageText(), NB_OK, NI_ERROR);
    }
}

void CEstadisticsServidor::ReleaseSockets() {
    std::lock_guard<std::mutex> lock(m_mutexSockets);
    m_bConnected.store(false);
    m_pConnection.reset();
    m_pListener.reset();
}
