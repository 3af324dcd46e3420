#include "velko/ribbon.h"

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QTabBar>
#include <QToolButton>
#include <QVBoxLayout>

CRibbonPanel::CRibbonPanel(const QString& strTitle, QWidget* pParent)
    : QFrame(pParent), m_strTitle(strTitle) {
    setFrameShape(QFrame::StyledPanel);
    auto* pOuter = new QVBoxLayout(this);
    pOuter->setContentsMargins(4, 4, 4, 2);
    pOuter->setSpacing(2);
    m_pGrid = new QGridLayout;
    m_pGrid->setSpacing(2);
    pOuter->addLayout(m_pGrid, 1);
    auto* pCaption = new QLabel(strTitle, this);
    pCaption->setAlignment(Qt::AlignHCenter);
    pCaption->setEnabled(false);
    pOuter->addWidget(pCaption);
}

QToolButton* CRibbonPanel::AddButton(QAction* pAction) {
    if (m_bSmallColumn) {
        ++m_nColumn;
        m_bSmallColumn = false;
    }
    auto* pButton = new QToolButton(this);
    pButton->setDefaultAction(pAction);
    pButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    pButton->setIconSize(QSize(32, 32));
    pButton->setAutoRaise(true);
    pButton->setMinimumWidth(56);
    m_pGrid->addWidget(pButton, 0, m_nColumn, 3, 1);
    ++m_nColumn;
    return pButton;
}

void CRibbonPanel::PlaceSmall(QWidget* pWidget) {
    if (!m_bSmallColumn || m_nRow == 3) {
        if (m_bSmallColumn) {
            ++m_nColumn;
        }
        m_bSmallColumn = true;
        m_nRow = 0;
    }
    m_pGrid->addWidget(pWidget, m_nRow++, m_nColumn);
}

void CRibbonPanel::AddCheckBox(QAction* pAction) {
    auto* pBox = new QCheckBox(pAction->text(), this);
    // The box shows what the action says; a click goes through the action.
    auto sync = [pBox, pAction] {
        pBox->setEnabled(pAction->isEnabled());
        pBox->setChecked(pAction->isChecked());
        pBox->setText(pAction->text());
    };
    sync();
    connect(pAction, &QAction::changed, pBox, sync);
    connect(pBox, &QCheckBox::clicked, pAction, [pAction, sync] {
        pAction->trigger();
        sync();
    });
    PlaceSmall(pBox);
}

QLabel* CRibbonPanel::AddLabel(const QString& strText) {
    auto* pLabel = new QLabel(strText, this);
    PlaceSmall(pLabel);
    return pLabel;
}

CRibbonBar::CRibbonBar(QWidget* pParent) : QWidget(pParent) {
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);

    m_pTabRow = new QWidget(this);
    auto* pRow = new QHBoxLayout(m_pTabRow);
    pRow->setContentsMargins(2, 2, 2, 0);
    m_pAppButton = new QToolButton(m_pTabRow);
    m_pAppButton->setText(QStringLiteral("File"));
    m_pAppButton->setToolTip(QStringLiteral("File"));
    m_pAppButton->setPopupMode(QToolButton::InstantPopup);
    m_pAppButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_pTabs = new QTabBar(m_pTabRow);
    m_pTabs->setDrawBase(false);
    m_pTabs->setExpanding(false);
    m_pQuickAccess = new QHBoxLayout;
    m_pQuickAccess->setSpacing(0);
    pRow->addWidget(m_pAppButton);
    pRow->addLayout(m_pQuickAccess);
    pRow->addWidget(m_pTabs);
    pRow->addStretch(1);
    pLayout->addWidget(m_pTabRow);

    m_pPages = new QStackedWidget(this);
    pLayout->addWidget(m_pPages);
    connect(m_pTabs, &QTabBar::currentChanged, m_pPages, &QStackedWidget::setCurrentIndex);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

CRibbonPanel* CRibbonBar::AddPanel(const QString& strTab, const QString& strPanel) {
    int nTab = -1;
    for (int i = 0; i < m_pTabs->count(); ++i) {
        if (m_pTabs->tabText(i) == strTab) {
            nTab = i;
        }
    }
    if (nTab < 0) {
        auto* pPage = new QWidget(m_pPages);
        auto* pStrip = new QHBoxLayout(pPage);
        pStrip->setContentsMargins(2, 2, 2, 2);
        pStrip->addStretch(1);
        m_pPages->addWidget(pPage);
        nTab = m_pTabs->addTab(strTab);
    }
    QWidget* pPage = m_pPages->widget(nTab);
    auto* pStrip = static_cast<QHBoxLayout*>(pPage->layout());
    auto* pPanel = new CRibbonPanel(strPanel, pPage);
    pStrip->insertWidget(pStrip->count() - 1, pPanel);
    return pPanel;
}

void CRibbonBar::AddQuickAccess(QAction* pAction) {
    auto* pButton = new QToolButton(m_pTabRow);
    pButton->setDefaultAction(pAction);
    pButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    pButton->setIconSize(QSize(16, 16));
    pButton->setAutoRaise(true);
    m_pQuickAccess->addWidget(pButton);
}

QToolButton* CRibbonBar::AddTabRowButton(const QString& strText, const QString& strToolTip) {
    auto* pButton = new QToolButton(m_pTabRow);
    pButton->setText(strText);
    pButton->setToolTip(strToolTip);
    pButton->setAutoRaise(true);
    m_pTabRow->layout()->addWidget(pButton);
    return pButton;
}

int CRibbonBar::TabCount() const {
    return m_pTabs->count();
}

std::vector<CRibbonPanel*> CRibbonBar::Panels(int nTab) const {
    std::vector<CRibbonPanel*> vecPanels;
    QWidget* pPage = m_pPages->widget(nTab);
    QLayout* pStrip = pPage->layout();
    for (int i = 0; i < pStrip->count(); ++i) {
        if (auto* pPanel = qobject_cast<CRibbonPanel*>(pStrip->itemAt(i)->widget())) {
            vecPanels.push_back(pPanel);
        }
    }
    return vecPanels;
}
