// Point processes: Poisson counts per unit step, and a self-exciting Hawkes
// process simulated by Ogata's thinning on [0, n) and turned into a series.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

// ---- Poisson process ------------------------------------------------------

struct PoissonProcessParams {
    double lambda_rate = 0.0;
    bool cumulative = false;
};

inline constexpr std::array<Slot<PoissonProcessParams>, 2> kPoissonProcessSlots{{
    {"lambda_rate", &PoissonProcessParams::lambda_rate},
    {"cumulative", &PoissonProcessParams::cumulative},
}};

// One Poisson(lambda_rate) count per value, or their running float64 total.
void gen_poisson_process(std::span<double> out, uint64_t seed, const PoissonProcessParams& p);

// ---- Hawkes process -------------------------------------------------------

struct HawkesProcessParams {
    double baseline_intensity = 0.0;
    double excitation_amplitude = 0.0;
    double decay_rate = 0.0;
    int32_t kernel_type = 0;  // 0 exponential, else power law
    double power_law_exponent = 0.0;
    int32_t output_type = 0;  // 0 counts, 1 intensity at k + 0.5, else 0/1 indicators
    int32_t max_events = 0;
};

inline constexpr std::array<Slot<HawkesProcessParams>, 7> kHawkesProcessSlots{{
    {"baseline_intensity", &HawkesProcessParams::baseline_intensity},
    {"excitation_amplitude", &HawkesProcessParams::excitation_amplitude},
    {"decay_rate", &HawkesProcessParams::decay_rate},
    {"kernel_type", &HawkesProcessParams::kernel_type},
    {"power_law_exponent", &HawkesProcessParams::power_law_exponent},
    {"output_type", &HawkesProcessParams::output_type},
    {"max_events", &HawkesProcessParams::max_events},
}};

// Kernels: alpha exp(-beta d) (O(1) per candidate through a recursive sum)
// or alpha / (d beta + 1)^gamma (O(events) per candidate). At most
// max_events events (negative: fault). Faults: a thinning bound that is NaN,
// negative or infinite; more than 2^32 candidates; with the power-law kernel,
// more than 2^32 kernel terms.
void gen_hawkes_process(std::span<double> out, uint64_t seed, const HawkesProcessParams& p);

}  // namespace qm
