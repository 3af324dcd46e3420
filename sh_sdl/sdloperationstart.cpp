#include "sh_sdl/sdloperationstart.h"

#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationStart::Execute() {
    if (m_pOwner) {
        m_pOwner->m_bStarted = true;
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationStart::MakeClone() const {
    return std::make_unique<CSDLOperationStart>();
}
