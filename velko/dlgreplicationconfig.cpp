#include "velko/dlgreplicationconfig.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

CDlgReplicationConfig::CDlgReplicationConfig(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("Replication configuration"));
    auto* pLayout = new QVBoxLayout(this);
    auto* pGroup = new QGroupBox(QStringLiteral("End of a simulation"), this);
    auto* pGrid = new QGridLayout(pGroup);
    const char* const pszModes[] = {"By time", "By number of loops", "Never"};
    for (int nMode = 0; nMode < 3; ++nMode) {
        m_pModes[nMode] = new QRadioButton(QString::fromLatin1(pszModes[nMode]), pGroup);
        pGrid->addWidget(m_pModes[nMode], nMode, 0);
        connect(m_pModes[nMode], &QRadioButton::clicked, this,
                [this, nMode] { SelectMode(nMode); });
    }
    m_pEndTime = new QLineEdit(pGroup);
    m_pLoops = new QLineEdit(pGroup);
    pGrid->addWidget(m_pEndTime, 0, 1);
    pGrid->addWidget(m_pLoops, 1, 1);
    auto* pWarning =
        new QLabel(QStringLiteral("Use with caution. This means that the model defines "
                                  "the condition to finish the simulation (i.e. no "
                                  "more events)."),
                   pGroup);
    pWarning->setWordWrap(true);
    pGrid->addWidget(pWarning, 2, 1);
    pGrid->setColumnStretch(1, 1);
    connect(m_pEndTime, &QLineEdit::textChanged, this,
            [this](const QString& strText) { m_strEndTime = strText; });
    connect(m_pLoops, &QLineEdit::textChanged, this,
            [this](const QString& strText) { m_strLoops = strText; });
    pLayout->addWidget(pGroup);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);
    resize(420, 200);
}

void CDlgReplicationConfig::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    const int nMode = m_nEndMode >= 0 && m_nEndMode < 3 ? m_nEndMode : 0;
    m_pModes[nMode]->setChecked(true);
    SelectMode(nMode);
    // The texts after the mode, as the edits' own changes copy them back.
    const QString strEndTime = m_strEndTime;
    const QString strLoops = m_strLoops;
    m_pEndTime->setText(strEndTime);
    m_pLoops->setText(strLoops);
}

void CDlgReplicationConfig::SelectMode(int nMode) {
    m_nEndMode = nMode;
    m_pEndTime->setVisible(nMode == 0);
    m_pLoops->setVisible(nMode == 1);
}
