#include "generators/fbm.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "fft/fft.hpp"
#include "generators/covariance.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

// The lag-k term pow(k + 1, e) is lag k+1's pow(k, e): each power is formed
// once and shared, with the same arguments and hence the same bits.
std::vector<double> autocovariances(std::size_t count, double hurst, double sigma) {
    check_allocation(count, 2 * sizeof(double));
    const double e = hurst + hurst;
    const double s = (sigma * sigma) * 0.5;
    std::vector<double> powers(count + 1);
    for (std::size_t j = 0; j <= count; ++j) powers[j] = std::pow(static_cast<double>(j), e);
    std::vector<double> g(count);
    for (std::size_t k = 0; k < count; ++k) {
        const double pa = powers[k];
        g[k] = ((powers[k + 1] - (pa + pa)) + powers[k == 0 ? 1 : k - 1]) * s;
    }
    return g;
}

// Durbin-Levinson: each value is its best linear prediction from all earlier
// values plus an independent draw of the prediction variance.
void hosking(Mt64& rng, std::span<double> x, double hurst, double sigma) {
    const std::size_t n = x.size();
    if (n == 0) fault("fbm: the Hosking method needs at least one value");
    check_allocation(n, 3 * sizeof(double));
    const std::vector<double> g = autocovariances(n, hurst, sigma);
    std::vector<double> phi_prev(n, 0.0), phi(n, 0.0);
    double v = g[0];
    x[0] = standard_normal(rng) * std::sqrt(g[0]);
    for (std::size_t i = 1; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 1; j < i; ++j) s = s + phi_prev[j] * g[i - j];
        const double phi_i = (g[i] - s) / v;
        phi[i] = phi_i;
        for (std::size_t j = 1; j < i; ++j) phi[j] = phi_prev[j] - phi_i * phi_prev[i - j];
        double mu = 0.0;
        for (std::size_t j = 1; j <= i; ++j) mu = mu + phi[j] * x[i - j];
        v = v * (1.0 - phi_i * phi_i);
        const double z = standard_normal(rng);
        // A negative (or NaN) prediction variance draws as 0; v itself carries on.
        x[i] = std::sqrt(v > 0.0 ? v : 0.0) * z + mu;
        std::swap(phi_prev, phi);
    }
}

void davies_harte(Mt64& rng, std::span<double> x, double hurst, double sigma) {
    const uint64_t m = embedding_size(x.size());
    const std::vector<double> half = autocovariances(m / 2 + 1, hurst, sigma);
    circulant_embedding_sample(rng, x, half);
}

void dense_cholesky(Mt64& rng, std::span<double> x, double hurst, double sigma) {
    const std::size_t n = x.size();
    // T, the factor's working copy, and the eigen fallback's vectors.
    square_elements_or_bad_alloc(n, 3);
    const std::vector<double> g = autocovariances(n, hurst, sigma);
    dense_toeplitz_sample(rng, g, x);
}

}  // namespace

void gen_fbm(std::span<double> out, uint64_t seed, const FbmParams& p) {
    Mt64 rng(seed);
    if (p.method == kFbmHosking) hosking(rng, out, p.hurst, p.sigma);
    else if (p.method == kFbmDaviesHarte) davies_harte(rng, out, p.hurst, p.sigma);
    else dense_cholesky(rng, out, p.hurst, p.sigma);
    if (p.cumulative) {
        double r = p.initial_value;
        for (double& v : out) {
            r = r + v;
            v = r;
        }
    }
}

}  // namespace qm
