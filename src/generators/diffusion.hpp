// Discretised diffusions: Ornstein-Uhlenbeck (Euler step), geometric Brownian
// motion (exact log-normal step) and a jump diffusion (GBM with compound
// Poisson jumps in the exponent). Each emits initial_value first and draws
// one unit-scale innovation per later value, so the law is checked only once
// a second value is asked for.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

// ---- Ornstein-Uhlenbeck ---------------------------------------------------

struct OrnsteinUhlenbeckParams {
    double theta = 0.0;
    double mu = 0.0;
    double sigma = 0.0;
    double initial_value = 0.0;
    double dt = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<OrnsteinUhlenbeckParams>, 7> kOrnsteinUhlenbeckSlots{{
    {"theta", &OrnsteinUhlenbeckParams::theta},
    {"mu", &OrnsteinUhlenbeckParams::mu},
    {"sigma", &OrnsteinUhlenbeckParams::sigma},
    {"initial_value", &OrnsteinUhlenbeckParams::initial_value},
    {"dt", &OrnsteinUhlenbeckParams::dt},
    {"innov_dist", &OrnsteinUhlenbeckParams::innov_dist},
    {"innov_param", &OrnsteinUhlenbeckParams::innov_param},
}};

// x <- z * sigma sqrt(dt) + (x + ((mu - x) theta) dt). Euler, so the
// stationary variance is sigma^2 / (theta (2 - theta dt)).
void gen_ornstein_uhlenbeck(std::span<double> out, uint64_t seed, const OrnsteinUhlenbeckParams& p);

// ---- Geometric Brownian motion --------------------------------------------

struct GeometricBrownianMotionParams {
    double mu = 0.0;
    double sigma = 0.0;
    double initial_value = 0.0;
    double dt = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<GeometricBrownianMotionParams>, 6> kGeometricBrownianMotionSlots{{
    {"mu", &GeometricBrownianMotionParams::mu},
    {"sigma", &GeometricBrownianMotionParams::sigma},
    {"initial_value", &GeometricBrownianMotionParams::initial_value},
    {"dt", &GeometricBrownianMotionParams::dt},
    {"innov_dist", &GeometricBrownianMotionParams::innov_dist},
    {"innov_param", &GeometricBrownianMotionParams::innov_param},
}};

// S <- S exp(z sqrt(dt) sigma + (mu - sigma^2 / 2) dt).
void gen_geometric_brownian_motion(std::span<double> out, uint64_t seed, const GeometricBrownianMotionParams& p);

// ---- Jump diffusion -------------------------------------------------------

struct JumpDiffusionParams {
    double mu = 0.0;
    double sigma = 0.0;
    double lambda_jump = 0.0;
    double jump_mean = 0.0;
    double jump_std = 0.0;
    double initial_value = 0.0;
    double dt = 0.0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<JumpDiffusionParams>, 9> kJumpDiffusionSlots{{
    {"mu", &JumpDiffusionParams::mu},
    {"sigma", &JumpDiffusionParams::sigma},
    {"lambda_jump", &JumpDiffusionParams::lambda_jump},
    {"jump_mean", &JumpDiffusionParams::jump_mean},
    {"jump_std", &JumpDiffusionParams::jump_std},
    {"initial_value", &JumpDiffusionParams::initial_value},
    {"dt", &JumpDiffusionParams::dt},
    {"innov_dist", &JumpDiffusionParams::innov_dist},
    {"innov_param", &JumpDiffusionParams::innov_param},
}};

// GBM whose exponent also gets the sum of K ~ Poisson(lambda dt) jumps, each
// jump_mean plus a draw of the shock law at scale jump_std. Per step: the
// shock, the count, then the K jumps. Jumps are not compensated. The jump
// law is checked only when a step draws a jump, so lambda_jump = 0 is GBM
// draw for draw whatever jump_std is. Faults at the first step, after its
// count: the Poisson sampler's own (a NaN, infinite or too large rate), the
// jump law's where that step drew a jump, then more than 2^32 jumps expected
// in all; at any step the jump law's at its first jump, then a count that
// saturates at 2^31 - 1 (lambda_jump * dt around 2e9 or more).
void gen_jump_diffusion(std::span<double> out, uint64_t seed, const JumpDiffusionParams& p);

}  // namespace qm
