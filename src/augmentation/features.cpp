#include "augmentation/features.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <numeric>
#include <optional>
#include <string>

#include "augmentation/fft_plan_cache.hpp"
#include "clamp.hpp"
#include "batch/pool.hpp"
#include "fault.hpp"
#include "generators/mar.hpp"

namespace qm {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double sum_of(std::span<const double> x) {
    double s = 0.0;
    for (double v : x) s += v;
    return s;
}

double mean_of(std::span<const double> x) { return sum_of(x) / static_cast<double>(x.size()); }

bool all_finite(std::span<const double> x) {
    for (double v : x) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// 1 - var(residual) / var(signal + residual), 0.0 when the denominator is zero.
double strength(std::span<const double> signal, std::span<const double> residual) {
    const std::size_t len = std::min(signal.size(), residual.size());
    std::vector<double> sum(len);
    for (std::size_t i = 0; i < len; ++i) sum[i] = signal[i] + residual[i];
    const double denom = population_variance(sum);
    if (!(denom > kFeatureEpsilon)) return 0.0;
    return clamp_nan_passes(1.0 - population_variance(residual) / denom, 0.0, 1.0);
}

// Normalised Shannon entropy of the power spectrum of the demeaned series,
// the zero-frequency bin left out.
double spectral_entropy(std::span<const double> x) {
    const std::size_t n = x.size();
    const double mu = mean_of(x);
    std::vector<double> c(n);
    for (std::size_t i = 0; i < n; ++i) c[i] = x[i] - mu;
    if (n < 4 || population_variance(c) <= kFeatureEpsilon) return 0.0;

    std::shared_ptr<const RealFftPlan> plan = get_or_build_plan(fft_plan_cache(), n);
    const std::size_t h = n / 2;
    std::vector<std::complex<double>> spectrum(h + 1);
    real_fft_forward(*plan, c, spectrum);
    plan.reset();

    std::vector<double> power(h + 1, 0.0);
    double total = 0.0;
    for (std::size_t k = 1; k <= h; ++k) {
        const double re = spectrum[k].real();
        const double im = spectrum[k].imag();
        power[k] = re * re + im * im;
        total += power[k];
    }
    if (total <= kFeatureEpsilon) return 0.0;
    double entropy = 0.0;
    for (std::size_t k = 1; k <= h; ++k) {
        if (power[k] > 0.0) {
            const double q = power[k] / total;
            entropy = entropy - std::log(q) * q;
        }
    }
    return clamp_nan_passes(entropy / std::log(static_cast<double>(h)), 0.0, 1.0);
}

// Lag-1 autocorrelation of x, both moments divided by n; nothing when the
// variance is at or below kFeatureEpsilon.
std::optional<double> lag1_ratio(std::span<const double> x) {
    const double n = static_cast<double>(x.size());
    const double mu = mean_of(x);
    const double var = population_variance(x);
    if (var <= kFeatureEpsilon) return std::nullopt;
    double cov = 0.0;
    for (std::size_t i = 0; i + 1 < x.size(); ++i) cov += (x[i + 1] - mu) * (x[i] - mu);
    return (cov / n) / var;
}

// The acf1 feature of the raw series. Whether a small variance is rounding
// noise (a constant 0.1, whose mean is not exactly 0.1) or a real change
// depends on the series' own scale: a series whose largest magnitude is
// below 1 is judged (and computed) after a power-of-two scaling that brings
// that magnitude into [1, 2). The scaling is exact, so 1e-8 * (0, 1, 2, 3,
// 2, 1) keeps the value of (0, 1, 2, 3, 2, 1), even where the unscaled
// squares would underflow, while a tiny constant still gives 0.0. Where the
// unscaled variance is above kFeatureEpsilon nothing is rescaled.
double series_acf1(std::span<const double> x) {
    if (std::optional<double> r = lag1_ratio(x)) return *r;
    double scale = 0.0;
    for (double v : x) scale = std::max(scale, std::fabs(v));
    if (scale == 0.0 || scale >= 1.0) return 0.0;
    const int shift = -std::ilogb(scale);  // also right for subnormal magnitudes
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = std::ldexp(x[i], shift);
    return lag1_ratio(y).value_or(0.0);
}

void check_decomposition_matches(std::size_t n, const Decomposition& d) {
    if (d.trend.size() != n || d.seasonal.size() != n || d.residual.size() != n) {
        fault("spectral features: decomposition length does not match the series");
    }
}

// Median of x (n >= 1): the element of rank n / 2, averaged with the one
// ranked just below it for even n.
double median_of(std::span<const double> x) {
    std::vector<double> work(x.begin(), x.end());
    const std::size_t k = work.size() / 2;
    std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(k), work.end());
    const double upper = work[k];
    if (work.size() % 2 == 1) return upper;
    const double lower = *std::max_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(k));
    return (upper + lower) * 0.5;
}

