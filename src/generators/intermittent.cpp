#include "generators/intermittent.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>
#include <numbers>

#include "clamp.hpp"
#include "fault.hpp"
#include "powi.hpp"
#include "rng/samplers.hpp"

namespace qm {

uint64_t sample_geometric(Mt64& rng, double p) {
    if (!(p > 0.0 && p <= 1.0)) fault("invalid geometric param: p must be in (0, 1]: InvalidProbability");
    if (p >= 2.0 / 3.0) {
        uint64_t failures = 0;
        while (uniform01(rng) > p) ++failures;
        return failures;
    }
    const double q = 1.0 - p;
    if (q == 1.0) return std::numeric_limits<uint64_t>::max();
    // Smallest k >= 1 with pi = q^(2^k) <= 1/2. A count is d whole blocks of
    // 2^k trials (each all failures with probability pi) plus a remainder m
    // taken by rejection against q^m.
    int k = 1;
    double pi = q * q;
    while (pi > 0.5) {
        pi = pi * pi;
        ++k;
    }
    uint64_t d = 0;
    while (uniform01(rng) < pi) ++d;
    const uint64_t mask = (uint64_t{1} << k) - 1;
    uint64_t m;
    for (;;) {
        m = next_u64(rng) & mask;
        const double w = m < (uint64_t{1} << 31) ? powi(q, static_cast<int32_t>(m))
                                                 : std::pow(q, static_cast<double>(m));
        if (uniform01(rng) < w) break;
    }
    return m + (d << k);
}

namespace {

void independent_flags(std::span<uint8_t> flags, Mt64& rng, double prob) {
    for (uint8_t& f : flags) f = sample_bernoulli(rng, prob);
}

void seasonal_flags(std::span<uint8_t> flags, Mt64& rng, const IntermittentDemandParams& p) {
    const int32_t period = p.seasonal_period;
    if (period == 0) fault("intermittent_demand: seasonal_period must not be 0 for the seasonal pattern");
    const double base = p.demand_probability;
    const double swing = p.seasonal_peak_prob - base;
    const double pd = static_cast<double>(period);
    for (std::size_t t = 0; t < flags.size(); ++t) {
        // t < 2^31, and t % -1 is 0 for t >= 0.
        const int32_t r = static_cast<int32_t>(t) % period;
        const double q = ((std::cos((static_cast<double>(r) * (2.0 * std::numbers::pi)) / pd) + 1.0) * swing) * 0.5 + base;
        const double pt = clamp_nan_passes(q, 0.0, 1.0);  // a NaN reaches the Bernoulli draw
        flags[t] = sample_bernoulli(rng, pt);
    }
}

void clustered_flags(std::span<uint8_t> flags, Mt64& rng, const IntermittentDemandParams& p) {
    const int64_t n = static_cast<int64_t>(flags.size());
    const int64_t cluster = p.cluster_size;
    int64_t pos = 0;
    while (pos < n) {
        // The gap is the draw's low 32 bits as a signed value. A negative one
        // (an unbounded draw among them) would move backwards: no more
        // clusters. A start at or past the end leaves nothing to flag.
        const int32_t gap = static_cast<int32_t>(static_cast<uint32_t>(sample_geometric(rng, p.demand_probability)));
        if (gap < 0) break;
        const int64_t start = pos + 1 + gap;
        if (start >= n) break;
        if (cluster > 0) {
            const int64_t end = std::min(start + cluster, n);
            std::fill(flags.begin() + start, flags.begin() + end, uint8_t{1});
            pos = end;
        } else {
            pos = start;
        }
    }
}

}  // namespace

void gen_intermittent_demand(std::span<double> out, uint64_t seed, const IntermittentDemandParams& p) {
    Mt64 rng(seed);
    if (out.empty()) return;
    std::vector<uint8_t> flags(out.size(), 0);
    switch (p.intermittent_pattern) {
        case kDemandIndependent: independent_flags(flags, rng, p.demand_probability); break;
        case kDemandClustered: clustered_flags(flags, rng, p); break;
        case kDemandSeasonal: seasonal_flags(flags, rng, p); break;
        default: break;
    }

    const double mu = p.demand_mean;
    const double s = p.demand_std;
    const double s2 = s * s;
    const int32_t law = p.demand_distribution;
    const bool mixture = law == kSizeNegBinomial && s2 > mu;
    double shape = 0.0, scale = 0.0;  // gamma of the mixture or of code 3
    double sigma_ln = 0.0, mean_ln = 0.0;
    if (mixture) {
        const double pr = mu / s2;
        shape = (mu * pr) / (1.0 - pr);
        scale = (1.0 - pr) / pr;
    } else if (law == kSizeGamma) {
        const double ratio = mu / s;
        shape = ratio * ratio;
        scale = s2 / mu;
    } else if (law == kSizeLognormal) {
        const double mu2 = mu * mu;
        sigma_ln = std::sqrt(std::log(s2 / mu2 + 1.0));
        mean_ln = std::log(mu2 / std::sqrt(mu2 + s2));
    }
    for (std::size_t t = 0; t < out.size(); ++t) {
        if (flags[t] == 0) {
            out[t] = 0.0;
            continue;
        }
        double x;
        if (mixture) {
            const double lambda = std::fmax(sample_gamma(rng, shape, scale), 0.0);
            x = static_cast<double>(sample_poisson(rng, lambda));
        } else if (law == kSizeGamma) {
            x = sample_gamma(rng, shape, scale);
        } else if (law == kSizeLognormal) {
            x = sample_lognormal(rng, mean_ln, sigma_ln);
        } else {
            x = static_cast<double>(sample_poisson(rng, mu));
        }
        out[t] = std::fmax(x, p.min_demand);
    }
}

}  // namespace qm
