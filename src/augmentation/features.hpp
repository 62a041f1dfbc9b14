// Summary features of a series: the four spectral features and the
// twelve-value feature row, singly and for a flat panel on a thread pool.
//
// Every sum runs in index order from zero, so results do not depend on the
// thread or the pool that computes them. A variance or spectral power at or
// below kFeatureEpsilon counts as zero (for the acf1 of a raw series whose
// values are all below 1 in magnitude, relative to its largest magnitude).
// A feature that cannot be computed is NaN or 0.0 by a fixed rule, never an
// error; the errors are bad arguments, thrown as ValueError with the text the
// Python layer raises.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "augmentation/decompose.hpp"

namespace qm {

class ThreadPool;

// 2^-52, the float64 machine epsilon.
inline constexpr double kFeatureEpsilon = 2.220446049250313e-16;

struct SpectralFeatures {
    double spectral_entropy = 0.0;
    double trend_strength = 0.0;
    double seasonal_strength = 0.0;
    double acf1 = 0.0;
};

inline constexpr std::size_t kFeatureSetSize = 12;

// Slots, in order: spectral_entropy, trend_strength, seasonal_strength, acf1,
// acf10_sum_sq, diff1_acf1, seasonal_acf, spikiness, lumpiness,
// max_level_shift, max_variance_shift, crossing_points.
using FeatureSetRow = std::array<double, kFeatureSetSize>;

namespace feature_slot {
inline constexpr std::size_t spectral_entropy = 0;
inline constexpr std::size_t trend_strength = 1;
inline constexpr std::size_t seasonal_strength = 2;
inline constexpr std::size_t acf1 = 3;
inline constexpr std::size_t acf10_sum_sq = 4;
inline constexpr std::size_t diff1_acf1 = 5;
inline constexpr std::size_t seasonal_acf = 6;
inline constexpr std::size_t spikiness = 7;
inline constexpr std::size_t lumpiness = 8;
inline constexpr std::size_t max_level_shift = 9;
inline constexpr std::size_t max_variance_shift = 10;
inline constexpr std::size_t crossing_points = 11;
}  // namespace feature_slot

// ---------------------------------------------------------------------------
// Cores

// Spectral entropy, trend and seasonal strength and lag-1 autocorrelation of
// `values` (n >= 3, finite, period >= 2 if given: checked by the caller) and
// their decomposition with that period. The entropy's transform uses the
// process-wide plan cache; series shorter than 4 or of zero variance do not
// touch it. Throws ValueError("real FFT failed: ...") if no plan can be made.
SpectralFeatures spectral_features(std::span<const double> values,
                                   std::optional<std::uint64_t> period,
                                   const Decomposition& decomposition);

// The four spectral features of the raw series. Errors, first match wins:
//   "values must contain at least 3 observations"
//   "values must contain only finite observations"
//   "period must be >= 2 when provided"
SpectralFeatures compute_features_core(std::span<const double> values,
                                       std::optional<std::uint64_t> period);

// The twelve-value row of the series after scaling by its largest magnitude
// and standardising. Errors, first match wins:
//   "values must be non-empty and finite"
//   "period must be >= 2 when provided"
//   "window_size must be >= 2 when provided"
// One or two values give twelve NaN (not an error).
FeatureSetRow compute_feature_set_core(std::span<const double> values,
                                       std::optional<std::uint64_t> period,
                                       std::optional<std::uint64_t> window_size);

// Rows of every series of a flat panel, series i being
// values[offsets[i] .. offsets[i + 1] - 1], computed on `pool`; row i fills
// positions 12i .. 12i + 11. Offsets must rise strictly from 0 to
// values.size(), else "offsets must increase strictly from 0 to len(values)".
// A series error stops the run and the first message recorded is thrown.
std::vector<double> compute_feature_set_batch_core(std::span<const double> values,
                                                   std::span<const std::uint64_t> offsets,
                                                   std::optional<std::uint64_t> period,
                                                   std::optional<std::uint64_t> window_size,
                                                   ThreadPool& pool);

// The panel entry: signed offsets as they come from Python ("offsets must be
// non-negative" for the first negative one), then the pool for n_workers
// (0 = the default pool; a pool that cannot be built throws its message),
// then the core above.
std::vector<double> compute_feature_set_batch(std::span<const double> values,
                                              std::span<const std::int64_t> offsets,
                                              std::optional<std::uint64_t> period,
                                              std::optional<std::uint64_t> window_size,
                                              std::uint64_t n_workers);

// Features of mixture-autoregressive draws: for every candidate c and every
// length k, gen_mar(lengths[k] values, scalars[c], arrays[c], seeds[c][k])
// summarised by compute_features_core, candidates in parallel on the pool for
// n_workers. A candidate whose draw gen_mar rejects or whose features fail
// is nullopt (its later draws are skipped); a fault still ends the call.
// Throws "invalid MAR feature batch dimensions or lengths" when scalars,
// arrays and seeds differ in count, lengths is empty or outside [3, 1000000],
// or a candidate has not one seed per length; and the pool's own message.
using MarCandidateFeatures = std::optional<std::vector<SpectralFeatures>>;
std::vector<MarCandidateFeatures> mar_features_batch(std::span<const std::vector<double>> scalars,
                                                     std::span<const std::vector<std::vector<double>>> arrays,
                                                     std::span<const std::uint64_t> lengths,
                                                     std::span<const std::vector<std::uint64_t>> seeds,
                                                     std::optional<std::uint64_t> period,
                                                     std::uint64_t n_workers);

// ---------------------------------------------------------------------------
// Small statistics shared by the cores (x of length n; sums in index order)

// (sum of (x[i] - mean)^2) / n; NaN when x is empty.
double population_variance(std::span<const double> x);

// No lag: 0.0; lag >= n: NaN; otherwise the lag autocorrelation with the
// unscaled sum of squares as denominator, 0.0 when that sum is at or below
// epsilon.
double autocorrelation_at_lag(std::optional<std::uint64_t> lag, std::span<const double> x);

// Sum of squared autocorrelations at lags first..last (a NaN term gives NaN;
// an empty range gives 0.0).
double acf_sum_of_squares(std::uint64_t first, std::uint64_t last, std::span<const double> x);

// NaN for n < 2; otherwise the lag-1 autocorrelation as above.
double lag1_autocorrelation(std::span<const double> x);

std::vector<double> first_differences(std::span<const double> x);

// Largest |v[i] - v[i + w]| over i = first..last (NaN terms skipped), from 0.0.
double max_shift(std::size_t first, std::size_t last, std::span<const double> v, std::size_t w);

// Number of i with (x[i] <= t) != (x[i + 1] <= t).
std::size_t count_level_crossings(std::span<const double> x, double t);

}  // namespace qm
