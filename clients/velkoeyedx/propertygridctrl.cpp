#include "clients/velkoeyedx/propertygridctrl.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

enum Column { COL_NAME = 0, COL_VALUE = 1 };
constexpr int ROLE_DESCRIPTION = Qt::UserRole;

}  // namespace

CPropertyGridCtrl::CPropertyGridCtrl(QWidget* pParent)
    : QWidget(pParent), m_pTree(new QTreeWidget(this)), m_pDescription(new QLabel(this)) {
    m_pTree->setColumnCount(2);
    m_pTree->setHeaderLabels({tr("Property"), tr("Value")});
    m_pTree->header()->setStretchLastSection(true);
    m_pTree->header()->resizeSection(COL_NAME, kNameColumnWidth);
    m_pTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTree->setAllColumnsShowFocus(true);

    m_pDescription->setWordWrap(true);
    m_pDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pDescription->setFrameShape(QFrame::StyledPanel);
    m_pDescription->setMargin(3);
    m_pDescription->setFixedHeight(kDescriptionRows * fontMetrics().lineSpacing() + 2 * 3 +
                                   2 * m_pDescription->frameWidth());

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(2);
    pLayout->addWidget(m_pTree, 1);
    pLayout->addWidget(m_pDescription);

    connect(m_pTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* pItem) { ShowDescription(pItem); });
}

QTreeWidgetItem* CPropertyGridCtrl::AddItem(QTreeWidgetItem* pGroup, const QString& strName,
                                            const QString& strValue,
                                            const QString& strDescription) {
    auto* pItem = new QTreeWidgetItem({strName, strValue});
    pItem->setData(COL_NAME, ROLE_DESCRIPTION, strDescription);
    if (pGroup) {
        pGroup->addChild(pItem);
    } else {
        m_pTree->addTopLevelItem(pItem);
    }
    return pItem;
}

QTreeWidgetItem* CPropertyGridCtrl::AddGroup(QTreeWidgetItem* pGroup, const QString& strName) {
    QTreeWidgetItem* pItem = AddItem(pGroup, strName, QString(), QString());
    QFont font = pItem->font(COL_NAME);
    font.setBold(true);
    pItem->setFont(COL_NAME, font);
    pItem->setFirstColumnSpanned(true);
    pItem->setExpanded(true);
    return pItem;
}

QTreeWidgetItem* CPropertyGridCtrl::AddProperty(QTreeWidgetItem* pGroup, const QString& strName,
                                                const QString& strValue,
                                                const QString& strDescription) {
    QTreeWidgetItem* pItem = AddItem(pGroup, strName, strValue, strDescription);
    // Shown as values the user cannot change.
    pItem->setForeground(COL_VALUE, m_pTree->palette().brush(QPalette::Disabled, QPalette::Text));
    return pItem;
}

QTreeWidgetItem* CPropertyGridCtrl::AddChoice(QTreeWidgetItem* pGroup, const QString& strName,
                                              const QString& strValue,
                                              const QString& strDescription,
                                              const QStringList& listOptions) {
    QTreeWidgetItem* pItem = AddItem(pGroup, strName, strValue, strDescription);
    auto* pCombo = new QComboBox(m_pTree);
    pCombo->setEditable(true);
    pCombo->setInsertPolicy(QComboBox::NoInsert);
    pCombo->addItems(listOptions);
    pCombo->setEditText(strValue);
    m_pTree->setItemWidget(pItem, COL_VALUE, pCombo);
    // A choice from the list, or a typed text once Enter is pressed or the
    // editor is left.
    connect(pCombo, &QComboBox::textActivated, this,
            [this, pItem](const QString& strText) { OnChoiceCommitted(pItem, strText); });
    connect(pCombo->lineEdit(), &QLineEdit::editingFinished, this,
            [this, pItem, pCombo] { OnChoiceCommitted(pItem, pCombo->currentText()); });
    return pItem;
}

void CPropertyGridCtrl::RemoveAll() {
    m_pTree->clear();
    ShowDescription(nullptr);
}

QTreeWidgetItem* CPropertyGridCtrl::FindGroup(const QString& strName) const {
    for (int i = 0; i < m_pTree->topLevelItemCount(); ++i) {
        if (Name(m_pTree->topLevelItem(i)) == strName) {
            return m_pTree->topLevelItem(i);
        }
    }
    return nullptr;
}

QTreeWidgetItem* CPropertyGridCtrl::FindChild(const QTreeWidgetItem* pParent,
                                              const QString& strName) {
    for (int i = 0; pParent && i < pParent->childCount(); ++i) {
        if (Name(pParent->child(i)) == strName) {
            return pParent->child(i);
        }
    }
    return nullptr;
}

QString CPropertyGridCtrl::Name(const QTreeWidgetItem* pItem) {
    return pItem->text(COL_NAME);
}

QString CPropertyGridCtrl::Value(const QTreeWidgetItem* pItem) const {
    return pItem->text(COL_VALUE);
}

void CPropertyGridCtrl::SetValue(QTreeWidgetItem* pItem, const QString& strValue) {
    pItem->setText(COL_VALUE, strValue);
    if (auto* pCombo = qobject_cast<QComboBox*>(m_pTree->itemWidget(pItem, COL_VALUE))) {
        pCombo->setEditText(strValue);
    }
}

void CPropertyGridCtrl::OnChoiceCommitted(QTreeWidgetItem* pItem, const QString& strText) {
    if (strText == Value(pItem)) {
        return;
    }
    pItem->setText(COL_VALUE, strText);
    emit PropertyChanged(pItem);
}

void CPropertyGridCtrl::ShowDescription(const QTreeWidgetItem* pItem) {
    if (!pItem) {
        m_pDescription->clear();
        return;
    }
    m_pDescription->setText(
        QStringLiteral("<b>%1</b><br>%2")
            .arg(Name(pItem).toHtmlEscaped(),
                 pItem->data(COL_NAME, ROLE_DESCRIPTION).toString().toHtmlEscaped()));
}
