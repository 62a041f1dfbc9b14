// Pool internals Python cannot reach: nested and concurrent runs, how a run
// stops and which failure reaches the caller, the one-slot cache of pools and
// its threads' lifetime, workers that cannot start, and fork.
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch/pool.hpp"
#include "fault.hpp"

// The next operator new on a thread that sets this fails, as it would with no
// memory left. Replaced for the whole test program; the pairs stay matched.
thread_local bool fail_next_new = false;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (fail_next_new) {
        fail_next_new = false;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using std::uint64_t;
using Clock = std::chrono::steady_clock;

// The module registers the pools' fork handlers when it is set up; this
// program does the same before any test runs.
const bool fork_hooks_registered = [] {
    const qm::ForkHooks hooks = qm::pool_fork_hooks();
    return ::pthread_atfork(hooks.prepare, hooks.parent, hooks.child) == 0;
}();

// A message whose copies fail for want of memory on the thread that throws
// it, until the exception is done with: the handler that catches it is where
// a copy would be made.
struct MessageWithNoMemoryLeft : qm::ValueError {
    explicit MessageWithNoMemoryLeft(const std::string& text) : qm::ValueError(text) { fail_next_new = true; }
    MessageWithNoMemoryLeft(const MessageWithNoMemoryLeft&) = default;
    ~MessageWithNoMemoryLeft() override { fail_next_new = false; }
};

// Spins until `done()` or a generous deadline, so a broken pool fails instead of hanging.
template <class F>
bool wait_for(F done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

// Threads of this process, from /proc, once the count has held for 10 ms: a
// thread that has just been joined can linger there a moment.
std::size_t live_threads() {
    const auto count = [] {
        std::size_t n = 0;
        if (DIR* dir = ::opendir("/proc/self/task")) {
            while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
            ::closedir(dir);
        }
        return n;
    };
    std::size_t n = count();
    for (auto since = Clock::now(); Clock::now() - since < std::chrono::milliseconds(10);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (const std::size_t now = count(); now != n) n = now, since = Clock::now();
    }
    return n;
}

// A checksum of n items that takes some work per item.
uint64_t checksum(std::size_t n, uint64_t n_workers) {
    const std::vector<uint64_t> out = qm::map_parallel(n, n_workers, [](std::size_t i) {
        uint64_t x = i + 1;
        for (int k = 0; k < 200; ++k) x = x * 6364136223846793005u + 1442695040888963407u;
        return x;
    });
    return std::accumulate(out.begin(), out.end(), uint64_t{0});
}

TEST(PoolRun, NestedRunsComplete) {
    // On the same pool (the inner run goes inline on the worker) and across
    // pools: a batch pool's items run on the default pool and back.
    for (uint64_t outer : {0u, 3u}) {
        for (uint64_t inner : {outer, uint64_t{0}}) {
            auto sums = qm::map_parallel(6, outer, [inner](std::size_t i) {
                auto row = qm::map_parallel(50, inner, [i](std::size_t j) { return i * 100 + j; });
                std::size_t s = 0;
                for (auto x : row) s += x;
                return s;
            });
            for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(sums[i], i * 100 * 50 + 49 * 50 / 2);
        }
    }
}

// CPUs this process may run on.
std::size_t usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<std::size_t>(CPU_COUNT(&set)) : 1;
}

TEST(PoolRun, ItemsRunOnThePoolsThreads) {
    // Every thread of the pool at once, the caller's included; a run keeps no
    // more threads busy than there are CPUs (at least 2).
    const std::size_t threads = std::min<std::size_t>(4, std::max<std::size_t>(2, usable_cpus()));
    auto pool = qm::batch_thread_pool(threads);
    ASSERT_EQ(pool->threads(), threads);
    std::mutex mutex;
    std::set<std::thread::id> seen;
    qm::run_parallel_on(*pool, 64, [&](std::size_t) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(std::this_thread::get_id());
        }
        wait_for([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return seen.size() >= threads;
        });
    });
    EXPECT_EQ(seen.size(), threads);
    EXPECT_TRUE(seen.count(std::this_thread::get_id())) << "the caller counts as one of the threads";
}

