// Banded dynamic time warping between two float64 series.
//
// Cost of a cell is the squared difference of the two values; the cumulative
// cost of (n, m) is the classic min over diagonal / up / left predecessors,
// visited only inside a Sakoe-Chiba band. The distance is the square root of
// that cost. One band rule, one cost order and one tie-break are shared by
// every caller (distance, alignment, DBA, neighbour search), so a pair of
// series and a band give the same distance to the last bit everywhere.
//
// Pure functions: no shared state, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qm {

// Warping path: 0-based (i into a, j into b), from (0, 0) to (n - 1, m - 1);
// every step moves by (1, 1), (1, 0) or (0, 1).
using DtwPath = std::vector<std::pair<std::size_t, std::size_t>>;

// Parent codes of the alignment table.
inline constexpr std::uint8_t kDtwDiag = 0;   // from (i - 1, j - 1)
inline constexpr std::uint8_t kDtwUp = 1;     // from (i - 1, j)
inline constexpr std::uint8_t kDtwLeft = 2;   // from (i, j - 1)
inline constexpr std::uint8_t kDtwUnset = 255;

// Memory caps, checked before the large allocations: 64 MiB of one-byte
// parent cells, 64 MiB of 16-byte path pairs.
inline constexpr std::size_t kDtwMaxParentCells = 67'108'864;
inline constexpr std::size_t kDtwMaxPathPairs = 4'194'304;

// Effective half-width for series of n and m values: never narrower than the
// length difference (so (n, m) is always reachable), at most max(n, m) (which
// is the same as no band at all).
std::size_t dtw_band_width(std::size_t n, std::size_t m, std::optional<std::size_t> band) noexcept;

// Row width of the parent table for m columns and half-width w:
// min(m, 2w + 1), saturating.
std::size_t dtw_table_width(std::size_t m, std::size_t w) noexcept;

// First and last 1-based column of row i (1 <= i) in a band of half-width w
// over m columns.
std::size_t dtw_row_lo(std::size_t i, std::size_t w) noexcept;
std::size_t dtw_row_hi(std::size_t i, std::size_t w, std::size_t m) noexcept;

// Cumulative squared cost of cell (n, m) over the band of half-width w;
// +infinity when (n, m) cannot be reached. No input checks: the callers pass
// non-empty series and a w from dtw_band_width. When `parents` is non-empty it
// is the parent table (n rows of dtw_table_width(m, w) cells, row i packed from
// its own first band column) and receives one code per visited cell. A band
// that would index past the cost rows, or a table too small for it, is a
// fault. Ties prefer the diagonal, then up.
double dtw_banded_cost(std::span<const double> a, std::span<const double> b, std::size_t w,
                       std::span<std::uint8_t> parents = {});

// The input check every DTW user shares. ValueError, first match:
//   "DTW inputs must be non-empty one-dimensional arrays"
//   "DTW inputs must be finite"
void check_dtw_series(std::span<const double> s);

// Distance of a (rows) and b (columns). Throws qm::ValueError, first match:
//   "DTW inputs must be non-empty one-dimensional arrays"
//   "DTW inputs must be finite"
//   "DTW alignment is infeasible for the requested band"
double dtw_distance_core(std::span<const double> a, std::span<const double> b,
                         std::optional<std::size_t> band);

struct DtwAlignment {
    double distance = 0.0;
    DtwPath path;
};

// Distance and warping path. Throws qm::ValueError, first match: the two input
// messages of dtw_distance_core, then
//   "DTW alignment exceeds the 64 MiB parent-storage limit; shorten series or reduce the band"
//   "unable to allocate DTW parent storage"
//   "DTW alignment is infeasible for the requested band"
//   "DTW path exceeds 64 MiB"
//   "unable to allocate DTW path"
// The distance equals dtw_distance_core's bit for bit.
DtwAlignment dtw_alignment_core(std::span<const double> a, std::span<const double> b,
                                std::optional<std::size_t> band);

// Shared by every function that takes a signed `band`: the negative check and
// the conversion to an unsigned half-width request.
std::optional<std::size_t> dtw_checked_band(std::optional<std::int64_t> band);

}  // namespace qm
