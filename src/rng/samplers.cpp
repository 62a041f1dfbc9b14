#include "rng/samplers.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <unordered_set>

#include "fault.hpp"
#include "rng/ziggurat_tables.hpp"

namespace qm {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void fault_kind(const char* message, const char* kind) {
    fault(std::string(message) + ": " + kind);
}

constexpr const char* kUniformMsg = "invalid uniform params: requires a < b and finite";

// The scale of a uniform law on [a, b): b - a, lowered until a + s * (1 - 2^-52)
// stays at or below b, so that no draw can round up to b.
double uniform_scale(double a, double b) {
    if (!(b > a)) fault_kind(kUniformMsg, "EmptyRange");
    double s = b - a;
    if (!std::isfinite(s)) fault_kind(kUniformMsg, "NonFinite");
    while (s * (1.0 - 0x1.0p-52) + a > b) s = std::nextafter(s, -kInf);
    return s;
}

// Uniform on [0, range) by multiply-and-reject over 32-bit draws; range >= 1.
uint32_t uniform_u32_below(Mt64& rng, uint32_t range) {
    const uint32_t threshold = (0u - range) % range;  // (2^32 - range) mod range
    for (;;) {
        const uint64_t m = static_cast<uint64_t>(next_u32(rng)) * range;
        if (static_cast<uint32_t>(m) >= threshold) return static_cast<uint32_t>(m >> 32);
    }
}

// ---- Ziggurat tails --------------------------------------------------------

double normal_tail(Mt64& rng, bool negative) {
    double a;
    double b;
    do {
        a = std::log(uniform_open01(rng)) / kZigNormalR;
        b = std::log(uniform_open01(rng));
    } while (-2.0 * b < a * a);
    return negative ? a - kZigNormalR : kZigNormalR - a;
}

// ---- Gamma -------------------------------------------------------------------

// Marsaglia-Tsang for shape >= 1 (here always > 1, or shape + 1 from below).
double gamma_large(Mt64& rng, double shape, double scale) {
    const double d = shape - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        const double z = standard_normal(rng);
        const double t = 1.0 + c * z;
        if (t <= 0.0) continue;
        const double v = (t * t) * t;
        const double u = uniform_open01(rng);
        const double z2 = z * z;
        if (u < 1.0 - 0.0331 * z2 * z2 || std::log(u) < 0.5 * z2 + d * (1.0 - v + std::log(v))) {
            return (d * v) * scale;
        }
    }
}

// ---- Poisson, Ahrens-Dieter PD ------------------------------------------------

struct PdSetup {
    double lambda, s, d, big_l, c, omega, c0, c1, c2, c3;
};

PdSetup pd_setup(double lambda) {
    PdSetup p{};
    p.lambda = lambda;
    p.s = std::sqrt(lambda);
    p.d = 6.0 * (lambda * lambda);
    p.big_l = std::floor(lambda - 1.1484);
    p.c = 0.1069 / lambda;
    p.omega = 0.3989422804014327 / p.s;
    const double b1 = (1.0 / 24.0) / lambda;
    const double b2 = (0.3 * b1) * b1;
    p.c3 = ((1.0 / 7.0) * b1) * b2;
    p.c2 = b2 - 15.0 * p.c3;
    p.c1 = (b1 - 6.0 * b2) + 45.0 * p.c3;
    p.c0 = ((1.0 - b1) + 3.0 * b2) - 15.0 * p.c3;
    return p;
}

struct PdF {
    double px, py, fx, fy;
};

constexpr double kFactorials[10] = {1.0, 1.0, 2.0, 6.0, 24.0, 120.0, 720.0, 5040.0, 40320.0, 362880.0};

PdF pd_procedure_f(const PdSetup& p, double k) {
    PdF r{};
    if (k < 10.0) {
        r.px = -p.lambda;
        r.py = std::pow(p.lambda, k) / kFactorials[static_cast<int>(k)];
    } else {
        double delta = 1.0 / (12.0 * k);
        delta = delta - 4.8 * (delta * (delta * delta));
        const double v = (p.lambda - k) / k;
        if (std::fabs(v) <= 0.25) {
            double poly = 0.0 * v + 0.1055093006;
            poly = poly * v + -0.1142650302;
            poly = poly * v + 0.1101687109;
            poly = poly * v + -0.1241963125;
            poly = poly * v + 0.1428833286;
            poly = poly * v + -0.1666848753;
            poly = poly * v + 0.1999997049;
            poly = poly * v + -0.2499998565;
            poly = poly * v + 0.3333333343;
            poly = poly * v + -0.5000000002;
            r.px = ((k * (v * v)) * poly) - delta;
        } else {
            r.px = ((k * std::log(1.0 + v)) - (p.lambda - k)) - delta;
        }
        r.py = 0.3989422804014327 / std::sqrt(k);
    }
    const double x = ((k - p.lambda) + 0.5) / p.s;
    r.fx = ((-0.5) * x) * x;
    double h = (p.c3 * x) * x + p.c2;
    h = (h * x) * x + p.c1;
    h = (h * x) * x + p.c0;
    r.fy = p.omega * h;
    return r;
}

