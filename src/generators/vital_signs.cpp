#include "generators/vital_signs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>
#include <numbers>

#include "clamp.hpp"
#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Fills e (zeroed here) with random events: at each sample one uniform
// decides whether an event starts; an event draws its kind, its duration
// (5..29 samples, cut at the end of the series) and its magnitude.
void fill_events(Mt64& rng, std::span<double> e, double probability) {
    std::fill(e.begin(), e.end(), 0.0);
    const int64_t n = static_cast<int64_t>(e.size());
    for (int64_t t = 0; t < n; ++t) {
        if (!(probability > uniform01(rng))) continue;
        const int32_t kind = sample_int_range(rng, 0, 3);
        const int32_t duration = sample_int_range(rng, 5, 30);
        const int64_t end = std::min(t + duration, n);
        double* window = e.data() + t;
        switch (kind) {
            case 0: {  // half sine over the window, 0 at its first sample
                const double a = sample_uniform(rng, 0.5, 2.0);
                const double len = static_cast<double>(end - t);
                for (int64_t k = 0; k < end - t; ++k) window[k] += std::sin((static_cast<double>(k) * kPi) / len) * a;
                break;
            }
            case 1: {  // a constant drop over the window
                const double a = sample_uniform(rng, -1.5, -0.5);
                for (int64_t k = 0; k < end - t; ++k) window[k] += a;
                break;
            }
            default: {  // a spike at the start
                window[0] += sample_uniform(rng, 1.0, 3.0);
                break;
            }
        }
    }
}

}  // namespace

void gen_vital_signs(std::span<double> out, uint64_t seed, const VitalSignsParams& p) {
    const double sigma = p.baseline_std;
    const std::size_t n = out.size();
    const int32_t type = p.vital_sign_type;
    // The event series' buffer, taken before the first draw so that a series
    // too long for memory fails at once, not after every earlier draw.
    std::vector<double> events(p.include_events || type >= 1 ? n : 0);
    Mt64 rng(seed);

    const double offset = sample_normal(rng, 0.0, 0.3 * sigma);
    if (n == 0) fault("vital_signs: empty series (no value at index 0)");
    const double s2 = 0.05 * sigma;
    const double baseline = p.baseline_mean + offset;

    // Drift: a random walk shifted to start at 0, on the individual baseline.
    double w = 0.0;
    for (double& v : out) {
        w = w + sample_normal(rng, 0.0, s2);
        v = w;
    }
    const double d0 = out[0];
    for (double& v : out) v = (v - d0) + baseline;

    if (p.include_circadian) {
        for (std::size_t t = 0; t < n; ++t) {
            const double theta = (static_cast<double>(t) * kTwoPi) / 1440.0;
            out[t] = out[t] + (std::sin(theta + theta) * 0.3 + std::sin(theta + (-(std::numbers::pi / 2.0)))) *
                                  p.circadian_magnitude;
        }
    }

    if (p.include_hrv && p.vital_sign_type < 3) {
        const double phase_a = sample_uniform(rng, 0.0, kTwoPi);
        const double phase_b = sample_uniform(rng, 0.0, kTwoPi);
        const double h = 0.5 * sigma;
        for (std::size_t t = 0; t < n; ++t) {
            const double z = standard_normal(rng);
            const double tau = static_cast<double>(t);
            const double a =
                0.3 * std::sin(tau * 7.539822368615504) + 0.4 * std::sin(tau * 37.69911184307752 + phase_a);
            out[t] = out[t] + (0.2 * z + (a + 0.3 * std::sin(tau * 94.24777960769379 + phase_b))) * h;
        }
    }

    if (p.include_events) {
        fill_events(rng, events, p.event_probability);
        for (std::size_t t = 0; t < n; ++t) out[t] = out[t] + events[t] * sigma;
    }

    // The type's own events continue the same engine, whatever include_events says.
    if (type >= 1) {
        fill_events(rng, events, p.event_probability);
        if (type <= 3) {
            const double weight = type == 1 ? 0.3 : type == 2 ? 0.2 : 0.15;
            for (std::size_t t = 0; t < n; ++t) out[t] = out[t] + (8.0 * events[t]) * weight;
        } else if (type == 4) {
            for (std::size_t t = 0; t < n; ++t) out[t] = out[t] + std::fmax(8.0 * events[t], 0.0) * -0.05;
        }
    }

    const double s3 = 0.2 * sigma;
    for (double& v : out) v = sample_normal(rng, 0.0, s3) + v;

    const double lo = p.min_val;
    const double hi = p.max_val;
    if (!(lo <= hi)) fault("vital_signs: min_val must be <= max_val and neither may be NaN");
    for (double& v : out) v = clamp_nan_passes(v, lo, hi);
}

}  // namespace qm
