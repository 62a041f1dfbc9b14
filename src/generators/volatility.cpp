#include "generators/volatility.hpp"

#include <cmath>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

// ---- Stochastic volatility ---------------------------------------------------

void check_stochastic_volatility_args(int32_t length) {
    if (length <= 0) value_error("length must be > 0");
}

void gen_stochastic_volatility(std::span<double> out, uint64_t seed, const StochasticVolatilityParams& p) {
    Mt64 rng(seed);
    if (out.empty()) fault("stochastic_volatility: empty series");
    const bool heston = p.model_type == 0;
    const int32_t output = p.output_type;
    // The chosen output is written as the path goes, so no path is stored.
    auto vol_out = [&](double v) { return heston ? std::sqrt(std::fmax(v, 0.0)) : v; };
    double price = p.initial_price;
    double state = p.model_type == 1 ? std::sqrt(p.initial_vol) : p.initial_vol;
    out[0] = output == 0 ? price : output == 1 ? 0.0 : vol_out(state);
    if (out.size() == 1) return;

    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
    const double h = std::sqrt(p.dt);
    const double rho = p.correlation;
    const double c = std::sqrt(1.0 - rho * rho);
    const double xi = p.vol_of_vol;
    for (std::size_t i = 1; i < out.size(); ++i) {
        const double z1 = draw_innovation(rng, law);
        const double z2 = draw_innovation(rng, law);
        const double w = z2 * c + z1 * rho;
        double next_state, next_price;
        if (heston) {
            // Full truncation: the step uses max(v, 0), the stored variance is not floored.
            const double vp = std::fmax(state, 0.0);
            const double r = std::sqrt(vp);
            next_state = state + ((r * xi) * (w * h) + (p.vol_mean_reversion * (p.mean_vol - vp)) * p.dt);
            next_price = price + ((r * price) * (z1 * h) + (p.drift * price) * p.dt);
        } else {
            const double m = std::fmax(state, 1e-10);
            const double scale = std::pow(std::fmax(std::fabs(price), 1e-10), p.beta_param);
            next_state = state + (xi * m) * (w * h);
            next_price = price + (scale * m) * (z1 * h);
        }
        if (output == 0) {
            out[i] = next_price;
        } else if (output == 1) {
            out[i] = next_price > 0.0 && price > 0.0 ? std::log(next_price / price) : 0.0;
        } else {
            out[i] = vol_out(next_state);
        }
        price = next_price;
        state = next_state;
    }
}

}  // namespace qm
