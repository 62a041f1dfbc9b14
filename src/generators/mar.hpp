// Mixture-autoregressive scenario generator (batch code 30, also drawn by
// mar_features_batch).
//
// At every step one of K AR components is chosen by its weight; the next value
// is that component's autoregression on the recent values, plus its intercept,
// plus an innovation of its own scale. The configuration is either drawn at
// random from ranges in the scalars (afresh for every attempt) or given in
// five arrays. A series that is not finite, bounded and non-constant is
// retried, up to 8 attempts.
//
// Unlike the other cores, gen_mar reports bad parameters as ValueError (the
// batch raises them; mar_features_batch turns them into a failed candidate).
// Faults of the innovation law, and requests too large to hold in memory,
// stop the call as qm::Fault.
//
// Scalars (at least 12, all finite), in the order of MarParams:
//   s0 max components (1..1e6)      s1 max AR order (1..1e6)
//   s2 seasonal lag S (0..1e9)      s3 Dirichlet concentration (> 0)
//   s4 intercept std (>= 0)         s5, s6 noise scale range (0 < s5 <= s6)
//   s7 burn-in (0..1e9)             s8 z-score flag
//   s9 mode: 0 random, else fixed   s10 innovation code, s11 its parameter
// Fixed-mode arrays: a0 weights, a1 AR orders, a2 all coefficients
// concatenated (lag 1 first), a3 intercepts, a4 scales.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rng/mt64.hpp"
#include "saturate.hpp"

namespace qm {

struct MarParams {
    int32_t max_components = 1;
    int32_t max_order = 1;
    uint64_t seasonal_lag = 0;
    double concentration = 1.0;
    double intercept_std = 0.0;
    double noise_scale_min = 1.0;
    double noise_scale_max = 1.0;
    uint64_t burn_in = 0;
    bool zscore = false;
    bool fixed_mode = false;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<MarParams>, 12> kMarSlots{{
    {"max_components", &MarParams::max_components},
    {"max_order", &MarParams::max_order},
    {"seasonal_lag", &MarParams::seasonal_lag},
    {"concentration", &MarParams::concentration},
    {"intercept_std", &MarParams::intercept_std},
    {"noise_scale_min", &MarParams::noise_scale_min},
    {"noise_scale_max", &MarParams::noise_scale_max},
    {"burn_in", &MarParams::burn_in},
    {"zscore", &MarParams::zscore},
    {"fixed_mode", &MarParams::fixed_mode},
    {"innov_dist", &MarParams::innov_dist},
    {"innov_param", &MarParams::innov_param},
}};

// The record of a scalar vector, after its checks: at least 12 slots
// ("mar: expected >= 12 scalar params, got {}"), every one finite ("mar:
// scalar params must be finite"), s0..s7 in their ranges ("mar: invalid
// configuration"). ValueError on failure.
MarParams mar_params(std::span<const double> scalars);

// The far block of a seasonal AR polynomial. With lag > 0 (and beyond the
// near block), the component's lags lag, lag+1, ... use `coefficients`; the
// lags in between have zero coefficients and are never evaluated, so a long
// seasonal lag costs neither coefficient memory nor time per step. Skipping
// them can differ from summing the zeros only in the sign of an exactly zero
// sum, or in NaN versus infinity in a series that is rejected anyway.
struct MarSeasonalBlock {
    uint64_t lag = 0;  // 0: no far block
    std::vector<double> coefficients;
};

// One attempt's configuration; all vectors have one entry per component.
struct MarConfig {
    std::vector<double> weights;                    // used as given (random mode: sum to 1)
    std::vector<std::vector<double>> coefficients;  // near block, lag 1 first, never empty
    std::vector<double> intercepts;
    std::vector<double> scales;                     // innovation scale per component
    std::vector<MarSeasonalBlock> seasonal;         // empty, or one entry per component
};

// Largest lag component k reads.
uint64_t mar_order(const MarConfig& config, std::size_t k);

// Random configuration from checked parameters; draw order: K, the K gamma
// weights, per component its order, partial autocorrelations and seasonal
// factor, then the intercepts, then the scales.
MarConfig sample_mar_config(const MarParams& params, Mt64& rng);

// Fixed configuration from the arrays, or a ValueError naming the problem.
MarConfig parse_mar_fixed_config(std::span<const std::vector<double>> arrays);

// Simulates burn_in + values.size() steps after P initial normal lags
// (P = the largest order) and writes the last values.size() of them.
void simulate_mar(std::span<double> values, const MarConfig& config, uint64_t burn_in, int32_t innov_code, Mt64& rng,
                  double innov_param);

// Fills `values` (its length is the series length) from `seed`; fixed mode
// reads its configuration from `arrays`.
void gen_mar(std::span<double> values, uint64_t seed, const MarParams& params,
             std::span<const std::vector<double>> arrays);

}  // namespace qm
