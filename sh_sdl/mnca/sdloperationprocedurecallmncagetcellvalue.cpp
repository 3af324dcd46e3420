#include "sh_sdl/mnca/sdloperationprocedurecallmncagetcellvalue.h"

#include <cmath>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlbuiltincall.h"
#include "sh_sdl/mnca/sdlmnca.h"

CSDLOperation* CSDLOperationProcedureCallmncaGetCellValue::Execute() {
    CSDLmnca* pMnca = RequireMncaBlock(*this);
    if (!pMnca) {
        AssignBuiltInArgument(*this, 3, FormatCellValue(0.0), "double");
        return m_pNext;
    }
    const std::string strLayer = GetBuiltInArgumentText(*this, 1, "char*");
    const int nCell = StringToInt(GetBuiltInArgumentText(*this, 2, "int"));
    int nStatus = MNCA_CELL_OK;
    const double dValue = pMnca->GetCellValue(strLayer, nCell, nStatus);
    if (nStatus != MNCA_CELL_OK) {
        ReportBuiltInError(*this, "Out of range in " + strLayer);
        return nullptr;
    }
    if (!std::isfinite(dValue)) {
        ReportNonFiniteCell(*this, strLayer, nCell, dValue);
        return nullptr;
    }
    AssignBuiltInArgument(*this, 3, FormatCellValue(dValue), "double");
    return m_pNext;
}

std::unique_ptr<CSDLOperation> CSDLOperationProcedureCallmncaGetCellValue::MakeClone() const {
    auto pClone = std::make_unique<CSDLOperationProcedureCallmncaGetCellValue>();
    CopyParametersTo(pClone.get());
    return pClone;
}
