#pragma once

// The network modes of a run: "Local execution", "Intranet" and "Internet".
// Each sets the engine's IP mode and the instance's own address, which a run
// copies at its start (the agents of a distributed model listen there), and
// says the address in the System tab.
//
// The Internet address is asked of a public web service on a thread of its
// own (it may take seconds); the window stays responsive meanwhile, and its
// answer applies to the engine it was asked for. Until it answers, the modes
// and Initialize are disabled (the command state's bLookingUp).

#include <QObject>
#include <functional>
#include <string>
#include <thread>

class CCommandTable;
class CMainFrame;

class CNetworkCommands : public QObject {
    Q_OBJECT
public:
    explicit CNetworkCommands(CMainFrame& frame);
    // Waits for a lookup that still runs (it has a time-out).
    ~CNetworkCommands() override;

    void RegisterHandlers(CCommandTable& commands);

    void OnLocal();
    void OnIntranet();
    // Sets the mode now, the address when the lookup answers.
    void OnInternet();
    bool IsLookingUp() const { return m_bLookingUp; }
    // The engine the last lookup was asked for is gone: its answer is
    // dropped.
    void ForgetEngine() { ++m_nEngineGeneration; }

    // The address Intranet uses from an address list ("|a|b|..."): the last
    // one that is not a loopback address (127.0.0.0/8), else the last
    // loopback address; "" when the list holds none.
    static std::string ChooseIntranetAddress(const std::string& strList);

    // Replaces the public-address lookup (GetExternalIP); tests use it.
    void SetInternetLookup(std::function<std::string()> fnLookup) {
        m_fnLookup = std::move(fnLookup);
    }

signals:
    // The Internet lookup has answered (after its System line).
    void InternetAnswered();

private:
    CMainFrame& m_frame;
    std::function<std::string()> m_fnLookup;
    std::thread m_lookup;
    bool m_bLookingUp = false;
    unsigned m_nEngineGeneration = 0;
};
