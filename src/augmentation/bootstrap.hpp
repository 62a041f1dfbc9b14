// Moving-block bootstrap of a series' decomposition residuals.
//
// The series is split into trend + seasonal + residual; the residuals are
// resampled as contiguous blocks drawn with replacement, laid end to end,
// read from a random offset and added back to trend + seasonal. Each
// resampled series owns an Mt64 seeded with its own seed, so a result depends
// only on the arguments. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "augmentation/decompose.hpp"

namespace qm {

// Block starts and the offset are drawn with 32-bit integer bounds; longer
// series are refused rather than wrapped.
inline constexpr std::size_t kBootstrapMaxLength = 2'147'483'647;

// Refuses a block size outside [2, n] ("block_size must be in [2, len(values)]")
// and a series too long for the 32-bit draws ("values must contain at most
// 2147483647 observations"), in that order.
void check_bootstrap_block(std::size_t n, std::uint64_t block_size);

// One resampled series of the decomposition's length n, for a block size B
// already checked against n: n / B + 2 block starts uniform in [0, n - B],
// then one offset uniform in [0, B), all by sample_int_range on a fresh
// Mt64(seed); out[t] = (trend[t] + seasonal[t]) + blocks[offset + t].
std::vector<double> block_bootstrap_residuals(const Decomposition& d, std::size_t block_size,
                                              std::uint64_t seed);

// The Python functions after argument conversion. Throws qm::ValueError,
// first match: the decomposition's messages ("values must contain at least 3
// observations", "values must contain only finite observations", "period
// must be >= 2 when provided"), then check_bootstrap_block's. The
// decomposition is computed once, also for many seeds; an empty `seeds` still
// runs every check and gives an empty list.
std::vector<double> moving_block_bootstrap(std::span<const double> values, std::uint64_t block_size,
                                           std::uint64_t seed, std::optional<std::uint64_t> period);

std::vector<std::vector<double>> moving_block_bootstrap_many(std::span<const double> values,
                                                             std::uint64_t block_size,
                                                             std::span<const std::uint64_t> seeds,
                                                             std::optional<std::uint64_t> period);

}  // namespace qm
