// Guarded samplers and law samplers: engine use per branch, fault texts,
// pinned seeded values and goodness of fit against closed-form laws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
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

// ---- Closed-form laws ------------------------------------------------------------------

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Regularised lower incomplete gamma P(a, x).
double gamma_p(double a, double x) {
    if (x <= 0.0) return 0.0;
    const double front = std::exp(-x + a * std::log(x) - std::lgamma(a));
    if (x < a + 1.0) {
        double term = 1.0 / a;
        double sum = term;
        for (int n = 1; n < 10000 && term > sum * 1e-17; ++n) {
            term *= x / (a + n);
            sum += term;
        }
        return sum * front;
    }
    // Continued fraction for Q (modified Lentz).
    const double tiny = 1e-300;
    double b = x + 1.0 - a;
    double c = 1.0 / tiny;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i < 10000; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1.0) < 1e-16) break;
    }
    return 1.0 - front * h;
}

double poisson_pmf(double lambda, int64_t k) {
    return std::exp(-lambda + k * std::log(lambda) - std::lgamma(k + 1.0));
}

double binomial_pmf(int64_t n, double p, int64_t k) {
    return std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) + k * std::log(p) +
                    (n - k) * std::log1p(-p));
}

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

// Pearson chi-square over bins 0..K-1 plus ">= K", merged left to right
// until each expects at least 5; compared with the 1e-4 upper quantile.
void expect_chi_square_fit(const std::vector<int64_t>& values, int64_t big_k,
                           const std::function<double(int64_t)>& pmf) {
    const double n = static_cast<double>(values.size());
    std::vector<double> observed(static_cast<std::size_t>(big_k) + 1, 0.0);
    for (int64_t v : values) {
        ASSERT_GE(v, 0);
        observed[static_cast<std::size_t>(std::min(v, big_k))] += 1.0;
    }
    std::vector<double> expected(observed.size());
    double mass = 0.0;
    for (int64_t k = 0; k < big_k; ++k) {
        expected[static_cast<std::size_t>(k)] = pmf(k) * n;
        mass += pmf(k);
    }
    expected.back() = std::max(0.0, 1.0 - mass) * n;

    std::vector<std::pair<double, double>> bins;  // (observed, expected)
    double o = 0.0;
    double e = 0.0;
    for (std::size_t k = 0; k < observed.size(); ++k) {
        o += observed[k];
        e += expected[k];
        if (e >= 5.0) {
            bins.emplace_back(o, e);
            o = e = 0.0;
        }
    }
    if (e > 0.0 || o > 0.0) {
        if (bins.empty()) bins.emplace_back(0.0, 0.0);
        bins.back().first += o;
        bins.back().second += e;
    }
    double chi = 0.0;
    for (const auto& [ob, ex] : bins) chi += (ob - ex) * (ob - ex) / ex;
    const double df = static_cast<double>(bins.size() - 1);
    const double z = 3.719;  // upper 1e-4 normal quantile
    const double h = 2.0 / (9.0 * df);
    const double critical = df * std::pow(1.0 - h + z * std::sqrt(h), 3.0);
    EXPECT_LT(chi, critical) << "chi-square " << chi << " on " << df << " degrees of freedom";
}

template <typename T, typename F>
std::vector<T> draw_many(uint64_t seed, std::size_t n, F f) {
    Mt64 rng(seed);
    std::vector<T> out(n);
    for (auto& v : out) v = static_cast<T>(f(rng));
    return out;
}

// |x| of the draws beyond r among 30 million, after checking that their
// count fits the tail probability q: enough of them to test the tail's law.
template <typename F>
std::vector<double> tail_beyond(uint64_t seed, double r, double q, F draw) {
    const std::size_t n = 30000000;
    Mt64 rng(seed);
    std::vector<double> tail;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = std::fabs(draw(rng));
        if (x > r) tail.push_back(x);
    }
    const double expected = n * q;
    EXPECT_NEAR(static_cast<double>(tail.size()), expected, 5.0 * std::sqrt(expected));
    return tail;
}

// ---- Ziggurat tables -------------------------------------------------------------------

