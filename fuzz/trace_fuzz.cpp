// Viewer traces: the parts of the input are a trace "run.trace" and the
// side file "modelinfo.txt" beside it. The trace is loaded as the viewer's
// load command does, its records are fed whole, and the replay is drawn at
// a few times, so that what the records say reaches the animation model and
// the terrain.

#include <cstdint>
#include <string>
#include <thread>

#include "clients/velkoeyedx/sh_dx/eyetarget.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "clients/velkoeyedx/sh_dx/tracereader.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const auto vecParts = velkofuzz::SplitParts(pData, nSize, 2);
    const std::string strTrace = scratch.Write("run.trace", vecParts[0]);
    scratch.Write("modelinfo.txt", vecParts[1]);

    // The terrain outlives the scene, whose feeder paints it; the reader
    // goes first.
    CTerrain terrain{CResourceResolver(scratch.GetPath())};
    CSceneController scene;
    scene.SetTerrain(&terrain);
    CEyeTarget target;
    target.pAnimations = &scene.GetAnimations();
    target.pTerrain = &terrain;
    CTraceReader reader(scene, target);
    const CTraceReader::LoadResult eResult = reader.LoadFromTrace([&] { return strTrace; });
    velkofuzz::Check(eResult != CTraceReader::TLR_CANCELLED, "a chosen trace is read");
    if (eResult == CTraceReader::TLR_LOADED) {
        while (scene.IsFeeding()) {
            std::this_thread::yield();
        }
        for (const double dTime : {0.0, 1.5, 100.0, 1e9}) {
            scene.SetTime(dTime);
            scene.Frame();
        }
    }
    return 0;
}
