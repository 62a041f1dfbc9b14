#include "special.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace qm {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kLnSqrt2Pi = 0.9189385332046727;
constexpr double kInf = std::numeric_limits<double>::infinity();

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

// The quantile steps below sum at most 200 terms of the series or the
// continued fraction of the incomplete gamma function. Near z = a both need
// about 9√a terms, which is more than that from shapes of a few hundred on;
// `gamma_terms_for` allows enough for shapes up to 1e10.
constexpr int kStepTerms = 200;

int gamma_terms_for(double a) noexcept {
    if (!(a > 400.0)) return kStepTerms;
    return kStepTerms + static_cast<int>(10.0 * std::sqrt(std::fmin(a, 1e10)));
}

// Σ z^n / (a (a+1) ... (a+n)), so that P(a, z) = z^a e^-z / Γ(a) × the sum.
// Meant for z < a + 1, where the terms fall from the first. Clears
// `converged` when `limit` terms end before the sum settles.
double gamma_series_sum(double a, double z, int limit, bool& converged) noexcept {
    double term = 1.0 / a;
    double sum = 1.0 / a;
    for (int n = 1; n <= limit; ++n) {
        term = term * z / (a + n);
        sum = sum + term;
        if (std::fabs(term) < std::fabs(sum) * 1e-14) return sum;
    }
    converged = false;
    return sum;
}

// Continued fraction (modified Lentz) h with Q(a, z) = z^a e^-z / Γ(a) × h;
// meant for z >= a + 1. `converged` as above.
double gamma_fraction(double a, double z, int limit, bool& converged) noexcept {
    double beta = z + 1.0 - a;
    double c = kHuge;
    double d = 1.0 / beta;
    double h = d;
    for (int step = 1; step <= limit; ++step) {
        const double i = step;
        const double e = -i * (i - a);
        beta = beta + 2.0;
        d = lentz_inverse(e * d + beta);
        c = lentz_floor(beta + e / c);
        h = h * d * c;
        if (std::fabs(d * c - 1.0) < 1e-14) return h;
    }
    converged = false;
    return h;
}

// Lower regularised incomplete gamma P(a, z), given L = ln Γ(a), from at most
// kStepTerms terms.
double lower_gamma_regularized(double a, double z, double L, bool& converged) noexcept {
    if (z <= 0.0) return 0.0;
    if (z < a + 1.0) return std::exp(a * std::log(z) - z - L) * gamma_series_sum(a, z, kStepTerms, converged);
    return 1.0 - std::exp(a * std::log(z) - z - L) * gamma_fraction(a, z, kStepTerms, converged);
}

// Wilson-Hilferty start and Newton steps in x. Sets `settled` only when the
// steps came to rest on a root of a fully converged distribution function;
// otherwise the result is whatever the last step left.
double gamma_ppf_steps(double u, double a, double theta, bool& settled) noexcept {
    settled = false;
    bool converged = true;
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
    // unbounded above). Where Newton stays inside, which is where it
    // converges, the iterates are unchanged.
    double lo = 0.0;
    double hi = kInf;
    for (int iter = 0; iter < 50; ++iter) {
        const double z = x / theta;
        const double P = lower_gamma_regularized(a, z, L, converged);
        const double g = std::exp((a - 1.0) * std::log(x) - z - a * log_theta - L);
        if (P < u) lo = x;
        else if (P > u) hi = x;
        if (!(g < 1e-300)) {
            const double delta = (P - u) / g;
            double next = x - delta;
            // A step onto the floor only says that the quantile lies below x.
            const bool floored = next <= 0.0;
            if (floored) next = 1e-12;
            // Near the root a step may cross a bracket end by rounding alone;
            // only a step that is large for x is a departure.
            const bool inside = next > lo && next < hi;
            if (inside || std::isnan(next) || std::fabs(delta) <= 1e-6 * std::fabs(x)) {
                x = next;
                if (std::fabs(x) * 1e-12 > std::fabs(delta)) {
                    settled = converged && !floored;
                    return x;
                }
                continue;
            }
        }
        if (P == u) {
            settled = converged;
            return x;
        }
        if (std::isinf(hi)) x = 2.0 * x;
        else if (lo == 0.0) x = hi * 0x1p-32;  // roots of small shapes can be tiny
        else if (hi > 4.0 * lo) x = std::sqrt(lo * hi);
        else x = 0.5 * (lo + hi);
    }
    return x;
}

