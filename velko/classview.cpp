#include "velko/classview.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QStyle>

#include "velko/icons.h"

namespace {
constexpr int ROLE_KEY = Qt::UserRole;
constexpr int ROLE_AGENT = Qt::UserRole + 1;
}  // namespace

CViewTree::CViewTree(QWidget* pParent) : QTreeWidget(pParent) {
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

QTreeWidgetItem* CViewTree::AddItem(QTreeWidgetItem* pParent, const QString& strText,
                                    const QString& strKey, TreeImage eImage,
                                    const QString& strAgent) {
    auto* pItem = pParent ? new QTreeWidgetItem(pParent) : new QTreeWidgetItem(this);
    pItem->setText(0, strText);
    // A label wider than the pane is cut short; the tip shows it whole.
    pItem->setToolTip(0, strText);
    pItem->setData(0, ROLE_KEY, strKey);
    pItem->setData(0, ROLE_AGENT, strAgent);
    pItem->setIcon(0, TreeIcon(eImage));
    return pItem;
}

QString CViewTree::KeyOf(const QTreeWidgetItem* pItem) {
    return pItem ? pItem->data(0, ROLE_KEY).toString() : QString();
}

QString CViewTree::AgentOf(const QTreeWidgetItem* pItem) {
    return pItem ? pItem->data(0, ROLE_AGENT).toString() : QString();
}

CClassView::CClassView(QWidget* pParent) : QDockWidget(QStringLiteral("Agents view"), pParent) {
    setObjectName(QStringLiteral("AgentsView"));
    m_pTree = new CViewTree(this);
    setWidget(m_pTree);
    m_pMenu = new QMenu(this);
    m_pMenu->addAction(QStringLiteral("&Properties..."), this, &CClassView::PropertiesRequested);
    m_pMenu->addSeparator();
    m_pMenu->addAction(QStringLiteral("Trace options"), this, &CClassView::TraceOptionsRequested);
    m_pTree->viewport()->installEventFilter(this);
}

int CClassView::OpeningWidth() const {
    // Such an item is six indentations in (the root's own included); a long
    // state name gives a label as wide as this one.
    const QString strLabel = QStringLiteral("setstate [0_1_0_finished_61]:127.0.0.1");
    const QStyle* pStyle = m_pTree->style();
    const int nIcon = pStyle->pixelMetric(QStyle::PM_SmallIconSize, nullptr, m_pTree);
    const int nScrollBar = pStyle->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_pTree);
    // Room for the icon's and the text's margins.
    const int nMargins = 4 * m_pTree->fontMetrics().averageCharWidth();
    return 6 * m_pTree->indentation() + nIcon + m_pTree->fontMetrics().horizontalAdvance(strLabel) +
           nMargins + nScrollBar + 2 * m_pTree->frameWidth();
}

bool CClassView::eventFilter(QObject* pObject, QEvent* pEvent) {
    if (pObject == m_pTree->viewport() && pEvent->type() == QEvent::ContextMenu) {
        auto* pMenuEvent = static_cast<QContextMenuEvent*>(pEvent);
        // The item under the mouse is selected first, which shows it.
        if (pMenuEvent->reason() == QContextMenuEvent::Mouse) {
            if (QTreeWidgetItem* pItem = m_pTree->itemAt(pMenuEvent->pos())) {
                m_pTree->setCurrentItem(pItem);
            }
        }
        m_pTree->setFocus();
        m_pMenu->popup(pMenuEvent->globalPos());
        return true;
    }
    return QDockWidget::eventFilter(pObject, pEvent);
}
