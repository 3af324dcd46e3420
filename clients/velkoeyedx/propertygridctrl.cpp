#include "clients/velkoeyedx/propertygridctrl.h"

#include <QHeaderView>
#include <QTreeWidget>

CPropertyGridCtrl::CPropertyGridCtrl(QWidget* pParent) : CPropertyGrid(pParent) {
    SetMarkModified(false);
    Tree()->header()->setSectionResizeMode(0, QHeaderView::Interactive);
    Tree()->header()->resizeSection(0, kNameColumnWidth);
}

QTreeWidgetItem* CPropertyGridCtrl::FindGroup(const QString& strName) const {
    const QTreeWidget* pTree = Tree();
    for (int i = 0; i < pTree->topLevelItemCount(); ++i) {
        if (Name(pTree->topLevelItem(i)) == strName) {
            return pTree->topLevelItem(i);
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
