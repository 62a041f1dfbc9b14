#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "batch/dispatch.hpp"
#include "fault.hpp"
#include "generators/mar.hpp"
#include "generators/statistical.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using std::uint64_t;
using Arrays = std::vector<std::vector<double>>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// The message generate_series raises, or kNoError when it succeeds.
std::string dispatch_error(int32_t code, std::vector<double> scalars, Arrays arrays = {}, std::size_t n = 8) {
    std::vector<double> values(n);
    return value_error_text([&] { qm::generate_series(code, values, scalars, arrays, 1); });
}

// ---- Slot conversions -------------------------------------------------------

struct SlotCase {
    double in;
    int32_t i32;
    bool flag;
    uint64_t u64;
};

TEST(SlotConversions, SaturateWithoutUndefinedBehaviour) {
    const SlotCase cases[] = {
        {kNan, 0, true, 0},
        {kInf, kI32Max, true, kU64Max},
        {-kInf, kI32Min, true, 0},
        {1e300, kI32Max, true, kU64Max},
        {-1e300, kI32Min, true, 0},
        {2147483648.0, kI32Max, true, 2147483648u},
        {2147483647.0, kI32Max, true, 2147483647u},
        {2147483646.9, 2147483646, true, 2147483646u},
        {-2147483648.0, kI32Min, true, 0},
        {-2147483648.9, kI32Min, true, 0},
        {-2147483647.9, -2147483647, true, 0},
        {2.9, 2, true, 2},
        {-2.9, -2, true, 0},
        {-3.0, -3, true, 0},
        {0.5, 0, true, 0},
        {-0.0, 0, false, 0},
        {0.0, 0, false, 0},
        {1e-300, 0, true, 0},
        {18446744073709551616.0, kI32Max, true, kU64Max},                   // 2^64
        {18446744073709549568.0, kI32Max, true, 18446744073709549568u},     // largest below 2^64
        {9223372036854775808.0, kI32Max, true, 9223372036854775808u},       // 2^63
    };
    for (const SlotCase& c : cases) {
        EXPECT_EQ(qm::slot_i32(c.in), c.i32) << c.in;
        EXPECT_EQ(qm::slot_flag(c.in), c.flag) << c.in;
        EXPECT_EQ(qm::slot_u64(c.in), c.u64) << c.in;
    }
}

TEST(SlotConversions, SaturatingI32ValuesKeepsOrder) {
    const std::vector<double> in{6.0, 7.5, kNan, -1e12, 3e9, -0.5};
    EXPECT_EQ(qm::saturating_i32_values(in), (std::vector<int32_t>{6, 7, 0, kI32Min, kI32Max, 0}));
    EXPECT_TRUE(qm::saturating_i32_values({}).empty());
}

// ---- The code table ---------------------------------------------------------

struct CountCase {
    int32_t code;
    std::size_t min_s;
    std::size_t min_a;
    const char* scalar_message;  // with one scalar fewer than needed
    const char* array_message;   // with enough scalars and one array fewer; nullptr: none
};