struct TableCase {
    const char* name;
    const std::array<double, 257>* x;
    const std::array<double, 257>* f;
    double r, x0, f0, f1;
    double (*density)(double);
};

TEST(ZigguratTables, PublishedAnchorsAndLayerAreas) {
    const TableCase cases[] = {
        {"normal", &qm::kZigNormalX, &qm::kZigNormalF, 3.654152885361009, 3.91075795953709, 0.000477467764586655,
         0.001260285930498598, [](double x) { return std::exp(-x * x / 2.0); }},
        {"exponential", &qm::kZigExpX, &qm::kZigExpF, 7.69711747013105, 8.697117470131053, 0.000167066692307963,
         0.000454134353841497, [](double x) { return std::exp(-x); }},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& x = *c.x;
        const auto& f = *c.f;
        EXPECT_EQ(x[0], c.x0);
        EXPECT_EQ(x[1], c.r);
        EXPECT_EQ(f[0], c.f0);
        EXPECT_EQ(f[1], c.f1);
        EXPECT_EQ(x[256], 0.0);
        EXPECT_EQ(f[256], 1.0);
        // Every rectangle of layers 1..255 has the same area; a mistyped
        // digit anywhere breaks this far above rounding.
        const double area = x[1] * (f[2] - f[1]);
        for (int i = 0; i < 256; ++i) {
            ASSERT_GT(x[i], x[i + 1]) << i;
            ASSERT_LT(f[i], f[i + 1]) << i;
            ASSERT_NEAR(f[i], c.density(x[i]), 1e-12 * f[i]) << i;
            if (i >= 1) {
                ASSERT_NEAR(x[i] * (f[i + 1] - f[i]), area, 1e-9 * area) << i;
            }
        }
    }
    EXPECT_EQ(qm::kZigNormalR, qm::kZigNormalX[1]);
    EXPECT_EQ(qm::kZigExpR, qm::kZigExpX[1]);
}

// ---- Engine use per branch ---------------------------------------------------------------

struct UseCase {
    const char* name;
    std::function<void(Mt64&)> act;
    std::function<void(Mt64&)> same_as;  // draws the same raw outputs
};

TEST(SamplerDrawCounts, BranchesConsumeExactly) {
    auto nothing = [](Mt64&) {};
    auto one = [](Mt64& r) { qm::next_u64(r); };
    const UseCase cases[] = {
        {"poisson 0", [](Mt64& r) { EXPECT_EQ(qm::sample_poisson(r, 0.0), 0); }, nothing},
        {"poisson -1", [](Mt64& r) { EXPECT_EQ(qm::sample_poisson(r, -1.0), 0); }, nothing},
        {"poisson -inf", [](Mt64& r) { EXPECT_EQ(qm::sample_poisson(r, -kInf), 0); }, nothing},
        {"bernoulli 1", [](Mt64& r) { EXPECT_TRUE(qm::sample_bernoulli(r, 1.0)); }, nothing},
        {"bernoulli 0", [](Mt64& r) { EXPECT_FALSE(qm::sample_bernoulli(r, 0.0)); }, one},
        {"binomial n 0", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 0, 0.3), 0u); }, nothing},
        {"binomial n<1 before p", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, -4, kNaN), 0u); }, nothing},
        {"binomial p 0", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 9, 0.0), 0u); }, nothing},
        {"binomial p<0", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 9, -0.5), 0u); }, nothing},
        {"binomial p 1", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 9, 1.0), 9u); }, nothing},
        {"binomial p>1", [](Mt64& r) { EXPECT_EQ(qm::sample_binomial(r, 9, 2.0), 9u); }, nothing},
        {"int range width 1", [](Mt64& r) { EXPECT_EQ(qm::sample_int_range(r, 7, 8), 7); }, one},
        {"distinct k 0", [](Mt64& r) { EXPECT_TRUE(qm::sample_distinct_indices(r, 10, 0).empty()); }, nothing},
        {"distinct n 0", [](Mt64& r) { EXPECT_TRUE(qm::sample_distinct_indices(r, 0, 5).empty()); }, nothing},
        {"distinct n<0", [](Mt64& r) { EXPECT_TRUE(qm::sample_distinct_indices(r, -3, 5).empty()); }, nothing},
        {"uniform", [](Mt64& r) { qm::sample_uniform(r, -1.0, 1.0); }, one},
        {"exponential rate", [](Mt64& r) { qm::sample_exponential(r, 2.0); },
         [](Mt64& r) { qm::standard_exponential(r); }},
        {"normal mean std", [](Mt64& r) { qm::sample_normal(r, 1.0, 2.0); },
         [](Mt64& r) { qm::standard_normal(r); }},
        {"lognormal", [](Mt64& r) { qm::sample_lognormal(r, 1.0, 2.0); }, [](Mt64& r) { qm::standard_normal(r); }},
        {"gamma shape 1", [](Mt64& r) { qm::sample_gamma(r, 1.0, 3.0); },
         [](Mt64& r) { qm::standard_exponential(r); }},
        {"gamma shape < 1: uniform first", [](Mt64& r) { qm::sample_gamma(r, 0.25, 3.0); },
         [](Mt64& r) {
             qm::uniform_open01(r);
             qm::gamma_law(r, 1.25, 3.0);
         }},
    };
    for (const UseCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (uint64_t seed : {1ULL, 77ULL, 123456789ULL}) {
            Mt64 a(seed);
            Mt64 b(seed);
            c.act(a);
            c.same_as(b);
            EXPECT_TRUE(same_position(a, b)) << "seed " << seed;
        }
    }
}

