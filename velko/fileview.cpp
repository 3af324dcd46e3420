#include "velko/fileview.h"

#include <QTreeWidget>

CFileView::CFileView(QWidget* pParent) : QDockWidget(QStringLiteral("File View"), pParent) {
    m_pTree = new QTreeWidget(this);
    m_pTree->setHeaderHidden(true);
    auto* pRoot = new QTreeWidgetItem(m_pTree, {QStringLiteral("FakeApp files")});
    const struct {
        const char* pszFolder;
        std::initializer_list<const char*> files;
    } folders[] = {
        {"FakeApp Source Files",
         {"FakeApp.cpp", "FakeApp.rc", "FakeAppDoc.cpp", "FakeAppView.cpp", "MainFrm.cpp",
          "StdAfx.cpp"}},
        {"FakeApp Header Files",
         {"FakeApp.h", "FakeAppDoc.h", "FakeAppView.h", "Resource.h", "MainFrm.h", "StdAfx.h"}},
        {"FakeApp Resource Files",
         {"FakeApp.ico", "FakeApp.rc2", "FakeAppDoc.ico", "FakeToolbar.bmp"}},
    };
    for (const auto& folder : folders) {
        auto* pFolder = new QTreeWidgetItem(pRoot, {QString::fromLatin1(folder.pszFolder)});
        for (const char* pszFile : folder.files) {
            new QTreeWidgetItem(pFolder, {QString::fromLatin1(pszFile)});
        }
    }
    setWidget(m_pTree);
    hide();
}
