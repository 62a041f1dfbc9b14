#include "byte_extent.hpp"

#include <algorithm>

namespace qm {

std::optional<ByteExtent> byte_extent(std::ptrdiff_t item_size, std::span<const std::ptrdiff_t> dims,
                                      std::span<const std::ptrdiff_t> strides) noexcept {
    const bool malformed = item_size < 0 || dims.size() != strides.size() ||
                           std::ranges::any_of(dims, [](std::ptrdiff_t n) { return n < 0; });
    if (malformed) return std::nullopt;
    if (std::ranges::find(dims, 0) != dims.end()) return ByteExtent{0, 0};
    ByteExtent e{0, item_size};
    for (std::size_t d = 0; d < dims.size(); ++d) {
        // The last element along d sits this far from the first; a negative
        // stride reaches below the data pointer.
        std::ptrdiff_t reach = 0;
        if (__builtin_mul_overflow(dims[d] - 1, strides[d], &reach)) return std::nullopt;
        std::ptrdiff_t& bound = reach < 0 ? e.low : e.high;
        if (__builtin_add_overflow(bound, reach, &bound)) return std::nullopt;
    }
    return e;
}

std::optional<AddressRange> address_range(std::uintptr_t data, ByteExtent extent) noexcept {
    // Mixed-sign operands: the builtin adds exactly and reports whether the
    // sum fits in uintptr_t, below zero included.
    AddressRange r{};
    if (__builtin_add_overflow(data, extent.low, &r.start) || __builtin_add_overflow(data, extent.high, &r.end))
        return std::nullopt;
    return r;
}

}  // namespace qm
