#include "sh_widgets/propertygrid.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValidator>
#include <charconv>

#include "sh_widgets/numbertext.h"

namespace {

enum Column { COL_NAME = 0, COL_VALUE = 1, COL_ORDER = 2 };
// Data of the name column.
constexpr int ROLE_TYPE = Qt::UserRole;
constexpr int ROLE_EDITABLE = Qt::UserRole + 1;
constexpr int ROLE_DESCRIPTION = Qt::UserRole + 2;
constexpr int ROLE_OPTIONS = Qt::UserRole + 3;
// Data of the value column: the value the leaf was added with, unless the
// grid marks no modified values.
constexpr int ROLE_ORIGINAL = Qt::UserRole;

// Accepts what ReadDecimalNumber reads; anything else may be typed on the way to
// a number but is never committed.
class CNumberValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& strInput, int&) const override {
        double dValue = 0.0;
        return ReadDecimalNumber(strInput, dValue) ? Acceptable : Intermediate;
    }
};

void MarkModified(QTreeWidgetItem* pItem) {
    QFont font = pItem->font(COL_NAME);
    font.setBold(CPropertyGrid::IsModified(pItem));
    pItem->setFont(COL_NAME, font);
    pItem->setFont(COL_VALUE, font);
}

}  // namespace

// The value column's editors, by the leaf's type.
class CPropertyDelegate : public QStyledItemDelegate {
public:
    CPropertyDelegate(CPropertyGrid* pGrid) : QStyledItemDelegate(pGrid), m_pGrid(pGrid) {}

    QWidget* createEditor(QWidget* pParent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        const QTreeWidgetItem* pItem = m_pGrid->m_pTree->itemFromIndex(index);
        if (index.column() != COL_VALUE || !pItem || !CPropertyGrid::IsEditable(pItem)) {
            return nullptr;
        }
        if (CPropertyGrid::Type(pItem) == PT_CHOICE) {
            auto* pCombo = new QComboBox(pParent);
            pCombo->setEditable(true);
            pCombo->setInsertPolicy(QComboBox::NoInsert);
            pCombo->setFrame(false);
            pCombo->addItems(pItem->data(COL_NAME, ROLE_OPTIONS).toStringList());
            // A pick from the list is committed at once; a typed text on
            // Enter or when the editor is left.
            connect(pCombo, &QComboBox::textActivated, this, [this, pCombo] {
                auto* pSelf = const_cast<CPropertyDelegate*>(this);
                emit pSelf->commitData(pCombo);
                emit pSelf->closeEditor(pCombo);
            });
            return pCombo;
        }
        auto* pEditor = new QLineEdit(pParent);
        pEditor->setFrame(false);
        if (CPropertyGrid::Type(pItem) == PT_NUMBER) {
            pEditor->setValidator(new CNumberValidator(pEditor));
        }
        return pEditor;
    }

    void setEditorData(QWidget* pEditor, const QModelIndex& index) const override {
        if (auto* pCombo = qobject_cast<QComboBox*>(pEditor)) {
            pCombo->setEditText(index.data().toString());
        } else {
            static_cast<QLineEdit*>(pEditor)->setText(index.data().toString());
        }
    }

    void setModelData(QWidget* pEditor, QAbstractItemModel*,
                      const QModelIndex& index) const override {
        QTreeWidgetItem* pItem = m_pGrid->m_pTree->itemFromIndex(index);
        auto* pCombo = qobject_cast<QComboBox*>(pEditor);
        QString strText = pCombo ? pCombo->currentText() : static_cast<QLineEdit*>(pEditor)->text();
        if (CPropertyGrid::Type(pItem) == PT_NUMBER) {
            double dValue = 0.0;
            if (!ReadDecimalNumber(strText, dValue)) {
                return;  // a text that is no number never reaches the model
            }
            strText = strText.trimmed();
        }
        if (strText == CPropertyGrid::Value(pItem)) {
            return;
        }
        CPropertyGrid::SetValue(pItem, strText);
        m_pGrid->OnEdited(pItem);
    }

private:
    CPropertyGrid* m_pGrid;
};

CPropertyGrid::CPropertyGrid(QWidget* pParent) : QWidget(pParent) {
    m_pTree = new QTreeWidget(this);
    m_pTree->setColumnCount(3);
    m_pTree->setHeaderLabels({QStringLiteral("Property"), QStringLiteral("Value"), QString()});
    m_pTree->hideColumn(COL_ORDER);
    m_pTree->setAlternatingRowColors(true);
    m_pTree->setRootIsDecorated(true);
    m_pTree->setUniformRowHeights(true);
    m_pTree->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                             QAbstractItemView::EditKeyPressed);
    m_pTree->setItemDelegate(new CPropertyDelegate(this));
    // The order column keeps the insertion order; sorting by it restores it.
    m_pTree->setSortingEnabled(true);
    m_pTree->sortByColumn(COL_ORDER, Qt::AscendingOrder);
    m_pTree->header()->setSectionsClickable(false);
    m_pTree->header()->setSortIndicatorShown(false);
    m_pTree->header()->setStretchLastSection(false);
    m_pTree->header()->setSectionResizeMode(COL_NAME, QHeaderView::ResizeToContents);
    m_pTree->header()->setSectionResizeMode(COL_VALUE, QHeaderView::Stretch);

    m_pDescription = new QLabel(this);
    m_pDescription->setWordWrap(true);
    m_pDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pDescription->setFrameShape(QFrame::StyledPanel);
    m_pDescription->setMinimumHeight(3 * fontMetrics().height() + 8);
    m_pDescription->setMargin(3);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(2);
    pLayout->addWidget(m_pTree, 1);
    pLayout->addWidget(m_pDescription);

    connect(m_pTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* pItem) { ShowDescription(pItem); });
}

