#pragma once

// What one frame of the animation model asks the window to do: the meshes to
// draw, each with its world matrix, and the terrain cells whose textures
// changed. The window draws the list after the model's lock is released.

#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/dxmath.h"

struct CDrawItem {
    std::string strAgent;
    // The mesh file name, as handed to CMeshStore::Load.
    std::string strMesh;
    // Row-vector world matrix: a mesh vertex v is drawn at v * mWorld.
    CMatrix mWorld;

    bool operator==(const CDrawItem&) const = default;
};

using CDrawList = std::vector<CDrawItem>;

struct CCellTexture {
    int nCell = -1;
    std::string strTexture;

    bool operator==(const CCellTexture&) const = default;
};

// The result of one frame's update, in the order the events were applied.
struct CAnimationFrame {
    CDrawList vecDraws;
    std::vector<CCellTexture> vecCellTextures;
};