double poisson_pd(Mt64& rng, double lambda) {
    const PdSetup p = pd_setup(lambda);
    // Normal step; the squeeze and the quotient test reuse its one uniform.
    const double g = lambda + p.s * standard_normal(rng);
    if (g >= 0.0) {
        const double k = std::floor(g);
        if (k >= p.big_l) return k;
        const double u = uniform01(rng);
        const double a = lambda - k;
        if (p.d * u >= a * (a * a)) return k;
        const PdF f = pd_procedure_f(p, k);
        if (f.fy * (1.0 - u) <= f.py * std::exp(f.px - f.fx)) return k;
    }
    // Exponential (double-exponential hat) step.
    for (;;) {
        const double e = standard_exponential(rng);
        const double u = uniform01(rng) * 2.0 - 1.0;
        const double t = 1.8 + (u < 0.0 ? -e : e);
        if (t <= -0.6744) continue;
        const double k = std::floor(lambda + p.s * t);
        const PdF f = pd_procedure_f(p, k);
        if (p.c * std::fabs(u) <= f.py * std::exp(f.px + e) - f.fy * std::exp(f.fx + e)) return k;
    }
}

// ---- Binomial ------------------------------------------------------------------

// Inversion for n * p < 10 (p <= 0.5, q = 1 - p < 1).
uint64_t binomial_inversion(Mt64& rng, double nf, double p, double q) {
    constexpr uint64_t kMaxX = 110;  // 31 standard deviations out: restart
    const double r0 = std::pow(q, nf);
    const double s = p / q;
    const double a = (nf + 1.0) * s;
    for (;;) {
        double r = r0;
        double u = uniform01(rng);
        uint64_t x = 0;
        bool restart = false;
        while (u > r) {
            u = u - r;
            x += 1;
            if (x > kMaxX) {
                restart = true;
                break;
            }
            r = r * (a / static_cast<double>(x) - s);
        }
        if (!restart) return x;
    }
}

double stirling_tail(double a) {
    const double a2 = a * a;
    return ((13860.0 - (462.0 - (132.0 - (99.0 - 140.0 / a2) / a2) / a2) / a2) / a) / 166320.0;
}

// BTPE (Kachitvichyanukul and Schmeiser) for n * p >= 10, p <= 0.5.
uint64_t binomial_btpe(Mt64& rng, uint64_t n, double p, double q) {
    const double nf = static_cast<double>(n);
    const int64_t ni = static_cast<int64_t>(n);
    const double np = nf * p;
    const double npq = np * q;
    const double p1 = std::floor(2.195 * std::sqrt(npq) - 4.6 * q) + 0.5;
    const double f_m = np + p;
    const int64_t m = saturate_to_i64(f_m);
    const double mf = static_cast<double>(m);
    const double xm = mf + 0.5;
    const double xl = xm - p1;
    const double xr = xm + p1;
    const double c = 0.134 + 20.5 / (15.3 + mf);
    double a = (f_m - xl) / (f_m - xl * p);
    const double lambda_l = a * (1.0 + 0.5 * a);
    a = (xr - f_m) / (xr * q);
    const double lambda_r = a * (1.0 + 0.5 * a);
    const double p2 = p1 * (1.0 + 2.0 * c);
    const double p3 = p2 + c / lambda_l;
    const double p4 = p3 + c / lambda_r;
    const double u_scale = uniform_scale(0.0, p4);

    for (;;) {
        const double u = uniform01_52(rng) * u_scale + 0.0;
        double v = uniform01_52(rng);
        int64_t y;
        if (!(u > p1)) {
            // Triangle: accepted at once.
            return static_cast<uint64_t>(saturate_to_i64(xm - p1 * v + u));
        }
        if (!(u > p2)) {
            const double x = xl + (u - p1) / c;
            v = v * c + 1.0 - std::fabs(x - xm) / p1;
            if (v > 1.0) continue;
            y = saturate_to_i64(x);
        } else if (!(u > p3)) {
            y = saturate_to_i64(xl + std::log(v) / lambda_l);
            if (y < 0) continue;
            v = v * ((u - p2) * lambda_l);
        } else {
            y = saturate_to_i64(xr - std::log(v) / lambda_r);
            if (y > 0 && static_cast<uint64_t>(y) > n) continue;
            v = v * ((u - p3) * lambda_r);
        }

        const int64_t k = y > m ? y - m : m - y;
        if (!(k > 20 && static_cast<double>(k) < 0.5 * npq - 1.0)) {
            // Explicit f(y) / f(m) by the recurrence from the mode.
            const double s = p / q;
            const double aa = s * (nf + 1.0);
            double f = 1.0;
            if (m < y) {
                for (int64_t i = m + 1; i <= y; ++i) f = f * (aa / static_cast<double>(i) - s);
            } else if (m > y) {
                for (int64_t i = y + 1; i <= m; ++i) f = f / (aa / static_cast<double>(i) - s);
            }
            if (v > f) continue;
            return static_cast<uint64_t>(y);
        }

        // Squeeze on ln f(y).
        const double kf = static_cast<double>(k);
        const double rho = (kf / npq) * ((kf * (kf / 3.0 + 0.625) + 1.0 / 6.0) / npq + 0.5);
        const double t = -0.5 * kf * kf / npq;
        const double alpha = std::log(v);
        if (alpha < t - rho) return static_cast<uint64_t>(y);
        if (alpha > t + rho) continue;

        // Final test with Stirling corrections.
        const double x1 = static_cast<double>(y + 1);
        const double f1 = static_cast<double>(m + 1);
        const double z = static_cast<double>(ni + 1 - m);
        const double w = static_cast<double>(ni - y + 1);
        const double bound = xm * std::log(f1 / x1) + (nf - mf + 0.5) * std::log(z / w) +
                             static_cast<double>(y - m) * std::log(w * p / (x1 * q)) + stirling_tail(f1) +
                             stirling_tail(z) - stirling_tail(x1) - stirling_tail(w);
        if (alpha > bound) continue;
        return static_cast<uint64_t>(y);
    }
}

}  // namespace

