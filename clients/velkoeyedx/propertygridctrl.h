#pragma once

// A property grid: groups of named values in two columns, the names 150
// pixels wide, and under them a description area of three lines that tells
// what the current property is. Values are read-only, except those of a
// choice, which the user picks from a list or types in an editable combo box.
// Only a value the user commits is announced (PropertyChanged).

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

class CPropertyGridCtrl : public QWidget {
    Q_OBJECT
public:
    static constexpr int kNameColumnWidth = 150;
    static constexpr int kDescriptionRows = 3;

    explicit CPropertyGridCtrl(QWidget* pParent = nullptr);

    // Each appends under pGroup (at the top level when null) and returns the
    // new item; groups show expanded.
    QTreeWidgetItem* AddGroup(QTreeWidgetItem* pGroup, const QString& strName);
    QTreeWidgetItem* AddProperty(QTreeWidgetItem* pGroup, const QString& strName,
                                 const QString& strValue, const QString& strDescription);
    QTreeWidgetItem* AddChoice(QTreeWidgetItem* pGroup, const QString& strName,
                               const QString& strValue, const QString& strDescription,
                               const QStringList& listOptions);
    void RemoveAll();

    // The top-level group of that name, or null.
    QTreeWidgetItem* FindGroup(const QString& strName) const;
    // The item directly under pParent of that name, or null.
    static QTreeWidgetItem* FindChild(const QTreeWidgetItem* pParent, const QString& strName);

    static QString Name(const QTreeWidgetItem* pItem);
    QString Value(const QTreeWidgetItem* pItem) const;
    // Sets a value from code: not announced.
    void SetValue(QTreeWidgetItem* pItem, const QString& strValue);

    QTreeWidget* Tree() const { return m_pTree; }
    QLabel* DescriptionArea() const { return m_pDescription; }

signals:
    // The user committed a new value of pItem.
    void PropertyChanged(QTreeWidgetItem* pItem);

private:
    QTreeWidgetItem* AddItem(QTreeWidgetItem* pGroup, const QString& strName,
                             const QString& strValue, const QString& strDescription);
    // The user's text in the choice editor of pItem.
    void OnChoiceCommitted(QTreeWidgetItem* pItem, const QString& strText);
    void ShowDescription(const QTreeWidgetItem* pItem);

    QTreeWidget* m_pTree;
    QLabel* m_pDescription;
};
