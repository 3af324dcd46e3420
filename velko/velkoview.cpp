#include "velko/velkoview.h"

#include <librevenge-stream/librevenge-stream.h>
#include <librevenge/librevenge.h>
#include <libvisio/libvisio.h>
#include <QLabel>
#include <QScrollArea>
#include <QSvgRenderer>
#include <QSvgWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "sh_aux/pathhelp.h"

bool RenderDrawingToSvg(const std::string& strPath, QByteArray& svg, std::string& strError) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(strPath, ec)) {
        strError = "the file cannot be opened";
        return false;
    }
    librevenge::RVNGFileStream input(strPath.c_str());
    if (!libvisio::VisioDocument::isSupported(&input)) {
        strError = "it is not a drawing that can be read";
        return false;
    }
    librevenge::RVNGStringVector pages;
    librevenge::RVNGSVGDrawingGenerator generator(pages, "");
    if (!libvisio::VisioDocument::parse(&input, &generator) || pages.empty()) {
        strError = "its pages cannot be read";
        return false;
    }
    svg = QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") + QByteArray(pages[0].cstr());
    return true;
}

CVELKOView::CVELKOView(QWidget* pParent) : QWidget(pParent) {
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    m_pScroll = new QScrollArea(this);
    m_pScroll->setAlignment(Qt::AlignCenter);
    m_pScroll->setBackgroundRole(QPalette::Base);
    m_pSvg = new QSvgWidget;
    m_pSvg->hide();
    m_pScroll->setWidget(m_pSvg);
    m_pScroll->setWidgetResizable(false);
    m_pMessage = new QLabel(this);
    m_pMessage->setWordWrap(true);
    m_pMessage->setAlignment(Qt::AlignCenter);
    m_pMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pMessage->hide();
    pLayout->addWidget(m_pScroll, 1);
    pLayout->addWidget(m_pMessage, 1);
}

std::vector<std::string> CVELKOView::Candidates(const std::string& strPath) {
    const std::string strFile = NormalizeSlashes(strPath);
    const std::string::size_type nSlash = strFile.rfind('/');
    // A bare file name lies in the current folder.
    const std::string strFolder = nSlash == std::string::npos ? "." : strFile.substr(0, nSlash);
    const std::string strName = nSlash == std::string::npos ? strFile : strFile.substr(nSlash + 1);
    return {strFile, strFolder + "/../SDLProcessExternal/doc/" + strName,
            strFolder + "/../../SDLProcessExternal/doc/" + strName,
            strFolder + "/../doc/" + strName, strFolder + "/../../doc/" + strName};
}

bool CVELKOView::ShowDocument(std::string strPath) {
    for (const std::string& strCandidate : Candidates(strPath)) {
        // ".." is folded in the text: the folder before it need not exist.
        const std::string strResolved = ResolvePathNoCase(NormalizePath(strCandidate));
        std::error_code ec;
        if (std::filesystem::is_regular_file(strResolved, ec)) {
            SetDocument(strResolved);
            SetZoom(0.9);
            return true;
        }
    }
    return false;
}

void CVELKOView::SetDocument(const std::string& strPath) {
    m_strDocument = strPath;
    m_pMessage->clear();
    m_pMessage->hide();
    m_pSvg->hide();
    m_pScroll->show();
    if (strPath.empty()) {
        m_pSvg->load(QByteArray());
        return;
    }
    QByteArray svg;
    std::string strError;
    bool bShown = RenderDrawingToSvg(strPath, svg, strError);
    if (bShown) {
        m_pSvg->load(svg);
        bShown = m_pSvg->renderer()->isValid();
        if (!bShown) {
            strError = "its drawing cannot be shown";
        }
    }
    if (!bShown) {
        m_pScroll->hide();
        m_pMessage->setText(
            QStringLiteral("%1\ncannot be shown: %2.")
                .arg(QString::fromStdString(strPath), QString::fromStdString(strError)));
        m_pMessage->show();
        return;
    }
    m_sizeDrawing = m_pSvg->renderer()->defaultSize();
    m_pSvg->show();
    Relayout();
}

void CVELKOView::SetZoom(double dZoom) {
    m_dZoom = dZoom;
    Relayout();
}

void CVELKOView::Relayout() {
    if (!m_sizeDrawing.isEmpty()) {
        m_pSvg->resize(m_sizeDrawing * m_dZoom);
    }
}

bool CVELKOView::IsShowingDrawing() const {
    return !m_pSvg->isHidden();
}

QString CVELKOView::ErrorText() const {
    return m_pMessage->isHidden() ? QString() : m_pMessage->text();
}
