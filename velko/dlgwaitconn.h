#pragma once

// "Client Connections": shown while a run waits for the 3D viewer to
// connect; Cancel (also Escape or closing the window) gives up the wait and
// the run goes on without a viewer.

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;

class CDlgWaitConn : public QDialog {
    Q_OBJECT
public:
    // fnCancel gives up the engine's wait.
    CDlgWaitConn(QWidget* pParent, std::function<void()> fnCancel);

    // The port the viewer is expected on.
    void SetPort(unsigned nPort);
    QLabel* Text() const { return m_pText; }
    QPushButton* CancelButton() const { return m_pCancel; }

    void reject() override;

private:
    std::function<void()> m_fnCancel;
    QLabel* m_pText;
    QPushButton* m_pCancel;
};
