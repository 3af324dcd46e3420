#pragma once

// "Replication configuration": how a simulation ends. By time (the end-time
// edit), by number of loops (the loop edit) or never (neither edit).

#include <QDialog>
#include <QString>

class QLineEdit;
class QRadioButton;

class CDlgReplicationConfig : public QDialog {
    Q_OBJECT
public:
    explicit CDlgReplicationConfig(QWidget* pParent);

    // Filled by the caller before the dialog is shown, read after OK: the
    // end mode (an EngineEndMode) and the texts of the two edits.
    int m_nEndMode = 0;
    QString m_strEndTime;
    QString m_strLoops;

    QRadioButton* ModeButton(int nMode) const { return m_pModes[nMode]; }
    QLineEdit* EndTimeEdit() const { return m_pEndTime; }
    QLineEdit* LoopsEdit() const { return m_pLoops; }

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    // The mode chosen: its radio checked, the edit it reads shown.
    void SelectMode(int nMode);

    QRadioButton* m_pModes[3];
    QLineEdit* m_pEndTime;
    QLineEdit* m_pLoops;
};
