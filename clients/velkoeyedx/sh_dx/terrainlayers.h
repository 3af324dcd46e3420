#pragma once

// The GIS layers lying beside a terrain file, by which the user paints the
// terrain: every cell where a layer's value is above 0.0 takes the texture
// chosen for that layer. Layers are keyed by file title (the file name
// without folder and extension) and listed sorted by it.
//
// Used from one thread (the window's dialog thread); the terrain it paints
// has its own lock.

#include <memory>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"
#include "sh_gis/layer.h"

class CTerrain;

class CTerrainLayers {
public:
    // Reads every raster (".img") and vector (".vec") layer in the folder of
    // the terrain's file, other than that file itself; a vector layer is laid
    // on the terrain's raster grid. Layers read before stay, one of the same
    // title is replaced. A layer that cannot be read is skipped and reported.
    // A flat grid has no folder and no grid to lay points on: nothing is read.
    void LoadLayers(const CTerrain& terrain);

    std::vector<std::string> GetLayerNames() const;
    const CLayer* GetLayer(const std::string& strName) const;

    // The choices offered for each layer: "none", "green", "cyan", "grey",
    // "white".
    static const std::vector<std::string>& GetTextureChoices();
    // The texture file painted for a choice: the base texture for "none",
    // "" for a text that is not one of the choices.
    static std::string GetTextureForChoice(const std::string& strChoice);

    // Paints the texture of strChoice on the terrain's cells where the layer
    // strLayer is above 0.0; other cells keep theirs. False for an unknown
    // layer.
    bool SetLayerTexture(const std::string& strLayer, const std::string& strChoice,
                         CTerrain& terrain) const;

private:
    COwningNameMap<CLayer> m_mapLayers;
};
