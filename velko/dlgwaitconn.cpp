#include "velko/dlgwaitconn.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

CDlgWaitConn::CDlgWaitConn(QWidget* pParent, std::function<void()> fnCancel)
    : QDialog(pParent), m_fnCancel(std::move(fnCancel)) {
    setWindowTitle(QStringLiteral("Client Connections"));
    setModal(false);
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(this);
    pLayout->addWidget(m_pText);
    auto* pRow = new QHBoxLayout;
    pRow->addStretch(1);
    m_pCancel = new QPushButton(QStringLiteral("Cancel"), this);
    connect(m_pCancel, &QPushButton::clicked, this, &CDlgWaitConn::reject);
    pRow->addWidget(m_pCancel);
    pLayout->addLayout(pRow);
    SetPort(8686);
}

void CDlgWaitConn::SetPort(unsigned nPort) {
    m_pText->setText(QStringLiteral("Waiting for client connections in port#%1").arg(nPort));
}

void CDlgWaitConn::reject() {
    if (m_fnCancel) {
        m_fnCancel();
    }
    QDialog::reject();
}
