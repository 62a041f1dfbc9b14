// Mt64 stream, the uniform recipes on hand-picked raw outputs, saturating casts.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace {

TEST(Mt64, StreamIsMt19937_64) {
    // Several blocks per seed, so every branch of the twist is exercised.
    for (uint64_t seed : {uint64_t{0}, uint64_t{5489}, uint64_t{1} << 63, ~uint64_t{0}}) {
        qm::Mt64 ours(seed);
        std::mt19937_64 reference(seed);
        for (int i = 0; i < 5 * 312 + 7; ++i) {
            const uint64_t want = reference();
            // next_u32 takes a whole output and keeps its low half.
            const uint64_t got = i % 3 == 2 ? qm::next_u32(ours) : qm::next_u64(ours);
            ASSERT_EQ(got, i % 3 == 2 ? want & 0xFFFFFFFFu : want) << seed << " @" << i;
        }
    }
}

TEST(DrawRecipes, HandPickedRawOutputs) {
    struct Case {
        uint64_t bits;
        double u53, u52, open01;  // uniform01, uniform01_52, uniform_open01
    };
    const Case cases[] = {
        {0, 0.0, 0.0, 0x1.0p-53},
        {~0ULL, 1.0 - 0x1.0p-53, 1.0 - 0x1.0p-52, 1.0 - 0x1.0p-53},
        {1ULL << 11, 0x1.0p-53, 0.0, 0x1.0p-53},  // below the 52-bit recipes' resolution
        {1ULL << 63, 0.5, 0.5, 0.5 + 0x1.0p-53},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qm::uniform01_from_bits(c.bits), c.u53) << c.bits;
        EXPECT_EQ(qm::uniform01_52_from_bits(c.bits), c.u52) << c.bits;
        EXPECT_EQ(qm::uniform_open01_from_bits(c.bits), c.open01) << c.bits;
    }
}

// (The 32-bit cast is checked from Python, through the batch road's slots.)
TEST(SaturatingCasts, NaNIsZeroAndRangesClamp) {
    EXPECT_EQ(qm::saturate_to_i64(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(qm::saturate_to_i64(0x1.0p63), INT64_MAX);
    EXPECT_EQ(qm::saturate_to_i64(-1e19), INT64_MIN);
    EXPECT_EQ(qm::saturate_to_u64(-5.0), 0u);
    EXPECT_EQ(qm::saturate_to_u64(0x1.0p64), UINT64_MAX);
    EXPECT_EQ(qm::saturate_to_u64(0x1.0p63), 1ULL << 63);
}

}  // namespace
