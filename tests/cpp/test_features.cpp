#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
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

namespace {

using qm::FeatureSetRow;
using qm::SpectralFeatures;
using std::optional;
using std::uint64_t;
namespace slot = qm::feature_slot;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NaN matches NaN; otherwise |a - b| <= tol * max(floor, |b|).
::testing::AssertionResult close(double a, double b, double tol, double floor = 1.0) {
    if (std::isnan(a) && std::isnan(b)) return ::testing::AssertionSuccess();
    if (std::fabs(a - b) <= tol * std::max(floor, std::fabs(b))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b << " (diff " << a - b << ")";
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) return false;
    }
    return true;
}

std::string error_of(auto&& fn) {
    try {
        fn();
    } catch (const qm::ValueError& e) {
        return e.what();
    }
    return "<no error>";
}

// Trend + seasonal wave + noise at a level far from zero.
std::vector<double> random_series(std::size_t n, uint64_t seed) {
    qm::Mt64 rng(seed);
    const double level = 50.0 * qm::uniform01(rng) - 25.0;
    const double slope = qm::uniform01(rng) - 0.5;
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = level + slope * t + 2.0 * std::sin(2.0 * std::numbers::pi * t / 7.0) + (qm::uniform01(rng) - 0.5) * 3.0;
    }
    return x;
}

// ---------------------------------------------------------------------------
// Spectral features

TEST(SpectralFeatures, KnownAnswerForAnImpulse) {
    const std::vector<double> x{1.0, 0.0, 0.0, 0.0};
    const SpectralFeatures f = qm::compute_features_core(x, std::nullopt);
    EXPECT_TRUE(close(f.spectral_entropy, 1.0, 1e-15));  // two bins of equal power
    EXPECT_TRUE(close(f.acf1, -1.0 / 12.0, 1e-15));
    EXPECT_TRUE(close(f.trend_strength, 8.0 / 27.0, 1e-15));
    EXPECT_EQ(f.seasonal_strength, 0.0);
}

struct ZeroCase {
    const char* name;
    std::vector<double> values;
    optional<uint64_t> period;
};

class SpectralZeroRules : public ::testing::TestWithParam<ZeroCase> {};

