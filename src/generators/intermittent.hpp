// Intermittent demand: an occurrence pattern decides which periods carry
// demand (all flags are drawn first), then a size law draws the quantity of
// each occurring period.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "rng/mt64.hpp"
#include "saturate.hpp"

namespace qm {

// intermittent_pattern: 0 independent, 1 clustered, 2 seasonal; any other
// code flags nothing and draws nothing.
inline constexpr int32_t kDemandIndependent = 0;
inline constexpr int32_t kDemandClustered = 1;
inline constexpr int32_t kDemandSeasonal = 2;

// demand_distribution: 1 negative binomial (gamma-Poisson) when std^2 > mean,
// 2 lognormal, 3 gamma (both moment-matched); 0 and any other code Poisson.
inline constexpr int32_t kSizeNegBinomial = 1;
inline constexpr int32_t kSizeLognormal = 2;
inline constexpr int32_t kSizeGamma = 3;

struct IntermittentDemandParams {
    double demand_probability = 0.0;
    int32_t demand_distribution = 0;
    double demand_mean = 0.0;
    double demand_std = 0.0;
    int32_t intermittent_pattern = 0;
    int32_t cluster_size = 0;
    int32_t seasonal_period = 0;
    double seasonal_peak_prob = 0.0;
    double min_demand = 0.0;
};

inline constexpr std::array<Slot<IntermittentDemandParams>, 9> kIntermittentDemandSlots{{
    {"demand_probability", &IntermittentDemandParams::demand_probability},
    {"demand_distribution", &IntermittentDemandParams::demand_distribution},
    {"demand_mean", &IntermittentDemandParams::demand_mean},
    {"demand_std", &IntermittentDemandParams::demand_std},
    {"intermittent_pattern", &IntermittentDemandParams::intermittent_pattern},
    {"cluster_size", &IntermittentDemandParams::cluster_size},
    {"seasonal_period", &IntermittentDemandParams::seasonal_period},
    {"seasonal_peak_prob", &IntermittentDemandParams::seasonal_peak_prob},
    {"min_demand", &IntermittentDemandParams::min_demand},
}};

// Failures before the first success of Bernoulli(p) trials, p in (0, 1]
// (else fault). When 1 - p rounds to 1 the count is unbounded: 2^64 - 1.
uint64_t sample_geometric(Mt64& rng, double p);

// Faults at the first draw that meets a bad parameter (the samplers' texts),
// and for the seasonal pattern with seasonal_period 0.
void gen_intermittent_demand(std::span<double> out, uint64_t seed, const IntermittentDemandParams& p);

}  // namespace qm
