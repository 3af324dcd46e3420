#include "sh_sdl/mnca/sdloperationprocedurecallmncasetcellvalue.h"

#include <cmath>

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
    const std::string strValue = Trim(GetBuiltInArgumentText(*this, 3, "double"));
    const double dValue = StringToDouble(strValue);
    if (!std::isfinite(dValue) || !std::isfinite(ParseDouble(strValue.c_str()))) {
        // "inf" would otherwise be read as 0.
        ReportBuiltInError(*this, Format("The value %s is no number a cell of layer %s can hold.",
                                         strValue.c_str(), strLayer.c_str()));
        return nullptr;
    }
    int nStatus = MNCA_CELL_OK;
    pMnca->SetCellValue(strLayer, nCell, CellPrecision(dValue), nStatus);
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
