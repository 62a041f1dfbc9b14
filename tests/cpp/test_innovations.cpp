// Innovation laws: one value and a filled buffer draw alike, each law's
// engine use, unit-variance scaling and fault texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::Mt64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Law {
    int32_t code;
    double param;
};

const Law kLaws[] = {{0, 0.0}, {1, 5.0}, {1, 30.0}, {2, 0.0}, {3, 0.0}, {4, 3.0}, {4, -1.5}, {7, 0.0}, {-1, 0.0}};

TEST(Innovations, FillDrawsExactlyLikeRepeatedSamples) {
    for (const Law& law : kLaws) {
        SCOPED_TRACE(law.code);
        Mt64 a(11);
        Mt64 b(11);
        std::vector<double> buf(700);
        qm::fill_innovations(a, law.code, 1.5, law.param, buf);
        for (double v : buf) ASSERT_TRUE(same_bits(v, qm::sample_innovation(b, law.code, 1.5, law.param)));
        EXPECT_TRUE(same_position(a, b));
    }
}

TEST(Innovations, UnknownCodesAndIgnoredParams) {
    struct Pair {
        Law x, y;
    };
    const Pair pairs[] = {
        {{7, 0.0}, {0, 0.0}}, {{-1, 4.0}, {0, -9.0}}, {{2, 0.0}, {2, 123.0}}, {{3, -5.0}, {3, kNaN}}};
    for (const Pair& p : pairs) {
        Mt64 a(5);
        Mt64 b(5);
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(same_bits(qm::sample_innovation(a, p.x.code, 2.0, p.x.param),
                                  qm::sample_innovation(b, p.y.code, 2.0, p.y.param)));
        }
    }
    // The InnovDist overloads forward unchanged.
    Mt64 a(6);
    Mt64 b(6);
    const qm::InnovDist dist{qm::kInnovSkewNormal, 2.0};
    EXPECT_TRUE(same_bits(qm::sample_innovation(a, dist, 0.7), qm::sample_innovation(b, 4, 0.7, 2.0)));
}