// Series without spread must give exact zeros, not ratios of rounding noise.
TEST_P(SpectralZeroRules, AllFourAreExactlyZero) {
    const SpectralFeatures f = qm::compute_features_core(GetParam().values, GetParam().period);
    EXPECT_EQ(f.spectral_entropy, 0.0);
    EXPECT_EQ(f.trend_strength, 0.0);
    EXPECT_EQ(f.seasonal_strength, 0.0);
    EXPECT_EQ(f.acf1, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpectralZeroRules,
    ::testing::Values(ZeroCase{"tenths", std::vector<double>(30, 0.1), std::nullopt},
                      ZeroCase{"tenths_with_period", std::vector<double>(30, 0.1), 6},
                      ZeroCase{"negative", std::vector<double>(41, -7.3), 4},
                      ZeroCase{"zeros", std::vector<double>(8, 0.0), 4},
                      ZeroCase{"three_equal", std::vector<double>(3, -2.5), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpectralFeatures, ThreeValuesHaveNoEntropy) {
    EXPECT_EQ(qm::compute_features_core(std::vector<double>{3.0, -1.0, 7.0}, std::nullopt).spectral_entropy, 0.0);
}

TEST(SpectralFeatures, PureToneHasNoEntropyAndNoiseNearlyFull) {
    const std::size_t n = 64;
    std::vector<double> tone(n);
    for (std::size_t i = 0; i < n; ++i) tone[i] = std::cos(2.0 * std::numbers::pi * 5.0 * static_cast<double>(i) / n);
    EXPECT_LT(qm::compute_features_core(tone, std::nullopt).spectral_entropy, 1e-12);

    qm::Mt64 rng(7);
    std::vector<double> noise(1024);
    for (double& v : noise) v = qm::uniform01(rng);
    EXPECT_GT(qm::compute_features_core(noise, std::nullopt).spectral_entropy, 0.85);
}

TEST(SpectralFeatures, PeriodAboveHalfIsIgnoredNotMasked) {
    const std::vector<double> x = random_series(20, 11);
    const SpectralFeatures with = qm::compute_features_core(x, 15);
    const SpectralFeatures without = qm::compute_features_core(x, std::nullopt);
    EXPECT_EQ(with.seasonal_strength, 0.0);
    EXPECT_GT(with.trend_strength, 0.0);
    EXPECT_EQ(with.trend_strength, without.trend_strength);
}

TEST(SpectralFeatures, SeasonalSeriesHasStrongSeasonality) {
    std::vector<double> x(84);
    qm::Mt64 rng(3);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i % 7 == 2 ? 5.0 : 0.0) + 0.1 * qm::uniform01(rng);
    const SpectralFeatures f = qm::compute_features_core(x, 7);
    EXPECT_GT(f.seasonal_strength, 0.95);
    EXPECT_LE(f.seasonal_strength, 1.0);
}

struct ErrorCase {
    const char* name;
    std::vector<double> values;
    optional<uint64_t> period;
    optional<uint64_t> window;
    const char* features_error;     // compute_features_core
    const char* feature_set_error;  // compute_feature_set_core, nullptr = NaN row
};

class FeatureErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FeatureErrors, MessagesInCheckOrder) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(error_of([&] { qm::compute_features_core(c.values, c.period); }), c.features_error);
    if (c.feature_set_error) {
        EXPECT_EQ(error_of([&] { qm::compute_feature_set_core(c.values, c.period, c.window); }), c.feature_set_error);
    } else {
        const FeatureSetRow row = qm::compute_feature_set_core(c.values, c.period, c.window);
        for (double v : row) EXPECT_TRUE(std::isnan(v));
    }
}

const char* kShort = "values must contain at least 3 observations";
const char* kNonFinite = "values must contain only finite observations";
const char* kPeriod = "period must be >= 2 when provided";
const char* kSetNonFinite = "values must be non-empty and finite";
const char* kWindow = "window_size must be >= 2 when provided";

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureErrors,
    ::testing::Values(
        ErrorCase{"empty", {}, std::nullopt, std::nullopt, kShort, kSetNonFinite},
        ErrorCase{"two_values", {1.0, 2.0}, 5, std::nullopt, kShort, nullptr},
        ErrorCase{"one_value_period_one", {1.0}, 1, std::nullopt, kShort, kPeriod},
        ErrorCase{"two_values_window_one", {1.0, 2.0}, std::nullopt, 1, kShort, kWindow},
        ErrorCase{"nan", {1.0, kNaN, 2.0}, 0, 0, kNonFinite, kSetNonFinite},
        ErrorCase{"infinity", {1.0, 2.0, -INFINITY, 4.0}, std::nullopt, std::nullopt, kNonFinite, kSetNonFinite},
        ErrorCase{"period_zero", {1.0, 2.0, 3.0, 4.0}, 0, std::nullopt, kPeriod, kPeriod},
        ErrorCase{"period_before_window", std::vector<double>(50, 1.0), 1, 0, kPeriod, kPeriod},
        ErrorCase{"window_zero", {1.0, 2.0, 3.0, 4.0}, 2, 0, "<no error>", kWindow}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Feature set: fixed NaN / 0.0 rules

TEST(FeatureSet, ConstantSeriesGivesZeros) {
    for (double level : {0.0, 0.1, -3e7}) {
        const FeatureSetRow row = qm::compute_feature_set_core(std::vector<double>(30, level), std::nullopt, std::nullopt);
        for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s) EXPECT_EQ(row[s], 0.0) << "slot " << s << " level " << level;
    }
}

