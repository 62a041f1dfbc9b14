#include "generators/tcm.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>
#include <numbers>

#include "fault.hpp"
#include "generators/scenario.hpp"
#include "powi.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr int kTcmAttempts = 6;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct Edge {
    std::size_t source;
    int32_t lag;
    double weight;
    double scale;
    double threshold;
    std::size_t source2;
    int32_t lag2;
    int32_t kind;
};

bool linear_type(int32_t kind) { return kind >= 0 && kind <= 2; }

struct NodeNoise {
    double scale;
    double param;
    double period;
    double amplitude;
    double phase;
    int32_t code;
    bool envelope;
};

// The drawn graph: edges grouped by target in creation order.
struct Graph {
    std::size_t nodes = 0;
    std::size_t lags = 0;
    std::vector<Edge> edges;
    std::vector<std::size_t> first;  // edges of node i: [first[i], first[i + 1])
};

void build_lag_tensor(const Graph& g, std::vector<double>& tensor) {
    const std::size_t n = g.nodes;
    tensor.assign(g.lags * n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = g.first[i]; k < g.first[i + 1]; ++k) {
            const Edge& e = g.edges[k];
            if (linear_type(e.kind))
                tensor[(static_cast<std::size_t>(e.lag) - 1) * n * n + i * n + e.source] += e.weight;
        }
}

void scale_linear(Graph& g, double factor) {
    for (Edge& e : g.edges)
        if (linear_type(e.kind)) e.weight = e.weight * factor;
}

void scale_linear_by_lag(Graph& g, double base) {
    for (Edge& e : g.edges)
        if (linear_type(e.kind)) e.weight = e.weight * powi(base, e.lag);
}

// Kind choice: the first pool index whose running weight exceeds u, else
// the last. The running sums never decrease, so a binary search finds it.
struct KindPicker {
    std::vector<double> cumulative;
    bool has_linear = false;

    KindPicker(Mt64& rng, std::span<const double> pool) : cumulative(pool.size()) {
        for (double& w : cumulative) w = standard_exponential(rng);
        double total = -0.0;
        for (double w : cumulative) total += w;
        double acc = 0.0;
        for (double& w : cumulative) {
            acc = acc + w / total;
            w = acc;
        }
        for (double k : pool) has_linear = has_linear || slot_i32(k) == 0;
    }

    std::size_t pick(double u) const {
        const auto it = std::upper_bound(cumulative.begin(), cumulative.end(), u);
        return it == cumulative.end() ? cumulative.size() - 1 : static_cast<std::size_t>(it - cumulative.begin());
    }
};

void draw_graph(Mt64& rng, Graph& g, const TcmParams& p, std::span<const double> kind_pool, double prob,
                double decay, const KindPicker& kinds) {
    const std::size_t n = g.nodes;
    const auto lags = static_cast<int32_t>(g.lags);
    const auto n32 = static_cast<int32_t>(n);
    g.edges.clear();
    g.first.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        g.first[i] = g.edges.size();
        for (std::size_t j = 0; j < n; ++j)
            for (int32_t l = 1; l <= lags; ++l) {
                const bool forced = j == i && l == 1;
                if (!forced && !(uniform01(rng) < prob)) continue;
                int32_t kind = slot_i32(kind_pool[kinds.pick(uniform01(rng))]);
                double m = range_draw(rng, p.weight_lo, p.weight_hi);
                if (uniform01(rng) < 0.5) m = -m;
                double weight = powi(decay, l - 1) * m;
                if (forced && kinds.has_linear) {
                    weight = 1.0;
                    kind = 0;
                }
                const double scale = std::exp(uniform01_52(rng) * 2.0794415416798357 - std::numbers::ln2);
                const double threshold = standard_normal(rng) + 0.0;
                const auto source2 = static_cast<std::size_t>(sample_int_range(rng, 0, n32));
                const int32_t lag2 = sample_int_range(rng, 1, lags + 1);
                g.edges.push_back({j, l, weight, scale, threshold, source2, lag2, kind});
            }
    }
    g.first[n] = g.edges.size();
}

