#pragma once

// A list of coloured text lines. Each line has its own text and background
// colour and may carry sub-lines that unfold under it while it is selected;
// a selected line is drawn with its two colours swapped. Lines are 20 pixels
// high, and a selected line grows by 20 pixels per sub-line.

#include <QColor>
#include <QListWidget>
#include <QString>
#include <cstdint>

// A colour as the program's files and tables write it: 0x00BBGGRR.
using ColorRef = std::uint32_t;
QColor FromColorRef(ColorRef color);

constexpr ColorRef CR_BLACK = 0x000000;
constexpr ColorRef CR_WHITE = 0xFFFFFF;
constexpr int LINE_HEIGHT = 20;

class CMultiLineListBox : public QListWidget {
    Q_OBJECT
public:
    explicit CMultiLineListBox(QWidget* pParent);

    // Appends a line; returns its index. A list scrolled to its end (or not
    // scrollable) scrolls on to show the new line once the window's thread is
    // free again; one the user has scrolled up stays where it is. Beyond the
    // line limit the oldest lines go.
    int AddItem(const QString& strText, ColorRef colorText = CR_BLACK,
                ColorRef colorBack = CR_WHITE);
    // Inserts a line at nIndex (0 .. count; count appends); -1 when out of
    // range.
    int InsertItem(int nIndex, const QString& strText, ColorRef colorText = CR_BLACK,
                   ColorRef colorBack = CR_WHITE);
    // Adds a sub-line under line nIndex; false when there is no such line.
    bool AddSubItem(int nIndex, const QString& strText, ColorRef colorText = CR_BLACK,
                    ColorRef colorBack = CR_WHITE);

    // The most lines the list keeps (0, the default: no limit). A smaller
    // limit drops the oldest lines at once.
    void SetLineLimit(int nLimit);
    int LineLimit() const { return m_nLineLimit; }

    QColor TextColor(int nIndex) const;
    QColor BackColor(int nIndex) const;
    // The height line nIndex has now.
    int ItemHeight(int nIndex) const;
    // The width of the widest line added, in pixels with its margin.
    int WidestLine() const { return m_nWidestLine; }

protected:
    // A line that the limit drops, just before it goes.
    virtual void OnLineDropped(const QListWidgetItem* pItem);

private:
    // Drops the oldest lines beyond the limit; a view scrolled up keeps
    // showing the same lines.
    void DropOldestLines();
    QListWidgetItem* MakeItem(const QString& strText, ColorRef colorText, ColorRef colorBack);
    // pItem, which has sub-lines, comes (nDelta +1) or goes (-1): lines of
    // one height are laid out as such only while no line has sub-lines.
    void CountSubLines(const QListWidgetItem* pItem, int nDelta);

    int m_nLineLimit = 0;
    int m_nWidestLine = 0;
    int m_nItemsWithSubLines = 0;
    // A scroll to the newest line waits to be made.
    bool m_bScrollPending = false;
};
