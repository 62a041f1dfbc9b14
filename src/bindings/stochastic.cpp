// Python-facing functions of the `stochastic` submodule. Each checks its
// arguments, fills its generator's parameter record and runs the same core as
// the batch dispatcher. The table at the bottom is in registration order.
#include "bindings/bindings.hpp"
#include "generators/bounded.hpp"
#include "generators/chaotic.hpp"
#include "generators/cyclic.hpp"
#include "generators/diffusion.hpp"
#include "generators/garch.hpp"
#include "generators/levy.hpp"
#include "generators/point_process.hpp"

namespace qm::bindings {
namespace {

// ---- Diffusions -----------------------------------------------------------

constexpr char kOrnsteinUhlenbeckSignature[] =
    "length, theta, mu, sigma, initial_value, dt, seed, innov_dist, innov_param";
static_assert(slots_follow(kOrnsteinUhlenbeckSignature, kOrnsteinUhlenbeckSlots));

PyObject* py_ornstein_uhlenbeck(int32_t length, double theta, double mu, double sigma, double initial_value,
                                double dt, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_length(length);
    const OrnsteinUhlenbeckParams p{.theta = theta,
                                    .mu = mu,
                                    .sigma = sigma,
                                    .initial_value = initial_value,
                                    .dt = dt,
                                    .innov_dist = innov_dist,
                                    .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_ornstein_uhlenbeck(out, seed, p); });
}

constexpr char kGeometricBrownianMotionSignature[] =
    "length, mu, sigma, initial_value, dt, seed, innov_dist, innov_param";
static_assert(slots_follow(kGeometricBrownianMotionSignature, kGeometricBrownianMotionSlots));

PyObject* py_geometric_brownian_motion(int32_t length, double mu, double sigma, double initial_value, double dt,
                                       uint64_t seed, int32_t innov_dist, double innov_param) {
    check_length(length);
    const GeometricBrownianMotionParams p{.mu = mu,
                                          .sigma = sigma,
                                          .initial_value = initial_value,
                                          .dt = dt,
                                          .innov_dist = innov_dist,
                                          .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_geometric_brownian_motion(out, seed, p); });
}

constexpr char kJumpDiffusionSignature[] =
    "length, mu, sigma, lambda_jump, jump_mean, jump_std, initial_value, dt, seed, innov_dist, innov_param";
static_assert(slots_follow(kJumpDiffusionSignature, kJumpDiffusionSlots));

PyObject* py_jump_diffusion(int32_t length, double mu, double sigma, double lambda_jump, double jump_mean,
                            double jump_std, double initial_value, double dt, uint64_t seed, int32_t innov_dist,
                            double innov_param) {
    check_length(length);
    const JumpDiffusionParams p{.mu = mu,
                                .sigma = sigma,
                                .lambda_jump = lambda_jump,
                                .jump_mean = jump_mean,
                                .jump_std = jump_std,
                                .initial_value = initial_value,
                                .dt = dt,
                                .innov_dist = innov_dist,
                                .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_jump_diffusion(out, seed, p); });
}

// ---- Poisson process and cyclic ------------------------------------------

constexpr char kPoissonProcessSignature[] = "length, lambda_rate, cumulative, seed";
static_assert(slots_follow(kPoissonProcessSignature, kPoissonProcessSlots));

PyObject* py_poisson_process(int32_t length, double lambda_rate, bool cumulative, uint64_t seed) {
    check_length(length);
    const PoissonProcessParams p{.lambda_rate = lambda_rate, .cumulative = cumulative};
    return series(length, [&](std::span<double> out) { gen_poisson_process(out, seed, p); });
}

constexpr char kCyclicSignature[] =
    "length, base_level, trend, cycle_period_mean, cycle_period_std, cycle_amplitude_mean, cycle_amplitude_std, "
    "num_cycles, noise_std, seed, innov_dist, innov_param";
static_assert(slots_follow(kCyclicSignature, kCyclicSlots));

PyObject* py_cyclic(int32_t length, double base_level, double trend, double cycle_period_mean,
                    double cycle_period_std, double cycle_amplitude_mean, double cycle_amplitude_std,
                    int32_t num_cycles, double noise_std, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_length(length);
    const CyclicParams p{.base_level = base_level,
                         .trend = trend,
                         .cycle_period_mean = cycle_period_mean,
                         .cycle_period_std = cycle_period_std,
                         .cycle_amplitude_mean = cycle_amplitude_mean,
                         .cycle_amplitude_std = cycle_amplitude_std,
                         .num_cycles = num_cycles,
                         .noise_std = noise_std,
                         .innov_dist = innov_dist,
                         .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_cyclic(out, seed, p); });
}

// ---- GARCH ----------------------------------------------------------------

constexpr char kGarchSignature[] =
    "length, p, q, omega, alpha_arr, beta_arr, mu, initial_variance, seed, innov_dist, innov_param";
static_assert(slots_follow(kGarchSignature, kGarchSlots, {"alpha_arr", "beta_arr"}));

