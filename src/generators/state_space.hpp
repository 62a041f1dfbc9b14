// Linear Gaussian state-space model (batch code 19): a hidden state x of
// dimension n = state_dim moved by x' = F x + L_Q w and seen through
// y = H x + L_R e (dimension m = obs_dim); the series is the first
// observation component. L_Q, L_R and the initial spread L_P are the
// covariance factors of Q, R and P0; w follows the chosen innovation law at
// unit scale, e and the initial draw are standard normal.
//
// Matrices are flat row-major arrays, checked (all five sizes, before any is
// built) with the matrix texts of covariance.hpp. On the batch road the
// dimensions are unsigned sizes and are not checked for being positive: with
// m = 0 the first step faults "Matrix index out of bounds.", with n = 0 each
// value is component 0 of L_R e.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct StateSpaceParams {
    uint64_t state_dim = 1;
    uint64_t obs_dim = 1;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<StateSpaceParams>, 4> kStateSpaceSlots{{
    {"state_dim", &StateSpaceParams::state_dim},
    {"obs_dim", &StateSpaceParams::obs_dim},
    {"innov_dist", &StateSpaceParams::innov_dist},
    {"innov_param", &StateSpaceParams::innov_param},
}};

// The six arrays, in the order of the Python signature.
struct StateSpaceArrays {
    std::span<const double> f_mat, h_mat, q_mat, r_mat, initial_state, initial_state_cov;
};

// Python-road checks, in order: "length must be > 0", "state_dim must be > 0",
// "obs_dim must be > 0".
void check_state_space_args(int32_t length, int32_t state_dim, int32_t obs_dim);

void gen_state_space(std::span<double> out, uint64_t seed, const StateSpaceParams& p, const StateSpaceArrays& a);

}  // namespace qm
