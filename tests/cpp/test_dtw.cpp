#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "augmentation/dtw.hpp"
#include "augmentation/neighbors.hpp"
#include "fault.hpp"
#include "test_util.hpp"

namespace {

using namespace qm_test;
using qm::DtwPath;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Independent full-matrix DTW: every cell of the (n + 1) x (m + 1) matrix,
// +inf outside |i - j| <= w. Ties go to the diagonal, then up, then left.
struct Reference {
    double cost = 0.0;
    DtwPath path;
};

Reference reference_dtw(const std::vector<double>& a, const std::vector<double>& b,
                        std::optional<std::size_t> band) {
    const std::size_t n = a.size(), m = b.size();
    const std::size_t longest = std::max(n, m);
    const std::size_t diff = n > m ? n - m : m - n;
    std::size_t w = band.value_or(longest);
    w = std::clamp(w, diff, longest);

    std::vector<std::vector<double>> c(n + 1, std::vector<double>(m + 1, kInf));
    std::vector<std::vector<int>> from(n + 1, std::vector<int>(m + 1, -1));
    c[0][0] = 0.0;
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t gap = i > j ? i - j : j - i;
            if (gap > w) continue;
            const double diag = c[i - 1][j - 1], up = c[i - 1][j], left = c[i][j - 1];
            double best;
            if (diag <= up && diag <= left) {
                best = diag, from[i][j] = 0;
            } else if (up <= left) {
                best = up, from[i][j] = 1;
            } else {
                best = left, from[i][j] = 2;
            }
            const double d = a[i - 1] - b[j - 1];
            c[i][j] = d * d + best;
        }
    }
    Reference r;
    r.cost = c[n][m];
    if (!std::isfinite(r.cost)) return r;
    std::size_t i = n, j = m;
    while (i > 0 && j > 0) {
        r.path.emplace_back(i - 1, j - 1);
        const int f = from[i][j];
        if (f == 0) --i, --j;
        else if (f == 1) --i;
        else --j;
    }
    std::reverse(r.path.begin(), r.path.end());
    return r;
}

// Path shape and the cost accumulated along it in path order, which is the
// order in which the dynamic programme adds the cell costs.
double path_cost_checked(const std::vector<double>& a, const std::vector<double>& b,
                         const DtwPath& path) {
    EXPECT_FALSE(path.empty());
    if (path.empty()) return kInf;
    EXPECT_EQ(path.front(), std::make_pair(std::size_t{0}, std::size_t{0}));
    EXPECT_EQ(path.back(), std::make_pair(a.size() - 1, b.size() - 1));
    EXPECT_GE(path.size(), std::max(a.size(), b.size()));
    EXPECT_LE(path.size(), a.size() + b.size() - 1);
    double s = 0.0;
    for (std::size_t k = 0; k < path.size(); ++k) {
        if (k > 0) {
            const std::size_t di = path[k].first - path[k - 1].first;
            const std::size_t dj = path[k].second - path[k - 1].second;
            EXPECT_TRUE((di == 1 && dj == 1) || (di == 1 && dj == 0) || (di == 0 && dj == 1))
                << "step " << k;
        }
        const double d = a[path[k].first] - b[path[k].second];
        s = d * d + s;
    }
    return s;
}

std::vector<double> random_series(std::mt19937_64& gen, std::size_t len, bool integral) {
    std::vector<double> v(len);
    std::uniform_real_distribution<double> real(-3.0, 3.0);
    std::uniform_int_distribution<int> small(-2, 2);
    for (double& x : v) x = integral ? small(gen) : real(gen);
    return v;
}

// Small integer values make ties between predecessors common, so the paths
// also pin the tie-break, not just the cost.
class DtwRandomPairs : public ::testing::TestWithParam<bool> {};

