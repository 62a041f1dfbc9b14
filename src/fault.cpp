#include "fault.hpp"

#include <unistd.h>

#include <cstdio>
#include <limits>
#include <new>

namespace qm {

void fault(const std::string& message) {
    std::fprintf(stderr, "quillmarten: fault: %s\n", message.c_str());
    std::fflush(stderr);
    throw Fault(message);
}

void check_allocation(std::size_t count, std::size_t item_bytes) {
    static const std::size_t physical = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long page = ::sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page <= 0) return std::numeric_limits<std::size_t>::max();
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
    }();
    if (item_bytes != 0 && count > physical / item_bytes) throw std::bad_alloc();
}

}  // namespace qm
