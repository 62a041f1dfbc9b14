// Innovation laws: one value and a filled buffer draw alike, and both refuse
// bad parameters before any draw. (The values themselves are checked from
// Python against an independent rebuild.)
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::Mt64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Innovations, FillDrawsExactlyLikeRepeatedSamples) {
    const std::pair<int32_t, double> laws[] = {{0, 0.0}, {1, 5.0}, {2, 0.0}, {3, 0.0}, {4, -1.5}, {7, 0.0}};
    for (auto [code, param] : laws) {
        Mt64 a(11), b(11);
        std::vector<double> buf(700);
        qm::fill_innovations(a, code, 1.5, param, buf);
        for (double v : buf) ASSERT_TRUE(same_bits(v, qm::sample_innovation(b, code, 1.5, param))) << code;
        EXPECT_TRUE(same_position(a, b)) << code;
    }
}

TEST(Innovations, FaultTextsBeforeAnyDraw) {
    const std::string t = "Student's t df must be > 2 for finite variance";
    const std::string lap = "invalid laplace param: scale must be > 0: LambdaTooSmall";
    const std::string uni = "invalid uniform innovation param: scale must be > 0: ";
    struct Case {
        int32_t code;
        double scale, param;
        std::string one, fill;  // sample_innovation's text, fill_innovations' text
    };
    const Case cases[] = {
        {1, 1.0, 2.0, t, t},
        {2, -0.0, 0.0, lap, lap},
        {3, kNaN, 0.0, uni + "EmptyRange", uni + "EmptyRange"},
        {3, 1e308, 0.0, uni + "NonFinite", uni + "NonFinite"},
        {9, kInf, 0.0, "invalid normal params: std must be finite and >= 0: BadVariance",
         "invalid normal innovation param: scale must be finite and >= 0: BadVariance"},
    };
    for (const Case& c : cases) {
        Mt64 rng(1);
        EXPECT_EQ(fault_text([&] { qm::sample_innovation(rng, c.code, c.scale, c.param); }), c.one);
        std::vector<double> none;  // checked even when there is nothing to fill
        EXPECT_EQ(fault_text([&] { qm::fill_innovations(rng, c.code, c.scale, c.param, none); }), c.fill);
        EXPECT_TRUE(same_position(rng, Mt64(1)));
    }
    Mt64 a(2);
    std::vector<double> none;
    qm::fill_innovations(a, 1, 1.0, 5.0, none);
    EXPECT_TRUE(same_position(a, Mt64(2)));
}

}  // namespace