TEST(PoissonSampler, ProductMethodBelowTwelve) {
    // The product method uses count + 1 uniforms.
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Mt64 rng(seed);
        const int32_t k = qm::sample_poisson(rng, 11.999);
        EXPECT_EQ(draws_used(rng, seed), k + 1) << "seed " << seed;
    }
}

TEST(PoissonSampler, TwelveStartsWithTheNormalStep) {
    // From 12 on, a normal candidate at or above L = floor(lambda - 1.1484)
    // is accepted with no further draw.
    const double lambda = 12.0;
    int immediate = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        Mt64 rng(seed);
        Mt64 copy(seed);
        const double k = std::floor(lambda + std::sqrt(lambda) * qm::standard_normal(copy));
        const int32_t got = qm::sample_poisson(rng, lambda);
        if (k >= std::floor(lambda - 1.1484)) {
            ++immediate;
            EXPECT_EQ(got, static_cast<int32_t>(k)) << "seed " << seed;
            EXPECT_TRUE(same_position(rng, copy)) << "seed " << seed;
        }
    }
    EXPECT_GT(immediate, 100);
}

TEST(BinomialSampler, UpperHalfIsTheMirrorOfTheLowerHalf) {
    for (int32_t n : {10, 60, 1000}) {  // inversion, then BTPE
        for (uint64_t seed = 1; seed <= 20; ++seed) {
            Mt64 a(seed);
            Mt64 b(seed);
            EXPECT_EQ(qm::sample_binomial(a, n, 0.75), static_cast<uint64_t>(n) - qm::sample_binomial(b, n, 0.25));
            EXPECT_TRUE(same_position(a, b));
        }
    }
}

TEST(IntRangeSampler, WideRangeStaysInsideAndRejects) {
    // Range 2^31 + 1 rejects almost half of the raw outputs.
    Mt64 rng(9);
    int64_t sum = 0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        const int32_t v = qm::sample_int_range(rng, INT32_MIN, 1);
        ASSERT_LE(v, 0);
        sum += v;
    }
    EXPECT_GT(draws_used(rng, 9), n * 3 / 2);
    EXPECT_NEAR(static_cast<double>(sum) / n / -1073741824.0, 1.0, 0.02);

    const auto small = draw_many<int64_t>(10, 70000, [](Mt64& r) { return qm::sample_int_range(r, -3, 4) + 3; });
    expect_chi_square_fit(small, 7, [](int64_t) { return 1.0 / 7.0; });
}

