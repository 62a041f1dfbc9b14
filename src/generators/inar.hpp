// Integer-valued autoregression INAR(p): each count is the sum of binomially
// thinned previous counts and a fresh count of Poisson or gamma-Poisson
// (negative binomial) innovations. Counts are returned as float64.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct InarParams {
    int32_t p = 0;
    int32_t innov_type = 0;  // 0 Poisson, other gamma-Poisson
    double innov_mean = 0.0;
    double innov_dispersion = 0.0;
};

inline constexpr std::array<Slot<InarParams>, 4> kInarSlots{{
    {"p", &InarParams::p},
    {"innov_type", &InarParams::innov_type},
    {"innov_mean", &InarParams::innov_mean},
    {"innov_dispersion", &InarParams::innov_dispersion},
}};

// Python-road checks, in order: "length must be > 0", "p must be > 0".
void check_inar_args(int32_t length, int32_t p);

// alpha[k] thins lag k + 1. Every cell starts at the stationary mean
// (truncated); 100 steps are simulated and dropped before the output. A
// count saturates at 2147483647. A lag without a coefficient faults when its
// count is positive; the gamma law is checked once, before any step. A
// negative p runs no step.
void gen_inar(std::span<double> out, uint64_t seed, const InarParams& p, std::span<const double> alpha);

}  // namespace qm
