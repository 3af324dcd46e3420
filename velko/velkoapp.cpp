#include "velko/velkoapp.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "velko/icons.h"
#include "velko/mainfrm.h"
#include "velko/quitsignals.h"

CVELKOApp::CVELKOApp() {
    QCoreApplication::setOrganizationName(QStringLiteral("VELKO"));
    QCoreApplication::setApplicationName(QStringLiteral("VELKO"));
    QApplication::setWindowIcon(ApplicationIcon());
}

CVELKOApp::~CVELKOApp() {
    ExitInstance();
}

bool CVELKOApp::InitInstance(const QStringList& listArguments) {
    m_pFrame = std::make_unique<CMainFrame>(*this);
    m_pFrame->show();
    m_nQuitSignal = 0;
    m_pQuitSignals = std::make_unique<CQuitSignals>();
    connect(m_pQuitSignals.get(), &CQuitSignals::Received, this, [this](int nSignal) {
        if (m_pFrame) {
            m_nQuitSignal = m_nQuitSignal ? m_nQuitSignal : nSignal;
            m_pFrame->QuitBySignal(nSignal);
        }
    });
    // The model opens once the window exists and the event loop runs.
    if (!listArguments.isEmpty() && !listArguments.first().isEmpty()) {
        const std::string strPath =
            QFileInfo(listArguments.first()).absoluteFilePath().toStdString();
        QTimer::singleShot(0, m_pFrame.get(), [this, strPath] { OpenDocumentFile(strPath); });
    }
    return true;
}

void CVELKOApp::ExitInstance() {
    if (m_pFrame) {
        m_pFrame->close();
        m_pFrame.reset();
    }
    // The signals end the program at once again: nothing is left to save.
    m_pQuitSignals.reset();
}

int CVELKOApp::OpenDocumentFile(const std::string& strPath) {
    return m_pFrame->OpenModel(strPath);
}

void CVELKOApp::OnOpenRecentFile(int nIndex) {
    const QStringList listFiles = RecentFiles();
    if (nIndex < 0 || nIndex >= listFiles.size() || listFiles[nIndex].isEmpty()) {
        return;
    }
    const int nResult = OpenDocumentFile(listFiles[nIndex].toStdString());
    // A refusal says nothing about the file: only a failed load drops it.
    if (nResult != LM_LOADED && nResult != LM_REFUSED && nResult != LM_WAITING) {
        RemoveRecentFile(RecentFiles().indexOf(listFiles[nIndex]));
    }
}

QStringList CVELKOApp::RecentFiles() const {
    // The setting is the user's file to edit or damage: only the entries
    // that name a model file by a full path are the list's.
    QStringList listFiles;
    for (const QString& strEntry : QSettings().value(SETTING_RECENT).toStringList()) {
        const bool bControl = std::any_of(strEntry.begin(), strEntry.end(), [](QChar ch) {
            return ch.category() == QChar::Other_Control;
        });
        if (!bControl && QDir::isAbsolutePath(strEntry) && !listFiles.contains(strEntry) &&
            listFiles.size() < MAX_RECENT_FILES) {
            listFiles << strEntry;
        }
    }
    return listFiles;
}

void CVELKOApp::AddToRecentFileList(const std::string& strPath) {
    QStringList listFiles = RecentFiles();
    const QString strFile = QFileInfo(QString::fromStdString(strPath)).absoluteFilePath();
    listFiles.removeAll(strFile);
    listFiles.prepend(strFile);
    while (listFiles.size() > MAX_RECENT_FILES) {
        listFiles.removeLast();
    }
    QSettings().setValue(SETTING_RECENT, listFiles);
}

void CVELKOApp::RemoveRecentFile(int nIndex) {
    QStringList listFiles = RecentFiles();
    if (nIndex >= 0 && nIndex < listFiles.size()) {
        listFiles.removeAt(nIndex);
        QSettings().setValue(SETTING_RECENT, listFiles);
    }
}

void CVELKOApp::ShowAbout() {
    QDialog about(m_pFrame.get());
    about.setWindowTitle(QStringLiteral("About VELKO"));
    auto* pLayout = new QVBoxLayout(&about);
    auto* pRow = new QHBoxLayout;
    auto* pIcon = new QLabel(&about);
    pIcon->setPixmap(ApplicationIcon().pixmap(32, 32));
    auto* pText = new QVBoxLayout;
    pText->addWidget(new QLabel(QStringLiteral("VELKO, Version 1.0"), &about));
    pText->addWidget(new QLabel(QStringLiteral("Simulation of SDL models"), &about));
    pRow->addWidget(pIcon, 0, Qt::AlignTop);
    pRow->addLayout(pText);
    pLayout->addLayout(pRow);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    pLayout->addWidget(pButtons);
    about.exec();
}
