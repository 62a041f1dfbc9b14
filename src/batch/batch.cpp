#include "batch/batch.hpp"

#include <string>

#include "batch/dispatch.hpp"
#include "batch/pool.hpp"
#include "fault.hpp"

namespace qm {
namespace {

// Steps shared by both workers: allocate, generate, inject.
SeriesResult generate_one(const BatchSpec& spec, std::size_t i, bool check_seeds) {
    int32_t length = spec.lengths[i];
    if (length < 0) fault("negative series length: " + std::to_string(length));
    if (check_seeds && i >= spec.gen_seeds.size()) fault("gen_seeds has no seed for series " + std::to_string(i));
    SeriesResult r;
    r.values.assign(static_cast<std::size_t>(length), 0.0);
    generate_series(spec.gen_type, r.values, spec.scalar_params, spec.array_params, spec.gen_seeds[i]);
    if (check_seeds && 3 * i + 2 >= spec.pi_seeds.size())
        fault("pi_seeds has no pattern seeds for series " + std::to_string(i));
    r.indices = apply_pattern_injection(r.values, spec.pi_config, spec.pi_seeds[3 * i], spec.pi_seeds[3 * i + 1],
                                        spec.pi_seeds[3 * i + 2]);
    return r;
}

}  // namespace

std::vector<SeriesResult> run_batch(const BatchSpec& spec, uint64_t n_workers) {
    const std::size_t n = spec.lengths.size();
    if (spec.pi_seeds.size() / 3 < n)
        value_error("pi_seeds length " + std::to_string(spec.pi_seeds.size()) + " < " + std::to_string(3 * n) +
                    " (n_series \u00d7 3)");
    if (spec.gen_seeds.size() < n)
        value_error("gen_seeds length " + std::to_string(spec.gen_seeds.size()) + " < " + std::to_string(n) +
                    " (n_series)");
    return map_parallel(n, n_workers, [&](std::size_t i) { return generate_one(spec, i, false); });
}

std::vector<std::vector<SeriesResult>> run_multi_batch(const std::vector<BatchSpec>& specs, uint64_t n_workers) {
    struct Item {
        std::size_t spec;
        std::size_t series;
    };
    std::vector<Item> items;
    for (std::size_t s = 0; s < specs.size(); ++s)
        for (std::size_t i = 0; i < specs[s].lengths.size(); ++i) items.push_back({s, i});
    std::vector<SeriesResult> flat = map_parallel(items.size(), n_workers, [&](std::size_t k) {
        return generate_one(specs[items[k].spec], items[k].series, true);
    });
    // The work list is ordered by entry, so each entry's results are one run of it.
    std::vector<std::vector<SeriesResult>> grouped(specs.size());
    std::size_t k = 0;
    for (std::size_t s = 0; s < specs.size(); ++s) {
        grouped[s].reserve(specs[s].lengths.size());
        for (std::size_t i = 0; i < specs[s].lengths.size(); ++i) grouped[s].push_back(std::move(flat[k++]));
    }
    return grouped;
}

}  // namespace qm
