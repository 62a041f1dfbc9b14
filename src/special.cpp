#include "special.hpp"

#include <cmath>
#include <limits>

namespace qm {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLnSqrt2Pi = 0.9189385332046727;

// Lentz guards: keep a vanishing denominator from dividing by zero.
constexpr double kTiny = 1e-14;
constexpr double kHuge = 1e14;

inline double lentz_inverse(double d) noexcept { return std::fabs(d) < kTiny ? kHuge : 1.0 / d; }
inline double lentz_floor(double c) noexcept { return std::fabs(c) < kTiny ? kTiny : c; }

// The fraction converges fast only below the mean (a + 1)/(a + b + 2); above it
// the mirrored problem is solved instead. Rounding of 1 - x and of the mirrored
// threshold can put a value just above both thresholds, so the mirror is taken
// at most once: otherwise the two calls would hand the value back and forth.
double beta_inc_impl(double x, double a, double b, bool may_mirror) noexcept {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    if (may_mirror && x > (a + 1.0) / (a + b + 2.0)) {
        return 1.0 - beta_inc_impl(1.0 - x, b, a, false);
    }

    const double front =
        std::exp(a * std::log(x) + b * std::log(1.0 - x) - (ln_gamma(a) + ln_gamma(b) - ln_gamma(a + b))) / a;

    double c = 1.0;
    double d = lentz_inverse(1.0 - (a + b) * x / (a + 1.0));
    double f = d;
    for (int step = 1; step <= 100; ++step) {
        const double m = step;
        const double e = m * (b - m) * x / ((a + 2.0 * m - 1.0) * (a + 2.0 * m));
        d = lentz_inverse(1.0 + e * d);
        c = lentz_floor(1.0 + e / c);
        f = f * d * c;

        const double o = -(a + m) * (a + b + m) * x / ((a + 2.0 * m) * (a + 2.0 * m + 1.0));
        d = lentz_inverse(1.0 + o * d);
        c = lentz_floor(1.0 + o / c);
        const double delta = d * c;
        f = f * delta;
        if (std::fabs(delta - 1.0) < 1e-14) break;
    }
    return front * f;
}

// Acklam's coefficients.
constexpr double kA[6] = {-39.69683028665376, 220.9460984245205, -275.9285104469687,
                          138.357751867269,   -30.66479806614716, 2.506628277459239};
constexpr double kB[5] = {-54.47609879822406, 161.5858368580409, -155.6989798598866,
                          66.80131188771972,  -13.28068155288572};
constexpr double kC[6] = {-0.007784894002430293, -0.3223964580411365, -2.400758277161838,
                          -2.549732539343734,    4.374664141464968,   2.938163982698783};
constexpr double kD[4] = {0.007784695709041462, 0.3224671290700398, 2.445134137142996,
                          3.754408661907416};

inline double acklam_tail(double q) noexcept {
    const double num = ((((kC[0] * q + kC[1]) * q + kC[2]) * q + kC[3]) * q + kC[4]) * q + kC[5];
    const double den = (((kD[0] * q + kD[1]) * q + kD[2]) * q + kD[3]) * q + 1.0;
    return num / den;
}

// Lower regularised incomplete gamma P(a, z), given L = ln Γ(a).
double lower_gamma_regularized(double a, double z, double L) noexcept {
    if (z <= 0.0) return 0.0;
    if (z < a + 1.0) {
        double term = 1.0 / a;
        double sum = 1.0 / a;
        for (int n = 1; n <= 200; ++n) {
            term = term * z / (a + n);
            sum = sum + term;
            if (std::fabs(term) < std::fabs(sum) * 1e-14) break;
        }
        return std::exp(a * std::log(z) - z - L) * sum;
    }
    double beta = z + 1.0 - a;
    double c = kHuge;
    double d = 1.0 / beta;
    double h = d;
    for (int step = 1; step <= 200; ++step) {
        const double i = step;
        const double e = -i * (i - a);
        beta = beta + 2.0;
        d = lentz_inverse(e * d + beta);
        c = lentz_floor(beta + e / c);
        h = h * d * c;
        if (std::fabs(d * c - 1.0) < 1e-14) break;
    }
    return 1.0 - std::exp(a * std::log(z) - z - L) * h;
}

}  // namespace

