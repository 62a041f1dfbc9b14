#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "batch/pool.hpp"
#include "fault.hpp"
#include "rng/mt64.hpp"

namespace {

using std::uint64_t;

// A per-item computation that depends only on the item's own seed.
std::vector<double> seeded_item(std::size_t i) {
    qm::Mt64 rng(1000 + i);
    std::vector<double> v(1 + i % 17);
    for (double& x : v) x = qm::uniform01(rng);
    return v;
}

class PoolWorkers : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PoolWorkers, ResultsInItemOrderWhateverTheWorkerCount) {
    const std::size_t n = 500;
    std::vector<std::vector<double>> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = seeded_item(i);

    auto got = qm::map_parallel(n, GetParam(), seeded_item);
    EXPECT_EQ(got, expected);
}

TEST_P(PoolWorkers, NestedRunOnTheSamePoolCompletes) {
    // An item that itself runs items on the pool it runs in must not deadlock.
    const uint64_t w = GetParam();
    auto sums = qm::map_parallel(6, w, [w](std::size_t i) {
        auto inner = qm::map_parallel(50, w, [i](std::size_t j) { return i * 100 + j; });
        std::size_t s = 0;
        for (auto x : inner) s += x;
        return s;
    });
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(sums[i], i * 100 * 50 + 49 * 50 / 2);
}

INSTANTIATE_TEST_SUITE_P(Counts, PoolWorkers, ::testing::Values(0u, 1u, 3u, 8u));

TEST(PoolRun, EmptyRunCallsNothingButStillBuildsThePool) {
    std::atomic<int> calls{0};
    qm::run_parallel(0, 5, [&](std::size_t) { ++calls; });
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 5u);
}

TEST(PoolRun, FirstErrorStopsTheRun) {
    // One worker: the failing first item is the last one run.
    std::atomic<int> calls{0};
    try {
        qm::run_parallel(1000, 1, [&](std::size_t i) {
            ++calls;
            if (i == 0) qm::value_error("item 0 failed");
        });
        ADD_FAILURE() << "expected ValueError";
    } catch (const qm::ValueError& e) {
        EXPECT_STREQ(e.what(), "item 0 failed");
    }
    EXPECT_EQ(calls.load(), 1);

    // Eight workers, a failure every 1000 items: every range meets one early.
    const std::size_t n = 200000;
    std::atomic<std::size_t> parallel_calls{0};
    EXPECT_THROW(qm::run_parallel(n, 8,
                                  [&](std::size_t i) {
                                      ++parallel_calls;
                                      if (i % 1000 == 0) qm::value_error("bad " + std::to_string(i));
                                      std::this_thread::sleep_for(std::chrono::microseconds(5));
                                  }),
                 qm::ValueError);
    EXPECT_LT(parallel_calls.load(), n / 10);
}

TEST(PoolRun, FaultsAndAllocationFailuresReachTheCaller) {
    EXPECT_THROW(qm::run_parallel(100, 4,
                                  [](std::size_t i) {
                                      if (i == 37) qm::fault("negative length");
                                  }),
                 qm::Fault);
    EXPECT_THROW(qm::run_parallel_default(100,
                                          [](std::size_t i) {
                                              if (i == 3) throw std::bad_alloc();
                                          }),
                 std::bad_alloc);
    // A fault anywhere wins over value errors elsewhere in the run.
    EXPECT_THROW(qm::run_parallel(1, 2, [](std::size_t) { qm::fault("boom"); }), qm::Fault);
}

