#include "sh_widgets/guinotifier.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
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

NotifyAnswer FromQtButton(int nButton, NotifyButtons eButtons) {
    switch (nButton) {
        case QMessageBox::Ok:
            return NA_OK;
        case QMessageBox::Yes:
            return NA_YES;
        case QMessageBox::No:
            return NA_NO;
        case QMessageBox::Cancel:
            return NA_CANCEL;
        default:
            return CancelAnswer(eButtons);  // closed without a button
    }
}

}  // namespace

QString ToQtFilter(const std::string& strFilter) {
    // Names and patterns alternate; a stray "||" inside the text would put
    // them out of step, so empty entries are dropped first.
    QStringList listParts = QString::fromStdString(strFilter).split(QLatin1Char('|'));
    listParts.removeAll(QString());
    QStringList listFilters;
    for (int i = 0; i < listParts.size(); i += 2) {
        listFilters
            << QString(listParts[i]).replace(QStringLiteral("(*.*)"), QStringLiteral("(*)"));
    }
    return listFilters.join(QStringLiteral(";;"));
}

std::string ChooseFile(QWidget* pParent, const SFileChoice& choice) {
    QFileDialog dialog(pParent, QString(), QString::fromStdString(choice.strFolder),
                       ToQtFilter(choice.strFilter));
    dialog.setAcceptMode(choice.bSave ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.bSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!choice.strDefaultExt.empty()) {
        // Qt adds the suffix without its dot, and only when told to.
        dialog.setDefaultSuffix(QString::fromStdString(choice.strDefaultExt).remove(0, 1));
    }
    if (!choice.strInitialName.empty()) {
        dialog.selectFile(QString::fromStdString(choice.strInitialName));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first().toStdString();
}

CGuiNotifier::CGuiNotifier(QWidget* pParent,
                           std::function<void(NotifyPane, const QString&)> fnOutput, int nKeptLines)
    : QObject(pParent),
      m_pParent(pParent),
      m_fnOutput(std::move(fnOutput)),
      m_nKeptLines(nKeptLines > 0 ? static_cast<size_t>(nKeptLines) : 0) {
    SetNotifier(this);
}

CGuiNotifier::~CGuiNotifier() {
    SetNotifier(nullptr);
    CancelPendingQuestions();
}

bool CGuiNotifier::OnWindowThread() const {
    return QThread::currentThread() == thread();
}

void CGuiNotifier::OnWindow(std::function<void()> fn) {
    if (OnWindowThread()) {
        fn();
    } else {
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
    }
}

void CGuiNotifier::PostLine(NotifyPane ePane, const std::string& strLine) {
    QString strText = QString::fromStdString(strLine);
    if (OnWindowThread()) {
        // After the lines reported before it.
        FlushLines();
        m_fnOutput(ePane, strText);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutexLines);
    std::deque<QString>& deqLines = m_deqLines[ePane];
    deqLines.push_back(std::move(strText));
    if (m_nKeptLines > 0 && deqLines.size() > m_nKeptLines) {
        deqLines.pop_front();  // the pane would drop it as it came
    }
    if (!m_bLinesPosted) {
        m_bLinesPosted = true;
        QMetaObject::invokeMethod(
            this, [this] { FlushLines(); }, Qt::QueuedConnection);
    }
}

void CGuiNotifier::FlushLines() {
    std::deque<QString> deqLines[NP_ERRORS + 1];
    {
        std::lock_guard<std::mutex> lock(m_mutexLines);
        for (int nPane = NP_SYSTEM; nPane <= NP_ERRORS; ++nPane) {
            deqLines[nPane].swap(m_deqLines[nPane]);
        }
        m_bLinesPosted = false;
    }
    for (int nPane = NP_SYSTEM; nPane <= NP_ERRORS; ++nPane) {
        for (const QString& strLine : deqLines[nPane]) {
            m_fnOutput(static_cast<NotifyPane>(nPane), strLine);
        }
    }
}

void CGuiNotifier::PostReport(const std::string& strTitle, const std::string& strText,
                              NotifyIcon eIcon) {
    OnWindow([this, strTitle, strText, eIcon] {
        const std::string strKey =
            strTitle + '\n' + std::to_string(static_cast<int>(eIcon)) + '\n' + strText;
        auto it = m_mapOpenReports.find(strKey);
        if (it != m_mapOpenReports.end() && it->second.pBox && it->second.pBox->isVisible()) {
            // A fault met again and again must not bury the window in boxes.
            const long long nCount = ++it->second.nCount;
            QMessageBox* pOpen = it->second.pBox;
            pOpen->setInformativeText(QStringLiteral("This message came %1 times.").arg(nCount));
            // A line added to a box on screen stays hidden until shown; the
            // box lays itself out only when shown, so it needs the room too.
            for (QLabel* pLabel : pOpen->findChildren<QLabel*>()) {
                if (pLabel->text() == pOpen->informativeText()) {
                    pLabel->show();
                }
            }
            pOpen->setFixedSize(pOpen->sizeHint());
            return;
        }
        auto* pBox = new QMessageBox(ToQtIcon(eIcon), QString::fromStdString(strTitle),
                                     QString::fromStdString(strText), QMessageBox::Ok, m_pParent);
        pBox->setAttribute(Qt::WA_DeleteOnClose);
        pBox->setModal(false);
        m_mapOpenReports[strKey] = {pBox, 1};
        connect(pBox, &QDialog::finished, this, [this, strKey, pBox] {
            // Closed: the next such report opens a box again.
            auto itOpen = m_mapOpenReports.find(strKey);
            if (itOpen != m_mapOpenReports.end() && itOpen->second.pBox == pBox) {
                m_mapOpenReports.erase(itOpen);
            }
        });
        pBox->show();
    });
}

QDialog* CGuiNotifier::MakeDialog(const SNotifierQuestion& question) {
    const unsigned long long nId = question.nId;
    if (question.bFileChoice) {
        auto* pFiles = new QFileDialog(m_pParent, QString::fromStdString(question.strTitle),
                                       QString::fromStdString(question.strFolder),
                                       ToQtFilter(question.strFilter));
        pFiles->setFileMode(QFileDialog::ExistingFile);
        connect(pFiles, &QFileDialog::finished, this, [this, nId, pFiles](int nResult) {
            const QStringList files = pFiles->selectedFiles();
            const bool bChosen = nResult == QDialog::Accepted && !files.isEmpty();
            Answer(nId, bChosen ? NA_OK : NA_CANCEL,
                   bChosen ? files.first().toStdString() : std::string());
        });
        return pFiles;
    }
    auto* pBox = new QMessageBox(
        ToQtIcon(question.eIcon), QString::fromStdString(question.strTitle),
        QString::fromStdString(question.strText), ToQtButtons(question.eButtons), m_pParent);
    const NotifyButtons eButtons = question.eButtons;
    connect(pBox, &QMessageBox::finished, this, [this, nId, pBox, eButtons](int) {
        QAbstractButton* pClicked = pBox->clickedButton();
        Answer(nId, FromQtButton(pClicked ? pBox->standardButton(pClicked) : -1, eButtons));
    });
    return pBox;
}

void CGuiNotifier::PostQuestion(const SNotifierQuestion& question) {
    if (OnWindowThread()) {
        // The window cannot wait for itself: the dialog is modal.
        QPointer<QDialog> pDialog = MakeDialog(question);
        m_mapDialogs[question.nId] = pDialog;
        pDialog->exec();
        m_mapDialogs.erase(question.nId);
        delete pDialog;
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, question] {
            // Cancelled before the window got to it: nothing to show.
            const std::vector<unsigned long long> vecPending = GetPendingQuestions();
            if (std::find(vecPending.begin(), vecPending.end(), question.nId) == vecPending.end()) {
                return;
            }
            QDialog* pDialog = MakeDialog(question);
            pDialog->setAttribute(Qt::WA_DeleteOnClose);
            m_mapDialogs[question.nId] = pDialog;
            connect(pDialog, &QDialog::finished, this,
                    [this, nId = question.nId] { m_mapDialogs.erase(nId); });
            pDialog->open();
        },
        Qt::QueuedConnection);
}

void CGuiNotifier::PostQuestionCancelled(unsigned long long nId) {
    OnWindow([this, nId] {
        auto it = m_mapDialogs.find(nId);
        if (it != m_mapDialogs.end() && it->second) {
            it->second->reject();
        }
    });
}
