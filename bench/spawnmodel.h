#pragma once

// A model whose agents multiply, for the engine's benchmark: one process,
// "maker", creates nPerTick instances of "worker" at each tick of its own
// timer (a self-output one time unit later) until nInstances were made.
// Each worker, as it starts, sends itself one signal one time unit later
// and takes it, so every new instance has work of its own at once.

#include <string>

struct SSpawnModel {
    int nInstances = 1000;  // rounded up to a multiple of nPerTick
    int nPerTick = 50;
};

// The model file's text, as the loader reads it (system "spawn<N>").
std::string MakeSpawnModelXml(const SSpawnModel& model);
// The instances a run of the model to its end makes.
int SpawnInstances(const SSpawnModel& model);
