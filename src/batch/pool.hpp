// Thread pools for the parallel parts of the engine, and the one way to run a
// list of independent items on them.
//
// Two kinds of pool exist: the process-wide default pool (used when a caller
// passes n_workers = 0, and by the DTW/DBA/feature code directly) and the pool
// kept by `batch_thread_pool` for the last distinct non-zero worker count.
// Both are oneTBB arenas, built once per size and kept for the life of the
// process (the default pool is the arena of its size); values never depend on
// which one runs the items, because every item owns its engines and writes
// only its own result slot.
//
// Error rule of a run: an item that throws qm::ValueError records its message
// in the run's slot if the slot is still free (claimed by compare-exchange,
// never by waiting), raises the stop flag, and cancels the rest of the run. No
// new range of items starts once the flag is up. After the run the recorded
// message is thrown again as qm::ValueError on the calling thread. Anything
// else an item throws (qm::Fault, std::bad_alloc, ...) is kept the same way
// (the first one) and rethrown after the run in place of any message: a fault
// ends the call even when an item that was still running when another one
// failed with a message is the one that faults.
//
// Not fork-safe: a child forked while pool threads exist may hang.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fault.hpp"

namespace qm {

// A pool never has more threads than this; larger counts are clamped.
inline constexpr uint64_t kMaxPoolThreads = 65535;

// Live threads are capped lower still: tens of thousands of threads exhaust
// the process-id space, and the thread library then aborts the whole process
// from one of its own threads. No value depends on the thread count, and more
// threads than this never run faster.
inline constexpr uint64_t kMaxLiveThreads = 1024;

// ---------------------------------------------------------------------------
// Pool sizes and pools

// Size of the default pool from the two environment values (null = unset) and
// the number of online processors. A value is an unsigned decimal integer
// with an optional leading '+'; RAYON_NUM_THREADS = 0 means `online`;
// RAYON_RS_NUM_CPUS counts only above 0. The result is at least 1 and is not
// clamped (the pool itself clamps to kMaxPoolThreads).
uint64_t default_pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                uint64_t online);

// Online processors, 1 when unknown.
uint64_t online_processors();

// The default pool's size, read from the environment once (on first call)
// and fixed for the life of the process.
uint64_t default_pool_size();

// The process-wide default pool, created on first use, never destroyed.
tbb::task_arena& default_pool();

// The pool for a non-zero worker count, from the one-slot cache: the same
// count as last time gives the same arena; another count takes the arena of
// its size and puts it in the slot. Arenas are built once per size and kept
// for the life of the process (TBB cannot free them safely right after a
// run; see pool.cpp). Throws qm::ValueError("failed to build rayon thread
// pool: ...") when the arena cannot be built, and qm::Fault for n_workers == 0.
std::shared_ptr<tbb::task_arena> batch_thread_pool(uint64_t n_workers);

// Count stored in the cache slot (0 when empty); for tests and diagnostics.
uint64_t batch_thread_pool_cached_count();

// Makes room for pools of `n` threads: parks threads for up to n - 1 TBB
// workers (at most kMaxLiveThreads - 1) in all and lets TBB have them. Where
// fewer fit (a cap on threads, or on the address space, of which they take
// at most half of what is left), TBB gets what fits and pools run on fewer
// threads with the same values. Never lowered. Returns the threads a pool of
// `n` gets, the caller's included. Called by the pool constructors above
// before their arenas run anything.
uint64_t ensure_global_parallelism(uint64_t n);

// ---------------------------------------------------------------------------
// Error slot of one run

class RunErrorSlot {
public:
    // Records `message` if no message has been recorded yet; always raises
    // the stop flag. Returns true when this call's message was kept.
    bool record(std::string message);

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
// Running items

namespace pool_detail {

// Runs item i under the error rule; false when the run must stop.
template <class Body>
bool run_item(Body& body, std::size_t i, RunErrorSlot& slot) {
    try {
        body(i);
    } catch (const ValueError& e) {
        slot.record(e.what());
        return false;
    } catch (...) {
        // Kept by the slot rather than left to TBB, which drops an exception
        // thrown after the run was cancelled.
        slot.record_exception(std::current_exception());
        return false;
    }
    return !slot.stopped();
}

// The body of a run on an arena the caller already holds. `body(i)` is called
// once for every i in [0, n) unless the run stops early.
template <class Body>
void run_in_arena(tbb::task_arena& arena, std::size_t n, Body& body, RunErrorSlot& slot) {
    if (n == 0) return;
    tbb::task_group_context ctx;
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, n),
            [&](const tbb::blocked_range<std::size_t>& range) {
                if (slot.stopped()) return;
                for (std::size_t i = range.begin(); i != range.end(); ++i) {
                    if (!run_item(body, i, slot)) {
                        ctx.cancel_group_execution();
                        return;
                    }
                }
            },
            ctx);
    });
}

}  // namespace pool_detail

// Runs body(i) for i in [0, n) on `arena` with the error rule above. A pool
// of one thread runs the items on the calling thread without entering its
// arena: TBB would only add its overhead, and a caller that finds an arena
// with no workers taken by another caller makes TBB start a thread for it.
template <class Body>
void run_parallel_on(tbb::task_arena& arena, std::size_t n, Body&& body) {
    RunErrorSlot slot;
    if (arena.max_concurrency() == 1) {
        for (std::size_t i = 0; i < n; ++i)
            if (!pool_detail::run_item(body, i, slot)) break;
    } else {
        pool_detail::run_in_arena(arena, n, body, slot);
    }
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
    std::shared_ptr<tbb::task_arena> pool = batch_thread_pool(n_workers);
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
