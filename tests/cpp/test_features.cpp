#include <gtest/gtest.h>

#include <cmath>
#include <complex>
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

std::vector<std::size_t> lengths_from(std::size_t first, std::size_t last) {
    std::vector<std::size_t> v;
    for (std::size_t i = first; i <= last; ++i) v.push_back(i);
    return v;
}

TEST(FftPlanCache, EvictsLeastRecentlyUsed) {
    qm::FftPlanCache cache;
    for (std::size_t n = 4; n <= 19; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(qm::cached_plan_lengths(cache), lengths_from(4, 19));

    auto five = qm::get_or_build_plan(cache, 5);  // a hit: same plan, now most recent
    EXPECT_EQ(qm::get_or_build_plan(cache, 5), five);
    qm::get_or_build_plan(cache, 20);  // evicts 4, not 5
    std::vector<std::size_t> want = lengths_from(6, 19);
    want.insert(want.end(), {5, 20});
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);

    qm::get_or_build_plan(cache, 4);  // rebuilt, evicting 6
    want.erase(want.begin());
    want.push_back(4);
    EXPECT_EQ(qm::cached_plan_lengths(cache), want);
    EXPECT_EQ(cache.plans.size(), qm::kFftPlanCacheCapacity);

    // An evicted plan stays usable while someone holds it.
    for (std::size_t n = 100; n < 100 + qm::kFftPlanCacheCapacity; ++n) qm::get_or_build_plan(cache, n);
    EXPECT_EQ(cache.plans.count(5), 0u);
    std::vector<std::complex<double>> out(3);
    qm::real_fft_forward(*five, Vec{1, 2, 0, 0, 0}, out);
    EXPECT_NEAR(out[0].real(), 3.0, 1e-15);
    EXPECT_NEAR(out[1].real(), 1.0 + 2.0 * std::cos(2.0 * std::numbers::pi / 5.0), 1e-15);
    EXPECT_NEAR(out[1].imag(), -2.0 * std::sin(2.0 * std::numbers::pi / 5.0), 1e-15);
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
