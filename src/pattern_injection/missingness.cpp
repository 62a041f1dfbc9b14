#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include "fault.hpp"
#include "pattern_injection/injectors.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

const double kMissing = std::bit_cast<double>(uint64_t{0x7FF8000000000000});

void blank_random(std::span<double> x, Mt64& rng, int32_t big_n, double target,
                  std::vector<int64_t>& hit) {
    const int32_t m = saturate_to_i32(target);
    if (m < 1) return;
    hit = sample_distinct_indices(rng, big_n, m);
    for (const int64_t i : hit) x[static_cast<std::size_t>(i)] = kMissing;
}

void blank_blocks(std::span<double> x, Mt64& rng, int32_t big_n, double target, int32_t b,
                  std::vector<int64_t>& hit) {
    const int32_t blocks = std::max(1, saturate_to_i32(target) / b);
    // N - b cannot overflow (N >= 0, b >= 1), and max(0, N - b) + 1 <= N.
    const int32_t start_hi = std::max(0, big_n - b) + 1;
    const int64_t block_len = std::min<int64_t>(b, big_n);
    // blocks * min(b, N) <= N: one block of at most N points, or q * b <= target.
    hit.reserve(static_cast<std::size_t>(int64_t{blocks} * block_len));
    for (int32_t k = 0; k < blocks; ++k) {
        const int64_t start = sample_int_range(rng, 0, start_hi);
        const int64_t end = std::min<int64_t>(big_n, start + b);
        for (int64_t t = start; t < end; ++t) {
            x[static_cast<std::size_t>(t)] = kMissing;
            hit.push_back(t);
        }
    }
}

void blank_seasonal(std::span<double> x, Mt64& rng, int32_t big_n, double rate, int32_t period,
                    std::vector<int64_t>& hit) {
    const double p = static_cast<double>(period);
    for (int32_t t = 0; t < big_n; ++t) {
        // One draw per point, missing or not.
        const double u = sample_uniform(rng, 0.0, 1.0);
        const double phase = static_cast<double>(t % period) * (2.0 * std::numbers::pi) / p;
        const double w = (std::sin(phase) + 1.0) * rate;
        if (w > u) {
            x[static_cast<std::size_t>(t)] = kMissing;
            hit.push_back(t);
        }
    }
}

}  // namespace

void check_missingness_settings(std::string_view pattern, int32_t missing_block_size,
                                int32_t missing_seasonal_period) {
    if (pattern == "seasonal" && missing_seasonal_period <= 0) value_error(kSeasonalPeriodMessage);
    if (pattern == "block" && missing_block_size <= 0) value_error(kBlockSizeMessage);
}

std::vector<int64_t> inject_missingness(std::span<double> values, uint64_t seed,
                                        std::string_view pattern, double missing_rate,
                                        int32_t missing_block_size,
                                        int32_t missing_seasonal_period) {
    if (missing_rate <= 0.0) return {};
    if (missing_rate >= 1.0) {
        std::fill(values.begin(), values.end(), kMissing);
        std::vector<int64_t> all(values.size());
        std::iota(all.begin(), all.end(), int64_t{0});
        return all;
    }

    // Rate strictly between 0 and 1, or NaN.
    Mt64 rng(seed);
    const int32_t big_n = injection_length(values.size());
    const double target = static_cast<double>(big_n) * missing_rate;
    std::vector<int64_t> hit;
    if (pattern == "random") {
        blank_random(values, rng, big_n, target, hit);
    } else if (pattern == "block") {
        if (missing_block_size < 1) fault(kBlockSizeMessage);
        blank_blocks(values, rng, big_n, target, missing_block_size, hit);
    } else if (pattern == "seasonal") {
        if (missing_seasonal_period < 1) fault(kSeasonalPeriodMessage);
        blank_seasonal(values, rng, big_n, missing_rate, missing_seasonal_period, hit);
    }
    std::sort(hit.begin(), hit.end());
    hit.erase(std::unique(hit.begin(), hit.end()), hit.end());
    return hit;
}

}  // namespace qm
