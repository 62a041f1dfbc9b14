#include "augmentation/dtw.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "fault.hpp"

namespace qm {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

const std::string kEmptyInput = "DTW inputs must be non-empty one-dimensional arrays";
const std::string kNonFiniteInput = "DTW inputs must be finite";
const std::string kInfeasible = "DTW alignment is infeasible for the requested band";
const std::string kParentLimit =
    "DTW alignment exceeds the 64 MiB parent-storage limit; shorten series or reduce the band";
const std::string kParentAlloc = "unable to allocate DTW parent storage";
const std::string kPathLimit = "DTW path exceeds 64 MiB";
const std::string kPathAlloc = "unable to allocate DTW path";

// Both emptiness checks come before either finiteness check.
void check_inputs(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || b.empty()) value_error(kEmptyInput);
    check_dtw_series(a);
    check_dtw_series(b);
}

// The two rows take turns as previous / current; only the band of each row is
// written, and the two border cells beside it are reset to +inf so stale
// values from two rows back never leak in. Recording is a template flag so
// the distance-only loop carries no table code at all.
template <bool Record>
double banded_cost(std::span<const double> a, std::span<const double> b, std::size_t w,
                   std::span<std::uint8_t> parents) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<double> row0(m + 1, kInf);
    std::vector<double> row1(m + 1, kInf);
    row0[0] = 0.0;
    if (n == 0) return row0[m];

    const std::size_t width = Record ? dtw_table_width(m, w) : 0;
    double* prev = row0.data();
    double* cur = row1.data();
    for (std::size_t i = 1; i <= n; ++i) {
        const std::size_t lo = dtw_row_lo(i, w);
        const std::size_t hi = dtw_row_hi(i, w, m);
        if (lo - 1 > m) fault("DTW band row " + std::to_string(i) + " lies outside the cost rows");
        cur[lo - 1] = kInf;
        if (hi < m) cur[hi + 1] = kInf;
        if (lo > hi) {  // the band has left the table: (n, m) is unreachable
            std::swap(prev, cur);
            continue;
        }

        std::uint8_t* codes = nullptr;
        if constexpr (Record) {
            std::size_t first = 0;
            if (hi - lo >= width || __builtin_mul_overflow(i - 1, width, &first) ||
                first >= parents.size() || parents.size() - first <= hi - lo)
                fault("DTW parent table too small for row " + std::to_string(i));
            codes = parents.data() + first;  // codes[j - lo] is cell (i, j)
        }

        const double ai = a[i - 1];
        for (std::size_t j = lo; j <= hi; ++j) {
            const double diag = prev[j - 1];
            const double up = prev[j];
            const double left = cur[j - 1];
            const double m1 = up < diag ? up : diag;
            const double best = left < m1 ? left : m1;
            const double d = ai - b[j - 1];
            cur[j] = d * d + best;
            if constexpr (Record) codes[j - lo] = left < m1 ? kDtwLeft : (up < diag ? kDtwUp : kDtwDiag);
        }
        std::swap(prev, cur);
    }
    return prev[m];
}

}  // namespace

std::size_t dtw_band_width(std::size_t n, std::size_t m, std::optional<std::size_t> band) noexcept {
    const std::size_t longest = std::max(n, m);
    const std::size_t diff = n > m ? n - m : m - n;
    return std::min(longest, std::max(band.value_or(longest), diff));
}

std::size_t dtw_table_width(std::size_t m, std::size_t w) noexcept {
    if (w >= (kSizeMax - 1) / 2) return m;
    return std::min(m, 2 * w + 1);
}

std::size_t dtw_row_lo(std::size_t i, std::size_t w) noexcept { return i > w ? i - w : 1; }

std::size_t dtw_row_hi(std::size_t i, std::size_t w, std::size_t m) noexcept {
    const std::size_t reach = w > kSizeMax - i ? kSizeMax : i + w;
    return std::min(reach, m);
}

double dtw_banded_cost(std::span<const double> a, std::span<const double> b, std::size_t w,
                       std::span<std::uint8_t> parents) {
    if (parents.empty()) return banded_cost<false>(a, b, w, parents);
    return banded_cost<true>(a, b, w, parents);
}

void check_dtw_series(std::span<const double> s) {
    if (s.empty()) value_error(kEmptyInput);
    for (double v : s)
        if (!std::isfinite(v)) value_error(kNonFiniteInput);
}

double dtw_distance_core(std::span<const double> a, std::span<const double> b,
                         std::optional<std::size_t> band) {
    check_inputs(a, b);
    const std::size_t w = dtw_band_width(a.size(), b.size(), band);
    const double cost = banded_cost<false>(a, b, w, {});
    if (!std::isfinite(cost)) value_error(kInfeasible);
    return std::sqrt(cost);
}

DtwAlignment dtw_alignment_core(std::span<const double> a, std::span<const double> b,
                                std::optional<std::size_t> band) {
    check_inputs(a, b);
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    const std::size_t w = dtw_band_width(n, m, band);
    const std::size_t width = dtw_table_width(m, w);
    std::size_t cells = 0;
    if (__builtin_mul_overflow(n, width, &cells) || cells > kDtwMaxParentCells)
        value_error(kParentLimit);

    std::vector<std::uint8_t> table;
    try {
        table.assign(cells, kDtwUnset);
    } catch (const std::bad_alloc&) {
        value_error(kParentAlloc);
    }

    const double cost = banded_cost<true>(a, b, w, table);
    if (!std::isfinite(cost)) value_error(kInfeasible);

    // The cap is on what is reserved (n + m pairs), checked only now that the
    // cost is known to be finite.
    if (n + m > kDtwMaxPathPairs) value_error(kPathLimit);
    DtwAlignment out;
    try {
        out.path.reserve(n + m);
    } catch (const std::bad_alloc&) {
        value_error(kPathAlloc);
    }

    // Each step lowers i + j, so at most n + m - 1 pairs are appended.
    std::size_t i = n;
    std::size_t j = m;
    for (;;) {
        out.path.emplace_back(i - 1, j - 1);
        const std::size_t lo = dtw_row_lo(i, w);
        const std::size_t hi = dtw_row_hi(i, w, m);
        if (j < lo || j > hi) value_error(kInfeasible);
        switch (table[(i - 1) * width + (j - lo)]) {
            case kDtwDiag: --i; --j; break;
            case kDtwUp: --i; break;
            case kDtwLeft: --j; break;
            default: value_error(kInfeasible);
        }
        if (i == 0 || j == 0) break;
    }
    std::reverse(out.path.begin(), out.path.end());
    out.distance = std::sqrt(cost);
    return out;
}

std::optional<std::size_t> dtw_checked_band(std::optional<std::int64_t> band) {
    if (!band) return std::nullopt;
    if (*band < 0) value_error("band must be non-negative when provided");
    return static_cast<std::size_t>(*band);
}

}  // namespace qm
