// Model loading: a model file, an SDL process file in its
// SDLProcessExternal folder and a procedures file, then the C source of a
// model that loaded cleanly (not compiled). The files are the parts of the
// input: "model.velko", "SDLProcessExternal/process.sdl" and
// "procedures.sdl". Procedures files are named relative to the working
// folder, so the load runs from the scratch folder.
//
// A load is judged on its own problems: loading the same files again into
// the same engine must give the same texts.

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "fuzzinput.h"
#include "sh_sdl/sdlengine.h"
#include "sh_sdl/sdlloader.h"

namespace {

// Runs the loads with the scratch folder as the working folder, and goes
// back before the fuzzer writes anything.
class CWorkingFolder {
public:
    explicit CWorkingFolder(const std::string& strFolder) {
        velkofuzz::Check(getcwd(m_szOld, sizeof m_szOld) != nullptr, "working folder known");
        velkofuzz::Check(chdir(strFolder.c_str()) == 0, "scratch folder entered");
    }
    ~CWorkingFolder() { velkofuzz::Check(chdir(m_szOld) == 0, "working folder restored"); }

private:
    char m_szOld[PATH_MAX];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const auto vecParts = velkofuzz::SplitParts(pData, nSize, 3);
    const std::string strModel = scratch.Write("model.velko", vecParts[0]);
    scratch.Write("SDLProcessExternal/process.sdl", vecParts[1]);
    scratch.Write("procedures.sdl", vecParts[2]);

    CWorkingFolder folder(scratch.GetPath());
    CSDLEngine engine;
    engine.SetNotifier(&velkofuzz::Notifier());
    CSDLLoader loader;
    loader.m_pEngine = &engine;

    const std::string strText = loader.LoadModel(strModel);
    const std::string strErrors = loader.m_strErrorText;
    const std::string strLog = loader.GetErrorLog();
    const std::string strWarnings = loader.m_strWarningText;
    if (!strText.empty() && strErrors.empty() && strLog.empty()) {
        const std::string strBase = scratch.GetPath() + "model";
        // As the build does: a model whose variables cannot become C names
        // is refused with the reason, and that is the only refusal.
        bool bNamesRefused = false;
        const int nWritten = engine.CreateCodeFile(strBase);
        for (const CRecordingNotifier::Line& line : velkofuzz::Notifier().GetLines()) {
            bNamesRefused |=
                line.ePane == NP_ERRORS &&
                line.strLine.find("Rename them and create the code again.") != std::string::npos;
        }
        velkofuzz::Check(nWritten == 1 || bNamesRefused, "C source written, or its names refused");
    }

    velkofuzz::Check(loader.LoadModel(strModel) == strText, "same model text on a second load");
    velkofuzz::Check(loader.m_strErrorText == strErrors, "same errors on a second load");
    velkofuzz::Check(loader.GetErrorLog() == strLog, "same attribute log on a second load");
    velkofuzz::Check(loader.m_strWarningText == strWarnings, "same warnings on a second load");
    return 0;
}
