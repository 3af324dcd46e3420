#include "velko/dlgrunning.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include "sh_aux/hpslib.h"
#include "velko/icons.h"

CDlgRunning::CDlgRunning(QWidget* pParent, QAction* pStop, QAction* pStep) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("Running"));
    setModal(false);
    auto* pLayout = new QHBoxLayout(this);
    auto* pPicture = new QLabel(this);
    pPicture->setPixmap(ApplicationIcon().pixmap(32, 32));
    pLayout->addWidget(pPicture);
    pLayout->addWidget(new QLabel(QStringLiteral("Minimum event time"), this));
    m_pTime = new QLineEdit(this);
    m_pTime->setReadOnly(true);
    m_pTime->setMinimumWidth(110);
    pLayout->addWidget(m_pTime, 1);
    auto makeButton = [this, pLayout](QAction* pAction) {
        auto* pButton = new QToolButton(this);
        pButton->setDefaultAction(pAction);
        pButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
        pButton->setMinimumWidth(70);
        pLayout->addWidget(pButton);
        return pButton;
    };
    m_pStop = makeButton(pStop);
    m_pPause = makeButton(pStep);
}

void CDlgRunning::SetTime(double dTime) {
    m_pTime->setText(QString::fromStdString(Format("%f", dTime)));
}
