#include "generators/sarima.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"

namespace qm {

namespace {

// Doubling 2100 times takes every non-zero finite value past the largest
// float64, so further doublings change nothing.
constexpr int64_t kDoublingsToOverflow = 2100;

// Sums that the integrations of one call may run (see Integration for what
// is skipped). What is left for a d or seasonal_d in the billions is a few
// dozen growing values per column and pass, hours of work in all. 2^34 sums
// take 3 to 4 s while the growing values stay in cache, up to about 20 s
// when the sweeps stream a buffer of hundreds of megabytes.
constexpr uint64_t kMaxSums = uint64_t{1} << 34;

[[noreturn]] void too_many_sums() {
    fault("sarima: more than " + std::to_string(kMaxSums) + " integration sums (d or seasonal_d too large)");
}

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// `times` passes of x[i] = x[i - lag] + x[i], i = lag .. count-1 in
// increasing order, over x[i] = base[i * stride] (stride 1 unless lag is 1).
// Repeated sums blow up within a few dozen passes except near the start, so
// a pass skips what can no longer change:
//  - a prefix that a pass left bit for bit unchanged stays unchanged (each
//    value depends only on earlier ones), so the next pass starts at the
//    first value that changed;
//  - a suffix that a pass left unchanged satisfies x[i] = x[i - lag] + x[i]
//    as it stands, so in the next pass a value there changes only if the one
//    a lag before it did: the sweep goes past the last value that changed
//    until a whole lag of values has stayed as it was. Once the sums
//    overflow this is a run of infinities that stay as they are, or turn NaN
//    down their column once.
// A pass that changes nothing ends the repetitions. What is left is a short
// stretch of growing values that every pass changes. With lag 1 eight passes
// go over it together, each a step behind the one before, so their sums
// overlap instead of waiting on each other; a wider lag has independent sums
// side by side already, and its changes are located to chunks of 64 values
// (a wider stretch, but no branch per value). The values are those of the
// plain passes. `sums` counts the sums of the call; a sweep faults before
// its first sum past kMaxSums.
class Integration {
public:
    Integration(double* base, std::size_t stride, std::size_t lag, std::size_t count, uint64_t& sums)
        : base_(base), stride_(stride), lag_(lag), count_(count), lo_(lag), tail_(count), sums_(sums) {}

    void run(int64_t times) {
        for (int64_t rep = 0; rep < times && lo_ < count_;) {
            const bool blocked = lag_ == 1 && times - rep >= kBlock;
            if (!(lag_ > 1 ? wide_pass() : blocked ? sweep<kBlock>() : sweep<1>())) return;
            rep += blocked ? kBlock : 1;
        }
    }

private:
    static constexpr int kBlock = 8;
    static constexpr std::size_t kChunk = 64;
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    // The first and last index whose value the last pass changed.
    struct Changes {
        std::size_t first = kNone;
        std::size_t last = kNone;

        void note(std::size_t i, double now, double before) {
            if (same_bits(now, before)) return;
            if (first == kNone) first = i;
            last = i;
        }
    };

    double& at(std::size_t i) { return base_[i * stride_]; }

    // One past the last index that `passes` passes from lo_ may reach within the budget.
    std::size_t budget_end(int passes) const {
        const uint64_t reach = (kMaxSums - sums_) / static_cast<uint64_t>(passes);
        return lo_ + static_cast<std::size_t>(std::min<uint64_t>(reach, count_));
    }

    // The sweep ran from lo_ to `end`.
    bool finish(const Changes& c, std::size_t end, int passes) {
        sums_ += static_cast<uint64_t>(end - lo_) * static_cast<uint64_t>(passes);
        if (c.first == kNone) return false;
        lo_ = c.first;
        tail_ = c.last + 1;
        return true;
    }

