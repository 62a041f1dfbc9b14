// DTW barycentre averaging (DBA).
//
// From a reference series, its neighbours and one or more weightings of all
// of them, each weighting ("copy") gets a barycentre of the reference's length:
// start from the reference, then per iteration align the barycentre with every
// series and replace each position by the weighted mean of the values aligned
// to it. There is no convergence test; exactly n_iterations passes are made.
//
// Alignments and copies run on the default pool. Values never depend on the
// pool size: every alignment and every copy is computed whole by one worker
// and the per-position sums run over series and path pairs in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "augmentation/dtw.hpp"

namespace qm {

inline constexpr std::uint64_t kDbaMaxIterations = 1000;
inline constexpr std::size_t kDbaMaxCopies = 1000;
inline constexpr std::size_t kDbaMaxOutputValues = 8'388'608;  // 64 MiB of float64
inline constexpr std::size_t kDbaMaxCachedPairs = 4'194'304;   // 64 MiB of path pairs

// Warping paths of x (rows) against every series (columns), in list order.
// Work goes in chunks of 8 series, so at most 8 parent tables are alive at
// once; `parallel` runs a chunk on the default pool, otherwise one by one on
// the calling thread. The first DTW message (qm::ValueError) ends the call.
std::vector<DtwPath> dtw_alignments_parallel(std::span<const double> x,
                                             std::span<const std::span<const double>> series,
                                             std::optional<std::size_t> band, bool parallel);

// The body shared by dba_barycenter and dba_barycenters. `neighbors` may be
// empty; each weighting has one entry per series, the reference first.
//
// `check_signals` (may be empty) is called on the calling thread only, never
// from a worker: once after the argument checks, once before every chunk of 8
// copies in every iteration, and once at the end, i.e.
// 2 + n_iterations * ceil(copies / 8) times for a call that completes. To stop
// the call it throws; the exception leaves this function unchanged and no
// partial result survives.
//
// Throws qm::ValueError, first match:
//   "n_iterations must be in [1, 1000]"
//   "DBA requires between 1 and 1000 copies"
//   "DBA output exceeds 64 MiB; reduce copies or series length"
//   "DTW inputs must be non-empty one-dimensional arrays"  (reference, then neighbours)
//   "DTW inputs must be finite"
//   "weights must be non-negative and match all input series"
//   "DBA alignment cache size overflow"
//   "DBA alignment cache exceeds 64 MiB; shorten series or reduce neighbors"
//   then any message of dtw_alignment_core.
std::vector<std::vector<double>> dba_barycenter_core(
    std::span<const double> reference, const std::vector<std::vector<double>>& neighbors,
    const std::vector<std::vector<double>>& weights, std::uint64_t n_iterations,
    std::optional<std::size_t> band, const std::function<void()>& check_signals);

}  // namespace qm
