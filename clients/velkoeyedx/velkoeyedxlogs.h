#pragma once

// The "Logs" dialog: the trace reader's "Parsing Log:" and the animation
// model's "Exec. Log:", written as they go, and on "Refresh" the agents that
// show now ("Agents Log:") with the values they reported ("Reports Log:").
//
// Runs on the dialog thread; the two running logs are written from any
// thread through their sinks.

#include <QDialog>
#include <memory>

#include "clients/velkoeyedx/editlogsink.h"

class CAnimations;
class QPushButton;

class CVELKOEyeDXLogs : public QDialog {
    Q_OBJECT
public:
    // Refresh reads the agents of animations.
    explicit CVELKOEyeDXLogs(CAnimations& animations, QWidget* pParent = nullptr);
    ~CVELKOEyeDXLogs() override;

    // Empties the agents and reports boxes, then lists every agent that
    // shows ("name:mesh") and each of its reports, in its report order.
    void OnRefresh();

    const std::shared_ptr<CEditLogSink>& GetParsingLog() const { return m_pParsingSink; }
    const std::shared_ptr<CEditLogSink>& GetExecLog() const { return m_pExecSink; }
    // Stops the two running logs: nothing more is written to them.
    void DetachLogs();

    QPlainTextEdit* ParsingBox() const { return m_pParsingBox; }
    QPlainTextEdit* AgentsBox() const { return m_pAgentsBox; }
    QPlainTextEdit* ReportsBox() const { return m_pReportsBox; }
    QPlainTextEdit* ExecBox() const { return m_pExecBox; }
    QPushButton* RefreshButton() const { return m_pRefresh; }

private:
    CAnimations& m_animations;
    QPlainTextEdit* m_pParsingBox;
    QPlainTextEdit* m_pAgentsBox;
    QPlainTextEdit* m_pReportsBox;
    QPlainTextEdit* m_pExecBox;
    QPushButton* m_pRefresh;
    std::shared_ptr<CEditLogSink> m_pParsingSink;
    std::shared_ptr<CEditLogSink> m_pExecSink;
};