TEST(DistinctIndicesSampler, FloydOverIntegerDraws) {
    struct Case {
        int32_t n, k;
    };
    // Dense (bitmap) and sparse (hash) membership must choose alike.
    for (const Case c : {Case{10, 10}, Case{10, 25}, Case{1, 1}, Case{100, 40}, Case{2000000000, 5}, Case{5000, 3}}) {
        for (uint64_t seed : {3ULL, 4ULL}) {
            Mt64 a(seed);
            Mt64 b(seed);
            const std::vector<int64_t> got = qm::sample_distinct_indices(a, c.n, c.k);
            std::vector<int64_t> want;
            std::set<int64_t> seen;
            for (int32_t j = c.n - std::min(c.n, c.k); j < c.n; ++j) {
                const int64_t t = qm::sample_int_range(b, 0, j + 1);
                want.push_back(seen.count(t) ? j : t);
                seen.insert(want.back());
            }
            EXPECT_EQ(got, want) << c.n << " " << c.k;
            EXPECT_TRUE(same_position(a, b));
            EXPECT_EQ(std::set<int64_t>(got.begin(), got.end()).size(), got.size());
        }
    }
    Mt64 rng(2024);
    EXPECT_EQ(qm::sample_distinct_indices(rng, 20, 8), (std::vector<int64_t>{8, 6, 10, 5, 7, 13, 18, 1}));
}

// ---- Pinned seeded values ------------------------------------------------------------------

TEST(SamplerPinned, TablesBitForBit) {
    uint64_t h = kFnvOffset;
    for (const auto* t : {&qm::kZigNormalX, &qm::kZigNormalF, &qm::kZigExpX, &qm::kZigExpF}) {
        for (double d : *t) h = fnv1a(h, bits_of(d));
    }
    EXPECT_EQ(h, 0x6e9774f445de76d4ULL);
}

// Long runs reach the rare branches (ziggurat wedges and tails, the PD
// quotient and exponential steps, BTPE's explicit, squeeze and final tests):
// every value's bits and the engine position afterwards are hashed.
TEST(SamplerPinned, LongSequences) {
    struct Case {
        const char* name;
        std::function<double(Mt64&)> draw;
        uint64_t hash;
    };
    const Case cases[] = {
        {"normal", [](Mt64& r) { return qm::standard_normal(r); }, 0x7197a901b4af7c8eULL},
        {"exponential", [](Mt64& r) { return qm::standard_exponential(r); }, 0xff1690a2de16ab13ULL},
        {"gamma 0.5", [](Mt64& r) { return qm::sample_gamma(r, 0.5, 1.7); }, 0xfe7da15516f39599ULL},
        {"gamma 1", [](Mt64& r) { return qm::sample_gamma(r, 1.0, 49.0); }, 0xf940178bdab0b76bULL},  // 1 / (1 / 49) is not 49,
        {"gamma 7.5", [](Mt64& r) { return qm::sample_gamma(r, 7.5, 1.7); }, 0xd5a5410801761bb8ULL},
        {"poisson 3", [](Mt64& r) { return qm::sample_poisson(r, 3.0); }, 0xcf86f1eb9bad81f1ULL},
        {"poisson 12", [](Mt64& r) { return qm::sample_poisson(r, 12.0); }, 0x31d9c0080abac0cfULL},
        {"poisson 40", [](Mt64& r) { return qm::sample_poisson(r, 40.0); }, 0xf9124ed0c1760835ULL},
        {"poisson 1e6", [](Mt64& r) { return qm::sample_poisson(r, 1e6); }, 0xfec69c12e668b8feULL},
        {"binomial 10 0.3", [](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, 10, 0.3)); }, 0xcef5672f343ddab7ULL},
        {"binomial 35 0.3", [](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, 35, 0.3)); }, 0xa6904c347dc8f8abULL},
        {"binomial 1000 0.3", [](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, 1000, 0.3)); },
         0x44b680a22aff036cULL},
        {"binomial 1000 0.8", [](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, 1000, 0.8)); },
         0x2f72765086b3fcdbULL},
        {"binomial 1e5 0.7", [](Mt64& r) { return static_cast<double>(qm::sample_binomial(r, 100000, 0.7)); },
         0x3e2eb32baa0cc2bfULL},
        {"uniform", [](Mt64& r) { return qm::sample_uniform(r, -0.3, 2.9); }, 0x9c147432a00b2bc9ULL},
        {"int range", [](Mt64& r) { return qm::sample_int_range(r, -1000000000, 2000000000); }, 0xb10f98b12666160eULL},
    };
    for (const Case& c : cases) {
        Mt64 rng(31337);
        uint64_t h = kFnvOffset;
        for (int i = 0; i < 200000; ++i) h = fnv1a(h, bits_of(c.draw(rng)));
        h = fnv1a(h, qm::next_u64(rng));
        EXPECT_EQ(h, c.hash) << c.name << std::hex << " 0x" << h;
    }
}