TEST_P(DtwRandomPairs, MatchFullMatrixProgramme) {
    const bool integral = GetParam();
    std::mt19937_64 gen(integral ? 7 : 11);
    std::uniform_int_distribution<std::size_t> len(1, 24);
    for (int trial = 0; trial < 400; ++trial) {
        const auto a = random_series(gen, len(gen), integral);
        const auto b = random_series(gen, trial % 3 == 0 ? a.size() : len(gen), integral);
        const std::size_t longest = std::max(a.size(), b.size());
        const std::vector<std::optional<std::size_t>> bands = {
            std::nullopt, 0, 1, 3, longest, std::numeric_limits<std::size_t>::max()};
        for (const auto& band : bands) {
            SCOPED_TRACE("trial " + std::to_string(trial) + " n=" + std::to_string(a.size()) +
                         " m=" + std::to_string(b.size()) +
                         " band=" + (band ? std::to_string(*band) : "none"));
            const Reference ref = reference_dtw(a, b, band);
            ASSERT_TRUE(std::isfinite(ref.cost));
            const double dist = qm::dtw_distance_core(a, b, band);
            EXPECT_EQ(dist, std::sqrt(ref.cost));
            const qm::DtwAlignment al = qm::dtw_alignment_core(a, b, band);
            EXPECT_EQ(al.distance, dist);
            EXPECT_EQ(al.path, ref.path);
            EXPECT_EQ(std::sqrt(path_cost_checked(a, b, al.path)), dist);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Values, DtwRandomPairs, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Integral" : "Real"; });

TEST(Dtw, HandAlignment) {
    const std::vector<double> a = {0, 1, 2}, b = {0, 2};
    const qm::DtwAlignment al = qm::dtw_alignment(a, b, std::nullopt);
    EXPECT_EQ(al.distance, 1.0);
    EXPECT_EQ(al.path, (DtwPath{{0, 0}, {1, 0}, {2, 1}}));
}

TEST(Dtw, UpBeatsLeftOnTies) {
    // The last cell sees up = left = 1 below diag = 2: up is chosen.
    const std::vector<double> a = {0, 1, 0}, b = {1, 0, 1};
    const qm::DtwAlignment al = qm::dtw_alignment_core(a, b, std::nullopt);
    EXPECT_EQ(al.distance, std::sqrt(2.0));
    EXPECT_EQ(al.path, (DtwPath{{0, 0}, {0, 1}, {1, 2}, {2, 2}}));
}

struct ErrorCase {
    const char* name;
    std::vector<double> a, b;
    std::optional<std::int64_t> band;
    const char* message;
};

class DtwErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DtwErrors, BothCoresRaise) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(value_error_text([&] { qm::dtw_distance(c.a, c.b, c.band); }), c.message);
    EXPECT_EQ(value_error_text([&] { qm::dtw_alignment(c.a, c.b, c.band); }), c.message);
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, DtwErrors,
    ::testing::Values(
        ErrorCase{"NegativeBandFirst", {}, {kNan}, -1, "band must be non-negative when provided"},
        ErrorCase{"EmptyA", {}, {kNan}, std::nullopt,
                  "DTW inputs must be non-empty one-dimensional arrays"},
        ErrorCase{"EmptyB", {kNan}, {}, 2, "DTW inputs must be non-empty one-dimensional arrays"},
        ErrorCase{"NanInB", {1.0, 2.0}, {0.0, kNan}, std::nullopt, "DTW inputs must be finite"},
        ErrorCase{"InfInA", {kInf}, {0.0}, std::nullopt, "DTW inputs must be finite"},
        ErrorCase{"CostOverflow", {1e200, -1e200}, {-1e200, 1e200}, std::nullopt,
                  "DTW alignment is infeasible for the requested band"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string alignment_error(std::size_t n, std::size_t m, std::optional<std::size_t> band) {
    const std::vector<double> a(n, 0.0), b(m, 0.0);
    return value_error_text([&] { qm::dtw_alignment_core(a, b, band); });
}

TEST(DtwCaps, ParentStorageBoundary) {
    // 8192 x 8192 cells is exactly the cap (a 64 MiB table); one more row is over.
    const std::string over =
        "DTW alignment exceeds the 64 MiB parent-storage limit; shorten series or reduce the band";
    EXPECT_EQ(alignment_error(8192, 8192, std::nullopt), kNoError);
    EXPECT_EQ(alignment_error(8193, 8192, std::nullopt), over);
    EXPECT_EQ(alignment_error(10'000, 10'000, std::nullopt), over);
    // The distance keeps two rows only and has no such cap.
    const std::vector<double> a(10'000, 1.0);
    EXPECT_EQ(qm::dtw_distance_core(a, a, std::nullopt), 0.0);
}

TEST(DtwCaps, PathBoundary) {
    // Band 0 keeps the table at one cell a row; the path cap alone decides.
    EXPECT_EQ(alignment_error(2'097'152, 2'097'152, 0), kNoError);
    EXPECT_EQ(alignment_error(2'097'153, 2'097'152, 0), "DTW path exceeds 64 MiB");
    EXPECT_EQ(alignment_error(2'100'000, 2'100'000, 0), "DTW path exceeds 64 MiB");
}

TEST(DtwCaps, PathCapComesAfterTheCost) {
    std::vector<double> a(2'100'000, 0.0), b(2'100'000, 0.0);
    a[0] = 1e200, b[0] = -1e200;
    EXPECT_EQ(value_error_text([&] { qm::dtw_alignment_core(a, b, 0); }),
              "DTW alignment is infeasible for the requested band");
}

TEST(DtwBandedCost, TableLayout) {
    // Whole band: width 2, codes of the worked example row by row.
    const std::vector<double> a = {0, 1, 2}, b = {0, 2};
    std::vector<std::uint8_t> table(6, qm::kDtwUnset);
    EXPECT_EQ(qm::dtw_banded_cost(a, b, 3, table), 1.0);
    EXPECT_EQ(table, (std::vector<std::uint8_t>{0, 2, 1, 0, 1, 0}));
    std::vector<std::uint8_t> too_small(5, qm::kDtwUnset);
    EXPECT_THROW(qm::dtw_banded_cost(a, b, 3, too_small), qm::Fault);
    // A band that cannot reach (n, m) gives +inf while it stays in the rows,
    // a fault once it would index past them.
    EXPECT_EQ(qm::dtw_banded_cost(a, b, 0), std::numeric_limits<double>::infinity());
    EXPECT_THROW(qm::dtw_banded_cost(std::vector<double>{0, 1, 2, 3}, b, 0), qm::Fault);

    // w = 1 over 4 x 4: rows hold 2, 3, 3, 2 cells, each packed from its
    // own first column in a width of 3.
    const std::vector<double> c = {1, 2, 3, 4}, d = {1, 3, 2, 4};
    std::vector<std::uint8_t> narrow(12, qm::kDtwUnset);
    EXPECT_EQ(qm::dtw_banded_cost(c, d, 1, narrow), reference_dtw(c, d, 1).cost);
    EXPECT_EQ(narrow, (std::vector<std::uint8_t>{0, 2, 255, 1, 0, 2, 0, 0, 0, 0, 0, 255}));
}

}  // namespace

// ---------------------------------------------------------------------------
// Nearest neighbours

namespace {

using NeighborLists = std::vector<std::vector<std::pair<std::size_t, double>>>;

NeighborLists brute_force_neighbors(const std::vector<std::vector<double>>& series, double fraction,
                                    std::size_t n_neighbors) {
    const std::size_t n = series.size();
    NeighborLists out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::pair<double, std::size_t>> all;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const auto& a = series[std::min(i, j)];
            const auto& b = series[std::max(i, j)];
            const std::size_t p = a.size(), q = b.size();
            const std::size_t scaled =
                static_cast<std::size_t>(std::ceil(static_cast<double>(std::max(p, q)) * fraction));
            const std::size_t band = std::max(scaled, (p > q ? p - q : q - p) + 1);
            all.emplace_back(reference_dtw(a, b, band).cost, j);
        }
        std::sort(all.begin(), all.end());
        all.resize(std::min(all.size(), n_neighbors));
        for (const auto& [cost, j] : all) out[i].emplace_back(j, std::sqrt(cost));
    }
    return out;
}

struct NeighborCase {
    std::size_t n_series;
    double fraction;
    std::uint64_t n_neighbors;
};

class NeighborsBruteForce : public ::testing::TestWithParam<NeighborCase> {};

// Short series over a few integer levels give many equal distances, so the
// index tie-break and the heap replacement are exercised on every run; 100
// series make 4950 pairs, more than one batch.
TEST_P(NeighborsBruteForce, MatchAllPairs) {
    const NeighborCase& c = GetParam();
    std::mt19937_64 gen(c.n_series * 31 + c.n_neighbors);
    std::uniform_int_distribution<std::size_t> len(1, 8);
    std::vector<std::vector<double>> series;
    for (std::size_t s = 0; s < c.n_series; ++s) series.push_back(random_series(gen, len(gen), true));
    const NeighborLists got = qm::nearest_dtw_neighbors(series, c.fraction, c.n_neighbors);
    EXPECT_EQ(got, brute_force_neighbors(series, c.fraction, c.n_neighbors));
}

INSTANTIATE_TEST_SUITE_P(Cases, NeighborsBruteForce,
                         ::testing::Values(NeighborCase{100, 0.1, 1}, NeighborCase{100, 0.5, 7},
                                           NeighborCase{93, 1.0, 92}, NeighborCase{12, 0.3, 1000},
                                           NeighborCase{2, 1.0, 1}),
                         [](const auto& info) {
                             const NeighborCase& c = info.param;
                             return "N" + std::to_string(c.n_series) + "_k" +
                                    std::to_string(c.n_neighbors) + "_w" +
                                    std::to_string(static_cast<int>(c.fraction * 100));
                         });

// Series 2 is equally far from 0 and 1: the lower index wins.
TEST(Neighbors, SmallCollections) {
    using Lists = std::vector<std::vector<double>>;
    EXPECT_EQ(qm::nearest_dtw_neighbors(Lists{}, 1.0, 3), NeighborLists{});
    EXPECT_EQ(qm::nearest_dtw_neighbors(Lists{{1, 2}}, 1.0, 3), NeighborLists{{}});
    EXPECT_EQ(qm::nearest_dtw_neighbors(Lists{{1, 2, 3}, {1, 2, 3}, {9}}, 0.5, 1),
              (NeighborLists{{{1, 0.0}}, {{0, 0.0}}, {{0, std::sqrt(149.0)}}}));
}

struct NeighborError {
    const char* name;
    std::vector<std::vector<double>> series;
    double fraction;
    std::uint64_t n_neighbors;
    const char* message;
};

class NeighborsErrors : public ::testing::TestWithParam<NeighborError> {};

TEST_P(NeighborsErrors, Raise) {
    const NeighborError& c = GetParam();
    EXPECT_EQ(value_error_text([&] { qm::nearest_dtw_neighbors(c.series, c.fraction, c.n_neighbors); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NeighborsErrors,
    ::testing::Values(
        NeighborError{"ZeroFraction", {{}}, 0.0, 0, "window_fraction must satisfy 0 < value <= 1"},
        NeighborError{"NegativeFraction", {}, -0.5, 1, "window_fraction must satisfy 0 < value <= 1"},
        NeighborError{"FractionAboveOne", {}, 1.0000000000000002, 1,
                      "window_fraction must satisfy 0 < value <= 1"},
        NeighborError{"NanFraction", {}, kNan, 1, "window_fraction must satisfy 0 < value <= 1"},
        NeighborError{"NoNeighbors", {{}}, 1.0, 0, "n_neighbors must be >= 1"},
        NeighborError{"EmptySeries", {{1.0}, {}, {kNan}}, 1.0, 1,
                      "DTW inputs must be non-empty one-dimensional arrays"},
        NeighborError{"NonFinite", {{1.0}, {kInf}, {}}, 1.0, 1, "DTW inputs must be finite"},
        NeighborError{"CostOverflow", {{0.0}, {1e200}, {-1e200}}, 1.0, 1,
                      "DTW alignment is infeasible for the requested band"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
