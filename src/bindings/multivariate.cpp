// Python-facing functions of the `multivariate` submodule. Each checks its
// arguments, copies its arrays under the lock and runs its core without it;
// state_space, fbm and gaussian_process share their cores with the batch
// dispatcher.
#include "bindings/bindings.hpp"
#include "generators/fbm.hpp"
#include "generators/gaussian_process.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;

constexpr char kFbmSignature[] = "length, hurst, sigma, initial_value, cumulative, method, seed";
static_assert(slots_follow(kFbmSignature, kFbmSlots));

PyObject* py_fbm(int32_t length, double hurst, double sigma, double initial_value, bool cumulative, int32_t method,
                 uint64_t seed) {
    check_fbm_args(length);
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
    check_gaussian_process_args(length);
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
    py::define<py_fbm>("fbm", kFbmSignature),
    py::define<py_gaussian_process>("gaussian_process", kGaussianProcessSignature),
};

}  // namespace qm::bindings
