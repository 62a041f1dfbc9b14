#include "generators/mar.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr std::size_t kMarScalarCount = 12;
constexpr std::size_t kMarFixedArrayCount = 5;
constexpr int kMarAttempts = 8;

// Memory bounds (in float64 values) for requests the ranges allow but no
// machine holds: the stored coefficients of one configuration, and the
// working window of the simulation (lags plus one chunk of steps).
constexpr uint64_t kMarMaxCoefficients = uint64_t{1} << 26;
constexpr uint64_t kMarMaxWindow = uint64_t{1} << 26;

// Work bound of a drawn configuration: turning a component's partial
// autocorrelations into coefficients takes about p^2 / 4 multiply-adds for
// order p, for every component of every attempt, and cannot be interrupted.
// At this order that is up to about 0.2 s, so a one-component series takes
// about a second at most over its 8 attempts (orders this large are rarely
// accepted early); a larger s1 is refused before anything is drawn.
constexpr int32_t kMarMaxDrawnOrder = 20000;

// Steps simulated between two moves of the lag window (when burn-in and
// series are longer than that): keeps memory independent of the burn-in.
constexpr uint64_t kMarMinChunk = 4096;

// Durbin-Levinson: partial autocorrelations r_1 .. r_p in (-1, 1) to the
// coefficients of a stationary AR(p). Step j replaces phi_i by
// phi_i - r_j * phi_{j-i} for i < j; the pair (i, j - i) is updated together
// from its old values, so no copy of the previous list is needed.
std::vector<double> pacf_to_ar(std::span<const double> r) {
    std::vector<double> phi(r.size());
    for (std::size_t j = 1; j <= r.size(); ++j) {
        const double rj = r[j - 1];
        std::size_t lo = 0;
        std::size_t hi = j - 1;  // one past the pair's upper index (0-based)
        for (; lo + 1 < hi; ++lo) {
            --hi;
            const double a = phi[lo];
            const double b = phi[hi];
            phi[lo] = a - rj * b;
            phi[hi] = b - rj * a;
        }
        if (lo + 1 == hi) phi[lo] = phi[lo] - rj * phi[lo];  // the middle one of an odd count
        phi[j - 1] = rj;
    }
    return phi;
}

struct Moments {
    double mean = 0.0;
    double sd = 1.0;
};

// Mean and population standard deviation, sums in index order; sd = 1 below
// two values.
Moments moments(std::span<const double> x) {
    Moments m;
    if (x.size() < 2) return m;
    const double n = static_cast<double>(x.size());
    double sum = 0.0;
    for (double v : x) sum += v;
    m.mean = sum / n;
    double ss = 0.0;
    for (double v : x) {
        const double d = v - m.mean;
        ss += d * d;
    }
    m.sd = std::sqrt(ss / n);
    return m;
}

void standardise(std::span<double> x, const Moments& m) {
    for (double& v : x) v = (v - m.mean) / m.sd;
}

bool acceptable(std::span<const double> x, const Moments& m) {
    for (double v : x)
        if (!(std::fabs(v) < 1e8)) return false;  // NaN and infinities fail too
    return x.size() < 2 || m.sd > 1e-8;
}

}  // namespace

MarParams mar_params(std::span<const double> s) {
    if (s.size() < kMarScalarCount)
        value_error("mar: expected >= 12 scalar params, got " + std::to_string(s.size()));
    for (double v : s)
        if (!std::isfinite(v)) value_error("mar: scalar params must be finite");
    const bool ok = s[0] >= 1.0 && s[0] <= 1e6 &&   // components
                    s[1] >= 1.0 && s[1] <= 1e6 &&   // AR order
                    s[2] >= 0.0 && s[2] <= 1e9 &&   // seasonal lag
                    s[3] > 0.0 &&                   // concentration
                    s[4] >= 0.0 &&                  // intercept std
                    s[5] > 0.0 && s[5] <= s[6] &&   // noise scale range
                    s[7] >= 0.0 && s[7] <= 1e9;     // burn-in
    if (!ok) value_error("mar: invalid configuration");
    const MarParams params = record_from_slots(kMarSlots, s);
    if (!params.fixed_mode && params.max_order > kMarMaxDrawnOrder)
        fault("mar: the largest AR order of a drawn configuration is limited to " +
              std::to_string(kMarMaxDrawnOrder) + ", got " + std::to_string(params.max_order));
    return params;
}

namespace {

void check_config_shape(const MarConfig& c) {
    const std::size_t k = c.weights.size();
    if (k == 0 || c.coefficients.size() != k || c.intercepts.size() != k || c.scales.size() != k ||
        (!c.seasonal.empty() && c.seasonal.size() != k))
        fault("mar: malformed configuration");
    for (std::size_t i = 0; i < k; ++i) {
        // The far block must start past the near one so the sum stays in lag order.
        const bool far_overlaps = !c.seasonal.empty() && c.seasonal[i].lag != 0 &&
                                  c.seasonal[i].lag <= c.coefficients[i].size();
        if (c.coefficients[i].empty() || far_overlaps) fault("mar: malformed configuration");
    }
}

// Component choice: the first whose cumulative weight exceeds u, else the
// last. Weights are summed in order once per simulation.
struct ComponentPicker {
    std::vector<double> cumulative;
    bool sorted = true;  // non-decreasing and NaN-free: binary search is exact

