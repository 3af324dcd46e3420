#include "velko/dlgtraceoptions.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

CDlgTraceOptions::CDlgTraceOptions(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("Trace Options"));
    auto* pLayout = new QVBoxLayout(this);
    auto* pGroups = new QHBoxLayout;
    const char* const pszGroups[] = {"Trace", "Animation trace"};
    const char* const pszBoxes[] = {"Operation Input", "Operation Output", "Operation Set State"};
    for (int g = 0; g < 2; ++g) {
        auto* pGroup = new QGroupBox(QString::fromLatin1(pszGroups[g]), this);
        auto* pGroupLayout = new QVBoxLayout(pGroup);
        for (int b = 0; b < 3; ++b) {
            const int nIndex = g * 3 + b;
            m_pBoxes[nIndex] = new QCheckBox(QString::fromLatin1(pszBoxes[b]), pGroup);
            connect(m_pBoxes[nIndex], &QCheckBox::toggled, this,
                    [this, nIndex](bool bChecked) { *Flag(nIndex) = bChecked; });
            pGroupLayout->addWidget(m_pBoxes[nIndex]);
        }
        pGroups->addWidget(pGroup);
    }
    pLayout->addLayout(pGroups);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);
}

bool* CDlgTraceOptions::Flag(int nIndex) {
    bool* const pFlags[] = {&m_bTraceInput, &m_bTraceOutput, &m_bTraceSetState,
                            &m_bAnimInput,  &m_bAnimOutput,  &m_bAnimSetState};
    return pFlags[nIndex];
}

void CDlgTraceOptions::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    for (int i = 0; i < 6; ++i) {
        m_pBoxes[i]->setChecked(*Flag(i));
    }
}
