#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "generators/mar.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using std::uint64_t;
using Vec = std::vector<double>;
using Arrays = std::vector<Vec>;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// s0..s11: components, order, seasonal lag, concentration, intercept std,
// scale range, burn-in, z-score, mode, innovation code and parameter.
Vec random_scalars() { return {3, 2, 0, 1.5, 0.5, 0.2, 1.0, 20, 0, 0, 0, 0}; }
Vec fixed_scalars(double burn_in = 0, double zscore = 0) {
    return {1, 1, 0, 1, 0, 1, 1, burn_in, zscore, 1, 0, 0};
}
Arrays two_components() { return {{0.5, 0.5}, {1, 2}, {0.5, 0.3, -0.2}, {0.1, -0.1}, {1.0, 2.0}}; }

std::string mar_error(const Vec& s, const Arrays& a, std::size_t n = 200) {
    Vec values(n);
    return value_error_text([&] { qm::gen_mar(values, s, a, 11); });
}

Vec with(Vec s, std::size_t i, double v) {
    s[i] = v;
    return s;
}

const char* const kInvalid = "mar: invalid configuration";
const char* const kNoSeries = "mar: fixed configuration produced no finite, bounded, non-constant series in 8 attempts";

// Two components with the given orders and coefficients.
Arrays layout(Vec orders, Vec coefs) { return {{0.5, 0.5}, std::move(orders), std::move(coefs), {0, 0}, {1, 1}}; }

TEST(MarErrors, FirstFailingCheckIsReported) {
    Vec thirteen = random_scalars();
    thirteen.push_back(kNan);
    const struct {
        Vec scalars;
        Arrays arrays;
        const char* message;
    } cases[] = {
        {Vec(11, kNan), {}, "mar: expected >= 12 scalar params, got 11"},
        {{}, {}, "mar: expected >= 12 scalar params, got 0"},
        {thirteen, {}, "mar: scalar params must be finite"},
        // Finiteness before ranges, ranges before arrays.
        {with(with(random_scalars(), 0, 0.5), 11, -kInf), {}, "mar: scalar params must be finite"},
        {with(fixed_scalars(), 0, 0.5), {}, kInvalid},
        {with(random_scalars(), 5, 1.5), {}, kInvalid},
        {fixed_scalars(), Arrays(4), "mar: expected >= 5 array params in fixed mode, got 4"},
        {fixed_scalars(), Arrays(5), "mar: inconsistent fixed component counts"},
        {fixed_scalars(), {{0.5, 0.5}, {1, 2}, {0.5, 0.3, -0.2}, {0, 0}, {1}},
         "mar: inconsistent fixed component counts"},
        {fixed_scalars(), layout({1, 1e30}, {0.5, 0.3, -0.2}), "mar: fixed AR coefficient offset overflow"},
        {fixed_scalars(), layout({1, 2.5}, {0.5, 0.3, -0.2}), "mar: invalid fixed AR coefficient layout"},
        {fixed_scalars(), layout({0, 3}, {0.5, 0.3, -0.2}), "mar: invalid fixed AR coefficient layout"},
        {fixed_scalars(), layout({1, kNan}, {0.5, 0.3, -0.2}), "mar: invalid fixed AR coefficient layout"},
        {fixed_scalars(), layout({1, 3}, {0.5, 0.3, -0.2}), "mar: invalid fixed AR coefficient layout"},
        {fixed_scalars(), layout({1, 2}, {0.5, 0.3, -0.2, 0.1}), "mar: unused fixed AR coefficients"},
        {fixed_scalars(), {{1.0}, {1}, {0.0}, {2.0}, {0.0}}, kNoSeries},  // constant
        {fixed_scalars(), {{1.0}, {1}, {1.5}, {0.0}, {1.0}}, kNoSeries},  // explosive
    };
    for (const auto& c : cases) EXPECT_EQ(mar_error(c.scalars, c.arrays), c.message);
}

TEST(MarErrors, EveryRangeBoundIsChecked) {
    const std::pair<std::size_t, double> bad[] = {{0, 0.5}, {0, 1e6 + 1}, {1, 0.99}, {1, 1e6 + 1}, {2, -1},
                                                  {2, 1e9 + 1}, {3, 0},     {4, -1e-9},  {5, 0},     {7, -1},
                                                  {7, 1e9 + 1}};
    for (const auto& [slot, value] : bad)
        EXPECT_EQ(mar_error(with(random_scalars(), slot, value), {}), kInvalid) << slot;
    // Edges that are allowed; s0 and s1 need not be whole; s5 = s6 draws no scale.
    const std::pair<std::size_t, double> good[] = {{0, 1e6}, {0, 2.5}, {1, 1}, {2, 0.5}, {4, 0}, {5, 1.0}, {7, 0}};
    for (const auto& [slot, value] : good)
        EXPECT_EQ(mar_error(with(random_scalars(), slot, value), {}), kNoError) << slot;
}

