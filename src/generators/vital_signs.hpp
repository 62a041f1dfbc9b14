// A physiological signal sampled once per minute: an individual baseline with
// a slow random drift, an optional circadian rhythm, optional heart-rate-
// variability terms, random clinical events, a type-specific event response
// and measurement noise, clamped to [min_val, max_val]. The Python function
// and batch code 25 run the same core.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct VitalSignsParams {
    double baseline_mean = 0.0;
    double baseline_std = 0.0;
    double min_val = 0.0;
    double max_val = 0.0;
    bool include_circadian = false;
    double circadian_magnitude = 0.0;
    bool include_hrv = false;
    bool include_events = false;
    double event_probability = 0.0;
    int32_t vital_sign_type = 0;
};

inline constexpr std::array<Slot<VitalSignsParams>, 10> kVitalSignsSlots{{
    {"baseline_mean", &VitalSignsParams::baseline_mean},
    {"baseline_std", &VitalSignsParams::baseline_std},
    {"min_val", &VitalSignsParams::min_val},
    {"max_val", &VitalSignsParams::max_val},
    {"include_circadian", &VitalSignsParams::include_circadian},
    {"circadian_magnitude", &VitalSignsParams::circadian_magnitude},
    {"include_hrv", &VitalSignsParams::include_hrv},
    {"include_events", &VitalSignsParams::include_events},
    {"event_probability", &VitalSignsParams::event_probability},
    {"vital_sign_type", &VitalSignsParams::vital_sign_type},
}};

// Types below 3 may add the HRV terms; types 1 to 4 add a second event
// series with their own weight, types 5 and above draw it and add nothing.
// Faults: a non-finite baseline_std (before any output), an empty series
// (after the first draw), min_val > max_val or a NaN bound (after every
// draw).
void gen_vital_signs(std::span<double> out, uint64_t seed, const VitalSignsParams& p);

}  // namespace qm