struct NanCase {
    const char* name;
    std::size_t n;
    optional<uint64_t> period;
    optional<uint64_t> window;
    std::vector<std::size_t> nan_slots;
};

class FeatureSetNanSlots : public ::testing::TestWithParam<NanCase> {};

TEST_P(FeatureSetNanSlots, ExactlyTheseSlotsAreNaN) {
    const NanCase& c = GetParam();
    const FeatureSetRow row = qm::compute_feature_set_core(random_series(c.n, 100 + c.n), c.period, c.window);
    for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s) {
        const bool want_nan = std::find(c.nan_slots.begin(), c.nan_slots.end(), s) != c.nan_slots.end();
        EXPECT_EQ(std::isnan(row[s]), want_nan) << "slot " << s << " = " << row[s];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureSetNanSlots,
    ::testing::Values(
        NanCase{"n10_no_acf10", 10, std::nullopt, 3, {slot::acf10_sum_sq}},
        NanCase{"n11_acf10", 11, std::nullopt, 3, {}},
        NanCase{"n19_default_window_too_wide", 19, std::nullopt, std::nullopt,
                {slot::lumpiness, slot::max_level_shift, slot::max_variance_shift}},
        NanCase{"n20_default_window", 20, std::nullopt, std::nullopt, {}},
        NanCase{"n20_masked_period", 20, 15, std::nullopt,
                {slot::trend_strength, slot::seasonal_strength, slot::spikiness, slot::lumpiness,
                 slot::max_level_shift, slot::max_variance_shift}},
        NanCase{"n20_masked_period_window4", 20, 15, 4,
                {slot::trend_strength, slot::seasonal_strength, slot::spikiness}},
        NanCase{"n20_period_beyond_series", 20, 20, 4,
                {slot::trend_strength, slot::seasonal_strength, slot::spikiness, slot::seasonal_acf}},
        NanCase{"n20_period10_usable", 20, 10, std::nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSet, MedianOfEvenLengthAveragesTheMiddlePair) {
    const FeatureSetRow row = qm::compute_feature_set_core(std::vector<double>{-1.5, -0.5, 0.5, 1.5}, std::nullopt, std::nullopt);
    EXPECT_EQ(row[slot::crossing_points], 1.0);
    // Odd length: the middle element itself is the median, and x <= t holds
    // for it (a mean of two ranks or a strict comparison would count 2).
    const FeatureSetRow odd = qm::compute_feature_set_core(std::vector<double>{2.0, 1.0, 0.0, 3.0, 4.0}, std::nullopt, std::nullopt);
    EXPECT_EQ(odd[slot::crossing_points], 1.0);
}

TEST(FeatureSet, ScaleAndShiftDoNotChangeTheRow) {
    const std::vector<double> x = random_series(60, 5);
    const FeatureSetRow base = qm::compute_feature_set_core(x, 7, std::nullopt);
    for (auto [mul, add] : {std::pair{1e-6, 0.0}, std::pair{3e5, 0.0}, std::pair{1.0, 1e4}}) {
        std::vector<double> y(x);
        for (double& v : y) v = v * mul + add;
        const FeatureSetRow row = qm::compute_feature_set_core(y, 7, std::nullopt);
        for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s) EXPECT_TRUE(close(row[s], base[s], 1e-7)) << "slot " << s;
    }
}

// ---------------------------------------------------------------------------
// Feature set against a straightforward computation

double ref_mean(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s / static_cast<double>(v.size());
}

double ref_var(const std::vector<double>& v) {
    if (v.empty()) return kNaN;
    const double m = ref_mean(v);
    double s = 0.0;
    for (double x : v) s += (x - m) * (x - m);
    return s / static_cast<double>(v.size());
}

double ref_acf(const std::vector<double>& v, std::size_t lag) {
    const double m = ref_mean(v);
    double den = 0.0;
    double num = 0.0;
    for (double x : v) den += (x - m) * (x - m);
    for (std::size_t i = lag; i < v.size(); ++i) num += (v[i] - m) * (v[i - lag] - m);
    return den <= qm::kFeatureEpsilon ? 0.0 : num / den;
}

double ref_strength(const std::vector<double>& part, const std::vector<double>& resid) {
    std::vector<double> sum(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) sum[i] = part[i] + resid[i];
    const double d = ref_var(sum);
    return d <= qm::kFeatureEpsilon ? 0.0 : std::clamp(1.0 - ref_var(resid) / d, 0.0, 1.0);
}

// Direct DFT, no plan, no cache.
double ref_entropy(const std::vector<double>& z) {
    const std::size_t n = z.size();
    if (n < 4) return 0.0;
    const double m = ref_mean(z);
    const std::size_t h = n / 2;
    std::vector<double> p(h + 1, 0.0);
    double total = 0.0;
    for (std::size_t k = 1; k <= h; ++k) {
        long double re = 0.0L, im = 0.0L;
        for (std::size_t j = 0; j < n; ++j) {
            const long double ang = -2.0L * std::numbers::pi_v<long double> * static_cast<long double>((j * k) % n) / n;
            re += (z[j] - m) * std::cos(ang);
            im += (z[j] - m) * std::sin(ang);
        }
        p[k] = static_cast<double>(re * re + im * im);
        total += p[k];
    }
    double ent = 0.0;
    for (std::size_t k = 1; k <= h; ++k) {
        if (p[k] > 0.0) ent -= p[k] / total * std::log(p[k] / total);
    }
    return std::clamp(ent / std::log(static_cast<double>(h)), 0.0, 1.0);
}

FeatureSetRow reference_row(const std::vector<double>& x, optional<uint64_t> period, optional<uint64_t> window) {
    const std::size_t n = x.size();
    const double sd = std::sqrt(ref_var(x));
    const double m = ref_mean(x);
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = (x[i] - m) / sd;

    const qm::DecomposeResult dr = qm::classical_decompose_core(z, period);
    EXPECT_TRUE(dr.ok()) << dr.error;
    const qm::Decomposition& d = dr.decomposition;
    const bool masked = period && *period > n / 2;

    FeatureSetRow row;
    row.fill(kNaN);
    row[slot::spectral_entropy] = ref_entropy(z);
    if (!masked) {
        row[slot::trend_strength] = ref_strength(d.trend, d.residual);
        row[slot::seasonal_strength] = period ? ref_strength(d.seasonal, d.residual) : 0.0;
        // Leave each residual out in turn and take the variance of the rest.
        std::vector<double> loo;
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<double> rest(d.residual);
            rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
            loo.push_back(ref_var(rest));
        }
        row[slot::spikiness] = ref_var(loo);
    }
    row[slot::acf1] = ref_acf(z, 1);
    if (n >= 11) {
        double s = 0.0;
        for (std::size_t lag = 1; lag <= 10; ++lag) s += ref_acf(z, lag) * ref_acf(z, lag);
        row[slot::acf10_sum_sq] = s;
    }
    std::vector<double> diff;
    for (std::size_t i = 1; i < n; ++i) diff.push_back(z[i] - z[i - 1]);
    row[slot::diff1_acf1] = ref_acf(diff, 1);
    row[slot::seasonal_acf] = !period ? 0.0 : (*period >= n ? kNaN : ref_acf(z, *period));

    const std::size_t w = window ? *window : (period ? *period : 10);
    if (w <= n / 2) {
        std::vector<double> tiles, means, vars;
        for (std::size_t k = 0; (k + 1) * w <= n; ++k) tiles.push_back(ref_var({z.begin() + k * w, z.begin() + (k + 1) * w}));
        for (std::size_t i = 0; i + w <= n; ++i) {
            const std::vector<double> win(z.begin() + i, z.begin() + i + w);
            means.push_back(ref_mean(win));
            vars.push_back(ref_var(win));
        }
        double level = 0.0, spread = 0.0;
        for (std::size_t i = 0; i + 2 * w <= n; ++i) {
            level = std::max(level, std::fabs(means[i] - means[i + w]));
            spread = std::max(spread, std::fabs(vars[i] - vars[i + w]));
        }
        row[slot::lumpiness] = ref_var(tiles);
        row[slot::max_level_shift] = level;
        row[slot::max_variance_shift] = spread;
    }

    std::vector<double> sorted(z);
    std::sort(sorted.begin(), sorted.end());
    const double med = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    double crossings = 0.0;
    for (std::size_t i = 1; i < n; ++i) crossings += ((z[i - 1] <= med) != (z[i] <= med)) ? 1.0 : 0.0;
    row[slot::crossing_points] = crossings;
    return row;
}