// ---- Fixed mode against an independent model --------------------------------

struct Moments {
    double mean, sd;
};

Moments moments(const Vec& x) {
    double sum = 0.0;
    for (double v : x) sum += v;
    const double m = sum / static_cast<double>(x.size());
    double ss = 0.0;
    for (double v : x) ss += (v - m) * (v - m);
    return {m, std::sqrt(ss / static_cast<double>(x.size()))};
}

// The whole buffer kept in memory, normal innovations. Returns the accepted
// series and the number of attempts used (9: every attempt was rejected).
std::pair<Vec, int> reference_fixed(const Arrays& a, uint64_t burn_in, std::size_t n, uint64_t seed, bool zscore) {
    const std::size_t k_count = a[0].size();
    std::vector<Vec> phi(k_count);
    std::size_t off = 0, lags = 0;
    for (std::size_t k = 0; k < k_count; ++k) {
        const auto p = static_cast<std::size_t>(a[1][k]);
        phi[k].assign(a[2].begin() + off, a[2].begin() + off + p);
        off += p;
        lags = std::max(lags, p);
    }
    qm::Mt64 rng(seed);
    for (int attempt = 1; attempt <= 8; ++attempt) {
        Vec x(lags + burn_in + n);
        for (std::size_t i = 0; i < lags; ++i) x[i] = qm::standard_normal(rng);
        for (std::size_t t = lags; t < x.size(); ++t) {
            const double u = qm::uniform01(rng);
            std::size_t k = k_count - 1;
            double cum = 0.0;
            for (std::size_t j = 0; j < k_count; ++j) {
                cum = j == 0 ? a[0][0] : cum + a[0][j];
                if (cum > u) {
                    k = j;
                    break;
                }
            }
            double s = phi[k][0] * x[t - 1];
            for (std::size_t i = 2; i <= phi[k].size(); ++i) s += phi[k][i - 1] * x[t - i];
            x[t] = (s + a[3][k]) + a[4][k] * qm::standard_normal(rng);
        }
        Vec out(x.end() - static_cast<std::ptrdiff_t>(n), x.end());
        bool ok = std::all_of(out.begin(), out.end(), [](double v) { return std::fabs(v) < 1e8; });
        if (n >= 2) {
            const Moments m = moments(out);
            ok = ok && m.sd > 1e-8;
            if (ok && zscore)
                for (double& v : out) v = (v - m.mean) / m.sd;
        }
        if (ok) return {out, attempt};
    }
    return {{}, 9};
}

struct FixedCase {
    const char* name;
    Arrays arrays;
    uint64_t burn_in;
    std::size_t n;
    bool zscore;
};

class MarFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(MarFixed, MatchesTheModelDrawForDraw) {
    const FixedCase& c = GetParam();
    const uint64_t seed = 314159;
    Vec got(c.n);
    qm::gen_mar(got, fixed_scalars(static_cast<double>(c.burn_in), c.zscore ? 1.0 : 0.0), c.arrays, seed);
    const auto [expected, attempts] = reference_fixed(c.arrays, c.burn_in, c.n, seed, c.zscore);
    ASSERT_EQ(attempts, 1);
    EXPECT_EQ(got, expected);
}

