#pragma once

// "From VELKO Trace": replays a run that the simulator wrote to a trace file.
// The file is read as text up to its closing line, together with the side
// file "modelinfo.txt" of its folder, whose model description takes the place
// of the trace's own. The description builds the agents and the terrain; the
// records of the trace's Events element are then fed to the animation model
// by the scene's feeder thread, all at once: the replay clock decides when
// each one shows.
//
// Thread contract:
// - LoadFromTrace and ParseTrace run on the dialog thread. ParseTrace first
//   stops and joins the scene's feeder (a previous trace or a live link), so
//   the document is never replaced while a feeder reads it.
// - The records are handled on the scene's feeder thread, which reads the
//   document alone until it ends or is stopped (by the next load, or by the
//   scene controller's destruction).
// - The reader must outlive the feed: its destruction stops the scene's
//   feeder. The scene controller must outlive the reader.

#include <functional>
#include <stop_token>
#include <string>

#include "clients/velkoeyedx/sh_dx/eyetarget.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "sh_aux/xmlparser.h"

class CTraceReader {
public:
    enum LoadResult {
        TLR_CANCELLED,  // no file was chosen: the scene is left empty
        TLR_FAILED,     // "Error loading trace"
        TLR_LOADED,     // the scene holds the trace and its records are being fed
    };

    CTraceReader(CSceneController& scene, CEyeTarget target);
    ~CTraceReader();
    CTraceReader(const CTraceReader&) = delete;
    CTraceReader& operator=(const CTraceReader&) = delete;

    // The whole command: takes the scene (emptying it) and the Parsing Log,
    // asks fnChooseFile for the trace (an empty answer cancels), reads it and
    // its side file, builds the scene and starts the feed, logging each step
    // in the Syslog, and releases the scene with the clock stopped at 0.
    LoadResult LoadFromTrace(const std::function<std::string()>& fnChooseFile);

    // Checks the trace's text and the side file's (empty: none), reads the
    // model description into the scene and starts feeding the records; false,
    // after a line in the Parsing Log, when either text is no document or a
    // part is missing. Grids of terrain agents are also looked for beside the
    // trace, in strTraceFolder.
    bool ParseTrace(std::string strTrace, std::string strModelInfo,
                    const std::string& strTraceFolder = std::string());

    // Reads the text file at strPath line by line, each line trimmed (lines
    // that are not UTF-8 are read as Windows-1252), and joins the lines with
    // nothing between them, up to and with the first line that ends with
    // strClosing in any letter case, or to the end of the file. Whatever
    // comes before the first "<" is dropped. False when the file cannot be
    // read.
    static bool ReadUpToClosingLine(const std::string& strPath, const std::string& strClosing,
                                    std::string& strText);

private:
    // The events thread: hands every child of the Events element to its
    // record handler, in document order, until the stop token is signalled.
    void FeedRecords(std::stop_token stop);

    CSceneController& m_scene;
    const CEyeTarget m_target;
    CXMLParser m_traceDoc;
    CXMLNode m_events;
};
