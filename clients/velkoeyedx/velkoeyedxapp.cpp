#include "clients/velkoeyedx/velkoeyedxapp.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "clients/velkoeyedx/rendercontext.h"
#include "clients/velkoeyedx/velkoeyedxdlg.h"
#include "clients/velkoeyedx/velkoeyedxlogs.h"
#include "sh_aux/hpslib.h"
#include "sh_widgets/guinotifier.h"

CVELKOEyeDXApp::CVELKOEyeDXApp(const CResourceResolver& resolver) : m_resolver(resolver) {
    NameSettings();
    QApplication::setWindowIcon(ApplicationIcon());
}

CVELKOEyeDXApp::~CVELKOEyeDXApp() {
    // The dialog goes first, its feeder and logs stopped; what is reported
    // meanwhile is no longer written to it.
    std::unique_ptr<CVELKOEyeDXDlg> pDialog = std::move(m_pMainDlg);
    pDialog.reset();
}

void CVELKOEyeDXApp::InitInstance() {
    // Every line the core reports goes to the main dialog's log box.
    m_pNotifier = std::make_unique<CGuiNotifier>(
        nullptr,
        [this](NotifyPane, const QString& strLine) {
            if (m_pMainDlg) {
                m_pMainDlg->AddLog(strLine.toStdString());
            } else {
                DebugOutput(strLine.toStdString());
            }
        },
        CEditLogSink::kMaxLines);
    m_pRenderContext = std::make_unique<CRenderContext>(m_resolver);
    m_pMainDlg = std::make_unique<CVELKOEyeDXDlg>(*m_pRenderContext, m_pRenderContext->GetScene(),
                                                  m_pRenderContext->GetTerrain());
    m_pRenderContext->SetParsingLog(m_pMainDlg->GetLogsDlg()->GetParsingLog());
    QObject::connect(m_pRenderContext.get(), &CRenderContext::cellSelected, m_pMainDlg.get(),
                     &CVELKOEyeDXDlg::OnCellSelected);
    QObject::connect(m_pMainDlg.get(), &QDialog::finished, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    m_pMainDlg->show();
}

void CVELKOEyeDXApp::CloseWithoutDisplay() {
    if (m_pRenderContext) {
        m_pRenderContext->GetScene().StopFeeder();
    }
}

void CVELKOEyeDXApp::NameSettings() {
    QCoreApplication::setOrganizationName(QStringLiteral("VELKO"));
    QCoreApplication::setApplicationName(QStringLiteral("VELKOEyeDX"));
}

std::string CVELKOEyeDXApp::ResourceRoot() {
    const std::string strProgram = CResourceResolver::GetProgramFolder();
    const std::string strInstalled = strProgram + VELKOEYEDX_DATA_FROM_PROGRAM "/";
    return !FileExists(strProgram + "res") && FileExists(strInstalled + "res") ? strInstalled
                                                                               : strProgram;
}

QIcon CVELKOEyeDXApp::ApplicationIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // An eye: the white between two arcs, a blue iris, a dark pupil.
    QPainterPath eye;
    eye.moveTo(2, 16);
    eye.quadTo(16, 1, 30, 16);
    eye.quadTo(16, 31, 2, 16);
    painter.setPen(QPen(QColor(30, 40, 90), 2));
    painter.setBrush(Qt::white);
    painter.drawPath(eye);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(45, 50, 170));
    painter.drawEllipse(QPointF(16, 16), 7, 7);
    painter.setBrush(QColor(10, 10, 30));
    painter.drawEllipse(QPointF(16, 16), 3, 3);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(18, 14), 1.5, 1.5);
    return QIcon(pixmap);
}
