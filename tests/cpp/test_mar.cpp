#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "generators/mar.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using qm_test::same_position;
using std::uint64_t;
using Vec = std::vector<double>;

// A drawn configuration never leaves the engine, so its draws are checked here;
// the values it leads to are checked from Python.

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
        const qm::MarConfig c = qm::sample_mar_config(qm::mar_params(s), rng);

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

}  // namespace
