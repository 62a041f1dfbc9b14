// Classical statistical generators. Each core fills a caller-supplied slice
// (any length, 0 included) from a seed and is run both by the Python function
// of the same name and by the batch dispatcher, so the two roads give the
// same values by construction. Cores make no argument checks of their own:
// the Python road runs the check_* function first; a parameter the innovation
// law refuses stops the core with that law's fault.
#pragma once

#include <cstdint>
#include <span>

namespace qm {

// ---- Random walk ----------------------------------------------------------

// Python-road check: "length must be > 0".
void check_random_walk_args(int32_t length);

// x starts at start_value; each step adds (innovation + drift), so out[0] is
// already one step away from start_value. One innovation per step.
void gen_random_walk(std::span<double> out, uint64_t seed, double drift, double volatility, double start_value,
                     int32_t innov_dist, double innov_param);

// ---- Seasonal -------------------------------------------------------------

// Python-road checks, in order: "length must be > 0",
// "seasonality_period must be > 0".
void check_seasonal_args(int32_t length, int32_t seasonality_period);

// out[t] = ((A sin(w t) + c) + b t) + e_t with w = 2 pi / P. The period is
// not checked: 0 makes every value NaN, a negative one runs the sine
// backwards. One innovation per step.
void gen_seasonal(std::span<double> out, uint64_t seed, int32_t seasonality_period, double seasonality_amplitude,
                  double trend, double noise_level, double base_level, int32_t innov_dist, double innov_param);

}  // namespace qm
