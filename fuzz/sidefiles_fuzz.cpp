// Side files of the sample model: the input is read as its model info, its
// parametrization and its experiments in turn, each into a freshly loaded
// model so that no case depends on the one before.

#include <cstdint>
#include <string>

#include "fuzzinput.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static const std::string strSample =
        std::string(VELKO_SOURCE_DIR) + "/examples/pingpong/pingpong.velko";
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const std::string strFile =
        scratch.Write("side.txt", {reinterpret_cast<const char*>(pData), nSize});

    CSDLEngine engine;
    engine.SetNotifier(&velkofuzz::Notifier());
    CSDLLoader loader;
    loader.m_pEngine = &engine;
    velkofuzz::Check(!loader.LoadModel(strSample).empty() && loader.m_strErrorText.empty(),
                     "the sample model loads");

    // A side file that is refused says why.
    if (!loader.LoadModelInfo(strFile)) {
        velkofuzz::Check(!loader.m_strSideFileError.empty(), "model info refused with a reason");
    }
    if (!loader.LoadParametrization(strFile)) {
        velkofuzz::Check(!loader.m_strSideFileError.empty(),
                         "parametrization refused with a reason");
    }
    if (!loader.LoadExperiments(strFile)) {
        velkofuzz::Check(!loader.m_strSideFileError.empty(), "experiments refused with a reason");
        velkofuzz::Check(loader.m_mapExperiments.empty(), "refused experiments keep none");
    }
    for (const auto& [strLabel, pExperiment] : loader.m_mapExperiments) {
        velkofuzz::Check(pExperiment->m_strLabel == strLabel, "experiment kept under its label");
    }
    return 0;
}
