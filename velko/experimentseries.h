#pragma once

// "Executes the experiment": a series of runs. The run that Initialize
// started goes first as the "main model", with the model's own
// parametrization and library; then each experiment of the document's
// experiments map, in map order, gets a run of its own with its
// parametrization (the engine's parametrization file, code base and
// experiment label; the model library of its code base). An experiment whose
// parametrization cannot be read is skipped, with an Errors line that names
// it and says why. Every experiment starts from the model's own values, with
// its file's over them. The model view is closed after every run, which
// forgets the map: the series runs the experiments it was started with. At
// the end the model library is freed and the model's own parametrization
// (and its file label) comes back, so the next run is the model's own again.
//
// Nothing waits: the engine's run-state changes move the series on (the
// frame calls Advance), so the window stays responsive. A run's end starts
// the next run; a run that cannot start is reported and ends the series;
// Stop ends the current run and the series.

#include <QString>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sh_sdl/sdlloader.h"

class CMainFrame;

class CExperimentSeries {
public:
    explicit CExperimentSeries(CMainFrame& frame);

    // The command: starts the series on the initialised run.
    void OnExecute();
    // The run changed: when it has ended, the next one starts (or the
    // series ends).
    void Advance();
    // Ends the series (Stop); the current run is left to the caller, and
    // the model's own parametrization comes back once that run has ended.
    void Cancel() { m_bActive = false; }
    // Ends the series of an engine that goes: nothing is put back.
    void Forget();
    bool IsActive() const { return m_bActive; }

private:
    enum ExperimentStart { ES_STARTED, ES_SKIPPED, ES_FAILED };

    // Reads the experiment's parametrization (strPath) and starts its run.
    ExperimentStart StartExperiment(const std::string& strLabel, const std::string& strPath);
    // Go, with the System line of the run.
    void Go(const std::string& strLabel);
    // The current run could not start: said so, and the series ends.
    void FinishUnstarted();
    void Finish();
    // The model's own parametrization back in place of the experiments'.
    void PutOwnBack();

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
    // The model's own parametrization, from the series' start until it is
    // put back.
    std::optional<SModelParametrization> m_ownParametrization;
    // The "Parametrization File:" label of the model's own parametrization.
    QString m_strOwnLabel;
};
