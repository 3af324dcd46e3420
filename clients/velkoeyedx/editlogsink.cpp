#include "clients/velkoeyedx/editlogsink.h"

#include <QScrollBar>
#include <QTextCursor>
#include <utility>

QPlainTextEdit* MakeLogBox(QWidget* pParent) {
    auto* pBox = new QPlainTextEdit(pParent);
    pBox->setReadOnly(true);
    pBox->setLineWrapMode(QPlainTextEdit::NoWrap);
    pBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
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

CEditLogSink::CEditLogSink(QPlainTextEdit* pBox) : m_pBox(pBox) {}

void CEditLogSink::AppendLine(const std::string& strLine) {
    Post({false, strLine});
}

void CEditLogSink::ClearLines() {
    Post({true, {}});
}

void CEditLogSink::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pBox = nullptr;
    m_vecQueue.clear();
}

void CEditLogSink::Post(CEntry entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pBox) {
        return;
    }
    m_vecQueue.push_back(std::move(entry));
    if (!m_bFlushPosted) {
        m_bFlushPosted = true;
        // The box cannot go while the lock is held (Detach takes it first);
        // an event still queued when it goes is dropped with it.
        QMetaObject::invokeMethod(
            m_pBox, [pSelf = shared_from_this()] { pSelf->Flush(); }, Qt::QueuedConnection);
    }
}

void CEditLogSink::Flush() {
    std::vector<CEntry> vecEntries;
    QPlainTextEdit* pBox = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        vecEntries = std::exchange(m_vecQueue, {});
        m_bFlushPosted = false;
        pBox = m_pBox;
    }
    if (!pBox) {
        return;
    }
    std::vector<std::string> vecLines;
    for (CEntry& entry : vecEntries) {
        if (entry.bClear) {
            vecLines.clear();
            pBox->clear();
        } else {
            vecLines.push_back(std::move(entry.strLine));
        }
    }
    AppendEditLines(*pBox, vecLines);
}
