// What the scenario generators (tcm, tsi) share: the range reading, where a
// pair (lo, hi) is lo when lo >= hi and otherwise a draw in it (so a NaN
// bound reaches the sampler and faults there), the pool pick, and the test
// that judges an attempt.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

inline double range_draw(Mt64& rng, double lo, double hi) { return lo >= hi ? lo : sample_uniform(rng, lo, hi); }

// An integer in [lo, hi]. The exclusive end hi + 1 does not exist for the
// largest int32: that range is refused like any empty one.
inline int32_t int_range_draw(Mt64& rng, int32_t lo, int32_t hi) {
    if (lo >= hi) return lo;
    if (hi == std::numeric_limits<int32_t>::max()) fault("invalid integer range: requires low < high: EmptyRange");
    return sample_int_range(rng, lo, hi + 1);
}

// An index into a pool of `size` > 0 entries: 0 without a draw for one
// entry, else a uniform draw. `generator` names the fault for a pool the
// int32 draw cannot index.
inline std::size_t pick(Mt64& rng, std::size_t size, const char* generator) {
    if (size == 1) return 0;
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        fault(std::string(generator) + ": pool longer than 2147483647 entries");
    return static_cast<std::size_t>(sample_int_range(rng, 0, static_cast<int32_t>(size)));
}

// Population standard deviation by two passes, sums in index order from -0.0.
inline double spread(std::span<const double> y) {
    const double n = static_cast<double>(y.size());
    double sum = -0.0;
    for (double v : y) sum += v;
    const double mean = sum / n;
    double ss = -0.0;
    for (double v : y) {
        const double d = v - mean;
        ss += d * d;
    }
    return std::sqrt(ss / n);
}

// An attempt is kept when every value is below 1e8 in magnitude (NaN and
// infinities fail too) and the series is not flat; a single value counts as
// not flat only when `single_value_ok`.
inline bool acceptable(std::span<const double> y, bool single_value_ok) {
    for (double v : y)
        if (!(std::fabs(v) < 1e8)) return false;
    return (single_value_ok && y.size() == 1) || spread(y) > 1e-8;
}

}  // namespace qm
