#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "augmentation/decompose.hpp"
#include "augmentation/features.hpp"
#include "augmentation/fft_plan_cache.hpp"
#include "fault.hpp"
#include "generators/mar.hpp"
#include "rng/mt64.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::FeatureSetRow;
using qm::SpectralFeatures;
using std::nullopt;
using std::optional;
using std::uint64_t;
using Opt = optional<uint64_t>;
using Vec = std::vector<double>;
namespace slot = qm::feature_slot;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NaN matches NaN; otherwise |a - b| <= tol * max(floor, |b|).
::testing::AssertionResult close(double a, double b, double tol, double floor = 1.0) {
    if ((std::isnan(a) && std::isnan(b)) || std::fabs(a - b) <= tol * std::max(floor, std::fabs(b)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b;
}

Vec as_vec(const SpectralFeatures& f) { return {f.spectral_entropy, f.trend_strength, f.seasonal_strength, f.acf1}; }

// Trend + weekly wave + noise around a random level.
Vec random_series(std::size_t n, uint64_t seed) {
    qm::Mt64 rng(seed);
    const double level = 50.0 * qm::uniform01(rng) - 25.0;
    const double slope = qm::uniform01(rng) - 0.5;
    Vec x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = level + slope * t + 2.0 * std::sin(2.0 * std::numbers::pi * t / 7.0) + 3.0 * (qm::uniform01(rng) - 0.5);
    }
    return x;
}

const char* kShort = "values must contain at least 3 observations";
const char* kNonFinite = "values must contain only finite observations";
const char* kPeriod = "period must be >= 2 when provided";
const char* kSetNonFinite = "values must be non-empty and finite";
const char* kWindow = "window_size must be >= 2 when provided";
const char* kOffsets = "offsets must increase strictly from 0 to len(values)";

// ---------------------------------------------------------------------------
// Spectral features

TEST(SpectralFeatures, KnownAnswerForAnImpulse) {
    const SpectralFeatures f = qm::compute_features_core(Vec{1.0, 0.0, 0.0, 0.0}, nullopt);
    EXPECT_TRUE(close(f.spectral_entropy, 1.0, 1e-15));  // two bins of equal power
    EXPECT_TRUE(close(f.acf1, -1.0 / 12.0, 1e-15));
    EXPECT_TRUE(close(f.trend_strength, 8.0 / 27.0, 1e-15));
    EXPECT_EQ(f.seasonal_strength, 0.0);
}

struct ZeroCase {
    const char* name;
    Vec values;
    Opt period;
};
class SpectralZeroRules : public ::testing::TestWithParam<ZeroCase> {};

// No spread: exact zeros, not ratios of rounding noise (0.1 * 30 does not
// sum to exactly 3, so the raw variance is tiny but not zero).
TEST_P(SpectralZeroRules, AllFourAreExactlyZero) {
    EXPECT_TRUE(same_bits(as_vec(qm::compute_features_core(GetParam().values, GetParam().period)), Vec(4, 0.0)));
}

INSTANTIATE_TEST_SUITE_P(Cases, SpectralZeroRules,
                         ::testing::Values(ZeroCase{"tenths", Vec(30, 0.1), nullopt},
                                           ZeroCase{"tenths_with_period", Vec(30, 0.1), 6},
                                           ZeroCase{"negative", Vec(41, -7.3), 4},
                                           ZeroCase{"three_equal", Vec(3, -2.5), nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SpectralFeatures, PeriodAboveHalfIsIgnoredNotMasked) {
    const Vec x = random_series(20, 11);
    const SpectralFeatures with = qm::compute_features_core(x, 15);
    EXPECT_EQ(with.seasonal_strength, 0.0);
    EXPECT_GT(with.trend_strength, 0.0);
    EXPECT_EQ(with.trend_strength, qm::compute_features_core(x, nullopt).trend_strength);
}

struct ErrorCase {
    const char* name;
    Vec values;
    Opt period, window;
    const char* features_error;     // compute_features_core
    const char* feature_set_error;  // compute_feature_set_core; nullptr: a NaN row
};
class FeatureErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FeatureErrors, MessagesInCheckOrder) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(value_error_text([&] { qm::compute_features_core(c.values, c.period); }), c.features_error);
    if (c.feature_set_error) {
        EXPECT_EQ(value_error_text([&] { qm::compute_feature_set_core(c.values, c.period, c.window); }),
                  c.feature_set_error);
    } else {
        for (double v : qm::compute_feature_set_core(c.values, c.period, c.window)) EXPECT_TRUE(std::isnan(v));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureErrors,
    ::testing::Values(ErrorCase{"empty", {}, nullopt, nullopt, kShort, kSetNonFinite},
                      ErrorCase{"two_values", {1.0, 2.0}, 5, nullopt, kShort, nullptr},
                      ErrorCase{"one_value_period_one", {1.0}, 1, nullopt, kShort, kPeriod},
                      ErrorCase{"two_values_window_one", {1.0, 2.0}, nullopt, 1, kShort, kWindow},
                      ErrorCase{"nan", {1.0, kNaN, 2.0}, 0, 0, kNonFinite, kSetNonFinite},
                      ErrorCase{"infinity", {1.0, 2.0, -INFINITY, 4.0}, nullopt, nullopt, kNonFinite, kSetNonFinite},
                      ErrorCase{"period_before_window", Vec(50, 1.0), 1, 0, kPeriod, kPeriod},
                      ErrorCase{"window_zero", {1.0, 2.0, 3.0, 4.0}, 2, 0, kNoError, kWindow}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Feature set: fixed NaN / 0.0 rules

TEST(FeatureSet, ConstantSeriesGivesZeros) {
    for (double level : {0.0, 0.1, -3e7}) {
        const FeatureSetRow row = qm::compute_feature_set_core(Vec(30, level), nullopt, nullopt);
        EXPECT_TRUE(same_bits(Vec(row.begin(), row.end()), Vec(qm::kFeatureSetSize, 0.0))) << level;
    }
}

struct NanCase {
    const char* name;
    std::size_t n;
    Opt period, window;
    std::vector<std::size_t> nan_slots;
};
class FeatureSetNanSlots : public ::testing::TestWithParam<NanCase> {};

TEST_P(FeatureSetNanSlots, ExactlyTheseSlotsAreNaN) {
    const NanCase& c = GetParam();
    const FeatureSetRow row = qm::compute_feature_set_core(random_series(c.n, 100 + c.n), c.period, c.window);
    for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s) {
        const bool want_nan = std::count(c.nan_slots.begin(), c.nan_slots.end(), s) > 0;
        EXPECT_EQ(std::isnan(row[s]), want_nan) << "slot " << s << " = " << row[s];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureSetNanSlots,
    ::testing::Values(
        NanCase{"n10_no_acf10", 10, nullopt, 3, {slot::acf10_sum_sq}},
        NanCase{"n11_acf10", 11, nullopt, 3, {}},
        NanCase{"n19_default_window_too_wide", 19, nullopt, nullopt,
                {slot::lumpiness, slot::max_level_shift, slot::max_variance_shift}},
        NanCase{"n20_default_window", 20, nullopt, nullopt, {}},
        NanCase{"n20_masked_period", 20, 15, nullopt,
                {slot::trend_strength, slot::seasonal_strength, slot::spikiness, slot::lumpiness, slot::max_level_shift,
                 slot::max_variance_shift}},
        NanCase{"n20_masked_period_window4", 20, 15, 4, {slot::trend_strength, slot::seasonal_strength, slot::spikiness}},
        NanCase{"n20_period_beyond_series", 20, 20, 4,
                {slot::trend_strength, slot::seasonal_strength, slot::spikiness, slot::seasonal_acf}},
        NanCase{"n20_period10_usable", 20, 10, nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSet, MedianCrossings) {
    // Even n: the mean of the middle pair. Odd n: the middle element, which
    // counts as at-or-below (a two-rank mean or a strict test would give 2).
    EXPECT_EQ(qm::compute_feature_set_core(Vec{-1.5, -0.5, 0.5, 1.5}, nullopt, nullopt)[slot::crossing_points], 1.0);
    EXPECT_EQ(qm::compute_feature_set_core(Vec{2.0, 1.0, 0.0, 3.0, 4.0}, nullopt, nullopt)[slot::crossing_points], 1.0);
}

// ---------------------------------------------------------------------------
// Feature set against a straightforward computation: direct DFT, literal
// leave-one-out variances, per-window moments, a full sort for the median.

double ref_mean(const Vec& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s / static_cast<double>(v.size());
}

double ref_var(const Vec& v) {
    const double m = ref_mean(v);
    double s = 0.0;
    for (double x : v) s += (x - m) * (x - m);
    return s / static_cast<double>(v.size());
}

double ref_acf(const Vec& v, std::size_t lag) {
    const double m = ref_mean(v);
    double den = 0.0, num = 0.0;
    for (double x : v) den += (x - m) * (x - m);
    for (std::size_t i = lag; i < v.size(); ++i) num += (v[i] - m) * (v[i - lag] - m);
    return den <= qm::kFeatureEpsilon ? 0.0 : num / den;
}

double ref_strength(const Vec& part, const Vec& resid) {
    Vec sum(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) sum[i] = part[i] + resid[i];
    return std::clamp(1.0 - ref_var(resid) / ref_var(sum), 0.0, 1.0);
}

double ref_entropy(const Vec& z) {
    const std::size_t n = z.size(), h = n / 2;
    if (n < 4) return 0.0;
    Vec p(h + 1, 0.0);
    double total = 0.0, ent = 0.0;
    for (std::size_t k = 1; k <= h; ++k) {
        long double re = 0.0L, im = 0.0L;
        for (std::size_t j = 0; j < n; ++j) {
            const long double angle = 2.0L * std::numbers::pi_v<long double> * static_cast<long double>((j * k) % n) / n;
            re += z[j] * std::cos(angle);
            im -= z[j] * std::sin(angle);
        }
        total += p[k] = static_cast<double>(re * re + im * im);
    }
    for (std::size_t k = 1; k <= h; ++k) ent -= p[k] / total * std::log(p[k] / total);
    return std::clamp(ent / std::log(static_cast<double>(h)), 0.0, 1.0);
}

FeatureSetRow reference_row(const Vec& x, Opt period, Opt window) {
    const std::size_t n = x.size();
    const double m = ref_mean(x), sd = std::sqrt(ref_var(x));
    Vec z(n), diff;
    for (std::size_t i = 0; i < n; ++i) z[i] = (x[i] - m) / sd;
    for (std::size_t i = 1; i < n; ++i) diff.push_back(z[i] - z[i - 1]);
    const qm::DecomposeResult dr = qm::classical_decompose_core(z, period);
    const qm::Decomposition& d = dr.decomposition;

    FeatureSetRow row;
    row.fill(kNaN);
    row[slot::spectral_entropy] = ref_entropy(z);
    if (!(period && *period > n / 2)) {
        row[slot::trend_strength] = ref_strength(d.trend, d.residual);
        row[slot::seasonal_strength] = period ? ref_strength(d.seasonal, d.residual) : 0.0;
        Vec loo;
        for (std::size_t i = 0; i < n; ++i) {
            Vec rest(d.residual);
            rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
            loo.push_back(ref_var(rest));
        }
        row[slot::spikiness] = ref_var(loo);
    }
    row[slot::acf1] = ref_acf(z, 1);
    if (n >= 11) {
        row[slot::acf10_sum_sq] = 0.0;
        for (std::size_t lag = 1; lag <= 10; ++lag) row[slot::acf10_sum_sq] += std::pow(ref_acf(z, lag), 2);
    }
    row[slot::diff1_acf1] = ref_acf(diff, 1);
    row[slot::seasonal_acf] = !period ? 0.0 : (*period >= n ? kNaN : ref_acf(z, *period));

    const std::size_t w = window ? *window : (period ? *period : 10);
    if (w <= n / 2) {
        Vec tiles;
        for (std::size_t k = 0; (k + 1) * w <= n; ++k) tiles.push_back(ref_var(Vec(&z[k * w], &z[k * w] + w)));
        row[slot::lumpiness] = ref_var(tiles);
        row[slot::max_level_shift] = row[slot::max_variance_shift] = 0.0;
        for (std::size_t i = 0; i + 2 * w <= n; ++i) {
            const Vec a(&z[i], &z[i] + w), b(&z[i + w], &z[i + w] + w);
            row[slot::max_level_shift] = std::max(row[slot::max_level_shift], std::fabs(ref_mean(a) - ref_mean(b)));
            row[slot::max_variance_shift] = std::max(row[slot::max_variance_shift], std::fabs(ref_var(a) - ref_var(b)));
        }
    }
    Vec sorted(z);
    std::sort(sorted.begin(), sorted.end());
    const double med = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    row[slot::crossing_points] = 0.0;
    for (std::size_t i = 1; i < n; ++i) row[slot::crossing_points] += (z[i - 1] <= med) != (z[i] <= med);
    return row;
}

struct RowCase {
    std::size_t n;
    Opt period, window;
};
class FeatureSetReference : public ::testing::TestWithParam<RowCase> {};

TEST_P(FeatureSetReference, MatchesStraightforwardComputation) {
    const RowCase& c = GetParam();
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        const Vec x = random_series(c.n, seed * 1000 + c.n);
        const FeatureSetRow got = qm::compute_feature_set_core(x, c.period, c.window);
        const FeatureSetRow want = reference_row(x, c.period, c.window);
        for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s)
            EXPECT_TRUE(close(got[s], want[s], 1e-10, 1e-6)) << "n " << c.n << " seed " << seed << " slot " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FeatureSetReference,
                         ::testing::Values(RowCase{3, nullopt, nullopt}, RowCase{4, 2, 2}, RowCase{5, nullopt, 2},
                                           RowCase{11, 3, nullopt}, RowCase{24, 4, nullopt}, RowCase{37, 7, 5},
                                           RowCase{64, nullopt, nullopt}, RowCase{100, 12, 9},
                                           RowCase{257, 7, nullopt}, RowCase{40, 30, 6}));

// ---------------------------------------------------------------------------
// Batch

TEST(FeatureSetBatch, EqualsRowByRowForEveryWorkerCount) {
    Vec values;
    std::vector<std::int64_t> offsets{0};
    qm::Mt64 rng(42);
    for (uint64_t i = 0; i < 150; ++i) {  // lengths 1 to 120, so some NaN rows
        const Vec s = random_series(1 + static_cast<std::size_t>(qm::uniform01(rng) * 120.0), i);
        values.insert(values.end(), s.begin(), s.end());
        offsets.push_back(static_cast<std::int64_t>(values.size()));
    }
    for (auto [period, window] : {std::pair<Opt, Opt>{nullopt, nullopt}, {7, nullopt}, {4, 3}}) {
        Vec expected;
        for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
            const FeatureSetRow row = qm::compute_feature_set_core(
                std::span(values).subspan(static_cast<std::size_t>(offsets[i]),
                                          static_cast<std::size_t>(offsets[i + 1] - offsets[i])),
                period, window);
            expected.insert(expected.end(), row.begin(), row.end());
        }
        for (uint64_t workers : {0, 1, 8})
            EXPECT_TRUE(same_bits(qm::compute_feature_set_batch(values, offsets, period, window, workers), expected))
                << "n_workers " << workers;
    }
}

struct BatchErrorCase {
    const char* name;
    Vec values;
    std::vector<std::int64_t> offsets;
    Opt period;
    std::string message;
};
class FeatureSetBatchErrors : public ::testing::TestWithParam<BatchErrorCase> {};

TEST_P(FeatureSetBatchErrors, Message) {
    const BatchErrorCase& c = GetParam();
    for (uint64_t workers : {0, 3}) {
        const auto call = [&] { qm::compute_feature_set_batch(c.values, c.offsets, c.period, nullopt, workers); };
        EXPECT_EQ(value_error_text(call), c.message);
    }
}

const Vec kTen{1, 4, 2, 8, 5, 7, 1, 3, 9, 2};
INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureSetBatchErrors,
    ::testing::Values(BatchErrorCase{"empty_panel", {}, {0, 0}, nullopt, kOffsets},
                      BatchErrorCase{"single_offset", kTen, {0}, nullopt, kOffsets},
                      BatchErrorCase{"empty_series", kTen, {0, 3, 3, 10}, nullopt, kOffsets},
                      BatchErrorCase{"not_from_zero", kTen, {1, 10}, nullopt, kOffsets},
                      BatchErrorCase{"short_of_end", kTen, {0, 4, 9}, nullopt, kOffsets},
                      BatchErrorCase{"past_end", kTen, {0, 4, 11}, nullopt, kOffsets},
                      BatchErrorCase{"negative_first", kTen, {0, 3, 3, -1}, nullopt, "offsets must be non-negative"},
                      BatchErrorCase{"nan_in_series", {1, 2, 3, kNaN, 5, 6}, {0, 2, 6}, nullopt, kSetNonFinite},
                      BatchErrorCase{"period_one", kTen, {0, 5, 10}, 1, kPeriod}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// FFT plan cache

std::vector<std::size_t> lengths_from(std::size_t first, std::size_t last) {
    std::vector<std::size_t> v;
    for (std::size_t i = first; i <= last; ++i) v.push_back(i);
    return v;
}

TEST(FftPlanCache, EvictsLeastRecentlyUsed) {
    qm::FftPlanCache cache;
    for (std::size_t n = 4; n <= 19; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(qm::cached_plan_lengths(cache), lengths_from(4, 19));

    auto five = qm::get_or_build_plan(cache, 5);  // a hit: same plan, now most recent
    EXPECT_EQ(qm::get_or_build_plan(cache, 5), five);
    qm::get_or_build_plan(cache, 20);  // evicts 4, not 5
    std::vector<std::size_t> want = lengths_from(6, 19);
    want.insert(want.end(), {5, 20});
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);

    qm::get_or_build_plan(cache, 4);  // rebuilt, evicting 6
    want.erase(want.begin());
    want.push_back(4);
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);
    EXPECT_EQ(cache.plans.size(), qm::kFftPlanCacheCapacity);

    // An evicted plan stays usable while someone holds it.
    for (std::size_t n = 100; n < 100 + qm::kFftPlanCacheCapacity; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(cache.plans.count(5), 0u);
    std::vector<std::complex<double>> out(3);
    qm::real_fft_forward(*five, Vec{1, 2, 0, 0, 0}, out);
    EXPECT_NEAR(out[0].real(), 3.0, 1e-15);
    EXPECT_NEAR(out[1].real(), 1.0 + 2.0 * std::cos(2.0 * std::numbers::pi / 5.0), 1e-15);
    EXPECT_NEAR(out[1].imag(), -2.0 * std::sin(2.0 * std::numbers::pi / 5.0), 1e-15);
}

TEST(FftPlanCache, ShortAndFlatSeriesNeverTouchTheCache) {
    const std::size_t n = 1237;  // no other test uses this length
    qm::compute_features_core(Vec(n, 0.25), nullopt);
    qm::compute_features_core(Vec{1.0, 5.0, 2.0}, nullopt);
    const std::vector<std::size_t> lengths = qm::cached_plan_lengths(qm::fft_plan_cache());
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), n), 0);
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 3u), 0);
    qm::compute_features_core(random_series(n, 1), nullopt);
    EXPECT_EQ(qm::cached_plan_lengths(qm::fft_plan_cache()).back(), n);
}

