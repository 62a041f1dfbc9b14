#include "generators/bounded.hpp"

#include <cmath>

#include "clamp.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kMeanLo = 1e-6;
constexpr double kMeanHi = 0.999999;
constexpr double kUnitLo = 1e-10;
constexpr double kUnitHi = 0.9999999999;
constexpr double kLogitCut = 500.0;

void beta_ar(std::span<double> out, Mt64& rng, const BoundedProcessParams& p, double width) {
    double m = p.initial_value;
    for (double& v : out) {
        const double mu = clamp_nan_passes(m * p.phi + p.omega, kMeanLo, kMeanHi);
        const double g1 = sample_gamma(rng, p.kappa * mu, 1.0);
        const double g2 = sample_gamma(rng, (1.0 - mu) * p.kappa, 1.0);
        const double sum = g2 + g1;
        double u;
        if (sum == 0.0) {
            // Both draws underflowed (tiny kappa): the beta's mass sits at the
            // two ends, the upper one with probability mu. 0/0 would be NaN.
            u = uniform01(rng) < mu ? kUnitHi : kUnitLo;
        } else {
            u = clamp_nan_passes(g1 / sum, kUnitLo, kUnitHi);
        }
        v = u * width + p.lower;
        m = u;
    }
}

void logit_ar(std::span<double> out, Mt64& rng, const BoundedProcessParams& p, double width) {
    const double c = clamp_nan_passes(p.initial_value, kUnitLo, kUnitHi);
    double y = std::log(c / (1.0 - c));
    for (double& v : out) {
        y = y * p.phi;
        y = standard_normal(rng) * p.sigma_param + y;
        const double yc = -kLogitCut > y ? -kLogitCut : y;
        const double e = std::exp(-yc);
        const double u = yc > kLogitCut ? 1.0 : 1.0 / (e + 1.0);
        v = u * width + p.lower;
    }
}

}  // namespace

void gen_bounded_process(std::span<double> out, uint64_t seed, const BoundedProcessParams& p) {
    Mt64 rng(seed);
    const double width = p.upper - p.lower;
    if (p.model_id == kBoundedBeta) {
        beta_ar(out, rng, p, width);
    } else {
        logit_ar(out, rng, p, width);
    }
}

}  // namespace qm
