#include "velko/dlgexperiment.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlloader.h"
#include "sh_widgets/guinotifier.h"
#include "velko/sidefilecommands.h"

namespace {

// Element text on one line: the reader joins a file's lines without their
// breaks, so a break is written as a character reference.
std::string EscapeDescription(const std::string& strText) {
    std::string strOut = EscapeXmlText(strText);
    ReplaceAll(strOut, "\r", "&#13;");
    ReplaceAll(strOut, "\n", "&#10;");
    return strOut;
}

}  // namespace

CDlgExperiment::CDlgExperiment(QWidget* pParent, CSDLLoader& loader, const std::string& strFolder)
    : QDialog(pParent), m_loader(loader), m_strFolder(strFolder) {
    setWindowTitle(QStringLiteral("Experiment design"));
    m_pList = new QListWidget(this);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pLabel = new QLineEdit(this);
    m_pDescription = new QPlainTextEdit(this);
    m_pPath = new QLabel(this);
    m_pPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pPath->setWordWrap(true);
    m_pPath->setFrameShape(QFrame::StyledPanel);
    m_pPath->setMinimumHeight(m_pPath->fontMetrics().height() * 2 + 6);
    auto* pAdd = new QPushButton(QStringLiteral("Add"), this);
    auto* pRemove = new QPushButton(QStringLiteral("Remove"), this);
    auto* pParams = new QPushButton(QStringLiteral("Params"), this);
    auto* pSave = new QPushButton(QStringLiteral("Save"), this);
    pSave->setDefault(true);

    auto* pGroup = new QGroupBox(QStringLiteral("Experiment"), this);
    auto* pFields = new QGridLayout(pGroup);
    pFields->addWidget(new QLabel(QStringLiteral("Label"), pGroup), 0, 0);
    pFields->addWidget(m_pLabel, 0, 1);
    pFields->addWidget(new QLabel(QStringLiteral("Description"), pGroup), 1, 0, Qt::AlignTop);
    pFields->addWidget(m_pDescription, 1, 1);
    pFields->addWidget(pParams, 2, 0, Qt::AlignTop);
    pFields->addWidget(m_pPath, 2, 1);

    auto* pListButtons = new QHBoxLayout;
    pListButtons->addWidget(pAdd);
    pListButtons->addWidget(pRemove);
    auto* pLeft = new QVBoxLayout;
    pLeft->addWidget(m_pList, 1);
    pLeft->addLayout(pListButtons);
    auto* pRight = new QVBoxLayout;
    pRight->addWidget(pGroup, 1);
    pRight->addWidget(pSave, 0, Qt::AlignRight);
    auto* pLayout = new QHBoxLayout(this);
    pLayout->addLayout(pLeft, 2);
    pLayout->addLayout(pRight, 3);
    resize(600, 300);

    for (const auto& [strLabel, pExperiment] : m_loader.m_mapExperiments) {
        m_pList->addItem(QString::fromStdString(strLabel));
    }
    connect(pAdd, &QPushButton::clicked, this, &CDlgExperiment::OnAdd);
    connect(pRemove, &QPushButton::clicked, this, &CDlgExperiment::OnRemove);
    connect(pParams, &QPushButton::clicked, this, &CDlgExperiment::OnParams);
    connect(pSave, &QPushButton::clicked, this, &CDlgExperiment::OnSave);
    connect(m_pList, &QListWidget::itemSelectionChanged, this, &CDlgExperiment::OnSelectionChanged);
}

QPushButton* CDlgExperiment::Button(const QString& strText) const {
    for (QPushButton* pButton : findChildren<QPushButton*>()) {
        if (pButton->text() == strText) {
            return pButton;
        }
    }
    return nullptr;
}

std::string CDlgExperiment::FormatExperiments(
    const COwningNameMap<CSDLExperiments>& mapExperiments) {
    std::string strText = std::string(SIDE_FILE_DECLARATION) + "<experiments>\n";
    for (const auto& [strLabel, pExperiment] : mapExperiments) {
        strText += "<experiment label=\"" + EscapeXmlAttribute(strLabel) + "\" path=\"" +
                   EscapeXmlAttribute(pExperiment->m_strPath) + "\">" +
                   EscapeDescription(pExperiment->m_strText) + "</experiment>\n";
    }
    return strText + "</experiments>";
}

void CDlgExperiment::OnAdd() {
    const std::string strLabel = m_pLabel->text().toStdString();
    if (Trim(strLabel).empty() || FindIn(m_loader.m_mapExperiments, strLabel)) {
        return;
    }
    auto pExperiment = std::make_unique<CSDLExperiments>();
    pExperiment->m_strPath = m_pPath->text().toStdString();
    pExperiment->m_strLabel = strLabel;
    pExperiment->m_strText = m_pDescription->toPlainText().toStdString();
    m_loader.m_mapExperiments[strLabel] = std::move(pExperiment);
    m_pList->addItem(QString::fromStdString(strLabel));
}

void CDlgExperiment::OnRemove() {
    QListWidgetItem* pItem = m_pList->currentItem();
    if (!pItem || !pItem->isSelected()) {
        return;
    }
    const std::string strLabel = pItem->text().toStdString();
    delete pItem;
    m_loader.m_mapExperiments.erase(strLabel);
}

void CDlgExperiment::OnSelectionChanged() {
    QListWidgetItem* pItem = m_pList->currentItem();
    if (!pItem || !pItem->isSelected()) {
        return;
    }
    const CSDLExperiments* pExperiment =
        FindIn(m_loader.m_mapExperiments, pItem->text().toStdString());
    if (!pExperiment) {
        return;
    }
    m_pPath->setText(QString::fromStdString(pExperiment->m_strPath));
    m_pDescription->setPlainText(QString::fromStdString(pExperiment->m_strText));
    m_pLabel->setText(QString::fromStdString(pExperiment->m_strLabel));
}

void CDlgExperiment::OnParams() {
    SFileChoice choice;
    choice.strFilter = PARAMETRIZATION_FILTER;
    choice.strDefaultExt = ".param";
    choice.strInitialName = "test";
    choice.strFolder = m_strFolder;
    const std::string strPath = ChooseFile(this, choice);
    if (strPath.empty()) {
        return;
    }
    m_pPath->setText(QString::fromStdString(strPath));
    m_pLabel->setText(QString::fromStdString(GetFileName(strPath)));
}

void CDlgExperiment::OnSave() {
    SFileChoice choice;
    choice.bSave = true;
    choice.strFilter = EXPERIMENTATION_FILTER;
    choice.strDefaultExt = ".exp";
    choice.strInitialName = "my_experiment";
    choice.strFolder = m_strFolder;
    const std::string strPath = ChooseFile(this, choice);
    std::string strError;
    if (!strPath.empty() &&
        !WriteSideFile(strPath, FormatExperiments(m_loader.m_mapExperiments), strError)) {
        // Over this modal dialog, which stays open for another choice.
        QMessageBox::critical(
            this, QStringLiteral("VELKO"),
            QString::fromStdString("The experiments were not saved. " + strError));
        return;
    }
    accept();
}
