#include "velko/guinotifier.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <algorithm>

namespace {

QMessageBox::Icon ToQtIcon(NotifyIcon eIcon) {
    switch (eIcon) {
        case NI_INFORMATION:
            return QMessageBox::Information;
        case NI_WARNING:
            return QMessageBox::Warning;
        case NI_ERROR:
            return QMessageBox::Critical;
        case NI_QUESTION:
            return QMessageBox::Question;
        case NI_NONE:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQtButtons(NotifyButtons eButtons) {
    switch (eButtons) {
        case NB_OKCANCEL:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case NB_YESNO:
            return QMessageBox::Yes | QMessageBox::No;
        case NB_YESNOCANCEL:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case NB_OK:
            break;
    }
    return QMessageBox::Ok;
}

NotifyAnswer FromQtButton(int nButton) {
    switch (nButton) {
        case QMessageBox::Ok:
            return NA_OK;
        case QMessageBox::Yes:
            return NA_YES;
        case QMessageBox::No:
            return NA_NO;
        default:
            return NA_CANCEL;
    }
}

QMessageBox* MakeBox(QWidget* pParent, const std::string& strTitle, const std::string& strText,
                     NotifyButtons eButtons, NotifyIcon eIcon) {
    auto* pBox = new QMessageBox(ToQtIcon(eIcon), QString::fromStdString(strTitle),
                                 QString::fromStdString(strText), ToQtButtons(eButtons), pParent);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    return pBox;
}

}  // namespace

QString ToQtFilter(const std::string& strFilter) {
    // "Name (*.a)|*.a|Other (*.b)|*.b||": descriptions and patterns alternate.
    const QStringList parts = QString::fromStdString(strFilter).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (!parts[i].isEmpty()) {
            filters << parts[i];
        }
    }
    return filters.join(QStringLiteral(";;"));
}

CGuiNotifier::CGuiNotifier(QWidget* pParent,
                           std::function<void(NotifyPane, const QString&)> fnOutput)
    : QObject(pParent), m_pParent(pParent), m_fnOutput(std::move(fnOutput)) {
    SetNotifier(this);
}

CGuiNotifier::~CGuiNotifier() {
    SetNotifier(nullptr);
    RefuseQuestions();
}

bool CGuiNotifier::OnWindowThread() const {
    return QThread::currentThread() == thread();
}

void CGuiNotifier::OutputLine(NotifyPane ePane, const std::string& strLine) {
    const QString strText = QString::fromStdString(strLine);
    if (OnWindowThread()) {
        m_fnOutput(ePane, strText);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, ePane, strText] { m_fnOutput(ePane, strText); }, Qt::QueuedConnection);
}

NotifyAnswer CGuiNotifier::MessageBox(const std::string& strTitle, const std::string& strText,
                                      NotifyButtons eButtons, NotifyIcon eIcon) {
    if (eButtons == NB_OK) {
        // A report: shown when the window gets to it, answered at once.
        auto show = [this, strTitle, strText, eIcon] {
            QMessageBox* pBox = MakeBox(m_pParent, strTitle, strText, NB_OK, eIcon);
            pBox->setModal(false);
            pBox->show();
        };
        if (OnWindowThread()) {
            show();
        } else {
            QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
        }
        return NA_OK;
    }
    if (OnWindowThread()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bRefusing) {
                return NA_CANCEL;
            }
        }
        QMessageBox* pBox = MakeBox(m_pParent, strTitle, strText, eButtons, eIcon);
        pBox->setAttribute(Qt::WA_DeleteOnClose, false);
        const int nButton = pBox->exec();
        delete pBox;
        return FromQtButton(nButton);
    }
    auto pPending = AskAndWait([=, this](std::shared_ptr<SPending> p) {
        ShowQuestion(p, strTitle, strText, eButtons, eIcon, {}, false);
    });
    return pPending->eAnswer;
}

