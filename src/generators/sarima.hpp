// Seasonal ARIMA from full lag-coefficient vectors: all innovations first,
// then the MA filter, the AR recursion, a constant (drift when integrated,
// mean otherwise), d ordinary and D seasonal integrations, and the last n
// values of the buffer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "saturate.hpp"

namespace qm {

struct SarimaParams {
    int32_t d = 0;
    int32_t seasonal_d = 0;
    int32_t seasonal_period = 0;
    double mean = 0.0;
    double drift_val = 0.0;
    double noise_std = 0.0;
    int32_t burn_in = 0;
    int32_t innov_dist = 0;
    double innov_param = 0.0;
};

inline constexpr std::array<Slot<SarimaParams>, 9> kSarimaSlots{{
    {"d", &SarimaParams::d},
    {"seasonal_d", &SarimaParams::seasonal_d},
    {"seasonal_period", &SarimaParams::seasonal_period},
    {"mean", &SarimaParams::mean},
    {"drift_val", &SarimaParams::drift_val},
    {"noise_std", &SarimaParams::noise_std},
    {"burn_in", &SarimaParams::burn_in},
    {"innov_dist", &SarimaParams::innov_dist},
    {"innov_param", &SarimaParams::innov_param},
}};

// ar[k-1] and ma[k-1] are the coefficients of lag k (no leading 1, no sign
// flip); lags before the buffer's start are skipped. The working buffer
// holds N = P*D + d + n + burn_in values (64-bit arithmetic): a negative N,
// or one past 2^31 - 1, faults before anything is allocated; a negative
// offset N - n faults once the innovations are drawn. Integration sums that
// can no longer change a value are skipped; more than 2^34 of the others
// fault.
void gen_sarima(std::span<double> out, uint64_t seed, const SarimaParams& p, std::span<const double> ar,
                std::span<const double> ma);

}  // namespace qm
