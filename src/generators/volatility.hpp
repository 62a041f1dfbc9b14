// Stochastic volatility (Heston-type and SABR-type price paths driven by a
// randomly moving volatility state) and Markov regime switching between AR(1)
// regimes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

// ---- Stochastic volatility ---------------------------------------------------

struct StochasticVolatilityParams {
    int32_t model_type = 0;  // 0 Heston-type (variance state), other SABR-type
    double initial_price = 0.0;
    double initial_vol = 0.0;
    double drift = 0.0;
    double mean_vol = 0.0;
    double vol_mean_reversion = 0.0;
    double vol_of_vol = 0.0;
    double correlation = 0.0;
    double beta_param = 0.0;
    double dt = 0.0;
    int32_t output_type = 0;  // 0 prices, 1 log returns, other volatility
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<StochasticVolatilityParams>, 13> kStochasticVolatilitySlots{{
    {"model_type", &StochasticVolatilityParams::model_type},
    {"initial_price", &StochasticVolatilityParams::initial_price},
    {"initial_vol", &StochasticVolatilityParams::initial_vol},
    {"drift", &StochasticVolatilityParams::drift},
    {"mean_vol", &StochasticVolatilityParams::mean_vol},
    {"vol_mean_reversion", &StochasticVolatilityParams::vol_mean_reversion},
    {"vol_of_vol", &StochasticVolatilityParams::vol_of_vol},
    {"correlation", &StochasticVolatilityParams::correlation},
    {"beta_param", &StochasticVolatilityParams::beta_param},
    {"dt", &StochasticVolatilityParams::dt},
    {"output_type", &StochasticVolatilityParams::output_type},
    {"innov_dist", &StochasticVolatilityParams::innov_dist},
    {"innov_param", &StochasticVolatilityParams::innov_param},
}};

// Two unit-scale innovations per step (price shock first, then the one
// mixed into the volatility shock). No parameter is range-checked; an empty
// series faults.
void gen_stochastic_volatility(std::span<double> out, uint64_t seed, const StochasticVolatilityParams& p);

// ---- Regime switching --------------------------------------------------------

struct RegimeSwitchingParams {
    int32_t n_regimes = 0;
    int32_t initial_regime = 0;  // < 0: drawn from the stationary probabilities
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<RegimeSwitchingParams>, 4> kRegimeSwitchingSlots{{
    {"n_regimes", &RegimeSwitchingParams::n_regimes},
    {"initial_regime", &RegimeSwitchingParams::initial_regime},
    {"innov_dist", &RegimeSwitchingParams::innov_dist},
    {"innov_param", &RegimeSwitchingParams::innov_param},
}};

// Python-road checks, in order: "length must be > 0", "n_regimes must be >
// 0", "stationary_probs must have n_regimes entries when initial_regime < 0".
void check_regime_switching_args(int32_t length, int32_t n_regimes, int32_t initial_regime,
                                 std::size_t n_stationary_probs);

struct RegimeArrays {
    std::span<const double> means;
    std::span<const double> variances;
    std::span<const double> ar_coeffs;
    std::span<const double> transition;  // K x K, row-major
    std::span<const double> stationary;
};

// A regime index outside a vector it reads, or a transition search that runs
// past the matrix, faults; rows are neither normalised nor checked. An empty
// series faults after the first innovation.
void gen_regime_switching(std::span<double> out, uint64_t seed, const RegimeSwitchingParams& p, const RegimeArrays& a);

}  // namespace qm
