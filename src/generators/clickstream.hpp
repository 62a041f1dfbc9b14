// Hourly web-traffic metrics: Poisson sessions around a base rate modulated
// by a slow random trend and by hour-of-day and weekday factors, optional
// bot traffic with bursts, binomial bounces and conversions, and page depth
// from a negative binomial law. One call returns the metric named by
// output_type. The Python function and batch code 27 run the same core.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "rng/mt64.hpp"
#include "saturate.hpp"

namespace qm {

struct ClickstreamParams {
    double base_sessions = 0.0;
    double conversion_mult = 0.0;
    double bounce_mult = 0.0;
    double depth_mult = 0.0;
    double seasonality_amp = 0.0;
    double conversion_rate = 0.0;
    double bounce_rate = 0.0;
    double avg_session_depth = 0.0;
    bool include_seasonality = false;
    bool include_bots = false;
    double bot_fraction = 0.0;
    int32_t output_type = 0;
};

inline constexpr std::array<Slot<ClickstreamParams>, 12> kClickstreamSlots{{
    {"base_sessions", &ClickstreamParams::base_sessions},
    {"conversion_mult", &ClickstreamParams::conversion_mult},
    {"bounce_mult", &ClickstreamParams::bounce_mult},
    {"depth_mult", &ClickstreamParams::depth_mult},
    {"seasonality_amp", &ClickstreamParams::seasonality_amp},
    {"conversion_rate", &ClickstreamParams::conversion_rate},
    {"bounce_rate", &ClickstreamParams::bounce_rate},
    {"avg_session_depth", &ClickstreamParams::avg_session_depth},
    {"include_seasonality", &ClickstreamParams::include_seasonality},
    {"include_bots", &ClickstreamParams::include_bots},
    {"bot_fraction", &ClickstreamParams::bot_fraction},
    {"output_type", &ClickstreamParams::output_type},
}};

// Negative binomial count of failures before the r-th success (success
// probability p) as a gamma-Poisson mixture: lambda ~ Gamma(r, (1 - p) / p),
// then Poisson(lambda) saturated to int32. Faults unless r > 0 and
// (1 - p) / p > 0 (p = +0 passes with an infinite scale, and then faults on
// the infinite lambda).
int32_t sample_negative_binomial(Mt64& rng, double r, double p);

// output_type 0 (and any unknown code): sessions + bots; 1: page views;
// 2: conversions; 3: bounce rate. Every draw is made whatever the output.
// An empty series faults after the drift draw.
void gen_clickstream(std::span<double> out, uint64_t seed, const ClickstreamParams& p);

}  // namespace qm
