#pragma once

// The "Properties" dialog of a terrain read from a raster: the cell last
// picked in the 3D window ("Selected Cell") and the GIS layers lying beside
// the terrain's file ("Layers"), each with the texture that paints the
// terrain's cells where the layer is above 0.0.
//
// Runs on the dialog thread; the terrain it paints guards itself against the
// render thread.

#include <QDialog>
#include <string>

#include "clients/velkoeyedx/sh_dx/terrainlayers.h"

class CPropertyGridCtrl;
class CTerrain;
class QTreeWidgetItem;

class CVELKOEyeDXProp : public QDialog {
    Q_OBJECT
public:
    explicit CVELKOEyeDXProp(QWidget* pParent = nullptr);

    // The terrain the choices paint and the picks describe; set before
    // LoadLayers.
    void SetTerrain(CTerrain* pTerrain) { m_pTerrain = pTerrain; }
    // Reads the layers beside the terrain's file (those read for earlier
    // terrains stay) and rebuilds the grid: "Selected Cell" with its six
    // items at 0, then "Layers" with one group per layer, its texture
    // "none".
    void LoadLayers();
    // Paints the texture of strChoice where the layer is above 0.0; an
    // unknown layer does nothing.
    void SetLayerTexture(const std::string& strLayer, const std::string& strChoice);
    // Sets the "Selected Cell" items from the terrain's selected cell.
    void FillSelectedCellProperties();

    CPropertyGridCtrl& GetGrid() const { return *m_pGrid; }

private:
    void OnPropertyChanged(QTreeWidgetItem* pItem);

    CPropertyGridCtrl* m_pGrid;
    CTerrainLayers m_layers;
    CTerrain* m_pTerrain = nullptr;
};
