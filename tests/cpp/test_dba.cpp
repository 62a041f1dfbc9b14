#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "augmentation/dba.hpp"
#include "fault.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using Series = std::vector<double>;
using SeriesList = std::vector<std::vector<double>>;

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string dba_error(const Series& ref, const SeriesList& nbs, const SeriesList& weights,
                      std::uint64_t iters, std::optional<std::int64_t> band = std::nullopt) {
    return value_error_text([&] { qm::dba_barycenters(ref, nbs, weights, iters, band, {}); });
}

// Worked by hand: the first pass averages over the reference's own paths,
// every later pass realigns the barycentre and moves it again.
TEST(Dba, IterationsRealignTheBarycentre) {
    const Series ref = {0, 1, 4, 0};
    const SeriesList nbs = {{0, 4, 1, 0, 2}, {4, 4, 3, 0, 4}};
    const Series w = {1, 1, 2};
    const SeriesList expected = {{2.0, 2.25, 3.5, 1.375}, {2.0, 3.25, 3.5, 1.375},
                                 {1.8, 4.0, 3.5, 1.375}};
    for (std::uint64_t iters = 1; iters <= 3; ++iters)
        EXPECT_EQ(qm::dba_barycenter(ref, nbs, w, iters, std::nullopt, {}), expected[iters - 1])
            << iters << " iterations";
}

TEST(Dba, NoNeighboursGiveTheReference) {
    const Series ref = {0.1, -2.5, 3.75, 1e-9, 42.0};
    for (std::uint64_t iters : {1, 2, 9}) {
        const SeriesList out = qm::dba_barycenters(ref, {}, {{1.0}, {3.5}}, iters, std::nullopt, {});
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0], ref);
        EXPECT_EQ(out[1], ref);
    }
}

TEST(Dba, IdenticalSeriesAreAFixedPoint) {
    // Integer values and weights keep every sum exact.
    const Series x = {3, 1, 1, 4, 2, 2, 0};
    const SeriesList out =
        qm::dba_barycenters(x, {x, x}, {{1, 2, 3}, {0, 0, 5}, {7, 0, 0}}, 4, 2, {});
    for (const Series& b : out) EXPECT_EQ(b, x);
}

TEST(Dba, BarycentreKeepsTheReferenceLength) {
    const Series ref = {1, 2, 3, 2, 1};
    const SeriesList nbs = {{5}, {1, 2, 3, 4, 5, 6, 7}, Series(20, 2.0)};
    for (std::optional<std::int64_t> band : {std::optional<std::int64_t>{}, std::optional<std::int64_t>{0}})
        EXPECT_EQ(qm::dba_barycenter(ref, nbs, Series{1, 1, 1, 1}, 3, band, {}).size(), ref.size());
}

struct WeightCase {
    const char* name;
    SeriesList weights;  // for one reference and one neighbour
    bool ok;
};

