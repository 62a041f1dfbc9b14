// Python-facing functions of the `stochastic` submodule.
#include "bindings/bindings.hpp"
#include "generators/bounded.hpp"
#include "generators/chaotic.hpp"

namespace qm::bindings {
namespace {

constexpr char kChaoticSystemSignature[] =
    "length, system_id, sigma, rho, beta, dt, logistic_r, mg_beta, mg_gamma, mg_n, mg_tau, observation_noise, "
    "initial_perturbation, seed";
static_assert(slots_follow(kChaoticSystemSignature, kChaoticSystemSlots));

PyObject* py_chaotic_system(int32_t length, int32_t system_id, double sigma, double rho, double beta, double dt,
                            double logistic_r, double mg_beta, double mg_gamma, double mg_n, int32_t mg_tau,
                            double observation_noise, double initial_perturbation, uint64_t seed) {
    if (length <= 0) value_error("length must be > 0");
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
    if (length <= 0) value_error("length must be > 0");
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
    py::define<py_chaotic_system>("chaotic_system", kChaoticSystemSignature),
    py::define<py_bounded_process>("bounded_process", kBoundedProcessSignature),
};

}  // namespace qm::bindings
