// One path of a stationary Gaussian process on the grid 0, 1, ..., n-1
// (batch code 21): a kernel, a constant mean and a nugget (white-noise
// variance added at lag 0). The four stationary kernels are drawn by
// circulant embedding in O(n log n), clipping negative circulant eigenvalues
// silently; the periodic kernel through the factor of the dense n x n
// covariance (O(n^3) time, n^2 memory). No parameter is checked.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct GaussianProcessParams {
    int32_t kernel_id = 0;
    double length_scale = 1.0;
    double amplitude = 1.0;
    double period = 1.0;
    double mean = 0.0;
    double noise_variance = 0.0;
};

inline constexpr std::array<Slot<GaussianProcessParams>, 6> kGaussianProcessSlots{{
    {"kernel_id", &GaussianProcessParams::kernel_id},
    {"length_scale", &GaussianProcessParams::length_scale},
    {"amplitude", &GaussianProcessParams::amplitude},
    {"period", &GaussianProcessParams::period},
    {"mean", &GaussianProcessParams::mean},
    {"noise_variance", &GaussianProcessParams::noise_variance},
}};

// Kernel codes; every code not listed is the squared exponential.
inline constexpr int32_t kGpSquaredExponential = 0;
inline constexpr int32_t kGpExponential = 1;
inline constexpr int32_t kGpMatern32 = 2;
inline constexpr int32_t kGpMatern52 = 3;
inline constexpr int32_t kGpPeriodic = 4;

// The periodic kernel raises MemoryError when n x n values cannot be held.
void gen_gaussian_process(std::span<double> out, uint64_t seed, const GaussianProcessParams& p);

}  // namespace qm
