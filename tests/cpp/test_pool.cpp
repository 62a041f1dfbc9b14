// Pool internals Python cannot reach: nested runs, how a run stops and which
// failure reaches the caller, and the one-slot cache of pools.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <chrono>
#include <new>
#include <string>
#include <pthread.h>
#include <thread>
#include <vector>

#include "batch/pool.hpp"
#include "batch/worker_threads.hpp"
#include "fault.hpp"

namespace {

using std::uint64_t;
using Clock = std::chrono::steady_clock;

// Spins until `done()` or a generous deadline, so a broken pool fails instead of hanging.
template <class F>
void wait_for(F done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done() && Clock::now() < deadline) std::this_thread::yield();
}

TEST(PoolRun, NestedRunOnTheSamePoolCompletes) {
    for (uint64_t w : {0u, 3u}) {
        auto sums = qm::map_parallel(6, w, [w](std::size_t i) {
            auto inner = qm::map_parallel(50, w, [i](std::size_t j) { return i * 100 + j; });
            std::size_t s = 0;
            for (auto x : inner) s += x;
            return s;
        });
        for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(sums[i], i * 100 * 50 + 49 * 50 / 2);
    }
}

TEST(PoolRun, FirstErrorStopsTheRun) {
    // One worker: the failing first item is the last one run.
    std::atomic<int> calls{0};
    EXPECT_THROW(qm::run_parallel(1000, 1,
                                  [&](std::size_t i) {
                                      ++calls;
                                      if (i == 0) qm::value_error("item 0 failed");
                                  }),
                 qm::ValueError);
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

    EXPECT_THROW(qm::run_parallel_default(100, [](std::size_t i) { if (i == 3) throw std::bad_alloc(); }),
                 std::bad_alloc);
}

TEST(PoolRun, FaultOfAnItemStillRunningWinsOverAnEarlierMessage) {
    // Both items run at once; item 1 faults only after item 0 has failed with a
    // message and cancelled the run. The fault must still reach the caller.
    for (int round = 0; round < 5; ++round) {
        std::atomic<int> started{0};
        std::atomic<bool> message_thrown{false};
        auto item = [&](std::size_t i) {
            ++started;
            wait_for([&] { return started.load() == 2; });
            if (i == 0) {
                message_thrown = true;
                qm::value_error("generator message");
            }
            wait_for([&] { return message_thrown.load(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            qm::fault("core guard");
        };
        EXPECT_THROW(qm::run_parallel(2, 2, item), qm::Fault);
        ASSERT_EQ(started.load(), 2) << "the two items did not run at once";
    }
}

TEST(ErrorSlot, ExactlyOneConcurrentRecordWins) {
    for (int round = 0; round < 50; ++round) {
        qm::RunErrorSlot slot;
        std::atomic<int> winners{0}, winner_id{-1};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                if (slot.record("msg " + std::to_string(t))) ++winners, winner_id = t;
            });
        }
        for (auto& th : threads) th.join();
        ASSERT_EQ(winners.load(), 1);
        EXPECT_TRUE(slot.stopped());
        EXPECT_EQ(slot.message(), "msg " + std::to_string(winner_id.load()));
        EXPECT_THROW(slot.rethrow_if_failed(), qm::ValueError);
    }
    EXPECT_NO_THROW(qm::RunErrorSlot().rethrow_if_failed());
}

TEST(PoolCache, SlotFollowsTheLatestCountArenasAreKept) {
    auto a = qm::batch_thread_pool(2);
    auto b = qm::batch_thread_pool(2);
    EXPECT_EQ(a.get(), b.get());
    auto c = qm::batch_thread_pool(3);
    EXPECT_NE(c.get(), a.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 3u);
    EXPECT_EQ(c->max_concurrency(), 3);
    // Back to 2: the slot holds 2 again, on the arena kept for that size.
    EXPECT_EQ(qm::batch_thread_pool(2).get(), a.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 2u);
    // A huge count is clamped before it reaches TBB's int; counts past the
    // cap share the one arena of the largest size.
    const int cap = static_cast<int>(std::min(qm::kMaxPoolThreads, qm::kMaxLiveThreads));
    auto huge = qm::batch_thread_pool(100000);
    EXPECT_EQ(huge->max_concurrency(), cap);
    EXPECT_EQ(qm::batch_thread_pool(5000).get(), huge.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 5000u);
}

TEST(PoolCache, ReplacedPoolKeepsServingItsRunningCall) {
    auto old_pool = qm::batch_thread_pool(4);
    std::atomic<bool> replaced{false};
    std::vector<std::size_t> out(64);
    std::thread runner([&] {
        qm::run_parallel_on(*old_pool, out.size(), [&](std::size_t i) {
            wait_for([&] { return replaced.load(); });
            out[i] = i * i;
        });
    });
    auto new_pool = qm::batch_thread_pool(5);
    EXPECT_NE(new_pool.get(), old_pool.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 5u);
    replaced = true;
    runner.join();
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], i * i);
}

// Threads of this process, from /proc.
std::size_t live_threads() {
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

TEST(PoolThreads, TbbStartsItsWorkersOnParkedThreadsOnly) {
    ASSERT_TRUE(qm::route_tbb_thread_creation());
    constexpr std::size_t kThreads = 32;
    auto pool = qm::batch_thread_pool(kThreads);
    ASSERT_EQ(pool->max_concurrency(), static_cast<int>(kThreads));
    const std::size_t parked = qm::parked_worker_threads();
    const std::size_t threads = live_threads();
    // Every thread of the pool holds an item at once, so TBB must start
    // every worker the earlier tests did not need.
    std::mutex mutex;
    std::set<pthread_t> seen;
    qm::run_parallel_on(*pool, kThreads * 4, [&](std::size_t) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(pthread_self());
        }
        wait_for([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return seen.size() >= kThreads;
        });
    });
    EXPECT_EQ(seen.size(), kThreads);
    // The workers TBB started were parked threads: none was added.
    EXPECT_EQ(live_threads(), threads);
    EXPECT_LT(qm::parked_worker_threads(), parked);
}

}  // namespace
