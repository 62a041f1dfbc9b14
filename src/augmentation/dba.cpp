#include "augmentation/dba.hpp"

#include <algorithm>
#include <cmath>

#include "batch/pool.hpp"
#include "fault.hpp"

namespace qm {

namespace {

// Alignments run in chunks of this many series and copies in chunks of this
// many weightings (the signal-check cadence).
constexpr std::size_t kChunk = 8;

bool weighting_ok(const std::vector<double>& w, std::size_t n_series) {
    if (w.size() != n_series) return false;
    double sum = 0.0;
    for (double v : w) {
        if (!std::isfinite(v) || v < 0.0) return false;
        sum += v;
    }
    return std::isfinite(sum) && sum > 0.0;
}

void signal_check(const std::function<void()>& check_signals) {
    if (check_signals) check_signals();
}

struct DbaRun {
    std::span<const std::span<const double>> series;
    const std::vector<std::vector<double>>& weights;
    const std::vector<DtwPath>& initial_paths;
    std::optional<std::size_t> band;
    std::vector<std::vector<double>>& barycenters;
};

// One iteration for copy k. Iteration 0 reuses the reference's alignments
// (every barycentre still equals the reference); later ones realign. With one
// copy its alignments are the parallel work, otherwise the copies are.
void dba_update_worker(const DbaRun& run, std::size_t k, std::uint64_t iteration) {
    std::vector<double>& bary = run.barycenters[k];
    const std::vector<double>& w = run.weights[k];

    std::vector<DtwPath> fresh;
    const std::vector<DtwPath>* paths = &run.initial_paths;
    if (iteration > 0) {
        fresh = dtw_alignments_parallel(bary, run.series, run.band, run.barycenters.size() == 1);
        paths = &fresh;
    }

    const std::size_t n = bary.size();
    std::vector<double> sums(n, 0.0);
    std::vector<double> totals(n, 0.0);
    for (std::size_t s = 0; s < run.series.size(); ++s) {
        const std::span<const double> values = run.series[s];
        const double ws = w[s];
        for (const auto& [i, j] : (*paths)[s]) {
            if (i >= n || j >= values.size()) fault("DBA path pair outside its series");
            sums[i] += values[j] * ws;
            totals[i] += ws;
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        if (totals[i] > 0.0) bary[i] = sums[i] / totals[i];
}

}  // namespace

std::vector<DtwPath> dtw_alignments_parallel(std::span<const double> x,
                                             std::span<const std::span<const double>> series,
                                             std::optional<std::size_t> band, bool parallel) {
    std::vector<DtwPath> paths(series.size());
    for (std::size_t first = 0; first < series.size(); first += kChunk) {
        const std::size_t count = std::min(kChunk, series.size() - first);
        auto align = [&](std::size_t q) {
            paths[first + q] = dtw_alignment_core(x, series[first + q], band).path;
        };
        if (parallel) {
            run_parallel_default(count, align);
        } else {
            for (std::size_t q = 0; q < count; ++q) align(q);
        }
    }
    return paths;
}

std::vector<std::vector<double>> dba_barycenter_core(
    std::span<const double> reference, const std::vector<std::vector<double>>& neighbors,
    const std::vector<std::vector<double>>& weights, std::uint64_t n_iterations,
    std::optional<std::size_t> band, const std::function<void()>& check_signals) {
    if (n_iterations < 1 || n_iterations > kDbaMaxIterations)
        value_error("n_iterations must be in [1, 1000]");
    const std::size_t copies = weights.size();
    if (copies < 1 || copies > kDbaMaxCopies)
        value_error("DBA requires between 1 and 1000 copies");
    const std::size_t n = reference.size();
    std::size_t output_values = 0;
    if (__builtin_mul_overflow(n, copies, &output_values) || output_values > kDbaMaxOutputValues)
        value_error("DBA output exceeds 64 MiB; reduce copies or series length");

    std::vector<std::span<const double>> series;
    series.reserve(neighbors.size() + 1);
    series.emplace_back(reference);
    for (const std::vector<double>& s : neighbors) series.emplace_back(s);
    for (std::span<const double> s : series) check_dtw_series(s);

    for (const std::vector<double>& w : weights)
        if (!weighting_ok(w, series.size()))
            value_error("weights must be non-negative and match all input series");

    // Every initial path reserves n + len(series) pairs.
    std::size_t cached_pairs = 0;
    for (std::span<const double> s : series) {
        std::size_t pairs = 0;
        if (__builtin_add_overflow(n, s.size(), &pairs) ||
            __builtin_add_overflow(cached_pairs, pairs, &cached_pairs))
            value_error("DBA alignment cache size overflow");
    }
    if (cached_pairs > kDbaMaxCachedPairs)
        value_error("DBA alignment cache exceeds 64 MiB; shorten series or reduce neighbors");

    signal_check(check_signals);
    const std::vector<DtwPath> initial_paths = dtw_alignments_parallel(reference, series, band, true);

    std::vector<std::vector<double>> barycenters(copies,
                                                 std::vector<double>(reference.begin(), reference.end()));
    const DbaRun run{series, weights, initial_paths, band, barycenters};
    for (std::uint64_t t = 0; t < n_iterations; ++t) {
        for (std::size_t first = 0; first < copies; first += kChunk) {
            signal_check(check_signals);
            const std::size_t count = std::min(kChunk, copies - first);
            if (count == 1) {
                // A lone copy needs no pool run of its own; its alignments
                // (for a single-copy call) go to the pool instead.
                dba_update_worker(run, first, t);
            } else {
                run_parallel_default(count, [&](std::size_t q) { dba_update_worker(run, first + q, t); });
            }
        }
    }
    signal_check(check_signals);
    return barycenters;
}

}  // namespace qm
