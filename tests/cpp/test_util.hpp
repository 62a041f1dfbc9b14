// Helpers shared by the C++ tests: engine positions, bit-exact comparison,
// hashing of long runs, and the text of a fault or error a call throws.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "rng/mt64.hpp"

namespace qm_test {

// True when both engines are at the same point of the same stream. Works on
// copies, so a test can go on drawing from either.
inline bool same_position(const qm::Mt64& a, const qm::Mt64& b) {
    qm::Mt64 x = a;
    qm::Mt64 y = b;
    for (int i = 0; i < 3; ++i) {
        if (qm::next_u64(x) != qm::next_u64(y)) return false;
    }
    return true;
}

// Raw outputs `engine` has consumed since it was seeded with `seed`; -1 when
// it is not within the first million.
inline std::int64_t draws_used(const qm::Mt64& engine, std::uint64_t seed) {
    qm::Mt64 ref(seed);
    for (std::int64_t n = 0; n < 1000000; ++n) {
        if (same_position(engine, ref)) return n;
        qm::next_u64(ref);
    }
    return -1;
}

inline std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

// Equal to the bit: 0.0 and -0.0 differ, a NaN matches only the same NaN.
inline bool same_bits(double a, double b) { return bits_of(a) == bits_of(b); }

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}

// FNV-1a over the eight bytes of v, low byte first: pins a long run of values
// in one number.
inline constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ULL;

inline std::uint64_t fnv1a(std::uint64_t h, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        h ^= (v >> (8 * i)) & 0xFF;
        h *= 0x100000001B3ULL;
    }
    return h;
}

// What a call that should throw returns instead when it does not.
inline constexpr const char* kNoFault = "<no fault>";
inline constexpr const char* kNoError = "<no error>";

// The message of the E that `f()` throws, or `none` when it returns. Other
// exceptions pass through and fail the test.
template <class E, class F>
std::string thrown_text(F&& f, const char* none) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return none;
}

template <class F>
std::string fault_text(F&& f) {
    return thrown_text<qm::Fault>(std::forward<F>(f), kNoFault);
}

template <class F>
std::string value_error_text(F&& f) {
    return thrown_text<qm::ValueError>(std::forward<F>(f), kNoError);
}

}  // namespace qm_test
