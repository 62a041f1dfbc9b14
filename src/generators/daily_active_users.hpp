// Daily active users sampled every step_hours hours: compound daily growth,
// an optional weekend dip, random events that lift the level and fade
// geometrically, and noise proportional to the level. No batch code: only
// the Python function runs this core.
#pragma once

#include <cstdint>
#include <span>

namespace qm {

struct DailyActiveUsersParams {
    double base_users = 0.0;
    double growth_rate = 0.0;
    double weekend_factor = 0.0;
    bool weekly_pattern = false;
    double event_probability = 0.0;
    double event_impact_min = 0.0;
    double event_impact_max = 0.0;
    double event_decay_rate = 0.0;
    double noise_std = 0.0;
    double step_hours = 0.0;
};

// Fills `values` (never negative) and `event_flags` (1 where an event
// started), both of the same length. Faults: the uniform sampler's on the
// first event when the impact range is empty or not finite; the normal
// law's when noise_std times the level is not finite.
void gen_daily_active_users(std::span<double> values, std::span<int32_t> event_flags, uint64_t seed,
                            const DailyActiveUsersParams& p);

}  // namespace qm
