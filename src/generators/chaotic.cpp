#include "generators/chaotic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "clamp.hpp"
#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr std::size_t kMapBurnIn = 500;
constexpr std::size_t kLorenzBurnIn = 1000;
constexpr int64_t kMaxStepsPerSample = 100000;

void logistic(std::span<double> out, Mt64& rng, const ChaoticSystemParams& p) {
    double x = clamp_nan_passes(p.initial_perturbation * standard_normal(rng) + 0.5, 0.01, 0.99);
    const double r = p.logistic_r;
    for (std::size_t k = 0; k < kMapBurnIn; ++k) x = ((1.0 - x) * r) * x;
    for (double& v : out) {
        x = ((1.0 - x) * r) * x;
        v = x;
    }
}

void mackey_glass(std::span<double> out, Mt64& rng, const ChaoticSystemParams& p) {
    // The delay ring has tau + 1 cells, but step i only ever reads cell
    // i mod L, which holds x0 until step i - L wrote it. A ring of
    // min(L, steps) cells read at i mod size gives the same values.
    const int64_t ring_len = static_cast<int64_t>(p.mg_tau) + 1;  // >= 1: checked by the caller
    const double x0 = p.initial_perturbation * standard_normal(rng) + 1.2;
    const std::size_t steps = out.size() + kMapBurnIn;
    const std::size_t cells = std::min(static_cast<std::size_t>(ring_len), steps);
    std::vector<double> ring(cells, x0);
    double x = x0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < steps; ++i) {
        const double d = ring[at];
        x = ((p.mg_beta * d) / (std::pow(d, p.mg_n) + 1.0) - p.mg_gamma * x) + x;
        ring[at] = x;
        if (i >= kMapBurnIn) out[i - kMapBurnIn] = x;
        if (++at == cells) at = 0;
    }
}

struct Vec3 {
    double x, y, z;
};

void lorenz(std::span<double> out, Mt64& rng, const ChaoticSystemParams& p) {
    const double h = p.dt;
    const int64_t k = std::clamp<int64_t>(saturate_to_i64(1.0 / h), 1, kMaxStepsPerSample);
    const double pert = p.initial_perturbation;
    Vec3 s;
    s.x = pert * standard_normal(rng) + 1.0;
    s.y = pert * standard_normal(rng) + 1.0;
    s.z = pert * standard_normal(rng) + 1.0;
    const double sigma = p.sigma, rho = p.rho, beta = p.beta;
    const double h2 = 0.5 * h;
    const double h6 = h / 6.0;
    auto f = [&](const Vec3& v) { return Vec3{(v.y - v.x) * sigma, (rho - v.z) * v.x - v.y, v.x * v.y - beta * v.z}; };
    auto step = [&] {
        const Vec3 k1 = f(s);
        const Vec3 k2 = f({k1.x * h2 + s.x, k1.y * h2 + s.y, h2 * k1.z + s.z});
        const Vec3 k3 = f({k2.x * h2 + s.x, k2.y * h2 + s.y, h2 * k2.z + s.z});
        const Vec3 k4 = f({h * k3.x + s.x, h * k3.y + s.y, h * k3.z + s.z});
        s.x = (((k1.x + 2.0 * k2.x) + 2.0 * k3.x) + k4.x) * h6 + s.x;
        s.y = (((k1.y + 2.0 * k2.y) + 2.0 * k3.y) + k4.y) * h6 + s.y;
        s.z = (((k1.z + 2.0 * k2.z) + 2.0 * k3.z) + k4.z) * h6 + s.z;
    };
    // Sample j is x after step k (j + 1); samples before kLorenzBurnIn are
    // discarded.
    const std::size_t samples = out.size() + kLorenzBurnIn;
    for (std::size_t j = 0; j < samples; ++j) {
        for (int64_t i = 0; i < k; ++i) step();
        if (j >= kLorenzBurnIn) out[j - kLorenzBurnIn] = s.x;
    }
}

}  // namespace

void gen_chaotic_system(std::span<double> out, uint64_t seed, const ChaoticSystemParams& p) {
    Mt64 rng(seed);
    if (p.system_id == kChaoticMackeyGlass && static_cast<int64_t>(p.mg_tau) + 1 <= 0)
        fault("chaotic_system: mg_tau must be >= 0 for the Mackey-Glass map");
    if (out.empty()) {
        // Nothing is kept, so skip the burn-in.
    } else if (p.system_id == kChaoticLogistic) {
        logistic(out, rng, p);
    } else if (p.system_id == kChaoticMackeyGlass) {
        mackey_glass(out, rng, p);
    } else {
        lorenz(out, rng, p);
    }
    if (p.observation_noise > 0.0) {
        // Checked before the loop, so an empty series with noise = +inf still faults.
        const InnovationLaw noise = prepare_innovation(kInnovNormal, p.observation_noise, 0.0);
        for (double& v : out) v = draw_innovation(rng, noise) + v;
    }
}

}  // namespace qm