TEST(PoolRun, FaultOfAnItemStillRunningWinsOverAnEarlierMessage) {
    // Both items run at once; item 1 faults only after item 0 has failed with a
    // message and cancelled the run. The fault must still reach the caller.
    for (int round = 0; round < 5; ++round) {
        std::atomic<int> started{0};
        std::atomic<bool> message_thrown{false};
        auto item = [&](std::size_t i) {
            ++started;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            if (i == 0) {
                message_thrown = true;
                qm::value_error("generator message");
            }
            while (!message_thrown.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            qm::fault("core guard");
        };
        EXPECT_THROW(qm::run_parallel(2, 2, item), qm::Fault);
        ASSERT_EQ(started.load(), 2) << "the two items did not run at once";
    }
}

TEST(PoolRun, PoolOfMoreThreadsThanProcessorsRunsThemAllAtOnce) {
    // Every item waits until all have started: only a pool that really has
    // `w` threads gets through before the deadline.
    const uint64_t w = qm::online_processors() + 4;
    std::atomic<uint64_t> started{0};
    std::atomic<bool> all_met{true};
    qm::run_parallel(w, w, [&](std::size_t) {
        ++started;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (started.load() < w) {
            if (std::chrono::steady_clock::now() > deadline) {
                all_met = false;
                return;
            }
            std::this_thread::yield();
        }
    });
    EXPECT_TRUE(all_met.load());
}

TEST(ErrorSlot, ExactlyOneConcurrentRecordWins) {
    for (int round = 0; round < 50; ++round) {
        qm::RunErrorSlot slot;
        std::atomic<int> winners{0};
        std::atomic<int> winner_id{-1};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                if (slot.record("msg " + std::to_string(t))) {
                    ++winners;
                    winner_id = t;
                }
            });
        }
        for (auto& th : threads) th.join();
        ASSERT_EQ(winners.load(), 1);
        EXPECT_TRUE(slot.stopped());
        EXPECT_EQ(slot.message(), "msg " + std::to_string(winner_id.load()));
        EXPECT_THROW(slot.rethrow_if_failed(), qm::ValueError);
    }
    qm::RunErrorSlot clean;
    EXPECT_NO_THROW(clean.rethrow_if_failed());
}

TEST(PoolCache, SameCountReusesOtherCountReplaces) {
    auto a = qm::batch_thread_pool(2);
    auto b = qm::batch_thread_pool(2);
    EXPECT_EQ(a.get(), b.get());
    auto c = qm::batch_thread_pool(3);
    EXPECT_NE(c.get(), a.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 3u);
    auto d = qm::batch_thread_pool(2);  // rebuilt, not the first pool of 2
    EXPECT_NE(d.get(), a.get());
    EXPECT_EQ(a.use_count(), 2);  // a and b only: the cache let go of it
    EXPECT_EQ(a->max_concurrency(), 2);
    EXPECT_EQ(c->max_concurrency(), 3);
    EXPECT_EQ(qm::batch_thread_pool(100000)->max_concurrency(), 65535);
}

TEST(PoolCache, ReplacedPoolKeepsServingItsRunningCall) {
    auto old_pool = qm::batch_thread_pool(4);
    std::atomic<bool> replaced{false};
    std::vector<std::size_t> out(64);
    std::thread runner([&] {
        qm::run_parallel_on(*old_pool, out.size(), [&](std::size_t i) {
            while (!replaced.load()) std::this_thread::yield();
            out[i] = i * i;
        });
    });
    auto new_pool = qm::batch_thread_pool(5);
    EXPECT_NE(new_pool.get(), old_pool.get());
    EXPECT_EQ(old_pool.use_count(), 1);  // only this test holds it now
    replaced = true;
    runner.join();
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], i * i);
    old_pool.reset();  // the old arena ends here, with no work in it
}

struct SizeCase {
    const char* num_threads;
    const char* rs_num_cpus;
    uint64_t expected;
};

class DefaultPoolSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DefaultPoolSize, FromEnvironment) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(qm::default_pool_size_from(c.num_threads, c.rs_num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DefaultPoolSize,
    ::testing::Values(SizeCase{nullptr, nullptr, 6}, SizeCase{"+12", "4", 12},
                      SizeCase{"0", "4", 6},  // 0 = processors, RS_NUM_CPUS not consulted
                      SizeCase{"-2", "4", 4}, SizeCase{" 3", nullptr, 6}, SizeCase{"+", "5", 5},
                      SizeCase{"99999999999999999999", "2", 2},  // overflows: not a number
                      SizeCase{nullptr, "0", 6}, SizeCase{nullptr, "+7", 7}));

}  // namespace
