#include "augmentation/decompose.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"

namespace qm {

namespace {

// Kahan-compensated running sum.
struct CompensatedSum {
    double sum = 0.0;
    double carry = 0.0;

    void add(double v) noexcept {
        const double y = v - carry;
        const double t = sum + y;
        carry = (t - sum) - y;
        sum = t;
    }
};

// Centred moving average of every full window, padded at both ends with the
// first and last full-window value. The sum runs on values shifted by x[0]
// so a series at a large level keeps the precision of its variations.
void moving_average_trend(std::span<const double> x, const DecomposeWindow& win, std::vector<double>& trend) {
    const std::size_t n = x.size();
    const std::size_t w = win.width;
    const std::size_t h = (w - 1) / 2;
    const std::size_t m = n - w + 1;
    const double x0 = x[0];
    const double divisor = win.even_period ? static_cast<double>(w - 1) : static_cast<double>(w);

    CompensatedSum s;
    for (std::size_t j = 0; j < w; ++j) s.add(x[j] - x0);

    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0) {
            s.add(-(x[i - 1] - x0));
            s.add(x[i + w - 1] - x0);
        }
        // A 2 x p average weighs the two end values by half.
        const double end = win.even_period ? 0.5 * (x[i] - x0) + 0.5 * (x[i + w - 1] - x0) : 0.0;
        trend[i + h] = (s.sum - end) / divisor + x0;
    }
    for (std::size_t i = 0; i < h; ++i) {
        trend[i] = trend[h];
        trend[n - 1 - i] = trend[h + m - 1];
    }
}

void seasonal_means(std::span<const double> x, const std::vector<double>& trend, std::size_t p,
                    std::vector<double>& seasonal) {
    const std::size_t n = x.size();
    // One pass in index order: each phase still sums its own terms in
    // increasing j, so the result equals summing phase by phase.
    std::vector<double> phase(p, 0.0);
    std::size_t k = 0;
    for (std::size_t j = 0; j < n; ++j) {
        phase[k] += x[j] - trend[j];
        if (++k == p) k = 0;
    }
    for (k = 0; k < p; ++k) {
        const std::size_t count = (n - k + p - 1) / p;
        phase[k] = phase[k] / static_cast<double>(count);
    }
    double total = 0.0;
    for (k = 0; k < p; ++k) total += phase[k];
    const double centre = total / static_cast<double>(p);
    for (k = 0; k < p; ++k) phase[k] -= centre;
    for (std::size_t start = 0; start < n; start += p) {
        const std::size_t len = std::min(p, n - start);
        std::copy_n(phase.begin(), len, seasonal.begin() + static_cast<std::ptrdiff_t>(start));
    }
}

}  // namespace

bool decompose_period_usable(std::size_t n, std::optional<std::uint64_t> period) noexcept {
    return period.has_value() && *period <= static_cast<std::uint64_t>(n / 2);
}

DecomposeWindow decompose_window(std::size_t n, std::optional<std::uint64_t> period) noexcept {
    DecomposeWindow win;
    if (decompose_period_usable(n, period)) {
        // p <= n / 2, so p + 1 <= n and the window always fits.
        const auto p = static_cast<std::size_t>(*period);
        win.period_used = true;
        win.even_period = (p % 2 == 0);
        win.width = win.even_period ? p + 1 : p;
        return win;
    }
    std::size_t w = (n / 10) | 1U;
    if (w < 4) w = 3;
    if (w > n) w = (n % 2 == 1) ? n : n - 1;
    win.width = w;
    return win;
}

Decomposition classical_decompose_core(std::span<const double> values, std::optional<std::uint64_t> period) {
    const std::size_t n = values.size();
    if (n < 3) value_error("values must contain at least 3 observations");
    for (double v : values)
        if (!std::isfinite(v)) value_error("values must contain only finite observations");
    if (period.has_value() && *period < 2) value_error("period must be >= 2 when provided");

    const DecomposeWindow win = decompose_window(n, period);
    Decomposition d;
    d.trend.assign(n, 0.0);
    d.seasonal.assign(n, 0.0);
    d.residual.assign(n, 0.0);

    moving_average_trend(values, win, d.trend);
    if (win.period_used) seasonal_means(values, d.trend, static_cast<std::size_t>(*period), d.seasonal);
    for (std::size_t i = 0; i < n; ++i) d.residual[i] = (values[i] - d.trend[i]) - d.seasonal[i];
    return d;
}

}  // namespace qm
