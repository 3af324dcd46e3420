// The tests' own waits (tests/support): a wait on progress outlasts its
// bound while the work moves on and fails once it stands still; the scaled
// waits follow the factor set, up to their ceiling; a window for what must
// not happen stays as short as it is.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/blockingcall.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velkotest::ScaledWait;
using velkotest::WaitOnProgress;

// Sets VELKO_TEST_SLOWNESS while it lives.
class CSlownessSet {
public:
    explicit CSlownessSet(const char* pszValue) { setenv("VELKO_TEST_SLOWNESS", pszValue, 1); }
    ~CSlownessSet() { unsetenv("VELKO_TEST_SLOWNESS"); }
};

TEST(ProgressWait, AWaitOnProgressLastsWhileTheWorkMovesOnAndEndsOnceItStandsStill) {
    const CSlownessSet slowness("1");
    // Forty steps 25 ms apart: the whole takes twice the bound of 500 ms for
    // standing still.
    std::atomic<int> nSteps{0};
    std::atomic<bool> bDone{false};
    std::thread worker([&] {
        for (int n = 0; n < 40; ++n) {
            std::this_thread::sleep_for(25ms);
            ++nSteps;
        }
        bDone = true;
    });
    auto tStart = Clock::now();
    EXPECT_TRUE(WaitOnProgress([&] { return bDone.load(); }, [&] { return nSteps.load(); }, 500ms));
    EXPECT_GE(Clock::now() - tStart, 1000ms);
    worker.join();

    // Work that stops short: the wait gives up once it has stood still for
    // the bound, not before.
    nSteps = 0;
    std::thread stopping([&] {
        for (int n = 0; n < 5; ++n) {
            std::this_thread::sleep_for(25ms);
            ++nSteps;
        }
    });
    tStart = Clock::now();
    EXPECT_FALSE(WaitOnProgress([] { return false; }, [&] { return nSteps.load(); }, 500ms));
    EXPECT_GE(Clock::now() - tStart, 625ms);
    EXPECT_EQ(nSteps, 5);
    stopping.join();
}

TEST(ProgressWait, ScaledWaitsFollowTheFactorSetUpToTheirCeiling) {
    {
        const CSlownessSet slowness("3");
        EXPECT_EQ(ScaledWait(100ms), 300ms);
        EXPECT_EQ(ScaledWait(100ms, 200ms), 200ms);
        EXPECT_EQ(velkotest::ScaledMs(5000), 15000);
        EXPECT_EQ(velkotest::ScaledMs(5000, 9000), 9000);
    }
    // A factor below 1, or that is no number, is measured instead: never
    // below the build's own.
    for (const char* pszWrong : {"0.5", "x", "3,5", ""}) {
        SCOPED_TRACE(pszWrong);
        const CSlownessSet slowness(pszWrong);
        EXPECT_GE(velkotest::MachineSlowness(), velkotest::BuildSlowness());
    }
    EXPECT_GE(velkotest::BuildSlowness(), 1.0);
}

TEST(ProgressWait, AWindowForWhatMustNotHappenIsNotMadeLonger) {
    const CSlownessSet slowness("100");
    std::atomic<bool> bCancelled{false};
    velkotest::CBlockingCall call(
        [&] {
            while (!bCancelled) {
                std::this_thread::sleep_for(1ms);
            }
        },
        [&] { bCancelled = true; });
    const auto tStart = Clock::now();
    EXPECT_FALSE(call.FinishWithin(100ms));
    EXPECT_TRUE(bCancelled);
    // Scaled, the window would have been ten seconds.
    EXPECT_LT(Clock::now() - tStart, 5s);
}

}  // namespace
