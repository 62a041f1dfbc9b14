// Python-facing functions of the `pattern_injection` submodule: one injector
// on a copy of the caller's array, the result written back into that array.
#include "bindings/bindings.hpp"
#include "pattern_injection/injectors.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;
using py::ArrayRead;

// The caller's array itself and a new dict {key: int64 indices}.
PyObject* injection_result(const ArrayIn<double>& values, const char* key, std::vector<int64_t>&& indices) {
    py::Ref dict(PyDict_New());
    py::dict_set(dict.get(), key, py::to_array(std::move(indices)));
    return py::make_tuple({py::Ref::borrow(values.object()), dict});
}

// Copies the caller's array out under a write borrow held until the result
// has been written back, so a second call on the same array from another
// thread (while this one works without the lock) is refused as already
// borrowed rather than having one result overwrite the other. `copy_settings`
// runs next, with the array already taken: its own array errors come after
// those of `values`.
template <class CopySettings, class Inject>
PyObject* inject_in_place(const ArrayIn<double>& values, const char* key, CopySettings copy_settings,
                          Inject inject) {
    py::Borrow held;
    std::vector<double> x = values.to_vector(&held);
    copy_settings();
    std::vector<int64_t> indices = py::nogil([&] { return inject(std::span<double>(x)); });
    values.write_back(x, std::move(held));
    return injection_result(values, key, std::move(indices));
}

template <class Inject>
PyObject* inject_in_place(const ArrayIn<double>& values, const char* key, Inject inject) {
    return inject_in_place(values, key, [] {}, inject);
}

PyObject* py_add_changepoints(ArrayIn<double> values, uint64_t seed, int32_t num_changepoints,
                              ArrayRead<double> locations, std::string changepoint_type,
                              ArrayRead<double> level_changes, ArrayRead<double> trend_changes,
                              ArrayRead<double> variance_changes) {
    // The settings arrays keep their read borrows from conversion, so one
    // passed as `values` too is refused at the write borrow.
    std::vector<double> loc, level, trend, variance;
    return inject_in_place(
        values, "changepoint_indices",
        [&] {
            loc = locations.to_vector();
            level = level_changes.to_vector();
            trend = trend_changes.to_vector();
            variance = variance_changes.to_vector();
        },
        [&](std::span<double> x) {
            return inject_changepoints(x, seed, num_changepoints, changepoint_type, loc, level, trend, variance);
        });
}

PyObject* py_add_missingness(ArrayIn<double> values, uint64_t seed, std::string pattern, double missing_rate,
                             int32_t missing_block_size, int32_t missing_seasonal_period) {
    check_missingness_settings(pattern, missing_block_size, missing_seasonal_period);
    return inject_in_place(values, "missing_indices", [&](std::span<double> x) {
        return inject_missingness(x, seed, pattern, missing_rate, missing_block_size, missing_seasonal_period);
    });
}

PyObject* py_add_anomalies(ArrayIn<double> values, uint64_t seed, std::vector<std::string> anomaly_types,
                           double anomaly_fraction, double spike_magnitude, double dip_magnitude,
                           double level_shift_magnitude, int32_t level_shift_duration) {
    check_anomaly_settings(level_shift_duration);
    return inject_in_place(values, "anomaly_indices", [&](std::span<double> x) {
        return inject_anomalies(x, seed, anomaly_types, anomaly_fraction, spike_magnitude, dip_magnitude,
                                level_shift_magnitude, level_shift_duration);
    });
}

}  // namespace

const py::FunctionTable pattern_injection_functions = {
    py::define<py_add_changepoints>("add_changepoints",
                                    "values, seed, num_changepoints, locations, changepoint_type, level_changes, "
                                    "trend_changes, variance_changes"),
    py::define<py_add_missingness>(
        "add_missingness", "values, seed, pattern, missing_rate, missing_block_size, missing_seasonal_period"),
    py::define<py_add_anomalies>("add_anomalies",
                                 "values, seed, anomaly_types, anomaly_fraction, spike_magnitude, dip_magnitude, "
                                 "level_shift_magnitude, level_shift_duration"),
};

}  // namespace qm::bindings
