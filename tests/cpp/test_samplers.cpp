// Law samplers: engine use per branch, fault texts, seeded runs of the laws
// Python cannot reach, and goodness of fit against closed-form laws. (The
// ziggurats, uniforms and the gamma law above shape 1 are checked value by
// value from Python, against a reference written from the algorithms.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "rng/ziggurat_tables.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::Mt64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Kolmogorov-Smirnov: sqrt(N) * D below 1.95 (about the 0.1% level).
void expect_ks_fit(std::vector<double> xs, const std::function<double(double)>& cdf) {
    std::sort(xs.begin(), xs.end());
    const double n = static_cast<double>(xs.size());
    double d = 0.0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const double f = cdf(xs[i]);
        d = std::max({d, f - i / n, (i + 1) / n - f});
    }
    EXPECT_LT(std::sqrt(n) * d, 1.95) << "KS distance " << d << " over " << xs.size() << " values";
}

// Pearson chi-square over 0..K-1 plus ">= K", bins merged left to right until
// each expects at least 5; compared with the 1e-4 upper quantile.
void expect_chi_square_fit(const std::vector<int64_t>& values, int64_t big_k,
                           const std::function<double(int64_t)>& pmf) {
    const double n = static_cast<double>(values.size());
    std::vector<double> observed(static_cast<std::size_t>(big_k) + 1, 0.0);
    for (int64_t v : values) observed[static_cast<std::size_t>(std::clamp<int64_t>(v, 0, big_k))] += 1.0;
    std::vector<std::pair<double, double>> bins;  // (observed, expected)
    double o = 0.0, e = 0.0, mass = 0.0;
    for (int64_t k = 0; k <= big_k; ++k) {
        const double p = k < big_k ? pmf(k) : std::max(0.0, 1.0 - mass);
        mass += p;
        o += observed[static_cast<std::size_t>(k)];
        e += p * n;
        if (e >= 5.0) bins.emplace_back(o, e), o = e = 0.0;
    }
    bins.back().first += o;
    bins.back().second += e;
    double chi = 0.0;
    for (const auto& [ob, ex] : bins) chi += (ob - ex) * (ob - ex) / ex;
    const double df = bins.size() - 1.0, z = 3.719, h = 2.0 / (9.0 * df);
    EXPECT_LT(chi, df * std::pow(1.0 - h + z * std::sqrt(h), 3.0)) << "chi-square on " << df << " degrees of freedom";
}

template <typename T, typename F>
std::vector<T> draw_many(uint64_t seed, std::size_t n, F f) {
    Mt64 rng(seed);
    std::vector<T> out(n);
    for (auto& v : out) v = static_cast<T>(f(rng));
    return out;
}

// Regularised lower incomplete gamma for integer and half-integer shapes,
// by P(a + 1, x) = P(a, x) - x^a e^-x / Gamma(a + 1).
double gamma_cdf(double a, double x) {
    if (x <= 0.0) return 0.0;
    double s = a == std::floor(a) ? 1.0 : 0.5;
    double p = s == 1.0 ? -std::expm1(-x) : std::erf(std::sqrt(x));
    for (; s < a; s += 1.0) p -= std::exp(s * std::log(x) - x - std::lgamma(s + 1.0));
    return p;
}

TEST(ZigguratTables, EqualLayerAreas) {
    // Every rectangle of layers 1..255 has the same area: a mistyped digit
    // anywhere breaks this far above rounding.
    const std::array<double, 257>* tables[][2] = {{&qm::kZigNormalX, &qm::kZigNormalF}, {&qm::kZigExpX, &qm::kZigExpF}};
    for (auto [xs, fs] : tables) {
        const auto& x = *xs;
        const auto& f = *fs;
        EXPECT_EQ(x[256], 0.0);
        EXPECT_EQ(f[256], 1.0);
        const double area = x[1] * (f[2] - f[1]);
        for (int i = 1; i < 256; ++i) ASSERT_NEAR(x[i] * (f[i + 1] - f[i]), area, 1e-9 * area) << i;
    }
    EXPECT_EQ(qm::kZigNormalR, qm::kZigNormalX[1]);
    EXPECT_EQ(qm::kZigExpR, qm::kZigExpX[1]);
}

// ---- Engine use ------------------------------------------------------------------------

