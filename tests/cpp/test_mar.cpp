#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "generators/mar.hpp"
#include "rng/mt64.hpp"

namespace {

using Vec = std::vector<double>;

// A seasonal block far out draws and sums exactly like its dense coefficients.
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
