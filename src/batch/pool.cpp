#include "batch/pool.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
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

// ---------------------------------------------------------------------------
// Room for threads under an address-space cap

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr std::size_t kStackBytes = 4 * kMiB;
// What one more thread may take: its stack and guard page, the allocator
// arena glibc may reserve at its first malloc, and some slack.
constexpr uint64_t kArenaBytes = 64 * kMiB;
constexpr uint64_t kThreadRoomBytes = kStackBytes + 4096 + kArenaBytes + kMiB;
// Kept back from the half of the free room a pool may take.
constexpr uint64_t kRoomReserveBytes = 16 * kMiB;

// Bytes mapped by the process (the first field of /proc/self/statm); 0 when
// unreadable. Plain system calls: nothing here allocates.
uint64_t mapped_bytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[64];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    uint64_t pages = 0;
    for (ssize_t i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i)
        pages = pages * 10 + static_cast<uint64_t>(text[i] - '0');
    return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

uint64_t half_less_reserve(uint64_t bytes) { return bytes / 2 > kRoomReserveBytes ? bytes / 2 - kRoomReserveBytes : 0; }

std::atomic<uint64_t> room_for_tests{kRoomUnlimited};  // test hook: room for this many more workers

// The address space that the workers of every pool share under a cap. Each
// build measures it afresh: the room free now plus the room the workers
// already hold (their stacks, and the arenas workers have made, which glibc
// hands to the next new thread once their maker has ended). So memory freed
// or taken since counts, while callers that build at once measure about the
// same budget and together take no more workers than one caller would.
class WorkerRoom {
public:
    // What one build may take, measured when it begins: its own growth of
    // the mapped size (half of the room then free, less the reserve, whatever
    // else the process does meanwhile), and the workers of every pool
    // together. Uncapped: no limit. Capped but not measurable: no worker.
    struct Grant {
        bool capped = false;
        uint64_t start = 0;  // mapped bytes when the build began
        uint64_t growth = 0;
        uint64_t workers = 0;
    };

    Grant measure() {
        Grant grant;
        if (const uint64_t more = room_for_tests.load(std::memory_order_relaxed); more != kRoomUnlimited) {
            grant = {true, mapped_bytes(), UINT64_MAX, 0};
            std::lock_guard<std::mutex> lock(mutex);
            grant.workers = reserved_ + more;
            return grant;
        }
        rlimit limit{};
        if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return grant;
        grant.capped = true;
        grant.start = mapped_bytes();
        if (grant.start == 0) return grant;
        const uint64_t free = limit.rlim_cur > grant.start ? limit.rlim_cur - grant.start : 0;
        grant.growth = half_less_reserve(free);
        std::lock_guard<std::mutex> lock(mutex);
        // glibc makes at most 8 arenas per processor; more threads share them.
        const uint64_t held = started_ * (kThreadRoomBytes - kArenaBytes) +
                              std::min(peak_, 8 * online_processors()) * kArenaBytes;
        grant.workers = half_less_reserve(free + std::min(held, UINT64_MAX - free)) / kThreadRoomBytes;
        return grant;
    }

    // Counts one more worker against the budget if `grant` lets its build
    // start another.
    bool reserve_worker(const Grant& grant) {
        std::lock_guard<std::mutex> lock(mutex);
        if (grant.capped) {
            if (reserved_ >= grant.workers) return false;
            const uint64_t mapped = mapped_bytes();
            const uint64_t taken = mapped > grant.start ? mapped - grant.start : 0;
            if (mapped == 0 || taken > grant.growth || grant.growth - taken < kThreadRoomBytes) return false;
        }
        ++reserved_;
        return true;
    }

    // The reserved worker's thread exists (and may make an arena of its own).
    void worker_started() {
        std::lock_guard<std::mutex> lock(mutex);
        peak_ = std::max(peak_, ++started_);
    }

    // Ends a reservation: its thread never started, or has been joined.
    void release_worker(bool started) {
        std::lock_guard<std::mutex> lock(mutex);
        --reserved_;
        started_ -= started;
    }

    // fork: the child has no workers; the parent's arenas are all free in it.
    void reset_in_child() noexcept {
        new (&mutex) std::mutex;
        reserved_ = started_ = 0;
    }

    std::mutex mutex;

private:
    uint64_t reserved_ = 0;  // from reservation until joined
    uint64_t started_ = 0;   // of those, the ones whose thread exists
    uint64_t peak_ = 0;      // most started at once: the arenas they may have made
};