void draw_noise(Mt64& rng, std::vector<NodeNoise>& noise, std::size_t nodes, const TcmParams& p,
                std::span<const double> noise_pool) {
    noise.resize(nodes);
    for (NodeNoise& z : noise) {
        const std::size_t index = pick(rng, noise_pool.size(), "tcm");
        z.scale = range_draw(rng, p.noise_scale_lo, p.noise_scale_hi);
        z.param = sample_uniform(rng, 3.0, 10.0);
        z.envelope = p.envelope_prob > uniform01(rng);
        z.period = sample_uniform(rng, 50.0, 500.0);
        z.amplitude = sample_uniform(rng, 0.3, 1.0);
        z.phase = sample_uniform(rng, 0.0, kTwoPi);
        z.code = slot_i32(noise_pool[index]);
    }
}

// Runs the nodes over `steps` steps in x (node-major rows of `steps` values):
// rows start as the noise, and each step from L on replaces a column by the
// clipped update, which reads only earlier columns.
void simulate(const Graph& g, const std::vector<NodeNoise>& noise, std::vector<double>& x, std::size_t steps,
              double clip, Mt64& rng) {
    const std::size_t n = g.nodes;
    x.resize(n * steps);
    for (std::size_t i = 0; i < n; ++i) {
        const NodeNoise& z = noise[i];
        const std::span<double> row(x.data() + i * steps, steps);
        fill_innovations(rng, z.code, z.scale, z.param, row);
        if (z.envelope)
            for (std::size_t t = 0; t < steps; ++t)
                row[t] = row[t] *
                         std::exp(z.amplitude * std::sin((static_cast<double>(t) * kTwoPi) / z.period + z.phase));
    }

    // x[t - lag][source] is x[offset + t] with offset = source * steps - lag.
    struct Term {
        std::ptrdiff_t offset;
        std::ptrdiff_t offset2;
        double weight;
        double scale;
        double threshold;
        int32_t kind;
    };
    std::vector<Term> terms(g.edges.size());
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Edge& e = g.edges[k];
        terms[k] = {static_cast<std::ptrdiff_t>(e.source * steps) - e.lag,
                    static_cast<std::ptrdiff_t>(e.source2 * steps) - e.lag2, e.weight, e.scale, e.threshold, e.kind};
    }
    double* const data = x.data();
    for (std::size_t t = g.lags; t < steps; ++t) {
        const auto tt = static_cast<std::ptrdiff_t>(t);
        for (std::size_t i = 0; i < n; ++i) {
            double acc = data[i * steps + t];
            for (std::size_t k = g.first[i]; k < g.first[i + 1]; ++k) {
                const Term& e = terms[k];
                const double v = data[e.offset + tt];
                double f;
                switch (e.kind) {
                    case 0: f = v; break;
                    case 1: f = e.scale * std::tanh(v / e.scale); break;
                    case 2: f = v > 0.0 ? v : 0.0; break;
                    case 3: f = (e.scale * std::tanh(v / e.scale)) * std::tanh(data[e.offset2 + tt] / e.scale); break;
                    case 4: f = e.threshold < v ? 1.0 : 0.0; break;
                    default: f = 0.0;
                }
                acc = acc + f * e.weight;
            }
            data[i * steps + t] = std::tanh(acc / clip) * clip;
        }
    }
}

}  // namespace

double spectral_radius(std::span<const double> tensor, std::size_t nodes, std::size_t lags) {
    const std::size_t n = nodes;
    const std::size_t k_size = n * lags;
    if (tensor.size() < k_size * n) fault("tcm: lag tensor shorter than its shape");
    std::vector<double> v(k_size), w(k_size);
    for (std::size_t k = 0; k < k_size; ++k) v[k] = std::sin(0.7368 * static_cast<double>(k) + 0.31) * 0.5 + 1.0;
    double ss = -0.0;
    for (double a : v) ss += a * a;
    const double norm0 = std::sqrt(ss);
    for (double& a : v) a = a / norm0;

    double log_sum = 0.0;
    for (int it = 0; it < 400; ++it) {
        for (std::size_t r = 0; r < n; ++r) {
            double acc = 0.0;
            for (std::size_t l = 0; l < lags; ++l) {
                const double* a = tensor.data() + l * n * n + r * n;
                const double* x = v.data() + l * n;
                for (std::size_t s = 0; s < n; ++s) acc += a[s] * x[s];
            }
            w[r] = acc;
        }
        std::copy(v.begin(), v.end() - static_cast<std::ptrdiff_t>(n), w.begin() + static_cast<std::ptrdiff_t>(n));
        double sq = -0.0;
        for (double a : w) sq += a * a;
        const double norm = std::sqrt(sq);
        if (norm <= 2.2250738585072014e-308) return 0.0;
        if (it >= 100) log_sum += std::log(norm);
        for (std::size_t k = 0; k < k_size; ++k) v[k] = w[k] / norm;
    }
    return std::exp(log_sum / 300.0);
}

