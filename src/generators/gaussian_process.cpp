#include "generators/gaussian_process.hpp"

#include <cmath>
#include <cstddef>
#include <vector>
#include <numbers>

#include "fault.hpp"
#include "fft/fft.hpp"
#include "generators/covariance.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kSqrt3 = std::numbers::sqrt3;
constexpr double kSqrt5 = 2.23606797749979;

double kernel(const GaussianProcessParams& p, double d) {
    const double l = p.length_scale;
    const double a2 = p.amplitude * p.amplitude;
    switch (p.kernel_id) {
        case kGpExponential:
            return std::exp((-d) / l) * a2;
        case kGpMatern32: {
            const double r = (d * kSqrt3) / l;
            return std::exp(-r) * ((r + 1.0) * a2);
        }
        case kGpMatern52: {
            const double r = (d * kSqrt5) / l;
            return std::exp(-r) * (((r * r) / 3.0 + (r + 1.0)) * a2);
        }
        case kGpPeriodic: {
            const double q = std::sin((d * kPi) / p.period) / l;
            return std::exp((q * q) * -2.0) * a2;
        }
        default: {
            const double u = d / l;
            return std::exp((u * -0.5) * u) * a2;
        }
    }
}

// Every entry of K depends on the lag alone, so each lag's value is formed
// once and copied to its two diagonals.
void dense_periodic(Mt64& rng, std::span<double> out, const GaussianProcessParams& p) {
    const std::size_t n = out.size();
    square_elements_or_bad_alloc(n, 3);
    std::vector<double> k(n);
    for (std::size_t d = 0; d < n; ++d) k[d] = kernel(p, static_cast<double>(d));
    if (n != 0) k[0] = k[0] + p.noise_variance;
    dense_toeplitz_sample(rng, k, out);
    for (double& v : out) v = v + p.mean;
}

void circulant(Mt64& rng, std::span<double> out, const GaussianProcessParams& p) {
    const uint64_t h = embedding_size(out.size()) / 2;
    check_allocation(h + 1, sizeof(double));
    std::vector<double> half(h + 1);
    half[0] = p.noise_variance + kernel(p, 0.0);
    for (uint64_t d = 1; d <= h; ++d) half[d] = kernel(p, static_cast<double>(d));
    circulant_embedding_sample(rng, out, half);
    for (double& v : out) v = v + p.mean;
}

}  // namespace

void gen_gaussian_process(std::span<double> out, uint64_t seed, const GaussianProcessParams& p) {
    Mt64 rng(seed);
    if (p.kernel_id == kGpPeriodic) dense_periodic(rng, out, p);
    else circulant(rng, out, p);
}

}  // namespace qm
