// Element loops of the distributions functions.
//
// Each fills `out` in index order from `in` and the float parameters, with the
// scalar routines of special.hpp. Nothing is validated: out-of-range
// probabilities, negative scales, NaN and infinities pass through the
// formulas. `in` and `out` must have the same length (a mismatch is a fault).
// The binding hands in its own copy of the caller's array.
#pragma once

#include <span>

namespace qm {

void norm_cdf_fill(std::span<const double> x, std::span<double> out);
void norm_ppf_fill(std::span<const double> p, std::span<double> out);
void t_cdf_fill(std::span<const double> x, double df, std::span<double> out);
void gamma_ppf_fill(std::span<const double> u, double a, double scale, std::span<double> out);
// ln(1 - u) * (-scale)
void expon_ppf_fill(std::span<const double> u, double scale, std::span<double> out);
// exp(norm_ppf(u) * s) * scale
void lognorm_ppf_fill(std::span<const double> u, double s, double scale, std::span<double> out);
// u * scale + loc
void uniform_ppf_fill(std::span<const double> u, double loc, double scale, std::span<double> out);

}  // namespace qm