    explicit ComponentPicker(std::span<const double> weights) : cumulative(weights.size()) {
        double acc = 0.0;
        for (std::size_t k = 0; k < weights.size(); ++k) {
            acc = k == 0 ? weights[0] : acc + weights[k];
            cumulative[k] = acc;
            if (std::isnan(acc) || (k > 0 && acc < cumulative[k - 1])) sorted = false;
        }
    }

    std::size_t pick(double u) const {
        const std::size_t last = cumulative.size() - 1;
        if (sorted && cumulative.size() > 8) {
            const auto it = std::upper_bound(cumulative.begin(), cumulative.end(), u);
            return it == cumulative.end() ? last : static_cast<std::size_t>(it - cumulative.begin());
        }
        for (std::size_t k = 0; k < last; ++k)
            if (cumulative[k] > u) return k;
        return last;
    }
};

}  // namespace

uint64_t mar_order(const MarConfig& config, std::size_t k) {
    uint64_t order = config.coefficients[k].size();
    if (!config.seasonal.empty()) {
        const MarSeasonalBlock& far = config.seasonal[k];
        if (far.lag != 0 && !far.coefficients.empty())
            order = std::max<uint64_t>(order, far.lag + (far.coefficients.size() - 1));
    }
    return order;
}

MarConfig sample_mar_config(const MarParams& params, Mt64& rng) {
    const int32_t max_k = params.max_components;
    const int32_t max_p = params.max_order;
    if (max_k < 1 || max_k > 1000000 || max_p < 1 || max_p > 1000000)
        fault("mar: sample_mar_config needs checked parameters");
    const uint64_t lag_s = params.seasonal_lag;

    MarConfig c;
    const auto k_count = static_cast<std::size_t>(sample_int_range(rng, 1, max_k + 1));

    c.weights.resize(k_count);
    for (double& g : c.weights) g = gamma_law(rng, params.concentration, 1.0);
    double total = 0.0;
    for (double g : c.weights) total += g;
    for (double& g : c.weights) g = g / total;

    c.coefficients.resize(k_count);
    c.seasonal.resize(k_count);
    uint64_t stored = 0;
    std::vector<double> r;
    for (std::size_t k = 0; k < k_count; ++k) {
        const auto p = static_cast<std::size_t>(sample_int_range(rng, 1, max_p + 1));
        r.resize(p);
        for (double& v : r) v = sample_uniform(rng, -0.9, 0.9);
        std::vector<double> phi = pacf_to_ar(r);

        if (lag_s != 0 && sample_bernoulli(rng, 0.5)) {
            const double big_phi = sample_uniform(rng, -0.9, 0.9);
            // (1 - phi_1 B - .. - phi_p B^p)(1 - Phi B^S), as c = a * (1 - Phi B^S).
            std::vector<double> a(p + 1);
            a[0] = 1.0;
            for (std::size_t i = 1; i <= p; ++i) a[i] = -phi[i - 1];
            if (lag_s <= p + 1) {
                const std::size_t len = p + 1 + static_cast<std::size_t>(lag_s);
                std::vector<double> cc(len, 0.0);
                for (std::size_t i = 0; i <= p; ++i) {
                    cc[i] += a[i];
                    cc[i + lag_s] -= a[i] * big_phi;
                }
                phi.resize(len - 1);
                for (std::size_t i = 1; i < len; ++i) phi[i - 1] = -cc[i];
            } else {
                // The two halves do not overlap: near lags 1..p, far lags S..S+p.
                for (std::size_t i = 1; i <= p; ++i) phi[i - 1] = -(0.0 + a[i]);
                MarSeasonalBlock& far = c.seasonal[k];
                far.lag = lag_s;
                far.coefficients.resize(p + 1);
                for (std::size_t i = 0; i <= p; ++i) far.coefficients[i] = -(0.0 - a[i] * big_phi);
            }
        }
        stored += phi.size() + c.seasonal[k].coefficients.size();
        if (stored > kMarMaxCoefficients)
            fault("mar: configuration too large (" + std::to_string(stored) + " AR coefficients)");
        c.coefficients[k] = std::move(phi);
    }

    c.intercepts.resize(k_count);
    for (double& b : c.intercepts) b = standard_normal(rng) * params.intercept_std;

    c.scales.assign(k_count, params.noise_scale_min);
    const double lo = std::log(params.noise_scale_min);
    const double hi = std::log(params.noise_scale_max);
    if (lo != hi)
        for (double& sc : c.scales) sc = std::exp(sample_uniform(rng, lo, hi));
    return c;
}

