#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fault.hpp"
#include "pattern_injection/injectors.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

enum class AnomalyKind : uint8_t { Spike, Dip, LevelShift, Other };

AnomalyKind kind_of(const std::string& name) {
    if (name == "spike") return AnomalyKind::Spike;
    if (name == "dip") return AnomalyKind::Dip;
    if (name == "level_shift") return AnomalyKind::LevelShift;
    return AnomalyKind::Other;
}

}  // namespace

void check_anomaly_settings(int32_t level_shift_duration) {
    if (level_shift_duration < 0) value_error(kLevelShiftDurationMessage);
}

std::vector<int64_t> inject_anomalies(std::span<double> values, uint64_t seed,
                                      std::span<const std::string> anomaly_types,
                                      double anomaly_fraction, double spike_magnitude,
                                      double dip_magnitude, double level_shift_magnitude,
                                      int32_t level_shift_duration) {
    // A negative duration is refused outright rather than read as "to the
    // end" or "backwards" depending on where the shift happens to land.
    if (level_shift_duration < 0) fault(kLevelShiftDurationMessage);

    const int32_t big_n = injection_length(values.size());
    const int32_t count = saturate_to_i32(anomaly_fraction * static_cast<double>(big_n));
    if (count < 0)
        fault("anomaly_fraction gives a negative anomaly count: " + std::to_string(count));
    if (count == 0) return {};

    Mt64 rng(seed);
    std::vector<int64_t> picked = sample_distinct_indices(rng, big_n, count);

    // The kind list is looked up once per point; classify its names once.
    std::vector<AnomalyKind> kinds;
    kinds.reserve(anomaly_types.size());
    for (const std::string& name : anomaly_types) kinds.push_back(kind_of(name));
    const int32_t n_kinds = injection_length(kinds.size());

    const auto n = static_cast<int64_t>(values.size());
    for (const int64_t i : picked) {
        // Faults with the sampler's own text when the list is empty.
        const int32_t p = sample_int_range(rng, 0, n_kinds);
        double& point = values[static_cast<std::size_t>(i)];
        switch (kinds[static_cast<std::size_t>(p)]) {
            case AnomalyKind::Spike:
                point = spike_magnitude + point;
                break;
            case AnomalyKind::Dip:
                // Added with its own sign, like a spike.
                point = dip_magnitude + point;
                break;
            case AnomalyKind::LevelShift: {
                const int64_t end = std::min<int64_t>(n, i + int64_t{level_shift_duration});
                for (int64_t q = i; q < end; ++q) {
                    double& v = values[static_cast<std::size_t>(q)];
                    v = level_shift_magnitude + v;
                }
                break;
            }
            case AnomalyKind::Other:
                break;
        }
    }
    return picked;
}

}  // namespace qm
