// Quasi-periodic cycles on a linear trend, plus noise. Each cycle has a drawn
// period, amplitude and starting phase, and its period wobbles by up to 20
// percent along the series.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct CyclicParams {
    double base_level = 0.0;
    double trend = 0.0;
    double cycle_period_mean = 0.0;
    double cycle_period_std = 0.0;
    double cycle_amplitude_mean = 0.0;
    double cycle_amplitude_std = 0.0;
    int32_t num_cycles = 0;
    double noise_std = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<CyclicParams>, 10> kCyclicSlots{{
    {"base_level", &CyclicParams::base_level},
    {"trend", &CyclicParams::trend},
    {"cycle_period_mean", &CyclicParams::cycle_period_mean},
    {"cycle_period_std", &CyclicParams::cycle_period_std},
    {"cycle_amplitude_mean", &CyclicParams::cycle_amplitude_mean},
    {"cycle_amplitude_std", &CyclicParams::cycle_amplitude_std},
    {"num_cycles", &CyclicParams::num_cycles},
    {"noise_std", &CyclicParams::noise_std},
    {"innov_dist", &CyclicParams::innov_dist},
    {"innov_param", &CyclicParams::innov_param},
}};

// Trend line, then cycle by cycle (period, amplitude and phase drawn, then
// its terms added), then one noise draw per value. A negative num_cycles
// faults first; with cycles, non-finite spreads fault before any draw, and
// so does a num_cycles * length above 2^32 (too long to run).
void gen_cyclic(std::span<double> out, uint64_t seed, const CyclicParams& p);

}  // namespace qm
