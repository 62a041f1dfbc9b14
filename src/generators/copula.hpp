// Values of a chosen marginal law whose uniforms come from a Gaussian or
// Student-t copula of dimension n with correlation matrix R (Python only; no
// batch code). Each step draws one normal vector, correlates it with the
// covariance factor of R, turns its first component into a uniform,
// clamps it to [1e-15, 1 - 1e-15] and maps it through the marginal's
// quantile function. No code, df or marginal parameter is checked.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct CopulaParams {
    int32_t n_variables = 1;
    int32_t copula_type = 0;
    double df = 0.0;
    int32_t marginal_distribution = 0;
    double marginal_param1 = 0.0;
    double marginal_param2 = 1.0;
};

inline constexpr std::array<Slot<CopulaParams>, 6> kCopulaSlots{{
    {"n_variables", &CopulaParams::n_variables},
    {"copula_type", &CopulaParams::copula_type},
    {"df", &CopulaParams::df},
    {"marginal_distribution", &CopulaParams::marginal_distribution},
    {"marginal_param1", &CopulaParams::marginal_param1},
    {"marginal_param2", &CopulaParams::marginal_param2},
}};

// copula_type 0 is Gaussian, any other Student-t. Marginal codes: 0 normal
// (loc p1, scale p2), 1 lognormal (log-scale p1, scale p2), 2 exponential
// (scale p1), 3 uniform on [p1, p1 + p2], 4 gamma (shape p1, scale p2), any
// other standard normal.
inline constexpr int32_t kCopulaGaussian = 0;

// Python-road checks, in order: "length must be > 0", "n_variables must be > 0".
void check_copula_args(int32_t length, int32_t n_variables);

// After the checks above. A correlation matrix of other than n x n values
// faults before any draw; a Student-t copula whose df / 2 is not > 0 faults
// with the gamma law's text at the first step.
void gen_copula(std::span<double> out, uint64_t seed, const CopulaParams& p, std::span<const double> correlation);

}  // namespace qm
