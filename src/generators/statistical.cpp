#include "generators/statistical.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

// ---- Random walk ----------------------------------------------------------

void gen_random_walk(std::span<double> out, uint64_t seed, const RandomWalkParams& p) {
    if (out.empty()) return;
    Mt64 rng(seed);
    const InnovationLaw law = prepare_innovation(p.innov_dist, p.volatility, p.innov_param);
    const double drift = p.drift;
    double x = p.start_value;
    for (double& slot : out) {
        // The step (innovation + drift) is formed before it joins the level.
        const double step = draw_innovation(rng, law) + drift;
        x = x + step;
        slot = x;
    }
}

// ---- Seasonal -------------------------------------------------------------

void check_seasonal_args(int32_t length, int32_t seasonality_period) {
    check_length(length);
    if (seasonality_period <= 0) value_error("seasonality_period must be > 0");
}

void gen_seasonal(std::span<double> out, uint64_t seed, const SeasonalParams& p) {
    if (out.empty()) return;
    Mt64 rng(seed);
    const InnovationLaw law = prepare_innovation(p.innov_dist, p.noise_level, p.innov_param);
    const double w = (2.0 * std::numbers::pi) / static_cast<double>(p.seasonality_period);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double e = draw_innovation(rng, law);
        const double t = static_cast<double>(i);
        const double s = std::sin(w * t);
        out[i] = ((p.seasonality_amplitude * s + p.base_level) + p.trend * t) + e;
    }
}

}  // namespace qm
