#include "generators/volatility.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

// ---- Stochastic volatility ---------------------------------------------------

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

// ---- Regime switching --------------------------------------------------------

namespace {

double at(std::span<const double> v, int64_t i, const char* name) {
    if (i < 0 || static_cast<uint64_t>(i) >= v.size())
        fault("regime_switching: regime " + std::to_string(i) + " is outside " + name + " (length " +
              std::to_string(v.size()) + ")");
    return v[static_cast<std::size_t>(i)];
}

}  // namespace

void check_regime_switching_args(int32_t length, int32_t n_regimes, int32_t initial_regime,
                                 std::size_t n_stationary_probs) {
    check_length(length);
    if (n_regimes <= 0) value_error("n_regimes must be > 0");
    if (initial_regime < 0 && n_stationary_probs < static_cast<std::size_t>(n_regimes))
        value_error("stationary_probs must have n_regimes entries when initial_regime < 0");
}

void gen_regime_switching(std::span<double> out, uint64_t seed, const RegimeSwitchingParams& p, const RegimeArrays& a) {
    Mt64 rng(seed);
    const int64_t k = p.n_regimes;
    const int64_t fallback = k - 1;  // when no running sum reaches u
    const int64_t first_row = p.initial_regime;

    int64_t r = first_row;
    if (first_row < 0) {
        const double u = uniform01(rng);
        const int64_t m = std::min<int64_t>(static_cast<int64_t>(a.stationary.size()), k);
        r = fallback;
        double sum = 0.0;
        for (int64_t j = 0; j < m; ++j) {
            sum = sum + a.stationary[static_cast<std::size_t>(j)];
            if (sum >= u) {
                r = j;
                break;
            }
        }
    }
    double mu = at(a.means, r, "regime_means");
    double var = at(a.variances, r, "regime_variances");
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
    const double e0 = draw_innovation(rng, law);
    if (out.empty()) fault("regime_switching: empty series");
    out[0] = mu + std::sqrt(var) * e0;

    for (std::size_t t = 1; t < out.size(); ++t) {
        const double x = out[t - 1];
        const double u = sample_uniform(rng, 0.0, 1.0);
        // Row r starts at r*K (< 2^62); an entry is read only when the search reaches it.
        const int64_t row = r * k;
        int64_t next = fallback;
        double sum = 0.0;
        for (int64_t j = 0; j < k; ++j) {
            const int64_t at_entry = row + j;
            if (static_cast<uint64_t>(at_entry) >= a.transition.size())
                fault("regime_switching: transition row " + std::to_string(r) +
                      " runs past transition_matrix (length " + std::to_string(a.transition.size()) + ")");
            sum = sum + a.transition[static_cast<std::size_t>(at_entry)];
            if (sum >= u) {
                next = j;
                break;
            }
        }
        r = next;
        mu = at(a.means, r, "regime_means");
        const double s = std::sqrt(at(a.variances, r, "regime_variances"));
        const double phi = at(a.ar_coeffs, r, "regime_ar_coeffs");
        const double e = draw_innovation(rng, law);
        out[t] = ((x - mu) * phi + mu) + s * e;
    }
}

}  // namespace qm