PyObject* py_garch(int32_t length, int32_t p_order, int32_t q_order, double omega, py::ArrayIn<double> alpha_arr,
                   py::ArrayIn<double> beta_arr, double mu, double initial_variance, uint64_t seed, int32_t innov_dist,
                   double innov_param) {
    check_length(length);
    const std::vector<double> alpha = alpha_arr.to_vector();
    const std::vector<double> beta = beta_arr.to_vector();
    const GarchParams p{.p = p_order,
                        .q = q_order,
                        .omega = omega,
                        .mu = mu,
                        .initial_variance = initial_variance,
                        .innov_dist = innov_dist,
                        .innov_param = innov_param};
    return series(length, [&](std::span<double> out) { gen_garch(out, seed, p, alpha, beta); });
}

// ---- Hawkes process -------------------------------------------------------

constexpr char kHawkesProcessSignature[] =
    "length, baseline_intensity, excitation_amplitude, decay_rate, kernel_type, power_law_exponent, output_type, "
    "max_events, seed";
static_assert(slots_follow(kHawkesProcessSignature, kHawkesProcessSlots));

PyObject* py_hawkes_process(int32_t length, double baseline_intensity, double excitation_amplitude,
                            double decay_rate, int32_t kernel_type, double power_law_exponent, int32_t output_type,
                            int32_t max_events, uint64_t seed) {
    check_length(length);
    const HawkesProcessParams p{.baseline_intensity = baseline_intensity,
                                .excitation_amplitude = excitation_amplitude,
                                .decay_rate = decay_rate,
                                .kernel_type = kernel_type,
                                .power_law_exponent = power_law_exponent,
                                .output_type = output_type,
                                .max_events = max_events};
    return series(length, [&](std::span<double> out) { gen_hawkes_process(out, seed, p); });
}

// ---- Levy process ---------------------------------------------------------

constexpr char kLevyProcessSignature[] =
    "length, alpha, beta_skew, scale, location, cumulative, initial_value, seed";
static_assert(slots_follow(kLevyProcessSignature, kLevyProcessSlots));

PyObject* py_levy_process(int32_t length, double alpha, double beta_skew, double scale, double location,
                          bool cumulative, double initial_value, uint64_t seed) {
    check_length(length);
    const LevyProcessParams p{.alpha = alpha,
                              .beta_skew = beta_skew,
                              .scale = scale,
                              .location = location,
                              .cumulative = cumulative,
                              .initial_value = initial_value};
    return series(length, [&](std::span<double> out) { gen_levy_process(out, seed, p); });
}

// ---- Chaotic systems and bounded process ----------------------------------

constexpr char kChaoticSystemSignature[] =
    "length, system_id, sigma, rho, beta, dt, logistic_r, mg_beta, mg_gamma, mg_n, mg_tau, observation_noise, "
    "initial_perturbation, seed";
static_assert(slots_follow(kChaoticSystemSignature, kChaoticSystemSlots));

PyObject* py_chaotic_system(int32_t length, int32_t system_id, double sigma, double rho, double beta, double dt,
                            double logistic_r, double mg_beta, double mg_gamma, double mg_n, int32_t mg_tau,
                            double observation_noise, double initial_perturbation, uint64_t seed) {
    check_length(length);
    const ChaoticSystemParams p{.system_id = system_id,
                                .sigma = sigma,
                                .rho = rho,
                                .beta = beta,
                                .dt = dt,
                                .logistic_r = logistic_r,
                                .mg_beta = mg_beta,
                                .mg_gamma = mg_gamma,
                                .mg_n = mg_n,
                                .mg_tau = mg_tau,
                                .observation_noise = observation_noise,
                                .initial_perturbation = initial_perturbation};
    return series(length, [&](std::span<double> out) { gen_chaotic_system(out, seed, p); });
}

constexpr char kBoundedProcessSignature[] =
    "length, model_id, phi, omega, kappa, sigma_param, initial_value, lower, upper, seed";
static_assert(slots_follow(kBoundedProcessSignature, kBoundedProcessSlots));

PyObject* py_bounded_process(int32_t length, int32_t model_id, double phi, double omega, double kappa,
                             double sigma_param, double initial_value, double lower, double upper, uint64_t seed) {
    check_length(length);
    if (lower >= upper) value_error("lower must be < upper");
    const BoundedProcessParams p{.model_id = model_id,
                                 .phi = phi,
                                 .omega = omega,
                                 .kappa = kappa,
                                 .sigma_param = sigma_param,
                                 .initial_value = initial_value,
                                 .lower = lower,
                                 .upper = upper};
    return series(length, [&](std::span<double> out) { gen_bounded_process(out, seed, p); });
}

}  // namespace

const py::FunctionTable stochastic_functions = {
    py::define<py_ornstein_uhlenbeck>("ornstein_uhlenbeck", kOrnsteinUhlenbeckSignature),
    py::define<py_geometric_brownian_motion>("geometric_brownian_motion", kGeometricBrownianMotionSignature),
    py::define<py_jump_diffusion>("jump_diffusion", kJumpDiffusionSignature),
    py::define<py_poisson_process>("poisson_process", kPoissonProcessSignature),
    py::define<py_cyclic>("cyclic", kCyclicSignature),
    py::define<py_garch>("garch", kGarchSignature),
    py::define<py_hawkes_process>("hawkes_process", kHawkesProcessSignature),
    py::define<py_chaotic_system>("chaotic_system", kChaoticSystemSignature),
    py::define<py_bounded_process>("bounded_process", kBoundedProcessSignature),
    py::define<py_levy_process>("levy_process", kLevyProcessSignature),
};

}  // namespace qm::bindings
