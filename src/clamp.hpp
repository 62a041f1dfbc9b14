// A lo/hi clamp written as comparisons, so a NaN passes through unchanged.
#pragma once

namespace qm {

inline double clamp_nan_passes(double v, double lo, double hi) {
    const double w = lo > v ? lo : v;
    return hi < w ? hi : w;
}

}  // namespace qm
