#include <gtest/gtest.h>

#include <cstdint>

#include "augmentation/bootstrap.hpp"
#include "test_util.hpp"

namespace {

using qm_test::value_error_text;

// The block draws take int32 bounds, so a longer series is refused whatever
// the block size. (A test from Python would need 16 GiB of input.)
TEST(Bootstrap, LengthsBeyondTheDrawBoundsAreRefused) {
    const std::size_t max = qm::kBootstrapMaxLength;
    EXPECT_NO_THROW(qm::check_bootstrap_block(max, 2));
    EXPECT_NO_THROW(qm::check_bootstrap_block(max, max));
    for (std::uint64_t block : {std::uint64_t{2}, std::uint64_t{max} + 1}) {
        EXPECT_EQ(value_error_text([&] { qm::check_bootstrap_block(max + 1, block); }),
                  "values must contain at most 2147483647 observations")
            << "block " << block;
    }
}

}  // namespace
