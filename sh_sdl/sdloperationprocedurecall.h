#pragma once

#include <string>

#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlparameter.h"

// Calls a procedure of the owner process: binds the actual parameters into
// the formals, runs the body, copies by-reference formals back and traces
// the call. Base of the built-in procedures.
class CSDLOperationProcedureCall : public CSDLOperation {
public:
    CSDLOperationProcedureCall() : CSDLOperation("ProcedureCall") {}
    explicit CSDLOperationProcedureCall(std::string strType) : CSDLOperation(std::move(strType)) {}
    CSDLOperation* Execute() override;

    // Writes one value into a formal of the called or enclosing procedure or
    // into a process variable.
    void AssignValue(const std::string& strTarget, const std::string& strText,
                     const std::string& strType);
    // Writes one value into a variable of the owner process.
    void CopyBackValue(const std::string& strVariable, const std::string& strText,
                       const std::string& strType);
    // The current value of a formal or variable as text, or the name itself
    // as a literal.
    std::string GetParameterText(const std::string& strName, const std::string& strType);
    // Copies every actual parameter into pTarget's map.
    void CopyParametersTo(CSDLOperationProcedureCall* pTarget) const;

    // Actual parameters keyed by the formal they feed.
    CParameterMap m_mapParameters;
};
