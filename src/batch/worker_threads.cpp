#include "batch/worker_threads.hpp"

#include <oneapi/tbb/task_arena.h>

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace qm {

namespace {

using ThreadRoutine = void* (*)(void*);
using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, ThreadRoutine, void*);

// ---------------------------------------------------------------------------
// Parked threads

enum : int { kStarting = 0, kReady = 1, kGiven = 2, kReleased = 3 };

struct Parked {
    pthread_t handle{};
    std::atomic<int> state{kStarting};
    ThreadRoutine routine = nullptr;
    void* arg = nullptr;
};

struct Warm {};

void* parked_main(void* self) {
    auto* p = static_cast<Parked*>(self);
    // The allocator arena the thread will work with, taken now so that its
    // cost is counted while the threads are parked: with glibc a thread's
    // first allocation usually makes an arena of its own, 64 MiB of address
    // space.
    void* block = std::malloc(64);
    std::free(block);
    // The C++ runtime keeps a thread's exception state in storage made at its
    // first throw; a worker whose first exception is a bad_alloc would find
    // no memory for it and end the process.
    try {
        throw Warm{};
    } catch (const Warm&) {
    }
    p->state.store(kReady, std::memory_order_release);
    p->state.notify_all();
    int state = kReady;
    while ((state = p->state.load(std::memory_order_acquire)) == kReady) p->state.wait(kReady);
    if (state == kReleased) return nullptr;
    return p->routine(p->arg);
}

struct Reserve {
    std::mutex mutex;
    std::vector<Parked*> ready;
};

Reserve& reserve() {
    static Reserve* r = new Reserve();  // leaked: TBB threads may take from it during exit
    return *r;
}

Parked* take_parked() {
    Reserve& r = reserve();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.ready.empty()) return nullptr;
    Parked* p = r.ready.back();
    r.ready.pop_back();
    return p;
}

void release(Parked* p) {
    p->state.store(kReleased, std::memory_order_release);
    p->state.notify_all();
    pthread_join(p->handle, nullptr);
    delete p;
}

// ---------------------------------------------------------------------------
// TBB's pthread_create

CreateFn real_create = &::pthread_create;

// Takes a parked thread and has it run `routine`; the handle is that of a
// joinable thread that ends when the routine returns, as TBB expects.
int create_for_tbb(pthread_t* thread, const pthread_attr_t* attr, ThreadRoutine routine, void* arg) {
    Parked* p = take_parked();
    if (p == nullptr) return real_create(thread, attr, routine, arg);
    *thread = p->handle;
    p->routine = routine;
    p->arg = arg;
    // The Parked record stays: the thread reads it up to the routine's call.
    p->state.store(kGiven, std::memory_order_release);
    p->state.notify_all();
    return 0;
}

// The relocations that fill an import slot with a function's address.
#if defined(__x86_64__)
#define QM_IMPORT_ROUTING 1
bool points_to_slot(uint64_t type) { return type == R_X86_64_JUMP_SLOT || type == R_X86_64_GLOB_DAT; }
#elif defined(__aarch64__)
#define QM_IMPORT_ROUTING 1
bool points_to_slot(uint64_t type) { return type == R_AARCH64_JUMP_SLOT || type == R_AARCH64_GLOB_DAT; }
#endif

#ifdef QM_IMPORT_ROUTING
struct Search {
    uintptr_t inside;  // an address in libtbb's code
    bool routed = false;
};

// Rewrites every import slot of pthread_create in the loaded object `info`
// (libtbb) to create_for_tbb. Slots in the read-only-after-relocation range
// are made writable for the moment of the write.
bool route_imports(const dl_phdr_info* info) {
    const uintptr_t base = info->dlpi_addr;
    const ElfW(Dyn)* dynamic = nullptr;
    uintptr_t relro_begin = 0, relro_end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + ph.p_vaddr);
        if (ph.p_type == PT_GNU_RELRO) {
            relro_begin = base + ph.p_vaddr;
            relro_end = relro_begin + ph.p_memsz;
        }
    }
    if (dynamic == nullptr) return false;
    // The loader has relocated these addresses in place on most systems; an
    // unrelocated one is an offset from the base.
    auto address = [base](ElfW(Addr) a) { return a < base ? a + base : a; };
    const ElfW(Sym)* symbols = nullptr;
    const char* names = nullptr;
    const ElfW(Rela)* tables[2] = {nullptr, nullptr};
    std::size_t sizes[2] = {0, 0};
    bool plt_is_rela = true;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(address(d->d_un.d_ptr)); break;
            case DT_STRTAB: names = reinterpret_cast<const char*>(address(d->d_un.d_ptr)); break;
            case DT_JMPREL: tables[0] = reinterpret_cast<const ElfW(Rela)*>(address(d->d_un.d_ptr)); break;
            case DT_PLTRELSZ: sizes[0] = d->d_un.d_val; break;
            case DT_PLTREL: plt_is_rela = d->d_un.d_val == DT_RELA; break;
            case DT_RELA: tables[1] = reinterpret_cast<const ElfW(Rela)*>(address(d->d_un.d_ptr)); break;
            case DT_RELASZ: sizes[1] = d->d_un.d_val; break;
            default: break;
        }
    }
    if (symbols == nullptr || names == nullptr || !plt_is_rela) return false;
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    bool routed = false;
    for (int t = 0; t < 2; ++t) {
        if (tables[t] == nullptr) continue;
        for (std::size_t k = 0; k < sizes[t] / sizeof(ElfW(Rela)); ++k) {
            const ElfW(Rela)& r = tables[t][k];
            if (!points_to_slot(ELF64_R_TYPE(r.r_info))) continue;
            const ElfW(Sym)& sym = symbols[ELF64_R_SYM(r.r_info)];
            if (std::strcmp(names + sym.st_name, "pthread_create") != 0) continue;
            auto* slot = reinterpret_cast<CreateFn*>(base + r.r_offset);
            const uintptr_t at = reinterpret_cast<uintptr_t>(slot);
            void* first = reinterpret_cast<void*>(at & ~(page - 1));
            const bool read_only = at >= relro_begin && at < relro_end;
            if (::mprotect(first, page, PROT_READ | PROT_WRITE) != 0) return false;
            __atomic_store_n(slot, &create_for_tbb, __ATOMIC_SEQ_CST);
            if (read_only) ::mprotect(first, page, PROT_READ);
            routed = true;
        }
    }
    return routed;
}

