#pragma once

// Base of every operation of a transition. A process runs a transition by
// calling Execute on its first operation and then on whatever each call
// returns, until one returns null.

#include <memory>
#include <string>

#include "sh_aux/namemap.h"

class CSDLEngine;
class CSDLProcedure;
class CSDLProcess;

class CSDLOperation {
public:
    CSDLOperation() = default;
    explicit CSDLOperation(std::string strType) : m_strType(std::move(strType)) {}
    virtual ~CSDLOperation() = default;
    CSDLOperation(const CSDLOperation&) = delete;
    CSDLOperation& operator=(const CSDLOperation&) = delete;

    // Runs the operation; returns the next operation of the transition, or
    // null to end it.
    virtual CSDLOperation* Execute() = 0;

    // The key under which the model library knows this operation: ancestor
    // ids, the owner's instance index, the enclosing procedure's id, the
    // state name and the id, joined by "_".
    std::string GetCodeID() const;
    // The code ID as it was at the first call: what it is made of does not
    // change once the operation runs (an instance made during the run runs
    // operations of its own). For the run thread.
    const std::string& GetRunCodeID();
    // The operation numbered nId in the list of strStateName (or of the
    // enclosing procedure's body); reports and returns null when missing.
    CSDLOperation* FindOperation(const std::string& strStateName, int nId) const;
    // Shows every debug message, then the print pair.
    void EmitDebugMessages() const;
    void ShowDebugMessage(const std::string& strMessage, const std::string& strVariable) const;
    // Read a variable straight from the model library by its exported name.
    std::string ReadModelString(const std::string& strName) const;
    int ReadModelInt(const std::string& strName) const;

    // The engine of the owner process, or null.
    CSDLEngine* GetEngine() const;

    // The key the model library is asked under: the code ID, or for a clone
    // made for a process instance the code ID of the operation it was cloned
    // from (the library has branches only for the operations of the model).
    std::string GetLibraryKey() const;

    // Clones this operation and the rest of its list for pOwner (a process
    // instance). The clones are kept by pOwner and entered in the engine's
    // operation map under their code IDs; returns the first clone.
    CSDLOperation* Clone(CSDLProcess* pOwner, CSDLProcedure* pProcedure) const;
    // Copies the base fields into a clone: id, name, state name, type tag,
    // owner and procedure; the clone's next stays null.
    void CopyTo(CSDLOperation* pClone, CSDLProcess* pOwner, CSDLProcedure* pProcedure) const;

    std::string m_strType;
    CSDLProcess* m_pOwner = nullptr;
    CSDLProcedure* m_pProcedure = nullptr;
    std::string m_strName;
    int m_nId = 0;
    std::string m_strPrintVariable;
    std::string m_strPrintMessage;
    std::string m_strStateName;
    CSDLOperation* m_pNext = nullptr;
    CNameMap<std::string> m_mapDebugMessages;
    // Library key of the operation this one was cloned from; empty otherwise.
    std::string m_strTemplateKey;

private:
    std::string m_strRunCodeId;

protected:
    // A new operation of the same class holding this one's own fields (those
    // the base does not have).
    virtual std::unique_ptr<CSDLOperation> MakeClone() const = 0;
};
