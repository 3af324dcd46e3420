#pragma once

// A property grid: a tree of groups and leaves with the columns "Property"
// and "Value", a description area under it that tells what the current
// property is, values that differ from the value they were shown with in
// bold, insertion or alphabetical order, and an editor by value type (a line
// of text, a number that must be a whole decimal number, or a choice from a
// list that also takes a typed text). Only an edit by the user is announced
// (PropertyChanged); values set by code are not.

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

enum PropertyType { PT_GROUP, PT_TEXT, PT_NUMBER, PT_CHOICE };

class CPropertyGrid : public QWidget {
    Q_OBJECT
public:
    explicit CPropertyGrid(QWidget* pParent);

    // Each appends under pParent (at the top level when null) and returns the
    // new item. Groups, and leaves given sub-items, are shown expanded; a
    // leaf that is not editable is drawn greyed and opens no editor.
    QTreeWidgetItem* AddGroup(QTreeWidgetItem* pParent, const QString& strName);
    QTreeWidgetItem* AddText(QTreeWidgetItem* pParent, const QString& strName,
                             const QString& strValue, const QString& strDescription,
                             bool bEditable);
    QTreeWidgetItem* AddNumber(QTreeWidgetItem* pParent, const QString& strName, double dValue,
                               const QString& strDescription, bool bEditable);
    // Editable: the user picks one of listOptions or types a text.
    QTreeWidgetItem* AddChoice(QTreeWidgetItem* pParent, const QString& strName,
                               const QString& strValue, const QString& strDescription,
                               const QStringList& listOptions);
    void RemoveAll();
    void ExpandAll();
    // Alphabetical order at every level, or the order of insertion.
    void SetAlphabetic(bool bAlphabetic);
    bool IsAlphabetic() const { return m_bAlphabetic; }
    // Whether leaves added from now on show in bold once their value
    // differs from the one they were added with (the default).
    void SetMarkModified(bool bMark) { m_bMarkModified = bMark; }

    // Sets a value from code (not announced); it shows as modified when it
    // differs from the value the leaf was added with.
    static void SetValue(QTreeWidgetItem* pItem, const QString& strValue);
    static QString Value(const QTreeWidgetItem* pItem);
    static QString Name(const QTreeWidgetItem* pItem);
    static PropertyType Type(const QTreeWidgetItem* pItem);
    static bool IsEditable(const QTreeWidgetItem* pItem);
    static bool IsModified(const QTreeWidgetItem* pItem);

    // What a number leaf shows: the shortest text that reads back as dValue.
    static QString FormatNumber(double dValue);

    QTreeWidget* Tree() const { return m_pTree; }
    QLabel* DescriptionArea() const { return m_pDescription; }

signals:
    // The user changed the value of pItem in its editor.
    void PropertyChanged(QTreeWidgetItem* pItem);

private:
    friend class CPropertyDelegate;
    QTreeWidgetItem* AddItem(QTreeWidgetItem* pParent, const QString& strName,
                             const QString& strValue, const QString& strDescription,
                             PropertyType eType, bool bEditable);
    // The editor committed a new value.
    void OnEdited(QTreeWidgetItem* pItem);
    void ShowDescription(const QTreeWidgetItem* pItem);

    QTreeWidget* m_pTree;
    QLabel* m_pDescription;
    bool m_bAlphabetic = false;
    bool m_bMarkModified = true;
    int m_nInserted = 0;
};
