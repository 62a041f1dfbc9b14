// Mt64 stream and the draw recipes that turn raw outputs into uniforms.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace {

using qm::Mt64;

TEST(Mt64, KnownOutputs) {
    Mt64 a(5489);
    EXPECT_EQ(qm::next_u64(a), 14514284786278117030ULL);
    for (int i = 2; i < 10000; ++i) qm::next_u64(a);
    EXPECT_EQ(qm::next_u64(a), 9981545732273789042ULL);

    Mt64 zero(0);
    EXPECT_EQ(qm::next_u64(zero), 2947667278772165694ULL);
}

TEST(Mt64, StreamEqualsTheReferenceEngine) {
    // Several blocks per seed, so every branch of the twist is exercised.
    for (uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{5489}, uint64_t{0x8000000000000000ULL},
                          std::numeric_limits<uint64_t>::max(), uint64_t{12345678901234567ULL}}) {
        Mt64 ours(seed);
        std::mt19937_64 reference(seed);
        for (int i = 0; i < 5 * 312 + 7; ++i) ASSERT_EQ(qm::next_u64(ours), reference()) << seed << " @" << i;
    }
}

TEST(Mt64, NextU32IsLowHalfOfAWholeOutput) {
    Mt64 a(5489);
    Mt64 b(5489);
    const uint64_t first = qm::next_u64(b);
    const uint64_t second = qm::next_u64(b);
    EXPECT_EQ(qm::next_u32(a), static_cast<uint32_t>(14514284786278117030ULL));
    EXPECT_EQ(qm::next_u32(a), static_cast<uint32_t>(second));
    EXPECT_EQ(static_cast<uint32_t>(first), static_cast<uint32_t>(14514284786278117030ULL));
}

struct RecipeCase {
    uint64_t bits;
    double u53;     // uniform01
    double u52;     // uniform01_52
    double open01;  // uniform_open01
};

TEST(DrawRecipes, HandPickedRawOutputs) {
    const RecipeCase cases[] = {
        {0, 0.0, 0.0, 0x1.0p-53},
        {~0ULL, 1.0 - 0x1.0p-53, 1.0 - 0x1.0p-52, 1.0 - 0x1.0p-53},
        {1ULL << 11, 0x1.0p-53, 0.0, 0x1.0p-53},  // below the 52-bit recipes' resolution
        {1ULL << 12, 0x1.0p-52, 0x1.0p-52, 0x1.0p-52 + 0x1.0p-53},
        {(1ULL << 12) - 1, 0x1.0p-53, 0.0, 0x1.0p-53},
        {1ULL << 63, 0.5, 0.5, 0.5 + 0x1.0p-53},
    };
    for (const RecipeCase& c : cases) {
        SCOPED_TRACE(c.bits);
        EXPECT_EQ(qm::uniform01_from_bits(c.bits), c.u53);
        EXPECT_EQ(qm::uniform01_52_from_bits(c.bits), c.u52);
        EXPECT_EQ(qm::uniform_open01_from_bits(c.bits), c.open01);
    }
}

// The engine recipes and the pure decoders the ziggurats use must agree.
TEST(DrawRecipes, EngineRecipesMatchDecoders) {
    Mt64 a(42);
    Mt64 b(42);
    Mt64 c(42);
    Mt64 d(42);
    Mt64 raw(42);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t bits = qm::next_u64(raw);
        ASSERT_EQ(qm::uniform01(a), qm::uniform01_from_bits(bits));
        ASSERT_EQ(qm::uniform01_52(b), qm::uniform01_52_from_bits(bits));
        const double o = qm::uniform_open01(c);
        ASSERT_EQ(o, qm::uniform_open01_from_bits(bits));
        ASSERT_GT(o, 0.0);
        ASSERT_LT(o, 1.0);
        ASSERT_EQ(qm::next_u32(d), static_cast<uint32_t>(bits));
    }
}

TEST(SaturatingConversions, SaturatingCasts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(qm::saturate_to_i32(nan), 0);
    EXPECT_EQ(qm::saturate_to_i32(-2.9), -2);
    EXPECT_EQ(qm::saturate_to_i32(3e9), INT32_MAX);
    EXPECT_EQ(qm::saturate_to_i32(-inf), INT32_MIN);
    EXPECT_EQ(qm::saturate_to_i64(nan), 0);
    EXPECT_EQ(qm::saturate_to_i64(1e19), INT64_MAX);
    EXPECT_EQ(qm::saturate_to_i64(-1e19), INT64_MIN);
    EXPECT_EQ(qm::saturate_to_i64(-0.5), 0);
    EXPECT_EQ(qm::saturate_to_u64(-5.0), 0u);
    EXPECT_EQ(qm::saturate_to_u64(inf), UINT64_MAX);
    EXPECT_EQ(qm::saturate_to_u64(0x1.0p63), 1ULL << 63);
}

}  // namespace