    // `passes` passes at once with lag 1: a[r] is pass r's running value.
    template <int passes>
    bool sweep() {
        const std::size_t end = budget_end(passes);
        if (tail_ > end) too_many_sums();
        Changes c;
        double before = at(lo_ - 1);  // unchanged by every pass
        double a[passes];
        std::fill(a, a + passes, before);
        auto step = [&](std::size_t i) {
            before = at(i);
            a[0] = a[0] + before;
            for (int r = 1; r < passes; ++r) a[r] = a[r] + a[r - 1];
            at(i) = a[passes - 1];
            if constexpr (passes > 1) c.note(i, a[passes - 1], a[passes - 2]);
            else c.note(i, a[0], before);
        };
        std::size_t i = lo_;
        for (; i < tail_; ++i) step(i);
        // Past the suffix: once every pass leaves a value as it was, the rest stays.
        auto settled = [&] { return std::all_of(a, a + passes, [&](double v) { return same_bits(v, before); }); };
        for (; i < count_ && !settled(); ++i) {
            if (i == end) too_many_sums();
            step(i);
        }
        return finish(c, i, passes);
    }

    // One pass with a lag above 1 (stride 1).
    bool wide_pass() {
        const std::size_t end = budget_end(1);
        if (tail_ > end) too_many_sums();
        double* x = base_;
        Changes c;
        std::size_t i = lo_;
        while (i < count_ && (i < tail_ || (c.last != kNone && i - c.last <= lag_))) {
            const std::size_t stop = std::min({count_, i + kChunk, end});
            if (stop == i) too_many_sums();
            uint64_t changed = 0;
            for (std::size_t k = i; k < stop; ++k) {
                const double old = x[k];
                const double now = x[k - lag_] + old;
                x[k] = now;
                changed |= std::bit_cast<uint64_t>(now) ^ std::bit_cast<uint64_t>(old);
            }
            if (changed != 0) {
                if (c.first == kNone) c.first = i;
                c.last = stop - 1;
            }
            i = stop;
        }
        return finish(c, i, 1);
    }

    double* base_;
    std::size_t stride_;
    std::size_t lag_;
    std::size_t count_;
    std::size_t lo_;    // first index that may change
    std::size_t tail_;  // [tail_, count_): unchanged by the last pass
    uint64_t& sums_;
};

// `times` passes of y[i] = y[i - lag] + y[i] (0 < lag < N). They run as
// lag-1 sums on each of the lag's columns, which do not meet, where that
// suits the memory: a column of a narrow lag still steps through the buffer
// line by line, and a wide lag's short columns keep their growing values in
// a few hundred lines where the buffer's rows would spread them over
// megabytes. Columns pay only where eight passes go over them together (or
// the lag is 2 at most); fewer passes, and the long columns of a wide lag, go
// in buffer order, which strides through memory once per pass.
void seasonal_sums(std::vector<double>& y, std::size_t lag, int64_t times, uint64_t& sums) {
    const std::size_t n = y.size();
    const bool columns = times >= 8 ? (lag <= 8 || n / lag <= 1024) : lag <= 2;
    if (!columns) return Integration(y.data(), 1, lag, n, sums).run(times);
    for (std::size_t j = 0; j < lag; ++j) Integration(y.data() + j, lag, 1, (n - j + lag - 1) / lag, sums).run(times);
}

// w[t] = e[t] + ma[0] e[t-1] + ... in lag order, in place. Blocks run from the
// end so the innovations a block reads are still intact; inside a block the
// lags are the outer loop, so the values of a block are summed side by side.
void ma_filter(std::vector<double>& y, std::span<const double> ma) {
    constexpr std::size_t kBlock = 1024;
    const std::size_t q = ma.size();
    if (q == 0) return;
    std::vector<double> w(std::min(kBlock, y.size()));
    for (std::size_t hi = y.size(); hi > 0;) {
        const std::size_t lo = hi > kBlock ? hi - kBlock : 0;
        std::copy(y.begin() + static_cast<std::ptrdiff_t>(lo), y.begin() + static_cast<std::ptrdiff_t>(hi), w.begin());
        for (std::size_t k = 1; k <= q && k < hi; ++k) {
            const double theta = ma[k - 1];
            for (std::size_t t = std::max(lo, k); t < hi; ++t) w[t - lo] = w[t - lo] + theta * y[t - k];
        }
        std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(hi - lo),
                  y.begin() + static_cast<std::ptrdiff_t>(lo));
        hi = lo;
    }
}

// y[t] = w[t] + ar[0] y[t-1] + ... in lag order, in place. Seasonal polynomials
// are mostly zeros; a zero coefficient times a finite value adds a zero, which
// can change a sum only when the sum is itself zero (its sign). So while every
// value so far is finite the zero lags are skipped, and a zero result is
// summed again over every lag.
void ar_recursion(std::vector<double>& y, std::span<const double> ar) {
    const std::size_t order = ar.size();
    if (order == 0) return;
    std::vector<std::size_t> nonzero;
    for (std::size_t k = 1; k <= order; ++k)
        if (ar[k - 1] != 0.0) nonzero.push_back(k);
    auto every_lag = [&](std::size_t t) {
        double v = y[t];
        const std::size_t lags = std::min(order, t);
        for (std::size_t k = 1; k <= lags; ++k) v = v + ar[k - 1] * y[t - k];
        return v;
    };
    bool finite = true;
    for (std::size_t t = 0; t < y.size(); ++t) {
        double v;
        if (finite) {
            v = y[t];
            for (std::size_t k : nonzero) {
                if (k > t) break;
                v = v + ar[k - 1] * y[t - k];
            }
            if (v == 0.0) v = every_lag(t);
            finite = std::isfinite(v);
        } else {
            v = every_lag(t);
        }
        y[t] = v;
    }
}

}  // namespace

