// Samplers over Mt64: guarded samplers that refuse bad parameters with the
// random source's fault text, and the law samplers every generator draws
// from. The number and order of raw outputs each one consumes is part of
// every seeded result, so none of them may change how it uses the engine.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rng/mt64.hpp"
#include "rng/ziggurat_tables.hpp"
#include "saturate.hpp"

namespace qm {

// ---- Recipes as pure functions of one raw output -------------------------
// Mt64's uniform01 / uniform01_52 / uniform_open01 give the same values for
// the same raw output; the ziggurats decode their candidate from these.

// [0, 1), multiple of 2^-53.
inline double uniform01_from_bits(uint64_t bits) {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

// Top 52 bits in the mantissa of [1, 2).
inline double unit_interval_12_from_bits(uint64_t bits) {
    return std::bit_cast<double>(0x3FF0000000000000ULL | (bits >> 12));
}

// [0, 1), multiple of 2^-52.
inline double uniform01_52_from_bits(uint64_t bits) { return unit_interval_12_from_bits(bits) - 1.0; }

// (0, 1): k * 2^-52 + 2^-53.
inline double uniform_open01_from_bits(uint64_t bits) {
    return unit_interval_12_from_bits(bits) - (1.0 - 0x1.0p-53);
}

// ---- Guarded samplers -----------------------------------------------------

// Uniform on [a, b). Faults unless a < b ("...: EmptyRange", NaN included)
// and b - a is finite ("...: NonFinite"). One raw output.
double sample_uniform(Mt64& rng, double a, double b);

// Uniform integer on [low, high) by multiply-and-reject on next_u32.
// Faults unless low < high. At least one raw output (range 1 included).
int32_t sample_int_range(Mt64& rng, int32_t low, int32_t high);

// Bernoulli(p), p in [0, 1] (else fault). p = 1 draws nothing; any other p,
// 0 included, draws one raw output.
bool sample_bernoulli(Mt64& rng, double p);

// Poisson(lambda) saturated to int32. lambda <= 0 (and -inf) gives 0 without
// a draw; NaN / +inf fault with NonFinite, lambda > 1.844e19 with
// ShapeTooLarge.
int32_t sample_poisson(Mt64& rng, double lambda);

// Binomial(n, p). n < 1, p <= 0 and p >= 1 draw nothing (0, 0, n); a NaN p
// faults with ProbabilityTooSmall.
uint64_t sample_binomial(Mt64& rng, int32_t n, double p);

// min(k, n) distinct indices of 0 .. n-1 by Floyd's method, in choice order
// (not sorted). n <= 0 or k <= 0 gives an empty vector without a draw.
std::vector<int64_t> sample_distinct_indices(Mt64& rng, int32_t n, int32_t k);

// Normal with the given mean and standard deviation: z * std + mean. Faults
// when std is not finite (check_normal_std); a negative std is accepted (it
// flips the sign).
double sample_normal(Mt64& rng, double mean, double std_dev);

// The fault of sample_normal, for callers that check before their first draw.
inline constexpr const char* kNormalStdFault = "invalid normal params: std must be finite and >= 0: BadVariance";
void check_normal_std(double std_dev);

// exp(z * sigma + mu); faults when sigma is not finite.
double sample_lognormal(Mt64& rng, double mu, double sigma);

// Exponential with rate lambda: standard_exponential * (1 / lambda).
// Faults when lambda is NaN or negative; lambda = 0 gives +inf, +inf gives 0.
double sample_exponential(Mt64& rng, double lambda);

// The gamma parameter check, shape first: !(shape > 0) ShapeTooSmall,
// !(scale > 0) ScaleTooSmall, scale = +inf ScaleTooLarge. For callers that
// check once and then draw many values with gamma_law.
void check_gamma_params(double shape, double scale);

// Gamma with shape and scale (Marsaglia-Tsang); faults as check_gamma_params.
double sample_gamma(Mt64& rng, double shape, double scale);

// ---- Law samplers (no guard; callers have checked the parameters) --------

// The rest of a ziggurat draw whose first candidate (built from `bits`) fell
// outside its layer's rectangle: wedge, tail and retries.
double standard_normal_rejected(Mt64& rng, uint64_t bits);
double standard_exponential_rejected(Mt64& rng, uint64_t bits);

// Standard normal, 256-layer symmetric ziggurat. The common case (about 99%)
// is inline: one raw output, one table lookup, one comparison.
inline double standard_normal(Mt64& rng) {
    const uint64_t bits = next_u64(rng);
    const std::size_t i = static_cast<std::size_t>(bits & 0xFF);
    // The [1, 2) float doubled is the [2, 4) float of the same bits.
    const double u = 2.0 * unit_interval_12_from_bits(bits) - 3.0;
    const double x = u * kZigNormalX[i];
    if (std::fabs(x) < kZigNormalX[i + 1]) return x;
    return standard_normal_rejected(rng, bits);
}

// Standard exponential, 256-layer one-sided ziggurat.
inline double standard_exponential(Mt64& rng) {
    const uint64_t bits = next_u64(rng);
    const std::size_t i = static_cast<std::size_t>(bits & 0xFF);
    const double x = uniform_open01_from_bits(bits) * kZigExpX[i];
    if (x < kZigExpX[i + 1]) return x;
    return standard_exponential_rejected(rng, bits);
}

// Gamma body for shape > 0 (finite) and 0 < scale < +inf.
double gamma_law(Mt64& rng, double shape, double scale);

// Poisson body for 0 < lambda <= 1.844e19: the count as float64. Product
// method below 12, Ahrens-Dieter PD from 12 on.
double poisson_law(Mt64& rng, double lambda);

// The product method alone (also the binomial's fallback when q == 1).
uint64_t poisson_product_law(Mt64& rng, double lambda);

// Binomial body for n >= 1 and 0 < p < 1: inversion while n * min(p, 1-p) < 10,
// BTPE above.
uint64_t binomial_law(Mt64& rng, uint64_t n, double p);

}  // namespace qm
