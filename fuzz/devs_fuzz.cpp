// DEVS import: the input is a DEVS model; what it converts to is loaded as
// a model file.

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzzinput.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const std::string strInput =
        scratch.Write("model.devs", {reinterpret_cast<const char*>(pData), nSize});

    CSDLEngine engine;
    engine.SetNotifier(&velkofuzz::Notifier());
    CSDLLoader loader;
    loader.m_pEngine = &engine;
    const std::string strModel = loader.ImportDEVS(strInput);
    if (strModel.empty()) {
        velkofuzz::Check(!loader.m_strSideFileError.empty(), "a refused conversion says why");
        return 0;
    }
    velkofuzz::Check(strModel == strInput + ".sdl" && std::filesystem::is_regular_file(strModel),
                     "the conversion is written beside the DEVS model");
    loader.LoadModel(strModel);
    return 0;
}
