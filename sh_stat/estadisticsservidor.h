#pragma once

// The viewer connection server: lets one 3D viewer follow a run live.
//
// The link, message by message (each one string of the socket channel):
//   1. viewer -> server: the viewer's start message, read and ignored;
//   2. server -> viewer: the model info (no XML declaration);
//   3. server -> viewer: every trace record of the run, each behind the XML
//      declaration;
//   4. server -> viewer: the end of replication, behind the XML declaration.
//
// The server knows nothing of the model: the run start hands it the model's
// name and its agents text when it sends the model info.
//
// Threads: Init, WaitForClient, the sends and Close belong to the simulation
// thread. CancelWait, IsConnected, IsAccepting and GetBoundPort may be called
// from any thread. The object may be destroyed only when no other thread is
// inside one of its operations.

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CBidirecSocket;
class CNotifier;

class CEstadisticsServidor {
public:
    static constexpr unsigned int kDefaultDataPort = 8686;

    // The local time the connection time and date are taken from.
    using ClockFunction = std::function<std::tm()>;

    // pNotifier receives the report of a lost link; nullptr: the notifier
    // installed at the time of the report (GetNotifier()).
    explicit CEstadisticsServidor(CNotifier* pNotifier = nullptr);
    // Changes who receives the report (not while a run uses the server).
    void SetNotifier(CNotifier* pNotifier) { m_pNotifier = pNotifier; }
    // Cancels any blocking call and releases both sockets.
    ~CEstadisticsServidor();

    CEstadisticsServidor(const CEstadisticsServidor&) = delete;
    CEstadisticsServidor& operator=(const CEstadisticsServidor&) = delete;

    // The port the next wait listens on (0: any free port, see GetBoundPort).
    void SetDataPort(unsigned int nPort) { m_nDataPort = nPort; }
    unsigned int GetDataPort() const { return m_nDataPort; }
    // The local address the next wait listens on; empty (the default) means
    // every local address.
    void SetListenAddress(const std::string& strAddress) { m_strListenAddress = strAddress; }
    // The port the server is listening on now; 0 when it is not listening.
    unsigned int GetBoundPort() const;
    // Replaces the source of local time; an empty function restores the
    // system clock.
    void SetClock(ClockFunction fnClock);

    // Prepares a run: fresh sockets (releasing those of an earlier run),
    // connected and accepting cleared, an earlier cancel forgotten.
    void Init();
    // Blocks until a viewer has connected and sent its start message, or the
    // wait is cancelled or fails; IsConnected tells which. Listens with a
    // backlog of 5 and accepts a single viewer; the listening socket stays
    // open until Close. A connection that closes, sends no start message
    // within the start time-out, or sends something else, is dropped and
    // the wait goes on for the next one.
    void WaitForClient();
    // Ends the wait of WaitForClient promptly, also when a viewer has
    // connected but not yet sent its start message. A cancel that comes after
    // Init and before the wait makes the wait return at once.
    void CancelWait();
    // Ends an established link at once (a send in progress fails); for an
    // engine that closes while a run may still be sending.
    void DropLink();
    // How long a send to the viewer may stall before the viewer counts as
    // lost (it stopped reading); 10 s unless set before the wait.
    void SetSendTimeout(int nMilliseconds) { m_nSendTimeoutMs = nMilliseconds; }
    // How long a new connection has to send its start message; 5 s unless
    // set before the wait.
    void SetStartTimeout(int nMilliseconds) { m_nStartTimeoutMs = nMilliseconds; }

    bool IsConnected() const { return m_bConnected.load(); }
    bool IsAccepting() const { return m_bAccepting.load(); }

    // Sends the model-info message. Nothing happens when no viewer is
    // connected.
    void SendModelInfo(const std::string& strModelName, const std::string& strAgentsXml);
    // Sends the XML declaration immediately followed by strBody, as one
    // message; with bXml11 the declaration says 1.1 (strBody holds a
    // reference to a control character, which only 1.1 holds). Nothing
    // happens when no viewer is connected.
    void Send(const std::string& strBody, bool bXml11 = false);
    void SendEndReplication();
    // Sends the start-of-simulation message.
    void SendStartSimulation();
    // Sends the end of replication, closes the link and releases both
    // sockets; connected is cleared.
    void Close();

private:
    void SendRaw(const std::string& strMessage);
    // Closes and releases both sockets and clears connected.
    void ReleaseSockets();
    std::tm Now() const;

    int m_nSendTimeoutMs = 10000;
    int m_nStartTimeoutMs = 5000;
    CNotifier* m_pNotifier;
    unsigned int m_nDataPort = kDefaultDataPort;
    std::string m_strListenAddress;
    ClockFunction m_fnClock;

    // The accepted viewer connection and the socket that listens and
    // accepts. Replaced and closed only by the simulation thread, always
    // under m_mutexSockets, so that CancelWait and GetBoundPort from other
    // threads never reach a socket that is being released.
    std::unique_ptr<CBidirecSocket> m_pConnection;
    std::unique_ptr<CBidirecSocket> m_pListener;
    mutable std::mutex m_mutexSockets;

    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bAccepting{false};
    // Set by CancelWait, cleared by Init; guarded by m_mutexSockets where it
    // must agree with the connected flag.
    std::atomic<bool> m_bCancelRequested{false};
};