std::string CGuiNotifier::ChooseFileToOpen(const std::string& strTitle,
                                           const std::string& strFilter,
                                           const std::string& strFolder) {
    if (OnWindowThread()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bRefusing) {
                return {};
            }
        }
        return QFileDialog::getOpenFileName(m_pParent, QString::fromStdString(strTitle),
                                            QString::fromStdString(strFolder),
                                            ToQtFilter(strFilter))
            .toStdString();
    }
    auto pPending = AskAndWait([=, this](std::shared_ptr<SPending> p) {
        ShowQuestion(p, strTitle, strFolder, NB_OKCANCEL, NI_NONE, strFilter, true);
    });
    return pPending->strFile;
}

std::shared_ptr<CGuiNotifier::SPending> CGuiNotifier::AskAndWait(
    std::function<void(std::shared_ptr<SPending>)> fnShow) {
    auto pPending = std::make_shared<SPending>();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bRefusing) {
            return pPending;  // answered Cancel
        }
        m_vecPending.push_back(pPending);
    }
    QMetaObject::invokeMethod(
        this, [fnShow, pPending] { fnShow(pPending); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(pPending->mutex);
    pPending->cv.wait(lock, [&] { return pPending->bAnswered; });
    lock.unlock();
    std::lock_guard<std::mutex> listLock(m_mutex);
    m_vecPending.erase(std::remove(m_vecPending.begin(), m_vecPending.end(), pPending),
                       m_vecPending.end());
    return pPending;
}

void CGuiNotifier::ShowQuestion(const std::shared_ptr<SPending>& pPending,
                                const std::string& strTitle, const std::string& strText,
                                NotifyButtons eButtons, NotifyIcon eIcon,
                                const std::string& strFilter, bool bFile) {
    {
        std::lock_guard<std::mutex> lock(pPending->mutex);
        if (pPending->bAnswered) {
            return;  // cancelled before the window got to it
        }
    }
    QDialog* pDialog;
    if (bFile) {
        auto* pFiles = new QFileDialog(m_pParent, QString::fromStdString(strTitle),
                                       QString::fromStdString(strText), ToQtFilter(strFilter));
        pFiles->setFileMode(QFileDialog::ExistingFile);
        pFiles->setAttribute(Qt::WA_DeleteOnClose);
        connect(pFiles, &QFileDialog::finished, this, [pPending, pFiles](int nResult) {
            const QStringList files = pFiles->selectedFiles();
            const bool bChosen = nResult == QDialog::Accepted && !files.isEmpty();
            Answer(*pPending, bChosen ? NA_OK : NA_CANCEL,
                   bChosen ? files.first().toStdString() : std::string());
        });
        pDialog = pFiles;
    } else {
        QMessageBox* pBox = MakeBox(m_pParent, strTitle, strText, eButtons, eIcon);
        connect(pBox, &QMessageBox::finished, this, [pPending, pBox](int) {
            QAbstractButton* pClicked = pBox->clickedButton();
            const int nButton = pClicked ? pBox->standardButton(pClicked) : QMessageBox::Cancel;
            Answer(*pPending, FromQtButton(nButton), {});
        });
        pDialog = pBox;
    }
    {
        std::lock_guard<std::mutex> lock(pPending->mutex);
        pPending->pDialog = pDialog;
    }
    pDialog->open();
}

void CGuiNotifier::Answer(SPending& pending, NotifyAnswer eAnswer, const std::string& strFile) {
    std::lock_guard<std::mutex> lock(pending.mutex);
    if (pending.bAnswered) {
        return;
    }
    pending.bAnswered = true;
    pending.eAnswer = eAnswer;
    pending.strFile = strFile;
    pending.cv.notify_all();
}

void CGuiNotifier::RefuseQuestions() {
    std::vector<std::shared_ptr<SPending>> vecPending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bRefusing = true;
        vecPending = m_vecPending;
    }
    for (const auto& pPending : vecPending) {
        QPointer<QWidget> pDialog;
        {
            std::lock_guard<std::mutex> lock(pPending->mutex);
            pDialog = pPending->pDialog;
        }
        Answer(*pPending, NA_CANCEL, {});
        if (pDialog && OnWindowThread()) {
            pDialog->close();
        }
    }
}

void CGuiNotifier::AllowQuestions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRefusing = false;
}

int CGuiNotifier::PendingQuestions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_vecPending.size());
}