void gen_sarima(std::span<double> out, uint64_t seed, const SarimaParams& p, std::span<const double> ar,
                std::span<const double> ma) {
    Mt64 rng(seed);
    const int64_t n = static_cast<int64_t>(out.size());
    const int64_t seasonal_span = int64_t{p.seasonal_period} * p.seasonal_d;  // |P*D| < 2^62
    const int64_t total = seasonal_span + p.d + n + p.burn_in;
    if (total < 0) fault("sarima: buffer length " + std::to_string(total) + " is negative");
    if (total > std::numeric_limits<int32_t>::max())
        fault("sarima: buffer length " + std::to_string(total) + " exceeds 2147483647");
    const auto big_n = static_cast<std::size_t>(total);
    check_allocation(big_n, sizeof(double));

    // e, then w in place, then y in place: one buffer.
    std::vector<double> y(big_n);
    fill_innovations(rng, p.innov_dist, p.noise_std, p.innov_param, y);
    const int64_t skip = total - n;  // burn_in + P*D + d
    if (skip < 0) fault("sarima: offset " + std::to_string(skip) + " of the output is negative");

    ma_filter(y, ma);
    ar_recursion(y, ar);

    const bool integrated = p.d > 0 || p.seasonal_d > 0;
    const double constant = integrated ? p.drift_val : p.mean;
    for (double& v : y) v = v + constant;

    uint64_t sums = 0;
    if (p.d > 0) Integration(y.data(), 1, 1, big_n, sums).run(p.d);
    // A negative period, read as unsigned, is never below N: no seasonal sums.
    if (p.seasonal_d > 0 && static_cast<uint32_t>(p.seasonal_period) < static_cast<uint64_t>(total)) {
        if (p.seasonal_period == 0) {
            // y[i] = y[i] + y[i]: exact doubling until it overflows.
            const int exponent = static_cast<int>(std::min<int64_t>(p.seasonal_d, kDoublingsToOverflow));
            for (double& v : y) v = std::ldexp(v, exponent);
        } else {
            seasonal_sums(y, static_cast<std::size_t>(p.seasonal_period), p.seasonal_d, sums);
        }
    }

    std::copy(y.begin() + skip, y.end(), out.begin());
}

}  // namespace qm
