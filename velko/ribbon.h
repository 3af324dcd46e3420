#pragma once

// A small ribbon: a row of tabs, each a strip of labelled panels holding
// large tool buttons, check boxes and text labels. Every button and check box
// stands for a QAction, so enabling and check marks follow the command table.
// The tab row ends in an application button on the left and any number of
// buttons on the right.

#include <QFrame>
#include <QString>
#include <QWidget>
#include <vector>

class QAction;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QMenu;
class QStackedWidget;
class QTabBar;
class QToolButton;

class CRibbonPanel : public QFrame {
    Q_OBJECT
public:
    CRibbonPanel(const QString& strTitle, QWidget* pParent);

    const QString& Title() const { return m_strTitle; }
    // A large button with its icon above the text.
    QToolButton* AddButton(QAction* pAction);
    // A check box in the next row of the current column.
    void AddCheckBox(QAction* pAction);
    // A text label in the next row; returned so that it can be changed.
    QLabel* AddLabel(const QString& strText);

private:
    // Small elements stack three to a column.
    void PlaceSmall(QWidget* pWidget);

    QString m_strTitle;
    QGridLayout* m_pGrid;
    int m_nColumn = 0;
    int m_nRow = 0;
    bool m_bSmallColumn = false;
};

class CRibbonBar : public QWidget {
    Q_OBJECT
public:
    explicit CRibbonBar(QWidget* pParent);

    // The round "File" button on the left of the tab row; its menu is the
    // caller's.
    QToolButton* ApplicationButton() const { return m_pAppButton; }
    // A new panel at the end of the tab strTab (created when it is new).
    CRibbonPanel* AddPanel(const QString& strTab, const QString& strPanel);
    // A small button of the quick access row, beside the application button.
    void AddQuickAccess(QAction* pAction);
    // A button at the right end of the tab row.
    QToolButton* AddTabRowButton(const QString& strText, const QString& strToolTip);

    int TabCount() const;
    // The panels of a tab, in order.
    std::vector<CRibbonPanel*> Panels(int nTab) const;

private:
    QToolButton* m_pAppButton;
    QHBoxLayout* m_pQuickAccess;
    QTabBar* m_pTabs;
    QWidget* m_pTabRow;
    QStackedWidget* m_pPages;
};