// Scaled by the largest magnitude first so that squaring cannot overflow,
// then centred and divided by the standard deviation; zeros when the series
// has no spread.
std::vector<double> standardise(std::span<const double> x) {
    const std::size_t n = x.size();
    std::vector<double> z(n, 0.0);
    double scale = 0.0;
    for (double v : x) scale = std::max(scale, std::fabs(v));
    if (scale == 0.0) return z;
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = x[i] / scale;
    const double m = mean_of(y);
    const double v = population_variance(y);
    if (v == 0.0) return z;
    const double sd = std::sqrt(v);
    for (std::size_t i = 0; i < n; ++i) z[i] = (y[i] - m) / sd;
    return z;
}

// Variance of the residual's leave-one-out variances.
double spikiness(std::span<const double> residual) {
    const std::size_t n = residual.size();
    const double c = mean_of(residual);
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = residual[i] - c;
    double s = 0.0;
    for (double v : d) s += v * v;
    const double nf = static_cast<double>(n);
    const double nm1 = static_cast<double>(n - 1);
    std::vector<double> loo(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = (s - (d[i] * (nf / nm1)) * d[i]) / nm1;
        loo[i] = v > 0.0 ? v : 0.0;  // NaN gives 0 too
    }
    return population_variance(loo);
}

// Lumpiness and the largest level and variance shifts over windows of w
// values (w <= n / 2).
void window_features(std::span<const double> z, std::size_t w, FeatureSetRow& row) {
    const std::size_t n = z.size();
    const std::size_t tiles = n / w;
    std::vector<double> tile_var(tiles);
    for (std::size_t k = 0; k < tiles; ++k) tile_var[k] = population_variance(z.subspan(k * w, w));
    row[feature_slot::lumpiness] = population_variance(tile_var);

    const std::size_t windows = n - w + 1;
    const double wf = static_cast<double>(w);
    std::vector<double> mean(windows);
    std::vector<double> var(windows);
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t i = 0; i < w; ++i) {
        s1 += z[i];
        s2 += z[i] * z[i];
    }
    for (std::size_t i = 0; i < windows; ++i) {
        if (i > 0) {
            const double in = z[i + w - 1];
            const double out = z[i - 1];
            s1 = s1 + (in - out);
            s2 = s2 + (in * in - out * out);
        }
        mean[i] = s1 / wf;
        const double v = s2 / wf - mean[i] * mean[i];
        var[i] = v > 0.0 ? v : 0.0;  // NaN gives 0 too
    }
    row[feature_slot::max_level_shift] = max_shift(0, n - 2 * w, mean, w);
    row[feature_slot::max_variance_shift] = max_shift(0, n - 2 * w, var, w);
}

}  // namespace

// ---------------------------------------------------------------------------
// Small statistics

double population_variance(std::span<const double> x) {
    if (x.empty()) return kNaN;
    const double m = mean_of(x);
    double s = 0.0;
    for (double v : x) {
        const double d = v - m;
        s += d * d;
    }
    return s / static_cast<double>(x.size());
}

double autocorrelation_at_lag(std::optional<std::uint64_t> lag, std::span<const double> x) {
    if (!lag) return 0.0;
    const std::size_t n = x.size();
    if (*lag >= n) return kNaN;
    const std::size_t l = static_cast<std::size_t>(*lag);
    const double m = mean_of(x);
    double s = 0.0;
    for (double v : x) {
        const double d = v - m;
        s += d * d;
    }
    if (s <= kFeatureEpsilon) return 0.0;
    double num = 0.0;
    for (std::size_t i = 0; i + l < n; ++i) num += (x[i + l] - m) * (x[i] - m);
    return num / s;
}