TEST(SamplerDrawCounts, BranchesConsumeExactly) {
    struct Case {
        const char* name;
        std::function<void(Mt64&)> act, same_as;  // the two draw the same raw outputs
    };
    auto nothing = [](Mt64&) {};
    auto one = [](Mt64& r) { qm::next_u64(r); };
    const Case cases[] = {
        {"poisson 0", [](Mt64& r) { EXPECT_EQ(qm::sample_poisson(r, 0.0), 0); }, nothing},
        {"bernoulli 1", [](Mt64& r) { EXPECT_TRUE(qm::sample_bernoulli(r, 1.0)); }, nothing},
        {"bernoulli 0", [](Mt64& r) { EXPECT_FALSE(qm::sample_bernoulli(r, 0.0)); }, one},
        {"binomial n<1 before p", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, -4, kNaN), 0u); }, nothing},
        {"binomial p>1", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 9, 2.0), 9u); }, nothing},
        {"int range width 1", [](Mt64& r) { EXPECT_EQ(qm::sample_int_range(r, 7, 8), 7); }, one},
        {"distinct n<0", [](Mt64& r) { EXPECT_TRUE(qm::sample_distinct_indices(r, -3, 5).empty()); }, nothing},
        {"uniform", [](Mt64& r) { qm::sample_uniform(r, -1.0, 1.0); }, one},
        {"exponential", [](Mt64& r) { qm::sample_exponential(r, 2.0); }, [](Mt64& r) { qm::standard_exponential(r); }},
        {"lognormal", [](Mt64& r) { qm::sample_lognormal(r, 1.0, 2.0); }, [](Mt64& r) { qm::standard_normal(r); }},
        {"gamma shape 1", [](Mt64& r) { qm::sample_gamma(r, 1.0, 3.0); }, [](Mt64& r) { qm::standard_exponential(r); }},
        {"gamma shape < 1: uniform first", [](Mt64& r) { qm::sample_gamma(r, 0.25, 3.0); },
         [](Mt64& r) {
             qm::uniform_open01(r);
             qm::gamma_law(r, 1.25, 3.0);
         }},
    };
    for (const Case& c : cases) {
        for (uint64_t seed : {1ULL, 77ULL, 123456789ULL}) {
            Mt64 a(seed), b(seed);
            c.act(a);
            c.same_as(b);
            EXPECT_TRUE(same_position(a, b)) << c.name << " seed " << seed;
        }
    }
}

TEST(SamplerDrawCounts, PoissonBelowTwelveUsesCountPlusOneUniforms) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Mt64 rng(seed);
        EXPECT_EQ(draws_used(rng, seed), qm::sample_poisson(rng, 11.999) + 1) << "seed " << seed;
    }
}

TEST(SamplerDrawCounts, WideIntRangeRejectsAlmostHalf) {
    Mt64 rng(9);
    const int n = 20000;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const int32_t v = qm::sample_int_range(rng, INT32_MIN, 1);  // width 2^31 + 1
        ASSERT_LE(v, 0);
        sum += v;
    }
    EXPECT_GT(draws_used(rng, 9), n * 3 / 2);
    EXPECT_NEAR(sum / n / -1073741824.0, 1.0, 0.02);
}

// ---- Seeded runs -----------------------------------------------------------------------

// Long runs reach the rare branches (the PD quotient and exponential steps,
// BTPE's explicit, squeeze and final tests): every value's bits and the
// engine position afterwards are hashed.
TEST(SamplerSeeded, LongRuns) {
    struct Case {
        const char* name;
        std::function<double(Mt64&)> draw;
        uint64_t hash;
    };
    auto binomial = [](int32_t n, double p) {
        return [=](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, n, p)); };
    };
    const Case cases[] = {
        {"gamma 0.5", [](Mt64& r) { return qm::sample_gamma(r, 0.5, 1.7); }, 0xfe7da15516f39599ULL},
        {"gamma 1", [](Mt64& r) { return qm::sample_gamma(r, 1.0, 49.0); }, 0xf940178bdab0b76bULL},
        {"poisson 3", [](Mt64& r) { return qm::sample_poisson(r, 3.0); }, 0xcf86f1eb9bad81f1ULL},
        {"poisson 12", [](Mt64& r) { return qm::sample_poisson(r, 12.0); }, 0x31d9c0080abac0cfULL},
        {"poisson 40", [](Mt64& r) { return qm::sample_poisson(r, 40.0); }, 0xf9124ed0c1760835ULL},
        {"poisson 1e6", [](Mt64& r) { return qm::sample_poisson(r, 1e6); }, 0xfec69c12e668b8feULL},
        {"binomial 10 0.3", binomial(10, 0.3), 0xcef5672f343ddab7ULL},
        {"binomial 35 0.3", binomial(35, 0.3), 0xa6904c347dc8f8abULL},
        {"binomial 1000 0.3", binomial(1000, 0.3), 0x44b680a22aff036cULL},
        {"binomial 1000 0.8", binomial(1000, 0.8), 0x2f72765086b3fcdbULL},
        {"binomial 1e5 0.7", binomial(100000, 0.7), 0x3e2eb32baa0cc2bfULL},
    };
    for (const Case& c : cases) {
        Mt64 rng(31337);
        uint64_t h = kFnvOffset;
        for (int i = 0; i < 200000; ++i) h = fnv1a(h, bits_of(c.draw(rng)));
        h = fnv1a(h, qm::next_u64(rng));
        EXPECT_EQ(h, c.hash) << c.name << std::hex << " 0x" << h;
    }
}

