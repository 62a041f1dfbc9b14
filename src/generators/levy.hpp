// Alpha-stable increments (Chambers-Mallows-Stuck), scaled and shifted, as
// they are or summed into a Levy flight.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "rng/mt64.hpp"
#include "saturate.hpp"

namespace qm {

struct LevyProcessParams {
    double alpha = 0.0;
    double beta_skew = 0.0;
    double scale = 0.0;
    double location = 0.0;
    bool cumulative = false;
    double initial_value = 0.0;
};

inline constexpr std::array<Slot<LevyProcessParams>, 6> kLevyProcessSlots{{
    {"alpha", &LevyProcessParams::alpha},
    {"beta_skew", &LevyProcessParams::beta_skew},
    {"scale", &LevyProcessParams::scale},
    {"location", &LevyProcessParams::location},
    {"cumulative", &LevyProcessParams::cumulative},
    {"initial_value", &LevyProcessParams::initial_value},
}};

// One standard alpha-stable value. Within 1e-10 of alpha = 2: sqrt(2) z from
// one normal draw. Otherwise a uniform angle V then an exponential W, with the
// alpha = 1 form within 1e-10 of 1. Nothing is validated: bad parameters
// give NaN or infinite values.
double sample_stable(Mt64& rng, double alpha, double beta);

// s scale + location per value; cumulative: running sum from initial_value
// (the first value is already one step away).
void gen_levy_process(std::span<double> out, uint64_t seed, const LevyProcessParams& p);

}  // namespace qm