// Created at module setup and leaked, like the pools.
WorkerRoom& worker_room() {
    static WorkerRoom* const room = new WorkerRoom;
    return *room;
}

std::atomic<uint64_t> failing_start{0};  // test hook: countdown to a refused start

// CPUs this process may run on.
std::size_t usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
    return online_processors();
}

}  // namespace

// ---------------------------------------------------------------------------
// Pool internals

struct PoolShared {
    std::mutex mutex;
    std::condition_variable wake;       // idle workers sleep here
    PoolJob* jobs = nullptr;            // posted jobs, each removed by its caller
    std::atomic<uint64_t> posts{0};     // bumped by every post and stop; spinning workers watch it
    std::size_t sleeping = 0;           // workers waiting on `wake`
    // Workers not waiting on `wake` (working or spinning); changed under the
    // mutex, read without it by a caller deciding whether to spin.
    std::atomic<std::size_t> awake{0};
    // Threads that may be awake at once, the caller's included: the CPUs this
    // process may use (at least 2). More threads than CPUs only take turns;
    // waking them all for every short run costs more than it gains.
    std::size_t width = 2;
    bool stopping = false;
    std::vector<char> quit;             // per worker: end now (headroom after a refused start)
};

namespace {

// The pool whose worker a thread is (null for every other thread). A
// pthread key rather than a thread_local: the callers' threads are not ours,
// and glibc would allocate a thread_local of this library lazily, on a
// caller's first run, ending the process if it cannot.
pthread_key_t worker_key() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        if (::pthread_key_create(&k, nullptr) != 0) fault("no thread-specific key for the pools");
        return k;
    }();
    return key;
}

const PoolShared* current_pool() { return static_cast<const PoolShared*>(::pthread_getspecific(worker_key())); }

// Spins for at most `limit` until done(); true when done() held. Yields now
// and then, so a spin gives way to other work on the same CPU.
template <class Done>
bool spin_until(Done done, std::chrono::microseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (unsigned i = 1;; ++i) {
        if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 64 == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return done();
            ::sched_yield();
        }
    }
}

// Runs often come in quick succession (DBA posts one per chunk of eight
// alignments): a worker that waits about as long as an item takes finds the
// next run without being woken. Spins end after a millisecond, so an idle
// process uses no CPU.
constexpr auto kWorkerSpin = std::chrono::microseconds(1000);
constexpr auto kCallerSpin = std::chrono::microseconds(1000);
constexpr std::size_t kMaxRange = 32;

// The first posted job with items left (under the pool's mutex).
PoolJob* open_job(const PoolShared& s) {
    for (PoolJob* j = s.jobs; j != nullptr; j = j->next_job)
        if (j->next.load(std::memory_order_relaxed) < j->n && !j->slot->stopped()) return j;
    return nullptr;
}

// Claims the next range of `job`: ranges shrink as the items run out, so long
// and short items even out across threads at the end of a run.
bool claim(PoolJob& job, std::size_t& begin, std::size_t& end) {
    std::size_t b = job.next.load(std::memory_order_relaxed);
    for (;;) {
        if (b >= job.n) return false;
        const std::size_t size = std::clamp<std::size_t>((job.n - b) / (4 * job.threads), 1, kMaxRange);
        if (job.next.compare_exchange_weak(b, b + size, std::memory_order_relaxed)) {
            begin = b;
            end = b + size;
            return true;
        }
    }
}

// Whether a thread of the pool may spin: the awake workers leave a CPU to
// the caller, so a spin never takes a CPU that a working thread needs.
bool may_spin(const PoolShared& s) { return s.awake.load(std::memory_order_relaxed) < s.width; }

// Takes ranges of `job` until none is left or the run has stopped.
void work_on(PoolJob& job) noexcept {
    std::size_t begin = 0, end = 0;
    while (!job.slot->stopped() && claim(job, begin, end)) job.run_range(job.body, *job.slot, begin, end);
}

