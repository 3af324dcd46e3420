#include "sh_sdl/eye/sdloperationprocedurecalleyeremoveat.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationProcedureCallEyeRemoveAt::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    CSDLEngine* pEngine = GetEngine();
    if (!pOwner || !pEngine) {
        return m_pNext;
    }
    const std::string strAgent = GetBuiltInArgumentText(*this, 1, "double");
    pEngine->WriteEyeTrace(nullptr, true,
                           Format("\t\t<EYE_RemoveAt xTime='%f' agent='%s' />\n", pOwner->m_dClock,
                                  EscapeXmlSingleQuoted(strAgent).c_str()));
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallEyeRemoveAt::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallEyeRemoveAt>();
    CopyParametersTo(pClone.get());
    return pClone;
}
