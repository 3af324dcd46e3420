#pragma once

// The window shown while a closing model waits for the other instances of a
// distributed run to read what it sent them: who has not, how many signals,
// and "Stop waiting", which gives up what is left. It leaves the main window
// free, so that a quit asked for meanwhile (Exit, Ctrl+Q here or there, the
// main window's close button) joins the wait, and the program ends after
// it. Its own close button and Escape do not end the wait; a close that
// comes from the session (every window closed) is such a quit.
//
// When a quit gives up signals, the window then tells how many were lost,
// in front of the main window, and the program ends once it has been read:
// OK, its close button, Escape or another quit.

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

class CDlgCloseWait : public QDialog {
    Q_OBJECT
public:
    explicit CDlgCloseWait(QWidget* pParent);

    void SetText(const QString& strText);
    // The wait is over and the program is ending: strText tells what was
    // lost, and the window is shown until it is read.
    void TellLoss(const QString& strText);
    bool IsTellingLoss() const { return m_bTellingLoss; }
    QLabel* Text() const { return m_pText; }
    QPushButton* StopButton() const { return m_pStop; }

signals:
    void StopWaiting();
    // The program is to end (after the wait, if one goes on).
    void QuitRequested();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    QLabel* m_pText;
    QProgressBar* m_pBusy;
    QPushButton* m_pStop;
    bool m_bTellingLoss = false;
};
