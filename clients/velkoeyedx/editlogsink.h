#pragma once

// The viewer's log boxes: multi-line, read-only text boxes that grow by one
// line at a time, and the sink through which the scene's readers and the
// animation model write to such a box from any thread.

#include <QPlainTextEdit>
#include <QString>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/logsink.h"

// A read-only box with a vertical scroll bar, for lines of text.
QPlainTextEdit* MakeLogBox(QWidget* pParent);

// Appends strLines at the end of the box, each as a new line: a line end,
// then the line. A box filled this way starts with an empty line.
void AppendEditLines(QPlainTextEdit& box, const std::vector<std::string>& vecLines);

// Lines and clears from any thread, carried out on the box's thread in the
// order they were made (several at each visit of its event loop, so that a
// fast reader does not flood it with events).
//
// Thread contract: AppendLine and ClearLines may be called from any thread
// and never block on the box's thread. Detach runs on the box's thread
// before the box goes; what is still queued is then dropped.
class CEditLogSink : public CLogSink, public std::enable_shared_from_this<CEditLogSink> {
public:
    explicit CEditLogSink(QPlainTextEdit* pBox);

    void AppendLine(const std::string& strLine) override;
    void ClearLines() override;
    void Detach();

private:
    struct CEntry {
        bool bClear;
        std::string strLine;
    };
    void Post(CEntry entry);
    // On the box's thread.
    void Flush();

    std::mutex m_mutex;
    QPlainTextEdit* m_pBox;
    std::vector<CEntry> m_vecQueue;
    bool m_bFlushPosted = false;
};
