#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "augmentation/dtw.hpp"
#include "test_util.hpp"

namespace {

using qm_test::kNoError;
using qm_test::value_error_text;

// Band 0 keeps the table at one cell a row, so the path cap alone decides;
// the boundary takes paths of two million pairs, too many for a Python list.
std::string alignment_error(const std::vector<double>& a, const std::vector<double>& b) {
    return value_error_text([&] { qm::dtw_alignment_core(a, b, std::optional<std::size_t>{0}); });
}

TEST(DtwCaps, PathBoundary) {
    const std::vector<double> at_cap(2'097'152, 0.0), over(2'097'153, 0.0);
    EXPECT_EQ(alignment_error(at_cap, at_cap), kNoError);
    EXPECT_EQ(alignment_error(over, at_cap), "DTW path exceeds 64 MiB");
}

TEST(DtwCaps, PathCapComesAfterTheCost) {
    std::vector<double> a(2'100'000, 0.0), b(2'100'000, 0.0);
    a[0] = 1e200, b[0] = -1e200;
    EXPECT_EQ(alignment_error(a, b), "DTW alignment is infeasible for the requested band");
}

}  // namespace
