#pragma once

// A stand-alone test server for statistics clients. On its data port it
// accepts one client, reads the client's start message, answers with a fixed
// demonstration model ("Sala de servidores": nine servers and five rooms),
// streams attribute values until it is told to stop and ends with the end of
// the replica. On its control port it takes one control message (start,
// pause, stop) and shows it in a box, with the user who sent it (never the
// password). Nothing in the programs starts it.
//
// The data link, message by message:
//   1. client -> server: a control message (whatever its operation);
//   2. server -> client: the demonstration model;
//   3. server -> client: attribute values, as fast as the client reads;
//   4. server -> client: the end of the replica, then the link closes.
//
// Threads: WaitForClient, the sends, ValueLoop, RunDemo and Close belong to
// one thread at a time; ReadControl may run on another. SetStop, CancelWait,
// the flags, AddValue and AddCategoryValue may be called from any thread.
// Destroying the server ends every call still blocked in it and waits until
// each has left before the server goes.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "sh_aux/bidirecsocket.h"
#include "sh_stat/xmlparserserver.h"

class CNotifier;

// ReadControl's result when no control message was read.
constexpr int CTL_FAILED = -1;

class CDominioDebugServer {
public:
    static constexpr unsigned int kDefaultControlPort = 8687;
    static constexpr int kDefaultFirstMessageTimeoutMs = 30000;

    // pNotifier shows the control events and the failures; nullptr: the
    // notifier installed at the time (GetNotifier()).
    explicit CDominioDebugServer(CNotifier* pNotifier = nullptr);
    ~CDominioDebugServer();

    CDominioDebugServer(const CDominioDebugServer&) = delete;
    CDominioDebugServer& operator=(const CDominioDebugServer&) = delete;

    // The data port. It has no default: WaitForClient and RunDemo fail until
    // it is set. 0 listens on any free port (see GetBoundPort).
    void SetPort(unsigned int nPort);
    // The control port, 8687 unless set; 0 listens on any free port.
    void SetControlPort(unsigned int nPort);
    // How long a peer may take to send its first message (a client its start
    // message, a control peer its control message) before it is dropped:
    // 30 s unless set before WaitForClient or ReadControl.
    void SetFirstMessageTimeout(int nMilliseconds) {
        m_nFirstMessageTimeoutMs.store(nMilliseconds);
    }
    // The ports listened on now; 0 when not listening.
    unsigned int GetBoundPort() const { return m_listener.GetBoundPort(); }
    unsigned int GetControlBoundPort() const { return m_controlListener.GetBoundPort(); }

    // Ends the value loops at their next round. Cleared by Close.
    void SetStop(bool bStop) { m_bStop.store(bStop); }
    // A value loop is going.
    bool IsRunning() const { return m_bRunning.load(); }
    // A client was accepted and its start message read.
    bool IsStarted() const { return m_bStarted.load(); }
    // Ends every blocking call in progress promptly: the waits for a client
    // or its message on either port, and a send held up by a client that
    // does not read (the link is then lost). A wait that begins later waits
    // anew; the stop flag, set first, keeps the data port's wait from
    // beginning.
    void CancelWait();

    // Which accumulated lists ValueLoop sends.
    void SetSendValues(bool bSend) { m_bSendValues.store(bSend); }
    void SetSendCategories(bool bSend) { m_bSendCategories.store(bSend); }

    // Unless stopped, listens on the data port, accepts one client and reads
    // its start message; true when started. A client that came while the
    // server was being stopped is let go, as is one whose start message is no
    // control message (reported).
    bool WaitForClient();
    // Sends the demonstration model.
    void SendModelInfo();
    // Appends one value to the plain list, or one categorised value to the
    // categorised list.
    void AddValue(const std::string& strElement, const std::string& strAttribute,
                  const std::string& strValue, const std::string& strTime);
    void AddCategoryValue(const std::string& strElement, const std::string& strAttribute,
                          const std::string& strCategory, const std::string& strTime,
                          const std::string& strValue);
    // Send the plain or the categorised list as one value message; false when
    // no client takes it (none connected, or the link was lost).
    bool SendValues();
    bool SendCategoryValues();
    // Until stopped, sends the categorised list and then the plain list, each
    // when chosen, with no pause between sends. Ends early when the client is
    // lost.
    void ValueLoop();
    void SendEndReplica();
    // Sends the end of the replica, clears the stop flag, closes the link and
    // clears the running and started flags.
    void Close();
    // The whole demonstration on the data port: a client, the model, values
    // computed from the clock until stopped, the end of the replica.
    void RunDemo();
    // Takes one control message on the control port and shows it with its
    // user ("Evento: STOP del usario '...'"); returns its ControlOperation,
    // or CTL_FAILED when none was read (cancelled, the client went away or
    // stayed silent past the control time-out, or the message was not a
    // control message, which is shown as an error).
    int ReadControl();

private:
    // Counts a public call that may block, so that destruction can wait for
    // it to leave.
    class CCallGuard {
    public:
        explicit CCallGuard(CDominioDebugServer& rServer);
        ~CCallGuard();

    private:
        CDominioDebugServer& m_rServer;
    };

    // Listens with the server's backlog on nPort; reports a port that is not
    // set or cannot be opened, unless the wait was cancelled.
    bool Listen(CBidirecSocket& rListener, std::optional<unsigned int> nPort);
    // Loads and parses one message as a control message; reports and returns
    // CTL_FAILED when it is none.
    int Parse(const std::string& strMessage, std::string& strUser, std::string& strPassword);
    bool SendMessage(const std::string& strMessage);
    // Sends one of the accumulated lists (m_strValues, m_strCategoryValues).
    bool SendList(const std::string& strList);
    static std::string ValueMessage(const std::string& strList);
    CNotifier& Notifier() const;
    void ReportError(const std::string& strText);

    CNotifier* m_pNotifier;
    std::optional<unsigned int> m_nDataPort;
    std::atomic<unsigned int> m_nControlPort{kDefaultControlPort};
    std::atomic<int> m_nFirstMessageTimeoutMs{kDefaultFirstMessageTimeoutMs};

    std::atomic<bool> m_bSendCategories{false};
    std::atomic<bool> m_bSendValues{false};
    std::mutex m_mutexLists;
    std::string m_strValues;
    std::string m_strCategoryValues;

    // The sockets live as long as the server: a cancel reaches them even
    // before a wait begins, and each wait closes them when it ends.
    CBidirecSocket m_listener;
    CBidirecSocket m_connection;
    CBidirecSocket m_controlListener;
    CBidirecSocket m_controlConnection;
    std::mutex m_mutexParser;
    CXMLParserServer m_parser;

    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bStarted{false};

    std::mutex m_mutexCalls;
    std::condition_variable m_cvCalls;
    int m_nActiveCalls = 0;
};
