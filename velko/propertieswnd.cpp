#include "velko/propertieswnd.h"

#include "sh_aux/namemap.h"
#include "sh_aux/pathhelp.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"
#include "velko/velkoview.h"

CPropertiesWnd::CPropertiesWnd(QWidget* pParent)
    : QDockWidget(QStringLiteral("Properties"), pParent) {
    setObjectName(QStringLiteral("Properties"));
    setWidget(new QWidget(this));
}

void CPropertiesWnd::SetModel(CSDLEngine* pEngine, CVELKOView* pView,
                              const std::string& strDiagramFolder) {
    m_pEngine = pEngine;
    m_pView = pView;
    m_strDiagramFolder = strDiagramFolder;
    m_strBlock.clear();
    m_strProcess.clear();
}

void CPropertiesWnd::SelectBlock(const std::string& strKey) {
    m_strBlock = strKey;
    m_strProcess.clear();
    RefreshProperties();
}

void CPropertiesWnd::SelectProcess(const std::string& strKey) {
    m_strProcess = strKey;
    m_strBlock.clear();
    RefreshProperties();
}

void CPropertiesWnd::RefreshProperties() {
    if (!m_pEngine || !m_pView) {
        return;
    }
    // A block's drawing is named after the block; a process's after its
    // implementation file when it has one, else after the process.
    std::string strName;
    auto lock = m_pEngine->LockTree();
    if (const CSDLBlock* pBlock = FindIn(m_pEngine->m_mapBlocks, m_strBlock)) {
        strName = pBlock->m_strName;
    } else if (const CSDLProcess* pProcess = FindIn(m_pEngine->m_mapProcesses, m_strProcess)) {
        strName = pProcess->m_strImplementation.empty()
                      ? pProcess->m_strName
                      : RemoveExtension(pProcess->m_strImplementation);
    } else {
        return;
    }
    m_pView->ShowDocument(m_strDiagramFolder + strName + ".vsd");
}
