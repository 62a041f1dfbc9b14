// The bytes a strided array's elements occupy, computed without overflow:
// strides can be anything a caller sets (NumPy's as_strided takes any value),
// so every product and sum is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qm {

// Offsets from the array's data pointer: [low, high). low == high when the
// array holds no byte.
struct ByteExtent {
    std::ptrdiff_t low;
    std::ptrdiff_t high;
    friend bool operator==(const ByteExtent&, const ByteExtent&) = default;
};

// The extent of an array with the given item size and, per dimension, element
// count and stride in bytes of either sign; {0, 0} when any count is 0.
// nullopt when an offset does not fit in ptrdiff_t (the array then spans more
// than any address space), and for a negative size or count or dims and
// strides of different lengths.
std::optional<ByteExtent> byte_extent(std::ptrdiff_t item_size, std::span<const std::ptrdiff_t> dims,
                                      std::span<const std::ptrdiff_t> strides) noexcept;

// [data + low, data + high) as addresses; nullopt when either end falls
// outside the address space.
struct AddressRange {
    std::uintptr_t start;
    std::uintptr_t end;
    friend bool operator==(const AddressRange&, const AddressRange&) = default;
};
std::optional<AddressRange> address_range(std::uintptr_t data, ByteExtent extent) noexcept;

}  // namespace qm
