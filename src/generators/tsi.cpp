#include "generators/tsi.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>
#include <numbers>

#include "fault.hpp"
#include "generators/scenario.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr int kTsiAttempts = 8;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

double log_range_draw(Mt64& rng, double lo, double hi) {
    return lo >= hi ? lo : std::exp(sample_uniform(rng, std::log(lo), std::log(hi)));
}

// x_t = t / D with D = max(n - 1, 1).
struct Grid {
    double d;
    double at(std::size_t t) const { return static_cast<double>(t) / d; }
};

void piecewise_trend(Mt64& rng, std::span<double> trend, const TsiParams& p, double b, const Grid& x) {
    const int32_t k = int_range_draw(rng, p.knots_lo, p.knots_hi);
    const int64_t interior = std::max<int64_t>(1, k);
    if (interior > kTsiMaxKnots)
        fault("tsi: at most " + std::to_string(kTsiMaxKnots) + " trend knots, got " + std::to_string(interior));
    const auto count = static_cast<std::size_t>(interior);
    std::vector<double> knots(count + 2);
    knots[0] = 0.0;
    for (std::size_t j = 1; j <= count; ++j) knots[j] = uniform01_52(rng) * 0.8 + 0.1;
    std::sort(knots.begin() + 1, knots.begin() + 1 + static_cast<std::ptrdiff_t>(count));
    knots[count + 1] = 1.0;
    std::vector<double> levels(count + 2);
    const double mag = std::fabs(b);
    for (double& v : levels) v = range_draw(rng, -mag, mag);

    // x_t grows with t, so the segment only moves forward.
    std::size_t j = 1;
    for (std::size_t t = 0; t < trend.size(); ++t) {
        const double xt = x.at(t);
        while (j < count + 1 && !(knots[j] >= xt)) ++j;
        const double k0 = knots[j - 1], k1 = knots[j];
        const double v0 = levels[j - 1], v1 = levels[j];
        trend[t] = k0 < k1 ? v0 + ((xt - k0) * (v1 - v0)) / (k1 - k0) : v0;
    }
}

void draw_trend(Mt64& rng, std::span<double> trend, const TsiParams& p, int32_t code, double a, double b,
                const Grid& x) {
    const std::size_t n = trend.size();
    switch (code) {
        case 1:
            for (std::size_t t = 0; t < n; ++t) trend[t] = x.at(t) * b;
            break;
        case 2: {
            double c = range_draw(rng, p.rate_lo, p.rate_hi);
            if (uniform01(rng) < 0.5) c = -c;
            const double den = std::exp(c) - 1.0;
            for (std::size_t t = 0; t < n; ++t) trend[t] = ((std::exp(x.at(t) * c) - 1.0) * b) / den;
            break;
        }
        case 3: {
            const double k = sample_uniform(rng, 5.0, 15.0);
            const double m = sample_uniform(rng, 0.25, 0.75);
            auto sigmoid = [&](double v) { return 1.0 / (1.0 + std::exp((v - m) * (-k))); };
            const double s0 = sigmoid(0.0);
            const double den = (sigmoid(x.at(n - 1)) - s0) + 1e-12;
            for (std::size_t t = 0; t < n; ++t) trend[t] = ((sigmoid(x.at(t)) - s0) * b) / den;
            break;
        }
        case 4:
            piecewise_trend(rng, trend, p, b, x);
            break;
        case 5: {
            const double r = sample_uniform(rng, 0.15, 0.5);
            for (std::size_t t = 0; t < n; ++t)
                trend[t] = (1.0 - std::exp((-static_cast<double>(t) / x.d) / r)) * b;
            break;
        }
        default:
            std::fill(trend.begin(), trend.end(), 0.0);
    }
    for (double& v : trend) v = v + a;
}

void add_component(Mt64& rng, std::span<double> seasonal, const TsiParams& p, std::span<const double> periods) {
    const std::size_t n = seasonal.size();
    const double period = periods[pick(rng, periods.size(), "tsi")];
    const double amp = log_range_draw(rng, p.amplitude_lo, p.amplitude_hi);
    const double phase = uniform01_52(rng) * kTwoPi + 0.0;
    const double h = uniform01(rng);
    const double w = uniform01(rng);
    const bool harmonics = h < p.harmonics_prob;
    const bool modulated = w < p.modulation_prob;
    double mod_period = 0.0, depth = 0.0, mod_phase = 0.0;
    if (modulated) {
        mod_period = (uniform01_52(rng) * 1.2 + 0.3) * static_cast<double>(n);
        depth = uniform01_52(rng) * 0.5 + 0.3;
        mod_phase = uniform01_52(rng) * kTwoPi + 0.0;
    }
    for (std::size_t t = 0; t < n; ++t) {
        const double tt = static_cast<double>(t);
        const double theta = (tt * kTwoPi) / period + phase;
        double base = std::sin(theta) * amp;
        if (harmonics)
            base = (std::sin(3.0 * theta) * 0.2 + std::sin(2.0 * theta) * 0.4) * amp + std::sin(theta) * amp;
        if (modulated) base = base * (std::sin((tt * kTwoPi) / mod_period + mod_phase) * depth + 1.0);
        seasonal[t] = seasonal[t] + base;
    }
}

