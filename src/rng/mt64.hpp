// The one random engine of the system (MT19937-64) and its draw recipes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstddef>

namespace qm {

// MT19937-64: init_genrand64 seeding, the standard twist and tempering, so the
// stream is the reference one (std::mt19937_64 gives the same values; the
// tests hold us to it). Our own because the draw is the innermost step of
// every generator: the twist is branch-free and the 312 outputs of a block
// are tempered together when the block is made, so a draw is one load.
struct Mt64 {
    static constexpr std::size_t kN = 312;
    static constexpr std::size_t kM = 156;
    uint64_t state[kN];
    uint64_t tempered[kN];
    std::size_t position;

    explicit Mt64(uint64_t seed) {
        state[0] = seed;
        for (std::size_t i = 1; i < kN; ++i)
            state[i] = 6364136223846793005ULL * (state[i - 1] ^ (state[i - 1] >> 62)) + i;
        position = kN;
    }

    // Regenerates the 312 words in index order (words 0..155 use the old
    // words 156..311, the later ones the new words 0..155) and tempers them.
    void refill() noexcept {
        constexpr uint64_t kUpper = 0xFFFFFFFF80000000ULL;
        constexpr uint64_t kLower = 0x7FFFFFFFULL;
        constexpr uint64_t kMatrix = 0xB5026F5AA96619E9ULL;
        auto twist = [](uint64_t hi, uint64_t lo, uint64_t far) {
            const uint64_t x = (hi & kUpper) | (lo & kLower);
            return far ^ (x >> 1) ^ (kMatrix & (0 - (x & 1)));
        };
        std::size_t i = 0;
        for (; i < kN - kM; ++i) state[i] = twist(state[i], state[i + 1], state[i + kM]);
        for (; i < kN - 1; ++i) state[i] = twist(state[i], state[i + 1], state[i + kM - kN]);
        state[kN - 1] = twist(state[kN - 1], state[0], state[kM - 1]);
        for (std::size_t k = 0; k < kN; ++k) {
            uint64_t y = state[k];
            y ^= (y >> 29) & 0x5555555555555555ULL;
            y ^= (y << 17) & 0x71D67FFFEDA60000ULL;
            y ^= (y << 37) & 0xFFF7EEE000000000ULL;
            y ^= y >> 43;
            tempered[k] = y;
        }
        position = 0;
    }
};

inline uint64_t next_u64(Mt64& rng) {
    if (rng.position >= Mt64::kN) rng.refill();
    return rng.tempered[rng.position++];
}

// The low half of one 64-bit output; consumes a whole output.
inline uint32_t next_u32(Mt64& rng) { return static_cast<uint32_t>(next_u64(rng)); }

// [0, 1), multiple of 2^-53.
inline double uniform01(Mt64& rng) {
    return static_cast<double>(next_u64(rng) >> 11) * 0x1.0p-53;
}

// [0, 1), multiple of 2^-52: top 52 bits in the mantissa of [1, 2), minus 1.
inline double uniform01_52(Mt64& rng) {
    return std::bit_cast<double>(0x3FF0000000000000ULL | (next_u64(rng) >> 12)) - 1.0;
}

// (0, 1): the same [1, 2) value minus (1 - 2^-53); never 0, never 1.
inline double uniform_open01(Mt64& rng) {
    return std::bit_cast<double>(0x3FF0000000000000ULL | (next_u64(rng) >> 12)) - (1.0 - 0x1.0p-53);
}

}  // namespace qm
