// Electricity load sampled every `step_hours` hours: a base load shaped by a
// daily profile, weekly and yearly patterns, a response to a simulated
// temperature, holidays, extreme-weather multipliers and additive noise,
// never below zero. The Python function and batch code 24 run the same core.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct EnergyLoadParams {
    double base_load = 0.0;
    int32_t load_type = 0;
    bool daily_pattern = false;
    double daily_amplitude = 0.0;
    bool weekly_pattern = false;
    double weekly_amplitude = 0.0;
    bool yearly_pattern = false;
    double yearly_amplitude = 0.0;
    bool temperature_sensitive = false;
    double temperature_sensitivity = 0.0;
    double base_temperature = 0.0;
    int32_t morning_peak_hour = 0;
    int32_t evening_peak_hour = 0;
    double peak_amplitude = 0.0;
    double holiday_effect = 0.0;
    double extreme_weather_prob = 0.0;
    double extreme_weather_impact = 0.0;
    double noise_std = 0.0;
    double step_hours = 1.0;
};

inline constexpr std::array<Slot<EnergyLoadParams>, 19> kEnergyLoadSlots{{
    {"base_load", &EnergyLoadParams::base_load},
    {"load_type", &EnergyLoadParams::load_type},
    {"daily_pattern", &EnergyLoadParams::daily_pattern},
    {"daily_amplitude", &EnergyLoadParams::daily_amplitude},
    {"weekly_pattern", &EnergyLoadParams::weekly_pattern},
    {"weekly_amplitude", &EnergyLoadParams::weekly_amplitude},
    {"yearly_pattern", &EnergyLoadParams::yearly_pattern},
    {"yearly_amplitude", &EnergyLoadParams::yearly_amplitude},
    {"temperature_sensitive", &EnergyLoadParams::temperature_sensitive},
    {"temperature_sensitivity", &EnergyLoadParams::temperature_sensitivity},
    {"base_temperature", &EnergyLoadParams::base_temperature},
    {"morning_peak_hour", &EnergyLoadParams::morning_peak_hour},
    {"evening_peak_hour", &EnergyLoadParams::evening_peak_hour},
    {"peak_amplitude", &EnergyLoadParams::peak_amplitude},
    {"holiday_effect", &EnergyLoadParams::holiday_effect},
    {"extreme_weather_prob", &EnergyLoadParams::extreme_weather_prob},
    {"extreme_weather_impact", &EnergyLoadParams::extreme_weather_impact},
    {"noise_std", &EnergyLoadParams::noise_std},
    {"step_hours", &EnergyLoadParams::step_hours},
}};

// Python-road checks of energy_load and daily_active_users, in order:
// "length must be > 0", "step_hours must be > 0" (a NaN step passes).
void check_length_and_step_hours(int32_t length, double step_hours);

// Load type 0: two Gaussian peaks at the given hours; 1: one peak at hour 14;
// 2: one dip at hour 3; any other: no daily profile. Hour distances are
// linear (not wrapped at midnight). Draws: n normals for the temperature
// (only when temperature sensitive), n uniforms for extreme weather (always),
// n normals for the noise. A non-finite noise_std faults after the first two.
void gen_energy_load(std::span<double> out, uint64_t seed, const EnergyLoadParams& p,
                     std::span<const int32_t> holiday_days);

}  // namespace qm
