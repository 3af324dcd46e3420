#pragma once

// The core's notifier on the window's thread. Reports (output lines, boxes
// with only OK) are handed to the window's thread and never block their
// caller; a report whose box is still on screen opens no other box, the box
// counts it instead. A question (OK/Cancel, Yes/No, a file choice) waits for its answer
// on the thread that asks, and only there: asked on the window's thread it is
// a modal dialog; asked on another thread it is a dialog of the window's
// thread while the asking thread waits. The engine answers pending questions
// Cancel before it joins its thread (CancelPendingQuestions); their dialogs
// then close.

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "sh_aux/notifier.h"

//
// Lines from other threads are handed over in batches: the first line after
// a batch has gone asks the window's thread once, and it then takes all the
// lines that came meanwhile. Of the lines that wait, each pane keeps its
// newest nKeptLines (the most a pane shows; 0: all), so a thread that
// reports faster than the window takes them does not fill the memory.
class CGuiNotifier : public QObject, public CWindowNotifier {
    Q_OBJECT
public:
    // Lines go to fnOutput on the window's thread, each pane's in the order
    // they were reported; boxes are owned by pParent. Installs itself as the core's
    // notifier until destroyed.
    CGuiNotifier(QWidget* pParent, std::function<void(NotifyPane, const QString&)> fnOutput,
                 int nKeptLines = 0);
    ~CGuiNotifier() override;

protected:
    void PostReport(const std::string& strTitle, const std::string& strText,
                    NotifyIcon eIcon) override;
    void PostQuestion(const SNotifierQuestion& question) override;
    void PostLine(NotifyPane ePane, const std::string& strLine) override;
    void PostQuestionCancelled(unsigned long long nId) override;

private:
    bool OnWindowThread() const;
    // Runs fn on the window's thread: now when called there, else queued.
    void OnWindow(std::function<void()> fn);
    // The dialog of a question; its end answers the question.
    QDialog* MakeDialog(const SNotifierQuestion& question);
    // Hands the lines that wait to fnOutput (window's thread).
    void FlushLines();

    QWidget* m_pParent;
    std::function<void(NotifyPane, const QString&)> m_fnOutput;
    // Dialogs of questions asked on other threads (window's thread only).
    std::map<unsigned long long, QPointer<QDialog>> m_mapDialogs;
    // Report boxes on screen by title, icon and text, with how many times
    // their report came (window's thread only): a report that is on screen
    // already opens no second box.
    struct SOpenReport {
        QPointer<QMessageBox> pBox;
        long long nCount = 0;
    };
    std::map<std::string, SOpenReport> m_mapOpenReports;

    // Lines from other threads not yet handed over, per pane, and whether
    // the window's thread has been asked to take them.
    std::mutex m_mutexLines;
    std::deque<QString> m_deqLines[NP_ERRORS + 1];
    bool m_bLinesPosted = false;
    const size_t m_nKeptLines;
};

// The Qt file-dialog filter of a filter text written "Name (*.x)|*.x|...||":
// the names, empty entries skipped. "(*.*)" becomes "(*)", which on this
// system also shows files without an extension.
QString ToQtFilter(const std::string& strFilter);

// What a file dialog of the window asks for.
struct SFileChoice {
    bool bSave = false;          // a save dialog (it asks before overwriting)
    std::string strFilter;       // as ToQtFilter reads it
    std::string strDefaultExt;   // ".eye": added to a name typed without one
    std::string strInitialName;  // "" for none
    std::string strFolder;       // where it opens; "" for the current folder
};
// Shows a modal file dialog: the chosen path, or "" when cancelled.
std::string ChooseFile(QWidget* pParent, const SFileChoice& choice);
