// IoT sensor: a true signal (level, trend, optional sinusoid, calibration
// offset) plus a random-walk drift, measurement noise, battery ageing, and
// failures that turn readings into NaN or freeze them. No batch code: only
// the Python function runs this core.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qm {

// failure_mode: 1 permanent dropout, 2 dropout bursts, 3 stuck sensor; any
// other code never fails.
inline constexpr int32_t kSensorDropout = 1;
inline constexpr int32_t kSensorBursts = 2;
inline constexpr int32_t kSensorStuck = 3;

struct IotSensorParams {
    double base_value = 0.0;
    double trend = 0.0;
    double amplitude = 0.0;
    double period = 0.0;  // <= 0 or NaN: no periodic term
    double measurement_noise = 0.0;
    double drift_rate = 0.0;
    double drift_noise = 0.0;
    bool battery_degradation = false;
    double battery_life = 0.0;
    double battery_degradation_rate = 0.0;
    double calibration_offset = 0.0;
    int32_t failure_mode = 0;
    double failure_probability = 0.0;
    int32_t failure_duration = 0;
    std::optional<double> stuck_value;  // none: the reading at the failing sample
};

// Faults (normal-law text) on a non-finite measurement noise, a non-finite
// drift noise once t = 1 is reached, or a non-finite aged noise scale.
void gen_iot_sensor(std::span<double> out, uint64_t seed, const IotSensorParams& p);

}  // namespace qm
