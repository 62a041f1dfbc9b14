#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "augmentation/bootstrap.hpp"
#include "augmentation/decompose.hpp"
#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using Series = std::vector<double>;

// A decomposition whose residual at i is i itself and whose other parts are
// zero: each output value names the residual it came from.
qm::Decomposition index_decomposition(std::size_t n) {
    qm::Decomposition d{Series(n, 0.0), Series(n, 0.0), Series(n)};
    for (std::size_t i = 0; i < n; ++i) d.residual[i] = static_cast<double>(i);
    return d;
}

struct BlockCase {
    std::size_t n, block;
    std::uint64_t seed;
};

class BootstrapBlocks : public ::testing::TestWithParam<BlockCase> {};

// n / B + 2 starts in [0, n - B] then one offset in [0, B), each one
// sample_int_range call on a fresh engine; the output reads the blocks laid
// end to end from the offset.
TEST_P(BootstrapBlocks, DrawsAndLayout) {
    const BlockCase& c = GetParam();
    const Series out = qm::block_bootstrap_residuals(index_decomposition(c.n), c.block, c.seed);

    qm::Mt64 rng(c.seed);
    Series laid;
    for (std::size_t k = 0; k < c.n / c.block + 2; ++k) {
        const int32_t start = qm::sample_int_range(rng, 0, static_cast<int32_t>(c.n - c.block + 1));
        for (std::size_t i = 0; i < c.block; ++i) laid.push_back(static_cast<double>(start + i));
    }
    const int32_t offset = qm::sample_int_range(rng, 0, static_cast<int32_t>(c.block));
    ASSERT_EQ(out.size(), c.n);
    for (std::size_t t = 0; t < c.n; ++t) EXPECT_EQ(out[t], laid[offset + t]) << "t=" << t;

    // Runs of consecutive residuals can only break where a block ends.
    std::set<std::size_t> break_phases;
    for (std::size_t t = 1; t < c.n; ++t)
        if (out[t] != out[t - 1] + 1.0) break_phases.insert(t % c.block);
    EXPECT_LE(break_phases.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BootstrapBlocks,
                         ::testing::Values(BlockCase{3, 2, 0}, BlockCase{3, 3, 1}, BlockCase{20, 20, 7},
                                           BlockCase{50, 7, 42}, BlockCase{97, 10, 123456789},
                                           BlockCase{1000, 2, 18446744073709551615ull}));

TEST(Bootstrap, FullLengthBlockRotatesTheResiduals) {
    const std::size_t n = 24;
    const Series out = qm::block_bootstrap_residuals(index_decomposition(n), n, 99);
    const auto offset = static_cast<std::size_t>(out[0]);
    for (std::size_t t = 0; t < n; ++t) EXPECT_EQ(out[t], static_cast<double>((offset + t) % n));
}

Series noisy_seasonal(std::size_t n) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> z;
    Series v(n);
    for (std::size_t t = 0; t < n; ++t) v[t] = 0.05 * t + std::sin(t * 0.5235987755982988) + z(gen);
    return v;
}

TEST(Bootstrap, AddsTrendAndSeasonalBack) {
    const Series v = noisy_seasonal(60);
    const qm::DecomposeResult r = qm::classical_decompose_core(v, 12);
    ASSERT_TRUE(r.ok());
    const qm::Decomposition& d = r.decomposition;
    const Series out = qm::moving_block_bootstrap(v, 60, 5, 12);
    const Series rot = qm::block_bootstrap_residuals(index_decomposition(60), 60, 5);
    for (std::size_t t = 0; t < 60; ++t) {
        const auto k = static_cast<std::size_t>(rot[t]);
        EXPECT_EQ(out[t], (d.trend[t] + d.seasonal[t]) + d.residual[k]) << "t=" << t;
    }
}

TEST(Bootstrap, ManyEqualsOneByOne) {
    const Series v = noisy_seasonal(80);
    const std::vector<std::uint64_t> seeds = {11, 0, 11, 7};
    for (std::optional<std::uint64_t> period : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{12}}) {
        const std::vector<Series> many = qm::moving_block_bootstrap_many(v, 9, seeds, period);
        ASSERT_EQ(many.size(), seeds.size());
        for (std::size_t k = 0; k < seeds.size(); ++k)
            EXPECT_EQ(many[k], qm::moving_block_bootstrap(v, 9, seeds[k], period));
        EXPECT_EQ(many[0], many[2]);
        EXPECT_NE(many[0], many[1]);
    }
    EXPECT_TRUE(qm::moving_block_bootstrap_many(v, 9, {}, std::nullopt).empty());
}

struct ErrorCase {
    const char* name;
    Series values;
    std::uint64_t block;
    std::optional<std::uint64_t> period;
    const char* message;
};

class BootstrapErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(BootstrapErrors, BothFunctionsRaise) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(value_error_text([&] { qm::moving_block_bootstrap(c.values, c.block, 1, c.period); }), c.message);
    // An empty seed list still runs every check.
    EXPECT_EQ(value_error_text([&] { qm::moving_block_bootstrap_many(c.values, c.block, {}, c.period); }),
              c.message);
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, BootstrapErrors,
    ::testing::Values(
        ErrorCase{"TooShortFirst", {1, 2}, 1, 1, "values must contain at least 3 observations"},
        ErrorCase{"NonFiniteFirst", {1, kNan, 3, 4}, 0, std::nullopt,
                  "values must contain only finite observations"},
        ErrorCase{"PeriodBeforeBlock", {1, 2, 3, 4}, 0, 1, "period must be >= 2 when provided"},
        ErrorCase{"BlockOne", {1, 2, 3, 4}, 1, std::nullopt, "block_size must be in [2, len(values)]"},
        ErrorCase{"BlockPastLength", {1, 2, 3, 4}, 5, std::nullopt,
                  "block_size must be in [2, len(values)]"},
        ErrorCase{"BlockHuge", {1, 2, 3, 4}, 18446744073709551615ull, std::nullopt,
                  "block_size must be in [2, len(values)]"}),
    [](const auto& info) { return std::string(info.param.name); });

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