TEST(PoolRun, FirstErrorStopsTheRun) {
    // One thread: the failing first item is the last one run.
    std::atomic<int> calls{0};
    EXPECT_THROW(qm::run_parallel(1000, 1,
                                  [&](std::size_t i) {
                                      ++calls;
                                      if (i == 0) qm::value_error("item 0 failed");
                                  }),
                 qm::ValueError);
    EXPECT_EQ(calls.load(), 1);

    // Eight threads, a failure every 1000 items: the run stops early.
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

TEST(PoolRun, FirstMessageInTimeIsRaised) {
    // Item 1 fails first; item 0 fails later while still running.
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> second_failed{false};
        try {
            qm::run_parallel(2, 2, [&](std::size_t i) {
                if (i == 1) {
                    second_failed = true;
                    qm::value_error("first in time");
                }
                wait_for([&] { return second_failed.load(); });
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                qm::value_error("later");
            });
            ADD_FAILURE() << "no error";
        } catch (const qm::ValueError& e) {
            EXPECT_STREQ(e.what(), "first in time");
        }
    }
}

TEST(PoolRun, FaultOfAnItemStillRunningWinsOverAnEarlierMessage) {
    // Both items run at once; item 1 faults only after item 0 has failed with a
    // message and stopped the run. The fault must still reach the caller.
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

TEST(PoolRun, NoMemoryForTheMessageFailsTheRunAndNotThePool) {
    // Keeping a message takes memory; when there is none, on the caller or on
    // a worker, the run fails with bad_alloc and the pool stays usable.
    auto pool = qm::batch_thread_pool(2);
    for (int round = 0; round < 5; ++round) {
        std::atomic<int> started{0};
        EXPECT_THROW(qm::run_parallel(2, 2,
                                      [&](std::size_t) {
                                          ++started;
                                          wait_for([&] { return started.load() == 2; });
                                          throw MessageWithNoMemoryLeft(std::string(40, 'x'));
                                      }),
                     std::bad_alloc);
        ASSERT_EQ(started.load(), 2) << "the two items did not run at once";
        EXPECT_EQ(checksum(100, 2), checksum(100, 1));
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

TEST(ErrorSlot, ALaterMessageNeedsNoMemory) {
    // A message that comes second is dropped without being copied, so having
    // no memory for it cannot replace the first.
    qm::RunErrorSlot slot;
    ASSERT_TRUE(slot.record("first message"));
    const std::string later(40, 'y');
    fail_next_new = true;
    const bool kept = slot.record(later);
    const bool copied = !fail_next_new;
    fail_next_new = false;
    EXPECT_FALSE(kept);
    EXPECT_FALSE(copied) << "the later message was copied";
    EXPECT_EQ(slot.message(), "first message");
}

TEST(PoolRun, CallersWithDifferentCountsAtOnce) {
    // Each caller switches counts, so pools are replaced while others run on them.
    const uint64_t want = checksum(300, 1);
    const uint64_t counts[] = {2, 3, 0, 5, 17, 1, 64, 8};
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (int r = 0; r < 40; ++r)
                if (checksum(300, counts[(t + r) % 8]) != want) ++wrong;
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolCache, SlotFollowsTheLatestCount) {
    auto a = qm::batch_thread_pool(2);
    auto b = qm::batch_thread_pool(2);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->threads(), 2u);
    auto c = qm::batch_thread_pool(3);
    EXPECT_NE(c.get(), a.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 3u);
    EXPECT_EQ(c->threads(), 3u);
    // Back to 2: a new pool of 2 (the first one lives on only while held).
    auto d = qm::batch_thread_pool(2);
    EXPECT_NE(d.get(), a.get());
    EXPECT_EQ(d->threads(), 2u);
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 2u);
    // A huge count is clamped; the slot keeps the count asked for.
    auto huge = qm::batch_thread_pool(100000);
    EXPECT_EQ(huge->threads(), qm::kMaxLiveThreads);
    EXPECT_EQ(qm::batch_thread_pool(100000).get(), huge.get());
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 100000u);
}

