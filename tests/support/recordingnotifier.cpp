#include "support/recordingnotifier.h"

NotifyAnswer CRecordingNotifier::MessageBox(const std::string& strTitle, const std::string& strText,
                                            NotifyButtons eButtons, NotifyIcon eIcon) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({strTitle, strText, eButtons, eIcon});
    return m_eAnswer;
}

std::string CRecordingNotifier::ChooseFileToOpen(const std::string&, const std::string&,
                                                 const std::string&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strFileChoice;
}

void CRecordingNotifier::OutputLine(NotifyPane ePane, const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({ePane, strLine});
}

std::vector<CRecordingNotifier::Box> CRecordingNotifier::GetBoxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}

std::vector<CRecordingNotifier::Line> CRecordingNotifier::GetLines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void CRecordingNotifier::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
    m_lines.clear();
}

void CRecordingNotifier::SetAnswer(NotifyAnswer eAnswer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eAnswer = eAnswer;
}

void CRecordingNotifier::SetFileChoice(const std::string& strPath) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strFileChoice = strPath;
}
