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
    const int64_t n = static_cast<int64_t>(out.size());
    const int64_t cells = n + kBurnIn;
    const int64_t start = std::max(p.p, p.q);
    const bool no_step = start < 0 || start >= cells;
    // Values before the first step's cell stay 0.
    std::fill_n(out.begin(), no_step ? n : std::clamp<int64_t>(start - kBurnIn, 0, n), 0.0);
    if (no_step) return;

    if (p.p < 0 || p.q < 0) fault("garch: p and q must be >= 0");
    if (alpha.size() < static_cast<std::size_t>(p.q))
        fault("garch: alpha_arr has " + std::to_string(alpha.size()) + " values, q = " + std::to_string(p.q));
    if (beta.size() < static_cast<std::size_t>(p.p))
        fault("garch: beta_arr has " + std::to_string(beta.size()) + " values, p = " + std::to_string(p.p));
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);

    const std::size_t q = static_cast<std::size_t>(p.q), pp = static_cast<std::size_t>(p.p);
    const std::size_t first = static_cast<std::size_t>(start), end = static_cast<std::size_t>(cells);
    const std::size_t burn = static_cast<std::size_t>(kBurnIn);
    // y is read only past the burn-in, so it goes straight to out.
    auto emit = [&](std::size_t t, double shock) {
        if (t >= burn) out[t - burn] = shock + p.mu;
    };

    if (pp <= 1 && q <= 1) {
        // The orders nearly everyone uses: the last shock and variance in registers.
        double e = 0.0, v_prev = p.initial_variance;
        for (std::size_t t = first; t < end; ++t) {
            double v = p.omega;
            if (q == 1) v = v + (e * e) * alpha[0];
            if (pp == 1) v = v + beta[0] * v_prev;
            const double z = draw_innovation(rng, law);
            e = std::sqrt(v) * z;
            v_prev = v;
            emit(t, e);
        }
        return;
    }

    // Only the last max(p, q) shocks and variances are read: keep them in a
    // window over the cells, slid back when it fills. Cell t is at t - base.
    const std::size_t lags = first;  // max(p, q)
    const std::size_t span = lags + 4096;
    std::vector<double> eps(span, 0.0), h(span, p.initial_variance);
    std::size_t base = 0;
    for (std::size_t t = first; t < end; ++t) {
        if (t - base == span) {
            std::copy(eps.end() - static_cast<std::ptrdiff_t>(lags), eps.end(), eps.begin());
            std::copy(h.end() - static_cast<std::ptrdiff_t>(lags), h.end(), h.begin());
            base += span - lags;
        }
        const double* ep = eps.data() + (t - base);
        const double* hp = h.data() + (t - base);
        double v = p.omega;
        for (std::size_t i = 1; i <= q; ++i) v = v + (*(ep - i) * *(ep - i)) * alpha[i - 1];
        for (std::size_t j = 1; j <= pp; ++j) v = v + beta[j - 1] * *(hp - j);
        h[t - base] = v;
        const double z = draw_innovation(rng, law);
        const double shock = std::sqrt(v) * z;
        eps[t - base] = shock;
        emit(t, shock);
    }
}

}  // namespace qm
