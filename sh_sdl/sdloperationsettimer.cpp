#include "sh_sdl/sdloperationsettimer.h"

CSDLOperation* CSDLOperationSetTimer::Execute() {
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationSetTimer::MakeClone() const {
    return std::make_unique<CSDLOperationSetTimer>();
}
