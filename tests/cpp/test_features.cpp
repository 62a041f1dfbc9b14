// The FFT plan cache shared by the feature code, under concurrent use.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <thread>
#include <vector>

#include "augmentation/features.hpp"
#include "augmentation/fft_plan_cache.hpp"
#include "rng/mt64.hpp"
#include "test_util.hpp"

namespace {

using qm_test::same_bits;
using Vec = std::vector<double>;

Vec as_vec(const qm::SpectralFeatures& f) {
    return {f.spectral_entropy, f.trend_strength, f.seasonal_strength, f.acf1};
}

TEST(FftPlanCache, ConcurrentUseAcrossManyLengthsGivesIdenticalFeatures) {
    // 40 lengths through 16 slots from 8 threads: plans are raced, evicted and
    // rebuilt while other threads still run them.
    std::vector<Vec> series, expected;
    for (std::size_t n = 40; n < 80; ++n) {
        qm::Mt64 rng(n);
        Vec x(n);
        for (std::size_t i = 0; i < n; ++i)
            x[i] = 2.0 * std::sin(2.0 * std::numbers::pi * static_cast<double>(i) / 7.0) + qm::uniform01(rng);
        series.push_back(x);
        expected.push_back(as_vec(qm::compute_features_core(x, 6)));
    }

    const std::size_t threads = 8, rounds = 25;
    std::vector<std::vector<std::size_t>> mismatches(threads);
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t i = 0; i < rounds * series.size(); ++i) {
                const std::size_t idx = (i * 7 + t * 13) % series.size();
                if (!same_bits(as_vec(qm::compute_features_core(series[idx], 6)), expected[idx]))
                    mismatches[t].push_back(idx);
            }
        });
    }
    for (auto& th : pool) th.join();
    for (const auto& m : mismatches) EXPECT_TRUE(m.empty());

    const std::vector<std::size_t> lengths = qm::cached_plan_lengths(qm::fft_plan_cache());
    EXPECT_LE(lengths.size(), qm::kFftPlanCacheCapacity);
    EXPECT_EQ(std::set<std::size_t>(lengths.begin(), lengths.end()).size(), lengths.size());
    EXPECT_EQ(qm::fft_plan_cache().plans.size(), lengths.size());
}

}  // namespace
