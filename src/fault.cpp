#include "fault.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <limits>
#include <new>

namespace qm {

void fault(const std::string& message) {
    std::fprintf(stderr, "quillmarten: fault: %s\n", message.c_str());
    std::fflush(stderr);
    throw Fault(message);
}

namespace {

std::size_t physical_bytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
}

}  // namespace

void check_allocation(std::size_t count, std::size_t item_bytes) {
    // An atomic rather than a function-local static: its first use is on pool
    // workers, and a fork must never find such a static's guard taken by
    // another thread. Two threads may both measure; they agree.
    static std::atomic<std::size_t> physical{0};
    std::size_t bytes = physical.load(std::memory_order_relaxed);
    if (bytes == 0) physical.store(bytes = physical_bytes(), std::memory_order_relaxed);
    if (item_bytes != 0 && count > bytes / item_bytes) throw std::bad_alloc();
}

}  // namespace qm
