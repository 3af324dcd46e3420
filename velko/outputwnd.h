#pragma once

// The output pane: tabs "System", "Model" and "Errors", each a list of
// coloured lines. The Model list also turns trace records into numbered
// lines and remembers the record behind each, shown on a right click.

#include <QDockWidget>
#include <QHash>
#include <optional>
#include <string>

#include "velko/multilinelistbox.h"

class QMenu;
class QTabWidget;

// One trace record as a line of the Model tab.
struct STraceLine {
    std::string strText;
    ColorRef colorText = CR_BLACK;
    ColorRef colorBack = CR_WHITE;
};

// Formats a well-formed record (an error, warning, input, output, set-state
// or report element) as line number nNumber; nothing for other records.
// Throws CXMLParseException when the record is not well-formed XML.
std::optional<STraceLine> FormatTraceRecord(const std::string& strRecord, int nNumber);

// The lines each tab of the output pane keeps: the newest, however many a
// run or a peer reports.
inline constexpr int OUTPUT_LINE_LIMIT = 10000;

class COutputList : public CMultiLineListBox {
    Q_OBJECT
public:
    // Keeps the newest OUTPUT_LINE_LIMIT lines.
    explicit COutputList(QWidget* pParent);

    // One trace record into this list: an empty text is ignored, a text
    // without "<" (or one that is not XML) is added as it is, a record of a
    // kind shown gets the next number; other records add nothing.
    void FormatTraceMessage(const std::string& strLine);
    // The record a formatted line was made from ("" for other lines).
    QString RecordOf(const QString& strLine) const { return m_mapRecords.value(strLine); }
    int RecordCounter() const { return m_nRecordCounter; }
    // The pop-up menu of the last right click (tests close it).
    QMenu* ContextMenu() const { return m_pMenu; }

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    // A dropped line's record goes with it.
    void OnLineDropped(const QListWidgetItem* pItem) override;

private:
    QHash<QString, QString> m_mapRecords;
    int m_nRecordCounter = 0;
    QMenu* m_pMenu;
};

class COutputWnd : public QDockWidget {
    Q_OBJECT
public:
    explicit COutputWnd(QWidget* pParent);

    COutputList* System() const { return m_pSystem; }
    COutputList* Model() const { return m_pModel; }
    COutputList* Errors() const { return m_pErrors; }
    QTabWidget* Tabs() const { return m_pTabs; }

private:
    QTabWidget* m_pTabs;
    COutputList* m_pSystem;
    COutputList* m_pModel;
    COutputList* m_pErrors;
};
