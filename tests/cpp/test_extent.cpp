// Byte extents of strided arrays: exact at ordinary strides, and no overflow
// (this suite runs under UBSan) at strides that reach past any address space.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "byte_extent.hpp"

namespace {

using qm::AddressRange;
using qm::ByteExtent;
using Dims = std::vector<std::ptrdiff_t>;

constexpr std::ptrdiff_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
constexpr std::ptrdiff_t kMin = std::numeric_limits<std::ptrdiff_t>::min();
constexpr std::ptrdiff_t k62 = std::ptrdiff_t{1} << 62;
constexpr std::ptrdiff_t k60 = std::ptrdiff_t{1} << 60;

struct Case {
    std::ptrdiff_t item;
    Dims dims, strides;
    std::optional<ByteExtent> want;
};

void check(const std::vector<Case>& cases) {
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        const auto& [item, dims, strides, want] = cases[c];
        EXPECT_EQ(qm::byte_extent(item, dims, strides), want);
    }
}

TEST(Extent, OrdinaryStrides) {
    check({
        {8, {5}, {8}, ByteExtent{0, 40}},
        {8, {5}, {-8}, ByteExtent{-32, 8}},            // reversed: data points at the last element
        {8, {5}, {16}, ByteExtent{0, 72}},             // every other element
        {4, {5}, {0}, ByteExtent{0, 4}},               // broadcast
        {8, {1}, {k62}, ByteExtent{0, 8}},             // one element: its stride never applies
        {8, {3, 4}, {32, 8}, ByteExtent{0, 96}},       // C order
        {8, {3, 4}, {8, 24}, ByteExtent{0, 96}},       // Fortran order
        {8, {3, 4}, {-32, 8}, ByteExtent{-64, 32}},    // rows reversed
        {8, {3, 4}, {-32, -8}, ByteExtent{-88, 8}},
        {8, {}, {}, ByteExtent{0, 8}},                 // a scalar
        {2, {1, 1, 3}, {7, -7, 2}, ByteExtent{0, 6}},
    });
}

TEST(Extent, WithoutElementsHoldsNoByte) {
    // No arithmetic on the strides at all, however large.
    check({
        {8, {0}, {8}, ByteExtent{0, 0}},
        {8, {0}, {kMin}, ByteExtent{0, 0}},
        {8, {kMax, 0}, {kMax, 8}, ByteExtent{0, 0}},
        {8, {3, 0, 5}, {k62, -k62, k62}, ByteExtent{0, 0}},
    });
}

TEST(Extent, ExtremeStrides) {
    check({
        // 2^62: two elements fit, three overflow the product, five would wrap it to 0.
        {8, {2}, {k62}, ByteExtent{0, k62 + 8}},
        {8, {3}, {k62}, std::nullopt},
        {8, {5}, {k62}, std::nullopt},
        {8, {2}, {-k62}, ByteExtent{-k62, 8}},
        {8, {3}, {-k62}, ByteExtent{kMin, 8}},         // exactly -2^63
        {8, {4}, {-k62}, std::nullopt},
        // 2^60: eight elements fit, nine reach 2^63.
        {8, {8}, {k60}, ByteExtent{0, 7 * k60 + 8}},
        {8, {9}, {k60}, std::nullopt},
        {8, {9}, {-k60}, ByteExtent{kMin, 8}},
        {8, {10}, {-k60}, std::nullopt},
        {8, {kMax}, {8}, std::nullopt},
        {1, {kMax}, {1}, ByteExtent{0, kMax}},
        {1, {2}, {kMin}, ByteExtent{kMin, 1}},
        // A product that fits, then the item size or another dimension tips the sum.
        {8, {2}, {kMax - 8}, ByteExtent{0, kMax}},
        {8, {2}, {kMax - 7}, std::nullopt},
        {kMax, {2}, {1}, std::nullopt},
        {8, {2, 2}, {k62, k62}, std::nullopt},
        {8, {2, 2}, {-k62, -k62}, ByteExtent{kMin, 8}},
        {8, {2, 3}, {-k62, -k62}, std::nullopt},
        // Signs kept apart: reaches of opposite signs neither cancel nor add up.
        {8, {2, 3}, {k62, -k62}, ByteExtent{kMin, k62 + 8}},
        {8, {2, 2, 2}, {k62, k62, -k62}, std::nullopt},
    });
}

TEST(Extent, MalformedShapesAreRefused) {
    check({
        {8, {3}, {}, std::nullopt},
        {8, {-1}, {8}, std::nullopt},
        {8, {0, kMin}, {8, 8}, std::nullopt},
        {-8, {3}, {8}, std::nullopt},
    });
}

TEST(Extent, AddressRangeStaysInTheAddressSpace) {
    constexpr std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();
    EXPECT_EQ(qm::address_range(0x1000, {-16, 8}), (AddressRange{0xff0, 0x1008}));
    EXPECT_EQ(qm::address_range(0x1000, {-0x1000, 0}), (AddressRange{0, 0x1000}));
    EXPECT_EQ(qm::address_range(0x1000, {-0x1001, 8}), std::nullopt);
    EXPECT_EQ(qm::address_range(top - 8, {-8, 8}), (AddressRange{top - 16, top}));
    EXPECT_EQ(qm::address_range(top - 8, {0, 9}), std::nullopt);
    EXPECT_EQ(qm::address_range(0, {kMin, 0}), std::nullopt);
    EXPECT_EQ(qm::address_range(top, {kMin, 0}), (AddressRange{top - (std::uintptr_t{1} << 63), top}));
}

TEST(Extent, ArraysPastTheAddressSpaceHaveNoRange) {
    // The strides a caller can give NumPy, at a heap address: each fails in
    // one step or the other, never with a wrapped range.
    const std::uintptr_t heap = 0x6030'0001'5490;
    for (const auto& [n, stride] : std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>>{
             {3, k62}, {3, -k62}, {9, k60}, {9, -k60}, {2, -k62}, {5, k62}}) {
        SCOPED_TRACE(testing::Message() << n << " x " << stride);
        const Dims dims{n}, strides{stride};
        const auto extent = qm::byte_extent(8, dims, strides);
        EXPECT_FALSE(extent && qm::address_range(heap, *extent));
    }
}

}  // namespace