TEST(PoolCache, ReplacedPoolServesItsRunningCallThenEndsItsThreads) {
    qm::batch_thread_pool(1);  // the slot's previous pool has no workers
    const std::size_t before = live_threads();
    auto old_pool = qm::batch_thread_pool(6);
    EXPECT_EQ(live_threads(), before + 5);
    std::atomic<bool> replaced{false};
    std::vector<std::size_t> out(64);
    std::thread runner([&, pool = std::move(old_pool)]() mutable {
        qm::run_parallel_on(*pool, out.size(), [&](std::size_t i) {
            wait_for([&] { return replaced.load(); });
            out[i] = i * i;
        });
        pool.reset();  // the last holder: its threads are joined here
    });
    auto new_pool = qm::batch_thread_pool(3);
    EXPECT_EQ(qm::batch_thread_pool_cached_count(), 3u);
    EXPECT_EQ(live_threads(), before + 1 + 5 + 2);  // the runner, the old pool's workers, the new
    replaced = true;
    runner.join();
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], i * i);
    EXPECT_EQ(live_threads(), before + 2);
    new_pool.reset();
    qm::batch_thread_pool(1);
    EXPECT_EQ(live_threads(), before);
}

TEST(PoolThreads, WorkersThatCannotStartMakeThePoolSmaller) {
    const uint64_t want = checksum(500, 1);
    struct Case {
        uint64_t fail_at, threads, expected;
    };
    // A refused start stops the starting and leaves 16 of the started
    // workers, plus one in eight, to the rest of the process.
    for (Case c : {Case{1, 8, 1}, Case{5, 8, 1}, Case{40, 64, 20}, Case{100, 64, 64}}) {
        qm::fail_thread_start_for_tests(c.fail_at);
        const std::size_t before = live_threads();
        {
            qm::ThreadPool pool(c.threads);
            EXPECT_EQ(pool.threads(), c.expected) << c.fail_at;
            EXPECT_EQ(live_threads(), before + c.expected - 1);
            std::vector<uint64_t> out(500);
            qm::run_parallel_on(pool, out.size(), [&](std::size_t i) { out[i] = i; });
            EXPECT_EQ(std::accumulate(out.begin(), out.end(), uint64_t{0}), 499u * 500u / 2);
        }
        EXPECT_EQ(live_threads(), before);
        qm::fail_thread_start_for_tests(0);
    }
    // Through the slot: a pool with no worker runs on the caller, same values.
    qm::batch_thread_pool(1);
    qm::fail_thread_start_for_tests(1);
    EXPECT_EQ(qm::batch_thread_pool(9)->threads(), 1u);
    EXPECT_EQ(checksum(500, 9), want);
    qm::fail_thread_start_for_tests(0);
    // Refused once, the pool asks the system for no more threads.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(qm::batch_thread_pool(9)->threads(), 1u);
}

TEST(PoolThreads, AShortPoolGainsItsWorkersWhileARunIsOnIt) {
    qm::batch_thread_pool(1);
    const std::size_t before = live_threads();
    qm::room_for_workers_for_tests(2);
    auto pool = qm::batch_thread_pool(9);
    EXPECT_EQ(pool->threads(), 3u);
    qm::room_for_workers_for_tests(0);
    EXPECT_EQ(qm::batch_thread_pool(9)->threads(), 3u);  // tried again: no more room
    qm::room_for_workers_for_tests(qm::kRoomUnlimited);

    // Another thread runs on the short pool; each thread that takes up its
    // items stays in one until a thread that had not joined in by the time
    // the pool grew does so.
    std::mutex m;
    std::set<std::thread::id> seen;
    std::atomic<bool> release{false};
    std::vector<uint64_t> out(64);
    std::thread runner([&] {
        qm::run_parallel_on(*pool, out.size(), [&](std::size_t i) {
            {
                std::lock_guard<std::mutex> lock(m);
                seen.insert(std::this_thread::get_id());
            }
            wait_for([&] { return release.load(); });
            out[i] = i * i;
        });
    });
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lock(m);
        return seen.size() >= 2;  // the run is posted: a worker has joined in
    }));
    // Past the wait that the failed try set (1 ms), the same count grows the
    // same pool in place.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::size_t joined = 0;
    {
        std::lock_guard<std::mutex> lock(m);
        joined = seen.size();
    }
    auto same = qm::batch_thread_pool(9);
    EXPECT_EQ(same.get(), pool.get());
    EXPECT_EQ(same->threads(), 9u);
    EXPECT_FALSE(same->short_of_workers());
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lock(m);
        return seen.size() > joined;
    }));
    release = true;
    runner.join();
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], i * i);
    EXPECT_EQ(live_threads(), before + 8);
    EXPECT_EQ(checksum(500, 9), checksum(500, 1));
    pool.reset();
    same.reset();
    qm::batch_thread_pool(1);
    EXPECT_EQ(live_threads(), before);
}