void gen_tcm(std::span<double> out, uint64_t seed, const TcmParams& p, std::span<const double> edge_kind_pool,
             std::span<const double> noise_type_pool) {
    const std::size_t n = out.size();
    if (n == 0) return;
    if (edge_kind_pool.empty()) fault("tcm: edge kind pool is empty");
    if (noise_type_pool.empty()) fault("tcm: noise type pool is empty");
    constexpr auto kPoolMax = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    if (noise_type_pool.size() > kPoolMax) fault("tcm: noise type pool longer than 2147483647 entries");
    Mt64 rng(seed);
    const std::size_t warm_up = std::min<std::size_t>(n, 200);
    const int32_t nodes_lo = std::max(1, p.nodes_lo);
    const int32_t lag_lo = std::max(1, p.lag_lo);

    Graph g;
    std::vector<NodeNoise> noise;
    std::vector<double> tensor, x;
    for (int attempt = 0; attempt < kTcmAttempts; ++attempt) {
        const int64_t nodes = int_range_draw(rng, nodes_lo, p.nodes_hi);
        const int64_t lags = int_range_draw(rng, lag_lo, p.lag_hi);
        const double prob = range_draw(rng, p.edge_prob_lo, p.edge_prob_hi);
        const double decay = sample_uniform(rng, 0.4, 1.0);
        const KindPicker kinds(rng, edge_kind_pool);
        // The graph is where the work grows with the size: checked just before it.
        if (lags > kTcmMaxLag || nodes * nodes > kTcmMaxPairs || nodes * nodes * lags > kTcmMaxPairs)
            fault("tcm: graph of " + std::to_string(nodes) + " nodes and " + std::to_string(lags) +
                  " lags is too large (limits: nodes * nodes * lags <= " + std::to_string(kTcmMaxPairs) +
                  ", lags <= " + std::to_string(kTcmMaxLag) + ")");
        g.nodes = static_cast<std::size_t>(nodes);
        g.lags = static_cast<std::size_t>(lags);
        draw_graph(rng, g, p, edge_kind_pool, prob, decay, kinds);
        draw_noise(rng, noise, g.nodes, p, noise_type_pool);

        double target = uniform01(rng) < 0.22 ? sample_uniform(rng, 0.95, 1.0) : sample_uniform(rng, 0.1, 0.6);
        target = target * p.radius_scale;
        build_lag_tensor(g, tensor);
        const double rho = spectral_radius(tensor, g.nodes, g.lags);
        if (rho > target) {
            scale_linear_by_lag(g, target / rho);
        } else if (rho > 1e-9) {
            scale_linear(g, std::fmin(target / rho, 4.0));
            build_lag_tensor(g, tensor);
            const double rho2 = spectral_radius(tensor, g.nodes, g.lags);
            if (rho2 >= p.radius_scale) scale_linear_by_lag(g, target / rho2);
        }

        const std::size_t lead = g.lags + warm_up;
        if (n > std::numeric_limits<std::size_t>::max() / g.nodes - lead) fault("tcm: simulation too long");
        const std::size_t steps = lead + n;
        check_allocation(g.nodes * steps, sizeof(double));
        simulate(g, noise, x, steps, p.clip_scale, rng);
        const std::span<const double> y(x.data() + lead, n);
        if (acceptable(y, false)) {
            std::copy(y.begin(), y.end(), out.begin());
            return;
        }
    }

    // The last resort: an AR(1) with coefficient 0.7, warmed up on the same stream.
    double a = standard_normal(rng) + 0.0;
    if (n != 1)
        for (std::size_t k = 1; k < warm_up; ++k) a = (standard_normal(rng) + 0.0) + 0.7 * a;
    for (double& v : out) {
        a = 0.7 * a + (standard_normal(rng) + 0.0);
        v = a;
    }
}

}  // namespace qm
