// Fractional Gaussian noise and fractional Brownian motion (batch code 20).
//
// The noise has the autocovariance of unit-spaced increments of fBm with
// Hurst exponent H and scale sigma, drawn by one of three exact methods:
// Hosking's recursion (method 1, O(n^2) time), Davies-Harte circulant
// embedding (method 2, O(n log n)) or the factor of the dense Toeplitz
// covariance (any other code, O(n^3) time, n^2 memory). Nothing is checked:
// an H outside (0, 1) makes an invalid covariance that each method repairs
// its own way (clamped prediction variance, clipped eigenvalues, floored
// eigen factor). With `cumulative` the output is the running sum started at
// initial_value, a path of fBm. The autocovariance at lag k is
//   ((pow(k + 1, 2H) - (pow(k, 2H) + pow(k, 2H))) + pow(|k - 1|, 2H)) * (sigma^2 / 2).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct FbmParams {
    double hurst = 0.5;
    double sigma = 1.0;
    double initial_value = 0.0;
    bool cumulative = false;
    int32_t method = 0;
};

inline constexpr std::array<Slot<FbmParams>, 5> kFbmSlots{{
    {"hurst", &FbmParams::hurst},
    {"sigma", &FbmParams::sigma},
    {"initial_value", &FbmParams::initial_value},
    {"cumulative", &FbmParams::cumulative},
    {"method", &FbmParams::method},
}};

inline constexpr int32_t kFbmHosking = 1;
inline constexpr int32_t kFbmDaviesHarte = 2;

// Hosking with an empty series is a fault; the dense method raises
// MemoryError when n x n values cannot be held.
void gen_fbm(std::span<double> out, uint64_t seed, const FbmParams& p);

}  // namespace qm
