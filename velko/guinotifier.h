#pragma once

// The core's notifier on the window's thread. Reports (output lines, boxes
// with only OK) are handed to the window's thread and never block their
// caller. A question (OK/Cancel, Yes/No, a file choice) waits for its answer
// on the thread that asks, and only there: asked on the window's thread it is
// a modal dialog; asked on another thread it is shown by the window's thread
// while the asking thread waits. Before the window waits for a worker (a
// join), RefuseQuestions() answers every pending question Cancel and keeps
// answering new ones so until AllowQuestions().

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sh_aux/notifier.h"

class CGuiNotifier : public QObject, public CNotifier {
    Q_OBJECT
public:
    // Lines go to fnOutput on the window's thread; boxes are owned by
    // pParent. Installs itself as the core's notifier until destroyed.
    CGuiNotifier(QWidget* pParent, std::function<void(NotifyPane, const QString&)> fnOutput);
    ~CGuiNotifier() override;

    NotifyAnswer MessageBox(const std::string& strTitle, const std::string& strText,
                            NotifyButtons eButtons = NB_OK, NotifyIcon eIcon = NI_NONE) override;
    std::string ChooseFileToOpen(const std::string& strTitle, const std::string& strFilter,
                                 const std::string& strFolder) override;
    void OutputLine(NotifyPane ePane, const std::string& strLine) override;

    void RefuseQuestions();
    void AllowQuestions();
    // Questions asked on other threads that wait for the window.
    int PendingQuestions() const;

private:
    // A question asked on another thread, waiting for the window's answer.
    struct SPending {
        std::mutex mutex;
        std::condition_variable cv;
        bool bAnswered = false;
        NotifyAnswer eAnswer = NA_CANCEL;
        std::string strFile;
        QPointer<QWidget> pDialog;
    };

    bool OnWindowThread() const;
    // Shows the question's dialog without blocking; its end answers it.
    void ShowQuestion(const std::shared_ptr<SPending>& pPending, const std::string& strTitle,
                      const std::string& strText, NotifyButtons eButtons, NotifyIcon eIcon,
                      const std::string& strFilter, bool bFile);
    // Posts the question to the window's thread and waits for its answer.
    std::shared_ptr<SPending> AskAndWait(std::function<void(std::shared_ptr<SPending>)> fnShow);
    static void Answer(SPending& pending, NotifyAnswer eAnswer, const std::string& strFile);

    QWidget* m_pParent;
    std::function<void(NotifyPane, const QString&)> m_fnOutput;
    mutable std::mutex m_mutex;
    bool m_bRefusing = false;
    std::vector<std::shared_ptr<SPending>> m_vecPending;
};

// The Qt file-dialog filter of a filter text written "Name (*.x)|*.x|...||".
QString ToQtFilter(const std::string& strFilter);
