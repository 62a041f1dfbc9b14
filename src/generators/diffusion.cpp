#include "generators/diffusion.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "fault.hpp"
#include "rng/innovations.hpp"
#include "rng/mt64.hpp"
#include "rng/samplers.hpp"

namespace qm {

void gen_ornstein_uhlenbeck(std::span<double> out, uint64_t seed, const OrnsteinUhlenbeckParams& p) {
    Mt64 rng(seed);
    if (out.empty()) return;
    out[0] = p.initial_value;
    if (out.size() == 1) return;
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
    const double k = p.sigma * std::sqrt(p.dt);
    const double mu = p.mu, theta = p.theta, dt = p.dt;
    double x = p.initial_value;
    for (std::size_t i = 1; i < out.size(); ++i) {
        const double z = draw_innovation(rng, law);
        x = z * k + (x + ((mu - x) * theta) * dt);
        out[i] = x;
    }
}

void gen_geometric_brownian_motion(std::span<double> out, uint64_t seed, const GeometricBrownianMotionParams& p) {
    Mt64 rng(seed);
    if (out.empty()) return;
    out[0] = p.initial_value;
    if (out.size() == 1) return;
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
    const double a = (p.mu + (-0.5 * p.sigma) * p.sigma) * p.dt;
    const double v = std::sqrt(p.dt) * p.sigma;
    // Three passes, same values: the draws, then the step factors (independent
    // of each other, so the exponentials overlap), then the running product.
    const std::span<double> steps = out.subspan(1);
    for (double& z : steps) z = draw_innovation(rng, law);
    for (double& z : steps) z = std::exp(z * v + a);
    double s = p.initial_value;
    for (double& f : steps) f = s = s * f;
}

constexpr double kMaxJumps = 4294967296.0;

void gen_jump_diffusion(std::span<double> out, uint64_t seed, const JumpDiffusionParams& p) {
    Mt64 rng(seed);
    if (out.empty()) return;
    out[0] = p.initial_value;
    if (out.size() == 1) return;
    const InnovationLaw law = prepare_innovation(p.innov_dist, 1.0, p.innov_param);
    std::optional<InnovationLaw> jump_law;  // checked at the first jump
    const double a = (p.mu + (-0.5 * p.sigma) * p.sigma) * p.dt;
    const double v = std::sqrt(p.dt) * p.sigma;
    const double rate = p.lambda_jump * p.dt;
    // Every jump is a draw: a call expecting more than 2^32 of them would run
    // for minutes, uninterruptibly. Refused after the first count, so that a
    // rate the Poisson sampler cannot take gets the sampler's own fault first,
    // and a jump law that cannot be drawn from gets its own fault next.
    const bool too_many_jumps = rate * static_cast<double>(out.size() - 1) > kMaxJumps;
    double s = p.initial_value;
    for (std::size_t i = 1; i < out.size(); ++i) {
        const double z = draw_innovation(rng, law);
        const int32_t jumps = sample_poisson(rng, rate);
        if (jumps > 0 && !jump_law) jump_law = prepare_innovation(p.innov_dist, p.jump_std, p.innov_param);
        if (too_many_jumps)
            fault("jump_diffusion: more than 4294967296 jumps expected (lambda_jump * dt * (length - 1))");
        // A saturated count is no longer a Poisson draw, and 2^31 - 1 jumps
        // per step would take seconds each.
        if (jumps == std::numeric_limits<int32_t>::max())
            fault("jump_diffusion: jump count per step beyond the 32-bit range (lambda_jump * dt too large)");
        double j = 0.0;
        for (int32_t k = 0; k < jumps; ++k) j = j + (draw_innovation(rng, *jump_law) + p.jump_mean);
        s = s * std::exp((z * v + a) + j);
        out[i] = s;
    }
}

}  // namespace qm
