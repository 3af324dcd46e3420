#pragma once

// The meshes the render thread draws with, by file name. The animation model
// decides which files are needed; the store (on the render thread, with its
// graphics context current) turns them into drawable meshes.
//
// Thread contract: CAnimations::Update calls Load and Clear on the thread
// that runs the update, never with the model's lock held. The store must not
// call back into the animation model.

#include <string>

class CMeshStore {
public:
    virtual ~CMeshStore() = default;

    // Loads the mesh file named strFile and keeps it under that name. A file
    // that cannot be loaded is kept as the fallback box, so that a name
    // handed to Load can always be drawn afterwards.
    virtual void Load(const std::string& strFile) = 0;
    // Drops every mesh: the scene was emptied.
    virtual void Clear() = 0;
};
