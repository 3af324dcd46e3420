#pragma once

#include "sh_sdl/sdlblock.h"

class CSDLProcess;

// A block that describes the simulation cycle itself as one SDL process,
// "Main loop": wait for the start signal, initialise the model and take the
// first event; then handle each event, take the next one and evaluate the
// finish condition, until it holds and the statistics are written. The
// procedures it calls and its decision's condition have no bodies, so the
// process can be shown and inspected but not run. It steps and initialises
// as any block does.
class CSDLBlockSimulationEngine : public CSDLBlock {
public:
    CSDLBlockSimulationEngine();

    // The "Main loop" process, owned by the block's process map.
    CSDLProcess* GetMainLoop() const { return m_pMainLoop; }

private:
    CSDLProcess* m_pMainLoop = nullptr;
};
