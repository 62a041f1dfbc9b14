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

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// `times` passes of y[i] = y[i - lag] + y[i], i = lag .. N-1 in increasing
// order (lag >= 1). Repeated sums blow up within a few dozen passes except
// near the start, so a pass skips what can no longer change:
//  - a prefix that a pass left bit for bit unchanged stays unchanged (each
//    value depends only on earlier ones), so the next pass starts at the
//    first value that changed;
//  - a suffix that a pass left unchanged and that holds only infinities and
//    NaNs is a fixed point while the lag values before it stay finite (a
//    finite addend leaves inf and NaN as they are).
// A pass that changes nothing ends the repetitions. What is left is a short
// stretch of growing values that every pass changes; with lag 1 eight passes
// go over it together, each a step behind the one before, so their sums
// overlap instead of waiting on each other. The values are those of the
// plain passes.
class Integration {
public:
    Integration(std::vector<double>& y, std::size_t lag) : y_(y), lag_(lag), lo_(lag), tail_(y.size()) {}

    void run(int64_t times) {
        const std::size_t n = y_.size();
        for (int64_t rep = 0; rep < times && lo_ < n;) {
            const int64_t left = times - rep;
            if (left == 1) return last_pass();
            const bool changed = lag_ == 1 && left >= kBlock ? block() : pass();
            rep += lag_ == 1 && left >= kBlock ? kBlock : 1;
            if (!changed) return;
        }
    }

private:
    static constexpr int kBlock = 8;
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    bool finite_from(std::size_t from) const {
        return std::all_of(y_.begin() + static_cast<std::ptrdiff_t>(from),
                           y_.begin() + static_cast<std::ptrdiff_t>(tail_), [](double v) { return std::isfinite(v); });
    }

    // Index i's value after the last pass is `now`, after the one before it `before`.
    void note(std::size_t i, double now, double before) {
        if (!same_bits(now, before)) {
            if (first_changed_ == kNone) first_changed_ = i;
            live_ = i;
        } else if (std::isfinite(now)) {
            live_ = i;
        }
    }

    bool finish(bool tail_swept) {
        if (first_changed_ == kNone) return false;
        if (!tail_swept && live_ == kNone) live_ = tail_ - 1;  // the suffix stays where it is
        lo_ = first_changed_;
        tail_ = std::max(live_ + 1, lo_);
        return true;
    }

    bool pass() {
        first_changed_ = live_ = kNone;
        auto sweep = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) {
                const double old = y_[i];
                y_[i] = y_[i - lag_] + old;
                note(i, y_[i], old);
            }
        };
        sweep(lo_, tail_);
        const bool tail_swept = tail_ < y_.size() && !finite_from(tail_ - lag_);
        if (tail_swept) sweep(tail_, y_.size());
        return finish(tail_swept);
    }

    // Nothing to track after it.
    void last_pass() {
        auto sweep = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) y_[i] = y_[i - lag_] + y_[i];
        };
        sweep(lo_, tail_);
        if (tail_ < y_.size() && !finite_from(tail_ - lag_)) sweep(tail_, y_.size());
    }

    // kBlock passes with lag 1: a[r] is pass r's running value.
    bool block() {
        first_changed_ = live_ = kNone;
        double a[kBlock];
        std::fill(a, a + kBlock, y_[lo_ - 1]);  // unchanged by every pass
        auto sweep = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) {
                a[0] = a[0] + y_[i];
                for (int r = 1; r < kBlock; ++r) a[r] = a[r] + a[r - 1];
                y_[i] = a[kBlock - 1];
                note(i, a[kBlock - 1], a[kBlock - 2]);
            }
        };
        sweep(lo_, tail_);
        const bool tail_swept =
            tail_ < y_.size() && !std::all_of(a, a + kBlock, [](double v) { return std::isfinite(v); });
        if (tail_swept) sweep(tail_, y_.size());
        return finish(tail_swept);
    }

    std::vector<double>& y_;
    std::size_t lag_;
    std::size_t lo_;    // first index that may change
    std::size_t tail_;  // [tail_, n): unchanged by the last pass, none finite
    std::size_t first_changed_ = kNone;
    std::size_t live_ = kNone;  // last index the last pass changed or left finite
};

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

    if (p.d > 0) Integration(y, 1).run(p.d);
    // A negative period, read as unsigned, is never below N: no seasonal sums.
    if (p.seasonal_d > 0 && static_cast<uint32_t>(p.seasonal_period) < static_cast<uint64_t>(total)) {
        if (p.seasonal_period == 0) {
            // y[i] = y[i] + y[i]: exact doubling until it overflows.
            const int exponent = static_cast<int>(std::min<int64_t>(p.seasonal_d, kDoublingsToOverflow));
            for (double& v : y) v = std::ldexp(v, exponent);
        } else {
            Integration(y, static_cast<std::size_t>(p.seasonal_period)).run(p.seasonal_d);
        }
    }

    std::copy(y.begin() + skip, y.end(), out.begin());
}

}  // namespace qm
