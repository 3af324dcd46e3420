#include "clients/velkoeyedx/velkoeyedxdlgopt1.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QVBoxLayout>

#include "clients/velkoeyedx/sh_dx/serverclient.h"
#include "sh_aux/hpslib.h"

namespace {

// Four decimal numbers from 0 to 255, separated by dots.
const QString kAddressPattern = QStringLiteral(
    "((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
    "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])");

}  // namespace

CVELKOEyeDXDlgOpt1::CVELKOEyeDXDlgOpt1(CServerClient& client, QWidget* pParent)
    : QDialog(pParent),
      m_client(client),
      m_pAddress(new QLineEdit(this)),
      m_pPort(new QLineEdit(this)),
      m_pSave(new QPushButton(QStringLiteral("Save"), this)) {
    setWindowTitle(QStringLiteral("Server Options"));
    m_pAddress->setValidator(
        new QRegularExpressionValidator(QRegularExpression(kAddressPattern), m_pAddress));
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_pSave->setDefault(true);

    auto* pForm = new QFormLayout;
    pForm->addRow(QStringLiteral("Server IP:"), m_pAddress);
    pForm->addRow(QStringLiteral("Port:"), m_pPort);
    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch();
    pButtons->addWidget(m_pSave);
    pButtons->addWidget(pCancel);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addLayout(pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    // Only a whole address can be saved.
    connect(m_pAddress, &QLineEdit::textChanged, this,
            [this] { m_pSave->setEnabled(m_pAddress->hasAcceptableInput()); });
    connect(m_pSave, &QPushButton::clicked, this, &CVELKOEyeDXDlgOpt1::OnSave);
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CVELKOEyeDXDlgOpt1::LoadSettings(CServerClient& client) {
    const QSettings settings;
    client.SetServer(settings.value(SETTING_SERVER_IP, QString::fromStdString(client.GetHost()))
                         .toString()
                         .toStdString(),
                     settings.value(SETTING_SERVER_PORT, client.GetPort()).toInt());
}

void CVELKOEyeDXDlgOpt1::RefreshFields() {
    m_pAddress->setText(QString::fromStdString(m_client.GetHost()));
    m_pPort->setText(QString::fromStdString(IntToString(m_client.GetPort())));
}

void CVELKOEyeDXDlgOpt1::OnSave() {
    const std::string strHost = m_pAddress->text().toStdString();
    const int nPort = StringToInt(m_pPort->text().toStdString());
    m_client.SetServer(strHost, nPort);
    QSettings settings;
    settings.setValue(SETTING_SERVER_IP, QString::fromStdString(strHost));
    settings.setValue(SETTING_SERVER_PORT, nPort);
    accept();
}
