#pragma once

// What the scene needs of the terrain: the scene lock hides it, every jump of
// the replay clock takes the cells' textures back, and cell events that come
// due give cells their textures.
//
// Thread contract: MarkNotLoaded and ClearCellTextures are called on the
// dialog thread while the render thread may be drawing the terrain, and
// SetCellTexture on the render thread during a frame's animation update; the
// terrain guards its own state. None of them is called with a lock of the
// animation model or of the scene controller held, and none may call back
// into them.

#include <string>

class CSceneTerrain {
public:
    virtual ~CSceneTerrain() = default;

    // The terrain is no longer drawn (nor picked) until a new grid is built.
    virtual void MarkNotLoaded() = 0;
    // Every cell loses the texture of its own and shows the base texture.
    virtual void ClearCellTextures() = 0;
    // Cell nCell shows strTexture; a cell number outside the grid is ignored,
    // since it comes from a trace or the live link.
    virtual void SetCellTexture(int nCell, const std::string& strTexture) = 0;
};
