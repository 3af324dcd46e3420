#pragma once

// The wait for an engine's run to end, for as long as the run moves on.
// tracediff.sh builds tests/tracediff/tracerunner.cpp, which includes this,
// against the engines of earlier commits: use only what they offer.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <source_location>
#include <system_error>
#include <tuple>

#include "progresswait.h"
#include "sh_sdl/sdlengine.h"

namespace velkotest {

// What changes while a run moves on: its state, its steps and the size of its
// trace file.
inline std::tuple<int, long long, std::uintmax_t> RunProgress(const CSDLEngine& engine) {
    const SRunStatus status = engine.GetRunStatus();
    std::error_code error;
    const std::uintmax_t nSize = std::filesystem::file_size(engine.GetTracePath(), error);
    return {static_cast<int>(status.eState), status.nSteps, error ? 0 : nSize};
}

// Waits until the run's thread has ended and joins it (true), for as long as
// the run moves on; false once it has stood still for tStall (scaled with the
// machine). Not on a thread that answers the run's questions.
inline bool WaitForRunEnd(CSDLEngine& engine,
                          std::chrono::milliseconds tStall = std::chrono::milliseconds(5000),
                          const std::source_location& where = std::source_location::current()) {
    return WaitOnProgress([&engine] { return engine.WaitForRunEnd(0); },
                          [&engine] { return RunProgress(engine); }, tStall,
                          [&engine] { engine.WaitForRunEnd(2); }, where);
}

}  // namespace velkotest
