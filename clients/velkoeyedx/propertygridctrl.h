#pragma once

// The viewer's property grid: the simulator's grid with the names 150 pixels
// wide, values that show no mark when they change, and lookups by name of
// the groups and items that the viewer fills.

#include <QString>

#include "sh_widgets/propertygrid.h"

class CPropertyGridCtrl : public CPropertyGrid {
    Q_OBJECT
public:
    static constexpr int kNameColumnWidth = 150;

    explicit CPropertyGridCtrl(QWidget* pParent = nullptr);

    // The top-level group of that name, or null.
    QTreeWidgetItem* FindGroup(const QString& strName) const;
    // The item directly under pParent of that name, or null.
    static QTreeWidgetItem* FindChild(const QTreeWidgetItem* pParent, const QString& strName);
};