double acf_sum_of_squares(std::uint64_t first, std::uint64_t last, std::span<const double> x) {
    constexpr std::uint64_t kSideBySide = 16;
    const std::size_t n = x.size();
    if (last < first || last - first >= kSideBySide || first == 0 || first >= n) {
        double total = 0.0;
        for (std::uint64_t lag = first; lag <= last; ++lag) {
            const double r = autocorrelation_at_lag(lag, x);
            total += r * r;
            if (lag == std::numeric_limits<std::uint64_t>::max()) break;
        }
        return total;
    }
    // The same sums as autocorrelation_at_lag for each lag, each still added in
    // index order, but the mean and the denominator are formed once and the
    // lags' products accumulate side by side (independent chains instead of
    // one long one per lag).
    const std::size_t k = static_cast<std::size_t>(last - first + 1);
    const double m = mean_of(x);
    std::vector<double> d(n);
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = x[i] - m;
        s += d[i] * d[i];
    }
    std::array<double, kSideBySide> num{};
    const std::size_t l0 = static_cast<std::size_t>(first);
    for (std::size_t i = 0; i + l0 < n; ++i) {
        const std::size_t lags = std::min(k, n - l0 - i);
        for (std::size_t j = 0; j < lags; ++j) num[j] += d[i + l0 + j] * d[i];
    }
    double total = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const double r = l0 + j >= n ? kNaN : (s <= kFeatureEpsilon ? 0.0 : num[j] / s);
        total += r * r;
    }
    return total;
}

double lag1_autocorrelation(std::span<const double> x) {
    if (x.size() < 2) return kNaN;
    return autocorrelation_at_lag(1, x);
}

std::vector<double> first_differences(std::span<const double> x) {
    if (x.size() < 2) return {};
    std::vector<double> d(x.size() - 1);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) d[i] = x[i + 1] - x[i];
    return d;
}

double max_shift(std::size_t first, std::size_t last, std::span<const double> v, std::size_t w) {
    double best = 0.0;
    for (std::size_t i = first; i <= last; ++i) {
        const double d = std::fabs(v[i] - v[i + w]);
        if (d > best) best = d;  // NaN never wins
    }
    return best;
}

std::size_t count_level_crossings(std::span<const double> x, double t) {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        if ((x[i] <= t) != (x[i + 1] <= t)) ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// Cores

SpectralFeatures spectral_features(std::span<const double> values,
                                   std::optional<std::uint64_t> period,
                                   const Decomposition& decomposition) {
    const std::size_t n = values.size();
    check_decomposition_matches(n, decomposition);
    SpectralFeatures f;

    f.trend_strength = strength(decomposition.trend, decomposition.residual);

    const bool period_usable = period && *period <= n / 2;
    const bool has_seasonal = std::any_of(decomposition.seasonal.begin(), decomposition.seasonal.end(),
                                          [](double s) { return s != 0.0; });
    f.seasonal_strength =
        period_usable && has_seasonal ? strength(decomposition.seasonal, decomposition.residual) : 0.0;

    f.acf1 = series_acf1(values);
    f.spectral_entropy = spectral_entropy(values);
    return f;
}

SpectralFeatures compute_features_core(std::span<const double> values,
                                       std::optional<std::uint64_t> period) {
    const Decomposition d = classical_decompose_core(values, period);  // checks the values and period
    return spectral_features(values, period, d);
}

FeatureSetRow compute_feature_set_core(std::span<const double> values,
                                       std::optional<std::uint64_t> period,
                                       std::optional<std::uint64_t> window_size) {
    const std::size_t n = values.size();
    if (n == 0 || !all_finite(values)) value_error("values must be non-empty and finite");
    if (period && *period < 2) value_error("period must be >= 2 when provided");
    if (window_size && *window_size < 2) value_error("window_size must be >= 2 when provided");

    FeatureSetRow row;
    row.fill(kNaN);
    if (n < 3) return row;

    const std::vector<double> z = standardise(values);
    const Decomposition d = classical_decompose_core(z, period);
    const SpectralFeatures f = spectral_features(z, period, d);
    const bool masked = period && *period > n / 2;

    row[feature_slot::spectral_entropy] = f.spectral_entropy;
    if (!masked) {
        row[feature_slot::trend_strength] = f.trend_strength;
        row[feature_slot::seasonal_strength] = f.seasonal_strength;
    }
    row[feature_slot::acf1] = f.acf1;
    if (n >= 11) row[feature_slot::acf10_sum_sq] = acf_sum_of_squares(1, 10, z);
    row[feature_slot::diff1_acf1] = lag1_autocorrelation(first_differences(z));
    row[feature_slot::seasonal_acf] = autocorrelation_at_lag(period, z);
    if (!masked) row[feature_slot::spikiness] = spikiness(d.residual);

    const std::uint64_t w = window_size ? *window_size : (period ? *period : 10);
    if (w <= n / 2) window_features(z, static_cast<std::size_t>(w), row);

    row[feature_slot::crossing_points] = static_cast<double>(count_level_crossings(z, median_of(z)));
    return row;
}

std::vector<double> compute_feature_set_batch_core(std::span<const double> values,
                                                   std::span<const std::uint64_t> offsets,
                                                   std::optional<std::uint64_t> period,
                                                   std::optional<std::uint64_t> window_size,
                                                   ThreadPool& pool) {
    bool ok = offsets.size() >= 2 && offsets.front() == 0 && offsets.back() == values.size();
    for (std::size_t i = 1; ok && i < offsets.size(); ++i) ok = offsets[i] > offsets[i - 1];
    if (!ok) value_error("offsets must increase strictly from 0 to len(values)");

    const std::size_t n_series = offsets.size() - 1;
    std::vector<std::size_t> order(n_series);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Short series first; the order decides only which series start first.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return offsets[a + 1] - offsets[a] < offsets[b + 1] - offsets[b];
    });

    std::vector<double> out(n_series * kFeatureSetSize, 0.0);
    run_parallel_on(pool, n_series, [&](std::size_t j) {
        const std::size_t i = order[j];
        const std::size_t begin = static_cast<std::size_t>(offsets[i]);
        const std::size_t len = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
        const FeatureSetRow row = compute_feature_set_core(values.subspan(begin, len), period, window_size);
        std::copy(row.begin(), row.end(), out.begin() + static_cast<std::ptrdiff_t>(i * kFeatureSetSize));
    });
    return out;
}

