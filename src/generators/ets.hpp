// Exponential-smoothing state-space model (error, trend, seasonal): additive
// or multiplicative error, no / additive / multiplicative trend (optionally
// damped) and no / additive / multiplicative seasonality. Every state update
// is clamped so long simulations stay finite.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct EtsParams {
    int32_t error_type = 0;     // 0 additive, other multiplicative
    int32_t trend_type = 0;     // 0 none, 1 additive, 2 multiplicative
    int32_t seasonal_type = 0;  // 0 none, 1 additive, 2 multiplicative
    int32_t seasonal_period = 0;
    double level = 0.0;
    double trend_init = 0.0;
    double alpha = 0.0;
    double beta_param = 0.0;
    double gamma = 0.0;
    double phi = 0.0;
    bool damped = false;
    double noise_std = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<EtsParams>, 14> kEtsSlots{{
    {"error_type", &EtsParams::error_type},
    {"trend_type", &EtsParams::trend_type},
    {"seasonal_type", &EtsParams::seasonal_type},
    {"seasonal_period", &EtsParams::seasonal_period},
    {"level", &EtsParams::level},
    {"trend_init", &EtsParams::trend_init},
    {"alpha", &EtsParams::alpha},
    {"beta_param", &EtsParams::beta_param},
    {"gamma", &EtsParams::gamma},
    {"phi", &EtsParams::phi},
    {"damped", &EtsParams::damped},
    {"noise_std", &EtsParams::noise_std},
    {"innov_dist", &EtsParams::innov_dist},
    {"innov_param", &EtsParams::innov_param},
}};

// Python-road checks, in order: "length must be > 0",
// "seasonal_period must be > 0".
void check_ets_args(int32_t length, int32_t seasonal_period);

// Faults at set-up (any length): a negative seasonal period; a non-empty
// seasonal_init shorter than the period when seasonal_type != 0. A period of
// 0 faults at the first value. Only the min(period, n) seasonal states a
// series of n values reaches are kept.
void gen_ets(std::span<double> out, uint64_t seed, const EtsParams& p, std::span<const double> seasonal_init);

}  // namespace qm
