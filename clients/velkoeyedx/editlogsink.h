#pragma once

// The viewer's log boxes: multi-line, read-only text boxes that grow by one
// line at a time, and the sink through which the scene's readers and the
// animation model write to such a box from any thread. A box written through
// a sink keeps only its newest lines: a long trace or a live session, which
// is never emptied, would otherwise hold a line per record for ever.

#include <QPlainTextEdit>
#include <QString>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/logsink.h"

// A read-only box with a vertical scroll bar, for lines of text.
QPlainTextEdit* MakeLogBox(QWidget* pParent);

// Appends strLines at the end of the box, each as a new line: a line end,
// then the line. A box filled this way starts with an empty line, until a
// box bounded by a sink drops it as its oldest line.
void AppendEditLines(QPlainTextEdit& box, const std::vector<std::string>& vecLines);

// Lines and clears from any thread, carried out on the box's thread in the
// order they were made (several at each visit of its event loop, so that a
// fast reader does not flood it with events).
//
// The box keeps its newest kMaxLines lines, and so does the queue of lines
// not yet shown: a reader that outruns the box's thread queues no more.
//
// Thread contract: AppendLine and ClearLines may be called from any thread
// and never block on the box's thread. Detach runs on the box's thread
// before the box goes; what is still queued is then dropped.
class CEditLogSink : public CLogSink, public std::enable_shared_from_this<CEditLogSink> {
public:
    static constexpr int kMaxLines = 10000;

    // Bounds pBox to kMaxLines lines (on the box's thread).
    explicit CEditLogSink(QPlainTextEdit* pBox);

    void AppendLine(const std::string& strLine) override;
    void ClearLines() override;
    void Detach();

private:
    // Asks the box's thread to flush, unless asked already (the lock held).
    void PostFlush();
    // On the box's thread.
    void Flush();

    std::mutex m_mutex;
    QPlainTextEdit* m_pBox;
    // What the next flush does: empty the box first, then append the lines.
    // A clear drops the lines queued before it, which it would remove.
    bool m_bClearQueued = false;
    std::deque<std::string> m_deqLines;
    bool m_bFlushPosted = false;
};