// Y = T + S, or the multiplicative composition; written over `trend`.
void compose(Mt64& rng, std::span<double> trend, std::span<const double> seasonal, const TsiParams& p) {
    const bool flat = std::all_of(seasonal.begin(), seasonal.end(), [](double v) { return v == 0.0; });
    if (!flat && p.multiplicative_prob > uniform01(rng)) {
        double lo = std::numeric_limits<double>::infinity();
        double max_t = 0.0, max_s = 0.0;
        for (double v : trend) {
            lo = std::fmin(lo, v);
            max_t = std::fmax(max_t, std::fabs(v));
        }
        for (double v : seasonal) max_s = std::fmax(max_s, std::fabs(v));
        const double c0 = lo > 0.0 ? 0.0 : (max_t + 1.0) * 0.1 - lo;
        const double g = std::fmax(1.0, 1.25 * max_s);
        for (std::size_t t = 0; t < trend.size(); ++t) trend[t] = (seasonal[t] / g + 1.0) * (trend[t] + c0);
        return;
    }
    for (std::size_t t = 0; t < trend.size(); ++t) trend[t] = trend[t] + seasonal[t];
}

// The irregular part, written into `e` (all +0.0 unless sigma > 0).
void draw_irregular(Mt64& rng, std::span<double> e, const TsiParams& p, int32_t code, double sigma) {
    std::fill(e.begin(), e.end(), 0.0);
    if (!(sigma > 0.0)) return;
    const std::size_t n = e.size();
    switch (code) {
        case 1: {
            const double rho = range_draw(rng, p.ar_lo, p.ar_hi);
            e[0] = sample_normal(rng, 0.0, sigma);
            const double sigma1 = sigma * std::sqrt(std::fmax(1.0 - rho * rho, 0.0));
            for (std::size_t t = 1; t < n; ++t) e[t] = rho * e[t - 1] + sample_normal(rng, 0.0, sigma1);
            break;
        }
        case 2: {
            double alpha = sample_uniform(rng, 0.05, 0.25);
            double beta = sample_uniform(rng, 0.5, 0.9);
            if (alpha + beta > 0.98) {
                const double r = 0.98 / (alpha + beta);
                alpha = alpha * r;
                beta = beta * r;
            }
            const double var = sigma * sigma;
            const double omega = ((1.0 - alpha) - beta) * var;
            double h = var;
            for (double& v : e) {
                v = std::sqrt(h) * (standard_normal(rng) + 0.0);
                h = h * beta + ((alpha * v) * v + omega);
            }
            break;
        }
        case 3: {
            const double nu = range_draw(rng, p.df_lo, p.df_hi);
            fill_innovations(rng, kInnovStudentT, sigma, nu, e);
            break;
        }
        case 4:
            fill_innovations(rng, kInnovLaplace, sigma, 0.0, e);
            break;
        default:
            for (double& v : e) v = sample_normal(rng, 0.0, sigma);
    }
}

}  // namespace

void gen_tsi(std::span<double> out, uint64_t seed, const TsiParams& p, std::span<const double> trend_pool,
             std::span<const double> period_pool, std::span<const double> irregular_pool) {
    const std::size_t n = out.size();
    if (n == 0) return;
    if (trend_pool.empty()) fault("tsi: trend type pool is empty");
    if (period_pool.empty()) fault("tsi: seasonal period pool is empty");
    if (irregular_pool.empty()) fault("tsi: irregular type pool is empty");
    Mt64 rng(seed);

    check_allocation(n, 2 * sizeof(double));
    std::vector<double> trend(n);     // T, then Y
    std::vector<double> seasonal(n);  // S, then the irregular part
    const Grid x{static_cast<double>(std::max<std::size_t>(n - 1, 1))};

    for (int attempt = 0; attempt < kTsiAttempts; ++attempt) {
        const int32_t trend_code = slot_i32(trend_pool[pick(rng, trend_pool.size(), "tsi")]);
        const double a = range_draw(rng, p.offset_lo, p.offset_hi);
        const double b = range_draw(rng, p.magnitude_lo, p.magnitude_hi);
        draw_trend(rng, trend, p, trend_code, a, b, x);

        std::fill(seasonal.begin(), seasonal.end(), 0.0);
        const int32_t components = int_range_draw(rng, p.components_lo, p.components_hi);
        for (int32_t c = 0; c < components; ++c) {
            // Refused where the work passes the cap, so the first components'
            // own faults still come first.
            if (c == kTsiMaxComponents)
                fault("tsi: at most " + std::to_string(kTsiMaxComponents) + " seasonal components, got " +
                      std::to_string(components));
            add_component(rng, seasonal, p, period_pool);
        }

        compose(rng, trend, seasonal, p);
        double sd = n == 1 ? 0.0 : spread(trend);
        if (sd < 1e-9) sd = 1.0;

        const double level = log_range_draw(rng, p.noise_lo, p.noise_hi);
        const int32_t irregular_code = slot_i32(irregular_pool[pick(rng, irregular_pool.size(), "tsi")]);
        draw_irregular(rng, seasonal, p, irregular_code, sd * level);

        const double q = log_range_draw(rng, p.scale_lo, p.scale_hi);
        for (std::size_t t = 0; t < n; ++t) out[t] = (trend[t] + seasonal[t]) * q;
        if (acceptable(out, true)) return;
    }
    for (double& v : out) v = standard_normal(rng) + 0.0;
}

}  // namespace qm
