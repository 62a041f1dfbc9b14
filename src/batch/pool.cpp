#include "batch/pool.hpp"

#include "batch/worker_threads.hpp"

#include <oneapi/tbb/global_control.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>

namespace qm {

namespace {

// Unsigned decimal, optional leading '+', nothing else (no blanks, no sign
// '-', no overflow).
bool parse_unsigned(const char* text, uint64_t& out) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    uint64_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

int arena_concurrency(uint64_t n) {
    return static_cast<int>(std::clamp<uint64_t>(n, 1, std::min(kMaxPoolThreads, kMaxLiveThreads)));
}

// The slot of batch_thread_pool: the pool of the most recent distinct count.
struct PoolCache {
    std::mutex mutex;
    uint64_t count = 0;  // 0: empty
    std::shared_ptr<tbb::task_arena> pool;
};

// Leaked on purpose: arenas must not be torn down during static destruction,
// when TBB's own state may already be gone.
PoolCache& pool_cache() {
    static PoolCache* cache = new PoolCache();
    return *cache;
}

// Every arena is kept, one per size, for the life of the process: TBB frees
// an arena whose last reference goes only if no worker demand is left on it,
// and right after a run the demand is still there until a worker sees the
// arena out of work. An arena dropped then is never freed and stays on the
// list the workers scan, so replacing the arena at every change of count
// leaked one per change and slowed every later run. Sizes run from 1 to
// kMaxLiveThreads.
struct KeptArenas {
    std::mutex mutex;
    std::vector<std::shared_ptr<tbb::task_arena>> by_size =
        std::vector<std::shared_ptr<tbb::task_arena>>(std::min(kMaxPoolThreads, kMaxLiveThreads) + 1);
};

// The arena of `size` threads (the caller's included), built on first use.
std::shared_ptr<tbb::task_arena> kept_arena(int size) {
    static KeptArenas* kept = new KeptArenas();  // leaked, as the cache
    std::lock_guard<std::mutex> lock(kept->mutex);
    std::shared_ptr<tbb::task_arena>& arena = kept->by_size.at(static_cast<std::size_t>(size));
    if (!arena) {
        // A pool of one thread never enters its arena (its items run on the
        // caller), so that arena is never initialized.
        auto built = std::make_shared<tbb::task_arena>(size);
        if (size > 1) built->initialize();
        arena = std::move(built);
    }
    return arena;
}

// ---------------------------------------------------------------------------
// Worker threads
//
// TBB is allowed only as many workers as there are threads parked for it
// (see worker_threads.hpp), so starting one never fails inside TBB. The limit
// is raised, never lowered, as larger pools are asked for; TBB keeps its
// workers for the life of its scheduler, which a leaked arena keeps alive.

struct WorkerBudget {
    std::mutex mutex;
    uint64_t workers = 0;                    // TBB workers allowed
    tbb::global_control* control = nullptr;  // process lifetime
    tbb::task_arena* anchor = nullptr;       // keeps the scheduler (and its workers) alive
};

WorkerBudget& worker_budget() {
    static WorkerBudget* budget = new WorkerBudget();  // leaked, as the pools
    return *budget;
}

}  // namespace

uint64_t online_processors() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<uint64_t>(n) : 1;
}

uint64_t default_pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                uint64_t online) {
    const uint64_t fallback = online > 0 ? online : 1;
    uint64_t n = 0;
    if (parse_unsigned(rayon_num_threads, n)) return n == 0 ? fallback : n;
    if (parse_unsigned(rayon_rs_num_cpus, n) && n > 0) return n;
    return fallback;
}

uint64_t default_pool_size() {
    static const uint64_t size = default_pool_size_from(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), online_processors());
    return size;
}

uint64_t ensure_global_parallelism(uint64_t n) {
    WorkerBudget& budget = worker_budget();
    const uint64_t cap = std::min(kMaxPoolThreads, kMaxLiveThreads);
    const uint64_t want = std::clamp<uint64_t>(n, 1, cap) - 1;
    std::lock_guard<std::mutex> lock(budget.mutex);
    if (want <= budget.workers) return want + 1;
    const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    const uint64_t added = route_tbb_thread_creation() ? park_worker_threads(want - budget.workers, stack)
                                                       : want - budget.workers;
    if (added == 0) return budget.workers + 1;
    if (budget.anchor == nullptr) {
        // TBB fixes its own ceiling on workers from the limit in force when
        // its scheduler starts: start it under the cap; the limit is lowered
        // below before anything runs.
        budget.control = new tbb::global_control(tbb::global_control::max_allowed_parallelism, cap);
        auto* anchor = new tbb::task_arena(1);
        anchor->initialize();
        budget.anchor = anchor;
    }
    budget.workers += added;
    // Several controls of one kind resolve to the smallest: a lower one is in
    // force from its creation, a higher one once the old is gone.
    auto* control = new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                            static_cast<std::size_t>(budget.workers + 1));
    delete budget.control;
    budget.control = control;
    return std::min(want, budget.workers) + 1;
}

tbb::task_arena& default_pool() {
    static tbb::task_arena* arena =
        kept_arena(arena_concurrency(ensure_global_parallelism(default_pool_size()))).get();
    return *arena;
}

std::shared_ptr<tbb::task_arena> batch_thread_pool(uint64_t n_workers) {
    if (n_workers == 0) fault("batch_thread_pool called with 0 workers");
    PoolCache& cache = pool_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.pool && cache.count == n_workers) return cache.pool;

    std::shared_ptr<tbb::task_arena> pool;
    try {
        pool = kept_arena(arena_concurrency(ensure_global_parallelism(n_workers)));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        value_error(std::string("failed to build rayon thread pool: ") + e.what());
    }
    cache.count = n_workers;
    cache.pool = pool;  // the previous one stays kept for its size
    return pool;
}

uint64_t batch_thread_pool_cached_count() {
    PoolCache& cache = pool_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.pool ? cache.count : 0;
}

bool RunErrorSlot::record(std::string message) {
    int expected = kEmpty;
    const bool mine =
        state_.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel);
    if (mine) {
        message_ = std::move(message);
        state_.store(kReady, std::memory_order_release);
    }
    stop_.store(true, std::memory_order_release);
    return mine;
}

void RunErrorSlot::record_exception(std::exception_ptr error) noexcept {
    if (!exception_claimed_.exchange(true, std::memory_order_acq_rel)) exception_ = std::move(error);
    stop_.store(true, std::memory_order_release);
}

void RunErrorSlot::rethrow_if_failed() const {
    if (exception_) std::rethrow_exception(exception_);
    if (has_message()) value_error(message_);
    if (stopped()) fault("parallel run stopped without an error message");
}

}  // namespace qm
