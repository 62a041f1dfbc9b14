#include "generators/garch.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

namespace {
constexpr int64_t kBurnIn = 100;
}

void gen_garch(std::span<double> out, uint64_t seed, const GarchParams& p, std::span<const double> alpha,
               std::span<const double> beta) {
    Mt64 rng(seed);
    std::fill(out.begin(), out.end(), 0.0);
    const int64_t n = static_cast<int64_t>(out.size());
    const int64_t cells = n + kBurnIn;
    const int64_t start = std::max(p.p, p.q);
    if (start < 0 || start >= cells) return;  // no step runs

    if (p.p < 0 || p.q < 0) fault("garch: p and q must be >= 0");
    if (alpha.size() < static_cast<std::size_t>(p.q))
        fault("garch: alpha_arr has " + std::to_string(alpha.size()) + " values, q = " + std::to_string(p.q));
    if (beta.size() < static_cast<std::size_t>(p.p))
        fault("garch: beta_arr has " + std::to_string(beta.size()) + " values, p = " + std::to_string(p.p));
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);

    check_allocation(static_cast<std::size_t>(cells), 2 * sizeof(double));
    std::vector<double> eps(static_cast<std::size_t>(cells), 0.0);
    std::vector<double> h(static_cast<std::size_t>(cells), p.initial_variance);
    const std::size_t q = static_cast<std::size_t>(p.q), pp = static_cast<std::size_t>(p.p);
    for (std::size_t t = static_cast<std::size_t>(start); t < static_cast<std::size_t>(cells); ++t) {
        double v = p.omega;
        for (std::size_t i = 1; i <= q; ++i) v = v + (eps[t - i] * eps[t - i]) * alpha[i - 1];
        for (std::size_t j = 1; j <= pp; ++j) v = v + beta[j - 1] * h[t - j];
        h[t] = v;
        const double z = draw_innovation(rng, law);
        const double shock = std::sqrt(v) * z;
        eps[t] = shock;
        // y is read only past the burn-in, so it goes straight to out.
        if (t >= static_cast<std::size_t>(kBurnIn)) out[t - static_cast<std::size_t>(kBurnIn)] = shock + p.mu;
    }
}

}  // namespace qm
