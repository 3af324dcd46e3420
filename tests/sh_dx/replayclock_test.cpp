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

// A replay with an end: the clock that reaches it stops there, counting no
// time past it, at any speed; one started at or past it stops at once where
// it was started; an end given after the clock has passed it stops it there.
TEST(ReplayClockTest, ARunningClockStopsAtTheEndOfTheReplay) {
    CFakeTicks ticks;
    CReplayClock clock(ticks.Source());
    clock.SetEnd(9.0);
    clock.SetTime(7.0);
    clock.NextFrame();
    ticks.Advance(1.5);
    EXPECT_FALSE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.NextFrame().dTime, 8.5);
    ticks.Advance(1.0);
    const CReplayClock::FrameTimes times = clock.NextFrame();
    EXPECT_DOUBLE_EQ(times.dTime, 9.0);
    EXPECT_FLOAT_EQ(times.fElapsed, 0.5f);
    EXPECT_TRUE(clock.IsStopped());
    ticks.Advance(3.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 9.0);

    // Started at the end, or past it (a time typed in), it stays there.
    clock.Start();
    ticks.Advance(1.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 9.0);
    clock.SetTime(20.0);
    clock.Start();
    ticks.Advance(1.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 20.0);

    // At speed 4 from 5: 2 s would read 13.
    clock.SetSpeed(4);
    clock.SetTime(5.0);
    clock.Start();
    ticks.Advance(2.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 9.0);
    EXPECT_TRUE(clock.IsStopped());

    // No end: it runs on. The end given while the clock is past it.
    clock.SetSpeed(1);
    clock.SetEnd(std::numeric_limits<double>::quiet_NaN());
    clock.SetTime(0.0);
    clock.Start();
    ticks.Advance(15.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 15.0);
    EXPECT_FALSE(clock.IsStopped());
    clock.SetEnd(9.0);
    EXPECT_TRUE(clock.IsStopped());
    EXPECT_DOUBLE_EQ(clock.GetTime(), 9.0);
    // An end beyond any tick count is no stop.
    clock.SetEnd(1e300);
    clock.Start();
    ticks.Advance(1.0);
    EXPECT_DOUBLE_EQ(clock.GetTime(), 10.0);
}

}  // namespace
