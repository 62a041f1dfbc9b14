// Python-facing functions of the `domain` submodule.
#include "bindings/bindings.hpp"
#include "generators/daily_active_users.hpp"
#include "generators/intermittent.hpp"
#include "generators/iot_sensor.hpp"

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
    if (length <= 0) value_error("length must be > 0");
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
    if (length <= 0) value_error("length must be > 0");
    if (step_hours <= 0.0) value_error("step_hours must be > 0");
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
    if (length <= 0) value_error("length must be > 0");
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

}  // namespace

const py::FunctionTable domain_functions = {
    py::define<py_intermittent_demand>("intermittent_demand", kIntermittentDemandSignature),
    py::define<py_daily_active_users>("daily_active_users", kDailyActiveUsersSignature),
    py::define<py_iot_sensor>("iot_sensor", kIotSensorSignature),
};

}  // namespace qm::bindings
