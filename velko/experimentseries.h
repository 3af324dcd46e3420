#pragma once

// "Executes the experiment": a series of runs. The run that Initialize
// started goes first as the "main model"; then each experiment of the
// document's experiments map, in map order, gets a run of its own with its
// parametrization (the engine's parametrization file, code base and
// experiment label; the model library of its code base). The model view is
// closed after every run, which forgets the map: the series runs the
// experiments it was started with. The model library is freed at the end.
//
// Nothing waits: the engine's run-state changes move the series on (the
// frame calls Advance), so the window stays responsive. A run's end starts
// the next run; a run that cannot start is reported and ends the series;
// Stop ends the current run and the series.

#include <string>
#include <utility>
#include <vector>

class CMainFrame;

class CExperimentSeries {
public:
    explicit CExperimentSeries(CMainFrame& frame);

    // The command: starts the series on the initialised run.
    void OnExecute();
    // The run changed: when it has ended, the next one starts (or the
    // series ends).
    void Advance();
    // Ends the series; the current run is left to the caller.
    void Cancel() { m_bActive = false; }
    bool IsActive() const { return m_bActive; }

private:
    // Reads the experiment's parametrization (strPath) and starts its run;
    // false when the run could not be started.
    bool StartExperiment(const std::string& strLabel, const std::string& strPath);
    // Go, with the System line of the run.
    void Go(const std::string& strLabel);
    // The current run could not start: said so, and the series ends.
    void FinishUnstarted();
    void Finish();

    CMainFrame& m_frame;
    bool m_bActive = false;
    // The experiments still to run, label and parametrization file, taken
    // when the series began.
    std::vector<std::pair<std::string, std::string>> m_vecExperiments;
    std::size_t m_nNext = 0;
    // The run going on: its label, and the engine's count of initialised
    // runs before it started (-1 for the main model, already initialised).
    std::string m_strCurrent;
    int m_nRunCountBefore = -1;
};
