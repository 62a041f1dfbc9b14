#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "augmentation/decompose.hpp"

namespace {

using Period = std::optional<std::uint64_t>;

qm::Decomposition decompose_ok(const std::vector<double>& x, Period p) {
    auto r = qm::classical_decompose_core(x, p);
    EXPECT_TRUE(r.ok()) << r.error;
    const auto& d = r.decomposition;
    EXPECT_EQ(d.trend.size(), x.size());
    EXPECT_EQ(d.seasonal.size(), x.size());
    EXPECT_EQ(d.residual.size(), x.size());
    return r.decomposition;
}

TEST(DecomposeErrors, MessagesInOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> long_series(1000, 1.0);
    struct Case { std::vector<double> x; Period p; const char* message; };
    const Case cases[] = {
        {{}, std::nullopt, "values must contain at least 3 observations"},
        {{1.0, 2.0}, std::nullopt, "values must contain at least 3 observations"},
        {{1.0, 2.0}, 1, "values must contain at least 3 observations"},
        {{1.0, nan, 2.0}, std::nullopt, "values must contain only finite observations"},
        {{1.0, 2.0, -inf}, 0, "values must contain only finite observations"},
        {{1.0, 2.0, 3.0}, 0, "period must be >= 2 when provided"},
        {long_series, 1, "period must be >= 2 when provided"},
        {long_series, 0, "period must be >= 2 when provided"},
    };
    for (const auto& c : cases) {
        const auto r = qm::classical_decompose_core(c.x, c.p);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.error, c.message) << "n=" << c.x.size();
    }
}

TEST(DecomposeWindow, WidthAndPeriodUse) {
    struct Case { std::size_t n; Period p; std::size_t width; bool even; bool used; };
    const Case cases[] = {
        {3, std::nullopt, 3, false, false},  {39, std::nullopt, 3, false, false},
        {40, std::nullopt, 5, false, false}, {59, std::nullopt, 5, false, false},
        {60, std::nullopt, 7, false, false}, {79, std::nullopt, 7, false, false},
        {80, std::nullopt, 9, false, false}, {1000, std::nullopt, 101, false, false},
        {8, 4, 5, true, true},               {9, 4, 5, true, true},
        {9, 5, 3, false, false},             {10, 5, 5, false, true},
        {4, 2, 3, true, true},               {3, 2, 3, false, false},
        {100, std::numeric_limits<std::uint64_t>::max(), 11, false, false},
    };
    for (const auto& c : cases) {
        const auto w = qm::decompose_window(c.n, c.p);
        EXPECT_EQ(w.width, c.width) << "n=" << c.n;
        EXPECT_EQ(w.even_period, c.even) << "n=" << c.n;
        EXPECT_EQ(w.period_used, c.used) << "n=" << c.n;
        EXPECT_EQ(qm::decompose_period_usable(c.n, c.p), c.used) << "n=" << c.n;
    }
}

struct Expected {
    std::vector<double> x;
    Period p;
    std::vector<double> trend, seasonal, residual;
};

TEST(Decompose, KnownDecompositions) {
    const std::vector<double> mixed = {2.0, -1.0, 4.5, 3.0, 0.5, 7.0, 1.0, 2.5, 6.0};
    const Expected cases[] = {
        // One full window: every trend value is the mean of the three.
        {{1, 5, 3}, std::nullopt, {3, 3, 3}, {0, 0, 0}, {-2, 2, 0}},
        // Even period: centred 2 x 4 average, a linear series is its own trend.
        {{1, 2, 3, 4, 5, 6, 7, 8}, 4,
         {3, 3, 3, 4, 5, 6, 6, 6},
         {-1, -0.5, 0.5, 1, -1, -0.5, 0.5, 1},
         {-1, -0.5, -0.5, -1, 1, 0.5, 0.5, 1}},
        // Odd period 3.
        {{3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11}, 3,
         {2, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11},
         {1.75, -1, -0.75, 1.75, -1, -0.75, 1.75, -1, -0.75, 1.75, -1, -0.75},
         {-0.75, 0, -0.25, 0.25, 0, -0.25, 0.25, 0, -0.25, 0.25, 0, 0.75}},
        // n = 9, period 4 is usable (4 <= 9 / 2).
        {mixed, 4,
         {1.9375, 1.9375, 1.9375, 2.75, 3.3125, 2.8125, 3.4375, 3.4375, 3.4375},
         {-0.1328125, 0.5546875, -0.0078125, -0.4140625, -0.1328125, 0.5546875, -0.0078125, -0.4140625,
          -0.1328125},
         {0.1953125, -3.4921875, 2.5703125, 0.6640625, -2.6796875, 3.6328125, -2.4296875, -0.5234375,
          2.6953125}},
        // n = 9, period 5 is not: default window 3 and no seasonal part.
        {mixed, 5,
         {1.8333333333333333, 1.8333333333333333, 2.1666666666666665, 2.6666666666666665, 3.5,
          2.8333333333333335, 3.5, 3.1666666666666665, 3.1666666666666665},
         {0, 0, 0, 0, 0, 0, 0, 0, 0},
         {0.16666666666666666, -2.8333333333333335, 2.3333333333333335, 0.3333333333333333, -3.0,
          4.166666666666667, -2.5, -0.6666666666666666, 2.8333333333333335}},
    };
    for (const auto& c : cases) {
        const auto d = decompose_ok(c.x, c.p);
        for (std::size_t i = 0; i < c.x.size(); ++i) {
            EXPECT_NEAR(d.trend[i], c.trend[i], 1e-13) << "n=" << c.x.size() << " i=" << i;
            EXPECT_NEAR(d.seasonal[i], c.seasonal[i], 1e-13) << "n=" << c.x.size() << " i=" << i;
            EXPECT_NEAR(d.residual[i], c.residual[i], 1e-13) << "n=" << c.x.size() << " i=" << i;
        }
    }
}

