#pragma once

// Variable, parameter and procedure records of the model, and the experiment
// entry of an experiments file.

#include <memory>
#include <string>
#include <string_view>

#include "sh_aux/namemap.h"
#include "sh_sdl/modellibrary.h"

class CSDLAgent;
class CSDLOperation;

// ---- Values by type --------------------------------------------------------------------
// The model's value types are "int", "double" and "char*" (blanks around the
// name aside). Every value the model takes from a file, an edit or an event
// is read by the one rule of its type: hpslib's ParseIntValue and
// ParseDoubleValue, and any text for a char*.

// The value type named by strType, "" when it names none of the three.
std::string_view ValueTypeOf(std::string_view strType);
// Whether strText is a value of the type strType (false for a type that is
// none of the three).
bool IsValueOfType(std::string_view strType, const std::string& strText);
// The value of strText (IsValueOfType holds) written so that it reads back
// the same to the last digit: an int in decimal digits, a double as
// DoubleToExactString writes it, a char* as it is.
std::string CanonicalValue(std::string_view strType, const std::string& strText);
// Why strText is no value of strType ("int" or "double") for strWhat (for
// instance "the variable x of court_ping in f.param"), without a full
// stop: the caller adds what becomes of it.
std::string RefusedValueLine(const std::string& strText, std::string_view strType,
                             const std::string& strWhat);

// A variable or parameter: five texts. Values travel as text between the
// model, its files and traces; the live value of a declared variable is in
// the model library.
class CSDLParameter {
public:
    CSDLParameter() = default;
    // The value is the source text too: a variable made with a value has it
    // as its own.
    CSDLParameter(std::string strType, std::string strName, std::string strValue,
                  std::string strByReference);

    // True when the declared type, blanks around it aside, is strType.
    bool HasType(std::string_view strType) const;
    // A process variable's value as the model has it from now on, before
    // and after runs: the value text and the model's own value both.
    void SetModelValue(const std::string& strValue);

    std::string m_strName;
    // A process variable's value as the run has it (a set state refreshes
    // it from the model library); the model's own value otherwise.
    std::string m_strValue;
    // Of a process variable: the value the model starts its runs with, as
    // loaded, imported or edited by the user. A run never changes it; the
    // generated code, an Export and the experiments take it. Of an output's
    // or initial event's parameter: the text the parameter was read from.
    std::string m_strSourceText;
    std::string m_strType;         // "int", "double" or "char*"
    std::string m_strByReference;  // "yes" copies the final value back to the caller

    // The exact double last read from or written to the model library. The
    // value text holds it with six decimals only; writing the text back would
    // lose precision at every transition, so the exact value is written while
    // the text still shows it.
    double m_dExact = 0.0;
    bool m_bHasExact = false;

    // The getter and setter of a process variable in the model library,
    // found on first use in each run (a copy of the record starts without).
    CModelEntry m_entryGet;
    CModelEntry m_entrySet;
};

using CParameterMap = COwningNameMap<CSDLParameter>;
// Declared records are shared between a process and its instances.
using CSharedParameterMap = CNameMap<std::shared_ptr<CSDLParameter>>;

// Copies every record of src into a new map (deep copy).
CParameterMap CopyParameters(const CParameterMap& src);
// Variables of a copy (a process instance, a procedure of one): each made
// afresh from its declared record (the declared value, not the current one),
// with the declared records shared.
void CopyVariablesAsDeclared(const CParameterMap& mapVariables,
                             const CSharedParameterMap& mapDeclared, CParameterMap& mapOut,
                             CSharedParameterMap& mapDeclaredOut);

class CSDLProcedure {
public:
    CSDLProcedure() = default;
    CSDLProcedure(std::string strName, int nId, std::string strClassName, CSDLAgent* pOwner,
                  bool bBuiltIn);

    // "%s_%d" of the owner's full name without instance index and the id.
    std::string GetInstanceName() const;
    // Fills pTarget as a copy of this procedure for another process: texts,
    // flags and formals copied, variables re-made from their declared records,
    // declared records shared.
    void CopyFrom(CSDLProcedure* pTarget, CSDLAgent* pOwner) const;

    std::string m_strName;
    int m_nId = 0;
    CParameterMap m_mapFormals;
    CSDLOperation* m_pBody = nullptr;  // first body operation, owned by the owner process
    CSDLAgent* m_pOwner = nullptr;
    bool m_bHasBody = false;
    std::string m_strClassName;
    // C declarations of the formals, and of the local variables, one
    // "\t<type> <name>;\n" line each.
    std::string m_strDeclarations;
    std::string m_strLocalDeclarations;
    CParameterMap m_mapVariables;
    CSharedParameterMap m_mapDeclaredVariables;
    bool m_bBuiltIn = false;
};

using CProcedureMap = COwningNameMap<CSDLProcedure>;

// One experiment of an experiments file: its parametrization file and label.
class CSDLExperiments {
public:
    std::string m_strPath;
    std::string m_strLabel;
    std::string m_strText;
};
