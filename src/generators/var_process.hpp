// Vector autoregression of dimension n and order p with an intercept and
// correlated innovations (Python only; no batch code):
//   x_t = c + A_1 x_(t-1) + ... + A_p x_(t-p) + L e_t,
// lags before t = 0 skipped (a zero pre-sample), 100 burn-in steps dropped,
// the series is component 0. L is the covariance factor of innovation_cov;
// e_t follows the chosen innovation law at unit scale.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct VarProcessParams {
    int32_t n_variables = 1;
    int32_t order = 1;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<VarProcessParams>, 4> kVarProcessSlots{{
    {"n_variables", &VarProcessParams::n_variables},
    {"order", &VarProcessParams::order},
    {"innov_dist", &VarProcessParams::innov_dist},
    {"innov_param", &VarProcessParams::innov_param},
}};

inline constexpr uint64_t kVarBurnIn = 100;

// Python-road checks, in order: "length must be > 0", "n_variables must be
// > 0", "order must be > 0".
void check_var_process_args(int32_t length, int32_t n_variables, int32_t order);

// After the checks above. Faults before any draw when coef_matrices holds
// fewer than order * n^2 values or innovation_cov is not n x n; an intercept
// of other than n values faults after the first step's draws.
void gen_var_process(std::span<double> out, uint64_t seed, const VarProcessParams& p,
                     std::span<const double> coef_matrices, std::span<const double> intercept,
                     std::span<const double> innovation_cov);

}  // namespace qm
