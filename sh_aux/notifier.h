#pragma once

// How the core reports to the user. The core never shows UI itself: the
// simulator's window implements this on its own thread, tests record the
// calls, and the default writes to stderr.
//
// Threads. Any thread may report or ask: the loader runs on the window's
// thread, the model's operations on the simulation thread.
// - A report (a message box with only an OK button, an output line) is
//   delivered and returns at once. An implementation hands it to the window
//   and never waits for the user: the reporting thread goes on while the box
//   is shown.
// - A question (a box with OK/Cancel, Yes/No or Yes/No/Cancel, a file
//   choice) waits for its answer, and only the asking thread waits.
// - CancelPendingQuestions answers every question that waits now with its
//   cancel answer (CancelAnswer, or "" for a file choice). The engine calls
//   it before it joins its simulation thread (Stop, a new run start, its
//   destructor), and again while it waits for that thread to end, so that no
//   thread waits on the window while the window waits on it.

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

enum NotifyButtons { NB_OK, NB_OKCANCEL, NB_YESNO, NB_YESNOCANCEL };
enum NotifyAnswer { NA_OK, NA_CANCEL, NA_YES, NA_NO };
enum NotifyIcon { NI_NONE, NI_INFORMATION, NI_WARNING, NI_ERROR, NI_QUESTION };
// The output pane's tabs.
enum NotifyPane { NP_SYSTEM, NP_MODEL, NP_ERRORS };

// True for the boxes that wait for an answer (all but NB_OK).
inline bool IsQuestion(NotifyButtons eButtons) {
    return eButtons != NB_OK;
}
// The answer a question gets when nobody answers it: No for Yes/No, Cancel
// for the boxes that have a Cancel button, OK for a report.
inline NotifyAnswer CancelAnswer(NotifyButtons eButtons) {
    switch (eButtons) {
        case NB_OK:
            return NA_OK;
        case NB_YESNO:
            return NA_NO;
        case NB_OKCANCEL:
        case NB_YESNOCANCEL:
            return NA_CANCEL;
    }
    return NA_CANCEL;
}

class CNotifier {
public:
    virtual ~CNotifier() = default;
    // A message box; returns the user's answer (NA_OK for a report, at once).
    virtual NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                                    NotifyButtons eButtons = NB_OK, NotifyIcon eIcon = NI_NONE) = 0;
    // Lets the user choose a file to open; returns "" when cancelled.
    virtual std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                         const std::string& strFolder) = 0;
    // One line for a tab of the output pane.
    virtual void OutputLine(NotifyPane ePane, const std::string& strLine) = 0;
    // Answers every question waiting now with its cancel answer. Notifiers
    // that answer at once have nothing to cancel.
    virtual void CancelPendingQuestions() {}
};

// Writes everything to stderr; boxes answer with their default (OK / Yes),
// file choices are cancelled.
class CStderrNotifier : public CNotifier {
public:
    NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                            NotifyButtons eButtons, NotifyIcon eIcon) override;
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                 const std::string& strFolder) override;
    void OutputLine(NotifyPane ePane, const std::string& strLine) override;

private:
    std::mutex m_mutex;
};

// A question as the window receives it.
struct SNotifierQuestion {
    unsigned long long nId = 0;
    bool bFileChoice = false;  // a file choice; otherwise a message box
    std::string strTitle;
    std::string strText;  // box only
    NotifyButtons eButtons = NB_OKCANCEL;
    NotifyIcon eIcon = NI_NONE;
    std::string strFilter;  // file choice only
    std::string strFolder;  // file choice only
};

// The base of a window's notifier: it keeps the questions that wait and
// wakes their asking threads. The window implements the Post operations;
// each is called on the reporting or asking thread and must return at once
// (it queues the item for the window's thread). The window then answers a
// question on its own thread with Answer. A question asked on the window's
// own thread cannot wait for the window: PostQuestion must answer it (a
// modal dialog) before it returns.
class CWindowNotifier : public CNotifier {
public:
    NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                            NotifyButtons eButtons, NotifyIcon eIcon) final;
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                 const std::string& strFolder) final;
    void OutputLine(NotifyPane ePane, const std::string& strLine) final;
    void CancelPendingQuestions() final;

    // The answer to question nId: for a box the button pressed, for a file
    // choice NA_OK with the file chosen in strFile, or NA_CANCEL. False when
    // the question no longer waits (answered or cancelled before).
    bool Answer(unsigned long long nId, NotifyAnswer eAnswer, const std::string& strFile = {});
    // Ids of the questions that wait now, oldest first.
    std::vector<unsigned long long> GetPendingQuestions() const;

protected:
    virtual void PostReport(const std::string& strTitle, const std::string& strText,
                            NotifyIcon eIcon) = 0;
    virtual void PostQuestion(const SNotifierQuestion& question) = 0;
    virtual void PostLine(NotifyPane ePane, const std::string& strLine) = 0;
    // Question nId was cancelled before the window answered it: the window
    // may close its dialog. Called on the cancelling thread.
    virtual void PostQuestionCancelled(unsigned long long nId) { (void)nId; }

private:
    struct SPending {
        NotifyButtons eButtons;
        bool bAnswered = false;
        NotifyAnswer eAnswer = NA_CANCEL;
        std::string strFile;
    };
    // Registers the question, hands it to the window and waits for it.
    SPending Ask(SNotifierQuestion question);

    mutable std::mutex m_mutex;
    std::condition_variable m_cvAnswered;
    std::map<unsigned long long, SPending> m_mapPending;
    unsigned long long m_nNextId = 1;
};

// The notifier the core reports through: the one installed, else a stderr
// notifier. Installing nullptr restores the default. The caller keeps the
// installed object alive while it is installed.
CNotifier& GetNotifier();
void SetNotifier(CNotifier* pNotifier);
