// Innovation laws: one value and a filled buffer draw alike. (The values and
// the fault texts are checked from Python, the values against an independent
// rebuild.)
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::Mt64;

TEST(Innovations, FillDrawsExactlyLikeRepeatedSamples) {
    const std::pair<int32_t, double> laws[] = {{0, 0.0}, {1, 5.0}, {2, 0.0}, {3, 0.0}, {4, -1.5}, {7, 0.0}};
    for (auto [code, param] : laws) {
        Mt64 a(11), b(11);
        std::vector<double> buf(700);
        qm::fill_innovations(a, code, 1.5, param, buf);
        for (double v : buf) ASSERT_TRUE(same_bits(v, qm::sample_innovation(b, code, 1.5, param))) << code;
        EXPECT_TRUE(same_position(a, b)) << code;
    }
}

}  // namespace