// ---- Law samplers -------------------------------------------------------------------

double standard_normal_rejected(Mt64& rng, uint64_t bits) {
    const double* xs = kZigNormalX.data();
    const double* fs = kZigNormalF.data();
    for (;;) {
        const std::size_t i = static_cast<std::size_t>(bits & 0xFF);
        const double u = 2.0 * unit_interval_12_from_bits(bits) - 3.0;
        const double x = u * xs[i];
        if (std::fabs(x) < xs[i + 1]) return x;
        if (i == 0) return normal_tail(rng, u < 0.0);
        if (fs[i + 1] + (fs[i] - fs[i + 1]) * uniform01(rng) < std::exp(((-x) * x) / 2.0)) return x;
        bits = next_u64(rng);
    }
}

double standard_exponential_rejected(Mt64& rng, uint64_t bits) {
    const double* xs = kZigExpX.data();
    const double* fs = kZigExpF.data();
    for (;;) {
        const std::size_t i = static_cast<std::size_t>(bits & 0xFF);
        const double x = uniform_open01_from_bits(bits) * xs[i];
        if (x < xs[i + 1]) return x;
        if (i == 0) return kZigExpR - std::log(uniform01(rng));
        if (fs[i + 1] + (fs[i] - fs[i + 1]) * uniform01(rng) < std::exp(-x)) return x;
        bits = next_u64(rng);
    }
}

double gamma_law(Mt64& rng, double shape, double scale) {
    if (shape == 1.0) return standard_exponential(rng) * (1.0 / (1.0 / scale));
    if (shape < 1.0) {
        const double u = uniform_open01(rng);
        const double g = gamma_large(rng, shape + 1.0, scale);
        return g * std::pow(u, 1.0 / shape);
    }
    return gamma_large(rng, shape, scale);
}

uint64_t poisson_product_law(Mt64& rng, double lambda) {
    const double limit = std::exp(-lambda);
    double p = uniform01(rng);
    uint64_t count = 0;
    while (p > limit) {
        p = p * uniform01(rng);
        count += 1;
    }
    return count;
}

double poisson_law(Mt64& rng, double lambda) {
    if (lambda < 12.0) return static_cast<double>(poisson_product_law(rng, lambda));
    return poisson_pd(rng, lambda);
}

uint64_t binomial_law(Mt64& rng, uint64_t n, double p) {
    const bool flipped = p > 0.5;
    const double pp = flipped ? 1.0 - p : p;
    const double q = 1.0 - pp;
    const double nf = static_cast<double>(n);
    uint64_t count;
    if (nf * pp < 10.0) {
        // 1 - p' rounds to 1: the law is Poisson(n p') to working precision.
        if (q == 1.0) return poisson_product_law(rng, nf * pp);
        count = binomial_inversion(rng, nf, pp, q);
    } else {
        count = binomial_btpe(rng, n, pp, q);
    }
    return flipped ? n - count : count;
}

