#include "augmentation/bootstrap.hpp"

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

void check_bootstrap_block(std::size_t n, std::uint64_t block_size) {
    if (block_size < 2 || block_size > n) value_error("block_size must be in [2, len(values)]");
    if (n > kBootstrapMaxLength) value_error("values must contain at most 2147483647 observations");
}

std::vector<double> block_bootstrap_residuals(const Decomposition& d, std::size_t block_size,
                                              std::uint64_t seed) {
    const std::size_t n = d.residual.size();
    if (d.trend.size() != n || d.seasonal.size() != n) fault("decomposition parts differ in length");
    check_bootstrap_block(n, block_size);
    const std::size_t b = block_size;

    // n / b + 2 blocks always cover offset + n for any offset below b.
    const std::size_t blocks = n / b + 2;
    std::vector<double> buffer;
    buffer.reserve(blocks * b);
    Mt64 rng(seed);
    const auto start_bound = static_cast<std::int32_t>(n - b + 1);
    for (std::size_t k = 0; k < blocks; ++k) {
        const auto start = static_cast<std::size_t>(sample_int_range(rng, 0, start_bound));
        buffer.insert(buffer.end(), d.residual.begin() + start, d.residual.begin() + (start + b));
    }
    const auto offset = static_cast<std::size_t>(sample_int_range(rng, 0, static_cast<std::int32_t>(b)));

    std::vector<double> out(n);
    for (std::size_t t = 0; t < n; ++t) out[t] = (d.trend[t] + d.seasonal[t]) + buffer[offset + t];
    return out;
}

std::vector<double> moving_block_bootstrap(std::span<const double> values, std::uint64_t block_size,
                                           std::uint64_t seed, std::optional<std::uint64_t> period) {
    const Decomposition d = classical_decompose_core(values, period);
    check_bootstrap_block(values.size(), block_size);
    return block_bootstrap_residuals(d, static_cast<std::size_t>(block_size), seed);
}

std::vector<std::vector<double>> moving_block_bootstrap_many(std::span<const double> values,
                                                             std::uint64_t block_size,
                                                             std::span<const std::uint64_t> seeds,
                                                             std::optional<std::uint64_t> period) {
    const Decomposition d = classical_decompose_core(values, period);
    check_bootstrap_block(values.size(), block_size);
    std::vector<std::vector<double>> out;
    out.reserve(seeds.size());
    for (std::uint64_t seed : seeds)
        out.push_back(block_bootstrap_residuals(d, static_cast<std::size_t>(block_size), seed));
    return out;
}

}  // namespace qm
