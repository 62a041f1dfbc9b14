#include "batch/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <optional>

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
        auto built = std::make_shared<tbb::task_arena>(size);
        built->initialize();
        arena = std::move(built);
    }
    return arena;
}

// ---------------------------------------------------------------------------
// Worker threads
//
// TBB starts its workers on demand, from inside its own threads, and ends the
// whole process (std::terminate) when one cannot be started: under an
// address-space cap (ulimit -v, a scheduler's memory limit) or a cap on
// threads. So TBB is never allowed more workers than were just seen to fit:
// before the process-wide limit on workers is raised, as many threads plus
// some headroom are started and ended here, and right after, TBB is made to
// start its workers while that room is still free. TBB keeps its workers for
// the life of its scheduler, which a leaked arena keeps alive, so a limit once
// reached costs nothing later. When fewer threads fit than asked for, TBB is
// allowed what fits less the headroom: pools run on fewer threads, with the
// same values. Under an address-space cap the trial also stops at half of
// the room left, which keeps the other half for the work itself.
//
// With glibc a thread's first allocation usually gives it an allocator arena
// of its own, reserving 64 MiB of address space; under an address-space cap
// that, not the stack, is most of a worker's cost. The trial threads take
// those arenas as workers would and leave them free when they end (glibc
// hands an ended thread's arena to the next new thread), so the workers
// started afterwards need only their stacks.

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

// Trial threads beyond the workers, holding only their stacks: room left for
// what starting the workers allocates besides (thread bookkeeping, a heap an
// allocator arena must add) and for whatever else the process allocates
// meanwhile. 16 stacks of TBB's default size are 64 MiB.
constexpr uint64_t kMinHeadroom = 16;
uint64_t headroom_for(uint64_t workers) { return kMinHeadroom + workers / 8; }

// Bytes of address space the process has mapped, 0 when unknown.
uint64_t mapped_bytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[64];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) return 0;
    text[got] = '\0';
    return std::strtoull(text, nullptr, 10) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Under an address-space cap, workers may take at most half of what is left
// (stacks and allocator arenas), so that the work they are for has room too.
// Nothing without a cap.
std::optional<uint64_t> address_space_for_workers() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const uint64_t mapped = mapped_bytes();
    return mapped < limit.rlim_cur ? (limit.rlim_cur - mapped) / 2 : 0;
}

struct Trial {
    uint64_t workers = 0;  // this many of the threads stand for workers
    std::atomic<uint64_t> tickets{0};
    std::atomic<uint64_t> ready{0};
    std::atomic<uint64_t> without_arena{0};
    std::atomic<bool> release{false};
};

void* trial_thread(void* arg) {
    auto* trial = static_cast<Trial*>(arg);
    if (trial->tickets.fetch_add(1) < trial->workers) {
        // A worker's first step: a small block, from an allocator arena of
        // the thread's own or, when no arena can be had, mapped straight
        // from the system (a page at least).
        void* block = std::malloc(64);
        if (block == nullptr || malloc_usable_size(block) >= 2048) trial->without_arena.fetch_add(1);
        std::free(block);
    }
    trial->ready.fetch_add(1);
    trial->ready.notify_all();
    trial->release.wait(false);
    return nullptr;
}

// How many of `want` more TBB workers fit now: starts that many threads with
// TBB's stack size, each taking a block as a worker does, and the headroom
// threads after them (stopping early at the address-space allowance); waits
// until all that started are ready, then ends them. Counts only threads that
// got an arena.
uint64_t workers_that_fit(uint64_t want) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    if (stack > 0) pthread_attr_setstacksize(&attr, stack);
    Trial trial;
    trial.workers = want;
    const uint64_t total = want + headroom_for(want);
    const std::optional<uint64_t> allowance = address_space_for_workers();
    const uint64_t mapped_before = allowance ? mapped_bytes() : 0;
    std::vector<pthread_t> started;
    started.reserve(static_cast<std::size_t>(total));
    for (uint64_t i = 0; i < total; ++i) {
        if (allowance) {
            const uint64_t mapped = mapped_bytes();
            if (mapped > mapped_before && mapped - mapped_before > *allowance) break;
        }
        pthread_t thread;
        if (pthread_create(&thread, &attr, trial_thread, &trial) != 0) break;
        started.push_back(thread);
    }
    pthread_attr_destroy(&attr);
    const uint64_t count = started.size();
    for (uint64_t r = trial.ready.load(); r < count; r = trial.ready.load()) trial.ready.wait(r);
    trial.release.store(true);
    trial.release.notify_all();
    for (pthread_t thread : started) pthread_join(thread, nullptr);

    uint64_t fit = std::min(count, want) - trial.without_arena.load();
    while (fit > 0 && fit + headroom_for(fit) > count) --fit;
    return fit;
}

struct Warm {};

// Makes TBB start `workers` workers now, while the room found for them is
// free: one item per thread of the arena of workers + 1 threads (the one a
// pool of that size runs on), each waiting until all have begun. Gives up
// after a second (TBB may hand fewer workers to this arena while other arenas
// are busy; it starts them all the same).
void start_workers_now(uint64_t workers) {
    const uint64_t threads = workers + 1;
    try {
        tbb::task_arena& arena = *kept_arena(arena_concurrency(threads));
        std::mutex mutex;
        std::condition_variable all_begun;
        uint64_t begun = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        arena.execute([&] {
            tbb::parallel_for(
                tbb::blocked_range<uint64_t>(0, threads, 1),
                [&](const tbb::blocked_range<uint64_t>&) {
                    // The C++ runtime keeps a thread's exception state in
                    // thread-local storage allocated at its first throw; a
                    // worker whose first exception is a bad_alloc would find
                    // no memory for it and end the process.
                    try {
                        throw Warm{};
                    } catch (const Warm&) {
                    }
                    std::unique_lock<std::mutex> lock(mutex);
                    if (++begun == threads) all_begun.notify_all();
                    all_begun.wait_until(lock, deadline, [&] { return begun >= threads; });
                },
                tbb::simple_partitioner());
        });
    } catch (...) {
        // The workers then start on first demand, as TBB does by itself.
    }
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
    const bool first = budget.anchor == nullptr;
    if (!first && want <= budget.workers) return want + 1;
    if (first) {
        // TBB fixes its own ceiling on workers from the limit in force when
        // its scheduler starts: start it under the cap; the limit is lowered
        // below before anything runs.
        if (budget.control == nullptr)
            budget.control = new tbb::global_control(tbb::global_control::max_allowed_parallelism, cap);
        auto* anchor = new tbb::task_arena(1);
        anchor->initialize();
        budget.anchor = anchor;
    }
    // The workers already running hold their room: only the ones to add are tried.
    const uint64_t fit = want > budget.workers ? budget.workers + workers_that_fit(want - budget.workers) : 0;
    const uint64_t workers = std::max(budget.workers, fit);
    if (first || workers > budget.workers) {
        // Several controls of one kind resolve to the smallest: a lower one
        // is in force from its creation, a higher one once the old is gone.
        auto* control = new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                                static_cast<std::size_t>(workers + 1));
        delete budget.control;
        budget.control = control;
    }
    const bool more = workers > budget.workers;
    budget.workers = workers;
    if (more) start_workers_now(workers);
    return std::min(want, workers) + 1;
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