// ---- Guarded samplers -----------------------------------------------------------------

double sample_uniform(Mt64& rng, double a, double b) {
    const double s = uniform_scale(a, b);
    return uniform01_52(rng) * s + a;
}

int32_t sample_int_range(Mt64& rng, int32_t low, int32_t high) {
    if (!(low < high)) fault("invalid integer range: requires low < high: EmptyRange");
    const uint32_t range = static_cast<uint32_t>(high) - static_cast<uint32_t>(low);
    const uint32_t offset = uniform_u32_below(rng, range);
    return static_cast<int32_t>(static_cast<uint32_t>(low) + offset);
}

bool sample_bernoulli(Mt64& rng, double p) {
    if (!(p >= 0.0 && p <= 1.0)) fault("invalid bernoulli param: p must be in [0, 1]: InvalidProbability");
    if (p == 1.0) return true;
    const uint64_t t = saturate_to_u64(p * 0x1.0p64);
    if (t == std::numeric_limits<uint64_t>::max()) return true;
    return next_u64(rng) < t;
}

int32_t sample_poisson(Mt64& rng, double lambda) {
    constexpr const char* kMsg = "invalid poisson param: lambda must be finite";
    if (lambda <= 0.0) return 0;
    if (!std::isfinite(lambda)) fault_kind(kMsg, "NonFinite");
    if (lambda > 1.844e19) fault_kind(kMsg, "ShapeTooLarge");
    return saturate_to_i32(poisson_law(rng, lambda));
}

uint64_t sample_binomial(Mt64& rng, int32_t n, double p) {
    if (n < 1) return 0;
    if (p <= 0.0) return 0;
    if (p >= 1.0) return static_cast<uint64_t>(n);
    if (std::isnan(p)) fault("invalid binomial params: n >= 0 and p in [0, 1]: ProbabilityTooSmall");
    return binomial_law(rng, static_cast<uint64_t>(n), p);
}

std::vector<int64_t> sample_distinct_indices(Mt64& rng, int32_t n, int32_t k) {
    std::vector<int64_t> chosen;
    if (n <= 0 || k <= 0) return chosen;
    const int32_t kk = k < n ? k : n;
    chosen.reserve(static_cast<std::size_t>(kk));
    // Membership only; the structure never changes which index is chosen.
    // A bitmap when it is small next to the result, a hash set otherwise.
    const bool dense = static_cast<int64_t>(n) <= 64 * static_cast<int64_t>(kk);
    std::vector<bool> bitmap;
    std::unordered_set<int64_t> seen;
    if (dense) {
        bitmap.assign(static_cast<std::size_t>(n), false);
    } else {
        seen.reserve(static_cast<std::size_t>(kk));
    }
    for (int32_t j = n - kk; j < n; ++j) {
        const int64_t t = uniform_u32_below(rng, static_cast<uint32_t>(j) + 1u);
        int64_t pick = t;
        if (dense) {
            if (bitmap[static_cast<std::size_t>(t)]) pick = j;
            bitmap[static_cast<std::size_t>(pick)] = true;
        } else {
            if (!seen.insert(t).second) {
                pick = j;
                seen.insert(pick);
            }
        }
        chosen.push_back(pick);
    }
    return chosen;
}

void check_normal_std(double std_dev) {
    if (!std::isfinite(std_dev)) fault(kNormalStdFault);
}

double sample_normal(Mt64& rng, double mean, double std_dev) {
    check_normal_std(std_dev);
    return standard_normal(rng) * std_dev + mean;
}

double sample_lognormal(Mt64& rng, double mu, double sigma) {
    if (!std::isfinite(sigma)) fault("invalid lognormal params: std must be finite and >= 0: BadVariance");
    return std::exp(standard_normal(rng) * sigma + mu);
}

double sample_exponential(Mt64& rng, double lambda) {
    if (!(lambda >= 0.0)) fault("invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall");
    return standard_exponential(rng) * (1.0 / lambda);
}

void check_gamma_params(double shape, double scale) {
    constexpr const char* kMsg = "invalid gamma params: shape and scale must be > 0 and finite";
    if (!(shape > 0.0)) fault_kind(kMsg, "ShapeTooSmall");
    if (!(scale > 0.0)) fault_kind(kMsg, "ScaleTooSmall");
    if (1.0 / scale == 0.0) fault_kind(kMsg, "ScaleTooLarge");
}

double sample_gamma(Mt64& rng, double shape, double scale) {
    check_gamma_params(shape, scale);
    return gamma_law(rng, shape, scale);
}

}  // namespace qm
