#pragma once

// A log box that receives lines, such as the Logs dialog's execution log.
//
// Thread contract: the owner calls the sink from whichever thread ran the
// operation that logged, one call at a time and in the order the lines were
// made, never with one of its locks held. The sink must neither block (a
// window posts the text to its own thread) nor throw, and must not call back
// into its owner.

#include <string>

class CLogSink {
public:
    virtual ~CLogSink() = default;

    // Appends strLine as a new line.
    virtual void AppendLine(const std::string& strLine) = 0;
    // Empties the box.
    virtual void ClearLines() = 0;
};