struct RowCase {
    std::size_t n;
    optional<uint64_t> period;
    optional<uint64_t> window;
};

class FeatureSetReference : public ::testing::TestWithParam<RowCase> {};

TEST_P(FeatureSetReference, MatchesStraightforwardComputation) {
    const RowCase& c = GetParam();
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        const std::vector<double> x = random_series(c.n, seed * 1000 + c.n);
        const FeatureSetRow got = qm::compute_feature_set_core(x, c.period, c.window);
        const FeatureSetRow want = reference_row(x, c.period, c.window);
        for (std::size_t s = 0; s < qm::kFeatureSetSize; ++s) {
            EXPECT_TRUE(close(got[s], want[s], 1e-10, 1e-6)) << "n " << c.n << " seed " << seed << " slot " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FeatureSetReference,
                         ::testing::Values(RowCase{3, std::nullopt, std::nullopt}, RowCase{4, 2, 2},
                                           RowCase{5, std::nullopt, 2}, RowCase{11, 3, std::nullopt},
                                           RowCase{24, 4, std::nullopt}, RowCase{37, 7, 5},
                                           RowCase{64, std::nullopt, std::nullopt}, RowCase{100, 12, 9},
                                           RowCase{257, 7, std::nullopt}, RowCase{40, 30, 6}));

// ---------------------------------------------------------------------------
// Batch

struct Panel {
    std::vector<double> values;
    std::vector<std::int64_t> offsets{0};
};

Panel random_panel(std::size_t n_series, uint64_t seed) {
    Panel p;
    qm::Mt64 rng(seed);
    for (std::size_t i = 0; i < n_series; ++i) {
        const std::size_t len = 1 + static_cast<std::size_t>(qm::uniform01(rng) * 120.0);
        const std::vector<double> s = random_series(len, seed + i);
        p.values.insert(p.values.end(), s.begin(), s.end());
        p.offsets.push_back(static_cast<std::int64_t>(p.values.size()));
    }
    return p;
}

TEST(FeatureSetBatch, EqualsRowByRowForEveryWorkerCount) {
    const Panel p = random_panel(150, 42);
    for (auto [period, window] : {std::pair<optional<uint64_t>, optional<uint64_t>>{std::nullopt, std::nullopt},
                                  {7, std::nullopt}, {4, 3}}) {
        std::vector<double> expected;
        for (std::size_t i = 0; i + 1 < p.offsets.size(); ++i) {
            const std::span<const double> s(p.values.data() + p.offsets[i], static_cast<std::size_t>(p.offsets[i + 1] - p.offsets[i]));
            const FeatureSetRow row = qm::compute_feature_set_core(s, period, window);
            expected.insert(expected.end(), row.begin(), row.end());
        }
        for (uint64_t workers : {0, 1, 8}) {
            const std::vector<double> got = qm::compute_feature_set_batch(p.values, p.offsets, period, window, workers);
            EXPECT_TRUE(same_bits(got, expected)) << "n_workers " << workers;
        }
    }
}

struct BatchErrorCase {
    const char* name;
    std::vector<double> values;
    std::vector<std::int64_t> offsets;
    optional<uint64_t> period;
    std::string message;
};

class FeatureSetBatchErrors : public ::testing::TestWithParam<BatchErrorCase> {};

TEST_P(FeatureSetBatchErrors, Message) {
    const BatchErrorCase& c = GetParam();
    for (uint64_t workers : {0, 3}) {
        EXPECT_EQ(error_of([&] { qm::compute_feature_set_batch(c.values, c.offsets, c.period, std::nullopt, workers); }),
                  c.message);
    }
}

const std::string kOffsets = "offsets must increase strictly from 0 to len(values)";
const std::vector<double> kTen{1, 4, 2, 8, 5, 7, 1, 3, 9, 2};

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureSetBatchErrors,
    ::testing::Values(BatchErrorCase{"empty_panel", {}, {0, 0}, std::nullopt, kOffsets},
                      BatchErrorCase{"single_offset", kTen, {0}, std::nullopt, kOffsets},
                      BatchErrorCase{"no_offsets", kTen, {}, std::nullopt, kOffsets},
                      BatchErrorCase{"empty_series", kTen, {0, 3, 3, 10}, std::nullopt, kOffsets},
                      BatchErrorCase{"not_from_zero", kTen, {1, 10}, std::nullopt, kOffsets},
                      BatchErrorCase{"short_of_end", kTen, {0, 4, 9}, std::nullopt, kOffsets},
                      BatchErrorCase{"past_end", kTen, {0, 4, 11}, std::nullopt, kOffsets},
                      BatchErrorCase{"negative_first", kTen, {0, 3, 3, -1}, std::nullopt,
                                     "offsets must be non-negative"},
                      BatchErrorCase{"nan_in_series", {1, 2, 3, kNaN, 5, 6}, {0, 2, 6}, std::nullopt, kSetNonFinite},
                      BatchErrorCase{"period_one", kTen, {0, 5, 10}, 1, kPeriod}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureSetBatch, OneSeriesEqualsSingleCall) {
    const std::vector<double> x = random_series(33, 9);
    const FeatureSetRow row = qm::compute_feature_set_core(x, 5, 4);
    const std::vector<double> got = qm::compute_feature_set_batch(x, std::vector<std::int64_t>{0, 33}, 5, 4, 0);
    EXPECT_TRUE(same_bits(got, std::vector<double>(row.begin(), row.end())));
}

// ---------------------------------------------------------------------------
// FFT plans and their cache

TEST(RealFft, MatchesDirectTransform) {
    for (std::size_t n : {1, 2, 5, 16, 97, 360}) {
        qm::Mt64 rng(n);
        std::vector<double> x(n);
        for (double& v : x) v = qm::uniform01(rng) - 0.5;
        std::vector<std::complex<double>> out(n / 2 + 1);
        qm::real_fft_forward(*qm::build_real_fft_plan(n), x, out);
        for (std::size_t k = 0; k <= n / 2; ++k) {
            std::complex<long double> want = 0.0L;
            for (std::size_t j = 0; j < n; ++j) {
                const long double ang = -2.0L * std::numbers::pi_v<long double> * static_cast<long double>((j * k) % n) / n;
                want += std::complex<long double>(x[j] * std::cos(ang), x[j] * std::sin(ang));
            }
            EXPECT_NEAR(out[k].real(), static_cast<double>(want.real()), 1e-12) << "n " << n << " k " << k;
            EXPECT_NEAR(out[k].imag(), static_cast<double>(want.imag()), 1e-12) << "n " << n << " k " << k;
        }
    }
}

std::vector<std::size_t> range(std::size_t first, std::size_t last) {
    std::vector<std::size_t> v;
    for (std::size_t i = first; i <= last; ++i) v.push_back(i);
    return v;
}

TEST(FftPlanCache, EvictsLeastRecentlyUsed) {
    qm::FftPlanCache cache;
    for (std::size_t n = 4; n <= 19; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(qm::cached_plan_lengths(cache), range(4, 19));

    // A hit returns the cached plan and makes its length the most recent.
    auto five = qm::get_or_build_plan(cache, 5);
    EXPECT_EQ(qm::get_or_build_plan(cache, 5), five);
    qm::get_or_build_plan(cache, 20);  // evicts 4, the oldest; 5 survives
    std::vector<std::size_t> want = range(6, 19);
    want.push_back(5);
    want.push_back(20);
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);
    EXPECT_EQ(cache.plans.size(), qm::kFftPlanCacheCapacity);

    // Requesting 4 again rebuilds it and evicts 6.
    qm::get_or_build_plan(cache, 4);
    want.erase(want.begin());
    want.push_back(4);
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);

    // An evicted plan stays usable while someone holds it.
    for (std::size_t n = 100; n < 100 + qm::kFftPlanCacheCapacity; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(cache.plans.count(5), 0u);
    std::vector<std::complex<double>> out(3);
    qm::real_fft_forward(*five, std::vector<double>{1, 1, 1, 1, 1}, out);
    EXPECT_NEAR(out[0].real(), 5.0, 1e-15);
    EXPECT_NEAR(std::abs(out[1]), 0.0, 1e-15);
}

TEST(FftPlanCache, ShortAndFlatSeriesNeverTouchTheCache) {
    const std::size_t n = 1237;  // a length no other test uses
    qm::compute_features_core(std::vector<double>(n, 0.25), std::nullopt);
    qm::compute_features_core(std::vector<double>{1.0, 5.0, 2.0}, std::nullopt);
    const std::vector<std::size_t> lengths = qm::cached_plan_lengths(qm::fft_plan_cache());
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), n), 0);
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 3u), 0);

    qm::compute_features_core(random_series(n, 1), std::nullopt);
    EXPECT_EQ(qm::cached_plan_lengths(qm::fft_plan_cache()).back(), n);
}