void worker_loop(PoolShared& s, std::size_t index) {
    std::unique_lock<std::mutex> lock(s.mutex);
    s.awake.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
        if (s.stopping || s.quit[index]) break;
        if (PoolJob* job = open_job(s)) {
            job->holders.fetch_add(1, std::memory_order_relaxed);
            lock.unlock();
            work_on(*job);
            lock.lock();
            if (job->holders.fetch_sub(1, std::memory_order_acq_rel) == 1 && job->waiting) job->finished.notify_one();
            continue;
        }
        if (may_spin(s)) {
            const uint64_t seen = s.posts.load(std::memory_order_acquire);
            lock.unlock();
            const bool posted = spin_until([&] { return s.posts.load(std::memory_order_acquire) != seen; }, kWorkerSpin);
            lock.lock();
            if (posted) continue;
        }
        ++s.sleeping;
        s.awake.fetch_sub(1, std::memory_order_relaxed);
        s.wake.wait(lock, [&] { return s.stopping || s.quit[index] || open_job(s) != nullptr; });
        s.awake.fetch_add(1, std::memory_order_relaxed);
        --s.sleeping;
    }
    s.awake.fetch_sub(1, std::memory_order_relaxed);
}

// Handed to a new worker; the worker frees it. `ready` (on the starter's
// stack, or null) is signalled once the worker holds what it will work with.
struct WorkerStart {
    std::shared_ptr<PoolShared> shared;
    std::size_t index = 0;
    struct Ready {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    }* ready = nullptr;
};

// Takes, while the room check that let this thread start still holds, what
// it would otherwise take at its first item: its allocator arena, the
// exception machinery and its thread-specific slot. glibc ends the process when it
// cannot allocate a thread's TLS later on.
void warm_up(const PoolShared* shared) {
    ::pthread_setspecific(worker_key(), shared);
    if (void* p = std::malloc(256)) {
        static_cast<volatile char*>(p)[0] = 0;
        std::free(p);
    }
    try {
        throw 0;
    } catch (int) {
    }
}

void* worker_main(void* arg) {
    auto* start = static_cast<WorkerStart*>(arg);
    std::shared_ptr<PoolShared> shared = std::move(start->shared);
    const std::size_t index = start->index;
    WorkerStart::Ready* ready = start->ready;
    delete start;
    warm_up(shared.get());
    if (ready != nullptr) {
        std::lock_guard<std::mutex> lock(ready->mutex);
        ready->done = true;
        ready->cv.notify_one();  // under the lock: the starter's record outlives this call
    }
    worker_loop(*shared, index);
    return nullptr;
}

// pthread_create with an explicit stack size, asynchronous signals blocked
// (they belong to the process's own threads); an error code on failure.
int start_thread(pthread_t& thread, WorkerStart* start) {
    uint64_t k = failing_start.load(std::memory_order_relaxed);
    while (k > 0 && !failing_start.compare_exchange_weak(k, k - 1, std::memory_order_relaxed)) {}
    if (k == 1) return EAGAIN;

    pthread_attr_t attr;
    if (int rc = ::pthread_attr_init(&attr); rc != 0) return rc;
    int rc = ::pthread_attr_setstacksize(&attr, kStackBytes);
    if (rc == 0) {
        sigset_t all, old;
        ::sigfillset(&all);
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) ::sigdelset(&all, sig);
        ::pthread_sigmask(SIG_BLOCK, &all, &old);
        rc = ::pthread_create(&thread, &attr, worker_main, start);
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    ::pthread_attr_destroy(&attr);
    return rc;
}

}  // namespace

ThreadPool::ThreadPool(uint64_t threads) : shared_(std::make_shared<PoolShared>()) {
    const std::size_t want = std::clamp<uint64_t>(threads, 1, std::min(kMaxPoolThreads, kMaxLiveThreads)) - 1;
    if (want == 0) return;
    workers_ = std::make_unique<pthread_t[]>(want);
    shared_->quit.assign(want, 0);
    want_.store(want, std::memory_order_relaxed);
    shared_->width = std::max<std::size_t>(2, usable_cpus());
    start_workers(false);
}

void ThreadPool::add_missing_workers() {
    if (!short_of_workers()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_try_) return;
    const std::size_t had = count_.load(std::memory_order_relaxed);
    start_workers(true);
    // A try that gains nothing waits longer for the next (1 ms, doubling up
    // to a second), so a pool that stays short costs its calls next to nothing.
    retry_gap_ = count_.load(std::memory_order_relaxed) > had
                     ? std::chrono::milliseconds(0)
                     : std::clamp<std::chrono::milliseconds>(2 * retry_gap_, std::chrono::milliseconds(1),
                                                             std::chrono::seconds(1));
    next_try_ = now + retry_gap_;
}

