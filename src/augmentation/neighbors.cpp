#include "augmentation/neighbors.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "augmentation/dtw.hpp"
#include "batch/pool.hpp"
#include "fault.hpp"

namespace qm {

namespace {

// IEEE total order as a signed integer: negative values have their magnitude
// bits flipped so that larger magnitudes sort lower.
std::int64_t total_order_key(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    const auto flip = static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    return bits ^ flip;
}

}  // namespace

bool neighbor_entry_less(const NeighborEntry& a, const NeighborEntry& b) noexcept {
    const std::int64_t ka = total_order_key(a.distance);
    const std::int64_t kb = total_order_key(b.distance);
    if (ka != kb) return ka < kb;
    return a.index < b.index;
}

void NeighborHeap::offer(NeighborEntry e) {
    if (entries.size() < capacity) {
        entries.push_back(e);
        std::push_heap(entries.begin(), entries.end(), neighbor_entry_less);
    } else if (!entries.empty() && neighbor_entry_less(e, entries.front())) {
        std::pop_heap(entries.begin(), entries.end(), neighbor_entry_less);
        entries.back() = e;
        std::push_heap(entries.begin(), entries.end(), neighbor_entry_less);
    }
}

std::vector<NeighborEntry> NeighborHeap::take_sorted() {
    std::sort_heap(entries.begin(), entries.end(), neighbor_entry_less);
    return std::move(entries);
}

std::size_t neighbor_band(std::size_t p, std::size_t q, double window_fraction) noexcept {
    const double scaled = std::ceil(static_cast<double>(std::max(p, q)) * window_fraction);
    std::size_t band = 0;
    if (scaled >= 0x1.0p64) {
        band = std::numeric_limits<std::size_t>::max();
    } else if (scaled > 0.0) {
        band = static_cast<std::size_t>(scaled);
    }
    const std::size_t diff = p > q ? p - q : q - p;
    return std::max(band, diff + 1);
}

double neighbor_distances_worker(std::span<const std::vector<double>> series, std::size_t i,
                                 std::size_t j, double window_fraction) {
    const std::vector<double>& a = series[i];
    const std::vector<double>& b = series[j];
    return dtw_distance_core(a, b, neighbor_band(a.size(), b.size(), window_fraction));
}

void nearest_dtw_neighbors_core(std::span<const std::vector<double>> series,
                                std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                double window_fraction, std::vector<NeighborHeap>& heaps) {
    const std::vector<double> distances = map_parallel_default(pairs.size(), [&](std::size_t k) {
        return neighbor_distances_worker(series, pairs[k].first, pairs[k].second, window_fraction);
    });
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (i >= heaps.size() || j >= heaps.size()) fault("neighbour pair outside the series list");
        heaps[i].offer({distances[k], j});
        heaps[j].offer({distances[k], i});
    }
}

std::vector<std::vector<std::pair<std::size_t, double>>> nearest_dtw_neighbors(
    std::span<const std::vector<double>> series, double window_fraction, std::uint64_t n_neighbors) {
    if (!(window_fraction > 0.0 && window_fraction <= 1.0))
        value_error("window_fraction must satisfy 0 < value <= 1");
    if (n_neighbors == 0) value_error("n_neighbors must be >= 1");
    for (const std::vector<double>& s : series) check_dtw_series(s);

    const std::size_t n = series.size();
    const std::size_t k =
        n <= 1 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n - 1, n_neighbors));
    std::vector<NeighborHeap> heaps(n, NeighborHeap(k));
    for (NeighborHeap& h : heaps) h.entries.reserve(k);

    std::vector<std::pair<std::size_t, std::size_t>> batch;
    batch.reserve(n < 92 ? n * (n > 0 ? n - 1 : 0) / 2 : kNeighborPairBatch);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            batch.emplace_back(i, j);
            if (batch.size() == kNeighborPairBatch) {
                nearest_dtw_neighbors_core(series, batch, window_fraction, heaps);
                batch.clear();
            }
        }
    }
    nearest_dtw_neighbors_core(series, batch, window_fraction, heaps);

    std::vector<std::vector<std::pair<std::size_t, double>>> out(n);
    for (std::size_t s = 0; s < n; ++s) {
        const std::vector<NeighborEntry> sorted = heaps[s].take_sorted();
        out[s].reserve(sorted.size());
        for (const NeighborEntry& e : sorted) out[s].emplace_back(e.index, e.distance);
    }
    return out;
}

}  // namespace qm