QTreeWidgetItem* CPropertyGrid::AddItem(QTreeWidgetItem* pParent, const QString& strName,
                                        const QString& strValue, const QString& strDescription,
                                        PropertyType eType, bool bEditable) {
    auto* pItem = new QTreeWidgetItem;
    pItem->setText(COL_NAME, strName);
    pItem->setData(COL_NAME, ROLE_TYPE, eType);
    pItem->setData(COL_NAME, ROLE_EDITABLE, bEditable);
    pItem->setData(COL_NAME, ROLE_DESCRIPTION, strDescription);
    pItem->setData(COL_ORDER, Qt::DisplayRole, m_nInserted++);
    if (eType != PT_GROUP) {
        pItem->setText(COL_VALUE, strValue);
        if (m_bMarkModified) {
            pItem->setData(COL_VALUE, ROLE_ORIGINAL, strValue);
        }
    }
    if (bEditable) {
        pItem->setFlags(pItem->flags() | Qt::ItemIsEditable);
    } else if (eType != PT_GROUP) {
        pItem->setForeground(COL_VALUE, palette().brush(QPalette::Disabled, QPalette::Text));
    }
    if (pParent) {
        pParent->addChild(pItem);
        pParent->setExpanded(true);  // also a leaf with sub-items
    } else {
        m_pTree->addTopLevelItem(pItem);
    }
    if (eType == PT_GROUP) {
        pItem->setFirstColumnSpanned(true);
        pItem->setExpanded(true);
    }
    return pItem;
}

QTreeWidgetItem* CPropertyGrid::AddGroup(QTreeWidgetItem* pParent, const QString& strName) {
    return AddItem(pParent, strName, {}, {}, PT_GROUP, false);
}

QTreeWidgetItem* CPropertyGrid::AddText(QTreeWidgetItem* pParent, const QString& strName,
                                        const QString& strValue, const QString& strDescription,
                                        bool bEditable) {
    return AddItem(pParent, strName, strValue, strDescription, PT_TEXT, bEditable);
}

QTreeWidgetItem* CPropertyGrid::AddNumber(QTreeWidgetItem* pParent, const QString& strName,
                                          double dValue, const QString& strDescription,
                                          bool bEditable) {
    return AddItem(pParent, strName, FormatNumber(dValue), strDescription, PT_NUMBER, bEditable);
}

QTreeWidgetItem* CPropertyGrid::AddChoice(QTreeWidgetItem* pParent, const QString& strName,
                                          const QString& strValue, const QString& strDescription,
                                          const QStringList& listOptions) {
    QTreeWidgetItem* pItem = AddItem(pParent, strName, strValue, strDescription, PT_CHOICE, true);
    pItem->setData(COL_NAME, ROLE_OPTIONS, listOptions);
    return pItem;
}

void CPropertyGrid::RemoveAll() {
    m_pTree->clear();
    m_nInserted = 0;
    ShowDescription(nullptr);
}

void CPropertyGrid::ExpandAll() {
    m_pTree->expandAll();
}

void CPropertyGrid::SetAlphabetic(bool bAlphabetic) {
    m_bAlphabetic = bAlphabetic;
    m_pTree->sortByColumn(bAlphabetic ? COL_NAME : COL_ORDER, Qt::AscendingOrder);
}

void CPropertyGrid::SetValue(QTreeWidgetItem* pItem, const QString& strValue) {
    pItem->setText(COL_VALUE, strValue);
    MarkModified(pItem);
}

QString CPropertyGrid::Value(const QTreeWidgetItem* pItem) {
    return pItem->text(COL_VALUE);
}

QString CPropertyGrid::Name(const QTreeWidgetItem* pItem) {
    return pItem->text(COL_NAME);
}

PropertyType CPropertyGrid::Type(const QTreeWidgetItem* pItem) {
    return static_cast<PropertyType>(pItem->data(COL_NAME, ROLE_TYPE).toInt());
}

bool CPropertyGrid::IsEditable(const QTreeWidgetItem* pItem) {
    return pItem->data(COL_NAME, ROLE_EDITABLE).toBool();
}

bool CPropertyGrid::IsModified(const QTreeWidgetItem* pItem) {
    const QVariant original = pItem->data(COL_VALUE, ROLE_ORIGINAL);
    return Type(pItem) != PT_GROUP && original.isValid() &&
           pItem->text(COL_VALUE) != original.toString();
}

QString CPropertyGrid::FormatNumber(double dValue) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof(buf), dValue);
    return QString::fromLatin1(buf, static_cast<int>(result.ptr - buf));
}

void CPropertyGrid::OnEdited(QTreeWidgetItem* pItem) {
    ShowDescription(pItem);
    emit PropertyChanged(pItem);
}

void CPropertyGrid::ShowDescription(const QTreeWidgetItem* pItem) {
    if (!pItem) {
        m_pDescription->clear();
        return;
    }
    m_pDescription->setText(
        QStringLiteral("<b>%1</b><br>%2")
            .arg(Name(pItem).toHtmlEscaped(),
                 pItem->data(COL_NAME, ROLE_DESCRIPTION).toString().toHtmlEscaped()));
}