// Each law against the sampler draws it is made of.
TEST(Innovations, CompositionAndEngineUse) {
    struct Case {
        const char* name;
        int32_t code;
        double scale, param;
        std::function<double(Mt64&)> want;
    };
    const Case cases[] = {
        {"normal", 0, -1.5, 0.0, [](Mt64& r) { return 0.0 + -1.5 * qm::standard_normal(r); }},
        {"normal scale 0 is +0.0", 0, 0.0, 0.0,
         [](Mt64& r) {
             qm::standard_normal(r);
             return 0.0;
         }},
        {"laplace scale 0 still draws twice", 2, 0.0, 0.0,
         [](Mt64& r) {
             qm::standard_exponential(r);
             qm::standard_exponential(r);
             return 0.0;
         }},
        {"uniform one raw output", 3, 1.0, 0.0,
         [](Mt64& r) { return qm::uniform01_52(r) * (2.0 * 1.7320508075688772) - 1.7320508075688772; }},
        {"skew-normal alpha 0 is the second normal", 4, 2.5, 0.0,
         [](Mt64& r) {
             qm::standard_normal(r);
             return 2.5 * qm::standard_normal(r);
         }},
        {"student-t", 1, 2.0, 6.0,
         [](Mt64& r) {
             const double z = qm::standard_normal(r);
             const double g = qm::gamma_law(r, 3.0, 2.0);
             return (2.0 * std::sqrt(4.0 / 6.0)) * (z * std::sqrt(6.0 / g));
         }},
        {"student-t infinite df is the normal limit", 1, 2.0, kInf,
         [](Mt64& r) {
             const double z = qm::standard_normal(r);
             qm::gamma_law(r, kInf, 2.0);
             return 2.0 * z;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (uint64_t seed = 1; seed <= 30; ++seed) {
            Mt64 a(seed);
            Mt64 b(seed);
            const double got = qm::sample_innovation(a, c.code, c.scale, c.param);
            ASSERT_TRUE(same_bits(got, c.want(b))) << "seed " << seed << " got " << got;
            ASSERT_TRUE(same_position(a, b)) << "seed " << seed;
        }
    }
}

TEST(Innovations, UniformStaysInsideItsHalfWidth) {
    Mt64 rng(3);
    std::vector<double> buf(100000);
    qm::fill_innovations(rng, 3, 1.0, 0.0, buf);
    for (double v : buf) {
        ASSERT_GE(v, -1.7320508075688772);
        ASSERT_LT(v, 1.7320508075688772);
    }
}

// Every law has mean 0 and variance scale^2.
TEST(Innovations, MeanZeroVarianceScaleSquared) {
    const double sigma = 2.0;
    const std::size_t n = 400000;
    for (const Law& law : kLaws) {
        SCOPED_TRACE(law.code);
        SCOPED_TRACE(law.param);
        Mt64 rng(1000 + static_cast<uint64_t>(law.code + 10));
        std::vector<double> buf(n);
        qm::fill_innovations(rng, law.code, sigma, law.param, buf);
        double sum = 0.0;
        for (double v : buf) sum += v;
        const double mean = sum / n;
        double ss = 0.0;
        for (double v : buf) ss += (v - mean) * (v - mean);
        const double var = ss / (n - 1);
        EXPECT_NEAR(mean, 0.0, 5.0 * sigma / std::sqrt(static_cast<double>(n)));
        EXPECT_NEAR(var / (sigma * sigma), 1.0, 0.04);
    }
}

TEST(Innovations, PinnedSequences) {
    struct Case {
        Law law;
        uint64_t hash;
    };
    const Case cases[] = {
        {{0, 0.0}, 0x920f3f0617f704e3ULL}, {{1, 5.0}, 0xa4bab97a045ae263ULL}, {{2, 0.0}, 0x672f0ce52726df27ULL}, {{3, 0.0}, 0x177b23986679e4f1ULL}, {{4, 3.0}, 0x63d806d96d26a185ULL},
    };
    for (const Case& c : cases) {
        Mt64 rng(4242);
        std::vector<double> buf(50000);
        qm::fill_innovations(rng, c.law.code, 1.3, c.law.param, buf);
        uint64_t h = kFnvOffset;
        for (double v : buf) h = fnv1a(h, bits_of(v));
        h = fnv1a(h, bits_of(static_cast<double>(qm::next_u64(rng))));
        EXPECT_EQ(h, c.hash) << c.law.code << std::hex << " 0x" << h;
    }
}

TEST(Innovations, FaultTexts) {
    const std::string t = "Student's t df must be > 2 for finite variance";
    const std::string lap = "invalid laplace param: scale must be > 0: LambdaTooSmall";
    const std::string uni = "invalid uniform innovation param: scale must be > 0: ";
    const std::string norm_one = "invalid normal params: std must be finite and >= 0: BadVariance";
    const std::string norm_fill = "invalid normal innovation param: scale must be finite and >= 0: BadVariance";
    struct Case {
        int32_t code;
        double scale, param;
        std::string one, fill;
    };
    const Case cases[] = {
        {1, 1.0, 2.0, t, t},
        {1, 1.0, kNaN, t, t},
        {1, 1.0, 1.0, t, t},
        {2, -1.0, 0.0, lap, lap},
        {2, -0.0, 0.0, lap, lap},
        {2, kNaN, 0.0, lap, lap},
        {3, 0.0, 0.0, uni + "EmptyRange", uni + "EmptyRange"},
        {3, -1.0, 0.0, uni + "EmptyRange", uni + "EmptyRange"},
        {3, kNaN, 0.0, uni + "EmptyRange", uni + "EmptyRange"},
        {3, 1e308, 0.0, uni + "NonFinite", uni + "NonFinite"},
        {3, kInf, 0.0, uni + "NonFinite", uni + "NonFinite"},
        {0, kInf, 0.0, norm_one, norm_fill},
        {9, kNaN, 0.0, norm_one, norm_fill},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Mt64 rng(1);
        EXPECT_EQ(fault_text([&] { qm::sample_innovation(rng, c.code, c.scale, c.param); }), c.one);
        // Checked before anything else, an empty buffer included.
        std::vector<double> none;
        EXPECT_EQ(fault_text([&] { qm::fill_innovations(rng, c.code, c.scale, c.param, none); }), c.fill);
        EXPECT_TRUE(same_position(rng, Mt64(1)));
    }
    // Accepted: a negative normal scale, a Laplace scale of 0, any skew shape.
    Mt64 rng(1);
    EXPECT_EQ(fault_text([&] { qm::sample_innovation(rng, 0, -3.0, 0.0); }), kNoFault);
    EXPECT_EQ(fault_text([&] { qm::sample_innovation(rng, 2, 0.0, 0.0); }), kNoFault);
    EXPECT_EQ(fault_text([&] { qm::sample_innovation(rng, 4, -1.0, kNaN); }), kNoFault);
    // A valid law on an empty buffer draws nothing.
    Mt64 a(2);
    std::vector<double> none;
    qm::fill_innovations(a, 1, 1.0, 5.0, none);
    EXPECT_TRUE(same_position(a, Mt64(2)));
}

}  // namespace
