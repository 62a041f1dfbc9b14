#include "generators/ets.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "clamp.hpp"
#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

void check_ets_args(int32_t length, int32_t seasonal_period) {
    check_length(length);
    if (seasonal_period <= 0) value_error("seasonal_period must be > 0");
}

void gen_ets(std::span<double> out, uint64_t seed, const EtsParams& p, std::span<const double> seasonal_init) {
    Mt64 rng(seed);
    const int32_t m = p.seasonal_period;
    if (m < 0) fault("ets: negative seasonal_period " + std::to_string(m));
    const int32_t trend = p.trend_type;
    const int32_t season = p.seasonal_type;
    // j never passes n - 1, so states beyond the first n are never read.
    const std::size_t states = std::min(static_cast<std::size_t>(m), out.size());
    std::vector<double> s(states, 0.0);
    if (season != 0 && !seasonal_init.empty()) {
        if (seasonal_init.size() < static_cast<std::size_t>(m))
            fault("ets: seasonal_init (length " + std::to_string(seasonal_init.size()) +
                  ") is shorter than seasonal_period " + std::to_string(m));
        std::copy_n(seasonal_init.begin(), states, s.begin());
    } else if (season == 2 && seasonal_init.empty()) {
        std::fill(s.begin(), s.end(), 1.0);
    }
    if (out.empty()) return;
    if (m == 0) fault("ets: seasonal_period is 0");

    const InnovationLaw law = prepare_innovation(p.innov_dist, p.noise_std, p.innov_param);
    const bool additive = p.error_type == 0;
    const double floor = additive ? -1e12 : 1e-6;  // of both the output and the level
    const double phi = p.damped ? p.phi : 1.0;
    double l = p.level;
    double b = p.trend_init;
    std::size_t j = 0;
    for (double& slot : out) {
        const double v = s[j];
        double mu = l;
        if (trend == 0 || trend == 1 || trend == 2) {
            const double base = trend == 0 ? l : trend == 1 ? phi * b + l : std::pow(b, phi) * l;
            mu = season == 1 ? base + v : season == 2 ? base * v : season == 0 ? base : l;
        }
        const double e = draw_innovation(rng, law);
        slot = additive ? clamp_nan_passes(mu + e, floor, 1e12) : clamp_nan_passes((e + 1.0) * mu, floor, 1e12);

        const double eps = additive ? e : e * mu;
        const double r = season == 2 && v != 0.0 ? v : 1.0;
        double base = l;
        double next_l;
        if (trend == 1) {
            const double c = b * phi;
            base = l + c;
            next_l = clamp_nan_passes((p.alpha * eps) / r + base, floor, 1e12);
            b = clamp_nan_passes((p.beta_param * eps) / r + c, -1e6, 1e6);
        } else if (trend == 2) {
            const double c = std::pow(b, phi);
            const double q = l * r;
            const double delta = q != 0.0 ? (p.beta_param * eps) / q : 0.0;
            base = l * c;
            next_l = clamp_nan_passes((p.alpha * eps) / r + base, floor, 1e12);
            b = clamp_nan_passes(delta + c, 0.01, 100.0);
        } else {
            next_l = clamp_nan_passes((p.alpha * eps) / r + l, floor, 1e12);
        }
        if (season == 1) {
            s[j] = v + eps * p.gamma;
        } else if (season == 2) {
            const double g = base != 0.0 ? (eps * p.gamma) / base : 0.0;
            s[j] = clamp_nan_passes(v + g, 0.01, 100.0);
        }
        if (++j == states) j = 0;
        l = next_l;
    }
}

}  // namespace qm
