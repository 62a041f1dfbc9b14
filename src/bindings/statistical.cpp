// Python-facing functions of the `statistical` submodule. Each checks its
// arguments, then runs the same core as the batch dispatcher.
#include "bindings/bindings.hpp"
#include "generators/statistical.hpp"

namespace qm::bindings {
namespace {

// A new series of `length` values filled by `core` without the lock.
template <class Core>
PyObject* series(int32_t length, Core core) {
    std::vector<double> out(static_cast<std::size_t>(length));
    py::nogil([&] { core(std::span<double>(out)); });
    return py::to_array(std::move(out));
}

PyObject* py_random_walk(int32_t length, double drift, double volatility, double start_value, uint64_t seed,
                         int32_t innov_dist, double innov_param) {
    check_random_walk_args(length);
    return series(length, [&](std::span<double> out) {
        gen_random_walk(out, seed, drift, volatility, start_value, innov_dist, innov_param);
    });
}

PyObject* py_seasonal(int32_t length, int32_t seasonality_period, double seasonality_amplitude, double trend,
                      double noise_level, double base_level, uint64_t seed, int32_t innov_dist, double innov_param) {
    check_seasonal_args(length, seasonality_period);
    return series(length, [&](std::span<double> out) {
        gen_seasonal(out, seed, seasonality_period, seasonality_amplitude, trend, noise_level, base_level,
                     innov_dist, innov_param);
    });
}

}  // namespace

const py::FunctionTable statistical_functions = {
    py::define<py_random_walk>("random_walk",
                               "length, drift, volatility, start_value, seed, innov_dist, innov_param"),
    py::define<py_seasonal>("seasonal",
                            "length, seasonality_period, seasonality_amplitude, trend, noise_level, base_level, "
                            "seed, innov_dist=0, innov_param=0.0"),
};

}  // namespace qm::bindings