const CountCase kCounts[] = {
    {0, 5, 0, "random_walk: expected >= 5 scalar params, got 4", nullptr},
    {1, 7, 0, "seasonal: expected >= 7 scalar params, got 6", nullptr},
    {2, 9, 2, "sarima: expected >= 9 scalar params, got 8", "sarima: expected >= 2 array params, got 1"},
    {3, 14, 1, "ets: expected >= 14 scalar params, got 13", "ets: expected >= 1 array params, got 0"},
    {4, 4, 1, "inar: expected >= 4 scalar params, got 3", "inar: expected >= 1 array params, got 0"},
    {5, 7, 0, "ornstein_uhlenbeck: expected >= 7 scalar params, got 6", nullptr},
    {6, 6, 0, "geometric_brownian_motion: expected >= 6 scalar params, got 5", nullptr},
    {7, 9, 0, "jump_diffusion: expected >= 9 scalar params, got 8", nullptr},
    {8, 2, 0, "poisson_process: expected >= 2 scalar params, got 1", nullptr},
    {9, 10, 0, "cyclic: expected >= 10 scalar params, got 9", nullptr},
    {10, 7, 2, "garch: expected >= 7 scalar params, got 6", "garch: expected >= 2 array params, got 1"},
    {11, 7, 0, "hawkes_process: expected >= 7 scalar params, got 6", nullptr},
    {12, 12, 0, "chaotic_system: expected >= 12 scalar params, got 11", nullptr},
    {13, 8, 0, "bounded_process: expected >= 8 scalar params, got 7", nullptr},
    {14, 6, 0, "levy_process: expected >= 6 scalar params, got 5", nullptr},
    {15, 13, 0, "stochastic_volatility: expected >= 13 scalar params, got 12", nullptr},
    {16, 4, 5, "regime_switching: expected >= 4 scalar params, got 3",
     "regime_switching: expected >= 5 array params, got 4"},
    {19, 4, 6, "state_space: expected >= 4 scalar params, got 3", "state_space: expected >= 6 array params, got 5"},
    {20, 5, 0, "fbm: expected >= 5 scalar params, got 4", nullptr},
    {21, 6, 0, "gaussian_process: expected >= 6 scalar params, got 5", nullptr},
    {22, 9, 0, "intermittent_demand: expected >= 9 scalar params, got 8", nullptr},
    {24, 19, 0, "energy_load: expected >= 19 scalar params, got 18", nullptr},
    {25, 10, 0, "vital_signs: expected >= 10 scalar params, got 9", nullptr},
    {27, 12, 0, "clickstream: expected >= 12 scalar params, got 11", nullptr},
    {28, 23, 3, "tsi: expected >= 23 scalar params, got 22", "tsi: expected >= 3 array params, got 2"},
    {29, 13, 2, "tcm: expected >= 13 scalar params, got 12", "tcm: expected >= 2 array params, got 1"},
    {30, 12, 0, "mar: expected >= 12 scalar params, got 11", nullptr},
};

std::string count_error(const qm::GenTypeRow& row, std::size_t ns, std::size_t na) {
    return value_error_text([&] { qm::check_param_counts(row, ns, na); });
}

TEST(GenTypeTable, EveryCodeHasItsCountsAndMessages) {
    int named = 0;
    for (int32_t code = 0; code <= qm::kMaxGenType; ++code) named += qm::gen_type_row(code) != nullptr;
    EXPECT_EQ(named, 27);

    int with_arrays = 0;
    for (const CountCase& c : kCounts) {
        const qm::GenTypeRow* row = qm::gen_type_row(c.code);
        ASSERT_NE(row, nullptr) << c.code;
        EXPECT_EQ(row->min_scalars, c.min_s) << c.code;
        EXPECT_EQ(row->min_arrays, c.min_a) << c.code;
        // Scalars are compared first: no array is given here either.
        EXPECT_EQ(count_error(*row, c.min_s - 1, 0), c.scalar_message);
        if (c.array_message != nullptr) {
            ++with_arrays;
            EXPECT_EQ(count_error(*row, c.min_s, c.min_a - 1), c.array_message);
        }
        EXPECT_EQ(count_error(*row, c.min_s, c.min_a), kNoError) << c.code;
    }
    EXPECT_EQ(with_arrays, 8);
}

TEST(GenTypeTable, UnknownCodeComesBeforeAnyCountCheck) {
    for (int32_t code : {17, 18, 23, 26, 31, 99, -1, kI32Min, kI32Max}) {
        EXPECT_EQ(qm::gen_type_row(code), nullptr) << code;
        EXPECT_EQ(dispatch_error(code, {}), "unknown generator type: " + std::to_string(code));
    }
}

