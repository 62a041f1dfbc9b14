#include "generators/point_process.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "fault.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

// ---- Poisson process ------------------------------------------------------

void gen_poisson_process(std::span<double> out, uint64_t seed, const PoissonProcessParams& p) {
    Mt64 rng(seed);
    double total = 0.0;
    for (double& v : out) {
        const double k = static_cast<double>(sample_poisson(rng, p.lambda_rate));
        if (p.cumulative) {
            total = total + k;
            v = total;
        } else {
            v = k;
        }
    }
}

// ---- Hawkes process -------------------------------------------------------

namespace {

// The thinning bound. NaN or negative is the exponential law's own refusal;
// +inf is refused too, since 1/B = 0 would never move time forward.
double thinning_bound(double intensity, double mu) {
    const double b = std::fmax(intensity, mu) * 1.01 + 1e-10;
    if (!(b >= 0.0) || std::isinf(b)) fault("invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall");
    return b;
}

double next_candidate(Mt64& rng, double t, double bound) { return t + standard_exponential(rng) * (1.0 / bound); }

// Thinning draws about (bound x horizon) candidates. A huge bound advances
// time by so little, or not at all once E/B rounds away against t, that the
// loop would run for days, so the candidates of one call are capped. The cap
// is above what any run that ends at max_events (at most 2^31 - 1 events) can
// need at the lowest acceptance rate of an unexcited process, 1/1.01.
// A candidate that rounds back onto t is simply a candidate at t: with a
// large bound a small exponential draw does that now and then.
constexpr uint64_t kMaxCandidates = uint64_t{1} << 32;

[[noreturn]] void too_many_candidates() {
    fault("hawkes_process: more than " + std::to_string(kMaxCandidates) +
          " thinning candidates (intensity bound x length too large)");
}

void count_candidate(uint64_t& candidates) {
    if (++candidates > kMaxCandidates) too_many_candidates();
}

// The power-law kernel sums over every earlier event, so its work is
// candidates x events in thinning plus samples x events for the intensity
// output, which the candidate cap does not bound. Kernel terms of one call
// share one budget, charged before the terms are computed.
constexpr uint64_t kMaxKernelTerms = uint64_t{1} << 32;

void charge_terms(uint64_t& terms, uint64_t more) {
    if (more > kMaxKernelTerms - terms)
        fault("hawkes_process: more than " + std::to_string(kMaxKernelTerms) +
              " kernel terms (power-law kernel with too many events)");
    terms += more;
}

// Appends an accepted event. The list grows on demand (max_events only caps
// the count); a growth this machine cannot hold is refused as MemoryError
// before lazily committed pages could get the process killed.
void add_event(std::vector<double>& events, double t) {
    if (events.size() == events.capacity()) check_allocation(3 * events.size() + 1, sizeof(double));
    events.push_back(t);
}

// Events of the exponential kernel; S is the sum of exp(-beta (t_last - tau)).
std::vector<double> thin_exponential(Mt64& rng, double horizon, const HawkesProcessParams& p) {
    const double mu = p.baseline_intensity, alpha = p.excitation_amplitude, beta = p.decay_rate;
    std::vector<double> events;
    double t = 0.0, t_last = 0.0, s = 0.0;
    uint64_t candidates = 0;
    while (events.size() < static_cast<std::size_t>(p.max_events)) {
        count_candidate(candidates);
        const double a = alpha * s;
        const double now = std::exp((t - t_last) * (-beta)) * a + mu;
        const double bound = thinning_bound(now, mu);
        const double next = next_candidate(rng, t, bound);
        if (next >= horizon) break;
        t = next;
        const double g = std::exp((t - t_last) * (-beta));
        const double u = sample_uniform(rng, 0.0, 1.0);
        const double candidate = a * g + mu;
        if (candidate / bound >= u) {
            s = s * g + 1.0;
            add_event(events, t);
            t_last = t;
        }
    }
    return events;
}

// mu plus the power-law kernel of every event at or before t, in time order.
double power_law_intensity(const std::vector<double>& events, double t, const HawkesProcessParams& p) {
    double lambda = p.baseline_intensity;
    for (double tau : events) {
        const double d = t - tau;
        if (d < 0.0) break;
        lambda = lambda + p.excitation_amplitude / std::pow(d * p.decay_rate + 1.0, p.power_law_exponent);
    }
    return lambda;
}

std::vector<double> thin_power_law(Mt64& rng, double horizon, const HawkesProcessParams& p, uint64_t& terms) {
    std::vector<double> events;
    double t = 0.0;
    // The intensity at t just after a candidate is the candidate's own sum
    // over the same events, plus the kernel at 0 of the candidate when it was
    // accepted (it is the last event): the same terms in the same order.
    double now = p.baseline_intensity;
    uint64_t candidates = 0;
    while (events.size() < static_cast<std::size_t>(p.max_events)) {
        count_candidate(candidates);
        const double bound = thinning_bound(now, p.baseline_intensity);
        const double next = next_candidate(rng, t, bound);
        if (next >= horizon) break;
        t = next;
        charge_terms(terms, events.size());  // t is at or after every event: one term each
        const double candidate = power_law_intensity(events, t, p);
        const double u = sample_uniform(rng, 0.0, 1.0);
        now = candidate;
        if (candidate / bound >= u) {
            add_event(events, t);
            charge_terms(terms, 1);
            now = now + p.excitation_amplitude / std::pow((t - t) * p.decay_rate + 1.0, p.power_law_exponent);
        }
    }
    return events;
}

}  // namespace

void gen_hawkes_process(std::span<double> out, uint64_t seed, const HawkesProcessParams& p) {
    if (p.max_events < 0) fault("hawkes_process: max_events must be >= 0");
    Mt64 rng(seed);
    const double horizon = static_cast<double>(out.size());
    const bool exponential = p.kernel_type == 0;
    uint64_t terms = 0;
    const std::vector<double> events =
        exponential ? thin_exponential(rng, horizon, p) : thin_power_law(rng, horizon, p, terms);

    const std::size_t n = out.size();
    if (p.output_type == 1) {
        const double mu = p.baseline_intensity, alpha = p.excitation_amplitude, beta = p.decay_rate;
        std::size_t next = 0;
        if (exponential) {
            double s = 0.0, prev = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double tk = static_cast<double>(k) + 0.5;
                for (; next < events.size() && events[next] <= tk; ++next) {
                    s = s * std::exp((events[next] - prev) * (-beta)) + 1.0;
                    prev = events[next];
                }
                out[k] = std::exp((tk - prev) * (-beta)) * (alpha * s) + mu;
            }
        } else {
            // Sample k sums over the events at or before k + 0.5; the whole
            // pass is charged before any of it is computed.
            for (std::size_t k = 0; k < n; ++k) {
                for (; next < events.size() && events[next] <= static_cast<double>(k) + 0.5; ++next) {}
                charge_terms(terms, next);
            }
            for (std::size_t k = 0; k < n; ++k) {
                out[k] = power_law_intensity(events, static_cast<double>(k) + 0.5, p);
            }
        }
        return;
    }
    for (double& v : out) v = 0.0;
    for (double tau : events) {
        const int32_t k = saturate_to_i32(tau);
        if (k < 0 || static_cast<std::size_t>(k) >= n) continue;
        double& cell = out[static_cast<std::size_t>(k)];
        cell = p.output_type == 0 ? cell + 1.0 : 1.0;
    }
}

}  // namespace qm
