// Saturating float64 -> integer conversions: truncate toward zero, clamp to
// the target range, NaN gives 0. Never a cast of an out-of-range value.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qm {

inline int32_t saturate_to_i32(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}

inline int64_t saturate_to_i64(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 0x1.0p63) return std::numeric_limits<int64_t>::max();
    if (x <= -0x1.0p63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

inline uint64_t saturate_to_u64(double x) noexcept {
    if (std::isnan(x) || x <= 0.0) return 0;
    if (x >= 0x1.0p64) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(x);
}

}  // namespace qm
