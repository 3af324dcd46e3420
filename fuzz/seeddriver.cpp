// Runs a fuzz target over its seeds as a plain program: every file named on
// the command line, and every file below every folder named there, goes
// through the target once. A seed that crashes or breaks a check ends the
// run like it ends the fuzzer; a run that finds no seed at all fails.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/filebytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> vecSeeds;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    vecSeeds.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(path)) {
            vecSeeds.push_back(path);
        } else {
            std::fprintf(stderr, "no seed at %s\n", path.c_str());
            return 1;
        }
    }
    if (vecSeeds.empty()) {
        std::fprintf(stderr, "no seeds given\n");
        return 1;
    }
    std::sort(vecSeeds.begin(), vecSeeds.end());
    for (const fs::path& seed : vecSeeds) {
        const std::string strBytes = velkotest::ReadFileBytes(seed.string());
        std::printf("%s (%zu bytes)\n", seed.c_str(), strBytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size());
    }
    std::printf("%zu seeds passed\n", vecSeeds.size());
    return 0;
}
