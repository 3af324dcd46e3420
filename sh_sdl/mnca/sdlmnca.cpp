#include "sh_sdl/mnca/sdlmnca.h"

#include <algorithm>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlprocess.h"

namespace {

const char* const kMainLayer = "layer_main";

}  // namespace

void CSDLmnca::ShowBox(const std::string& strText) const {
    CNotifier& notifier = m_pEngine ? m_pEngine->GetNotifier() : GetNotifier();
    notifier.MessageBox("VELKO", strText, NB_OK, NI_ERROR);
}

CLayer* CSDLmnca::FindLayerOrShow(const std::string& strLayer) const {
    CLayer* pLayer = GetLayer(strLayer);
    if (!pLayer) {
        ShowBox("The layer " + strLayer + " doesn't exists.");
    }
    return pLayer;
}

void CSDLmnca::KeepLoadedValues(const std::string& strName, const CLayer& layer) {
    std::vector<double>& vecValues = m_mapLoadedValues[strName];
    vecValues.resize(static_cast<size_t>(layer.GetNumCells()));
    for (int i = 0; i < layer.GetNumCells(); ++i) {
        vecValues[static_cast<size_t>(i)] = layer.GetCellValue(i);
    }
}

namespace {

// The processes whose automaton is pMnca start with every cell in no state,
// as loaded (their start transitions run afterwards).
void ClearCellStates(CSDLAgent& agent, const CSDLmnca* pMnca) {
    for (auto& [strKey, pBlock] : agent.m_mapBlocks) {
        ClearCellStates(*pBlock, pMnca);
    }
    for (auto& [strKey, pProcess] : agent.m_mapProcesses) {
        if (pProcess->GetMncaBlock() == pMnca) {
            std::fill(pProcess->m_vecCellStates.begin(), pProcess->m_vecCellStates.end(),
                      std::string());
            std::fill(pProcess->m_vecNextCellStates.begin(), pProcess->m_vecNextCellStates.end(),
                      std::string());
        }
    }
}

}  // namespace

void CSDLmnca::Initialize() {
    for (const auto& [strName, vecValues] : m_mapLoadedValues) {
        if (CLayer* pLayer = GetLayer(strName)) {
            for (size_t i = 0; i < vecValues.size(); ++i) {
                pLayer->SetCellValue(static_cast<int>(i), vecValues[i]);
            }
        }
    }
    m_nCurrentCell = 0;
    ClearCellStates(*this, this);
    CSDLBlock::Initialize();
}

void CSDLmnca::AddDefaultLayer(const std::string& strName, double dValue) {
    if (GetLayer(strName)) {
        ShowBox("The layer " + strName + " already exists");
        return;
    }
    const CLayer* pMain = GetMainLayer();
    if (!pMain) {
        ShowBox("A main layer is needed to add a default layer (" + strName + ").");
        return;
    }
    std::unique_ptr<CLayer> pLayer;
    try {
        pLayer = std::make_unique<CLayer>(pMain->GetDimensions());
    } catch (const CCustomException& e) {
        ShowBox(e.GetMessageText());
        return;
    }
    // The declared value is the layer's starting value in every cell.
    for (int i = 0; i < pLayer->GetNumCells(); ++i) {
        pLayer->SetCellValue(i, dValue);
    }
    KeepLoadedValues(strName, *pLayer);
    m_mapLayers[strName] = std::move(pLayer);
}

void CSDLmnca::AddLayer(const std::string& strName, const std::string& strFile) {
    if (GetLayer(strName)) {
        ShowBox("The layer " + strName + " already exists");
        return;
    }
    // The file read: a name without a known ending is the raster's ".img".
    std::string strPath = Trim(strFile);
    const std::string strEnding = Right(strPath, 4);
    if (strEnding != ".vec" && strEnding != ".img") {
        strPath += ".img";
    }
    std::unique_ptr<CLayer> pLayer;
    try {
        if (strEnding == ".vec") {
            if (const CLayer* pMain = GetMainLayer()) {
                pLayer = std::make_unique<CLayer>("IDRISI", strPath, *pMain);
            } else {
                ShowBox(
                    "Must be a main layer to add a vectorial layer. Add first a layer called "
                    "'layer_main'.");
            }
        } else {
            pLayer = std::make_unique<CLayer>("IDRISI", strPath);
        }
    } catch (const CCustomException& e) {
        // A file that cannot be read: say why, then that the layer is missing;
        // the model goes on loading.
        ShowBox(e.GetMessageText());
        pLayer.reset();
    }
    if (!pLayer) {
        ShowBox("Couldn't load " + strName + " layer.");
        return;
    }
    CLayer* pAdded = pLayer.get();
    KeepLoadedValues(strName, *pLayer);
    m_mapLayers[strName] = std::move(pLayer);
    if (pAdded->IsRaster() && strName == kMainLayer) {
        m_nNumDimensions = pAdded->GetNumDimensions();
        m_nNumCells = pAdded->GetNumCells();
        m_vecDimensions = pAdded->GetDimensions();
        // The name of the file read, which the viewer looks the terrain up
        // by. Model files name their layers the Windows way; accept both
        // separators.
        const size_t nSeparator = strPath.find_last_of("\\/");
        m_strGridName = nSeparator == std::string::npos ? strPath : strPath.substr(nSeparator + 1);
    }
}

double CSDLmnca::GetCellValue(const std::string& strLayer, int nCell, int& nStatus) {
    const CLayer* pLayer = FindLayerOrShow(strLayer);
    if (!pLayer) {
        nStatus = MNCA_CELL_NO_LAYER;
        return 0.0;
    }
    if (nCell < 0 || nCell >= pLayer->GetNumCells()) {
        nStatus = MNCA_CELL_OUTSIDE;
        return -1.0;
    }
    nStatus = MNCA_CELL_OK;
    return pLayer->GetCellValue(nCell);
}

void CSDLmnca::SetCellValue(const std::string& strLayer, int nCell, double dValue, int& nStatus) {
    CLayer* pLayer = FindLayerOrShow(strLayer);
    if (!pLayer) {
        nStatus = MNCA_CELL_NO_LAYER;
        return;
    }
    if (nCell < 0 || nCell >= pLayer->GetNumCells()) {
        nStatus = MNCA_CELL_OUTSIDE;
        return;
    }
    pLayer->SetCellValue(nCell, dValue);
    nStatus = MNCA_CELL_OK;
}
