#pragma once

// One SDL process: a state machine whose states hold chains of operations,
// with its variables, procedures, initial external events and 3-D
// representations.

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"
#include "sh_sdl/eye/3drepresentation.h"
#include "sh_sdl/sdlagent.h"
#include "sh_sdl/sdloperation.h"
#include "sh_sdl/sdlparameter.h"

class CSDLProcess : public CSDLAgent {
public:
    CSDLProcess();
    ~CSDLProcess() override;

    // Consumes one event: chooses the input of the current state (or of the
    // event's cell inside an automaton) and runs its transition.
    std::string Step() override;
    // Runs the start transition when this simulator instance runs the process.
    void Initialize() override;

    // Fills pTarget (freshly constructed) as a new instance of this process:
    // channels, cloned operation lists, variables from their declared values,
    // procedures with cloned bodies.
    void CloneInto(CSDLProcess* pTarget, bool bParentEnds = true);
    // Copies the next cell states into the cell states.
    void CommitCellStates();
    std::string DumpStates() const;

    // ---- Variables, through the model library -------------------------------
    // Stores the value text and writes it into the library.
    void SetVariable(const std::string& strName, const std::string& strValue);
    // Writes the variable's own value back into the library (the exact
    // double when its text still shows it).
    void RestoreVariable(const std::string& strName);
    int GetIntVariable(const std::string& strName);
    double GetDoubleVariable(const std::string& strName);
    std::string GetStringVariable(const std::string& strName);
    // "%d", "%f" or the text of the variable by type; "" for another type.
    std::string GetVariableAsString(const std::string& strName, const std::string& strType);
    // The exported identifier of a process variable.
    std::string GetVariableIdentifier(const std::string& strName) const;
    CSDLParameter* GetVariable(const std::string& strName) const;

    // ---- Operations ------------------------------------------------------------
    // Keeps an operation of this process (states, start transition and
    // procedure bodies) for the life of the process; returns it.
    CSDLOperation* AddOperation(std::unique_ptr<CSDLOperation> pOperation);
    CSDLOperation* GetStateOperation(const std::string& strState) const;
    CSDLProcedure* GetProcedure(const std::string& strName) const;
    // True when one of the process's operations calls the procedure strName.
    bool CallsProcedure(const std::string& strName) const;

    CSDLOperation* m_pStartOperation = nullptr;
    std::string m_strCurrentState;
    std::vector<std::string> m_vecCellStates;
    std::vector<std::string> m_vecNextCellStates;
    double m_dLastEventTime = 0.0;
    CNameMap<CSDLOperation*> m_mapStates;
    bool m_bStarted = false;
    std::list<std::unique_ptr<CSDLEvent>> m_listInitialEvents;
    CParameterMap m_mapVariables;
    CSharedParameterMap m_mapDeclaredVariables;
    CProcedureMap m_mapProcedures;
    COwningNameMap<C3DRepresentation> m_mapRepresentations;
    // C declarations of the variables, one "\t<type> <name>;\n" line each.
    std::string m_strDeclarations;
    // The model file's implementation attribute (external process file).
    std::string m_strImplementation;

private:
    // Reports the undefined or mistyped variable; null when the getter of
    // strType may be called.
    CSDLParameter* CheckVariable(const std::string& strName, const char* pszType);

    std::vector<std::unique_ptr<CSDLOperation>> m_vecOperations;
};
