#include "velko/multilinelistbox.h"

#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

namespace {

enum ItemRole { IR_TEXT_COLOR = Qt::UserRole + 1, IR_BACK_COLOR, IR_SUB_LINES, IR_WIDTH };

// One sub-line: text, text colour, background colour.
QVariantList MakeSubLine(const QString& strText, ColorRef colorText, ColorRef colorBack) {
    return {strText, FromColorRef(colorText), FromColorRef(colorBack)};
}

class CMultiLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const auto* pList = static_cast<const CMultiLineListBox*>(parent());
        // Lines of one height are laid out without asking each one: they all
        // take the widest line's width.
        if (pList->uniformItemSizes()) {
            return QSize(pList->WidestLine(), LINE_HEIGHT);
        }
        // Layout asks without the item's state: the view knows the selection.
        const bool bSelected =
            pList->selectionModel() && pList->selectionModel()->isSelected(index);
        const int nSubLines = index.data(IR_SUB_LINES).toList().size();
        return QSize(index.data(IR_WIDTH).toInt(), LINE_HEIGHT * (bSelected ? 1 + nSubLines : 1));
    }

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        pPainter->save();
        const QColor colorText = index.data(IR_TEXT_COLOR).value<QColor>();
        const QColor colorBack = index.data(IR_BACK_COLOR).value<QColor>();
        const QVariantList listSub = index.data(IR_SUB_LINES).toList();
        const QRect rect = option.rect;
        const QString strText = index.data().toString();
        if (option.state & QStyle::State_Selected) {
            const int nLine = rect.height() / (1 + static_cast<int>(listSub.size()));
            pPainter->fillRect(rect, colorText);
            pPainter->setPen(colorBack);
            pPainter->drawText(QRect(rect.left() + 5, rect.top(), rect.width() - 5, nLine),
                               Qt::AlignVCenter | Qt::TextSingleLine, strText);
            int nTop = rect.top() + nLine;
            for (const QVariant& sub : listSub) {
                const QVariantList fields = sub.toList();
                const QRect band(rect.left(), nTop, rect.width(), nLine);
                pPainter->fillRect(band, fields[2].value<QColor>());
                pPainter->setPen(fields[1].value<QColor>());
                pPainter->drawText(band.adjusted(22, 0, 0, 0),
                                   Qt::AlignVCenter | Qt::TextSingleLine, fields[0].toString());
                nTop += nLine;
            }
            pPainter->setPen(QPen(colorBack, 1, Qt::DotLine));
            pPainter->drawRect(rect.adjusted(0, 0, -1, -1));
        } else {
            pPainter->fillRect(rect, colorBack);
            pPainter->setPen(colorText);
            pPainter->drawText(rect.adjusted(5, 0, 0, 0), Qt::AlignVCenter | Qt::TextSingleLine,
                               strText);
        }
        pPainter->restore();
    }
};

}  // namespace

QColor FromColorRef(ColorRef color) {
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

CMultiLineListBox::CMultiLineListBox(QWidget* pParent) : QListWidget(pParent) {
    setItemDelegate(new CMultiLineDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Every line is one line high until one has sub-lines to unfold; until
    // then a new line costs the same however many the list holds.
    setUniformItemSizes(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, FromColorRef(0xECFFEC));
    setPalette(palette);
    // A selected line unfolds its sub-lines; the one left folds again.
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        if (!uniformItemSizes()) {
            doItemsLayout();
        }
    });
}

QListWidgetItem* CMultiLineListBox::MakeItem(const QString& strText, ColorRef colorText,
                                             ColorRef colorBack) {
    auto* pItem = new QListWidgetItem(strText);
    pItem->setData(IR_TEXT_COLOR, FromColorRef(colorText));
    pItem->setData(IR_BACK_COLOR, FromColorRef(colorBack));
    pItem->setData(IR_SUB_LINES, QVariantList());
    // Measured once: layout asks for it again and again.
    const int nWidth = fontMetrics().horizontalAdvance(strText) + 10;
    pItem->setData(IR_WIDTH, nWidth);
    m_nWidestLine = std::max(m_nWidestLine, nWidth);
    return pItem;
}