TEST(FftPlanCache, ConcurrentUseAcrossManyLengthsGivesIdenticalFeatures) {
    // 40 lengths through 16 slots from 8 threads: plans are raced, evicted and
    // rebuilt while other threads still run them.
    std::vector<Vec> series, expected;
    for (std::size_t n = 40; n < 80; ++n) series.push_back(random_series(n, n));
    for (const Vec& s : series) expected.push_back(as_vec(qm::compute_features_core(s, 6)));

    const std::size_t threads = 8, rounds = 25;
    std::vector<std::vector<std::size_t>> mismatches(threads);
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t i = 0; i < rounds * series.size(); ++i) {
                const std::size_t idx = (i * 7 + t * 13) % series.size();
                if (!same_bits(as_vec(qm::compute_features_core(series[idx], 6)), expected[idx]))
                    mismatches[t].push_back(idx);
            }
        });
    }
    for (auto& th : pool) th.join();
    for (const auto& m : mismatches) EXPECT_TRUE(m.empty());

    const std::vector<std::size_t> lengths = qm::cached_plan_lengths(qm::fft_plan_cache());
    EXPECT_LE(lengths.size(), qm::kFftPlanCacheCapacity);
    EXPECT_EQ(std::set<std::size_t>(lengths.begin(), lengths.end()).size(), lengths.size());
    EXPECT_EQ(qm::fft_plan_cache().plans.size(), lengths.size());
}

