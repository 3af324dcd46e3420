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

// A variable or parameter: five texts. Values travel as text between the
// model, its files and traces; the live value of a declared variable is in
// the model library.
class CSDLParameter {
public:
    CSDLParameter() = default;
    CSDLParameter(std::string strType, std::string strName, std::string strValue,
                  std::string strByReference);

    // True when the declared type, blanks around it aside, is strType.
    bool HasType(std::string_view strType) const;

    std::string m_strName;
    std::string m_strValue;
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