int CMultiLineListBox::AddItem(const QString& strText, ColorRef colorText, ColorRef colorBack) {
    // The list follows its newest line unless the user has scrolled up. The
    // scroll waits until the window's thread is free again: the lines added
    // meanwhile are laid out once, not once per line (which a list of many
    // lines could not keep up with).
    const QScrollBar* pBar = verticalScrollBar();
    const bool bAtEnd = m_bScrollPending || pBar->value() >= pBar->maximum();
    addItem(MakeItem(strText, colorText, colorBack));
    DropOldestLines();
    if (bAtEnd && !m_bScrollPending) {
        m_bScrollPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_bScrollPending = false;
                scrollToBottom();
            },
            Qt::QueuedConnection);
    }
    return count() - 1;
}

void CMultiLineListBox::SetLineLimit(int nLimit) {
    m_nLineLimit = nLimit > 0 ? nLimit : 0;
    DropOldestLines();
}

void CMultiLineListBox::OnLineDropped(const QListWidgetItem*) {}

void CMultiLineListBox::CountSubLines(const QListWidgetItem* pItem, int nDelta) {
    if (pItem->data(IR_SUB_LINES).toList().isEmpty()) {
        return;
    }
    m_nItemsWithSubLines += nDelta;
    setUniformItemSizes(m_nItemsWithSubLines == 0);
}

void CMultiLineListBox::DropOldestLines() {
    const int nExcess = m_nLineLimit > 0 ? count() - m_nLineLimit : 0;
    if (nExcess <= 0) {
        return;
    }
    QScrollBar* pBar = verticalScrollBar();
    const int nValue = pBar->value();
    const bool bKeepView = !m_bScrollPending && nValue < pBar->maximum();
    // How far the lines on view move up: by the lines dropped, or by their
    // heights when the list scrolls by pixels.
    int nShift = 0;
    for (int i = 0; i < nExcess; ++i) {
        OnLineDropped(item(i));
        CountSubLines(item(i), -1);
        nShift += verticalScrollMode() == QAbstractItemView::ScrollPerItem
                      ? 1
                      : sizeHintForIndex(model()->index(i, 0)).height();
    }
    model()->removeRows(0, nExcess);
    if (bKeepView) {
        pBar->setValue(std::max(0, nValue - nShift));
    }
}

int CMultiLineListBox::InsertItem(int nIndex, const QString& strText, ColorRef colorText,
                                  ColorRef colorBack) {
    if (nIndex < 0 || nIndex > count()) {
        return -1;
    }
    insertItem(nIndex, MakeItem(strText, colorText, colorBack));
    return nIndex;
}

bool CMultiLineListBox::AddSubItem(int nIndex, const QString& strText, ColorRef colorText,
                                   ColorRef colorBack) {
    QListWidgetItem* pItem = item(nIndex);
    if (!pItem) {
        return false;
    }
    QVariantList listSub = pItem->data(IR_SUB_LINES).toList();
    listSub.append(QVariant(MakeSubLine(strText, colorText, colorBack)));
    pItem->setData(IR_SUB_LINES, listSub);
    if (listSub.size() == 1) {
        CountSubLines(pItem, +1);
    }
    return true;
}

QColor CMultiLineListBox::TextColor(int nIndex) const {
    return item(nIndex)->data(IR_TEXT_COLOR).value<QColor>();
}

QColor CMultiLineListBox::BackColor(int nIndex) const {
    return item(nIndex)->data(IR_BACK_COLOR).value<QColor>();
}

int CMultiLineListBox::ItemHeight(int nIndex) const {
    return visualItemRect(item(nIndex)).height();
}
