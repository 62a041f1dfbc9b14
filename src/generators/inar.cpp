#include "generators/inar.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr std::size_t kBurnIn = 100;
constexpr uint64_t kMaxCount = std::numeric_limits<int32_t>::max();

}  // namespace

void check_inar_args(int32_t length, int32_t p) {
    check_length(length);
    if (p <= 0) value_error("p must be > 0");
}

void gen_inar(std::span<double> out, uint64_t seed, const InarParams& p, std::span<const double> alpha) {
    Mt64 rng(seed);
    const std::size_t order = p.p > 0 ? static_cast<std::size_t>(p.p) : 0;

    // Every cell starts at the stationary mean mean / (1 - S).
    double sum = 0.0;
    for (std::size_t k = 0; k < std::min(order, alpha.size()); ++k) sum = sum + alpha[k];
    double m0 = sum < 1.0 ? p.innov_mean / (1.0 - sum) : p.innov_mean;
    m0 = m0 > 0.0 ? m0 : 0.0;
    const int32_t x0 = saturate_to_i32(m0);

    const std::size_t total = out.size() + kBurnIn;
    std::vector<int32_t> x(total, x0);

    const bool mixed = p.innov_type != 0;
    const double shape = p.innov_dispersion;
    const double q = shape / (p.innov_mean + shape);
    const double scale = (1.0 - q) / q;
    if (mixed) check_gamma_params(shape, scale);  // once, not at every step

    if (p.p >= 0) {
        for (std::size_t t = order; t < total; ++t) {
            uint64_t thinned = 0;  // at most p counts below 2^31: no overflow
            for (std::size_t k = 0; k < order; ++k) {
                const int32_t c = x[t - 1 - k];
                if (c <= 0) continue;
                if (k >= alpha.size())
                    fault("inar: no coefficient for lag " + std::to_string(k + 1) + " in alpha_arr (length " +
                          std::to_string(alpha.size()) + ")");
                if (alpha[k] > 0.0) thinned += sample_binomial(rng, c, alpha[k]);
            }
            double lambda = p.innov_mean;
            if (mixed) {
                lambda = gamma_law(rng, shape, scale);
                lambda = lambda > 0.0 ? lambda : 0.0;
            }
            const uint64_t count = static_cast<uint64_t>(sample_poisson(rng, lambda)) + thinned;
            x[t] = static_cast<int32_t>(std::min(count, kMaxCount));
        }
    }
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<double>(x[kBurnIn + i]);
}

}  // namespace qm
