// Lagged node-graph scenario generator with typed edges (batch code 29; no
// Python function of its own).
//
// Each attempt draws N nodes and a maximum lag L, a random graph of lagged
// edges whose kinds come from a pool (0 linear, 1 tanh, 2 rectified, 3 tanh
// product, 4 step; other codes add nothing), scales the linear-type part
// (kinds 0-2) to a drawn spectral radius, gives every node an innovation law
// from a pool and, for some, a slow volatility envelope, runs the nodes
// through a soft clip and returns node 0's path. A path that is not finite,
// bounded and non-constant is retried, up to 6 attempts; then the output is
// an AR(1) with coefficient 0.7 of standard normals.
//
// A pair (lo, hi) of float scalars is read as lo when lo >= hi, else as a
// uniform draw in [lo, hi) (so a NaN bound reaches the sampler and faults);
// node and lag counts draw in [max(1, lo), hi] (inclusive).
//
// Every failure is a fault: empty pools, the samplers' and laws' refusals,
// and a graph beyond the caps below, which bound the work of one attempt
// (its draws and radius iterations grow with N * N * L, its simulation with
// the edges times the L + 200 + n steps).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct TcmParams {
    int32_t nodes_lo = 1;
    int32_t nodes_hi = 1;
    int32_t lag_lo = 1;
    int32_t lag_hi = 1;
    double edge_prob_lo = 0.0;
    double edge_prob_hi = 0.0;
    double weight_lo = 0.0;  // edge weight magnitude
    double weight_hi = 0.0;
    double radius_scale = 1.0;
    double clip_scale = 1.0;
    double noise_scale_lo = 1.0;
    double noise_scale_hi = 1.0;
    double envelope_prob = 0.0;
};

inline constexpr std::array<Slot<TcmParams>, 13> kTcmSlots{{
    {"nodes_lo", &TcmParams::nodes_lo},
    {"nodes_hi", &TcmParams::nodes_hi},
    {"lag_lo", &TcmParams::lag_lo},
    {"lag_hi", &TcmParams::lag_hi},
    {"edge_prob_lo", &TcmParams::edge_prob_lo},
    {"edge_prob_hi", &TcmParams::edge_prob_hi},
    {"weight_lo", &TcmParams::weight_lo},
    {"weight_hi", &TcmParams::weight_hi},
    {"radius_scale", &TcmParams::radius_scale},
    {"clip_scale", &TcmParams::clip_scale},
    {"noise_scale_lo", &TcmParams::noise_scale_lo},
    {"noise_scale_hi", &TcmParams::noise_scale_hi},
    {"envelope_prob", &TcmParams::envelope_prob},
}};

// Caps on a drawn graph: N * N * L lagged node pairs, and L alone.
inline constexpr int64_t kTcmMaxPairs = 65536;
inline constexpr int64_t kTcmMaxLag = 1024;

void gen_tcm(std::span<double> out, uint64_t seed, const TcmParams& p, std::span<const double> edge_kind_pool,
             std::span<const double> noise_type_pool);

// Spectral radius of the companion matrix of the lag tensor (L blocks of
// N x N, block l - 1 holding the lag-l coefficients, row-major), by 400
// power iterations: the geometric mean of the last 300 norm ratios, or 0.0
// when the iterate vanishes.
double spectral_radius(std::span<const double> tensor, std::size_t nodes, std::size_t lags);

}  // namespace qm