// ---------------------------------------------------------------------------
// MAR feature batch

using Scalars = std::vector<Vec>;
using Arrays = std::vector<std::vector<Vec>>;
using Seeds = std::vector<std::vector<uint64_t>>;

// Random mode: up to 2 components of order up to 3, burn-in 20.
const Vec kMarRandom{2, 3, 0, 1.0, 0.1, 0.5, 1.0, 20, 0, 0, 0, 0};

TEST(MarFeaturesBatch, EachRecordIsTheFeaturesOfItsOwnDraw) {
    const Scalars scalars{kMarRandom, Vec{2, 3}, kMarRandom};  // gen_mar refuses the middle one
    const std::vector<uint64_t> lengths{50, 100, 3};
    const Seeds seeds{{7, 8, 9}, {1, 2, 3}, {10, 11, 12}};

    const auto first = qm::mar_features_batch(scalars, Arrays(3), lengths, seeds, 5, 0);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_FALSE(first[1].has_value());
    for (std::size_t c : {0u, 2u}) {
        ASSERT_TRUE(first[c].has_value());
        ASSERT_EQ(first[c]->size(), lengths.size());
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            Vec x(lengths[k], 0.0);
            qm::gen_mar(x, kMarRandom, {}, seeds[c][k]);
            EXPECT_TRUE(same_bits(as_vec((*first[c])[k]), as_vec(qm::compute_features_core(x, 5)))) << c << "," << k;
        }
    }
    const auto again = qm::mar_features_batch(scalars, Arrays(3), lengths, seeds, 5, 4);
    for (std::size_t c : {0u, 2u})
        for (std::size_t k = 0; k < lengths.size(); ++k)
            EXPECT_TRUE(same_bits(as_vec((*again[c])[k]), as_vec((*first[c])[k])));
    EXPECT_FALSE(again[1].has_value());
}

