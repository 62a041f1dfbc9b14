// The batch road: many series of one or more generators, generated and
// injected in parallel, results in input order.
#pragma once

#include <cstdint>
#include <vector>

#include "pattern_injection/config.hpp"

namespace qm {

// The inputs of one generator and its series (a generate_batch call or one
// entry of generate_multi_batch's `specs`), read-only while its series run.
struct BatchSpec {
    int32_t gen_type = 0;
    std::vector<double> scalar_params;
    std::vector<std::vector<double>> array_params;
    std::vector<int32_t> lengths;
    std::vector<uint64_t> gen_seeds;
    std::vector<uint64_t> pi_seeds;
    PatternInjectionConfig pi_config;
};

// One finished series with its three index lists.
struct SeriesResult {
    std::vector<double> values;
    InjectionIndices indices;
};

// generate_batch: checks the seed counts ("pi_seeds length {} < {} (n_series × 3)",
// then "gen_seeds length {} < {} (n_series)") and runs every series on the
// pool for n_workers (0 = default pool). Generator messages become
// ValueError (first recorded in time); faults propagate.
std::vector<SeriesResult> run_batch(const BatchSpec& spec, uint64_t n_workers);

// generate_multi_batch: all series of all entries as one work list on one pool,
// regrouped entry by entry, in series order. Seeds are not checked up front: a
// series without its seeds is a fault when the run reaches it. The pool is
// obtained even when there is no series.
std::vector<std::vector<SeriesResult>> run_multi_batch(const std::vector<BatchSpec>& specs, uint64_t n_workers);

}  // namespace qm