int route_in_object(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && search->inside >= begin && search->inside < begin + ph.p_memsz) {
            search->routed = route_imports(info);
            return 1;
        }
    }
    return 0;
}
#endif

// ---------------------------------------------------------------------------
// Room for the threads

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

// What parked threads may take under an address-space cap, with `mapped`
// bytes mapped now: half of the room left, less what the scheduler and the
// call itself map besides; nothing without a cap.
std::optional<uint64_t> room_for_threads(uint64_t mapped) {
    constexpr uint64_t kBesides = uint64_t{16} << 20;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const uint64_t half = mapped < limit.rlim_cur ? (limit.rlim_cur - mapped) / 2 : 0;
    return half > kBesides ? half - kBesides : 0;
}

// The most one more parked thread can map: its stack and guard page, an
// allocator arena of its own (glibc reserves 64 MiB for each) and what TBB
// adds for a worker.
uint64_t most_one_thread_maps(std::size_t stack_size) {
    constexpr uint64_t kAllocatorArena = uint64_t{64} << 20;
    constexpr uint64_t kSlack = uint64_t{1} << 20;
    const uint64_t stack = stack_size > 0 ? stack_size : uint64_t{8} << 20;
    return stack + static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) + kAllocatorArena + kSlack;
}

// Threads left free for the rest of the process once one has failed to start.
constexpr uint64_t kMinHeadroom = 16;

}  // namespace

bool route_tbb_thread_creation() {
#ifdef QM_IMPORT_ROUTING
    static const bool routed = [] {
        Search search{reinterpret_cast<uintptr_t>(&tbb::detail::r1::max_concurrency)};
        dl_iterate_phdr(&route_in_object, &search);
        return search.routed;
    }();
    return routed;
#else
    return false;
#endif
}

uint64_t park_worker_threads(uint64_t want, std::size_t stack_size) {
    // Room to hand the new threads over, made before any is started: a
    // thread started and then lost would hold its room for nothing.
    std::vector<Parked*> parked;
    parked.reserve(static_cast<std::size_t>(want));
    Reserve& r = reserve();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.ready.reserve(r.ready.size() + static_cast<std::size_t>(want));
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    if (stack_size > 0) pthread_attr_setstacksize(&attr, stack_size);
    const uint64_t mapped_before = mapped_bytes();
    const std::optional<uint64_t> allowance = room_for_threads(mapped_before);
    const uint64_t one = most_one_thread_maps(stack_size);
    bool failed = false;
    for (uint64_t i = 0; i < want; ++i) {
        if (allowance) {
            const uint64_t mapped = mapped_bytes();
            const uint64_t used = mapped > mapped_before ? mapped - mapped_before : 0;
            if (used + one > *allowance) break;
        }
        auto* p = new (std::nothrow) Parked();
        if (p == nullptr || pthread_create(&p->handle, &attr, &parked_main, p) != 0) {
            delete p;
            failed = true;
            break;
        }
        for (int s = p->state.load(std::memory_order_acquire); s == kStarting; s = p->state.load(std::memory_order_acquire))
            p->state.wait(kStarting);
        parked.push_back(p);
    }
    pthread_attr_destroy(&attr);
    if (failed) {
        const uint64_t headroom = std::min<uint64_t>(parked.size(), kMinHeadroom + parked.size() / 8);
        for (uint64_t k = 0; k < headroom; ++k) {
            release(parked.back());
            parked.pop_back();
        }
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ready.insert(r.ready.end(), parked.begin(), parked.end());
    return parked.size();
}

uint64_t parked_worker_threads() {
    Reserve& r = reserve();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.ready.size();
}

}  // namespace qm
