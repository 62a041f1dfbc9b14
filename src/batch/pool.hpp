// Thread pools for the parallel parts of the engine, and the one way to run a
// list of independent items on them.
//
// A pool of n threads owns n - 1 worker threads; the thread that runs a list
// on it is the n-th and claims items like the workers. Two kinds of pool
// exist: the process-wide default pool (n_workers = 0, and the DTW/DBA code
// directly), built on first use and kept, and the pool that
// `batch_thread_pool` keeps for the most recent non-zero worker count, which
// ends its threads once the slot has replaced it and its last run is over.
// Values never depend on which pool runs the items or on how many threads it
// has, because every item owns its engines and writes only its own result.
//
// A worker that cannot be started (a cap on threads, or no room under an
// address-space cap) only makes the pool smaller; one that found no room is
// started by a later call that finds it. Idle workers sleep.
//
// Error rule of a run: an item that throws qm::ValueError records its message
// in the run's slot if the slot is still free (claimed by compare-exchange,
// never by waiting) and raises the stop flag. The flag is read before a range
// of items is taken up and after each item; once it is up no new range
// starts. After the run the recorded message is thrown again as ValueError on
// the calling thread. Anything else an item throws (qm::Fault,
// std::bad_alloc, ...) is kept the same way (the first one) and rethrown
// after the run in place of any message.
//
// Under an address-space cap the workers of every pool, the default pool
// included, share one budget: half of the room, measured again at every
// build and counting the room the live workers already hold. A pool built
// while others hold the budget gets what is left, possibly no worker; such a
// short pool tries again for its missing workers on later calls.
//
// fork: a child starts with no pools; its first call builds fresh ones.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <pthread.h>

#include "fault.hpp"
#include "fork_hooks.hpp"

namespace qm {

// A pool never has more threads than this; larger counts are clamped.
inline constexpr uint64_t kMaxPoolThreads = 65535;

// Live threads of one pool are capped lower still: tens of thousands of
// threads exhaust the process-id space, and more threads than this never run
// faster. No value depends on the thread count.
inline constexpr uint64_t kMaxLiveThreads = 1024;

// ---------------------------------------------------------------------------
// Pool sizes

// Size of the default pool from the two environment values (null = unset) and
// the number of online processors. A value is an unsigned decimal integer
// with an optional leading '+'; RAYON_NUM_THREADS = 0 means `online`;
// RAYON_RS_NUM_CPUS counts only above 0. The result is at least 1 and is not
// clamped (the pool itself clamps).
uint64_t default_pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                uint64_t online);

// Online processors, 1 when unknown.
uint64_t online_processors();

// The default pool's size, read from the environment once (on first call)
// and fixed for the life of the process (or of a forked child). Python
// callers read it first with the interpreter lock held, so that the read
// never races a write to os.environ.
uint64_t default_pool_size();

// ---------------------------------------------------------------------------
// Error slot of one run

class RunErrorSlot {
public:
    // Records `message` if no message has been recorded yet; always raises
    // the stop flag. Returns true when this call's message was kept. Only
    // the kept message is copied, so a later one cannot fail for want of
    // memory (the first one can: std::bad_alloc).
    bool record(std::string_view message);

    bool stopped() const noexcept { return stop_.load(std::memory_order_acquire); }
    bool has_message() const noexcept { return state_.load(std::memory_order_acquire) == kReady; }

    // Only meaningful after the run has joined (every worker finished).
    const std::string& message() const noexcept { return message_; }

    // Keeps `error` (anything but a ValueError) if no such exception has been
    // kept yet; always raises the stop flag.
    void record_exception(std::exception_ptr error) noexcept;

    // After the run: rethrows the kept exception, else throws the recorded
    // message as ValueError; a stop flag with neither means a broken invariant.
    void rethrow_if_failed() const;

private:
    static constexpr int kEmpty = 0;
    static constexpr int kWriting = 1;
    static constexpr int kReady = 2;
    std::atomic<bool> stop_{false};
    std::atomic<int> state_{kEmpty};
    std::string message_;
    std::atomic<bool> exception_claimed_{false};
    std::exception_ptr exception_;
};

// ---------------------------------------------------------------------------
// Pools

// One run posted to a pool: items [0, n) claimed in ranges by the caller and
// by any worker that finds the job. Lives on the caller's stack; the caller
// takes it down only once no worker holds it.
struct PoolJob {
    std::size_t n = 0;
    std::size_t threads = 1;            // of the pool: sizes the ranges
    std::atomic<std::size_t> next{0};   // first unclaimed item
    RunErrorSlot* slot = nullptr;
    void (*run_range)(void* body, RunErrorSlot& slot, std::size_t begin, std::size_t end) noexcept = nullptr;
    void* body = nullptr;
    // Guarded by the pool's mutex; `holders` is also read without it.
    std::atomic<int> holders{0};        // workers taking ranges of this job
    bool waiting = false;               // the caller sleeps on `finished`
    std::condition_variable finished;
    PoolJob* next_job = nullptr;        // the pool's list of posted jobs
};

// What a pool's threads share (pool.cpp); outlives the pool object while a
// worker that was detached from it still runs.
struct PoolShared;

class ThreadPool {
public:
    // A pool of `threads` threads, the caller's included: starts up to
    // threads - 1 workers (at most kMaxLiveThreads - 1), fewer where they do
    // not fit. Throws std::bad_alloc only before any worker has started.
    explicit ThreadPool(uint64_t threads);
    // Stops the workers and joins them (a worker of this pool that drops the
    // last reference detaches itself instead).
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Threads of a run: the workers that started, plus the caller.
    std::size_t threads() const noexcept { return count_.load(std::memory_order_acquire) + 1; }

