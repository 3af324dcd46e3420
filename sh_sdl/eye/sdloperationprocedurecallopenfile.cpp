#include "sh_sdl/eye/sdloperationprocedurecallopenfile.h"

#include "sh_aux/notifier.h"
#include "sh_sdl/sdlengine.h"

CSDLOperation* CSDLOperationProcedureCallOpenFile::Execute() {
    CSDLEngine* pEngine = GetEngine();
    CNotifier& notifier = pEngine ? pEngine->GetNotifier() : GetNotifier();
    const std::string strPath = notifier.ChooseFileToOpen("Open", std::string(), std::string());
    if (!strPath.empty()) {
        // In apostrophes the path is a text literal; bare, a path holding
        // letters would be taken for the name of a variable.
        AssignValue("Path", "'" + strPath + "'", "char*");
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallOpenFile::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallOpenFile>();
    CopyParametersTo(pClone.get());
    return pClone;
}