class DbaWeights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(DbaWeights, Rule) {
    const WeightCase& c = GetParam();
    EXPECT_EQ(dba_error({1, 2, 3}, {{2, 3}}, c.weights, 1),
              c.ok ? kNoError : "weights must be non-negative and match all input series");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DbaWeights,
    ::testing::Values(WeightCase{"ZerosWithAPositive", {{0.0, 1.0}}, true},
                      WeightCase{"NegativeZero", {{-0.0, 2.0}}, true},
                      WeightCase{"HugeButFiniteSum", {{1e308, 0.0}}, true},
                      WeightCase{"AllZero", {{0.0, -0.0}}, false},
                      WeightCase{"TooShort", {{1.0}}, false},
                      WeightCase{"TooLong", {{1.0, 1.0, 1.0}}, false},
                      WeightCase{"Negative", {{1.0, -1e-300}}, false},
                      WeightCase{"NaN", {{kNan, 1.0}}, false},
                      WeightCase{"Infinite", {{kInf, 1.0}}, false},
                      WeightCase{"SumOverflows", {{1e308, 1e308}}, false},
                      WeightCase{"SecondCopyBad", {{1.0, 1.0}, {1.0, -1.0}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct OrderCase {
    const char* name;
    Series ref;
    SeriesList nbs;
    SeriesList weights;
    std::uint64_t iters;
    std::optional<std::int64_t> band;
    const char* message;
};

class DbaCheckOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DbaCheckOrder, FirstFailureWins) {
    const OrderCase& c = GetParam();
    EXPECT_EQ(dba_error(c.ref, c.nbs, c.weights, c.iters, c.band), c.message);
}

SeriesList copies(std::size_t count, Series w) { return SeriesList(count, w); }

INSTANTIATE_TEST_SUITE_P(
    Table, DbaCheckOrder,
    ::testing::Values(
        OrderCase{"BandFirst", {}, {}, {}, 0, -1, "band must be non-negative when provided"},
        OrderCase{"NoIterations", {}, {}, {}, 0, std::nullopt, "n_iterations must be in [1, 1000]"},
        OrderCase{"TooManyIterations", {}, {}, {}, 1001, std::nullopt,
                  "n_iterations must be in [1, 1000]"},
        OrderCase{"NoCopies", {}, {}, {}, 1000, std::nullopt,
                  "DBA requires between 1 and 1000 copies"},
        OrderCase{"TooManyCopies", {1.0}, {}, copies(1001, {1.0}), 1, std::nullopt,
                  "DBA requires between 1 and 1000 copies"},
        OrderCase{"OutputCap", Series(8389, kNan), {}, copies(1000, {1.0}), 1, std::nullopt,
                  "DBA output exceeds 64 MiB; reduce copies or series length"},
        OrderCase{"EmptyReference", {}, {{kNan}}, {{-1.0}}, 1, std::nullopt,
                  "DTW inputs must be non-empty one-dimensional arrays"},
        OrderCase{"EmptyNeighbour", {1.0}, {{1.0}, {}}, {{-1.0}}, 1, std::nullopt,
                  "DTW inputs must be non-empty one-dimensional arrays"},
        OrderCase{"NonFiniteBeforeWeights", {1.0}, {{kInf}}, {{-1.0}}, 1, std::nullopt,
                  "DTW inputs must be finite"},
        OrderCase{"WeightsBeforeCache", {1.0}, {Series(4'194'302, 0.0)}, {{0.0, 0.0}}, 1,
                  std::nullopt, "weights must be non-negative and match all input series"},
        OrderCase{"CacheCap", {1.0}, {Series(4'194'302, 0.0)}, {{1.0, 1.0}}, 1, std::nullopt,
                  "DBA alignment cache exceeds 64 MiB; shorten series or reduce neighbors"},
        OrderCase{"AlignmentMessage", Series(8193, 0.0), {}, {{1.0}}, 1, std::nullopt,
                  "DTW alignment exceeds the 64 MiB parent-storage limit; shorten series or "
                  "reduce the band"},
        OrderCase{"CostOverflow", {1e200, 0.0}, {{-1e200}}, {{1.0, 1.0}}, 1, std::nullopt,
                  "DTW alignment is infeasible for the requested band"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DbaCaps, CacheBoundaryIsInclusive) {
    // (1 + 1) + (1 + 4194301) pairs: exactly the cap.
    Series nb(4'194'301, 0.0);
    nb[0] = 6.0;
    const Series out = qm::dba_barycenter(Series{2.0}, {nb}, Series{1.0, 1.0}, 1, std::nullopt, {});
    EXPECT_EQ(out, Series{8.0 / 4'194'302.0});
}

TEST(DbaSignals, CheckedAtStartBeforeEachChunkAndAtTheEnd) {
    const Series ref = {1, 2, 3};
    const SeriesList nbs = {{2, 3}, {1, 1, 1, 1}};
    struct Case { std::size_t copies; std::uint64_t iters; int calls; };
    for (const Case& c : std::vector<Case>{{1, 1, 3}, {8, 2, 4}, {9, 1, 4}, {17, 3, 11}}) {
        int calls = 0;
        bool other_thread = false;
        const auto caller = std::this_thread::get_id();
        qm::dba_barycenters(ref, nbs, copies(c.copies, {1, 1, 1}), c.iters, std::nullopt, [&] {
            ++calls;
            other_thread |= std::this_thread::get_id() != caller;
        });
        EXPECT_EQ(calls, c.calls) << c.copies << " copies, " << c.iters << " iterations";
        EXPECT_FALSE(other_thread);
    }
}

struct Interrupt {};

TEST(DbaSignals, AThrowingCheckStopsTheCall) {
    // Calls: start, then iteration 0 chunks 0 and 1; the third one throws.
    int calls = 0;
    EXPECT_THROW(qm::dba_barycenters(Series{1, 2, 3}, {{2, 3}}, copies(17, {1, 1}), 3, std::nullopt,
                                     [&] {
                                         if (++calls == 3) throw Interrupt{};
                                     }),
                 Interrupt);
    EXPECT_EQ(calls, 3);
}

TEST(DbaSignals, CheckedOnceBeforeAlignmentsFail) {
    int calls = 0;
    EXPECT_EQ(dba_error({1e200}, {{-1e200}}, {{1, 1}}, 1), "DTW alignment is infeasible for the requested band");
    EXPECT_THROW(qm::dba_barycenters(Series{1e200}, {{-1e200}}, {{1, 1}}, 1, std::nullopt, [&] { ++calls; }),
                 qm::ValueError);
    EXPECT_EQ(calls, 1);
}

// One weighting aligns in parallel, several weightings align sequentially
// inside parallel copies; a one-thread limit changes the scheduling again.
// All of it must give the same bits.
TEST(DbaDeterminism, IndependentOfPoolAndMode) {
    std::mt19937_64 gen(5);
    std::normal_distribution<double> z;
    std::uniform_int_distribution<std::size_t> len(10, 40);
    auto make = [&](std::size_t n) {
        Series s(n);
        double level = 0.0;
        for (double& v : s) v = level += z(gen);
        return s;
    };
    const Series ref = make(30);
    SeriesList nbs;
    for (int k = 0; k < 12; ++k) nbs.push_back(make(len(gen)));
    SeriesList weights;
    for (int c = 0; c < 11; ++c) {
        Series w(nbs.size() + 1);
        for (double& v : w) v = std::abs(z(gen));
        weights.push_back(w);
    }

    const SeriesList wide = qm::dba_barycenters(ref, nbs, weights, 4, 6, {});
    SeriesList narrow;
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        narrow = qm::dba_barycenters(ref, nbs, weights, 4, 6, {});
    }
    EXPECT_EQ(wide, narrow);
    for (std::size_t c = 0; c < weights.size(); ++c)
        EXPECT_EQ(qm::dba_barycenter(ref, nbs, weights[c], 4, 6, {}), wide[c]) << "copy " << c;
}

}  // namespace
