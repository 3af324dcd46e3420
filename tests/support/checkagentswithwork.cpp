// Linked into every test program that runs the engine: each step of every
// run first compares the agents with work against what a full sweep would
// step, and a difference ends the program with it.

#include "sh_sdl/sdlengine.h"

namespace {

const bool g_bCheckOn = [] {
    CSDLEngine::SetCheckAgentsWithWork(true);
    return true;
}();

}  // namespace
