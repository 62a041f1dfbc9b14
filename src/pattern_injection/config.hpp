// Pattern-injection settings of a batch (one record per call or entry of `specs`, shared
// read-only by its series) and the order in which they are applied.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm {

// One field per pi_config key, named as the key, in the order keys are read.
// Nothing is range-checked here: bad values reach the injectors, which fault.
struct PatternInjectionConfig {
    bool changepoints = false;
    int32_t num_changepoints = 0;
    std::string changepoint_type = "level";
    std::vector<double> changepoint_locations;
    std::vector<double> changepoint_level_changes;
    std::vector<double> changepoint_trend_changes;
    std::vector<double> changepoint_variance_changes;
    bool anomalies = false;
    std::vector<std::string> anomaly_types;
    double anomaly_fraction = 0.0;
    double spike_magnitude = 0.0;
    double dip_magnitude = 0.0;
    double level_shift_magnitude = 0.0;
    int32_t level_shift_duration = 0;
    bool missing_data = false;
    std::string missing_pattern = "random";
    double missing_rate = 0.0;
    int32_t missing_block_size = 1;
    int32_t missing_seasonal_period = 1;
};

// The three index lists of one series ("cp_indices", "anom_indices",
// "miss_indices"); a disabled step leaves its list empty.
struct InjectionIndices {
    std::vector<int64_t> cp_indices;
    std::vector<int64_t> anom_indices;
    std::vector<int64_t> miss_indices;
};

// Changepoints (cp_seed), then anomalies (anom_seed), then missing values
// (miss_seed), each only when its flag is set, each on the values left by the
// step before and each with an engine of its own, so switching one step off
// never shifts the draws of another. Injector faults propagate.
InjectionIndices apply_pattern_injection(std::span<double> values,
                                         const PatternInjectionConfig& config, uint64_t cp_seed,
                                         uint64_t anom_seed, uint64_t miss_seed);

// ---------------------------------------------------------------------------
// Reading a pi_config dict. The binding walks kPiConfigFields in order, looks
// each key up, converts a present value by its kind and stores it with
// set_pi_field; an absent key or a value that does not convert keeps the
// default. Conversion rules by kind:
//   Flag        only a bool (Python or NumPy); anything else reads as false
//   Int32       an int (or __index__ object; True is 1) as int64; values
//               outside the 32-bit range keep the default (set_pi_field
//               decides), as do floats, strs and ints past int64
//   Float64     a float, else float(); a failed conversion gives 0.0 (and a
//               converted -1.0 is a value, not a failure)
//   Text        only a str (encodable as UTF-8)
//   FloatVector a sequence other than str whose every item converts as
//               Float64; anything else gives an empty vector, never a part
//   TextList    a sequence other than str of strs only; else an empty list
// A list whose length changes while its items are read (an item's hook may
// change it) does not convert either. Any error a conversion raises means
// "does not convert", except KeyboardInterrupt, SystemExit and MemoryError,
// which end the parse.
// A lookup that itself raises ends the parse with that error, except for the
// FloatVector keys, whose lookup errors give an empty vector
// (pi_lookup_error_is_fatal).

enum class PiField : uint8_t {
    changepoints,
    num_changepoints,
    changepoint_type,
    changepoint_locations,
    changepoint_level_changes,
    changepoint_trend_changes,
    changepoint_variance_changes,
    anomalies,
    anomaly_types,
    anomaly_fraction,
    spike_magnitude,
    dip_magnitude,
    level_shift_magnitude,
    level_shift_duration,
    missing_data,
    missing_pattern,
    missing_rate,
    missing_block_size,
    missing_seasonal_period,
};

enum class PiKind : uint8_t { Flag, Int32, Float64, Text, FloatVector, TextList };

struct PiFieldInfo {
    PiField field;
    std::string_view key;
    PiKind kind;
};

inline constexpr std::array<PiFieldInfo, 19> kPiConfigFields{{
    {PiField::changepoints, "changepoints", PiKind::Flag},
    {PiField::num_changepoints, "num_changepoints", PiKind::Int32},
    {PiField::changepoint_type, "changepoint_type", PiKind::Text},
    {PiField::changepoint_locations, "changepoint_locations", PiKind::FloatVector},
    {PiField::changepoint_level_changes, "changepoint_level_changes", PiKind::FloatVector},
    {PiField::changepoint_trend_changes, "changepoint_trend_changes", PiKind::FloatVector},
    {PiField::changepoint_variance_changes, "changepoint_variance_changes", PiKind::FloatVector},
    {PiField::anomalies, "anomalies", PiKind::Flag},
    {PiField::anomaly_types, "anomaly_types", PiKind::TextList},
    {PiField::anomaly_fraction, "anomaly_fraction", PiKind::Float64},
    {PiField::spike_magnitude, "spike_magnitude", PiKind::Float64},
    {PiField::dip_magnitude, "dip_magnitude", PiKind::Float64},
    {PiField::level_shift_magnitude, "level_shift_magnitude", PiKind::Float64},
    {PiField::level_shift_duration, "level_shift_duration", PiKind::Int32},
    {PiField::missing_data, "missing_data", PiKind::Flag},
    {PiField::missing_pattern, "missing_pattern", PiKind::Text},
    {PiField::missing_rate, "missing_rate", PiKind::Float64},
    {PiField::missing_block_size, "missing_block_size", PiKind::Int32},
    {PiField::missing_seasonal_period, "missing_seasonal_period", PiKind::Int32},
}};

constexpr bool pi_lookup_error_is_fatal(PiKind kind) { return kind != PiKind::FloatVector; }

// A converted value of one key; the alternative must match the field's kind:
// bool Flag, int64_t Int32, double Float64, string Text, vector<double>
// FloatVector, vector<string> TextList.
using PiValue = std::variant<bool, int64_t, double, std::string, std::vector<double>,
                             std::vector<std::string>>;

// Stores a converted value. Returns false when the value is refused and the
// default stays (an Int32 value outside the 32-bit range). A value of another
// kind than the field's is a broken invariant of the caller: fault.
bool set_pi_field(PatternInjectionConfig& config, PiField field, PiValue value);

}  // namespace qm
