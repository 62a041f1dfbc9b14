#include "generators/cyclic.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

namespace {
constexpr uint64_t kMaxCycleTerms = uint64_t{1} << 32;
}

void gen_cyclic(std::span<double> out, uint64_t seed, const CyclicParams& p) {
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    Mt64 rng(seed);
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = static_cast<double>(t) * p.trend + p.base_level;

    if (p.num_cycles < 0) fault("cyclic: num_cycles must be >= 0");
    if (p.num_cycles > 0) {
        check_normal_std(p.cycle_period_std);
        check_normal_std(p.cycle_amplitude_std);
    }
    if (out.empty()) return;  // nothing a draw could reach
    // Each cycle costs two sines per value: past 2^32 terms a call would run
    // for minutes to hours without a way to stop it.
    if (static_cast<uint64_t>(p.num_cycles) * out.size() > kMaxCycleTerms)
        fault("cyclic: num_cycles * length above 4294967296 cycle terms");

    // Cycle by cycle rather than all parameters first: the draws keep their
    // order (every cycle's before any noise) and no K-sized store is needed.
    for (int32_t k = 0; k < p.num_cycles; ++k) {
        const double period = std::fabs(standard_normal(rng) * p.cycle_period_std + p.cycle_period_mean);
        const double amplitude = standard_normal(rng) * p.cycle_amplitude_std + p.cycle_amplitude_mean;
        double phase = sample_uniform(rng, 0.0, kTwoPi);
        const double wobble_period = period + period;
        for (std::size_t t = 0; t < out.size(); ++t) {
            const double s = std::sin((static_cast<double>(t) * kTwoPi) / wobble_period);
            phase = phase + kTwoPi / ((s * 0.2 + 1.0) * period);
            out[t] = std::sin(phase) * amplitude + out[t];
        }
    }

    const InnovationLaw law = prepare_innovation(p.innov_dist, p.noise_std, p.innov_param);
    for (double& v : out) v = draw_innovation(rng, law) + v;
}

}  // namespace qm
