#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fault.hpp"
#include "generators/statistical.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using std::uint64_t;

// One step's innovation, rebuilt from the engine and the law samplers, so
// that the generators' draw order is checked against an independent model.
using LawModel = std::function<double(qm::Mt64&, double scale)>;

double normal_model(qm::Mt64& rng, double scale) { return scale * qm::standard_normal(rng); }

double laplace_model(qm::Mt64& rng, double scale) {
    const double beta = 1.0 / (1.0 / (scale / 1.4142135623730951));
    const double e1 = qm::standard_exponential(rng);
    const double e2 = qm::standard_exponential(rng);
    return beta * e1 - beta * e2;
}

// One raw output, on [-a, a) with a = scale * sqrt(3).
double uniform_model(qm::Mt64& rng, double scale) {
    const double a = scale * 1.7320508075688772;
    double s = 2.0 * a;
    while (-a + s * (1.0 - 0x1.0p-52) > a) s = std::nextafter(s, 0.0);
    return qm::uniform01_52(rng) * s - a;
}

// Skew-normal with shape 0: the second of two normals.
double skew0_model(qm::Mt64& rng, double scale) {
    qm::standard_normal(rng);
    const double z2 = qm::standard_normal(rng);
    return scale * z2;
}

struct LawCase {
    const char* name;
    int32_t code;
    double param;
    LawModel model;
};

std::vector<LawCase> law_cases() {
    return {{"normal", 0, 0.0, normal_model},       {"unlisted_7", 7, 123.0, normal_model},
            {"negative_code", -1, 0.0, normal_model}, {"laplace", 2, 0.0, laplace_model},
            {"uniform", 3, 0.0, uniform_model},     {"skew_normal_0", 4, 0.0, skew0_model}};
}

class RandomWalkLaw : public ::testing::TestWithParam<LawCase> {};

TEST_P(RandomWalkLaw, StepIsInnovationPlusDriftAddedToTheLevel) {
    const LawCase& c = GetParam();
    const double drift = 0.25, vol = 1.5, start = 10.0;
    const uint64_t seed = 20240611;
    std::vector<double> got(257);
    qm::gen_random_walk(got, seed, drift, vol, start, c.code, c.param);

    qm::Mt64 rng(seed);
    double x = start;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double e = c.model(rng, vol);
        x = x + (e + drift);
        ASSERT_EQ(got[i], x) << c.name << " at " << i;
    }
}

class SeasonalLaw : public ::testing::TestWithParam<LawCase> {};

TEST_P(SeasonalLaw, CurvePlusOneInnovationPerStep) {
    const LawCase& c = GetParam();
    const int32_t period = 12;
    const double amp = 3.0, trend = 0.05, noise = 0.7, base = 100.0;
    const uint64_t seed = 99;
    std::vector<double> got(200);
    qm::gen_seasonal(got, seed, period, amp, trend, noise, base, c.code, c.param);

    qm::Mt64 rng(seed);
    const double w = 6.283185307179586 / 12.0;
    for (std::size_t t = 0; t < got.size(); ++t) {
        const double e = c.model(rng, noise);
        const double tt = static_cast<double>(t);
        ASSERT_EQ(got[t], ((amp * std::sin(w * tt) + base) + trend * tt) + e) << c.name << " at " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Laws, RandomWalkLaw, ::testing::ValuesIn(law_cases()),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Laws, SeasonalLaw, ::testing::ValuesIn(law_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RandomWalk, ZeroVolatilityIsTheDriftAccumulatedStepByStep) {
    std::vector<double> got(1000);
    qm::gen_random_walk(got, 1, 0.1, 0.0, -3.0, 0, 0.0);
    double x = -3.0;
    for (double v : got) {
        x += 0.1;
        ASSERT_EQ(v, x);
    }
    // Summation order matters: the 1000th value is not -3 + 1000 * 0.1.
    EXPECT_NE(got.back(), -3.0 + 1000 * 0.1);
}

TEST(Seasonal, ZeroNoiseIsTheClosedForm) {
    // Period 1 follows the float sine (not an ideal zero); -5 runs backwards.
    for (int32_t period : {1, 7, 24, -5}) {
        std::vector<double> got(100);
        qm::gen_seasonal(got, 5, period, 2.5, -0.3, 0.0, 7.0, 0, 0.0);
        const double w = 6.283185307179586 / static_cast<double>(period);
        for (std::size_t t = 0; t < got.size(); ++t) {
            const double tt = static_cast<double>(t);
            ASSERT_EQ(got[t], (2.5 * std::sin(w * tt) + 7.0) + -0.3 * tt) << "period " << period << " t " << t;
        }
        EXPECT_EQ(got[0], 7.0);
    }
}

// ---- Faults of the innovation law, and the Python-road checks -------------

struct FaultCase {
    const char* name;
    int32_t code;
    double scale;
    double param;
    const char* message;
};

class GeneratorLawFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(GeneratorLawFault, StopsAtTheFirstDrawWithTheLawsMessage) {
    const FaultCase& c = GetParam();
    std::vector<double> out(3);
    EXPECT_EQ(fault_text([&] { qm::gen_random_walk(out, 1, 0.0, c.scale, 0.0, c.code, c.param); }), c.message);
    EXPECT_EQ(fault_text([&] { qm::gen_seasonal(out, 1, 4, 1.0, 0.0, c.scale, 0.0, c.code, c.param); }), c.message);

    // Nothing is drawn for an empty series, so nothing is refused either.
    std::vector<double> none;
    EXPECT_NO_THROW(qm::gen_random_walk(none, 1, 0.0, c.scale, 0.0, c.code, c.param));
    EXPECT_NO_THROW(qm::gen_seasonal(none, 1, 4, 1.0, 0.0, c.scale, 0.0, c.code, c.param));
}

INSTANTIATE_TEST_SUITE_P(
    Laws, GeneratorLawFault,
    ::testing::Values(
        FaultCase{"normal_nan", 0, NAN, 0.0, "invalid normal params: std must be finite and >= 0: BadVariance"},
        FaultCase{"normal_inf", 0, INFINITY, 0.0, "invalid normal params: std must be finite and >= 0: BadVariance"},
        FaultCase{"student_df2", 1, 1.0, 2.0, "Student's t df must be > 2 for finite variance"},
        FaultCase{"laplace_negative", 2, -1.0, 0.0, "invalid laplace param: scale must be > 0: LambdaTooSmall"},
        FaultCase{"uniform_zero", 3, 0.0, 0.0, "invalid uniform innovation param: scale must be > 0: EmptyRange"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PythonRoadChecks, FirstFailingCheckWins) {
    EXPECT_EQ(value_error_text([] { qm::check_random_walk_args(0); }), "length must be > 0");
    EXPECT_EQ(value_error_text([] { qm::check_random_walk_args(INT32_MIN); }), "length must be > 0");
    EXPECT_EQ(value_error_text([] { qm::check_random_walk_args(1); }), kNoError);
    EXPECT_EQ(value_error_text([] { qm::check_seasonal_args(0, 0); }), "length must be > 0");
    EXPECT_EQ(value_error_text([] { qm::check_seasonal_args(5, 0); }), "seasonality_period must be > 0");
    EXPECT_EQ(value_error_text([] { qm::check_seasonal_args(5, -3); }), "seasonality_period must be > 0");
    EXPECT_EQ(value_error_text([] { qm::check_seasonal_args(1, 1); }), kNoError);
}

}  // namespace
