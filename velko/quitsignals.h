#pragma once

// The signals by which the system asks the program to end: SIGTERM (a
// logout, a shutdown, kill), SIGINT (Ctrl+C in the terminal that started
// it) and SIGHUP (that terminal closed). Their handler only writes the
// signal's number into a pipe; the window's event loop reads it and emits
// Received there, so that the program can end as Exit ends it.
//
// One object at a time: it takes the three signals from whatever handled
// them before and gives them back when destroyed. Children started by the
// program inherit neither the pipe nor the handler.

#include <QObject>

class QSocketNotifier;

class CQuitSignals : public QObject {
    Q_OBJECT
public:
    explicit CQuitSignals(QObject* pParent = nullptr);
    ~CQuitSignals() override;

signals:
    // On the window's thread, once for each signal that came.
    void Received(int nSignal);

private:
    void ReadPipe();

    // False when the pipe could not be made (or another object has the
    // signals): they then end the program as they would without it.
    bool m_bInstalled = false;
    int m_nReadFd = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