double ln_gamma(double z) noexcept {
    if (z < 0.5) return std::log(kPi / std::sin(kPi * z)) - ln_gamma(1.0 - z);

    const double x = z - 1.0;
    double A = 0.9999999999998099;
    A = A + 676.5203681218851 / (x + 1.0);
    A = A + -1259.1392167224028 / (x + 2.0);
    A = A + 771.3234287776531 / (x + 3.0);
    A = A + -176.6150291621406 / (x + 4.0);
    A = A + 12.507343278686905 / (x + 5.0);
    A = A + -0.13857109526572012 / (x + 6.0);
    A = A + 9.984369578019572e-6 / (x + 7.0);
    A = A + 1.5056327351493116e-7 / (x + 8.0);
    const double t = x + 7.5;
    return std::log(t) * (x + 0.5) + kLnSqrt2Pi - t + std::log(A);
}

double beta_inc_regularized(double x, double a, double b) noexcept { return beta_inc_impl(x, a, b, true); }

double norm_ppf_scalar(double p) noexcept {
    // p = 0, p = 1, p outside [0, 1] and NaN all come out NaN from the
    // formulas themselves (inf/inf or the log of a negative number).
    if (p >= 0.02425 && p <= 0.97575) {
        const double q = p - 0.5;
        const double r = q * q;
        const double num = ((((kA[0] * r + kA[1]) * r + kA[2]) * r + kA[3]) * r + kA[4]) * r + kA[5];
        const double den = ((((kB[0] * r + kB[1]) * r + kB[2]) * r + kB[3]) * r + kB[4]) * r + 1.0;
        return q * num / den;
    }
    if (p < 0.02425) return acklam_tail(std::sqrt(-2.0 * std::log(p)));
    return -acklam_tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

double gamma_ppf_scalar(double u, double a, double theta) noexcept {
    const double c = 1.0 / (9.0 * a);
    const double t = std::sqrt(c) * norm_ppf_scalar(u) + (1.0 - c);
    double x = a * (t * t * t) * theta;
    if (x <= 0.0) x = 1e-12;

    const double L = ln_gamma(a);
    const double log_theta = std::log(theta);
    // The distribution function increases with x, so every evaluated point
    // narrows the interval (lo, hi) that holds the quantile. Plain Newton from
    // the Wilson-Hilferty start can leave that interval for good (far tails,
    // small shapes) and return a value that is not a quantile at all; a step
    // that would leave it, or a density too small to step with, halves the
    // interval instead (geometrically while it is wide, doubling x while it is
    // unbounded above). Where Newton
    // stays inside, which is where it converges, the iterates are unchanged.
    double lo = 0.0;
    double hi = std::numeric_limits<double>::infinity();
    for (int iter = 0; iter < 50; ++iter) {
        const double z = x / theta;
        const double P = lower_gamma_regularized(a, z, L);
        const double g = std::exp((a - 1.0) * std::log(x) - z - a * log_theta - L);
        if (P < u) lo = x;
        else if (P > u) hi = x;
        if (!(g < 1e-300)) {
            const double delta = (P - u) / g;
            double next = x - delta;
            if (next <= 0.0) next = 1e-12;
            // Near the root a step may cross a bracket end by rounding alone;
            // only a step that is large for x is a departure.
            const bool inside = next > lo && next < hi;
            if (inside || std::isnan(next) || std::fabs(delta) <= 1e-6 * std::fabs(x)) {
                x = next;
                if (std::fabs(x) * 1e-12 > std::fabs(delta)) return x;
                continue;
            }
        }
        if (P == u) return x;
        if (std::isinf(hi)) x = 2.0 * x;
        else if (lo == 0.0) x = hi * 0x1p-32;  // roots of small shapes can be tiny
        else if (hi > 4.0 * lo) x = std::sqrt(lo * hi);
        else x = 0.5 * (lo + hi);
    }
    return x;
}

double norm_cdf_scalar(double x) noexcept {
    const double z = x * 0.7071067811865475;
    const double t = 1.0 / (1.0 + 0.3275911 * std::fabs(z));
    const double poly = (((1.061405429 * t - 1.453152027) * t + 1.421413741) * t - 0.284496736) * t + 0.254829592;
    const double y = 1.0 - poly * t * std::exp(-(z * z));
    // -0.0 compares equal to 0 and takes the upper branch, like +0.0.
    return z >= 0.0 ? (1.0 + y) / 2.0 : (1.0 - y) / 2.0;
}

double t_cdf_scalar(double x, double nu) noexcept {
    const double w = nu / (x * x + nu);
    const double p = 1.0 - 0.5 * beta_inc_regularized(w, nu / 2.0, 0.5);
    return x < 0.0 ? 1.0 - p : p;
}

}  // namespace qm
