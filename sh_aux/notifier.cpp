#include "sh_aux/notifier.h"

#include <atomic>
#include <cstdio>
#include <utility>

namespace {
std::atomic<CNotifier*> g_pNotifier{nullptr};

const char* PaneName(NotifyPane ePane) {
    switch (ePane) {
        case NP_SYSTEM:
            return "System";
        case NP_MODEL:
            return "Model";
        case NP_ERRORS:
            return "Errors";
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

// ---- CWindowNotifier ----------------------------------------------------------------------

NotifyAnswer CWindowNotifier::MessageBox(const std::string& strTitle, const std::string& strText,
                                         NotifyButtons eButtons, NotifyIcon eIcon) {
    if (!IsQuestion(eButtons)) {
        PostReport(strTitle, strText, eIcon);
        return NA_OK;
    }
    SNotifierQuestion question;
    question.strTitle = strTitle;
    question.strText = strText;
    question.eButtons = eButtons;
    question.eIcon = eIcon;
    return Ask(std::move(question)).eAnswer;
}

std::string CWindowNotifier::ChooseFileToOpen(const std::string& strTitle,
                                              const std::string& strFilter,
                                              const std::string& strFolder) {
    SNotifierQuestion question;
    question.bFileChoice = true;
    question.strTitle = strTitle;
    question.strFilter = strFilter;
    question.strFolder = strFolder;
    const SPending answer = Ask(std::move(question));
    return answer.eAnswer == NA_OK ? answer.strFile : std::string();
}

void CWindowNotifier::OutputLine(NotifyPane ePane, const std::string& strLine) {
    PostLine(ePane, strLine);
}

CWindowNotifier::SPending CWindowNotifier::Ask(SNotifierQuestion question) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        question.nId = m_nNextId++;
        m_mapPending[question.nId].eButtons =
            question.bFileChoice ? NB_OKCANCEL : question.eButtons;
    }
    // Without the lock: a question asked on the window's own thread is
    // answered inside PostQuestion.
    PostQuestion(question);
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_mapPending.find(question.nId);
    m_cvAnswered.wait(lock, [&] { return it->second.bAnswered; });
    SPending answer = std::move(it->second);
    m_mapPending.erase(it);
    return answer;
}

bool CWindowNotifier::Answer(unsigned long long nId, NotifyAnswer eAnswer,
                             const std::string& strFile) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_mapPending.find(nId);
        if (it == m_mapPending.end() || it->second.bAnswered) {
            return false;
        }
        it->second.bAnswered = true;
        it->second.eAnswer = eAnswer;
        it->second.strFile = strFile;
    }
    m_cvAnswered.notify_all();
    return true;
}

void CWindowNotifier::CancelPendingQuestions() {
    std::vector<unsigned long long> vecCancelled;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [nId, pending] : m_mapPending) {
            if (!pending.bAnswered) {
                pending.bAnswered = true;
                pending.eAnswer = CancelAnswer(pending.eButtons);
                pending.strFile.clear();
                vecCancelled.push_back(nId);
            }
        }
    }
    m_cvAnswered.notify_all();
    for (const unsigned long long nId : vecCancelled) {
        PostQuestionCancelled(nId);
    }
}

std::vector<unsigned long long> CWindowNotifier::GetPendingQuestions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<unsigned long long> vecIds;
    for (const auto& [nId, pending] : m_mapPending) {
        if (!pending.bAnswered) {
            vecIds.push_back(nId);
        }
    }
    return vecIds;
}

// ---- The installed notifier ---------------------------------------------------------------

CNotifier& GetNotifier() {
    static CStderrNotifier s_default;
    CNotifier* p = g_pNotifier.load();
    return p ? *p : s_default;
}

void SetNotifier(CNotifier* pNotifier) {
    g_pNotifier.store(pNotifier);
}
