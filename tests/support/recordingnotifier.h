#pragma once

// A notifier for the tests and fuzz targets: every report kept in order.

#include <mutex>
#include <string>
#include <vector>

#include "sh_aux/notifier.h"

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
