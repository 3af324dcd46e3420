#pragma once

// The model reader: turns a model file (root element "system"), the external
// SDL process files and procedures files it names into the model tree of an
// engine. Element names are matched without regard to case, attribute names
// exactly. A missing mandatory attribute is written to the XML error log and
// reading goes on.
//
// The caller gives the reader an engine, calls LoadModel and counts the load
// as failed when the error text is not empty, when the returned model text is
// empty (the file could not be opened) or when GetModelErrorLog() is not
// empty. Both are cleared at the start of every load; reading a side file
// afterwards never changes them. Warnings (for example
// two decisions or tasks that the model library would know under one code
// ID) do not fail a load; they are collected in the warning text and written
// to the Errors pane of the notifier.
//
// Runs on the user-interface thread; nothing is locked.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"
#include "sh_aux/xmlparser.h"
#include "sh_sdl/sdlparameter.h"

class CSDLAgent;
class CSDLBlock;
class CSDLEngine;
class CSDLOperation;
class CSDLOperationCreate;
class CSDLOperationDecision;
class CSDLOperationInput;
class CSDLOperationOutput;
class CSDLOperationProcedureCall;
class CSDLOperationSetState;
class CSDLOperationSetTimer;
class CSDLOperationStart;
class CSDLOperationTask;
class CSDLProcedure;
class CSDLProcess;
class CSDLmnca;
class CNotifier;
struct SDEVSAtomic;
struct SDEVSConversion;

class CSDLEvent;

// What a parametrization sets: the engine's parametrization file, code base
// and experiment label, the value of every process variable and each
// process's initial external events. Taken before experiments replace it,
// and put back once they are done, so the model runs with its own again.
struct SModelParametrization {
    struct SVariable {
        std::string strValue;
        std::string strSourceText;
        double dExact = 0.0;
        bool bHasExact = false;
    };
    struct SProcess {
        CNameMap<SVariable> mapVariables;
        std::vector<std::shared_ptr<const CSDLEvent>> vecInitialEvents;
    };
    std::string strParametrizationFile;
    std::string strCodeBasePath;
    std::string strExperimentLabel;
    // By the engine's process keys.
    CNameMap<SProcess> mapProcesses;
};

class CSDLLoader : public CXMLParser {
public:
    CSDLLoader();
    ~CSDLLoader() override;

    // ---- Model file ---------------------------------------------------------------
    // Builds the model of the file at strPath (Windows or POSIX separators;
    // letter case of folders and file resolved against the disk) into the
    // engine and returns the model text that was parsed (from its first
    // "<"). Returns "" and changes nothing in the engine when the file cannot
    // be opened. Text that does not parse, or a document without "system",
    // is reported in the error text and builds nothing; so are agents that
    // share one full name (the engine keeps no model then).
    std::string LoadModel(const std::string& strPath);
    // The XML error log of the last LoadModel alone (missing mandatory
    // attributes of the model's files). GetErrorLog() also lists those of
    // the side files read since.
    const std::string& GetModelErrorLog() const { return m_strModelErrorLog; }
    // Reads the children of a system, block or mnca element into pAgent:
    // automaton blocks first, then either the blocks or (when there is no
    // block) the processes, then the channels. 1 when processes were read,
    // 0 when blocks were. An agent more than 100 levels below the root
    // raises CCustomException, which ends the load with an error.
    int ReadBlockContents(CSDLBlock* pAgent, CXMLNode element);
    // One default layer per block child of an mnca element; returns 0.
    int AddMncaLayerBlocks(CSDLmnca* pMnca, CXMLNode element);

