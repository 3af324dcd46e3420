#include "clients/velkoeyedx/sh_dx/replayclock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sh_dx/scenefolder.h"

namespace {

using velkotest::CFakeTicks;

TEST(ReplayClockTest, SetTimeAndSpeedScaleEveryReading) {
    CFakeTicks ticks;
    ticks.Advance(100.0);
    CReplayClock clock(ticks.Source());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 100.0);

    clock.SetTime(5.0);
    ticks.Advance(2.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 7.0);

    clock.SetSpeed(4);
    clock.SetTime(5.0);
    ticks.Advance(2.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 13.0);

    // A new speed keeps the base: 10 time units at speed 1 read 20 at 2.
    clock.SetSpeed(1);
    clock.SetTime(10.0);
    clock.SetSpeed(2);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 20.0);
    clock.SetTime(10.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 10.0);

    // The frame's times are scaled alike; its elapsed time counts from the
    // previous frame.
    clock.NextFrame();
    ticks.Advance(0.5);
    const CReplayClock::FrameTimes times = clock.NextFrame();
    EXPECT_DOUBLE_EQ(times.dTime, 11.0);
    EXPECT_DOUBLE_EQ(times.dTime, clock.GetTime());
    EXPECT_FLOAT_EQ(times.fElapsed, 1.0f);

    // Factors below 1 would stop or reverse the clock; they are ignored.
    clock.SetSpeed(0);
    EXPECT_EQ(clock.GetSpeed(), 2);
}

TEST(ReplayClockTest, StoppedClockHoldsItsTimeEvenWhenStoppedAtTickZero) {
    CFakeTicks ticks;
    CReplayClock clock(ticks.Source());
    clock.SetTime(3.0);
    clock.Stop();  // at tick 0
    ticks.Advance(5.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 3.0);
    EXPECT_FLOAT_EQ(clock.NextFrame().fElapsed, 0.0f);

    // Started again, it runs on from where it stopped.
    clock.Start();
    ticks.Advance(1.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 4.0);

    clock.StopAtZero();
    ticks.Advance(7.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
    clock.Start();
    ticks.Advance(1.5);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 1.5);

    // A typed time that is not a number is 0; one beyond any tick count
    // still leaves a clock that reads a finite time.
    clock.SetTime(std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 0.0);
    clock.SetTime(1e300);
    EXPECT_GT(clock.GetTime(), 1e15);
    EXPECT_TRUE(std::isfinite(clock.GetTime()));
}

}  // namespace