void ThreadPool::start_workers(bool in_use) {
    WorkerRoom& room = worker_room();
    const WorkerRoom::Grant grant = room.measure();
    WorkerStart::Ready ready;
    for (std::size_t i = count_.load(std::memory_order_relaxed); i < want_.load(std::memory_order_relaxed); ++i) {
        if (!room.reserve_worker(grant)) break;
        auto* start = new (std::nothrow) WorkerStart{shared_, i, grant.capped ? &ready : nullptr};
        if (start == nullptr) {
            room.release_worker(false);
            break;
        }
        pthread_t thread;
        if (start_thread(thread, start) != 0) {
            delete start;
            room.release_worker(false);
            // The system refuses threads. A pool still being built leaves
            // some of its new ones to the rest of the process; one in use
            // keeps them, since its workers may be deep in other callers'
            // runs, and joining them under the pools' lock would hold those
            // callers up (or deadlock a nested call). Either way it asks for
            // no more: it now counts as full.
            if (!in_use) end_workers_after_refusal();
            want_.store(count_.load(std::memory_order_relaxed), std::memory_order_relaxed);
            break;
        }
        workers_[i] = thread;
        count_.store(i + 1, std::memory_order_release);
        room.worker_started();
        if (grant.capped) {
            // Measure the room only once this thread has taken its own.
            std::unique_lock<std::mutex> lock(ready.mutex);
            ready.cv.wait(lock, [&] { return ready.done; });
            ready.done = false;
        }
    }
}

// Leaves 16 of the started workers, plus one in eight, to the rest of the
// process (only while the pool is being built: no run can hold them).
void ThreadPool::end_workers_after_refusal() {
    const std::size_t count = count_.load(std::memory_order_relaxed);
    const std::size_t keep = count - std::min(count, 16 + count / 8);
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        for (std::size_t k = keep; k < count; ++k) shared_->quit[k] = 1;
        shared_->posts.fetch_add(1, std::memory_order_release);
    }
    shared_->wake.notify_all();
    count_.store(keep, std::memory_order_release);
    for (std::size_t k = keep; k < count; ++k) {
        ::pthread_join(workers_[k], nullptr);
        worker_room().release_worker(true);
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
        shared_->posts.fetch_add(1, std::memory_order_release);  // ends the spins too
    }
    shared_->wake.notify_all();
    const pthread_t self = ::pthread_self();
    const std::size_t count = count_.load(std::memory_order_acquire);
    for (std::size_t k = 0; k < count; ++k) {
        if (::pthread_equal(workers_[k], self)) {
            ::pthread_detach(workers_[k]);
        } else {
            ::pthread_join(workers_[k], nullptr);
        }
        worker_room().release_worker(true);
    }
}

void ThreadPool::run(PoolJob& job) {
    if (job.n == 0) return;
    job.threads = threads();
    if (job.threads == 1 || job.n == 1 || current_pool() == shared_.get()) {
        work_on(job);
        return;
    }
    // Held for the run: should the pool itself be dropped meanwhile by one of
    // its workers, that worker must not free what this caller still waits on.
    const std::shared_ptr<PoolShared> keep = shared_;
    PoolShared& s = *keep;
    std::size_t wake = 0;
    bool everyone = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        job.next_job = s.jobs;
        s.jobs = &job;
        s.posts.fetch_add(1, std::memory_order_release);
        // Awake workers (spinning ones find the job themselves) and the
        // caller already fill part of the width.
        const std::size_t awake = s.awake.load(std::memory_order_relaxed);
        const std::size_t free_cpus = s.width - 1 > awake ? s.width - 1 - awake : 0;
        wake = std::min({s.sleeping, job.n - 1, free_cpus});
        everyone = wake == s.sleeping;
    }
    if (everyone) {
        s.wake.notify_all();
    } else {
        for (std::size_t k = 0; k < wake; ++k) s.wake.notify_one();
    }
    work_on(job);

    // Every item is claimed now; wait only for the ranges workers still hold.
    if (may_spin(s)) spin_until([&] { return job.holders.load(std::memory_order_acquire) == 0; }, kCallerSpin);
    std::unique_lock<std::mutex> lock(s.mutex);
    for (PoolJob** p = &s.jobs; *p != nullptr; p = &(*p)->next_job) {
        if (*p == &job) {
            *p = job.next_job;
            break;
        }
    }
    if (job.holders.load(std::memory_order_acquire) > 0) {
        job.waiting = true;
        job.finished.wait(lock, [&] { return job.holders.load(std::memory_order_acquire) == 0; });
    }
}

