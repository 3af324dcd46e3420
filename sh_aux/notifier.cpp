#include "sh_aux/notifier.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<CNotifier*> g_pNotifier{nullptr};

const char* PaneName(NotifyPane ePane) {
    switch (ePane) {
        case NP_SYSTEM: return "System";
        case NP_MODEL: return "Model";
        case NP_ERRORS: return "Errors";
    }
    return "";
}
}  // namespace

NotifyAnswer CStderrNotifier::MessageBox(const std::string& strTitle, const std::string& strText,
                                         NotifyButtons eButtons, NotifyIcon) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(stderr, "[%s] %s\n", strTitle.c_str(), strText.c_str());
    return (eButtons == NB_YESNO || eButtons == NB_YESNOCANCEL) ? NA_YES : NA_OK;
}

std::string CStderrNotifier::ChooseFileToOpen(const std::string& strTitle, const std::string&,
                                              const std::string&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(stderr, "[%s] no file chosen\n", strTitle.c_str());
    return {};
}

void CStderrNotifier::OutputLine(NotifyPane ePane, const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(stderr, "%s: %s\n", PaneName(ePane), strLine.c_str());
}

NotifyAnswer CRecordingNotifier::MessageBox(const std::string& strTitle,
                                            const std::string& strText, NotifyButtons eButtons,
                                            NotifyIcon eIcon) {
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

CNotifier& GetNotifier() {
    static CStderrNotifier s_default;
    CNotifier* p = g_pNotifier.load();
    return p ? *p : s_default;
}

void SetNotifier(CNotifier* pNotifier) { g_pNotifier.store(pNotifier); }
