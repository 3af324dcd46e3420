#include "velko/experimentseries.h"

#include <QLabel>

#include "sh_sdl/sdlengine.h"
#include "sh_widgets/guinotifier.h"
#include "velko/mainfrm.h"
#include "velko/propertieswnd.h"
#include "velko/sidefilecommands.h"

CExperimentSeries::CExperimentSeries(CMainFrame& frame) : m_frame(frame) {}

void CExperimentSeries::OnExecute() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine) {
        m_frame.Notifier()->MessageBox("VELKO", "Load a model first.", NB_OK, NI_NONE);
        return;
    }
    if (m_bActive) {
        return;
    }
    m_vecExperiments.clear();
    for (const auto& [strLabel, pExperiment] : m_frame.Document().m_loader.m_mapExperiments) {
        m_vecExperiments.emplace_back(strLabel, pExperiment->m_strPath);
    }
    {
        // What the main model's run, which waits for Run, was started with.
        auto lock = pEngine->LockTree();
        m_ownParametrization = m_frame.Document().m_loader.TakeParametrization();
    }
    m_strOwnLabel = m_frame.ParametrizationLabel()->text();
    m_nNext = 0;
    m_bActive = true;
    m_strCurrent = "main model";
    m_nRunCountBefore = -1;
    pEngine->m_bStepByStep = false;
    pEngine->m_strExperimentLabel = m_strCurrent;
    Go(m_strCurrent);
    // A run that had already ended takes no Run: the series goes on at once.
    Advance();
}

void CExperimentSeries::Go(const std::string& strLabel) {
    m_frame.Engine()->Run();
    m_frame.WriteSystem("Simulation: " + strLabel + " experiment running...");
}

void CExperimentSeries::Forget() {
    m_bActive = false;
    m_ownParametrization.reset();
}

void CExperimentSeries::Advance() {
    CSDLEngine* pEngine = m_frame.Engine();
    if (!pEngine) {
        Forget();
        return;
    }
    if (pEngine->IsThreadAlive()) {
        return;  // the current run goes on
    }
    if (!m_bActive) {
        PutOwnBack();  // after a Stop, once its run has ended
        return;
    }
    m_frame.CloseModel();
    if (m_nRunCountBefore >= 0 && pEngine->m_nRunCount == m_nRunCountBefore) {
        FinishUnstarted();
        return;
    }
    while (m_nNext < m_vecExperiments.size()) {
        const auto& [strLabel, strPath] = m_vecExperiments[m_nNext++];
        switch (StartExperiment(strLabel, strPath)) {
            case ES_STARTED:
                return;
            case ES_SKIPPED:
                continue;
            case ES_FAILED:
                FinishUnstarted();
                return;
        }
    }
    Finish();
}

CExperimentSeries::ExperimentStart CExperimentSeries::StartExperiment(const std::string& strLabel,
                                                                      const std::string& strPath) {
    CSDLEngine* pEngine = m_frame.Engine();
    // Each experiment starts from the model's own values, with its file's
    // over them. Not run when its file cannot be read: with the model's own
    // values its run would pass them off as the experiment's.
    switch (m_frame.SideFiles().UseExperiment(strLabel, strPath, *m_ownParametrization)) {
        case EU_USED:
            break;
        case EU_REFUSED:
            return ES_SKIPPED;  // said why
        case EU_UNREADABLE: {
            const CSDLLoader& loader = m_frame.Document().m_loader;
            // The reader has written why when the file was there to read.
            std::string strLine = "The experiment \"" + strLabel +
                                  "\" is skipped: its parametrization cannot be read.";
            if (!loader.m_bSideFileErrorReported) {
                strLine += " " + loader.m_strSideFileError;
            }
            m_frame.WriteErrors(strLine);
            return ES_SKIPPED;
        }
    }
    pEngine->m_strExperimentLabel = strLabel;
    m_frame.Properties()->RefreshProperties();
    m_strCurrent = strLabel;
    m_nRunCountBefore = pEngine->m_nRunCount;
    if (pEngine->StartThread() != 0) {
        return ES_FAILED;
    }
    m_frame.FollowRun(m_nRunCountBefore);
    Go(strLabel);
    return ES_STARTED;
}

void CExperimentSeries::FinishUnstarted() {
    m_frame.WriteSystem("The experiment series stopped: the \"" + m_strCurrent +
                        "\" experiment could not start.");
    Finish();
}

void CExperimentSeries::Finish() {
    m_bActive = false;
    if (CSDLEngine* pEngine = m_frame.Engine()) {
        pEngine->FreeModelDLL();
    }
    PutOwnBack();
    m_frame.UpdateCommands();
}

void CExperimentSeries::PutOwnBack() {
    if (!m_ownParametrization) {
        return;
    }
    m_frame.Document().m_loader.RestoreParametrization(*m_ownParametrization);
    m_ownParametrization.reset();
    // The label names what the engine holds again, also after a Stop.
    m_frame.ParametrizationLabel()->setText(m_strOwnLabel);
    m_frame.Properties()->RefreshProperties();
}
