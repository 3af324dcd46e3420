#include "sh_stat/dominiodebugserver.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"

namespace {

constexpr int kListenBacklog = 5;

const char* const kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";

const char* const kModelInfo =
    "<?xml version='1.0' encoding='utf-8'?> <StatisticMsg> <!-- Informacion del modelo --> "
    "<ConnectionTime Format='hh:mm:ss'>18:29:23</ConnectionTime> "
    "<ConnectionDate Format='dd:mm:yy'>18:09:07</ConnectionDate> "
    "<ModelName> Sala de servidores </ModelName> "
    "<Element ID='servidores'> <Atrib Nom='servidor1' ID='s1'/> <Atrib Nom='servidor2' ID='s2'/> "
    "<Atrib Nom='servidor3' ID='s3'/> <Atrib Nom='servidor4' ID='s4'/> "
    "<Atrib Nom='servidor5' ID='s5'/> <Atrib Nom='servidor6' ID='s6'/> "
    "<Atrib Nom='servidor7' ID='s7'/> <Atrib Nom='servidor8' ID='s8'/> "
    "<Atrib Nom='servidor9' ID='s9'/> </Element> "
    "<Element ID='Habitacion'> <Atrib Nom='hab0' ID='h0'/> <Atrib Nom='hab2' ID='h2'/> "
    "<Atrib Nom='hab4' ID='h4'/> <Atrib Nom='hab6' ID='h6'/> <Atrib Nom='hab8' ID='h8'/> "
    "</Element> </StatisticMsg>";

const char* const kEndReplica =
    "<?xml version='1.0' encoding='utf-8'?><!--  Mensaje de inicio --><StatisticMsg>"
    "<FinReplica SISTEMA='S'></FinReplica></StatisticMsg>";

// The values of one round of the demonstration: the last digit v of the
// clock's seconds times the round's number names the server and the room
// and is their value; an even product also carries categories. Only last
// digits are multiplied, so no round number can overflow the product.
std::string DemoValues(std::int64_t nRound) {
    const std::int64_t nTime = static_cast<std::int64_t>(std::time(nullptr));
    const std::string strTime = Format("%lld", static_cast<long long>(nTime));
    const char* pszTime = strTime.c_str();
    const int v = static_cast<int>((nTime % 10) * (nRound % 10) % 10);
    if (v % 2 == 0) {
        return Format(
            "<Element ID='servidores'><ValorAtributo ID='s%d'><Tiempo>%s</Tiempo>"
            "<Categoria>Parado</Categoria><Valor>%d</Valor></ValorAtributo>"
            "<ValorAtributo ID='s%d'><Tiempo>%s</Tiempo><Categoria>Running</Categoria>"
            "<Valor>%d</Valor></ValorAtributo></Element><Element ID='Habitacion'>"
            "<ValorAtributo ID='h%d'><Categoria>Llena</Categoria><Tiempo>%s</Tiempo>"
            "<Valor>%d</Valor></ValorAtributo></Element>",
            v, pszTime, v, v, pszTime, v, v, pszTime, v);
    }
    return Format(
        "<Element ID='servidores'><ValorAtributo ID='s%d'><Tiempo>%s</Tiempo><Valor>%d</Valor>"
        "</ValorAtributo></Element><Element ID='Habitacion'><ValorAtributo ID='h%d'>"
        "<Tiempo>%s</Tiempo><Valor>%d</Valor></ValorAtributo></Element>",
        v, pszTime, v, v, pszTime, v);
}

const char* OperationName(int nOperation) {
    switch (nOperation) {
        case CTL_START:
            return "START";
        case CTL_PAUSE:
            return "PAUSE";
        case CTL_STOP:
            return "STOP";
        default:
            return "";
    }
}

}  // namespace

CDominioDebugServer::CCallGuard::CCallGuard(CDominioDebugServer& rServer) : m_rServer(rServer) {
    std::lock_guard<std::mutex> lock(m_rServer.m_mutexCalls);
    ++m_rServer.m_nActiveCalls;
}

CDominioDebugServer::CCallGuard::~CCallGuard() {
    // Notified under the lock: once the destructor sees no call, this thread
    // touches the server no more.
    std::lock_guard<std::mutex> lock(m_rServer.m_mutexCalls);
    --m_rServer.m_nActiveCalls;
    m_rServer.m_cvCalls.notify_all();
}

CDominioDebugServer::CDominioDebugServer(CNotifier* pNotifier) : m_pNotifier(pNotifier) {}

