// Python-facing functions of the `domain` submodule. Each checks its
// arguments, fills its generator's parameter record and runs the same core as
// the batch dispatcher.
#include "bindings/bindings.hpp"
#include "generators/clickstream.hpp"
#include "generators/daily_active_users.hpp"
#include "generators/energy_load.hpp"
#include "generators/intermittent.hpp"
#include "generators/iot_sensor.hpp"
#include "generators/vital_signs.hpp"

namespace qm::bindings {
namespace {

constexpr char kIntermittentDemandSignature[] =
    "length, demand_probability, demand_distribution, demand_mean, demand_std, intermittent_pattern, cluster_size, "
    "seasonal_period, seasonal_peak_prob, min_demand, seed";
static_assert(slots_follow(kIntermittentDemandSignature, kIntermittentDemandSlots));

PyObject* py_intermittent_demand(int32_t length, double demand_probability, int32_t demand_distribution,
                                 double demand_mean, double demand_std, int32_t intermittent_pattern,
                                 int32_t cluster_size, int32_t seasonal_period, double seasonal_peak_prob,
                                 double min_demand, uint64_t seed) {
    check_length(length);
    const IntermittentDemandParams p{.demand_probability = demand_probability,
                                     .demand_distribution = demand_distribution,
                                     .demand_mean = demand_mean,
                                     .demand_std = demand_std,
                                     .intermittent_pattern = intermittent_pattern,
                                     .cluster_size = cluster_size,
                                     .seasonal_period = seasonal_period,
                                     .seasonal_peak_prob = seasonal_peak_prob,
                                     .min_demand = min_demand};
    return series(length, [&](std::span<double> out) { gen_intermittent_demand(out, seed, p); });
}

constexpr char kDailyActiveUsersSignature[] =
    "length, base_users, growth_rate, weekend_factor, weekly_pattern, event_probability, event_impact_min, "
    "event_impact_max, event_decay_rate, noise_std, step_hours, seed";

// Returns (values, event flags as int32).
PyObject* py_daily_active_users(int32_t length, double base_users, double growth_rate, double weekend_factor,
                                bool weekly_pattern, double event_probability, double event_impact_min,
                                double event_impact_max, double event_decay_rate, double noise_std,
                                double step_hours, uint64_t seed) {
    check_length_and_step_hours(length, step_hours);
    const DailyActiveUsersParams p{.base_users = base_users,
                                   .growth_rate = growth_rate,
                                   .weekend_factor = weekend_factor,
                                   .weekly_pattern = weekly_pattern,
                                   .event_probability = event_probability,
                                   .event_impact_min = event_impact_min,
                                   .event_impact_max = event_impact_max,
                                   .event_decay_rate = event_decay_rate,
                                   .noise_std = noise_std,
                                   .step_hours = step_hours};
    std::vector<double> values(static_cast<std::size_t>(length));
    std::vector<int32_t> flags(static_cast<std::size_t>(length));
    py::nogil([&] { gen_daily_active_users(values, flags, seed, p); });
    return py::make_tuple({py::Ref(py::to_array(std::move(values))), py::Ref(py::to_array(std::move(flags)))});
}

constexpr char kIotSensorSignature[] =
    "length, base_value, trend, amplitude, period, measurement_noise, drift_rate, drift_noise, battery_degradation, "
    "battery_life, battery_degradation_rate, calibration_offset, failure_mode, failure_probability, "
    "failure_duration, stuck_value, spatial_correlation, seed";

// spatial_correlation is converted (so a bad value still raises) and unused.
PyObject* py_iot_sensor(int32_t length, double base_value, double trend, double amplitude, double period,
                        double measurement_noise, double drift_rate, double drift_noise, bool battery_degradation,
                        double battery_life, double battery_degradation_rate, double calibration_offset,
                        int32_t failure_mode, double failure_probability, int32_t failure_duration,
                        std::optional<double> stuck_value, double /*spatial_correlation*/, uint64_t seed) {
    check_length(length);
    const IotSensorParams p{.base_value = base_value,
                            .trend = trend,
                            .amplitude = amplitude,
                            .period = period,
                            .measurement_noise = measurement_noise,
                            .drift_rate = drift_rate,
                            .drift_noise = drift_noise,
                            .battery_degradation = battery_degradation,
                            .battery_life = battery_life,
                            .battery_degradation_rate = battery_degradation_rate,
                            .calibration_offset = calibration_offset,
                            .failure_mode = failure_mode,
                            .failure_probability = failure_probability,
                            .failure_duration = failure_duration,
                            .stuck_value = stuck_value};
    return series(length, [&](std::span<double> out) { gen_iot_sensor(out, seed, p); });
}

using py::ArrayIn;

constexpr char kEnergyLoadSignature[] =
    "length, base_load, load_type, daily_pattern, daily_amplitude, weekly_pattern, weekly_amplitude, "
    "yearly_pattern, yearly_amplitude, temperature_sensitive, temperature_sensitivity, base_temperature, "
    "morning_peak_hour, evening_peak_hour, peak_amplitude, holiday_effect, holiday_days, extreme_weather_prob, "
    "extreme_weather_impact, noise_std, step_hours, seed";
static_assert(slots_follow(kEnergyLoadSignature, kEnergyLoadSlots, {"holiday_days"}));

PyObject* py_energy_load(int32_t length, double base_load, int32_t load_type, bool daily_pattern,
                         double daily_amplitude, bool weekly_pattern, double weekly_amplitude, bool yearly_pattern,
                         double yearly_amplitude, bool temperature_sensitive, double temperature_sensitivity,
                         double base_temperature, int32_t morning_peak_hour, int32_t evening_peak_hour,
                         double peak_amplitude, double holiday_effect, ArrayIn<int32_t> holiday_days,
                         double extreme_weather_prob, double extreme_weather_impact, double noise_std,
                         double step_hours, uint64_t seed) {
    check_length_and_step_hours(length, step_hours);
    const EnergyLoadParams p{.base_load = base_load,
                             .load_type = load_type,
                             .daily_pattern = daily_pattern,
                             .daily_amplitude = daily_amplitude,
                             .weekly_pattern = weekly_pattern,
                             .weekly_amplitude = weekly_amplitude,
                             .yearly_pattern = yearly_pattern,
                             .yearly_amplitude = yearly_amplitude,
                             .temperature_sensitive = temperature_sensitive,
                             .temperature_sensitivity = temperature_sensitivity,
                             .base_temperature = base_temperature,
                             .morning_peak_hour = morning_peak_hour,
                             .evening_peak_hour = evening_peak_hour,
                             .peak_amplitude = peak_amplitude,
                             .holiday_effect = holiday_effect,
                             .extreme_weather_prob = extreme_weather_prob,
                             .extreme_weather_impact = extreme_weather_impact,
                             .noise_std = noise_std,
                             .step_hours = step_hours};
    const std::vector<int32_t> holidays = holiday_days.to_vector();
    return series(length, [&](std::span<double> out) { gen_energy_load(out, seed, p, holidays); });
}

constexpr char kVitalSignsSignature[] =
    "length, baseline_mean, baseline_std, min_val, max_val, include_circadian, circadian_magnitude, include_hrv, "
    "include_events, event_probability, vital_sign_type, seed";
static_assert(slots_follow(kVitalSignsSignature, kVitalSignsSlots));

PyObject* py_vital_signs(int32_t length, double baseline_mean, double baseline_std, double min_val, double max_val,
                         bool include_circadian, double circadian_magnitude, bool include_hrv, bool include_events,
                         double event_probability, int32_t vital_sign_type, uint64_t seed) {
    check_length(length);
    const VitalSignsParams p{.baseline_mean = baseline_mean,
                             .baseline_std = baseline_std,
                             .min_val = min_val,
                             .max_val = max_val,
                             .include_circadian = include_circadian,
                             .circadian_magnitude = circadian_magnitude,
                             .include_hrv = include_hrv,
                             .include_events = include_events,
                             .event_probability = event_probability,
                             .vital_sign_type = vital_sign_type};
    return series(length, [&](std::span<double> out) { gen_vital_signs(out, seed, p); });
}

constexpr char kClickstreamSignature[] =
    "length, base_sessions, conversion_mult, bounce_mult, depth_mult, seasonality_amp, conversion_rate, "
    "bounce_rate, avg_session_depth, include_seasonality, include_bots, bot_fraction, output_type, seed";
static_assert(slots_follow(kClickstreamSignature, kClickstreamSlots));

PyObject* py_clickstream(int32_t length, double base_sessions, double conversion_mult, double bounce_mult,
                         double depth_mult, double seasonality_amp, double conversion_rate, double bounce_rate,
                         double avg_session_depth, bool include_seasonality, bool include_bots, double bot_fraction,
                         int32_t output_type, uint64_t seed) {
    check_length(length);
    const ClickstreamParams p{.base_sessions = base_sessions,
                              .conversion_mult = conversion_mult,
                              .bounce_mult = bounce_mult,
                              .depth_mult = depth_mult,
                              .seasonality_amp = seasonality_amp,
                              .conversion_rate = conversion_rate,
                              .bounce_rate = bounce_rate,
                              .avg_session_depth = avg_session_depth,
                              .include_seasonality = include_seasonality,
                              .include_bots = include_bots,
                              .bot_fraction = bot_fraction,
                              .output_type = output_type};
    return series(length, [&](std::span<double> out) { gen_clickstream(out, seed, p); });
}

}  // namespace

const py::FunctionTable domain_functions = {
    py::define<py_intermittent_demand>("intermittent_demand", kIntermittentDemandSignature),
    py::define<py_daily_active_users>("daily_active_users", kDailyActiveUsersSignature),
    py::define<py_energy_load>("energy_load", kEnergyLoadSignature),
    py::define<py_vital_signs>("vital_signs", kVitalSignsSignature),
    py::define<py_iot_sensor>("iot_sensor", kIotSensorSignature),
    py::define<py_clickstream>("clickstream", kClickstreamSignature),
};

}  // namespace qm::bindings
