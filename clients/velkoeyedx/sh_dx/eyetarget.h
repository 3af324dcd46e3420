#pragma once

// What the readers of the simulator's output fill and write to: the viewer as
// the trace reader, the live client, the model-info reader and the animation
// record handlers see it.
//
// Thread contract: the readers run on the dialog thread (a trace load) and on
// the scene's feeder thread (the records of a trace, a live link), sometimes
// both at once. The animation model and the terrain guard themselves. The log
// sinks may be called from either thread, so a window's sink posts the line
// to its own thread; they are never called with a lock of the readers held.
// fnGridLoaded is called on the reading thread too.

#include <functional>
#include <memory>
#include <string>

#include "clients/velkoeyedx/sh_dx/animations.h"
#include "clients/velkoeyedx/sh_dx/logsink.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"

struct CEyeTarget {
    // The scene's animation model; required.
    CAnimations* pAnimations = nullptr;
    // The scene's terrain; null: terrain agents build no grid.
    CTerrain* pTerrain = nullptr;
    // The Logs dialog's "Parsing Log": one line per record handled and every
    // reading error.
    std::shared_ptr<CLogSink> pParsingLog;
    // The main dialog's log box: the outcome of each load and connection.
    std::shared_ptr<CLogSink> pSyslog;
    // A terrain agent's grid file was loaded into the terrain: the window
    // scans the layers beside it and shows the terrain's properties.
    std::function<void()> fnGridLoaded;

    void ParsingLog(const std::string& strLine) const {
        if (pParsingLog) {
            pParsingLog->AppendLine(strLine);
        }
    }
    void ClearParsingLog() const {
        if (pParsingLog) {
            pParsingLog->ClearLines();
        }
    }
    void Syslog(const std::string& strLine) const {
        if (pSyslog) {
            pSyslog->AppendLine(strLine);
        }
    }
};
