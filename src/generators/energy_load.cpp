#include "generators/energy_load.hpp"

#include <cmath>
#include <cstddef>
#include <vector>
#include <numbers>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The clock of one sample: hour of day, day of week and day of year of the
// hour count H = t * step_hours (saturating, NaN gives 0), by truncating
// division and remainder, so a negative step gives negative values.
struct Clock {
    int64_t h;
    int64_t dow;
    int64_t doy;
};

Clock clock_of(std::size_t t, double step_hours) {
    const int64_t hours = saturate_to_i64(static_cast<double>(t) * step_hours);
    const int64_t day = hours / 24;
    return {hours - 24 * day, day % 7, day % 365};
}

// h, dow and doy lie in (-24, 24), (-7, 7) and (-365, 365); a Table holds
// one term per value of its clock field.
constexpr int64_t kHours = 24;
constexpr int64_t kWeek = 7;
constexpr int64_t kYear = 365;

template <int64_t Span>
struct Table {
    std::array<double, 2 * Span - 1> v{};
    double operator()(int64_t x) const { return v[static_cast<std::size_t>(x + Span - 1)]; }
};

template <int64_t Span, class F>
Table<Span> tabulate(F f) {
    Table<Span> table;
    for (int64_t x = 1 - Span; x < Span; ++x) table.v[static_cast<std::size_t>(x + Span - 1)] = f(x);
    return table;
}

// (h - peak)^2 in 64 bits: a 32-bit square wraps for peaks beyond 46,340.
double squared_distance(int64_t h, int32_t peak) {
    const int64_t d = h - static_cast<int64_t>(peak);
    return static_cast<double>(d * d);
}

// The daily profile's value at hour h (types with a profile only).
double daily_profile(const EnergyLoadParams& p, int64_t h) {
    switch (p.load_type) {
        case 0: {
            const double morning = p.peak_amplitude * std::exp(-squared_distance(h, p.morning_peak_hour) * 0.125);
            const double evening = p.peak_amplitude * std::exp(-squared_distance(h, p.evening_peak_hour) * 0.125);
            return evening + morning;
        }
        case 1: return p.daily_amplitude * std::exp(-squared_distance(h, 14) / 50.0);
        default: return -p.daily_amplitude * std::exp(-squared_distance(h, 3) / 20.0);
    }
}

}  // namespace

void check_length_and_step_hours(int32_t length, double step_hours) {
    check_length(length);
    if (step_hours <= 0.0) value_error("step_hours must be > 0");
}

void gen_energy_load(std::span<double> out, uint64_t seed, const EnergyLoadParams& p,
                     std::span<const int32_t> holiday_days) {
    Mt64 rng(seed);
    const std::size_t n = out.size();
    if (n == 0) return;

    // Each term depends on the clock alone, so it is formed once per value of
    // h, dow or doy (the same bits as forming it per sample).
    const bool has_profile = p.daily_pattern && p.load_type >= 0 && p.load_type <= 2;
    Table<kHours> profile{};
    if (has_profile) profile = tabulate<kHours>([&](int64_t h) { return daily_profile(p, h); });
    const bool weekend_drop = p.load_type == 0 || p.load_type == 1;
    const Table<kWeek> weekly = tabulate<kWeek>(
        [&](int64_t dow) { return std::sin((static_cast<double>(dow) * kTwoPi) / 7.0) * p.weekly_amplitude; });
    Table<kYear> year_cos{};
    if (p.yearly_pattern || p.temperature_sensitive)
        year_cos = tabulate<kYear>([](int64_t doy) { return std::cos((static_cast<double>(doy) * kTwoPi) / 365.0); });
    std::array<bool, 2 * kYear - 1> holiday{};
    for (const int32_t day : holiday_days)
        if (day > -kYear && day < kYear) holiday[static_cast<std::size_t>(day + kYear - 1)] = true;

    // Phase A: the temperature, one normal per sample.
    std::vector<double> temperature;
    if (p.temperature_sensitive) {
        const Table<kHours> day_cos =
            tabulate<kHours>([](int64_t h) { return std::cos((static_cast<double>(h) * kTwoPi) / 24.0); });
        temperature.resize(n);
        for (std::size_t t = 0; t < n; ++t) {
            const double noise = sample_normal(rng, 0.0, 2.0);
            const Clock c = clock_of(t, p.step_hours);
            temperature[t] = ((p.base_temperature - 5.0 * day_cos(c.h)) + (-10.0 * year_cos(c.doy))) + noise;
        }
    }

    // Phase B: the load, one uniform per sample.
    for (std::size_t t = 0; t < n; ++t) {
        const Clock c = clock_of(t, p.step_hours);
        double load = p.base_load;
        if (has_profile) load = profile(c.h) + p.base_load;
        if (p.weekly_pattern) {
            if (weekend_drop) {
                if (c.dow >= 5) load = load - p.weekly_amplitude;
            } else {
                load = load + weekly(c.dow);
            }
        }
        if (p.yearly_pattern) load = load + (year_cos(c.doy) + 1.0) * p.yearly_amplitude;
        if (p.temperature_sensitive)
            load = load + std::fabs(temperature[t] - p.base_temperature) * p.temperature_sensitivity;
        if (holiday[static_cast<std::size_t>(c.doy + kYear - 1)]) load = load * (1.0 - p.holiday_effect);
        if (uniform01(rng) < p.extreme_weather_prob) load = load * p.extreme_weather_impact;
        out[t] = std::fmax(load, 0.0);
    }

    // Phase C: the noise, one normal per sample.
    for (std::size_t t = 0; t < n; ++t) out[t] = std::fmax(sample_normal(rng, 0.0, p.noise_std) + out[t], 0.0);
}

}  // namespace qm