MarConfig parse_mar_fixed_config(std::span<const std::vector<double>> arrays) {
    if (arrays.size() < kMarFixedArrayCount)
        value_error("mar: expected >= 5 array params in fixed mode, got " + std::to_string(arrays.size()));
    const std::vector<double>& weights = arrays[0];
    const std::vector<double>& orders = arrays[1];
    const std::vector<double>& coefs = arrays[2];
    const std::size_t k_count = weights.size();
    if (k_count == 0 || orders.size() != k_count || arrays[3].size() != k_count || arrays[4].size() != k_count)
        value_error("mar: inconsistent fixed component counts");

    MarConfig c;
    c.coefficients.resize(k_count);
    uint64_t offset = 0;
    for (std::size_t k = 0; k < k_count; ++k) {
        const double v = orders[k];
        const uint64_t o = slot_u64(v);
        if (o > UINT64_MAX - offset) value_error("mar: fixed AR coefficient offset overflow");
        if (!std::isfinite(v) || std::trunc(v) != v || o == 0 || offset + o > coefs.size())
            value_error("mar: invalid fixed AR coefficient layout");
        const auto first = coefs.begin() + static_cast<std::ptrdiff_t>(offset);
        c.coefficients[k].assign(first, first + static_cast<std::ptrdiff_t>(o));
        offset += o;
    }
    if (offset != coefs.size()) value_error("mar: unused fixed AR coefficients");

    c.weights = weights;
    c.intercepts = arrays[3];
    c.scales = arrays[4];
    return c;
}

void simulate_mar(std::span<double> values, const MarConfig& config, uint64_t burn_in, int32_t innov_code, Mt64& rng,
                  double innov_param) {
    check_config_shape(config);
    const std::size_t k_count = config.weights.size();
    uint64_t lags = 0;
    for (std::size_t k = 0; k < k_count; ++k) lags = std::max(lags, mar_order(config, k));

    const uint64_t n = values.size();
    if (burn_in > UINT64_MAX - n) fault("mar: burn-in too long");
    const uint64_t steps = burn_in + n;
    // The window holds the lags plus one chunk; when the chunk is used up the
    // last `lags` values move to the front.
    const uint64_t chunk = std::min(steps, std::max(lags, kMarMinChunk));
    if (lags > kMarMaxWindow || chunk > kMarMaxWindow - lags)
        fault("mar: lag window too large (" + std::to_string(lags) + " lags)");
    std::vector<double> x(static_cast<std::size_t>(lags + chunk));

    for (std::size_t i = 0; i < lags; ++i) x[i] = standard_normal(rng);

    const ComponentPicker picker(config.weights);
    const bool has_far = !config.seasonal.empty();
    std::size_t pos = static_cast<std::size_t>(lags);
    for (uint64_t step = 0; step < steps; ++step) {
        if (pos == x.size()) {
            std::copy(x.end() - static_cast<std::ptrdiff_t>(lags), x.end(), x.begin());
            pos = static_cast<std::size_t>(lags);
        }
        const double u = uniform01(rng);
        const std::size_t k = picker.pick(u);

        // x_{t-i} is x[pos - i]; sum in lag order.
        const double* now = x.data() + pos;
        const std::vector<double>& phi = config.coefficients[k];
        double a = phi[0] * now[-1];
        for (std::size_t i = 1; i < phi.size(); ++i) a += phi[i] * now[-static_cast<std::ptrdiff_t>(i + 1)];
        if (has_far) {
            const MarSeasonalBlock& far = config.seasonal[k];
            if (far.lag != 0) {
                const double* at = now - static_cast<std::ptrdiff_t>(far.lag);
                for (std::size_t j = 0; j < far.coefficients.size(); ++j)
                    a += far.coefficients[j] * at[-static_cast<std::ptrdiff_t>(j)];
            }
        }
        const double xt = (a + config.intercepts[k]) +
                          sample_innovation(rng, innov_code, config.scales[k], innov_param);
        x[pos++] = xt;
        if (step >= burn_in) values[static_cast<std::size_t>(step - burn_in)] = xt;
    }
}

void gen_mar(std::span<double> values, uint64_t seed, const MarParams& params,
             std::span<const std::vector<double>> arrays) {
    const bool fixed_mode = params.fixed_mode;
    MarConfig fixed;
    if (fixed_mode) fixed = parse_mar_fixed_config(arrays);

    Mt64 rng(seed);
    const uint64_t burn_in = params.burn_in;
    const int32_t code = params.innov_dist;
    const double param = params.innov_param;
    const bool zscore = params.zscore;

    for (int attempt = 0; attempt < kMarAttempts; ++attempt) {
        if (fixed_mode) {
            simulate_mar(values, fixed, burn_in, code, rng, param);
        } else {
            const MarConfig drawn = sample_mar_config(params, rng);
            simulate_mar(values, drawn, burn_in, code, rng, param);
        }
        const Moments m = moments(values);
        if (acceptable(values, m)) {
            if (values.size() >= 2 && zscore) standardise(values, m);
            return;
        }
    }

    if (fixed_mode)
        value_error("mar: fixed configuration produced no finite, bounded, non-constant series in " +
                    std::to_string(kMarAttempts) + " attempts");
    // Random mode's last resort: plain standard normal values.
    for (double& v : values) v = standard_normal(rng);
    if (values.size() >= 2 && zscore) standardise(values, moments(values));
}

}  // namespace qm