TEST(FftPlanCache, ConcurrentUseAcrossManyLengthsGivesIdenticalFeatures) {
    // 40 lengths through a 16-plan cache from 8 threads: plans are built,
    // raced, evicted and rebuilt while other threads still execute them.
    std::vector<std::vector<double>> series;
    for (std::size_t n = 40; n < 80; ++n) series.push_back(random_series(n, n));
    std::vector<SpectralFeatures> expected;
    for (const auto& s : series) expected.push_back(qm::compute_features_core(s, 6));

    const std::size_t threads = 8, rounds = 25;
    std::vector<std::vector<SpectralFeatures>> got(threads);
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t r = 0; r < rounds; ++r) {
                for (std::size_t k = 0; k < series.size(); ++k) {
                    const std::size_t idx = (k * 7 + t * 13 + r) % series.size();
                    got[t].push_back(qm::compute_features_core(series[idx], 6));
                }
            }
        });
    }
    for (auto& th : pool) th.join();

    for (std::size_t t = 0; t < threads; ++t) {
        std::size_t i = 0;
        for (std::size_t r = 0; r < rounds; ++r) {
            for (std::size_t k = 0; k < series.size(); ++k, ++i) {
                const std::size_t idx = (k * 7 + t * 13 + r) % series.size();
                const SpectralFeatures& a = got[t][i];
                const SpectralFeatures& b = expected[idx];
                ASSERT_TRUE(same_bits({a.spectral_entropy, a.trend_strength, a.seasonal_strength, a.acf1},
                                      {b.spectral_entropy, b.trend_strength, b.seasonal_strength, b.acf1}))
                    << "thread " << t << " series " << idx;
            }
        }
    }
    const std::vector<std::size_t> lengths = qm::cached_plan_lengths(qm::fft_plan_cache());
    EXPECT_LE(lengths.size(), qm::kFftPlanCacheCapacity);
    EXPECT_EQ(std::set<std::size_t>(lengths.begin(), lengths.end()).size(), lengths.size());
    EXPECT_EQ(qm::fft_plan_cache().plans.size(), lengths.size());
}

