#pragma once

// The "Server Options" dialog: the address and port at which "From VELKO
// Server" reaches the simulator. "Save" hands them to the live client for
// its next connection and keeps them in the settings, where the next start
// of the program finds them.

#include <QDialog>

class CServerClient;
class QLineEdit;
class QPushButton;

// Settings keys.
inline constexpr const char* SETTING_SERVER_IP = "Server/IP";
inline constexpr const char* SETTING_SERVER_PORT = "Server/Port";

class CVELKOEyeDXDlgOpt1 : public QDialog {
    Q_OBJECT
public:
    CVELKOEyeDXDlgOpt1(CServerClient& client, QWidget* pParent = nullptr);

    // Gives the client the address and port kept in the settings, if any.
    static void LoadSettings(CServerClient& client);

    // The fields show the client's address and port.
    void RefreshFields();
    // The client takes the fields' address and port (a port that is no
    // number reads as 0), they are kept in the settings, and the dialog
    // closes.
    void OnSave();

    QLineEdit* AddressBox() const { return m_pAddress; }
    QLineEdit* PortBox() const { return m_pPort; }
    QPushButton* SaveButton() const { return m_pSave; }

private:
    CServerClient& m_client;
    QLineEdit* m_pAddress;
    QLineEdit* m_pPort;
    QPushButton* m_pSave;
};
