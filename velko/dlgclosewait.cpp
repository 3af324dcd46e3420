#include "velko/dlgclosewait.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

CDlgCloseWait::CDlgCloseWait(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("VELKO"));
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(this);
    m_pText->setWordWrap(true);
    pLayout->addWidget(m_pText);
    m_pBusy = new QProgressBar(this);
    m_pBusy->setRange(0, 0);
    pLayout->addWidget(m_pBusy);
    m_pStop = new QPushButton(QStringLiteral("Stop waiting"), this);
    pLayout->addWidget(m_pStop, 0, Qt::AlignRight);
    connect(m_pStop, &QPushButton::clicked, this, [this] {
        if (m_bTellingLoss) {
            emit QuitRequested();
        } else {
            emit StopWaiting();
        }
    });
    resize(460, 140);
}

void CDlgCloseWait::SetText(const QString& strText) {
    m_pText->setText(strText);
}

void CDlgCloseWait::TellLoss(const QString& strText) {
    m_bTellingLoss = true;
    // Nothing else of the program is to be used meanwhile: it is ending.
    hide();
    setWindowModality(Qt::WindowModal);
    m_pText->setText(strText);
    m_pBusy->hide();
    m_pStop->setText(QStringLiteral("OK"));
    m_pStop->setDefault(true);
    show();
    m_pStop->setFocus();
}

void CDlgCloseWait::reject() {
    if (m_bTellingLoss) {
        emit QuitRequested();
    }
}

void CDlgCloseWait::closeEvent(QCloseEvent* pEvent) {
    // The window's own close button is not the program's; the session's
    // closing of every window (not spontaneous) is.
    if (m_bTellingLoss || !pEvent->spontaneous()) {
        emit QuitRequested();
    }
    pEvent->ignore();
}
