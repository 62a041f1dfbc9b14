// Innovation laws: the shock law a generator's caller picks with innov_dist
// (code) and innov_param, always rescaled so that the generator's scale is
// the standard deviation of the draw.
#pragma once

#include <cstdint>
#include <span>

#include "rng/mt64.hpp"

namespace qm {

// Codes of innov_dist. Every code not listed selects the normal law.
inline constexpr int32_t kInnovNormal = 0;
inline constexpr int32_t kInnovStudentT = 1;    // param = degrees of freedom, > 2
inline constexpr int32_t kInnovLaplace = 2;     // param ignored
inline constexpr int32_t kInnovUniform = 3;     // param ignored
inline constexpr int32_t kInnovSkewNormal = 4;  // param = shape alpha

// The law as the generator received it; nothing is rejected at this point.
struct InnovDist {
    int32_t code = kInnovNormal;
    double param = 0.0;
};

// One value with standard deviation `scale`. Faults with the law's message
// when its parameters are refused (checked on every call).
double sample_innovation(Mt64& rng, int32_t code, double scale, double param);

inline double sample_innovation(Mt64& rng, const InnovDist& dist, double scale) {
    return sample_innovation(rng, dist.code, scale, dist.param);
}

// Fills `out` in index order, each element drawn exactly as one
// sample_innovation call would draw it. The parameters are checked once,
// before any draw (so an empty buffer with bad parameters still faults).
void fill_innovations(Mt64& rng, int32_t code, double scale, double param, std::span<double> out);

inline void fill_innovations(Mt64& rng, const InnovDist& dist, double scale, std::span<double> out) {
    fill_innovations(rng, dist.code, scale, dist.param, out);
}

}  // namespace qm