// ---- Goodness of fit -------------------------------------------------------------------------

TEST(SamplerFit, StandardNormal) {
    const auto xs = draw_many<double>(101, 200000, [](Mt64& r) { return qm::standard_normal(r); });
    expect_ks_fit(xs, normal_cdf);

    // The tail beyond R: its frequency and its conditional law.
    const double r = qm::kZigNormalR;
    const double q_r = std::erfc(r / std::sqrt(2.0));
    const auto tail = tail_beyond(102, r, q_r, [](Mt64& g) { return qm::standard_normal(g); });
    expect_ks_fit(tail, [&](double t) { return 1.0 - std::erfc(t / std::sqrt(2.0)) / q_r; });
}

TEST(SamplerFit, StandardExponential) {
    const auto xs = draw_many<double>(201, 200000, [](Mt64& r) { return qm::standard_exponential(r); });
    expect_ks_fit(xs, [](double x) { return x <= 0.0 ? 0.0 : -std::expm1(-x); });

    const double r = qm::kZigExpR;
    const auto tail = tail_beyond(202, r, std::exp(-r), [](Mt64& g) { return qm::standard_exponential(g); });
    expect_ks_fit(tail, [&](double t) { return -std::expm1(-(t - r)); });
}

TEST(SamplerFit, Gamma) {
    const double theta = 2.0;
    for (double shape : {0.5, 1.0, 7.5}) {
        SCOPED_TRACE(shape);
        const auto xs = draw_many<double>(300 + static_cast<uint64_t>(shape * 10), 100000,
                                          [&](Mt64& r) { return qm::sample_gamma(r, shape, theta); });
        expect_ks_fit(xs, [&](double x) { return gamma_p(shape, x / theta); });
    }
}

TEST(SamplerFit, Poisson) {
    for (double lambda : {3.0, 12.0, 40.0}) {
        SCOPED_TRACE(lambda);
        const auto ks = draw_many<int64_t>(400 + static_cast<uint64_t>(lambda), 200000,
                                           [&](Mt64& r) { return qm::sample_poisson(r, lambda); });
        expect_chi_square_fit(ks, static_cast<int64_t>(lambda * 3 + 30),
                              [&](int64_t k) { return poisson_pmf(lambda, k); });
    }
}

TEST(SamplerFit, Binomial) {
    struct Case {
        int32_t n;
        double p;
    };
    // Inversion, then BTPE with the squeeze, mirrored for p > 0.5.
    for (const Case c : {Case{10, 0.3}, Case{1000, 0.3}, Case{1000, 0.8}, Case{60, 0.5}}) {
        SCOPED_TRACE(c.n);
        SCOPED_TRACE(c.p);
        const auto ks = draw_many<int64_t>(500 + c.n, 200000, [&](Mt64& r) { return qm::sample_binomial(r, c.n, c.p); });
        expect_chi_square_fit(ks, c.n + 1, [&](int64_t k) { return k <= c.n ? binomial_pmf(c.n, c.p, k) : 0.0; });
    }
}

TEST(SamplerFit, Bernoulli) {
    for (double p : {0.1, 0.5, 0.93}) {
        const auto bs = draw_many<int64_t>(600, 100000, [&](Mt64& r) { return qm::sample_bernoulli(r, p) ? 1 : 0; });
        expect_chi_square_fit(bs, 2, [&](int64_t k) { return k == 1 ? p : 1.0 - p; });
    }
}