CDominioDebugServer::~CDominioDebugServer() {
    // Stopped and cancelled again and again: a call that was just beginning,
    // and so forgot an earlier cancel, or a Close that cleared the stop, is
    // ended by the next round.
    std::unique_lock<std::mutex> lock(m_mutexCalls);
    do {
        m_bStop.store(true);
        CancelWait();
    } while (!m_cvCalls.wait_for(lock, std::chrono::milliseconds(10),
                                 [this] { return m_nActiveCalls == 0; }));
}

void CDominioDebugServer::SetPort(unsigned int nPort) {
    m_nDataPort = nPort;
}

void CDominioDebugServer::SetControlPort(unsigned int nPort) {
    m_nControlPort.store(nPort);
}

void CDominioDebugServer::CancelWait() {
    m_listener.Cancel();
    m_connection.Cancel();
    m_controlListener.Cancel();
    m_controlConnection.Cancel();
}

bool CDominioDebugServer::Listen(CBidirecSocket& rListener, std::optional<unsigned int> nPort) {
    CBidirecSocket::InitSockets();
    if (nPort && rListener.CreateServer(*nPort) != 0 && rListener.Listen(kListenBacklog)) {
        return true;
    }
    if (!rListener.IsCancelled()) {
        ReportError(nPort ? Format("Error: no se puede escuchar en el puerto %u", *nPort)
                          : std::string("Error: el puerto de datos no está fijado"));
    }
    return false;
}

int CDominioDebugServer::Parse(const std::string& strMessage, std::string& strUser,
                               std::string& strPassword) {
    std::lock_guard<std::mutex> lock(m_mutexParser);
    try {
        m_parser.LoadXML(strMessage);
        std::string strMachine;
        return m_parser.ParseControl(strMachine, strUser, strPassword);
    } catch (const CCustomException& e) {
        ReportError(e.GetMessageText());
    } catch (const CXMLParseException& e) {
        ReportError(std::string("Error: ") + e.what());
    }
    return CTL_FAILED;
}

bool CDominioDebugServer::WaitForClient() {
    CCallGuard guard(*this);
    // A new wait forgets the cancels of earlier ones.
    m_listener.Close();
    m_connection.Close();
    const bool bAccepted =
        !m_bStop.load() && Listen(m_listener, m_nDataPort) && m_listener.Accept(m_connection);
    // One client per run: the port is free again once it has come.
    m_listener.Close();
    bool bStarted = false;
    if (bAccepted && !m_bStop.load()) {
        m_connection.AttachArchives();
        // A client that never sends its start message does not hold the
        // server for ever.
        m_connection.SetReceiveTimeout(m_nFirstMessageTimeoutMs.load());
        DebugOutput(">>>>>> Conexión aceptada al cliente \n");
        DebugOutput(">>>>>> RecibeMensajeInicio \n");
        std::string strMessage;
        try {
            m_connection.recibeMsj(strMessage);
            std::string strUser, strPassword;
            bStarted = Parse(strMessage, strUser, strPassword) != CTL_FAILED;
            m_connection.SetReceiveTimeout(0);
        } catch (const CCustomException&) {
            // Cancelled, silent too long, or gone before its start message.
        }
    }
    if (!bStarted) {
        m_connection.Close();
    }
    m_bStarted.store(bStarted);
    return bStarted;
}

bool CDominioDebugServer::SendMessage(const std::string& strMessage) {
    CCallGuard guard(*this);
    if (!m_connection.IsOpen()) {
        return false;
    }
    try {
        m_connection.enviaMsj(strMessage);
    } catch (const CCustomException&) {
        return false;  // the client is lost; the link stays lost until Close
    }
    return true;
}

void CDominioDebugServer::SendModelInfo() {
    SendMessage(kModelInfo);
}

void CDominioDebugServer::AddValue(const std::string& strElement, const std::string& strAttribute,
                                   const std::string& strValue, const std::string& strTime) {
    const std::string strEntry = Format(
        "<Element ID='%s'> \n <ValorAtributo ID='%s'> \n  <Tiempo>%s</Tiempo> \n"
        "  <Valor>%s</Valor> \n </ValorAtributo> \n</Element>",
        EscapeXml(strElement).c_str(), EscapeXml(strAttribute).c_str(), EscapeXml(strTime).c_str(),
        EscapeXml(strValue).c_str());
    std::lock_guard<std::mutex> lock(m_mutexLists);
    m_strValues += strEntry;
}

