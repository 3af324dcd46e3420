#pragma once

// How the core reports to the user. The core never shows UI itself: the
// simulator's window implements this on its own thread, tests record the
// calls, and the default writes to stderr.

#include <mutex>
#include <string>
#include <vector>

enum NotifyButtons { NB_OK, NB_OKCANCEL, NB_YESNO, NB_YESNOCANCEL };
enum NotifyAnswer { NA_OK, NA_CANCEL, NA_YES, NA_NO };
enum NotifyIcon { NI_NONE, NI_INFORMATION, NI_WARNING, NI_ERROR, NI_QUESTION };
// The output pane's tabs.
enum NotifyPane { NP_SYSTEM, NP_MODEL, NP_ERRORS };

class CNotifier {
public:
    virtual ~CNotifier() = default;
    // A message box; returns the user's answer.
    virtual NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                                    NotifyButtons eButtons = NB_OK, NotifyIcon eIcon = NI_NONE) = 0;
    // Lets the user choose a file to open; returns "" when cancelled.
    virtual std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                         const std::string& strFolder) = 0;
    // One line for a tab of the output pane.
    virtual void OutputLine(NotifyPane ePane, const std::string& strLine) = 0;
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

// Keeps every call for inspection; answers and file choices are scripted.
class CRecordingNotifier : public CNotifier {
public:
    struct Box {
        std::string strTitle;
        std::string strText;
        NotifyButtons eButtons;
        NotifyIcon eIcon;
    };
    struct Line {
        NotifyPane ePane;
        std::string strLine;
    };

    NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                            NotifyButtons eButtons, NotifyIcon eIcon) override;
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                 const std::string& strFolder) override;
    void OutputLine(NotifyPane ePane, const std::string& strLine) override;

    std::vector<Box> GetBoxes() const;
    std::vector<Line> GetLines() const;
    void Clear();
    void SetAnswer(NotifyAnswer eAnswer);
    void SetFileChoice(const std::string& strPath);

private:
    mutable std::mutex m_mutex;
    std::vector<Box> m_boxes;
    std::vector<Line> m_lines;
    NotifyAnswer m_eAnswer = NA_OK;
    std::string m_strFileChoice;
};

// The notifier the core reports through: the one installed, else a stderr
// notifier. Installing nullptr restores the default. The caller keeps the
// installed object alive while it is installed.
CNotifier& GetNotifier();
void SetNotifier(CNotifier* pNotifier);
