// Bounded process: an autoregression on the unit interval (a beta
// autoregression, or a Gaussian AR(1) on the log-odds scale) mapped affinely
// onto (lower, upper).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

inline constexpr int32_t kBoundedBeta = 0;  // any other code is the logit model

struct BoundedProcessParams {
    int32_t model_id = 0;
    double phi = 0.0;
    double omega = 0.0;
    double kappa = 0.0;
    double sigma_param = 0.0;
    double initial_value = 0.0;  // on the unit scale
    double lower = 0.0;
    double upper = 0.0;
};

inline constexpr std::array<Slot<BoundedProcessParams>, 8> kBoundedProcessSlots{{
    {"model_id", &BoundedProcessParams::model_id},
    {"phi", &BoundedProcessParams::phi},
    {"omega", &BoundedProcessParams::omega},
    {"kappa", &BoundedProcessParams::kappa},
    {"sigma_param", &BoundedProcessParams::sigma_param},
    {"initial_value", &BoundedProcessParams::initial_value},
    {"lower", &BoundedProcessParams::lower},
    {"upper", &BoundedProcessParams::upper},
}};

// Every value is u * (upper - lower) + lower for a unit value u. lower and
// upper are not compared here (the Python road refuses lower >= upper). The
// beta model faults at its first value when kappa is not > 0.
void gen_bounded_process(std::span<double> out, uint64_t seed, const BoundedProcessParams& p);

}  // namespace qm
