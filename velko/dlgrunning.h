#pragma once

// "Running": the simulation time of the run in progress, with the frame's
// Stop and Step commands at hand. Its buttons are the commands' own: they
// are enabled when the commands are, and the second one reads "Step",
// "Pause" or "Resume" as the Step command does.

#include <QDialog>

class QAction;
class QLineEdit;
class QToolButton;

class CDlgRunning : public QDialog {
    Q_OBJECT
public:
    // pStop and pStep are the frame's commands.
    CDlgRunning(QWidget* pParent, QAction* pStop, QAction* pStep);

    // The time shown beside "Minimum event time" ("%f").
    void SetTime(double dTime);
    QLineEdit* TimeEdit() const { return m_pTime; }
    QToolButton* StopButton() const { return m_pStop; }
    QToolButton* PauseButton() const { return m_pPause; }

private:
    QLineEdit* m_pTime;
    QToolButton* m_pStop;
    QToolButton* m_pPause;
};