void CDominioDebugServer::AddCategoryValue(const std::string& strElement,
                                           const std::string& strAttribute,
                                           const std::string& strCategory,
                                           const std::string& strTime,
                                           const std::string& strValue) {
    const std::string strEntry = Format(
        "<Element ID='%s'> \n <ValorAtributo ID='%s'> \n   <Categoria>%s</Categoria> \n"
        "   <Tiempo>%s</Tiempo> \n   <Valor>%s</Valor> \n </ValorAtributo> \n</Element>",
        EscapeXml(strElement).c_str(), EscapeXml(strAttribute).c_str(),
        EscapeXml(strCategory).c_str(), EscapeXml(strTime).c_str(), EscapeXml(strValue).c_str());
    std::lock_guard<std::mutex> lock(m_mutexLists);
    m_strCategoryValues += strEntry;
}

std::string CDominioDebugServer::ValueMessage(const std::string& strList) {
    return std::string(kDeclaration) + "<StatisticMsg><!-- Valor de los atributos -->" + strList +
           "</StatisticMsg>";
}

bool CDominioDebugServer::SendList(const std::string& strList) {
    std::unique_lock<std::mutex> lock(m_mutexLists);
    const std::string strMessage = ValueMessage(strList);
    lock.unlock();
    return SendMessage(strMessage);
}

bool CDominioDebugServer::SendValues() {
    return SendList(m_strValues);
}

bool CDominioDebugServer::SendCategoryValues() {
    return SendList(m_strCategoryValues);
}

void CDominioDebugServer::ValueLoop() {
    CCallGuard guard(*this);
    CBidirecSocket::InitSockets();
    m_bRunning.store(true);
    while (!m_bStop.load()) {
        const bool bCategories = m_bSendCategories.load();
        const bool bValues = m_bSendValues.load();
        if ((bCategories && !SendCategoryValues()) || (bValues && !SendValues())) {
            break;
        }
        if (!bCategories && !bValues) {
            // Nothing to send: wait for a choice or the stop without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    m_bRunning.store(false);
}

void CDominioDebugServer::SendEndReplica() {
    SendMessage(kEndReplica);
}

void CDominioDebugServer::Close() {
    CCallGuard guard(*this);
    SendEndReplica();
    m_bStop.store(false);
    m_connection.Close();
    m_bRunning.store(false);
    m_bStarted.store(false);
}

void CDominioDebugServer::RunDemo() {
    CCallGuard guard(*this);
    if (WaitForClient() && !m_bStop.load()) {
        SendModelInfo();
        m_bRunning.store(true);
        for (std::int64_t nRound = 1; !m_bStop.load(); ++nRound) {
            if (!SendMessage(ValueMessage(DemoValues(nRound)))) {
                break;
            }
        }
    }
    Close();
}

int CDominioDebugServer::ReadControl() {
    CCallGuard guard(*this);
    m_controlListener.Close();
    m_controlConnection.Close();
    const bool bAccepted = Listen(m_controlListener, m_nControlPort.load()) &&
                           m_controlListener.Accept(m_controlConnection);
    m_controlListener.Close();
    int nOperation = CTL_FAILED;
    if (bAccepted) {
        m_controlConnection.AttachArchives();
        // A peer that connects and says nothing would hold the port for good.
        m_controlConnection.SetReceiveTimeout(m_nFirstMessageTimeoutMs.load());
        std::string strMessage;
        try {
            m_controlConnection.recibeMsj(strMessage);
            std::string strUser, strPassword;
            nOperation = Parse(strMessage, strUser, strPassword);
            if (nOperation != CTL_FAILED) {
                // The password is read with the message but never shown.
                Notifier().MessageBox("VELKO",
                                      Format("Evento: %s del usario '%s'",
                                             OperationName(nOperation), strUser.c_str()),
                                      NB_OK, NI_INFORMATION);
            }
        } catch (const CCustomException&) {
            // Cancelled, silent too long, or the client went away before its
            // message.
        }
    }
    m_controlConnection.Close();
    return nOperation;
}

CNotifier& CDominioDebugServer::Notifier() const {
    return m_pNotifier != nullptr ? *m_pNotifier : GetNotifier();
}

void CDominioDebugServer::ReportError(const std::string& strText) {
    Notifier().MessageBox("VELKO", strText, NB_OK, NI_ERROR);
}
