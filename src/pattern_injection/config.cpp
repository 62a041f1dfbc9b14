#include "pattern_injection/config.hpp"

#include <limits>
#include <string>
#include <utility>

#include "fault.hpp"
#include "pattern_injection/injectors.hpp"

namespace qm {

InjectionIndices apply_pattern_injection(std::span<double> values,
                                         const PatternInjectionConfig& config, uint64_t cp_seed,
                                         uint64_t anom_seed, uint64_t miss_seed) {
    InjectionIndices out;
    if (config.changepoints) {
        out.cp_indices = inject_changepoints(
            values, cp_seed, config.num_changepoints, config.changepoint_type,
            config.changepoint_locations, config.changepoint_level_changes,
            config.changepoint_trend_changes, config.changepoint_variance_changes);
    }
    if (config.anomalies) {
        out.anom_indices = inject_anomalies(
            values, anom_seed, config.anomaly_types, config.anomaly_fraction,
            config.spike_magnitude, config.dip_magnitude, config.level_shift_magnitude,
            config.level_shift_duration);
    }
    if (config.missing_data) {
        out.miss_indices =
            inject_missingness(values, miss_seed, config.missing_pattern, config.missing_rate,
                               config.missing_block_size, config.missing_seasonal_period);
    }
    return out;
}

namespace {

template <class T>
T take(PiValue& value, PiField field) {
    if (T* v = std::get_if<T>(&value)) return std::move(*v);
    fault("pi_config field " + std::to_string(static_cast<int>(field)) +
          " given a value of the wrong kind");
}

bool take_int32(PiValue& value, PiField field, int32_t& slot) {
    const auto v = take<int64_t>(value, field);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return false;
    slot = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool set_pi_field(PatternInjectionConfig& c, PiField field, PiValue value) {
    switch (field) {
        case PiField::changepoints: c.changepoints = take<bool>(value, field); return true;
        case PiField::num_changepoints: return take_int32(value, field, c.num_changepoints);
        case PiField::changepoint_type:
            c.changepoint_type = take<std::string>(value, field);
            return true;
        case PiField::changepoint_locations:
            c.changepoint_locations = take<std::vector<double>>(value, field);
            return true;
        case PiField::changepoint_level_changes:
            c.changepoint_level_changes = take<std::vector<double>>(value, field);
            return true;
        case PiField::changepoint_trend_changes:
            c.changepoint_trend_changes = take<std::vector<double>>(value, field);
            return true;
        case PiField::changepoint_variance_changes:
            c.changepoint_variance_changes = take<std::vector<double>>(value, field);
            return true;
        case PiField::anomalies: c.anomalies = take<bool>(value, field); return true;
        case PiField::anomaly_types:
            c.anomaly_types = take<std::vector<std::string>>(value, field);
            return true;
        case PiField::anomaly_fraction:
            c.anomaly_fraction = take<double>(value, field);
            return true;
        case PiField::spike_magnitude: c.spike_magnitude = take<double>(value, field); return true;
        case PiField::dip_magnitude: c.dip_magnitude = take<double>(value, field); return true;
        case PiField::level_shift_magnitude:
            c.level_shift_magnitude = take<double>(value, field);
            return true;
        case PiField::level_shift_duration: return take_int32(value, field, c.level_shift_duration);
        case PiField::missing_data: c.missing_data = take<bool>(value, field); return true;
        case PiField::missing_pattern:
            c.missing_pattern = take<std::string>(value, field);
            return true;
        case PiField::missing_rate: c.missing_rate = take<double>(value, field); return true;
        case PiField::missing_block_size: return take_int32(value, field, c.missing_block_size);
        case PiField::missing_seasonal_period:
            return take_int32(value, field, c.missing_seasonal_period);
    }
    fault("unknown pi_config field " + std::to_string(static_cast<int>(field)));
}

}  // namespace qm
