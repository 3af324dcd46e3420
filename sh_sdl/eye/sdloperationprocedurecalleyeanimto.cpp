#include "sh_sdl/eye/sdloperationprocedurecalleyeanimto.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

CSDLOperation* CSDLOperationProcedureCallEyeAnimTo::Execute() {
    CSDLProcess* pOwner = m_pOwner;
    if (!pOwner) {
        return m_pNext;
    }
    const std::string strAgent = GetBuiltInArgumentText(*this, 1, "double");
    const std::string strMesh = GetBuiltInArgumentText(*this, 2, "char*");
    const std::string strDelay = GetBuiltInArgumentText(*this, 3, "double");
    const double dTime = pOwner->m_dClock + StringToDouble(strDelay);
    const size_t nDot = strMesh.rfind('.');
    const std::string strExtension =
        nDot == std::string::npos ? std::string() : strMesh.substr(nDot);

    std::string strRecord;
    if (strExtension == ".obj") {
        const std::string strX = GetBuiltInArgumentText(*this, 4, "double");
        const std::string strY = GetBuiltInArgumentText(*this, 5, "double");
        strRecord = Format(
            "<EYE_AnimTo xTime='%f' agent='%s'><mesh scale='1'>%s</mesh><pos x='%s' y='%s' "
            "z='0' /></EYE_AnimTo>\n",
            dTime, EscapeXmlSingleQuoted(strAgent).c_str(), EscapeXmlText(strMesh).c_str(),
            EscapeXmlSingleQuoted(strX).c_str(), EscapeXmlSingleQuoted(strY).c_str());
    } else {
        // A picture on a cell: only an automaton has cells.
        const CSDLmnca* pMnca = pOwner->GetMncaBlock();
        CSDLEngine* pEngine = GetEngine();
        if (!pMnca) {
            CNotifier& notifier = pEngine ? pEngine->GetNotifier() : GetNotifier();
            notifier.MessageBox("VELKO",
                                "It must be a MNCA to use Animto and 'jpg' or 'png' Procedure",
                                NB_OK, NI_ERROR);
            return m_pNext;
        }
        const int nCell = FindBuiltInArgument(*this, 4)
                              ? StringToInt(GetBuiltInArgumentText(*this, 4, "int"))
                              : pMnca->GetCurrentCell();
        if (!CheckBuiltInCell(*this, nCell, pMnca->GetNumCells())) {
            return m_pNext;
        }
        strRecord = Format(
            "<EYE_AnimTo xTime='%f' agent='%s'><mesh scale='1'>%s</mesh><pos cell='%d' "
            "/></EYE_AnimTo>\n",
            dTime, EscapeXmlSingleQuoted(pOwner->GetFullName(false)).c_str(),
            EscapeXmlText(strMesh).c_str(), nCell);
    }
    if (CSDLEngine* pEngine = GetEngine()) {
        pEngine->WriteEyeTrace(nullptr, true, strRecord);
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallEyeAnimTo::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallEyeAnimTo>();
    CopyParametersTo(pClone.get());
    return pClone;
}
