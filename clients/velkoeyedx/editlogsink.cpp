#include "clients/velkoeyedx/editlogsink.h"

#include <QScrollBar>
#include <QTextCursor>
#include <iterator>
#include <utility>

QPlainTextEdit* MakeLogBox(QWidget* pParent) {
    auto* pBox = new QPlainTextEdit(pParent);
    pBox->setReadOnly(true);
    pBox->setLineWrapMode(QPlainTextEdit::NoWrap);
    pBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Nothing is typed: an undo history would only keep every text appended.
    pBox->setUndoRedoEnabled(false);
    return pBox;
}

void AppendEditLines(QPlainTextEdit& box, const std::vector<std::string>& vecLines) {
    if (vecLines.empty()) {
        return;
    }
    QString strText;
    for (const std::string& strLine : vecLines) {
        strText += QLatin1Char('\n') + QString::fromStdString(strLine);
    }
    QTextCursor cursor(box.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(strText);
    // The newest line shows.
    box.verticalScrollBar()->setValue(box.verticalScrollBar()->maximum());
}

CEditLogSink::CEditLogSink(QPlainTextEdit* pBox) : m_pBox(pBox) {
    // The oldest lines go first.
    m_pBox->setMaximumBlockCount(kMaxLines);
}

void CEditLogSink::AppendLine(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pBox) {
        return;
    }
    m_deqLines.push_back(strLine);
    if (m_deqLines.size() > static_cast<size_t>(kMaxLines)) {
        m_deqLines.pop_front();
    }
    PostFlush();
}

void CEditLogSink::ClearLines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pBox) {
        return;
    }
    m_deqLines.clear();
    m_bClearQueued = true;
    PostFlush();
}

void CEditLogSink::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pBox = nullptr;
    m_deqLines.clear();
    m_bClearQueued = false;
}

void CEditLogSink::PostFlush() {
    if (!m_bFlushPosted) {
        m_bFlushPosted = true;
        // The box cannot go while the lock is held (Detach takes it first);
        // an event still queued when it goes is dropped with it.
        QMetaObject::invokeMethod(
            m_pBox, [pSelf = shared_from_this()] { pSelf->Flush(); }, Qt::QueuedConnection);
    }
}

void CEditLogSink::Flush() {
    std::deque<std::string> deqLines;
    bool bClear = false;
    QPlainTextEdit* pBox = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        deqLines = std::exchange(m_deqLines, {});
        bClear = std::exchange(m_bClearQueued, false);
        m_bFlushPosted = false;
        pBox = m_pBox;
    }
    if (!pBox) {
        return;
    }
    if (bClear) {
        pBox->clear();
    }
    AppendEditLines(*pBox, std::vector<std::string>(std::make_move_iterator(deqLines.begin()),
                                                    std::make_move_iterator(deqLines.end())));
}
