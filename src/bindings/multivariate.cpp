// Python-facing functions of the `multivariate` submodule. Each checks its
// arguments, copies its arrays under the lock and runs its core without it;
// state_space, fbm and gaussian_process share their cores with the batch
// dispatcher.
#include "bindings/bindings.hpp"
#include "generators/fbm.hpp"

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

}  // namespace

const py::FunctionTable multivariate_functions = {
    py::define<py_fbm>("fbm", kFbmSignature),
};

}  // namespace qm::bindings
