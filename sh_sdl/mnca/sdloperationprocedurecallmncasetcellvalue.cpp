#include "sh_sdl/mnca/sdloperationprocedurecallmncasetcellvalue.h"

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"

CSDLOperation* CSDLOperationProcedureCallmncaSetCellValue::Execute() {
    CSDLmnca* pMnca = RequireMncaBlock(*this);
    if (!pMnca) {
        return m_pNext;
    }
    const std::string strLayer = GetBuiltInArgumentText(*this, 1, "char*");
    const int nCell = StringToInt(GetBuiltInArgumentText(*this, 2, "int"));
    const float fValue = NarrowToFloat(StringToDouble(GetBuiltInArgumentText(*this, 3, "double")));
    int nStatus = MNCA_CELL_OK;
    pMnca->SetCellValue(strLayer, nCell, fValue, nStatus);
    if (nStatus == MNCA_CELL_OUTSIDE) {
        ReportBuiltInError(*this, "Out of range in " + strLayer);
        return nullptr;
    }
    if (nStatus == MNCA_CELL_NO_LAYER) {
        ReportBuiltInError(*this, "Layer not exists " + strLayer);
        return nullptr;
    }
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallmncaSetCellValue::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallmncaSetCellValue>();
    CopyParametersTo(pClone.get());
    return pClone;
}
