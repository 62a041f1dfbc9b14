#include "generators/iot_sensor.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

void gen_iot_sensor(std::span<double> out, uint64_t seed, const IotSensorParams& p) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    Mt64 rng(seed);
    // Also faults for an empty series (a batch length of 0), where no draw is made.
    check_normal_std(p.measurement_noise);
    // d - 1 more samples after the failing one; 64-bit so d = INT32_MIN is
    // just "no more".
    const int64_t extra = static_cast<int64_t>(p.failure_duration) - 1;
    const double fail_p = p.failure_probability;
    double drift = 0.0;
    bool dead = false;
    int64_t burst_left = 0;
    int64_t stuck_left = 0;
    double stuck_at = 0.0;
    for (std::size_t t = 0; t < out.size(); ++t) {
        const double tau = static_cast<double>(t);
        double s = p.trend * tau + p.base_value;
        if (p.period > 0.0) s = s + std::sin((tau * (2.0 * std::numbers::pi)) / p.period) * p.amplitude;
        s = s + p.calibration_offset;
        if (t >= 1) {
            drift = drift + sample_normal(rng, p.drift_rate, p.drift_noise);
            s = s + drift;
        }
        double y = sample_normal(rng, 0.0, p.measurement_noise) + s;
        if (p.battery_degradation && tau >= p.battery_life) {
            const double e = (tau - p.battery_life) * p.battery_degradation_rate;
            const double sigma_b = (e + 1.0) * p.measurement_noise;
            y = y + sample_normal(rng, 0.0, sigma_b);
            y = y * std::fmax(e * -0.1 + 1.0, 0.0);
        }
        switch (p.failure_mode) {
            case kSensorDropout:
                if (!dead && fail_p > uniform01(rng)) dead = true;
                if (dead) y = kNaN;
                break;
            case kSensorBursts:
                if (burst_left > 0) {
                    --burst_left;
                    y = kNaN;
                } else if (fail_p > uniform01(rng)) {
                    burst_left = extra;
                    y = kNaN;
                }
                break;
            case kSensorStuck:
                if (stuck_left > 0) {
                    --stuck_left;
                    y = stuck_at;
                } else if (fail_p > uniform01(rng)) {
                    stuck_at = p.stuck_value.value_or(y);
                    stuck_left = extra;
                    y = stuck_at;
                }
                break;
            default: break;
        }
        out[t] = y;
    }
}

}  // namespace qm
