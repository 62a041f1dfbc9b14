#include "generators/levy.hpp"

#include <cmath>
#include <numbers>

#include "rng/samplers.hpp"

namespace qm {

double sample_stable(Mt64& rng, double alpha, double beta) {
    constexpr double kHalfPi = std::numbers::pi / 2.0;
    constexpr double kPi = std::numbers::pi;
    constexpr double kTwoOverPi = 0.6366197723675814;
    if (std::fabs(alpha - 2.0) < 1e-10) return standard_normal(rng) * std::numbers::sqrt2;
    const double v = sample_uniform(rng, -kHalfPi, kHalfPi);
    const double w = standard_exponential(rng);
    if (std::fabs(alpha - 1.0) < 1e-10) {
        const double c = v * beta + kHalfPi;
        const double t = std::tan(v) * c;
        const double q = std::fmax((std::cos(v) * (w * kHalfPi)) / c, 1e-300);
        return (t - std::log(q) * beta) * kTwoOverPi;
    }
    const double a = (kPi * alpha) * 0.5;
    const double b = std::atan(std::tan(a) * beta) / alpha;
    const double s = std::pow((std::tan(a) * std::tan(a)) * (beta * beta) + 1.0, 1.0 / (alpha + alpha));
    const double x2 = (b + v) * alpha;
    return ((std::sin(x2) * s) / std::pow(std::cos(v), 1.0 / alpha)) *
           std::pow(std::cos(v - x2) / w, (1.0 - alpha) / alpha);
}

void gen_levy_process(std::span<double> out, uint64_t seed, const LevyProcessParams& p) {
    Mt64 rng(seed);
    double x = p.initial_value;
    for (double& slot : out) {
        const double v = sample_stable(rng, p.alpha, p.beta_skew) * p.scale + p.location;
        if (p.cumulative) {
            x = x + v;
            slot = x;
        } else {
            slot = v;
        }
    }
}

}  // namespace qm
