#include "velko/outputwnd.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QTabWidget>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/xmlparser.h"

std::optional<STraceLine> FormatTraceRecord(const std::string& strRecord, int nNumber) {
    CXMLParser parser;
    parser.LoadXML(strRecord);
    auto attribute = [&parser](CXMLNode node, const char* pszName) {
        std::string strValue;
        parser.GetAttribute(node, pszName, strValue, true);
        return strValue;
    };
    STraceLine line;
    if (CXMLNode node = parser.FindChild(CXMLNode(), "error")) {
        std::string strText;
        parser.GetText(node, strText);
        line.strText = Format("%d error: \"%s\"", nNumber, strText.c_str());
        line.colorText = 0x0000FF;
    } else if ((node = parser.FindChild(CXMLNode(), "warning"))) {
        std::string strText;
        parser.GetText(node, strText);
        line.strText = Format("%d warning: \"%s\"", nNumber, strText.c_str());
        line.colorText = 0x0064FF;
    } else if ((node = parser.FindChild(CXMLNode(), "input"))) {
        line.strText =
            Format("%d [input] on \"%s\" of type \"%s\" on time %s. Is mnca?: %s, cell %s", nNumber,
                   attribute(node, "process").c_str(), attribute(node, "name").c_str(),
                   attribute(node, "time").c_str(), attribute(node, "mnca").c_str(),
                   attribute(node, "curcell").c_str());
    } else if ((node = parser.FindChild(CXMLNode(), "output"))) {
        line.strText = Format(
            "%d [output] on \"%s\" of type \"%s\" on time %s with values (self=\"%s\" to=\"%s\" "
            "via=\"%s\")",
            nNumber, attribute(node, "process").c_str(), attribute(node, "name").c_str(),
            attribute(node, "time").c_str(), attribute(node, "self").c_str(),
            attribute(node, "to").c_str(), attribute(node, "via").c_str());
    } else if ((node = parser.FindChild(CXMLNode(), "setstate"))) {
        line.strText =
            Format("%d [setstate] on \"%s\" of type \"%s\" on time %s to state \"%s\"", nNumber,
                   attribute(node, "process").c_str(), attribute(node, "name").c_str(),
                   attribute(node, "time").c_str(), attribute(node, "state").c_str());
    } else if ((node = parser.FindChild(CXMLNode(), "report"))) {
        line.strText =
            Format("%d [report] on \"%s\" of type \"%s\" on time %s for agent \"%s\"", nNumber,
                   attribute(node, "process").c_str(), attribute(node, "name").c_str(),
                   attribute(node, "time").c_str(), attribute(node, "agent").c_str());
        line.colorBack = 0x00FF00;
    } else {
        return std::nullopt;
    }
    return line;
}

COutputList::COutputList(QWidget* pParent) : CMultiLineListBox(pParent) {
    SetLineLimit(OUTPUT_LINE_LIMIT);
    m_pMenu = new QMenu(this);
    m_pMenu->addAction(QStringLiteral("&Copy"), this,
                       [] { GetNotifier().MessageBox("VELKO", "Copy output"); });
    m_pMenu->addAction(QStringLiteral("&Clear"), this,
                       [] { GetNotifier().MessageBox("VELKO", "Clear output"); });
    m_pMenu->addSeparator();
    m_pMenu->addAction(QStringLiteral("&Hide"), this, [this] {
        for (QWidget* p = parentWidget(); p; p = p->parentWidget()) {
            if (auto* pDock = qobject_cast<QDockWidget*>(p)) {
                pDock->hide();
                break;
            }
        }
    });
}

void COutputList::FormatTraceMessage(const std::string& strLine) {
    if (strLine.empty()) {
        return;
    }
    if (strLine.find('<') == std::string::npos) {
        AddItem(QString::fromStdString(strLine));
        return;
    }
    const std::string strRecord = Trim(strLine);
    std::optional<STraceLine> line;
    try {
        line = FormatTraceRecord(strRecord, m_nRecordCounter);
    } catch (const CXMLParseException&) {
        // A record that is no XML is still worth reading.
        AddItem(QString::fromStdString(strLine));
        return;
    }
    if (!line) {
        return;
    }
    const QString strText = QString::fromStdString(line->strText);
    m_mapRecords.insert(strText, QString::fromStdString(strRecord));
    AddItem(strText, line->colorText, line->colorBack);
    ++m_nRecordCounter;
}

void COutputList::OnLineDropped(const QListWidgetItem* pItem) {
    m_mapRecords.remove(pItem->text());
}

void COutputList::contextMenuEvent(QContextMenuEvent* pEvent) {
    if (QListWidgetItem* pItem = currentItem(); pItem && pItem->isSelected()) {
        const QString strRecord = RecordOf(pItem->text());
        if (!strRecord.isEmpty()) {
            GetNotifier().MessageBox("VELKO", strRecord.toStdString());
        }
    }
    setFocus();
    m_pMenu->popup(pEvent->globalPos());
}

COutputWnd::COutputWnd(QWidget* pParent) : QDockWidget(QStringLiteral("Output"), pParent) {
    setObjectName(QStringLiteral("Output"));
    m_pTabs = new QTabWidget(this);
    m_pTabs->setTabPosition(QTabWidget::South);
    m_pTabs->setDocumentMode(true);
    m_pSystem = new COutputList(m_pTabs);
    m_pModel = new COutputList(m_pTabs);
    m_pErrors = new COutputList(m_pTabs);
    m_pTabs->addTab(m_pSystem, QStringLiteral("System"));
    m_pTabs->addTab(m_pModel, QStringLiteral("Model"));
    m_pTabs->addTab(m_pErrors, QStringLiteral("Errors"));
    m_pSystem->AddItem(QStringLiteral("System output is being displayed here."));
    m_pModel->AddItem(QStringLiteral("Model output is being displayed here."));
    m_pErrors->AddItem(QStringLiteral("Errors output is being displayed here."));
    setWidget(m_pTabs);
}
