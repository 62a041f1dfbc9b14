// Python-facing functions of the `multivariate` submodule. Each checks its
// arguments, copies its arrays under the lock and runs its core without it;
// state_space, fbm and gaussian_process share their cores with the batch
// dispatcher.
#include "bindings/bindings.hpp"
#include "generators/copula.hpp"
#include "generators/fbm.hpp"
#include "generators/gaussian_process.hpp"
#include "generators/state_space.hpp"
#include "generators/var_process.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;

constexpr char kCopulaSignature[] =
    "length, n_variables, copula_type, df, correlation_matrix, marginal_distribution, marginal_param1, "
    "marginal_param2, seed";
static_assert(slots_follow(kCopulaSignature, kCopulaSlots, {"correlation_matrix"}));

PyObject* py_copula(int32_t length, int32_t n_variables, int32_t copula_type, double df,
                    ArrayIn<double> correlation_matrix, int32_t marginal_distribution, double marginal_param1,
                    double marginal_param2, uint64_t seed) {
    check_copula_args(length, n_variables);
    const CopulaParams p{.n_variables = n_variables,
                         .copula_type = copula_type,
                         .df = df,
                         .marginal_distribution = marginal_distribution,
                         .marginal_param1 = marginal_param1,
                         .marginal_param2 = marginal_param2};
    const std::vector<double> r = correlation_matrix.to_vector();
    return series(length, [&](std::span<double> out) { gen_copula(out, seed, p, r); });
}

constexpr char kVarProcessSignature[] =
    "length, n_variables, order, coef_matrices, intercept, innovation_cov, seed, innov_dist, innov_param";
static_assert(slots_follow(kVarProcessSignature, kVarProcessSlots,
                           {"coef_matrices", "intercept", "innovation_cov"}));

PyObject* py_var_process(int32_t length, int32_t n_variables, int32_t order, ArrayIn<double> coef_matrices,
                         ArrayIn<double> intercept, ArrayIn<double> innovation_cov, uint64_t seed,
                         int32_t innov_dist, double innov_param) {
    check_var_process_args(length, n_variables, order);
    const VarProcessParams p{
        .n_variables = n_variables, .order = order, .innov_dist = innov_dist, .innov_param = innov_param};
    const std::vector<double> coef = coef_matrices.to_vector();
    const std::vector<double> c = intercept.to_vector();
    const std::vector<double> cov = innovation_cov.to_vector();
    return series(length, [&](std::span<double> out) { gen_var_process(out, seed, p, coef, c, cov); });
}

constexpr char kStateSpaceSignature[] =
    "length, state_dim, obs_dim, f_mat, h_mat, q_mat, r_mat, initial_state, initial_state_cov, seed, innov_dist, "
    "innov_param";
static_assert(slots_follow(kStateSpaceSignature, kStateSpaceSlots,
                           {"f_mat", "h_mat", "q_mat", "r_mat", "initial_state", "initial_state_cov"}));

PyObject* py_state_space(int32_t length, int32_t state_dim, int32_t obs_dim, ArrayIn<double> f_mat,
                         ArrayIn<double> h_mat, ArrayIn<double> q_mat, ArrayIn<double> r_mat,
                         ArrayIn<double> initial_state, ArrayIn<double> initial_state_cov, uint64_t seed,
                         int32_t innov_dist, double innov_param) {
    check_state_space_args(length, state_dim, obs_dim);
    const StateSpaceParams p{.state_dim = static_cast<uint64_t>(state_dim),
                             .obs_dim = static_cast<uint64_t>(obs_dim),
                             .innov_dist = innov_dist,
                             .innov_param = innov_param};
    const std::vector<double> f = f_mat.to_vector(), h = h_mat.to_vector(), q = q_mat.to_vector(),
                              r = r_mat.to_vector(), mu = initial_state.to_vector(),
                              p0 = initial_state_cov.to_vector();
    const StateSpaceArrays a{f, h, q, r, mu, p0};
    return series(length, [&](std::span<double> out) { gen_state_space(out, seed, p, a); });
}

constexpr char kFbmSignature[] = "length, hurst, sigma, initial_value, cumulative, method, seed";
static_assert(slots_follow(kFbmSignature, kFbmSlots));

PyObject* py_fbm(int32_t length, double hurst, double sigma, double initial_value, bool cumulative, int32_t method,
                 uint64_t seed) {
    check_length(length);
    const FbmParams p{.hurst = hurst,
                      .sigma = sigma,
                      .initial_value = initial_value,
                      .cumulative = cumulative,
                      .method = method};
    return series(length, [&](std::span<double> out) { gen_fbm(out, seed, p); });
}

constexpr char kGaussianProcessSignature[] =
    "length, kernel_id, length_scale, amplitude, period, mean, noise_variance, seed";
static_assert(slots_follow(kGaussianProcessSignature, kGaussianProcessSlots));

PyObject* py_gaussian_process(int32_t length, int32_t kernel_id, double length_scale, double amplitude,
                              double period, double mean, double noise_variance, uint64_t seed) {
    check_length(length);
    const GaussianProcessParams p{.kernel_id = kernel_id,
                                  .length_scale = length_scale,
                                  .amplitude = amplitude,
                                  .period = period,
                                  .mean = mean,
                                  .noise_variance = noise_variance};
    return series(length, [&](std::span<double> out) { gen_gaussian_process(out, seed, p); });
}

}  // namespace

const py::FunctionTable multivariate_functions = {
    py::define<py_copula>("copula", kCopulaSignature),
    py::define<py_var_process>("var_process", kVarProcessSignature),
    py::define<py_state_space>("state_space", kStateSpaceSignature),
    py::define<py_fbm>("fbm", kFbmSignature),
    py::define<py_gaussian_process>("gaussian_process", kGaussianProcessSignature),
};

}  // namespace qm::bindings