// The gamma quantile where the steps above do not settle: deep lower tails,
// where they crawl up from the 1e-12 floor, quantiles below that floor (down
// to subnormal values and zero), and large shapes, where 200 terms leave the
// distribution function short. Starts from the steps' result `x0` and keeps
// it when it is within 1e-10 of the quantile.
//
// Works on y = ln(x/θ), where ln P and ln Q are both concave (the log of a
// gamma variable has a log-concave density), so that Newton's method
// approaches the root monotonically from one side: from below for ln P, from
// above for ln Q. The lower half solves ln P(e^y) = ln u, the upper half
// ln Q(e^y) = ln(1 - u), 1 - u being exact there. The root is bracketed from
// the start: P(z) <= z^a / Γ(a + 1) bounds it from below; from the Chernoff
// bound Q(z) <= (z/a)^a e^(a - z) it lies below a + l + √(l² + 2al), with
// l = -ln(1 - u). A step that leaves the bracket, as the first one from the
// far side may, bisects it instead.
// Requires 0 < u < 1, a > 0 and 0 < θ < inf.
double gamma_ppf_in_logs(double u, double a, double theta, double x0) noexcept {
    const double L = ln_gamma(a);
    const double log_theta = std::log(theta);
    const int terms = gamma_terms_for(a);
    const bool upper = u > 0.5;
    const double target = upper ? std::log(1.0 - u) : std::log(u);

    const double lq = -std::log1p(-u);
    double lo = (std::log(u) + L + std::log(a)) / a;
    double hi = std::log(a + lq + std::sqrt(lq * (lq + 2.0 * a)));
    // Rounding may put either bound a hair on the wrong side of the root.
    lo -= 1e-9 * (1.0 + std::fabs(lo));
    hi += 1e-9 * (1.0 + std::fabs(hi));

    const double y0 = std::log(x0) - log_theta;
    const bool from_x0 = y0 > lo && y0 < hi;
    double y = from_x0 ? y0 : upper ? hi : lo;
    for (int iter = 0; iter < 100; ++iter) {
        const double z = std::exp(y);
        const double front = a * y - z - L;  // ln(z × density)
        bool converged = true;  // not needed: `terms` suffice
        double log_p;
        double log_q;
        if (z < a + 1.0) {
            log_p = front + std::log(gamma_series_sum(a, z, terms, converged));
            log_q = std::log1p(-std::exp(log_p));
        } else {
            log_q = front + std::log(gamma_fraction(a, z, terms, converged));
            log_p = std::log1p(-std::exp(log_q));
        }
        // f increases with y in both halves; f' = z × density / (P or Q).
        const double f = upper ? target - log_q : log_p - target;
        const double slope = std::exp(front - (upper ? log_q : log_p));
        const double step = f / slope;  // relative error of x, near the root
        if (iter == 0 && from_x0 && std::fabs(step) <= 1e-10) return x0;
        if (f == 0.0) break;
        if (f < 0.0) lo = y;
        else hi = y;
        const double tol = 1e-14 * std::fmax(1.0, std::fabs(y));
        if (std::fabs(step) <= tol) {
            y = y - step;
            break;
        }
        const double next = y - step;
        y = next > lo && next < hi ? next : 0.5 * (lo + hi);
        if (hi - lo <= tol) break;
    }
    return std::exp(y + log_theta);
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
    bool settled = false;
    const double x = gamma_ppf_steps(u, a, theta, settled);
    if (settled || !(u > 0.0 && u < 1.0 && a > 0.0 && a < kInf && theta > 0.0 && theta < kInf)) return x;
    return gamma_ppf_in_logs(u, a, theta, x);
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
