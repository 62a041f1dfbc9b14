// Saturating float64 -> integer conversions (truncate toward zero, clamp to
// the target range, NaN gives 0; never a cast of an out-of-range value) and
// the parameter slots of the batch road built on them.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace qm {

inline int32_t saturate_to_i32(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}

inline int64_t saturate_to_i64(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 0x1.0p63) return std::numeric_limits<int64_t>::max();
    if (x <= -0x1.0p63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

inline uint64_t saturate_to_u64(double x) noexcept {
    if (std::isnan(x) || x <= 0.0) return 0;
    if (x >= 0x1.0p64) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(x);
}

// ---- Parameter slots ---------------------------------------------------------
// On the batch road a generator's parameters arrive as float64 slots. Each
// generator has one plain record of typed parameters and one table that maps
// slot i to a member; the member's type gives the slot's kind:
//   I int32_t   clamp to the int32 range, truncate toward zero; NaN gives 0
//   U uint64_t  truncate to an unsigned size; negative and NaN give 0, values
//               at or beyond 2^64 the largest value
//   B bool      true when not equal to 0.0 (NaN is true, -0.0 false)
//   F double    as given

inline int32_t slot_i32(double v) noexcept { return saturate_to_i32(v); }
inline uint64_t slot_u64(double v) noexcept { return saturate_to_u64(v); }
inline bool slot_flag(double v) noexcept { return v != 0.0; }

template <class Rec>
struct Slot {
    std::string_view name;  // the Python parameter's name
    std::variant<int32_t Rec::*, uint64_t Rec::*, bool Rec::*, double Rec::*> member;
    constexpr char kind() const noexcept { return "IUBF"[member.index()]; }
};

// The record of the first N slots (the caller has checked that they exist).
template <class Rec, std::size_t N>
Rec record_from_slots(const std::array<Slot<Rec>, N>& table, std::span<const double> s) noexcept {
    Rec r{};
    for (std::size_t i = 0; i < N; ++i) {
        const double v = s[i];
        std::visit(
            [&]<class T>(T Rec::*m) {
                if constexpr (std::is_same_v<T, int32_t>) r.*m = slot_i32(v);
                else if constexpr (std::is_same_v<T, uint64_t>) r.*m = slot_u64(v);
                else if constexpr (std::is_same_v<T, bool>) r.*m = slot_flag(v);
                else r.*m = v;
            },
            table[i].member);
    }
    return r;
}

// The slot conversion applied to every element, in order.
inline std::vector<int32_t> saturating_i32_values(std::span<const double> values) {
    std::vector<int32_t> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = slot_i32(values[i]);
    return out;
}

}  // namespace qm
