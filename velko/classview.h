#pragma once

// The model tree pane "Agents view": the loaded model as a tree of blocks,
// processes, their procedures, states and operation chains. Each block,
// process and operation item keeps its key (how the engine's maps know it)
// in its data; a right click selects the item under the mouse and offers
// "&Properties..." and "Trace options".

#include <QDockWidget>
#include <QTreeWidget>

class QMenu;

// Item images.
enum TreeImage { TI_ROOT = 0, TI_BLOCK = 1, TI_PROCESS = 2, TI_GROUP = 3, TI_LEAF = 4 };

class CViewTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CViewTree(QWidget* pParent);

    // Appends an item under pParent (top level when null). strKey is how the
    // engine's maps know the element; strAgent, for blocks and processes,
    // the agent's key in the tree (its full name with instance indexes).
    QTreeWidgetItem* AddItem(QTreeWidgetItem* pParent, const QString& strText,
                             const QString& strKey, TreeImage eImage, const QString& strAgent = {});
    // The key an item was given ("" for groups, states and procedures).
    static QString KeyOf(const QTreeWidgetItem* pItem);
    static QString AgentOf(const QTreeWidgetItem* pItem);
};

class CClassView : public QDockWidget {
    Q_OBJECT
public:
    explicit CClassView(QWidget* pParent);

    CViewTree* Tree() const { return m_pTree; }
    QMenu* ContextMenu() const { return m_pMenu; }
    // The width the pane opens with: wide enough for the label of an
    // operation of a process in a block, the deepest items of a model like
    // the sample, beside a vertical scroll bar.
    int OpeningWidth() const;

signals:
    void PropertiesRequested();
    void TraceOptionsRequested();

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    CViewTree* m_pTree;
    QMenu* m_pMenu;
};
