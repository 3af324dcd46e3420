#include "sh_aux/randomlcg.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(RandomLCG, FirstDrawsFollowTheFixedSeed) {
    // x(n+1) = (9379999 * x(n) + 14253851) mod 2^32, x(0) = 3059911, worked out by hand:
    //   9379999 * 3059911    + 14253851 = 28701976373940    = 6682    * 2^32 + 3004902068
    //   9379999 * 3004902068 + 14253851 = 28185978407191783 = 6562559 * 2^32 + 2124121319
    //   9379999 * 2124121319 + 14253851 = 19924255862352532 = 4638977 * 2^32 + 1360456340
    // Each number is the state divided by 2^32 (exact in a double).
    CRandomLCG rng;
    EXPECT_EQ(rng.GetM(), 4294967296LL);
    EXPECT_EQ(rng.GetA(), 9379999);
    EXPECT_EQ(rng.GetC(), 14253851);
    const double d1 = rng.Next();
    EXPECT_EQ(d1, 3004902068.0 / 4294967296.0);
    EXPECT_EQ(d1, 0.6996332826092839);
    EXPECT_EQ(rng.GetLast(), d1);
    EXPECT_EQ(rng.Next(), 0.49456053390167654);
    const double d3 = rng.Next();
    EXPECT_EQ(d3, 0.3167559253051877);
    EXPECT_EQ(rng.GetLast(), d3);
}

TEST(RandomLCG, FreshGeneratorsRepeatTheSequenceInUnitInterval) {
    CRandomLCG a;
    CRandomLCG b;
    for (int i = 0; i < 10000; ++i) {
        const double d = a.Next();
        ASSERT_EQ(d, b.Next()) << "draw " << i;
        ASSERT_GE(d, 0.0);
        ASSERT_LT(d, 1.0);
    }
}

TEST(RandomLCG, ProductWrapsToItsLow64Bits) {
    // 2^62 * 3059911: the seed is 3 mod 4, so the low 64 bits are 3 * 2^62,
    // which read as signed is -2^62 = -4611686018427387904. Its remainder by
    // 1000 keeps the dividend's sign: -904.
    CRandomLCG rng;
    rng.SetA(int64_t{1} << 62);
    rng.SetC(0);
    rng.SetM(1000);
    EXPECT_EQ(rng.Next(), -904.0 / 1000.0);
}

TEST(RandomLCG, NonPositiveModulusRefused) {
    CRandomLCG rng;
    EXPECT_THROW(rng.SetM(0), std::invalid_argument);
    EXPECT_THROW(rng.SetM(-5), std::invalid_argument);
    EXPECT_EQ(rng.GetM(), 4294967296LL);
    EXPECT_EQ(rng.Next(), 0.6996332826092839);  // still usable, sequence unchanged
    rng.SetM(7);
    EXPECT_EQ(rng.GetM(), 7);
    // 9379999 * 3004902068 + 14253851 = 28185978407191783 = 4026568343884540 * 7 + 3
    EXPECT_EQ(rng.Next(), 3.0 / 7.0);
}

}  // namespace
