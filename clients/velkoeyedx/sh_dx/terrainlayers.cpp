#include "clients/velkoeyedx/sh_dx/terrainlayers.h"

#include <algorithm>
#include <filesystem>
#include <new>
#include <system_error>

#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "sh_aux/customexception.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"

namespace {

void ReportSkipped(const std::string& strPath, const std::string& strReason) {
    GetNotifier().OutputLine(NP_ERRORS, "The layer '" + strPath + "' is skipped: " + strReason);
}

}  // namespace

void CTerrainLayers::LoadLayers(const CTerrain& terrain) {
    namespace fs = std::filesystem;
    // Both are set by a terrain read from a raster file, neither by a flat
    // grid.
    const std::shared_ptr<const CLayer> pMainLayer = terrain.GetLayer();
    const std::string strTerrainFile = terrain.GetFilePath();
    if (!pMainLayer || strTerrainFile.empty()) {
        return;
    }
    const std::string strFolder = GetFolder(strTerrainFile);

    // Sorted, so that of two files with one title the same one always wins.
    std::vector<fs::path> vecFiles;
    std::error_code ec;
    for (fs::directory_iterator it(strFolder.empty() ? "." : strFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string strName = it->path().filename().string();
        const std::string strEnd = strName.size() >= 4 ? strName.substr(strName.size() - 4) : "";
        std::error_code ecEntry;
        if ((strEnd == ".img" || strEnd == ".vec") && it->is_regular_file(ecEntry) &&
            !fs::equivalent(it->path(), strTerrainFile, ecEntry)) {
            vecFiles.push_back(it->path());
        }
    }
    if (ec) {
        GetNotifier().OutputLine(NP_ERRORS, "The layers beside '" + strTerrainFile +
                                                "' cannot be listed: " + ec.message());
    }
    std::sort(vecFiles.begin(), vecFiles.end());

    for (const fs::path& file : vecFiles) {
        const std::string strPath = file.string();
        try {
            m_mapLayers[file.stem().string()] =
                file.extension() == ".img"
                    ? std::make_unique<CLayer>("IDRISI", strPath)
                    : std::make_unique<CLayer>("IDRISI", strPath, *pMainLayer);
        } catch (const CCustomException& e) {
            ReportSkipped(strPath, e.GetMessageText());
        } catch (const std::bad_alloc&) {
            ReportSkipped(strPath, "it does not fit in memory");
        }
    }
}

std::vector<std::string> CTerrainLayers::GetLayerNames() const {
    std::vector<std::string> vecNames;
    for (const auto& entry : m_mapLayers) {
        vecNames.push_back(entry.first);
    }
    return vecNames;
}

const CLayer* CTerrainLayers::GetLayer(const std::string& strName) const {
    return FindIn(m_mapLayers, strName);
}

const std::vector<std::string>& CTerrainLayers::GetTextureChoices() {
    static const std::vector<std::string> vecChoices = {"none", "green", "cyan", "grey", "white"};
    return vecChoices;
}

std::string CTerrainLayers::GetTextureForChoice(const std::string& strChoice) {
    if (strChoice == "none") {
        return CTerrain::GetDefaultTextureName();
    }
    if (strChoice == "green") {
        return "grass.dds";
    }
    if (strChoice == "cyan") {
        return "ice.jpg";
    }
    if (strChoice == "grey") {
        return "stone.dds";
    }
    if (strChoice == "white") {
        return "snow.png";
    }
    return {};
}

bool CTerrainLayers::SetLayerTexture(const std::string& strLayer, const std::string& strChoice,
                                     CTerrain& terrain) const {
    const CLayer* pLayer = GetLayer(strLayer);
    if (!pLayer) {
        return false;
    }
    const std::string strTexture = GetTextureForChoice(strChoice);
    for (int nCell = 0; nCell < pLayer->GetCellCount(); ++nCell) {
        if (pLayer->GetCellValue(nCell) > 0.0) {
            terrain.SetCellTexture(nCell, strTexture);
        }
    }
    return true;
}