// ---------------------------------------------------------------------------
// The default pool and the slot of batch_thread_pool

namespace {

struct Pools {
    std::mutex default_mutex;
    std::atomic<ThreadPool*> default_pool{nullptr};  // never destroyed
    std::mutex slot_mutex;
    uint64_t slot_count = 0;  // 0: empty
    std::shared_ptr<ThreadPool> slot_pool;
};

// Created when the module is set up, before any other thread can ask for a
// pool, and leaked: pools must not be torn down during static destruction,
// while threads may still run items.
Pools& pools() {
    static Pools* const p = new Pools;
    return *p;
}

// fork: the child has none of the pools' threads, and their locks may be in
// any state. Its pools start empty; the old objects are left unreleased.
// Locked in the order the pool builds take them.
void before_fork() noexcept {
    pools().default_mutex.lock();
    pools().slot_mutex.lock();
    worker_room().mutex.lock();
}

void after_fork_parent() noexcept {
    worker_room().mutex.unlock();
    pools().slot_mutex.unlock();
    pools().default_mutex.unlock();
}

void after_fork_child() noexcept {
    worker_room().reset_in_child();
    Pools& p = pools();
    new (&p.default_mutex) std::mutex;
    p.default_pool.store(nullptr);
    new (&p.slot_mutex) std::mutex;
    p.slot_count = 0;
    new (&p.slot_pool) std::shared_ptr<ThreadPool>;
}

}  // namespace

ForkHooks pool_fork_hooks() {
    pools();
    worker_room();
    worker_key();
    return {before_fork, after_fork_parent, after_fork_child};
}

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
    // An atomic rather than a function-local static: a fork must never find
    // the static's guard taken by another thread.
    static std::atomic<uint64_t> size{0};
    uint64_t n = size.load(std::memory_order_acquire);
    if (n != 0) return n;
    n = default_pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               online_processors());
    uint64_t unset = 0;
    return size.compare_exchange_strong(unset, n, std::memory_order_acq_rel) ? n : unset;
}

ThreadPool& default_pool() {
    Pools& p = pools();
    if (ThreadPool* pool = p.default_pool.load(std::memory_order_acquire)) {
        if (pool->short_of_workers()) {
            // Another caller already at it: run with the workers there are.
            std::unique_lock<std::mutex> lock(p.default_mutex, std::try_to_lock);
            if (lock) pool->add_missing_workers();
        }
        return *pool;
    }
    std::lock_guard<std::mutex> lock(p.default_mutex);
    ThreadPool* pool = p.default_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = new ThreadPool(default_pool_size());
        p.default_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

std::shared_ptr<ThreadPool> batch_thread_pool(uint64_t n_workers) {
    if (n_workers == 0) fault("batch_thread_pool called with 0 workers");
    Pools& p = pools();
    std::lock_guard<std::mutex> lock(p.slot_mutex);
    if (p.slot_pool && p.slot_count == n_workers) {
        p.slot_pool->add_missing_workers();
        return p.slot_pool;
    }

    // The replaced pool ends first (its threads are joined here unless a run
    // still holds it), so the new pool's threads reuse its stacks and
    // allocator arenas instead of adding their own.
    p.slot_pool.reset();
    p.slot_count = 0;
    std::shared_ptr<ThreadPool> pool;
    try {
        pool = std::make_shared<ThreadPool>(n_workers);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        value_error(std::string("failed to build rayon thread pool: ") + e.what());
    }
    p.slot_count = n_workers;
    p.slot_pool = pool;
    return pool;
}

uint64_t batch_thread_pool_cached_count() {
    Pools& p = pools();
    std::lock_guard<std::mutex> lock(p.slot_mutex);
    return p.slot_pool ? p.slot_count : 0;
}

void fail_thread_start_for_tests(uint64_t k) { failing_start.store(k, std::memory_order_relaxed); }

void room_for_workers_for_tests(uint64_t more) { room_for_tests.store(more, std::memory_order_relaxed); }

bool RunErrorSlot::record(std::string_view message) {
    stop_.store(true, std::memory_order_release);
    int expected = kEmpty;
    if (!state_.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) return false;
    message_.assign(message);  // std::bad_alloc leaves the slot claimed: the run fails with it
    state_.store(kReady, std::memory_order_release);
    return true;
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
