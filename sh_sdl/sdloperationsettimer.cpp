#include "sh_sdl/sdloperationsettimer.h"

CSDLOperation* CSDLOperationSetTimer::Execute() {
    return m_pNext;
}