    // Whether the pool holds fewer workers than it was built for because
    // there was no room for them (a pool the system refused a thread counts
    // as full).
    bool short_of_workers() const noexcept {
        return count_.load(std::memory_order_relaxed) < want_.load(std::memory_order_relaxed);
    }

    // Tries again to start the workers a short pool lacks, as far as the
    // room allows now; a try that gained nothing makes the next wait (1 ms,
    // doubling up to a second). Calls must not overlap (the default pool's and the slot's
    // mutex keep them apart); runs may go on meanwhile.
    void add_missing_workers();

    // Runs every range of `job` (whose n, slot, run_range and body are set)
    // on this pool and the calling thread; returns once every claimed range
    // has finished. A call from one of this pool's workers runs the items
    // itself.
    void run(PoolJob& job);

private:
    void start_workers(bool in_use);
    void end_workers_after_refusal();

    std::shared_ptr<PoolShared> shared_;
    std::atomic<std::size_t> want_{0};      // workers the pool asks for
    std::unique_ptr<pthread_t[]> workers_;  // [0, count_) have started
    std::atomic<std::size_t> count_{0};     // written only by the (serialised) builds
    std::chrono::steady_clock::time_point next_try_{};
    std::chrono::milliseconds retry_gap_{0};
};

// The process-wide default pool, built on first use at default_pool_size().
// While it is short of workers, calls try again for them (see
// add_missing_workers; a call that finds another at it runs with what there is).
ThreadPool& default_pool();

// The pool for a non-zero worker count, from the one-slot cache: the same
// count as last time gives the same pool (which tries again for any workers
// it lacks); another count ends the slot's pool (its threads are joined as
// soon as no run holds it) and builds one of that size. Throws
// qm::ValueError("failed to build rayon thread pool: ...") when the pool
// cannot be built, and qm::Fault for n_workers == 0.
std::shared_ptr<ThreadPool> batch_thread_pool(uint64_t n_workers);

// Count stored in the cache slot (0 when empty); for tests and diagnostics.
uint64_t batch_thread_pool_cached_count();

// Creates the pools' process-wide state and returns what a fork must do
// with its locks: the child starts with no pools.
ForkHooks pool_fork_hooks();

// Test hook: the k-th worker start from now on fails as a start refused by
// the system would (k = 0: none fails).
void fail_thread_start_for_tests(uint64_t k);

// Test hook: every pool build from now on finds room for `more` workers
// beyond those of all pools at the time, as under an address-space cap
// (kRoomUnlimited: no such limit).
inline constexpr uint64_t kRoomUnlimited = UINT64_MAX;
void room_for_workers_for_tests(uint64_t more);

// ---------------------------------------------------------------------------
// Running items

namespace pool_detail {

// Runs item i under the error rule; false when the run must stop.
template <class Body>
bool run_item(Body& body, std::size_t i, RunErrorSlot& slot) {
    try {
        body(i);
    } catch (const ValueError& e) {
        try {
            slot.record(e.what());
        } catch (...) {  // no memory left for the message
            slot.record_exception(std::current_exception());
        }
        return false;
    } catch (...) {
        slot.record_exception(std::current_exception());
        return false;
    }
    return !slot.stopped();
}

template <class Body>
void run_range(void* body, RunErrorSlot& slot, std::size_t begin, std::size_t end) noexcept {
    if (slot.stopped()) return;
    for (std::size_t i = begin; i != end; ++i)
        if (!run_item(*static_cast<Body*>(body), i, slot)) return;
}

}  // namespace pool_detail

// Runs body(i) for i in [0, n) on `pool` with the error rule above.
template <class Body>
void run_parallel_on(ThreadPool& pool, std::size_t n, Body&& body) {
    using B = std::remove_reference_t<Body>;
    RunErrorSlot slot;
    PoolJob job;
    job.n = n;
    job.slot = &slot;
    job.run_range = &pool_detail::run_range<B>;
    job.body = const_cast<void*>(static_cast<const void*>(&body));
    pool.run(job);
    slot.rethrow_if_failed();
}

// Runs body(i) for i in [0, n) on the pool for `n_workers` (0 = the default
// pool). The pool is obtained even when n == 0, so a bad count fails the same
// way with or without items; its reference is held until the run ends.
template <class Body>
void run_parallel(std::size_t n, uint64_t n_workers, Body&& body) {
    if (n_workers == 0) {
        run_parallel_on(default_pool(), n, body);
        return;
    }
    std::shared_ptr<ThreadPool> pool = batch_thread_pool(n_workers);
    run_parallel_on(*pool, n, body);
}

// Same on the default pool.
template <class Body>
void run_parallel_default(std::size_t n, Body&& body) {
    run_parallel_on(default_pool(), n, body);
}

// Maps fn over [0, n) in parallel; result i is fn(i), whatever thread made it.
// R must be default-constructible and move-assignable.
template <class Fn, class R = std::decay_t<std::invoke_result_t<Fn&, std::size_t>>>
std::vector<R> map_parallel(std::size_t n, uint64_t n_workers, Fn&& fn) {
    std::vector<R> out(n);
    run_parallel(n, n_workers, [&](std::size_t i) { out[i] = fn(i); });
    return out;
}

template <class Fn, class R = std::decay_t<std::invoke_result_t<Fn&, std::size_t>>>
std::vector<R> map_parallel_default(std::size_t n, Fn&& fn) {
    std::vector<R> out(n);
    run_parallel_default(n, [&](std::size_t i) { out[i] = fn(i); });
    return out;
}

}  // namespace qm
