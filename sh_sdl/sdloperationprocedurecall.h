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
    // The value of an actual parameter as the caller sees it: a literal as
    // it is, a name read in the caller's context by its declared type.
    std::string GetActualText(const CSDLParameter& actual);
    // Copies every actual parameter into pTarget's map.
    void CopyParametersTo(CSDLOperationProcedureCall* pTarget) const;

    // Actual parameters keyed by the formal they feed.
    CParameterMap m_mapParameters;

    // A value text is a literal when it is written as a number (no letter
    // with case, or a digit first) or is quoted; that is, when it names no
    // variable where it is looked up (a declared name is a variable
    // whatever it looks like).
    static bool IsLiteral(const std::string& strText);
    // Whether an actual parameter's value is a literal: it names no formal of
    // the procedure this call stands in nor variable of the process.
    bool IsLiteralActual(const std::string& strValue) const;

protected:
    // A formal or variable found by name, with its exported identifier.
    struct CResolved {
        CSDLParameter* pRecord = nullptr;
        std::string strIdent;
        bool bProcessVariable = false;
    };
    // The places a name is looked up in, in this order.
    enum ResolveScope {
        RS_CALLED = 1,     // formals of the called procedure
        RS_ENCLOSING = 2,  // formals of the procedure this call stands in
        RS_PROCESS = 4,    // variables of the owner process
        RS_ALL = RS_CALLED | RS_ENCLOSING | RS_PROCESS,
    };
    bool Resolve(const std::string& strName, int nScope, CResolved& out) const;
    // The procedure this call calls, or null.
    CSDLProcedure* GetCalledProcedure() const;
    // Writes a literal, or the value of pSource, into the target with the
    // conversions of parameter passing; reports what cannot be converted.
    void WriteValue(const CResolved& target, const std::string& strLiteral,
                    const CResolved* pSource);
    // The value of a resolved name as text, by its declared type.
    std::string ReadText(const CResolved& source);
    void ShowBox(const std::string& strText) const;
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
