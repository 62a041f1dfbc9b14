// Scalar special functions behind the distributions functions and the copula.
//
// Fixed published approximations with fixed iteration limits, so results are
// reproducible to the bit. None of them checks its arguments: NaN and
// infinities flow through the formulas. Pure, no allocation, thread-safe.
#pragma once

#include <cmath>

namespace qm {

// ln Γ(z): Lanczos (g = 7, nine coefficients), reflection below 0.5.
double ln_gamma(double z) noexcept;

// Regularised incomplete beta I_x(a, b): continued fraction, modified Lentz,
// at most 100 steps.
double beta_inc_regularized(double x, double a, double b) noexcept;

// Inverse standard normal distribution function (Acklam, no refinement).
// NaN for p outside (0, 1) and for NaN.
double norm_ppf_scalar(double p) noexcept;

// Quantile of the gamma law with shape a and scale theta. For 1e-3 <= a <= 1e5:
// Wilson-Hilferty start, then at most 50 Newton steps on the lower regularised
// incomplete gamma function; where those steps do not settle on the quantile
// (deep lower tails, quantiles below 1e-12, large shapes), Newton's method on
// the log of the distribution function in log x takes over. Smaller shapes
// solve the closed form of the lower tail in log x (the continued fraction in
// the far upper tail), larger ones use Temme's uniform asymptotic inversion;
// both cost well under a microsecond. For 0 < u < 1 and any positive finite
// shape and scale the result is within 1e-10 of the quantile, or the zero or
// subnormal it rounds to (for 1e-3 <= a <= 1e5 near u = 1, where the quantile
// is ill-conditioned, a point whose distribution function rounds to u).
// Other arguments take the Newton steps as they come (u = 0, 1 give NaN).
double gamma_ppf_scalar(double u, double a, double theta) noexcept;

// Standard normal distribution function via the Abramowitz-Stegun 7.1.26
// erf approximation (absolute error about 1.5e-7).
double norm_cdf_scalar(double x) noexcept;

// Student-t distribution function with nu degrees of freedom.
double t_cdf_scalar(double x, double nu) noexcept;

// The closed-form quantile functions (no checks: NaN and out-of-range
// arguments flow through the arithmetic).
inline double expon_ppf_scalar(double u, double scale) noexcept { return std::log(1.0 - u) * (-scale); }
inline double lognorm_ppf_scalar(double u, double s, double scale) noexcept {
    return std::exp(norm_ppf_scalar(u) * s) * scale;
}
inline double uniform_ppf_scalar(double u, double loc, double scale) noexcept { return u * scale + loc; }

}  // namespace qm