TEST(MarFeaturesBatch, PeriodOneFailsEveryCandidateQuietly) {
    const auto got = qm::mar_features_batch(Scalars{kMarRandom, kMarRandom}, Arrays(2), std::vector<uint64_t>{20},
                                            Seeds{{1}, {2}}, 1, 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0] || got[1]);
    EXPECT_TRUE(qm::mar_features_batch(Scalars{}, Arrays{}, std::vector<uint64_t>{10}, Seeds{}, nullopt, 0).empty());
}

struct MarDimCase {
    const char* name;
    std::size_t n_scalars, n_arrays, n_seeds;
    std::vector<uint64_t> lengths;
    std::size_t seeds_each;
    bool ok;
};
class MarFeaturesBatchDims : public ::testing::TestWithParam<MarDimCase> {};

TEST_P(MarFeaturesBatchDims, Checks) {
    const MarDimCase& c = GetParam();
    const Seeds seeds(c.n_seeds, std::vector<uint64_t>(c.seeds_each, 5));
    EXPECT_EQ(value_error_text([&] {
                  qm::mar_features_batch(Scalars(c.n_scalars, kMarRandom), Arrays(c.n_arrays), c.lengths, seeds,
                                         nullopt, 0);
              }),
              c.ok ? kNoError : "invalid MAR feature batch dimensions or lengths");
}

INSTANTIATE_TEST_SUITE_P(Cases, MarFeaturesBatchDims,
                         ::testing::Values(MarDimCase{"arrays_short", 2, 1, 2, {10}, 1, false},
                                           MarDimCase{"seeds_short", 2, 2, 1, {10}, 1, false},
                                           MarDimCase{"no_lengths", 1, 1, 1, {}, 0, false},
                                           MarDimCase{"length_two", 1, 1, 1, {10, 2}, 2, false},
                                           MarDimCase{"length_too_long", 1, 1, 1, {1000001}, 1, false},
                                           MarDimCase{"seed_per_length", 1, 1, 1, {50}, 2, false},
                                           MarDimCase{"bounds_accepted", 1, 1, 1, {3, 1000000}, 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
