#include "sh_sdl/mnca/sdlbuiltincall.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "sh_aux/hpslib.h"
#include "sh_sdl/mnca/sdlmnca.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

const CSDLParameter* FindBuiltInArgument(const CSDLOperationProcedureCall& call, int nIndex) {
    return FindIn(call.m_mapParameters, Format("PARAM_%d", nIndex));
}

std::string GetBuiltInArgumentText(CSDLOperationProcedureCall& call, int nIndex,
                                   const std::string& strType) {
    const CSDLParameter* pArgument = FindBuiltInArgument(call, nIndex);
    if (!pArgument) {
        return {};
    }
    const std::string strName = pArgument->m_strValue;
    return call.GetParameterText(strName, strType);
}

void AssignBuiltInArgument(CSDLOperationProcedureCall& call, int nIndex, const std::string& strText,
                           const std::string& strType) {
    const CSDLParameter* pArgument = FindBuiltInArgument(call, nIndex);
    if (!pArgument) {
        return;
    }
    const std::string strTarget = pArgument->m_strValue;
    call.AssignValue(strTarget, strText, strType);
}

void ReportBuiltInError(const CSDLOperationProcedureCall& call, const std::string& strMessage) {
    if (call.m_pOwner) {
        call.m_pOwner->ReportError(strMessage, SDL_ERROR);
    }
}

CSDLmnca* RequireMncaBlock(const CSDLOperationProcedureCall& call) {
    CSDLmnca* pMnca = call.m_pOwner ? call.m_pOwner->GetMncaBlock() : nullptr;
    if (!pMnca) {
        ReportBuiltInError(call, "The procedure " + call.m_strName +
                                     " must be called inside a cellular automaton.");
    }
    return pMnca;
}

bool CheckBuiltInCell(const CSDLOperationProcedureCall& call, int nCell, int nCount) {
    if (nCell >= 0 && nCell < nCount) {
        return true;
    }
    ReportBuiltInError(call, Format("Cell %d is outside the automaton's %d cells.", nCell, nCount));
    return false;
}

float NarrowToFloat(double dValue) {
    constexpr double dMax = std::numeric_limits<float>::max();
    if (std::isfinite(dValue) && std::fabs(dValue) > dMax) {
        // Beyond the largest float only values that round back to it stay
        // finite; the rest overflow as IEEE narrowing does.
        const double dHalfUlp = std::ldexp(1.0, 127 - 24);
        if (std::fabs(dValue) < dMax + dHalfUlp) {
            return dValue > 0 ? std::numeric_limits<float>::max()
                              : -std::numeric_limits<float>::max();
        }
        return dValue > 0 ? std::numeric_limits<float>::infinity()
                          : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(dValue);
}

double CellPrecision(double dValue) {
    const float fValue = NarrowToFloat(dValue);
    return std::isfinite(fValue) || !std::isfinite(dValue) ? static_cast<double>(fValue) : dValue;
}

std::string FormatCellValue(double dValue) {
    return DoubleToString(CellPrecision(dValue));
}

void ReportNonFiniteCell(const CSDLOperationProcedureCall& call, const std::string& strLayer,
                         int nCell, double dValue) {
    ReportBuiltInError(call, Format("The cell %d of layer %s holds %s, which no variable can take.",
                                    nCell, strLayer.c_str(), DoubleToString(dValue).c_str()));
}

void WriteAgentRangeRecords(CSDLOperationProcedureCall& call, const char* pszFormat) {
    CSDLProcess* pOwner = call.m_pOwner;
    CSDLEngine* pEngine = call.GetEngine();
    if (!pOwner || !pEngine) {
        return;
    }
    // Wide arithmetic: the bounds come from the model and may be extreme.
    const int64_t nCount = StringToInt(GetBuiltInArgumentText(call, 1, "double"));
    const int64_t nLast = StringToInt(GetBuiltInArgumentText(call, 2, "double"));
    for (int64_t nAgent = nLast - nCount + 1; nAgent <= nLast; ++nAgent) {
        pEngine->WriteEyeTrace(nullptr, true,
                               Format(pszFormat, pOwner->m_dClock, static_cast<double>(nAgent)));
    }
}

void AssignToEveryArgument(CSDLOperationProcedureCall& call, const std::string& strText) {
    // Collected first: writing may change what the call's map holds.
    std::vector<std::pair<std::string, std::string>> vecTargets;
    for (const auto& [strFormal, pActual] : call.m_mapParameters) {
        vecTargets.emplace_back(pActual->m_strValue, pActual->m_strType);
    }
    for (const auto& [strTarget, strType] : vecTargets) {
        call.AssignValue(strTarget, strText, strType);
    }
}
