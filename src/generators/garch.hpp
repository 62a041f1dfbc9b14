// GARCH(p, q): y[t] = mu + sqrt(h[t]) z[t] with
// h[t] = omega + sum_i alpha_i eps[t-i]^2 + sum_j beta_j h[t-j].
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct GarchParams {
    int32_t p = 0;  // past-variance (GARCH) terms, beta_arr
    int32_t q = 0;  // squared-shock (ARCH) terms, alpha_arr
    double omega = 0.0;
    double mu = 0.0;
    double initial_variance = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<GarchParams>, 7> kGarchSlots{{
    {"p", &GarchParams::p},
    {"q", &GarchParams::q},
    {"omega", &GarchParams::omega},
    {"mu", &GarchParams::mu},
    {"initial_variance", &GarchParams::initial_variance},
    {"innov_dist", &GarchParams::innov_dist},
    {"innov_param", &GarchParams::innov_param},
}};

// Simulates n + 100 steps and returns the last n. Cells before max(p, q)
// keep y = 0, eps = 0, h = initial_variance, so with max(p, q) > 100 the
// first max(p, q) - 100 values are 0. The orders are checked when the first
// step runs (a negative order, or an array shorter than its order, faults);
// when no step runs nothing is checked. One innovation per step.
void gen_garch(std::span<double> out, uint64_t seed, const GarchParams& p, std::span<const double> alpha,
               std::span<const double> beta);

}  // namespace qm