// One component out of two blows past 1e8 at once: about half of the
// attempts are rejected, and each retry goes on with the same engine.
TEST(MarFixed, RejectedAttemptsAreRetriedOnTheSameEngine) {
    const Arrays a{{0.5, 0.5}, {1, 1}, {0.5, 0.5}, {0.0, 0.0}, {1.0, 1e12}};
    int retried = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        const auto [expected, attempts] = reference_fixed(a, 2, 1, seed, false);
        Vec got(1);
        if (attempts > 8) {
            EXPECT_THROW(qm::gen_mar(got, fixed_scalars(2), a, seed), qm::ValueError);
            continue;
        }
        retried += attempts > 1;
        qm::gen_mar(got, fixed_scalars(2), a, seed);
        EXPECT_EQ(got, expected) << "seed " << seed;
    }
    EXPECT_GT(retried, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MarFixed,
    ::testing::Values(FixedCase{"two_components", two_components(), 0, 40, false},
                      FixedCase{"zscored", two_components(), 10, 40, true},
                      // Weights summing below 1 leave u >= 0.4 to the last component.
                      FixedCase{"short_weights", {{0.2, 0.2}, {2, 1}, {0.4, 0.1, -0.6}, {1, -1}, {0.5, 3}}, 3, 200,
                                false},
                      // Burn-in and series longer than the lag window's chunk.
                      FixedCase{"long_burn_in", two_components(), 5000, 300, false},
                      FixedCase{"long_series",
                                {{0.3, 0.3, 0.4}, {1, 3, 1}, {0.9, 0.2, 0.1, -0.4, -0.5}, {0, 1, 2}, {1, 1, 0.5}}, 9000,
                                9000, true},
                      FixedCase{"single_value", two_components(), 7, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MarFixed, ShortSeriesAreNeverTooFlat) {
    Vec none, one(1);
    EXPECT_NO_THROW(qm::gen_mar(none, fixed_scalars(), two_components(), 1));
    EXPECT_NO_THROW(qm::gen_mar(none, random_scalars(), {}, 1));
    // A constant configuration is accepted when there is a single value.
    qm::gen_mar(one, fixed_scalars(0, 1), Arrays{{1.0}, {1}, {0.0}, {2.0}, {0.0}}, 1);
    EXPECT_EQ(one, Vec{2.0});
}

TEST(MarFixed, RefusedInnovationScaleIsAFault) {
    Vec s = fixed_scalars();
    s[10] = 2;  // Laplace
    Arrays a = two_components();
    a[4] = {1.0, -1.0};
    Vec out(100);
    EXPECT_EQ(fault_text([&] { qm::gen_mar(out, s, a, 3); }),
              "invalid laplace param: scale must be > 0: LambdaTooSmall");
}

// ---- Random mode -------------------------------------------------------------

TEST(MarRandom, SameSeedSameSeriesOtherSeedOtherSeries) {
    Vec a(150), b(150), c(150);
    Vec s = random_scalars();
    s[2] = 7;
    qm::gen_mar(a, s, {}, 8);
    qm::gen_mar(b, s, {}, 8);
    qm::gen_mar(c, s, {}, 9);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    for (double v : a) EXPECT_TRUE(std::isfinite(v));
}

TEST(MarRandom, ZScoreGivesMeanZeroAndUnitSpreadButNotForOneValue) {
    Vec s = random_scalars();
    s[8] = 1;
    Vec z(500);
    qm::gen_mar(z, s, {}, 21);
    const Moments m = moments(z);
    EXPECT_NEAR(m.mean, 0.0, 1e-12);
    EXPECT_NEAR(m.sd, 1.0, 1e-12);

    Vec one_z(1), one_raw(1);
    qm::gen_mar(one_z, s, {}, 21);
    qm::gen_mar(one_raw, random_scalars(), {}, 21);
    EXPECT_EQ(one_z, one_raw);
}

TEST(MarRandom, HugeScalesFallBackToStandardNormals) {
    Vec s = random_scalars();
    s[5] = s[6] = 1e9;
    Vec out(300);
    qm::gen_mar(out, s, {}, 4);
    const Moments m = moments(out);
    EXPECT_LT(std::fabs(m.mean), 0.3);
    EXPECT_NEAR(m.sd, 1.0, 0.2);
    for (double v : out) EXPECT_LT(std::fabs(v), 8.0);

    s[8] = 1;  // the fallback is standardised too
    qm::gen_mar(out, s, {}, 4);
    const Moments z = moments(out);
    EXPECT_NEAR(z.mean, 0.0, 1e-12);
    EXPECT_NEAR(z.sd, 1.0, 1e-12);
}

TEST(MarRandom, LongSeasonalLagRuns) {
    Vec s = random_scalars();
    s[0] = 1;
    s[2] = 300000;
    for (uint64_t seed : {1u, 2u, 3u}) {
        Vec out(64);
        qm::gen_mar(out, s, {}, seed);
        for (double v : out) ASSERT_TRUE(std::isfinite(v));
    }
}

// The lags of component k as one dense list (gap lags are zero).
Vec dense_lags(const qm::MarConfig& c, std::size_t k) {
    Vec d(qm::mar_order(c, k), 0.0);
    std::copy(c.coefficients[k].begin(), c.coefficients[k].end(), d.begin());
    if (!c.seasonal.empty() && c.seasonal[k].lag != 0)
        for (std::size_t j = 0; j < c.seasonal[k].coefficients.size(); ++j)
            d[c.seasonal[k].lag - 1 + j] = c.seasonal[k].coefficients[j];
    return d;
}

class MarConfigDraws : public ::testing::TestWithParam<int> {};

// Orders up to 3 (s1 = 3) keep the Durbin-Levinson result in closed form; the
// seasonal factor is multiplied out by hand.
TEST_P(MarConfigDraws, DrawOrderAndPolynomials) {
    const int lag_s = GetParam();
    const Vec s{4, 3, static_cast<double>(lag_s), 0.7, 0.5, 0.2, 2.0, 0, 0, 0, 0, 0};
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        qm::Mt64 rng(seed), ref(seed);
        const qm::MarConfig c = qm::sample_mar_config(s, rng);

        const auto k_count = static_cast<std::size_t>(qm::sample_int_range(ref, 1, 5));
        ASSERT_EQ(c.weights.size(), k_count);
        Vec g(k_count);
        double total = 0.0;
        for (double& v : g) total += (v = qm::gamma_law(ref, 0.7, 1.0));
        for (std::size_t k = 0; k < k_count; ++k) EXPECT_EQ(c.weights[k], g[k] / total);

        for (std::size_t k = 0; k < k_count; ++k) {
            const int p = qm::sample_int_range(ref, 1, 4);
            Vec r(static_cast<std::size_t>(p));
            for (double& v : r) v = qm::sample_uniform(ref, -0.9, 0.9);
            Vec phi{r[0]};
            if (p >= 2) phi = {r[0] - r[1] * r[0], r[1]};
            if (p == 3) phi = {phi[0] - r[2] * phi[1], phi[1] - r[2] * phi[0], r[2]};
            if (lag_s != 0 && qm::sample_bernoulli(ref, 0.5)) {
                const double big = qm::sample_uniform(ref, -0.9, 0.9);
                Vec full(static_cast<std::size_t>(p + lag_s), 0.0);
                for (int i = 1; i <= p + lag_s; ++i) {
                    double v = i <= p ? phi[i - 1] : 0.0;
                    if (i == lag_s) v = v + big;
                    if (i - lag_s >= 1 && i - lag_s <= p) v = v - phi[i - lag_s - 1] * big;
                    full[i - 1] = v;
                }
                phi = full;
            }
            EXPECT_EQ(dense_lags(c, k), phi) << "seed " << seed << " component " << k;
        }
        for (std::size_t k = 0; k < k_count; ++k) EXPECT_EQ(c.intercepts[k], qm::standard_normal(ref) * 0.5);
        for (std::size_t k = 0; k < k_count; ++k)
            EXPECT_EQ(c.scales[k], std::exp(qm::sample_uniform(ref, std::log(0.2), std::log(2.0))));
        EXPECT_TRUE(same_position(rng, ref)) << "draw count, seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(SeasonalLags, MarConfigDraws, ::testing::Values(0, 1, 2, 4, 12));

// ---- Simulation ----------------------------------------------------------------

TEST(MarSimulate, FarSeasonalBlockEqualsTheDenseCoefficients) {
    qm::MarConfig sparse;
    sparse.weights = {0.6, 0.4};
    sparse.coefficients = {{0.5}, {0.2, -0.1}};
    sparse.intercepts = {0.3, -0.2};
    sparse.scales = {1.0, 0.5};
    sparse.seasonal = {{40, {0.3, -0.15}}, {}};

    qm::MarConfig dense = sparse;
    dense.seasonal.clear();
    dense.coefficients[0] = Vec(41, -0.0);
    dense.coefficients[0][0] = 0.5;
    dense.coefficients[0][39] = 0.3;
    dense.coefficients[0][40] = -0.15;
    ASSERT_EQ(qm::mar_order(sparse, 0), 41u);

    Vec a(500), b(500);
    qm::Mt64 ra(17), rb(17);
    qm::simulate_mar(a, sparse, 6000, 0, ra, 0.0);
    qm::simulate_mar(b, dense, 6000, 0, rb, 0.0);
    EXPECT_EQ(a, b);
}

TEST(MarSimulate, LagWindowBeyondMemoryIsAFault) {
    qm::MarConfig c;
    c.weights = {1.0};
    c.coefficients = {{0.5}};
    c.intercepts = {0.0};
    c.scales = {1.0};
    c.seasonal = {{1000000000, {0.3, -0.15}}};
    Vec out(10);
    qm::Mt64 rng(1);
    EXPECT_THROW(qm::simulate_mar(out, c, 0, 0, rng, 0.0), qm::Fault);
}

}  // namespace
