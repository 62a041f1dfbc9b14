#include "batch/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
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

void ensure_global_parallelism(uint64_t n) {
    static std::mutex mutex;
    static uint64_t current = 0;
    static tbb::global_control* control = nullptr;  // process lifetime

    n = std::min({n, kMaxPoolThreads, kMaxLiveThreads});
    std::lock_guard<std::mutex> lock(mutex);
    if (n <= current) return;
    const uint64_t hardware = static_cast<uint64_t>(std::max(1, tbb::info::default_concurrency()));
    if (n <= hardware) {
        // TBB's own limit already allows this many.
        current = std::max(current, hardware);
        return;
    }
    // Several controls of one kind resolve to the smallest, so the new one
    // only takes effect once the old one is gone.
    auto* raised = new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                           static_cast<std::size_t>(n));
    delete control;
    control = raised;
    current = n;
}

tbb::task_arena& default_pool() {
    static tbb::task_arena* arena = [] {
        const uint64_t n = default_pool_size();
        ensure_global_parallelism(n);
        auto* a = new tbb::task_arena(arena_concurrency(n));
        a->initialize();
        return a;
    }();
    return *arena;
}

std::shared_ptr<tbb::task_arena> batch_thread_pool(uint64_t n_workers) {
    if (n_workers == 0) fault("batch_thread_pool called with 0 workers");
    PoolCache& cache = pool_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.pool && cache.count == n_workers) return cache.pool;

    std::shared_ptr<tbb::task_arena> built;
    try {
        ensure_global_parallelism(n_workers);
        built = std::make_shared<tbb::task_arena>(arena_concurrency(n_workers));
        built->initialize();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        value_error(std::string("failed to build rayon thread pool: ") + e.what());
    }
    cache.count = n_workers;
    cache.pool = built;  // the previous arena ends with its last holder
    return built;
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