// ---------------------------------------------------------------------------
// MAR feature batch

namespace mar_batch {

using Scalars = std::vector<std::vector<double>>;
using Arrays = std::vector<std::vector<std::vector<double>>>;
using Seeds = std::vector<std::vector<uint64_t>>;

// Random mode: up to 2 components of order up to 3, burn-in 20.
const std::vector<double> kRandomMode{2, 3, 0, 1.0, 0.1, 0.5, 1.0, 20, 0, 0, 0, 0};

std::vector<double> draw(const std::vector<double>& scalars, std::size_t len, uint64_t seed) {
    std::vector<double> x(len, 0.0);
    qm::gen_mar(x, scalars, {}, seed);
    return x;
}

bool same_features(const SpectralFeatures& a, const SpectralFeatures& b) {
    return same_bits({a.spectral_entropy, a.trend_strength, a.seasonal_strength, a.acf1},
                     {b.spectral_entropy, b.trend_strength, b.seasonal_strength, b.acf1});
}

TEST(MarFeaturesBatch, EachRecordIsTheFeaturesOfItsOwnDraw) {
    const std::vector<double> bad{2, 3, 0, 1.0};  // too few scalars: gen_mar refuses
    const Scalars scalars{kRandomMode, bad, kRandomMode};
    const Arrays arrays(3);
    const std::vector<uint64_t> lengths{50, 100, 3};
    const Seeds seeds{{7, 8, 9}, {1, 2, 3}, {10, 11, 12}};

    const auto first = qm::mar_features_batch(scalars, arrays, lengths, seeds, 5, 0);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_FALSE(first[1].has_value());
    for (std::size_t c : {0u, 2u}) {
        ASSERT_TRUE(first[c].has_value());
        ASSERT_EQ(first[c]->size(), lengths.size());
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            const SpectralFeatures want = qm::compute_features_core(draw(kRandomMode, lengths[k], seeds[c][k]), 5);
            EXPECT_TRUE(same_features((*first[c])[k], want)) << "candidate " << c << " draw " << k;
        }
    }
    for (uint64_t workers : {1, 4}) {
        const auto again = qm::mar_features_batch(scalars, arrays, lengths, seeds, 5, workers);
        ASSERT_EQ(again.size(), first.size());
        for (std::size_t c = 0; c < again.size(); ++c) {
            ASSERT_EQ(again[c].has_value(), first[c].has_value());
            if (!again[c]) continue;
            for (std::size_t k = 0; k < lengths.size(); ++k) EXPECT_TRUE(same_features((*again[c])[k], (*first[c])[k]));
        }
    }
}

TEST(MarFeaturesBatch, PeriodOneFailsEveryCandidateQuietly) {
    const auto got = qm::mar_features_batch(Scalars{kRandomMode, kRandomMode}, Arrays(2), std::vector<uint64_t>{20},
                                            Seeds{{1}, {2}}, 1, 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].has_value());
    EXPECT_FALSE(got[1].has_value());
}

TEST(MarFeaturesBatch, NoCandidatesGiveAnEmptyList) {
    EXPECT_TRUE(qm::mar_features_batch(Scalars{}, Arrays{}, std::vector<uint64_t>{10}, Seeds{}, std::nullopt, 0).empty());
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
    const Scalars scalars(c.n_scalars, kRandomMode);
    const Arrays arrays(c.n_arrays);
    const Seeds seeds(c.n_seeds, std::vector<uint64_t>(c.seeds_each, 5));
    const std::string err =
        error_of([&] { qm::mar_features_batch(scalars, arrays, c.lengths, seeds, std::nullopt, 0); });
    EXPECT_EQ(err, c.ok ? "<no error>" : "invalid MAR feature batch dimensions or lengths");
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

}  // namespace mar_batch

}  // namespace
