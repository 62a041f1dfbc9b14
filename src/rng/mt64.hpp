// The one random engine of the system (MT19937-64) and its draw recipes.
#pragma once

#include <bit>
#include <cstdint>
#include <random>

namespace qm {

// std::mt19937_64 is the reference MT19937-64 (init_genrand64 seeding,
// standard tempering); seeded values of the whole system rest on it.
struct Mt64 {
    std::mt19937_64 engine;
    explicit Mt64(uint64_t seed) : engine(seed) {}
};

inline uint64_t next_u64(Mt64& rng) { return rng.engine(); }

// The low half of one 64-bit output; consumes a whole output.
inline uint32_t next_u32(Mt64& rng) { return static_cast<uint32_t>(rng.engine()); }

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
