// Additive classical decomposition: series = trend + seasonal + residual.
//
// The trend is a centred moving average (a 2 x p average for an even period)
// kept as a shifted, compensated running sum so long series far from zero do
// not drift; the seasonal part is the centred per-phase mean of the detrended
// values. Shared by classical_decompose, the feature code and the moving-block
// bootstrap. Pure: no state, no randomness, safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qm {

// Three vectors of the series' length n. For every i,
// residual[i] == (x[i] - trend[i]) - seasonal[i], evaluated in that order.
struct Decomposition {
    std::vector<double> trend;
    std::vector<double> seasonal;
    std::vector<double> residual;
};

// The moving-average window chosen for a series of n values and a period.
struct DecomposeWindow {
    std::size_t width = 3;   // odd, 3 <= width <= n
    bool even_period = false;  // 2 x p average: half weight on both ends, divisor p
    bool period_used = false;  // the period is usable: seasonal part is computed
};

// A period is used only when given and p <= n / 2; a larger one is ignored
// (default window, zero seasonal part), not an error.
bool decompose_period_usable(std::size_t n, std::optional<std::uint64_t> period) noexcept;

// Window for n >= 3 values and a period already checked to be >= 2 if given.
DecomposeWindow decompose_window(std::size_t n, std::optional<std::uint64_t> period) noexcept;

// ValueError, first match wins:
//   "values must contain at least 3 observations"
//   "values must contain only finite observations"
//   "period must be >= 2 when provided"
Decomposition classical_decompose_core(std::span<const double> values,
                                         std::optional<std::uint64_t> period);

}  // namespace qm
