#include "generators/clickstream.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "clamp.hpp"
#include "fault.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

// Hour-of-day weights 3, 2, 1.5, 1, 1, 1.5, 3, 5, 7, 9, 10, 11, 10, 9.5, 9,
// 8.5, 9, 10, 11, 12, 13, 12, 9, 5 over their mean 173/24, as stored values.
constexpr std::array<double, 24> kHourly{
    0.41618497109826597, 0.277456647398844,  0.20809248554913298, 0.138728323699422,  0.138728323699422,
    0.20809248554913298, 0.41618497109826597, 0.6936416184971099, 0.9710982658959538, 1.248554913294798,
    1.3872832369942198,  1.526011560693642,  1.3872832369942198,  1.317919075144509,  1.248554913294798,
    1.1791907514450868,  1.248554913294798,  1.3872832369942198,  1.526011560693642,  1.6647398843930639,
    1.803468208092486,   1.6647398843930639, 1.248554913294798,   0.6936416184971099,
};

// Weekday weights 0.9, 1, 1, 1, 1.1, 1.2, 1.1 over their mean 7.3/7.
constexpr std::array<double, 7> kWeekday{
    0.863013698630137, 0.958904109589041,  0.958904109589041,  0.958904109589041,
    1.0547945205479452, 1.1506849315068493, 1.0547945205479452,
};


}  // namespace

int32_t sample_negative_binomial(Mt64& rng, double r, double p) {
    const double theta = (1.0 - p) / p;
    if (!(r > 0.0) || !(theta > 0.0))
        fault("invalid negative binomial params: r > 0 and p in (0, 1): ScaleTooSmall");
    const double lambda = gamma_law(rng, r, theta);
    if (lambda <= 0.0) return 0;
    if (!std::isfinite(lambda)) fault("negative binomial: gamma sample produced invalid lambda: NonFinite");
    if (lambda > 1.844e19) fault("negative binomial: gamma sample produced invalid lambda: ShapeTooLarge");
    return saturate_to_i32(poisson_law(rng, lambda));
}

void gen_clickstream(std::span<double> out, uint64_t seed, const ClickstreamParams& p) {
    Mt64 rng(seed);
    const double drift = sample_uniform(rng, -0.0005, 0.001);
    if (out.empty()) fault("clickstream: empty series (no value at index 0)");
    const std::size_t n = out.size();
    const int32_t n32 = static_cast<int32_t>(std::min<std::size_t>(n, INT32_MAX));

    // Trend, then growth relative to its first value.
    std::vector<double> growth(n);
    double level = 0.0;
    for (double& g : growth) {
        level = level + ((standard_normal(rng) * 0.002 + 0.0) + drift);
        g = level;
    }
    const double first = growth[0];
    for (double& g : growth) g = std::exp(g - first);

    std::vector<int32_t> sessions(n);
    for (std::size_t t = 0; t < n; ++t) {
        double factor = 1.0;
        if (p.include_seasonality)
            factor = ((kHourly[t % 24] * kWeekday[(t / 24) % 7]) + (-1.0)) * p.seasonality_amp + 1.0;
        sessions[t] = sample_poisson(rng, std::fmax((factor * p.base_sessions) * growth[t], 0.1));
    }

    std::vector<double> bots;
    if (p.include_bots) {
        bots.resize(n);
        for (std::size_t t = 0; t < n; ++t) {
            const double mean = (static_cast<double>(sessions[t]) * p.bot_fraction) / (1.0 - p.bot_fraction);
            bots[t] = (uniform01(rng) * 0.4 + 0.8) * mean;
        }
        const int32_t max_bursts = std::max(n32 / 100, 1);
        const int32_t bursts = sample_int_range(rng, 0, max_bursts + 1);
        for (int32_t b = 0; b < bursts; ++b) {
            const int64_t start = sample_int_range(rng, 0, n32);
            const int64_t len = sample_int_range(rng, 1, 6);
            const double f = sample_uniform(rng, 2.0, 10.0);
            const int64_t end = std::min<int64_t>(start + len, static_cast<int64_t>(n));
            for (int64_t j = start; j < end; ++j) bots[static_cast<std::size_t>(j)] *= f;
        }
    }

    const double p_bounce = clamp_nan_passes(p.bounce_rate * p.bounce_mult, 0.0, 1.0);
    const double p_convert = clamp_nan_passes(p.conversion_rate * p.conversion_mult, 0.0, 1.0);
    const double depth_p = 1.0 / (p.avg_session_depth * p.depth_mult);

    for (std::size_t t = 0; t < n; ++t) {
        const int32_t s = sessions[t];
        const double bot = p.include_bots ? bots[t] : 0.0;
        // Integer sums in 64 bits: a saturated bot count plus sessions passes 2^31.
        const int64_t total = static_cast<int64_t>(s) + saturate_to_i32(bot);
        const uint64_t bounces = sample_binomial(rng, s, p_bounce);
        const int32_t kept = static_cast<int32_t>(static_cast<int64_t>(s) - static_cast<int64_t>(bounces));
        int64_t pages = 0;
        if (kept > 0) pages = static_cast<int64_t>(kept) + sample_negative_binomial(rng, kept, depth_p);
        const double bot_pages = bot * 5.0;
        const uint64_t conversions = sample_binomial(rng, kept, p_convert);
        switch (p.output_type) {
            case 1:
                out[t] = static_cast<double>(pages + static_cast<int64_t>(bounces)) + bot_pages;
                break;
            case 2: out[t] = static_cast<double>(conversions); break;
            case 3:
                out[t] = total > 0 ? static_cast<double>(bounces) / static_cast<double>(total) : 0.0;
                break;
            default: out[t] = static_cast<double>(total); break;
        }
    }
}

}  // namespace qm
