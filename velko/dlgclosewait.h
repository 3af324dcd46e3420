#pragma once

// The window shown while a closing model waits for the other instances of a
// distributed run to read what it sent them: who has not, how many signals,
// and "Stop waiting", which gives up what is left. Closing it or pressing
// Escape does not end the wait: another close joins it.

#include <QDialog>

class QLabel;
class QPushButton;

class CDlgCloseWait : public QDialog {
    Q_OBJECT
public:
    explicit CDlgCloseWait(QWidget* pParent);

    void SetText(const QString& strText);
    QLabel* Text() const { return m_pText; }
    QPushButton* StopButton() const { return m_pStop; }

signals:
    void StopWaiting();

public slots:
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    QLabel* m_pText;
    QPushButton* m_pStop;
};
