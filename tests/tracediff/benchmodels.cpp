// Writes the benchmark's models, at sizes small enough to trace, into the
// folder given: each model in a folder of its own, as a user keeps models.
// tracediff.sh builds it from the working tree only, so that every tree it
// compares runs the same model files.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/pingpongmodel.h"
#include "bench/spawnmodel.h"

namespace fs = std::filesystem;

namespace {

bool WriteModel(const fs::path& folder, const std::string& strName, const std::string& strText) {
    fs::create_directories(folder / strName);
    std::ofstream file(folder / strName / (strName + ".velko"), std::ios::binary);
    file << strText;
    return static_cast<bool>(file.flush());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    bool bWritten = true;
    for (int nProcesses : {2, 10}) {
        SPingPongModel model;
        model.nProcesses = nProcesses;
        model.nRallies = 5;
        model.bTrace = true;
        bWritten = WriteModel(folder, "bench_pingpong" + std::to_string(nProcesses),
                              MakePingPongModelXml(model)) &&
                   bWritten;
    }
    SSpawnModel spawn;
    spawn.nInstances = 20;
    spawn.nPerTick = 5;
    bWritten = WriteModel(folder, "bench_spawn20", MakeSpawnModelXml(spawn)) && bWritten;
    return bWritten ? 0 : 1;
}
