#include "sh_sdl/eye/sdloperationprocedurecallreport.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationProcedureCallReport::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner) {
        return m_pNext;
    }
    CSDLEngine* pEngine = GetEngine();
    const CSDLmnca* pMnca = pOwner->GetMncaBlock();
    const double dTime = pOwner->m_dClock;
    const std::string strAgent = EscapeXmlAttribute(pOwner->GetFullName(false));
    for (int n = 1;; ++n) {
        const CSDLParameter* pArgument = FindBuiltInArgument(*this, n);
        if (!pArgument) {
            break;
        }
        const std::string strArgument = pArgument->m_strValue;
        const std::string strType = pArgument->m_strType;
        std::string strText = GetParameterText(strArgument, strType);
        if (!IsNumericText(strText)) {
            strText = GetParameterText(strArgument, "int");
            if (!IsNumericText(strText)) {
                pOwner->ReportError("The variable " + strArgument + " must be defined as a double",
                                    SDL_ERROR);
            }
        }
        const std::string strAttributes =
            Format("xTime='%f' agent=\"%s\" varname=\"%s\" vartype=\"%s\" varvalue=\"%s\"", dTime,
                   strAgent.c_str(), EscapeXmlAttribute(strArgument).c_str(),
                   EscapeXmlAttribute(strType).c_str(), EscapeXmlAttribute(strText).c_str());
        const std::string strElement = pMnca
                                           ? Format("<EYE_Report %s cell=\"%d\" />",
                                                    strAttributes.c_str(), pMnca->GetCurrentCell())
                                           : Format("<EYE_Report %s />", strAttributes.c_str());
        if (pEngine) {
            pEngine->WriteEyeTrace(nullptr, true, "\t\t" + strElement + "\n");
            // The execution trace shows the same report inside its own record.
            pEngine->WriteTrace(this, true, strElement);
        }
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallReport::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallReport>();
    CopyParametersTo(pClone.get());
    return pClone;
}