// Runs `child` in a forked child and fails when it does not exit 0 within
// `limit`: a hang is killed and reported.
template <class Child>
void expect_child_succeeds(Child child, const char* what, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(child() ? 0 : 1);
    int status = 0;
    const bool ended = wait_for([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << what << ": the child hung";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what << ": status " << status;
}

TEST(PoolFork, MoreThreadsThanCpusTakeTurnsInsteadOfAllWaking) {
    // A pool of 8 threads on 2 CPUs: a run wakes no more workers than leave
    // a CPU each to it and the caller, so a stream of short runs (as DBA
    // makes) does not wake 7 threads for 2 CPUs every time. In a child, whose
    // CPUs can be narrowed without touching the other tests.
    expect_child_succeeds(
        [] {
            cpu_set_t all, two;
            CPU_ZERO(&two);
            if (::sched_getaffinity(0, sizeof all, &all) != 0 || CPU_COUNT(&all) < 2) return true;
            for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu)
                if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &two), ++taken;
            if (::sched_setaffinity(0, sizeof two, &two) != 0) return false;
            qm::ThreadPool pool(8);
            if (pool.threads() != 8) return false;
            int crowded = 0;
            for (int run = 0; run < 200; ++run) {
                std::mutex m;
                std::set<std::thread::id> seen;
                qm::run_parallel_on(pool, 16, [&](std::size_t) {
                    const auto until = Clock::now() + std::chrono::microseconds(50);
                    while (Clock::now() < until) {}
                    std::lock_guard<std::mutex> lock(m);
                    seen.insert(std::this_thread::get_id());
                });
                crowded += seen.size() > 2;
            }
            return crowded <= 10;  // a spurious wake-up may let a third thread in
        },
        "more threads than CPUs");
}

TEST(PoolFork, ARefusedThreadLeavesAPoolInUseItsWorkers) {
    // The pool grows while its workers sit in items that ask the slot for it
    // again. A refused start there once joined those workers under the
    // slot's lock, which their items were waiting for: the call never
    // returned. In a child, so that a hang is killed.
    expect_child_succeeds(
        [] {
            qm::room_for_workers_for_tests(2);
            auto pool = qm::batch_thread_pool(9);
            qm::room_for_workers_for_tests(0);
            std::atomic<bool> release{false};
            std::atomic<int> inside{0};
            std::thread runner([&] {
                qm::run_parallel_on(*pool, 64, [&](std::size_t) {
                    qm::batch_thread_pool(9);
                    ++inside;
                    wait_for([&] { return release.load(); });
                });
            });
            const bool busy = wait_for([&] { return inside.load() >= 2; });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past the waits of the failed tries
            qm::room_for_workers_for_tests(6);
            qm::fail_thread_start_for_tests(5);  // four of the six start
            const std::size_t grown = qm::batch_thread_pool(9)->threads();
            release = true;
            runner.join();
            qm::fail_thread_start_for_tests(0);
            qm::room_for_workers_for_tests(qm::kRoomUnlimited);
            // Refused once, it asks for no more, and keeps what it has.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return busy && grown == 7 && pool->threads() == 7 &&
                   qm::batch_thread_pool(9)->threads() == 7 && !pool->short_of_workers();
        },
        "a refused thread while the pool is in use");
}

TEST(PoolFork, ChildCallsRightAfterARun) {
    const uint64_t want = checksum(200, 1);
    for (int round = 0; round < 10; ++round) {
        for (uint64_t count : {8u, 0u, 64u}) {
            ASSERT_EQ(checksum(200, count), want);
            expect_child_succeeds(
                [&] { return checksum(200, count) == want && checksum(200, 3) == want && checksum(200, 0) == want; },
                "right after a run");
        }
    }
}

TEST(PoolFork, ChildForkedWhileAnotherThreadRuns) {
    const uint64_t want = checksum(200, 1), long_want = checksum(2000, 1);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread runner([&] {
        for (int r = 0; !stop; ++r)
            if (checksum(2000, r % 2 ? 4 : 0) != long_want) ++wrong;
    });
    for (int round = 0; round < 20; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        expect_child_succeeds([&] { return checksum(200, 4) == want && checksum(200, 0) == want; },
                              "while another thread runs");
    }
    stop = true;
    runner.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
