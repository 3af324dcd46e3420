#pragma once

// "From VELKO Server": follows a simulator run live. The client connects to
// the simulator's viewer server (three attempts, a second apart), sends the
// start message, builds the scene from the model description that comes
// first, then hands every animation record it receives to the record
// handlers until the end of replication. The client is itself the XML
// document each received message is loaded into.
//
// Thread contract:
// - LoadFromServer, SetServer and the readers of the address run on the
//   dialog thread (the address may be read from any thread).
// - ServeConnection runs on the scene's feeder thread: one connection at a
//   time, because a load stops and joins the feeder first. Its stop token
//   (signalled by the next load, or by the scene controller's destruction)
//   cancels a connect in progress, the wait between attempts and a blocked
//   receive, so the thread ends promptly; no lock is held while it waits on
//   the socket.
// - The client must outlive the connection: its destruction stops the
//   scene's feeder. The scene controller must outlive the client.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>

#include "clients/velkoeyedx/sh_dx/eyetarget.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "sh_aux/bidirecsocket.h"
#include "sh_aux/xmlparser.h"

class CServerClient : public CXMLParser {
public:
    // Waits the given time, or less when the stop token is signalled.
    using Sleeper = std::function<void(std::chrono::milliseconds, std::stop_token)>;

    static constexpr const char* kDefaultHost = "127.0.0.1";
    static constexpr int kDefaultPort = 8686;
    static constexpr int kConnectAttempts = 3;
    static constexpr std::chrono::milliseconds kRetryWait{1000};

    CServerClient(CSceneController& scene, CEyeTarget target);
    ~CServerClient() override;
    CServerClient(const CServerClient&) = delete;
    CServerClient& operator=(const CServerClient&) = delete;

    // The server's address, used from the next connection on.
    void SetServer(const std::string& strHost, int nPort);
    std::string GetHost() const;
    int GetPort() const;
    // Replaces the wait after a failed attempt (tests); empty restores the
    // default, which a stop ends at once.
    void SetSleeper(Sleeper fnSleep);

    // The whole command: takes the scene (emptying it) and the Parsing Log,
    // starts the connection on the scene's feeder thread and releases the
    // scene at once, without waiting for the connection.
    void LoadFromServer();

    // The server thread: connects, runs the connection to its end and writes
    // the outcome to the Syslog ("Connected to VELKO", then "Disconnected to
    // VEKLO"; or "Error connecting to VELKO").
    void ServeConnection(std::stop_token stop);
    // Up to three attempts on a fresh socket each, with the sleeper's wait
    // after every failed one; stops early when stop is signalled. True when
    // connected. A failure of the socket is logged in the Parsing Log.
    bool Connect(std::stop_token stop = {});
    // The connection: the start message, the model description, then every
    // record until the end of replication or a lost link; closes the socket.
    // A message that is no XML document is logged and skipped; a lost link
    // is logged (unless stop was signalled) and ends the connection.
    void Run(std::stop_token stop = {});
    bool IsConnected() const { return m_bConnected.load(); }

    // Sends the start message with the user name and password.
    static void SendStart(CBidirecSocket& socket, const std::string& strUser,
                          const std::string& strPassword);
    // The start message: the XML declaration and the "StatisticMsg" element,
    // laid out with tabs and spaces as the simulator's viewers send it.
    static std::string StartMessage(const std::string& strUser, const std::string& strPassword);

private:
    // Loads one received message; false, after a line in the Parsing Log,
    // when it is no XML document.
    bool LoadMessage(const std::string& strMessage);
    // Hands the message's records to their handlers; true when it holds the
    // end of replication.
    bool DispatchMessage();

    CSceneController& m_scene;
    const CEyeTarget m_target;

    mutable std::mutex m_mutexAddress;
    std::string m_strHost = kDefaultHost;
    int m_nPort = kDefaultPort;
    const std::string m_strUser;
    const std::string m_strPassword;
    Sleeper m_fnSleep;

    // One socket object for the client's whole life: never replaced, so
    // that a cancel from another thread always reaches a live object.
    CBidirecSocket m_socket;
    std::atomic<bool> m_bConnected{false};
};
