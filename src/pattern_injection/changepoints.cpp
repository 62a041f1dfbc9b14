#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fault.hpp"
#include "pattern_injection/injectors.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {

// Amount j of one kind: the caller's entry where there is one, else a draw.
// A kind that is off draws nothing and gets the neutral amount `off`.
std::vector<double> change_amounts(Mt64& rng, bool on, std::size_t k, std::span<const double> given,
                                   double lo, double hi, double off) {
    if (!on) return std::vector<double>(k, off);
    std::vector<double> amounts(k);
    for (std::size_t j = 0; j < k; ++j)
        amounts[j] = j < given.size() ? given[j] : sample_uniform(rng, lo, hi);
    return amounts;
}

// Rescales x[c..] about the mean of the trailing window of up to 11 points
// (values already rescaled in this pass included).
void rescale_from(std::span<double> x, std::size_t c, double factor) {
    for (std::size_t t = c; t < x.size(); ++t) {
        const std::size_t lo = t >= 10 ? t - 10 : 0;
        double sum = -0.0;
        for (std::size_t s = lo; s <= t; ++s) sum += x[s];
        const double mean = sum / static_cast<double>(t - lo + 1);
        x[t] = (x[t] - mean) * factor + mean;
    }
}

}  // namespace

std::vector<int64_t> inject_changepoints(std::span<double> values, uint64_t seed,
                                         int32_t num_changepoints,
                                         std::string_view changepoint_type,
                                         std::span<const double> locations,
                                         std::span<const double> level_changes,
                                         std::span<const double> trend_changes,
                                         std::span<const double> variance_changes) {
    if (num_changepoints < 0) fault("num_changepoints must be >= 0");
    if (num_changepoints == 0) return {};
    const auto k = static_cast<std::size_t>(num_changepoints);
    // Indices plus up to three amount lists of k entries each.
    check_allocation(k, sizeof(int64_t) + 3 * sizeof(double));
    Mt64 rng(seed);

    const int32_t big_n = injection_length(values.size());
    const double n_f = static_cast<double>(big_n);
    const int64_t last = static_cast<int64_t>(std::max(big_n, int32_t{1})) - 1;
    auto to_index = [&](double f) { return std::clamp<int64_t>(saturate_to_i64(f * n_f), 0, last); };

    // Fraction -> index is monotone for the drawn fractions (never NaN), so
    // sorting the indices equals sorting the fractions first.
    std::vector<int64_t> idx(k);
    if (locations.empty()) {
        for (std::size_t j = 0; j < k; ++j) idx[j] = to_index(sample_uniform(rng, 0.1, 0.9));
        std::sort(idx.begin(), idx.end());
    } else {
        for (std::size_t j = 0; j < k; ++j)
            idx[j] = to_index(j < locations.size() ? locations[j] : sample_uniform(rng, 0.1, 0.9));
    }

    const bool mixed = changepoint_type == "mixed";
    const bool level_on = mixed || changepoint_type == "level";
    const bool trend_on = mixed || changepoint_type == "trend";
    const bool variance_on = mixed || changepoint_type == "variance";
    const std::vector<double> level = change_amounts(rng, level_on, k, level_changes, -20.0, 20.0, 0.0);
    const std::vector<double> trend = change_amounts(rng, trend_on, k, trend_changes, -0.5, 0.5, 0.0);
    const std::vector<double> variance =
        change_amounts(rng, variance_on, k, variance_changes, 0.5, 2.0, 1.0);

    const std::size_t n = values.size();
    for (std::size_t j = 0; j < k; ++j) {
        // idx <= max(N, 1) - 1, so c == n only for an empty series.
        const auto c = static_cast<std::size_t>(idx[j]);
        if (c >= n) continue;
        // Level and trend are added even when their kind is off (amount 0):
        // the addition still turns a -0.0 into +0.0 from c on.
        const double shift = level[j];
        for (std::size_t t = c; t < n; ++t) values[t] = values[t] + shift;
        const double slope = trend[j];
        for (std::size_t t = c; t < n; ++t) values[t] = values[t] + static_cast<double>(t - c) * slope;
        if (!(variance[j] == 1.0)) rescale_from(values, c, variance[j]);
    }
    return idx;
}

}  // namespace qm
