// Random walk and seasonal generators. Each has one parameter record, the
// slot table that reads it from the batch road's float64 scalars, and one
// core that fills a caller-supplied slice (any length, 0 included) from a
// seed. The Python function of the same name and the batch dispatcher run
// the same core, so the two roads give the same values by construction.
// Cores make no argument checks of their own: the Python road runs the
// check_* function first; a parameter the innovation law refuses stops the
// core with that law's fault.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

// ---- Random walk ----------------------------------------------------------

struct RandomWalkParams {
    double drift = 0.0;
    double volatility = 0.0;
    double start_value = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<RandomWalkParams>, 5> kRandomWalkSlots{{
    {"drift", &RandomWalkParams::drift},
    {"volatility", &RandomWalkParams::volatility},
    {"start_value", &RandomWalkParams::start_value},
    {"innov_dist", &RandomWalkParams::innov_dist},
    {"innov_param", &RandomWalkParams::innov_param},
}};

// x starts at start_value; each step adds (innovation + drift), so out[0] is
// already one step away from start_value. One innovation per step.
void gen_random_walk(std::span<double> out, uint64_t seed, const RandomWalkParams& p);

// ---- Seasonal -------------------------------------------------------------

struct SeasonalParams {
    int32_t seasonality_period = 0;
    double seasonality_amplitude = 0.0;
    double trend = 0.0;
    double noise_level = 0.0;
    double base_level = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<SeasonalParams>, 7> kSeasonalSlots{{
    {"seasonality_period", &SeasonalParams::seasonality_period},
    {"seasonality_amplitude", &SeasonalParams::seasonality_amplitude},
    {"trend", &SeasonalParams::trend},
    {"noise_level", &SeasonalParams::noise_level},
    {"base_level", &SeasonalParams::base_level},
    {"innov_dist", &SeasonalParams::innov_dist},
    {"innov_param", &SeasonalParams::innov_param},
}};

// Python-road checks, in order: "length must be > 0",
// "seasonality_period must be > 0".
void check_seasonal_args(int32_t length, int32_t seasonality_period);

// out[t] = ((A sin(w t) + c) + b t) + e_t with w = 2 pi / P. The period is
// not checked: 0 makes every value NaN, a negative one runs the sine
// backwards. One innovation per step.
void gen_seasonal(std::span<double> out, uint64_t seed, const SeasonalParams& p);

}  // namespace qm
