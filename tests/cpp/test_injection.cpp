#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "fault.hpp"
#include "pattern_injection/config.hpp"
#include "pattern_injection/injectors.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using Idx = std::vector<int64_t>;
using Vec = std::vector<double>;
using Strs = std::vector<std::string>;

Vec ramp(std::size_t n) {
    Vec v(n);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

// ---------------------------------------------------------------------------
// Changepoints

struct CpCase {
    const char* name;
    Vec x;
    int32_t k;
    const char* type;
    Vec loc, level, trend, variance;
    Idx idx;
    Vec after;
};

class ChangepointHand : public ::testing::TestWithParam<CpCase> {};

TEST_P(ChangepointHand, IndicesAndValues) {
    const CpCase& c = GetParam();
    Vec x = c.x;
    Idx idx = qm::inject_changepoints(x, 7, c.k, c.type, c.loc, c.level, c.trend, c.variance);
    EXPECT_EQ(idx, c.idx);
    EXPECT_TRUE(same_bits(x, c.after)) << ::testing::PrintToString(x);
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangepointHand,
    ::testing::Values(
        CpCase{"trend_ramp", Vec(8, 0.0), 1, "trend", {0.625}, {}, {2.0}, {}, {5}, {0, 0, 0, 0, 0, 0, 2, 4}},
        // Fractions outside [0, 1] land on the last and first points.
        CpCase{"level_clamped", Vec(10, 0.0), 2, "level", {1.5, -0.2}, {1.0, 10.0}, {}, {}, {9, 0},
               {10, 10, 10, 10, 10, 10, 10, 10, 10, 11}},
        // Windows reach back before c and see points already rescaled.
        CpCase{"variance_zero", {1, 2, 3, 4}, 1, "variance", {0.5}, {}, {}, {0.0}, {2}, {1, 2, 2, 2.25}},
        CpCase{"variance_two", {1, 2, 3, 4}, 1, "variance", {0.5}, {}, {}, {2.0}, {2}, {1, 2, 4, 5.25}},
        // The window holds at most 11 points: mean of 2..12 is 7.
        CpCase{"variance_window", ramp(13), 1, "variance", {1.0}, {}, {}, {0.0}, {12},
               {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 7}},
        CpCase{"variance_nan_applies", {1, 2, 3, 4}, 1, "variance", {0.5}, {}, {}, {kNaN}, {2}, {1, 2, kNaN, kNaN}},
        // Later changepoints act on the values left by earlier ones; a shared
        // index acts twice.
        CpCase{"mixed_all_given", Vec(4, 0.0), 2, "mixed", {0.5, 0.5}, {1.0, 2.0}, {1.0, 0.0}, {1.0, 1.0}, {2, 2},
               {0, 0, 3, 4}},
        CpCase{"unknown_type_case_sensitive", {1, 2, 3}, 1, "Level", {0.4}, {5.0}, {}, {}, {1}, {1, 2, 3}},
        CpCase{"empty_series", {}, 2, "mixed", {0.3, 0.7}, {1.0, 1.0}, {1.0, 1.0}, {2.0, 2.0}, {0, 0}, {}},
        CpCase{"zero_count", {1, 2}, 0, "level", {}, {}, {}, {}, {}, {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Changepoints, KindsThatAreOffStillAddTheirZero) {
    // Level and trend amounts of 0 are added whatever the kind, so negative
    // zeros from the changepoint on come out positive; points before it and a
    // variance factor of 1 are left alone.
    for (const char* type : {"variance", "level", "trend", "Mixed"}) {
        Vec x(4, -0.0);
        qm::inject_changepoints(x, 3, 1, type, Vec{0.5}, Vec{0.0}, Vec{0.0}, Vec{1.0});
        for (std::size_t t = 0; t < x.size(); ++t) {
            EXPECT_EQ(x[t], 0.0);
            EXPECT_EQ(std::signbit(x[t]), t < 2) << type << " at " << t;
        }
    }
}

TEST(Changepoints, NegativeCountFaults) {
    Vec x{1, 2, 3};
    EXPECT_EQ(fault_text([&] { qm::inject_changepoints(x, 1, -1, "level", {}, {}, {}, {}); }),
              "num_changepoints must be >= 0");
    EXPECT_EQ(x, (Vec{1, 2, 3}));
}

TEST(Changepoints, GivenLocationsFirstThenDrawsUnsorted) {
    const uint64_t seed = 3;
    qm::Mt64 r(seed);
    const double f1 = qm::sample_uniform(r, 0.1, 0.9);
    const double f2 = qm::sample_uniform(r, 0.1, 0.9);
    Vec x(100, 0.0);
    // Level amounts are all given, so only the two locations are drawn.
    Idx idx = qm::inject_changepoints(x, seed, 3, "level", Vec{0.5}, Vec{1.0, 2.0, 4.0}, {}, {});
    EXPECT_EQ(idx, (Idx{50, static_cast<int64_t>(f1 * 100), static_cast<int64_t>(f2 * 100)}));
    EXPECT_EQ(x[99], 7.0);
}

TEST(Changepoints, DrawOrderSortedLocationsThenLevelsThenTrends) {
    // "mixed" with only the variance factors given: the engine gives all
    // locations (sorted afterwards), then all level amounts, then all slopes.
    const uint64_t seed = 11;
    qm::Mt64 r(seed);
    Idx c(3);
    for (auto& v : c) v = static_cast<int64_t>(qm::sample_uniform(r, 0.1, 0.9) * 40.0);
    ASSERT_FALSE(std::is_sorted(c.begin(), c.end()));  // so the sort is seen
    std::sort(c.begin(), c.end());
    double level[3], slope[3];
    for (double& v : level) v = qm::sample_uniform(r, -20.0, 20.0);
    for (double& v : slope) v = qm::sample_uniform(r, -0.5, 0.5);

    Vec want(40, 1.0);
    for (int j = 0; j < 3; ++j) {
        for (int64_t t = c[j]; t < 40; ++t) want[t] = want[t] + level[j];
        for (int64_t t = c[j]; t < 40; ++t) want[t] = want[t] + static_cast<double>(t - c[j]) * slope[j];
    }
    Vec x(40, 1.0);
    EXPECT_EQ(qm::inject_changepoints(x, seed, 3, "mixed", {}, {}, {}, Vec{1.0, 1.0, 1.0}), c);
    EXPECT_EQ(x, want);
}

// ---------------------------------------------------------------------------
// Anomalies

TEST(Anomalies, DrawOrderIndicesThenOneKindPerIndex) {
    // Four kinds: the position draw is the top two bits of a 32-bit draw
    // (range 4 never rejects).
    const uint64_t seed = 2024;
    const Strs types{"spike", "dip", "level_shift", "nothing"};
    qm::Mt64 r(seed);
    const Idx picked = qm::sample_distinct_indices(r, 20, 5);
    Vec want(20, 0.0);
    for (int64_t i : picked) {
        switch (qm::next_u32(r) >> 30) {
            case 0: want[i] = 5.0 + want[i]; break;
            case 1: want[i] = -3.0 + want[i]; break;
            case 2:
                for (int64_t q = i; q < std::min<int64_t>(20, i + 3); ++q) want[q] = 0.25 + want[q];
                break;
            default: break;
        }
    }
    Vec x(20, 0.0);
    EXPECT_EQ(qm::inject_anomalies(x, seed, types, 0.25, 5.0, -3.0, 0.25, 3), picked);
    EXPECT_EQ(x, want);
}

struct CountCase {
    double fraction;
    std::size_t n;
    std::size_t expected;
};

class AnomalyCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(AnomalyCount, DistinctIndicesInDrawOrder) {
    const CountCase& c = GetParam();
    Vec x(c.n, 0.0);
    Idx idx = qm::inject_anomalies(x, 5, Strs{"other"}, c.fraction, 1, 1, 1, 0);
    ASSERT_EQ(idx.size(), c.expected);
    qm::Mt64 r(5);
    EXPECT_EQ(idx, qm::sample_distinct_indices(r, static_cast<int32_t>(c.n), static_cast<int32_t>(c.expected)));
    EXPECT_EQ(std::set<int64_t>(idx.begin(), idx.end()).size(), idx.size());
    EXPECT_EQ(x, Vec(c.n, 0.0));  // unknown kind: no change
}

INSTANTIATE_TEST_SUITE_P(Table, AnomalyCount,
                         ::testing::Values(CountCase{0.1, 100, 10}, CountCase{0.109, 100, 10},
                                           CountCase{2.0, 10, 10}, CountCase{1e300, 7, 7},
                                           CountCase{0.0, 10, 0}, CountCase{kNaN, 10, 0},
                                           CountCase{0.5, 0, 0}));

TEST(Anomalies, LevelShiftStopsAtTheEnd) {
    // Find a seed whose single anomaly of ten points lands on index 8.
    uint64_t seed = 0;
    for (;; ++seed) {
        qm::Mt64 r(seed);
        if (qm::sample_distinct_indices(r, 10, 1)[0] == 8) break;
    }
    Vec x(10, 0.0);
    EXPECT_EQ(qm::inject_anomalies(x, seed, Strs{"level_shift"}, 0.1, 0, 0, 2.5, 5), Idx{8});
    EXPECT_EQ(x, (Vec{0, 0, 0, 0, 0, 0, 0, 0, 2.5, 2.5}));

    Vec y(10, 0.0);
    qm::inject_anomalies(y, seed, Strs{"level_shift"}, 0.1, 0, 0, 2.5, 0);
    EXPECT_EQ(y, Vec(10, 0.0));  // a duration of 0 changes nothing
}

TEST(Anomalies, Faults) {
    Vec x(10, 1.0);
    EXPECT_EQ(fault_text([&] { qm::inject_anomalies(x, 1, Strs{"spike"}, 0.5, 1, 1, 1, -1); }),
              "level_shift_duration must be >= 0");
    EXPECT_EQ(fault_text([&] { qm::inject_anomalies(x, 1, Strs{"spike"}, -0.5, 1, 1, 1, 0); }),
              "anomaly_fraction gives a negative anomaly count: -5");
    EXPECT_EQ(fault_text([&] { qm::inject_anomalies(x, 1, Strs{}, 0.5, 1, 1, 1, 0); }),
              "invalid integer range: requires low < high: EmptyRange");
    EXPECT_EQ(x, Vec(10, 1.0));
    // Nothing to pick: an empty type list is never consulted.
    EXPECT_TRUE(qm::inject_anomalies(x, 1, Strs{}, 0.0, 1, 1, 1, 0).empty());

    // The Python-facing check refuses the same setting up front.
    EXPECT_NO_THROW(qm::check_anomaly_settings(0));
    EXPECT_EQ(value_error_text([] { qm::check_anomaly_settings(-3); }), "level_shift_duration must be >= 0");
}

// ---------------------------------------------------------------------------
// Missing values

std::vector<std::size_t> nan_positions(const Vec& x) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::isnan(x[i])) out.push_back(i);
    return out;
}

void expect_marked_exactly(const Vec& x, const Idx& idx) {
    auto pos = nan_positions(x);
    ASSERT_EQ(pos.size(), idx.size());
    for (std::size_t j = 0; j < idx.size(); ++j) EXPECT_EQ(static_cast<int64_t>(pos[j]), idx[j]);
}

TEST(Missingness, RandomMarksTheDrawnPointsSorted) {
    qm::Mt64 r(77);
    Idx want = qm::sample_distinct_indices(r, 100, 10);
    std::sort(want.begin(), want.end());
    Vec x(100, 1.0);
    Idx idx = qm::inject_missingness(x, 77, "random", 0.1, 0, 0);
    EXPECT_EQ(idx, want);
    expect_marked_exactly(x, idx);
    EXPECT_EQ(std::bit_cast<uint64_t>(x[idx[0]]), 0x7FF8000000000000ULL);
}

struct BlockCase {
    double rate;
    int32_t size;
    std::size_t n;
    int blocks;
};

class MissingBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(MissingBlocks, StartsDrawnInTurnAndMerged) {
    const BlockCase& c = GetParam();
    const int32_t big_n = static_cast<int32_t>(c.n);
    qm::Mt64 r(31);
    std::set<int64_t> want;
    for (int b = 0; b < c.blocks; ++b) {
        const int64_t s = qm::sample_int_range(r, 0, std::max(0, big_n - c.size) + 1);
        for (int64_t t = s; t < std::min<int64_t>(big_n, s + c.size); ++t) want.insert(t);
    }
    Vec x(c.n, 0.0);
    Idx idx = qm::inject_missingness(x, 31, "block", c.rate, c.size, 0);
    EXPECT_EQ(idx, Idx(want.begin(), want.end()));
    expect_marked_exactly(x, idx);
}

INSTANTIATE_TEST_SUITE_P(Table, MissingBlocks,
                         ::testing::Values(BlockCase{0.1, 5, 100, 2}, BlockCase{0.01, 5, 100, 1},
                                           BlockCase{0.5, 20, 10, 1}, BlockCase{0.37, 3, 100, 12},
                                           BlockCase{kNaN, 4, 50, 1}, BlockCase{0.5, 3, 0, 1}));

TEST(Missingness, SeasonalDrawsOncePerPointAndFollowsTheSine) {
    // Period 4, rate 0.5: phase 1 always missing (w = 1), phase 3 never
    // (w = 0), phases 0 and 2 when the point's own uniform is below 1/2.
    const std::size_t n = 400;
    qm::Mt64 r(123);
    Vec x(n, 0.0);
    Idx idx = qm::inject_missingness(x, 123, "seasonal", 0.5, 0, 4);
    std::set<int64_t> got(idx.begin(), idx.end());
    for (std::size_t t = 0; t < n; ++t) {
        const double u = qm::uniform01_52(r);
        bool want;
        switch (t % 4) {
            case 1: want = true; break;
            case 3: want = false; break;
            default: ASSERT_NE(u, 0.5); want = u < 0.5;
        }
        EXPECT_EQ(got.count(static_cast<int64_t>(t)) == 1, want) << t;
    }
    expect_marked_exactly(x, idx);
}

TEST(Missingness, RatesAtTheEndsAndUnmarkedCases) {
    // Rate >= 1 blanks everything whatever the settings, without a draw.
    for (double rate : {1.0, 3.0}) {
        Vec x(5, 2.0);
        EXPECT_EQ(qm::inject_missingness(x, 1, "no-such-pattern", rate, -1, -1), (Idx{0, 1, 2, 3, 4}));
        EXPECT_EQ(nan_positions(x).size(), 5u);
    }
    struct Case { const char* pattern; double rate; int32_t setting; };
    for (Case c : {Case{"block", 0.0, 0}, Case{"seasonal", -1.0, 0}, Case{"random", kNaN, 1},
                   Case{"seasonal", kNaN, 1}, Case{"random", 0.001, 1}, Case{"other", 0.5, 0}}) {
        Vec x(100, 2.0);
        EXPECT_TRUE(qm::inject_missingness(x, 1, c.pattern, c.rate, c.setting, c.setting).empty());
        EXPECT_EQ(x, Vec(100, 2.0)) << c.pattern << " " << c.rate;
    }
}

TEST(Missingness, PreviouslyMissingPointsAreNotReported) {
    Vec x(50, 1.0);
    x[0] = x[49] = kNaN;
    Idx idx = qm::inject_missingness(x, 8, "random", 0.1, 1, 1);
    EXPECT_EQ(idx.size(), 5u);
    qm::Mt64 r(8);
    Idx want = qm::sample_distinct_indices(r, 50, 5);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(idx, want);
}

TEST(Missingness, SettingFaultsMatchTheUpFrontChecks) {
    const std::string block = "missing_block_size must be > 0 for block pattern";
    const std::string period = "missing_seasonal_period must be > 0 for seasonal pattern";
    struct Case { const char* pattern; int32_t block; int32_t period; const std::string* error; };
    for (Case c : {Case{"block", 0, 1, &block}, Case{"block", -4, 0, &block}, Case{"seasonal", 0, 0, &period},
                   Case{"random", 0, 0, nullptr}, Case{"Block", 0, 0, nullptr}}) {
        Vec x(10, 0.0);
        if (!c.error) {
            EXPECT_NO_THROW(qm::inject_missingness(x, 1, c.pattern, 0.5, c.block, c.period));
            EXPECT_NO_THROW(qm::check_missingness_settings(c.pattern, c.block, c.period));
            continue;
        }
        EXPECT_EQ(fault_text([&] { qm::inject_missingness(x, 1, c.pattern, 0.5, c.block, c.period); }), *c.error);
        EXPECT_EQ(value_error_text([&] { qm::check_missingness_settings(c.pattern, c.block, c.period); }), *c.error)
            << c.pattern;
    }
}

// ---------------------------------------------------------------------------
// Configuration and order

qm::PatternInjectionConfig all_on() {
    qm::PatternInjectionConfig c;
    c.changepoints = true;
    c.num_changepoints = 2;
    c.changepoint_type = "mixed";
    c.anomalies = true;
    c.anomaly_types = {"spike", "level_shift"};
    c.anomaly_fraction = 0.1;
    c.spike_magnitude = 4.0;
    c.level_shift_magnitude = -1.0;
    c.level_shift_duration = 3;
    c.missing_data = true;
    c.missing_pattern = "block";
    c.missing_rate = 0.2;
    c.missing_block_size = 4;
    return c;
}

TEST(ApplyInjection, StepsInOrderEachWithItsOwnSeed) {
    const auto cfg = all_on();
    Vec x = ramp(60);
    auto got = qm::apply_pattern_injection(x, cfg, 10, 20, 30);

    Vec y = ramp(60);
    Idx cp = qm::inject_changepoints(y, 10, 2, "mixed", {}, {}, {}, {});
    Idx an = qm::inject_anomalies(y, 20, cfg.anomaly_types, 0.1, 4.0, 0.0, -1.0, 3);
    Idx mi = qm::inject_missingness(y, 30, "block", 0.2, 4, 1);
    EXPECT_EQ(got.cp_indices, cp);
    EXPECT_EQ(got.anom_indices, an);
    EXPECT_EQ(got.miss_indices, mi);
    EXPECT_TRUE(same_bits(x, y));

    // Switching anomalies off shifts no other step's draws.
    auto off = cfg;
    off.anomalies = false;
    Vec z = ramp(60);
    auto got_off = qm::apply_pattern_injection(z, off, 10, 20, 30);
    EXPECT_EQ(got_off.cp_indices, cp);
    EXPECT_TRUE(got_off.anom_indices.empty());
    EXPECT_EQ(got_off.miss_indices, mi);

    Vec d = ramp(20);
    auto none = qm::apply_pattern_injection(d, qm::PatternInjectionConfig{}, 1, 2, 3);
    EXPECT_TRUE(none.cp_indices.empty() && none.anom_indices.empty() && none.miss_indices.empty());
    EXPECT_EQ(d, ramp(20));
}

TEST(ApplyInjection, InjectorFaultsPropagate) {
    auto cfg = all_on();
    cfg.anomaly_types.clear();
    Vec x = ramp(60);
    EXPECT_THROW(qm::apply_pattern_injection(x, cfg, 1, 2, 3), qm::Fault);
    cfg = all_on();
    cfg.level_shift_duration = -1;
    EXPECT_THROW(qm::apply_pattern_injection(x, cfg, 1, 2, 3), qm::Fault);
    cfg.anomalies = false;  // the setting is never read
    EXPECT_NO_THROW(qm::apply_pattern_injection(x, cfg, 1, 2, 3));
}

TEST(PiConfig, SetFieldKeepsTheDefaultForIntsOutOfRange) {
    qm::PatternInjectionConfig c;
    // Ints past the 32-bit range keep the default.
    for (int64_t v : {int64_t{2147483648}, int64_t{-2147483649}}) {
        EXPECT_FALSE(qm::set_pi_field(c, qm::PiField::missing_block_size, v));
        EXPECT_EQ(c.missing_block_size, 1);
    }
    EXPECT_TRUE(qm::set_pi_field(c, qm::PiField::missing_block_size, int64_t{-2147483648}));
    EXPECT_EQ(c.missing_block_size, INT32_MIN);

    EXPECT_THROW(qm::set_pi_field(c, qm::PiField::num_changepoints, 3.0), qm::Fault);
}

}  // namespace
