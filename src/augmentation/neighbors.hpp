// Nearest DTW neighbours of every series in a collection.
//
// Each unordered pair's banded DTW distance is computed once, in batches of
// 4096 pairs on the default pool, and offered to both series' bounded
// max-heaps on the calling thread in pair order. Entries are ordered by
// (distance under the float64 total order, index), a total order over distinct
// indices, so each series keeps exactly its k smallest entries whatever the
// batch boundaries or the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace qm {

inline constexpr std::size_t kNeighborPairBatch = 4096;

struct NeighborEntry {
    double distance = 0.0;
    std::size_t index = 0;
};

// True when a comes before b: distance by the float64 total order, then index.
bool neighbor_entry_less(const NeighborEntry& a, const NeighborEntry& b) noexcept;

// Array-backed max-heap holding at most `capacity` entries; top = greatest.
struct NeighborHeap {
    std::size_t capacity = 0;
    std::vector<NeighborEntry> entries;

    explicit NeighborHeap(std::size_t k) : capacity(k) {}

    // Keeps the entry if there is room or it is smaller than the top (which
    // it then replaces).
    void offer(NeighborEntry e);

    // The entries ascending; empties the heap.
    std::vector<NeighborEntry> take_sorted();
};

// Band of a pair with lengths p and q: ceil(max(p, q) * window_fraction)
// (saturating; negative or NaN gives 0), but at least |p - q| + 1.
std::size_t neighbor_band(std::size_t p, std::size_t q, double window_fraction) noexcept;

// Distance of series i (rows) and series j (columns) with neighbor_band.
// Throws qm::ValueError with the DTW message when the cost overflows.
double neighbor_distances_worker(std::span<const std::vector<double>> series, std::size_t i,
                                 std::size_t j, double window_fraction);

// Computes one batch of pairs (i < j) on the default pool, then offers
// (d, j) to heap i and (d, i) to heap j, in batch order, on the calling thread.
// The first message recorded stops the batch and is thrown as qm::ValueError.
void nearest_dtw_neighbors_core(std::span<const std::vector<double>> series,
                                std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                double window_fraction, std::vector<NeighborHeap>& heaps);

// The Python function after argument conversion: per series, in input order,
// min(N - 1, n_neighbors) pairs (index, distance) ascending by distance then
// index, never the series itself. Throws qm::ValueError, first match:
//   "window_fraction must satisfy 0 < value <= 1"
//   "n_neighbors must be >= 1"
//   "DTW inputs must be non-empty one-dimensional arrays"  (series in order)
//   "DTW inputs must be finite"
//   "DTW alignment is infeasible for the requested band"
std::vector<std::vector<std::pair<std::size_t, double>>> nearest_dtw_neighbors(
    std::span<const std::vector<double>> series, double window_fraction, std::uint64_t n_neighbors);

}  // namespace qm
