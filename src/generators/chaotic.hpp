// Chaotic systems: the logistic map, the Mackey-Glass delay map and the
// Lorenz system (RK4). The only randomness is the perturbed starting point
// and optional Gaussian observation noise; a fixed burn-in is discarded.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

inline constexpr int32_t kChaoticLogistic = 1;
inline constexpr int32_t kChaoticMackeyGlass = 2;  // any other code is Lorenz

struct ChaoticSystemParams {
    int32_t system_id = 0;
    double sigma = 0.0;
    double rho = 0.0;
    double beta = 0.0;
    double dt = 0.0;
    double logistic_r = 0.0;
    double mg_beta = 0.0;
    double mg_gamma = 0.0;
    double mg_n = 0.0;
    int32_t mg_tau = 0;
    double observation_noise = 0.0;
    double initial_perturbation = 0.0;
};

inline constexpr std::array<Slot<ChaoticSystemParams>, 12> kChaoticSystemSlots{{
    {"system_id", &ChaoticSystemParams::system_id},
    {"sigma", &ChaoticSystemParams::sigma},
    {"rho", &ChaoticSystemParams::rho},
    {"beta", &ChaoticSystemParams::beta},
    {"dt", &ChaoticSystemParams::dt},
    {"logistic_r", &ChaoticSystemParams::logistic_r},
    {"mg_beta", &ChaoticSystemParams::mg_beta},
    {"mg_gamma", &ChaoticSystemParams::mg_gamma},
    {"mg_n", &ChaoticSystemParams::mg_n},
    {"mg_tau", &ChaoticSystemParams::mg_tau},
    {"observation_noise", &ChaoticSystemParams::observation_noise},
    {"initial_perturbation", &ChaoticSystemParams::initial_perturbation},
}};

// Burn-in 500 values (maps) or 1000 samples (Lorenz, 1/dt RK4 steps per
// sample, at least 1 and at most 100000). Faults: Mackey-Glass with
// mg_tau < 0; observation_noise = +inf (after the system's own draws).
void gen_chaotic_system(std::span<double> out, uint64_t seed, const ChaoticSystemParams& p);

}  // namespace qm
