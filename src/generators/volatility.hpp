// Stochastic volatility: Heston-type and SABR-type price paths driven by a
// randomly moving volatility state.
#pragma once

#include <array>
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

// Python-road check: "length must be > 0".
void check_stochastic_volatility_args(int32_t length);

// Two unit-scale innovations per step (price shock first, then the one
// mixed into the volatility shock). No parameter is range-checked; an empty
// series faults.
void gen_stochastic_volatility(std::span<double> out, uint64_t seed, const StochasticVolatilityParams& p);

}  // namespace qm
