#include "generators/daily_active_users.hpp"

#include <cmath>
#include <cstddef>

#include "fault.hpp"
#include "powi.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"
#include "saturate.hpp"

namespace qm {

void gen_daily_active_users(std::span<double> values, std::span<int32_t> event_flags, uint64_t seed,
                            const DailyActiveUsersParams& p) {
    if (values.size() != event_flags.size()) fault("daily_active_users: values and flags differ in length");
    Mt64 rng(seed);
    const double g = p.growth_rate + 1.0;
    const double c = 1.0 - p.event_decay_rate;
    double effect = 0.0;
    for (std::size_t t = 0; t < values.size(); ++t) {
        const int64_t hours = saturate_to_i64(static_cast<double>(t) * p.step_hours);
        // The day as a 32-bit integer keeps the low 32 bits (it wraps).
        const int32_t day = static_cast<int32_t>(hours / 24);
        const double base = powi(g, day) * p.base_users;
        const int32_t dow = day % 7;
        const double level = p.weekly_pattern && dow >= 5 ? p.weekend_factor * base : base;
        event_flags[t] = 0;
        double f = effect;
        if (p.event_probability > uniform01(rng)) {
            event_flags[t] = 1;
            const double m = sample_uniform(rng, p.event_impact_min, p.event_impact_max);
            f = effect + (m - 1.0) * level;
        }
        const double total = level + f;
        const double sd = p.noise_std * total;
        effect = f * c;
        values[t] = std::fmax(total + sample_normal(rng, 0.0, sd), 0.0);
    }
}

}  // namespace qm