std::vector<double> compute_feature_set_batch(std::span<const double> values,
                                              std::span<const std::int64_t> offsets,
                                              std::optional<std::uint64_t> period,
                                              std::optional<std::uint64_t> window_size,
                                              std::uint64_t n_workers) {
    std::vector<std::uint64_t> bounds(offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] < 0) value_error("offsets must be non-negative");
        bounds[i] = static_cast<std::uint64_t>(offsets[i]);
    }
    if (n_workers == 0) {
        return compute_feature_set_batch_core(values, bounds, period, window_size, default_pool());
    }
    std::shared_ptr<ThreadPool> pool = batch_thread_pool(n_workers);
    return compute_feature_set_batch_core(values, bounds, period, window_size, *pool);
}

namespace {

// One candidate's draws in length order; nullopt at its first failing draw.
MarCandidateFeatures mar_candidate_features(std::span<const double> scalars,
                                            std::span<const std::vector<double>> arrays,
                                            std::span<const std::uint64_t> lengths,
                                            std::span<const std::uint64_t> seeds,
                                            std::optional<std::uint64_t> period) {
    std::vector<SpectralFeatures> records;
    records.reserve(lengths.size());
    std::vector<double> buffer;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        buffer.assign(static_cast<std::size_t>(lengths[k]), 0.0);
        try {
            gen_mar(buffer, seeds[k], mar_params(scalars), arrays);
            records.push_back(compute_features_core(buffer, period));
        } catch (const ValueError&) {
            return std::nullopt;
        }
    }
    return records;
}

}  // namespace

std::vector<MarCandidateFeatures> mar_features_batch(std::span<const std::vector<double>> scalars,
                                                     std::span<const std::vector<std::vector<double>>> arrays,
                                                     std::span<const std::uint64_t> lengths,
                                                     std::span<const std::vector<std::uint64_t>> seeds,
                                                     std::optional<std::uint64_t> period,
                                                     std::uint64_t n_workers) {
    const char* invalid = "invalid MAR feature batch dimensions or lengths";
    if (scalars.size() != arrays.size() || scalars.size() != seeds.size()) value_error(invalid);
    if (lengths.empty()) value_error(invalid);
    for (std::uint64_t len : lengths) {
        if (len < 3 || len > 1000000) value_error(invalid);
    }
    for (const auto& s : seeds) {
        if (s.size() != lengths.size()) value_error(invalid);
    }
    return map_parallel(scalars.size(), n_workers, [&](std::size_t c) {
        return mar_candidate_features(scalars[c], arrays[c], lengths, seeds[c], period);
    });
}

}  // namespace qm
