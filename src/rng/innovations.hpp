// Innovation laws: the shock law a generator's caller picks with innov_dist
// (code) and innov_param, always rescaled so that the generator's scale is
// the standard deviation of the draw.
#pragma once

#include <cstdint>
#include <span>

#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

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

enum class InnovLaw { Normal, StudentT, Laplace, Uniform, SkewNormal };

// A law with its parameters checked and its per-value constants computed,
// so that one value and a whole buffer share the exact same arithmetic.
struct InnovationLaw {
    InnovLaw law = InnovLaw::Normal;
    double scale = 0.0;
    double nu = 0.0;        // Student-t degrees of freedom
    double t_factor = 0.0;  // Student-t: sigma * sqrt((nu - 2) / nu)
    double beta = 0.0;      // Laplace: exponential scale
    double half = 0.0;      // uniform: a = sigma * sqrt(3)
    double width = 0.0;     // uniform: 2a, lowered so no draw reaches a
    double delta = 0.0;     // skew-normal
    double delta_c = 0.0;   // skew-normal: sqrt(1 - delta^2)
    double sn_var = 0.0;    // skew-normal: 1 - 2 delta^2 / pi
};

// Checks the parameters once (faulting exactly as sample_innovation would on
// its first call) so a generator can draw many values without re-checking.
InnovationLaw prepare_innovation(int32_t code, double scale, double param);

double draw_other_innovation(Mt64& rng, const InnovationLaw& law);

// One value of a prepared law: the same draws and arithmetic as
// sample_innovation. The normal law, by far the most used, is inline.
inline double draw_innovation(Mt64& rng, const InnovationLaw& law) {
    // 0.0 + : a zero scale never yields -0.0.
    if (law.law == InnovLaw::Normal) return 0.0 + law.scale * standard_normal(rng);
    return draw_other_innovation(rng, law);
}

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
