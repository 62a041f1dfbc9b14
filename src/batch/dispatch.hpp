// Generator dispatch of the batch road: one integer code names a generator
// core; its parameters travel as a flat float64 scalar vector and a list of
// float64 arrays, shared by every series of the batch.
//
// generate_series checks the counts the code needs, reads the scalar slots into
// the core's parameter record by its slot table (saturate.hpp) and runs the
// core on the series buffer with the series' own seed. Counts that are too small (and unknown codes) are
// ValueErrors; anything a core refuses is that core's own fault (gen_mar alone
// reports ValueErrors). Called on pool workers; touches no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "saturate.hpp"

namespace qm {

// ---- The code table --------------------------------------------------------

// A core as the dispatcher runs it: the series buffer, the whole scalar and
// array lists (the row's runner picks and converts its slots) and the seed.
using SeriesCore = void (*)(std::span<double> values, std::span<const double> scalars,
                            std::span<const std::vector<double>> arrays, uint64_t seed);

struct GenTypeRow {
    const char* name;        // as it appears in the count messages
    std::size_t min_scalars;
    std::size_t min_arrays;  // 0: no array-count check
    SeriesCore core;
};

// Largest code of the table; 17, 18, 23 and 26 are unused.
inline constexpr int32_t kMaxGenType = 30;

// The row of `gen_type`, or nullptr for a code with no generator (negative,
// above kMaxGenType, or unused).
const GenTypeRow* gen_type_row(int32_t gen_type) noexcept;

// Throws ValueError with the row's scalar-count message, then with its
// array-count message, when the given counts are below the row's minimums.
void check_param_counts(const GenTypeRow& row, std::size_t n_scalars, std::size_t n_arrays);

// Runs the core of `gen_type` on `values` (zeroed, the series' length).
// ValueError: "unknown generator type: {}", then the count messages, then whatever gen_mar reports.
// Faults of the cores propagate as qm::Fault.
void generate_series(int32_t gen_type, std::span<double> values, std::span<const double> scalar_params,
                     std::span<const std::vector<double>> array_params, uint64_t seed);

}  // namespace qm