// ---- Faults -----------------------------------------------------------------------------------

TEST(SamplerFaults, Texts) {
    const std::string uniform = "invalid uniform params: requires a < b and finite: ";
    const std::string range = "invalid integer range: requires low < high: EmptyRange";
    const std::string bern = "invalid bernoulli param: p must be in [0, 1]: InvalidProbability";
    const std::string pois = "invalid poisson param: lambda must be finite: ";
    const std::string normal = "invalid normal params: std must be finite and >= 0: BadVariance";
    const std::string gamma = "invalid gamma params: shape and scale must be > 0 and finite: ";
    const std::string expo = "invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall";
    struct Case {
        std::function<void(Mt64&)> call;
        std::string text;
    };
    const Case cases[] = {
        {[](Mt64& r) { qm::sample_uniform(r, 1.0, 1.0); }, uniform + "EmptyRange"},
        {[](Mt64& r) { qm::sample_uniform(r, 2.0, 1.0); }, uniform + "EmptyRange"},
        {[](Mt64& r) { qm::sample_uniform(r, 0.0, kNaN); }, uniform + "EmptyRange"},
        {[](Mt64& r) { qm::sample_uniform(r, -kInf, 0.0); }, uniform + "NonFinite"},
        {[](Mt64& r) { qm::sample_uniform(r, -1e308, 1e308); }, uniform + "NonFinite"},
        {[](Mt64& r) { qm::sample_int_range(r, 3, 3); }, range},
        {[](Mt64& r) { qm::sample_int_range(r, 5, -5); }, range},
        {[](Mt64& r) { qm::sample_bernoulli(r, -0.1); }, bern},
        {[](Mt64& r) { qm::sample_bernoulli(r, 1.0000001); }, bern},
        {[](Mt64& r) { qm::sample_bernoulli(r, kNaN); }, bern},
        {[](Mt64& r) { qm::sample_poisson(r, kNaN); }, pois + "NonFinite"},
        {[](Mt64& r) { qm::sample_poisson(r, kInf); }, pois + "NonFinite"},
        {[](Mt64& r) { qm::sample_poisson(r, 2e19); }, pois + "ShapeTooLarge"},
        {[](Mt64& r) { qm::sample_binomial(r, 5, kNaN); },
         "invalid binomial params: n >= 0 and p in [0, 1]: ProbabilityTooSmall"},
        {[](Mt64& r) { qm::sample_normal(r, 0.0, kInf); }, normal},
        {[](Mt64& r) { qm::sample_normal(r, 0.0, kNaN); }, normal},
        {[](Mt64& r) { qm::sample_lognormal(r, 0.0, -kInf); },
         "invalid lognormal params: std must be finite and >= 0: BadVariance"},
        {[](Mt64& r) { qm::sample_exponential(r, -1.0); }, expo},
        {[](Mt64& r) { qm::sample_exponential(r, kNaN); }, expo},
        {[](Mt64& r) { qm::sample_gamma(r, 0.0, 1.0); }, gamma + "ShapeTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, kNaN, 1.0); }, gamma + "ShapeTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, -1.0, kNaN); }, gamma + "ShapeTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, 2.0, 0.0); }, gamma + "ScaleTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, 2.0, kNaN); }, gamma + "ScaleTooSmall"},
        {[](Mt64& r) { qm::sample_gamma(r, 2.0, kInf); }, gamma + "ScaleTooLarge"},
    };
    for (const Case& c : cases) {
        Mt64 rng(1);
        EXPECT_EQ(fault_text([&] { c.call(rng); }), c.text);
    }
    // Accepted edge values.
    Mt64 rng(1);
    EXPECT_EQ(fault_text([&] { qm::sample_normal(rng, 0.0, -1.0); }), kNoFault);
    EXPECT_EQ(qm::sample_exponential(rng, 0.0), kInf);
    EXPECT_EQ(qm::sample_exponential(rng, kInf), 0.0);
    EXPECT_GE(qm::sample_poisson(rng, 1.844e19), INT32_MAX);
}

}  // namespace
