// Trend-seasonal-irregular scenario generator (batch code 28; no Python
// function of its own).
//
// Each attempt composes a trend of a kind drawn from a pool, a sum of sine
// components (some with harmonics, some amplitude-modulated), an additive or
// multiplicative combination of the two, an irregular part scaled to the
// signal's spread and an overall scale. A series that is not finite, bounded
// and non-constant is retried, up to 8 attempts; then the output is white
// standard normal noise.
//
// A pair (lo, hi) of scalars is read as lo when lo >= hi, else as a uniform
// draw in [lo, hi) (so a NaN bound reaches the sampler and faults); a
// log-uniform pair as lo, or exp of a uniform draw between the logarithms.
// Integer pairs draw in [lo, hi] (inclusive).
//
// Pools: trend kinds (1 linear, 2 exponential, 3 logistic, 4 piecewise
// linear, 5 saturating, else flat), seasonal periods in steps (as given),
// irregular kinds (1 AR(1), 2 GARCH(1,1)-like, 3 Student-t, 4 Laplace, else
// normal). Every failure is a fault: empty pools, the samplers' and laws'
// refusals, and counts above the caps below.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct TsiParams {
    double magnitude_lo = 0.0;  // trend magnitude B
    double magnitude_hi = 0.0;
    double rate_lo = 0.0;       // exponential trend rate C
    double rate_hi = 0.0;
    int32_t knots_lo = 0;       // interior knots of the piecewise trend
    int32_t knots_hi = 0;
    double offset_lo = 0.0;     // level A added to the trend
    double offset_hi = 0.0;
    int32_t components_lo = 0;  // seasonal components
    int32_t components_hi = 0;
    double amplitude_lo = 0.0;  // log-uniform seasonal amplitude
    double amplitude_hi = 0.0;
    double modulation_prob = 0.0;
    double harmonics_prob = 0.0;
    double noise_lo = 0.0;      // log-uniform noise level, relative to the spread
    double noise_hi = 0.0;
    double ar_lo = 0.0;         // AR coefficient of irregular kind 1
    double ar_hi = 0.0;
    double df_lo = 0.0;         // degrees of freedom of irregular kind 3
    double df_hi = 0.0;
    double multiplicative_prob = 0.0;
    double scale_lo = 1.0;      // log-uniform output scale
    double scale_hi = 1.0;
};

inline constexpr std::array<Slot<TsiParams>, 23> kTsiSlots{{
    {"magnitude_lo", &TsiParams::magnitude_lo},
    {"magnitude_hi", &TsiParams::magnitude_hi},
    {"rate_lo", &TsiParams::rate_lo},
    {"rate_hi", &TsiParams::rate_hi},
    {"knots_lo", &TsiParams::knots_lo},
    {"knots_hi", &TsiParams::knots_hi},
    {"offset_lo", &TsiParams::offset_lo},
    {"offset_hi", &TsiParams::offset_hi},
    {"components_lo", &TsiParams::components_lo},
    {"components_hi", &TsiParams::components_hi},
    {"amplitude_lo", &TsiParams::amplitude_lo},
    {"amplitude_hi", &TsiParams::amplitude_hi},
    {"modulation_prob", &TsiParams::modulation_prob},
    {"harmonics_prob", &TsiParams::harmonics_prob},
    {"noise_lo", &TsiParams::noise_lo},
    {"noise_hi", &TsiParams::noise_hi},
    {"ar_lo", &TsiParams::ar_lo},
    {"ar_hi", &TsiParams::ar_hi},
    {"df_lo", &TsiParams::df_lo},
    {"df_hi", &TsiParams::df_hi},
    {"multiplicative_prob", &TsiParams::multiplicative_prob},
    {"scale_lo", &TsiParams::scale_lo},
    {"scale_hi", &TsiParams::scale_hi},
}};

// Caps on drawn counts (faults naming the cap): the knots only cost memory
// and a sort, but every seasonal component costs a few sines per value and
// attempt.
inline constexpr int64_t kTsiMaxKnots = 1000000;
inline constexpr int64_t kTsiMaxComponents = 1000;

void gen_tsi(std::span<double> out, uint64_t seed, const TsiParams& p, std::span<const double> trend_pool,
             std::span<const double> period_pool, std::span<const double> irregular_pool);

}  // namespace qm