// ---- Goodness of fit -------------------------------------------------------------------

TEST(SamplerFit, GammaOnEachBranch) {
    for (double shape : {0.5, 1.0, 7.5}) {
        const auto xs = draw_many<double>(300 + static_cast<uint64_t>(shape * 10), 100000,
                                          [&](Mt64& r) { return qm::sample_gamma(r, shape, 2.0); });
        SCOPED_TRACE(shape);
        expect_ks_fit(xs, [&](double x) { return gamma_cdf(shape, x / 2.0); });
    }
}

TEST(SamplerFit, DiscreteLaws) {
    for (double lambda : {3.0, 12.0, 40.0}) {
        SCOPED_TRACE(lambda);
        const auto ks = draw_many<int64_t>(400 + static_cast<uint64_t>(lambda), 200000,
                                           [&](Mt64& r) { return qm::sample_poisson(r, lambda); });
        expect_chi_square_fit(ks, static_cast<int64_t>(lambda * 3 + 30), [&](int64_t k) {
            return std::exp(-lambda + k * std::log(lambda) - std::lgamma(k + 1.0));
        });
    }
    // Inversion, then BTPE with the squeeze, mirrored for p > 0.5.
    const std::pair<int32_t, double> binomials[] = {{10, 0.3}, {1000, 0.3}, {1000, 0.8}, {60, 0.5}};
    for (auto [n, p] : binomials) {
        SCOPED_TRACE(n);
        const auto ks = draw_many<int64_t>(500 + n, 200000, [&](Mt64& r) { return qm::sample_binomial(r, n, p); });
        expect_chi_square_fit(ks, n + 1, [&](int64_t k) {
            return k > n ? 0.0
                         : std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) +
                                    k * std::log(p) + (n - k) * std::log1p(-p));
        });
    }
    for (double p : {0.1, 0.93}) {
        const auto bs = draw_many<int64_t>(600, 100000, [&](Mt64& r) { return qm::sample_bernoulli(r, p) ? 1 : 0; });
        expect_chi_square_fit(bs, 2, [&](int64_t k) { return k == 1 ? p : 1.0 - p; });
    }
    const auto small = draw_many<int64_t>(10, 70000, [](Mt64& r) { return qm::sample_int_range(r, -3, 4) + 3; });
    expect_chi_square_fit(small, 7, [](int64_t) { return 1.0 / 7.0; });
}

// ---- Faults (the texts a generator reaches are checked from Python) ---------------------

TEST(SamplerFaults, Texts) {
    const std::string uniform = "invalid uniform params: requires a < b and finite: ";
    const std::string gamma = "invalid gamma params: shape and scale must be > 0 and finite: ";
    const std::pair<std::function<void(Mt64&)>, std::string> cases[] = {
        {[](Mt64& r) { qm::sample_uniform(r, 0.0, kNaN); }, uniform + "EmptyRange"},
        {[](Mt64& r) { qm::sample_uniform(r, -1e308, 1e308); }, uniform + "NonFinite"},
        {[](Mt64& r) { qm::sample_exponential(r, -1.0); },
         "invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, -1.0, kNaN); }, gamma + "ShapeTooSmall"},  // shape before scale
        {[](Mt64& r) { qm::sample_gamma(r, 2.0, kInf); }, gamma + "ScaleTooLarge"},
    };
    for (const auto& [call, text] : cases) {
        Mt64 rng(1);
        EXPECT_EQ(fault_text([&] { call(rng); }), text);
    }
    // Accepted edge values.
    Mt64 rng(1);
    EXPECT_EQ(fault_text([&] { qm::sample_normal(rng, 0.0, -1.0); }), kNoFault);
    EXPECT_EQ(qm::sample_exponential(rng, 0.0), kInf);
    EXPECT_EQ(qm::sample_exponential(rng, kInf), 0.0);
    EXPECT_GE(qm::sample_poisson(rng, 1.844e19), INT32_MAX);
}

}  // namespace
