// Failure kinds shared by every numerical core.
//
// A `Fault` is a broken guard (a sampler refusing a parameter, an index out of
// range, a broken invariant): it stops the call and reaches Python as
// PanicException. A `ValueError` is a message a caller can act on (a bad
// argument found by a check or returned by a core): it reaches Python as
// ValueError with exactly that text. Neither touches Python, so cores and
// their C++ tests can use them without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qm {

struct Fault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes a short report to stderr (where the fault happens, so concurrent
// faults on worker threads each print once) and throws Fault.
[[noreturn]] void fault(const std::string& message);

// Throws ValueError(message); no report, the caller will see it.
[[noreturn]] inline void value_error(const std::string& message) { throw ValueError(message); }

// The length check every Python-road generator makes first.
inline void check_length(int32_t length) {
    if (length <= 0) value_error("length must be > 0");
}

// Throws std::bad_alloc (MemoryError in Python) when `count` items of
// `item_bytes` each cannot be held by this machine at all. Lazily committed
// memory would otherwise let such an allocation "succeed" and the process be
// killed when the pages are touched.
void check_allocation(std::size_t count, std::size_t item_bytes);

}  // namespace qm
