// The three injectors: changepoints, anomalies, missing values. Each changes
// a series in place, draws only from its own engine seeded from `seed`, and
// returns the indices it acted on. Bad settings stop the call as a fault
// (qm::Fault); the Python-facing functions run the `check_*` helpers first
// where they refuse a setting as ValueError instead.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Changepoint j sits at fraction locations[j] of the series (drawn from
// U(0.1, 0.9) where not given; all-drawn fractions are sorted). Kinds by
// `changepoint_type`: "level", "trend", "variance" or "mixed" (all three);
// any other text changes no value (level and trend still add their 0, so a
// -0.0 from the changepoint on becomes +0.0). A change amount not given is
// drawn, all level amounts before any trend amount before any variance factor.
// Returns the k indices in list order. Faults when num_changepoints < 0.
std::vector<int64_t> inject_changepoints(std::span<double> values, uint64_t seed,
                                         int32_t num_changepoints,
                                         std::string_view changepoint_type,
                                         std::span<const double> locations,
                                         std::span<const double> level_changes,
                                         std::span<const double> trend_changes,
                                         std::span<const double> variance_changes);

// Picks trunc(anomaly_fraction * n) distinct points (in draw order) and gives
// each a kind drawn uniformly by position from `anomaly_types`: "spike" and
// "dip" add their magnitude to the point, "level_shift" adds its magnitude
// to `level_shift_duration` points from it on; other names change nothing.
// Faults on a negative count, an empty type list with a positive count, and
// a negative level_shift_duration.
std::vector<int64_t> inject_anomalies(std::span<double> values, uint64_t seed,
                                      std::span<const std::string> anomaly_types,
                                      double anomaly_fraction, double spike_magnitude,
                                      double dip_magnitude, double level_shift_magnitude,
                                      int32_t level_shift_duration);

// Writes NaN over points at `missing_rate` in the pattern "random", "block"
// or "seasonal" (another name does nothing below rate 1). Rate <= 0 does
// nothing and rate >= 1 blanks everything, both without drawing. Returns the
// blanked indices ascending, without repeats. Faults when the pattern in use
// needs a block size or period below 1.
std::vector<int64_t> inject_missingness(std::span<double> values, uint64_t seed,
                                        std::string_view pattern, double missing_rate,
                                        int32_t missing_block_size,
                                        int32_t missing_seasonal_period);

// Up-front checks of the Python-facing functions; they throw qm::ValueError
// with the same texts that the injectors fault with.
//
// add_anomalies: a negative level_shift_duration, whatever the other settings.
void check_anomaly_settings(int32_t level_shift_duration);

// add_missingness: whatever the rate, "seasonal" needs a period > 0, then
// "block" a block size > 0.
void check_missingness_settings(std::string_view pattern, int32_t missing_block_size,
                                int32_t missing_seasonal_period);

// Message texts shared by the faults and the up-front checks.
inline constexpr const char* kLevelShiftDurationMessage = "level_shift_duration must be >= 0";
inline constexpr const char* kBlockSizeMessage = "missing_block_size must be > 0 for block pattern";
inline constexpr const char* kSeasonalPeriodMessage =
    "missing_seasonal_period must be > 0 for seasonal pattern";

// A series length as the injectors count it: lengths past the 32-bit range
// count as 2^31 - 1, so every index stays inside the series.
inline int32_t injection_length(std::size_t n) {
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(std::min(n, kMax));
}

}  // namespace qm