TEST(GenTypeTable, CodesWithoutACoreYetReportUnknown) {
    for (const CountCase& c : kCounts) {
        if (qm::gen_type_row(c.code)->core != nullptr) continue;
        EXPECT_EQ(dispatch_error(c.code, {}), "unknown generator type: " + std::to_string(c.code));
    }
    for (int32_t code : {0, 1, 30}) EXPECT_NE(qm::gen_type_row(code)->core, nullptr) << code;
}

TEST(GenerateSeries, CountMessagesOfTheBuiltCodes) {
    EXPECT_EQ(dispatch_error(0, {0, 1, 0, 0}), "random_walk: expected >= 5 scalar params, got 4");
    EXPECT_EQ(dispatch_error(1, {}), "seasonal: expected >= 7 scalar params, got 0");
    EXPECT_EQ(dispatch_error(30, std::vector<double>(11, 1.0)), "mar: expected >= 12 scalar params, got 11");
    // mar's arrays are its own business: the dispatcher lets fixed mode through.
    std::vector<double> fixed{1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 0};
    EXPECT_EQ(dispatch_error(30, fixed, Arrays(2)), "mar: expected >= 5 array params in fixed mode, got 2");
    // Extra scalars and arrays are ignored.
    EXPECT_EQ(dispatch_error(0, {0, 1, 0, 0, 0, 5, 6, 7, 8}, Arrays(3)), kNoError);
}

// ---- Same values as the cores ----------------------------------------------

TEST(GenerateSeries, RandomWalkSlotsReachTheCoreConverted) {
    const uint64_t seed = 77;
    for (double code_slot : {0.0, 3.7, 2.2, -1.0, kNan, 1e300}) {
        std::vector<double> via(64), direct(64);
        qm::generate_series(0, via, std::vector<double>{0.1, 0.8, 5.0, code_slot, 4.0, 123.0}, Arrays{}, seed);
        qm::gen_random_walk(direct, seed, 0.1, 0.8, 5.0, qm::slot_i32(code_slot), 4.0);
        EXPECT_EQ(via, direct) << code_slot;
    }
}

TEST(GenerateSeries, SeasonalSlotsReachTheCoreConverted) {
    const uint64_t seed = 2024;
    const std::vector<double> s{12.9, 2.0, 0.01, 0.5, 50.0, 4.0, 1.5};
    std::vector<double> via(100), direct(100);
    qm::generate_series(1, via, s, Arrays{}, seed);
    qm::gen_seasonal(direct, seed, 12, 2.0, 0.01, 0.5, 50.0, 4, 1.5);
    EXPECT_EQ(via, direct);

    // The batch road does not check the period: 0 runs and gives NaN.
    std::vector<double> zero(3);
    qm::generate_series(1, zero, std::vector<double>{0.4, 1, 0, 0, 0, 0, 0}, Arrays{}, seed);
    for (double v : zero) EXPECT_TRUE(std::isnan(v));
}

TEST(GenerateSeries, MarThroughTheDispatcherIsGenMar) {
    const std::vector<double> s{3, 2, 12, 1.0, 0.5, 0.2, 1.0, 50, 1, 0, 0, 0};
    std::vector<double> via(120), direct(120);
    qm::generate_series(30, via, s, Arrays{}, 5);
    qm::gen_mar(direct, s, Arrays{}, 5);
    EXPECT_EQ(via, direct);
}

TEST(GenerateSeries, EmptySeriesAndCoreFaults) {
    std::vector<double> none;
    EXPECT_NO_THROW(qm::generate_series(0, none, std::vector<double>{0, 1, 0, 0, 0}, Arrays{}, 1));
    std::vector<double> out(4);
    EXPECT_THROW(qm::generate_series(0, out, std::vector<double>{0, kNan, 0, 0, 0}, Arrays{}, 1), qm::Fault);
    EXPECT_THROW(qm::generate_series(1, out, std::vector<double>{4, 1, 0, 1, 0, 1, 2.0}, Arrays{}, 1), qm::Fault);
}

}  // namespace
