#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "generators/tcm.hpp"

namespace {

struct RadiusCase {
    std::size_t nodes;
    std::size_t lags;
    std::vector<double> tensor;  // [lag - 1][target][source]
    double radius;
};

// Largest modulus among the companion matrix's eigenvalues.
TEST(TcmSpectralRadius, MatchesTheCompanionEigenvalues) {
    const std::vector<RadiusCase> cases = {
        {1, 1, {0.5}, 0.5},
        {1, 1, {-2.0}, 2.0},
        {2, 1, {0.9, 0.0, 0.0, -0.3}, 0.9},
        {2, 1, {0.0, 0.6, 0.6, 0.0}, 0.6},  // +-0.6: equal moduli, the norm still settles
        {1, 2, {0.5, 0.3}, 0.8520797289396148},  // AR(2): the root of z^2 - 0.5 z - 0.3
        {1, 3, {0.0, 0.0, 0.0}, 0.0},
    };
    for (const RadiusCase& c : cases)
        EXPECT_NEAR(qm::spectral_radius(c.tensor, c.nodes, c.lags), c.radius, 1e-9 * (1.0 + c.radius));
}

// A nilpotent companion (a pure shift) vanishes after K steps: exactly 0.
TEST(TcmSpectralRadius, VanishingIterateGivesZero) {
    EXPECT_EQ(qm::spectral_radius(std::vector<double>(2 * 2 * 3, 0.0), 2, 3), 0.0);
    EXPECT_EQ(qm::spectral_radius(std::vector<double>{0.0, 1.0, 0.0, 0.0}, 2, 1), 0.0);
}

}  // namespace