TEST(Decompose, ConstantSeriesIsAllTrend) {
    for (Period p : {Period{}, Period{2}, Period{7}, Period{1000}}) {
        const std::vector<double> x(50, 1e9 + 0.3);
        const auto d = decompose_ok(x, p);
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_EQ(d.trend[i], x[i]);
            EXPECT_EQ(d.seasonal[i], 0.0);
            EXPECT_EQ(d.residual[i], 0.0);
        }
    }
}

std::vector<double> wavy_series(std::size_t n, double level, std::uint64_t period) {
    std::vector<double> x(n);
    std::uint64_t s = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = static_cast<double>(s >> 11) * 0x1p-53 - 0.5;
        x[i] = level + 0.01 * static_cast<double>(i) / static_cast<double>(n) +
               0.002 * std::sin(6.283185307179586 * static_cast<double>(i % period) / static_cast<double>(period)) +
               0.001 * noise;
    }
    return x;
}

TEST(Decompose, SeasonalIsCentredAndPeriodic) {
    for (std::uint64_t p : {2u, 5u, 12u}) {
        const auto x = wavy_series(103, 4.0, p);
        const auto d = decompose_ok(x, p);
        double sum = 0.0;
        for (std::size_t k = 0; k < p; ++k) sum += d.seasonal[k];
        EXPECT_NEAR(sum, 0.0, 1e-15) << p;
        for (std::size_t i = p; i < x.size(); ++i) EXPECT_EQ(d.seasonal[i], d.seasonal[i - p]) << p;
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_EQ(d.residual[i], (x[i] - d.trend[i]) - d.seasonal[i]);
        }
    }
}

// Direct (non-running) centred moving average in long double.
long double direct_trend(const std::vector<double>& x, std::size_t centre, std::size_t w, bool even) {
    const std::size_t h = (w - 1) / 2;
    const std::size_t lo = centre - h;
    long double sum = 0.0L;
    for (std::size_t j = 0; j < w; ++j) {
        const long double weight = (even && (j == 0 || j == w - 1)) ? 0.5L : 1.0L;
        sum += weight * (static_cast<long double>(x[lo + j]) - 1e9L);
    }
    return sum / static_cast<long double>(even ? w - 1 : w) + 1e9L;
}

TEST(Decompose, LargeLevelKeepsSmallVariations) {
    // At a level of 1e9 one ulp is 1.2e-7; an unshifted running sum would
    // drift by far more than that over 200000 updates.
    const std::size_t n = 200000;
    for (Period p : {Period{}, Period{12}, Period{7}}) {
        const auto x = wavy_series(n, 1e9, 12);
        const auto d = decompose_ok(x, p);
        const auto win = qm::decompose_window(n, p);
        const std::size_t h = (win.width - 1) / 2;
        double worst = 0.0;
        for (std::size_t c = h; c + h < n; c += 997) {
            const long double ref = direct_trend(x, c, win.width, win.even_period);
            worst = std::fmax(worst, static_cast<double>(std::fabs(static_cast<long double>(d.trend[c]) - ref)));
        }
        EXPECT_LT(worst, 2.5e-7) << "width " << win.width;
    }
}

}  // namespace
