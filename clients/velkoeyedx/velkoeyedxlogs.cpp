#include "clients/velkoeyedx/velkoeyedxlogs.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/animations.h"

CVELKOEyeDXLogs::CVELKOEyeDXLogs(CAnimations& animations, QWidget* pParent)
    : QDialog(pParent),
      m_animations(animations),
      m_pParsingBox(MakeLogBox(this)),
      m_pAgentsBox(MakeLogBox(this)),
      m_pReportsBox(MakeLogBox(this)),
      m_pExecBox(MakeLogBox(this)),
      m_pRefresh(new QPushButton(QStringLiteral("Refresh"), this)),
      m_pParsingSink(std::make_shared<CEditLogSink>(m_pParsingBox)),
      m_pExecSink(std::make_shared<CEditLogSink>(m_pExecBox)) {
    setWindowTitle(QStringLiteral("Logs"));
    m_pRefresh->setAutoDefault(false);

    auto* pGrid = new QGridLayout(this);
    const auto addBox = [&](const char* pszLabel, QPlainTextEdit* pBox, int nRow, int nColumn) {
        auto* pLabel = new QLabel(QString::fromLatin1(pszLabel), this);
        pLabel->setBuddy(pBox);
        pGrid->addWidget(pLabel, 2 * nRow, nColumn);
        pGrid->addWidget(pBox, 2 * nRow + 1, nColumn);
    };
    addBox("Parsing Log:", m_pParsingBox, 0, 0);
    addBox("Agents Log:", m_pAgentsBox, 0, 1);
    addBox("Exec. Log:", m_pExecBox, 1, 0);
    addBox("Reports Log:", m_pReportsBox, 1, 1);
    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch();
    pButtons->addWidget(m_pRefresh);
    pGrid->addLayout(pButtons, 4, 0, 1, 2);
    resize(760, 520);

    connect(m_pRefresh, &QPushButton::clicked, this, &CVELKOEyeDXLogs::OnRefresh);
}

CVELKOEyeDXLogs::~CVELKOEyeDXLogs() {
    DetachLogs();
}

void CVELKOEyeDXLogs::DetachLogs() {
    m_pParsingSink->Detach();
    m_pExecSink->Detach();
}

void CVELKOEyeDXLogs::OnRefresh() {
    std::vector<std::string> vecAgents;
    std::vector<std::string> vecReports;
    for (const CAgent& agent : m_animations.GetVisibleAgents()) {
        vecAgents.push_back(agent.name + ":" + agent.mesh);
        for (const CAgent::report& report : agent.reports) {
            const std::string strHead =
                report.cell == -1 ? agent.name + " "
                                  : agent.name + "[" + std::to_string(report.cell) + "] var ";
            vecReports.push_back(strHead + report.vartype + " " + report.varname + "=" +
                                 report.varvalue + ";");
        }
    }
    m_pAgentsBox->clear();
    m_pReportsBox->clear();
    AppendEditLines(*m_pAgentsBox, vecAgents);
    AppendEditLines(*m_pReportsBox, vecReports);
}