    // ---- Processes -------------------------------------------------------------------
    // Reads every process child of element into pAgent, then the element's
    // channels. outerProcess is the model file's process element when element
    // is the root of an external SDL process file (its name and declarations
    // apply), else null. 0 normally, 1 when an external file could not be
    // read (the element's later processes and its channels are then skipped).
    int ReadProcesses(CSDLBlock* pAgent, CXMLNode element, CXMLNode outerProcess);
    // The "sdlprocess" root of the external process file strFileName, looked
    // for in the model folder, then in "lib/", "SDLProcessExternal/" and
    // "../SDLProcessExternal/" below it; null when none opens, when it does
    // not parse (reported in the error text) or when its root has another
    // name. The document stays valid until the next LoadModel.
    CXMLNode FindExternalProcess(const std::string& strFileName);
    // Variables of the first DCLS child; rebuilds the declarations text.
    // Returns 1. A type that is none of int, double and char*, and a value
    // that is not of its type, are errors of the load that name strFile
    // (the file element is in), the variable and the type or value.
    int ReadDeclarations(CSDLProcess* pProcess, CXMLNode element,
                         const std::string& strFile = std::string());
    // Representation texts and trace switches; returns 1.
    int ReadRepresentations(CSDLProcess* pProcess, CXMLNode element);
    // The procedures of the first "procedures" child. 1 when a body element
    // gave no operation (the rest is then not read), else 0.
    int ReadProcedures(CSDLProcess* pProcess, CXMLNode element);
    // The "procedures" root of a procedures file, or null (not opened, not
    // parsed, or already being read).
    CXMLNode LoadProceduresFile(const std::string& strPath);
    // The start transition and the states; returns 1.
    int ReadStates(CSDLProcess* pProcess, CXMLNode element);
    // Gives the process its own copy of the eleven built-in procedures
    // (ids 50 to 60); returns 0.
    int RegisterBuiltInProcedures(CSDLProcess* pProcess);

    // ---- Channels ----------------------------------------------------------------------
    // Links the channels declared in the first "channels" child of element
    // between the children of pAgent (or pAgent itself); returns 0.
    int ReadChannels(CSDLBlock* pAgent, CXMLNode element);
    // Links one channel between the ends found (null when not found); a block
    // end wins over a process end. 0 when linked, 1 when an end is missing.
    int LinkChannel(CSDLBlock* pAgent, CSDLBlock* pStartBlock, CSDLProcess* pStartProcess,
                    CSDLBlock* pEndBlock, CSDLProcess* pEndProcess, const std::string& strEvents,
                    const std::string& strName, const std::string& strDual);
    // One direction of a channel: the output end in the sender, the input end
    // in the receiver, both carrying the signals of strEvents (names each
    // followed by a blank). Return 0.
    int LinkBlockToBlock(CSDLBlock* pFrom, CSDLBlock* pTo, const std::string& strEvents,
                         const std::string& strName);
    int LinkBlockToProcess(CSDLBlock* pFrom, CSDLProcess* pTo, const std::string& strEvents,
                           const std::string& strName);
    int LinkProcessToBlock(CSDLProcess* pFrom, CSDLBlock* pTo, const std::string& strEvents,
                           const std::string& strName);
    int LinkProcessToProcess(CSDLProcess* pFrom, CSDLProcess* pTo, const std::string& strEvents,
                             const std::string& strName);

