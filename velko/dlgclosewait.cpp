#include "velko/dlgclosewait.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

CDlgCloseWait::CDlgCloseWait(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("VELKO"));
    setWindowModality(Qt::WindowModal);
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(this);
    m_pText->setWordWrap(true);
    pLayout->addWidget(m_pText);
    auto* pBusy = new QProgressBar(this);
    pBusy->setRange(0, 0);
    pLayout->addWidget(pBusy);
    m_pStop = new QPushButton(QStringLiteral("Stop waiting"), this);
    pLayout->addWidget(m_pStop, 0, Qt::AlignRight);
    connect(m_pStop, &QPushButton::clicked, this, &CDlgCloseWait::StopWaiting);
    resize(460, 140);
}

void CDlgCloseWait::SetText(const QString& strText) {
    m_pText->setText(strText);
}

void CDlgCloseWait::closeEvent(QCloseEvent* pEvent) {
    pEvent->ignore();
}
