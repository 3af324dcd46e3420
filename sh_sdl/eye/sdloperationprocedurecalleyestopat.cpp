#include "sh_sdl/eye/sdloperationprocedurecalleyestopat.h"

#include <cstdint>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationProcedureCallEyeStopAt::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    CSDLEngine* pEngine = GetEngine();
    if (!pOwner || !pEngine) {
        return m_pNext;
    }
    // Wide arithmetic: the bounds come from the model and may be extreme.
    const int64_t nCount = StringToInt(GetBuiltInArgumentText(*this, 1, "double"));
    const int64_t nLast = StringToInt(GetBuiltInArgumentText(*this, 2, "double"));
    for (int64_t nAgent = nLast - nCount + 1; nAgent <= nLast; ++nAgent) {
        pEngine->WriteEyeTrace(nullptr, true,
                               Format("\t\t<EYE_StopAt xTime='%f' agent='%4.6f' />\n",
                                      pOwner->m_dClock, static_cast<double>(nAgent)));
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallEyeStopAt::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallEyeStopAt>();
    CopyParametersTo(pClone.get());
    return pClone;
}
