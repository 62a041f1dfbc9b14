// Integer power by repeated squaring. Its rounding is part of the output of
// the generators that use it, so it is never std::pow.
#pragma once

#include <cstdint>

namespace qm {

// base^k: the result starts at 1 and takes one product with the running
// square for each set bit of |k| from the lowest; a negative k gives the
// reciprocal. |k| is taken as unsigned, so k = INT32_MIN works.
inline double powi(double base, int32_t k) noexcept {
    uint32_t e = k < 0 ? 0u - static_cast<uint32_t>(k) : static_cast<uint32_t>(k);
    double r = 1.0;
    while (e != 0) {
        if (e & 1u) r = r * base;
        e >>= 1;
        if (e != 0) base = base * base;
    }
    return k < 0 ? 1.0 / r : r;
}

}  // namespace qm
