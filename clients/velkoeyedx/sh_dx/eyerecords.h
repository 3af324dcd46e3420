#pragma once

// What the simulator writes for the viewer, as the trace reader and the live
// client read it: the model description that heads a trace (or its side file
// "modelinfo.txt") and opens a live link, and the animation records, the
// "EYE_" elements, each turned into work for the animation model: an event
// queued for the replay clock, or a change to the events already queued. Each
// handler writes one line to the Parsing Log, the record's texts unchanged.
//
// Attributes are matched by their exact name and read as empty when absent;
// child elements are matched in any letter case. Times and numbers are read
// without the process locale; an empty text is 0.
//
// Thread contract: the handlers run on the thread that reads the records
// (the scene's feeder thread) while the render thread updates the same
// animation model, which guards itself. The document is only read; it must
// not be changed by another thread meanwhile.

#include <string>
#include <string_view>

#include "clients/velkoeyedx/sh_dx/eyetarget.h"
#include "sh_aux/xmlparser.h"

// Reads the ModelInfo element modelInfo of doc into the target: every Agent
// of its Agents becomes an agent of the animation model (put in place of one
// of the same name) with its states, and each state's mesh is registered for
// loading. An agent with a grid or a cell count is a terrain agent: its grid
// file is loaded into the terrain (looked for under "res/meshes/", then in
// strTraceFolder, its "data/" folder and the "data/" folder beside it), or a
// flat grid of the cell count is built. Absent attributes read as empty; a
// state without a mesh is logged and skipped.
//
// Runs on the thread that read the description: the dialog thread for a
// trace, the feeder thread for a live link.
void ReadModelInfo(const CXMLParser& doc, CXMLNode modelInfo, const CEyeTarget& target,
                   const std::string& strTraceFolder = std::string());

// EYE_Report: a variable's value, shown by the agent (and its cell, -1 for
// none) when the time comes.
void OnEyeReport(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
// EYE_SetState: the agent takes the look that the model info gave its state;
// with a cell, the cell takes the state's texture. An agent or state that the
// model info did not name is logged and nothing is queued.
void OnEyeSetState(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
// EYE_AnimTo, in the first form that applies: a cell and a time paint the
// cell; a time moves the agent (created when unknown) to the pose by then; a
// speed without a time moves it at that speed; anything else does nothing.
void OnEyeAnimTo(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
// EYE_RemoveAt: the agent disappears at the time.
void OnEyeRemoveAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
// EYE_StopAt and EYE_ResumeAt: change the agent's queued moves at once.
void OnEyeStopAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
void OnEyeResumeAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);

using EyeRecordHandler = void (*)(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target);
struct CEyeRecordKind {
    std::string_view strName;
    EyeRecordHandler fnHandle;
};
// The records with their handlers, in the order the readers look for them.
inline constexpr CEyeRecordKind kEyeRecords[] = {
    {"EYE_Report", OnEyeReport}, {"EYE_SetState", OnEyeSetState},
    {"EYE_AnimTo", OnEyeAnimTo}, {"EYE_RemoveAt", OnEyeRemoveAt},
    {"EYE_StopAt", OnEyeStopAt}, {"EYE_ResumeAt", OnEyeResumeAt},
};

// Calls the handler of the record named like node (in any letter case);
// false, doing nothing, for a node of any other name or kind.
bool HandleEyeRecord(const CXMLParser& doc, CXMLNode node, const CEyeTarget& target);