    // ---- Operation elements ------------------------------------------------------------
    // Each builds the operation of one element for pProcess: name, id, owner,
    // the lower-case type tag, the debug entries and its own fields. The
    // caller sets the state name, the enclosing procedure and the link.
    std::unique_ptr<CSDLOperationCreate> ReadCreate(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationDecision> ReadDecision(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationInput> ReadInput(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationOutput> ReadOutput(CXMLNode element, CSDLProcess* pProcess);
    // The call operation of the class its procedure names, or null (reported)
    // when the process has no procedure of that name. Calls keep the type tag
    // of their class.
    std::unique_ptr<CSDLOperationProcedureCall> ReadProcedureCall(CXMLNode element,
                                                                  CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationSetState> ReadSetState(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationSetTimer> ReadSetTimer(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationStart> ReadStart(CXMLNode element, CSDLProcess* pProcess);
    std::unique_ptr<CSDLOperationTask> ReadTask(CXMLNode element, CSDLProcess* pProcess);
    // The debug children of element into the operation's debug messages.
    void ReadDebugEntries(CSDLOperation* pOperation, CXMLNode element);
    // Sets the call's name, id and owner and its actual parameters (the
    // param children checked against the procedure's formals); returns pCall.
    CSDLOperationProcedureCall* ReadProcedureCallParams(const std::string& strName,
                                                        const std::string& strId, CXMLNode element,
                                                        CSDLOperationProcedureCall* pCall,
                                                        CSDLProcess* pProcess,
                                                        CSDLProcedure* pProcedure);

    // ---- Side files ----------------------------------------------------------------------
    // Each reads one side file of the loaded model, parsed into this
    // reader's own document (the model's is no longer needed). False, with
    // the reason in m_strSideFileError, when the file cannot be opened; also
    // on the Errors pane when it does not parse, is not a file of its kind,
    // or lacks an element it needs (what was read before such an element
    // stays). Nothing is thrown. Missing attributes read as empty texts and
    // are added to GetErrorLog(); the model's own entries stay there (and in
    // GetModelErrorLog()).
    //
    // How each process looks in each state (".eye" / ".modelinfo"); agents
    // the model does not have are skipped. Scale, position and rotation are
    // doubles (absent ones 0): a state with one that is none keeps what it
    // had, named on the Errors pane.
    bool LoadModelInfo(const std::string& strPath);
    // Variable values and the initial external events (".param"). Entries
    // of processes the model does not have are skipped and reported in one
    // message box; the file is true all the same. An event without xTime
    // runs at 0 and a parameter without a type is taken by the variable it
    // sets; an event whose time or parameter type is given and is none is
    // not queued, named on the Errors pane.
    bool LoadParametrization(const std::string& strPath);
    // The parametrization the engine's model has now, and the same put back
    // (processes the model no longer has are passed over). Not while a run
    // is alive.
    SModelParametrization TakeParametrization() const;
    void RestoreParametrization(const SModelParametrization& parametrization);
    // The experiments of an ".exp" file into m_mapExperiments, which is
    // emptied first (also when the file cannot be read). Relative paths are
    // taken from the folder of the experiments file.
    bool LoadExperiments(const std::string& strPath);

    // ---- DEVS import ----------------------------------------------------------------------
    // Converts the DEVS model at strPath into a model file written beside it
    // (strPath + ".sdl") and returns that file's path; "" when the model
    // cannot be read or converted (reason in m_strSideFileError). A coupled
    // model inside another becomes a block; one that holds both atomic and
    // coupled models is refused, since a block holds either processes or
    // blocks. What the conversion leaves out or reads in its own way (the
    // further signals of a channel, a state without a time advance, further
    // conditions of a time advance) is named in m_strDEVSWarnings and on the
    // Errors pane.
    std::string ImportDEVS(const std::string& strPath);
    std::string ConvertDEVSModel(const std::string& strInputPath);
    // The channels and the members of one coupled model, nDepth levels below
    // the system, appended to strOut.
    void WriteDEVSCoupledModel(CXMLNode coupledModel, SDEVSConversion& conversion, int nDepth,
                               std::string& strOut);
    // The process body of one atomic model, appended to strOut.
    void WriteDEVSAtomicModel(CXMLNode atomicModel, SDEVSConversion& conversion,
                              std::string& strOut);
    // The operations of one transition function (number nFunction of its
    // kind), stored under its state in the internal or external map of
    // rAtomic.
    void ConvertDEVSFunction(CXMLNode atomicModel, CXMLNode function, SDEVSAtomic& rAtomic,
                             bool bInternal, int nFunction);
    // Whether an internal transition into strState schedules the state's own
    // internal transition, and after which delay: not for a passive state
    // (named in a warning when it has no time advance). A time advance that
    // is no time ends the conversion.
    bool ScheduleDEVSTransition(CXMLNode atomicModel, SDEVSAtomic& rAtomic,
                                const std::string& strState, std::string& strDelay);
    // The state signature of an element: name="value" and a blank for every
    // state variable, the last variable first. With pCode, the assignments
    // the element implies are put in front of *pCode.
    std::string FormatDEVSState(CXMLNode element, const SDEVSAtomic& atomic, std::string* pCode);
    // The time advance of a state: the returned value of the first time
    // advance function whose signature is strState; false when none.
    bool LookupTimeAdvance(CXMLNode atomicModel, const SDEVSAtomic& atomic,
                           const std::string& strState, std::string& strValue);
    // Warnings of the last DEVS conversion, each entry preceded by "\n".
    std::string m_strDEVSWarnings;

    // Experiments of the last experiments file (or of the experiment dialog),
    // by label.
    COwningNameMap<CSDLExperiments> m_mapExperiments;
    // Why the last side-file read or DEVS conversion failed, and whether
    // that was written on the Errors pane (it is not when the file cannot be
    // opened: a model without a side file is common).
    std::string m_strSideFileError;
    bool m_bSideFileErrorReported = false;

    // The engine that receives the model; set by the caller, not owned.
    CSDLEngine* m_pEngine = nullptr;
    // Model errors of the last load, each entry preceded by "\n".
    std::string m_strErrorText;
    // Warnings of the last load, each entry preceded by "\n".
    std::string m_strWarningText;
    // Folder of the model file with its trailing "/".
    std::string m_strModelFolder;

private:
    // LoadModel without the keeping of the model's error log.
    std::string ReadModel(const std::string& strPath);

    // Which file kind a line-read file is, for its stop line and trimming.
    enum LoaderFileKind { LFK_MODEL, LFK_PROCESS, LFK_PROCEDURES };
    enum LoaderReadResult { LRR_OK, LRR_NOT_OPENED, LRR_BAD_XML, LRR_IN_PROGRESS };

    // The line reading that every file of a model goes through: the lines of
    // the file at strPath (LF or CR LF ends; bytes decoded to UTF-8), each
    // trimmed when bTrim, joined without their ends up to and including the
    // first line for which isStop holds, or to the end of the file. bCode
    // keeps the line breaks of task and decision code and a blank between
    // the attributes of a tag written over several lines. strText is the
    // joined text from its first "<". False when the file cannot be opened.
    static bool ReadLines(const std::string& strPath, bool bTrim, bool bCode,
                          const std::function<bool(const std::string&)>& isStop,
                          std::string& strText);
    // ReadLines with the stop line and trimming of a model, process or
    // procedures file.
    static bool ReadFileText(const std::string& strPath, LoaderFileKind eKind,
                             std::string& strText);
    static bool IsReadableFile(const std::string& strPath);
    // Reads and parses a side file (external process or procedures file) into
    // a document of its own, kept until the next load; rRoot is its root
    // element when named strRoot.
    LoaderReadResult ReadSideFile(const std::string& strPath, LoaderFileKind eKind,
                                  const std::string& strRoot, CXMLNode& rRoot);
    // Resolves the external process file and reads it; strOpened receives
    // the path read.
    LoaderReadResult OpenExternalProcess(const std::string& strFileName, std::string& strOpened,
                                         CXMLNode& rRoot);
    // Key of a file in the set of files being read.
    static std::string FileKey(const std::string& strPath);

    // ReadProcesses, the first process of an external file taking the name
    // strOuterName.
    int ReadProcessesNamed(CSDLBlock* pAgent, CXMLNode element, CXMLNode outerProcess,
                           const std::string& strOuterName);
    // Reads an mnca element into a new automaton block under pParent.
    CSDLmnca* ReadMnca(CSDLBlock* pParent, CXMLNode element);
    void ReadMncaDeclaration(CSDLmnca* pMnca, const std::string& strName,
                             const std::string& strValue, std::vector<int>& vecSizes);
    // Enters a new block or automaton under its name in pParent and in the
    // engine's map; null, with the block dropped, when pParent already has
    // a block of that name.
    CSDLBlock* AttachBlock(CSDLBlock* pParent, std::unique_ptr<CSDLBlock> pBlock);
    // False, with an error of the load naming both, when pParent already
    // holds a block (or a process, bProcess) named strName: the engine would
    // keep only one of the two.
    bool IsNameFree(const CSDLBlock* pParent, const std::string& strName, const char* pszKind,
                    bool bProcess);
    // Detaches the body operations of a procedure that is being replaced.
    void ForgetProcedure(CSDLProcedure* pProcedure);

    // Reads the operation elements below element into one chain of
    // pProcess (state strState, procedure pProcedure or null). An element
    // that is no operation is reported and skipped, or ends the chain when
    // bEndAtUnknown. *pFailed is set when an operation could not be read.
    // Returns the first operation, or null.
    CSDLOperation* ReadChain(CXMLNode element, CSDLProcess* pProcess, CSDLProcedure* pProcedure,
                             const std::string& strState, bool bEndAtUnknown, bool* pFailed);
    // Reads one operation element of a start, state or body by its node
    // name; bKnown false when the name is not an operation of that place.
    std::unique_ptr<CSDLOperation> ReadOperation(const std::string& strTag, CXMLNode element,
                                                 CSDLProcess* pProcess, bool bInBody, bool& bKnown);
    // Creates the call object for a procedure's class name.
    static std::unique_ptr<CSDLOperationProcedureCall> MakeProcedureCall(
        const std::string& strClassName);
    // Fills the common fields of a non-call operation.
    void ReadCommon(CSDLOperation* pOperation, CXMLNode element, CSDLProcess* pProcess,
                    const char* pszTag);
    // Records the library key of a decision or task, warning when another
    // operation already uses it.
    void NoteLibraryKey(CSDLOperation* pOperation);

    // Reports in the error text every two agents below root that share one
    // full name (process b_c in block a, process c in block a_b): the
    // engine would hold them as one agent. True when there are any.
    bool ReportCoincidingNames(const CSDLAgent& root);
    // Takes the model just read out of the engine again: it is not run.
    void DropModel();
    // Whether the load met two blocks or two processes of one name in one
    // place.
    bool m_bSameNamedAgents = false;

    // False, with an error of the load naming the variable strName of
    // strOwner ("process P", "procedure f") in strFile, when strType is
    // none of the value types.
    bool CheckDeclaredType(const std::string& strName, const std::string& strType,
                           const std::string& strOwner, const std::string& strFile);
    // The file whose elements are being read, and the one of the model's
    // process element that names it, for the lines that name them.
    std::string m_strReadingFile;
    std::string m_strOuterFile;
    // The procedure whose body is being read, or null in a state.
    CSDLProcedure* m_pReadingProcedure = nullptr;

    // A load error: appended to the error text after "\n".
    void AddError(const std::string& strText);
    void AddWarning(const std::string& strText);
    // A modal message box through the engine's notifier.
    void ShowMessage(const std::string& strText);
    CNotifier& Notifier() const;

    // Documents of the side files read during the load; their nodes are in
    // use while the load goes on.
    std::vector<std::unique_ptr<CXMLParser>> m_vecSideDocuments;
    // Files whose elements are being read, to refuse a file that names
    // itself (directly or through others).
    std::set<std::string> m_setFilesInProgress;
    // Decisions and tasks by type tag and code ID, to find operations that
    // would share one branch of the model library.
    CNameMap<CSDLOperation*> m_mapLibraryKeys;
    std::string m_strModelErrorLog;

    // Reads and parses a side file into this reader's document; false (and
    // reported) when it cannot be opened or parsed. pszStop is the closing
    // tag; bStopAtEnd when it may end a longer line.
    bool ParseSideFile(const std::string& strPath, const char* pszStop, bool bStopAtEnd);
    // Records and reports why a side-file read or a conversion failed.
    void SideFileFailed(const std::string& strText);
};
